#include "json_convert.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "errors.hpp"

namespace nb = nanobind;
using nlohmann::json;

namespace tvdb::py {
namespace {

[[noreturn]] void raise_too_deep() {
    raise_python(PyExc_ValueError, "payload nesting is deeper than " +
                                       std::to_string(kMaxJsonDepth) + " levels");
}

bool is_numpy_bool(PyObject* object) {
    const char* name = Py_TYPE(object)->tp_name;
    return std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0;
}

std::string utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) throw nb::python_error();
    return std::string(data, static_cast<size_t>(size));
}

// An integer through __index__, when it fits in 64 signed bits.
std::optional<json> as_integer(PyObject* object) {
    if (!PyLong_Check(object) && !PyIndex_Check(object)) return std::nullopt;
    nb::object index = nb::steal(PyNumber_Index(object));
    if (!index.is_valid()) {
        PyErr_Clear();
        return std::nullopt;
    }
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0) return std::nullopt;
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    if (value >= 0) return json(static_cast<uint64_t>(value));
    return json(static_cast<int64_t>(value));
}

// Whether PyFloat_AsDouble can succeed. Asking anything else would raise and clear a
// TypeError, which costs more than the rest of a small payload's conversion.
bool has_float_value(PyObject* object) {
    if (PyFloat_Check(object)) return true;
    const PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    return number != nullptr && (number->nb_float != nullptr || number->nb_index != nullptr);
}

// A number through __float__ (or an int too large for 64 bits); NaN and infinities are null.
std::optional<json> as_double(PyObject* object) {
    if (!has_float_value(object)) return std::nullopt;
    double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    if (!std::isfinite(value)) return json(nullptr);
    return json(value);
}

std::string dict_key(PyObject* key) {
    if (!PyUnicode_Check(key)) {
        raise_python(PyExc_TypeError, std::string("'") + nb::type_name(Py_TYPE(key)).c_str() +
                                          "' object cannot be converted to 'PyString'");
    }
    return utf8_of(key);
}

json convert(PyObject* object, int depth) {
    if (object == Py_None) return json(nullptr);
    if (PyBool_Check(object)) return json(object == Py_True);
    if (is_numpy_bool(object)) return json(PyObject_IsTrue(object) == 1);
    if (auto integer = as_integer(object)) return *integer;
    if (auto number = as_double(object)) return *number;
    if (PyUnicode_Check(object)) return json(utf8_of(object));
    if (PyDict_Check(object)) {
        if (depth >= kMaxJsonDepth) raise_too_deep();
        // Converting a value may run Python code (__index__, __str__) that mutates the dict:
        // walk a snapshot of its items, which also keeps every key and value alive.
        nb::object items = nb::steal(PyDict_Items(object));
        if (!items.is_valid()) throw nb::python_error();
        json out = json::object();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
            PyObject* item = PyList_GET_ITEM(items.ptr(), i);
            std::string key = dict_key(PyTuple_GET_ITEM(item, 0));
            out[std::move(key)] = convert(PyTuple_GET_ITEM(item, 1), depth + 1);
        }
        return out;
    }
    if (PyList_Check(object)) {
        if (depth >= kMaxJsonDepth) raise_too_deep();
        json out = json::array();
        // The list may change while its items run Python code: index it afresh each time.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
            nb::object item = nb::borrow(PyList_GET_ITEM(object, i));
            out.push_back(convert(item.ptr(), depth + 1));
        }
        return out;
    }
    nb::object text = nb::steal(PyObject_Str(object));
    if (!text.is_valid()) throw nb::python_error();
    return json(utf8_of(text.ptr()));
}

nb::object decode_utf8(const std::string& text) {
    nb::object out = nb::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!out.is_valid()) throw nb::python_error();
    return out;
}

nb::object to_python(const json& value, int depth) {
    if (value.is_structured() && depth >= kMaxJsonDepth) raise_too_deep();
    switch (value.type()) {
        case json::value_t::null: return nb::none();
        case json::value_t::boolean: return nb::bool_(value.get<bool>());
        case json::value_t::number_unsigned: {
            auto number = value.get<uint64_t>();
            if (number > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
                return nb::float_(static_cast<double>(number));
            }
            return nb::int_(static_cast<int64_t>(number));
        }
        case json::value_t::number_integer: return nb::int_(value.get<int64_t>());
        case json::value_t::number_float: return nb::float_(value.get<double>());
        case json::value_t::string: return decode_utf8(value.get_ref<const std::string&>());
        case json::value_t::array: {
            nb::list out;
            for (const json& item : value) out.append(to_python(item, depth + 1));
            return out;
        }
        case json::value_t::object: {
            nb::dict out;
            for (const auto& [key, item] : value.items()) {
                out[decode_utf8(key)] = to_python(item, depth + 1);
            }
            return out;
        }
        case json::value_t::binary:
        case json::value_t::discarded: break;
    }
    return nb::none();
}

}  // namespace

json py_to_json(nb::handle object) { return convert(object.ptr(), 0); }

nb::object json_to_py(const json& value) { return to_python(value, 0); }

}  // namespace tvdb::py

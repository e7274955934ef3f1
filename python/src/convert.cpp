#include "convert.hpp"

#include <cstring>

#include "buffer_view.hpp"
#include "errors.hpp"
#include "quoted_literal.hpp"

namespace nb = nanobind;

namespace tvdb::py {
namespace {

std::string python_type_name(nb::handle object) {
    return nb::type_name(object.type()).c_str();
}

[[noreturn]] void raise_argument_type_error(const char* name, const std::string& message) {
    raise_python(PyExc_TypeError, std::string("argument '") + name + "': " + message);
}

std::vector<float> sequence_to_floats(nb::handle object, const char* name) {
    if (PyUnicode_Check(object.ptr())) {
        raise_argument_type_error(name, "'str' object cannot be converted to 'Sequence'");
    }
    if (!PySequence_Check(object.ptr())) {
        raise_argument_type_error(name, "'" + python_type_name(object) +
                                            "' object cannot be converted to 'Sequence'");
    }
    Py_ssize_t n = PySequence_Size(object.ptr());
    if (n < 0) throw nb::python_error();
    std::vector<float> out;
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object item = nb::steal(PySequence_GetItem(object.ptr(), i));
        if (!item.is_valid()) throw nb::python_error();
        double value = PyFloat_AsDouble(item.ptr());
        if (value == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
            raise_argument_type_error(name, pending_error_text());
        }
        out.push_back(static_cast<float>(value));
    }
    return out;
}

}  // namespace

uint64_t to_u64(nb::handle object, const char* name) {
    nb::object index = nb::steal(PyNumber_Index(object.ptr()));
    if (!index.is_valid()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
        raise_argument_type_error(name, pending_error_text());
    }
    unsigned long long value = PyLong_AsUnsignedLongLong(index.ptr());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw nb::python_error();
    return value;
}

std::vector<float> extract_f32_vec(nb::handle object, const char* name) {
    BufferView buffer;
    if (buffer.acquire(object)) {
        if (buffer.view().ndim != 1) raise_python(PyExc_ValueError, "vector must be 1-dimensional");
        return buffer.copy_out();
    }
    return sequence_to_floats(object, name);
}

Matrix extract_2d_f32_buffer(nb::handle object) {
    auto exported = std::make_shared<BufferView>();
    BufferView& buffer = *exported;
    if (!buffer.acquire(object)) {
        raise_python(PyExc_ValueError, "vectors must support the buffer protocol (e.g. numpy array)");
    }
    const Py_buffer& view = buffer.view();
    if (view.ndim != 2) {
        raise_python(PyExc_ValueError, "vectors must be 2-dimensional, got " +
                                           std::to_string(view.ndim) + "-dimensional");
    }
    Matrix matrix;
    matrix.rows = static_cast<uint64_t>(view.shape[0]);
    matrix.columns = static_cast<uint64_t>(view.shape[1]);
    if (buffer.c_contiguous()) {
        matrix.data = std::span(static_cast<const float*>(view.buf),
                                static_cast<size_t>(view.len) / sizeof(float));
        matrix.exported = std::move(exported);
    } else {
        matrix.copied = buffer.copy_out();
        matrix.data = matrix.copied;
    }
    return matrix;
}

std::vector<VectorEntry> extract_batch_entries(nb::handle list) {
    if (!PyList_Check(list.ptr())) {
        raise_argument_type_error("entries", "'" + python_type_name(list) +
                                                 "' object cannot be converted to 'PyList'");
    }
    std::vector<VectorEntry> entries;
    Py_ssize_t n = PyList_GET_SIZE(list.ptr());
    entries.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::handle entry = PyList_GET_ITEM(list.ptr(), i);
        if (!PyTuple_Check(entry.ptr()) || PyTuple_GET_SIZE(entry.ptr()) < 2) {
            raise_python(PyExc_ValueError, "each entry must be a tuple of (id, vector)");
        }
        uint64_t id = to_u64(PyTuple_GET_ITEM(entry.ptr(), 0), "id");
        entries.emplace_back(id, extract_f32_vec(PyTuple_GET_ITEM(entry.ptr(), 1), "vector"));
    }
    return entries;
}

std::string quoted_literal(const std::string& text) { return tvdb::quoted_literal(text); }

Metric parse_metric(const std::string& text) {
    if (auto metric = metric_from_name(text)) return *metric;
    raise_python(PyExc_ValueError, "unknown metric " + quoted_literal(text) +
                                       "; expected \"l2\", \"cosine\", or \"dot_product\"");
}

nb::list results_to_list(const std::vector<SearchResult>& results) {
    nb::list list;
    for (const SearchResult& hit : results) {
        nb::dict item;
        item["id"] = hit.id;
        item["distance"] = static_cast<double>(hit.distance);
        list.append(item);
    }
    return list;
}

}  // namespace tvdb::py

namespace nanobind::detail {

bool type_caster<tvdb::py::PathArg>::from_python(handle src, uint32_t, cleanup_list*) {
    if (!PyUnicode_Check(src.ptr())) return false;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(src.ptr(), &size);
    if (data == nullptr) {
        PyErr_Clear();
        return false;
    }
    value.text.assign(data, static_cast<size_t>(size));
    if (value.text.find('\0') != std::string::npos) {
        tvdb::py::raise_python(PyExc_ValueError, "embedded null byte");
    }
    return true;
}

}  // namespace nanobind::detail

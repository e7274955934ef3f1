#include "array_convert.hpp"

#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include <nanobind/ndarray.h>

#include "buffer_view.hpp"
#include "errors.hpp"
#include "fp16_flat_index.hpp"

namespace nb = nanobind;

namespace tvdb::py {
namespace {

std::string type_name_of(nb::handle object) { return nb::type_name(object.type()).c_str(); }

[[noreturn]] void raise_named(PyObject* type, const char* name, const std::string& message) {
    raise_python(type, std::string("argument '") + name + "': " + message);
}

void require_sequence(nb::handle object, const char* name) {
    if (PyUnicode_Check(object.ptr()) || !PySequence_Check(object.ptr())) {
        raise_named(PyExc_TypeError, name,
                    "'" + type_name_of(object) + "' object cannot be converted to 'Sequence'");
    }
}

bool is_float_item(char kind, Py_ssize_t size) {
    switch (kind) {
        case 'e': return size == 2;
        case 'f': return size == 4;
        case 'd': return size == 8;
        case 'g': return size == static_cast<Py_ssize_t>(sizeof(long double));
        default: return false;
    }
}

template <typename T>
void widen_items(const unsigned char* bytes, size_t count, float* out) {
    for (size_t i = 0; i < count; ++i) {
        T value;
        std::memcpy(&value, bytes + i * sizeof(T), sizeof(T));
        out[i] = static_cast<float>(value);
    }
}

// The items of a float buffer of any width, narrowed or widened to float32.
std::vector<float> floats_of(const BufferView& buffer) {
    const std::vector<unsigned char> bytes = buffer.copy_bytes();
    const size_t count = bytes.size() / static_cast<size_t>(buffer.view().itemsize);
    std::vector<float> out(count);
    switch (buffer.item_kind()) {
        case 'e':
            for (size_t i = 0; i < count; ++i) {
                uint16_t half;
                std::memcpy(&half, bytes.data() + 2 * i, 2);
                out[i] = half_to_float(half);
            }
            break;
        case 'f': widen_items<float>(bytes.data(), count, out.data()); break;
        case 'd': widen_items<double>(bytes.data(), count, out.data()); break;
        default: widen_items<long double>(bytes.data(), count, out.data()); break;
    }
    return out;
}

Matrix rows_from_sequence(nb::handle object, const char* name, uint64_t empty_columns) {
    require_sequence(object, name);
    const Py_ssize_t n = PySequence_Size(object.ptr());
    if (n < 0) throw nb::python_error();
    Matrix matrix;
    matrix.rows = static_cast<uint64_t>(n);
    matrix.columns = empty_columns;
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object item = nb::steal(PySequence_GetItem(object.ptr(), i));
        if (!item.is_valid()) throw nb::python_error();
        std::vector<float> row = extract_f32_vec(item, name);
        if (i == 0) {
            matrix.columns = row.size();
            matrix.copied.reserve(static_cast<size_t>(n) * row.size());
        } else if (row.size() != matrix.columns) {
            raise_python(PyExc_ValueError, std::string(name) + " rows differ in length: row 0 has " +
                                               std::to_string(matrix.columns) + " values, row " +
                                               std::to_string(i) + " has " +
                                               std::to_string(row.size()));
        }
        matrix.copied.insert(matrix.copied.end(), row.begin(), row.end());
    }
    matrix.data = matrix.copied;
    return matrix;
}

bool is_signed_integer(char kind) {
    return kind == 'b' || kind == 'h' || kind == 'i' || kind == 'l' || kind == 'q' || kind == 'n';
}
bool is_unsigned_integer(char kind) {
    return kind == 'B' || kind == 'H' || kind == 'I' || kind == 'L' || kind == 'Q' || kind == 'N';
}

// Reads one integer item of `size` bytes at `item`.
template <typename Signed, typename Unsigned>
bool read_integer(const unsigned char* item, bool is_signed, uint64_t& out) {
    if (is_signed) {
        Signed value;
        std::memcpy(&value, item, sizeof value);
        if (value < 0) return false;
        out = static_cast<uint64_t>(value);
    } else {
        Unsigned value;
        std::memcpy(&value, item, sizeof value);
        out = static_cast<uint64_t>(value);
    }
    return true;
}

std::vector<uint64_t> ids_from_buffer(const BufferView& buffer, const char* name) {
    const Py_buffer& view = buffer.view();
    if (view.ndim != 1) {
        raise_python(PyExc_ValueError, std::string(name) + " must be 1-dimensional, got " +
                                           std::to_string(view.ndim) + "-dimensional");
    }
    const bool is_signed = is_signed_integer(buffer.item_kind());
    const std::vector<unsigned char> bytes = buffer.copy_bytes();
    const size_t size = static_cast<size_t>(view.itemsize);
    std::vector<uint64_t> ids(bytes.size() / size);
    for (size_t i = 0; i < ids.size(); ++i) {
        const unsigned char* item = bytes.data() + i * size;
        bool in_range = false;
        switch (size) {
            case 1: in_range = read_integer<int8_t, uint8_t>(item, is_signed, ids[i]); break;
            case 2: in_range = read_integer<int16_t, uint16_t>(item, is_signed, ids[i]); break;
            case 4: in_range = read_integer<int32_t, uint32_t>(item, is_signed, ids[i]); break;
            default: in_range = read_integer<int64_t, uint64_t>(item, is_signed, ids[i]); break;
        }
        if (!in_range) raise_python(PyExc_OverflowError, "can't convert negative int to unsigned");
    }
    return ids;
}

std::vector<uint64_t> ids_from_sequence(nb::handle object, const char* name) {
    require_sequence(object, name);
    const Py_ssize_t n = PySequence_Size(object.ptr());
    if (n < 0) throw nb::python_error();
    std::vector<uint64_t> ids;
    ids.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object item = nb::steal(PySequence_GetItem(object.ptr(), i));
        if (!item.is_valid()) throw nb::python_error();
        ids.push_back(to_u64(item, name));
    }
    return ids;
}

}  // namespace

Matrix extract_float_rows(nb::handle object, const char* name, uint64_t empty_columns) {
    auto exported = std::make_shared<BufferView>();
    if (exported->acquire_any(object) &&
        is_float_item(exported->item_kind(), exported->view().itemsize)) {
        const Py_buffer& view = exported->view();
        if (view.ndim != 2) {
            raise_python(PyExc_ValueError, std::string(name) + " must be 2-dimensional, got " +
                                               std::to_string(view.ndim) + "-dimensional");
        }
        Matrix matrix;
        matrix.rows = static_cast<uint64_t>(view.shape[0]);
        matrix.columns = static_cast<uint64_t>(view.shape[1]);
        if (exported->item_kind() == 'f' && exported->c_contiguous()) {
            matrix.data = std::span(static_cast<const float*>(view.buf),
                                    static_cast<size_t>(view.len) / sizeof(float));
            matrix.exported = std::move(exported);
        } else {
            matrix.copied = floats_of(*exported);
            matrix.data = matrix.copied;
        }
        return matrix;
    }
    // Anything else (lists, integer arrays) is read row by row; the buffer goes first.
    exported.reset();
    return rows_from_sequence(object, name, empty_columns);
}

std::vector<uint64_t> extract_ids(nb::handle object, const char* name) {
    {
        BufferView buffer;
        if (buffer.acquire_any(object)) {
            const char kind = buffer.item_kind();
            if (is_signed_integer(kind) || is_unsigned_integer(kind)) {
                return ids_from_buffer(buffer, name);
            }
        }
    }
    return ids_from_sequence(object, name);
}

nb::object float32_array(std::vector<float>&& values) {
    auto owned = std::make_unique<std::vector<float>>(std::move(values));
    const size_t shape[1] = {owned->size()};
    // At least one element, so that even an empty vector has an address to export.
    if (owned->empty()) owned->reserve(1);
    nb::capsule owner(owned.get(), [](void* p) noexcept { delete static_cast<std::vector<float>*>(p); });
    std::vector<float>* data = owned.release();
    return nb::cast(nb::ndarray<nb::numpy, float, nb::ndim<1>>(data->data(), 1, shape, owner));
}

AnswerArrays::AnswerArrays(uint64_t rows, uint64_t k)
    : rows_(rows),
      k_(k),
      ids_(std::make_unique<std::vector<VectorId>>()),
      distances_(std::make_unique<std::vector<float>>()) {
    uint64_t cells = 0;
    if (__builtin_mul_overflow(rows, k, &cells) || cells > SIZE_MAX / sizeof(VectorId)) {
        throw std::bad_alloc();
    }
    // At least one element, so that even an empty block has an address to export.
    ids_->resize(std::max<uint64_t>(cells, 1));
    distances_->resize(std::max<uint64_t>(cells, 1));
}

nb::tuple AnswerArrays::release() {
    const size_t shape[2] = {static_cast<size_t>(rows_), static_cast<size_t>(k_)};
    nb::capsule ids_owner(ids_.get(), [](void* p) noexcept {
        delete static_cast<std::vector<VectorId>*>(p);
    });
    std::vector<VectorId>* ids = ids_.release();
    nb::capsule distances_owner(distances_.get(), [](void* p) noexcept {
        delete static_cast<std::vector<float>*>(p);
    });
    std::vector<float>* distances = distances_.release();
    nb::ndarray<nb::numpy, uint64_t, nb::ndim<2>> id_array(ids->data(), 2, shape, ids_owner);
    nb::ndarray<nb::numpy, float, nb::ndim<2>> distance_array(distances->data(), 2, shape,
                                                             distances_owner);
    return nb::make_tuple(id_array, distance_array);
}

}  // namespace tvdb::py

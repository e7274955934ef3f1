#pragma once

#include <cstring>
#include <string>
#include <vector>

#include <nanobind/nanobind.h>

#include "errors.hpp"

namespace tvdb::py {

// Takes the pending Python exception and returns its message (str of the exception).
inline std::string pending_error_text() {
    nanobind::python_error error;
    return nanobind::str(error.value()).c_str();
}

// Holds a buffer view and releases it on every exit path.
class BufferView {
public:
    // Whether the object offered a buffer at all; any buffer error is discarded.
    bool acquire_any(nanobind::handle object) {
        if (PyObject_GetBuffer(object.ptr(), &view_, PyBUF_RECORDS_RO) != 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        return true;
    }
    // Whether the object offered a float32 buffer; any buffer error is discarded.
    bool acquire(nanobind::handle object) {
        return acquire_any(object) && item_kind() == 'f' && view_.itemsize == sizeof(float);
    }
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    const Py_buffer& view() const { return view_; }

    // The struct-module type character of the items when they are native scalars ("f",
    // "<f", "=f", "@f" all give 'f'); 0 for a missing format, another byte order or a
    // compound type.
    char item_kind() const {
        const char* format = view_.format == nullptr ? "B" : view_.format;
        if (*format == '<' || *format == '=' || *format == '@') ++format;
        return format[0] != '\0' && format[1] == '\0' ? format[0] : 0;
    }

    // The items in row-major order, as raw bytes.
    std::vector<unsigned char> copy_bytes() const {
        std::vector<unsigned char> out(static_cast<size_t>(view_.len));
        if (PyBuffer_ToContiguous(out.data(), &view_, view_.len, 'C') != 0) {
            raise_python(PyExc_ValueError, "buffer copy failed: " + pending_error_text());
        }
        return out;
    }

    std::vector<float> copy_out() const {
        std::vector<float> out(static_cast<size_t>(view_.len) / sizeof(float));
        if (PyBuffer_ToContiguous(out.data(), &view_, view_.len, 'C') != 0) {
            raise_python(PyExc_ValueError, "buffer copy failed: " + pending_error_text());
        }
        return out;
    }

    bool c_contiguous() const { return PyBuffer_IsContiguous(&view_, 'C') != 0; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace tvdb::py

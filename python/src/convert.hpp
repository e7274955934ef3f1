#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <nanobind/nanobind.h>

#include "distance.hpp"
#include "vector_index.hpp"

namespace tvdb::py {

// An argument name carried in a type, so that the argument's converter can name it.
template <size_t N>
struct ArgName {
    char text[N];
    constexpr ArgName(const char (&name)[N]) { std::copy_n(name, N, text); }
};

// An unsigned 64-bit integer: anything with __index__. A negative or too large value raises
// the interpreter's OverflowError; anything else TypeError "argument '{name}': {message}".
uint64_t to_u64(nanobind::handle object, const char* name);

// An unsigned 64-bit integer argument named `Name` (declare every integer parameter of a
// bound function this way). It is converted with `to_u64` before the function runs, so a
// wrong value raises its own exception instead of the generic "incompatible function
// arguments".
template <ArgName Name>
struct U64Arg {
    uint64_t value = 0;
    operator uint64_t() const { return value; }
};

// A file system path: a str without NUL characters (the C library would silently cut the
// path at the first one). A NUL raises ValueError "embedded null byte" before anything
// touches the file system.
struct PathArg {
    std::string text;
    operator const std::string&() const { return text; }
};

// A single vector argument: a float32 buffer if the object offers one, else any sequence of
// numbers (never a str). A TypeError names the argument: "argument '{name}': ...".
std::vector<float> extract_f32_vec(nanobind::handle object, const char* name);

class BufferView;

// Rows of float32 values, row-major. A C-contiguous buffer is used in place: the matrix keeps
// the buffer exported (so its owner cannot resize or free it) until it is destroyed, which
// must happen with the interpreter lock held. Other layouts are copied out.
struct Matrix {
    std::span<const float> data;
    uint64_t rows = 0;
    uint64_t columns = 0;
    std::shared_ptr<BufferView> exported;
    std::vector<float> copied;
};

// A 2-D float32 buffer in row-major order.
Matrix extract_2d_f32_buffer(nanobind::handle object);

// A list of (id, vector) tuples; items past the second are ignored.
std::vector<VectorEntry> extract_batch_entries(nanobind::handle list);

// "l2", "cosine" or "dot_product", matched exactly.
Metric parse_metric(const std::string& text);

// Renders a text as a quoted, escaped string literal for messages.
std::string quoted_literal(const std::string& text);

// A search answer as a list of {"id": int, "distance": float} dicts, in answer order.
nanobind::list results_to_list(const std::vector<SearchResult>& results);

}  // namespace tvdb::py

namespace nanobind::detail {

template <tvdb::py::ArgName ArgumentName>
struct type_caster<tvdb::py::U64Arg<ArgumentName>> {
    NB_TYPE_CASTER(tvdb::py::U64Arg<ArgumentName>, const_name("int"))

    // Raises instead of declining: the module binds no overloads, so there is no other
    // candidate that could take the value.
    bool from_python(handle src, uint32_t, cleanup_list*) {
        value.value = tvdb::py::to_u64(src, ArgumentName.text);
        return true;
    }
    static handle from_cpp(tvdb::py::U64Arg<ArgumentName> arg, rv_policy, cleanup_list*) noexcept {
        return PyLong_FromUnsignedLongLong(arg.value);
    }
};

template <>
struct type_caster<tvdb::py::PathArg> {
    NB_TYPE_CASTER(tvdb::py::PathArg, const_name("str"))

    bool from_python(handle src, uint32_t, cleanup_list*);
    static handle from_cpp(const tvdb::py::PathArg& arg, rv_policy, cleanup_list*) noexcept {
        return PyUnicode_FromStringAndSize(arg.text.data(), static_cast<Py_ssize_t>(arg.text.size()));
    }
};

}  // namespace nanobind::detail

#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <nanobind/nanobind.h>

#include "distance.hpp"
#include "index/vector_index.hpp"

namespace tvdb::py {

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

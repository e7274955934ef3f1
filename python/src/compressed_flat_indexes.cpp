#include "classes.hpp"

namespace tvdb::py {

// Not built yet: registers nothing.
void register_quantized_flat_index(nanobind::module_&) {}
void register_fp16_flat_index(nanobind::module_&) {}
void register_binary_flat_index(nanobind::module_&) {}

}  // namespace tvdb::py

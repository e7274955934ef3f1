#include "classes.hpp"

namespace tvdb::py {

// Not built yet: registers nothing.
void register_mmap_flat_index(nanobind::module_&) {}

}  // namespace tvdb::py

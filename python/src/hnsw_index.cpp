#include "classes.hpp"

namespace tvdb::py {

// Not built yet: registers nothing.
void register_hnsw_index(nanobind::module_&) {}

}  // namespace tvdb::py

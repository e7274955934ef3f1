#include "classes.hpp"

namespace tvdb::py {

// Not built yet: registers nothing.
void register_ivf_index(nanobind::module_&) {}
void register_ivf_pq_index(nanobind::module_&) {}

}  // namespace tvdb::py

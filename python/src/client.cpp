#include "classes.hpp"

namespace tvdb::py {

// Not built yet: registers nothing.
void register_client_classes(nanobind::module_&) {}

}  // namespace tvdb::py

#pragma once

#include <nanobind/nanobind.h>

namespace tvdb::py {

// One registration function per class (or family of classes); module initialisation calls
// them in the order the classes appear in the module.
void register_flat_index(nanobind::module_& module);
void register_hnsw_index(nanobind::module_& module);
void register_quantized_flat_index(nanobind::module_& module);
void register_fp16_flat_index(nanobind::module_& module);
void register_ivf_index(nanobind::module_& module);
void register_ivf_pq_index(nanobind::module_& module);
void register_mmap_flat_index(nanobind::module_& module);
void register_binary_flat_index(nanobind::module_& module);
// Client, then Collection.
void register_client_classes(nanobind::module_& module);

}  // namespace tvdb::py

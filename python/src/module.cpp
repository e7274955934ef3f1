#include <nanobind/nanobind.h>

#include "classes.hpp"
#include "errors.hpp"

NB_MODULE(tolvane_vector_db, module) {
    using namespace tvdb::py;
    module.doc() = "Embedded vector database: standalone indexes and WAL-backed collections.";
    create_panic_exception(module);
    register_flat_index(module);
    register_hnsw_index(module);
    register_quantized_flat_index(module);
    register_fp16_flat_index(module);
    register_ivf_index(module);
    register_ivf_pq_index(module);
    register_mmap_flat_index(module);
    register_binary_flat_index(module);
    register_client_classes(module);
}

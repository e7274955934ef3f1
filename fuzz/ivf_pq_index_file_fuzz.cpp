// IvfPqIndex::load (coarse lists of product-quantized codes) on arbitrary bytes: fail cleanly
// or give an index that searches, changes (including training, when the file leaves it
// untrained) and saves and loads back.

#include "fuzz_support.hpp"
#include "ivf_pq_index.hpp"

namespace tvdb::fuzz {

void write_seeds(const std::string& dir) {
    write_clustered_seeds(dir, 4, [](Metric metric) {
        return IvfPqIndex::create(
            IndexConfig{.dimensions = 4, .metric = metric},
            IvfPqConfig{.n_lists = 3, .nprobe = 2, .train_size = 12, .max_iter = 3,
                        .pq = PqConfig{.m = 2, .k_sub = 4, .max_iter = 3}});
    });
}

}  // namespace tvdb::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A repeated ID is allowed in the lists (see IvfPqIndex), so iteration may repeat IDs.
    tvdb::fuzz::check_index_file<tvdb::IvfPqIndex>(
        "ivf_pq", data, size, {.readd_succeeds = true, .unique_iteration = false});
    return 0;
}

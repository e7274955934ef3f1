// IvfIndex::load on arbitrary bytes: fail cleanly or give an index that searches, changes
// (including training, when the file leaves it untrained) and saves and loads back.

#include "fuzz_support.hpp"
#include "ivf_index.hpp"

namespace tvdb::fuzz {

void write_seeds(const std::string& dir) {
    write_clustered_seeds(dir, 3, [](Metric metric) {
        return IvfIndex::create(IndexConfig{.dimensions = 3, .metric = metric},
                                IvfConfig{.n_lists = 4, .nprobe = 2, .train_size = 12, .max_iter = 3});
    });
}

}  // namespace tvdb::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A repeated ID is allowed in the lists (see IvfIndex), so iteration may repeat IDs.
    tvdb::fuzz::check_index_file<tvdb::IvfIndex>(
        "ivf", data, size, {.readd_succeeds = true, .unique_iteration = false});
    return 0;
}

// Inputs the fuzzers under fuzz/ found to break a loader, kept byte for byte. Each must now
// be refused (or accepted) cleanly, without a huge allocation, a crash or a bad read.

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "index/hnsw_index.hpp"

// In sanitizer builds an allocation a loader should never make fails loudly instead of
// being satisfied lazily by overcommitted memory.
extern "C" const char* __asan_default_options() { return "max_allocation_size_mb=1024"; }

namespace {

std::string write_input(const char* name, const std::vector<uint8_t>& bytes) {
    std::string path = ::testing::TempDir() + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

}  // namespace

TEST(HnswIndexFile, HugeDimensionWithoutNodesIsNotAllocated) {
    // Dimension 0x200000002 with an empty graph once sized a 32 GiB scratch vector.
    const std::vector<uint8_t> bytes = {
        0x02, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x1a, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00, 0x00,
        0x00, 0x29, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x77,
        0x77, 0xf9, 0xcc, 0xf9, 0xe1, 0xe3, 0x3f};
    auto loaded = tvdb::HnswIndex::load(write_input("hnsw_huge_dimension.bin", bytes));
    if (loaded) {
        EXPECT_EQ((*loaded)->len(), 0u);
        EXPECT_EQ((*loaded)->config().dimensions, 0x200000002u);
    }
}

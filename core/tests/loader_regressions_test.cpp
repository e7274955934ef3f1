// Inputs the fuzzers under fuzz/ found to break a loader, kept byte for byte. Each must now
// be refused (or accepted) cleanly, without a huge allocation, a crash or a bad read.

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "binary_flat_index.hpp"
#include "flat_index.hpp"
#include "fp16_flat_index.hpp"
#include "hnsw_index.hpp"
#include "quantized_flat_index.hpp"

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

template <typename Index>
class EmptyFlatFile : public ::testing::Test {};
using FlatKinds = ::testing::Types<tvdb::FlatIndex, tvdb::QuantizedFlatIndex, tvdb::Fp16FlatIndex,
                                   tvdb::BinaryFlatIndex>;
TYPED_TEST_SUITE(EmptyFlatFile, FlatKinds);

TYPED_TEST(EmptyFlatFile, HugeDimensionWithoutRowsSavesAndLoadsBack) {
    // An fp16 file of dimension 0x930000000000004 and no entries once loaded fine but sized
    // a row buffer of that many halves when saved again.
    const uint64_t dimensions = 0x930000000000004u;
    const std::string path = ::testing::TempDir() + "/empty_huge_dimension.bin";
    ASSERT_TRUE(TypeParam(dimensions, tvdb::Metric::L2).save(path));
    auto loaded = TypeParam::load(path);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->len(), 0u);
    EXPECT_EQ(loaded->config().dimensions, dimensions);
    EXPECT_TRUE(loaded->save(path));
}

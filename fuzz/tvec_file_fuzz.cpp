// MmapFlatIndex::open on an arbitrary TVEC file. The expected dimension and metric are
// taken from the file's own header fields (when present) so the fuzzer gets past the checks
// against them. An accepted file must search, change, persist and reopen consistently.

#include <cstring>

#include "detail/tvec_format.hpp"
#include "fuzz_support.hpp"
#include "mmap_flat_index.hpp"

namespace tvdb::fuzz {

namespace {

uint32_t header_u32(const uint8_t* data, size_t size, size_t offset) {
    uint32_t value = 0;
    if (size >= offset + 4) std::memcpy(&value, data + offset, 4);
    return value;
}

}  // namespace

void write_seeds(const std::string& dir) {
    int seed = 0;
    for (Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
        for (uint64_t dims : {1, 3, 8}) {
            const std::string path = dir + "/seed_" + std::to_string(seed++);
            auto index = MmapFlatIndex::open(path, dims, metric);
            if (!index) continue;
            for (VectorId id = 0; id < 4; ++id) {
                std::vector<float> v(dims, static_cast<float>(id) + 0.25f);
                (void)index->add(id * 9 + 1, v);
            }
            (void)index->persist();
            // A second flush with a deletion rewrites the file; one with an addition appends.
            (void)index->remove(10);
            std::vector<float> v(dims, -2.0f);
            (void)index->add(77, v);
            (void)index->persist();
        }
    }
}

}  // namespace tvdb::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tvdb;
    static const std::string input = fuzz::scratch_path("vectors.mmap");
    fuzz::write_bytes(input, data, size);
    const uint64_t dims = fuzz::header_u32(data, size, tvec::kDimensionsOffset);
    const Metric metric = static_cast<Metric>(fuzz::header_u32(data, size, tvec::kMetricOffset) % 3);
    if (dims > fuzz::kMaxExercisedDimensions) return 0;

    uint64_t live = 0;
    {
        auto index = MmapFlatIndex::open(input, dims, metric);
        if (!index) return 0;
        fuzz::exercise_loaded_index(*index);
        live = index->len();
        fuzz::require(index->persist().has_value(), "an accepted file persists");
    }
    auto reopened = MmapFlatIndex::open(input, dims, metric);
    fuzz::require(reopened.has_value(), "a persisted file opens again");
    fuzz::require(reopened->len() == live, "persist keeps every live vector");
    return 0;
}

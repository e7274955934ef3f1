// "snapshot.json" parsing: fail cleanly or give a description that writes back to text
// which parses to the same description.

#include "fuzz_support.hpp"
#include "snapshot.hpp"

namespace tvdb::fuzz {

void write_seeds(const std::string& dir) {
    int seed = 0;
    for (const SnapshotMeta& meta : {SnapshotMeta{"nightly", 1765000000, 120, 4},
                                     SnapshotMeta{"a.b", 0, 0, 0},
                                     SnapshotMeta{"x", UINT64_MAX, UINT64_MAX, 1}}) {
        const std::string text = snapshot_meta_to_json(meta);
        write_bytes(dir + "/seed_" + std::to_string(seed++),
                    reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }
    const std::string reordered = R"({"sparse_count": 1, "name": "n", "extra": [1], "vector_count": 2, "created_at": 3})";
    write_bytes(dir + "/seed_reordered", reinterpret_cast<const uint8_t*>(reordered.data()),
                reordered.size());
}

}  // namespace tvdb::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tvdb;
    auto meta = snapshot_meta_from_json(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!meta) return 0;
    const std::string text = snapshot_meta_to_json(*meta);
    auto again = snapshot_meta_from_json(text);
    fuzz::require(again.has_value(), "written snapshot.json parses");
    fuzz::require(again->name == meta->name && again->created_at == meta->created_at &&
                      again->vector_count == meta->vector_count &&
                      again->sparse_count == meta->sparse_count,
                  "snapshot.json round-trips");
    return 0;
}

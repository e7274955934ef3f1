// meta.json parsing: fail cleanly or give metadata that writes back to text which parses to
// the same metadata, and from which the collection's empty index can be built.

#include "collection.hpp"
#include "collection_meta.hpp"
#include "fuzz_support.hpp"
#include "index_factory.hpp"

namespace tvdb::fuzz {

void write_seeds(const std::string& dir) {
    int seed = 0;
    for (const char* kind : {"flat", "hnsw", "quantized_flat", "ivf", "ivf_pq", "fp16_flat",
                             "mmap_flat", "binary_flat", "faiss"}) {
        auto meta = new_collection_meta("c" + std::to_string(seed), 4, Metric::L2,
                                        *index_type_from_name(kind));
        if (seed % 2) meta.auto_promote_threshold = 100;
        if (seed % 3 == 0) meta.embedding_model = "model";
        if (seed == 4) meta.promotion_hnsw_config = HnswConfig{};
        const std::string text = collection_meta_to_json(meta);
        write_bytes(dir + "/seed_" + std::to_string(seed++),
                    reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }
    const std::string array_form = R"(["a", 3, "cosine", "flat", null, 10])";
    write_bytes(dir + "/seed_array", reinterpret_cast<const uint8_t*>(array_form.data()),
                array_form.size());
}

}  // namespace tvdb::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tvdb;
    auto meta = collection_meta_from_json(
        std::string_view(reinterpret_cast<const char*>(data), size));
    if (!meta) return 0;

    const std::string text = collection_meta_to_json(*meta);
    auto again = collection_meta_from_json(text);
    fuzz::require(again.has_value(), "written metadata parses");
    fuzz::require(collection_meta_to_json(*again) == text, "metadata text is stable");

    if (meta->dimensions > fuzz::kMaxExercisedDimensions) return 0;
    static const std::string dir = [] {
        std::string path = fuzz::scratch_path("collection");
        std::filesystem::create_directories(path);
        return path;
    }();
    std::filesystem::remove(dir + "/" + kMmapVectorsFileName);
    auto index = build_index(*meta, dir);
    if (!index) return 0;
    fuzz::exercise_loaded_index(**index, {.readd_succeeds = true, .unique_iteration = false});
    return 0;
}

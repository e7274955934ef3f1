// Opening a collection whose "wal.log" is arbitrary bytes. The first input byte picks the
// index kind and metric (dimension 3), the rest is the log. Replay never fails on content,
// so the open must succeed; the collection must then be consistent (no payload nested deeper
// than the limit), accept writes, compact and reopen with the same contents.

#include "collection.hpp"
#include "fuzz_support.hpp"
#include "wal_format.hpp"

namespace tvdb::fuzz {

namespace {

constexpr uint64_t kDims = 3;
constexpr const char* kKinds[] = {"flat", "quantized_flat", "fp16_flat", "binary_flat",
                                  "hnsw", "mmap_flat", "ivf", "ivf_pq"};
constexpr size_t kKindCount = sizeof kKinds / sizeof kKinds[0];

CollectionMeta meta_for(uint8_t selector) {
    const Metric metric = static_cast<Metric>(selector / kKindCount % 3);
    auto meta = new_collection_meta("fuzzed", kDims, metric,
                                    *index_type_from_name(kKinds[selector % kKindCount]));
    if (meta.ivf_config) meta.ivf_config = IvfConfig{.n_lists = 2, .nprobe = 1, .train_size = 4, .max_iter = 2};
    if (meta.ivf_pq_config) {
        meta.ivf_pq_config = IvfPqConfig{.n_lists = 2, .nprobe = 1, .train_size = 4, .max_iter = 2,
                                         .pq = PqConfig{.m = 1, .k_sub = 4, .max_iter = 2}};
    }
    return meta;
}

std::string fresh_directory() {
    static const std::string dir = scratch_path("collection");
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    std::filesystem::create_directories(dir);
    return dir;
}

std::vector<float> vector_of(float x) { return {x, 1.0f - x, 0.5f * x}; }

void append_frame(std::vector<uint8_t>& log, const WalEntry& entry) {
    std::vector<uint8_t> record = encode_wal_record(entry);
    const auto length = static_cast<uint32_t>(record.size());
    const auto* prefix = reinterpret_cast<const uint8_t*>(&length);
    log.insert(log.end(), prefix, prefix + sizeof length);
    log.insert(log.end(), record.begin(), record.end());
}

// Payload text of arrays nested `depth` deep.
std::string nested_payload(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

}  // namespace

void write_seeds(const std::string& dir) {
    for (uint8_t selector = 0; selector < kKindCount * 3; ++selector) {
        const std::string collection_dir = fresh_directory();
        auto collection = Collection::create(collection_dir, meta_for(selector));
        if (!collection) continue;
        (void)collection->upsert(1, vector_of(1), Payload{{"x", 1}, {"tag", "a"}});
        (void)collection->upsert(2, vector_of(2));
        (void)collection->upsert_hybrid(3, vector_of(3), SparseVector{{1, 4}, {0.5f, 2.0f}},
                                        Payload{{"x", -2.5}});
        std::vector<UpsertEntry> batch;
        batch.push_back({.id = 4, .vector = vector_of(4), .payload = Payload::array({1, 2}), .sparse = {}});
        batch.push_back({.id = 1, .vector = vector_of(5), .payload = std::nullopt, .sparse = {}});
        (void)collection->upsert_batch(std::move(batch));
        (void)collection->remove(2);
        (void)collection->remove(99);
        auto bytes = read_bytes(collection_dir + "/" + wal_format::kLogFileName);
        bytes.insert(bytes.begin(), selector);
        write_bytes(dir + "/seed_" + std::to_string(selector), bytes);
    }
    // Payloads nested up to the limit, just past it, and far past it, for every kind.
    for (uint8_t selector = 0; selector < kKindCount; ++selector) {
        std::vector<uint8_t> log{selector};
        for (size_t depth : {kMaxJsonNesting, kMaxJsonNesting + 1, size_t{20000}}) {
            append_frame(log, WalAdd{.id = depth, .vector = vector_of(1), .payload = nested_payload(depth),
                                     .sparse = std::nullopt});
        }
        write_bytes(dir + "/seed_nested_" + std::to_string(selector), log);
    }
}

}  // namespace tvdb::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tvdb;
    if (size == 0) return 0;
    const std::string dir = fuzz::fresh_directory();
    auto created = Collection::create(dir, fuzz::meta_for(data[0]));
    if (!created) return 0;  // a kind this build lacks
    { auto dropped = std::move(*created); }
    fuzz::write_bytes(dir + "/" + wal_format::kLogFileName, data + 1, size - 1);

    auto collection = Collection::load(dir);
    fuzz::require(collection.has_value(), "a collection opens whatever its log holds");
    std::unordered_set<VectorId> live;
    collection->index().iter_vectors([&](VectorId id, std::span<const float>) { live.insert(id); });
    for (const auto& [id, payload] : collection->payloads()) {
        fuzz::require(live.contains(id), "every payload belongs to a live vector");
        fuzz::require(json_nesting_within(payload_to_bytes(payload)), "no payload nests too deep");
    }
    for (const auto& [id, sparse] : collection->sparse().vectors()) {
        fuzz::require(live.contains(id), "every sparse vector belongs to a live vector");
    }

    const auto query = fuzz::vector_of(0.25f);
    (void)collection->search(query, 5);
    auto filter = parse_filter(Payload{{"x", {{"$gt", 0}}}});
    (void)collection->search(query, 5, &*filter);
    fuzz::require(collection->upsert(1000, query, Payload{{"x", 7}}).has_value(), "upsert after replay");
    if (!live.empty()) fuzz::require(collection->remove(*live.begin()).has_value(), "delete after replay");
    fuzz::require(collection->compact().has_value(), "compaction after replay");

    const uint64_t count = collection->len();
    const size_t payloads = collection->payloads().size();
    const uint64_t sparse = collection->sparse_count();
    { auto closed = std::move(*collection); }
    auto reopened = Collection::load(dir);
    fuzz::require(reopened.has_value(), "a compacted collection opens");
    fuzz::require(reopened->len() == count, "compaction keeps every vector");
    fuzz::require(reopened->payloads().size() == payloads, "compaction keeps every payload");
    fuzz::require(reopened->sparse_count() == sparse, "compaction keeps every sparse vector");
    return 0;
}

// Restoring a damaged snapshot. The first input byte picks the collection's kind, one file of
// the snapshot (wal.log, meta.json, sparse.bin, hnsw.graph) and what happens to it: replaced
// by the rest of the input, turned into a directory, or removed. A restore must either fail
// and leave the collection as it was, in memory and on disk, or succeed with the open
// collection holding exactly what a fresh open of the directory finds.

#include <algorithm>
#include <bit>
#include <tuple>

#include "collection.hpp"
#include "fuzz_support.hpp"
#include "manager.hpp"
#include "snapshot.hpp"

namespace tvdb::fuzz {

namespace {

constexpr uint64_t kDims = 3;
constexpr const char* kKinds[] = {"flat", "hnsw", "mmap_flat"};
constexpr const char* kFiles[] = {"wal.log", "meta.json", "sparse.bin", "hnsw.graph"};
enum class Damage { Replace, Directory, Remove };
constexpr size_t kKindCount = std::size(kKinds);
constexpr size_t kFileCount = std::size(kFiles);
constexpr size_t kSelectorCount = kKindCount * kFileCount * 3;

struct Plan {
    const char* kind;
    const char* file;
    Damage damage;
};

Plan plan_for(uint8_t selector) {
    selector %= kSelectorCount;
    return {kKinds[selector % kKindCount], kFiles[selector / kKindCount % kFileCount],
            static_cast<Damage>(selector / (kKindCount * kFileCount))};
}

std::vector<float> vector_of(float x) { return {x, 1.0f - x, 0.5f * x}; }

// Every vector (as bit patterns: a NaN component is valid data and must compare equal to
// itself) with its payload text, by ID.
using State = std::vector<std::tuple<VectorId, std::vector<uint32_t>, std::string>>;

State state_of(const Collection& collection) {
    State state;
    collection.index().iter_vectors([&](VectorId id, std::span<const float> vector) {
        const Payload* payload = collection.payload(id);
        std::vector<uint32_t> bits(vector.size());
        std::transform(vector.begin(), vector.end(), bits.begin(),
                       [](float x) { return std::bit_cast<uint32_t>(x); });
        state.emplace_back(id, std::move(bits),
                           payload ? payload_to_bytes(*payload) : std::string("-"));
    });
    std::sort(state.begin(), state.end());
    return state;
}

struct Fixture {
    std::string base;
    std::string collection_dir;
    std::string snapshot_dir;
};

// A collection "c" of the plan's kind with a snapshot "s" of three vectors (one with a
// sparse vector), then changed after the snapshot.
std::optional<Fixture> make_fixture(std::unique_ptr<CollectionManager>& manager, const Plan& plan) {
    Fixture fixture{scratch_path("restore"), "", ""};
    std::error_code ignored;
    std::filesystem::remove_all(fixture.base, ignored);
    auto opened = CollectionManager::open(fixture.base);
    if (!opened) return std::nullopt;
    manager = std::make_unique<CollectionManager>(std::move(*opened));
    auto created = manager->create("c", kDims, Metric::L2, *index_type_from_name(plan.kind));
    if (!created) return std::nullopt;
    Collection& collection = **created;
    (void)collection.upsert(1, vector_of(1), Payload{{"x", 1}});
    (void)collection.upsert_hybrid(2, vector_of(2), SparseVector{{3}, {1.5f}}, std::nullopt);
    (void)collection.upsert(3, vector_of(3), Payload::array({1, "a"}));
    if (!create_snapshot(collection, "s")) return std::nullopt;
    (void)collection.remove(1);
    (void)collection.upsert(4, vector_of(4), Payload{{"after", true}});
    fixture.collection_dir = collection.dir();
    fixture.snapshot_dir = collection.dir() + "/snapshots/s";
    return fixture;
}

}  // namespace

void write_seeds(const std::string& dir) {
    for (uint8_t selector = 0; selector < kSelectorCount; ++selector) {
        const Plan plan = plan_for(selector);
        std::unique_ptr<CollectionManager> manager;
        auto fixture = make_fixture(manager, plan);
        if (!fixture) continue;
        std::vector<uint8_t> bytes = read_bytes(fixture->snapshot_dir + "/" + plan.file);
        bytes.insert(bytes.begin(), selector);
        write_bytes(dir + "/seed_" + std::to_string(selector), bytes);
    }
}

}  // namespace tvdb::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tvdb;
    using namespace tvdb::fuzz;
    if (size == 0) return 0;
    const Plan plan = plan_for(data[0]);
    std::unique_ptr<CollectionManager> manager;
    auto fixture = make_fixture(manager, plan);
    if (!fixture) return 0;  // a kind this build lacks
    const std::string target = fixture->snapshot_dir + "/" + plan.file;
    std::error_code ignored;
    std::filesystem::remove_all(target, ignored);
    if (plan.damage == Damage::Replace) write_bytes(target, data + 1, size - 1);
    if (plan.damage == Damage::Directory) std::filesystem::create_directory(target, ignored);

    const State before = state_of(*manager->get("c"));
    auto restored = restore_snapshot(*manager, "c", "s");
    const Collection* open = manager->get("c");
    auto fresh = Collection::load(fixture->collection_dir);
    if (!restored && open != nullptr) {
        require(state_of(*open) == before, "a refused restore leaves the open collection as it was");
        require(fresh.has_value() && state_of(*fresh) == before,
                "a refused restore leaves the files as they were");
        return 0;
    }
    if (!restored) {
        require(!fresh.has_value(), "a collection dropped by a restore cannot be opened either");
        return 0;
    }
    require(open != nullptr && fresh.has_value(), "a restored collection opens");
    require(state_of(*open) == state_of(*fresh), "the restored collection is what its files hold");
    return 0;
}

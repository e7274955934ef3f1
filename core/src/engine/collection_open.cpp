// Opening a collection: creating a new one, or reading one back from its directory by
// replaying its log into a freshly built index, payload map and sparse index.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <unordered_map>

#include "collection.hpp"
#include "file_io.hpp"
#include "index_factory.hpp"
#include "restore_staging.hpp"
#include "wal_format.hpp"

namespace tvdb {
namespace {

bool same_vector(std::span<const float> a, std::span<const float> b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size_bytes()) == 0;
}

// The live vectors of a replayed log in the order their last Add left them, so that the
// index is built once from the final state instead of following every frame.
//
// The vectors sit back to back in one buffer rather than one allocation each: a reopen
// frees them all once the index is built, and thousands of small blocks freed between the
// payloads that stay would leave the heap full of holes the process keeps.
class ReplayStaging {
public:
    explicit ReplayStaging(size_t dimensions) : dimensions_(dimensions) {}

    // `vector` has the staging's dimension count.
    void upsert(VectorId id, std::span<const float> vector) {
        // An unchanged vector keeps its place, as the live write kept its graph node.
        if (auto stored = find(id); stored && same_vector(*stored, vector)) return;
        remove(id);
        slot_of_.emplace(id, ids_.size());
        ids_.push_back(id);
        live_.push_back(1);
        rows_.insert(rows_.end(), vector.begin(), vector.end());
    }

    void remove(VectorId id) {
        auto it = slot_of_.find(id);
        if (it == slot_of_.end()) return;
        live_[it->second] = 0;
        slot_of_.erase(it);
        // Replaced rows are dropped once they outnumber the live ones, so a log that keeps
        // rewriting the same IDs never holds more than twice its live vectors here.
        if (ids_.size() - slot_of_.size() > std::max(slot_of_.size(), kMinDeadToCompact)) compact();
    }

    bool contains(VectorId id) const { return slot_of_.contains(id); }
    size_t size() const { return slot_of_.size(); }
    // The stored vector of a live ID.
    std::optional<std::span<const float>> find(VectorId id) const {
        auto it = slot_of_.find(id);
        if (it == slot_of_.end()) return std::nullopt;
        return row(it->second);
    }

    // The live IDs and their rows (back to back) in slot order; the staging is emptied.
    std::pair<std::vector<VectorId>, std::vector<float>> take_live() {
        compact();
        auto taken = std::make_pair(std::move(ids_), std::move(rows_));
        ids_.clear();
        rows_.clear();
        live_.clear();
        slot_of_.clear();
        return taken;
    }

private:
    static constexpr size_t kMinDeadToCompact = 1024;

    std::span<const float> row(size_t slot) const {
        return {rows_.data() + slot * dimensions_, dimensions_};
    }

    // Drops the rows of replaced and removed IDs, keeping the order of the others.
    void compact() {
        size_t kept = 0;
        for (size_t slot = 0; slot < ids_.size(); ++slot) {
            if (!live_[slot]) continue;
            if (kept != slot) {
                ids_[kept] = ids_[slot];
                std::copy_n(rows_.begin() + slot * dimensions_, dimensions_, rows_.begin() + kept * dimensions_);
                slot_of_[ids_[kept]] = kept;
            }
            ++kept;
        }
        ids_.resize(kept);
        rows_.resize(kept * dimensions_);
        live_.assign(kept, 1);
    }

    size_t dimensions_;
    std::vector<VectorId> ids_;
    std::vector<float> rows_;
    std::vector<uint8_t> live_;
    std::unordered_map<VectorId, size_t> slot_of_;
};

// Whether an index holds exactly the staged live IDs with bit-identical vectors.
bool holds_exactly(const VectorIndex& index, const ReplayStaging& staging) {
    if (index.len() != staging.size()) return false;
    bool equal = true;
    index.iter_vectors([&](VectorId id, std::span<const float> vector) {
        if (!equal) return;
        auto staged = staging.find(id);
        equal = staged && same_vector(*staged, vector);
    });
    return equal;
}

// A saved graph is adopted only when it describes exactly the replayed vectors: a graph
// written at an older compaction would hide every later write.
std::unique_ptr<VectorIndex> adopt_saved_graph(const CollectionMeta& meta, const std::string& dir,
                                               const ReplayStaging& staging) {
    std::string path = collection_file(dir, kGraphFileName);
    if (staging.size() == 0 || !is_regular_file(path)) return nullptr;
    auto saved = load_graph_index(meta, path);
    if (!saved || !holds_exactly(**saved, staging)) return nullptr;
    return std::move(*saved);
}

// Brings the vectors file in line with the replayed state: records of IDs the log no longer
// holds are dropped and only vectors that differ from the file are written again.
Result<void> reconcile_mmap(VectorIndex& index, ReplayStaging& staging) {
    index.drop_if([&](VectorId id) { return !staging.contains(id); });
    auto [ids, rows] = staging.take_live();
    const size_t dimensions = ids.empty() ? 0 : rows.size() / ids.size();
    for (size_t i = 0; i < ids.size(); ++i) {
        std::span<const float> vector(rows.data() + i * dimensions, dimensions);
        auto stored = index.find(ids[i]);
        if (stored && same_vector(*stored, vector)) continue;
        index.remove(ids[i]);
        if (auto added = index.add(ids[i], vector); !added) return added;
    }
    // A failure leaves the changes pending in memory; the next flush retries.
    (void)index.persist();
    return {};
}

struct ReplayedIndex {
    std::unique_ptr<VectorIndex> index;
    bool graph_adopted = false;
};

// The index of a reopened collection, built once from the final replayed state.
Result<ReplayedIndex> index_from_replay(const CollectionMeta& meta, const std::string& dir,
                                        std::unique_ptr<VectorIndex> index,
                                        ReplayStaging& staging) {
    if (meta.index_type == IndexType::Hnsw) {
        if (auto adopted = adopt_saved_graph(meta, dir, staging)) {
            return ReplayedIndex{std::move(adopted), true};
        }
    }
    if (meta.index_type == IndexType::MmapFlat) {
        if (auto ok = reconcile_mmap(*index, staging); !ok) {
            return fail(ok.error());
        }
        return ReplayedIndex{std::move(index)};
    }
    // Kinds that train (ivf, ivf_pq) do so inside `add` once `train_size` vectors arrived;
    // nothing here trains a smaller sample.
    auto [ids, rows] = staging.take_live();
    if (auto added = index->add_rows_in_bulk(ids, rows); !added) return fail(added.error());
    return ReplayedIndex{std::move(index)};
}

}  // namespace

Result<Collection> Collection::create(const std::string& dir, CollectionMeta meta) {
    // build_index refuses "faiss" before it touches the directory.
    auto index = build_index(meta, dir);
    if (!index) return fail(index.error());
    if (auto written = write_collection_meta(collection_file(dir, kMetaFileName), meta); !written) {
        return fail(written.error());
    }
    auto wal = Wal::open(collection_file(dir, wal_format::kLogFileName));
    if (!wal) return fail(wal.error());
    return Collection(std::move(meta), dir, std::move(*index), SparseIndex{}, {}, {}, std::move(*wal),
                      /*graph_on_disk=*/true);
}

Result<Collection> Collection::load(const std::string& dir) {
    // A restore that was committed before a crash is completed first, one that was not is
    // dropped: either way the files below are all the old state's or all the snapshot's.
    if (auto finished = finish_restore(dir); !finished) return fail(finished.error());
    // The remains of an interrupted rewrite; wal.log is still the valid log.
    ::unlink(collection_file(dir, wal_format::kRewriteFileName).c_str());

    auto meta = read_collection_meta(collection_file(dir, kMetaFileName));
    if (!meta) return fail(meta.error());
    auto index = build_index(*meta, dir);
    if (!index) return fail(index.error());

    SparseIndex sparse;
    if (std::string sparse_path = collection_file(dir, kSparseFileName); is_regular_file(sparse_path)) {
        if (auto loaded = SparseIndex::load(sparse_path)) sparse = std::move(*loaded);
    }

    std::unordered_map<VectorId, Payload> payloads;
    PayloadTexts payload_texts;
    const uint64_t dimensions = meta->dimensions;
    ReplayStaging staging(dimensions);
    const std::string wal_path = collection_file(dir, wal_format::kLogFileName);
    auto replayed = read_wal(wal_path, [&](WalEntry&& entry) {
        if (auto* add = std::get_if<WalAdd>(&entry)) {
            // A vector of the wrong length was never applied by a live write either.
            if (add->vector.size() != dimensions) return;
            staging.upsert(add->id, add->vector);
            // Freed now, so the next frame's vector takes the same block.
            std::vector<float>().swap(add->vector);
            if (!add->payload) {
                payloads.erase(add->id);
                payload_texts.erase(add->id);
            } else if (auto value = payload_from_bytes(std::span(
                           reinterpret_cast<const uint8_t*>(add->payload->data()), add->payload->size()))) {
                payloads.insert_or_assign(add->id, std::move(*value));
                payload_texts.insert_or_assign(add->id, std::move(*add->payload));
            }
            if (add->sparse) {
                if (auto vector = decode_sparse_vector(*add->sparse)) sparse.upsert(add->id, std::move(*vector));
            }
        } else {
            VectorId id = std::get<WalDelete>(entry).id;
            staging.remove(id);
            payloads.erase(id);
            payload_texts.erase(id);
            sparse.remove(id);
        }
    });
    if (!replayed) return fail(replayed.error());

    // sparse.bin may predate deletes that a crash kept out of it; the log decides.
    std::vector<VectorId> orphans;
    for (const auto& [id, vector] : sparse.vectors()) {
        if (!staging.contains(id)) orphans.push_back(id);
    }
    for (VectorId id : orphans) sparse.remove(id);

    auto built = index_from_replay(*meta, dir, std::move(*index), staging);
    if (!built) return fail(built.error());

    if (replayed->trailing_bytes > 0) {
        if (auto cut = truncate_file(wal_path, replayed->valid_length); !cut) return fail(cut.error());
    }
    auto wal = Wal::open(wal_path);
    if (!wal) return fail(wal.error());
    const bool graph_on_disk = built->graph_adopted || meta->index_type != IndexType::Hnsw;
    return Collection(std::move(*meta), dir, std::move(built->index), std::move(sparse),
                      std::move(payloads), std::move(payload_texts), std::move(*wal), graph_on_disk);
}

uint64_t Collection::len() const { return index_->len(); }


}  // namespace tvdb

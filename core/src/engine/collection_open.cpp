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

// Whether two vectors have the same bit pattern (NaN components included), whether held
// as floats or as logged bytes.
bool same_bits(std::span<const std::byte> a, std::span<const std::byte> b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
}

// The live vectors of a replayed log in the order their last Add left them, so that the
// index is built once from the final state instead of following every frame. A vector is
// held as its bytes in the mapped log, which must outlive the staging: nothing is copied
// unless the index has to be built from it.
class ReplayStaging {
public:
    explicit ReplayStaging(size_t dimensions) : row_bytes_(dimensions * sizeof(float)) {}

    void reserve(size_t count) {
        ids_.reserve(count);
        rows_.reserve(count);
        live_.reserve(count);
        slot_of_.reserve(count);
    }

    // `vector` holds the staging's dimension count of floats.
    void upsert(VectorId id, std::span<const uint8_t> vector) {
        // An unchanged vector keeps its place, as the live write kept its graph node.
        if (auto stored = find(id); stored && same_bits(std::as_bytes(*stored), std::as_bytes(vector))) return;
        remove(id);
        slot_of_.emplace(id, ids_.size());
        ids_.push_back(id);
        live_.push_back(1);
        rows_.push_back(vector.data());
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
    // The logged bytes of a live ID's vector.
    std::optional<std::span<const uint8_t>> find(VectorId id) const {
        auto it = slot_of_.find(id);
        if (it == slot_of_.end()) return std::nullopt;
        return std::span(rows_[it->second], row_bytes_);
    }

    // The live IDs and their rows (back to back) in slot order; the staging is emptied.
    std::pair<std::vector<VectorId>, std::vector<float>> take_live() {
        compact();
        std::vector<float> rows(rows_.size() * row_bytes_ / sizeof(float));
        for (size_t slot = 0; slot < rows_.size(); ++slot) {
            std::memcpy(reinterpret_cast<uint8_t*>(rows.data()) + slot * row_bytes_, rows_[slot], row_bytes_);
        }
        auto taken = std::make_pair(std::move(ids_), std::move(rows));
        ids_.clear();
        rows_.clear();
        live_.clear();
        slot_of_.clear();
        return taken;
    }

private:
    static constexpr size_t kMinDeadToCompact = 1024;

    // Drops the rows of replaced and removed IDs, keeping the order of the others.
    void compact() {
        size_t kept = 0;
        for (size_t slot = 0; slot < ids_.size(); ++slot) {
            if (!live_[slot]) continue;
            if (kept != slot) {
                ids_[kept] = ids_[slot];
                rows_[kept] = rows_[slot];
                slot_of_[ids_[kept]] = kept;
            }
            ++kept;
        }
        ids_.resize(kept);
        rows_.resize(kept);
        live_.assign(kept, 1);
    }

    size_t row_bytes_;
    std::vector<VectorId> ids_;
    std::vector<const uint8_t*> rows_;
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
        equal = staged && same_bits(std::as_bytes(vector), std::as_bytes(*staged));
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
        if (stored && same_bits(std::as_bytes(*stored), std::as_bytes(vector))) continue;
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
    return Collection(std::move(meta), dir, std::move(*index), SparseIndex{}, std::make_unique<PayloadStore>(), std::move(*wal),
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

    auto payloads = std::make_unique<PayloadStore>();
    const uint64_t dimensions = meta->dimensions;
    ReplayStaging staging(dimensions);
    const std::string wal_path = collection_file(dir, wal_format::kLogFileName);
    auto log = map_wal(wal_path);
    if (!log) return fail(log.error());
    const size_t frames_estimate = log->size() / wal_add_record_length(dimensions, std::nullopt, std::nullopt);
    staging.reserve(frames_estimate);
    payloads->reserve(frames_estimate);
    const WalReadSummary replayed = walk_wal(log->bytes(), [&](const WalFrame& frame) {
        if (frame.is_delete) {
            staging.remove(frame.id);
            payloads->erase(frame.id);
            sparse.remove(frame.id);
            return;
        }
        // A vector of the wrong length was never applied by a live write either.
        if (frame.components() != dimensions) return;
        staging.upsert(frame.id, frame.vector_bytes);
        // A payload that is not valid JSON was never logged by a live write; the frame's
        // vector still counts.
        if (!frame.payload) {
            payloads->erase(frame.id);
        } else if (is_payload_text(*frame.payload)) {
            payloads->set(frame.id, std::string(*frame.payload));
        }
        if (frame.sparse) {
            if (auto vector = decode_sparse_vector(*frame.sparse)) sparse.upsert(frame.id, std::move(*vector));
        }
    });

    // sparse.bin may predate deletes that a crash kept out of it; the log decides.
    std::vector<VectorId> orphans;
    for (const auto& [id, vector] : sparse.vectors()) {
        if (!staging.contains(id)) orphans.push_back(id);
    }
    for (VectorId id : orphans) sparse.remove(id);

    auto built = index_from_replay(*meta, dir, std::move(*index), staging);
    if (!built) return fail(built.error());
    *log = MappedFile();

    if (replayed.trailing_bytes > 0) {
        if (auto cut = truncate_file(wal_path, replayed.valid_length); !cut) return fail(cut.error());
    }
    auto wal = Wal::open(wal_path);
    if (!wal) return fail(wal.error());
    const bool graph_on_disk = built->graph_adopted || meta->index_type != IndexType::Hnsw;
    return Collection(std::move(*meta), dir, std::move(built->index), std::move(sparse),
                      std::move(payloads), std::move(*wal), graph_on_disk);
}

uint64_t Collection::len() const { return index_->len(); }


}  // namespace tvdb

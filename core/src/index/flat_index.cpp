#include "flat_index.hpp"

#include <cmath>
#include <algorithm>
#include <unordered_set>

#include "codec.hpp"
#include "detail/top_k.hpp"

namespace tvdb {
namespace {
// Distances are computed in blocks of rows so the vectorised row kernel can run; a block of
// live rows is scored at once, dead rows are skipped by their flag.
constexpr size_t kScanBlock = 256;

// Reserving exactly what one batch needs would move the whole store on every batch (a
// quadratic fill in batches); grow at least geometrically instead.
template <typename Sequence>
void reserve_for_append(Sequence& sequence, size_t extra) {
    const size_t needed = sequence.size() + extra;
    if (needed > sequence.capacity()) sequence.reserve(std::max(needed, 2 * sequence.capacity()));
}

template <typename Map>
void reserve_map_for_insert(Map& map, size_t extra) {
    const size_t needed = map.size() + extra;
    if (needed > map.bucket_count() * map.max_load_factor()) map.reserve(std::max(needed, 2 * map.size()));
}
}  // namespace

FlatIndex::FlatIndex(uint64_t dimensions, Metric metric)
    : config_{.dimensions = dimensions, .metric = metric} {}

std::span<const float> FlatIndex::slot_vector(size_t slot) const {
    return std::span(vectors_).subspan(slot * config_.dimensions, config_.dimensions);
}

void FlatIndex::append_slot(VectorId id, std::span<const float> vector) {
    size_t slot = ids_.size();
    vectors_.insert(vectors_.end(), vector.begin(), vector.end());
    ids_.push_back(id);
    alive_.push_back(1);
    id_to_slot_.emplace(id, slot);
    ++count_;
}

Result<void> FlatIndex::add(VectorId id, std::span<const float> vector) {
    if (auto ok = check_dimensions(config_.dimensions, vector.size()); !ok) return ok;
    if (id_to_slot_.contains(id)) return fail(VectorDbError::duplicate_id(id));
    append_slot(id, vector);
    return {};
}

Result<void> FlatIndex::add_batch(std::span<const VectorEntry> entries) {
    std::unordered_set<VectorId> batch_ids;
    batch_ids.reserve(entries.size());
    for (const auto& [id, vector] : entries) {
        if (auto ok = check_dimensions(config_.dimensions, vector.size()); !ok) return ok;
        if (id_to_slot_.contains(id) || !batch_ids.insert(id).second) {
            return fail(VectorDbError::duplicate_id(id));
        }
    }
    reserve_rows(entries.size());
    for (const auto& [id, vector] : entries) append_slot(id, vector);
    return {};
}

void FlatIndex::reserve_rows(size_t rows) {
    reserve_for_append(vectors_, rows * config_.dimensions);
    reserve_for_append(ids_, rows);
    reserve_for_append(alive_, rows);
    reserve_map_for_insert(id_to_slot_, rows);
}

Result<void> FlatIndex::add_batch_contiguous(std::span<const float> data, VectorId start_id) {
    auto rows = bulk_row_count(config_.dimensions, data.size(), start_id);
    if (!rows) return fail(rows.error());
    for (uint64_t i = 0; i < *rows; ++i) {
        if (id_to_slot_.contains(start_id + i)) return fail(VectorDbError::duplicate_id(start_id + i));
    }
    reserve_rows(*rows);
    vectors_.insert(vectors_.end(), data.begin(), data.end());
    for (uint64_t i = 0; i < *rows; ++i) {
        id_to_slot_.emplace(start_id + i, ids_.size());
        ids_.push_back(start_id + i);
        alive_.push_back(1);
    }
    count_ += *rows;
    return {};
}

Result<void> FlatIndex::add_rows(std::span<const VectorId> ids, std::span<const float> rows) {
    if (auto ok = check_row_ids(config_.dimensions, ids.size(), rows.size()); !ok) return ok;
    std::unordered_set<VectorId> batch_ids;
    batch_ids.reserve(ids.size());
    for (VectorId id : ids) {
        if (id_to_slot_.contains(id) || !batch_ids.insert(id).second) {
            return fail(VectorDbError::duplicate_id(id));
        }
    }
    reserve_rows(ids.size());
    vectors_.insert(vectors_.end(), rows.begin(), rows.end());
    for (VectorId id : ids) {
        id_to_slot_.emplace(id, ids_.size());
        ids_.push_back(id);
        alive_.push_back(1);
    }
    count_ += ids.size();
    return {};
}

Result<std::vector<SearchResult>> FlatIndex::search(std::span<const float> query,
                                                    uint64_t k) const {
    return nearest(query, k, nullptr);
}

Result<std::vector<SearchResult>> FlatIndex::search_filtered(std::span<const float> query,
                                                             uint64_t k,
                                                             const SearchFilter& filter) const {
    return nearest(query, k, &filter.admit);
}

Result<std::vector<SearchResult>> FlatIndex::nearest(std::span<const float> query, uint64_t k,
                                                     const IdFilter* admit) const {
    if (auto ok = check_dimensions(config_.dimensions, query.size()); !ok) return fail(ok.error());
    if (k == 0 || count_ == 0) return std::vector<SearchResult>{};
    const size_t dims = config_.dimensions;
    const size_t slots = ids_.size();
    TopK top(std::min<uint64_t>(k, count_), admit);
    float distances[kScanBlock];
    for (size_t begin = 0; begin < slots; begin += kScanBlock) {
        size_t end = std::min(slots, begin + kScanBlock);
        size_t slot = begin;
        while (slot < end) {
            if (!alive_[slot]) {
                ++slot;
                continue;
            }
            size_t run_end = slot;
            while (run_end < end && alive_[run_end]) ++run_end;
            distance_rows_ord(config_.metric, query, vectors_.data() + slot * dims,
                              run_end - slot, distances);
            for (size_t s = slot; s < run_end; ++s) top.push(ids_[s], distances[s - slot]);
            slot = run_end;
        }
    }
    auto hits = top.take_sorted();
    // Ranked by squared distance; the reported L2 distance is its square root.
    if (config_.metric == Metric::L2) {
        for (SearchResult& hit : hits) hit.distance = std::sqrt(hit.distance);
    }
    return hits;
}

bool FlatIndex::remove(VectorId id) {
    auto it = id_to_slot_.find(id);
    if (it == id_to_slot_.end() || !alive_[it->second]) return false;
    alive_[it->second] = 0;
    id_to_slot_.erase(it);
    --count_;
    return true;
}

void FlatIndex::iter_vectors(const VectorVisitor& visit) const {
    for (size_t slot = 0; slot < ids_.size(); ++slot) {
        if (alive_[slot]) visit(ids_[slot], slot_vector(slot));
    }
}

void FlatIndex::iter_ids(const std::function<void(VectorId)>& visit) const {
    for (size_t slot = 0; slot < ids_.size(); ++slot) {
        if (alive_[slot]) visit(ids_[slot]);
    }
}

std::optional<std::vector<float>> FlatIndex::vector_of(VectorId id) const {
    auto it = id_to_slot_.find(id);
    if (it == id_to_slot_.end()) return std::nullopt;
    auto vector = slot_vector(it->second);
    return std::vector<float>(vector.begin(), vector.end());
}

template <typename Sink>
void FlatIndex::write_to(RecordEncoder<Sink>& out) const {
    out.u64(config_.dimensions);
    out.u32(static_cast<uint32_t>(config_.metric));
    out.f32_seq(vectors_);
    out.u64_seq(ids_);
    out.u8_seq(alive_);
}

Result<void> FlatIndex::save(const std::string& path) const {
    auto file = FileEncoder::create(path);
    if (!file) return fail(file.error());
    write_to(*file);
    return file->finish();
}

std::vector<uint8_t> FlatIndex::to_bytes() const {
    ByteEncoder out;
    write_to(out);
    return out.take();
}

Result<FlatIndex> FlatIndex::load(const std::string& path) {
    auto bytes = read_file(path);
    if (!bytes) return fail(bytes.error());
    return from_bytes(*bytes);
}

Result<FlatIndex> FlatIndex::from_bytes(std::span<const uint8_t> bytes) {
    RecordDecoder in(bytes);
    uint64_t dimensions = in.u64();
    uint32_t metric_id = in.variant(kMetricCount);
    auto vectors = in.f32_seq();
    auto ids = in.u64_seq();
    auto alive = in.u8_seq();
    if (!in.ok()) return fail(in.error());

    // A consistent record has one ID, one flag and one vector per slot, and live IDs that
    // never repeat; anything else would make searches read past the arrays.
    const size_t slots = ids.size();
    if (alive.size() != slots) {
        return fail(VectorDbError::serialization(
            "ids count " + std::to_string(slots) + " differs from alive count " +
            std::to_string(alive.size())));
    }
    if (dimensions != 0 && slots > vectors.size() / dimensions) {
        return fail(VectorDbError::serialization("vectors count does not match slots"));
    }
    if (vectors.size() != slots * dimensions) {
        return fail(VectorDbError::serialization(
            "vectors count " + std::to_string(vectors.size()) + " is not " +
            std::to_string(slots) + " slots x " + std::to_string(dimensions) + " dimensions"));
    }
    FlatIndex index(dimensions, static_cast<Metric>(metric_id));
    index.id_to_slot_.reserve(16);
    for (size_t slot = 0; slot < slots; ++slot) {
        if (alive[slot] > 1) return fail(VectorDbError::serialization("alive flag is not 0 or 1"));
        if (alive[slot] == 0) continue;
        if (!index.id_to_slot_.emplace(ids[slot], slot).second) {
            return fail(VectorDbError::serialization("live slots repeat vector ID " +
                                                     std::to_string(ids[slot])));
        }
        ++index.count_;
    }
    index.vectors_.assign(vectors.begin(), vectors.end());
    index.ids_ = std::move(ids);
    index.alive_ = std::move(alive);
    return index;
}

}  // namespace tvdb

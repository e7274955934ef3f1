// The life of an open collection: writes (log first, then memory), searches, compaction
// and promotion. Opening and replay live in collection_open.cpp, the choice of index kind in
// index_factory.cpp.

#include "collection.hpp"

#include <unistd.h>

#include <cerrno>
#include <unordered_map>

#include "index_factory.hpp"
#include "wal_format.hpp"

namespace tvdb {
namespace {

Result<void> remove_file_if_present(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return fail(VectorDbError::io_errno(errno));
    return {};
}

// Payload bytes and sparse record bytes of one Add frame.
struct EncodedAdd {
    std::optional<std::string> payload;
    std::optional<std::vector<uint8_t>> sparse;

    std::optional<std::string_view> payload_view() const {
        if (!payload) return std::nullopt;
        return std::string_view(*payload);
    }
    std::optional<std::span<const uint8_t>> sparse_view() const {
        if (!sparse) return std::nullopt;
        return std::span<const uint8_t>(*sparse);
    }
};

EncodedAdd encode_add(const std::optional<Payload>& payload, const std::optional<SparseVector>& sparse) {
    EncodedAdd encoded;
    if (payload) encoded.payload = payload_to_bytes(*payload);
    if (sparse) encoded.sparse = encode_sparse_vector(*sparse);
    return encoded;
}


}  // namespace

Collection::Collection(CollectionMeta meta, std::string dir, std::unique_ptr<VectorIndex> index,
                       SparseIndex sparse, std::unique_ptr<PayloadStore> payloads, Wal wal,
                       bool graph_on_disk)
    : meta_(std::move(meta)),
      dir_(std::move(dir)),
      index_(std::move(index)),
      sparse_(std::move(sparse)),
      payloads_(std::move(payloads)),
      wal_(std::make_unique<Wal>(std::move(wal))),
      graph_on_disk_(graph_on_disk) {}

Collection::Collection(Collection&&) noexcept = default;
Collection& Collection::operator=(Collection&&) noexcept = default;
Collection::~Collection() = default;

std::string Collection::file_path(const char* name) const { return collection_file(dir_, name); }

uint64_t Collection::wal_count() const { return wal_ ? wal_->count() : 0; }

Result<Wal*> Collection::open_wal() {
    if (!wal_) {
        auto wal = Wal::open(file_path(wal_format::kLogFileName));
        if (!wal) return fail(wal.error());
        wal_ = std::make_unique<Wal>(std::move(*wal));
    }
    return wal_.get();
}

Result<void> Collection::check_add_record(VectorId id, size_t components,
                                          std::optional<size_t> payload_bytes,
                                          std::optional<size_t> sparse_bytes) const {
    return check_wal_record_length(id, wal_add_record_length(components, payload_bytes, sparse_bytes));
}

// The sparse record size an Add for `id` carries now or at the next compaction.
std::optional<size_t> Collection::carried_sparse_size(VectorId id,
                                                      const std::optional<std::vector<uint8_t>>& given) const {
    if (given) return given->size();
    if (const SparseVector* existing = sparse_.get(id)) return sparse_vector_record_size(*existing);
    return std::nullopt;
}

Result<void> Collection::upsert(VectorId id, std::span<const float> vector,
                                std::optional<Payload> payload) {
    return write_single_add(id, vector, std::move(payload), std::nullopt);
}

Result<void> Collection::upsert_hybrid(VectorId id, std::span<const float> vector,
                                       std::optional<SparseVector> sparse,
                                       std::optional<Payload> payload) {
    return write_single_add(id, vector, std::move(payload), std::move(sparse));
}

Result<void> Collection::write_single_add(VectorId id, std::span<const float> vector,
                                          std::optional<Payload> payload,
                                          std::optional<SparseVector> sparse) {
    if (auto ok = check_dimensions(meta_.dimensions, vector.size()); !ok) return ok;
    EncodedAdd encoded = encode_add(payload, sparse);
    std::optional<size_t> payload_size;
    if (encoded.payload) payload_size = encoded.payload->size();
    if (auto ok = check_add_record(id, vector.size(), payload_size, carried_sparse_size(id, encoded.sparse));
        !ok) {
        return ok;
    }
    auto wal = open_wal();
    if (!wal) return fail(wal.error());
    if (auto appended = (*wal)->append_add(id, vector, encoded.payload_view(), encoded.sparse_view());
        !appended) {
        return appended;
    }
    if (auto flushed = (*wal)->flush(); !flushed) return flushed;
    (*wal)->add_to_count(1);

    // Writing an unchanged vector again would only cost the graph a removal and a re-link.
    if (!index_->stores_vector(id, vector)) {
        index_->remove(id);
        if (auto added = index_->add(id, vector); !added) return added;
    }
    if (sparse) sparse_.upsert(id, std::move(*sparse));
    set_payload(id, std::move(payload), std::move(encoded.payload));
    return after_write(true);
}

Result<void> Collection::upsert_batch(std::vector<UpsertEntry> entries) {
    for (const UpsertEntry& entry : entries) {
        if (auto ok = check_dimensions(meta_.dimensions, entry.vector.size()); !ok) return ok;
    }
    std::vector<VectorId> ids;
    std::vector<float> rows;
    std::vector<std::optional<Payload>> payloads;
    std::vector<std::optional<SparseVector>> sparse;
    ids.reserve(entries.size());
    rows.reserve(entries.size() * meta_.dimensions);
    payloads.reserve(entries.size());
    sparse.reserve(entries.size());
    for (UpsertEntry& entry : entries) {
        ids.push_back(entry.id);
        rows.insert(rows.end(), entry.vector.begin(), entry.vector.end());
        std::vector<float>().swap(entry.vector);
        payloads.push_back(std::move(entry.payload));
        sparse.push_back(std::move(entry.sparse));
    }
    return upsert_rows(ids, rows, std::move(payloads), std::move(sparse));
}

Result<void> Collection::upsert_rows(std::span<const VectorId> ids, std::span<const float> rows,
                                     std::vector<std::optional<Payload>> payloads,
                                     std::vector<std::optional<SparseVector>> sparse) {
    const uint64_t dims = meta_.dimensions;
    if (auto ok = check_row_ids(dims, ids.size(), rows.size()); !ok) return ok;
    if ((!payloads.empty() && payloads.size() != ids.size()) ||
        (!sparse.empty() && sparse.size() != ids.size())) {
        return fail(VectorDbError::invalid_config("payloads and sparse vectors must be one per ID"));
    }
    payloads.resize(ids.size());
    sparse.resize(ids.size());
    std::vector<EncodedAdd> encoded;
    encoded.reserve(ids.size());
    // The sparse record each ID carries so far in the batch, for the size check.
    std::unordered_map<VectorId, size_t> batch_sparse_sizes;
    for (size_t i = 0; i < ids.size(); ++i) {
        encoded.push_back(encode_add(payloads[i], sparse[i]));
        const EncodedAdd& record = encoded.back();
        std::optional<size_t> sparse_size = carried_sparse_size(ids[i], record.sparse);
        if (record.sparse) {
            batch_sparse_sizes.insert_or_assign(ids[i], record.sparse->size());
        } else if (auto it = batch_sparse_sizes.find(ids[i]); it != batch_sparse_sizes.end()) {
            sparse_size = it->second;
        }
        std::optional<size_t> payload_size;
        if (record.payload) payload_size = record.payload->size();
        if (auto ok = check_add_record(ids[i], dims, payload_size, sparse_size); !ok) return ok;
    }

    auto wal = open_wal();
    if (!wal) return fail(wal.error());
    for (size_t i = 0; i < ids.size(); ++i) {
        auto appended = (*wal)->append_add(ids[i], rows.subspan(i * dims, dims),
                                           encoded[i].payload_view(), encoded[i].sparse_view());
        if (!appended) return appended;
    }
    if (auto flushed = (*wal)->flush(); !flushed) return flushed;
    (*wal)->add_to_count(ids.size());

    if (auto replaced = replace_rows(ids, rows); !replaced) return replaced;
    for (size_t i = 0; i < ids.size(); ++i) {
        if (sparse[i]) sparse_.upsert(ids[i], std::move(*sparse[i]));
        set_payload(ids[i], std::move(payloads[i]), std::move(encoded[i].payload));
    }
    return after_write(true);
}

// Only the last row of a repeated ID reaches the index, at the position its own
// remove-then-add would have left it; a last row equal to the stored vector keeps its node.
Result<void> Collection::replace_rows(std::span<const VectorId> ids, std::span<const float> rows) {
    const uint64_t dims = meta_.dimensions;
    auto row = [&](size_t i) { return rows.subspan(i * dims, dims); };
    std::unordered_map<VectorId, size_t> last_row;
    last_row.reserve(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) last_row.insert_or_assign(ids[i], i);
    std::vector<size_t> changed;
    changed.reserve(last_row.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        if (last_row[ids[i]] == i && !index_->stores_vector(ids[i], row(i))) changed.push_back(i);
    }
    for (size_t i : changed) index_->remove(ids[i]);
    if (changed.size() == ids.size()) return index_->add_rows_in_bulk(ids, rows);
    std::vector<VectorId> kept_ids;
    std::vector<float> kept_rows;
    kept_ids.reserve(changed.size());
    kept_rows.reserve(changed.size() * dims);
    for (size_t i : changed) {
        kept_ids.push_back(ids[i]);
        kept_rows.insert(kept_rows.end(), row(i).begin(), row(i).end());
    }
    return index_->add_rows_in_bulk(kept_ids, kept_rows);
}

Result<bool> Collection::remove(VectorId id) {
    auto wal = open_wal();
    if (!wal) return fail(wal.error());
    if (auto appended = (*wal)->append_delete(id); !appended) return fail(appended.error());
    if (auto flushed = (*wal)->flush(); !flushed) return fail(flushed.error());
    (*wal)->add_to_count(1);
    bool was_present = index_->remove(id);
    sparse_.remove(id);
    set_payload(id, std::nullopt, std::nullopt);
    if (auto checked = after_write(false); !checked) return fail(checked.error());
    return was_present;
}

Result<uint64_t> Collection::remove_batch(std::span<const VectorId> ids) {
    auto wal = open_wal();
    if (!wal) return fail(wal.error());
    for (VectorId id : ids) {
        if (auto appended = (*wal)->append_delete(id); !appended) return fail(appended.error());
    }
    if (auto flushed = (*wal)->flush(); !flushed) return fail(flushed.error());
    (*wal)->add_to_count(ids.size());
    uint64_t removed = 0;
    for (VectorId id : ids) {
        if (index_->remove(id)) ++removed;
        sparse_.remove(id);
        set_payload(id, std::nullopt, std::nullopt);
    }
    if (auto checked = after_write(false); !checked) return fail(checked.error());
    return removed;
}

Result<bool> Collection::update_payload(VectorId id, std::optional<Payload> payload) {
    auto vector = index_->vector_of(id);
    if (!vector) return false;
    EncodedAdd encoded = encode_add(payload, std::nullopt);
    std::optional<size_t> payload_size;
    if (encoded.payload) payload_size = encoded.payload->size();
    if (auto ok = check_add_record(id, vector->size(), payload_size, carried_sparse_size(id, std::nullopt));
        !ok) {
        return fail(ok.error());
    }
    auto wal = open_wal();
    if (!wal) return fail(wal.error());
    if (auto appended = (*wal)->append_add(id, *vector, encoded.payload_view(), std::nullopt); !appended) {
        return fail(appended.error());
    }
    if (auto flushed = (*wal)->flush(); !flushed) return fail(flushed.error());
    (*wal)->add_to_count(1);
    set_payload(id, std::move(payload), std::move(encoded.payload));
    if (auto checked = after_write(false, /*index_changed=*/false); !checked) return fail(checked.error());
    return true;
}

void Collection::set_payload(VectorId id, std::optional<Payload> payload,
                             std::optional<std::string> text) {
    // Fields are indexed only from value trees, so without trees there is nothing to update.
    if (payloads_->has_values()) {
        payload_index_->update(id, payloads_->value(id), payload ? &*payload : nullptr);
    }
    if (!payload) {
        payloads_->erase(id);
        return;
    }
    std::string stored = text ? std::move(*text) : payload_to_bytes(*payload);
    payloads_->set(id, std::move(stored), std::move(payload));
}

Result<void> Collection::after_write(bool promotion_check, bool index_changed) {
    if (index_changed) graph_on_disk_ = false;
    if (wal_count() >= meta_.wal_compact_threshold) {
        if (auto compacted = compact(); !compacted) return compacted;
    }
    if (promotion_check && meta_.auto_promote_threshold && meta_.index_type == IndexType::Flat &&
        index_->len() >= *meta_.auto_promote_threshold) {
        return promote_to_hnsw();
    }
    return {};
}

Result<std::vector<CollectionHit>> Collection::search_inner(std::span<const float> query,
                                                            uint64_t k) const {
    auto found = index_->search(query, k);
    if (!found) return fail(found.error());
    return with_payloads(*found);
}

std::vector<CollectionHit> Collection::with_payloads(std::span<const SearchResult> found) const {
    std::vector<CollectionHit> hits;
    hits.reserve(found.size());
    for (const SearchResult& result : found) {
        CollectionHit hit{.id = result.id, .distance = result.distance, .payload = std::nullopt};
        hit.payload = payload_copy(result.id);
        hits.push_back(std::move(hit));
    }
    return hits;
}

SearchFilter Collection::search_filter(const FilterCondition& filter) const {
    return {.admit = [this, &filter](VectorId id) {
                static const Payload null_payload;
                const Payload* stored = payload(id);
                return matches_filter(stored ? *stored : null_payload, filter);
            },
            .candidates = [this, &filter](size_t limit) {
                return payload_index_->candidates(filter, payloads_->values(), limit);
            }};
}

Result<std::vector<CollectionHit>> Collection::search(std::span<const float> query, uint64_t k,
                                                      const FilterCondition* filter) const {
    if (filter == nullptr) return search_inner(query, k);
    auto found = index_->search_filtered(query, k, search_filter(*filter));
    if (!found) return fail(found.error());
    return with_payloads(*found);
}

Result<uint64_t> Collection::write_live_log(const std::string& path) const {
    auto rewriter = WalRewriter::begin(path);
    if (!rewriter) return fail(rewriter.error());
    std::vector<uint8_t> sparse_record;
    index_->iter_vectors([&](VectorId id, std::span<const float> vector) {
        std::optional<std::string_view> payload_view;
        if (const std::string* text = payloads_->text(id)) payload_view = *text;
        std::optional<std::span<const uint8_t>> sparse_view;
        if (const SparseVector* sparse = sparse_.get(id)) {
            sparse_record = encode_sparse_vector(*sparse);
            sparse_view = sparse_record;
        }
        rewriter->add(id, vector, payload_view, sparse_view);
    });
    return rewriter->commit();
}

Result<void> Collection::compact() {
    const std::string wal_path = file_path(wal_format::kLogFileName);
    // sparse.bin is a base the log only updates, and the new log no longer holds the deletes
    // that the old sparse.bin predates: a crash between the rename of the new log and the
    // save below would revive those sparse vectors. Without a sparse.bin the log alone
    // restores every sparse vector (each Add carries its ID's current one).
    if (auto removed = remove_file_if_present(file_path(kSparseFileName)); !removed) return removed;
    auto written = write_live_log(wal_path);
    if (!written) return fail(written.error());
    // The old writer's file has just been replaced; it must not take another frame.
    wal_.reset();
    auto wal = Wal::open(wal_path);
    if (!wal) return fail(wal.error());
    // Counting restarts so that only frames appended from now on lead to the next rewrite.
    wal_ = std::make_unique<Wal>(std::move(*wal));
    if (auto saved = save_graph(); !saved) return saved;
    if (auto persisted = index_->persist(); !persisted) return persisted;
    // Without sparse vectors an old sparse.bin would only bring back deleted ones.
    if (sparse_.is_empty()) return remove_file_if_present(file_path(kSparseFileName));
    return sparse_.save(file_path(kSparseFileName));
}

Result<void> Collection::save_graph() {
    if (auto saved = index_->save_graph(file_path(kGraphFileName)); !saved) return saved;
    graph_on_disk_ = true;
    return {};
}

Result<void> Collection::save_graph_if_changed() {
    if (graph_on_disk_ || meta_.index_type != IndexType::Hnsw) return {};
    return save_graph();
}

Result<void> Collection::promote_to_hnsw() {
    const HnswConfig params = meta_.promotion_hnsw_config.value_or(HnswConfig{});
    auto promoted = build_hnsw_index(meta_, params);
    if (!promoted) return fail(promoted.error());
    std::vector<VectorId> ids;
    std::vector<float> rows;
    ids.reserve(index_->len());
    rows.reserve(index_->len() * meta_.dimensions);
    index_->iter_vectors([&](VectorId id, std::span<const float> vector) {
        ids.push_back(id);
        rows.insert(rows.end(), vector.begin(), vector.end());
    });
    if (auto added = (*promoted)->add_rows_in_bulk(ids, rows); !added) return added;
    index_ = std::move(*promoted);
    meta_.index_type = IndexType::Hnsw;
    meta_.hnsw_config = params;
    return write_collection_meta(file_path(kMetaFileName), meta_);
}

}  // namespace tvdb

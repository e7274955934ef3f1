#pragma once

#include <algorithm>
#include <optional>
#include <span>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "codec.hpp"
#include "detail/kmeans.hpp"
#include "detail/training_buffer.hpp"
#include "vector_index.hpp"

namespace tvdb {

// Both files begin with dimensions u64 and metric u32, then the coarse settings n_lists,
// nprobe, train_size and max_iter as u64 each; `Config` is IvfConfig or IvfPqConfig.
template <typename Sink, typename Config>
void write_head(RecordEncoder<Sink>& file, const IndexConfig& index, const Config& config) {
    file.u64(index.dimensions);
    file.u32(static_cast<uint32_t>(index.metric));
    for (uint64_t v : {config.n_lists, config.nprobe, config.train_size, config.max_iter}) {
        file.u64(v);
    }
}
template <typename Config>
IndexConfig read_head(RecordDecoder& in, Config& config) {
    IndexConfig index;
    index.dimensions = in.u64();
    index.metric = static_cast<Metric>(in.variant(kMetricCount));
    for (uint64_t* field : {&config.n_lists, &config.nprobe, &config.train_size, &config.max_iter}) {
        *field = in.u64();
    }
    return index;
}

// Vector ID -> index of the list that holds the ID's newest entry.
using IdToList = std::unordered_map<VectorId, uint64_t>;

// As saved: an entry count, then ID u64 and list index u64 per entry, by ascending ID, so
// that saving a loaded index gives back the same bytes (hash order depends on its history).
template <typename Sink>
void write_id_to_list(RecordEncoder<Sink>& file, const IdToList& id_to_list) {
    std::vector<std::pair<VectorId, uint64_t>> entries(id_to_list.begin(), id_to_list.end());
    std::sort(entries.begin(), entries.end());
    file.count(entries.size());
    for (const auto& [id, list] : entries) {
        file.u64(id);
        file.u64(list);
    }
}
// A later pair for the same ID replaces an earlier one.
IdToList read_id_to_list(RecordDecoder& in);

// Serialization unless there are `n_centroids` centroids of `dims` floats and one list each,
// and no more of them than the `n_lists` training makes at most.
Result<void> check_coarse_shape(size_t centroid_floats, uint64_t n_centroids, uint64_t n_lists,
                                uint64_t dims, size_t list_count);

// Serialization unless every mapped ID sits in the list its entry names (`list_ids` holds
// the IDs of each list). List entries without a map entry are allowed: re-adding a trained
// ID leaves its older entry behind, unmapped.
Result<void> check_id_to_list(const IdToList& id_to_list,
                              std::span<const std::span<const VectorId>> list_ids);

// The state both inverted-file indexes keep alike, whatever their lists hold per entry.
//
// Until trained, vectors wait in the buffer. Training installs the coarse centroids and one
// list per centroid; from then on each vector is filed in a list: its ID in `List::ids`, and
// its payload (`stride` elements of `List::Element` per entry, in the order of the IDs),
// which the list keeps in its own layout through `reserve_payloads(extra, stride)`,
// `append_payload(entry, stride)`, `move_last_payload_into(position, stride)` and
// `swap_payloads(a, b, stride)`. `id_to_list` names the list holding each ID's newest
// entry. IDs are not checked for repeats: re-adding a trained ID leaves the older entry in
// its list, searchable but unmapped, so `remove` takes out only the newest. Within a list
// an ID's newest entry is its last one: appends put it there, and removals keep it there.
template <typename List>
class InvertedFile {
public:
    using Element = typename List::Element;

    // The saved fields, decoded but not yet checked against each other.
    struct Saved {
        std::vector<VectorId> buffer_ids;
        std::vector<float> buffer_vectors;
        std::vector<float> centroids;
        uint64_t n_centroids = 0;
        std::vector<List> lists;
        IdToList id_to_list;
        bool trained = false;
    };

    InvertedFile(uint64_t dims, uint64_t stride) : dims_(dims), stride_(stride), buffer_(dims) {}

    bool trained() const { return trained_; }
    const TrainingBuffer& buffer() const { return buffer_; }
    const std::vector<float>& centroids() const { return centroids_; }
    uint64_t n_centroids() const { return n_centroids_; }
    const std::vector<List>& lists() const { return lists_; }
    std::span<const float> centroid(uint64_t list) const {
        return std::span(centroids_).subspan(list * dims_, dims_);
    }

    // Buffered vectors plus every list entry, older copies of re-added IDs included.
    uint64_t len() const {
        uint64_t total = buffer_.size();
        for (const List& list : lists_) total += list.ids.size();
        return total;
    }

    // Whether the buffer holds vectors that training has not taken yet and, with it, at
    // least `train_size` of them.
    bool training_due(uint64_t train_size) const {
        return !trained_ && !buffer_.empty() && buffer_.size() >= train_size;
    }

    // Untrained only: buffers one vector; true when training is due.
    bool hold(VectorId id, std::span<const float> vector, uint64_t train_size) {
        buffer_.append(id, vector);
        return buffer_.size() >= train_size;
    }

    // Buffers `count` rows (IDs from `first_id`) while untrained, calling `train` at the row
    // that fills the buffer to `train_size`, as adding them one by one would. Returns how
    // many rows it took: all of them unless training happened part-way.
    template <typename Train>
    uint64_t hold_rows(std::span<const float> rows, uint64_t count, VectorId first_id,
                       uint64_t train_size, Train&& train) {
        uint64_t done = 0;
        while (!trained_ && done < count) {
            const uint64_t room = buffer_.size() < train_size ? train_size - buffer_.size() : 1;
            const uint64_t take = std::min(room, count - done);
            buffer_.append_rows(rows.subspan(done * dims_), take, first_id + done);
            done += take;
            if (buffer_.size() >= train_size) train();
        }
        return done;
    }

    // Installs trained coarse centroids (`k` rows) with one list like `empty` for each,
    // discarding any earlier lists.
    void install_centroids(std::vector<float> centroids, uint64_t k, const List& empty) {
        centroids_ = std::move(centroids);
        n_centroids_ = k;
        lists_.assign(k, empty);
    }

    // After the buffer has been filed: empties it and marks the index trained for good.
    void finish_training() {
        buffer_.clear();
        trained_ = true;
    }

    uint64_t nearest_list(Metric metric, std::span<const float> vector) const {
        return nearest_centroid(metric, vector, centroids_.data(), n_centroids_);
    }
    std::vector<uint64_t> assign(Metric metric, const float* rows, uint64_t n) const {
        return assign_to_centroids(metric, rows, n, centroids_.data(), n_centroids_, dims_);
    }
    // The lists a query scans, nearest centroid first; none until trained.
    std::vector<RankedCentroid> probes(Metric metric, std::span<const float> query,
                                       uint64_t nprobe) const {
        if (!trained_ || n_centroids_ == 0) return {};
        return nearest_centroids(metric, query, centroids_.data(), n_centroids_, nprobe);
    }

    // Appends one entry to `list` and maps its ID there.
    void append(VectorId id, uint64_t list, const Element* payload) {
        id_to_list_[id] = list;
        lists_[list].ids.push_back(id);
        lists_[list].append_payload(payload, stride_);
    }

    // Appends entry i of `lists.size()`, with ID ids[i] (first_id + i when `ids` is null)
    // and the payload at payloads + i * stride, to list lists[i], reserving all room first.
    void append_all(const Element* payloads, const VectorId* ids, VectorId first_id,
                    std::span<const uint64_t> lists) {
        std::vector<uint64_t> per_list(n_centroids_, 0);
        for (uint64_t list : lists) ++per_list[list];
        for (uint64_t list = 0; list < n_centroids_; ++list) {
            lists_[list].ids.reserve(lists_[list].ids.size() + per_list[list]);
            lists_[list].reserve_payloads(per_list[list], stride_);
        }
        id_to_list_.reserve(id_to_list_.size() + lists.size());
        for (uint64_t i = 0; i < lists.size(); ++i) {
            append(ids ? ids[i] : first_id + i, lists[i], payloads + i * stride_);
        }
    }

    // The list that holds the newest entry of `id`, when the ID is filed.
    std::optional<uint64_t> list_of(VectorId id) const {
        auto mapped = id_to_list_.find(id);
        if (mapped == id_to_list_.end() || mapped->second >= lists_.size()) return std::nullopt;
        return mapped->second;
    }

    // The newest entry of `id`: its list and its position there, when the ID is filed.
    std::optional<std::pair<uint64_t, size_t>> newest_entry(VectorId id) const {
        auto list = list_of(id);
        if (!list) return std::nullopt;
        const auto& ids = lists_[*list].ids;
        auto position = last_position(ids, id, 0, ids.size());
        if (!position) return std::nullopt;
        return std::pair{*list, *position};
    }

    bool remove_buffered(VectorId id) { return buffer_.remove(id); }

    // Takes out the newest entry of `id` (the list's last entry moves into its place) and
    // forgets the ID; false when the map names no list holding it.
    bool remove_listed(VectorId id) {
        auto entry = newest_entry(id);
        id_to_list_.erase(id);
        if (!entry) return false;
        remove_entry(lists_[entry->first], entry->second);
        return true;
    }

    // Saved after each index's configuration: buffer IDs u64 seq, buffer vectors f32 seq,
    // centroids f32 seq, n_centroids u64.
    template <typename Sink>
    void write_coarse(RecordEncoder<Sink>& file) const {
        file.u64_seq(buffer_.ids());
        file.f32_seq(buffer_.vectors());
        file.f32_seq(centroids_);
        file.u64(n_centroids_);
    }
    static void read_coarse(RecordDecoder& in, Saved& saved) {
        saved.buffer_ids = in.u64_seq();
        saved.buffer_vectors = in.f32_seq();
        saved.centroids = in.f32_seq();
        saved.n_centroids = in.u64();
    }

    // Saved last: id_to_list, then the trained flag as a bool.
    template <typename Sink>
    void write_tail(RecordEncoder<Sink>& file) const {
        write_id_to_list(file, id_to_list_);
        file.boolean(trained_);
    }
    static void read_tail(RecordDecoder& in, Saved& saved) {
        saved.id_to_list = read_id_to_list(in);
        saved.trained = in.boolean();
    }

    // Serialization for saved fields that search, insertion or removal could not rely on:
    // a buffer not of `dims` floats per ID, entries in an untrained index's lists, or a
    // mapped ID missing from its list. Each index checks the shape of its own lists first.
    static Result<InvertedFile> assemble(uint64_t dims, uint64_t stride, Saved saved) {
        auto buffer = TrainingBuffer::from_parts(dims, std::move(saved.buffer_ids),
                                                 std::move(saved.buffer_vectors));
        if (!buffer) return fail(buffer.error());
        if (!saved.trained && std::any_of(saved.lists.begin(), saved.lists.end(),
                                          [](const List& list) { return !list.ids.empty(); })) {
            return fail(VectorDbError::serialization("untrained index with entries in its lists"));
        }
        std::vector<std::span<const VectorId>> list_ids;
        list_ids.reserve(saved.lists.size());
        for (const List& list : saved.lists) list_ids.emplace_back(list.ids);
        if (auto ok = check_id_to_list(saved.id_to_list, list_ids); !ok) return fail(ok.error());
        InvertedFile file(dims, stride);
        file.buffer_ = std::move(*buffer);
        file.centroids_ = std::move(saved.centroids);
        file.n_centroids_ = saved.n_centroids;
        file.lists_ = std::move(saved.lists);
        file.id_to_list_ = std::move(saved.id_to_list);
        file.trained_ = saved.trained;
        return file;
    }

private:
    static std::optional<size_t> last_position(const std::vector<VectorId>& ids, VectorId id,
                                               size_t begin, size_t end) {
        for (size_t position = end; position > begin; --position) {
            if (ids[position - 1] == id) return position - 1;
        }
        return std::nullopt;
    }

    // The last entry fills the hole. Were that an ID's newest entry with an older one
    // after the hole, the two swap, so the newest stays the ID's last entry.
    void remove_entry(List& list, size_t position) {
        const size_t last = list.ids.size() - 1;
        const VectorId moved = list.ids[last];
        list.ids[position] = moved;
        list.ids.pop_back();
        list.move_last_payload_into(position, stride_);
        if (auto older = last_position(list.ids, moved, position + 1, list.ids.size())) {
            std::swap(list.ids[position], list.ids[*older]);
            list.swap_payloads(position, *older, stride_);
        }
    }

    uint64_t dims_;
    uint64_t stride_;
    TrainingBuffer buffer_;
    std::vector<float> centroids_;
    uint64_t n_centroids_ = 0;
    std::vector<List> lists_;
    IdToList id_to_list_;
    bool trained_ = false;
};

}  // namespace tvdb

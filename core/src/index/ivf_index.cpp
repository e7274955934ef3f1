#include "ivf_index.hpp"

#include <algorithm>

#include "../codec.hpp"
#include "kmeans.hpp"
#include "row_scan.hpp"

namespace tvdb {
namespace {

Result<void> check_ivf_config(const IvfConfig& ivf) {
    if (ivf.n_lists == 0) {
        return fail(VectorDbError::invalid_config("n_lists must be at least 1"));
    }
    return {};
}


}  // namespace

Result<uint64_t> raw_row_count(uint64_t dims, size_t floats, VectorId start_id) {
    if (dims != 0 && floats % dims != 0) {
        return fail(VectorDbError::invalid_config("raw_data length " + std::to_string(floats) +
                                                  " is not a multiple of dim " +
                                                  std::to_string(dims)));
    }
    return bulk_row_count(dims, floats, start_id);
}

IvfIndex::IvfIndex(IndexConfig config, IvfConfig ivf)
    : config_(config), ivf_(ivf), buffer_(config.dimensions) {}

Result<std::unique_ptr<IvfIndex>> IvfIndex::create(IndexConfig config, IvfConfig ivf) {
    if (auto ok = check_ivf_config(ivf); !ok) return fail(ok.error());
    return std::unique_ptr<IvfIndex>(new IvfIndex(config, ivf));
}

Result<void> IvfIndex::add(VectorId id, std::span<const float> vector) {
    if (auto ok = check_dimensions(config_.dimensions, vector.size()); !ok) return ok;
    if (trained_) {
        insert_trained(id, vector);
        return {};
    }
    buffer_.append(id, vector);
    if (buffer_.size() >= ivf_.train_size) train();
    return {};
}

void IvfIndex::insert_trained(VectorId id, std::span<const float> vector) {
    uint64_t list = nearest_centroid(config_.metric, vector, centroids_.data(), n_centroids_);
    id_to_list_[id] = list;
    lists_[list].ids.push_back(id);
    lists_[list].vectors.insert(lists_[list].vectors.end(), vector.begin(), vector.end());
}

void IvfIndex::insert_trained_rows(std::span<const float> rows, uint64_t count,
                                   VectorId first_id) {
    const uint64_t dims = config_.dimensions;
    auto assignment =
        assign_to_centroids(config_.metric, rows.data(), count, centroids_.data(), n_centroids_, dims);
    std::vector<uint64_t> per_list(n_centroids_, 0);
    for (uint64_t list : assignment) ++per_list[list];
    for (uint64_t list = 0; list < n_centroids_; ++list) {
        lists_[list].ids.reserve(lists_[list].ids.size() + per_list[list]);
        lists_[list].vectors.reserve(lists_[list].vectors.size() + per_list[list] * dims);
    }
    id_to_list_.reserve(id_to_list_.size() + count);
    for (uint64_t i = 0; i < count; ++i) {
        PostingList& list = lists_[assignment[i]];
        id_to_list_[first_id + i] = assignment[i];
        list.ids.push_back(first_id + i);
        const float* row = rows.data() + i * dims;
        list.vectors.insert(list.vectors.end(), row, row + dims);
    }
}

Result<void> IvfIndex::add_batch_contiguous(std::span<const float> data, VectorId start_id) {
    const uint64_t dims = config_.dimensions;
    auto rows = raw_row_count(dims, data.size(), start_id);
    if (!rows) return fail(rows.error());
    uint64_t done = 0;
    // Buffering row by row would train at the row that fills the buffer; appending up to
    // that row at once and training there is the same, without a check per row.
    while (!trained_ && done < *rows) {
        const uint64_t room =
            buffer_.size() < ivf_.train_size ? ivf_.train_size - buffer_.size() : 1;
        const uint64_t take = std::min(room, *rows - done);
        buffer_.append_rows(data.subspan(done * dims), take, start_id + done);
        done += take;
        if (buffer_.size() >= ivf_.train_size) train();
    }
    if (done < *rows) insert_trained_rows(data.subspan(done * dims), *rows - done, start_id + done);
    return {};
}

void IvfIndex::train() {
    const uint64_t n = buffer_.size();
    if (n == 0) return;
    const uint64_t dims = config_.dimensions;
    KMeansResult clusters = train_kmeans(config_.metric, buffer_.vectors().data(), n, dims,
                                         ivf_.n_lists, ivf_.max_iter);
    centroids_ = std::move(clusters.centroids);
    n_centroids_ = clusters.k;
    lists_.assign(n_centroids_, PostingList{.ids = {}, .vectors = {}, .dim = dims});
    std::vector<uint64_t> per_list(n_centroids_, 0);
    for (uint64_t list : clusters.assignment) ++per_list[list];
    for (uint64_t list = 0; list < n_centroids_; ++list) {
        lists_[list].ids.reserve(per_list[list]);
        lists_[list].vectors.reserve(per_list[list] * dims);
    }
    id_to_list_.reserve(id_to_list_.size() + n);
    for (uint64_t i = 0; i < n; ++i) {
        const uint64_t list = clusters.assignment[i];
        id_to_list_[buffer_.ids()[i]] = list;
        lists_[list].ids.push_back(buffer_.ids()[i]);
        auto vector = buffer_.vector(i);
        lists_[list].vectors.insert(lists_[list].vectors.end(), vector.begin(), vector.end());
    }
    buffer_.clear();
    trained_ = true;
}

void IvfIndex::flush() {
    if (!trained_ && !buffer_.empty()) train();
}

Result<void> IvfIndex::load_graph_mmap(const std::string&) {
    if (!trained_ && !buffer_.empty() && buffer_.size() >= ivf_.train_size) train();
    return {};
}

Result<std::vector<SearchResult>> IvfIndex::search(std::span<const float> query,
                                                   uint64_t k) const {
    if (auto ok = check_dimensions(config_.dimensions, query.size()); !ok) return fail(ok.error());
    const uint64_t live = len();
    if (k == 0 || live == 0) return std::vector<SearchResult>{};
    TopK top(std::min(k, live));
    if (trained_ && n_centroids_ > 0) {
        auto probes = nearest_centroids(config_.metric, query, centroids_.data(), n_centroids_,
                                        ivf_.nprobe);
        for (const RankedCentroid& probe : probes) {
            const PostingList& list = lists_[probe.index];
            scan_rows(config_.metric, ScanDistance::Ordering, query, list.ids.data(),
                      list.vectors.data(), list.ids.size(), top);
        }
    }
    buffer_.search(config_.metric, ScanDistance::Ordering, query, top);
    auto hits = top.take_sorted();
    report_ordering_distances(config_.metric, hits);
    return hits;
}

bool IvfIndex::remove(VectorId id) {
    if (buffer_.remove(id)) return true;
    auto mapped = id_to_list_.find(id);
    if (mapped == id_to_list_.end()) return false;
    const uint64_t list_index = mapped->second;
    id_to_list_.erase(mapped);
    if (list_index >= lists_.size()) return false;
    PostingList& list = lists_[list_index];
    auto found = std::find(list.ids.begin(), list.ids.end(), id);
    if (found == list.ids.end()) return false;
    const size_t position = found - list.ids.begin();
    const size_t last = list.ids.size() - 1;
    const uint64_t dims = config_.dimensions;
    list.ids[position] = list.ids[last];
    std::copy_n(list.vectors.begin() + last * dims, dims, list.vectors.begin() + position * dims);
    list.ids.pop_back();
    list.vectors.resize(last * dims);
    return true;
}

uint64_t IvfIndex::len() const {
    uint64_t total = buffer_.size();
    for (const PostingList& list : lists_) total += list.ids.size();
    return total;
}

void IvfIndex::iter_vectors(const VectorVisitor& visit) const {
    buffer_.visit(visit);
    const uint64_t dims = config_.dimensions;
    for (const PostingList& list : lists_) {
        for (size_t i = 0; i < list.ids.size(); ++i) {
            visit(list.ids[i], std::span(list.vectors).subspan(i * dims, dims));
        }
    }
}

// IvfSnapshot: dimensions u64, metric u32, n_lists/nprobe/train_size/max_iter u64,
// buffer_ids u64 seq, buffer_vectors f32 seq, centroids f32 seq, n_centroids u64, lists
// (count, then per list: ids u64 seq, vectors f32 seq, dim u64), id_to_list (count, then
// ID u64 and list index u64 per entry), trained bool.
Result<void> IvfIndex::save(const std::string& path) const {
    auto file = FileEncoder::create(path);
    if (!file) return fail(file.error());
    file->u64(config_.dimensions);
    file->u32(static_cast<uint32_t>(config_.metric));
    file->u64(ivf_.n_lists);
    file->u64(ivf_.nprobe);
    file->u64(ivf_.train_size);
    file->u64(ivf_.max_iter);
    file->u64_seq(buffer_.ids());
    file->f32_seq(buffer_.vectors());
    file->f32_seq(centroids_);
    file->u64(n_centroids_);
    file->count(lists_.size());
    for (const PostingList& list : lists_) {
        file->u64_seq(list.ids);
        file->f32_seq(list.vectors);
        file->u64(list.dim);
    }
    file->count(id_to_list_.size());
    for (const auto& [id, list] : id_to_list_) {
        file->u64(id);
        file->u64(list);
    }
    file->boolean(trained_);
    return file->finish();
}

Result<std::unique_ptr<IvfIndex>> IvfIndex::load(const std::string& path) {
    auto bytes = read_file(path);
    if (!bytes) return fail(bytes.error());
    RecordDecoder in(*bytes);
    IndexConfig config;
    config.dimensions = in.u64();
    config.metric = static_cast<Metric>(in.variant(kMetricCount));
    IvfConfig ivf;
    ivf.n_lists = in.u64();
    ivf.nprobe = in.u64();
    ivf.train_size = in.u64();
    ivf.max_iter = in.u64();
    auto buffer_ids = in.u64_seq();
    auto buffer_vectors = in.f32_seq();
    auto centroids = in.f32_seq();
    uint64_t n_centroids = in.u64();
    // Smallest list: three u64 fields.
    std::vector<PostingList> lists(in.count(24));
    for (PostingList& list : lists) {
        list.ids = in.u64_seq();
        list.vectors = in.f32_seq();
        list.dim = in.u64();
    }
    std::unordered_map<VectorId, uint64_t> id_to_list;
    uint64_t entries = in.count(16);
    id_to_list.reserve(entries);
    for (uint64_t e = 0; e < entries && in.ok(); ++e) {
        VectorId id = in.u64();
        id_to_list[id] = in.u64();
    }
    bool trained = in.boolean();
    if (!in.ok()) return fail(in.error());

    // Search and insertion index the centroids and lists by these counts and strides.
    const uint64_t dims = config.dimensions;
    if (auto ok = check_ivf_config(ivf); !ok) {
        return fail(VectorDbError::serialization(ok.error().text));
    }
    if (!holds_rows(centroids.size(), n_centroids, dims) || lists.size() != n_centroids) {
        return fail(VectorDbError::serialization(
            "n_centroids " + std::to_string(n_centroids) + " disagrees with " +
            std::to_string(centroids.size()) + " centroid floats and " +
            std::to_string(lists.size()) + " lists"));
    }
    if (trained && n_centroids == 0) {
        return fail(VectorDbError::serialization("trained index without centroids"));
    }
    for (const PostingList& list : lists) {
        if (list.dim != dims || !holds_rows(list.vectors.size(), list.ids.size(), dims)) {
            return fail(VectorDbError::serialization(
                "posting list of " + std::to_string(list.ids.size()) + " IDs holds " +
                std::to_string(list.vectors.size()) + " floats with stride " +
                std::to_string(list.dim)));
        }
    }
    auto buffer = TrainingBuffer::from_parts(dims, std::move(buffer_ids), std::move(buffer_vectors));
    if (!buffer) return fail(buffer.error());

    std::unique_ptr<IvfIndex> index(new IvfIndex(config, ivf));
    index->buffer_ = std::move(*buffer);
    index->centroids_ = std::move(centroids);
    index->n_centroids_ = n_centroids;
    index->lists_ = std::move(lists);
    index->id_to_list_ = std::move(id_to_list);
    index->trained_ = trained;
    return index;
}

}  // namespace tvdb

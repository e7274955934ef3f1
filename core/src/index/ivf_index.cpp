#include "ivf_index.hpp"

#include <algorithm>
#include <limits>

#include "codec.hpp"
#include "detail/probe_order.hpp"
#include "detail/row_scan.hpp"

namespace tvdb {
namespace {

Result<void> check_ivf_config(const IvfConfig& ivf) {
    if (ivf.n_lists == 0) {
        return fail(VectorDbError::invalid_config("n_lists must be at least 1"));
    }
    return check_kmeans_rounds("max_iter", ivf.max_iter);
}

}  // namespace

IvfIndex::IvfIndex(IndexConfig config, IvfConfig ivf, InvertedFile<PostingList> file)
    : InvertedFileIndex(config, ivf.train_size, std::move(file)), ivf_(ivf) {}

Result<std::unique_ptr<IvfIndex>> IvfIndex::create(IndexConfig config, IvfConfig ivf) {
    if (auto ok = check_ivf_config(ivf); !ok) return fail(ok.error());
    InvertedFile<PostingList> file(config.dimensions, config.dimensions);
    return std::unique_ptr<IvfIndex>(new IvfIndex(config, ivf, std::move(file)));
}

void IvfIndex::file_trained(VectorId id, std::span<const float> vector) {
    inverted_.append(id, inverted_.nearest_list(config_.metric, vector), vector.data());
}

void IvfIndex::file_trained_rows(const float* rows, uint64_t n, VectorId first_id) {
    inverted_.append_all(rows, nullptr, first_id, inverted_.assign(config_.metric, rows, n));
}

void IvfIndex::train() {
    const TrainingBuffer& buffer = inverted_.buffer();
    const uint64_t n = buffer.size();
    if (n == 0) return;
    const uint64_t dims = config_.dimensions;
    KMeansResult clusters = train_kmeans(config_.metric, buffer.vectors().data(), n, dims,
                                         ivf_.n_lists, ivf_.max_iter);
    inverted_.install_centroids(std::move(clusters.centroids), clusters.k,
                            PostingList{.ids = {}, .vectors = GroupedRows(dims), .dim = dims});
    inverted_.append_all(buffer.vectors().data(), buffer.ids().data(), 0, clusters.assignment);
    inverted_.finish_training();
}

Result<std::vector<SearchResult>> IvfIndex::search(std::span<const float> query,
                                                   uint64_t k) const {
    return nearest(query, k, ivf_.nprobe, nullptr);
}

Result<std::vector<SearchResult>> IvfIndex::search_with_nprobe(std::span<const float> query,
                                                               uint64_t k, uint64_t nprobe) const {
    return nearest(query, k, nprobe, nullptr);
}

Result<std::vector<SearchResult>> IvfIndex::search_filtered(std::span<const float> query,
                                                            uint64_t k,
                                                            const SearchFilter& filter) const {
    return nearest(query, k, ivf_.nprobe, &filter.admit);
}

Result<std::vector<SearchResult>> IvfIndex::nearest(std::span<const float> query, uint64_t k,
                                                    uint64_t nprobe,
                                                    const IdFilter* admit) const {
    if (auto ok = check_dimensions(config_.dimensions, query.size()); !ok) return fail(ok.error());
    const uint64_t live = len();
    if (k == 0 || live == 0) return std::vector<SearchResult>{};
    TopK top(std::min(k, live), admit);
    auto scan = [&](const RankedCentroid& probe) {
        scan_list(query, inverted_.lists()[probe.index], top);
    };
    const auto probes = inverted_.probes(config_.metric, query, probe_count(admit, nprobe));
    for_each_probe(probes, nprobe, scan);
    inverted_.buffer().search(config_.metric, ScanDistance::Ordering, query, top);
    for_each_extra_probe(probes, nprobe, top, scan);
    auto hits = top.take_sorted();
    report_ordering_distances(config_.metric, hits);
    return hits;
}

void IvfIndex::scan_list(std::span<const float> query, const PostingList& list,
                         TopK& top) const {
    constexpr size_t kScanRows = kScanGroups * GroupLayout::kGroupRows;
    const GroupedRows& rows = list.vectors;
    float distances[kScanRows];
    uint8_t measured[kScanGroups];
    for (size_t first = 0; first < rows.size(); first += kScanRows) {
        const size_t n = std::min(kScanRows, rows.size() - first);
        // Under L2 a vector whose partial sum reaches the worst kept one cannot be kept.
        const float abandon_at = top.full() ? top.worst() : std::numeric_limits<float>::infinity();
        const size_t groups = group_distances(config_.metric, query, rows.layout(), rows.region(),
                                              rows.region_groups(), first / GroupLayout::kGroupRows,
                                              n, abandon_at, distances, measured);
        for (size_t i = 0; i < groups; ++i) {
            const size_t row = measured[i] * GroupLayout::kGroupRows;
            top.push_all(list.ids.data() + first + row, distances + row,
                         std::min(GroupLayout::kGroupRows, n - row));
        }
    }
}

std::optional<std::vector<float>> IvfIndex::vector_of(VectorId id) const {
    if (auto buffered = inverted_.buffer().find(id)) {
        return std::vector<float>(buffered->begin(), buffered->end());
    }
    auto entry = inverted_.newest_entry(id);
    if (!entry) return std::nullopt;
    std::vector<float> vector(config_.dimensions);
    inverted_.lists()[entry->first].vectors.read(entry->second, vector.data());
    return vector;
}

void IvfIndex::iter_vectors(const VectorVisitor& visit) const {
    inverted_.buffer().visit(visit);
    // Sized only once a list holds a vector: the dimension count of a loaded file is not
    // bounded by anything stored.
    std::vector<float> vector;
    for (const PostingList& list : inverted_.lists()) {
        if (!list.ids.empty()) vector.resize(config_.dimensions);
        for (size_t i = 0; i < list.ids.size(); ++i) {
            list.vectors.read(i, vector.data());
            visit(list.ids[i], vector);
        }
    }
}

// IvfSnapshot: dimensions u64, metric u32, n_lists/nprobe/train_size/max_iter u64,
// buffer_ids u64 seq, buffer_vectors f32 seq, centroids f32 seq, n_centroids u64, lists
// (count, then per list: ids u64 seq, vectors f32 seq, dim u64), id_to_list (count, then
// ID u64 and list index u64 per entry), trained bool.
template <typename Sink>
void IvfIndex::write_to(RecordEncoder<Sink>& out) const {
    write_head(out, config_, ivf_);
    inverted_.write_coarse(out);
    out.count(inverted_.lists().size());
    std::vector<float> vector;  // sized once a list holds a vector, as in iter_vectors
    for (const PostingList& list : inverted_.lists()) {
        if (!list.ids.empty()) vector.resize(config_.dimensions);
        out.u64_seq(list.ids);
        // The vectors as one f32 sequence, row after row.
        out.count(list.ids.size() * config_.dimensions);
        for (size_t i = 0; i < list.ids.size(); ++i) {
            list.vectors.read(i, vector.data());
            out.raw(vector.data(), vector.size() * sizeof(float));
        }
        out.u64(list.dim);
    }
    inverted_.write_tail(out);
}

Result<void> IvfIndex::save(const std::string& path) const {
    auto file = FileEncoder::create(path);
    if (!file) return fail(file.error());
    write_to(*file);
    return file->finish();
}

std::vector<uint8_t> IvfIndex::to_bytes() const {
    ByteEncoder out;
    write_to(out);
    return out.take();
}

Result<std::unique_ptr<IvfIndex>> IvfIndex::load(const std::string& path) {
    auto bytes = read_file(path);
    if (!bytes) return fail(bytes.error());
    return from_bytes(*bytes);
}

Result<std::unique_ptr<IvfIndex>> IvfIndex::from_bytes(std::span<const uint8_t> bytes) {
    RecordDecoder in(bytes);
    IvfConfig ivf;
    const IndexConfig config = read_head(in, ivf);
    InvertedFile<PostingList>::Saved saved;
    InvertedFile<PostingList>::read_coarse(in, saved);
    // Smallest list: three u64 fields.
    struct SavedList {
        std::vector<VectorId> ids;
        std::vector<float> vectors;
        uint64_t dim = 0;
    };
    std::vector<SavedList> lists(in.count(24));
    for (SavedList& list : lists) {
        list.ids = in.u64_seq();
        list.vectors = in.f32_seq();
        list.dim = in.u64();
    }
    InvertedFile<PostingList>::read_tail(in, saved);
    if (!in.ok()) return fail(in.error());

    // Search and insertion index the centroids and lists by these counts and strides.
    const uint64_t dims = config.dimensions;
    if (auto ok = check_ivf_config(ivf); !ok) {
        return fail(VectorDbError::serialization(ok.error().text));
    }
    if (auto ok = check_coarse_shape(saved.centroids.size(), saved.n_centroids, ivf.n_lists, dims,
                                     lists.size());
        !ok) {
        return fail(ok.error());
    }
    if (saved.trained && saved.n_centroids == 0) {
        return fail(VectorDbError::serialization("trained index without centroids"));
    }
    for (const SavedList& list : lists) {
        if (list.dim != dims || !holds_rows(list.vectors.size(), list.ids.size(), dims)) {
            return fail(VectorDbError::serialization(
                "posting list of " + std::to_string(list.ids.size()) + " IDs holds " +
                std::to_string(list.vectors.size()) + " floats with stride " +
                std::to_string(list.dim)));
        }
    }
    saved.lists.reserve(lists.size());
    for (SavedList& list : lists) {
        PostingList& filed = saved.lists.emplace_back(
            PostingList{.ids = std::move(list.ids), .vectors = GroupedRows(dims), .dim = dims});
        filed.vectors.reserve(filed.ids.size());
        for (size_t i = 0; i < filed.ids.size(); ++i) filed.vectors.push_back(list.vectors.data() + i * dims);
    }
    auto file = InvertedFile<PostingList>::assemble(dims, dims, std::move(saved));
    if (!file) return fail(file.error());
    return std::unique_ptr<IvfIndex>(new IvfIndex(config, ivf, std::move(*file)));
}

}  // namespace tvdb

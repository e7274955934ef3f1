#include "ivf_pq_index.hpp"

#include <algorithm>

#include "ivf_index.hpp"
#include "kmeans.hpp"

namespace tvdb {
namespace {

Result<void> check_ivf_pq_config(uint64_t dims, const IvfPqConfig& config) {
    if (config.n_lists == 0) {
        return fail(VectorDbError::invalid_config("n_lists must be at least 1"));
    }
    return PqCodebook::check_config(dims, config.pq);
}

// Vector i minus centroid lists[i], for n vectors of `dims` floats.
std::vector<float> residuals_of(const float* vectors, uint64_t n, uint64_t dims,
                                const std::vector<uint64_t>& lists, const float* centroids) {
    std::vector<float> residuals(n * dims);
    for (uint64_t i = 0; i < n; ++i) {
        const float* v = vectors + i * dims;
        const float* c = centroids + lists[i] * dims;
        float* r = residuals.data() + i * dims;
        for (uint64_t t = 0; t < dims; ++t) r[t] = v[t] - c[t];
    }
    return residuals;
}


// Precomputed list terms are kept up to this many floats (256 MiB); beyond it, tables are
// computed from each query residual directly.
constexpr uint64_t kMaxCoarseTermFloats = uint64_t{1} << 26;

// Sums the table entries a code selects, in sub-space order from zero, and offers the
// result. M > 0 fixes the number of sub-spaces at compile time so the loop unrolls.
template <uint64_t M>
void scan_codes(const CodeList& list, uint64_t m, uint64_t k_sub, const float* table, TopK& top) {
    if constexpr (M > 0) m = M;
    const uint8_t* code = list.codes.data();
    const size_t n = list.ids.size();
    for (size_t i = 0; i < n; ++i, code += m) {
        float distance = 0.0f;
        for (uint64_t s = 0; s < m; ++s) distance += table[s * k_sub + code[s]];
        top.push(list.ids[i], distance);
    }
}

void scan_list(const CodeList& list, uint64_t m, uint64_t k_sub, const float* table, TopK& top) {
    switch (m) {
        case 4: return scan_codes<4>(list, m, k_sub, table, top);
        case 8: return scan_codes<8>(list, m, k_sub, table, top);
        case 16: return scan_codes<16>(list, m, k_sub, table, top);
        default: return scan_codes<0>(list, m, k_sub, table, top);
    }
}

}  // namespace

IvfPqIndex::IvfPqIndex(IndexConfig config, IvfPqConfig ivf_pq)
    : config_(config), ivf_pq_(ivf_pq), buffer_(config.dimensions) {}

Result<std::unique_ptr<IvfPqIndex>> IvfPqIndex::create(IndexConfig config, IvfPqConfig ivf_pq) {
    if (auto ok = check_ivf_pq_config(config.dimensions, ivf_pq); !ok) return fail(ok.error());
    return std::unique_ptr<IvfPqIndex>(new IvfPqIndex(config, ivf_pq));
}

void IvfPqIndex::file_entry(VectorId id, std::span<const float> vector, uint64_t list,
                            const uint8_t* code) {
    id_to_list_[id] = list;
    lists_[list].ids.push_back(id);
    lists_[list].codes.insert(lists_[list].codes.end(), code, code + codebook_->m());
    full_vectors_[id].assign(vector.begin(), vector.end());
}

void IvfPqIndex::file_rows(const float* rows, const VectorId* ids, VectorId first_id, uint64_t n,
                           const std::vector<uint64_t>& lists) {
    const uint64_t dims = config_.dimensions;
    const uint64_t m = codebook_->m();
    auto residuals = residuals_of(rows, n, dims, lists, centroids_.data());
    std::vector<uint8_t> codes(n * m);
    codebook_->encode_batch(residuals.data(), n, dims, codes.data());
    std::vector<uint64_t> per_list(n_centroids_, 0);
    for (uint64_t list : lists) ++per_list[list];
    for (uint64_t list = 0; list < n_centroids_; ++list) {
        lists_[list].ids.reserve(lists_[list].ids.size() + per_list[list]);
        lists_[list].codes.reserve(lists_[list].codes.size() + per_list[list] * m);
    }
    id_to_list_.reserve(id_to_list_.size() + n);
    full_vectors_.reserve(full_vectors_.size() + n);
    for (uint64_t i = 0; i < n; ++i) {
        VectorId id = ids ? ids[i] : first_id + i;
        file_entry(id, {rows + i * dims, dims}, lists[i], codes.data() + i * m);
    }
}

Result<void> IvfPqIndex::add(VectorId id, std::span<const float> vector) {
    if (auto ok = check_dimensions(config_.dimensions, vector.size()); !ok) return ok;
    if (trained_) {
        uint64_t list = nearest_centroid(config_.metric, vector, centroids_.data(), n_centroids_);
        const float* centroid = centroids_.data() + list * config_.dimensions;
        std::vector<float> residual(vector.size());
        for (size_t t = 0; t < vector.size(); ++t) residual[t] = vector[t] - centroid[t];
        std::vector<uint8_t> code(codebook_->m());
        codebook_->encode(residual, code.data());
        file_entry(id, vector, list, code.data());
        return {};
    }
    buffer_.append(id, vector);
    if (buffer_.size() >= ivf_pq_.train_size) train();
    return {};
}

Result<void> IvfPqIndex::add_batch_contiguous(std::span<const float> data, VectorId start_id) {
    const uint64_t dims = config_.dimensions;
    auto rows = raw_row_count(dims, data.size(), start_id);
    if (!rows) return fail(rows.error());
    uint64_t done = 0;
    // Appending up to the row that fills the buffer, then training, is what adding row by
    // row does, without a check per row.
    while (!trained_ && done < *rows) {
        const uint64_t room =
            buffer_.size() < ivf_pq_.train_size ? ivf_pq_.train_size - buffer_.size() : 1;
        const uint64_t take = std::min(room, *rows - done);
        buffer_.append_rows(data.subspan(done * dims), take, start_id + done);
        done += take;
        if (buffer_.size() >= ivf_pq_.train_size) train();
    }
    if (done < *rows) {
        const float* rest = data.data() + done * dims;
        const uint64_t n = *rows - done;
        auto lists = assign_to_centroids(config_.metric, rest, n, centroids_.data(), n_centroids_, dims);
        file_rows(rest, nullptr, start_id + done, n, lists);
    }
    return {};
}

void IvfPqIndex::train() {
    const uint64_t n = buffer_.size();
    if (n == 0) return;
    const uint64_t dims = config_.dimensions;
    const float* vectors = buffer_.vectors().data();
    KMeansResult clusters = train_kmeans(config_.metric, vectors, n, dims, ivf_pq_.n_lists,
                                         ivf_pq_.max_iter);
    auto residuals = residuals_of(vectors, n, dims, clusters.assignment, clusters.centroids.data());
    auto codebook = PqCodebook::train(residuals.data(), n, dims, ivf_pq_.pq);
    // The configuration was checked when the index was built or loaded, so training the
    // codebook cannot fail; if it did, the index stays untrained and keeps its buffer.
    if (!codebook) return;
    centroids_ = std::move(clusters.centroids);
    n_centroids_ = clusters.k;
    codebook_ = std::move(*codebook);
    lists_.assign(n_centroids_, CodeList{});
    prepare_search_tables();
    file_rows(vectors, buffer_.ids().data(), 0, n, clusters.assignment);
    buffer_.clear();
    trained_ = true;
}

void IvfPqIndex::flush() {
    if (!trained_ && !buffer_.empty()) train();
}

Result<void> IvfPqIndex::load_graph_mmap(const std::string&) {
    if (!trained_ && !buffer_.empty() && buffer_.size() >= ivf_pq_.train_size) train();
    return {};
}

void IvfPqIndex::prepare_search_tables() {
    coarse_terms_.clear();
    if (!codebook_) return;
    const uint64_t per_list = codebook_->m() * codebook_->k_sub();
    if (per_list == 0 || n_centroids_ > kMaxCoarseTermFloats / per_list) return;
    coarse_terms_.resize(n_centroids_ * per_list);
    const uint64_t dims = config_.dimensions;
    for (uint64_t list = 0; list < n_centroids_; ++list) {
        codebook_->coarse_terms(std::span(centroids_).subspan(list * dims, dims),
                                coarse_terms_.data() + list * per_list);
    }
}

void IvfPqIndex::list_table(std::span<const float> query, uint64_t list,
                            const float* query_terms, float* scratch, float* table) const {
    const uint64_t dims = config_.dimensions;
    const float* centroid = centroids_.data() + list * dims;
    if (coarse_terms_.empty()) {
        for (uint64_t t = 0; t < dims; ++t) scratch[t] = query[t] - centroid[t];
        codebook_->compute_distance_table({scratch, dims}, table);
        return;
    }
    const uint64_t m = codebook_->m();
    const uint64_t k_sub = codebook_->k_sub();
    const uint64_t len = codebook_->subvector_len();
    const float* terms = coarse_terms_.data() + list * m * k_sub;
    for (uint64_t s = 0; s < m; ++s) {
        const float query_to_centroid =
            distance_ord(Metric::L2, query.subspan(s * len, len), centroid + s * len);
        const float* a = terms + s * k_sub;
        const float* b = query_terms + s * k_sub;
        float* out = table + s * k_sub;
        // Rounding can take a true zero slightly below it; a squared distance is never
        // negative. (max(x, 0) keeps a NaN, which then ranks last, instead of making it 0.)
        for (uint64_t j = 0; j < k_sub; ++j) out[j] = std::max(query_to_centroid + (a[j] + b[j]), 0.0f);
    }
}

Result<std::vector<SearchResult>> IvfPqIndex::search(std::span<const float> query,
                                                     uint64_t k) const {
    if (auto ok = check_dimensions(config_.dimensions, query.size()); !ok) return fail(ok.error());
    const uint64_t live = len();
    if (k == 0 || live == 0) return std::vector<SearchResult>{};
    TopK top(std::min(k, live));
    if (trained_ && n_centroids_ > 0 && codebook_) {
        auto probes = nearest_centroids(config_.metric, query, centroids_.data(), n_centroids_,
                                        ivf_pq_.nprobe);
        const uint64_t m = codebook_->m();
        const uint64_t k_sub = codebook_->k_sub();
        std::vector<float> query_terms;
        if (!coarse_terms_.empty() && !probes.empty()) {
            query_terms.resize(m * k_sub);
            codebook_->query_terms(query, query_terms.data());
        }
        std::vector<float> scratch(config_.dimensions);
        std::vector<float> table(m * k_sub);
        for (const RankedCentroid& probe : probes) {
            const CodeList& list = lists_[probe.index];
            if (list.ids.empty()) continue;
            list_table(query, probe.index, query_terms.data(), scratch.data(), table.data());
            scan_list(list, m, k_sub, table.data(), top);
        }
    }
    buffer_.search(config_.metric, ScanDistance::Reported, query, top);
    return top.take_sorted();
}

bool IvfPqIndex::remove(VectorId id) {
    if (buffer_.remove(id)) return true;
    auto mapped = id_to_list_.find(id);
    if (mapped == id_to_list_.end()) return false;
    const uint64_t list_index = mapped->second;
    id_to_list_.erase(mapped);
    if (list_index >= lists_.size()) return false;
    CodeList& list = lists_[list_index];
    auto found = std::find(list.ids.begin(), list.ids.end(), id);
    if (found == list.ids.end()) return false;
    const size_t position = found - list.ids.begin();
    const size_t last = list.ids.size() - 1;
    const uint64_t m = codebook_ ? codebook_->m() : ivf_pq_.pq.m;
    list.ids[position] = list.ids[last];
    std::copy_n(list.codes.begin() + last * m, m, list.codes.begin() + position * m);
    list.ids.pop_back();
    list.codes.resize(last * m);
    full_vectors_.erase(id);
    return true;
}

uint64_t IvfPqIndex::len() const {
    uint64_t total = buffer_.size();
    for (const CodeList& list : lists_) total += list.ids.size();
    return total;
}

void IvfPqIndex::iter_vectors(const VectorVisitor& visit) const {
    buffer_.visit(visit);
    for (const CodeList& list : lists_) {
        for (VectorId id : list.ids) {
            auto full = full_vectors_.find(id);
            if (full != full_vectors_.end()) visit(id, full->second);
        }
    }
}

// IvfPqSnapshot: dimensions u64, metric u32, n_lists/nprobe/train_size/max_iter and
// pq m/k_sub/max_iter u64, buffer_ids u64 seq, buffer_vectors f32 seq, centroids f32 seq,
// n_centroids u64, codebook (presence byte, then PqCodebook::write_to), lists (count; per
// list an entry count; per entry ID u64 and code as a u8 seq), full_vectors (count; ID u64
// and f32 seq per entry), id_to_list (count; ID u64 and list u64 per entry), trained bool.
Result<void> IvfPqIndex::save(const std::string& path) const {
    auto file = FileEncoder::create(path);
    if (!file) return fail(file.error());
    file->u64(config_.dimensions);
    file->u32(static_cast<uint32_t>(config_.metric));
    for (uint64_t v : {ivf_pq_.n_lists, ivf_pq_.nprobe, ivf_pq_.train_size, ivf_pq_.max_iter,
                       ivf_pq_.pq.m, ivf_pq_.pq.k_sub, ivf_pq_.pq.max_iter}) {
        file->u64(v);
    }
    file->u64_seq(buffer_.ids());
    file->f32_seq(buffer_.vectors());
    file->f32_seq(centroids_);
    file->u64(n_centroids_);
    file->boolean(codebook_.has_value());
    if (codebook_) codebook_->write_to(*file);
    file->count(lists_.size());
    const uint64_t m = codebook_ ? codebook_->m() : ivf_pq_.pq.m;
    for (const CodeList& list : lists_) {
        file->count(list.ids.size());
        for (size_t i = 0; i < list.ids.size(); ++i) {
            file->u64(list.ids[i]);
            file->u8_seq(std::span(list.codes).subspan(i * m, m));
        }
    }
    file->count(full_vectors_.size());
    for (const auto& [id, vector] : full_vectors_) {
        file->u64(id);
        file->f32_seq(vector);
    }
    file->count(id_to_list_.size());
    for (const auto& [id, list] : id_to_list_) {
        file->u64(id);
        file->u64(list);
    }
    file->boolean(trained_);
    return file->finish();
}

Result<std::unique_ptr<IvfPqIndex>> IvfPqIndex::load(const std::string& path) {
    auto bytes = read_file(path);
    if (!bytes) return fail(bytes.error());
    RecordDecoder in(*bytes);
    IndexConfig config;
    config.dimensions = in.u64();
    config.metric = static_cast<Metric>(in.variant(kMetricCount));
    IvfPqConfig ivf_pq;
    for (uint64_t* field : {&ivf_pq.n_lists, &ivf_pq.nprobe, &ivf_pq.train_size,
                            &ivf_pq.max_iter, &ivf_pq.pq.m, &ivf_pq.pq.k_sub, &ivf_pq.pq.max_iter}) {
        *field = in.u64();
    }
    const uint64_t dims = config.dimensions;
    if (in.ok()) {
        if (auto ok = check_ivf_pq_config(dims, ivf_pq); !ok) in.fail(ok.error().text);
    }
    auto buffer_ids = in.u64_seq();
    auto buffer_vectors = in.f32_seq();
    auto centroids = in.f32_seq();
    uint64_t n_centroids = in.u64();
    std::optional<PqCodebook> codebook;
    if (in.boolean()) {
        codebook = PqCodebook::read_from(in);
        // Codes are checked against the configured shape below, so the codebook must have it.
        if (in.ok() && (codebook->m() != ivf_pq.pq.m || codebook->k_sub() != ivf_pq.pq.k_sub ||
                        codebook->subvector_len() != dims / ivf_pq.pq.m)) {
            in.fail("codebook shape disagrees with the configuration");
        }
    }
    const uint64_t m = ivf_pq.pq.m;
    // Smallest list: its entry count.
    std::vector<CodeList> lists(in.count(8));
    for (CodeList& list : lists) {
        // Smallest entry: ID and code length.
        const uint64_t entries = in.count(16);
        list.ids.reserve(entries);
        list.codes.reserve(entries * m);
        for (uint64_t e = 0; e < entries && in.ok(); ++e) {
            list.ids.push_back(in.u64());
            const uint64_t code_len = in.count(1);
            auto code = in.raw(code_len);
            if (!in.ok()) break;
            if (code_len != m) {
                in.fail("code of " + std::to_string(code_len) + " bytes, expected " + std::to_string(m));
                break;
            }
            if (std::any_of(code.begin(), code.end(), [&](uint8_t c) { return c >= ivf_pq.pq.k_sub; })) {
                in.fail("code byte not below k_sub " + std::to_string(ivf_pq.pq.k_sub));
                break;
            }
            list.codes.insert(list.codes.end(), code.begin(), code.end());
        }
    }
    std::unordered_map<VectorId, std::vector<float>> full_vectors;
    const uint64_t full_count = in.count(16);
    full_vectors.reserve(full_count);
    for (uint64_t e = 0; e < full_count && in.ok(); ++e) {
        VectorId id = in.u64();
        auto vector = in.f32_seq();
        if (in.ok() && vector.size() != dims) {
            in.fail("full vector of " + std::to_string(vector.size()) + " floats, expected " +
                    std::to_string(dims));
        }
        full_vectors[id] = std::move(vector);
    }
    std::unordered_map<VectorId, uint64_t> id_to_list;
    const uint64_t entries = in.count(16);
    id_to_list.reserve(entries);
    for (uint64_t e = 0; e < entries && in.ok(); ++e) {
        VectorId id = in.u64();
        id_to_list[id] = in.u64();
    }
    bool trained = in.boolean();
    if (!in.ok()) return fail(in.error());

    // Search and insertion index the centroids, lists and codebook by these counts.
    if (!holds_rows(centroids.size(), n_centroids, dims) || lists.size() != n_centroids) {
        return fail(VectorDbError::serialization(
            "n_centroids " + std::to_string(n_centroids) + " disagrees with " +
            std::to_string(centroids.size()) + " centroid floats and " +
            std::to_string(lists.size()) + " lists"));
    }
    if (trained && (n_centroids == 0 || !codebook)) {
        return fail(VectorDbError::serialization("trained index without centroids or codebook"));
    }
    auto buffer = TrainingBuffer::from_parts(dims, std::move(buffer_ids), std::move(buffer_vectors));
    if (!buffer) return fail(buffer.error());

    std::unique_ptr<IvfPqIndex> index(new IvfPqIndex(config, ivf_pq));
    index->buffer_ = std::move(*buffer);
    index->centroids_ = std::move(centroids);
    index->n_centroids_ = n_centroids;
    index->codebook_ = std::move(codebook);
    index->lists_ = std::move(lists);
    index->full_vectors_ = std::move(full_vectors);
    index->id_to_list_ = std::move(id_to_list);
    index->trained_ = trained;
    index->prepare_search_tables();
    return index;
}

}  // namespace tvdb

#include "ivf_pq_index.hpp"

#include "detail/probe_order.hpp"

#include <algorithm>

namespace tvdb {
namespace {

Result<void> check_ivf_pq_config(uint64_t dims, const IvfPqConfig& config) {
    if (config.n_lists == 0) {
        return fail(VectorDbError::invalid_config("n_lists must be at least 1"));
    }
    if (auto ok = check_kmeans_rounds("max_iter", config.max_iter); !ok) return ok;
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

IvfPqIndex::IvfPqIndex(IndexConfig config, IvfPqConfig ivf_pq, InvertedFile<CodeList> file)
    : InvertedFileIndex(config, ivf_pq.train_size, std::move(file)), ivf_pq_(ivf_pq) {}

Result<std::unique_ptr<IvfPqIndex>> IvfPqIndex::create(IndexConfig config, IvfPqConfig ivf_pq) {
    if (auto ok = check_ivf_pq_config(config.dimensions, ivf_pq); !ok) return fail(ok.error());
    InvertedFile<CodeList> file(config.dimensions, ivf_pq.pq.m);
    return std::unique_ptr<IvfPqIndex>(new IvfPqIndex(config, ivf_pq, std::move(file)));
}

void IvfPqIndex::file_rows(const float* rows, const VectorId* ids, VectorId first_id, uint64_t n,
                           const std::vector<uint64_t>& lists) {
    const uint64_t dims = config_.dimensions;
    auto residuals = residuals_of(rows, n, dims, lists, inverted_.centroids().data());
    std::vector<uint8_t> codes(n * codebook_->m());
    codebook_->encode_batch(residuals.data(), n, dims, codes.data());
    inverted_.append_all(codes.data(), ids, first_id, lists);
    full_vectors_.reserve(full_vectors_.size() + n);
    for (uint64_t i = 0; i < n; ++i) {
        const float* row = rows + i * dims;
        full_vectors_[ids ? ids[i] : first_id + i].assign(row, row + dims);
    }
}

void IvfPqIndex::file_trained(VectorId id, std::span<const float> vector) {
    uint64_t list = inverted_.nearest_list(config_.metric, vector);
    auto centroid = inverted_.centroid(list);
    std::vector<float> residual(vector.size());
    for (size_t t = 0; t < vector.size(); ++t) residual[t] = vector[t] - centroid[t];
    std::vector<uint8_t> code(codebook_->m());
    codebook_->encode(residual, code.data());
    inverted_.append(id, list, code.data());
    full_vectors_[id].assign(vector.begin(), vector.end());
}

void IvfPqIndex::file_trained_rows(const float* rows, uint64_t n, VectorId first_id) {
    file_rows(rows, nullptr, first_id, n, inverted_.assign(config_.metric, rows, n));
}

void IvfPqIndex::train() {
    const TrainingBuffer& buffer = inverted_.buffer();
    const uint64_t n = buffer.size();
    if (n == 0) return;
    const uint64_t dims = config_.dimensions;
    const float* vectors = buffer.vectors().data();
    KMeansResult clusters = train_kmeans(config_.metric, vectors, n, dims, ivf_pq_.n_lists,
                                         ivf_pq_.max_iter);
    auto residuals = residuals_of(vectors, n, dims, clusters.assignment, clusters.centroids.data());
    auto codebook = PqCodebook::train(residuals.data(), n, dims, ivf_pq_.pq);
    // The configuration was checked when the index was built or loaded, so training the
    // codebook cannot fail; if it did, the index stays untrained and keeps its buffer.
    if (!codebook) return;
    inverted_.install_centroids(std::move(clusters.centroids), clusters.k, CodeList{});
    codebook_ = std::move(*codebook);
    prepare_search_tables();
    file_rows(vectors, buffer.ids().data(), 0, n, clusters.assignment);
    inverted_.finish_training();
}

void IvfPqIndex::prepare_search_tables() {
    coarse_terms_.clear();
    if (!codebook_) return;
    const uint64_t per_list = codebook_->m() * codebook_->k_sub();
    const uint64_t n_centroids = inverted_.n_centroids();
    if (per_list == 0 || n_centroids > kMaxCoarseTermFloats / per_list) return;
    coarse_terms_.resize(n_centroids * per_list);
    for (uint64_t list = 0; list < n_centroids; ++list) {
        codebook_->coarse_terms(inverted_.centroid(list), coarse_terms_.data() + list * per_list);
    }
}

void IvfPqIndex::list_table(std::span<const float> query, uint64_t list,
                            const float* query_terms, float* scratch, float* table) const {
    const uint64_t dims = config_.dimensions;
    const float* centroid = inverted_.centroid(list).data();
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
    return nearest(query, k, ivf_pq_.nprobe, nullptr);
}

Result<std::vector<SearchResult>> IvfPqIndex::search_with_nprobe(std::span<const float> query,
                                                                 uint64_t k, uint64_t nprobe) const {
    return nearest(query, k, nprobe, nullptr);
}

Result<std::vector<SearchResult>> IvfPqIndex::search_filtered(std::span<const float> query,
                                                              uint64_t k,
                                                              const SearchFilter& filter) const {
    return nearest(query, k, ivf_pq_.nprobe, &filter.admit);
}

Result<std::vector<SearchResult>> IvfPqIndex::nearest(std::span<const float> query, uint64_t k,
                                                      uint64_t nprobe,
                                                      const IdFilter* admit) const {
    if (auto ok = check_dimensions(config_.dimensions, query.size()); !ok) return fail(ok.error());
    const uint64_t live = len();
    if (k == 0 || live == 0) return std::vector<SearchResult>{};
    TopK top(std::min(k, live), admit);
    std::vector<RankedCentroid> probes;
    if (codebook_) {
        probes = inverted_.probes(config_.metric, query, probe_count(admit, nprobe));
    }
    std::vector<float> query_terms;
    std::vector<float> scratch(config_.dimensions);
    std::vector<float> table;
    auto scan = [&](const RankedCentroid& probe) {
        const CodeList& list = inverted_.lists()[probe.index];
        if (list.ids.empty()) return;
        list_table(query, probe.index, query_terms.data(), scratch.data(), table.data());
        scan_list(list, codebook_->m(), codebook_->k_sub(), table.data(), top);
    };
    if (codebook_) {
        const uint64_t m = codebook_->m();
        const uint64_t k_sub = codebook_->k_sub();
        if (!coarse_terms_.empty() && !probes.empty()) {
            query_terms.resize(m * k_sub);
            codebook_->query_terms(query, query_terms.data());
        }
        table.resize(m * k_sub);
    }
    for_each_probe(probes, nprobe, scan);
    inverted_.buffer().search(config_.metric, ScanDistance::Reported, query, top);
    for_each_extra_probe(probes, nprobe, top, scan);
    return top.take_sorted();
}

bool IvfPqIndex::remove(VectorId id) {
    if (inverted_.remove_buffered(id)) return true;
    if (!inverted_.remove_listed(id)) return false;
    full_vectors_.erase(id);
    return true;
}

std::optional<std::vector<float>> IvfPqIndex::vector_of(VectorId id) const {
    if (auto buffered = inverted_.buffer().find(id)) {
        return std::vector<float>(buffered->begin(), buffered->end());
    }
    auto full = full_vectors_.find(id);
    if (full == full_vectors_.end()) return std::nullopt;
    return full->second;
}

void IvfPqIndex::iter_vectors(const VectorVisitor& visit) const {
    inverted_.buffer().visit(visit);
    for (const CodeList& list : inverted_.lists()) {
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
template <typename Sink>
void IvfPqIndex::write_to(RecordEncoder<Sink>& out) const {
    write_head(out, config_, ivf_pq_);
    for (uint64_t v : {ivf_pq_.pq.m, ivf_pq_.pq.k_sub, ivf_pq_.pq.max_iter}) out.u64(v);
    inverted_.write_coarse(out);
    out.boolean(codebook_.has_value());
    if (codebook_) codebook_->write_to(out);
    out.count(inverted_.lists().size());
    const uint64_t m = ivf_pq_.pq.m;
    for (const CodeList& list : inverted_.lists()) {
        out.count(list.ids.size());
        for (size_t i = 0; i < list.ids.size(); ++i) {
            out.u64(list.ids[i]);
            out.u8_seq(std::span(list.codes).subspan(i * m, m));
        }
    }
    out.count(full_vectors_.size());
    for (const auto& [id, vector] : full_vectors_) {
        out.u64(id);
        out.f32_seq(vector);
    }
    inverted_.write_tail(out);
}

Result<void> IvfPqIndex::save(const std::string& path) const {
    auto file = FileEncoder::create(path);
    if (!file) return fail(file.error());
    write_to(*file);
    return file->finish();
}

std::vector<uint8_t> IvfPqIndex::to_bytes() const {
    ByteEncoder out;
    write_to(out);
    return out.take();
}

namespace {

// Lists as saved: a count; per list an entry count; per entry ID u64 and code as a u8 seq
// of exactly m bytes, each below k_sub.
std::vector<CodeList> read_code_lists(RecordDecoder& in, const PqConfig& pq) {
    const uint64_t m = pq.m;
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
            if (std::any_of(code.begin(), code.end(), [&](uint8_t c) { return c >= pq.k_sub; })) {
                in.fail("code byte not below k_sub " + std::to_string(pq.k_sub));
                break;
            }
            list.codes.insert(list.codes.end(), code.begin(), code.end());
        }
    }
    return lists;
}

using FullVectors = std::unordered_map<VectorId, std::vector<float>>;

// Full vectors as saved: a count; per entry ID u64 and a f32 seq of `dims` floats. A later
// entry for the same ID replaces an earlier one.
FullVectors read_full_vectors(RecordDecoder& in, uint64_t dims) {
    FullVectors full_vectors;
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
    return full_vectors;
}

// Every mapped entry keeps its full vector and no other ID has one: `iter_vectors` would
// otherwise pass over live entries.
Result<void> check_full_vectors(const FullVectors& full_vectors, const IdToList& id_to_list) {
    for (const auto& [id, list] : id_to_list) {
        if (!full_vectors.contains(id)) {
            return fail(VectorDbError::serialization("ID " + std::to_string(id) +
                                                     " in id_to_list has no full vector"));
        }
    }
    if (full_vectors.size() != id_to_list.size()) {
        return fail(VectorDbError::serialization(
            std::to_string(full_vectors.size()) + " full vectors for " +
            std::to_string(id_to_list.size()) + " IDs in id_to_list"));
    }
    return {};
}

}  // namespace

Result<std::unique_ptr<IvfPqIndex>> IvfPqIndex::load(const std::string& path) {
    auto bytes = read_file(path);
    if (!bytes) return fail(bytes.error());
    return from_bytes(*bytes);
}

Result<std::unique_ptr<IvfPqIndex>> IvfPqIndex::from_bytes(std::span<const uint8_t> bytes) {
    RecordDecoder in(bytes);
    IvfPqConfig ivf_pq;
    const IndexConfig config = read_head(in, ivf_pq);
    for (uint64_t* field : {&ivf_pq.pq.m, &ivf_pq.pq.k_sub, &ivf_pq.pq.max_iter}) *field = in.u64();
    const uint64_t dims = config.dimensions;
    if (in.ok()) {
        if (auto ok = check_ivf_pq_config(dims, ivf_pq); !ok) in.fail(ok.error().text);
    }
    InvertedFile<CodeList>::Saved saved;
    InvertedFile<CodeList>::read_coarse(in, saved);
    std::optional<PqCodebook> codebook;
    if (in.boolean()) {
        codebook = PqCodebook::read_from(in);
        // Codes are checked against the configured shape below, so the codebook must have it.
        if (in.ok() && (codebook->m() != ivf_pq.pq.m || codebook->k_sub() != ivf_pq.pq.k_sub ||
                        codebook->subvector_len() != dims / ivf_pq.pq.m)) {
            in.fail("codebook shape disagrees with the configuration");
        }
    }
    saved.lists = read_code_lists(in, ivf_pq.pq);
    FullVectors full_vectors = read_full_vectors(in, dims);
    InvertedFile<CodeList>::read_tail(in, saved);
    if (!in.ok()) return fail(in.error());

    // Search and insertion index the centroids, lists and codebook by these counts.
    if (auto ok = check_coarse_shape(saved.centroids.size(), saved.n_centroids, ivf_pq.n_lists,
                                     dims, saved.lists.size());
        !ok) {
        return fail(ok.error());
    }
    if (saved.trained && (saved.n_centroids == 0 || !codebook)) {
        return fail(VectorDbError::serialization("trained index without centroids or codebook"));
    }
    if (auto ok = check_full_vectors(full_vectors, saved.id_to_list); !ok) return fail(ok.error());
    auto file = InvertedFile<CodeList>::assemble(dims, ivf_pq.pq.m, std::move(saved));
    if (!file) return fail(file.error());

    std::unique_ptr<IvfPqIndex> index(new IvfPqIndex(config, ivf_pq, std::move(*file)));
    index->codebook_ = std::move(codebook);
    index->full_vectors_ = std::move(full_vectors);
    index->prepare_search_tables();
    return index;
}

}  // namespace tvdb

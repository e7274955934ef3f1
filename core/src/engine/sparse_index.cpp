#include "sparse_index.hpp"

#include <algorithm>

#include "codec.hpp"

namespace tvdb {
namespace {

// A corrupt count must not pre-size the maps beyond what a plausible file holds; they grow
// as entries are actually decoded.
constexpr uint64_t kMaxPresizedPostings = 32768;
constexpr uint64_t kMaxPresizedVectors = 18724;

// u32 dimension, u64 list length.
constexpr size_t kPostingHeaderSize = 12;
// u64 ID, f32 weight.
constexpr size_t kPostingEntrySize = 12;
// u64 ID, then the two u64 counts of the vector record.
constexpr size_t kVectorEntryHeaderSize = 24;

template <typename Encoder>
void put_sparse_vector(Encoder& out, const SparseVector& vector) {
    out.u32_seq(vector.indices);
    out.f32_seq(vector.values);
}

SparseVector take_sparse_vector(RecordDecoder& in) {
    SparseVector vector;
    vector.indices = in.u32_seq();
    vector.values = in.f32_seq();
    return vector;
}

// Encodes into a buffer allocated once at the size the caller computed.
class PresizedEncoder : public RecordEncoder<PresizedEncoder> {
public:
    explicit PresizedEncoder(size_t size) { bytes_.reserve(size); }
    void put_bytes(const void* data, size_t size) {
        const auto* p = static_cast<const uint8_t*>(data);
        bytes_.insert(bytes_.end(), p, p + size);
    }
    std::vector<uint8_t> take() { return std::move(bytes_); }

private:
    std::vector<uint8_t> bytes_;
};

}  // namespace

size_t sparse_vector_record_size(const SparseVector& vector) {
    return 16 + 4 * vector.indices.size() + 4 * vector.values.size();
}

std::vector<uint8_t> encode_sparse_vector(const SparseVector& vector) {
    ByteEncoder out;
    put_sparse_vector(out, vector);
    return out.take();
}

Result<SparseVector> decode_sparse_vector(std::span<const uint8_t> bytes) {
    RecordDecoder in(bytes);
    SparseVector vector = take_sparse_vector(in);
    if (!in.ok()) return fail(in.error());
    return vector;
}

void SparseIndex::upsert(VectorId id, SparseVector vector) {
    remove(id);
    const size_t pairs = vector.pair_count();
    for (size_t i = 0; i < pairs; ++i) {
        postings_[vector.indices[i]].push_back({id, vector.values[i]});
    }
    vectors_.insert_or_assign(id, std::move(vector));
}

bool SparseIndex::remove(VectorId id) {
    auto it = vectors_.find(id);
    if (it == vectors_.end()) return false;
    const SparseVector& vector = it->second;
    const size_t pairs = vector.pair_count();
    for (size_t i = 0; i < pairs; ++i) {
        auto list_it = postings_.find(vector.indices[i]);
        if (list_it == postings_.end()) continue;
        auto& list = list_it->second;
        auto hit = std::find_if(list.begin(), list.end(),
                                [id](const SparsePosting& p) { return p.id == id; });
        if (hit == list.end()) continue;
        *hit = list.back();
        list.pop_back();
        if (list.empty()) postings_.erase(list_it);
    }
    vectors_.erase(it);
    return true;
}

const SparseVector* SparseIndex::get(VectorId id) const {
    auto it = vectors_.find(id);
    return it == vectors_.end() ? nullptr : &it->second;
}

const std::vector<SparsePosting>* SparseIndex::postings(uint32_t dimension) const {
    auto it = postings_.find(dimension);
    return it == postings_.end() ? nullptr : &it->second;
}

std::unordered_map<VectorId, float> SparseIndex::dot_scores(const SparseVector& query) const {
    std::unordered_map<VectorId, float> scores;
    const size_t pairs = query.pair_count();
    for (size_t i = 0; i < pairs; ++i) {
        const auto* list = postings(query.indices[i]);
        if (list == nullptr) continue;
        const float q = query.values[i];
        for (const SparsePosting& posting : *list) scores[posting.id] += q * posting.weight;
    }
    return scores;
}

std::vector<uint8_t> SparseIndex::encode() const {
    size_t size = 8 + 8;
    for (const auto& [dimension, list] : postings_) size += kPostingHeaderSize + kPostingEntrySize * list.size();
    for (const auto& [id, vector] : vectors_) size += 8 + sparse_vector_record_size(vector);
    PresizedEncoder out(size);
    out.count(postings_.size());
    for (const auto& [dimension, list] : postings_) {
        out.u32(dimension);
        out.count(list.size());
        for (const SparsePosting& posting : list) {
            out.u64(posting.id);
            out.f32(posting.weight);
        }
    }
    out.count(vectors_.size());
    for (const auto& [id, vector] : vectors_) {
        out.u64(id);
        put_sparse_vector(out, vector);
    }
    return out.take();
}

Result<void> SparseIndex::save(const std::string& path) const {
    return write_file_replacing(path, encode());
}

Result<SparseIndex> SparseIndex::decode(std::span<const uint8_t> bytes) {
    RecordDecoder in(bytes);
    // The saved inverted lists are only checked for shape: they are rebuilt from the
    // vectors, so a file whose two sections disagree cannot break the invariant.
    uint64_t posting_count = in.count(kPostingHeaderSize);
    for (uint64_t i = 0; i < posting_count && in.ok(); ++i) {
        in.u32();
        uint64_t length = in.count(kPostingEntrySize);
        in.raw(in.ok() ? length * kPostingEntrySize : 0);
    }
    SparseIndex index;
    index.postings_.reserve(std::min(posting_count, kMaxPresizedPostings));
    uint64_t vector_count = in.count(kVectorEntryHeaderSize);
    index.vectors_.reserve(std::min(vector_count, kMaxPresizedVectors));
    for (uint64_t i = 0; i < vector_count && in.ok(); ++i) {
        VectorId id = in.u64();
        SparseVector vector = take_sparse_vector(in);
        if (in.ok()) index.upsert(id, std::move(vector));
    }
    if (!in.ok()) return fail(in.error());
    return index;
}

Result<SparseIndex> SparseIndex::load(const std::string& path) {
    auto bytes = read_file(path, Symlinks::Refuse);
    if (!bytes) return fail(bytes.error());
    return decode(*bytes);
}

}  // namespace tvdb

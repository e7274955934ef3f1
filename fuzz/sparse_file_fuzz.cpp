// "sparse.bin" decoding: fail cleanly or give an index whose inverted lists agree with its
// vectors, that scores queries and that encodes back to an equal index.

#include <algorithm>

#include "fuzz_support.hpp"
#include "sparse_index.hpp"

namespace tvdb::fuzz {

void write_seeds(const std::string& dir) {
    SparseIndex index;
    write_bytes(dir + "/seed_empty", index.encode());
    index.upsert(1, SparseVector{{0, 5, 9}, {0.5f, -1.0f, 2.0f}});
    write_bytes(dir + "/seed_one", index.encode());
    index.upsert(2, SparseVector{{5}, {3.0f}});
    index.upsert(3, SparseVector{{}, {}});
    index.upsert(4, SparseVector{{4000000000u, 1}, {1.0f, 1.0f}});
    write_bytes(dir + "/seed_four", index.encode());
    write_bytes(dir + "/seed_vector", encode_sparse_vector(SparseVector{{7, 8}, {1.5f, 2.5f}}));
}

}  // namespace tvdb::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tvdb;
    const std::span<const uint8_t> bytes(data, size);
    if (auto vector = decode_sparse_vector(bytes)) {
        // Only the first min(|indices|, |values|) pairs count; the rest is carried along.
        SparseIndex single;
        single.upsert(1, *vector);
        (void)single.dot_scores(*vector);
    }

    auto index = SparseIndex::decode(bytes);
    if (!index) return 0;
    for (const auto& [id, vector] : index->vectors()) {
        const size_t pairs = std::min(vector.indices.size(), vector.values.size());
        for (size_t i = 0; i < pairs; ++i) {
            fuzz::require(index->postings(vector.indices[i]) != nullptr,
                          "every stored dimension has an inverted list");
        }
        (void)index->dot_scores(vector);
    }
    auto again = SparseIndex::decode(index->encode());
    fuzz::require(again.has_value(), "an encoded index decodes");
    fuzz::require(again->len() == index->len(), "encode and decode keep every vector");

    if (!index->vectors().empty()) {
        const VectorId first = index->vectors().begin()->first;
        fuzz::require(index->remove(first), "removing a stored vector succeeds");
        index->upsert(first, SparseVector{{1, 2}, {1.0f, -1.0f}});
        (void)index->dot_scores(SparseVector{{1}, {2.0f}});
    }
    return 0;
}

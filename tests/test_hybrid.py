"""Hybrid upsert and search as Python meets them: sparse dictionaries, hit dictionaries, the
candidate pools, argument errors and persistence."""

import numpy as np
import pytest

import tolvane_vector_db as tv

HIT_KEYS = ["id", "score", "dense_distance", "sparse_score", "payload"]
f32 = np.float32


@pytest.fixture
def docs(tmp_path):
    return tv.Client(str(tmp_path)).create_collection("docs", 2, "l2", "flat")


def sparse_scores(sparse_vectors, sparse_query):
    """Each stored sparse vector's dot product with the query, summed in 32-bit floats by dimension."""
    scores = {}
    for id_, stored in sparse_vectors.items():
        shared = [f32(q) * f32(stored[d]) for d, q in sorted(sparse_query.items()) if d in stored]
        if shared:
            scores[id_] = f32(sum(shared, f32(0)))
    return scores


@pytest.fixture
def corpus(docs):
    rng = np.random.default_rng(11)
    sparse_vectors = {}
    for i in range(40):
        terms = {int(d): float(rng.integers(1, 5)) / 4 for d in rng.choice(12, size=3, replace=False)}
        if i % 5 == 0:
            terms = {}
        sparse_vectors[i] = terms
        docs.upsert_hybrid(i, rng.standard_normal(2).astype(np.float32), terms or None,
                           {"even": i % 2 == 0})
    return docs, {i: v for i, v in sparse_vectors.items() if v}


class TestScores:
    @pytest.mark.parametrize("k, filter", [(1, None), (2, {"even": {"$eq": True}}), (9, None)])
    def test_candidate_pools_are_the_raw_sides_of_the_fusion(self, corpus, k, filter):
        docs, sparse_vectors = corpus
        query, sparse_query = [0.3, -0.2], {1: 0.5, 4: 1.0, 7: 2.0}
        dense, sparse = docs.hybrid_candidates(query, sparse_query, k, filter=filter)
        nearest = docs.search(query, 10 * k, filter=filter)
        assert dense == [(hit["id"], hit["distance"]) for hit in nearest]
        admitted = {i for i in sparse_vectors if filter is None or i % 2 == 0}
        scores = sparse_scores(sparse_vectors, sparse_query)
        scored = [(i, float(scores[i])) for i in admitted if i in scores and scores[i] != 0]
        # Quarter weights make many equal scores: they rank by ascending ID.
        assert sparse == sorted(scored, key=lambda item: (-item[1], item[0]))[:10 * k]
        assert len({score for _, score in sparse}) < len(sparse)

    def test_hits_are_plain_dicts_and_equal_dense_distances_all_get_the_full_dense_weight(self, docs):
        for i in range(3):
            docs.upsert_hybrid(i, [1, 1], None, {"i": i} if i else None)
        hits = docs.search_hybrid([0, 0], {}, 3)
        assert [list(hit) for hit in hits] == [HIT_KEYS] * 3
        assert [hit["score"] for hit in hits] == [float(f32(0.7))] * 3
        assert [hit["payload"] for hit in hits] == [None, {"i": 1}, {"i": 2}]


class TestArguments:
    def test_k_whose_pool_overflows_is_refused(self, corpus):
        with pytest.raises(ValueError, match="too large"):
            corpus[0].search_hybrid([0, 0], {}, 2**63)

    def test_dimension_indices_must_fit_in_32_bits(self, docs):
        for bad in ({2**32: 1.0}, {-1: 1.0}, {2**70: 1.0}):
            with pytest.raises(OverflowError) as info:
                docs.upsert_hybrid(1, [0, 0], bad)
            assert str(info.value) == "out of range integral type conversion attempted"
        docs.upsert_hybrid(1, [0, 0], {2**32 - 1: 1.0})
        assert docs.search_hybrid([0, 0], {2**32 - 1: 2.0}, 1)[0]["sparse_score"] == 2.0

    def test_wrong_types_are_type_errors_and_store_nothing(self, docs):
        for bad in ({"a": 1.0}, {1.5: 1.0}, {1: "x"}, [(1, 1.0)]):
            with pytest.raises(TypeError):
                docs.upsert_hybrid(1, [0, 0], bad)
        with pytest.raises(TypeError):
            docs.search_hybrid([0, 0], None, 1)
        assert docs.count == 0

    def test_dictionary_is_sorted_by_dimension(self, docs):
        docs.upsert_hybrid(1, [0, 0], {7: 0.5, 2: 1.0})
        hit = docs.search_hybrid([0, 0], {2: 1.0, 7: 4.0}, 1)[0]
        assert hit["sparse_score"] == 3.0


class TestSparseStorage:
    def test_sparse_vectors_survive_reopening(self, tmp_path, docs):
        docs.upsert_hybrid(1, [0, 0], {3: 1.0, 5: 0.5}, {"p": 1})
        docs.upsert_hybrid(2, [1, 0], {5: 2.0})
        reopened = tv.Client(str(tmp_path)).get_collection("docs")
        assert reopened.sparse_count == 2
        hits = reopened.search_hybrid([0, 0], {5: 1.0}, 2)
        assert {hit["id"]: hit["sparse_score"] for hit in hits} == {1: 0.5, 2: 2.0}

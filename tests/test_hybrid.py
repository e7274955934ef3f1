"""Hybrid upsert and search: sparse dictionaries, the fused score, filters and persistence."""

import numpy as np
import pytest

import tolvane_vector_db as tv
from collection_support import ids_of

HIT_KEYS = ["id", "score", "dense_distance", "sparse_score", "payload"]
f32 = np.float32


@pytest.fixture
def docs(tmp_path):
    return tv.Client(str(tmp_path)).create_collection("docs", 2, "l2", "flat")


def expected_ranking(docs, sparse_vectors, dense_query, sparse_query, k, dense_weight=0.7,
                     sparse_weight=0.3):
    """The fused scores recomputed from the definition, in 32-bit floats."""
    dense = {hit["id"]: f32(hit["distance"]) for hit in docs.search(dense_query, 10 * k)}
    sparse = {}
    for id_, stored in sparse_vectors.items():
        shared = [f32(q) * f32(stored[d]) for d, q in sorted(sparse_query.items()) if d in stored]
        if shared:
            sparse[id_] = f32(sum(shared, f32(0)))
    kept = dict(sorted(sparse.items(), key=lambda item: -item[1])[:10 * k])
    d_min, d_max = (min(dense.values()), max(dense.values())) if dense else (f32(0), f32(1))
    d_range = max(f32(d_max - d_min), f32(1e-9)) if dense else f32(1)
    s_min = min(kept.values()) if kept else f32(0)
    s_range = max(f32(max(kept.values()) - s_min), f32(1e-9)) if kept else f32(1)
    scores = {}
    for id_ in set(dense) | set(kept):
        d = dense.get(id_, d_max)
        s = kept.get(id_, f32(0))
        dense_part = (f32(1) - (d - d_min) / d_range) * f32(dense_weight)
        sparse_part = ((s - s_min) / s_range) * f32(sparse_weight)
        scores[id_] = (f32(dense_part + sparse_part), d, s)
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
    @pytest.mark.parametrize("k, weights", [(3, (0.7, 0.3)), (1, (0.5, 0.5)), (50, (0.2, 1.5))])
    def test_scores_match_the_fusion_formula(self, corpus, k, weights):
        docs, sparse_vectors = corpus
        query, sparse_query = [0.3, -0.2], {1: 0.5, 4: 1.0, 7: 2.0}
        hits = docs.search_hybrid(query, sparse_query, k, *weights)
        expected = expected_ranking(docs, sparse_vectors, query, sparse_query, k, *weights)
        assert len(hits) == min(k, len(expected))
        for hit in hits:
            assert list(hit) == HIT_KEYS
            score, d, s = expected[hit["id"]]
            assert (hit["score"], hit["dense_distance"], hit["sparse_score"]) == (score, d, s)
            assert hit["payload"] == {"even": hit["id"] % 2 == 0}
        returned = [hit["score"] for hit in hits]
        assert returned == sorted(returned, reverse=True)
        best = sorted((v[0] for v in expected.values()), reverse=True)[:k]
        assert returned == best

    @pytest.mark.parametrize("k, filter", [(1, None), (2, {"even": {"$eq": True}}), (9, None)])
    def test_candidate_pools_are_the_raw_sides_of_the_fusion(self, corpus, k, filter):
        docs, sparse_vectors = corpus
        query, sparse_query = [0.3, -0.2], {1: 0.5, 4: 1.0, 7: 2.0}
        dense, sparse = docs.hybrid_candidates(query, sparse_query, k, filter=filter)
        nearest = docs.search(query, 10 * k, filter=filter)
        assert dense == [(hit["id"], hit["distance"]) for hit in nearest]
        admitted = {i for i in sparse_vectors if filter is None or i % 2 == 0}
        scores = expected_ranking(docs, sparse_vectors, query, sparse_query, 10 * len(admitted))
        scored = [(i, float(scores[i][2])) for i in admitted if i in scores and scores[i][2] != 0]
        # Quarter weights make many equal scores: they rank by ascending ID.
        assert sparse == sorted(scored, key=lambda item: (-item[1], item[0]))[:10 * k]
        assert len({score for _, score in sparse}) < len(sparse)

    def test_empty_sparse_query_reduces_to_the_dense_part(self, corpus):
        docs, _ = corpus
        hits = docs.search_hybrid([0, 0], {}, 5)
        assert all(hit["sparse_score"] == 0.0 for hit in hits)
        assert ids_of(hits) == ids_of(docs.search([0, 0], 5))
        assert hits[0]["score"] == pytest.approx(0.7)

    def test_sparse_only_candidate_gets_the_largest_dense_distance(self, docs):
        for i in range(10):
            docs.upsert_hybrid(i, [i, 0], {9: 1.0} if i == 4 else None)
        docs.upsert_hybrid(100, [300, 400], {9: 2.0})
        [hit] = docs.search_hybrid([0, 0], {9: 1.0}, 1, dense_weight=0.1, sparse_weight=1.0)
        assert (hit["id"], hit["dense_distance"], hit["sparse_score"], hit["score"]) == (100, 9.0, 2.0, 1.0)
        # Unscored candidates sit below the lowest kept sparse score: their sparse part is negative.
        [hit] = docs.search_hybrid([0, 0], {9: 1.0}, 1)
        assert (hit["id"], hit["sparse_score"], hit["score"]) == (0, 0.0, float(f32(0.7) + f32(-0.3)))

    def test_equal_dense_distances_all_get_the_full_dense_weight(self, docs):
        for i in range(3):
            docs.upsert_hybrid(i, [1, 1])
        hits = docs.search_hybrid([0, 0], {}, 3)
        assert [hit["score"] for hit in hits] == [float(f32(0.7))] * 3


class TestArguments:
    def test_k_zero_answers_empty(self, corpus):
        assert corpus[0].search_hybrid([0, 0], {1: 1.0}, 0) == []

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

    def test_wrong_dense_length(self, corpus):
        with pytest.raises(ValueError, match="^dimension mismatch: expected 2, got 3$"):
            corpus[0].search_hybrid([0, 0, 0], {}, 1)
        with pytest.raises(ValueError, match="^dimension mismatch: expected 2, got 1$"):
            corpus[0].upsert_hybrid(99, [0], {1: 1.0})
        assert corpus[0].count == 40

    def test_dictionary_is_sorted_by_dimension(self, docs):
        docs.upsert_hybrid(1, [0, 0], {7: 0.5, 2: 1.0})
        hit = docs.search_hybrid([0, 0], {2: 1.0, 7: 4.0}, 1)[0]
        assert hit["sparse_score"] == 3.0


class TestFilters:
    def test_filter_drops_candidates_before_ranking(self, corpus):
        docs, _ = corpus
        hits = docs.search_hybrid([0, 0], {1: 1.0}, 10, filter={"even": {"$eq": True}})
        assert hits and all(hit["id"] % 2 == 0 for hit in hits)

    def test_filter_matching_nothing_answers_empty(self, corpus):
        assert corpus[0].search_hybrid([0, 0], {1: 1.0}, 5, filter={"x": {"$eq": 1}}) == []

    def test_malformed_filter(self, corpus):
        with pytest.raises(ValueError, match="^invalid filter: "):
            corpus[0].search_hybrid([0, 0], {}, 5, filter={"x": 1})


class TestSparseStorage:
    def test_upsert_without_sparse_vector_keeps_the_old_one(self, docs):
        docs.upsert_hybrid(1, [0, 0], {3: 1.0}, {"v": 1})
        docs.upsert_hybrid(1, [1, 1], None, {"v": 2})
        docs.upsert(1, [1, 1], {"v": 3})
        assert docs.sparse_count == 1
        assert docs.search_hybrid([1, 1], {3: 1.0}, 1)[0]["sparse_score"] == 1.0

    def test_delete_removes_the_sparse_vector(self, docs):
        docs.upsert_hybrid(1, [0, 0], {3: 1.0})
        docs.delete(1)
        assert docs.sparse_count == 0
        assert docs.search_hybrid([0, 0], {3: 1.0}, 5) == []

    def test_sparse_vectors_survive_reopening(self, tmp_path, docs):
        docs.upsert_hybrid(1, [0, 0], {3: 1.0, 5: 0.5}, {"p": 1})
        docs.upsert_hybrid(2, [1, 0], {5: 2.0})
        reopened = tv.Client(str(tmp_path)).get_collection("docs")
        assert reopened.sparse_count == 2
        hits = reopened.search_hybrid([0, 0], {5: 1.0}, 2)
        assert {hit["id"]: hit["sparse_score"] for hit in hits} == {1: 0.5, 2: 2.0}

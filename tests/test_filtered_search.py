"""Filtered search answers min(k, matching vectors) hits on every index kind, exact ones for
the exhaustive kinds, and hybrid search draws both candidate pools from matching vectors."""

import numpy as np
import pytest

import tolvane_vector_db as tv
from collection_support import ALL_INDEX_TYPES, ids_of, require

N = 5000  # enough for the clustered kinds to train their lists
DIMS = 16
EXHAUSTIVE = ["flat", "quantized_flat", "fp16_flat", "binary_flat", "mmap_flat"]
# Share of records with bucket below the bound: 0.1 %, 1 %, 10 %, 50 %.
BUCKET_BOUNDS = [1, 10, 100, 500]


def clustered(rng, n):
    centres = rng.normal(size=(20, DIMS)).astype(np.float32) * 4
    return (centres[rng.integers(0, 20, n)] + rng.normal(size=(n, DIMS))).astype(np.float32)


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(7)
    return clustered(rng, N), clustered(rng, 8)


@pytest.fixture(scope="module", params=ALL_INDEX_TYPES)
def filled(request, tmp_path_factory, data):
    index_type = request.param
    require(index_type)
    vectors, _ = data
    client = tv.Client(str(tmp_path_factory.mktemp(index_type)))
    collection = client.create_collection("c", DIMS, "l2", index_type)
    # Buckets are scattered over IDs so no filter follows the insertion order.
    buckets = (np.arange(N) * 7919) % 1000
    collection.upsert_batch(
        [(i, vectors[i], {"bucket": int(buckets[i])}) for i in range(N)]
    )
    return index_type, collection, buckets


@pytest.mark.parametrize("bound", BUCKET_BOUNDS)
@pytest.mark.parametrize("k", [3, 10, 100])
def test_filtered_search_returns_min_k_matches(filled, data, bound, k):
    index_type, collection, buckets = filled
    _, queries = data
    matching = set(np.flatnonzero(buckets < bound).tolist())
    condition = {"bucket": {"$lt": bound}}
    for query in queries:
        hits = collection.search(query, k, filter=condition)
        assert len(hits) == min(k, len(matching))
        assert set(ids_of(hits)) <= matching
        distances = [hit["distance"] for hit in hits]
        assert distances == sorted(distances)
        if index_type in EXHAUSTIVE:
            # The index's own ranking of every vector, filtered afterwards.
            everything = collection.search(query, N)
            expected = [hit["distance"] for hit in everything if hit["id"] in matching][:k]
            assert distances == expected


def test_hybrid_pools_come_from_matching_records(tmp_path):
    client = tv.Client(str(tmp_path))
    docs = client.create_collection("docs", 4, "l2", "hnsw")
    rng = np.random.default_rng(3)
    for i in range(400):
        # Only every 40th record matches; none of them shares the query's sparse term.
        sparse = {1: 1.0} if i % 40 else {2: 0.5}
        docs.upsert_hybrid(i, rng.normal(size=4).astype(np.float32), sparse, {"rare": i % 40 == 0})
    hits = docs.search_hybrid([0, 0, 0, 0], {1: 1.0}, 8, filter={"rare": {"$eq": True}})
    assert len(hits) == 8
    assert all(hit["id"] % 40 == 0 and hit["payload"] == {"rare": True} for hit in hits)
    assert all(hit["sparse_score"] == 0.0 for hit in hits)


def test_selective_filters_follow_payload_changes(tmp_path):
    """Few matches are measured from an in-memory index of the filtered fields, which must
    follow every later write."""
    docs = tv.Client(str(tmp_path)).create_collection("docs", 2, "l2", "hnsw")
    rng = np.random.default_rng(5)
    payloads = {i: {"tag": "common", "n": i % 50, "flag": False} for i in range(600)}
    payloads[3] = {"tag": "rare", "n": 1.0, "flag": True}
    docs.upsert_batch([(i, rng.normal(size=2), p) for i, p in payloads.items()])
    filters = [
        {"tag": {"$eq": "rare"}},
        {"tag": {"$in": ["rare", "gone"]}},
        {"n": {"$eq": 1}},
        {"n": {"$lte": 1}},
        {"flag": {"$eq": True}},
        {"$or": [{"tag": {"$eq": "rare"}}, {"n": {"$gt": 48}}]},
        {"$and": [{"n": {"$lt": 2}}, {"tag": {"$ne": "rare"}}]},
        {"tag": {"$gte": "rare"}},
    ]

    def check():
        for condition in filters:
            expected = {i for i, p in payloads.items() if matches(p, condition)}
            assert set(ids_of(docs.search([0, 0], 1000, filter=condition))) == expected, condition

    check()  # indexes the fields
    payloads[3] = {"tag": "common"}
    docs.upsert(3, rng.normal(size=2), payloads[3])
    payloads[7] = {"tag": "rare", "n": 1, "flag": True}
    docs.upsert(7, rng.normal(size=2), payloads[7])
    docs.delete(51)
    del payloads[51]
    docs.upsert(8, rng.normal(size=2))
    payloads[8] = None
    check()


def matches(payload, condition):
    """The filter semantics the collection implements, for the operators used above."""
    if "$or" in condition:
        return any(matches(payload, c) for c in condition["$or"])
    if "$and" in condition:
        return all(matches(payload, c) for c in condition["$and"])
    (field, op), = condition.items()
    (name, operand), = op.items()
    if payload is None or field not in payload:
        return False
    value = payload[field]
    same_kind = type(value) is type(operand) or {type(value), type(operand)} <= {int, float}
    if name == "$eq":
        return type(value) is type(operand) and value == operand
    if name == "$ne":
        return not (type(value) is type(operand) and value == operand)
    if name == "$in":
        return any(type(value) is type(o) and value == o for o in operand)
    if not same_kind or isinstance(value, bool):
        return False
    return {"$lt": value < operand, "$lte": value <= operand, "$gt": value > operand,
            "$gte": value >= operand}[name]

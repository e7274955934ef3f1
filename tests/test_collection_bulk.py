"""Collection calls over many records: batch search, column and hybrid batch upserts, reading
records back, deleting and counting by filter, payload updates."""

import os

import numpy as np
import pytest

import tolvane_vector_db as tv
from collection_support import ALL_INDEX_TYPES, require

DIMS = 8
# Kinds whose stored vector is an approximation of the one given.
APPROXIMATE = {"quantized_flat", "fp16_flat", "binary_flat"}


def records_of(collection):
    return {r["id"]: (r["vector"], r["payload"], r["sparse_vector"]) for r in collection.scan(limit=10**6)}


def assert_same_records(actual, expected, exact):
    assert actual.keys() == expected.keys()
    for key, (vector, payload, sparse) in expected.items():
        assert actual[key][1:] == (payload, sparse)
        if exact:
            np.testing.assert_array_equal(actual[key][0], vector)
        else:
            np.testing.assert_allclose(actual[key][0], vector, atol=0.05)


def fill(collection):
    rng = np.random.default_rng(3)
    ids = np.arange(40, dtype=np.int32) * 3
    vectors = rng.standard_normal((40, DIMS))  # float64, converted once
    payloads = [{"group": int(i % 4), "n": int(i)} if i % 5 else None for i in range(40)]
    collection.upsert_arrays(ids, vectors, payloads)
    collection.upsert_hybrid_batch([(500, [1] * DIMS, {7: 0.5}), (501, [2] * DIMS, None, {"group": 9}),
                                    (3, vectors[1], {1: 2.0, 9: 1.0}, {"group": 1, "n": 1})])
    assert collection.update_payload(6, {"group": 2, "updated": True})
    assert not collection.update_payload(7, {"never": "written"})
    assert collection.delete_batch([0, 0, 9, 10**9]) == 2
    group_three = collection.count_where({"group": {"$eq": 3}})
    assert group_three == 7
    assert collection.delete_where({"group": {"$eq": 3}}) == group_three
    assert collection.count_where({"group": {"$eq": 3}}) == 0
    return vectors


@pytest.mark.parametrize("index_type", ALL_INDEX_TYPES)
def test_bulk_writes_survive_reopen_and_snapshot_restore(tmp_path, index_type):
    require(index_type)
    collection = tv.Client(str(tmp_path)).create_collection("docs", DIMS, "l2", index_type)
    vectors = fill(collection)
    exact = index_type not in APPROXIMATE
    state = records_of(collection)
    assert len(collection) == len(state) == 40 + 2 - 2 - 7
    assert state[6][1] == {"group": 2, "updated": True} and 7 not in state
    assert state[3][1:] == ({"group": 1, "n": 1}, {1: 2.0, 9: 1.0})
    if exact:
        np.testing.assert_array_equal(state[3][0], vectors[1].astype(np.float32))
    assert collection.count_where({"group": {"$eq": 1}}) == sum(1 for r in state.values() if r[1] and r[1]["group"] == 1)
    assert collection.get([500, 7, 6])[1] is None
    collection.create_snapshot("s")

    reopened = tv.Client(str(tmp_path)).get_collection("docs")
    assert_same_records(records_of(reopened), state, exact)
    assert (reopened.dimensions, reopened.metric, reopened.index_type) == (DIMS, "l2", index_type)

    reopened.upsert_arrays([1000, 1001], np.ones((2, DIMS), np.float32))
    reopened.upsert(6, vectors[0], {"moved": True})
    reopened.delete_where({"group": {"$in": [0, 1, 2]}})
    reopened.restore_snapshot("s")
    assert_same_records(records_of(reopened), state, exact)


def test_scan_pages_in_id_order_and_get_keeps_the_order_asked(tmp_path):
    collection = tv.Client(str(tmp_path)).create_collection("docs", DIMS, "l2", "hnsw")
    ids = np.random.default_rng(5).permutation(200).astype(np.uint64) * 7
    collection.upsert_arrays(ids, np.random.default_rng(6).random((200, DIMS)),
                             [{"odd": bool(i % 2)} for i in ids])
    pages, after = [], None
    while page := collection.scan(after_id=after, limit=30, filter={"odd": {"$eq": True}}):
        pages.append([record["id"] for record in page])
        after = pages[-1][-1]
    seen = [i for page in pages for i in page]
    assert seen == sorted(int(i) for i in ids if i % 2) and max(map(len, pages)) == 30
    assert [r["id"] if r else None for r in collection.get([14, 3, 0])] == [14, None, 0]
    assert collection.scan(limit=0) == []


def test_batch_search_equals_searches_one_by_one(tmp_path):
    collection = tv.Client(str(tmp_path)).create_collection("docs", DIMS, "l2", "hnsw")
    rng = np.random.default_rng(9)
    collection.upsert_arrays(np.arange(300), rng.random((300, DIMS)), [{"n": i % 10} for i in range(300)])
    queries = rng.random((25, DIMS))
    for condition in (None, {"n": {"$lt": 2}}, {"n": {"$eq": 99}}):
        expected = [collection.search(q.astype(np.float32), 5, filter=condition) for q in queries]
        assert collection.search_batch(queries, 5, filter=condition) == expected
    assert collection.search_batch([], 5) == []
    with pytest.raises(ValueError, match="^dimension mismatch: expected 8, got 2$"):
        collection.search_batch(np.zeros((1, 2)), 5)


def test_bulk_calls_write_nothing_when_any_entry_is_bad(tmp_path):
    collection = tv.Client(str(tmp_path)).create_collection("docs", DIMS, "l2", "flat")
    collection.upsert(1, [0] * DIMS, {"keep": 1})
    log = tmp_path / "docs" / "wal.log"
    size = os.path.getsize(log)
    rows = np.zeros((3, DIMS), np.float32)
    bad_calls = [
        (TypeError, lambda: collection.upsert_arrays([1, 2, 3], rows, [None, {5: "not a str key"}, None])),
        (ValueError, lambda: collection.upsert_arrays([1, 2], rows)),
        (ValueError, lambda: collection.upsert_arrays([1, 2, 3], rows, [None])),
        (ValueError, lambda: collection.upsert_arrays([1, 2, 3], np.zeros((3, DIMS + 1)))),
        (OverflowError, lambda: collection.upsert_arrays(np.array([1, -2, 3]), rows)),
        (ValueError, lambda: collection.upsert_hybrid_batch([(2, [0] * DIMS, None), (3, [0] * DIMS)])),
        (ValueError, lambda: collection.upsert_hybrid_batch([(2, [0] * DIMS, None), (3, [0] * 3, None)])),
        (OverflowError, lambda: collection.delete_batch([2, -1])),
        (ValueError, lambda: collection.delete_where({})),
        (TypeError, lambda: collection.update_payload(1, {1: "x"})),
    ]
    for error, call in bad_calls:
        with pytest.raises(error):
            call()
        assert os.path.getsize(log) == size
    assert not collection.update_payload(2, {"absent": True})
    assert os.path.getsize(log) == size
    assert len(collection) == 1 and collection.get([1])[0]["payload"] == {"keep": 1}


def test_payload_update_leaves_a_saved_graph_adoptable(tmp_path):
    client = tv.Client(str(tmp_path))
    collection = client.create_collection("docs", DIMS, "l2", "hnsw")
    collection.upsert_arrays(np.arange(50), np.random.default_rng(1).random((50, DIMS)))
    client.close()  # writes hnsw.graph
    graph = tmp_path / "docs" / "hnsw.graph"
    written = graph.stat().st_mtime_ns
    assert collection.update_payload(3, {"tag": "x"})
    del collection
    reopened = tv.Client(str(tmp_path)).get_collection("docs")
    assert graph.stat().st_mtime_ns == written
    assert reopened.get([3])[0]["payload"] == {"tag": "x"} and len(reopened) == 50

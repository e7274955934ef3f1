"""HnswIndex as a user sees it."""

import threading

import numpy as np
import pytest

import tolvane_vector_db as tv


def overlapping_clusters(rng, rows, dims, clusters=8):
    centres = rng.standard_normal((clusters, dims))
    labels = rng.integers(0, clusters, rows)
    return (centres[labels] + rng.standard_normal((rows, dims))).astype(np.float32)


def recall_at_10(index, data, queries, metric="l2"):
    exact = tv.FlatIndex(data.shape[1], metric)
    exact.add_batch_np(data)
    found = 0
    for query in queries:
        truth = {hit["id"] for hit in exact.search(query, 10)}
        found += len(truth & {hit["id"] for hit in index.search(query, 10)})
    return found / (10 * len(queries))


def test_constructor_defaults_repr_and_properties():
    index = tv.HnswIndex(3)
    assert repr(index) == 'HnswIndex(dimensions=3, metric="l2", len=0)'
    assert tv.HnswIndex(4, "dot_product").metric == "dot_product"
    assert tv.HnswIndex(4, metric="cosine", ef_construction=10, ef_search=5, m=32).dimensions == 4
    index.add(7, [1, 2, 3])
    assert len(index) == 1
    assert repr(index) == 'HnswIndex(dimensions=3, metric="l2", len=1)'


def test_invalid_arguments_raise():
    with pytest.raises(ValueError, match='unknown metric "L2"'):
        tv.HnswIndex(4, "L2")
    for m in (0, 33):
        with pytest.raises(ValueError, match="invalid configuration"):
            tv.HnswIndex(4, m=m)
    with pytest.raises((OverflowError, TypeError)):
        tv.HnswIndex(-1)


def test_docstrings():
    doc = tv.HnswIndex.__doc__
    assert doc.startswith("Graph-based approximate nearest-neighbour index (HNSW). 95-99% recall.")
    assert "Build beam width (default 200). Higher = better recall, slower build." in doc
    assert "Query beam width (default 50). Tunable at runtime." in doc
    assert "Graph edges per node (default 12). Higher = better recall, more RAM." in doc
    assert "Build the HNSW graph. Call after bulk inserts for best performance." in tv.HnswIndex.flush.__doc__
    assert "start_id=5000" in tv.HnswIndex.add_batch_np.__doc__
    assert "micro_batch_size" in tv.HnswIndex.add_batch_parallel.__doc__
    assert tv.HnswIndex.add.__doc__.strip().startswith("add(self, id")


def test_search_finds_neighbours_for_every_metric(rng):
    data = overlapping_clusters(rng, 1500, 16)
    queries = overlapping_clusters(rng, 40, 16)
    for metric in ("l2", "cosine", "dot_product"):
        index = tv.HnswIndex(16, metric, ef_search=64)
        index.add_batch_np(data)
        # Levels are drawn at random, so the bound leaves room for an unlucky graph.
        assert recall_at_10(index, data, queries, metric) >= 0.8, metric
        hits = index.search(queries[0], 5)
        assert [list(hit) for hit in hits] == [["id", "distance"]] * 5
        assert isinstance(hits[0]["id"], int) and isinstance(hits[0]["distance"], float)


def test_search_edge_cases(rng):
    index = tv.HnswIndex(4, ef_search=2, m=16)
    assert index.search([0, 0, 0, 0], 3) == []
    data = rng.random((30, 4), dtype=np.float32)
    index.add_batch_np(data, start_id=100)
    assert index.search(data[0], 0) == []
    assert len(index.search(data[0], 25)) == 25
    assert index.search(data[3], 1) == [{"id": 103, "distance": 0.0}]
    with pytest.raises(ValueError, match="dimension mismatch: expected 4, got 3"):
        index.search([1, 2, 3], 1)
    for i in range(100, 130):
        assert index.delete(i) is True
    assert index.search(data[0], 5) == []


def test_insertions_are_all_or_nothing():
    index = tv.HnswIndex(2)
    index.add(1, [0, 0])
    with pytest.raises(KeyError, match="duplicate vector ID: 1"):
        index.add(1, [1, 1])
    with pytest.raises(ValueError, match="dimension mismatch: expected 2, got 3"):
        index.add_batch([(2, [0, 1]), (3, [0, 1, 2])])
    with pytest.raises(KeyError, match="duplicate vector ID: 4"):
        index.add_batch([(4, [0, 1]), (4, [1, 1])])
    block = np.zeros((3, 2), dtype=np.float32)
    with pytest.raises(KeyError):
        index.add_batch_np(block, start_id=0)
    with pytest.raises(KeyError):
        index.add_batch_parallel(block, start_id=0)
    with pytest.raises(ValueError, match="dimension mismatch: expected 2, got 5"):
        index.add_batch_parallel(np.zeros((3, 5), dtype=np.float32))
    with pytest.raises(ValueError, match="vectors must support the buffer protocol"):
        index.add_batch_parallel(np.zeros((3, 2)))
    assert len(index) == 1
    index.add_batch_np(np.zeros((0, 2), dtype=np.float32))
    index.add_batch_parallel(np.zeros((0, 2), dtype=np.float32))
    assert len(index) == 1


def test_large_ids_are_kept_whole():
    index = tv.HnswIndex(1)
    index.add(0, [0])
    index.add(2**32, [1])
    index.add(2**64 - 1, [2])
    assert [hit["id"] for hit in index.search([1.1], 3)] == [2**32, 2**64 - 1, 0]


def test_delete_and_readd():
    index = tv.HnswIndex(2)
    index.add(5, [1, 1])
    assert index.delete(5) is True
    assert index.delete(5) is False
    assert index.delete(6) is False
    index.add(5, [3, 3])
    assert index.search([3, 3], 1) == [{"id": 5, "distance": 0.0}]


def test_parallel_build_matches_sequential_quality(rng):
    data = overlapping_clusters(rng, 3000, 16)
    queries = overlapping_clusters(rng, 40, 16)
    parallel = tv.HnswIndex(16, ef_search=64)
    parallel.add_batch_parallel(data, start_id=0, num_threads=2, micro_batch_size=128)
    assert len(parallel) == 3000
    assert recall_at_10(parallel, data, queries) >= 0.85
    defaults = tv.HnswIndex(16)
    defaults.add_batch_parallel(data[:600], num_threads=0, micro_batch_size=0)
    assert len(defaults) == 600


def test_flush_is_a_no_op():
    index = tv.HnswIndex(2)
    index.add(1, [1, 2])
    assert index.flush() is None
    assert len(index) == 1


def test_save_and_load_give_identical_answers(tmp_path, rng):
    data = overlapping_clusters(rng, 500, 8)
    index = tv.HnswIndex(8, "cosine", ef_construction=64, ef_search=20, m=6)
    index.add_batch_np(data)
    for gone in range(0, 500, 5):
        index.delete(gone)
    path = str(tmp_path / "hnsw.bin")
    index.save(path)
    loaded = tv.HnswIndex.load(path)
    assert isinstance(loaded, tv.HnswIndex)
    assert repr(loaded) == repr(index)
    for query in data[:20]:
        assert loaded.search(query, 10) == index.search(query, 10)


def test_load_errors(tmp_path):
    with pytest.raises(OSError):
        tv.HnswIndex.load(str(tmp_path / "missing.bin"))
    index = tv.HnswIndex(4)
    index.add_batch_np(np.ones((10, 4), dtype=np.float32))
    path = tmp_path / "hnsw.bin"
    index.save(str(path))
    path.write_bytes(path.read_bytes()[:-3])
    with pytest.raises(RuntimeError, match="^serialization error: "):
        tv.HnswIndex.load(str(path))


def test_concurrent_searches_from_threads_agree(rng):
    data = rng.random((2000, 16), dtype=np.float32)
    index = tv.HnswIndex(16)
    index.add_batch_np(data)
    expected = [index.search(q, 5) for q in data[:50]]
    mismatches = []

    def worker():
        for q, want in zip(data[:50], expected):
            if index.search(q, 5) != want:
                mismatches.append(q)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert mismatches == []

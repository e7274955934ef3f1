"""Whole-array calls shared by every index class: batch search, explicit IDs, per-call tuning
and pickling."""

import pickle

import numpy as np
import pytest

import tolvane_vector_db as tv

DIMS = 8
PADDING_ID = 2**64 - 1


def make_index(cls, tmp_path, **tuning):
    if cls is tv.MmapFlatIndex:
        return cls(DIMS, path=str(tmp_path / "vectors.tvec"))
    if cls is tv.IvfIndex:
        return cls(DIMS, **{"n_lists": 8, "train_size": 100, **tuning})
    if cls is tv.IvfPqIndex:
        return cls(DIMS, **{"n_lists": 8, "train_size": 100, "pq_m": 4, "pq_k_sub": 16, **tuning})
    return cls(DIMS, **tuning)


ALL_CLASSES = [tv.FlatIndex, tv.HnswIndex, tv.QuantizedFlatIndex, tv.Fp16FlatIndex, tv.IvfIndex,
               tv.IvfPqIndex, tv.MmapFlatIndex, tv.BinaryFlatIndex]
SAVABLE_CLASSES = [cls for cls in ALL_CLASSES if cls is not tv.MmapFlatIndex]


@pytest.fixture
def data():
    return np.random.default_rng(7).standard_normal((300, DIMS)).astype(np.float32)


def single_answers(index, queries, k):
    ids = np.full((len(queries), k), PADDING_ID, dtype=np.uint64)
    distances = np.full((len(queries), k), np.inf, dtype=np.float32)
    for row, query in enumerate(queries):
        hits = index.search(np.asarray(query, dtype=np.float32), k)
        ids[row, : len(hits)] = [hit["id"] for hit in hits]
        distances[row, : len(hits)] = [hit["distance"] for hit in hits]
    return ids, distances


@pytest.mark.parametrize("cls", ALL_CLASSES)
def test_batch_search_equals_single_searches(cls, tmp_path, data):
    index = make_index(cls, tmp_path)
    index.add_batch_np(data)
    index.delete(3)
    queries = np.random.default_rng(8).standard_normal((13, DIMS))  # float64: converted once
    for k in (5, 400):  # 400 > len(index): every row is padded
        expected = single_answers(index, queries, k)
        for num_threads in (1, 2):
            ids, distances = index.search_batch(queries, k, num_threads=num_threads)
            assert ids.dtype == np.uint64 and distances.dtype == np.float32
            assert ids.shape == distances.shape == (13, k)
            np.testing.assert_array_equal(ids, expected[0])
            np.testing.assert_array_equal(distances, expected[1])
    as_list = index.search_batch([list(map(float, row)) for row in queries[:3]], 5)
    np.testing.assert_array_equal(as_list[0], index.search_batch(queries[:3], 5)[0])
    assert index.search_batch(queries, 0)[0].shape == (13, 0)
    assert index.search_batch(np.empty((0, DIMS), np.float32), 4)[1].shape == (0, 4)
    assert index.search_batch([], 4)[0].shape == (0, 4)


def test_exact_flat_batch_is_bit_identical_to_single_searches_ties_included():
    # Enough queries for the matrix-product path, which skips rows it can prove are out.
    rng = np.random.default_rng(21)
    base = rng.standard_normal((3000, 24)).astype(np.float32)
    base[::7] = base[5]  # hundreds of exact ties
    base[10] = 1e20  # too large to bound: always measured
    index = tv.FlatIndex(24)
    index.add_batch_np(base)
    for slot in range(0, 3000, 11):
        index.delete(slot)
    queries = np.vstack([base[:40], rng.standard_normal((40, 24)) * 3, np.full((1, 24), 1e19)])
    for k in (1, 10, 200):
        for num_threads in (1, 2):
            ids, distances = index.search_batch(queries, k, num_threads=num_threads)
            expected = single_answers(index, queries, k)
            np.testing.assert_array_equal(ids, expected[0])
            np.testing.assert_array_equal(distances, expected[1])


def test_batch_search_rejects_malformed_queries(data):
    index = tv.FlatIndex(DIMS)
    index.add_batch_np(data)
    with pytest.raises(ValueError, match="^dimension mismatch: expected 8, got 3$"):
        index.search_batch(np.zeros((2, 3)), 1)
    with pytest.raises(ValueError, match="^queries must be 2-dimensional, got 1-dimensional$"):
        index.search_batch(np.zeros(DIMS), 1)
    with pytest.raises(ValueError, match="^queries rows differ in length"):
        index.search_batch([[0.0] * DIMS, [0.0] * 3], 1)
    with pytest.raises(TypeError, match="argument 'queries'"):
        index.search_batch("text", 1)
    half = index.search_batch(data[:4].astype(np.float16), 1)[0][:, 0]
    np.testing.assert_array_equal(half, index.search_batch(data[:4].astype(np.float16).astype(np.float32), 1)[0][:, 0])


@pytest.mark.parametrize("cls", ALL_CLASSES)
def test_explicit_ids_replace_sequential_ones(cls, tmp_path, data):
    index = make_index(cls, tmp_path)
    rows = data[:150]
    ids = np.arange(150, dtype=np.int64) * 1000 + 7
    for bad, error in [({"ids": ids, "start_id": 5}, ValueError), ({"ids": ids[:-1]}, ValueError),
                       ({"ids": np.r_[ids[:-1], -1]}, OverflowError), ({"ids": rows[:, 0]}, TypeError)]:
        with pytest.raises(error):
            index.add_batch_np(rows, **bad)
        assert len(index) == 0
    index.add_batch_np(rows, ids=ids)
    assert len(index) == 150
    hits = index.search_batch(rows[:20], 1)[0][:, 0]
    if cls in (tv.FlatIndex, tv.Fp16FlatIndex, tv.MmapFlatIndex, tv.HnswIndex):
        np.testing.assert_array_equal(hits, ids[:20])
    assert set(hits.tolist()) <= set(ids.tolist())


@pytest.mark.parametrize("cls", [tv.FlatIndex, tv.HnswIndex])
def test_explicit_ids_are_all_or_nothing(cls, data):
    index = cls(DIMS)
    index.add(5, data[0])
    with pytest.raises(KeyError, match="duplicate vector ID: 5"):
        index.add_batch_np(data[:3], ids=[4, 5, 6])
    with pytest.raises(KeyError, match="duplicate vector ID: 9"):
        index.add_batch_np(data[:3], ids=[9, 8, 9])
    assert len(index) == 1


def recall(index, data, queries, truth, **tuning):
    found = index.search_batch(queries, 10, **tuning)[0]
    return np.mean([len(set(f) & set(t)) / 10 for f, t in zip(found.tolist(), truth.tolist())])


def test_per_call_tuning_changes_recall_for_that_call_only():
    rng = np.random.default_rng(11)
    data = rng.standard_normal((3000, 16)).astype(np.float32)
    queries = rng.standard_normal((40, 16)).astype(np.float32)
    exact = tv.FlatIndex(16)
    exact.add_batch_np(data)
    truth = exact.search_batch(queries, 10)[0]

    hnsw = tv.HnswIndex(16, ef_construction=64, ef_search=10, m=4)
    hnsw.add_batch_np(data)
    narrow = recall(hnsw, data, queries, truth)
    assert recall(hnsw, data, queries, truth, ef_search=400) > narrow + 0.1
    assert recall(hnsw, data, queries, truth) == narrow
    assert hnsw.search(queries[0], 10, ef_search=400) == [
        {"id": int(i), "distance": float(d)} for i, d in zip(*[a[0] for a in hnsw.search_batch(queries[:1], 10, ef_search=400)])]

    for cls in (tv.IvfIndex, tv.IvfPqIndex):
        ivf = cls(16, n_lists=32, nprobe=1, train_size=1000)
        ivf.add_batch_np(data)
        one = recall(ivf, data, queries, truth)
        assert recall(ivf, data, queries, truth, nprobe=32) > one + 0.1
        assert recall(ivf, data, queries, truth) == one
    with pytest.raises(TypeError):
        hnsw.search(queries[0], 10, 400)  # keyword only
    assert [name for name in dir(hnsw) if not name.startswith("_") and not callable(getattr(hnsw, name))] == [
        "dimensions", "metric"]


@pytest.mark.parametrize("cls", SAVABLE_CLASSES)
def test_pickle_round_trip_keeps_answers(cls, tmp_path, data):
    index = make_index(cls, tmp_path, metric="cosine")
    index.add_batch_np(data)
    index.delete(10)
    copy = pickle.loads(pickle.dumps(index))
    assert type(copy) is cls and repr(copy) == repr(index)
    for a, b in zip(copy.search_batch(data[:20], 7), index.search_batch(data[:20], 7)):
        np.testing.assert_array_equal(a, b)
    copy.add(10**6, data[0])  # the copy is independent
    assert len(copy) == len(index) + 1


def test_memory_mapped_index_does_not_pickle(tmp_path):
    with pytest.raises(TypeError):
        pickle.dumps(tv.MmapFlatIndex(DIMS, path=str(tmp_path / "v.tvec")))

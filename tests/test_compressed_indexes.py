"""The compressed brute-force classes: QuantizedFlatIndex, Fp16FlatIndex, BinaryFlatIndex."""

import struct

import numpy as np
import pytest

import tolvane_vector_db as tvdb

COMPRESSED = [
    name
    for name in ("QuantizedFlatIndex", "Fp16FlatIndex", "BinaryFlatIndex")
    if hasattr(tvdb, name)
]


@pytest.fixture(params=COMPRESSED)
def cls(request):
    return getattr(tvdb, request.param)


def test_constructor_defaults_properties_and_repr(cls):
    index = cls(3)
    assert index.dimensions == 3
    assert index.metric == "l2"
    assert len(index) == 0
    assert repr(index) == f'{cls.__name__}(dimensions=3, metric="l2", len=0)'
    assert cls(4, "dot_product").metric == "dot_product"
    assert cls(dimensions=2, metric="cosine").metric == "cosine"
    with pytest.raises(ValueError, match='"L2"'):
        cls(4, "L2")


def test_members_present_and_absent(cls):
    index = cls(2)
    for member in ("add", "add_batch", "add_batch_np", "search", "delete", "save", "load"):
        assert hasattr(index, member)
    with pytest.raises(AttributeError):
        index.flush()
    assert not hasattr(index, "add_batch_parallel")
    assert index.add_batch_np.__doc__.rstrip().endswith(
        "Add vectors from a 2D numpy array (N × dim) with sequential IDs starting from `start_id`."
    )
    assert index.add.__doc__.strip().startswith("add(")


def test_readding_an_id_replaces_it_and_delete_reports_presence(cls):
    index = cls(2)
    index.add(1, [1.0, 2.0])
    index.add(2, [-1.0, -2.0])
    index.add(1, [-1.0, -2.0])
    assert len(index) == 2
    hits = index.search([-1.0, -2.0], 5)
    assert {h["id"] for h in hits} == {1, 2}
    assert all(set(h) == {"id", "distance"} for h in hits)
    assert index.delete(1) is True
    assert index.delete(1) is False
    assert index.delete(99) is False
    assert [h["id"] for h in index.search([-1.0, -2.0], 5)] == [2]


def test_search_edge_cases(cls):
    index = cls(3)
    assert index.search([1.0], 4) == []  # an empty index answers even a wrong-length query
    index.add(1, [1.0, 2.0, 3.0])
    with pytest.raises(ValueError, match="dimension mismatch: expected 3, got 1"):
        index.search([1.0], 4)
    assert index.search([1.0, 2.0, 3.0], 0) == []
    with pytest.raises(ValueError, match="dimension mismatch: expected 3, got 2"):
        index.add(2, [1.0, 2.0])
    assert len(index) == 1


def test_add_batch_stops_at_first_bad_entry(cls):
    index = cls(2)
    with pytest.raises(ValueError, match="expected 2, got 3"):
        index.add_batch([(1, [1.0, 2.0]), (2, [3.0, 4.0]), (3, [1.0, 2.0, 3.0]), (4, [1, 2])])
    assert len(index) == 2
    with pytest.raises(ValueError, match=r"each entry must be a tuple of \(id, vector\)"):
        index.add_batch([(5, [1.0, 2.0]), 6])
    assert len(index) == 2


def test_add_batch_np_uses_sequential_ids_and_checks_shape(cls):
    index = cls(4)
    rng = np.random.default_rng(0)
    data = rng.standard_normal((50, 4)).astype(np.float32)
    index.add_batch_np(data, start_id=100)
    assert len(index) == 50
    index.add_batch_np(data[:10], start_id=145)  # 145..149 are replaced, not duplicated
    assert len(index) == 55
    with pytest.raises(ValueError, match="dimension mismatch: expected 4, got 5"):
        index.add_batch_np(np.zeros((2, 5), dtype=np.float32))
    with pytest.raises(ValueError, match="buffer protocol"):
        index.add_batch_np(np.zeros((2, 4), dtype=np.float64))
    with pytest.raises(ValueError, match="2-dimensional, got 1-dimensional"):
        index.add_batch_np(np.zeros(4, dtype=np.float32))
    assert len(index) == 55
    with pytest.raises(ValueError, match="invalid configuration"):
        cls(0).add_batch_np(np.zeros((3, 0), dtype=np.float32))


def test_save_and_load_reproduce_search_answers(cls, tmp_path):
    rng = np.random.default_rng(1)
    data = rng.standard_normal((200, 24)).astype(np.float32)
    index = cls(24, "cosine")
    index.add_batch_np(data)
    for i in range(0, 200, 7):
        index.delete(i)
    path = str(tmp_path / "index.bin")
    index.save(path)
    loaded = cls.load(path)
    assert type(loaded) is cls
    assert len(loaded) == len(index)
    assert loaded.metric == "cosine"
    for q in data[:5]:
        assert loaded.search(q, 10) == index.search(q, 10)


def test_load_failures_raise_oserror_or_runtimeerror(cls, tmp_path):
    with pytest.raises(OSError):
        cls.load(str(tmp_path / "missing.bin"))
    index = cls(8)
    index.add(1, [1.0] * 8)
    path = tmp_path / "index.bin"
    index.save(str(path))
    path.write_bytes(path.read_bytes()[:-3])
    with pytest.raises(RuntimeError, match="^serialization error: "):
        cls.load(str(path))


# ---- QuantizedFlatIndex ----


def test_quantized_worked_example_decodes_codes_over_scale():
    index = tvdb.QuantizedFlatIndex(3, "dot_product")
    index.add(1, [1.0, -0.5, 0.25])
    decoded = np.array([127, -64, 32], dtype=np.float32) / np.float32(127.0)
    hit = index.search([1.0, 1.0, 1.0], 1)[0]
    assert hit["distance"] == pytest.approx(-float(decoded.sum()), abs=1e-6)


def test_quantized_file_layout(tmp_path):
    index = tvdb.QuantizedFlatIndex(3, "cosine")
    index.add(9, [1.0, -0.5, 0.25])
    path = tmp_path / "q.bin"
    index.save(str(path))
    expected = struct.pack("<QIQQQbbbf", 3, 1, 1, 9, 3, 127, -64, 32, 127.0)
    assert path.read_bytes() == expected


def test_quantized_zero_vector_is_one_away_under_cosine():
    index = tvdb.QuantizedFlatIndex(4, "cosine")
    index.add(1, [0.0, 0.0, 0.0, 0.0])
    assert index.search([1.0, 2.0, 3.0, 4.0], 1) == [{"id": 1, "distance": 1.0}]


def test_quantized_recall_against_exact_search():
    rng = np.random.default_rng(2)
    data = rng.standard_normal((2000, 32)).astype(np.float32)
    queries = rng.standard_normal((20, 32)).astype(np.float32)
    index = tvdb.QuantizedFlatIndex(32)
    index.add_batch_np(data)
    found = 0
    for q in queries:
        exact = np.argsort(((data - q) ** 2).sum(axis=1))[:10]
        found += len(set(exact) & {h["id"] for h in index.search(q, 10)})
    assert found / 200 >= 0.9


# ---- Fp16FlatIndex ----


def test_fp16_round_trips_through_iteration_of_distances():
    index = tvdb.Fp16FlatIndex(1, "dot_product")
    for i, value in enumerate([1.0, -2.5, 0.0, 0.1, 70000.0, 1e-8]):
        index.add(i, [value])
    got = {h["id"]: -h["distance"] for h in index.search([1.0], 6)}
    assert got[0] == 1.0
    assert got[1] == -2.5
    assert got[2] == 0.0
    assert got[3] == 0.0999755859375
    assert got[4] == float("inf")
    assert got[5] == 0.0


def test_fp16_file_layout(tmp_path):
    index = tvdb.Fp16FlatIndex(2, "l2")
    index.add(4, [1.0, -2.5])
    path = tmp_path / "h.bin"
    index.save(str(path))
    assert path.read_bytes() == struct.pack("<QIQQQHH", 2, 0, 1, 4, 2, 0x3C00, 0xC100)


def test_fp16_distances_match_numpy_half_precision():
    rng = np.random.default_rng(3)
    data = rng.standard_normal((300, 16)).astype(np.float32)
    index = tvdb.Fp16FlatIndex(16, "dot_product")
    index.add_batch_np(data)
    query = rng.standard_normal(16).astype(np.float32)
    widened = data.astype(np.float16).astype(np.float32)
    for hit in index.search(query, 10):
        expected = -float(np.dot(widened[hit["id"]].astype(np.float64), query))
        assert hit["distance"] == pytest.approx(expected, rel=1e-5, abs=1e-5)


# ---- BinaryFlatIndex ----


def test_binary_self_and_opposite_scores():
    index = tvdb.BinaryFlatIndex(4)
    index.add(1, [1.0, -2.0, 0.0, -0.0])
    index.add(2, [-1.0, 2.0, -1.0, -1.0])
    hits = index.search([1.0, -2.0, 0.0, -0.0], 2)
    assert hits == [{"id": 1, "distance": 0.0}, {"id": 2, "distance": 1.0}]
    dot = tvdb.BinaryFlatIndex(2, "dot_product")
    dot.add(1, [3.0, -4.0])
    assert dot.search([3.0, -4.0], 1)[0]["distance"] == pytest.approx(-25.0)


def test_binary_file_layout(tmp_path):
    index = tvdb.BinaryFlatIndex(3, "cosine")
    index.add(6, [3.0, -4.0, 0.0])
    path = tmp_path / "b.bin"
    index.save(str(path))
    assert path.read_bytes() == struct.pack("<QIQQQQf", 3, 1, 1, 6, 1, 0b101, 5.0)

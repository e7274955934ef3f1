"""The eight index classes as a Python user meets them: what they share, checked once per
class, then what is particular to a kind."""

import ast
import pickle
import re
import struct
from pathlib import Path

import numpy as np
import pytest

import tolvane_vector_db as tv

DIMS = 8
PADDING_ID = 2**64 - 1
ALL_CLASSES = [tv.FlatIndex, tv.HnswIndex, tv.QuantizedFlatIndex, tv.Fp16FlatIndex, tv.IvfIndex,
               tv.IvfPqIndex, tv.MmapFlatIndex, tv.BinaryFlatIndex]
SAVABLE_CLASSES = [cls for cls in ALL_CLASSES if cls is not tv.MmapFlatIndex]
# What adding a live ID again does, and whether a failed add_batch keeps the entries before it.
REJECTS_REPEATS = {tv.FlatIndex, tv.HnswIndex}
KEEPS_OLD_COPIES = {tv.IvfIndex, tv.IvfPqIndex}
ALL_OR_NOTHING_BATCHES = {tv.FlatIndex, tv.HnswIndex}
# An empty index of these answers a query of any length.
EMPTY_ANSWERS_ANY_LENGTH = {tv.QuantizedFlatIndex, tv.Fp16FlatIndex, tv.BinaryFlatIndex}


def make_index(cls, tmp_path, dims=DIMS, **tuning):
    if cls is tv.MmapFlatIndex:
        return cls(dims, path=str(tmp_path / f"vectors{dims}.tvec"), **tuning)
    if cls is tv.IvfIndex:
        return cls(dims, **{"n_lists": 8, "train_size": 100, **tuning})
    if cls is tv.IvfPqIndex:
        return cls(dims, **{"n_lists": 8, "train_size": 100, "pq_m": max(1, dims // 2), "pq_k_sub": 16,
                            **tuning})
    return cls(dims, **tuning)


@pytest.fixture
def data():
    return np.random.default_rng(7).standard_normal((300, DIMS)).astype(np.float32)


def ids_of(hits):
    return [hit["id"] for hit in hits]


# ---- the module surface: the ten classes in order, their fixed texts, their members ----

CLASS_DOCS = {
    "FlatIndex": "Exact brute-force vector index. 100% recall, O(N*D) per query.",
    "HnswIndex": "Graph-based approximate nearest-neighbour index (HNSW). 95-99% recall.",
    "QuantizedFlatIndex": "Int8 quantized brute-force index. ~4x less RAM than FlatIndex with ~99% recall.",
    "Fp16FlatIndex": "Float16 quantized brute-force index. 2x less RAM than FlatIndex with >99.5% recall.",
    "IvfIndex": "Inverted file index. Cluster-based ANN using k-means.",
    "IvfPqIndex": "IVF with product quantization. Extreme memory reduction (~96x for 1536-dim).",
    "MmapFlatIndex": "Memory-mapped brute-force index. Near-zero RAM usage.",
    "BinaryFlatIndex": "Binary (1-bit) quantized brute-force index. 32x less RAM than FlatIndex.",
    "Client": "Persistent vector database client.",
    "Collection": "A named collection of vectors with WAL-backed persistence.",
}
MEMBER_TEXTS = [
    (tv.FlatIndex.add, "Add a single vector with the given ID."),
    (tv.HnswIndex, "Build beam width (default 200). Higher = better recall, slower build."),
    (tv.HnswIndex, "Query beam width (default 50). Tunable at runtime."),
    (tv.HnswIndex, "Graph edges per node (default 12). Higher = better recall, more RAM."),
    (tv.HnswIndex.flush, "Build the HNSW graph. Call after bulk inserts for best performance."),
    (tv.HnswIndex.add_batch_np, "start_id=5000"),
    (tv.HnswIndex.add_batch_parallel, "micro_batch_size"),
]
SEQUENTIAL_IDS_TEXT = "Add vectors from a 2D numpy array (N × dim) with sequential IDs starting from `start_id`."


def test_module_registers_the_ten_classes_in_order_with_their_fixed_texts():
    registered = [name for name in dir(tv) if not name.startswith("__")]
    assert all(isinstance(getattr(tv, name), type) for name in registered)
    in_order = [name for name, value in vars(tv).items() if isinstance(value, type)]
    assert in_order == list(CLASS_DOCS)
    for name, first_line in CLASS_DOCS.items():
        assert getattr(tv, name).__doc__.startswith(first_line), name
    for member, text in MEMBER_TEXTS:
        assert text in member.__doc__, text


STUB = Path(__file__).parent.parent / "python" / "tolvane_vector_db.pyi"


def parameters(function):
    """(name, "*" for keyword-only, default) of each parameter of a parsed definition."""
    args = function.args
    plain = args.posonlyargs + args.args
    defaults = [None] * (len(plain) - len(args.defaults)) + args.defaults
    listed = [(a.arg, "", d) for a, d in zip(plain, defaults)]
    listed += [(a.arg, "*", d) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    return [(name, kind, d if d is None else ast.literal_eval(d)) for name, kind, d in listed]


def runtime_parameters(member):
    (text, _, defaults), = member.__nb_signature__
    text = re.sub(r"\\(\d+)", lambda match: repr(defaults[int(match[1])]), text)
    return parameters(ast.parse(text + ": ...").body[0])


def test_stub_states_every_method_of_the_module_as_it_is():
    stub = {node.name: node for node in ast.parse(STUB.read_text()).body if isinstance(node, ast.ClassDef)}
    for name in CLASS_DOCS:
        cls = getattr(tv, name)
        stated = {node.name: node for node in stub[name].body if isinstance(node, ast.FunctionDef)}
        methods = {member: value for member, value in vars(cls).items() if hasattr(value, "__nb_signature__")
                   and (not member.startswith("_") or (member == "__init__" and cls is not tv.Collection))}
        assert set(methods) == {member for member in stated if member in methods or not member.startswith("_")
                                and not isinstance(getattr(cls, member, None), property)}, name
        for member, value in methods.items():
            assert runtime_parameters(value) == parameters(stated[member]), f"{name}.{member}"


@pytest.mark.parametrize("cls", ALL_CLASSES)
def test_members_present_and_absent(cls):
    members = ["add", "add_batch", "add_batch_np", "search", "search_batch", "delete"]
    absent = []
    (members if cls is not tv.MmapFlatIndex else absent).extend(["save", "load"])
    (members if cls in (tv.HnswIndex, tv.IvfIndex, tv.IvfPqIndex, tv.MmapFlatIndex) else absent).append("flush")
    (members if cls is tv.HnswIndex else absent).append("add_batch_parallel")
    for name in members:
        assert callable(getattr(cls, name)), name
    for name in absent:
        assert not hasattr(cls, name), name
    assert [name for name in dir(cls) if not name.startswith("_") and not callable(getattr(cls, name))] \
        == ["dimensions", "metric"]
    if cls is not tv.FlatIndex and cls is not tv.HnswIndex:
        assert cls.add_batch_np.__doc__.rstrip().endswith(SEQUENTIAL_IDS_TEXT)
        for name in set(members) - {"add_batch_np", "search_batch"}:
            assert "\n" not in getattr(cls, name).__doc__.strip(), name


# ---- what every class shares ----


@pytest.mark.parametrize("cls", ALL_CLASSES)
def test_construction_properties_and_repr(cls, tmp_path):
    index = make_index(cls, tmp_path, dims=4)
    assert (index.dimensions, index.metric, len(index)) == (4, "l2", 0)
    assert repr(index) == f'{cls.__name__}(dimensions=4, metric="l2", len=0)'
    index.add(1, [1, 0, 0, 0])
    assert repr(index) == f'{cls.__name__}(dimensions=4, metric="l2", len=1)'
    assert make_index(cls, tmp_path, dims=2, metric="dot_product").metric == "dot_product"
    with pytest.raises(ValueError, match='^unknown metric "L2"'):
        make_index(cls, tmp_path, dims=2, metric="L2")


@pytest.mark.parametrize("cls", ALL_CLASSES)
def test_search_answers_plain_dicts_and_checks_lengths(cls, tmp_path):
    index = make_index(cls, tmp_path, dims=3)
    if cls in EMPTY_ANSWERS_ANY_LENGTH:
        assert index.search([1.0], 4) == []
    else:
        with pytest.raises(ValueError, match="^dimension mismatch: expected 3, got 1$"):
            index.search([1.0], 4)
    assert index.search([1, 2, 3], 4) == []
    index.add(1, [1.0, 0.0, -1.0])  # exactly representable by every kind
    index.add(2, [-1.0, 1.0, 1.0])
    hits = index.search([1.0, 0.0, -1.0], 5)
    assert [list(hit) for hit in hits] == [["id", "distance"]] * 2
    assert hits[0] == {"id": 1, "distance": 0.0}
    assert isinstance(hits[0]["id"], int) and isinstance(hits[0]["distance"], float)
    assert index.search([1.0, 0.0, -1.0], 0) == []
    with pytest.raises(ValueError, match="^dimension mismatch: expected 3, got 1$"):
        index.search([1.0], 0)
    with pytest.raises(ValueError, match="^dimension mismatch: expected 3, got 2$"):
        index.add(3, [1.0, 2.0])
    assert len(index) == 2


@pytest.mark.parametrize("cls", ALL_CLASSES)
def test_repeated_ids_delete_and_readd(cls, tmp_path):
    index = make_index(cls, tmp_path, dims=2)
    index.add(1, [1.0, 2.0])
    index.add(2, [-1.0, -2.0])
    if cls in REJECTS_REPEATS:
        with pytest.raises(KeyError, match="duplicate vector ID: 1"):
            index.add(1, [-1.0, -2.0])
        assert ids_of(index.search([1.0, 2.0], 1)) == [1]
    else:
        index.add(1, [-1.0, -2.0])
        copies = [1, 1, 2] if cls in KEEPS_OLD_COPIES else [1, 2]
        assert len(index) == len(copies)
        assert sorted(ids_of(index.search([-1.0, -2.0], 5))) == copies
    assert index.delete(1) is True
    if cls in KEEPS_OLD_COPIES:  # untrained: each delete takes the newest copy left
        assert len(index) == 2 and index.delete(1) is True
    assert index.delete(1) is False
    assert index.delete(99) is False
    index.add(5, [1.0, 1.0])
    assert index.search([1.0, 1.0], 1) == [{"id": 5, "distance": 0.0}]
    assert index.delete(5) is True and 5 not in ids_of(index.search([1.0, 1.0], 5))


@pytest.mark.parametrize("cls", ALL_CLASSES)
def test_batches_check_their_entries(cls, tmp_path):
    index = make_index(cls, tmp_path, dims=2)
    with pytest.raises(ValueError, match="^dimension mismatch: expected 2, got 3$"):
        index.add_batch([(1, [1.0, 2.0]), (2, [3.0, 4.0]), (3, [1.0, 2.0, 3.0]), (4, [1, 2])])
    kept = 0 if cls in ALL_OR_NOTHING_BATCHES else 2
    assert len(index) == kept
    with pytest.raises(ValueError, match=r"^each entry must be a tuple of \(id, vector\)$"):
        index.add_batch([(5, [1.0, 2.0]), 6])
    if cls in REJECTS_REPEATS:
        with pytest.raises(KeyError, match="duplicate vector ID: 4"):
            index.add_batch([(4, [0, 1]), (4, [1, 1])])
    assert len(index) == kept


@pytest.mark.parametrize("cls", ALL_CLASSES)
def test_arrays_get_sequential_ids_and_are_checked_first(cls, tmp_path, data):
    index = make_index(cls, tmp_path)
    index.add_batch_np(data[:50], start_id=100)
    assert len(index) == 50
    assert (index.delete(99), index.delete(100), index.delete(149), index.delete(150)) == (False, True, True, False)
    for bad, message in [(np.zeros((2, DIMS), dtype=np.float64), "buffer protocol"),
                         (np.zeros(DIMS, dtype=np.float32), "^vectors must be 2-dimensional, got 1-dimensional$"),
                         (np.zeros((2, 5), dtype=np.float32), f"^dimension mismatch: expected {DIMS}, got 5$")]:
        with pytest.raises(ValueError, match=message):
            index.add_batch_np(bad)
    with pytest.raises(ValueError, match="invalid configuration"):
        index.add_batch_np(data[:2], start_id=2**64 - 1)
    assert len(index) == 48
    index.add_batch_np(np.zeros((0, DIMS), dtype=np.float32))
    with pytest.raises(ValueError, match="invalid configuration"):
        make_index(cls, tmp_path, dims=0).add_batch_np(np.zeros((3, 0), dtype=np.float32))


@pytest.mark.parametrize("cls", SAVABLE_CLASSES)
def test_save_load_and_pickle_keep_answers(cls, tmp_path, data):
    index = make_index(cls, tmp_path, metric="cosine")
    index.add_batch_np(data)
    for gone in range(0, 300, 7):
        index.delete(gone)
    path = tmp_path / "index.bin"
    index.save(str(path))
    for copy in (cls.load(str(path)), pickle.loads(pickle.dumps(index))):
        assert type(copy) is cls and repr(copy) == repr(index)
        for a, b in zip(copy.search_batch(data[:20], 7), index.search_batch(data[:20], 7)):
            np.testing.assert_array_equal(a, b)
    copy.add(10**6, data[0])  # the copy is independent
    assert len(copy) == len(index) + 1
    with pytest.raises(OSError):
        cls.load(str(tmp_path / "missing.bin"))
    whole = path.read_bytes()
    for cut in (3, len(whole) // 2, len(whole) - 3):
        path.write_bytes(whole[:cut])
        with pytest.raises(RuntimeError, match="^serialization error: "):
            cls.load(str(path))


def single_answers(index, queries, k):
    ids = np.full((len(queries), k), PADDING_ID, dtype=np.uint64)
    distances = np.full((len(queries), k), np.inf, dtype=np.float32)
    for row, query in enumerate(queries):
        hits = index.search(np.asarray(query, dtype=np.float32), k)
        ids[row, : len(hits)] = ids_of(hits)
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
    rng = np.random.default_rng(9)
    base = np.round(rng.standard_normal((3000, 24)) * 2).astype(np.float32)  # many ties
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
    if cls in REJECTS_REPEATS:
        with pytest.raises(KeyError, match="duplicate vector ID: 7"):
            index.add_batch_np(data[:3], ids=[5, 7, 6])
        with pytest.raises(KeyError, match="duplicate vector ID: 9"):
            index.add_batch_np(data[:3], ids=[9, 8, 9])
        assert len(index) == 150


def recall(index, queries, truth, **tuning):
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
    narrow = recall(hnsw, queries, truth)
    assert recall(hnsw, queries, truth, ef_search=400) > narrow + 0.1
    assert recall(hnsw, queries, truth) == narrow
    assert hnsw.search(queries[0], 10, ef_search=400) == [
        {"id": int(i), "distance": float(d)} for i, d in zip(*[a[0] for a in hnsw.search_batch(queries[:1], 10, ef_search=400)])]

    for cls in (tv.IvfIndex, tv.IvfPqIndex):
        ivf = cls(16, n_lists=32, nprobe=1, train_size=1000)
        ivf.add_batch_np(data)
        one = recall(ivf, queries, truth)
        assert recall(ivf, queries, truth, nprobe=32) > one + 0.1
        assert recall(ivf, queries, truth) == one
    with pytest.raises(TypeError):
        hnsw.search(queries[0], 10, 400)  # keyword only


def test_memory_mapped_index_does_not_pickle(tmp_path):
    with pytest.raises(TypeError):
        pickle.dumps(tv.MmapFlatIndex(DIMS, path=str(tmp_path / "v.tvec")))


# ---- FlatIndex and HnswIndex ----


def test_hnsw_parallel_build_takes_its_tuning_and_keeps_large_ids(data):
    parallel = tv.HnswIndex(DIMS, ef_search=64)
    parallel.add_batch_parallel(data, start_id=0, num_threads=2, micro_batch_size=128)
    assert len(parallel) == len(data)
    defaults = tv.HnswIndex(DIMS)
    defaults.add_batch_parallel(data[:200], num_threads=0, micro_batch_size=0)
    assert len(defaults) == 200
    large = tv.HnswIndex(1)
    for i, vector_id in enumerate((0, 2**32, 2**64 - 1)):
        large.add(vector_id, [i])
    assert ids_of(large.search([1.1], 3)) == [2**32, 2**64 - 1, 0]


def test_hnsw_parallel_insertion_checks_its_rows():
    index = tv.HnswIndex(2)
    index.add(0, [0, 0])
    block = np.zeros((3, 2), dtype=np.float32)
    for insert in (index.add_batch_np, index.add_batch_parallel):
        with pytest.raises(KeyError):
            insert(block, start_id=0)
    with pytest.raises(ValueError, match="dimension mismatch: expected 2, got 5"):
        index.add_batch_parallel(np.zeros((3, 5), dtype=np.float32))
    with pytest.raises(ValueError, match="vectors must support the buffer protocol"):
        index.add_batch_parallel(np.zeros((3, 2)))
    index.add_batch_parallel(np.zeros((0, 2), dtype=np.float32))
    assert len(index) == 1


# ---- MmapFlatIndex ----


def tvec_header(dims, metric_id, count, magic=b"TVEC"):
    return magic + struct.pack("<IIIQQ", 1, dims, metric_id, count, 0)


def test_mmap_writes_its_default_file_on_flush(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    index = tv.MmapFlatIndex(2, "dot_product")
    index.add(5, [0.5, -1.0])
    assert not (tmp_path / "mmap_index.tvec").exists()
    index.flush()
    assert (tmp_path / "mmap_index.tvec").read_bytes() == tvec_header(2, 2, 1) + struct.pack("<Qff", 5, 0.5, -1.0)


@pytest.mark.parametrize("content, exception, message", [
    (b"TVEC", RuntimeError, "mmap file too small"),
    (tvec_header(3, 9, 5, b"XVEC"), RuntimeError, "invalid TVEC magic"),
    (tvec_header(3, 9, 5), ValueError, "dimension mismatch: expected 2, got 3"),
    (tvec_header(2, 9, 5), RuntimeError, "unknown metric id 9"),
    (tvec_header(2, 1, 5), ValueError, "metric mismatch: file=Cosine, expected=L2"),
    (tvec_header(2, 0, 5), RuntimeError, "serialization error"),
])
def test_mmap_open_rejects_bad_files_in_order(tmp_path, content, exception, message):
    path = tmp_path / "v.tvec"
    path.write_bytes(content)
    with pytest.raises(exception, match=message):
        tv.MmapFlatIndex(2, "l2", str(path))


def test_mmap_flush_raises_os_error_and_keeps_the_changes_for_a_retry(tmp_path):
    path = tmp_path / "missing_dir" / "v.tvec"
    index = tv.MmapFlatIndex(2, "l2", str(path))
    index.add_batch_np(np.arange(20, dtype=np.float32).reshape(10, 2), start_id=100)
    with pytest.raises(OSError):
        index.flush()
    path.parent.mkdir()
    index.flush()
    assert tv.MmapFlatIndex(2, "l2", str(path)).search([2.0, 3.0], 1) == [{"id": 101, "distance": 0.0}]


# ---- the clustered kinds ----


def test_clustered_configuration_is_checked():
    for cls in (tv.IvfIndex, tv.IvfPqIndex):
        with pytest.raises(ValueError, match="n_lists"):
            cls(4, n_lists=0)
    with pytest.raises(ValueError, match=r"dimensions \(10\) must be divisible by m \(3\)"):
        tv.IvfPqIndex(10, pq_m=3)
    with pytest.raises(ValueError, match="pq_m"):
        tv.IvfPqIndex(8, pq_m=0)
    for k_sub in (0, 257):
        with pytest.raises(ValueError, match="pq_k_sub"):
            tv.IvfPqIndex(8, pq_m=2, pq_k_sub=k_sub)

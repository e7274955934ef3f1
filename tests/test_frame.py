"""The shared Python frame: argument conversion, error mapping, lock release, borrowing."""

import errno
import threading
import time

import numpy as np
import pytest

import tolvane_vector_db as tv


class TestVectorConversion:
    def test_accepts_lists_tuples_and_numpy_vectors(self):
        index = tv.FlatIndex(3)
        index.add(1, [1, 2, 3])
        index.add(2, (1.5, 2.5, 3.5))
        index.add(3, np.array([1, 2, 3], dtype=np.float64))
        index.add(4, np.array([1, 2, 3], dtype=np.float32))
        index.add(5, [np.float32(1), np.int64(2), 3.0])
        assert len(index) == 5

    def test_non_contiguous_float32_buffer_is_copied_in_order(self):
        index = tv.FlatIndex(3)
        strided = np.arange(6, dtype=np.float32)[::2]
        index.add(1, strided)
        assert index.search([0, 2, 4], 1)[0]["distance"] == 0.0

    def test_rejections(self):
        index = tv.FlatIndex(3)
        with pytest.raises(ValueError, match="^vector must be 1-dimensional$"):
            index.add(1, np.zeros((1, 3), dtype=np.float32))
        with pytest.raises(TypeError, match="argument 'vector'"):
            index.add(1, "abc")
        with pytest.raises(TypeError, match="cannot be converted to 'Sequence'"):
            index.add(1, object())
        with pytest.raises(TypeError, match="argument 'vector'"):
            index.add(1, [1, "x", 3])
        with pytest.raises(TypeError, match="argument 'query'"):
            index.search("abc", 1)
        assert len(index) == 0

    def test_batch_entries_must_be_a_list_of_tuples(self):
        index = tv.FlatIndex(2)
        with pytest.raises(ValueError, match=r"^each entry must be a tuple of \(id, vector\)$"):
            index.add_batch([(1, [1, 2]), 2])
        with pytest.raises(TypeError):
            index.add_batch(((1, [1, 2]),))
        assert len(index) == 0
        index.add_batch([(1, [1, 2], "ignored extra item")])
        assert len(index) == 1


class TestTwoDimensionalBuffers:
    def test_rejections_name_the_problem(self):
        index = tv.FlatIndex(4)
        with pytest.raises(ValueError, match=r"^vectors must support the buffer protocol \(e.g. numpy array\)$"):
            index.add_batch_np([[0.0] * 4])
        assert len(index) == 0

    def test_strided_and_fortran_ordered_arrays_are_read_row_major(self):
        wide = np.arange(24, dtype=np.float32).reshape(4, 6)
        for layout in (wide[:, ::2], np.asfortranarray(wide[:, :3])):
            index = tv.FlatIndex(3)
            index.add_batch_np(layout)
            for row in range(4):
                assert index.search(np.ascontiguousarray(layout[row]), 1)[0] == {"id": row, "distance": 0.0}


class TestMetricNames:
    def test_exact_names_only(self):
        assert tv.FlatIndex(4).metric == "l2"
        assert tv.FlatIndex(4, "dot_product").metric == "dot_product"
        with pytest.raises(ValueError) as info:
            tv.FlatIndex(4, "L2")
        assert str(info.value) == 'unknown metric "L2"; expected "l2", "cosine", or "dot_product"'


class TestErrorMapping:
    def test_core_errors_reach_python_as_mapped_exceptions(self, tmp_path):
        index = tv.FlatIndex(2)
        index.add(1, [0, 0])
        with pytest.raises(KeyError) as dup:
            index.add(1, [0, 0])
        assert dup.value.args[0] == "duplicate vector ID: 1"
        with pytest.raises(ValueError, match="^dimension mismatch: expected 2, got 3$"):
            index.search([0, 0, 0], 1)
        with pytest.raises(OSError) as missing:
            tv.FlatIndex.load(str(tmp_path / "missing.bin"))
        # errno tells the causes apart; class, args and str() stay the bare message.
        assert type(missing.value) is OSError and missing.value.errno == errno.ENOENT
        assert missing.value.args == (str(missing.value),) and missing.value.filename is None
        assert str(missing.value) == "I/O error: No such file or directory (os error 2)"
        truncated = tmp_path / "truncated.bin"
        truncated.write_bytes(b"\x02\x00\x00")
        with pytest.raises(RuntimeError, match="^serialization error: "):
            tv.FlatIndex.load(str(truncated))
        with pytest.raises(OSError) as no_directory:
            index.save(str(tmp_path / "no-such-dir" / "x.bin"))
        assert no_directory.value.errno == errno.ENOENT

    def test_paths_with_nul_are_refused_before_touching_the_file_system(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        index = tv.FlatIndex(1)
        calls = [
            lambda: index.save("a\0b"),
            lambda: tv.FlatIndex.load("a\0b"),
            lambda: tv.HnswIndex.load("a\0b"),
            lambda: tv.Client("d\0/../x"),
            lambda: tv.MmapFlatIndex(1, path="m\0.tvec"),
        ]
        for call in calls:
            with pytest.raises(ValueError, match="^embedded null byte$"):
                call()
        assert list(tmp_path.iterdir()) == []


def _integer_arguments(tmp_path):
    """(name, call taking the integer) for one integer argument of every kind of member."""
    flat = tv.FlatIndex(1)
    hnsw = tv.HnswIndex(2)
    data = np.zeros((1, 2), dtype=np.float32)
    client = tv.Client(str(tmp_path / "client"))
    collection = client.create_collection("c", 1, "l2", "flat")
    return [
        ("dimensions", lambda v: tv.FlatIndex(v)),
        ("dimensions", lambda v: tv.MmapFlatIndex(v, path=str(tmp_path / "m.tvec"))),
        ("ef_search", lambda v: tv.HnswIndex(2, ef_search=v)),
        ("nprobe", lambda v: tv.IvfIndex(2, nprobe=v)),
        ("pq_k_sub", lambda v: tv.IvfPqIndex(2, pq_m=1, pq_k_sub=v)),
        ("id", lambda v: flat.add(v, [0])),
        ("id", lambda v: flat.delete(v)),
        ("k", lambda v: flat.search([0], v)),
        ("start_id", lambda v: tv.FlatIndex(2).add_batch_np(data, start_id=v)),
        ("micro_batch_size", lambda v: hnsw.add_batch_parallel(data, micro_batch_size=v)),
        ("dimensions", lambda v: client.create_collection("d", v)),
        ("dimensions", lambda v: client.get_or_create_collection("e", v)),
        ("id", lambda v: collection.upsert(v, [0])),
        ("id", lambda v: collection.upsert_hybrid(v, [0], {1: 1.0})),
        ("id", lambda v: collection.delete(v)),
        ("k", lambda v: collection.search([0], v)),
        ("k", lambda v: collection.search_hybrid([0], {1: 1.0}, v)),
        ("id", lambda v: tv.FlatIndex(1).add_batch([(v, [0])])),
        ("id", lambda v: collection.upsert_batch([(v, [0])])),
    ]


def test_integer_arguments_raise_overflow_and_named_type_errors(tmp_path):
    for name, call in _integer_arguments(tmp_path):
        for out_of_range in (-1, 2**64):
            with pytest.raises(OverflowError):
                call(out_of_range)
        for wrong in (1.5, "1"):
            with pytest.raises(TypeError, match=f"^argument '{name}': .*cannot be interpreted as an integer"):
                call(wrong)
        call(np.uint8(1))  # anything with __index__ converts


class TestInterpreterLockAndBorrowing:
    def _big_index(self):
        index = tv.FlatIndex(64)
        index.add_batch_np(np.random.default_rng(0).random((60_000, 64), dtype=np.float32))
        return index

    def test_search_lets_other_python_threads_run(self):
        index = self._big_index()
        query = np.zeros(64, dtype=np.float32)
        ticks = []
        done = threading.Event()

        def count():
            while not done.is_set():
                ticks.append(1)
                time.sleep(0)

        counter = threading.Thread(target=count)
        counter.start()
        for _ in range(20):
            index.search(query, 5)
        done.set()
        counter.join()
        assert len(ticks) > 20

    def test_conflicting_call_during_a_search_fails_at_once(self):
        index = self._big_index()
        query = np.zeros(64, dtype=np.float32)
        errors = []
        stop = threading.Event()

        def search_forever():
            while not stop.is_set():
                index.search(query, 5)

        searcher = threading.Thread(target=search_forever)
        searcher.start()
        try:
            deadline = time.time() + 10
            while not errors and time.time() < deadline:
                try:
                    index.add(10**9, np.zeros(64, dtype=np.float32))
                    index.delete(10**9)
                except RuntimeError as error:
                    errors.append(str(error))
        finally:
            stop.set()
            searcher.join()
        assert errors and errors[0] == "Already borrowed"

"""MmapFlatIndex: vectors in a memory-mapped TVEC file, changes pending until flush."""

import struct

import numpy as np
import pytest

import tolvane_vector_db as tvdb


def tvec_header(dims, metric_id, count, magic=b"TVEC"):
    return magic + struct.pack("<IIIQQ", 1, dims, metric_id, count, 0)


def test_defaults_properties_repr_and_missing_members(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    index = tvdb.MmapFlatIndex(3)
    assert index.metric == "l2"
    assert index.dimensions == 3
    assert repr(index) == 'MmapFlatIndex(dimensions=3, metric="l2", len=0)'
    index.add(1, [1.0, 2.0, 3.0])
    assert not (tmp_path / "mmap_index.tvec").exists()
    index.flush()
    assert (tmp_path / "mmap_index.tvec").exists()
    with pytest.raises(AttributeError):
        index.save("x")
    assert not hasattr(tvdb.MmapFlatIndex, "load")
    assert tvdb.MmapFlatIndex.__doc__.startswith(
        "Memory-mapped brute-force index. Near-zero RAM usage."
    )


def test_flush_writes_the_tvec_layout(tmp_path):
    path = tmp_path / "v.tvec"
    index = tvdb.MmapFlatIndex(2, "dot_product", str(path))
    index.add(5, [0.5, -1.0])
    index.flush()
    assert path.read_bytes() == tvec_header(2, 2, 1) + struct.pack("<Qff", 5, 0.5, -1.0)


@pytest.mark.parametrize(
    "content, exception, message",
    [
        (b"TVEC", RuntimeError, "mmap file too small"),
        (tvec_header(3, 9, 5, b"XVEC"), RuntimeError, "invalid TVEC magic"),
        (tvec_header(3, 9, 5), ValueError, "dimension mismatch: expected 2, got 3"),
        (tvec_header(2, 9, 5), RuntimeError, "unknown metric id 9"),
        (tvec_header(2, 1, 5), ValueError, "metric mismatch: file=Cosine, expected=L2"),
        (tvec_header(2, 0, 5), RuntimeError, "serialization error"),
    ],
)
def test_open_rejects_bad_files_in_order(tmp_path, content, exception, message):
    path = tmp_path / "v.tvec"
    path.write_bytes(content)
    with pytest.raises(exception, match=message):
        tvdb.MmapFlatIndex(2, "l2", str(path))


def test_reopen_restores_exactly_the_flushed_records(tmp_path):
    path = str(tmp_path / "v.tvec")
    index = tvdb.MmapFlatIndex(2, "l2", path)
    index.add_batch_np(np.arange(20, dtype=np.float32).reshape(10, 2), start_id=100)
    index.flush()
    assert index.delete(100) is True
    assert index.delete(100) is False
    index.add(1, [0.0, 0.0])
    del index
    reopened = tvdb.MmapFlatIndex(2, "l2", path)
    assert len(reopened) == 10
    assert reopened.search([0.0, 1.0], 1) == [{"id": 100, "distance": 0.0}]


def test_readding_an_id_replaces_its_file_record(tmp_path):
    path = tmp_path / "v.tvec"
    index = tvdb.MmapFlatIndex(2, "l2", str(path))
    index.add(1, [1.0, 1.0])
    index.flush()
    index.add(1, [5.0, 5.0])
    assert len(index) == 1
    assert index.search([0.0, 0.0], 10) == [{"id": 1, "distance": pytest.approx(50 ** 0.5)}]
    index.flush()
    assert path.stat().st_size == 32 + 16
    assert len(tvdb.MmapFlatIndex(2, "l2", str(path))) == 1


def test_flush_raises_oserror_and_keeps_changes_pending(tmp_path):
    path = tmp_path / "missing_dir" / "v.tvec"
    index = tvdb.MmapFlatIndex(2, "l2", str(path))
    index.add(1, [1.0, 2.0])
    with pytest.raises(OSError):
        index.flush()
    assert len(index) == 1
    path.parent.mkdir()
    index.flush()
    assert len(tvdb.MmapFlatIndex(2, "l2", str(path))) == 1


def test_search_matches_flat_index(tmp_path):
    rng = np.random.default_rng(4)
    data = rng.standard_normal((500, 16)).astype(np.float32)
    for metric in ("l2", "cosine", "dot_product"):
        index = tvdb.MmapFlatIndex(16, metric, str(tmp_path / f"{metric}.tvec"))
        flat = tvdb.FlatIndex(16, metric)
        index.add_batch_np(data[:300])
        index.flush()
        index.add_batch_np(data[300:], start_id=300)
        flat.add_batch_np(data)
        for i in range(0, 500, 11):
            assert index.delete(i) == flat.delete(i)
        for q in data[:5] + 0.1:
            ours = index.search(q, 10)
            exact = flat.search(q, 10)
            assert [h["distance"] for h in ours] == [h["distance"] for h in exact]
        assert len(index.search(data[0], 1000)) == len(index) == len(flat)
        with pytest.raises(ValueError, match="expected 16, got 2"):
            index.search([1.0, 2.0], 3)
        with pytest.raises(ValueError, match="expected 16, got 3"):
            index.add_batch_np(np.zeros((2, 3), dtype=np.float32))


def test_add_batch_stops_at_the_first_bad_entry(tmp_path):
    index = tvdb.MmapFlatIndex(2, "l2", str(tmp_path / "v.tvec"))
    with pytest.raises(ValueError, match="expected 2, got 1"):
        index.add_batch([(1, [1.0, 2.0]), (2, [1.0]), (3, [1.0, 2.0])])
    assert len(index) == 1
    with pytest.raises(ValueError):
        tvdb.MmapFlatIndex(2**32, "l2", str(tmp_path / "wide.tvec"))

"""FlatIndex as a user sees it."""

import numpy as np
import pytest

import tolvane_vector_db as tv


def test_repr_len_and_properties():
    index = tv.FlatIndex(3, "cosine")
    assert repr(index) == 'FlatIndex(dimensions=3, metric="cosine", len=0)'
    assert index.dimensions == 3
    index.add(1, [1, 0, 0])
    assert len(index) == 1
    assert repr(index) == 'FlatIndex(dimensions=3, metric="cosine", len=1)'


def test_docstrings_describe_the_class():
    assert tv.FlatIndex.__doc__.startswith("Exact brute-force vector index. 100% recall, O(N*D) per query.")
    assert "Add a single vector with the given ID." in tv.FlatIndex.add.__doc__


def test_search_results_are_plain_dicts_nearest_first(rng):
    data = rng.random((200, 8), dtype=np.float32)
    index = tv.FlatIndex(8)
    index.add_batch_np(data)
    hits = index.search(data[17], 5)
    assert [sorted(hit) for hit in hits] == [["distance", "id"]] * 5
    assert list(hits[0]) == ["id", "distance"]
    assert hits[0] == {"id": 17, "distance": 0.0}
    distances = [hit["distance"] for hit in hits]
    assert distances == sorted(distances)
    exact = np.sqrt(((data - data[17]) ** 2).sum(axis=1))
    assert [hit["id"] for hit in hits] == list(np.argsort(exact)[:5])
    assert index.search(data[0], 0) == []
    assert tv.FlatIndex(8).search(data[0], 3) == []


def test_delete_and_readd():
    index = tv.FlatIndex(2)
    index.add(5, [1, 1])
    assert index.delete(5) is True
    assert index.delete(5) is False
    assert index.delete(123) is False
    index.add(5, [2, 2])
    assert len(index) == 1


def test_save_load_with_deleted_slots_has_the_exact_size(tmp_path, rng):
    slots, dims = 50, 6
    index = tv.FlatIndex(dims, "dot_product")
    index.add_batch_np(rng.random((slots, dims), dtype=np.float32))
    for gone in range(0, slots, 3):
        index.delete(gone)
    path = tmp_path / "flat.bin"
    index.save(str(path))
    assert path.stat().st_size == 8 + 4 + 8 + 4 * slots * dims + 8 + 8 * slots + 8 + slots
    loaded = tv.FlatIndex.load(str(path))
    assert isinstance(loaded, tv.FlatIndex)
    assert len(loaded) == len(index)
    assert loaded.metric == "dot_product"
    query = rng.random(dims, dtype=np.float32)
    assert loaded.search(query, 10) == index.search(query, 10)


def test_has_no_flush():
    with pytest.raises(AttributeError):
        tv.FlatIndex(2).flush()

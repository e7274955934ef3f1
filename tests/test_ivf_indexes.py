"""The clustered index classes as a Python user meets them."""

import numpy as np
import pytest

import tolvane_vector_db as tvdb

CLUSTERED_CLASSES = [tvdb.IvfIndex, tvdb.IvfPqIndex]


def blobs(groups=8, per_group=30, dims=8, seed=0):
    """Tight groups around far-apart centres: clustering keeps every group whole."""
    rng = np.random.default_rng(seed)
    centres = rng.normal(0.0, 100.0, size=(groups, dims)).astype(np.float32)
    noise = rng.normal(0.0, 0.5, size=(groups, per_group, dims)).astype(np.float32)
    return (centres[:, None, :] + noise).reshape(groups * per_group, dims)


def exact_l2(data, query, k):
    distances = np.sqrt(((data - query) ** 2).sum(axis=1))
    order = np.argsort(distances, kind="stable")[:k]
    return order, distances[order]


@pytest.mark.parametrize("cls", CLUSTERED_CLASSES)
def test_constructor_defaults_repr_and_docstring(cls):
    index = cls(16)
    assert index.dimensions == 16
    assert index.metric == "l2"
    assert len(index) == 0
    assert repr(index) == f'{cls.__name__}(dimensions=16, metric="l2", len=0)'
    assert cls(8, metric="dot_product").metric == "dot_product"
    first_line = {
        "IvfIndex": "Inverted file index. Cluster-based ANN using k-means.",
        "IvfPqIndex": "IVF with product quantization. Extreme memory reduction (~96x for 1536-dim).",
    }[cls.__name__]
    assert cls.__doc__.startswith(first_line)


@pytest.mark.parametrize("cls", CLUSTERED_CLASSES)
def test_configurations_training_cannot_satisfy_are_rejected(cls):
    with pytest.raises(ValueError, match="n_lists"):
        cls(4, n_lists=0)
    with pytest.raises(ValueError, match='"L2"'):
        cls(4, metric="L2")


@pytest.mark.parametrize("cls", CLUSTERED_CLASSES)
def test_untrained_search_is_exact_and_returns_id_distance_dicts(cls):
    data = blobs(groups=4, per_group=10)
    index = cls(8, n_lists=4, train_size=1000)
    index.add_batch([(i, row.tolist()) for i, row in enumerate(data[:20])])
    for i in range(20, 40):
        index.add(i, data[i])
    query = data[7] + 0.25
    hits = index.search(query, 5)
    ids, distances = exact_l2(data, query, 5)
    assert [hit["id"] for hit in hits] == list(ids)
    assert [hit["distance"] for hit in hits] == pytest.approx(distances, rel=1e-5)
    assert all(set(hit) == {"id", "distance"} for hit in hits)
    assert index.search(query, 0) == []
    with pytest.raises(ValueError, match="dimension mismatch: expected 8, got 3"):
        index.search([1.0, 2.0, 3.0], 0)


@pytest.mark.parametrize("cls", CLUSTERED_CLASSES)
def test_training_at_train_size_then_probing_the_nearest_lists(cls):
    # One point of each group first: training on as many points as lists gives every group
    # its own list whatever the random seeding, and the rest follow their group.
    data = blobs(groups=8, per_group=30)
    first_of_each = np.arange(0, 240, 30)
    order = np.concatenate([first_of_each, np.setdiff1d(np.arange(240), first_of_each)])
    index = cls(8, n_lists=8, nprobe=1, train_size=8)
    index.add_batch_np(data[order], start_id=1000)
    assert len(index) == len(data)
    hits = index.search(data[45], 30)
    group_of_hits = {int(order[hit["id"] - 1000]) // 30 for hit in hits}
    assert group_of_hits == {45 // 30}
    assert len(hits) == 30


@pytest.mark.parametrize("cls", CLUSTERED_CLASSES)
def test_flush_trains_a_partial_buffer_and_delete_reports_what_it_found(cls):
    data = blobs(groups=4, per_group=5)
    index = cls(8, n_lists=4, nprobe=4, train_size=4096)
    index.add_batch_np(data)
    index.flush()
    index.flush()
    assert len(index) == 20
    assert index.delete(3) is True
    assert index.delete(3) is False
    assert len(index) == 19
    assert all(hit["id"] != 3 for hit in index.search(data[3], 20))


@pytest.mark.parametrize("cls", CLUSTERED_CLASSES)
def test_bulk_insert_checks_its_argument(cls):
    index = cls(8, n_lists=2)
    with pytest.raises(ValueError, match="buffer protocol"):
        index.add_batch_np(np.zeros((3, 8), dtype=np.float64))
    with pytest.raises(ValueError, match="2-dimensional, got 1-dimensional"):
        index.add_batch_np(np.zeros(8, dtype=np.float32))
    with pytest.raises(ValueError, match="dimension mismatch: expected 8, got 5"):
        index.add_batch_np(np.zeros((3, 5), dtype=np.float32))
    with pytest.raises(ValueError, match="each entry must be a tuple"):
        index.add_batch([(1, [0.0] * 8), 2])
    assert len(index) == 0


@pytest.mark.parametrize("cls", CLUSTERED_CLASSES)
@pytest.mark.parametrize("trained", [False, True])
def test_save_and_load_round_trip(cls, trained, tmp_path):
    data = blobs(groups=4, per_group=10)
    index = cls(8, metric="cosine", n_lists=4, nprobe=4, train_size=40 if trained else 1000)
    index.add_batch_np(data)
    path = str(tmp_path / "index.bin")
    index.save(path)
    loaded = cls.load(path)
    assert isinstance(loaded, cls)
    assert repr(loaded) == repr(index)
    for q in (0, 13, 39):
        assert [h["id"] for h in loaded.search(data[q], 5)] == [h["id"] for h in index.search(data[q], 5)]


@pytest.mark.parametrize("cls", CLUSTERED_CLASSES)
def test_load_rejects_missing_and_damaged_files(cls, tmp_path):
    with pytest.raises(OSError):
        cls.load(str(tmp_path / "missing.bin"))
    index = cls(8, n_lists=4, train_size=40)
    index.add_batch_np(blobs(groups=4, per_group=10))
    path = tmp_path / "index.bin"
    index.save(str(path))
    whole = path.read_bytes()
    for cut in (3, 40, len(whole) // 2, len(whole) - 1):
        path.write_bytes(whole[:cut])
        with pytest.raises(RuntimeError, match="^serialization error: "):
            cls.load(str(path))


@pytest.mark.parametrize("cls", CLUSTERED_CLASSES)
def test_members_other_than_add_batch_np_carry_only_their_signature(cls):
    assert cls.add_batch_np.__doc__.strip().endswith(
        "Add vectors from a 2D numpy array (N × dim) with sequential IDs starting from `start_id`."
    )
    for name in ("add", "add_batch", "search", "delete", "flush", "save", "load"):
        doc = getattr(cls, name).__doc__
        assert doc.startswith(name + "(") and "\n" not in doc.strip(), name


def test_ivf_pq_rejects_sub_quantizers_training_could_not_build():
    with pytest.raises(ValueError, match=r"dimensions \(10\) must be divisible by m \(3\)"):
        tvdb.IvfPqIndex(10, pq_m=3)
    with pytest.raises(ValueError, match="pq_m"):
        tvdb.IvfPqIndex(8, pq_m=0)
    for k_sub in (0, 257):
        with pytest.raises(ValueError, match="pq_k_sub"):
            tvdb.IvfPqIndex(8, pq_m=2, pq_k_sub=k_sub)
    assert len(tvdb.IvfPqIndex(8, pq_m=2, pq_k_sub=256)) == 0


def test_ivf_pq_trained_hits_report_squared_l2_whatever_the_metric():
    data = blobs(groups=4, per_group=50, dims=8)
    # With no more training vectors than k_sub, every training sub-vector becomes a centroid
    # of its own, whatever the (randomly seeded) training draws: the codes of the trained
    # vectors are exact, and so are their distances up to float rounding, which the
    # coordinates of a few hundred put near 0.02 at most.
    index = tvdb.IvfPqIndex(8, metric="cosine", n_lists=4, nprobe=4, train_size=200, pq_m=4, pq_k_sub=256)
    index.add_batch_np(data)
    query = data[10]
    hits = index.search(query, 80)
    squared = ((data[[h["id"] for h in hits]] - query) ** 2).sum(axis=1)
    # Cosine distances lie in [0, 2]; hits from other groups are thousands apart in squared L2.
    assert hits[-1]["distance"] > 100.0
    assert np.allclose([h["distance"] for h in hits], squared, rtol=1e-3, atol=0.1)

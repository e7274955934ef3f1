"""Sharded collections on a local Ray cluster: the same answers as one collection, routing
that survives a reopen, restarted shards that lose nothing acknowledged, snapshots over
every shard."""

import json
import os

import numpy as np
import pytest
import ray

import tolvane_cluster as tc
import tolvane_vector_db as tv
from tolvane_cluster.routing import shards_of

DIM = 8
GROUP = {"group": {"$eq": 1}}
RARE = {"i": {"$lt": 4}}


@pytest.fixture(scope="module", autouse=True)
def ray_cluster():
    os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
    ray.init(num_cpus=2, object_store_memory=100 * 2**20, include_dashboard=False,
             log_to_driver=False)
    yield
    ray.shutdown()


@pytest.fixture(scope="module")
def corpus():
    rng = np.random.default_rng(14)
    ids = np.unique(rng.integers(0, 2**63, 600, dtype=np.uint64))
    ids = np.append(ids, np.uint64(2**64 - 1))
    vectors = rng.standard_normal((ids.size, DIM)).astype(np.float32)
    payloads = [{"i": i, "group": i % 3} for i in range(ids.size)]
    # Quarter weights over few dimensions: many equal sparse scores.
    sparse = [(int(ids[i]), vectors[i], {int(d): float(rng.integers(1, 5)) / 4
                                         for d in rng.choice(20, 3, replace=False)}, payloads[i])
              for i in range(0, ids.size, 2)]
    return ids, vectors, payloads, sparse


def fill(collection, corpus):
    ids, vectors, payloads, sparse = corpus
    collection.upsert_arrays(ids, vectors, payloads=payloads)
    collection.upsert_hybrid_batch(sparse)


@pytest.fixture(scope="module")
def single(tmp_path_factory, corpus):
    collection = tv.Client(str(tmp_path_factory.mktemp("single"))).create_collection(
        "docs", DIM, "l2", "flat")
    fill(collection, corpus)
    return collection


@pytest.fixture(scope="module", params=[1, 2, 3], ids=lambda n: f"{n}-shards")
def sharded(request, tmp_path_factory, corpus):
    cluster = tc.connect(root=str(tmp_path_factory.mktemp("cluster")))
    collection = cluster.create_collection("docs", DIM, "l2", "flat", shards=request.param)
    fill(collection, corpus)
    yield collection
    cluster.close()


def plain(records):
    """Records in a form == compares (vectors as lists)."""
    return [None if r is None else {**r, "vector": r["vector"].tolist()} for r in records]


def held_ids(actor, ids):
    """The IDs of `ids` that one shard holds."""
    records = ray.get(actor.call.remote("get", ids))
    return {int(i) for i, record in zip(ids, records) if record is not None}


class TestSameAnswersAsOneCollection:
    def test_dense_search_filtered_or_not(self, sharded, single):
        queries = np.random.default_rng(5).standard_normal((4, DIM)).astype(np.float32)
        for k in (1, 10, 700):
            for condition in (None, GROUP, RARE):
                for query in queries:
                    assert sharded.search(query, k, condition) == single.search(query, k, condition)
        assert sharded.search_batch(queries, 7, GROUP) == single.search_batch(queries, 7, GROUP)

    def test_hybrid_search_is_bit_identical(self, sharded, single):
        rng = np.random.default_rng(6)
        for k, weights, condition in [(1, (0.7, 0.3), None), (5, (0.5, 0.5), GROUP),
                                      (20, (0.2, 1.5), None), (40, (0.7, 0.3), RARE)]:
            query = rng.standard_normal(DIM).astype(np.float32)
            terms = {1: 0.5, 4: 1.0, 7: 2.0, int(rng.integers(20)): 1.0}
            expected = single.search_hybrid(query, terms, k, *weights, filter=condition)
            assert sharded.search_hybrid(query, terms, k, *weights, filter=condition) == expected

    def test_counts_add_up_and_each_shard_holds_its_ids(self, sharded, single, corpus):
        ids = corpus[0]
        assert (sharded.count, sharded.sparse_count) == (single.count, single.sparse_count)
        assert sharded.count_where(GROUP) == single.count_where(GROUP)
        owners = shards_of(ids, sharded.shards)
        for shard, actor in enumerate(sharded.shard_actors()):
            assert held_ids(actor, ids) == {int(i) for i in ids[owners == shard]}

    def test_bad_input_changes_no_shard(self, sharded, corpus):
        ids, vectors = corpus[0], corpus[1]
        before = sharded.count
        with pytest.raises(ValueError, match="^dimension mismatch: expected 8, got 7$"):
            sharded.upsert_batch([(1, vectors[0]), (2, vectors[1][:7])])
        too_deep = []
        too_deep.append(too_deep)
        for payload, error in [({1: "non-str key"}, TypeError), (too_deep, ValueError)]:
            with pytest.raises(error):
                sharded.upsert_batch([(int(i), vectors[0]) for i in ids[:20]] + [(3, vectors[0], payload)])
        with pytest.raises(OverflowError):
            sharded.upsert_arrays(np.array([4, -1]), vectors[:2])
        with pytest.raises(ValueError, match="^invalid filter: "):
            sharded.search(vectors[0], 3, {"i": 1})
        assert sharded.count == before
        assert sharded.get([1, 2, 3, 4]) == [None] * 4


def test_routing_is_pinned():
    # Changing the mix would strand every stored ID on the wrong shard.
    ids = np.array([0, 1, 2, 12345, 2**63, 2**64 - 1], dtype=np.uint64)
    assert [tc.shard_of(int(i), 7) for i in ids] == [2, 2, 4, 5, 6, 0]
    assert shards_of(ids, 7).tolist() == [2, 2, 4, 5, 6, 0]
    many = np.random.default_rng(7).integers(0, 2**64 - 1, 2000, dtype=np.uint64)
    assert shards_of(many, 5).tolist() == [tc.shard_of(int(i), 5) for i in many]
    assert np.bincount(shards_of(many, 5)).min() > 350


def test_routing_and_data_survive_reopening_the_cluster(tmp_path, corpus):
    ids = corpus[0]
    with tc.connect(root=str(tmp_path)) as cluster:
        fill(cluster.create_collection("docs", DIM, "l2", "hnsw", shards=3), corpus)
        with pytest.raises(KeyError, match="collection already exists: docs"):
            cluster.create_collection("docs", DIM, shards=2)
    described = json.loads((tmp_path / "cluster.json").read_text())["collections"]
    assert [(c["name"], c["shards"], c["index_type"]) for c in described] == [("docs", 3, "hnsw")]

    # Every shard actor was ended: the reopened ones replay their logs.
    with tc.connect(root=str(tmp_path)) as cluster:
        assert cluster.list_collections() == ["docs"]
        docs = cluster.get_collection("docs")
        assert (docs.count, docs.shards) == (ids.size, 3)
        records = docs.get(ids)
        assert [r["payload"]["i"] for r in records] == list(range(ids.size))
        owners = shards_of(ids, 3)
        for shard, actor in enumerate(docs.shard_actors()):
            assert held_ids(actor, ids) == {int(i) for i in ids[owners == shard]}

    # A shard placed on a node that is not in the cluster fails every search whole.
    gone = json.loads((tmp_path / "cluster.json").read_text())
    gone["collections"][0]["placements"][1] = {"node_id": "ab" * 28, "address": "192.0.2.1"}
    (tmp_path / "cluster.json").write_text(json.dumps(gone))
    with tc.connect(root=str(tmp_path)) as cluster:
        docs = cluster.get_collection("docs")
        with pytest.raises(tc.ShardUnavailableError, match="192.0.2.1") as info:
            docs.search(corpus[1][0], 5)
        assert info.value.shards == [1]
        with pytest.raises(tc.ShardUnavailableError):
            docs.count
        assert not cluster.delete_collection("missing")
        with pytest.raises(tc.ShardUnavailableError):
            cluster.delete_collection("docs")
        assert cluster.list_collections() == ["docs"]


def test_acknowledged_writes_survive_killed_shards(tmp_path):
    rng = np.random.default_rng(8)
    with tc.connect(root=str(tmp_path), max_restarts=4) as cluster:
        docs = cluster.create_collection("docs", 4, "l2", "hnsw", shards=2)
        actors = docs.shard_actors()
        first_pids = [ray.get(actor.where.remote())["pid"] for actor in actors]
        expected, failures = {}, []
        for step in range(40):
            if step in (12, 25):
                # ray.kill returns at once: the shard dies while the loop goes on writing.
                ray.kill(actors[step % 2], no_restart=False)
            ids = np.arange(step * 25, step * 25 + 25)
            vectors = rng.standard_normal((25, 4)).astype(np.float32)
            try:
                docs.upsert_arrays(ids, vectors, payloads=[{"step": step}] * 25)
                if step % 5 == 4:
                    docs.delete_batch(ids[:5])
            except (tc.PartialWriteError, tc.ShardUnavailableError) as error:
                failures.append(error)
                continue
            expected.update({int(i): v for i, v in zip(ids, vectors)})
            if step % 5 == 4:
                for i in ids[:5]:
                    del expected[int(i)]
        assert len(failures) <= 2
        pids = [ray.get(actor.where.remote())["pid"] for actor in actors]
        assert all(pid != first for pid, first in zip(pids, first_pids))
        wanted = np.array(sorted(expected), dtype=np.uint64)
        records = docs.get(wanted)
        assert all(r is not None and np.array_equal(r["vector"], expected[r["id"]])
                   for r in records)
        if not failures:
            assert docs.count == len(expected)


def test_snapshots_cover_every_shard(tmp_path, corpus):
    ids, vectors = corpus[0], corpus[1]
    with tc.connect(root=str(tmp_path)) as cluster:
        docs = cluster.create_collection("docs", DIM, "l2", "flat", shards=3)
        fill(docs, corpus)
        before = plain(docs.get(ids))
        made = docs.create_snapshot("s")
        assert list(made) == ["name", "created_at", "vector_count", "sparse_count"]
        assert (made["vector_count"], made["sparse_count"]) == (ids.size, docs.sparse_count)
        with pytest.raises(KeyError, match="snapshot already exists: s"):
            docs.create_snapshot("s")
        # One shard refuses a name the others accept: their new snapshots are undone.
        actors = docs.shard_actors()
        ray.get(actors[0].call.remote("create_snapshot", "t"))
        with pytest.raises(KeyError, match="snapshot already exists: t"):
            docs.create_snapshot("t")
        names = [{m["name"] for m in ray.get(a.call.remote("list_snapshots"))} for a in actors]
        assert names == [{"s", "t"}, {"s"}, {"s"}]
        assert [m["name"] for m in docs.list_snapshots()] == ["s"]

        docs.delete_batch(ids[::2])
        docs.upsert_arrays(np.arange(50), vectors[:50])
        with pytest.raises(KeyError, match="snapshot not found: t"):
            docs.restore_snapshot("t")
        docs.restore_snapshot("s")
        assert plain(docs.get(ids)) == before
        assert docs.count == ids.size
        assert docs.get(np.arange(50)) == [None] * 50
        docs.delete_snapshot("s")
        with pytest.raises(KeyError, match="snapshot not found: s"):
            docs.delete_snapshot("s")
        assert docs.list_snapshots() == []

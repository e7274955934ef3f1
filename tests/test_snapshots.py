"""Snapshots: names, listing, restore semantics for every index kind, deletion."""

import json
import os

import pytest

import tolvane_vector_db as tv

SNAPSHOT_KEYS = ["name", "created_at", "vector_count", "sparse_count"]


@pytest.fixture
def client(tmp_path):
    return tv.Client(str(tmp_path))


@pytest.fixture
def docs(client):
    docs = client.create_collection("docs", 3, "l2", "flat")
    docs.upsert_batch([(i, [i, 0, 0], {"i": i}) for i in range(5)])
    return docs


def state_of(collection, probe=(0, 0, 0)):
    return sorted((hit["id"], hit["payload"]) for hit in collection.search(list(probe), 1000))


class TestNames:
    @pytest.mark.parametrize("name", ["", "a/b", "a\\b", "..", "x..y", ".", "nul\0byte"])
    def test_invalid_names_are_refused_by_every_operation(self, tmp_path, docs, name):
        for call in (docs.create_snapshot, docs.restore_snapshot, docs.delete_snapshot):
            with pytest.raises(ValueError) as info:
                call(name)
            assert str(info.value).startswith("invalid configuration: invalid snapshot name: ")
        assert not (tmp_path / "docs" / "snapshots").exists()

    def test_restore_and_delete_never_reach_outside_the_snapshots_directory(self, tmp_path, docs):
        outside = tmp_path / "docs" / "outside"
        outside.mkdir()
        (outside / "wal.log").write_bytes(b"")
        (outside / "meta.json").write_text((tmp_path / "docs" / "meta.json").read_text())
        docs.create_snapshot("real")
        for call in (docs.restore_snapshot, docs.delete_snapshot):
            with pytest.raises(ValueError):
                call("../outside")
        assert outside.is_dir()
        assert docs.count == 5


class TestCreateAndList:
    def test_create_describes_the_snapshot_and_writes_its_files(self, tmp_path, docs):
        info = docs.create_snapshot("ünï.v1")
        assert list(info) == SNAPSHOT_KEYS
        assert (info["name"], info["vector_count"], info["sparse_count"]) == ("ünï.v1", 5, 0)
        directory = tmp_path / "docs" / "snapshots" / "ünï.v1"
        assert sorted(os.listdir(directory)) == ["meta.json", "snapshot.json", "wal.log"]

    def test_create_twice_fails_and_changes_nothing(self, tmp_path, docs):
        docs.create_snapshot("s")
        before = (tmp_path / "docs" / "snapshots" / "s" / "wal.log").read_bytes()
        docs.upsert(99, [9, 9, 9])
        with pytest.raises(KeyError) as info:
            docs.create_snapshot("s")
        assert info.value.args[0] == "snapshot already exists: s"
        assert (tmp_path / "docs" / "snapshots" / "s" / "wal.log").read_bytes() == before

    def test_list_is_oldest_first(self, tmp_path, docs):
        for name in ["b", "a", "c"]:
            docs.create_snapshot(name)
        for name, created in [("b", 300), ("a", 100), ("c", 200)]:
            path = tmp_path / "docs" / "snapshots" / name / "snapshot.json"
            meta = json.loads(path.read_text())
            meta["created_at"] = created
            path.write_text(json.dumps(meta))
        listed = docs.list_snapshots()
        assert [s["name"] for s in listed] == ["a", "c", "b"]
        assert all(list(s) == SNAPSHOT_KEYS for s in listed)

    def test_snapshot_without_readable_description_is_unlisted_but_still_blocks_and_deletes(
            self, tmp_path, docs):
        docs.create_snapshot("broken")
        (tmp_path / "docs" / "snapshots" / "broken" / "snapshot.json").write_text("{")
        (tmp_path / "docs" / "snapshots" / "bare").mkdir()
        docs.create_snapshot("fine")
        assert [s["name"] for s in docs.list_snapshots()] == ["fine"]
        with pytest.raises(KeyError, match="snapshot already exists: broken"):
            docs.create_snapshot("broken")
        assert docs.delete_snapshot("broken") is None
        docs.delete_snapshot("bare")
        assert sorted(os.listdir(tmp_path / "docs" / "snapshots")) == ["fine"]


class TestRestore:
    def test_restore_brings_back_exactly_the_snapshot_state(self, tmp_path, client, docs):
        docs.upsert_hybrid(1, [1, 0, 0], {10: 1.0}, {"i": 1})
        expected = state_of(docs)
        docs.create_snapshot("s")
        docs.upsert(100, [7, 7, 7], {"late": True})
        docs.delete(2)
        docs.upsert(3, [3, 0, 0], {"changed": True})
        docs.upsert_hybrid(4, [4, 0, 0], {11: 2.0}, {"i": 4})

        assert docs.restore_snapshot("s") is None
        assert state_of(docs) == expected
        assert docs.sparse_count == 1
        assert [s["name"] for s in docs.list_snapshots()] == ["s"]
        assert state_of(tv.Client(str(tmp_path)).get_collection("docs")) == expected

        docs.upsert(200, [1, 1, 1])
        docs.restore_snapshot("s")
        assert state_of(docs) == expected

    def test_snapshot_without_sparse_vectors_removes_the_live_sparse_file(self, tmp_path, docs):
        docs.create_snapshot("plain")
        assert not (tmp_path / "docs" / "snapshots" / "plain" / "sparse.bin").exists()
        docs.upsert_hybrid(1, [1, 0, 0], {3: 1.0})
        (tmp_path / "docs" / "sparse.bin").write_bytes(b"\x00" * 16)
        docs.restore_snapshot("plain")
        assert not (tmp_path / "docs" / "sparse.bin").exists()
        assert docs.sparse_count == 0

    def test_restore_replaces_handles_of_the_same_name(self, client, docs):
        other = client.get_collection("docs")
        docs.create_snapshot("s")
        other.upsert(50, [5, 5, 5])
        docs.restore_snapshot("s")
        assert other.count == 5

    def test_unknown_snapshot(self, docs):
        for call in (docs.restore_snapshot, docs.delete_snapshot):
            with pytest.raises(KeyError) as info:
                call("nope")
            assert info.value.args[0] == "snapshot not found: nope"
        assert docs.count == 5

    def test_snapshot_that_cannot_be_opened_leaves_the_collection_untouched(self, tmp_path, docs):
        docs.create_snapshot("s")
        (tmp_path / "docs" / "snapshots" / "s" / "meta.json").write_text("{")
        before = (tmp_path / "docs" / "wal.log").read_bytes()
        with pytest.raises(RuntimeError, match="^serialization error"):
            docs.restore_snapshot("s")
        assert (tmp_path / "docs" / "wal.log").read_bytes() == before
        docs.upsert(77, [7, 7, 7])
        assert tv.Client(str(tmp_path)).get_collection("docs").count == 6

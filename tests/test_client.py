"""Client: opening a data directory, creating, finding, listing and deleting collections."""

import errno
import json

import pytest

import tolvane_vector_db as tv
from collection_support import ids_of, require


def test_client_creates_missing_directory_and_reports_its_collections(tmp_path):
    path = tmp_path / "a" / "b"
    client = tv.Client(str(path))
    assert path.is_dir()
    assert repr(client) == "Client(collections=0)"
    client.create_collection("docs", 3, "l2", "flat")
    assert repr(client) == "Client(collections=1)"
    assert client.list_collections() == ["docs"]


def test_default_path_is_data_in_the_working_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    tv.Client().create_collection("docs", 2, "l2", "flat")
    assert (tmp_path / "data" / "docs" / "meta.json").is_file()


def test_collection_class_has_no_constructor():
    with pytest.raises(TypeError) as info:
        tv.Collection()
    assert str(info.value) == "No constructor defined for Collection"


class TestCreate:
    def test_duplicate_name_is_a_key_error(self, tmp_path):
        client = tv.Client(str(tmp_path))
        client.create_collection("docs", 3, "l2", "flat")
        with pytest.raises(KeyError) as info:
            client.create_collection("docs", 5, "l2", "flat")
        assert info.value.args[0] == "collection already exists: docs"
        assert client.get_collection("docs").count == 0

    @pytest.mark.parametrize("index_type", ["faiss", "HNSW", "", "flat "])
    def test_unknown_index_type(self, tmp_path, index_type):
        client = tv.Client(str(tmp_path))
        with pytest.raises(ValueError) as info:
            client.create_collection("docs", 3, "l2", index_type)
        assert str(info.value) == f'unknown index_type "{index_type}"'
        assert client.list_collections() == []

    def test_unknown_metric_is_checked_first(self, tmp_path):
        client = tv.Client(str(tmp_path))
        with pytest.raises(ValueError) as info:
            client.create_collection("docs", 3, "L2", "faiss")
        assert str(info.value).startswith('unknown metric "L2"')
        with pytest.raises(ValueError, match='^unknown metric "L2"'):
            client.get_or_create_collection("docs", 3, "L2")
        assert client.list_collections() == []

    @pytest.mark.parametrize("name", ["", ".", "..", "../escape", "a/b", "a\\b", "x..y", "nul\0byte"])
    def test_names_that_are_not_plain_directory_names_are_refused(self, tmp_path, name):
        data = tmp_path / "data"
        client = tv.Client(str(data))
        with pytest.raises(ValueError, match="^invalid configuration: invalid collection name: "):
            client.create_collection(name, 3, "l2", "flat")
        with pytest.raises(ValueError, match="invalid collection name"):
            client.get_or_create_collection(name, 3)
        assert sorted(p.name for p in tmp_path.iterdir()) == ["data"]
        assert list(data.iterdir()) == []

    def test_directory_holding_an_unopenable_collection_is_not_overwritten_but_can_be_deleted(self, tmp_path):
        broken = tmp_path / "docs"
        broken.mkdir()
        (broken / "meta.json").write_text("{not json")
        (broken / "wal.log").write_bytes(b"precious")
        client = tv.Client(str(tmp_path))
        assert client.list_collections() == []
        with pytest.raises(KeyError, match="collection already exists: docs"):
            client.create_collection("docs", 3, "l2", "flat")
        assert (broken / "meta.json").read_text() == "{not json"
        assert (broken / "wal.log").read_bytes() == b"precious"
        # Only delete can free the name of a meta.json that does not parse (an empty one is
        # what a crash in the middle of writing it used to leave).
        (broken / "meta.json").write_text("")
        assert client.delete_collection("docs") is True
        assert not broken.exists()
        client.create_collection("docs", 3, "l2", "flat")

class TestOpen:
    def test_collection_is_keyed_by_the_name_in_its_metadata(self, tmp_path):
        tv.Client(str(tmp_path)).create_collection("docs", 2, "l2", "flat").upsert(7, [0, 1])
        (tmp_path / "docs").rename(tmp_path / "renamed")
        client = tv.Client(str(tmp_path))
        assert client.list_collections() == ["docs"]
        assert ids_of(client.get_collection("docs").search([0, 1], 1)) == [7]

    def test_symbolic_links_inside_a_collection_are_not_followed(self, tmp_path):
        data, outside = tmp_path / "data", tmp_path / "outside"
        outside.mkdir()
        client = tv.Client(str(data))
        client.create_collection("linked_log", 2, "l2", "flat").upsert(1, [0, 0])
        client.create_collection("linked_snapshots", 2, "l2", "flat").upsert(1, [0, 0])
        client.create_collection("linked_vectors", 2, "l2", "mmap_flat").upsert(1, [0, 0])
        client.create_collection("moved", 2, "l2", "flat").upsert(1, [0, 0])
        del client
        tv.Client(str(data))  # opening writes the vector file of the mmap kind
        victim = outside / "victim"
        victim.write_bytes(b"keep")
        (data / "linked_log" / "wal.log").unlink()
        (data / "linked_log" / "wal.log").symlink_to(victim)
        (outside / "snapshots").mkdir()
        (data / "linked_snapshots" / "snapshots").symlink_to(outside / "snapshots")
        vectors = data / "linked_vectors" / "vectors.mmap"
        (outside / "vectors").write_bytes(vectors.read_bytes())
        vectors.unlink()
        vectors.symlink_to(outside / "vectors")
        (data / "moved").rename(outside / "moved")  # a collection directory may be a link
        (data / "moved").symlink_to(outside / "moved")
        vectors_before = (outside / "vectors").read_bytes()

        client = tv.Client(str(data))
        assert sorted(client.list_collections()) == ["linked_snapshots", "linked_vectors", "moved"]
        assert client.get_collection("moved").count == 1
        snapshots = client.get_collection("linked_snapshots")
        for call in (lambda: snapshots.create_snapshot("s"), snapshots.list_snapshots,
                     lambda: snapshots.restore_snapshot("s"), lambda: snapshots.delete_snapshot("s")):
            with pytest.raises(OSError) as refused:
                call()
            assert refused.value.errno == errno.ELOOP
        client.get_collection("linked_vectors").upsert(2, [1, 1])
        del client, snapshots
        assert tv.Client(str(data)).get_collection("linked_vectors").count == 2
        assert victim.read_bytes() == b"keep"
        assert list((outside / "snapshots").iterdir()) == []
        assert (outside / "vectors").read_bytes() == vectors_before

    def test_data_path_that_is_a_file_is_an_os_error(self, tmp_path):
        blocker = tmp_path / "file"
        blocker.write_text("x")
        with pytest.raises(OSError):
            tv.Client(str(blocker))


class TestLookup:
    def test_get_collection_of_unknown_name(self, tmp_path):
        with pytest.raises(KeyError) as info:
            tv.Client(str(tmp_path)).get_collection("nope")
        assert info.value.args[0] == "collection 'nope' not found"

    def test_get_or_create_returns_existing_collection_untouched(self, tmp_path):
        client = tv.Client(str(tmp_path))
        client.create_collection("docs", 3, "l2", "flat").upsert(1, [1, 2, 3])
        same = client.get_or_create_collection("docs", 99, "no_such_metric")
        assert same.count == 1
        same.upsert(2, [1, 1, 1])
        with pytest.raises(ValueError, match="dimension mismatch: expected 3, got 99"):
            same.upsert(3, [0] * 99)
        assert json.loads((tmp_path / "docs" / "meta.json").read_text())["index_type"] == "flat"

    def test_get_or_create_makes_one_hnsw_cosine_collection(self, tmp_path):
        require("hnsw")
        client = tv.Client(str(tmp_path))
        client.get_or_create_collection("docs", 3).upsert(1, [1, 0, 0])
        docs = client.get_or_create_collection("docs", 3)
        assert (docs.name, docs.count, client.list_collections()) == ("docs", 1, ["docs"])
        meta = json.loads((tmp_path / "docs" / "meta.json").read_text())
        assert (meta["index_type"], meta["metric"]) == ("hnsw", "cosine")


class TestDelete:
    def test_removes_only_the_directory_the_collection_lives_in(self, tmp_path):
        data = tmp_path / "data"
        victim = tmp_path / "victim"
        victim.mkdir()
        (victim / "keep.txt").write_text("keep")
        tv.Client(str(data)).create_collection("docs", 2, "l2", "flat")
        meta_path = data / "docs" / "meta.json"
        meta = json.loads(meta_path.read_text())
        meta["name"] = "../victim"
        meta_path.write_text(json.dumps(meta))

        client = tv.Client(str(data))
        assert client.list_collections() == ["../victim"]
        assert client.delete_collection("../victim") is True
        assert not (data / "docs").exists()
        assert (victim / "keep.txt").read_text() == "keep"

    def test_stale_handle_reports_zero_and_raises_on_use(self, tmp_path):
        client = tv.Client(str(tmp_path))
        docs = client.create_collection("docs", 2, "l2", "flat")
        docs.upsert(1, [0, 0])
        client.delete_collection("docs")
        assert docs.count == 0
        assert docs.sparse_count == 0
        assert repr(docs) == 'Collection(name="docs", count=0)'
        assert docs.name == "docs"
        for call in [lambda: docs.search([0, 0], 1), lambda: docs.upsert(2, [0, 0]),
                     lambda: docs.delete(1), lambda: docs.list_snapshots(),
                     lambda: docs.create_snapshot("s"), lambda: docs.search_hybrid([0, 0], {}, 1)]:
            with pytest.raises(KeyError) as info:
                call()
            assert info.value.args[0] == "collection 'docs' not found"

    def test_recreated_name_is_reached_by_an_old_handle(self, tmp_path):
        client = tv.Client(str(tmp_path))
        old = client.create_collection("docs", 2, "l2", "flat")
        client.delete_collection("docs")
        client.create_collection("docs", 2, "l2", "flat").upsert(5, [1, 1])
        assert ids_of(old.search([1, 1], 1)) == [5]


def test_collection_handle_outlives_its_client(tmp_path):
    client = tv.Client(str(tmp_path))
    docs = client.create_collection("docs", 2, "l2", "flat")
    del client
    docs.upsert(1, [0, 0])
    assert docs.count == 1
    assert tv.Client(str(tmp_path)).get_collection("docs").count == 1


class TestCloseAndCreateOptions:
    def test_close_ends_the_client_but_not_its_collections(self, tmp_path):
        with tv.Client(str(tmp_path)) as client:
            docs = client.create_collection("docs", 2, "l2", "hnsw")
            docs.upsert_arrays([1, 2], [[0, 0], [1, 1]])
        assert (tmp_path / "docs" / "hnsw.graph").is_file()
        assert repr(client) == "Client(closed)"
        for call in (client.list_collections, lambda: client.get_collection("docs"),
                     lambda: client.create_collection("x", 2), lambda: client.delete_collection("docs")):
            with pytest.raises(RuntimeError, match="^client is closed$"):
                call()
        client.close()  # a second close does nothing
        docs.upsert(3, [2, 2])
        assert len(docs) == 3 and len(tv.Client(str(tmp_path)).get_collection("docs")) == 3

    def test_hnsw_config_is_kept_in_meta_json(self, tmp_path):
        client = tv.Client(str(tmp_path))
        client.create_collection("g", 4, hnsw_config={"m": 6, "ef_search": 30})
        meta = json.loads((tmp_path / "g" / "meta.json").read_text())
        assert meta["hnsw_config"] == {"ef_construction": 200, "ef_search": 30, "m": 6}
        for config, error in [({"M": 6}, ValueError), ({"m": 0}, ValueError), ({"m": -1}, OverflowError),
                              ([("m", 6)], TypeError)]:
            with pytest.raises(error):
                client.create_collection("bad", 4, hnsw_config=config)
        with pytest.raises(ValueError, match='applies to index_type "hnsw" only'):
            client.create_collection("bad", 4, index_type="flat", hnsw_config={"m": 6})
        assert sorted(client.list_collections()) == ["g"] and not (tmp_path / "bad").exists()

    def test_get_or_create_takes_an_index_type_for_new_collections_only(self, tmp_path):
        client = tv.Client(str(tmp_path))
        assert client.get_or_create_collection("f", 3, "l2", "flat").index_type == "flat"
        assert client.get_or_create_collection("f", 9, "cosine", "nonsense").index_type == "flat"
        with pytest.raises(ValueError, match='^unknown index_type "nonsense"$'):
            client.get_or_create_collection("new", 3, "l2", "nonsense")

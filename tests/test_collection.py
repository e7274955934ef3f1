"""Collection: upserts, payload conversion both ways, filtered search, deletes, durability."""

import math
import threading
import time
from decimal import Decimal

import numpy as np
import pytest

import tolvane_vector_db as tv
from collection_support import ids_of


@pytest.fixture
def docs(tmp_path):
    return tv.Client(str(tmp_path)).create_collection("docs", 3, "l2", "flat")


def stored_payload(collection, payload):
    collection.upsert(1, [0, 0, 0], payload)
    return collection.search([0, 0, 0], 1)[0]["payload"]


class TestPayloadConversion:
    def test_json_like_values_round_trip(self, docs):
        payload = {"s": "héllo", "n": -5, "u": 7, "f": 1.5, "t": True, "none": None,
                   "list": [1, "a", [2.5]], "nested": {"x": {"y": False}}}
        assert stored_payload(docs, payload) == payload

    def test_keys_come_back_in_byte_order(self, docs):
        back = stored_payload(docs, {"b": 1, "a": 2, "B": 3, "é": 4})
        assert list(back) == ["B", "a", "b", "é"]

    def test_integers_keep_their_kind_up_to_the_signed_range(self, docs):
        back = stored_payload(docs, {"max": 2**63 - 1, "beyond": 2**64 - 1, "min": -(2**63),
                                     "huge": 2**70})
        assert back["max"] == 2**63 - 1 and isinstance(back["max"], int)
        assert back["min"] == -(2**63) and isinstance(back["min"], int)
        assert isinstance(back["beyond"], float) and back["beyond"] == float(2**64 - 1)
        assert back["huge"] == float(2**70)

    def test_non_finite_floats_become_null(self, docs):
        assert stored_payload(docs, {"nan": math.nan, "inf": -math.inf}) == {"nan": None, "inf": None}

    def test_numpy_scalars_convert_by_kind(self, docs):
        back = stored_payload(docs, {"b": np.bool_(True), "i": np.int64(-3), "f": np.float32(0.5)})
        assert back == {"b": True, "i": -3, "f": 0.5}
        assert isinstance(back["b"], bool) and isinstance(back["i"], int)

    def test_objects_convert_through_index_then_float_then_str(self, docs):
        class Indexed:
            def __index__(self):
                return 7

        class Floating:
            def __float__(self):
                return 2.5

        class Word(str):
            pass

        back = stored_payload(docs, {"d": Decimal("1.25"), "i": Indexed(), "f": Floating(),
                                     "w": Word("text"), "c": 1 + 2j})
        assert back == {"d": 1.25, "i": 7, "f": 2.5, "w": "text", "c": "(1+2j)"}

    def test_other_objects_are_stored_as_their_str(self, docs):
        assert stored_payload(docs, (1, 2)) == "(1, 2)"
        assert stored_payload(docs, {"set": {3}}) == {"set": "{3}"}

    def test_dict_with_non_str_key_is_a_type_error_and_stores_nothing(self, docs):
        with pytest.raises(TypeError):
            docs.upsert(1, [0, 0, 0], {1: "x"})
        assert docs.count == 0

    def test_exception_from_str_propagates(self, docs):
        class Unprintable:
            def __str__(self):
                raise ZeroDivisionError("no text")

        with pytest.raises(ZeroDivisionError, match="no text"):
            docs.upsert(1, [0, 0, 0], {"x": Unprintable()})
        assert docs.count == 0

    def test_nesting_is_limited_instead_of_overflowing_the_stack(self, docs):
        deep = current = []
        for _ in range(100_000):
            current.append([])
            current = current[0]
        with pytest.raises(ValueError, match="nesting"):
            docs.upsert(1, [0, 0, 0], deep)
        cyclic = {}
        cyclic["self"] = cyclic
        with pytest.raises(ValueError, match="nesting"):
            docs.upsert(1, [0, 0, 0], cyclic)
        ok = current = []
        for _ in range(100):
            current.append([])
            current = current[0]
        docs.upsert(1, [0, 0, 0], ok)
        assert docs.count == 1


class TestUpsert:
    def test_upsert_replaces_vector_and_drops_payload_when_none_is_given(self, docs):
        docs.upsert(1, [0, 0, 0], {"v": 1})
        docs.upsert(1, [5, 5, 5], None)
        assert docs.search([5, 5, 5], 5) == [{"id": 1, "distance": 0.0, "payload": None}]


class TestUpsertBatch:
    def test_mixed_entries(self, docs):
        docs.upsert_batch([(1, [1, 0, 0]), (2, [0, 1, 0], {"p": 2}), (3, [0, 0, 1], None)])
        payloads = {hit["id"]: hit["payload"] for hit in docs.search([0, 0, 0], 10)}
        assert payloads == {1: None, 2: {"p": 2}, 3: None}

    @pytest.mark.parametrize("bad", [[(1, [0, 0, 0]), [2, [0, 0, 0]]], [(1,)], [(1, [0, 0, 0], None, 4)]])
    def test_malformed_entry_writes_nothing(self, docs, bad):
        with pytest.raises(ValueError) as info:
            docs.upsert_batch(bad)
        assert str(info.value) == "each entry must be a tuple of (id, vector) or (id, vector, payload)"
        assert docs.count == 0

    def test_entries_must_be_a_list(self, docs):
        with pytest.raises(TypeError, match="entries"):
            docs.upsert_batch(((1, [0, 0, 0]),))
        assert docs.count == 0


class TestFilteredSearch:
    @pytest.fixture
    def library(self, docs):
        rows = [
            (1, [0, 0, 0], {"year": 2019, "lang": "en", "meta": {"pages": 10}}),
            (2, [1, 0, 0], {"year": 2020, "lang": "de"}),
            (3, [2, 0, 0], {"year": 2021, "lang": "en", "tags": ["a", "b"]}),
            (4, [3, 0, 0], None),
            (5, [4, 0, 0], {"year": 2022.0, "lang": None}),
        ]
        docs.upsert_batch(rows)
        return docs

    @pytest.mark.parametrize("condition, expected", [
        ({"year": {"$gte": 2020}}, [2, 3, 5]),
        ({"year": {"$eq": 2022}}, []),
        ({"lang": {"$in": ["de", "fr"]}}, [2]),
        ({"lang": {"$ne": "en"}}, [2, 5]),
        ({"meta.pages": {"$lt": 11}}, [1]),
        ({"tags": {"$eq": ["a", "b"]}}, [3]),
        ({"tags": {"$in": ["a"]}}, []),
        ({"$and": [{"lang": {"$eq": "en"}}, {"year": {"$gt": 2019}}]}, [3]),
        ({"$or": [{"year": {"$lt": 2020}}, {"lang": {"$eq": "de"}}]}, [1, 2]),
        ({"$and": []}, [1, 2, 3, 4, 5]),
        ({"$or": []}, []),
        ({"lang": {"$eq": math.nan}}, [5]),
    ])
    def test_filters(self, library, condition, expected):
        assert ids_of(library.search([0, 0, 0], 10, filter=condition)) == expected

    @pytest.mark.parametrize("condition, message", [
        ({}, "FilterCondition must be $and, $or, or a single field predicate"),
        ({"a": {"$eq": 1}, "b": {"$eq": 2}}, "FilterCondition must be $and, $or, or a single field predicate"),
        ({"a": 5}, "invalid type: integer `5`, expected string or map"),
        ({"a": {"$in": 5}}, "invalid type: integer `5`, expected a sequence"),
        ([1], "invalid type: sequence, expected a map"),
    ])
    def test_malformed_filters(self, library, condition, message):
        with pytest.raises(ValueError) as info:
            library.search([0, 0, 0], 3, filter=condition)
        assert str(info.value) == f"invalid filter: {message}"

    def test_filter_is_checked_before_the_collection_is_looked_up(self, tmp_path):
        client = tv.Client(str(tmp_path))
        docs = client.create_collection("docs", 3, "l2", "flat")
        client.delete_collection("docs")
        with pytest.raises(ValueError, match="invalid filter"):
            docs.search([0, 0, 0], 1, filter={})


def test_delete_reports_whether_the_id_was_there(tmp_path, docs):
    docs.upsert(1, [0, 0, 0], {"x": 1})
    assert docs.delete(1) is True
    assert docs.delete(1) is False
    assert docs.search([0, 0, 0], 5) == []
    assert tv.Client(str(tmp_path)).get_collection("docs").count == 0


def test_properties_and_repr(docs):
    docs.upsert_batch([(i, [i, 0, 0]) for i in range(4)])
    assert (docs.name, docs.count, docs.sparse_count) == ("docs", 4, 0)
    assert repr(docs) == 'Collection(name="docs", count=4)'


def test_same_handle_refuses_a_search_during_a_write(tmp_path):
    # Separate handles wait for each other instead (the concurrency stress test runs them).
    docs = tv.Client(str(tmp_path)).create_collection("docs", 32, "l2", "flat")
    rows = np.random.default_rng(0).random((20_000, 32), dtype=np.float32)
    entries = [(i, rows[i]) for i in range(len(rows))]
    errors, stop = [], threading.Event()

    def write_forever():
        while not stop.is_set():
            docs.upsert_batch(entries)

    writer = threading.Thread(target=write_forever)
    writer.start()
    try:
        deadline = time.time() + 10
        while not errors and time.time() < deadline:
            try:
                docs.search(rows[0], 1)
            except RuntimeError as error:
                errors.append(str(error))
    finally:
        stop.set()
        writer.join()
    assert errors and errors[0] == "Already mutably borrowed"

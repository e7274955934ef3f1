"""Child process of test_fault_injection.py: makes writes fail and checks what the Client does.

Usage: fault_writer.py DATA_DIR SCENARIO RESULT_JSON

The file size limit (RLIMIT_FSIZE, with SIGXFSZ ignored so a write past it fails with EFBIG
instead of killing the process) is lowered only after the collection is open and filled, and
only its soft value, so a scenario can lift it again. Each scenario asserts that every
failing operation raises OSError and changes nothing it should not, then writes the state the
collection must have after a reopen to RESULT_JSON.
"""

import errno
import json
import os
import resource
import signal
import sys

import tolvane_vector_db as tv
from writer_support import open_collection, state_of


def vector(i):
    return [float(i), float(i % 7), 0.5, -float(i % 3)]


def limit_file_size(size):
    resource.setrlimit(resource.RLIMIT_FSIZE, (size, resource.RLIM_INFINITY))


def lift_file_size_limit():
    resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))


def os_error_of(operation):
    try:
        operation()
    except OSError as error:
        return error
    return None


def raises_os_error(operation):
    return os_error_of(operation) is not None


def fill(collection, ids):
    collection.upsert_batch([(i, vector(i), {"n": i}) for i in ids])


def writes_fail_once_the_log_is_full(collection, data_dir):
    fill(collection, range(50))
    wal = os.path.join(data_dir, "c", "wal.log")
    limit_file_size(os.path.getsize(wal) + 300)
    acknowledged = 0
    next_id = 1000
    while not raises_os_error(lambda: collection.upsert(next_id, vector(next_id), {"n": next_id})):
        acknowledged += 1
        next_id += 1
        assert acknowledged < 100, "the size limit never took effect"
    assert acknowledged >= 1
    before = state_of(collection)
    assert next_id not in before, "a failed upsert reached the index"
    failing = {
        "upsert": lambda: collection.upsert(5, vector(99), {"changed": True}),
        "upsert_batch": lambda: collection.upsert_batch([(7000 + i, vector(i)) for i in range(30)]),
        "delete": lambda: collection.delete(3),
        "upsert_hybrid": lambda: collection.upsert_hybrid(6, vector(98), {1: 1.0}, None),
    }
    for name, operation in failing.items():
        assert raises_os_error(operation), f"{name} past the size limit did not raise OSError"
        assert state_of(collection) == before, f"a failed {name} changed the collection"
    assert collection.sparse_count == 0
    # With room again, writing resumes where the acknowledged frames end.
    lift_file_size_limit()
    collection.upsert(2000, vector(2000), {"n": 2000})
    collection.delete(4)
    return state_of(collection)


def batch_fails_whole_when_its_frames_do_not_fit(collection, data_dir):
    fill(collection, range(20))
    wal = os.path.join(data_dir, "c", "wal.log")
    before = state_of(collection)
    limit_file_size(os.path.getsize(wal) + 20000)
    big_batch = [(100 + i, vector(i), {"blob": "x" * 200}) for i in range(200)]
    assert raises_os_error(lambda: collection.upsert_batch(big_batch))
    assert state_of(collection) == before, "a failed batch changed the collection"
    lift_file_size_limit()
    return state_of(collection)


def snapshot_creation_fails_without_touching_the_collection(collection, data_dir):
    fill(collection, range(200))
    before = state_of(collection)
    limit_file_size(1000)
    assert raises_os_error(lambda: collection.create_snapshot("big"))
    assert state_of(collection) == before
    assert [s["name"] for s in collection.list_snapshots()] == []
    lift_file_size_limit()
    collection.create_snapshot("after")
    collection.delete(1)
    collection.restore_snapshot("after")
    assert state_of(collection) == before
    return before


def restore_fails_part_way_and_keeps_every_later_write(collection, data_dir):
    collection_dir = os.path.join(data_dir, "c")
    # An unknown key pads meta.json, so that the snapshot's copy of it is the largest file and
    # a size limit can let the log through and stop at meta.json.
    meta_path = os.path.join(collection_dir, "meta.json")
    with open(meta_path) as meta_file:
        meta = json.load(meta_file)
    meta["padding"] = "x" * 30000
    with open(meta_path, "w") as meta_file:
        json.dump(meta, meta_file)
    fill(collection, range(200))
    for name in ("full", "sparse_is_a_directory", "graph_is_a_directory"):
        collection.create_snapshot(name)
    snapshots = os.path.join(collection_dir, "snapshots")
    os.mkdir(os.path.join(snapshots, "sparse_is_a_directory", "sparse.bin"))
    os.mkdir(os.path.join(snapshots, "graph_is_a_directory", "hnsw.graph"))
    for i in range(150):
        collection.delete(i)
    collection.upsert(5000, vector(5000), None)
    snapshot_log = os.path.getsize(os.path.join(snapshots, "full", "wal.log"))
    attempts = [
        ("full", 1000, errno.EFBIG),  # stops while copying the log
        ("full", snapshot_log + 1000, errno.EFBIG),  # stops at meta.json, after the log
        ("sparse_is_a_directory", None, errno.EISDIR),
        ("graph_is_a_directory", None, errno.EISDIR),
    ]
    for n, (name, size_limit, expected_errno) in enumerate(attempts):
        before = state_of(collection)
        if size_limit:
            limit_file_size(size_limit)
        error = os_error_of(lambda: collection.restore_snapshot(name))
        lift_file_size_limit()
        assert error is not None and error.errno == expected_errno, (name, size_limit, error)
        assert state_of(collection) == before, f"a failed restore of {name} changed the collection"
        # Writes acknowledged after the failed restore must all be there after a reopen.
        collection.upsert(6000 + n, vector(6000 + n), {"after": name})
        collection.delete(150 + n)
    return state_of(collection)


def create_fails_without_leaving_a_torn_meta_json(collection, data_dir):
    client = tv.Client(data_dir)
    limit_file_size(100)
    error = os_error_of(lambda: client.create_collection("d", 4, "l2", "flat"))
    lift_file_size_limit()
    assert error is not None and error.errno == errno.EFBIG, error
    assert "d" not in client.list_collections()
    # The name is free: nothing half-written blocks it.
    client.create_collection("d", 4, "l2", "flat")
    assert client.delete_collection("d")
    return state_of(collection)


def compaction_failure_is_reported_after_the_write_is_applied(collection, data_dir):
    # Compaction writes wal.log.tmp; a directory in its place makes that fail.
    fill(collection, range(10))
    os.mkdir(os.path.join(data_dir, "c", "wal.log.tmp"))
    assert raises_os_error(lambda: collection.upsert(77, vector(77), {"n": 77}))
    state = state_of(collection)
    assert 77 in state, "the write before the failed compaction was not applied"
    os.rmdir(os.path.join(data_dir, "c", "wal.log.tmp"))
    collection.upsert(78, vector(78), None)
    return state_of(collection)


SCENARIOS = {f.__name__: f for f in [
    writes_fail_once_the_log_is_full,
    batch_fails_whole_when_its_frames_do_not_fit,
    snapshot_creation_fails_without_touching_the_collection,
    restore_fails_part_way_and_keeps_every_later_write,
    create_fails_without_leaving_a_torn_meta_json,
    compaction_failure_is_reported_after_the_write_is_applied,
]}


def main():
    data_dir, scenario, result_path = sys.argv[1:4]
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    collection = open_collection(data_dir)
    expected = SCENARIOS[scenario](collection, data_dir)
    with open(result_path, "w") as result:
        json.dump({str(k): v for k, v in expected.items()}, result)


if __name__ == "__main__":
    main()

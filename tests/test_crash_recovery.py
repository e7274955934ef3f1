"""A writer killed with SIGKILL at random points never costs an acknowledged write.

A child process (crash_writer.py) writes through a Client: single upserts, batches, deletes,
hybrid upserts, snapshot creation and restore, with a compaction threshold low enough that
compactions happen all the time. It is killed at a random moment; the test then reopens the
directory and requires the collection to be exactly the state of the acknowledged operations,
or that state with the one unacknowledged operation applied (for a batch: any prefix of it,
since its frames reach the file in order). Every run continues on the directory the previous
run left behind.
"""

import json
import math
import os
import random
import shutil
import signal
import sys
import time
from pathlib import Path

import tolvane_vector_db as tv
from writer_support import create_collection, kill_once_ready, open_collection, state_of

WRITER = Path(__file__).with_name("crash_writer.py")
# Iterations stop at whichever limit comes first.
MAX_ITERATIONS = int(os.environ.get("TVDB_CRASH_ITERATIONS", "400"))
TIME_BUDGET_SECONDS = float(os.environ.get("TVDB_CRASH_SECONDS", "45"))
COMPACT_THRESHOLD = 25


class Model:
    """The expected state: id -> (vector, payload, has_sparse), plus the snapshots."""

    def __init__(self):
        self.vectors = {}
        self.snapshots = {}

    def applied(self, op):
        """The states after each prefix of `op` (one state for anything but a batch)."""
        if op["k"] == "batch":
            states, state = [], dict(self.vectors)
            for entry_id, vector, payload in op["e"]:
                state = dict(state)
                upsert(state, entry_id, vector, payload, None)
                states.append(state)
            return states
        state = dict(self.vectors)
        if op["k"] == "upsert":
            upsert(state, op["id"], op["v"], op["p"], None)
        elif op["k"] == "hybrid":
            upsert(state, op["id"], op["v"], op["p"], op["s"])
        elif op["k"] == "delete":
            state.pop(op["id"], None)
        elif op["k"] == "restore":
            state = dict(self.snapshots[op["name"]])
        return [state]

    def acknowledge(self, op):
        if op["k"] == "snapshot":
            self.snapshots[op["name"]] = dict(self.vectors)
        else:
            self.vectors = self.applied(op)[-1]


def upsert(state, vector_id, vector, payload, sparse):
    # A sparse vector stays with its ID until the ID is deleted.
    had_sparse = state[vector_id][2] if vector_id in state else False
    state[vector_id] = (tuple(vector), payload, had_sparse or sparse is not None)


def read_journal(path):
    """(acknowledged operations, the operation in flight or None)."""
    done, in_flight = [], None
    for line in path.read_text().splitlines():
        if line.startswith("B "):
            try:
                in_flight = json.loads(line[2:])
            except json.JSONDecodeError:  # the line itself was cut by the kill
                in_flight = None
        elif line == "A" and in_flight is not None:
            done.append(in_flight)
            in_flight = None
    return done, in_flight


def matches(observed, sparse_count, expected):
    if set(observed) != set(expected):
        return False
    if sparse_count != sum(1 for _, _, has_sparse in expected.values() if has_sparse):
        return False
    for vector_id, (vector, payload, _) in expected.items():
        distance, seen_payload = observed[vector_id]
        norm = math.sqrt(sum(x * x for x in vector))
        if abs(distance - norm) > 1e-3 * max(1.0, norm) or seen_payload != payload:
            return False
    return True


def describe_difference(observed, sparse_count, expected):
    missing = sorted(set(expected) - set(observed))
    extra = sorted(set(observed) - set(expected))
    changed = sorted(i for i in set(expected) & set(observed)
                     if not matches({i: observed[i]}, 0, {i: (*expected[i][:2], False)}))
    sparse = sum(1 for _, _, has_sparse in expected.values() if has_sparse)
    return (f"[missing ids {missing[:10]}, unexpected ids {extra[:10]}, changed {changed[:10]}, "
            f"sparse {sparse_count} vs {sparse}]")


def run_writer_until_killed(data_dir, journal, seed, model, iteration, rng):
    returncode, stderr = kill_once_ready(
        [sys.executable, str(WRITER), str(data_dir), str(journal), str(seed),
         json.dumps(sorted(model.snapshots)), f"s{iteration}"],
        rng.choice([0.0, 0.001, 0.01]) + rng.random() * 0.08)
    assert returncode == -signal.SIGKILL, f"the writer failed on its own:\n{stderr}"


def test_killed_writer_loses_no_acknowledged_write_and_keeps_no_acknowledged_delete(tmp_path):
    data_dir = tmp_path / "data"
    create_collection(data_dir, COMPACT_THRESHOLD)
    model = Model()
    rng = random.Random(20261206)
    journal = tmp_path / "journal"
    started = time.monotonic()
    iterations = operations = in_flight_applied = 0
    while iterations < MAX_ITERATIONS and time.monotonic() - started < TIME_BUDGET_SECONDS:
        run_writer_until_killed(data_dir, journal, rng.randrange(1 << 30), model, iterations, rng)
        done, in_flight = read_journal(journal)
        for op in done:
            model.acknowledge(op)
        operations += len(done)

        reopened = open_collection(data_dir)
        observed, sparse_count = state_of(reopened), reopened.sparse_count
        candidates = [model.vectors]
        if in_flight is not None:
            candidates += model.applied(in_flight)
        hit = [i for i, state in enumerate(candidates) if matches(observed, sparse_count, state)]
        assert hit, (f"iteration {iterations}: reopened state is none of the possible ones "
                     f"(in flight: {in_flight}); sparse count {sparse_count}; "
                     + "; ".join(describe_difference(observed, sparse_count, state)
                                 for state in candidates))
        # Adopt what the reopened directory holds, so the next run starts from it.
        if hit[0] > 0:
            model.vectors = candidates[hit[0]]
            in_flight_applied += 1
        iterations += 1

    print(f"crash recovery: {iterations} kills, {operations} acknowledged operations, "
          f"{in_flight_applied} unacknowledged operations found applied")
    assert iterations >= 10


def test_the_log_alone_restores_every_sparse_vector_so_an_interrupted_restore_opens_whole(tmp_path):
    # A restore swaps the log before the snapshot's sparse.bin arrives and removes the live
    # sparse.bin before the log: whichever log a crash leaves, it must bring its own sparse
    # vectors without any sparse.bin.
    data_dir = tmp_path / "data"
    create_collection(data_dir, COMPACT_THRESHOLD)
    collection = open_collection(data_dir)
    for i in range(40):  # enough writes for several compactions, which write sparse.bin
        collection.upsert_hybrid(i, [float(i), 0.0, 1.0, 2.0], {i % 5: 1.0} if i % 3 else None)
    collection.upsert(1, [9.0, 9.0, 9.0, 9.0])  # keeps the sparse vector of 1
    collection.create_snapshot("snap")
    for i in range(0, 40, 2):
        collection.delete(i)
    collection.upsert_hybrid(100, [1.0, 1.0, 1.0, 1.0], {7: 2.0})
    live_sparse = collection.sparse_count
    del collection

    (data_dir / "c" / "sparse.bin").unlink(missing_ok=True)
    assert open_collection(data_dir).sparse_count == live_sparse

    snapshot = data_dir / "c" / "snapshots" / "snap"
    (data_dir / "c" / "wal.log").write_bytes((snapshot / "wal.log").read_bytes())
    (data_dir / "c" / "sparse.bin").unlink(missing_ok=True)
    assert open_collection(data_dir).sparse_count == sum(
        1 for i in range(40) if i % 3)


DELETER = """
import sys
import tolvane_vector_db as tv
client = tv.Client(sys.argv[1])
print("ready", flush=True)
client.delete_collection("c")
print("deleted", flush=True)
sys.stdin.read()
"""


def test_a_delete_killed_part_way_never_brings_the_collection_back(tmp_path):
    # Many snapshot files make the removal take long enough for kills to land inside it.
    template = tmp_path / "template"
    create_collection(template)
    collection = open_collection(template)
    collection.upsert_batch([(i, [float(i), 0.0, 1.0, 2.0]) for i in range(30)])
    for n in range(60):
        collection.create_snapshot(f"s{n}")
    del collection
    rng = random.Random(20261207)
    started = time.monotonic()
    kills = outcomes_deleted = 0
    while kills < 3 or (kills < 20 and time.monotonic() - started < TIME_BUDGET_SECONDS / 4):
        data_dir = tmp_path / f"run{kills}"
        shutil.copytree(template, data_dir, symlinks=True)
        kill_once_ready([sys.executable, "-c", DELETER, str(data_dir)], rng.random() * 0.02)
        client = tv.Client(str(data_dir))
        if "c" in client.list_collections():
            # Not deleted yet: whole, with every snapshot.
            assert client.get_collection("c").count == 30
            assert len(client.get_collection("c").list_snapshots()) == 60
        else:
            # Deleted: nothing of it is left that a new collection of the name could adopt.
            assert sorted(p.name for p in data_dir.iterdir()) == []
            outcomes_deleted += 1
        kills += 1
    print(f"delete kills: {kills}, {outcomes_deleted} found deleted")

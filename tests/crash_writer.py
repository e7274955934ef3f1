"""Child process of test_crash_recovery.py: writes through a Client until it is killed.

Usage: crash_writer.py DATA_DIR JOURNAL SEED SNAPSHOT_NAMES_JSON NAME_PREFIX

Before each operation a line "B <json>" describing it goes to the journal, after it returns
a line "A"; both are written straight to the file, so they survive SIGKILL. "ready" on
stdout tells the parent that the client is open and writing starts.
"""

import json
import random
import sys

from writer_support import DIMENSIONS, open_collection

ID_SPACE = 120


def random_vector(rng):
    return [round(rng.uniform(-4.0, 4.0), 3) for _ in range(DIMENSIONS)]


def random_payload(rng, op_number):
    choice = rng.random()
    if choice < 0.3:
        return None
    return {"op": op_number, "tag": rng.choice(["a", "b", "c"])}


def next_operation(rng, op_number, snapshots, name_prefix):
    roll = rng.random()
    if roll < 0.35:
        return {"k": "upsert", "id": rng.randrange(ID_SPACE), "v": random_vector(rng),
                "p": random_payload(rng, op_number)}
    if roll < 0.55:
        entries = [[rng.randrange(ID_SPACE), random_vector(rng), random_payload(rng, op_number)]
                   for _ in range(rng.randint(1, 40))]
        return {"k": "batch", "e": entries}
    if roll < 0.75:
        return {"k": "delete", "id": rng.randrange(ID_SPACE)}
    if roll < 0.92:
        sparse = None
        if rng.random() < 0.8:
            sparse = {str(rng.randrange(50)): round(rng.uniform(0.1, 2.0), 3)
                      for _ in range(rng.randint(1, 4))}
        return {"k": "hybrid", "id": rng.randrange(ID_SPACE), "v": random_vector(rng),
                "s": sparse, "p": random_payload(rng, op_number)}
    if roll < 0.97 or not snapshots:
        return {"k": "snapshot", "name": f"{name_prefix}_{op_number}"}
    return {"k": "restore", "name": rng.choice(snapshots)}


def run(collection, op, snapshots):
    kind = op["k"]
    if kind == "upsert":
        collection.upsert(op["id"], op["v"], op["p"])
    elif kind == "batch":
        collection.upsert_batch([(i, v, p) for i, v, p in op["e"]])
    elif kind == "delete":
        collection.delete(op["id"])
    elif kind == "hybrid":
        sparse = None if op["s"] is None else {int(k): w for k, w in op["s"].items()}
        collection.upsert_hybrid(op["id"], op["v"], sparse, op["p"])
    elif kind == "snapshot":
        collection.create_snapshot(op["name"])
        snapshots.append(op["name"])
    elif kind == "restore":
        collection.restore_snapshot(op["name"])


def main():
    data_dir, journal_path, seed, snapshot_json, name_prefix = sys.argv[1:6]
    rng = random.Random(int(seed))
    snapshots = json.loads(snapshot_json)
    collection = open_collection(data_dir)
    with open(journal_path, "w", buffering=1) as journal:
        print("ready", flush=True)
        op_number = 0
        while True:
            op = next_operation(rng, op_number, snapshots, name_prefix)
            journal.write("B " + json.dumps(op) + "\n")
            run(collection, op, snapshots)
            journal.write("A\n")
            op_number += 1


if __name__ == "__main__":
    main()

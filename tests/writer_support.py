"""What the crash, fault and stress tests share: the collection written, its state, killing a child."""

import json
import subprocess
import time

import tolvane_vector_db as tv

DIMENSIONS = 4


def create_collection(data_dir, compact_threshold=None, dimensions=DIMENSIONS, index_type="flat"):
    tv.Client(str(data_dir)).create_collection("c", dimensions, "l2", index_type)
    if compact_threshold is not None:
        meta_path = data_dir / "c" / "meta.json"
        meta = json.loads(meta_path.read_text())
        meta["wal_compact_threshold"] = compact_threshold
        meta_path.write_text(json.dumps(meta, indent=2))


def open_collection(data_dir):
    return tv.Client(str(data_dir)).get_collection("c")


def state_of(collection):
    """id -> [distance from the origin, payload] of every record the collection holds."""
    hits = collection.search([0.0] * DIMENSIONS, collection.count + 10)
    assert len(hits) == collection.count
    return {hit["id"]: [round(hit["distance"], 4), hit["payload"]] for hit in hits}


def kill_once_ready(command, pause):
    """(exit code, stderr) of `command`, killed `pause` seconds after it prints "ready"."""
    with subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True) as child:
        ready = child.stdout.readline().strip() == "ready"
        if ready:
            time.sleep(pause)
        child.kill()
        stderr = child.communicate()[1]
    assert ready, stderr
    return child.returncode, stderr

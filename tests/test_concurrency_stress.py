"""Threads searching while others write, compact and snapshot: no crash, no deadlock, no torn hit.

Every vector is a function of (id, generation) and carries the payload {"id", "gen"} it was
written with, so a hit whose payload and distance come from different writes, or from
another ID, is caught. Searches go through one shared Collection handle (two threads) and
through a handle of their own; writers, the hybrid writer and the snapshot thread each hold
their own handle, as a handle that is being written through refuses other callers.
"""

import math
import os
import random
import threading
import time

import tolvane_vector_db as tv
from writer_support import create_collection

DURATION_SECONDS = float(os.environ.get("TVDB_STRESS_SECONDS", "8"))
DIMENSIONS = 8
ID_SPACE = 400


def vector_of(vector_id, generation):
    return [((vector_id * 31 + generation * 7 + d * 13) % 97) / 8.0 for d in range(DIMENSIONS)]


def check_hits(hits, query, k):
    assert len(hits) <= k
    distances = [hit["distance"] for hit in hits]
    assert distances == sorted(distances), "hits are not nearest first"
    assert len({hit["id"] for hit in hits}) == len(hits), "an ID appears twice"
    for hit in hits:
        payload = hit["payload"]
        assert payload is not None and payload["id"] == hit["id"], f"foreign payload {hit}"
        expected = math.dist(query, vector_of(hit["id"], payload["gen"]))
        assert abs(hit["distance"] - expected) <= 1e-4 * max(1.0, expected), (
            f"torn hit: distance {hit['distance']} is not that of the vector written with "
            f"payload {payload} ({expected})")


class Worker(threading.Thread):
    def __init__(self, name, body, stop):
        super().__init__(name=name, daemon=True)
        self.body, self.stop, self.operations, self.error = body, stop, 0, None

    def run(self):
        rng = random.Random(self.name)
        try:
            while not self.stop.is_set():
                self.body(rng)
                self.operations += 1
        except BaseException as error:  # reported by the test, with the thread's name
            self.error = error
            self.stop.set()


def test_searches_stay_whole_while_others_upsert_delete_compact_and_snapshot(tmp_path):
    data_dir = str(tmp_path / "data")
    # Compactions (with hnsw.graph saves) run throughout.
    create_collection(tmp_path / "data", 300, DIMENSIONS, "hnsw")

    client = tv.Client(data_dir)
    seed = client.get_collection("c")
    seed.upsert_batch([(i, vector_of(i, 0), {"id": i, "gen": 0}) for i in range(ID_SPACE)])
    shared = client.get_collection("c")
    generation = iter(range(1, 1 << 62))
    snapshots = []

    def search_through(handle):
        def body(rng):
            query = vector_of(rng.randrange(ID_SPACE), rng.randrange(50))
            k = rng.choice([1, 5, 20])
            if rng.random() < 0.3:
                hits = handle.search(query, k, {"gen": {"$gte": 0}})
            else:
                hits = handle.search(query, k)
            check_hits(hits, query, k)
            assert handle.count >= 0
        return body

    def write(handle):
        def body(rng):
            roll = rng.random()
            if roll < 0.5:
                i, gen = rng.randrange(ID_SPACE), next(generation)
                handle.upsert(i, vector_of(i, gen), {"id": i, "gen": gen})
            elif roll < 0.75:
                gen = next(generation)
                ids = [rng.randrange(ID_SPACE) for _ in range(rng.randint(1, 30))]
                handle.upsert_batch([(i, vector_of(i, gen), {"id": i, "gen": gen}) for i in ids])
            else:
                handle.delete(rng.randrange(ID_SPACE))
        return body

    def write_hybrid(handle):
        def body(rng):
            i, gen = rng.randrange(ID_SPACE), next(generation)
            handle.upsert_hybrid(i, vector_of(i, gen), {rng.randrange(20): 1.0}, {"id": i, "gen": gen})
            hits = handle.search_hybrid(vector_of(i, gen), {rng.randrange(20): 1.0}, 5)
            for hit in hits:
                assert hit["payload"] is not None and hit["payload"]["id"] == hit["id"]
        return body

    def snapshot(handle):
        def body(rng):
            roll = rng.random()
            if roll < 0.5 or not snapshots:
                name = f"s{len(snapshots)}"
                handle.create_snapshot(name)
                snapshots.append(name)
            elif roll < 0.8:
                handle.restore_snapshot(rng.choice(snapshots))
            else:
                names = [s["name"] for s in handle.list_snapshots()]
                assert set(names) <= set(snapshots)
            time.sleep(0.02)
        return body

    stop = threading.Event()
    workers = [
        Worker("search-shared-1", search_through(shared), stop),
        Worker("search-shared-2", search_through(shared), stop),
        Worker("search-own", search_through(client.get_collection("c")), stop),
        Worker("writer", write(client.get_collection("c")), stop),
        Worker("hybrid-writer", write_hybrid(client.get_collection("c")), stop),
        Worker("snapshots", snapshot(client.get_collection("c")), stop),
    ]
    for worker in workers:
        worker.start()
    stop.wait(DURATION_SECONDS)
    stop.set()
    for worker in workers:
        worker.join(timeout=60)
        assert not worker.is_alive(), f"{worker.name} is stuck (deadlock?)"
    for worker in workers:
        assert worker.error is None, f"{worker.name}: {worker.error!r}"
    print("stress:", {worker.name: worker.operations for worker in workers})
    assert all(worker.operations > 0 for worker in workers)

    live = shared.count
    check_hits(shared.search(vector_of(1, 1), live + 5), vector_of(1, 1), live + 5)
    del client, shared, seed, workers
    reopened = tv.Client(data_dir).get_collection("c")
    assert reopened.count == live

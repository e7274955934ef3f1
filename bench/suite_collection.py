"""Persistent collections: write throughput, filtered search and reopen time.

Every write goes through the log before the index, so the figures that matter are what the
log and the payloads add on top of the index alone, and how fast a collection comes back.
Everything is timed in CPU time of the calling thread (user and system, the log's writes
included), which stays meaningful when other processes share the machine.
"""

from __future__ import annotations

import json
import shutil
import tempfile
import time
from pathlib import Path

import numpy as np

import tolvane_vector_db as tv

BATCH = 1000


def _payload(i: int) -> dict:
    return {"category": i % 10, "title": f"doc-{i}", "score": (i % 100) / 10.0}


def _entries(base: np.ndarray) -> list[list[tuple]]:
    rows = [(i, base[i], _payload(i)) for i in range(len(base))]
    return [rows[s:s + BATCH] for s in range(0, len(rows), BATCH)]


def _fill(collection, batches) -> float:
    start = time.thread_time()
    for batch in batches:
        collection.upsert_batch(batch)
    return time.thread_time() - start


def _reopen_seconds(path: Path) -> float:
    start = time.thread_time()
    client = tv.Client(str(path))
    elapsed = time.thread_time() - start
    del client
    return elapsed


def run(h) -> str:
    if not hasattr(tv, "Client"):
        return "## Collections\n\nThe Client class is not built; nothing measured.\n"
    ds = h.clustered_dataset()
    n, dim = ds.base.shape
    k = h.SETTINGS["k"]
    batches = _entries(ds.base)
    work = Path(tempfile.mkdtemp(prefix="tvdb_bench_collection_"))
    lines = []
    try:
        client = tv.Client(str(work / "flat"))
        flat = client.create_collection("flat", dim, "l2", "flat")
        flat_seconds = _fill(flat, batches)
        flat_rate = n / flat_seconds
        lines.append(f"- upsert_batch (batches of {BATCH}, numpy rows, small dict payloads) into a flat "
                     f"collection: **{flat_rate:,.0f} vectors/s** (target >= 300,000)")

        single = client.create_collection("single", dim, "l2", "flat")
        count = min(n, 20_000)
        start = time.thread_time()
        for i in range(count):
            single.upsert(i, ds.base[i], _payload(i))
        lines.append(f"- single upsert into a flat collection: {(time.thread_time() - start) / count * 1e6:.1f} us per call")

        queries = ds.queries[:200]
        start = time.thread_time()
        for q in queries:
            flat.search(q, k)
        plain = (time.thread_time() - start) / len(queries)
        selective = {"category": {"$eq": 3}}
        start = time.thread_time()
        for q in queries:
            flat.search(q, k, filter=selective)
        filtered = (time.thread_time() - start) / len(queries)
        lines.append(f"- flat collection search k={k}: {plain * 1e3:.2f} ms unfiltered, {filtered * 1e3:.2f} ms "
                     f"with a 10%-selective filter ({filtered / plain:.2f}x)")
        del flat, single, client

        index = tv.HnswIndex(dim, "l2")
        start = time.thread_time()
        for i in range(n):
            index.add(i, ds.base[i])
        alone = time.thread_time() - start
        del index

        hnsw_dir = work / "hnsw"
        client = tv.Client(str(hnsw_dir))
        client.create_collection("hnsw", dim, "l2", "hnsw")
        del client
        # The last write of the fill compacts, which saves hnsw.graph for exactly the live
        # vectors (with the default threshold that happens at 50,000 and 100,000 writes).
        meta_path = hnsw_dir / "hnsw" / "meta.json"
        meta = json.loads(meta_path.read_text())
        meta["wal_compact_threshold"] = n
        meta_path.write_text(json.dumps(meta, indent=2))
        client = tv.Client(str(hnsw_dir))
        hnsw = client.get_collection("hnsw")
        collection_seconds = _fill(hnsw, batches)
        recall = h.recall_at_k([h.ids_of(hnsw.search(q, k)) for q in ds.queries[:200]],
                               h.ground_truth(ds, "l2")[:200])
        del hnsw, client
        lines.append(f"- hnsw collection upsert_batch: {collection_seconds:.1f} s against {alone:.1f} s for "
                     f"HnswIndex.add alone: **{collection_seconds / alone:.2f}x** (target <= 1.2x); "
                     f"recall@{k} {recall:.3f}")

        with_graph = _reopen_seconds(hnsw_dir)
        (hnsw_dir / "hnsw" / "hnsw.graph").unlink()
        rebuild = _reopen_seconds(hnsw_dir)
        lines.append(f"- reopen of the hnsw collection: {with_graph:.2f} s with its matching hnsw.graph, "
                     f"{rebuild:.1f} s rebuilding from the log: **{rebuild / with_graph:.1f}x faster** (target >= 5x)")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return (f"## Collections ({n:,} x {dim} clustered, small JSON payloads; CPU time of the calling thread)\n\n" + h.machine_line() + "\n\n"
            + "\n".join(lines) + "\n")

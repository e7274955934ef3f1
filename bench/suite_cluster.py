"""Sharded collections: one collection against the same data on 2 shards of a local Ray cluster.

Shards work in other processes, so everything here is wall-clock time; on a machine shared
with other work the figures move with its load. The merge overhead is the coordinator's own
CPU time to merge the shards' answers, measured apart from the round trips.
"""

from __future__ import annotations

import os
import shutil
import tempfile
import time
from pathlib import Path

import numpy as np

import tolvane_vector_db as tv

BATCH = 10_000
SHARDS = 2
SINGLE_QUERIES = 200


def _insert_seconds(collection, base: np.ndarray) -> float:
    start = time.perf_counter()
    for s in range(0, len(base), BATCH):
        collection.upsert_arrays(np.arange(s, min(s + BATCH, len(base))), base[s:s + BATCH])
    return time.perf_counter() - start


def _measure(h, collection, ds, k: int, truth: np.ndarray) -> dict:
    figures = {"insert": _insert_seconds(collection, ds.base)}
    start = time.perf_counter()
    answers = collection.search_batch(ds.queries, k)
    figures["batch_qps"] = len(ds.queries) / (time.perf_counter() - start)
    start = time.perf_counter()
    for q in ds.queries[:SINGLE_QUERIES]:
        collection.search(q, k)
    figures["latency_ms"] = (time.perf_counter() - start) / SINGLE_QUERIES * 1e3
    figures["recall"] = h.recall_at_k([h.ids_of(hits) for hits in answers], truth)
    return figures


def _merge_microseconds(sharded, queries: np.ndarray, k: int) -> float:
    import ray
    from tolvane_cluster.merge import merge_hits

    per_shard = ray.get([a.call.remote("search_batch", queries, k) for a in sharded.shard_actors()])
    start = time.process_time()
    for answers in zip(*per_shard):
        merge_hits(list(answers), k)
    return (time.process_time() - start) / len(queries) * 1e6


def run(h) -> str:
    try:
        import ray
        import tolvane_cluster
    except ImportError:
        return "## Sharded collections\n\nRay is not installed; nothing measured.\n"
    ds = h.clustered_dataset()
    n, dim = ds.base.shape
    k = h.SETTINGS["k"]
    truth = h.ground_truth(ds, "l2")
    work = Path(tempfile.mkdtemp(prefix="tvdb_bench_cluster_"))
    started_ray = not ray.is_initialized()
    try:
        single = tv.Client(str(work / "single")).create_collection("docs", dim, "l2", "hnsw")
        alone = _measure(h, single, ds, k, truth)
        del single
        if started_ray:
            os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
            ray.init(num_cpus=os.cpu_count(), include_dashboard=False, log_to_driver=False,
                     object_store_memory=400 * 2**20)
        cluster = tolvane_cluster.connect(root=str(work / "cluster"))
        sharded = cluster.create_collection("docs", dim, "l2", "hnsw", shards=SHARDS)
        spread = _measure(h, sharded, ds, k, truth)
        merge_us = _merge_microseconds(sharded, ds.queries, k)
        cluster.close()
    finally:
        if started_ray and ray.is_initialized():
            ray.shutdown()
        shutil.rmtree(work, ignore_errors=True)

    rows = [
        ("insert (upsert_arrays, batches of 10k)", f"{n / alone['insert']:,.0f} vectors/s",
         f"{n / spread['insert']:,.0f} vectors/s", h.fmt_ratio(alone["insert"], spread["insert"])),
        (f"search_batch ({len(ds.queries)} queries, k={k})", f"{alone['batch_qps']:,.0f} q/s",
         f"{spread['batch_qps']:,.0f} q/s", h.fmt_ratio(spread["batch_qps"], alone["batch_qps"])),
        ("one search per call", f"{alone['latency_ms']:.3f} ms", f"{spread['latency_ms']:.3f} ms",
         h.fmt_ratio(alone["latency_ms"], spread["latency_ms"])),
        (f"recall@{k}", f"{alone['recall']:.3f}", f"{spread['recall']:.3f}", ""),
    ]
    table = h.markdown_table(["", "one collection", f"{SHARDS} shards", "speed-up with shards"], rows)
    return (f"## Sharded collections ({n:,} x {dim} clustered, hnsw, l2; wall-clock time)\n\n"
            f"{h.machine_line()}; {SHARDS} shard actors on one local Ray node.\n\n{table}\n\n"
            f"Merging the shards' answers costs the coordinator {merge_us:.0f} us of CPU per query "
            f"(top-{k} of {SHARDS} x {k} hits); the rest of the gap in one-search latency is the "
            f"round trip to the shard processes.\n")

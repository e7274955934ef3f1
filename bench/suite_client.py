"""Persistent collections: tolvane Client against Chroma's embedded PersistentClient.

Both store the same vectors with the same small payloads on disk and answer the same queries:
batch insertion throughput, unfiltered and filtered single-query latency with recall@10 against
exact search, and the time to reopen the data directory and answer a first query. The demo's
own summary table (examples/demo.py, run on a scratch directory) follows.
"""

from __future__ import annotations

import gc
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import tolvane_vector_db as tv

BATCH = 1000
CATEGORIES = 10
FILTER_CATEGORY = "c3"
DEMO = Path(__file__).resolve().parent.parent / "examples" / "demo.py"


def _payload(i: int) -> dict:
    return {"category": f"c{i % CATEGORIES}", "year": 2000 + i % 25}


def _filtered_truth(ds, k: int) -> list[np.ndarray]:
    mask = np.arange(len(ds.base)) % CATEGORIES == int(FILTER_CATEGORY[1:])
    rows = np.flatnonzero(mask)
    base = ds.base[rows].astype(np.float64)
    norms = (base * base).sum(axis=1)
    truth = []
    for q in ds.queries:
        scores = norms - 2.0 * (base @ q.astype(np.float64))
        top = np.argpartition(scores, k)[:k]
        truth.append(rows[top[np.argsort(scores[top])]])
    return truth


def _ours(h, ds, truth, filtered_truth, k, directory):
    n = len(ds.base)
    client = tv.Client(directory)
    docs = client.create_collection("bench", ds.base.shape[1], "l2", "hnsw")
    started = time.perf_counter()
    for start in range(0, n, BATCH):
        docs.upsert_batch([(i, ds.base[i], _payload(i)) for i in range(start, min(n, start + BATCH))])
    insert = n / (time.perf_counter() - started)
    plain_ms, answers = h.median_latency(lambda q: h.ids_of(docs.search(q, k)), ds.queries)
    plain_recall = h.recall_at_k(answers, truth)
    where = {"category": {"$eq": FILTER_CATEGORY}}
    filtered_ms, answers = h.median_latency(
        lambda q: h.ids_of(docs.search(q, k, filter=where)), ds.queries)
    filtered_recall = h.recall_at_k(answers, np.array(filtered_truth))
    del docs, client
    gc.collect()
    started = time.perf_counter()
    reopened = tv.Client(directory).get_collection("bench")
    reopened.search(ds.queries[0], k)
    reopen = time.perf_counter() - started
    return ["tolvane Client (hnsw)", insert, plain_ms, plain_recall, filtered_ms, filtered_recall, reopen]


def _chroma(h, ds, truth, filtered_truth, k, directory):
    import chromadb
    from chromadb.config import Settings

    n = len(ds.base)
    settings = Settings(anonymized_telemetry=False)
    client = chromadb.PersistentClient(path=directory, settings=settings)
    docs = client.create_collection("bench", metadata={"hnsw:space": "l2"})
    batch = min(BATCH, client.get_max_batch_size())
    started = time.perf_counter()
    for start in range(0, n, batch):
        ids = range(start, min(n, start + batch))
        docs.add(ids=[str(i) for i in ids], embeddings=ds.base[start:start + len(ids)],
                 metadatas=[_payload(i) for i in ids])
    insert = n / (time.perf_counter() - started)

    def search(q, where=None):
        answer = docs.query(query_embeddings=[q], n_results=k, where=where, include=[])
        return [int(i) for i in answer["ids"][0]]

    plain_ms, answers = h.median_latency(search, ds.queries)
    plain_recall = h.recall_at_k(answers, truth)
    filtered_ms, answers = h.median_latency(
        lambda q: search(q, {"category": FILTER_CATEGORY}), ds.queries)
    filtered_recall = h.recall_at_k(answers, np.array(filtered_truth))
    del docs, client
    gc.collect()
    started = time.perf_counter()
    reopened = chromadb.PersistentClient(path=directory, settings=settings).get_collection("bench")
    reopened.query(query_embeddings=[ds.queries[0]], n_results=k, include=[])
    reopen = time.perf_counter() - started
    return ["Chroma PersistentClient", insert, plain_ms, plain_recall, filtered_ms, filtered_recall, reopen]


def _demo_table(n: int) -> str:
    with tempfile.TemporaryDirectory() as directory:
        run = subprocess.run([sys.executable, str(DEMO), "--data", directory, "--docs", str(n)],
                             capture_output=True, text=True, check=False)
    if run.returncode != 0:
        return f"demo failed:\n\n```\n{run.stderr[-2000:]}\n```"
    lines = run.stdout.splitlines()
    start = next((i for i, line in enumerate(lines) if line.startswith("step")), len(lines))
    return "```\n" + "\n".join(lines[start:]) + "\n```"


def run(h) -> str:
    ds = h.clustered_dataset()
    k = h.SETTINGS["k"]
    truth = h.ground_truth(ds, "l2")
    filtered_truth = _filtered_truth(ds, k)
    rows = []
    scratch = Path(tempfile.mkdtemp(prefix="tvdb-bench-client-"))
    try:
        ours = _ours(h, ds, truth, filtered_truth, k, str(scratch / "ours"))
        rows.append(ours)
        theirs = None
        try:
            theirs = _chroma(h, ds, truth, filtered_truth, k, str(scratch / "chroma"))
            rows.append(theirs)
        except ImportError:
            rows.append(["Chroma PersistentClient", "not installed", "", "", "", "", ""])
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    table = h.markdown_table(
        ["system", "insert vectors/s", "search ms (median)", "recall@10", "filtered ms",
         "filtered recall@10", "reopen + first query s"], rows)
    lines = ["## Persistent collections (Client) against Chroma", "", table, ""]
    if theirs is not None:
        lines += [
            f"- insertion throughput: **{h.fmt_ratio(ours[1], theirs[1])}** of Chroma's",
            f"- filtered search latency: **{h.fmt_ratio(ours[4], theirs[4])}** of Chroma's "
            f"(filter `category == {FILTER_CATEGORY}`, 10% of the vectors)",
            f"- reopen time: **{h.fmt_ratio(ours[6], theirs[6])}** of Chroma's",
            "- Index parameters are each system's defaults (tolvane: m 12, ef_construction 200, "
            "ef_search 50; Chroma: M 16, construction_ef 100, search_ef 100). A filtered search "
            "returns min(k, matching vectors) hits (see the section on filtered search).",
            "",
        ]
    lines += ["### examples/demo.py", "", _demo_table(len(ds.base))]
    return "\n".join(lines)

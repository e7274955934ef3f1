"""Shared benchmark harness: one dataset, one ground truth, one way to time and measure.

Every suite runs its system and the peers on the same data in one process, so the ratios in
the report compare like with like.
"""

from __future__ import annotations

import gc
import os
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Iterable, Sequence

import numpy as np

CACHE_DIR = Path(__file__).resolve().parent / ".cache"
RESULTS_DIR = Path(__file__).resolve().parent / "results"
REPORT_PATH = Path(__file__).resolve().parent / "REPORT.md"
# PNG figures sit beside the report; a quick run sends them and the results to the cache.
FIGURES_DIR = REPORT_PATH.parent

# Overridden by run.py from the command line.
SETTINGS = {"n": 100_000, "dim": 128, "queries": 1_000, "k": 10, "quick": False}


@dataclass
class Dataset:
    base: np.ndarray  # (n, dim) float32, C-contiguous
    queries: np.ndarray  # (q, dim) float32, not copies of base rows
    name: str


def clustered_dataset(n: int | None = None, dim: int | None = None,
                      n_queries: int | None = None, n_clusters: int = 100,
                      seed: int = 20261206) -> Dataset:
    """A seeded mixture of Gaussian clusters, cached on disk.

    Cluster centres are spread widely and points scatter around them with per-cluster spread,
    which is what real embeddings look like to an ANN index (dense regions, empty space
    between). Queries are drawn from the same mixture, so none is a copy of a base vector.
    """
    n = n or SETTINGS["n"]
    dim = dim or SETTINGS["dim"]
    n_queries = n_queries or SETTINGS["queries"]
    name = f"clustered-{n}x{dim}-q{n_queries}-c{n_clusters}-s{seed}"
    path = CACHE_DIR / f"{name}.npz"
    if path.exists():
        data = np.load(path)
        return Dataset(data["base"], data["queries"], name)
    rng = np.random.default_rng(seed)
    centres = rng.normal(0.0, 1.0, size=(n_clusters, dim)).astype(np.float32)
    spreads = rng.uniform(0.15, 0.45, size=n_clusters).astype(np.float32)

    def draw(count: int) -> np.ndarray:
        labels = rng.integers(0, n_clusters, size=count)
        noise = rng.normal(0.0, 1.0, size=(count, dim)).astype(np.float32)
        return np.ascontiguousarray(centres[labels] + noise * spreads[labels, None], dtype=np.float32)

    base = draw(n)
    queries = draw(n_queries)
    CACHE_DIR.mkdir(parents=True, exist_ok=True)
    np.savez(path, base=base, queries=queries)
    return Dataset(base, queries, name)


def ground_truth(ds: Dataset, metric: str = "l2", k: int | None = None) -> np.ndarray:
    """Exact k nearest base IDs (row numbers) for every query, cached on disk."""
    k = k or SETTINGS["k"]
    path = CACHE_DIR / f"{ds.name}-gt-{metric}-k{k}.npy"
    if path.exists():
        return np.load(path)
    base = ds.base.astype(np.float64)
    answers = np.empty((len(ds.queries), k), dtype=np.int64)
    if metric == "cosine":
        base = base / np.maximum(np.linalg.norm(base, axis=1, keepdims=True), 1e-30)
    base_norms = (base * base).sum(axis=1)
    for start in range(0, len(ds.queries), 256):
        q = ds.queries[start:start + 256].astype(np.float64)
        if metric == "l2":
            scores = base_norms[None, :] - 2.0 * q @ base.T
        elif metric == "cosine":
            scores = -(q @ base.T)
        elif metric == "dot_product":
            scores = -(q @ base.T)
        else:
            raise ValueError(metric)
        top = np.argpartition(scores, k, axis=1)[:, :k]
        order = np.take_along_axis(scores, top, axis=1).argsort(axis=1)
        answers[start:start + 256] = np.take_along_axis(top, order, axis=1)
    CACHE_DIR.mkdir(parents=True, exist_ok=True)
    np.save(path, answers)
    return answers


def recall_at_k(found: Sequence[Sequence[int]], truth: np.ndarray, k: int | None = None) -> float:
    """Mean fraction of the true k nearest found among the first k answers."""
    k = k or SETTINGS["k"]
    hits = 0
    for answer, expected in zip(found, truth):
        hits += len(set(int(i) for i in list(answer)[:k]) & set(int(i) for i in expected[:k]))
    return hits / (len(truth) * k)


def timed(fn: Callable[[], object]) -> tuple[float, object]:
    """Seconds taken by one call, and its result."""
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def cpu_timed(fn: Callable[[], object]) -> tuple[float, object]:
    """CPU seconds of the calling thread for one call: for single-threaded work on a shared
    machine. Multi-threaded builds are timed with `timed` (wall clock)."""
    start = time.thread_time()
    result = fn()
    return time.thread_time() - start, result


def run_queries(search: Callable[[np.ndarray], Iterable[int]], queries: np.ndarray,
                warmup: int = 20) -> tuple[float, list[list[int]]]:
    """Single-threaded, one query per call, as users call it. Returns (queries/s, answers).

    Timed in CPU time of the calling thread: the search runs on that thread alone, and CPU
    time stays meaningful when other processes share the machine (memory stalls count, time
    spent descheduled does not).
    """
    for q in queries[:warmup]:
        search(q)
    answers: list[list[int]] = []
    start = time.thread_time()
    for q in queries:
        answers.append(list(search(q)))
    elapsed = max(time.thread_time() - start, 1e-9)
    return len(queries) / elapsed, answers


def median_latency(search: Callable[[np.ndarray], Iterable[int]], queries: np.ndarray,
                   warmup: int = 20) -> tuple[float, list[list[int]]]:
    """Median wall milliseconds of one query per call, and the answers: for systems that
    answer on helper threads, whose work the calling thread's CPU time would not show."""
    for q in queries[:warmup]:
        search(q)
    answers: list[list[int]] = []
    latencies = []
    for q in queries:
        started = time.perf_counter()
        answers.append(list(search(q)))
        latencies.append(time.perf_counter() - started)
    return float(np.median(latencies) * 1e3), answers


def ids_of(hits: list[dict]) -> list[int]:
    """IDs of a tolvane search answer (a list of dicts)."""
    return [hit["id"] for hit in hits]


def rss_bytes() -> int:
    """Resident set size of this process."""
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE")


def memory_of(build: Callable[[], object]) -> tuple[int, object]:
    """RSS growth caused by building an object that stays alive (bytes), and the object.

    Measured around the build of one object at a time in a process that has already loaded
    the dataset and the libraries, so the growth is the index's own footprint.
    """
    gc.collect()
    before = rss_bytes()
    built = build()
    gc.collect()
    return max(0, rss_bytes() - before), built


def qps_at_recall(points: Iterable[tuple[float, float]], target: float) -> float | None:
    """Queries/s at a recall, interpolated linearly between measured (recall, queries/s)
    points; the first point's when every point is above the target, None when none reaches it."""
    points = sorted(points)
    for (r0, q0), (r1, q1) in zip(points, points[1:]):
        if r0 <= target <= r1:
            return q0 if r1 == r0 else q0 + (q1 - q0) * (target - r0) / (r1 - r0)
    if points and points[0][0] >= target:
        return points[0][1]
    return None


def fmt_ratio(ours: float, theirs: float) -> str:
    return "n/a" if not theirs else f"{ours / theirs:.2f}x"


def markdown_table(headers: Sequence[str], rows: Iterable[Sequence[object]]) -> str:
    def cell(value: object) -> str:
        if isinstance(value, float):
            return f"{value:,.4g}" if abs(value) < 1000 else f"{value:,.0f}"
        return str(value)

    lines = ["| " + " | ".join(headers) + " |", "|" + "---|" * len(headers)]
    for row in rows:
        lines.append("| " + " | ".join(cell(v) for v in row) + " |")
    return "\n".join(lines)


def machine_line() -> str:
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{os.cpu_count()} cores, {cpu}"

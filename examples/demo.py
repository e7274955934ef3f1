"""A persistent collection of 100,000 documents on ./data, end to end.

The first run builds the collection: every document gets a 128-dimensional embedding, a JSON
payload (category, year, title) and a sparse keyword vector, written through the
write-ahead log. Later runs reopen the collection instead of rebuilding it. Each run then
measures dense, filtered and hybrid search (with recall@10 against exact search), takes and
restores a snapshot, reopens the client to show that everything persisted, and prints a
summary table.

    make demo                       # or: PYTHONPATH=build/python python examples/demo.py
    python examples/demo.py --fresh # throw the collection away and build it again
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import time
from dataclasses import dataclass

import numpy as np

import tolvane_vector_db as tv

DATA_DIR = "./data"
COLLECTION = "articles"
N_DOCS = 100_000
DIM = 128
N_QUERIES = 200
K = 10
SEED = 2026
INDEX_TYPE = "hnsw"

CATEGORIES = ["science", "sports", "politics", "technology", "health", "arts", "business", "travel"]
TOPICS_PER_CATEGORY = 8
VOCABULARY = 20_000
KEYWORDS_PER_TOPIC = 40
YEARS = (1995, 2025)
ADJECTIVES = ["Quiet", "Bold", "Hidden", "Rising", "Lasting", "New", "Broken", "Open", "Early", "Final"]
NOUNS = ["Frontier", "Season", "Question", "Market", "Signal", "Journey", "Record", "Pattern", "Shift", "Voice"]


@dataclass
class Corpus:
    vectors: np.ndarray      # (N_DOCS, DIM) float32, unit length
    topics: np.ndarray       # topic of each document
    years: np.ndarray
    keywords: list[dict[int, float]]
    topic_centres: np.ndarray
    topic_keywords: np.ndarray  # (topics, KEYWORDS_PER_TOPIC) keyword ids

    def payload(self, i: int) -> dict:
        topic = int(self.topics[i])
        return {
            "category": CATEGORIES[topic // TOPICS_PER_CATEGORY],
            "year": int(self.years[i]),
            "title": f"{ADJECTIVES[i % 10]} {NOUNS[(i // 10) % 10]} #{i} ({topic % TOPICS_PER_CATEGORY})",
        }


def configure(docs: int, index_type: str, data_dir: str) -> None:
    global N_DOCS, INDEX_TYPE, DATA_DIR
    N_DOCS, INDEX_TYPE, DATA_DIR = docs, index_type, data_dir


def unit_rows(rows: np.ndarray) -> np.ndarray:
    return (rows / np.linalg.norm(rows, axis=1, keepdims=True)).astype(np.float32)


def make_corpus() -> Corpus:
    """Deterministic: every run sees the same documents and queries."""
    rng = np.random.default_rng(SEED)
    n_topics = len(CATEGORIES) * TOPICS_PER_CATEGORY
    category_centres = rng.standard_normal((len(CATEGORIES), DIM))
    topic_centres = unit_rows(np.repeat(category_centres, TOPICS_PER_CATEGORY, axis=0)
                              + 0.8 * rng.standard_normal((n_topics, DIM)))
    topics = rng.integers(0, n_topics, N_DOCS)
    noise = rng.standard_normal((N_DOCS, DIM)).astype(np.float32)
    vectors = unit_rows(topic_centres[topics] + 0.09 * noise)
    years = rng.integers(YEARS[0], YEARS[1] + 1, N_DOCS)
    topic_keywords = np.stack([rng.choice(VOCABULARY, KEYWORDS_PER_TOPIC, replace=False)
                               for _ in range(n_topics)])
    keywords = []
    for topic in topics:
        own = rng.choice(topic_keywords[topic], 4, replace=False)
        other = rng.integers(0, VOCABULARY, 2)
        weights = np.round(rng.uniform(0.2, 1.0, 6), 3)
        keywords.append({int(term): float(w) for term, w in zip(np.concatenate([own, other]), weights)})
    return Corpus(vectors, topics, years, keywords, topic_centres, topic_keywords)


def make_queries(corpus: Corpus):
    rng = np.random.default_rng(SEED + 1)
    topics = rng.integers(0, len(corpus.topic_centres), N_QUERIES)
    noise = rng.standard_normal((N_QUERIES, DIM))
    dense = unit_rows(corpus.topic_centres[topics] + 0.09 * noise)
    sparse = [{int(t): 1.0 for t in rng.choice(corpus.topic_keywords[topic], 2, replace=False)}
              for topic in topics]
    return dense, sparse, topics


def progress(done: int, total: int, started: float) -> None:
    width = 36
    filled = width * done // total
    elapsed = time.perf_counter() - started
    rate = done / elapsed if elapsed > 0 else 0.0
    eta = (total - done) / rate if rate > 0 else 0.0
    bar = "#" * filled + "-" * (width - filled)
    sys.stdout.write(f"\r  [{bar}] {done:>7,}/{total:,}  {rate:8,.0f} docs/s  eta {eta:5.1f}s")
    if done == total:
        sys.stdout.write("\n")
    sys.stdout.flush()


def build(client: tv.Client, corpus: Corpus) -> float:
    articles = client.create_collection(COLLECTION, DIM, metric="cosine", index_type=INDEX_TYPE)
    print(f"Inserting {N_DOCS:,} documents (dense + payload + sparse keywords) into {articles!r}")
    started = time.perf_counter()
    for i in range(N_DOCS):
        articles.upsert_hybrid(i, corpus.vectors[i], corpus.keywords[i], corpus.payload(i))
        if (i + 1) % 1000 == 0 or i + 1 == N_DOCS:
            progress(i + 1, N_DOCS, started)
    return time.perf_counter() - started


def exact_top_k(corpus: Corpus, query: np.ndarray, mask: np.ndarray | None = None) -> set[int]:
    distances = 1.0 - corpus.vectors @ query
    if mask is not None:
        distances = np.where(mask, distances, np.inf)
    top = np.argpartition(distances, K)[:K]
    return {int(i) for i in top if np.isfinite(distances[i])}


def timed(calls) -> tuple[list, float]:
    """Runs the calls one by one; returns their results and the median latency in ms."""
    results, latencies = [], []
    for call in calls:
        started = time.perf_counter()
        results.append(call())
        latencies.append(time.perf_counter() - started)
    return results, float(np.median(latencies) * 1e3)


def recall(found: list[list[dict]], truth: list[set[int]]) -> float:
    hits = sum(len({h["id"] for h in f} & t) for f, t in zip(found, truth))
    return hits / max(1, sum(len(t) for t in truth))


def directory_size(path: str) -> int:
    return sum(os.path.getsize(os.path.join(root, name))
               for root, _, names in os.walk(path) for name in names)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--fresh", action="store_true", help="rebuild the collection from scratch")
    parser.add_argument("--docs", type=int, default=N_DOCS, help="corpus size (default 100000)")
    parser.add_argument("--index-type", default="hnsw", help="index kind of the collection")
    parser.add_argument("--data", default=DATA_DIR, help="data directory (default ./data)")
    args = parser.parse_args()
    configure(args.docs, args.index_type, args.data)
    rows: list[tuple[str, str]] = []

    print("Generating the corpus ...")
    corpus = make_corpus()
    dense_queries, sparse_queries, query_topics = make_queries(corpus)

    if args.fresh and os.path.isdir(os.path.join(DATA_DIR, COLLECTION)):
        shutil.rmtree(os.path.join(DATA_DIR, COLLECTION))
    started = time.perf_counter()
    client = tv.Client(DATA_DIR)
    open_seconds = time.perf_counter() - started
    existing = client.get_collection(COLLECTION) if COLLECTION in client.list_collections() else None
    if existing is not None and existing.count != N_DOCS:
        print(f"Found an incomplete collection ({existing.count:,} vectors): rebuilding it")
        client.delete_collection(COLLECTION)
        existing = None
    if existing is None:
        seconds = build(client, corpus)
        rows.append((f"build: insert {N_DOCS:,} hybrid docs", f"{seconds:7.1f} s  ({N_DOCS / seconds:,.0f} docs/s)"))
    else:
        print(f"Reopened {existing!r} from {DATA_DIR} in {open_seconds:.2f} s (no rebuild)")
        rows.append(("reopen existing collection", f"{open_seconds:7.2f} s"))
    articles = client.get_collection(COLLECTION)
    assert articles.count == N_DOCS and articles.sparse_count == N_DOCS

    # Dense search against exact search.
    print("Searching ...")
    truth = [exact_top_k(corpus, q) for q in dense_queries]
    dense_hits, dense_ms = timed([lambda q=q: articles.search(q, K) for q in dense_queries])
    dense_recall = recall(dense_hits, truth)
    rows.append(("dense search, k=10", f"{dense_ms:7.3f} ms  recall@10 {dense_recall:.3f}"))

    # Filtered: the query's own category, published from 2010 on.
    filters, filtered_truth = [], []
    for q, topic in zip(dense_queries, query_topics):
        category = CATEGORIES[topic // TOPICS_PER_CATEGORY]
        filters.append({"$and": [{"category": {"$eq": category}}, {"year": {"$gte": 2010}}]})
        mask = (corpus.topics // TOPICS_PER_CATEGORY == topic // TOPICS_PER_CATEGORY) & (corpus.years >= 2010)
        filtered_truth.append(exact_top_k(corpus, q, mask))
    filtered_hits, filtered_ms = timed(
        [lambda q=q, f=f: articles.search(q, K, filter=f) for q, f in zip(dense_queries, filters)])
    assert all(h["payload"]["year"] >= 2010 for hits in filtered_hits for h in hits)
    filtered_recall = recall(filtered_hits, filtered_truth)
    rows.append(("filtered search (category, year)", f"{filtered_ms:7.3f} ms  recall@10 {filtered_recall:.3f}"))

    # Hybrid: the same queries plus two keywords of their topic.
    hybrid_hits, hybrid_ms = timed(
        [lambda q=q, s=s: articles.search_hybrid(q, s, K) for q, s in zip(dense_queries, sparse_queries)])

    def keyword_share(results):
        matched = sum(any(t in corpus.keywords[h["id"]] for t in s)
                      for hits, s in zip(results, sparse_queries) for h in hits)
        return matched / sum(len(hits) for hits in results)

    rows.append(("hybrid search (dense 0.7 + sparse 0.3)",
                 f"{hybrid_ms:7.3f} ms  keyword hits {keyword_share(hybrid_hits):.0%} "
                 f"(dense only {keyword_share(dense_hits):.0%})"))
    top = hybrid_hits[0][0]
    print(f"  hybrid top hit: {top['payload']['title']!r} ({top['payload']['category']}, "
          f"{top['payload']['year']}) score={top['score']:.3f} dense={top['dense_distance']:.3f} "
          f"sparse={top['sparse_score']:.3f}")

    # Snapshot, change things, restore.
    print("Snapshot and restore ...")
    if any(s["name"] == "baseline" for s in articles.list_snapshots()):
        articles.delete_snapshot("baseline")
    started = time.perf_counter()
    info = articles.create_snapshot("baseline")
    snapshot_seconds = time.perf_counter() - started
    late = np.random.default_rng(SEED + 2).standard_normal((1000, DIM)).astype(np.float32)
    articles.upsert_batch([(N_DOCS + i, late[i], {"category": "late", "year": 2026, "title": "late"})
                           for i in range(1000)])
    for i in range(0, 500):
        articles.delete(i)
    changed = articles.count
    started = time.perf_counter()
    articles.restore_snapshot("baseline")
    restore_seconds = time.perf_counter() - started
    assert articles.count == N_DOCS and articles.search(late[0], 1)[0]["id"] < N_DOCS
    assert articles.search(corpus.vectors[0], 1)[0]["id"] == 0
    print(f"  snapshot {info['name']!r}: {info['vector_count']:,} vectors, {info['sparse_count']:,} sparse; "
          f"count {N_DOCS:,} -> {changed:,} -> restored {articles.count:,}")
    rows.append(("snapshot create", f"{snapshot_seconds:7.2f} s"))
    rows.append(("snapshot restore", f"{restore_seconds:7.2f} s"))

    # Reopen: everything written is still there.
    before = articles.search(dense_queries[0], K)
    del articles, client
    started = time.perf_counter()
    client = tv.Client(DATA_DIR)
    articles = client.get_collection(COLLECTION)
    reopen_seconds = time.perf_counter() - started
    assert articles.count == N_DOCS and articles.search(dense_queries[0], K) == before
    print(f"  reopened: {articles!r}, snapshots {[s['name'] for s in articles.list_snapshots()]}")
    rows.append((f"reopen client ({N_DOCS:,} vectors)", f"{reopen_seconds:7.2f} s"))
    rows.append(("data directory on disk", f"{directory_size(DATA_DIR) / 2**20:7.1f} MiB"))

    width = max(len(name) for name, _ in rows)
    print()
    print(f"{'step'.ljust(width)}  result")
    print(f"{'-' * width}  {'-' * 44}")
    for name, value in rows:
        print(f"{name.ljust(width)}  {value}")


if __name__ == "__main__":
    main()

"""One workload of the speed targets at a time, for a sampling profiler.

    perf record -g -o hnsw.data -- python bench/profile_workloads.py hnsw-search
    perf report -i hnsw.data --stdio --no-children | grep -v '^$' | head -40

Each workload prepares its data first (cached under bench/.cache/profile), then repeats the
measured call for about --seconds, so the samples come mostly from the call itself.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import harness  # noqa: E402
import tolvane_vector_db as tv  # noqa: E402

PROFILE_DIR = harness.CACHE_DIR / "profile"
M = 12
EF_CONSTRUCTION = 200


def _repeat(call, seconds: float) -> int:
    deadline = time.perf_counter() + seconds
    count = 0
    while time.perf_counter() < deadline:
        call()
        count += 1
    return count


def _hnsw_index(ds) -> tv.HnswIndex:
    path = PROFILE_DIR / f"{ds.name}-hnsw.bin"
    if path.exists():
        return tv.HnswIndex.load(str(path))
    index = tv.HnswIndex(ds.base.shape[1], "l2", ef_construction=EF_CONSTRUCTION, m=M)
    index.add_batch_parallel(ds.base, num_threads=2)
    PROFILE_DIR.mkdir(parents=True, exist_ok=True)
    index.save(str(path))
    return index


def hnsw_search(args) -> None:
    ds = harness.clustered_dataset(n=args.n, dim=args.dim)
    index = _hnsw_index(ds)
    queries = ds.queries

    def one_pass():
        for q in queries:
            index.search(q, 10, ef_search=args.ef)

    print("passes", _repeat(one_pass, args.seconds))


def hnsw_build(args) -> None:
    ds = harness.clustered_dataset(n=args.n, dim=args.dim)

    def build():
        index = tv.HnswIndex(ds.base.shape[1], "l2", ef_construction=EF_CONSTRUCTION, m=M)
        index.add_batch_parallel(ds.base, num_threads=2)

    print("builds", _repeat(build, args.seconds))


def mmap_scan(args) -> None:
    ds = harness.clustered_dataset(n=args.n, dim=args.dim)
    path = PROFILE_DIR / f"{ds.name}.tvec"
    if not path.exists():
        PROFILE_DIR.mkdir(parents=True, exist_ok=True)
        writer = tv.MmapFlatIndex(ds.base.shape[1], "l2", str(path))
        writer.add_batch_np(ds.base)
        writer.flush()
        del writer
    index = tv.MmapFlatIndex(ds.base.shape[1], "l2", str(path))
    if args.kind == "flat":
        index = tv.FlatIndex(ds.base.shape[1], "l2")
        index.add_batch_np(ds.base)

    def one_pass():
        for q in ds.queries[:100]:
            index.search(q, 10)

    print("passes", _repeat(one_pass, args.seconds))


def reopen(args) -> None:
    ds = harness.clustered_dataset(n=args.n, dim=args.dim)
    directory = PROFILE_DIR / f"{ds.name}-collection"
    if not directory.exists():
        client = tv.Client(str(directory))
        docs = client.create_collection("docs", ds.base.shape[1], "l2", "hnsw")
        docs.upsert_batch([(i, ds.base[i], {"category": i % 10, "title": f"doc-{i}"})
                           for i in range(len(ds.base))])
        client.close()
    query = ds.queries[0]

    def open_and_query():
        client = tv.Client(str(directory))
        client.get_collection("docs").search(query, 10)
        client.close()

    print("reopens", _repeat(open_and_query, args.seconds))


WORKLOADS = {"hnsw-search": hnsw_search, "hnsw-build": hnsw_build, "mmap-scan": mmap_scan,
             "reopen": reopen}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("workload", choices=sorted(WORKLOADS))
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--ef", type=int, default=80, help="ef_search of hnsw-search")
    parser.add_argument("--kind", choices=("mmap", "flat"), default="mmap", help="index of mmap-scan")
    parser.add_argument("--seconds", type=float, default=20.0)
    args = parser.parse_args()
    WORKLOADS[args.workload](args)
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Builds a FlatIndex, searches it, saves and loads it, with timings."""

import os
import time

import numpy as np

import tolvane_vector_db as tv


def main() -> None:
    rng = np.random.default_rng(7)
    n, dim = 100_000, 128
    data = rng.standard_normal((n, dim), dtype=np.float32)
    queries = rng.standard_normal((100, dim), dtype=np.float32)

    index = tv.FlatIndex(dim, "l2")
    start = time.perf_counter()
    index.add_batch_np(data)
    build = time.perf_counter() - start

    start = time.perf_counter()
    for q in queries:
        index.search(q, 10)
    per_query = (time.perf_counter() - start) / len(queries)

    os.makedirs("data", exist_ok=True)
    path = os.path.join("data", "flat_demo.bin")
    start = time.perf_counter()
    index.save(path)
    save = time.perf_counter() - start
    start = time.perf_counter()
    loaded = tv.FlatIndex.load(path)
    load = time.perf_counter() - start
    assert loaded.search(queries[0], 10) == index.search(queries[0], 10)

    print(repr(loaded))
    print(f"insert {n} x {dim}: {build * 1e3:8.1f} ms")
    print(f"search (k=10):     {per_query * 1e3:8.2f} ms per query")
    print(f"save:              {save * 1e3:8.1f} ms  ({os.path.getsize(path) / 2**20:.1f} MiB)")
    print(f"load:              {load * 1e3:8.1f} ms")


if __name__ == "__main__":
    main()

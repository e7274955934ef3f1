"""Prints `sha256  name` for every kind of file the module writes, from fixed input.

A refactoring that changes no behaviour leaves every line of the output unchanged: compare
the output of two builds with diff. Run with the built module on PYTHONPATH:

    PYTHONPATH=build/python python tools/file_hashes.py --fixtures DIR > hashes.txt

Kinds whose files depend on random draws (HNSW levels, k-means seeds) are written once into
the fixtures directory (kept between runs, so create it with one build and reuse it with
the next); each run loads them, saves them again and hashes the copy, saying whether it is
byte for byte the file it loaded (an IVF file need not be: it holds maps in their own order). The "created_at" value of snapshot.json is the clock, so
it is blanked before hashing.
"""

import argparse
import hashlib
import json
import pathlib
import re
import shutil
import sys
import tempfile

import numpy as np

import tolvane_vector_db as tv

DIM = 16
COUNT = 300


def rows(count=COUNT, dim=DIM, seed=7):
    return np.random.default_rng(seed).standard_normal((count, dim)).astype(np.float32)


def sha(path):
    return hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest()


def emit(name, digest):
    print(f"{digest}  {name}")


def emit_tree(prefix, directory):
    for path in sorted(p for p in pathlib.Path(directory).rglob("*") if p.is_file()):
        name = f"{prefix}/{path.relative_to(directory)}"
        data = path.read_bytes()
        if path.name == "snapshot.json":
            data = re.sub(rb'"created_at": \d+', b'"created_at": 0', data)
        emit(name, hashlib.sha256(data).hexdigest())


def filled(cls, metric, *args):
    index = cls(DIM, metric, *args)
    data = rows()
    index.add_batch_np(data, start_id=10)
    index.add(5, data[3].tolist())
    for vid in (11, 40, 77):
        index.delete(vid)
    return index


DETERMINISTIC = [tv.FlatIndex, tv.QuantizedFlatIndex, tv.Fp16FlatIndex, tv.BinaryFlatIndex]


def deterministic_indexes(out):
    for cls in DETERMINISTIC:
        for metric in ("l2", "cosine", "dot_product"):
            index = filled(cls, metric)
            path = out / f"{cls.__name__}-{metric}.bin"
            index.save(str(path))
            emit(path.name, sha(path))
            emit(f"{path.name} (pickle state)", hashlib.sha256(index.__getstate__()).hexdigest())
    mmap_path = out / "MmapFlatIndex.tvec"
    index = filled(tv.MmapFlatIndex, "cosine", str(mmap_path))
    index.flush()
    del index
    emit(mmap_path.name, sha(mmap_path))


def random_indexes(fixtures, out):
    makers = {
        "HnswIndex": lambda: filled(tv.HnswIndex, "l2", 64, 32, 8),
        "IvfIndex": lambda: filled(tv.IvfIndex, "cosine", 8, 3, 100),
        "IvfPqIndex": lambda: filled(tv.IvfPqIndex, "l2", 8, 3, 100, 4, 16),
    }
    for name, make in makers.items():
        fixture = fixtures / f"{name}.bin"
        if not fixture.exists():
            make().save(str(fixture))
        copy = out / f"{name}.bin"
        getattr(tv, name).load(str(fixture)).save(str(copy))
        same = copy.read_bytes() == fixture.read_bytes()
        emit(f"{name}.bin load-save ({'identical' if same else 'reordered'})", sha(copy))


def write_collection(client, name, index_type):
    collection = client.create_collection(name, DIM, "cosine", index_type)
    data = rows(seed=11)
    for i in range(40):
        payload = {"n": i, "tag": "even" if i % 2 == 0 else "odd"} if i % 3 else None
        collection.upsert(i, data[i].tolist(), payload=payload)
    collection.upsert_batch([(100 + i, data[40 + i].tolist(), {"b": i}) for i in range(20)])
    collection.upsert_hybrid(200, data[60].tolist(), {3: 0.5, 9: 1.25}, {"h": True})
    collection.upsert_hybrid_batch([(201 + i, data[61 + i].tolist(), {i: 1.0}) for i in range(5)])
    collection.upsert_arrays(np.arange(300, 310, dtype=np.uint64), data[70:80], [{"a": i} for i in range(10)])
    collection.delete(3)
    collection.delete_batch([4, 5, 999])
    collection.delete_where({"tag": {"$eq": "odd"}})
    collection.update_payload(6, {"changed": [1, 2.5, "x", None]})
    return collection


def collections(fixtures, out):
    data_dir = out / "data"
    client = tv.Client(str(data_dir))
    for index_type in ("flat", "quantized_flat", "fp16_flat", "binary_flat", "mmap_flat", "ivf", "ivf_pq"):
        collection = write_collection(client, f"c_{index_type}", index_type)
        collection.create_snapshot("s1")
        collection.upsert(500, rows(1, seed=3)[0].tolist(), {"after": 1})
        collection.restore_snapshot("s1")
    client.close()
    # A low compaction threshold, set by hand, makes the next writes compact the log and
    # write sparse.bin.
    meta_path = data_dir / "c_flat" / "meta.json"
    meta = json.loads(meta_path.read_text())
    meta["wal_compact_threshold"] = 5
    meta_path.write_text(json.dumps(meta, indent=2))
    client = tv.Client(str(data_dir))
    compacting = client.get_collection("c_flat")
    for vid in (7, 8, 9, 10, 12, 13):
        compacting.delete(vid)
    client.close()
    emit_tree("collections", data_dir)

    # An HNSW collection draws levels on every insert: the fixture is written once; each run
    # deletes from a copy (no draws), compacts and snapshots it.
    fixture = fixtures / "hnsw-collection"
    if not fixture.exists():
        client = tv.Client(str(fixture))
        write_collection(client, "c_hnsw", "hnsw")
        client.close()
        meta_path = fixture / "c_hnsw" / "meta.json"
        meta = json.loads(meta_path.read_text())
        meta["wal_compact_threshold"] = 60
        meta_path.write_text(json.dumps(meta, indent=2))
    hnsw_dir = out / "hnsw-data"
    shutil.copytree(fixture, hnsw_dir)
    client = tv.Client(str(hnsw_dir))
    collection = client.get_collection("c_hnsw")
    collection.create_snapshot("s1")
    for vid in (0, 1, 2, 100, 101):
        collection.delete(vid)
    collection.create_snapshot("s2")
    client.close()
    emit_tree("hnsw-collection", hnsw_dir)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--fixtures", required=True, type=pathlib.Path)
    args = parser.parse_args()
    args.fixtures.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as temp:
        out = pathlib.Path(temp)
        deterministic_indexes(out)
        random_indexes(args.fixtures, out)
        collections(args.fixtures, out)
    return 0


if __name__ == "__main__":
    sys.exit(main())

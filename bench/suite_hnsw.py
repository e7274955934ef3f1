"""Graph search: HnswIndex against hnswlib and faiss IndexHNSWFlat, M = 12, ef_construction = 200."""

from __future__ import annotations

import os
import resource
import struct
import tempfile

import numpy as np

import tolvane_vector_db as tv

M = 12
EF_CONSTRUCTION = 200
EF_SEARCH = (10, 20, 50, 100, 200)
BUILD_THREADS = 2
# Offset of ef_search in the standalone file: dimension u64, metric u32, ef_construction u64.
EF_SEARCH_OFFSET = 8 + 4 + 8
DELETE_FRACTION = 0.3
DELETE_SEED = 7
DELETE_EF = (50, 100)


def run(h) -> str:
    ds = h.clustered_dataset()
    truth = h.ground_truth(ds, "l2")
    k = h.SETTINGS["k"]
    n, dim = ds.base.shape
    curves: dict[str, list[tuple[int, float, float]]] = {}
    builds: dict[str, tuple[float, float]] = {}
    memory: dict[str, float] = {}

    ours = _measure_ours(h, ds, truth, k)
    curves["tolvane HnswIndex"], builds["tolvane HnswIndex"], memory["tolvane HnswIndex"] = ours
    for name, measure in (("hnswlib", _measure_hnswlib), ("faiss IndexHNSWFlat", _measure_faiss)):
        try:
            curves[name], builds[name], memory[name] = measure(h, ds, truth, k)
        except ImportError:
            pass

    rows = []
    for name, curve in curves.items():
        for ef, recall, qps in curve:
            rows.append([name, ef, recall, qps])
    table = h.markdown_table(["system", "ef_search", "recall@10", "queries/s"], rows)
    build_rows = [[name, builds[name][0], builds[name][1], memory[name] / n] for name in curves]
    build_table = h.markdown_table(
        ["system", f"build s ({BUILD_THREADS} threads, wall)", "build CPU s (all threads)",
         "bytes/vector"], build_rows)

    lines = ["## HNSW graph search", "",
             f"M = {M}, ef_construction = {EF_CONSTRUCTION}, k = {k}; queries one at a time on "
             "one thread. Our ef_search is fixed at construction, so one saved build is loaded "
             "once per ef_search with that field patched.", "", table, "", build_table, ""]
    peer = "hnswlib"
    if peer in curves:
        for target in (0.90, 0.95):
            ours_qps, peer_qps = (h.qps_at_recall([(recall, qps) for _, recall, qps in curves[name]], target)
                                  for name in ("tolvane HnswIndex", peer))
            lines.append(f"- queries/s at recall {target:.2f} vs {peer}: "
                         f"**{_ratio(h, ours_qps, peer_qps)}** "
                         f"({_fmt(ours_qps)} against {_fmt(peer_qps)})")
        lines.append(f"- build time with {BUILD_THREADS} threads vs {peer}: "
                     f"**{h.fmt_ratio(builds['tolvane HnswIndex'][0], builds[peer][0])}** "
                     f"(CPU time over all threads: "
                     f"{h.fmt_ratio(builds['tolvane HnswIndex'][1], builds[peer][1])})")
        lines.append(f"- memory per vector vs {peer}: "
                     f"**{h.fmt_ratio(memory['tolvane HnswIndex'], memory[peer])}**")
    lines += ["", *_deletion_section(h, ds, k)]
    return "\n".join(lines) + "\n"


def _deletion_section(h, ds, k) -> list[str]:
    """Recall over the survivors once 30 % of the vectors are deleted: ours removes and
    repairs, hnswlib only marks (its marked nodes stay in the graph as waypoints)."""
    n, dim = ds.base.shape
    deleted = np.random.default_rng(DELETE_SEED).choice(n, size=int(n * DELETE_FRACTION), replace=False)
    survivors = np.setdiff1d(np.arange(n), deleted)
    kept = h.Dataset(np.ascontiguousarray(ds.base[survivors]), ds.queries,
                     f"{ds.name}-kept{DELETE_SEED}-{int(DELETE_FRACTION * 100)}")
    truth = survivors[h.ground_truth(kept, "l2", k)]

    curves: dict[str, list[tuple[int, float, float]]] = {}
    per_delete: dict[str, float] = {}
    ours = tv.HnswIndex(dim, "l2", ef_construction=EF_CONSTRUCTION, m=M)
    ours.add_batch_parallel(ds.base, num_threads=BUILD_THREADS)
    seconds, _ = h.timed(lambda: [ours.delete(int(i)) for i in deleted])
    per_delete["tolvane HnswIndex"] = seconds / len(deleted)
    curves["tolvane HnswIndex, deleted and repaired"] = [
        (ef, *_recall_and_qps(h, lambda q, ef=ef: h.ids_of(ours.search(q, k, ef_search=ef)), ds, truth))
        for ef in DELETE_EF]
    del ours

    fresh = tv.HnswIndex(dim, "l2", ef_construction=EF_CONSTRUCTION, m=M)
    fresh.add_batch_parallel(kept.base, num_threads=BUILD_THREADS)
    curves["tolvane HnswIndex, fresh build of the survivors"] = [
        (ef, *_recall_and_qps(h, lambda q, ef=ef: survivors[h.ids_of(fresh.search(q, k, ef_search=ef))],
                              ds, truth))
        for ef in DELETE_EF]
    del fresh

    try:
        import hnswlib
    except ImportError:
        hnswlib = None
    if hnswlib is not None:
        peer = hnswlib.Index(space="l2", dim=dim)
        peer.init_index(max_elements=n, ef_construction=EF_CONSTRUCTION, M=M)
        peer.add_items(ds.base, np.arange(n), num_threads=BUILD_THREADS)
        peer.set_num_threads(1)
        seconds, _ = h.timed(lambda: [peer.mark_deleted(int(i)) for i in deleted])
        per_delete["hnswlib mark_deleted"] = seconds / len(deleted)

        def peer_search(q, ef):
            peer.set_ef(ef)
            return peer.knn_query(q, k=k)[0][0]

        curves["hnswlib, marked deleted"] = [
            (ef, *_recall_and_qps(h, lambda q, ef=ef: peer_search(q, ef), ds, truth)) for ef in DELETE_EF]
        del peer

    rows = [[name, ef, recall, qps] for name, curve in curves.items() for ef, recall, qps in curve]
    lines = ["## HNSW after deletions", "",
             f"The same data and parameters (M = {M}, ef_construction = {EF_CONSTRUCTION}, "
             f"k = {k}); {int(DELETE_FRACTION * 100)} % of the vectors, chosen at random, are "
             "deleted, and recall is measured against the exact neighbours among the survivors.",
             "", h.markdown_table(["system", "ef_search", "recall@10", "queries/s"], rows), ""]
    for name, seconds in per_delete.items():
        lines.append(f"- {name}: {seconds * 1e6:,.1f} µs per deletion")
    ours_curve = curves["tolvane HnswIndex, deleted and repaired"]
    peer_curve = curves.get("hnswlib, marked deleted")
    if peer_curve:
        for (ef, ours_recall, _), (_, peer_recall, _) in zip(ours_curve, peer_curve):
            lines.append(f"- recall@10 after deletions at ef_search = {ef}: **{ours_recall:.4f}** "
                         f"against hnswlib's {peer_recall:.4f} (target: at least hnswlib's)")
    return lines


def _recall_and_qps(h, search, ds, truth):
    qps, answers = h.run_queries(search, ds.queries)
    return h.recall_at_k(answers, truth), qps


def _measure_ours(h, ds, truth, k):
    n, dim = ds.base.shape

    def build():
        index = tv.HnswIndex(dim, "l2", ef_construction=EF_CONSTRUCTION, ef_search=EF_SEARCH[0], m=M)
        seconds = _wall_and_cpu(h, lambda: index.add_batch_parallel(ds.base, num_threads=BUILD_THREADS))
        return index, seconds

    mem, (index, build_seconds) = h.memory_of(build)
    curve = []
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "hnsw.bin")
        index.save(path)
        del index
        saved = bytearray(open(path, "rb").read())
        for ef in EF_SEARCH:
            struct.pack_into("<Q", saved, EF_SEARCH_OFFSET, ef)
            patched = os.path.join(tmp, f"hnsw-ef{ef}.bin")
            with open(patched, "wb") as f:
                f.write(saved)
            loaded = tv.HnswIndex.load(patched)
            qps, answers = h.run_queries(lambda q: h.ids_of(loaded.search(q, k)), ds.queries)
            curve.append((ef, h.recall_at_k(answers, truth), qps))
            del loaded
            os.remove(patched)
    return curve, build_seconds, mem


def _measure_hnswlib(h, ds, truth, k):
    import hnswlib

    n, dim = ds.base.shape

    def build():
        index = hnswlib.Index(space="l2", dim=dim)
        index.init_index(max_elements=n, ef_construction=EF_CONSTRUCTION, M=M)
        seconds = _wall_and_cpu(h, lambda: index.add_items(ds.base, np.arange(n), num_threads=BUILD_THREADS))
        return index, seconds

    mem, (index, build_seconds) = h.memory_of(build)
    index.set_num_threads(1)
    curve = []
    for ef in EF_SEARCH:
        index.set_ef(ef)
        qps, answers = h.run_queries(lambda q: index.knn_query(q, k=k)[0][0], ds.queries)
        curve.append((ef, h.recall_at_k(answers, truth), qps))
    return curve, build_seconds, mem


def _measure_faiss(h, ds, truth, k):
    import faiss

    n, dim = ds.base.shape

    def build():
        faiss.omp_set_num_threads(BUILD_THREADS)
        index = faiss.IndexHNSWFlat(dim, M)
        index.hnsw.efConstruction = EF_CONSTRUCTION
        seconds = _wall_and_cpu(h, lambda: index.add(ds.base))
        return index, seconds

    mem, (index, build_seconds) = h.memory_of(build)
    faiss.omp_set_num_threads(1)
    curve = []
    for ef in EF_SEARCH:
        index.hnsw.efSearch = ef
        qps, answers = h.run_queries(lambda q: index.search(q[None, :], k)[1][0], ds.queries)
        curve.append((ef, h.recall_at_k(answers, truth), qps))
    return curve, build_seconds, mem


def _cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def _wall_and_cpu(h, build):
    """Wall-clock seconds of a multi-threaded build, and the CPU seconds all threads spent:
    on a shared machine the second shows the work apart from the waiting."""
    cpu_before = _cpu_seconds()
    wall, _ = h.timed(build)
    return wall, _cpu_seconds() - cpu_before


def _ratio(h, ours, theirs):
    if ours is None:
        return "recall not reached"
    return h.fmt_ratio(ours, theirs or 0)


def _fmt(qps):
    return "n/a" if qps is None else f"{qps:,.0f}"

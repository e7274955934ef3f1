"""Merging the shards' answers into the answer one collection holding every vector gives.

Each shard answers with its own best candidates; since an ID lives on exactly one shard, the
global best are the best of the union. Equal values rank by ascending ID, so the merged order
never depends on which shard answered first.
"""

from __future__ import annotations

import heapq
import itertools
import math

import numpy as np

_MIN_RANGE = np.float32(1e-9)
_INF = float("inf")


def _distance_rank(distance: float) -> float:
    # A NaN distance ranks as the farthest, as in the indexes.
    return _INF if math.isnan(distance) else distance


def merge_hits(answers: list[list[dict]], k: int) -> list[dict]:
    """The k nearest of the shards' hit lists, ascending distance, equal distances by ID."""
    hits = itertools.chain.from_iterable(answers)
    return heapq.nsmallest(k, hits, key=lambda hit: (_distance_rank(hit["distance"]), hit["id"]))


def merge_pools(pools: list[tuple[list, list]], k: int) -> tuple[list, list]:
    """One pair of hybrid candidate pools from the shards' pairs: the 10k nearest dense
    candidates and the 10k best sparse scores (best first, NaN last) of the union."""
    size = 10 * k
    dense = heapq.nsmallest(
        size,
        itertools.chain.from_iterable(dense for dense, _ in pools),
        key=lambda entry: (_distance_rank(entry[1]), entry[0]),
    )
    sparse = heapq.nsmallest(
        size,
        itertools.chain.from_iterable(sparse for _, sparse in pools),
        key=lambda entry: _score_rank(entry[1], entry[0]),
    )
    return dense, sparse


def _score_rank(score: float, id_: int) -> tuple:
    # Best score first, equal scores by ascending ID, NaN last.
    return (True, 0.0, id_) if math.isnan(score) else (False, -score, id_)


def _bounds(values: np.ndarray) -> tuple[np.float32, np.float32, np.float32]:
    """(min, max, range) over the non-NaN values; (0, 1, 1) when there are none."""
    values = values[~np.isnan(values)]
    if values.size == 0:
        return np.float32(0), np.float32(1), np.float32(1)
    low, high = values.min(), values.max()
    spread = np.float32(high - low)
    return low, high, spread if not spread < _MIN_RANGE else _MIN_RANGE


def fuse(dense: list, sparse: list, k: int, dense_weight: float, sparse_weight: float) -> list:
    """Ranks the union of both pools exactly as one collection's hybrid search does.

    Every step is a 32-bit float operation in the collection's order, so the scores are
    bit-identical to a single collection's. Returns up to k (id, score, dense distance,
    sparse score) tuples, best score first, equal scores by ascending ID.
    """
    dense_weight, sparse_weight = np.float32(dense_weight), np.float32(sparse_weight)
    distances = np.array([d for _, d in dense], dtype=np.float32)
    scores = np.array([s for _, s in sparse], dtype=np.float32)
    d_min, d_max, d_range = _bounds(distances)
    s_min, _, s_range = _bounds(scores)

    sparse_of = {}
    for (id_, _), score in zip(sparse, scores):
        sparse_of.setdefault(id_, score)
    ids, d, s = [], [], []
    seen = set()
    for (id_, _), distance in zip(dense, distances):
        if id_ in seen:
            continue
        seen.add(id_)
        ids.append(id_)
        d.append(distance)
        s.append(sparse_of.get(id_, np.float32(0)))
    for id_, score in sparse_of.items():
        if id_ not in seen:
            ids.append(id_)
            d.append(d_max)
            s.append(score)
    d = np.array(d, dtype=np.float32)
    s = np.array(s, dtype=np.float32)
    dense_part = (np.float32(1) - (d - d_min) / d_range) * dense_weight
    sparse_part = ((s - s_min) / s_range) * sparse_weight
    fused = dense_part + sparse_part
    order = sorted(range(len(ids)), key=lambda i: _score_rank(float(fused[i]), ids[i]))[:k]
    return [(ids[i], float(fused[i]), float(d[i]), float(s[i])) for i in order]

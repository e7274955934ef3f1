"""A collection whose vectors are spread over shards by ID, searched on all shards at once."""

from __future__ import annotations

import functools
from typing import Any

import numpy as np

from . import arguments
from .calls import ShardCall, gather
from .description import CollectionLayout
from .merge import fuse, merge_hits, merge_pools
from .routing import ids_array, positions_by_shard, shard_of, to_id

HYBRID_KEYS = ("id", "score", "dense_distance", "sparse_score", "payload")


class ShardedCollection:
    """The Collection calls over a fixed number of shards, each a Ray actor owning one
    collection. Obtained from Cluster.create_collection() or Cluster.get_collection().

    A write goes to the shards of its IDs in parallel and returns once every one of them
    has acknowledged its part; a search asks every shard and merges the answers exactly.
    """

    def __init__(self, layout: CollectionLayout, actors: list, unavailable: dict[int, str]):
        self._layout = layout
        self._actors = actors
        # Shards whose node is not in the cluster: calls to them fail with this reason.
        self._unavailable = unavailable

    # --- shape -------------------------------------------------------------------------

    @property
    def name(self) -> str:
        return self._layout.name

    @property
    def dimensions(self) -> int:
        return self._layout.dimensions

    @property
    def metric(self) -> str:
        return self._layout.metric

    @property
    def index_type(self) -> str:
        return self._layout.index_type

    @property
    def shards(self) -> int:
        return self._layout.shards

    def shard_of(self, id: int) -> int:
        """The shard that holds (or would hold) an ID."""
        return shard_of(id, self.shards)

    def shard_actors(self) -> list:
        """The Ray actor handle of each shard (None for a shard whose node is gone)."""
        return list(self._actors)

    def unavailable_reason(self, shard: int) -> str | None:
        """Why a shard cannot be reached (its node is not in the cluster), or None."""
        return self._unavailable.get(shard)

    def __repr__(self) -> str:
        return f'ShardedCollection(name="{self.name}", shards={self.shards})'

    # --- calling shards ----------------------------------------------------------------

    def _call(self, shard: int, method: str, *args, retry: bool = True, **kwargs) -> ShardCall:
        # With `retry`, a call that meets a dead actor runs once more after Ray restarted it.
        actor = self._actors[shard]
        if actor is None:
            return ShardCall(shard, unavailable=self._unavailable[shard])
        submit = functools.partial(actor.call.remote, method, *args, **kwargs)
        return ShardCall(shard, actor, submit, retry)

    def _on_all(self, method: str, *args, write: bool = False, retry: bool = True, **kwargs):
        calls = [self._call(s, method, *args, retry=retry, **kwargs) for s in range(self.shards)]
        return gather(calls, self.name, write=write)

    def _on_groups(self, ids: np.ndarray, method: str, make_args, write: bool):
        """Calls `method` on each shard holding some of `ids`, with make_args(positions);
        returns [(positions, answer)] per shard involved."""
        groups = [(s, p) for s, p in enumerate(positions_by_shard(ids, self.shards)) if p.size]
        calls = [self._call(s, method, *make_args(p)) for s, p in groups]
        answers = gather(calls, self.name, write=write)
        return [(positions, answer) for (_, positions), answer in zip(groups, answers)]

    # --- writes ------------------------------------------------------------------------

    def upsert(self, id: int, vector, payload=None) -> None:
        """Insert or update a vector by ID with an optional payload (on the ID's shard)."""
        id_ = to_id(id)
        values = arguments.vector(vector, self.dimensions, "vector")
        arguments.payload(payload)
        gather([self._call(shard_of(id_, self.shards), "upsert", id_, values, payload)],
               self.name, write=True)

    def upsert_batch(self, entries: list) -> None:
        """Batch upsert of (id, vector) or (id, vector, payload) tuples; every entry is checked
        before any shard is written to, and each shard flushes its log once."""
        ids, rows, payloads = [], [], []
        for entry in arguments.entry_list(entries):
            if not isinstance(entry, tuple) or len(entry) not in (2, 3):
                raise ValueError(
                    "each entry must be a tuple of (id, vector) or (id, vector, payload)")
            ids.append(to_id(entry[0]))
            rows.append(arguments.vector(entry[1], self.dimensions, "vector"))
            payloads.append(arguments.payload(entry[2]) if len(entry) == 3 else None)
        if ids:
            self._upsert_rows(np.array(ids, dtype=np.uint64), np.stack(rows), payloads)

    def upsert_arrays(self, ids, vectors, payloads: list | None = None) -> None:
        """Column-wise bulk upsert: row i of `vectors` under ids[i], with payloads[i]."""
        id_column = ids_array(ids)
        rows = arguments.matrix(vectors, self.dimensions, "vectors")
        if id_column.size != rows.shape[0]:
            raise ValueError(f"ids has {id_column.size} entries for {rows.shape[0]} rows")
        self._upsert_rows(id_column, rows, arguments.payload_list(payloads, rows.shape[0]))

    def _upsert_rows(self, ids: np.ndarray, rows: np.ndarray, payloads: list | None) -> None:
        def part(positions):
            column = None if payloads is None else [payloads[i] for i in positions]
            return ids[positions], rows[positions], column

        self._on_groups(ids, "upsert_arrays", part, write=True)

    def upsert_hybrid(self, id: int, vector, sparse_vector=None, payload=None) -> None:
        """Insert or update a vector with an optional sparse vector {index: weight} and
        payload; without a sparse vector the ID's earlier one is kept."""
        id_ = to_id(id)
        values = arguments.vector(vector, self.dimensions, "vector")
        sparse = None if sparse_vector is None else arguments.sparse(sparse_vector, "sparse_vector")
        arguments.payload(payload)
        call = self._call(shard_of(id_, self.shards), "upsert_hybrid", id_, values, sparse, payload)
        gather([call], self.name, write=True)

    def upsert_hybrid_batch(self, entries: list) -> None:
        """Batch upsert_hybrid of (id, vector, sparse_vector[, payload]) tuples."""
        checked = []
        for entry in arguments.entry_list(entries):
            if not isinstance(entry, tuple) or len(entry) not in (3, 4):
                raise ValueError("each entry must be a tuple of (id, vector, sparse_vector) or "
                                 "(id, vector, sparse_vector, payload)")
            sparse = None if entry[2] is None else arguments.sparse(entry[2], "sparse_vector")
            payload = arguments.payload(entry[3]) if len(entry) == 4 else None
            checked.append((to_id(entry[0]), arguments.vector(entry[1], self.dimensions, "vector"),
                            sparse, payload))
        if checked:
            ids = np.array([entry[0] for entry in checked], dtype=np.uint64)
            self._on_groups(ids, "upsert_hybrid_batch",
                            lambda positions: ([checked[i] for i in positions],), write=True)

    def delete(self, id: int) -> bool:
        """Delete a vector by ID. Returns True if found and removed."""
        id_ = to_id(id)
        [found] = gather([self._call(shard_of(id_, self.shards), "delete", id_)], self.name,
                         write=True)
        return found

    def delete_batch(self, ids) -> int:
        """Delete many IDs (one log flush per shard). Returns how many were present."""
        id_column = ids_array(ids)
        answers = self._on_groups(id_column, "delete_batch",
                                  lambda positions: (id_column[positions],), write=True)
        return sum(found for _, found in answers)

    # --- reads -------------------------------------------------------------------------

    @property
    def count(self) -> int:
        """Number of vectors over all shards."""
        return sum(self._on_all("count"))

    def __len__(self) -> int:
        return self.count

    @property
    def sparse_count(self) -> int:
        """Number of stored sparse vectors over all shards."""
        return sum(self._on_all("sparse_count"))

    def count_where(self, filter: dict) -> int:
        """Number of vectors whose payload (None when absent) matches the filter."""
        return sum(self._on_all("count_where", filter))

    def get(self, ids) -> list:
        """Records by ID, as Collection.get returns them (None for an absent ID)."""
        id_column = ids_array(ids)
        records: list[Any] = [None] * id_column.size
        answers = self._on_groups(id_column, "get", lambda positions: (id_column[positions],),
                                  write=False)
        for positions, found in answers:
            for position, record in zip(positions.tolist(), found):
                records[position] = record
        return records

    def search(self, query, k: int, filter: dict | None = None) -> list[dict]:
        """The k nearest vectors over all shards: [{id, distance, payload}], nearest first
        (equal distances by ascending ID); with a filter, the k nearest that match."""
        values = arguments.vector(query, self.dimensions, "query")
        k = arguments.count(k, "k")
        return merge_hits(self._on_all("search", values, k, filter), k)

    def search_batch(self, queries, k: int, filter: dict | None = None) -> list[list[dict]]:
        """search for every row of `queries`; each shard runs all of them in one call."""
        rows = arguments.matrix(queries, self.dimensions, "queries")
        k = arguments.count(k, "k")
        if rows.shape[0] == 0:
            return []
        answers = self._on_all("search_batch", rows, k, filter)
        return [merge_hits(per_query, k) for per_query in zip(*answers)]

    def search_hybrid(self, dense_query, sparse_query: dict, k: int, dense_weight: float = 0.7,
                      sparse_weight: float = 0.3, filter: dict | None = None) -> list[dict]:
        """Hybrid search fusing dense distance and sparse dot-product scores over all shards.

        Each shard gives its raw candidate pools; the pools are merged and fused once here,
        with the normalisation of a single collection, so scores do not depend on the shard
        count. Returns [{id, score, dense_distance, sparse_score, payload}], best first.
        """
        values = arguments.vector(dense_query, self.dimensions, "dense_query")
        sparse = arguments.sparse(sparse_query, "sparse_query")
        k = arguments.count(k, "k")
        weights = float(dense_weight), float(sparse_weight)
        if k == 0:
            return []
        pools = self._on_all("hybrid_candidates", values, sparse, k, filter)
        dense, sparse_pool = merge_pools(pools, k)
        ranked = fuse(dense, sparse_pool, k, *weights)
        payloads = self._payloads([hit[0] for hit in ranked])
        return [dict(zip(HYBRID_KEYS, (*hit, payloads[hit[0]]))) for hit in ranked]

    def _payloads(self, ids: list[int]) -> dict[int, Any]:
        """The current payload of each ID (None when it has none or is gone)."""
        records = self.get(np.array(ids, dtype=np.uint64)) if ids else []
        return {id_: record["payload"] if record else None for id_, record in zip(ids, records)}

    # --- snapshots ---------------------------------------------------------------------

    def create_snapshot(self, name: str) -> dict:
        """Snapshot every shard under one name. Returns {name, created_at, vector_count,
        sparse_count} over all shards. If any shard fails, the snapshots this call made on
        the others are deleted again and the error is raised."""
        calls = [self._call(s, "create_snapshot", name, retry=False) for s in range(self.shards)]
        try:
            made = gather(calls, self.name, write=True)
        except Exception as error:
            applied = getattr(error, "applied", [])
            undo = [self._call(s, "delete_snapshot", name, retry=False) for s in applied]
            try:
                gather(undo, self.name, write=True)
            except Exception:
                pass  # The original failure is the one to report.
            if applied and error.__cause__ is not None:
                raise error.__cause__ from None
            raise
        return _combined_snapshot(name, made)

    def list_snapshots(self) -> list[dict]:
        """The snapshots every shard holds, oldest first, with counts over all shards."""
        listings = self._on_all("list_snapshots")
        by_name: dict[str, list[dict]] = {}
        for listing in listings:
            for meta in listing:
                by_name.setdefault(meta["name"], []).append(meta)
        complete = [_combined_snapshot(n, metas) for n, metas in by_name.items()
                    if len(metas) == self.shards]
        return sorted(complete, key=lambda meta: (meta["created_at"], meta["name"]))

    def restore_snapshot(self, name: str) -> None:
        """Restore every shard to the snapshot. Nothing is touched unless every shard holds
        it; a shard failing part-way raises PartialWriteError (restore again to finish)."""
        arguments.name(name, "snapshot")
        if name not in {meta["name"] for meta in self.list_snapshots()}:
            raise KeyError(f"snapshot not found: {name}")
        self._on_all("restore_snapshot", name, write=True)

    def delete_snapshot(self, name: str) -> None:
        """Delete the snapshot on every shard that holds it; KeyError when none does."""
        arguments.name(name, "snapshot")
        calls = [self._call(s, "delete_snapshot", name, retry=False) for s in range(self.shards)]
        missing = 0
        for call in calls:
            try:
                gather([call], self.name, write=True)
            except KeyError:
                missing += 1
        if missing == self.shards:
            raise KeyError(f"snapshot not found: {name}")


def _combined_snapshot(name: str, metas: list[dict]) -> dict:
    return {
        "name": name,
        "created_at": max(meta["created_at"] for meta in metas),
        "vector_count": sum(meta["vector_count"] for meta in metas),
        "sparse_count": sum(meta["sparse_count"] for meta in metas),
    }

"""One shard: a Ray actor on a fixed node that owns one Client on its own data directory.

Ray restarts a shard whose process dies; the restarted actor runs __init__ again, which
reopens the same directory, so the log replay brings back every acknowledged write.
"""

from __future__ import annotations

import hashlib
import os
import shutil

import ray
from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy

import tolvane_vector_db as tv

NAMESPACE = "tolvane_cluster"

# The Collection methods a shard runs for the coordinator.
_CALLS = frozenset(
    {
        "upsert",
        "upsert_arrays",
        "upsert_hybrid",
        "upsert_hybrid_batch",
        "delete",
        "delete_batch",
        "get",
        "search",
        "search_batch",
        "hybrid_candidates",
        "count_where",
        "create_snapshot",
        "list_snapshots",
        "restore_snapshot",
        "delete_snapshot",
    }
)
_PROPERTIES = frozenset({"count", "sparse_count"})


class ShardServer:
    """The actor body (started through start_shard)."""

    def __init__(self, data_dir: str, name: str):
        self._data_dir = data_dir
        self._name = name
        self._client = tv.Client(data_dir)
        self._collection = (
            self._client.get_collection(name) if name in self._client.list_collections() else None
        )

    def create(self, dimensions, metric, index_type, hnsw_config):
        """Creates the shard's collection (once, when the sharded collection is created)."""
        self._collection = self._client.create_collection(
            self._name, dimensions, metric, index_type, hnsw_config=hnsw_config
        )

    def call(self, method: str, *args, **kwargs):
        """Runs one Collection method (or reads a count) and returns its answer."""
        if method not in _CALLS and method not in _PROPERTIES:
            raise AttributeError(f"shards do not run {method!r}")
        if self._collection is None:
            raise KeyError(f"collection '{self._name}' not found")
        target = getattr(self._collection, method)
        return target if method in _PROPERTIES else target(*args, **kwargs)

    def where(self) -> dict:
        """The node and process serving this shard, and its data directory."""
        return {
            "node_id": ray.get_runtime_context().get_node_id(),
            "pid": os.getpid(),
            "data_dir": self._data_dir,
        }

    def drop(self) -> None:
        """Deletes the shard's collection and its whole data directory."""
        if self._collection is not None:
            self._client.delete_collection(self._name)
            self._collection = None
        self._client.close()
        shutil.rmtree(self._data_dir, ignore_errors=True)
        try:
            os.rmdir(os.path.dirname(self._data_dir))
        except OSError:
            pass  # Other shards of the collection still live on this node.

    def close(self) -> None:
        """Saves changed graphs and lets go of the directory before the actor is ended."""
        self._client.close()


_RemoteShard = ray.remote(ShardServer)


def actor_name(root: str, collection: str, shard: int) -> str:
    """A name unique to one shard of one cluster root, so a second handle finds the actor."""
    digest = hashlib.sha1(root.encode()).hexdigest()[:16]
    return f"{digest}/{collection}/{shard}"


def start_shard(root: str, collection: str, shard: int, node_id: str, max_restarts: int):
    """The actor serving one shard: the running one if any, else a new one on `node_id`.

    Calls are not retried here: the coordinator decides per call whether a retry after a
    restart is safe.
    """
    data_dir = os.path.join(root, collection, f"shard-{shard}")
    return _RemoteShard.options(
        name=actor_name(root, collection, shard),
        namespace=NAMESPACE,
        get_if_exists=True,
        scheduling_strategy=NodeAffinitySchedulingStrategy(node_id, soft=False),
        max_restarts=max_restarts,
        max_task_retries=0,
        num_cpus=0,
    ).remote(data_dir, collection)

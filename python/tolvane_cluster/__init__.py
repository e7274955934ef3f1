"""Sharded collections of tolvane_vector_db on a Ray cluster.

    import tolvane_cluster
    cluster = tolvane_cluster.connect(root="./cluster-data")     # starts a local Ray
    docs = cluster.create_collection("docs", 128, "cosine", "hnsw", shards=4)
    docs.upsert_arrays(ids, vectors)
    docs.search(query, k=10)

Each shard is a Ray actor pinned to one node, owning one tolvane_vector_db.Client on its
own data directory under the root; an ID always lives on the same shard.
"""

try:
    import ray  # noqa: F401
except ImportError as error:  # pragma: no cover - depends on the installation
    raise ImportError(
        "tolvane_cluster needs Ray: pip install 'tolvane_vector_db[cluster]'") from error

from .cluster import Cluster, connect
from .collection import ShardedCollection
from .errors import PartialWriteError, ShardUnavailableError
from .routing import shard_of

__all__ = [
    "Cluster",
    "PartialWriteError",
    "ShardUnavailableError",
    "ShardedCollection",
    "connect",
    "shard_of",
]

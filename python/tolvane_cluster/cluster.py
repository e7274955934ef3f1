"""Joining a Ray cluster and managing the sharded collections described under a root."""

from __future__ import annotations

import functools
import os

import ray

from . import arguments, description
from .calls import ShardCall, gather
from .collection import ShardedCollection
from .description import CollectionLayout, Placement
from .errors import ShardUnavailableError
from .shard import start_shard

DEFAULT_MAX_RESTARTS = 5


def connect(address: str | None = None, root: str = "./cluster-data", *,
            max_restarts: int = DEFAULT_MAX_RESTARTS, **ray_options) -> "Cluster":
    """Join the Ray cluster at `address` (a local one is started when it is None and this
    process is not connected to Ray yet) and open the cluster description under `root`.

    `root` must name the same path on every node: each shard keeps its data directory under
    it on its own node. `max_restarts` bounds how often Ray restarts a shard whose process
    died. Other keyword arguments go to ray.init.
    """
    started = False
    if not ray.is_initialized():
        ray.init(address=address, **ray_options)
        started = True
    root = os.path.abspath(root)
    os.makedirs(root, exist_ok=True)
    return Cluster(root, max_restarts, started)


def _alive_nodes() -> list[dict]:
    nodes = [node for node in ray.nodes() if node["Alive"]]
    return sorted(nodes, key=lambda node: (node["NodeManagerAddress"], node["NodeID"]))


class Cluster:
    """The sharded collections of one root, served by shard actors on a Ray cluster.

    The description (collections, shard counts, the node of each shard) is the file
    "cluster.json" under the root; open one root from one driver at a time.
    """

    def __init__(self, root: str, max_restarts: int, owns_ray: bool):
        self._root = root
        self._max_restarts = max_restarts
        self._owns_ray = owns_ray
        self._opened: list = []

    @property
    def root(self) -> str:
        return self._root

    def __repr__(self) -> str:
        return f'Cluster(root="{self._root}", collections={len(self.list_collections())})'

    def list_collections(self) -> list[str]:
        """The names of every described collection, sorted."""
        return sorted(description.load(self._root))

    def create_collection(self, name: str, dimensions: int, metric: str = "cosine",
                          index_type: str = "hnsw", shards: int = 1,
                          hnsw_config: dict | None = None) -> ShardedCollection:
        """Create a collection spread over `shards` shards (fixed for its lifetime), placed
        round-robin on the cluster's live nodes. Arguments as Client.create_collection."""
        arguments.name(name, "collection")
        dimensions = arguments.count(dimensions, "dimensions")
        if isinstance(shards, bool) or not isinstance(shards, int) or shards < 1:
            raise ValueError(f"shards must be a positive integer, got {shards!r}")
        layouts = description.load(self._root)
        if name in layouts:
            raise KeyError(f"collection already exists: {name}")
        nodes = _alive_nodes()
        placements = [Placement(node["NodeID"], node["NodeManagerAddress"])
                      for node in (nodes[i % len(nodes)] for i in range(shards))]
        layout = CollectionLayout(name, dimensions, metric, index_type, shards, placements)
        actors = [self._start(layout, shard, placement.node_id)
                  for shard, placement in enumerate(placements)]
        calls = [ShardCall(shard, actor, functools.partial(actor.create.remote, dimensions, metric,
                                                           index_type, hnsw_config))
                 for shard, actor in enumerate(actors)]
        try:
            gather(calls, name, write=True)
        except Exception as error:
            # Drop what this call created (a shard that refused keeps whatever it had); with
            # nothing left changed, the shard's own error is the one to report.
            created = getattr(error, "applied", [])
            self._end(actors, drop=[actors[s] for s in created])
            raise (error.__cause__ if created and error.__cause__ is not None else error) from None
        layouts[name] = layout
        description.save(self._root, layouts)
        return ShardedCollection(layout, actors, {})

    def get_collection(self, name: str) -> ShardedCollection:
        """The described collection of that name; KeyError when there is none.

        A shard whose node is no longer in the cluster is unavailable: every call that needs
        it raises ShardUnavailableError until the node is back and the collection is got again.
        """
        layout = description.load(self._root).get(name)
        if layout is None:
            raise KeyError(f"collection '{name}' not found")
        return self._open(layout)

    def delete_collection(self, name: str) -> bool:
        """Delete a collection with every shard's data. False when it is not described. If a
        shard cannot be reached the collection stays described; delete again later."""
        layouts = description.load(self._root)
        if name not in layouts:
            return False
        collection = self._open(layouts[name])
        actors = collection.shard_actors()
        missing = [s for s, actor in enumerate(actors) if actor is None]
        if missing:
            # Deleting the reachable shards alone would leave a collection that can never
            # answer again: touch nothing until every node is back.
            self._end([actor for actor in actors if actor is not None])
            raise ShardUnavailableError(collection.unavailable_reason(missing[0]), missing)
        calls = [ShardCall(s, actor, actor.drop.remote, retry=True)
                 for s, actor in enumerate(actors)]
        try:
            gather(calls, name, write=True)
        finally:
            self._end([actor for actor in actors if actor is not None])
        del layouts[name]
        description.save(self._root, layouts)
        try:
            os.rmdir(os.path.join(self._root, name))
        except OSError:
            pass  # Absent on this node, or another node's shards share this path.
        return True

    def close(self) -> None:
        """End every shard actor this cluster object started, after each saved its state;
        disconnect from Ray if connect() started it. The data stays under the root."""
        opened, self._opened = self._opened, []
        self._end(opened, save=True)
        if self._owns_ray and ray.is_initialized():
            ray.shutdown()

    def __enter__(self) -> "Cluster":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def _start(self, layout: CollectionLayout, shard: int, node_id: str):
        actor = start_shard(self._root, layout.name, shard, node_id, self._max_restarts)
        if actor not in self._opened:
            self._opened.append(actor)
        return actor

    def _open(self, layout: CollectionLayout) -> ShardedCollection:
        alive = _alive_nodes()
        actors, unavailable = [], {}
        for shard, placement in enumerate(layout.placements):
            node_id = _resolve(placement, alive)
            if node_id is None:
                actors.append(None)
                unavailable[shard] = (f"shard {shard} of collection '{layout.name}' is on node "
                                      f"{placement.address}, which is not in the cluster")
            else:
                actors.append(self._start(layout, shard, node_id))
        return ShardedCollection(layout, actors, unavailable)

    def _end(self, actors: list, drop: list = (), save: bool = False) -> None:
        # Best effort: an actor that is already gone has nothing left to save.
        waits = [actor.drop.remote() for actor in drop]
        if save:
            waits += [actor.close.remote() for actor in actors if actor not in drop]
        for ref in waits:
            try:
                ray.get(ref)
            except Exception:
                pass
        for actor in actors:
            ray.kill(actor, no_restart=True)
            if actor in self._opened:
                self._opened.remove(actor)


def _resolve(placement: Placement, alive: list[dict]) -> str | None:
    """The live node for a shard: the same node, or a node at the same address (a node that
    rejoined has a new ID); None when neither is in the cluster."""
    for node in alive:
        if node["NodeID"] == placement.node_id:
            return node["NodeID"]
    for node in alive:
        if node["NodeManagerAddress"] == placement.address:
            return node["NodeID"]
    return None

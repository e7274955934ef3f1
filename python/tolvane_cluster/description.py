"""The cluster description kept under the root: every collection, its shape, its shard
count and the node of each shard, in "cluster.json".

The file is replaced whole through a temporary sibling, so a crash leaves the old or the
new description, never a mix.
"""

from __future__ import annotations

import json
import os
from dataclasses import asdict, dataclass, field

DESCRIPTION_FILE = "cluster.json"


@dataclass
class Placement:
    """Where one shard lives: the Ray node ID it was placed on and that node's address.

    A node that rejoins the cluster gets a new ID; the address finds it again.
    """

    node_id: str
    address: str


@dataclass
class CollectionLayout:
    name: str
    dimensions: int
    metric: str
    index_type: str
    shards: int
    placements: list[Placement] = field(default_factory=list)

    @staticmethod
    def from_json(entry: dict) -> "CollectionLayout":
        placements = [Placement(**p) for p in entry["placements"]]
        fields = {k: entry[k] for k in ("name", "dimensions", "metric", "index_type", "shards")}
        return CollectionLayout(**fields, placements=placements)


def load(root: str) -> dict[str, CollectionLayout]:
    """The collections described under `root` (none when there is no description yet)."""
    path = os.path.join(root, DESCRIPTION_FILE)
    try:
        with open(path, encoding="utf-8") as file:
            document = json.load(file)
    except FileNotFoundError:
        return {}
    layouts = [CollectionLayout.from_json(entry) for entry in document["collections"]]
    return {layout.name: layout for layout in layouts}


def save(root: str, layouts: dict[str, CollectionLayout]) -> None:
    """Replaces the description under `root` with `layouts`, durably."""
    path = os.path.join(root, DESCRIPTION_FILE)
    document = {"collections": [asdict(layouts[name]) for name in sorted(layouts)]}
    temporary = path + ".tmp"
    with open(temporary, "w", encoding="utf-8") as file:
        json.dump(document, file, indent=2)
        file.write("\n")
        file.flush()
        os.fsync(file.fileno())
    os.replace(temporary, path)
    directory = os.open(root, os.O_RDONLY)
    try:
        os.fsync(directory)
    finally:
        os.close(directory)

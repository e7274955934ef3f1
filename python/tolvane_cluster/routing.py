"""Which shard holds an ID: a fixed 64-bit mix of the ID, modulo the shard count.

The mix never changes between processes, machines or releases (Python's hash() may), so a
collection reopened anywhere finds every ID on the shard that stored it.
"""

from __future__ import annotations

import operator

import numpy as np

_MASK = (1 << 64) - 1
_ID_LIMIT = 1 << 64


def to_id(value, name: str = "id") -> int:
    """An unsigned 64-bit ID, refused as the collections refuse it."""
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(
            f"argument '{name}': '{type(value).__name__}' object cannot be interpreted as an integer"
        ) from None
    if number < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if number >= _ID_LIMIT:
        raise OverflowError("int too big to convert")
    return number


def _mix(z: int) -> int:
    # The finaliser of the SplitMix64 generator: every input bit flips about half the
    # output bits, so consecutive IDs spread evenly over the shards.
    z = (z + 0x9E3779B97F4A7C15) & _MASK
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & _MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _MASK
    return z ^ (z >> 31)


def shard_of(id_: int, shards: int) -> int:
    """The shard (0 .. shards - 1) that holds `id_`."""
    return _mix(to_id(id_)) % shards


def ids_array(ids, name: str = "ids") -> np.ndarray:
    """A 1-D uint64 array of IDs; negative or non-integer entries are refused."""
    array = np.asarray(ids)
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional")
    if array.dtype.kind == "u":
        return array.astype(np.uint64, copy=False)
    if array.dtype.kind == "i":
        if array.size and array.min() < 0:
            raise OverflowError("can't convert negative int to unsigned")
        return array.astype(np.uint64)
    return np.array([to_id(value, name) for value in array.tolist()], dtype=np.uint64)


def shards_of(ids: np.ndarray, shards: int) -> np.ndarray:
    """shard_of for every entry of a uint64 array (unsigned arithmetic wraps like the mask)."""
    z = ids.astype(np.uint64) + np.uint64(0x9E3779B97F4A7C15)
    z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
    z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    z = z ^ (z >> np.uint64(31))
    return (z % np.uint64(shards)).astype(np.int64)


def positions_by_shard(ids: np.ndarray, shards: int) -> list[np.ndarray]:
    """For each shard, the positions in `ids` of the IDs it holds, in their given order."""
    owners = shards_of(ids, shards)
    return [np.flatnonzero(owners == shard) for shard in range(shards)]

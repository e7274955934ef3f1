"""Argument checks done once at the coordinator, before any shard is written to, so that a
bad entry anywhere in a batch fails the whole call and changes nothing on any shard."""

from __future__ import annotations

import json
import operator

import numpy as np

_SPARSE_INDEX_LIMIT = 1 << 32
# As deep as a collection converts a payload.
_MAX_PAYLOAD_NESTING = 128


def count(value, name: str) -> int:
    """An unsigned integer argument such as k."""
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(
            f"argument '{name}': '{type(value).__name__}' object cannot be interpreted as an integer"
        ) from None
    if number < 0:
        raise OverflowError("can't convert negative int to unsigned")
    return number


def vector(value, dimensions: int, name: str) -> np.ndarray:
    """A float32 vector of the collection's length."""
    try:
        array = np.asarray(value, dtype=np.float32)
    except (TypeError, ValueError):
        raise TypeError(f"argument '{name}': expected a sequence of numbers") from None
    if array.ndim != 1:
        raise TypeError(f"argument '{name}': expected a one-dimensional vector")
    if array.shape[0] != dimensions:
        raise ValueError(f"dimension mismatch: expected {dimensions}, got {array.shape[0]}")
    return array


def matrix(value, dimensions: int, name: str) -> np.ndarray:
    """A 2-D float32 array with one row per vector (an empty input gives no rows)."""
    try:
        array = np.asarray(value, dtype=np.float32)
    except (TypeError, ValueError):
        raise TypeError(f"argument '{name}': expected a 2-D array or a list of vectors") from None
    if array.size == 0:
        return np.zeros((0, dimensions), dtype=np.float32)
    if array.ndim != 2:
        raise TypeError(f"argument '{name}': expected a 2-D array or a list of vectors")
    if array.shape[1] != dimensions:
        raise ValueError(f"dimension mismatch: expected {dimensions}, got {array.shape[1]}")
    return np.ascontiguousarray(array)


def payload(value):
    """The payload unchanged, once every dictionary key in it is known to be a str and its
    nesting is within what a collection stores."""
    pending = [(value, 0)]
    while pending:
        item, depth = pending.pop()
        if isinstance(item, (dict, list)) and depth >= _MAX_PAYLOAD_NESTING:
            raise ValueError(f"payload nesting is deeper than {_MAX_PAYLOAD_NESTING} levels")
        if isinstance(item, dict):
            for key, inner in item.items():
                if not isinstance(key, str):
                    raise TypeError(f"payload keys must be str, not {type(key).__name__}")
                pending.append((inner, depth + 1))
        elif isinstance(item, list):
            pending.extend((inner, depth + 1) for inner in item)
    return value


def payload_list(value, rows: int) -> list | None:
    if value is None:
        return None
    if not isinstance(value, list):
        raise TypeError(
            f"argument 'payloads': '{type(value).__name__}' object cannot be converted to 'PyList'"
        )
    if len(value) != rows:
        raise ValueError(f"payloads has {len(value)} entries for {rows} rows")
    for item in value:
        payload(item)
    return value


def sparse(value, name: str) -> dict[int, float]:
    """{dimension_index: weight} with indices that fit in 32 bits."""
    if not isinstance(value, dict):
        raise TypeError(f"argument '{name}': '{type(value).__name__}' object is not a dict")
    checked = {}
    for key, weight in value.items():
        index = operator.index(key)
        if not 0 <= index < _SPARSE_INDEX_LIMIT:
            raise OverflowError("out of range integral type conversion attempted")
        if isinstance(weight, (str, bytes)):
            raise TypeError(f"argument '{name}': weights must be numbers")
        checked[index] = float(weight)
    return checked


def name(value: str, what: str) -> str:
    """A collection or snapshot name: it becomes a directory on every shard's node."""
    if (not isinstance(value, str) or value in ("", ".") or ".." in value
            or any(c in value for c in "/\\\0")):
        raise ValueError(f"invalid configuration: invalid {what} name: {json.dumps(value)}")
    return value


def entry_list(value) -> list:
    if not isinstance(value, list):
        raise TypeError(
            f"argument 'entries': '{type(value).__name__}' object cannot be converted to 'PyList'"
        )
    return value

"""Helpers shared by the Client and Collection tests."""

import functools
import tempfile

import pytest

import tolvane_vector_db as tv

ALL_INDEX_TYPES = ["flat", "hnsw", "quantized_flat", "ivf", "ivf_pq", "fp16_flat", "mmap_flat", "binary_flat"]


@functools.cache
def index_type_available(index_type: str) -> bool:
    """Whether this build can create (and therefore open) a collection of that kind."""
    with tempfile.TemporaryDirectory() as directory:
        try:
            tv.Client(directory).create_collection("probe", 8, "l2", index_type)
        except ValueError:
            return False
    return True


def require(index_type: str) -> None:
    if not index_type_available(index_type):
        pytest.skip(f"index type {index_type} is not built yet")


def ids_of(hits):
    return [hit["id"] for hit in hits]

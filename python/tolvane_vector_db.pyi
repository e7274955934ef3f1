"""Embedded vector database: standalone indexes and WAL-backed collections."""

from typing import Any, Sequence, SupportsFloat, Union

import numpy as np
import numpy.typing as npt

VectorLike = Union[Sequence[SupportsFloat], npt.NDArray[np.float32]]
SearchHit = dict[str, Any]

class FlatIndex:
    """Exact brute-force vector index. 100% recall, O(N*D) per query."""

    def __init__(self, dimensions: int, metric: str = "l2") -> None: ...
    def add(self, id: int, vector: VectorLike) -> None:
        """Add a single vector with the given ID."""
    def add_batch(self, entries: list[tuple[int, VectorLike]]) -> None:
        """Add multiple vectors at once. Takes a list of (id, vector) tuples."""
    def add_batch_np(self, vectors: npt.NDArray[np.float32], start_id: int = 0) -> None:
        """Add vectors from a 2D numpy array (N × dim) with sequential IDs starting from `start_id`."""
    def search(self, query: VectorLike, k: int) -> list[SearchHit]:
        """Search for the k nearest vectors: dicts with "id" and "distance", nearest first."""
    def delete(self, id: int) -> bool:
        """Remove a vector by ID. Returns True if found and removed."""
    def save(self, path: str) -> None:
        """Save index to a binary file."""
    @staticmethod
    def load(path: str) -> "FlatIndex":
        """Load a previously saved index from a binary file."""
    @property
    def dimensions(self) -> int:
        """Number of dimensions per vector."""
    @property
    def metric(self) -> str:
        """Distance metric: "l2", "cosine", or "dot_product"."""
    def __len__(self) -> int: ...

# ---- HnswIndex ----
class HnswIndex:
    """Graph-based approximate nearest-neighbour index (HNSW). 95-99% recall."""

    def __init__(
        self,
        dimensions: int,
        metric: str = "l2",
        ef_construction: int = 200,
        ef_search: int = 50,
        m: int = 12,
    ) -> None: ...
    def add(self, id: int, vector: VectorLike) -> None: ...
    def add_batch(self, entries: list[tuple[int, VectorLike]]) -> None: ...
    def add_batch_np(self, vectors: npt.NDArray[np.float32], start_id: int = 0) -> None:
        """Add vectors from a 2D numpy array (N × dim) with sequential IDs starting from `start_id`."""
    def add_batch_parallel(
        self,
        vectors: npt.NDArray[np.float32],
        start_id: int = 0,
        num_threads: int = 0,
        micro_batch_size: int = 256,
    ) -> None:
        """Add vectors from a 2D numpy array (N × dim) with parallel graph construction."""
    def search(self, query: VectorLike, k: int) -> list[SearchHit]: ...
    def delete(self, id: int) -> bool: ...
    def flush(self) -> None:
        """Build the HNSW graph. Call after bulk inserts for best performance."""
    def save(self, path: str) -> None: ...
    @staticmethod
    def load(path: str) -> "HnswIndex": ...
    @property
    def dimensions(self) -> int: ...
    @property
    def metric(self) -> str: ...
    def __len__(self) -> int: ...
# ---- end HnswIndex ----

# ---- QuantizedFlatIndex ----
class QuantizedFlatIndex:
    """Int8 quantized brute-force index. ~4x less RAM than FlatIndex with ~99% recall."""

    def __init__(self, dimensions: int, metric: str = "l2") -> None: ...
    def add(self, id: int, vector: VectorLike) -> None: ...
    def add_batch(self, entries: list[tuple[int, VectorLike]]) -> None: ...
    def add_batch_np(self, vectors: npt.NDArray[np.float32], start_id: int = 0) -> None:
        """Add vectors from a 2D numpy array (N × dim) with sequential IDs starting from `start_id`."""
    def search(self, query: VectorLike, k: int) -> list[SearchHit]: ...
    def delete(self, id: int) -> bool: ...
    def save(self, path: str) -> None: ...
    @staticmethod
    def load(path: str) -> "QuantizedFlatIndex": ...
    @property
    def dimensions(self) -> int: ...
    @property
    def metric(self) -> str: ...
    def __len__(self) -> int: ...
# ---- end QuantizedFlatIndex ----

# ---- Fp16FlatIndex ----
class Fp16FlatIndex:
    """Float16 quantized brute-force index. 2x less RAM than FlatIndex with >99.5% recall."""

    def __init__(self, dimensions: int, metric: str = "l2") -> None: ...
    def add(self, id: int, vector: VectorLike) -> None: ...
    def add_batch(self, entries: list[tuple[int, VectorLike]]) -> None: ...
    def add_batch_np(self, vectors: npt.NDArray[np.float32], start_id: int = 0) -> None:
        """Add vectors from a 2D numpy array (N × dim) with sequential IDs starting from `start_id`."""
    def search(self, query: VectorLike, k: int) -> list[SearchHit]: ...
    def delete(self, id: int) -> bool: ...
    def save(self, path: str) -> None: ...
    @staticmethod
    def load(path: str) -> "Fp16FlatIndex": ...
    @property
    def dimensions(self) -> int: ...
    @property
    def metric(self) -> str: ...
    def __len__(self) -> int: ...
# ---- end Fp16FlatIndex ----

# ---- IvfIndex ----
# (members to be added with the class)
# ---- end IvfIndex ----

# ---- IvfPqIndex ----
# (members to be added with the class)
# ---- end IvfPqIndex ----

# ---- MmapFlatIndex ----
class MmapFlatIndex:
    """Memory-mapped brute-force index. Near-zero RAM usage."""

    def __init__(self, dimensions: int, metric: str = "l2", path: str = "./mmap_index.tvec") -> None: ...
    def add(self, id: int, vector: VectorLike) -> None: ...
    def add_batch(self, entries: list[tuple[int, VectorLike]]) -> None: ...
    def add_batch_np(self, vectors: npt.NDArray[np.float32], start_id: int = 0) -> None:
        """Add vectors from a 2D numpy array (N × dim) with sequential IDs starting from `start_id`."""
    def search(self, query: VectorLike, k: int) -> list[SearchHit]: ...
    def delete(self, id: int) -> bool: ...
    def flush(self) -> None: ...
    @property
    def dimensions(self) -> int: ...
    @property
    def metric(self) -> str: ...
    def __len__(self) -> int: ...
# ---- end MmapFlatIndex ----

# ---- BinaryFlatIndex ----
class BinaryFlatIndex:
    """Binary (1-bit) quantized brute-force index. 32x less RAM than FlatIndex."""

    def __init__(self, dimensions: int, metric: str = "l2") -> None: ...
    def add(self, id: int, vector: VectorLike) -> None: ...
    def add_batch(self, entries: list[tuple[int, VectorLike]]) -> None: ...
    def add_batch_np(self, vectors: npt.NDArray[np.float32], start_id: int = 0) -> None:
        """Add vectors from a 2D numpy array (N × dim) with sequential IDs starting from `start_id`."""
    def search(self, query: VectorLike, k: int) -> list[SearchHit]: ...
    def delete(self, id: int) -> bool: ...
    def save(self, path: str) -> None: ...
    @staticmethod
    def load(path: str) -> "BinaryFlatIndex": ...
    @property
    def dimensions(self) -> int: ...
    @property
    def metric(self) -> str: ...
    def __len__(self) -> int: ...
# ---- end BinaryFlatIndex ----

# ---- Client ----
# (members to be added with the class)
# ---- end Client ----

# ---- Collection ----
# (members to be added with the class)
# ---- end Collection ----

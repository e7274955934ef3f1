"""Embedded vector database: standalone indexes and WAL-backed collections."""

from typing import Any, Sequence, SupportsFloat, Union

import numpy as np
import numpy.typing as npt

VectorLike = Union[Sequence[SupportsFloat], npt.NDArray[np.float32]]
SearchHit = dict[str, Any]
# A 2-D array of any float dtype, or a sequence of vectors of equal length.
QueryBlock = Union[npt.NDArray[np.floating[Any]], Sequence[VectorLike]]
IdArray = Union[npt.NDArray[np.integer[Any]], Sequence[int]]
# (ids uint64 (n, k), distances float32 (n, k)); padding: id 2**64 - 1, distance +inf.
BatchAnswer = tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]

class FlatIndex:
    """Exact brute-force vector index. 100% recall, O(N*D) per query."""

    def __init__(self, dimensions: int, metric: str = "l2") -> None: ...
    def add(self, id: int, vector: VectorLike) -> None:
        """Add a single vector with the given ID."""
    def add_batch(self, entries: list[tuple[int, VectorLike]]) -> None:
        """Add multiple vectors at once. Takes a list of (id, vector) tuples."""
    def add_batch_np(
        self, vectors: npt.NDArray[np.float32], start_id: int = 0, ids: IdArray | None = None
    ) -> None:
        """Add vectors from a 2D numpy array (N × dim) with sequential IDs starting from `start_id`."""
    def search(self, query: VectorLike, k: int) -> list[SearchHit]:
        """Search for the k nearest vectors: dicts with "id" and "distance", nearest first."""
    def search_batch(self, queries: QueryBlock, k: int, num_threads: int = 0) -> BatchAnswer:
        """Search many queries at once (any float dtype, converted once); row i equals search(queries[i], k), padded."""
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
    def __getstate__(self) -> bytes: ...
    def __setstate__(self, state: bytes) -> None: ...

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
    def add_batch_np(
        self, vectors: npt.NDArray[np.float32], start_id: int = 0, ids: IdArray | None = None
    ) -> None:
        """Add vectors from a 2D numpy array (N × dim) with sequential IDs starting from `start_id`."""
    def add_batch_parallel(
        self,
        vectors: npt.NDArray[np.float32],
        start_id: int = 0,
        num_threads: int = 0,
        micro_batch_size: int = 256,
    ) -> None:
        """Add vectors from a 2D numpy array (N × dim) with parallel graph construction."""
    def search(self, query: VectorLike, k: int, *, ef_search: int | None = None) -> list[SearchHit]: ...
    def search_batch(
        self, queries: QueryBlock, k: int, num_threads: int = 0, *, ef_search: int | None = None
    ) -> BatchAnswer:
        """Search many queries at once (any float dtype, converted once); row i equals search(queries[i], k), padded."""
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
    def __getstate__(self) -> bytes: ...
    def __setstate__(self, state: bytes) -> None: ...
# ---- end HnswIndex ----

# ---- QuantizedFlatIndex ----
class QuantizedFlatIndex:
    """Int8 quantized brute-force index. ~4x less RAM than FlatIndex with ~99% recall."""

    def __init__(self, dimensions: int, metric: str = "l2") -> None: ...
    def add(self, id: int, vector: VectorLike) -> None: ...
    def add_batch(self, entries: list[tuple[int, VectorLike]]) -> None: ...
    def add_batch_np(
        self, vectors: npt.NDArray[np.float32], start_id: int = 0, ids: IdArray | None = None
    ) -> None:
        """Add vectors from a 2D numpy array (N × dim) with sequential IDs starting from `start_id`."""
    def search(self, query: VectorLike, k: int) -> list[SearchHit]: ...
    def search_batch(self, queries: QueryBlock, k: int, num_threads: int = 0) -> BatchAnswer:
        """Search many queries at once (any float dtype, converted once); row i equals search(queries[i], k), padded."""
    def delete(self, id: int) -> bool: ...
    def save(self, path: str) -> None: ...
    @staticmethod
    def load(path: str) -> "QuantizedFlatIndex": ...
    @property
    def dimensions(self) -> int: ...
    @property
    def metric(self) -> str: ...
    def __len__(self) -> int: ...
    def __getstate__(self) -> bytes: ...
    def __setstate__(self, state: bytes) -> None: ...
# ---- end QuantizedFlatIndex ----

# ---- Fp16FlatIndex ----
class Fp16FlatIndex:
    """Float16 quantized brute-force index. 2x less RAM than FlatIndex with >99.5% recall."""

    def __init__(self, dimensions: int, metric: str = "l2") -> None: ...
    def add(self, id: int, vector: VectorLike) -> None: ...
    def add_batch(self, entries: list[tuple[int, VectorLike]]) -> None: ...
    def add_batch_np(
        self, vectors: npt.NDArray[np.float32], start_id: int = 0, ids: IdArray | None = None
    ) -> None:
        """Add vectors from a 2D numpy array (N × dim) with sequential IDs starting from `start_id`."""
    def search(self, query: VectorLike, k: int) -> list[SearchHit]: ...
    def search_batch(self, queries: QueryBlock, k: int, num_threads: int = 0) -> BatchAnswer:
        """Search many queries at once (any float dtype, converted once); row i equals search(queries[i], k), padded."""
    def delete(self, id: int) -> bool: ...
    def save(self, path: str) -> None: ...
    @staticmethod
    def load(path: str) -> "Fp16FlatIndex": ...
    @property
    def dimensions(self) -> int: ...
    @property
    def metric(self) -> str: ...
    def __len__(self) -> int: ...
    def __getstate__(self) -> bytes: ...
    def __setstate__(self, state: bytes) -> None: ...
# ---- end Fp16FlatIndex ----

# ---- IvfIndex ----
class IvfIndex:
    """Inverted file index. Cluster-based ANN using k-means.

    Auto-trains after train_size inserts. Rule of thumb: n_lists = sqrt(N).
    """

    def __init__(
        self,
        dimensions: int,
        metric: str = "l2",
        n_lists: int = 256,
        nprobe: int = 16,
        train_size: int = 4096,
    ) -> None: ...
    def add(self, id: int, vector: VectorLike) -> None: ...
    def add_batch(self, entries: list[tuple[int, VectorLike]]) -> None: ...
    def add_batch_np(
        self, vectors: npt.NDArray[np.float32], start_id: int = 0, ids: IdArray | None = None
    ) -> None:
        """Add vectors from a 2D numpy array (N × dim) with sequential IDs starting from `start_id`."""
    def search(self, query: VectorLike, k: int, *, nprobe: int | None = None) -> list[SearchHit]: ...
    def search_batch(
        self, queries: QueryBlock, k: int, num_threads: int = 0, *, nprobe: int | None = None
    ) -> BatchAnswer:
        """Search many queries at once (any float dtype, converted once); row i equals search(queries[i], k), padded."""
    def delete(self, id: int) -> bool: ...
    def flush(self) -> None: ...
    def save(self, path: str) -> None: ...
    @staticmethod
    def load(path: str) -> "IvfIndex": ...
    @property
    def dimensions(self) -> int: ...
    @property
    def metric(self) -> str: ...
    def __len__(self) -> int: ...
    def __getstate__(self) -> bytes: ...
    def __setstate__(self, state: bytes) -> None: ...
# ---- end IvfIndex ----

# ---- IvfPqIndex ----
class IvfPqIndex:
    """IVF with product quantization. Extreme memory reduction (~96x for 1536-dim).

    Combines the IVF coarse quantizer with PQ compression of the residual vectors.
    Search distances of trained entries are approximate squared L2 for every metric.
    """

    def __init__(
        self,
        dimensions: int,
        metric: str = "l2",
        n_lists: int = 256,
        nprobe: int = 16,
        train_size: int = 4096,
        pq_m: int = 8,
        pq_k_sub: int = 256,
    ) -> None: ...
    def add(self, id: int, vector: VectorLike) -> None: ...
    def add_batch(self, entries: list[tuple[int, VectorLike]]) -> None: ...
    def add_batch_np(
        self, vectors: npt.NDArray[np.float32], start_id: int = 0, ids: IdArray | None = None
    ) -> None:
        """Add vectors from a 2D numpy array (N × dim) with sequential IDs starting from `start_id`."""
    def search(self, query: VectorLike, k: int, *, nprobe: int | None = None) -> list[SearchHit]: ...
    def search_batch(
        self, queries: QueryBlock, k: int, num_threads: int = 0, *, nprobe: int | None = None
    ) -> BatchAnswer:
        """Search many queries at once (any float dtype, converted once); row i equals search(queries[i], k), padded."""
    def delete(self, id: int) -> bool: ...
    def flush(self) -> None: ...
    def save(self, path: str) -> None: ...
    @staticmethod
    def load(path: str) -> "IvfPqIndex": ...
    @property
    def dimensions(self) -> int: ...
    @property
    def metric(self) -> str: ...
    def __len__(self) -> int: ...
    def __getstate__(self) -> bytes: ...
    def __setstate__(self, state: bytes) -> None: ...
# ---- end IvfPqIndex ----

# ---- MmapFlatIndex ----
class MmapFlatIndex:
    """Memory-mapped brute-force index. Near-zero RAM usage."""

    def __init__(self, dimensions: int, metric: str = "l2", path: str = "./mmap_index.tvec") -> None: ...
    def add(self, id: int, vector: VectorLike) -> None: ...
    def add_batch(self, entries: list[tuple[int, VectorLike]]) -> None: ...
    def add_batch_np(
        self, vectors: npt.NDArray[np.float32], start_id: int = 0, ids: IdArray | None = None
    ) -> None:
        """Add vectors from a 2D numpy array (N × dim) with sequential IDs starting from `start_id`."""
    def search(self, query: VectorLike, k: int) -> list[SearchHit]: ...
    def search_batch(self, queries: QueryBlock, k: int, num_threads: int = 0) -> BatchAnswer:
        """Search many queries at once (any float dtype, converted once); row i equals search(queries[i], k), padded."""
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
    def add_batch_np(
        self, vectors: npt.NDArray[np.float32], start_id: int = 0, ids: IdArray | None = None
    ) -> None:
        """Add vectors from a 2D numpy array (N × dim) with sequential IDs starting from `start_id`."""
    def search(self, query: VectorLike, k: int) -> list[SearchHit]: ...
    def search_batch(self, queries: QueryBlock, k: int, num_threads: int = 0) -> BatchAnswer:
        """Search many queries at once (any float dtype, converted once); row i equals search(queries[i], k), padded."""
    def delete(self, id: int) -> bool: ...
    def save(self, path: str) -> None: ...
    @staticmethod
    def load(path: str) -> "BinaryFlatIndex": ...
    @property
    def dimensions(self) -> int: ...
    @property
    def metric(self) -> str: ...
    def __len__(self) -> int: ...
    def __getstate__(self) -> bytes: ...
    def __setstate__(self, state: bytes) -> None: ...
# ---- end BinaryFlatIndex ----

# ---- Client ----
Payload = Any
Filter = dict[str, Any]
SparseDict = dict[int, float]
HnswConfigDict = dict[str, int]
# {"id": int, "vector": float32 array, "payload": dict | None, "sparse_vector": SparseDict | None}
Record = dict[str, Any]

class Client:
    """Persistent vector database client.

    Opens a directory on disk. All writes are WAL-backed and survive restarts.

    Args:
        path: Data directory (default "./data"); created with its parents if missing.

    Example:
        >>> client = Client("./data")
        >>> docs = client.create_collection("docs", dimensions=384, metric="cosine")
        >>> docs.upsert(1, [0.1] * 384, payload={"title": "Hello"})
        >>> results = docs.search([0.1] * 384, k=5)
    """

    def __init__(self, path: str = "./data") -> None: ...
    def create_collection(
        self,
        name: str,
        dimensions: int,
        metric: str = "cosine",
        index_type: str = "hnsw",
        hnsw_config: HnswConfigDict | None = None,
    ) -> Collection:
        """Create a new collection.

        Args:
            name: Collection name.
            dimensions: Vector dimensions.
            metric: "cosine", "l2", or "dot_product".
            index_type: "hnsw", "flat", "quantized_flat", "fp16_flat", "ivf", "ivf_pq", or
                "mmap_flat" ("binary_flat" is accepted too).
            hnsw_config: Optional {"m", "ef_construction", "ef_search"} of an "hnsw"
                collection (any subset; defaults 12, 200, 50), kept in meta.json.
        """
    def get_collection(self, name: str) -> Collection:
        """Get an existing collection by name. Raises KeyError if not found."""
    def get_or_create_collection(
        self, name: str, dimensions: int, metric: str = "cosine", index_type: str = "hnsw"
    ) -> Collection:
        """Get a collection by name, or create it if it doesn't exist (uses HNSW)."""
    def delete_collection(self, name: str) -> bool:
        """Delete a collection and all its data from disk."""
    def list_collections(self) -> list[str]:
        """List all collection names."""
    def close(self) -> None:
        """Save changed HNSW graphs and let go of the data directory.

        Later calls on this Client raise RuntimeError("client is closed"); Collection objects
        it handed out keep working.
        """
    def __enter__(self) -> "Client": ...
    def __exit__(self, *args: object) -> None: ...
# ---- end Client ----

# ---- Collection ----
class Collection:
    """A named collection of vectors with WAL-backed persistence.

    Obtained via Client.create_collection() or Client.get_collection().

    Supports upsert, search, delete, hybrid search, and payload filtering.
    """

    def upsert(self, id: int, vector: VectorLike, payload: Payload | None = None) -> None:
        """Insert or update a vector by ID with optional metadata payload."""
    def upsert_batch(
        self,
        entries: list[tuple[int, VectorLike] | tuple[int, VectorLike, Payload | None]],
    ) -> None:
        """Batch insert or update multiple vectors at once. More efficient than
        calling upsert in a loop.

        Args:
            entries: List of (id, vector) tuples or (id, vector, payload) tuples.
        """
    def search(self, query: VectorLike, k: int, filter: Filter | None = None) -> list[SearchHit]:
        """Search for the k nearest vectors. Returns list of {id, distance, payload}.

        Supports optional payload filtering with operators: $eq, $ne, $in, $gt, $gte, $lt, $lte, $and, $or.
        """
    def upsert_hybrid(
        self,
        id: int,
        vector: VectorLike,
        sparse_vector: SparseDict | None = None,
        payload: Payload | None = None,
    ) -> None:
        """Insert or update a vector together with an optional sparse vector {dimension_index: weight} and payload."""
    def search_hybrid(
        self,
        dense_query: VectorLike,
        sparse_query: SparseDict,
        k: int,
        dense_weight: float = 0.7,
        sparse_weight: float = 0.3,
        filter: Filter | None = None,
    ) -> list[SearchHit]:
        """Hybrid search fusing dense distance and sparse dot-product scores.

        Returns list of {id, score, dense_distance, sparse_score, payload}, best score first.
        """
    def hybrid_candidates(
        self,
        dense_query: VectorLike,
        sparse_query: SparseDict,
        k: int,
        filter: Filter | None = None,
    ) -> tuple[list[tuple[int, float]], list[tuple[int, float]]]:
        """The raw pools search_hybrid fuses: ([(id, distance)], [(id, score)]), 10*k each.

        Dense ascending distance; sparse best first, equal scores by ascending ID; with a
        filter both are drawn from the matching vectors.
        """
    def delete(self, id: int) -> bool:
        """Delete a vector by ID. Returns True if found and removed."""
    def create_snapshot(self, name: str) -> dict[str, Any]:
        """Create a named snapshot. Returns {name, created_at, vector_count, sparse_count}."""
    def list_snapshots(self) -> list[dict[str, Any]]:
        """List the collection's snapshots, oldest first."""
    def restore_snapshot(self, name: str) -> None:
        """Restore the collection to a snapshot (the snapshot is kept)."""
    def delete_snapshot(self, name: str) -> None:
        """Delete a snapshot and all its files."""
    @property
    def name(self) -> str:
        """The collection name."""
    @property
    def count(self) -> int:
        """Number of vectors in the collection (0 once the collection is deleted)."""
    @property
    def sparse_count(self) -> int:
        """Number of stored sparse vectors (0 once the collection is deleted)."""
    def search_batch(self, queries: QueryBlock, k: int, filter: Filter | None = None) -> list[list[SearchHit]]:
        """One hit list per query, each as search() returns it; run in parallel."""
    def upsert_arrays(
        self, ids: IdArray, vectors: QueryBlock, payloads: list[Payload | None] | None = None
    ) -> None:
        """Column-wise bulk upsert with upsert_batch's rules (all checked first, one log flush)."""
    def upsert_hybrid_batch(
        self,
        entries: list[
            tuple[int, VectorLike, SparseDict | None] | tuple[int, VectorLike, SparseDict | None, Payload | None]
        ],
    ) -> None:
        """Batch upsert_hybrid with upsert_batch's rules."""
    def get(self, ids: IdArray) -> list[Record | None]:
        """The record of each ID, or None when absent."""
    def scan(self, after_id: int | None = None, limit: int = 1000, filter: Filter | None = None) -> list[Record]:
        """At most `limit` records with IDs above `after_id`, ascending, matching `filter`."""
    def count_where(self, filter: Filter) -> int:
        """Number of vectors whose payload (None when absent) matches the filter."""
    def delete_batch(self, ids: IdArray) -> int:
        """Delete many IDs with one log flush. Returns how many were present."""
    def delete_where(self, filter: Filter) -> int:
        """Delete every vector whose payload matches the filter. Returns how many."""
    def update_payload(self, id: int, payload: Payload | None) -> bool:
        """Replace only the payload of an existing ID; False (nothing written) when absent."""
    @property
    def dimensions(self) -> int:
        """Vector dimensions."""
    @property
    def metric(self) -> str:
        """Distance metric: "l2", "cosine", or "dot_product"."""
    @property
    def index_type(self) -> str:
        """Index kind ("hnsw" after a flat collection was promoted)."""
    def __len__(self) -> int: ...
# ---- end Collection ----

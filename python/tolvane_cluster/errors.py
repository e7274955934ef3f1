"""The two failures that only a sharded collection has."""


class ShardUnavailableError(RuntimeError):
    """A shard could not answer: its actor died for good, or its node is gone.

    Nothing was merged from the other shards. `shards` lists the shards that failed.
    """

    def __init__(self, message: str, shards: list[int]):
        super().__init__(message)
        self.shards = shards


class PartialWriteError(RuntimeError):
    """A write reached some shards but not all of them.

    The shards in `applied` acknowledged their part (it is durable there); the shards in
    `failed` may or may not have applied theirs. Upserts and deletes can simply be repeated.
    The first shard's error is the __cause__.
    """

    def __init__(self, message: str, applied: list[int], failed: list[int]):
        super().__init__(message)
        self.applied = applied
        self.failed = failed

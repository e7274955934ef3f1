"""Calling many shards at once: every call is awaited, then failures are reported whole."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable

import ray
from ray import exceptions as ray_errors

from .errors import PartialWriteError, ShardUnavailableError

# Ray's ways of saying that an actor could not run a call; anything else raised inside a
# shard is the collection's own error and reaches the caller unchanged.
_UNAVAILABLE = (
    ray_errors.RayActorError,
    ray_errors.ActorUnschedulableError,
    ray_errors.NodeDiedError,
    ray_errors.WorkerCrashedError,
    ray_errors.ObjectLostError,
)


@dataclass
class ShardCall:
    """One call to one shard. `submit` starts it (again, for the retry); a shard that cannot
    be reached at all has `unavailable` set instead."""

    shard: int
    actor: Any = None
    submit: Callable[[], Any] | None = None
    # Whether the call may run a second time after the actor restarted: true for every call
    # whose effect does not change when it is applied twice.
    retry: bool = False
    unavailable: str | None = None

    def __post_init__(self):
        self.ref = self.submit() if self.submit is not None else None


class _Unreachable(Exception):
    pass


def _first_line(error: BaseException) -> str:
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__


def _result(ref):
    """The call's answer; the collection's own error as it was raised in the shard."""
    try:
        return ray.get(ref)
    except ray_errors.RayTaskError as error:
        cause = error.cause if isinstance(error.cause, BaseException) else error
        if isinstance(cause, _UNAVAILABLE):
            raise _Unreachable(_first_line(cause)) from None
        raise cause from None
    except _UNAVAILABLE as error:
        raise _Unreachable(_first_line(error)) from None


def _await_restart(actor) -> None:
    # A task sent while the actor restarts fails at once; this one is resent by Ray until the
    # actor is up again (or gone for good, which raises). It changes nothing, so resending
    # it is always safe.
    _result(actor.where.options(max_task_retries=-1).remote())


def _outcome(call: ShardCall) -> tuple[bool, Any]:
    if call.unavailable is not None:
        return False, ShardUnavailableError(call.unavailable, [call.shard])
    try:
        try:
            return True, _result(call.ref)
        except _Unreachable:
            if not call.retry:
                raise
        _await_restart(call.actor)
        return True, _result(call.submit())
    except _Unreachable as error:
        return False, ShardUnavailableError(str(error), [call.shard])
    except Exception as error:  # the collection's own error, raised in the shard
        return False, error


def gather(calls: list[ShardCall], collection: str, write: bool = False) -> list[Any]:
    """The answers of every call, in order; or one error once all calls have ended.

    A read never returns a subset: any failed shard fails the call. A write that some shards
    applied and others did not raises PartialWriteError; when no shard applied it, the first
    error is raised as it is (so bad input reads exactly as on one collection).
    """
    outcomes = [_outcome(call) for call in calls]
    failed = [call.shard for call, (ok, _) in zip(calls, outcomes) if not ok]
    if not failed:
        return [value for _, value in outcomes]
    first = next(value for ok, value in outcomes if not ok)
    unavailable = [
        call.shard
        for call, (ok, value) in zip(calls, outcomes)
        if not ok and isinstance(value, ShardUnavailableError)
    ]
    if write and len(failed) < len(calls):
        applied = [call.shard for call, (ok, _) in zip(calls, outcomes) if ok]
        raise PartialWriteError(
            f"write to collection '{collection}' was applied on shards {applied} but failed on "
            f"shards {failed}: {_first_line(first)}",
            applied,
            failed,
        ) from first
    if unavailable:
        raise ShardUnavailableError(
            f"collection '{collection}': shards {unavailable} unavailable: {_first_line(first)}",
            unavailable,
        ) from first
    raise first

import asyncio
import socket
from collections.abc import AsyncIterator, Awaitable, Buffer, Callable, Iterable, Iterator
from types import TracebackType
from typing import SupportsBytes, SupportsIndex, final
from typing_extensions import Self, disjoint_base

from orvel.scribo.scribo import DefaultLogger

__all__ = ["AsyncBatchDispatcher", "AsyncDispatcher", "AsyncQueue", "CBufferView", "LumPipe", "RecordBatch",
           "SyncBatchDispatcher", "SyncDispatcher", "logger", "setup_socket"]

# Every type here exists for native code: Python builds, sets up and closes them; producers push
# through their native routines (see portage.pxd).

@disjoint_base
class CBufferView:
    def __init__(self, msg_kind: int = 4) -> None: ...

@disjoint_base
class LumPipe:
    def __init__(
        self,
        capacity: int = 16384,
        slot_size: int = 2048,
        zerocopy: bool = False,
        overwrite: bool = False,
        block_on_full: bool = False,
        variable_size: bool = False,
    ) -> None: ...

@disjoint_base
class SyncDispatcher:
    # The callback runs on the dispatcher's worker thread; what it returns is ignored.
    def __init__(
        self,
        callback: Callable[[bytes], object],
        capacity: int = 16384,
        slot_size: int = 2048,
        zerocopy: bool = False,
        overwrite: bool = False,
        block_on_full: bool = False,
        variable_size: bool = False,
        detach: bool = True,
        nonblocking: bool = True,
    ) -> None: ...
    def setup(self, host: str = "127.0.0.1", recvbuf: int = 16777216) -> None: ...
    def close(self) -> None: ...
    # pushed, popped, refused_full, dropped, wakeups_sent, consumer_sleeps, delivered,
    # callback_errors: a snapshot, approximate while records flow.
    def stats(self) -> dict[str, int]: ...
    # The exception that ended the worker (its queue is closed then), or None.
    @property
    def error(self) -> BaseException | None: ...
    @property
    def closed(self) -> bool: ...
    @property
    def worker_running(self) -> bool: ...
    @property
    def capacity(self) -> int | None: ...
    @property
    def slot_size(self) -> int | None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None, /
    ) -> None: ...

@disjoint_base
class AsyncDispatcher:
    # The callback's result is awaited by a task of the loop that ran setup().
    def __init__(
        self,
        callback: Callable[[bytes], Awaitable[object]],
        capacity: int = 16384,
        slot_size: int = 2048,
        overwrite: bool = False,
        zerocopy: bool = False,
        variable_size: bool = False,
    ) -> None: ...
    def setup(self, host: str = "127.0.0.1", recvbuf: int = 16777216) -> None: ...
    def close(self) -> None: ...
    # The counters, as SyncDispatcher.stats() gives them.
    def stats(self) -> dict[str, int]: ...
    # The exception that ended the reader task (its queue is closed then), or None.
    @property
    def error(self) -> BaseException | None: ...
    @property
    def closed(self) -> bool: ...
    @property
    def capacity(self) -> int | None: ...
    @property
    def slot_size(self) -> int | None: ...
    # The reader task: None before setup() and after close().
    @property
    def task(self) -> asyncio.Task[None] | None: ...
    async def __aenter__(self) -> Self: ...
    async def __aexit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None, /
    ) -> None: ...

# The records of one delivery of a batch dispatcher. Made by the dispatchers only; it owns its
# bytes, and what it gives out stays valid while held.
@final
class RecordBatch:
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> bytes: ...
    def __iter__(self) -> Iterator[bytes]: ...
    # The records' bytes back to back, read-only.
    def __buffer__(self, flags: int, /) -> memoryview: ...
    # Unsigned 64-bit integers (format "Q"), one per record.
    @property
    def offsets(self) -> memoryview: ...
    @property
    def lengths(self) -> memoryview: ...
    # The length every record has, or None when they differ.
    @property
    def record_size(self) -> int | None: ...
    @property
    def nbytes(self) -> int: ...

# Everything waiting in the queue, up to max_records records and max_bytes bytes (a single record
# may be longer), in one call of the callback on the worker thread.
@disjoint_base
class SyncBatchDispatcher(SyncDispatcher):
    def __init__(
        self,
        callback: Callable[[RecordBatch], object],
        capacity: int = 16384,
        slot_size: int = 2048,
        zerocopy: bool = False,
        overwrite: bool = False,
        block_on_full: bool = False,
        variable_size: bool = False,
        detach: bool = True,
        nonblocking: bool = True,
        max_records: int = 1024,
        max_bytes: int = 1048576,
    ) -> None: ...
    @property
    def max_records(self) -> int | None: ...
    @property
    def max_bytes(self) -> int | None: ...
    # SyncDispatcher's counters and batches; delivered counts records.
    def stats(self) -> dict[str, int]: ...

# The same on an event loop: the callback's result is awaited, or, built without a callback, the
# batches are taken with async for.
@disjoint_base
class AsyncBatchDispatcher(AsyncDispatcher):
    def __init__(
        self,
        callback: Callable[[RecordBatch], Awaitable[object]] | None = None,
        capacity: int = 16384,
        slot_size: int = 2048,
        overwrite: bool = False,
        zerocopy: bool = False,
        variable_size: bool = False,
        max_records: int = 1024,
        max_bytes: int = 1048576,
    ) -> None: ...
    @property
    def max_records(self) -> int | None: ...
    @property
    def max_bytes(self) -> int | None: ...
    def stats(self) -> dict[str, int]: ...
    def __aiter__(self) -> Self: ...
    async def __anext__(self) -> RecordBatch: ...

@disjoint_base
class AsyncQueue:
    def __init__(
        self,
        loop: asyncio.AbstractEventLoop | None = None,
        slot_size: int = 1024,
        capacity: int = 16384,
        overwrite: bool = False,
        zerocopy: bool = False,
        block_on_full: bool = False,
    ) -> None: ...
    async def push_buf(self, msg: Buffer) -> None: ...
    async def push_obj(self, msg: SupportsBytes | Buffer | Iterable[SupportsIndex]) -> None: ...
    async def push_str(self, msg: str) -> None: ...
    async def pop(self) -> bytes: ...
    def start_dispatcher(self, callback: Callable[[bytes], Awaitable[object]]) -> None: ...
    async def shutdown(self, *excinfo: object) -> None: ...
    @property
    def capacity(self) -> int | None: ...
    @property
    def slot_size(self) -> int | None: ...
    # Messages as pop() returns them, until the queue has been shut down and holds no more.
    def __aiter__(self) -> Self: ...
    async def __anext__(self) -> bytes: ...
    async def __aenter__(self) -> Self: ...
    async def __aexit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None, /
    ) -> None: ...

def setup_socket(blocking: bool, recvbuf: int) -> socket.socket: ...

logger: DefaultLogger

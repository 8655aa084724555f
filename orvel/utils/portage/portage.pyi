import asyncio
import socket
from collections.abc import Awaitable, Buffer, Callable, Iterable
from typing import SupportsBytes, SupportsIndex
from typing_extensions import disjoint_base

from orvel.scribo.scribo import DefaultLogger
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
    # The exception that ended the worker (its queue is closed then), or None.
    @property
    def error(self) -> BaseException | None: ...

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
    # The exception that ended the reader task (its queue is closed then), or None.
    @property
    def error(self) -> BaseException | None: ...

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

def setup_socket(blocking: bool, recvbuf: int) -> socket.socket: ...

logger: DefaultLogger

"""The message bridge: records from native threads through a LumPipe to a native consumer, and
from a native producer to Python callbacks on a worker thread (SyncDispatcher) and on an asyncio
loop (AsyncDispatcher), with the counts and the rates. The producers are the `feeder` example
extension's native threads."""

import asyncio
import threading
import time

import feeder
from orvel.scribo import Level, Logger, StdoutHandler
from orvel.utils.portage.portage import AsyncDispatcher, LumPipe, SyncDispatcher

RECORDS = 1_000_000


def report(label: str, count: int, seconds: float, size: int = 64) -> None:
    print(f"{label:52} {count:>9,} records  {count / seconds / 1e6:6.2f} M/s  "
          f"{count * size / seconds / 2**20:7.1f} MiB/s")


def pipes() -> None:
    for label, variable_size, size in (("LumPipe, 64-byte records, native to native", False, 64),
                                       ("LumPipe, 1500-byte messages over 512-byte slots", True, 1500)):
        pipe = LumPipe(capacity=1024, slot_size=512 if variable_size else 64, block_on_full=True,
                       variable_size=variable_size)
        moved = feeder.stream(pipe, RECORDS // 4 if variable_size else RECORDS, size, variable_size)
        assert moved["sent"] == moved["received"] == moved["intact"]
        report(label, moved["received"], moved["seconds"], size)


def sync_dispatcher(nonblocking: bool) -> None:
    delivered = 0
    finished = threading.Event()

    def callback(record: bytes) -> None:
        nonlocal delivered
        delivered += 1
        if len(record) == 1:  # the feed's end marker
            finished.set()

    dispatcher = SyncDispatcher(callback, nonblocking=nonblocking, block_on_full=not nonblocking)
    dispatcher.setup()
    start = time.perf_counter()
    feed = feeder.Feed(dispatcher, RECORDS, 64, end_marker=True).start()
    finished.wait()
    seconds = time.perf_counter() - start
    feed.join()
    dispatcher.close()
    mode = "woken through its socket" if nonblocking else "waiting in the queue"
    report(f"SyncDispatcher, callback on its worker, {mode}", delivered, seconds)


async def async_dispatcher() -> None:
    delivered = 0
    finished: asyncio.Future[None] = asyncio.get_running_loop().create_future()

    async def callback(record: bytes) -> None:
        nonlocal delivered
        delivered += 1
        if len(record) == 1:
            finished.set_result(None)

    dispatcher = AsyncDispatcher(callback)
    dispatcher.setup()
    start = time.perf_counter()
    feed = feeder.Feed(dispatcher, RECORDS, 64, end_marker=True).start()
    await finished
    seconds = time.perf_counter() - start
    feed.join()
    dispatcher.close()
    report("AsyncDispatcher, coroutine callback on the loop", delivered, seconds)


def main() -> None:
    # The signal watcher reports to the default logger; only warnings are of interest here.
    Logger("demo", Level.WARN, handlers=[StdoutHandler(max_level=Level.OFF)], set_default=True)
    pipes()
    sync_dispatcher(nonblocking=True)
    sync_dispatcher(nonblocking=False)
    asyncio.run(async_dispatcher())


if __name__ == "__main__":
    main()

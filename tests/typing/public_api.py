"""Every public name of orvel's stubs, used as an application would: `mypy --strict` checks it
against the installed stubs (tests/python/test_stubs.py), and the same test runs it, so a stub
that types a call the modules refuse fails too. `assert_type` pins the types the stubs promise;
the `type: ignore` lines are calls the stubs must refuse (strict mode reports an unneeded one)."""

import asyncio
import logging
import os
import socket
import tempfile
from collections.abc import Coroutine
from typing import Any, assert_type

import orvel
import orvel.utils.vigil.vigil
from orvel.scribo import (
    BasicConsoleHandler,
    ColorScheme,
    ConsoleHandler,
    DefaultLogger,
    FileHandler,
    Level,
    LogHandler,
    Logger,
    PyLogHandler,
    RotatingFileHandler,
    StderrHandler,
    StdoutHandler,
)
from orvel.tandem.tandem import Tandem
from orvel.utils.portage.portage import (
    AsyncBatchDispatcher,
    AsyncDispatcher,
    AsyncQueue,
    CBufferView,
    LumPipe,
    RecordBatch,
    SyncBatchDispatcher,
    SyncDispatcher,
    logger,
    setup_socket,
)


def queues() -> None:
    Tandem(slot_size=64, capacity=8, overwrite=False, zerocopy=False, block_on_full=True)
    CBufferView(msg_kind=1)
    LumPipe(capacity=16, slot_size=64, zerocopy=False, overwrite=False, block_on_full=True, variable_size=True)


def descriptors(directory: str) -> list[LogHandler]:
    assert list(Level) == [Level.TRACE, Level.DEBUG, Level.INFO, Level.WARN, Level.ERROR, Level.CRITICAL, Level.OFF]
    base = LogHandler(color=False, pattern="%v", level=Level.DEBUG)
    base.level = 3
    assert_type(base.level, Level)
    assert base.level is Level.WARN
    stdout = StdoutHandler(color=False, pattern="%v", level=Level.TRACE, max_level=Level.OFF)
    stdout.max_level = Level.OFF
    assert_type(stdout.max_level, Level)
    console = ConsoleHandler(color=True, pattern="%v", max_stdout_level=Level.INFO, min_level=Level.TRACE)
    console.max_stdout_level, console.min_level = Level.INFO, Level.OFF
    assert_type(console.min_level, Level)
    file = FileHandler(filename=os.path.join(directory, "a.log"), color=False, pattern="%v", level=Level.TRACE,
                       overwrite=True)
    file.overwrite = False
    rotating = RotatingFileHandler(filename=os.path.join(directory, "b.log"), pattern="%v", level=Level.TRACE,
                                   max_size=4096, max_files=2)
    rotating.max_size, rotating.max_files = 8192, 3
    assert_type(rotating.filename, str | None)
    assert_type(rotating.pattern, str | None)
    stdout.color = bool(stdout.color)
    return [stdout, StderrHandler(color=False, pattern="%v", level=Level.ERROR),
            BasicConsoleHandler(color=False, pattern="%v", level=Level.OFF), console, file, rotating]


class JobLogger(Logger):
    """A subclass with a constructor of its own."""

    def __init__(self, directory: str, job: str) -> None:
        super().__init__(job, Level.INFO, handlers=[FileHandler(os.path.join(directory, "jobs.log"))])
        self.job = job


def logging_(directory: str) -> None:
    colors = ColorScheme(trace_color=-1, debug_color=-1, info_color=208, warn_color=33, error_color=31,
                         critical_color=-1)
    colors.trace_color = colors.debug_color = colors.warn_color = colors.error_color = colors.critical_color = -1
    assert_type(colors.info_color, int)
    log = Logger(name="typing", level=Level.TRACE, pattern="%v", handlers=descriptors(directory),
                 color_scheme=colors, set_default=True, intercept_stdlib_logging=True)
    for write in (log.trace, log.debug, log.info, log.warn, log.error, log.critical):
        write("from Logger", fg_color=2, bg_color=-1, effect=1)
    default = DefaultLogger()
    for write in (default.trace, default.debug, default.info, default.warn, default.error, default.critical):
        write("from DefaultLogger", fg_color=-1, bg_color=-1, effect=-1)
    for speaker in (log, default):
        speaker.warning("warning", fg_color=-1, bg_color=-1, effect=-1)
        speaker.log(Level.WARNING, msg="log", fg_color=-1, bg_color=-1, effect=-1)
        try:
            raise RuntimeError("handled")
        except RuntimeError:
            speaker.exception("exception", fg_color=-1, bg_color=-1, effect=-1)
        speaker.flush()
    logger.info("through the bridge module's logger")
    JobLogger(directory, "job-7").info("done")
    handler = PyLogHandler(level=logging.INFO)
    handler.emit(logging.LogRecord("typing", logging.INFO, "public_api.py", 1, "a standard record", None, None))


def dispatchers() -> None:
    def on_record(record: bytes) -> None:
        pass

    sync = SyncDispatcher(on_record, capacity=16, slot_size=64, zerocopy=False, overwrite=False,
                          block_on_full=False, variable_size=False, detach=False, nonblocking=True)
    sync.setup(host="127.0.0.1", recvbuf=0)
    sync.close()
    assert_type(sync.error, BaseException | None)
    assert_type(sync.stats(), dict[str, int])
    with SyncDispatcher(on_record) as entered:
        assert_type(entered, SyncDispatcher)
        assert_type(entered.closed, bool)
        assert_type(entered.worker_running, bool)
        assert_type(entered.capacity, int | None)
        assert_type(entered.slot_size, int | None)
    def on_batch(batch: RecordBatch) -> None:
        assert_type([len(batch), batch.nbytes, len(batch.offsets), len(batch.lengths)], list[int])
        assert_type((batch[0], list(batch), memoryview(batch), batch.record_size),
                    tuple[bytes, list[bytes], memoryview, int | None])

    batches = SyncBatchDispatcher(on_batch, capacity=16, slot_size=64, zerocopy=False, overwrite=False,
                                  block_on_full=False, variable_size=False, detach=False, nonblocking=True,
                                  max_records=8, max_bytes=512)
    assert_type((batches.max_records, batches.max_bytes), tuple[int | None, int | None])
    with batches:
        assert_type(batches.stats()["batches"], int)
    sock = setup_socket(blocking=False, recvbuf=0)
    assert_type(sock, socket.socket)
    sock.close()


async def coroutines() -> None:
    async def on_record(record: bytes) -> None:
        pass

    dispatcher = AsyncDispatcher(on_record, capacity=16, slot_size=64, overwrite=False, zerocopy=False,
                                 variable_size=True)
    dispatcher.setup(host="127.0.0.1", recvbuf=0)
    dispatcher.close()
    assert_type(dispatcher.error, BaseException | None)
    assert_type(dispatcher.stats()["delivered"], int)
    async with AsyncDispatcher(on_record) as entered:
        assert_type(entered.task, asyncio.Task[None] | None)
        assert_type(entered.closed, bool)
        assert_type((entered.capacity, entered.slot_size), tuple[int | None, int | None])

    async def on_batch(batch: RecordBatch) -> None:
        pass

    async with AsyncBatchDispatcher(on_batch, capacity=16, slot_size=64, overwrite=False, zerocopy=False,
                                    variable_size=False, max_records=8, max_bytes=512) as called_back:
        assert_type(called_back.stats()["batches"], int)
    async with AsyncBatchDispatcher(slot_size=64) as iterated:
        iterated.close()
        assert [len(batch) async for batch in iterated] == []

    queue = AsyncQueue(loop=None, slot_size=64, capacity=16, overwrite=False, zerocopy=False, block_on_full=False)
    popped = assert_type(queue.pop(), Coroutine[Any, Any, bytes])
    await queue.push_buf(bytearray(b"buf"))
    await queue.push_obj([104, 105])
    await queue.push_str("str")
    assert [await popped, await queue.pop(), await queue.pop()] == [b"buf", b"hi", b"str"]
    queue.start_dispatcher(on_record)
    await queue.shutdown(None, None, None)
    async with AsyncQueue(capacity=16) as scoped:
        assert_type((scoped.capacity, scoped.slot_size), tuple[int | None, int | None])
    assert [record async for record in scoped] == []


def refused() -> None:
    """Never called: each line is a call the stubs refuse."""
    Tandem(64)  # type: ignore[call-arg]
    Tandem(64, 8, flavour=True)  # type: ignore[call-arg]
    FileHandler(None)  # type: ignore[arg-type]
    StdoutHandler().max_level = "INFO"  # type: ignore[assignment]
    AsyncDispatcher(lambda record: None)  # type: ignore[arg-type,return-value]
    SyncBatchDispatcher(lambda record: record.decode())  # type: ignore[attr-defined]
    Logger("x").info(b"bytes")  # type: ignore[arg-type]


def main() -> None:
    assert_type(orvel.get_include(), str)
    assert_type(orvel.get_cmake_dir(), str)
    assert orvel.utils.vigil.vigil.__name__ == "orvel.utils.vigil.vigil"
    queues()
    with tempfile.TemporaryDirectory() as directory:
        logging_(directory)
        dispatchers()
        asyncio.run(coroutines())
        Logger("quiet", Level.OFF, handlers=[StderrHandler()], set_default=True)  # closes the files
    print("every public name used")


if __name__ == "__main__":
    main()

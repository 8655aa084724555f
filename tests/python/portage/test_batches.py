"""The batch dispatchers: what Python sees of the records a native producer pushes, delivered as
RecordBatch objects to a callback on a worker thread, to a coroutine, or to `async for`."""

import asyncio
import inspect
import pathlib
import pickle
import queue
import threading

import numpy
import pytest

import feeder
import native
from orvel.utils.portage.portage import (AsyncBatchDispatcher, AsyncDispatcher, RecordBatch, SyncBatchDispatcher,
                                         SyncDispatcher)
from test_asyncio_bridge import until
from test_sync_dispatcher import wait_until

WORKER = "orvel.utils.portage.portage.SyncBatchDispatcher._SyncDispatcher__"
SYNC_MODES = [  # nonblocking, variable_size, the worker's routine
    (True, False, "try_pop"), (True, True, "try_pop_var"), (False, False, "pop"), (False, True, "pop_var")]


def records_of(batch):
    """The batch's records read three ways, which must agree: by index, by iteration and from the
    buffer with the offsets and lengths."""
    payload = bytes(memoryview(batch))
    spans = [payload[offset:offset + length] for offset, length in zip(batch.offsets, batch.lengths)]
    assert list(batch) == [batch[i] for i in range(len(batch))] == spans
    assert sum(batch.lengths) == batch.nbytes == len(payload)
    return spans


class Batches:
    """A callback that keeps every batch whole (the batch objects themselves), on which thread."""

    def __init__(self, fail_at=None):
        self.batches, self.threads, self.fail_at = [], set(), fail_at

    def __call__(self, batch):
        self.threads.add(threading.get_native_id())
        if len(self.batches) == self.fail_at:
            raise ValueError("refused")
        self.batches.append(batch)

    async def coroutine(self, batch):
        self(batch)

    def records(self):
        return [record for batch in self.batches for record in records_of(batch)]


def check_bounds(batches, max_records, max_bytes):
    for batch in batches:
        assert 1 <= len(batch) <= max_records
        assert len(batch) == 1 or batch.nbytes <= max_bytes


@pytest.mark.parametrize("nonblocking, variable_size, routine", SYNC_MODES)
def test_every_record_arrives_once_in_order_in_batches_within_their_bounds(nonblocking, variable_size, routine):
    count, size, bounds = (20_000, 300, (50, 2000)) if variable_size else (100_000, 64, (100, 1 << 20))
    callback = Batches()
    dispatcher = SyncBatchDispatcher(callback, capacity=64, slot_size=64, variable_size=variable_size,
                                     nonblocking=nonblocking, block_on_full=not nonblocking,
                                     max_records=bounds[0], max_bytes=bounds[1])
    # The producer's side is the per-record dispatcher's: its _push and its table.
    assert native.fields(dispatcher).push == native.fields(SyncDispatcher(len, variable_size=variable_size,
                                                                           nonblocking=nonblocking)).push
    dispatcher.setup()
    moved = feeder.Feed(dispatcher, count, size, variable_size, pause_one_in=64, max_pause_us=300).start().join()
    assert moved["pushed"] == count
    wait_until(lambda: dispatcher.stats()["delivered"] == count)
    assert callback.records() == [feeder.record(seq, size, variable_size) for seq in range(count)]
    check_bounds(callback.batches, *bounds)
    assert threading.get_native_id() not in callback.threads
    stats = dispatcher.stats()
    assert stats["batches"] == len(callback.batches) < count
    assert stats["popped"] == stats["delivered"] == count and stats["callback_errors"] == 0
    dispatcher.close()
    assert native.push(dispatcher, b"late") == -1


@pytest.mark.parametrize("variable_size", [False, True])
@pytest.mark.parametrize("consumer", ["callback", "async for"])
def test_every_record_reaches_the_loop_once_in_order_in_batches(run_async, consumer, variable_size):
    count, size, bounds = (10_000, 300, (50, 2000)) if variable_size else (50_000, 64, (100, 1 << 20))

    async def main():
        callback = Batches()
        dispatcher = AsyncBatchDispatcher(callback.coroutine if consumer == "callback" else None, capacity=64,
                                          slot_size=64, variable_size=variable_size,
                                          max_records=bounds[0], max_bytes=bounds[1])
        async with dispatcher:
            feed = feeder.Feed(dispatcher, count, size, variable_size, pause_one_in=64, max_pause_us=300).start()
            if consumer == "callback":
                await until(lambda: dispatcher.stats()["delivered"] == count)
            else:
                async for batch in dispatcher:
                    callback(batch)
                    if sum(map(len, callback.batches)) == count:
                        break
            await asyncio.to_thread(feed.join)
        assert callback.records() == [feeder.record(seq, size, variable_size) for seq in range(count)]
        check_bounds(callback.batches, *bounds)
        assert dispatcher.stats()["popped"] == count

    run_async(main)


# What a callback keeps of each batch, and reads again only once the ring has gone round many times
# and other batches have been filled: each must still read as its records did.
KEPT = {
    "the batch": lambda batch: batch,
    "a memoryview of it": memoryview,
    "a numpy array over it": lambda batch: numpy.frombuffer(batch, dtype=numpy.uint8),
    "its offsets and lengths": lambda batch: (batch.offsets, batch.lengths, bytes(batch)),
    "a record": lambda batch: batch[0],
}


def read_kept(kept):
    if isinstance(kept, tuple):
        offsets, lengths, payload = kept
        return [payload[o:o + n] for o, n in zip(offsets, lengths)]
    if isinstance(kept, (bytes, memoryview, numpy.ndarray)):
        return bytes(kept)
    return records_of(kept)


@pytest.mark.parametrize("what", KEPT)
def test_what_a_callback_keeps_stays_readable_while_the_ring_wraps(what):
    kept, expected = [], []

    def callback(batch):
        kept.append(KEPT[what](batch))
        expected.append(read_kept(kept[-1]))

    with SyncBatchDispatcher(callback, capacity=16, slot_size=64, max_records=8) as dispatcher:
        feeder.Feed(dispatcher, 5_000, 64, pause_one_in=16, max_pause_us=100).start().join()
        wait_until(lambda: dispatcher.stats()["delivered"] == 5_000)
    assert [read_kept(k) for k in kept] == expected
    assert len(kept) > 5_000 // 8 // 2  # a batch per few records: the ring went round hundreds of times


def test_a_batch_passed_to_another_thread_reads_as_it_was_given():
    handed, results = queue.Queue(), []

    def reader():
        while (batch := handed.get()) is not None:
            results.append(records_of(batch))

    thread = threading.Thread(target=reader)
    thread.start()
    with SyncBatchDispatcher(handed.put, capacity=16, slot_size=64, max_records=4) as dispatcher:
        feeder.Feed(dispatcher, 4_000, 64).start().join()
        wait_until(lambda: dispatcher.stats()["delivered"] == 4_000)
    handed.put(None)
    thread.join()
    assert [record for batch in results for record in batch] == [feeder.record(seq, 64) for seq in range(4_000)]


def test_a_batch_nobody_holds_is_reused_and_one_that_is_held_never_is():
    seen = []  # (the batch's id, its first record, whether the callback keeps it)
    kept = []

    def callback(batch):
        keep = len(seen) % 3 == 0
        seen.append((id(batch), batch[0], keep))
        if keep:
            kept.append((batch, batch[0]))

    with SyncBatchDispatcher(callback, capacity=8, slot_size=64, max_records=1) as dispatcher:
        feeder.Feed(dispatcher, 300, 64, pause_one_in=1, max_pause_us=50).start().join()
        wait_until(lambda: dispatcher.stats()["delivered"] == 300)
    assert all(batch[0] == first for batch, first in kept)
    kept_ids = {id(batch) for batch, _ in kept}
    # The batches let go of are reused (few distinct objects), and none of the kept ones after it was kept.
    assert len({batch_id for batch_id, _, keep in seen if not keep} - kept_ids) <= 3
    later = {}
    for index, (batch_id, _, keep) in enumerate(seen):
        assert batch_id not in later or not later[batch_id], "a kept batch was handed out again"
        later[batch_id] = later.get(batch_id, False) or keep


def test_a_batch_is_a_read_only_sequence_over_one_buffer():
    batches = []
    dispatcher = SyncBatchDispatcher(batches.append, slot_size=64)
    for _ in range(3):  # waiting in the queue before setup(): the first batch takes all three
        native.push(dispatcher, bytes(range(64)))
    with dispatcher:
        wait_until(lambda: dispatcher.stats()["delivered"] == 3)
        native.push(dispatcher, b"short")
        wait_until(lambda: dispatcher.stats()["delivered"] == 4)
    whole = batches[0]
    assert len(whole) == 3
    records = records_of(whole)
    assert whole[-1] == records[-1] and whole[0] == bytes(range(64))
    with pytest.raises(IndexError):
        whole[len(whole)]
    assert whole.record_size == 64 and batches[-1].record_size == 5
    rows = numpy.frombuffer(whole, dtype=numpy.uint8).reshape(len(whole), whole.record_size)
    assert rows[:, 1].tolist() == [1] * len(whole)
    assert memoryview(whole).cast("B", (len(whole), 64)).tolist()[0] == list(range(64))
    view = memoryview(whole)
    assert view.readonly and view.format == "B"
    with pytest.raises(TypeError):
        view[0] = 1
    for index in (whole.offsets, whole.lengths):
        assert index.format == "Q" and index.readonly and index.tolist() == list(index)
    assert numpy.frombuffer(whole.lengths, dtype=numpy.uint64).tolist() == [64] * len(whole)
    assert repr(whole) == f"<RecordBatch records={len(whole)} nbytes={64 * len(whole)}>"
    with pytest.raises(TypeError):
        RecordBatch()
    with pytest.raises(TypeError):
        pickle.dumps(whole)


def test_iterating_gives_each_record_intact_and_never_changes_one_that_is_kept():
    batches = []
    dispatcher = SyncBatchDispatcher(batches.append, slot_size=64)
    feeder.push_natively(dispatcher, [64] * 10)  # waiting before setup(): one batch
    for seq in range(10):
        native.push(dispatcher, feeder.record(seq, 64))
    with dispatcher:
        wait_until(lambda: dispatcher.stats()["delivered"] == 20)
    batch = batches[0]
    # Each record dropped once copied (the bytes it lived in may carry a later one), every third kept.
    copies, kept = [], []
    for index, record in enumerate(batch):
        copies.append(bytearray(record))
        if index % 3 == 0:
            kept.append(record)
    assert copies == [bytes(64)] * 10 + [feeder.record(seq, 64) for seq in range(10)]
    assert kept == [copies[index] for index in range(0, 20, 3)]
    assert [hash(record) for record in batch] == [hash(bytes(copy)) for copy in copies]


def test_mixed_lengths_and_empty_records():
    batches = []
    with SyncBatchDispatcher(batches.append, slot_size=256) as dispatcher:
        feeder.push_natively(dispatcher, [0, 3, 0, 200])
        wait_until(lambda: dispatcher.stats()["delivered"] == 4)
        feeder.push_natively(dispatcher, [0])
        wait_until(lambda: dispatcher.stats()["delivered"] == 5)
    records = [record for batch in batches for record in records_of(batch)]
    assert records == [b"", bytes(3), b"", bytes(200), b""]
    assert batches[-1].record_size == 0 and bytes(batches[-1]) == b"" and batches[0].record_size in (None, 0)


@pytest.mark.parametrize("kind", [SyncBatchDispatcher, AsyncBatchDispatcher], ids=lambda kind: kind.__name__)
def test_the_constructor_the_bounds_and_the_surface(kind):
    callback = len if kind is SyncBatchDispatcher else None
    signature = inspect.signature(kind)
    assert list(signature.parameters)[-2:] == ["max_records", "max_bytes"]
    assert signature.parameters["max_records"].default == 1024
    assert signature.parameters["max_bytes"].default == 1 << 20
    dispatcher = kind(callback, max_records=7, max_bytes=100)
    assert (dispatcher.max_records, dispatcher.max_bytes) == (7, 100)
    assert isinstance(dispatcher, SyncDispatcher if kind is SyncBatchDispatcher else AsyncDispatcher)
    assert repr(dispatcher).startswith(f"<{kind.__name__} capacity=16384 slot_size=2048 ")
    assert dispatcher.stats()["batches"] == 0
    dispatcher.close()
    blank = kind.__new__(kind)
    assert (blank.max_records, blank.max_bytes) == (None, None)
    for bounds, error in [({"max_records": 0}, ValueError), ({"max_bytes": 0}, ValueError),
                          ({"max_records": -1}, OverflowError), ({"max_bytes": 1.5}, TypeError)]:
        with pytest.raises(error):
            kind(callback, **bounds)


def test_a_coroutine_callback_is_refused_on_a_thread_and_a_called_back_dispatcher_is_not_iterable(run_async):
    async def coroutine(batch):
        pass

    with pytest.raises(TypeError, match="AsyncDispatcher"):
        SyncBatchDispatcher(coroutine)

    async def main():
        with pytest.raises(TypeError, match="callback"):
            AsyncBatchDispatcher(coroutine).__aiter__()
        unset = AsyncBatchDispatcher()
        with pytest.raises(RuntimeError, match="not set up"):
            await unset.__anext__()
        unset.close()
        assert [batch async for batch in unset] == []  # closed: the iteration ends at once

    run_async(main)


@pytest.mark.parametrize("nonblocking, variable_size, routine", SYNC_MODES)
def test_a_failing_batch_callback_ends_the_worker_and_producers_are_told(unraisable, nonblocking, variable_size,
                                                                         routine):
    callback = Batches(fail_at=1)
    dispatcher = SyncBatchDispatcher(callback, slot_size=64, max_records=2, nonblocking=nonblocking,
                                     variable_size=variable_size)
    for _ in range(5):
        assert native.push(dispatcher, b"x" * 8) == 1
    dispatcher.setup()
    wait_until(lambda: not dispatcher.worker_running)
    assert isinstance(dispatcher.error, ValueError)
    assert [(name, type(error)) for name, error in unraisable] == [(WORKER + routine, ValueError)]
    assert native.push(dispatcher, b"late") == -1
    stats = dispatcher.stats()
    assert (stats["batches"], stats["delivered"], stats["callback_errors"], stats["undelivered"]) == (1, 2, 1, 2)
    assert stats["popped"] == stats["delivered"] + stats["undelivered"]
    dispatcher.close()


# Five 8-byte records wait before setup() and batches hold 20 bytes: [0, 1], then [2, 3]. However
# the run ends, every record taken from the queue is delivered or undelivered. A worker's callback
# that close() interrupts still returns; a coroutine that close() cancels counts as a callback that
# raised; `async for` has no callback to fail, and the batch it took is delivered. A single-slot
# record that would take a batch over its bytes stays in the queue; a message, popped whole, is held
# back for the next batch, and undelivered when the run ends first.
ENDINGS = {  # (consumer, ending): records pushed, (popped, delivered, batches, callback_errors, undelivered)
    ("worker", "the second callback raises"): (5, (4, 2, 1, 1, 2)),
    ("worker", "closed in the first callback"): (3, (2, 2, 1, 0, 0)),
    ("coroutine", "the second callback raises"): (5, (4, 2, 1, 1, 2)),
    ("coroutine", "closed in the first callback"): (3, (2, 0, 0, 1, 2)),
    ("async for", "leaving the loop at the first batch"): (3, (2, 2, 1, 0, 0)),
}
HELD_BACK = (1, 0, 0, 0, 1)  # what a message held back adds


def expected_counts(consumer, ending, variable_size):
    pushed, counts = ENDINGS[(consumer, ending)]
    return pushed, tuple(n + held * variable_size for n, held in zip(counts, HELD_BACK))


def push_numbered(dispatcher, count):
    for seq in range(count):
        assert native.push(dispatcher, b"%d" % seq * 8) == 1


def check_counted(dispatcher, expected):
    stats = dispatcher.stats()
    keys = ("popped", "delivered", "batches", "callback_errors", "undelivered")
    assert tuple(stats[key] for key in keys) == expected
    assert stats["popped"] == stats["delivered"] + stats["undelivered"]


@pytest.mark.parametrize("variable_size", [False, True])
@pytest.mark.parametrize("ending", [ending for consumer, ending in ENDINGS if consumer == "worker"])
def test_a_worker_counts_every_record_it_took_however_it_ends(unraisable, ending, variable_size):
    pushed, expected = expected_counts("worker", ending, variable_size)
    entered, release = threading.Event(), threading.Event()

    def callback(batch):
        entered.set()
        if ending == "closed in the first callback":
            release.wait(10)
        elif batch[0] != b"0" * 8:
            raise ValueError("refused")

    dispatcher = SyncBatchDispatcher(callback, slot_size=64, max_bytes=20, variable_size=variable_size)
    push_numbered(dispatcher, pushed)
    dispatcher.setup()
    assert entered.wait(10)
    if ending == "closed in the first callback":
        dispatcher.close()
        release.set()
    wait_until(lambda: not dispatcher.worker_running)
    check_counted(dispatcher, expected)
    dispatcher.close()


@pytest.mark.parametrize("variable_size", [False, True])
@pytest.mark.parametrize("consumer, ending", [key for key in ENDINGS if key[0] != "worker"])
def test_a_reader_counts_every_record_it_took_however_it_ends(run_async, consumer, ending, variable_size):
    pushed, expected = expected_counts(consumer, ending, variable_size)

    async def main():
        entered = asyncio.Event()

        async def callback(batch):
            entered.set()
            if ending == "closed in the first callback":
                await asyncio.sleep(3600)
            elif batch[0] != b"0" * 8:
                raise ValueError("refused")

        dispatcher = AsyncBatchDispatcher(callback if consumer == "coroutine" else None, slot_size=64, max_bytes=20,
                                          variable_size=variable_size)
        push_numbered(dispatcher, pushed)
        async with dispatcher:
            if consumer == "async for":
                async for batch in dispatcher:
                    assert len(batch) == 2
                    break
            elif ending == "closed in the first callback":
                await asyncio.wait_for(entered.wait(), 10)
            else:
                await asyncio.wait((dispatcher.task,), timeout=10)
        check_counted(dispatcher, expected)

    run_async(main)


def test_a_failing_coroutine_ends_the_reader_and_async_for_ends_when_closed(run_async):
    async def raising(batch):
        raise LookupError("no")

    async def main():
        dispatcher = AsyncBatchDispatcher(raising)
        dispatcher.setup()
        assert native.push(dispatcher, b"abc") == 1
        with pytest.raises(LookupError):
            await dispatcher.task
        assert isinstance(dispatcher.error, LookupError) and native.push(dispatcher, b"late") == -1
        assert dispatcher.stats()["callback_errors"] == 1
        dispatcher.close()

        iterated = AsyncBatchDispatcher(slot_size=64)
        async with iterated:
            native.push(iterated, b"one")
            got = []

            async def consume():
                async for batch in iterated:
                    got.extend(batch)

            consumer = asyncio.create_task(consume())
            await until(lambda: got == [b"one"])
            threading.Thread(target=iterated.close).start()  # from another thread
            await asyncio.wait_for(consumer, 10)  # StopAsyncIteration, not a hang
        assert native.push(iterated, b"late") == -1

    run_async(main)


def test_overwrite_drops_are_counted_and_never_delivered():
    callback = Batches()
    with SyncBatchDispatcher(callback, capacity=16, slot_size=64, overwrite=True, max_records=4) as dispatcher:
        feeder.Feed(dispatcher, 20_000, 64).start().join()
        wait_until(lambda: (s := dispatcher.stats())["popped"] + s["dropped"] == 20_000)
        wait_until(lambda: dispatcher.stats()["delivered"] == dispatcher.stats()["popped"])
    stats = dispatcher.stats()
    seqs = [int.from_bytes(record[:8], "little") for record in callback.records()]
    assert seqs == sorted(set(seqs)) and len(seqs) == stats["delivered"]
    assert stats["pushed"] == 20_000 and stats["batches"] == len(callback.batches)


CHILD = """
import asyncio, os, signal, sys, threading, time
import feeder
from orvel.utils.portage.portage import AsyncBatchDispatcher, SyncBatchDispatcher

scenario = {scenario!r}
started = threading.Event()

def slow(batch):
    started.set()
    time.sleep(0.01)

if scenario == "fork":
    async def main():
        live = [SyncBatchDispatcher(len), SyncBatchDispatcher(len, nonblocking=False), AsyncBatchDispatcher()]
        for dispatcher in live:
            dispatcher.setup()
        pid = os.fork()
        if pid == 0:
            print("CHILD", [feeder.push_natively(dispatcher, [3]) for dispatcher in live], flush=True)
            os._exit(0)
        os.waitpid(pid, 0)
        print("PARENT", [feeder.push_natively(dispatcher, [3]) for dispatcher in live], flush=True)
    asyncio.run(main())
elif scenario == "exit inside a callback":
    dispatcher = SyncBatchDispatcher(slow)
    dispatcher.setup()
    feed = feeder.Feed(dispatcher, 10_000_000, 64).start()
    started.wait()
    print("EXITING", flush=True)
elif scenario == "signal":
    dispatcher = SyncBatchDispatcher(len, nonblocking=False)  # its worker sleeps in the queue
    dispatcher.setup()
    try:  # READY inside: the interrupt may come as soon as it is read
        print("READY", flush=True)
        time.sleep(30)
    except KeyboardInterrupt:
        while dispatcher.worker_running:
            time.sleep(0.01)
        print("INTERRUPTED", feeder.push_natively(dispatcher, [3]), flush=True)
"""


@pytest.mark.parametrize("scenario", [pytest.param("fork", marks=pytest.mark.not_emulated("fork")),
                                      "exit inside a callback", "signal"])
def test_fork_exit_and_signals(child, scenario):
    running = child(CHILD.format(scenario=scenario))
    if scenario == "signal":
        running.wait_for("READY")
        running.send(2)
    result = running.finish(timeout=30)
    assert result.returncode == 0, result.stderr
    expected = {"fork": ["CHILD [[-1], [-1], [-1]]", "PARENT [[1], [1], [1]]"], "exit inside a callback": ["EXITING"],
                "signal": ["INTERRUPTED [-1]"]}[scenario]
    assert all(line in result.stdout for line in expected), result.stdout


def test_the_batch_example_checks_every_record(run_child):
    example = pathlib.Path(__file__).parents[3] / "examples" / "batch_feed.py"
    result = run_child(example.read_text())
    assert result.returncode == 0, result.stderr
    for name in ("SyncBatchDispatcher", "AsyncBatchDispatcher"):
        assert f"{name} " in result.stdout and "1,000,000 records in" in result.stdout

"""The dispatchers' counters (stats()): what a known run leaves in them, whatever route the
records were pushed by."""

import asyncio
import ctypes
import time

import pytest

import feeder
import native
from orvel.utils.portage.portage import AsyncDispatcher, SyncDispatcher
from tandem_table import NativeTable

KEYS = ["pushed", "popped", "refused_full", "dropped", "wakeups_sent", "consumer_sleeps", "delivered",
        "callback_errors"]
SYNC_MODES = [  # nonblocking, variable_size
    (True, False), (True, True), (False, False), (False, True)]
tandem = NativeTable()


def wait_until(condition, timeout=20):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.001)


def queue_of(dispatcher):
    return ctypes.cast(native.fields(dispatcher).q, ctypes.py_object).value


async def no_op(record):
    pass


@pytest.mark.parametrize("make", [
    lambda: SyncDispatcher(print), lambda: AsyncDispatcher(no_op),
    lambda: SyncDispatcher.__new__(SyncDispatcher), lambda: AsyncDispatcher.__new__(AsyncDispatcher)],
    ids=["sync", "async", "sync-new-only", "async-new-only"])
def test_a_new_dispatcher_counts_nothing_under_every_key(make):
    stats = make().stats()
    assert list(stats) == KEYS
    assert all(type(value) is int and value == 0 for value in stats.values())


@pytest.mark.parametrize("nonblocking, variable_size", SYNC_MODES)
def test_a_sync_run_counts_every_record_once_and_the_failing_callback(unraisable, nonblocking, variable_size):
    count, fail_at = 3_000, 2_000
    delivered = []

    def callback(record):
        if len(delivered) == fail_at:
            raise ValueError("refused")
        delivered.append(record)

    dispatcher = SyncDispatcher(callback, capacity=64, slot_size=64, variable_size=variable_size,
                                nonblocking=nonblocking, block_on_full=not nonblocking)
    dispatcher.setup()
    # Pauses let the worker fall asleep now and then: the wake-ups and sleeps are counted too.
    fed = feeder.Feed(dispatcher, fail_at, 300 if variable_size else 64, variable_size,
                      pause_one_in=16, max_pause_us=2000).start().join()
    wait_until(lambda: dispatcher.stats()["delivered"] == fail_at)
    stats = dispatcher.stats()
    assert stats["pushed"] == stats["popped"] == fail_at
    assert stats["refused_full"] == fed["full"]
    assert stats["wakeups_sent"] >= 1 and stats["consumer_sleeps"] >= 1
    assert stats["callback_errors"] == 0

    feeder.Feed(dispatcher, count - fail_at, 64).start().join()  # until the queue is closed
    wait_until(lambda: not dispatcher.worker_running)
    stats = dispatcher.stats()
    assert stats["delivered"] == fail_at and stats["callback_errors"] == 1
    # Only the worker that peeks (waiting in the queue, single records) leaves the failed record.
    assert stats["popped"] == fail_at + (nonblocking or variable_size)
    dispatcher.close()


@pytest.mark.parametrize("route", ["_push", "table"])
def test_refusals_and_drops_are_counted_whoever_pushes(route):
    def push(dispatcher, data):
        if route == "_push":
            return native.push(dispatcher, data)
        return tandem.try_push(queue_of(dispatcher), data)

    full = SyncDispatcher(print, capacity=4, slot_size=8)
    assert [push(full, b"record") for _ in range(6)] == [1] * 4 + [-2] * 2
    stats = full.stats()
    assert (stats["pushed"], stats["refused_full"], stats["dropped"]) == (4, 2, 0)

    delivered = []
    overwriting = SyncDispatcher(delivered.append, capacity=4, slot_size=8, overwrite=True)
    assert all(push(overwriting, b"%d" % n) == 1 for n in range(10))
    overwriting.setup()
    wait_until(lambda: len(delivered) == 4)
    overwriting.close()
    stats = overwriting.stats()
    assert delivered == [b"6", b"7", b"8", b"9"]
    assert (stats["pushed"], stats["dropped"], stats["popped"], stats["delivered"]) == (10, 6, 4, 4)


def test_an_async_run_counts_every_record_once_and_the_failing_callback(run_async):
    fail_at = 1_000

    async def main():
        delivered = []

        async def callback(record):
            if len(delivered) == fail_at:
                raise ValueError("refused")
            delivered.append(record)

        dispatcher = AsyncDispatcher(callback, capacity=64, slot_size=64)
        dispatcher.setup()
        fed = feeder.Feed(dispatcher, fail_at, 64, pause_one_in=16, max_pause_us=2000).start()
        async with asyncio.timeout(20):
            while dispatcher.stats()["delivered"] < fail_at:
                await asyncio.sleep(0.001)
        stats = dispatcher.stats()
        assert stats["pushed"] == stats["popped"] == fail_at
        assert stats["refused_full"] == fed.join()["full"]
        assert stats["wakeups_sent"] >= 1 and stats["consumer_sleeps"] >= 1

        feeder.Feed(dispatcher, 1, 64).start().join()
        await asyncio.wait((dispatcher.task,))
        stats = dispatcher.stats()
        assert (stats["delivered"], stats["callback_errors"], stats["popped"]) == (fail_at, 1, fail_at + 1)
        dispatcher.close()
        assert dispatcher.stats() == stats  # still readable once closed

    run_async(main)

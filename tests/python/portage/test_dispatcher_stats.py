"""The dispatchers' counters (stats()): what a known run leaves in them, whatever route the
records were pushed by."""

import asyncio

import pytest

import feeder
import native
from orvel.utils.portage.portage import AsyncDispatcher, SyncDispatcher
from tandem_table import NativeTable
from test_sync_dispatcher import queue_of, wait_until

KEYS = ["pushed", "popped", "refused_full", "dropped", "wakeups_sent", "consumer_sleeps", "delivered",
        "callback_errors"]


@pytest.mark.parametrize("make", [lambda: SyncDispatcher(print), lambda: AsyncDispatcher(asyncio.sleep),
                                  lambda: SyncDispatcher.__new__(SyncDispatcher),
                                  lambda: AsyncDispatcher.__new__(AsyncDispatcher)])
def test_a_new_dispatcher_counts_nothing_under_every_key(make):
    stats = make().stats()
    assert list(stats) == KEYS and all(type(value) is int and value == 0 for value in stats.values())


def failing_at(count, delivered):
    def callback(record):
        if len(delivered) == count:
            raise ValueError("refused")
        delivered.append(record)
    return callback


@pytest.mark.parametrize("nonblocking, variable_size", [(True, False), (True, True), (False, False), (False, True)])
def test_a_sync_run_counts_every_record_once_and_the_failing_callback(unraisable, nonblocking, variable_size):
    fail_at = 2_000
    dispatcher = SyncDispatcher(failing_at(fail_at, []), capacity=64, slot_size=64, variable_size=variable_size,
                                nonblocking=nonblocking, block_on_full=not nonblocking)
    dispatcher.setup()
    # Pauses let the worker fall asleep now and then, to be woken.
    fed = feeder.Feed(dispatcher, fail_at, 300 if variable_size else 64, variable_size,
                      pause_one_in=16, max_pause_us=2000).start().join()
    wait_until(lambda: dispatcher.stats()["delivered"] == fail_at)
    stats = dispatcher.stats()
    assert stats["pushed"] == stats["popped"] == fail_at and stats["refused_full"] == fed["full"]
    assert stats["wakeups_sent"] >= 1 and stats["consumer_sleeps"] >= 1 and stats["callback_errors"] == 0

    feeder.Feed(dispatcher, 1, 64).start().join()
    wait_until(lambda: not dispatcher.worker_running)
    stats = dispatcher.stats()
    assert (stats["delivered"], stats["callback_errors"]) == (fail_at, 1)
    # Only the worker that peeks (waiting in the queue, single records) leaves the failed record.
    assert stats["popped"] == fail_at + (nonblocking or variable_size)
    dispatcher.close()


@pytest.mark.parametrize("route", ["_push", "table"])
def test_refusals_and_drops_are_counted_whoever_pushes(route):
    table = NativeTable()

    def push(dispatcher, data):
        return native.push(dispatcher, data) if route == "_push" else table.try_push(queue_of(dispatcher), data)

    full = SyncDispatcher(print, capacity=4, slot_size=8)
    assert [push(full, b"record") for _ in range(6)] == [1] * 4 + [-2] * 2
    assert [full.stats()[key] for key in ("pushed", "refused_full", "dropped")] == [4, 2, 0]

    delivered = []
    overwriting = SyncDispatcher(delivered.append, capacity=4, slot_size=8, overwrite=True)
    assert all(push(overwriting, b"%d" % n) == 1 for n in range(10))
    with overwriting:
        wait_until(lambda: len(delivered) == 4)
    assert delivered == [b"6", b"7", b"8", b"9"]
    assert [overwriting.stats()[key] for key in ("pushed", "dropped", "popped", "delivered")] == [10, 6, 4, 4]


def test_an_async_run_counts_every_record_once_and_the_failing_callback(run_async):
    fail_at = 1_000

    async def main():
        fail = failing_at(fail_at, [])

        async def callback(record):
            fail(record)

        dispatcher = AsyncDispatcher(callback, capacity=64, slot_size=64)
        dispatcher.setup()
        fed = feeder.Feed(dispatcher, fail_at, 64, pause_one_in=16, max_pause_us=2000).start()
        async with asyncio.timeout(20):
            while dispatcher.stats()["delivered"] < fail_at:
                await asyncio.sleep(0.001)
        stats = dispatcher.stats()
        assert stats["pushed"] == stats["popped"] == fail_at and stats["refused_full"] == fed.join()["full"]
        assert stats["wakeups_sent"] >= 1 and stats["consumer_sleeps"] >= 1

        feeder.Feed(dispatcher, 1, 64).start().join()
        await asyncio.wait((dispatcher.task,))
        stats = dispatcher.stats()
        assert (stats["delivered"], stats["callback_errors"], stats["popped"]) == (fail_at, 1, fail_at + 1)
        dispatcher.close()
        assert dispatcher.stats() == stats  # still readable once closed

    run_async(main)


class Exiting(GeneratorExit):
    pass


@pytest.mark.parametrize("ending", ["cancelled", "GeneratorExit"])
def test_a_reader_ended_in_a_callback_counts_it_as_a_callback_error(run_async, ending):
    """asyncio.run() cancels the reader at its end while a callback awaits; a GeneratorExit the
    callback raises is its failure, not the coroutine's closing."""
    async def main():
        entered = asyncio.Event()

        async def callback(record):
            entered.set()
            if ending == "GeneratorExit":
                raise Exiting("from the callback")
            await asyncio.sleep(3600)

        dispatcher = AsyncDispatcher(callback)
        dispatcher.setup()
        assert native.push(dispatcher, b"one") == 1
        await asyncio.wait_for(entered.wait(), 20)
        if ending == "cancelled":
            dispatcher.task.cancel()
        await asyncio.wait((dispatcher.task,))
        return dispatcher

    dispatcher = run_async(main)
    stats = dispatcher.stats()
    assert (stats["popped"], stats["delivered"], stats["callback_errors"]) == (1, 0, 1)
    assert (type(dispatcher.error), str(dispatcher.error)) == (
        (Exiting, "from the callback") if ending == "GeneratorExit" else (type(None), "None"))

"""AsyncDispatcher and AsyncQueue, on the standard event loop and on uvloop."""

import asyncio
import ctypes
import pickle
import threading
import traceback

import pytest

import feeder
import native
from orvel.utils.portage import portage
from orvel.utils.portage.portage import AsyncDispatcher, AsyncQueue


def socket_of(dispatcher):
    address = native.fields(dispatcher).sock
    return ctypes.cast(address, ctypes.py_object).value if address != id(None) else None


def reader_of(dispatcher):
    return ctypes.cast(native.fields(dispatcher).task, ctypes.py_object).value


async def until(condition, timeout=20):
    async with asyncio.timeout(timeout):
        while not condition():
            await asyncio.sleep(0.001)


@pytest.mark.parametrize("variable_size", [False, True])
def test_every_record_arrives_in_order_on_the_loop(run_async, variable_size):
    count, size = (20_000, 300) if variable_size else (100_000, 64)

    async def main():
        got, loop_thread = [], threading.get_ident()

        async def callback(record):
            assert threading.get_ident() == loop_thread
            got.append(record)

        dispatcher = AsyncDispatcher(callback, capacity=64, slot_size=64, variable_size=variable_size)
        early = feeder.Feed(dispatcher, 10, size, variable_size).start().join()
        dispatcher.setup()
        feed = feeder.Feed(dispatcher, count, size, variable_size, pause_one_in=64, max_pause_us=300).start()
        await until(lambda: len(got) == count + 10)  # a lost wake-up strands records and times out
        assert early["pushed"] == 10 and feed.join()["pushed"] == count
        assert got == ([feeder.record(seq, size, variable_size) for seq in range(10)] +
                       [feeder.record(seq, size, variable_size) for seq in range(count)])
        dispatcher.close()

    run_async(main)


@pytest.mark.parametrize("callback_keeps", ["nothing", "every third record", "its record across a suspension"])
def test_records_reach_the_callback_whole_and_the_ones_it_keeps_stay_as_they_were(run_async, callback_keeps):
    # The reader may carry a record in the bytes of one the callback let go of: each record must
    # still arrive with its own contents and hash, and a record that is kept must never change.
    count, size = 20_000, 64

    async def main():
        faults, kept = [], {}
        delivered = 0

        async def callback(record):
            nonlocal delivered
            seq, delivered = delivered, delivered + 1
            if record != feeder.record(seq, size) or hash(record) != hash(bytes(bytearray(record))):
                faults.append(seq)
            if callback_keeps == "every third record" and seq % 3 == 0:
                kept[seq] = record
            elif callback_keeps == "its record across a suspension":
                await asyncio.sleep(0)
                if record != feeder.record(seq, size):
                    faults.append(seq)

        dispatcher = AsyncDispatcher(callback, capacity=256)
        dispatcher.setup()
        feed = feeder.Feed(dispatcher, count, size, pause_one_in=64, max_pause_us=200).start()
        await until(lambda: delivered == count)
        assert feed.join()["pushed"] == count
        assert faults == []
        assert [seq for seq, record in kept.items() if record != feeder.record(seq, size)] == []
        dispatcher.close()

    run_async(main)


@pytest.mark.parametrize("closing_at", [0, 127, 200])
def test_a_close_from_the_callback_mid_drain_delivers_nothing_more(run_async, closing_at):
    async def main():
        got = []

        async def callback(record):
            got.append(record)
            if len(got) == closing_at + 1:
                dispatcher.close()

        dispatcher = AsyncDispatcher(callback)
        for seq in range(300):
            assert native.push(dispatcher, b"%d" % seq) == 1
        dispatcher.setup()
        reader = reader_of(dispatcher)
        await asyncio.wait([reader], timeout=10)
        assert reader.done() and dispatcher.error is None
        assert got == [b"%d" % seq for seq in range(closing_at + 1)]

    run_async(main)


def test_the_reader_yields_to_the_loop_every_128_records(run_async):
    async def main():
        got, seen_by_others = [], []

        async def callback(record):
            got.append(record)

        async def other_task():
            while len(got) < 300:
                seen_by_others.append(len(got))
                await asyncio.sleep(0)

        dispatcher = AsyncDispatcher(callback, overwrite=False)
        for seq in range(300):
            assert native.push(dispatcher, b"%d" % seq) == 1
        other = asyncio.create_task(other_task())
        dispatcher.setup()
        await other
        assert sorted(set(seen_by_others)) == [0, 128, 256]
        assert got == [b"%d" % seq for seq in range(300)]
        dispatcher.close()

    run_async(main)


def plain(record):
    return None


async def raising(record):
    raise LookupError(record)


@pytest.mark.parametrize("callback, error, message", [
    (plain, TypeError, "object NoneType can't be used in 'await' expression"),
    (raising, LookupError, "b'first'"),
])
def test_a_failing_callback_ends_the_reader_task(run_async, callback, error, message):
    async def main():
        dispatcher = AsyncDispatcher(callback)
        dispatcher.setup()
        native.push(dispatcher, b"first")
        native.push(dispatcher, b"second")
        reader = reader_of(dispatcher)
        with pytest.raises(error, match=message) as raised:
            await reader
        assert ("portage.pyx", "__reader") in [(frame.filename.rsplit("/", 1)[-1], frame.name)
                                                for frame in traceback.extract_tb(raised.value.__traceback__)]
        dispatcher.close()

    run_async(main)


@pytest.mark.parametrize("closing_thread", ["loop", "other"])
def test_close_ends_the_reader_and_closes_the_socket_on_the_loop(run_async, closing_thread):
    async def main():
        async def callback(record):
            pass

        dispatcher = AsyncDispatcher(callback)
        dispatcher.setup()
        reader, sock = reader_of(dispatcher), socket_of(dispatcher)
        fd = sock.fileno()
        await asyncio.sleep(0.01)  # the reader waits for a datagram through the loop
        if closing_thread == "loop":
            dispatcher.close()
        else:
            closer = threading.Thread(target=dispatcher.close)
            closer.start()
            closer.join()
        assert socket_of(dispatcher) is None
        await asyncio.wait([reader], timeout=10)
        assert reader.done()
        await until(lambda: sock.fileno() == -1)  # closed once the loop let go of it
        selector = getattr(asyncio.get_running_loop(), "_selector", None)
        assert selector is None or fd not in selector.get_map()
        assert native.push(dispatcher, b"late") == -1

    run_async(main)


def test_setup_outside_a_loop_leaves_nothing_and_close_after_the_loop_closed(run_async):
    got = []

    async def callback(record):
        got.append(record)

    dispatcher = AsyncDispatcher(callback)
    with pytest.raises(RuntimeError, match="no running event loop"):
        dispatcher.setup()
    assert socket_of(dispatcher) is None and native.fields(dispatcher).fd == -1
    assert repr(dispatcher).endswith(" not set up>")
    assert native.push(dispatcher, b"kept") == 1

    async def main():
        async with dispatcher:  # sets it up: the failed setup() left nothing in the way
            await until(lambda: got)
        return dispatcher.stats()

    stats = run_async(main)
    assert got == [b"kept"] and (stats["pushed"], stats["popped"], stats["delivered"]) == (1, 1, 1)

    stranded = AsyncDispatcher(raising)

    async def set_up():
        stranded.setup()

    loop = asyncio.new_event_loop()
    loop.run_until_complete(set_up())
    reader = reader_of(stranded)
    loop.close()  # the reader never ran to its end
    sock = socket_of(stranded)
    with pytest.raises(RuntimeError, match="Event loop is closed"):
        stranded.close()
    assert native.fields(stranded).task == id(None) and sock.fileno() != -1  # the socket stays open
    sock.close()
    reader.cancel()


def test_overwrite_comes_before_zerocopy(run_async):
    async def main():
        got = []

        async def callback(record):
            got.append(record)

        dispatcher = AsyncDispatcher(callback, 2, 8, True)  # overwrite: a full ring drops its oldest
        for record in (b"1", b"2", b"3"):
            assert native.push(dispatcher, record) == 1
        dispatcher.setup()
        await until(lambda: len(got) == 2)
        assert got == [b"2", b"3"]
        dispatcher.close()

    run_async(main)


# ---- AsyncQueue ------------------------------------------------------------------------------

class Raising:
    def __bytes__(self):
        raise LookupError("no bytes")


def test_queue_outside_a_loop():
    with pytest.raises(RuntimeError, match=r"^AsyncQueue must be created inside a running event loop\.$") as raised:
        AsyncQueue()
    assert isinstance(raised.value.__context__, RuntimeError)
    loop = asyncio.new_event_loop()
    AsyncQueue(loop=loop)
    loop.close()
    with pytest.raises(ValueError, match="zerocopy"):
        AsyncQueue(loop=loop, zerocopy=True)
    with pytest.raises(TypeError, match="^loop must be an asyncio event loop, not 'int'$"):
        AsyncQueue(loop=42)


def test_queue_conversions_truncation_and_drops(run_async):
    async def main():
        queue = AsyncQueue(capacity=4)
        held = bytearray(b"xy")
        await queue.push_str("hé")
        await queue.push_obj([104, 105])
        await queue.push_buf(held)
        held.append(0)  # the view was released
        await queue.push_buf(b"z" * 2000)
        await queue.push_str("dropped: the queue is full")
        for push, message, error in ((queue.push_str, b"x", TypeError), (queue.push_buf, "x", TypeError),
                                     (queue.push_obj, Raising(), LookupError),
                                     (queue.push_str, "a\ud800", UnicodeEncodeError)):
            with pytest.raises(error):
                await push(message)
        assert [await queue.pop() for _ in range(4)] == ["hé".encode(), b"hi", b"xy", b"z" * 1024]

    run_async(main)


def test_queue_pop_waits_for_a_push_and_the_dispatcher_runs_until_shutdown(run_async):
    async def main():
        queue = AsyncQueue()
        waiting = asyncio.create_task(queue.pop())
        await asyncio.sleep(0.01)
        await queue.push_str("woken")
        assert await waiting == b"woken"

        got = []

        async def callback(record):
            got.append(record)

        queue.start_dispatcher(callback)
        for message in ("a", "b", "c"):
            await queue.push_str(message)
        await until(lambda: len(got) == 3)
        assert got == [b"a", b"b", b"c"]
        await queue.shutdown(None, None, None)
        await queue.shutdown()
        with pytest.raises(TypeError):
            await queue.shutdown(exc=None)

        failing = AsyncQueue()
        failing.start_dispatcher(raising)
        await failing.push_str("boom")
        await asyncio.sleep(0.01)  # the dispatcher task runs, and ends with the callback's error
        with pytest.raises(LookupError):
            await failing.shutdown()

    run_async(main)


def test_queue_pickling(run_async):
    unpickle = portage.__pyx_unpickle_AsyncQueue
    state = (None,) * 5 + (False, None)
    for checksum in (0xB5FB52F, 0x4BD5B12, 0x5D4EBBC):
        assert type(unpickle(AsyncQueue, checksum, state)) is AsyncQueue
    with pytest.raises(pickle.PickleError, match="_callback, _lock, _loop, _notify_cond, _q, _running, _task"):
        unpickle(AsyncQueue, 0x1234567, state)
    assert type(pickle.loads(pickle.dumps(AsyncQueue.__new__(AsyncQueue)))) is AsyncQueue

    async def main():
        # Neither its loop nor its Tandem can be pickled; the loop comes first, and what the
        # pickler raises for it depends on the interpreter (PicklingError from 3.13 on).
        with pytest.raises((TypeError, AttributeError, pickle.PicklingError)):
            pickle.dumps(AsyncQueue())

    run_async(main)

"""SyncDispatcher: records from a native producer thread to a callback on the worker thread."""

import ctypes
import gc
import os
import socket
import stat
import threading
import traceback
import time
import weakref

import pytest

import feeder
import native
from orvel.utils.portage.portage import SyncDispatcher
from tandem_table import NativeTable, core_address

MODES = [  # nonblocking, variable_size, _push's slot in the table, the worker's name
    (True, False, 1, "_SyncDispatcher__try_pop"),
    (True, True, 2, "_SyncDispatcher__try_pop_var"),
    (False, False, 3, "_SyncDispatcher__pop"),
    (False, True, 4, "_SyncDispatcher__pop_var"),
]
WORKER = "orvel.utils.portage.portage.SyncDispatcher."
tandem = NativeTable()


def wait_until(condition, timeout=20):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.001)


def queue_of(dispatcher):
    return ctypes.cast(native.fields(dispatcher).q, ctypes.py_object).value


class Callback:
    """Records what it is given, on which thread; raises at record `fail_at`; can be held up."""

    def __init__(self, fail_at=None):
        self.records, self.threads, self.fail_at = [], set(), fail_at
        self.go = threading.Event()
        self.go.set()

    def __call__(self, record):
        self.go.wait()
        self.threads.add(threading.get_native_id())
        if len(self.records) == self.fail_at:
            raise ValueError("refused")
        self.records.append(record)


@pytest.mark.parametrize("nonblocking, variable_size, slot, name", MODES)
def test_every_record_arrives_in_order_on_the_worker_thread(nonblocking, variable_size, slot, name):
    count, size = (20_000, 300) if variable_size else (100_000, 64)
    callback = Callback()
    dispatcher = SyncDispatcher(callback, capacity=64, slot_size=64, variable_size=variable_size,
                                nonblocking=nonblocking, block_on_full=not nonblocking)
    assert native.fields(dispatcher).push == native.table(SyncDispatcher, 10)[slot]
    early = feeder.Feed(dispatcher, 10, size, variable_size).start().join()  # waits in the queue for setup()
    dispatcher.setup()
    assert (native.fields(dispatcher).fd == -1) == (not nonblocking)
    # Pauses now and then let the worker fall asleep: a lost wake-up strands the rest and times out.
    moved = feeder.Feed(dispatcher, count, size, variable_size, pause_one_in=64, max_pause_us=300).start().join()
    assert early["pushed"] == 10 and moved["pushed"] == count
    wait_until(lambda: len(callback.records) == count + 10)
    expected = [feeder.record(seq, size, variable_size) for seq in range(10)]
    expected += [feeder.record(seq, size, variable_size) for seq in range(count)]
    assert callback.records == expected
    assert callback.threads and threading.get_native_id() not in callback.threads
    dispatcher.close()
    assert native.push(dispatcher, b"late") == -1


@pytest.mark.parametrize("callback_keeps", ["nothing", "every third record"])
@pytest.mark.parametrize("nonblocking, variable_size, slot, name", MODES)
def test_records_reach_the_callback_whole_and_the_ones_it_keeps_stay_as_they_were(
        nonblocking, variable_size, slot, name, callback_keeps):
    # The worker may carry a record in the bytes of one the callback let go of: each record must
    # still arrive with its own contents and hash, and a record that is kept must never change.
    count, size = 20_000, 64
    faults, kept, delivered = [], {}, 0

    def callback(record):
        nonlocal delivered
        seq, delivered = delivered, delivered + 1
        if record != feeder.record(seq, size, variable_size) or hash(record) != hash(bytes(bytearray(record))):
            faults.append(seq)
        if callback_keeps == "every third record" and seq % 3 == 0:
            kept[seq] = record

    dispatcher = SyncDispatcher(callback, capacity=256, slot_size=64, variable_size=variable_size,
                                nonblocking=nonblocking, block_on_full=not nonblocking)
    dispatcher.setup()
    feed = feeder.Feed(dispatcher, count, size, variable_size, pause_one_in=64, max_pause_us=200).start()
    wait_until(lambda: delivered == count)
    assert feed.join()["pushed"] == count
    dispatcher.close()
    assert faults == []
    assert [seq for seq, record in kept.items() if record != feeder.record(seq, size, variable_size)] == []


@pytest.mark.parametrize("nonblocking, variable_size, slot, name", MODES)
def test_a_failing_callback_is_reported_once_ends_the_worker_and_closes_the_queue(
        unraisable, nonblocking, variable_size, slot, name):
    callback = Callback(fail_at=1)
    dispatcher = SyncDispatcher(callback, nonblocking=nonblocking, variable_size=variable_size)
    assert dispatcher.error is None
    for record in (b"r0", b"r1", b"r2"):  # before setup(): the worker may end at r1 before r2
        assert native.push(dispatcher, record) == 1
    dispatcher.setup()
    wait_until(lambda: unraisable)
    wait_until(lambda: native.push(dispatcher, b"late") == -1)  # no record is taken for nobody
    assert [(obj, type(error)) for obj, error in unraisable] == [(WORKER + name, ValueError)]
    assert dispatcher.error is unraisable[0][1]  # why the feed stopped
    assert callback.records == [b"r0"]
    dispatcher.close()
    assert dispatcher.error is unraisable[0][1]


def test_a_push_into_a_full_queue_waits_for_the_worker():
    callback = Callback()
    callback.go.clear()
    dispatcher = SyncDispatcher(callback, capacity=2, slot_size=8, nonblocking=False, block_on_full=True)
    dispatcher.setup()
    feed = feeder.Feed(dispatcher, 5, 8).start()
    time.sleep(0.2)
    assert callback.records == []  # the worker holds record 0 in its callback; 1 and 2 fill the ring
    callback.go.set()
    assert feed.join()["pushed"] == 5
    wait_until(lambda: len(callback.records) == 5)
    dispatcher.close()


def running(thread_ids):
    return any(os.path.exists(f"/proc/self/task/{tid}") for tid in thread_ids)


@pytest.mark.parametrize("end", ["close", "close, not detached", "last reference", "queue closed outside"])
@pytest.mark.parametrize("nonblocking", [True, False])
def test_the_worker_ends_and_lets_go_of_the_callback(end, nonblocking):
    callback = Callback()
    released = threading.Event()
    weakref.finalize(callback, released.set)
    dispatcher = SyncDispatcher(callback, nonblocking=nonblocking, detach=end != "close, not detached")
    dispatcher.setup()
    assert native.push(dispatcher, b"one") == 1
    wait_until(lambda: callback.records == [b"one"])
    worker = callback.threads
    records = callback.records
    del callback
    if end == "close, not detached":
        dispatcher.close()  # returns once the worker has ended, its references dropped
        dispatcher.close()  # again: nothing left to do
        assert native.push(dispatcher, b"two") == -1
        del dispatcher
        assert released.is_set() and records == [b"one"]  # nothing ran after close()
    elif end == "close":
        dispatcher.close()
        dispatcher.close()
    elif end == "last reference":  # the worker holds the queue and the callback, not the dispatcher
        del dispatcher
        gc.collect()
        assert released.wait(10)
    else:  # the signal watcher's way: the queue closes under a running dispatcher
        tandem.tandem_notify(core_address(queue_of(dispatcher)))
        if nonblocking:  # asleep on the socket, the worker sees the closed queue at close()
            time.sleep(0.2)
            dispatcher.close()
        wait_until(lambda: not running(worker))
    if not released.is_set():
        del dispatcher  # it holds the callback as well
    assert released.wait(10)
    wait_until(lambda: not running(worker))  # ended: nothing spins on the closed queue
    assert records == [b"one"]


def test_close_before_setup_and_setup_twice():
    SyncDispatcher(print).close()
    callback = Callback()
    dispatcher = SyncDispatcher(callback)
    dispatcher.setup()
    with pytest.raises(RuntimeError, match="set up already"):
        dispatcher.setup()
    assert native.push(dispatcher, b"still served") == 1
    wait_until(lambda: callback.records == [b"still served"])
    dispatcher.close()


def test_the_socket_number_stays_ours_until_the_dispatcher_and_its_worker_are_gone():
    dispatcher = SyncDispatcher(print)
    dispatcher.setup()
    fd = native.fields(dispatcher).fd
    dispatcher.close()
    os.fstat(fd)  # producers that still hold the dispatcher may send on it
    del dispatcher
    gc.collect()
    def closed():
        try:
            return not stat.S_ISSOCK(os.fstat(fd).st_mode)
        except OSError:
            return True

    wait_until(closed)


def test_python_overrides_of_setup_and_close_answer_native_calls(unraisable):
    calls = []

    class Overriding(SyncDispatcher):
        def setup(self, host="127.0.0.1", recvbuf=0):
            calls.append(("setup", host, recvbuf))

        def close(self):
            calls.append("close")
            raise OSError("close failed")

    dispatcher = Overriding(print)
    setup, close = (ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_int, ctypes.c_void_p)(address)
                    for address in (native.table(SyncDispatcher, 10)[i] for i in (0, 9)))
    setup(dispatcher, 0, None)
    with pytest.raises(OSError):
        close(dispatcher, 0, None)
    del dispatcher  # destruction goes through the native close entry too
    gc.collect()
    assert calls == [("setup", "127.0.0.1", 16777216), "close", "close"]  # the defaults fill in
    assert [(obj, str(error)) for obj, error in unraisable] == [(WORKER + "__dealloc__", "close failed")]
    frames = [frame for frame, _ in traceback.walk_tb(unraisable[0][1].__traceback__)]
    holders = [frame.f_locals["self"] for frame in frames if frame.f_code.co_name == "close"]
    assert [type(holder) for holder in holders] == [Overriding]  # resurrected, not freed under the report
    unraisable.clear()
    gc.collect()


class SetupArguments(ctypes.Structure):
    """The optional arguments of the native setup entry."""
    _fields_ = [("given", ctypes.c_int), ("host", ctypes.py_object), ("recvbuf", ctypes.c_int)]


def test_a_native_setup_of_a_subclass_without_its_own_runs_the_dispatchers():
    class Plain(SyncDispatcher):
        pass

    dispatcher = Plain(print)
    setup = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_int, ctypes.POINTER(SetupArguments))(
        native.table(SyncDispatcher, 10)[0])
    setup(dispatcher, 0, ctypes.byref(SetupArguments(2, "127.0.0.1", 4096)))
    sock = ctypes.cast(native.fields(dispatcher).sock, ctypes.py_object).value
    assert sock.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF) == 2 * 4096  # the C int went through
    dispatcher.close()


@pytest.mark.parametrize("nonblocking", [True, False])
def test_the_process_exits_cleanly_while_workers_deliver(run_child, nonblocking):
    result = run_child(f"""
import time, feeder
from orvel.utils.portage.portage import SyncDispatcher

def callback(record):
    time.sleep(0.0005)  # a callback busy when the interpreter begins to exit

dispatchers = [SyncDispatcher(callback, nonblocking={nonblocking}, detach=detach) for detach in (True, False)]
feeds = []
for dispatcher in dispatchers:
    dispatcher.setup()
    feeds.append(feeder.Feed(dispatcher, 10_000_000, 64, pause_one_in=100, max_pause_us=50).start())
time.sleep(0.3)
print("EXITING", flush=True)
""", timeout=30)
    assert result.returncode == 0 and "EXITING" in result.stdout, result.stderr
    assert "Fatal" not in result.stderr and "Traceback" not in result.stderr

"""The bridge under hostile use: refused messages on native threads, messages longer than the
ring, objects initialised twice, consumers that end, interpreter exit, sub-interpreters, fork and
foreign datagrams. Crashes, hangs and exits are observed in child interpreters."""

import asyncio
import collections
import ctypes
import decimal
import errno
import gc
import json
import os
import signal
import socket
import threading

import pytest

import feeder
import native
from child_scripts import SUBINTERPRETERS
from orvel.tandem.tandem import Tandem
from orvel.utils.portage import portage
from orvel.utils.portage.portage import AsyncDispatcher, LumPipe, SyncDispatcher
from test_asyncio_bridge import until
from test_sync_dispatcher import wait_until

TANDEM = "orvel.tandem.tandem.Tandem."


def result_of(child):
    """What the child printed after "RESULT ", as JSON (its other lines are the watcher's)."""
    return json.loads(next(line for line in child.stdout.splitlines() if line.startswith("RESULT "))[7:])


# Every way a native producer pushes a variable-size message: (construction from slot_size,
# capacity and overwrite; the Tandem entry for push_natively; the queue routine that refuses).
ROUTES = {
    "SyncDispatcher": ("SyncDispatcher(print, capacity={c}, slot_size={s}, overwrite={o}, variable_size=True)",
                       None, "try_push_var"),
    "SyncDispatcher blocking": ("SyncDispatcher(print, capacity={c}, slot_size={s}, overwrite={o}, "
                                "variable_size=True, nonblocking=False)", None, "push_var"),
    "AsyncDispatcher": ("AsyncDispatcher(print, capacity={c}, slot_size={s}, overwrite={o}, variable_size=True)",
                        None, "try_push_var"),
    "LumPipe": ("LumPipe(capacity={c}, slot_size={s}, overwrite={o}, variable_size=True)", None, "push_var"),
    "Tandem push_var": ("Tandem({s}, {c}, {o})", "push_var", "push_var"),
    "Tandem try_push_var": ("Tandem({s}, {c}, {o})", "try_push_var", "try_push_var"),
}


@pytest.mark.parametrize("route", ROUTES)
def test_a_message_refused_on_a_native_thread_is_reported_and_the_thread_pushes_on(run_child, route):
    make, entry, refusing = ROUTES[route]
    result = run_child(f"""
import json, sys
import feeder
from orvel.tandem.tandem import Tandem
from orvel.utils.portage.portage import AsyncDispatcher, LumPipe, SyncDispatcher

reports = []
sys.unraisablehook = lambda r: reports.append([r.object, type(r.exc_value).__name__, str(r.exc_value)])
out = []
for s, c, o, length in [(16, 8, False, 1 << 20), (16, 4, True, 100), (0, 8, False, 3)]:
    try:
        target = eval({make!r}.format(s=s, c=c, o=o))
    except ValueError as refused:
        out.append([str(refused), []])
        continue
    results = feeder.push_natively(target, [length, 8], tandem_entry={entry or "try_push"!r})
    out.append([results, reports[:]])
    reports.clear()
print("RESULT", json.dumps(out))
""", timeout=30)
    assert result.returncode == 0, result.stderr
    (many, many_reports), (overwrite, overwrite_reports), (zero, zero_reports) = result_of(result)
    name = TANDEM + refusing
    assert many == [0, 1] and overwrite == [0, 1]  # the thread's next push goes through
    assert many_reports == [[name, "ValueError",
                             "a message of 1048576 bytes needs 65536 fragments of 16 bytes; "
                             "a message may have at most 65535"]]
    assert [report[:2] for report in overwrite_reports] == [[name, "ValueError"]]
    assert "more than the 4 slots of an overwriting queue" in overwrite_reports[0][2]
    if route.startswith("Tandem"):
        assert zero == [0, 0] and zero_reports == [[name, "ZeroDivisionError", "float division"]] * 2
    else:  # refused when it is built: it would refuse every message
        assert zero == "variable-size messages need a slot_size of at least 1" and zero_reports == []


# ---- producers that do not keep to one thread ---------------------------------------------------

OVERLAPPING_PRODUCERS = {  # construction from the callback; whether records are variable-size
    "SyncDispatcher": (lambda cb: SyncDispatcher(cb, capacity=64, slot_size=32), False),
    "SyncDispatcher variable": (lambda cb: SyncDispatcher(cb, capacity=64, slot_size=32, variable_size=True), True),
    "SyncDispatcher blocking": (lambda cb: SyncDispatcher(cb, capacity=64, slot_size=32, nonblocking=False,
                                                          block_on_full=True), False),
    "SyncDispatcher blocking variable": (lambda cb: SyncDispatcher(cb, capacity=64, slot_size=32, nonblocking=False,
                                                                   block_on_full=True, variable_size=True), True),
    "AsyncDispatcher": (lambda cb: AsyncDispatcher(cb, capacity=64, slot_size=32), False),
    "AsyncDispatcher variable": (lambda cb: AsyncDispatcher(cb, capacity=64, slot_size=32, variable_size=True), True),
}


@pytest.mark.parametrize("route", OVERLAPPING_PRODUCERS)
def test_native_threads_pushing_into_one_dispatcher_at_once_lose_nothing(route):
    make, variable = OVERLAPPING_PRODUCERS[route]
    producers, count, size = 4, 5000, 100 if variable else 32
    expected = collections.Counter([feeder.record(seq, size, True) for seq in range(count)] * producers)
    records = []
    feeds = []

    def feed(dispatcher):
        feeds.extend(feeder.Feed(dispatcher, count, size, varying=True, pause_one_in=64, max_pause_us=20, seed=n + 1)
                     for n in range(producers))
        for each in feeds:
            each.start()

    # Closing the dispatcher, also when the records do not all come, ends the producers.
    if route.startswith("Sync"):
        with make(records.append) as dispatcher:
            feed(dispatcher)
            wait_until(lambda: len(records) >= producers * count)
    else:
        async def main():
            async def callback(record):
                records.append(record)

            async with make(callback) as dispatcher:
                feed(dispatcher)
                await until(lambda: len(records) >= producers * count)
        asyncio.run(main())
    assert [each.join()["pushed"] for each in feeds] == [count] * producers
    assert collections.Counter(records) == expected


@pytest.mark.parametrize("target", [
    "SyncDispatcher(len, capacity=64, slot_size=64, variable_size=True)",
    "AsyncDispatcher(len, capacity=64, slot_size=64, variable_size=True)",
], ids=lambda target: target.partition("(")[0])
def test_pushes_holding_the_interpreter_lock_beside_native_threads_whose_messages_are_refused(run_child, target):
    """A refused message is reported with the interpreter lock: its producer must not hold the
    dispatcher's turn meanwhile, while a thread holding the lock waits for that turn."""
    result = run_child(f"""
import json, sys, threading
import feeder
from orvel.utils.portage.portage import AsyncDispatcher, SyncDispatcher

reports = []
sys.unraisablehook = lambda report: reports.append(type(report.exc_value).__name__)
dispatcher = {target}
refused = [threading.Thread(target=feeder.push_natively, args=(dispatcher, [64 * 64 + 1] * 300))
           for _ in range(20)]
for thread in refused:
    thread.start()
pushed = [feeder.push_here(dispatcher, [8] * 20) for _ in range(200)]
for thread in refused:
    thread.join()
print("RESULT", json.dumps([sorted(set(map(tuple, pushed))), len(reports), sorted(set(reports))]))
""", timeout=60)
    assert result.returncode == 0, result.stderr
    # The queue is never drained: the pushes fill it, then find it full.
    results, report_count, kinds = result_of(result)
    assert {code for each in results for code in each} <= {1, -2} and (report_count, kinds) == (20 * 300, ["ValueError"])


def test_a_signal_handler_pushing_in_the_middle_of_a_push_of_its_thread_is_refused_at_once(run_child):
    """Waiting for the turn, the handler would wait for the push it interrupted, which waits for
    the handler. Refused instead; the interrupted push ends when the dispatcher closes."""
    result = run_child("""
import json, signal, time
import feeder
from orvel.utils.portage.portage import SyncDispatcher

def until(condition):
    deadline = time.monotonic() + 20
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.001)

def asleep(tid):  # the thread sleeps in its push, waiting for room
    if tid == 0:
        return False
    with open(f"/proc/self/task/{tid}/stat") as stat:
        return stat.read().rpartition(")")[2].split()[0] == "S"

dispatcher = SyncDispatcher(len, capacity=1, slot_size=8, nonblocking=False, block_on_full=True)
assert feeder.push_natively(dispatcher, [8]) == [1]  # full, and not set up: nothing makes room
push = feeder.InterruptedPush(dispatcher, 8, signal.SIGUSR1).start()
until(lambda: asleep(push.thread_id))
push.interrupt()
until(lambda: push.handler_result != 0)
dispatcher.close()
print("RESULT", json.dumps([push.handler_result, push.join()]))
""", timeout=30)
    assert result.returncode == 0, result.stderr
    assert result_of(result) == [-3, -1]


@pytest.mark.not_emulated("fork")
def test_a_push_held_up_when_the_process_forked_does_not_hold_up_the_child(run_child):
    """A producer waiting for room has the dispatcher's turn when the process forks; the child,
    which has not that thread, sets the dispatcher up and pushes into it."""
    result = run_child("""
import os, signal, time
import feeder
from orvel.utils.portage.portage import SyncDispatcher

got = []
dispatcher = SyncDispatcher(got.append, capacity=2, slot_size=8, nonblocking=False, block_on_full=True)
feed = feeder.Feed(dispatcher, 3, 8).start()  # the third push waits: nothing consumes yet
while dispatcher.stats()["pushed"] < 2:
    time.sleep(0.001)
time.sleep(0.05)
pid = os.fork()
if pid == 0:
    signal.alarm(10)  # a child held up for good ends, and the parent with it
    dispatcher.setup()
    print("CHILD", feeder.push_natively(dispatcher, [5]), flush=True)
    while len(got) < 3:
        time.sleep(0.001)
    print("CHILD GOT", [len(record) for record in got], flush=True)
    os._exit(0)
os.waitpid(pid, 0)
dispatcher.setup()
print("PARENT", feed.join()["pushed"], flush=True)
dispatcher.close()
""", timeout=30)
    assert result.returncode == 0, result.stderr
    assert "CHILD [1]" in result.stdout and "CHILD GOT [8, 8, 5]" in result.stdout and "PARENT 3" in result.stdout


# ---- messages longer than the ring -------------------------------------------------------------

LONGER_THAN_THE_RING = {  # target of capacity 4 and slot_size 8, the Tandem entry
    "SyncDispatcher": (lambda cb: SyncDispatcher(cb, capacity=4, slot_size=8, variable_size=True), None),
    "SyncDispatcher blocking": (lambda cb: SyncDispatcher(cb, capacity=4, slot_size=8, variable_size=True,
                                                          nonblocking=False), None),
    "AsyncDispatcher": (lambda cb: AsyncDispatcher(cb, capacity=4, slot_size=8, variable_size=True), None),
    "LumPipe": (lambda cb: LumPipe(capacity=4, slot_size=8, variable_size=True), None),
    "Tandem try_push_var": (lambda cb: Tandem(8, 4, block_on_full=True), "try_push_var"),
}


@pytest.mark.parametrize("route", LONGER_THAN_THE_RING)
def test_a_push_that_cannot_wait_refuses_a_message_longer_than_the_ring_at_once(unraisable, route):
    make, entry = LONGER_THAN_THE_RING[route]
    target = make(print)
    assert feeder.push_natively(target, [40, 32], tandem_entry=entry or "try_push") == [0, 1]
    assert [(name, str(error)) for name, error in unraisable] == [
        (TANDEM + ("push_var" if "blocking" in route or route == "LumPipe" else "try_push_var"),
         "a message of 40 bytes needs 5 fragments of 8 bytes, more than the 4 slots of the queue; "
         "a push that does not wait for room takes at most 32 bytes")]


def test_a_waiting_push_streams_a_message_longer_than_the_ring():
    records = []
    dispatcher = SyncDispatcher(records.append, capacity=4, slot_size=8, variable_size=True,
                                nonblocking=False, block_on_full=True)
    dispatcher.setup()
    message = feeder.record(7, 200)
    assert feeder.Feed(dispatcher, 8, 200).start().join()["pushed"] == 8
    wait_until(lambda: len(records) == 8)
    assert records[7] == message
    dispatcher.close()


def test_a_message_the_ring_cannot_hold_no_longer_jams_the_dispatcher(unraisable):
    records = []
    dispatcher = SyncDispatcher(records.append, capacity=2, slot_size=4, variable_size=True)
    dispatcher.setup()
    assert feeder.push_natively(dispatcher, [12, 4, 3]) == [0, 1, 1]
    wait_until(lambda: records == [bytes(4), bytes(3)])
    assert len(unraisable) == 1
    dispatcher.close()


# ---- objects initialised again -----------------------------------------------------------------

def test_initialising_a_pipe_again_is_refused():
    pipe = LumPipe(capacity=4, slot_size=8)
    with pytest.raises(RuntimeError, match="^a LumPipe cannot be initialised again$"):
        pipe.__init__(capacity=8)
    assert feeder.stream(pipe, 1000, 8)["intact"] == 1000  # the pipe works on, with its own queue


@pytest.mark.parametrize("kind", [SyncDispatcher, AsyncDispatcher], ids=lambda kind: kind.__name__)
def test_a_constructor_refused_for_its_arguments_may_run_again(kind):
    dispatcher = kind.__new__(kind)
    for bad in [dict(callback=5), dict(callback=print, capacity=3)]:
        with pytest.raises((TypeError, ValueError)):
            dispatcher.__init__(**bad)
    dispatcher.__init__(print, capacity=8)
    assert dispatcher.capacity == 8
    dispatcher.close()


@pytest.mark.parametrize("set_up_first", [False, True], ids=["before setup", "after setup"])
@pytest.mark.parametrize("kind", ["SyncDispatcher", "AsyncDispatcher"])
def test_initialising_a_dispatcher_again_is_refused_and_loses_no_record(run_async, kind, set_up_first):
    """Native producers may push from construction on: a queue replaced under them would take
    their records with it, and be freed while they push into it."""
    records, count = [], 500
    expected = [feeder.record(seq, 8) for seq in range(count)]
    article = "an" if kind == "AsyncDispatcher" else "a"

    def feed_and_initialise_again(dispatcher, callback):
        feed = feeder.Feed(dispatcher, count, 8, pause_one_in=4, max_pause_us=50).start()
        with pytest.raises(RuntimeError, match=f"^{article} {kind} cannot be initialised again$"):
            dispatcher.__init__(callback, capacity=8)
        return feed

    if kind == "SyncDispatcher":
        dispatcher = SyncDispatcher(records.append, capacity=1024, slot_size=8)
        if set_up_first:
            dispatcher.setup()
        feed = feed_and_initialise_again(dispatcher, records.append)
        assert feed.join()["pushed"] == count
        if not set_up_first:
            dispatcher.setup()
        wait_until(lambda: len(records) >= count)
        dispatcher.close()
    else:
        async def main():
            async def callback(record):
                records.append(record)

            dispatcher = AsyncDispatcher(callback, capacity=1024, slot_size=8)
            if set_up_first:
                dispatcher.setup()
            feed = feed_and_initialise_again(dispatcher, callback)
            assert (await asyncio.to_thread(feed.join))["pushed"] == count
            if not set_up_first:
                dispatcher.setup()
            await until(lambda: len(records) >= count)
            dispatcher.close()
        run_async(main)
    assert records == expected


# ---- a consumer that ends ----------------------------------------------------------------------

@pytest.mark.parametrize("nonblocking", [True, False])
def test_a_worker_that_ends_releases_a_producer_waiting_for_room(run_child, nonblocking):
    result = run_child(f"""
import sys, threading, time
import feeder
from orvel.utils.portage.portage import SyncDispatcher

sys.unraisablehook = lambda report: None
go = threading.Event()

def callback(record):
    go.wait()
    raise ValueError("stop")

dispatcher = SyncDispatcher(callback, capacity=2, slot_size=8, nonblocking={nonblocking}, block_on_full=True)
dispatcher.setup()
feed = feeder.Feed(dispatcher, 10, 8).start()
time.sleep(0.2)  # the producer retries (non-blocking) or sleeps in the queue (blocking) meanwhile
go.set()
moved = feed.join()
print("RESULT", [moved["refused"], moved["pushed"], repr(dispatcher.error)])
""", timeout=30)
    refused, pushed, error = result_of(result)
    assert (refused, error) == (-1, "ValueError('stop')") and pushed < 10, result.stderr


class Stop(BaseException):
    pass


async def raising(record):
    raise LookupError(record)


async def stopping(record):
    raise Stop()


async def idle(record):
    pass


@pytest.mark.parametrize("callback, error", [(raising, LookupError), (stopping, Stop), (idle, None)])
def test_a_reader_that_ends_closes_the_queue_and_keeps_its_error(run_async, callback, error):
    dispatchers = []

    async def main():
        dispatcher = AsyncDispatcher(callback)
        dispatchers.append(dispatcher)
        dispatcher.setup()
        if error is not None:
            assert native.push(dispatcher, b"first") == 1
            await until(lambda: native.push(dispatcher, b"late") == -1)
        # otherwise asyncio.run() returns with the reader waiting: the loop cancels it

    run_async(main)  # a BaseException other than KeyboardInterrupt and SystemExit ends the task alone
    dispatcher, = dispatchers
    assert native.push(dispatcher, b"after") == -1
    assert type(dispatcher.error) is error if error else dispatcher.error is None
    dispatcher.close()


def test_a_dropped_async_dispatcher_closes_itself(run_async):
    def descriptors():
        gc.collect()  # cancelled readers leave cycles through their tracebacks
        return len(os.listdir("/proc/self/fd"))

    async def main():
        async def callback(record):
            pass

        before, tasks = descriptors(), len(asyncio.all_tasks())
        for _ in range(200):
            AsyncDispatcher(callback).setup()  # dropped at once, while the loop runs
        await until(lambda: len(asyncio.all_tasks()) == tasks and descriptors() == before)

    run_async(main)


# ---- interpreter exit ------------------------------------------------------------------------

BLOCKING_CALLBACKS = {
    "a put on a full queue": "full.put(record)",
    "an event never set": "never.wait()",
    # Set by a module global's finaliser, which sleeps so that the worker asks for the interpreter
    # lock during finalisation: the interpreter ends the thread by unwinding it.
    "woken during finalisation": "late.wait()",
}


@pytest.mark.parametrize("detach", [True, False])
@pytest.mark.parametrize("block", BLOCKING_CALLBACKS)
def test_the_process_exits_while_a_worker_is_blocked_in_its_callback(run_child, block, detach):
    result = run_child(f"""
import queue, threading, time
import feeder
from orvel.utils.portage.portage import SyncDispatcher

full, never, late, entered = queue.Queue(maxsize=1), threading.Event(), threading.Event(), threading.Event()
full.put(None)

def callback(record):
    entered.set()
    {BLOCKING_CALLBACKS[block]}

class Waker:
    def __del__(self, late=late, sleep=time.sleep):
        late.set()
        sleep(0.3)

waker = Waker()
dispatcher = SyncDispatcher(callback, detach={detach})
dispatcher.setup()
assert feeder.push_natively(dispatcher, [3]) == [1]
assert entered.wait(20)
print("ENDING", flush=True)
""", timeout=30)
    assert result.returncode == 0 and "ENDING" in result.stdout, result.stderr
    assert "terminate" not in result.stderr and "Fatal" not in result.stderr


@pytest.mark.parametrize("target", [
    "SyncDispatcher(len, capacity=4, slot_size=8, variable_size=True)",
    "SyncDispatcher(len, capacity=4, slot_size=8, variable_size=True, nonblocking=False)",
    "AsyncDispatcher(len, capacity=4, slot_size=8, variable_size=True)",
    "LumPipe(capacity=4, slot_size=8, variable_size=True)",
], ids=lambda target: target.split(",")[0] + (" blocking" if "nonblocking" in target else ""))
@pytest.mark.parametrize("producers", [
    # Two producers, each in a thread of Python's that waits for it: pushes wait for each other's turn.
    "for _ in range(2):\n"
    "    threading.Thread(target=feeder.push_natively, args=(target, [4096] * 1_000_000), daemon=True).start()",
    "native_feed.flood(target, 4096, 4)",  # through <orvel/native.hpp>, left running
], ids=["Cython", "C++"])
def test_native_threads_whose_pushes_are_refused_while_the_interpreter_exits_end_quietly(run_child, target,
                                                                                          producers):
    """Each refused message is reported with the interpreter lock, which the interpreter ends a
    thread for asking for while it finalises: by unwinding it, through the push and every frame
    of the producer's own, which must pass it on (Producer::push did not)."""
    result = run_child(f"""
import sys, threading, time
import feeder, native_feed
from orvel.utils.portage.portage import AsyncDispatcher, LumPipe, SyncDispatcher

sys.unraisablehook = lambda report: None
target = {target}
{producers}
time.sleep(0.2)
print("ENDING", flush=True)
""", timeout=30)
    assert result.returncode == 0 and "ENDING" in result.stdout, result.stderr


@pytest.mark.parametrize("route", ["LumPipe", "Tandem try_push_var"])
def test_a_message_refused_on_a_native_thread_once_exit_has_begun_goes_unreported(run_child, route):
    """The report would ask for the interpreter lock, for which the interpreter may end the thread
    by unwinding it: through a caller that cannot pass the unwinding on, that aborts the process."""
    make, entry, _ = ROUTES[route]
    result = run_child(f"""
import atexit, json, sys
reports = []
def push_at_exit():
    print("RESULT", json.dumps([feeder.push_natively(target, [64], tandem_entry={entry or "try_push"!r}), len(reports)]))
atexit.register(push_at_exit)  # registered before orvel's exit hook, so run after it
import feeder
from orvel.tandem.tandem import Tandem
from orvel.utils.portage.portage import LumPipe

sys.unraisablehook = reports.append
target = eval({make!r}.format(s=8, c=4, o=False))
assert feeder.push_natively(target, [64], tandem_entry={entry or "try_push"!r}) == [0] and len(reports) == 1
""", timeout=30)
    assert result.returncode == 0, result.stderr
    assert result_of(result) == [[0], 1]


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT], ids=lambda signum: signum.name)
def test_a_signal_during_exit_ends_the_process(run_child, signum):
    """Exit waits a moment for a callback in progress, with the main thread in no state to act on
    an interrupt: a signal then must end the process, not be taken by the signal watcher."""
    result = run_child(f"""
import atexit, os, threading, time
entered, signalled = threading.Event(), threading.Event()
atexit.register(signalled.wait, 30)  # registered first, so run last: exit lasts until the signal
import feeder
from orvel.utils.portage.portage import SyncDispatcher

def callback(record):
    entered.set()
    # Exit has begun once the bridge closes the queues of its workers: -1.
    while feeder.push_natively(dispatcher, [1]) != [-1]:
        time.sleep(0.001)
    os.kill(os.getpid(), {signum.value})
    signalled.set()
    threading.Event().wait()

dispatcher = SyncDispatcher(callback)  # detached
dispatcher.setup()
assert feeder.push_natively(dispatcher, [3]) == [1]
assert entered.wait(20)
""", timeout=30)
    assert result.returncode == -signum, result.stderr


def test_setup_after_the_bridge_has_let_its_workers_go_at_exit_is_refused(run_child):
    result = run_child("""
import atexit

def late_setup():  # registered before the bridge was imported: runs after its exit hook
    dispatcher = SyncDispatcher(print)
    try:
        dispatcher.setup()
    except RuntimeError as error:
        print("REFUSED", error)
    print("PUSH", feeder.push_natively(dispatcher, [3]))

atexit.register(late_setup)
import feeder
from orvel.utils.portage.portage import SyncDispatcher
""", timeout=30)
    assert result.returncode == 0, result.stderr
    assert "REFUSED the interpreter is exiting" in result.stdout and "PUSH [1]" in result.stdout


# ---- other interpreters and fork -------------------------------------------------------------

def test_the_bridge_refuses_other_interpreters(run_child):
    result = run_child(SUBINTERPRETERS + """
print("REFUSED", run_in_subinterpreter("import orvel.utils.portage.portage"))
import orvel.utils.portage.portage
print("MAIN IMPORTED")
""", timeout=30)
    assert result.returncode == 0, result.stderr
    assert ("REFUSED <class 'ImportError'>: orvel.utils.portage can only be imported in the main interpreter"
            in result.stdout) and "MAIN IMPORTED" in result.stdout


@pytest.mark.not_emulated("fork")
def test_a_forked_child_closes_its_copies_of_live_dispatchers(run_child):
    result = run_child("""
import asyncio, os
import feeder
from orvel.utils.portage.portage import AsyncDispatcher, SyncDispatcher

async def callback(record):
    pass

async def main():
    live = [SyncDispatcher(len), SyncDispatcher(len, nonblocking=False), AsyncDispatcher(callback)]
    for dispatcher in live:
        dispatcher.setup()
    waiting = SyncDispatcher(len)  # not set up: the child may set it up and be served
    pid = os.fork()
    if pid == 0:
        results = [feeder.push_natively(dispatcher, [3]) for dispatcher in live + [waiting]]
        print("CHILD", results, flush=True)
        os._exit(0)
    os.waitpid(pid, 0)
    print("PARENT", [feeder.push_natively(dispatcher, [3]) for dispatcher in live], flush=True)
    for dispatcher in live + [waiting]:
        dispatcher.close()

asyncio.run(main())
""", timeout=30)
    assert result.returncode == 0, result.stderr
    assert "CHILD [[-1], [-1], [-1], [1]]" in result.stdout and "PARENT [[1], [1], [1]]" in result.stdout


CHILD_ENDINGS = {  # what the callback does in the child its fork made: (statement, exit status)
    "closes its dispatcher": ("dispatcher.close()", 0),
    "raises": ("raise ValueError('in the child')", 1),
    "exits": ("sys.exit(7)", 7),
}


@pytest.mark.not_emulated("fork")
@pytest.mark.parametrize("ending", CHILD_ENDINGS)
def test_a_child_forked_by_a_callback_ends_as_a_program_once_its_worker_ends(run_child, ending):
    """In the child, the worker that forked is the interpreter's main thread: when its loop ends,
    the child's program has ended, and the interpreter exits as at the end of a script."""
    statement, status = CHILD_ENDINGS[ending]
    result = run_child(f"""
import atexit, os, signal, sys, time
import feeder
from orvel.utils.portage.portage import SyncDispatcher

sys.unraisablehook = lambda report: None
children = []

def callback(record):
    pid = os.fork()
    if pid != 0:
        children.append(pid)
        return
    signal.alarm(10)  # a child that does not end is ended, with SIGALRM
    atexit.register(print, "CHILD EXITS", flush=True)
    {statement}

dispatcher = SyncDispatcher(callback)
dispatcher.setup()
assert feeder.push_natively(dispatcher, [1]) == [1]
while not children:
    time.sleep(0.001)
print("CHILD STATUS", os.waitstatus_to_exitcode(os.waitpid(children[0], 0)[1]), flush=True)
dispatcher.close()
""", timeout=30)
    assert result.returncode == 0, result.stderr
    assert f"CHILD STATUS {status}" in result.stdout and "CHILD EXITS" in result.stdout, result.stdout
    assert "threading" not in result.stderr  # its shutdown takes the worker's thread as its main thread


# ---- setup() against close() and itself ------------------------------------------------------

MAKERS = {"SyncDispatcher": lambda: SyncDispatcher(print), "AsyncDispatcher": lambda: AsyncDispatcher(print)}


def set_up(dispatcher, run_async, **arguments):
    """setup() where it works: inside a running loop for an AsyncDispatcher."""
    if isinstance(dispatcher, AsyncDispatcher):
        async def main():
            try:
                dispatcher.setup(**arguments)
            finally:
                dispatcher.close()  # before the loop goes
        return run_async(main)
    return dispatcher.setup(**arguments)


class Index:
    """An integer by __index__ alone, as numpy's integers are."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):  # the test's id: the same in every process that collects it
        return f"Index({self.value})"


@pytest.mark.parametrize("recvbuf, error", [
    (1.5, TypeError), ("1", TypeError), (decimal.Decimal(1), TypeError),  # __int__ is not enough
    (2 ** 31, OverflowError), (-2 ** 31 - 1, OverflowError),
    (True, None), (Index(4096), None), (-1, None),
], ids=repr)
@pytest.mark.parametrize("kind", MAKERS)
def test_setup_takes_recvbuf_as_an_integer(run_async, kind, recvbuf, error):
    dispatcher = MAKERS[kind]()
    if error is not None:
        with pytest.raises(error):
            set_up(dispatcher, run_async, recvbuf=recvbuf)
        assert native.fields(dispatcher).fd == -1  # refused before a socket was made
    else:
        set_up(dispatcher, run_async, recvbuf=recvbuf)
        assert native.fields(dispatcher).fd != -1
    dispatcher.close()


@pytest.mark.not_emulated("rlimit_as")
@pytest.mark.parametrize("nonblocking", [True, False])
def test_a_setup_whose_worker_thread_could_not_start_may_be_called_again(run_child, nonblocking):
    result = run_child(f"""
import resource, time
import feeder
from orvel.utils.portage.portage import SyncDispatcher

got = []
dispatcher = SyncDispatcher(got.append, nonblocking={nonblocking})
# Room for the socket, not for the worker thread's stack.
size = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + 6 * 2 ** 20, resource.RLIM_INFINITY))
try:
    dispatcher.setup()
except RuntimeError as error:
    print("FIRST", error, flush=True)
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
dispatcher.setup()
assert feeder.push_natively(dispatcher, [3]) == [1]
while not got:
    time.sleep(0.001)
print("DELIVERED", got, flush=True)
dispatcher.close()
""", timeout=30)
    assert result.returncode == 0, result.stderr
    assert "FIRST Resource temporarily unavailable" in result.stdout and "DELIVERED [b'\\x00\\x00\\x00']" in result.stdout


@pytest.mark.parametrize("host", ["224.0.0.1", "239.1.2.3"])
@pytest.mark.parametrize("kind", MAKERS)
def test_setup_refuses_a_host_whose_socket_cannot_wake_itself(run_async, kind, host):
    """A multicast address binds, but the socket never receives its own datagrams: a consumer
    asleep on it would never wake for the records pushed."""
    dispatcher = MAKERS[kind]()
    with pytest.raises(OSError, match=rf"^\[Errno {errno.EADDRNOTAVAIL}\] the wake-up socket bound to {host}:\d+ "
                                      "does not receive its own datagrams$"):
        set_up(dispatcher, run_async, host=host)
    f = native.fields(dispatcher)
    assert f.fd == -1 and f.sock == id(None)
    dispatcher.close()


@pytest.mark.parametrize("kind", MAKERS)
def test_setup_after_close_is_refused(run_async, kind):
    dispatcher = MAKERS[kind]()
    dispatcher.close()
    with pytest.raises(RuntimeError, match=f"^this {kind} is closed$"):
        set_up(dispatcher, run_async)
    assert native.fields(dispatcher).fd == -1


def while_binding(monkeypatch, action):
    """Makes the next setup() run `action` while it binds its socket (the interpreter lock is
    released there, so another thread may run anything)."""
    real = portage.setup_socket

    class Socket(socket.socket):
        def bind(self, address):
            monkeypatch.setattr(portage, "setup_socket", real)
            action()
            super().bind(address)

    def setup_socket(blocking, recvbuf):
        sock = real(blocking, recvbuf)
        return Socket(fileno=sock.detach())

    monkeypatch.setattr(portage, "setup_socket", setup_socket)


@pytest.mark.parametrize("kind", MAKERS)
def test_a_close_while_setup_binds_wins_cleanly(monkeypatch, run_async, kind):
    dispatcher = MAKERS[kind]()
    while_binding(monkeypatch, dispatcher.close)
    with pytest.raises(RuntimeError, match=f"^this {kind} is closed$"):
        set_up(dispatcher, run_async)
    assert native.fields(dispatcher).fd == -1 and native.fields(dispatcher).sock == id(None)


@pytest.mark.parametrize("kind", MAKERS)
def test_of_two_setups_at_once_exactly_one_wins(monkeypatch, run_async, kind):
    dispatcher = MAKERS[kind]()
    losers = []

    def second_setup():
        with pytest.raises(RuntimeError, match=f"^this {kind} has been set up already$") as raised:
            dispatcher.setup()
        losers.append(raised.value)

    while_binding(monkeypatch, second_setup)
    if kind == "SyncDispatcher":
        dispatcher.setup()
        sock = ctypes.cast(native.fields(dispatcher).sock, ctypes.py_object).value
        assert sock.getpeername() == sock.getsockname()  # the socket the worker waits on
        assert feeder.push_natively(dispatcher, [3]) == [1]
        dispatcher.close()
    else:
        set_up(dispatcher, run_async)
    assert len(losers) == 1


# ---- wake-ups from other processes -----------------------------------------------------------

@pytest.mark.parametrize("kind", MAKERS)
def test_only_the_dispatchers_own_socket_wakes_it(run_async, run_child, kind):
    """A flood of datagrams from another process reaches neither the worker nor the reader."""
    def flood_and_read(dispatcher):
        """The datagrams waiting on the socket after the flood: the dispatcher's own 1-byte ones."""
        f = native.fields(dispatcher)
        port = int.from_bytes(bytes(f.addr.port), "big")
        sock = ctypes.cast(f.sock, ctypes.py_object).value
        assert sock.getpeername() == sock.getsockname() == ("127.0.0.1", port)
        flood = run_child(f"""
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for _ in range(2000):
    s.sendto(bytes(1400), ("127.0.0.1", {port}))
""")
        assert flood.returncode == 0, flood.stderr
        datagrams = []
        with socket.socket(fileno=os.dup(f.fd)) as reading:  # the consumer is held up meanwhile
            reading.setblocking(False)
            while True:
                try:
                    datagrams.append(reading.recv(2048))
                except BlockingIOError:
                    return datagrams

    if kind == "SyncDispatcher":
        entered, go = threading.Event(), threading.Event()
        dispatcher = SyncDispatcher(lambda record: entered.set() or go.wait())
        dispatcher.setup()
        assert feeder.push_natively(dispatcher, [1]) == [1]
        try:
            assert entered.wait(20)  # the worker is inside its callback: it reads no datagram
            assert set(flood_and_read(dispatcher)) <= {b"\x01"}
        finally:
            go.set()
            dispatcher.close()
    else:
        async def main():
            dispatcher = AsyncDispatcher(lambda record: asyncio.sleep(0))
            dispatcher.setup()
            assert flood_and_read(dispatcher) == []  # the reader has not run: this test holds the loop
            dispatcher.close()
        run_async(main)

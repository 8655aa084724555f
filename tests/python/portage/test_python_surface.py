"""The bridge's types as Python code uses them: context managers, async iteration, state,
refusals at construction and recognisable threads."""

import asyncio
import functools
import importlib
import inspect
import json
import re
import subprocess
import sys
import threading
import time

import pytest

import native
from orvel.tandem import tandem
from orvel.utils.portage import portage
from orvel.tandem.tandem import Tandem
from orvel.utils.portage.portage import AsyncDispatcher, AsyncQueue, CBufferView, LumPipe, SyncDispatcher


def wait_until(condition, timeout=20):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.001)


@pytest.mark.parametrize("nonblocking", [True, False])
def test_a_sync_dispatcher_as_a_context_manager_delivers_on_a_named_thread(nonblocking):
    seen = []
    callback = lambda record: seen.append((record, threading.current_thread().name))
    with SyncDispatcher(callback, capacity=8, slot_size=64, nonblocking=nonblocking, detach=False) as d:
        assert d.worker_running and not d.closed
        mode = "nonblocking" if nonblocking else "blocking"
        assert repr(d) == f"<SyncDispatcher capacity=8 slot_size=64 {mode} running delivered=0>"
        assert native.push(d, b"one") == 1 and native.push(d, b"two") == 1
        wait_until(lambda: len(seen) == 2)
    assert d.closed and not d.worker_running  # detach=False: close() waited for the worker
    assert repr(d) == f"<SyncDispatcher capacity=8 slot_size=64 {mode} closed delivered=2>"
    assert [record for record, _ in seen] == [b"one", b"two"]
    name = seen[0][1]
    assert name.startswith("orvel-sync-") and len(name) <= 15 and seen[1][1] == name
    assert name not in [thread.name for thread in threading.enumerate()]  # the ended worker is gone
    with pytest.raises(TypeError):
        iter(d)


def test_a_sync_dispatcher_set_up_already_is_kept_and_closes_on_an_error():
    d = SyncDispatcher(lambda record: None)
    assert repr(d) == "<SyncDispatcher capacity=16384 slot_size=2048 nonblocking not set up>"
    assert not d.worker_running and (d.capacity, d.slot_size) == (16384, 2048)
    d.setup()
    with pytest.raises(KeyError):
        with d as entered:
            assert entered is d
            raise KeyError("block")
    assert d.closed
    closed = SyncDispatcher(lambda record: None)
    closed.close()
    with pytest.raises(RuntimeError, match="closed"), closed:
        pass
    assert SyncDispatcher.__new__(SyncDispatcher).capacity is None


@pytest.mark.parametrize("nonblocking", [True, False])
def test_a_sync_dispatcher_closed_after_use_cannot_be_entered_again(nonblocking):
    with SyncDispatcher(lambda record: None, nonblocking=nonblocking) as d:
        with d as inner:  # nested while open: the same dispatcher
            assert inner is d and d.worker_running
    with pytest.raises(RuntimeError, match="this SyncDispatcher is closed"), d:
        pass


def test_an_async_dispatcher_closed_after_use_cannot_be_entered_again(run_async):
    async def callback(record):
        pass

    async def main():
        async with AsyncDispatcher(callback) as d:
            async with d as inner:
                assert inner is d and not d.closed
        with pytest.raises(RuntimeError, match="this AsyncDispatcher is closed"):
            async with d:
                pass
        return d.closed

    assert run_async(main)


def test_the_kernel_knows_the_worker_by_its_name():
    names = []

    def callback(record):
        with open(f"/proc/self/task/{threading.get_native_id()}/comm") as comm:
            names.append(comm.read().strip())

    with SyncDispatcher(callback, detach=False) as d:
        native.push(d, b"x")
        wait_until(lambda: names)
    assert names[0].startswith("orvel-sync-")


async def _coroutine_function(record):
    pass


class _AwaitingCallable:
    async def __call__(self, record):
        pass


class _Callable:
    def __call__(self, record):
        pass


@pytest.mark.parametrize("cls, callback, message", [
    (SyncDispatcher, 3, "callable"),
    (SyncDispatcher, None, "callable"),
    (SyncDispatcher, _coroutine_function, "AsyncDispatcher"),
    (SyncDispatcher, _AwaitingCallable(), "AsyncDispatcher"),
    (SyncDispatcher, functools.partial(_coroutine_function), "AsyncDispatcher"),
    (SyncDispatcher, functools.partial(_AwaitingCallable()), "AsyncDispatcher"),
    (AsyncDispatcher, b"text", "callable"),
], ids=lambda value: type(value).__name__)
def test_a_callback_that_cannot_serve_is_refused_at_construction(cls, callback, message):
    with pytest.raises(TypeError, match=message):
        cls(callback)


@pytest.mark.parametrize("callback", [_Callable(), functools.partial(print), _AwaitingCallable, bytes.upper],
                         ids=lambda value: type(value).__name__)
def test_a_sync_dispatcher_takes_any_callable_that_returns_at_once(callback):
    with SyncDispatcher(callback) as d:  # a class makes an instance: it returns at once
        assert not d.closed


def test_an_async_dispatcher_as_a_context_manager_awaits_its_reader(run_async):
    seen = []

    async def callback(record):
        seen.append(record)

    async def main():
        async with AsyncDispatcher(callback, capacity=8, slot_size=64) as d:
            task = d.task
            assert task.get_name() == "orvel-async-reader" and not d.closed
            assert repr(d) == "<AsyncDispatcher capacity=8 slot_size=64 running delivered=0>"
            assert native.push(d, b"one") == 1
            while not seen:
                await asyncio.sleep(0.001)
        assert task.done() and d.closed and d.task is None and d.error is None
        assert repr(d) == "<AsyncDispatcher capacity=8 slot_size=64 closed delivered=1>"
        return seen

    assert run_async(main) == [b"one"]


def test_an_async_dispatcher_set_up_already_is_kept(run_async):
    async def main():
        async def callback(record):
            pass
        d = AsyncDispatcher(callback)
        assert d.task is None and repr(d).endswith(" not set up>")
        d.setup()
        task = d.task
        async with d as entered:
            assert entered is d and d.task is task
        await task  # awaitable, and ended
        return task.done()

    assert run_async(main)


def test_an_async_queue_iterates_until_shut_down(run_async):
    async def main():
        async with AsyncQueue(capacity=8, slot_size=16) as q:
            got = []

            async def consume():
                async for record in q:
                    got.append(record)

            consumer = asyncio.create_task(consume())
            await q.push_str("a")
            await q.push_str("b")
            while len(got) < 2:
                await asyncio.sleep(0)
            assert repr(q) == "<AsyncQueue capacity=8 slot_size=16 open>"
        await consumer
        await q.push_str("late")  # still taken after shutdown, and drained by a new iteration
        assert [record async for record in q] == [b"late"]
        assert repr(q) == "<AsyncQueue capacity=8 slot_size=16 shut down>"
        return got

    assert run_async(main) == [b"a", b"b"]


def test_an_async_queue_iteration_ends_when_shut_down_between_records(run_async):
    async def main():
        q = AsyncQueue()
        await q.push_str("a")
        got = []
        async for record in q:
            got.append(record)
            await q.shutdown()  # while the consumer is busy, not waiting
        return got

    assert run_async(main) == [b"a"]


def test_a_dispatcher_dropped_after_its_loop_closed_leaves_no_socket_open(run_child):
    child = run_child("""
import asyncio, gc
from orvel.utils.portage.portage import AsyncDispatcher

async def callback(record):
    pass

async def main():
    kept.append(AsyncDispatcher(callback))
    kept[0].setup()

kept = []
loop = asyncio.new_event_loop()
loop.run_until_complete(main())
loop.close()  # the reader never ends: close() cannot reach its loop
kept.clear()
gc.collect()
""", env={"PYTHONDEVMODE": "1"})
    assert child.returncode == 0, child.stderr
    assert "RuntimeError: Event loop is closed" in child.stderr  # reported, as before
    assert "ResourceWarning" not in child.stderr


PUBLIC_CALLABLES = [
    (SyncDispatcher, "setup"), (SyncDispatcher, "close"), (SyncDispatcher, "stats"), (AsyncDispatcher, "setup"),
    (AsyncDispatcher, "close"), (AsyncDispatcher, "stats"),
    (AsyncQueue, "push_buf"), (AsyncQueue, "push_obj"), (AsyncQueue, "push_str"), (AsyncQueue, "pop"),
    (AsyncQueue, "start_dispatcher"), (AsyncQueue, "shutdown"), (portage, "setup_socket"),
]


@pytest.mark.parametrize("owner, name", PUBLIC_CALLABLES, ids=lambda value: getattr(value, "__name__", value))
def test_public_callables_say_what_they_do_with_python_types(owner, name):
    function = getattr(owner, name)
    assert function.__doc__ and function.__doc__.strip()
    signature = inspect.signature(function)
    shown = str(signature)
    assert "size_t" not in shown and "void" not in shown
    assert all(parameter.annotation is not parameter.empty
               for parameter in signature.parameters.values() if parameter.name != "self")
    assert signature.return_annotation is not signature.empty


@pytest.mark.parametrize("cls", [SyncDispatcher, AsyncDispatcher, AsyncQueue, LumPipe, CBufferView, Tandem],
                         ids=lambda cls: cls.__name__)
def test_classes_show_the_constructor_they_document_with_python_types(cls):
    assert cls.__doc__.startswith(cls.__name__ + "(")  # the docstring stays the constructor's text
    signature = inspect.signature(cls)
    assert not re.search(r"\b(size_t|bint|void)\b", str(signature)), signature
    assert all(parameter.annotation is not parameter.empty and not isinstance(parameter.annotation, str)
               for parameter in signature.parameters.values())
    assert signature.return_annotation is None


def test_class_signatures_show_python_types_and_give_way_to_a_subclass_constructor():
    assert str(inspect.signature(AsyncQueue)) == (
        "(loop: asyncio.events.AbstractEventLoop | None = None, slot_size: int = 1024, capacity: int = 16384, "
        "overwrite: bool = False, zerocopy: bool = False, block_on_full: bool = False) -> None")
    assert str(inspect.signature(Tandem)) == (
        "(slot_size: int, capacity: int, overwrite: bool = False, zerocopy: bool = False, "
        "block_on_full: bool = False) -> None")

    class Plain(SyncDispatcher):
        pass

    class Own(SyncDispatcher):
        def __init__(self, name: str) -> None:
            super().__init__(print)

    assert inspect.signature(Plain) == inspect.signature(SyncDispatcher)
    assert str(inspect.signature(Own)) == "(name: str) -> None"


@pytest.mark.parametrize("module", [portage, tandem], ids=lambda module: module.__name__)
def test_a_star_import_takes_the_public_names(module):
    namespace = {}
    exec(f"from {module.__name__} import *", namespace)
    assert set(namespace) - {"__builtins__"} == set(module.__all__)
    assert all(getattr(module, name) is namespace[name] for name in module.__all__)


@pytest.mark.parametrize("use", [
    lambda q: q.pop(), lambda q: q.__anext__(), lambda q: q._AsyncQueue__dispatch(),
    lambda q: q.push_str("x"), lambda q: q.push_buf(b"x"), lambda q: q.push_obj(b"x"),
    lambda q: q.shutdown(), lambda q: q.start_dispatcher(asyncio.sleep),
])
def test_an_async_queue_never_constructed_refuses_use(run_async, use):
    async def main():
        with pytest.raises(RuntimeError, match=r"^AsyncQueue.__init__\(\) has not run$"):
            await use(AsyncQueue.__new__(AsyncQueue))

    run_async(main)  # used to crash the interpreter


def test_an_async_queue_refuses_a_dispatcher_callback_that_cannot_be_called(run_async):
    async def main():
        queue = AsyncQueue()
        with pytest.raises(TypeError, match="callable"):
            queue.start_dispatcher(42)
        assert "dispatching" not in repr(queue)

    run_async(main)


@pytest.mark.parametrize("make", [
    lambda: SyncDispatcher(print, slot_size=0, variable_size=True),
    lambda: SyncDispatcher(print, slot_size=0, variable_size=True, nonblocking=False),
    lambda: AsyncDispatcher(print, slot_size=0, variable_size=True),
    lambda: LumPipe(slot_size=0, variable_size=True),
], ids=["SyncDispatcher", "SyncDispatcher blocking", "AsyncDispatcher", "LumPipe"])
def test_variable_size_messages_in_slots_of_no_bytes_are_refused_when_built(make):
    with pytest.raises(ValueError, match="^variable-size messages need a slot_size of at least 1$"):
        make()


# ---- methods called on their class with an object of another type -------------------------------

MODULES = ["orvel.tandem.tandem", "orvel.utils.portage.portage", "orvel.scribo.scribo", "orvel.utils.vigil.vigil"]
HEAP_TYPE = 1 << 9  # Py_TPFLAGS_HEAPTYPE: a class written in Python


def extension_methods():
    """(module, class, name) of every method of every extension type the modules define."""
    for module_name in MODULES:
        for cls in vars(importlib.import_module(module_name)).values():
            if not isinstance(cls, type) or cls.__module__ != module_name or cls.__flags__ & HEAP_TYPE:
                continue
            for name, attribute in vars(cls).items():
                if callable(attribute) and not isinstance(attribute, type) and name != "__new__":
                    yield module_name, cls.__name__, name


METHODS = sorted(extension_methods())


@pytest.fixture(scope="module")
def plain_object_calls():
    """What each method called on its class with object() did, from one child interpreter: a
    crash ends it, and leaves the methods after it without an outcome."""
    source = f"""
import importlib, json
for module_name, class_name, name in {METHODS!r}:
    method = getattr(getattr(importlib.import_module(module_name), class_name), name)
    try:
        outcome = ["returned", repr(method(object()))]
    except BaseException as error:
        outcome = [type(error).__name__, str(error)]
    print(json.dumps([module_name, class_name, name, outcome]), flush=True)
"""
    child = subprocess.run([sys.executable, "-P", "-c", source], capture_output=True, text=True, timeout=60)
    return {tuple(line[:3]): line[3] for line in map(json.loads, child.stdout.splitlines())}


@pytest.mark.parametrize("module_name, class_name, name", METHODS, ids=lambda part: part.rpartition(".")[2])
def test_a_method_called_on_an_object_of_another_type_raises_type_error(plain_object_calls, module_name,
                                                                          class_name, name):
    outcome = plain_object_calls.get((module_name, class_name, name), ["crashed", ""])
    assert outcome[0] == "TypeError" and f"'{module_name}.{class_name}'" in outcome[1], outcome

"""examples/native_feed: an extension module in plain C++ (no Cython) built with find_package(orvel)
against the installed orvel, as a user's module would be: by scripts/setup against the source
build in .venv, and by scripts/test-downstream from the wheel alone. It pushes records into the
dispatchers from a native thread, logs through a named logger, and drives a Tandem through its
table with the bridge's conversions."""

import asyncio
import importlib.util
import pathlib
import re
import subprocess
import sysconfig
import threading

import pytest

import native_feed
import orvel
from orvel.tandem.tandem import Tandem
from orvel.utils.portage.portage import (AsyncBatchDispatcher, AsyncDispatcher, LumPipe, SyncBatchDispatcher,
                                         SyncDispatcher)

RECORDS = 5000
EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "native_feed"


def sequence_numbers(records):
    return [int.from_bytes(record[:8], "little") for record in records]


@pytest.mark.parametrize("modes", [
    {},
    {"nonblocking": False, "block_on_full": True},
    {"variable_size": True, "slot_size": 16},   # 40-byte records cross as 3 fragments each
], ids=["waking socket", "waiting in the queue", "variable size"])
def test_a_native_thread_feeds_a_sync_dispatcher_in_order(modes):
    received, done = [], threading.Event()

    def on_record(record):
        received.append((record, threading.get_ident()))
        if len(received) == RECORDS:
            done.set()

    dispatcher = SyncDispatcher(on_record, **{"capacity": 64, **modes})
    dispatcher.setup()
    fed = native_feed.feed(dispatcher, RECORDS, 40, "feed")
    assert done.wait(30)
    dispatcher.close()
    assert fed["pushed"] == RECORDS and fed["refused"] == 0
    assert sequence_numbers(record for record, _ in received) == list(range(RECORDS))
    assert {len(record) for record, _ in received} == {40}
    assert threading.get_ident() not in {thread for _, thread in received}


def test_a_native_thread_feeds_an_async_dispatcher():
    async def main():
        received, done = [], asyncio.get_running_loop().create_future()

        async def on_record(record):
            received.append(record)
            if len(received) == RECORDS:
                done.set_result(None)

        dispatcher = AsyncDispatcher(on_record, capacity=64)
        dispatcher.setup()
        # feed() waits for its producer thread: off the loop, which must keep draining meanwhile.
        fed = await asyncio.to_thread(native_feed.feed, dispatcher, RECORDS, 8, "feed")
        await asyncio.wait_for(done, 30)
        dispatcher.close()
        return fed, received

    fed, received = asyncio.run(main())
    assert fed["pushed"] == RECORDS
    assert sequence_numbers(received) == list(range(RECORDS))


def test_the_producer_thread_logs_through_the_named_logger(run_child, tmp_path):
    log_path = tmp_path / "feed.log"
    child = run_child(f"""\
import threading
import native_feed
from orvel.scribo import FileHandler, Level, Logger, StderrHandler
from orvel.utils.portage.portage import SyncDispatcher
feed = Logger("feed", handlers=[FileHandler({str(log_path)!r}, pattern="%n|%l|%t|%v")], set_default=True)
done = threading.Event()
dispatcher = SyncDispatcher(lambda record: done.set())
dispatcher.setup()
print(native_feed.feed(dispatcher, 1, 8, "feed")["pushed"], threading.get_native_id())
done.wait(30)
dispatcher.close()
dispatcher = SyncDispatcher(print)
dispatcher.close()
print(native_feed.feed(dispatcher, 3, 8, "feed")["refused"])
Logger("quiet", Level.OFF, handlers=[StderrHandler()], set_default=True)
del feed  # the file closes
""")
    assert child.returncode == 0, child.stderr
    pushed_line, refused_line = child.stdout.splitlines()[-2:]
    main_thread = pushed_line.split()[1]
    assert (pushed_line.split()[0], refused_line) == ("1", "-1")
    lines = [line.split("|") for line in log_path.read_text().splitlines() if "native thread" in line
             or "refused" in line]
    assert [(name, level, text) for name, level, _, text in lines] == [
        ("feed", "info", "fed 1 records of 8 bytes from a native thread"),
        ("feed", "warning", "push refused with -1 after 0 records"),
        ("feed", "info", "fed 0 records of 8 bytes from a native thread"),
    ]
    assert main_thread not in {thread for _, _, thread, _ in lines}


@pytest.mark.parametrize("messages, expected", [
    ([b"abc", b"de"], [b"abc", b"de"]),
    (["h\u00e9"], [b"h\xc3\xa9"]),
    ([bytearray(b"buf"), memoryview(b"view")], [b"buf", b"view"]),
    ([[104, 105]], [b"hi"]),
    ([b"x" * 100], [b"x" * 100]),   # 7 fragments of 16 bytes
], ids=["bytes", "str", "buffers", "objects", "fragmented"])
def test_messages_are_converted_and_cross_the_queue_through_its_table(messages, expected):
    assert native_feed.round_trip(Tandem(16, 64), messages) == expected


@pytest.mark.parametrize("queue, messages, error", [
    (Tandem(16, 64), ["a\ud800"], UnicodeEncodeError),
    (Tandem(16, 64), [5], TypeError),
    (Tandem(0, 8), [b"abc"], ZeroDivisionError),   # refused by the queue itself, its error pending
], ids=["str conversion", "object conversion", "queue refusal"])
def test_failures_surface_as_python_exceptions(queue, messages, error):
    with pytest.raises(error):
        native_feed.round_trip(queue, messages)


def test_notify_closes_the_queue():
    queue = Tandem(16, 64)
    native_feed.notify(queue)
    with pytest.raises(RuntimeError, match="returned -1"):
        native_feed.round_trip(queue, [b"late"])


@pytest.mark.parametrize("call", [
    lambda: native_feed.feed(Tandem(16, 8), 1, 8, "feed"),
    lambda: native_feed.round_trip(SyncDispatcher(print), [b"x"]),
    lambda: native_feed.notify(b"not a queue"),
], ids=["feed a queue", "round trip through a dispatcher", "notify bytes"])
def test_objects_of_the_wrong_type_are_refused(call):
    with pytest.raises(TypeError, match="expected"):
        call()


@pytest.mark.parametrize("module, function, expected", [
    ("orvel.tandem.tandem", "tandem_notify", "void (void *)"),
    ("orvel.utils.portage.portage", "str_to_cbuf", "int (PyObject *, char const **, size_t *)"),
    ("orvel.scribo.scribo", "get_logger_by_name", "SpdLogger (char const *)"),
])
def test_the_import_refuses_a_function_of_another_signature(run_child, module, function, expected):
    child = run_child(f"""\
import ctypes, importlib
import orvel.utils.portage.portage, orvel.scribo.scribo
new_capsule = ctypes.pythonapi.PyCapsule_New
new_capsule.restype = ctypes.py_object
new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
signature = b"int (long)"
importlib.import_module({module!r}).__pyx_capi__[{function!r}] = new_capsule(1, signature, None)
try:
    import native_feed
except ImportError as error:
    print(error)
""")
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines()[-1] == (
        f"{module}.{function} has the signature 'int (long)', this header expects '{expected}'")


@pytest.mark.parametrize("language, name", [("cmake", "CMakeLists.txt"), ("toml", "pyproject.toml")])
def test_the_guide_shows_the_files_that_are_built(language, name):
    guide = (EXAMPLE.parents[1] / "docs" / "native.md").read_text()
    assert (EXAMPLE / name).read_text() in re.findall(rf"^```{language}\n(.*?)^```$", guide, re.S | re.M)


# What a producer asks of its target before it pushes, through <orvel/native.hpp> alone.
DESCRIBE = """\
#include <orvel/native.hpp>

namespace {
PyObject* describe(PyObject*, PyObject* target) {
  orvel::native::Producer producer = orvel::native::Producer::of(target);
  if (!producer) return nullptr;
  orvel::native::Queue queue = producer.queue();
  return Py_BuildValue("(iiinniiii)", producer.variable_size(), producer.keeps_pointers(), producer.waits_when_full(),
                       static_cast<Py_ssize_t>(queue.slot_size()), static_cast<Py_ssize_t>(queue.capacity()),
                       queue.overwrite(), queue.zerocopy(), queue.block_on_full(), queue.is_open());
}
PyMethodDef methods[] = {{"describe", describe, METH_O, nullptr}, {nullptr, nullptr, 0, nullptr}};
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "producer_view", nullptr, -1, methods};
}  // namespace

PyMODINIT_FUNC PyInit_producer_view() {
  if (orvel::native::import_bridge() < 0) return nullptr;
  return PyModule_Create(&module_def);
}
"""


@pytest.fixture(scope="module")
def producer_view(tmp_path_factory):
    folder = tmp_path_factory.mktemp("producer_view")
    (folder / "producer_view.cpp").write_text(DESCRIBE)
    library = folder / f"producer_view{sysconfig.get_config_var('EXT_SUFFIX')}"
    built = subprocess.run(["g++", "-std=c++20", "-shared", "-fPIC", "-Wall", "-Werror",
                            f"-I{orvel.get_include()}", f"-isystem{sysconfig.get_path('include')}",
                            "-o", library, folder / "producer_view.cpp"], capture_output=True, text=True, timeout=300)
    assert built.returncode == 0, built.stderr
    spec = importlib.util.spec_from_file_location("producer_view", library)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


async def ignore(record):
    pass


def closed(target):
    target.close()
    return target


# (variable_size, keeps_pointers, waits_when_full, slot_size, capacity, overwrite, zerocopy, block_on_full, open)
@pytest.mark.parametrize("make, expected", [
    (lambda: SyncDispatcher(print), (False, False, False, 2048, 16384, False, False, False, True)),
    (lambda: SyncDispatcher(print, 64, 16, overwrite=True, variable_size=True),
     (True, False, False, 16, 64, True, False, False, True)),
    (lambda: SyncDispatcher(print, block_on_full=True), (False, False, False, 2048, 16384, False, False, True, True)),
    (lambda: SyncDispatcher(print, 8, 32, block_on_full=True, nonblocking=False),
     (False, False, True, 32, 8, False, False, True, True)),
    (lambda: SyncBatchDispatcher(print, zerocopy=True, nonblocking=False),
     (False, True, False, 2048, 16384, False, True, False, True)),
    (lambda: closed(SyncDispatcher(print, variable_size=True, detach=False)),
     (True, False, False, 2048, 16384, False, False, False, False)),
    (lambda: AsyncDispatcher(ignore, 32, 64), (False, False, False, 64, 32, False, False, False, True)),
    (lambda: AsyncDispatcher(ignore, 32, 64, zerocopy=True, variable_size=True),
     (True, False, False, 64, 32, False, True, False, True)),
    (lambda: closed(AsyncBatchDispatcher(ignore, overwrite=True, variable_size=True)),
     (True, False, False, 2048, 16384, True, False, False, False)),
    (lambda: LumPipe(16, 8, block_on_full=True, variable_size=True), (True, False, True, 8, 16, False, False, True, True)),
    (lambda: LumPipe(zerocopy=True, overwrite=True), (False, True, False, 2048, 16384, True, True, False, True)),
], ids=["sync defaults", "sync variable size", "sync nonblocking, block_on_full", "sync pushes that wait",
        "sync batches, zerocopy", "sync closed", "async", "async variable size, zerocopy", "async batches closed",
        "pipe variable size, waiting", "pipe zerocopy"])
def test_a_producer_sees_its_targets_modes_and_state(producer_view, make, expected):
    assert producer_view.describe(make()) == expected

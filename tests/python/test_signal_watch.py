"""The signal watcher, the queue registry and the modules' process-wide rules, each observed in a
child interpreter."""

import os
import re
import shutil
import signal
import sys

import pytest

TESTS = os.path.dirname(__file__)

PRELUDE = f"""
import gc, sys, threading, time
sys.path.insert(0, {TESTS!r})
from orvel.tandem.tandem import Tandem
from tandem_table import NativeTable, core_address
table = NativeTable()

def say(*words):
    print(*words, flush=True)

def block_in_pop(*queues):
    results = []
    threads = [threading.Thread(target=lambda q=q: results.append(table.pop(q)[0])) for q in queues]
    for t in threads:
        t.start()
    time.sleep(0.2)  # long enough for the pops to sleep in the kernel
    return threads, results

def wait_for_interrupt(threads, results):
    try:
        say("READY")
        time.sleep(60)
        say("NO INTERRUPT")
    except KeyboardInterrupt:
        for t in threads:
            t.join(10)
        say("INTERRUPTED", sorted(results))
"""

SECOND_SIGNAL = """
say("READY AGAIN")
time.sleep(60)
say("SURVIVED")
"""


def lines_with(output: str, needle: str) -> list[str]:
    return [line for line in output.splitlines() if needle in line]


def signal_messages(output: str) -> list[str]:
    return [line[line.index("[SIGNAL]"):] for line in lines_with(output, "[SIGNAL]")]


def interrupt(child, source: str, signum=signal.SIGTERM):
    proc = child(PRELUDE + source)
    proc.wait_for("READY")
    proc.send(signum)
    return proc


def test_importing_starts_nothing_and_the_first_queue_starts_the_watcher(run_child):
    result = run_child(PRELUDE + """
say("IMPORTED", threading.active_count(), len(os.listdir("/proc/self/task")))
first = Tandem(8, 4)
say("FIRST", hex(core_address(first)))
second = Tandem(8, 4)
say("SECOND", hex(core_address(second)))
""".replace("say(\"IMPORTED\"", "import os\nsay(\"IMPORTED\""))
    assert result.returncode == 0, result.stderr
    out = result.stdout
    before, after = out.split("IMPORTED 1 1\n")  # no thread of ours before the first queue
    assert "[SIGNAL]" not in before
    first = re.search(r"FIRST (0x[0-9a-f]+)", after)[1]
    second = re.search(r"SECOND (0x[0-9a-f]+)", after)[1]
    assert signal_messages(after)[:3] == [
        "[SIGNAL] Handler initialized",
        f"[SIGNAL] Registered context {first} (total: 1)",
        f"[SIGNAL] Registered context {second} (total: 2)",
    ]
    assert all("] [info] [tandem:" in line for line in lines_with(after, "[SIGNAL]"))


def test_destroying_a_queue_removes_exactly_its_entry(run_child):
    result = run_child(PRELUDE + """
queues = [Tandem(8, 4) for _ in range(3)]
say("MIDDLE", hex(core_address(queues[1])))
del queues[1]
say("LAST", hex(core_address(queues[1])))
del queues[1]
say("DONE")
""")
    middle = re.search(r"MIDDLE (0x[0-9a-f]+)", result.stdout)[1]
    last = re.search(r"LAST (0x[0-9a-f]+)", result.stdout)[1]
    before_exit = result.stdout.split("DONE")[0]
    assert lines_with(before_exit, "Unregistered") == lines_with(before_exit, "[SIGNAL] Unregistered")
    assert signal_messages(before_exit)[-2:] == [
        f"[SIGNAL] Unregistered context {middle} (remaining: 2)",
        f"[SIGNAL] Unregistered context {last} (remaining: 1)",
    ]


def test_sigterm_releases_every_blocked_pop_and_interrupts_the_main_thread(child):
    proc = interrupt(child, """
first, second = Tandem(8, 4), Tandem(8, 4)
threads, results = block_in_pop(first, second)
wait_for_interrupt(threads, results)
""" + SECOND_SIGNAL)
    proc.wait_for("READY AGAIN")
    proc.send(signal.SIGINT)  # the watcher has stopped: SIGINT's default action ends the process
    result = proc.finish()
    assert result.returncode == -signal.SIGINT
    assert "INTERRUPTED [-1, -1]" in result.stdout
    assert "SURVIVED" not in result.stdout
    assert signal_messages(result.stdout)[-3:] == [
        "[SIGNAL] Received signal 15",
        "[SIGNAL] Stopping 2 contexts...",
        "[SIGNAL] All contexts notified",
    ]


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGHUP, signal.SIGTSTP, signal.SIGQUIT])
def test_every_watched_signal_interrupts(child, signum):
    result = interrupt(child, """
queue = Tandem(8, 4)
wait_for_interrupt(*block_in_pop(queue))
""", signum).finish()
    assert result.returncode == 0, result.stderr
    assert "INTERRUPTED [-1]" in result.stdout
    assert f"[SIGNAL] Received signal {int(signum)}" in signal_messages(result.stdout)


def test_a_destroyed_queue_is_not_notified(child):
    result = interrupt(child, """
gone, kept = Tandem(8, 4), Tandem(8, 4)
del gone
wait_for_interrupt(*block_in_pop(kept))
""").finish()
    assert "INTERRUPTED [-1]" in result.stdout
    assert "[SIGNAL] Stopping 1 contexts..." in signal_messages(result.stdout)


def test_registry_is_empty_once_every_queue_is_gone_and_the_watcher_keeps_running(child):
    result = interrupt(child, """
queues = [Tandem(8, 4), Tandem(8, 4)]
del queues[:]
wait_for_interrupt([], [])
""").finish()
    assert "INTERRUPTED []" in result.stdout
    assert "[SIGNAL] Stopping 0 contexts..." in signal_messages(result.stdout)


def test_a_queue_built_after_the_watcher_stopped_is_registered_but_never_released(child):
    proc = interrupt(child, """
first = Tandem(8, 4)
wait_for_interrupt(*block_in_pop(first))
late = Tandem(8, 4)
say("LATE", hex(core_address(late)))
""" + SECOND_SIGNAL)
    proc.wait_for("READY AGAIN")
    proc.send(signal.SIGINT)
    result = proc.finish()
    late = re.search(r"LATE (0x[0-9a-f]+)", result.stdout)[1]
    assert f"[SIGNAL] Registered context {late} (total: 2)" in signal_messages(result.stdout)
    assert signal_messages(result.stdout).count("[SIGNAL] Handler initialized") == 1
    assert result.returncode == -signal.SIGINT


def test_queues_that_never_initialised_leave_the_registry_alone(child):
    # Destroying them must not count them as live queues going away: the registered queue
    # would lose its entry and its blocked pop would sleep through the signal.
    result = interrupt(child, """
kept = Tandem(8, 4)
try:
    Tandem(8, 3)
except ValueError:
    pass
del kept  # re-made below, so that the count of live queues is exercised down to zero
kept = Tandem(8, 4)
never_initialised = Tandem.__new__(Tandem)
del never_initialised
gc.collect()
wait_for_interrupt(*block_in_pop(kept))
""").finish()
    before_exit = result.stdout.split("INTERRUPTED [-1]")[0]
    assert "[SIGNAL] Stopping 1 contexts..." in signal_messages(before_exit)
    assert len(lines_with(before_exit, "Unregistered context")) == 1  # the first `kept` only


def test_a_second_initialisation_registers_nothing(run_child):
    result = run_child(PRELUDE + """
queue = Tandem(8, 4)
try:
    queue.__init__(8, 4)
except RuntimeError as error:
    say("REFUSED", error)
""")
    assert "REFUSED" in result.stdout
    assert len(lines_with(result.stdout, "Registered context")) == 1


@pytest.mark.parametrize("module, short", [("orvel.tandem.tandem", "tandem"),
                                           ("orvel.utils.vigil.vigil", "vigil")])
def test_modules_initialise_once_per_process(run_child, module, short):
    result = run_child(f"""
import ctypes, types
import {module} as module
# A second initialisation: the module's own definition executed on a fresh module object.
definition = getattr(ctypes.PyDLL(module.__file__), "PyInit_{short}")
definition.restype = ctypes.c_void_p
execute = ctypes.pythonapi.PyModule_ExecDef
execute.argtypes = [ctypes.py_object, ctypes.c_void_p]
try:
    execute(types.ModuleType(module.__name__), definition())
except RuntimeError as error:
    print("SECOND", error)
import _xxsubinterpreters as interpreters
try:
    interpreters.run_string(interpreters.create(isolated=False), "import {module}")
except interpreters.RunFailedError as error:
    print("SUBINTERPRETER", error)
""")
    assert (f"SECOND Module '{short}' has already been imported. Re-initialisation is not supported."
            in result.stdout), result.stderr
    assert ("SUBINTERPRETER <class 'ImportError'>: Interpreter change detected - this module can "
            "only be loaded into one interpreter per process." in result.stdout), result.stderr


def test_vigil_is_an_empty_module_that_links_the_logging_core(run_child):
    result = run_child("""
import orvel.utils.vigil.vigil as vigil
print(sorted(vars(vigil)))
print(any("libscribo.so.0" in line for line in open("/proc/self/maps")))
""")
    assert result.stdout.splitlines() == [
        "['__builtins__', '__doc__', '__file__', '__loader__', '__name__', '__package__', '__spec__']",
        "True",
    ]


def test_the_installed_package_works_from_any_directory(run_child, tmp_path):
    import orvel
    shutil.copytree(os.path.dirname(orvel.__file__), tmp_path / "orvel")
    result = run_child(f"""
import sys
sys.path.insert(0, {str(tmp_path)!r})
import orvel.tandem.tandem, orvel.utils.vigil.vigil
print(orvel.tandem.tandem.__file__)
print([line.split()[-1] for line in open("/proc/self/maps") if "libscribo" in line][0])
""")
    assert result.returncode == 0, result.stderr
    module_file, library = result.stdout.split()
    assert module_file.startswith(str(tmp_path)) and library.startswith(str(tmp_path))


def test_messages_carry_their_location_and_go_to_the_default_logger_of_the_moment(child):
    result = interrupt(child, """
from orvel.scribo import Level, Logger, StdoutHandler
Logger("watch", handlers=[StdoutHandler(pattern="%l|%n|%g:%!|%v", max_level=Level.OFF)], set_default=True)
queue = Tandem(8, 4)
del queue
kept = Tandem(8, 4)
wait_for_interrupt(*block_in_pop(kept))
Logger("quiet", Level.WARN, handlers=[StdoutHandler(pattern="%n|%v", max_level=Level.OFF)], set_default=True)
del kept  # below the default logger's level: nothing is written
""").finish()
    lines = [line for line in result.stdout.splitlines() if "[SIGNAL]" in line]
    where = "info|watch|orvel/tandem/tandem:"
    assert [line.split("|[SIGNAL]")[0] for line in lines] == [
        where + "operator()", where + "register_context_notify", where + "unregister_context_notify",
        where + "register_context_notify", where + "handle_signal", where + "handle_signal",
        where + "handle_signal",
    ]
    assert not lines_with(result.stdout, "quiet|")

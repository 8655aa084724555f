"""PyLogHandler and the takeover of the standard root logger by a default Logger."""

import logging

import pytest

from orvel.scribo.scribo import PyLogHandler

BRIDGED = """\
import logging, sys, traceback
from orvel.scribo import *
def default(name):
    return Logger(name, handlers=[StdoutHandler(pattern="%l|%n|%s:%#:%!|%v", max_level=Level.OFF)],
                  set_default=True)
"""


def line_of(source, text):
    """The line number of the first line of `source` that contains `text`."""
    return next(n for n, line in enumerate(source.splitlines(), 1) if text in line)


def test_handler_thresholds_come_from_the_logging_package(monkeypatch):
    monkeypatch.setattr(logging, "INFO", 25)
    handler = PyLogHandler(5)
    assert isinstance(handler, logging.Handler) and handler.level == 5
    assert (handler._debug, handler._info, handler._warn, handler._error, handler._critical) == (10, 25, 30, 40, 50)
    with pytest.raises(TypeError):
        PyLogHandler("DEBUG")
    with pytest.raises(TypeError):
        PyLogHandler()


def test_takeover_of_the_root_logger(run_child):
    source = BRIDGED + """
closed = []
class Kept(logging.Handler):
    def close(self):
        closed.append(self)
root = logging.getLogger()
kept = Kept()
root.addHandler(kept)
Logger("not default", handlers=[StderrHandler()])  # intercept_stdlib_logging alone does nothing
Logger("x", handlers=[StderrHandler()], set_default=True, intercept_stdlib_logging=False)
print(root.handlers == [kept], root.level == logging.WARNING, flush=True)
first = default("first")
second = default("second")
print([type(h).__name__ for h in root.handlers], root.level == logging.DEBUG, closed, flush=True)
logging.getLogger("std").warning("to the newest default")
"""
    child = run_child(source)
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == [
        "True True",
        "['PyLogHandler'] True []",  # the old handler is dropped, not closed
        f"warning|second|<string>:{line_of(source, 'newest')}:<module>|to the newest default",
    ]


def test_records_become_messages_of_the_default_logger(run_child):
    source = BRIDGED + """
default("bridge")
std = logging.getLogger("std")
for level in (5, 10, 15, 20, 25, 30, 35, 40, 45, 50, 60):
    std.log(level, "level %d", level)
own = logging.getLogger("own")
own.propagate, own.level = False, 1
own.addHandler(PyLogHandler(1))
own.log(5, "below debug")
def where():
    std.warning("in a function")
where()
std.error("nul\\0kept")
def fails():
    try:
        {}["key"]
    except KeyError:
        std.exception("lookup failed")
        print("".join(traceback.format_exception(*sys.exc_info())), end="", file=sys.stderr)
fails()
std.info("with stack", stack_info=True)
try:
    std.warning("%d", "not a number")
except TypeError:
    print("TypeError propagated", flush=True)
"""
    child = run_child(source)
    assert child.returncode == 0, child.stderr
    out = child.stdout
    levels = ["debug", "debug", "info", "info", "warning", "warning", "error", "error", "critical", "critical"]
    # Level 5 is below the root logger's DEBUG; the own handler takes it, as trace.
    expected = [f"{name}|bridge|<string>:{line_of(source, 'std.log(')}:<module>|level {level}"
                for name, level in zip(levels, (10, 15, 20, 25, 30, 35, 40, 45, 50, 60))]
    expected += [f"trace|bridge|<string>:{line_of(source, 'below debug')}:<module>|below debug",
                 f"warning|bridge|<string>:{line_of(source, 'in a function')}:where|in a function",
                 f"error|bridge|<string>:{line_of(source, 'nul')}:<module>|nul\0kept"]
    assert out.splitlines()[:len(expected)] == expected
    rest = out.split("\n", len(expected))[-1]
    exception = f"error|bridge|<string>:{line_of(source, 'lookup failed')}:fails|lookup failed\n{child.stderr}\n"
    assert rest.startswith(exception)
    stack = rest[len(exception):]
    assert stack.startswith(
        f"info|bridge|<string>:{line_of(source, 'stack_info')}:<module>|with stack\nStack (most recent call last):\n")
    assert stack.endswith("TypeError propagated\n") and "--- Logging error ---" not in child.stderr


def test_a_record_is_located_where_the_logging_package_located_it(run_child):
    source = BRIDGED + """
import logging.handlers, queue
default("bridge")
std = logging.getLogger("std")
def warn_for_caller(text):
    std.warning(text, stacklevel=2)
def caller():
    warn_for_caller("stacklevel 2")
caller()
# Handed over to another thread: the frames there are the logging package's and threading's.
records = queue.Queue()
listener = logging.handlers.QueueListener(records, PyLogHandler(logging.DEBUG))
listener.start()
queued = logging.getLogger("queued")
queued.propagate = False
queued.addHandler(logging.handlers.QueueHandler(records))
def enqueue():
    queued.warning("through a queue")
enqueue()
listener.stop()
# Called from native code, with no Python code behind the logging package: no place at all.
import _thread
class Done(logging.Handler):  # after the bridge's handler on the root logger
    def emit(self, record):
        finished.release()
finished = _thread.allocate_lock()
def native_thread(function, *args):
    finished.acquire()
    logging.getLogger().addHandler(done := Done())
    _thread.start_new_thread(function, args)
    finished.acquire()
    logging.getLogger().removeHandler(done)
    finished.release()
native_thread(lambda: logging.warning("sent"))
native_thread(std.warning, "from native code")
# A record that names no place: the code that called into the logging package, or emit itself.
logging._srcfile = None
def unlocated():
    std.warning("no place in the record")
unlocated()
def by_hand():
    PyLogHandler(0).emit(logging.makeLogRecord({"msg": "made by hand", "levelno": 30}))
by_hand()
"""
    child = run_child(source)
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == [
        f"warning|bridge|<string>:{line_of(source, 'warn_for_caller(' + chr(34))}:caller|stacklevel 2",
        f"warning|bridge|<string>:{line_of(source, 'queued.warning')}:enqueue|through a queue",
        f"warning|bridge|<string>:{line_of(source, 'sent')}:<lambda>|sent",
        "warning|bridge|::|from native code",
        f"warning|bridge|<string>:{line_of(source, 'std.warning(' + chr(34) + 'no place')}:unlocated|no place in the record",
        f"warning|bridge|<string>:{line_of(source, 'made by hand')}:by_hand|made by hand",
    ]


# logging.shutdown() flushes every handler: what the bridge wrote is in the file before a worker
# ends without the exit handlers.
def test_logging_shutdown_writes_out_what_the_bridge_buffered(run_child, tmp_path):
    path = tmp_path / "bridged.log"
    child = run_child(f"""
import logging, os
from orvel.scribo import *
Logger("d", handlers=[FileHandler({str(path)!r}, pattern="%v")], set_default=True)
logging.warning("buffered below ERROR")
logging.shutdown()
os._exit(0)
""")
    assert child.returncode == 0, child.stderr
    assert path.read_text().splitlines() == ["buffered below ERROR"]


# The logging package is the directory it was imported from: a package of the user's whose path
# merely holds "logging" is located at its own lines. The pattern flag %N names the logger a
# record was logged to, where %n names the default logger that wrote it.
def test_packages_named_like_logging_are_located_and_records_keep_their_logger_names(run_child, tmp_path):
    for package in ("logging_demo/pkg", "mylogging"):
        (tmp_path / package).mkdir(parents=True)
        (tmp_path / package / "__init__.py").write_text(
            "import logging\ndef log():\n    logging.getLogger('urllib3.connectionpool').warning('from %s', __name__)\n")
    (tmp_path / "logging_demo" / "__init__.py").write_text("")
    source = f"""
import logging, sys
sys.path.insert(0, {str(tmp_path)!r})
from orvel.scribo import *
Logger("service", handlers=[StdoutHandler(pattern="%n|%N|%s:%#:%!|%v", max_level=Level.OFF)], set_default=True)
import logging_demo.pkg, mylogging
logging_demo.pkg.log()
mylogging.log()
logging.getLogger("worker").error("direct")
DefaultLogger().info("not bridged")
"""
    child = run_child(source)
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == [
        "service|urllib3.connectionpool|__init__.py:3:log|from logging_demo.pkg",
        "service|urllib3.connectionpool|__init__.py:3:log|from mylogging",
        f"service|worker|<string>:{line_of(source, 'direct')}:<module>|direct",
        f"service|service|<string>:{line_of(source, 'not bridged')}:<module>|not bridged",
    ]

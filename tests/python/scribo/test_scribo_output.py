"""What reaches the consoles, where messages are located, and the process-wide default logger:
observed in child processes (spdlog writes to the standard streams from C)."""

import os
import re
import signal

import pytest

PRELUDE = """\
from orvel.scribo import *
LEVELS = ("trace", "debug", "info", "warn", "error", "critical")
def every_level(log, *colors):
    for method in LEVELS:
        getattr(log, method)(method, *colors)
"""


SPDLOG_NAMES = {"trace": "trace", "debug": "debug", "info": "info", "warn": "warning", "error": "error",
                "critical": "critical"}


def lines(name, methods, colored=True):
    """What every_level writes for `methods` with the pattern "%l|%n|%v", fg_color 31 if `colored`."""
    return [f"{SPDLOG_NAMES[m]}|{name}|" + (f"\x1b[31m{m}\x1b[0m" if colored else m) for m in methods]


def test_console_handlers_route_levels_and_colour_every_console(run_child):
    child = run_child(PRELUDE + """
P = "%l|%n|%v"
every_level(Logger("out", handlers=[StdoutHandler(pattern=P, level=Level.DEBUG, max_level=Level.WARN)]), 31)
every_level(Logger("err", handlers=[StderrHandler(pattern=P)]), 31)
every_level(Logger("split", handlers=[ConsoleHandler(False, P, Level.INFO, Level.DEBUG)]), 31)
every_level(Logger("basic", handlers=[BasicConsoleHandler(pattern=P, level=Level.ERROR)]), 31)
every_level(Logger("plain", handlers=[BasicConsoleHandler(pattern=P)]))
Logger("wrapped", handlers=[BasicConsoleHandler(pattern=P)]).info("nul\\0kept", 196, 44, 1)
""")
    assert child.returncode == 0, child.stderr
    # Colour off on every handler: the message colours are still there.
    assert child.stdout.splitlines() == (
        lines("out", ["debug", "info", "warn"]) + lines("split", ["debug", "info"])
        + lines("basic", ["error", "critical"]) + lines("plain", SPDLOG_NAMES, colored=False)
        + ["info|wrapped|\x1b[1;38;5;196;44mnul\0kept\x1b[0m"])
    assert child.stderr.splitlines() == (
        lines("err", ["warn", "error", "critical"]) + lines("split", ["warn", "error", "critical"]))


def test_default_console_and_color_scheme(run_child):
    child = run_child("""\
from orvel.scribo import *
Logger("dflt").trace("hello")
Logger("none", handlers=None).trace("hello")
Logger("empty", 0, "%l|%v", []).trace("own pattern")
Logger("ignored", 0, "%l|%v", [StdoutHandler(pattern="%v")]).info("handler pattern")
scheme = Logger("scheme", handlers=[StdoutHandler(True, "%^%l%$|%v", max_level=Level.OFF)],
                color_scheme=ColorScheme(info_color=196, error_color=91))
scheme.info("x")
scheme.error("y")
class Shadowed(ColorScheme):  # the stored colours count, not what the attributes say
    info_color = property(lambda self: 91)
Logger("shadowed", handlers=[StdoutHandler(True, "%^%l%$|%v")], color_scheme=Shadowed(info_color=196)).info("z")
""")
    assert child.returncode == 0, child.stderr
    *defaults, own, handler, info, error, shadowed = child.stdout.splitlines()
    # Without handlers: one colour console sink at level trace with the Logger's own pattern.
    for name, line in zip(("dflt", "none"), defaults, strict=True):
        assert re.fullmatch(
            rf"\[\d\d-\d\d-\d{{4}} \d\d:\d\d:\d\d\.\d{{6}}\] \[{name}\] \[\x1b\[[\d;]+mtrace\x1b\[m\] hello", line)
    assert (own, handler) == ("trace|own pattern", "handler pattern")
    assert (info, error, shadowed) == ("\x1b[38;5;196minfo\x1b[m|x", "\x1b[91merror\x1b[m|y", "\x1b[38;5;196minfo\x1b[m|z")


# One call of each way to log, all on one line: Logger (through a level method and two of the
# logging package's spellings), DefaultLogger, Logger's native table (as another extension module
# called from Python would log) and the standard-logging bridge.
def site(kind):
    return (f'(log.info("{kind}|Logger"), log.warning("{kind}|warning"), log.log(2, "{kind}|log"), '
            f'DefaultLogger().info("{kind}|DefaultLogger"), logger_info(log, "{kind}|table", 1, None), '
            f'logging.warning("{kind}|logging"))')


PLACES = f"""\
import asyncio, functools, logging, sys, threading
from orvel.scribo import DefaultLogger, Logger
from native_tables import level_slot
from __main__ import log
logger_info = level_slot(Logger, 3)
{site("imported module")}
def function():
    {site("function")}
def calls_function():
    function()
class Service:
    def method(self):
        {site("method")}
async def coroutine():
    {site("coroutine")}
in_lambda = lambda: {site("lambda")}
def decorate(f):
    @functools.wraps(f)
    def wrapper(*args):
        return f(*args)
    return wrapper
@decorate
def decorated():
    {site("decorated")}
def generator():
    yield {site("generator")}
def in_thread():
    {site("thread")}
def traced():
    {site("traced")}
def tracer(frame, event, arg):
    return tracer
def sites_of_one_function():
    for _ in range(3):  # each site twice or more, from one code object
        {site("first of two sites")}
        {site("second of two sites")}
def run():
    calls_function()
    Service().method()
    asyncio.run(coroutine())
    in_lambda()
    decorated()
    list(generator())
    thread = threading.Thread(target=in_thread)
    thread.start()
    thread.join()
    sys.settrace(tracer)  # a trace function may set the line a frame reports
    traced()
    sys.settrace(None)
    sites_of_one_function()
    function()  # once more, now that the names and lines are known
"""
SCRIPT = f"""\
import logging, sys
sys.path[:0] = {{path!r}}
from orvel.scribo import *
log = Logger("loc", handlers=[StdoutHandler(pattern="%s:%#:%!|%v", max_level=Level.OFF)], set_default=True)
from native_tables import level_slot
logger_info = level_slot(Logger, 3)
{site("script")}
import places
places.run()
"""
WAYS = ("Logger", "warning", "log", "DefaultLogger", "table", "logging")


def test_every_way_to_log_names_the_line_that_called_it(run_child, tmp_path):
    (tmp_path / "places.py").write_text(PLACES)
    child = run_child(SCRIPT.format(path=[str(tmp_path), os.path.dirname(__file__)]))
    assert child.returncode == 0, child.stderr

    def where(source, file, kind, function):
        line = next(n for n, text in enumerate(source.splitlines(), 1) if f'"{kind}|Logger"' in text)
        return f"{file}:{line}:{function}"

    expected = {
        "script": where(SCRIPT, "<string>", "script", "<module>"),
        "imported module": where(PLACES, "places.py", "imported module", "<module>"),
        **{kind: where(PLACES, "places.py", kind, function) for kind, function in (
            ("function", "function"), ("method", "method"), ("coroutine", "coroutine"), ("lambda", "<lambda>"),
            ("decorated", "decorated"), ("generator", "generator"), ("thread", "in_thread"),
            ("traced", "traced"), ("first of two sites", "sites_of_one_function"),
            ("second of two sites", "sites_of_one_function"))},
    }
    found = {}
    for line in child.stdout.splitlines():
        location, _, message = line.partition("|")
        kind, _, way = message.partition("|")
        if kind in expected:
            found.setdefault(kind, {}).setdefault(way, set()).add(location)
    assert found == {kind: dict.fromkeys(WAYS, {location}) for kind, location in expected.items()}


# Locations are worked out once per code object: code compiled anew at the same addresses, under
# the same file and function names, still reports its own lines.
def test_code_made_and_freed_again_and_again_reports_its_own_lines(run_child):
    child = run_child("""\
from orvel.scribo import *
log = Logger("loc", handlers=[StdoutHandler(pattern="%s:%#:%!|%v", max_level=Level.OFF)])
for n in range(300):
    source = "\\n" * (n % 7) + "def f():\\n" + "    pass\\n" * (n % 5) + f"    log.info('{n}')\\nf()\\n"
    exec(compile(source, f"generated{n % 3}.py", "exec"), {"log": log})
""")
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == [f"generated{n % 3}.py:{n % 7 + n % 5 + 2}:f|{n}" for n in range(300)]


def test_default_logger_is_fetched_at_every_call(run_child):
    child = run_child(PRELUDE + """
import pickle
def logger(name, **options):
    return Logger(name, handlers=[StdoutHandler(pattern="%n|%v", max_level=Level.OFF)], **options)
d = DefaultLogger()  # before any default is set
first = logger("first", set_default=True)
d.info("1")
second = logger("second", set_default=True)
d.info("2")
pickle.loads(pickle.dumps(d)).info("3")
del first, second  # the registry keeps the default alive
logger("third").info("not the default")
d.error("4")
""")
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == ["first|1", "second|2", "second|3", "third|not the default", "second|4"]


@pytest.mark.parametrize("end, status", [("os._exit(3)", 3), ("os.kill(os.getpid(), signal.SIGKILL)", -signal.SIGKILL)])
def test_errors_reach_the_file_before_an_abrupt_end(run_child, tmp_path, end, status):
    child = run_child(PRELUDE + f"""
import os, signal
loggers = [Logger(m, handlers=[FileHandler({str(tmp_path)!r} + f"/{{m}}.log", pattern="%v")]) for m in LEVELS]
for method, log in zip(LEVELS, loggers):
    for i in range(10):
        getattr(log, method)(f"{{method}} {{i}}")
{end}  # no destructor, no exit handler runs
""")
    assert child.returncode == status, child.stderr
    for method in SPDLOG_NAMES:
        written = (tmp_path / f"{method}.log").read_text().splitlines()
        # error and critical flush every message; lower levels keep their buffering
        assert written == ([f"{method} {i}" for i in range(10)] if method in ("error", "critical") else [])


def test_default_logger_and_bridge_write_every_character_to_a_file(run_child, tmp_path):
    path = tmp_path / "default.log"
    child = run_child(f"""
import logging
from orvel.scribo import *
Logger("d", handlers=[FileHandler({str(path)!r}, pattern="%v")], set_default=True)
DefaultLogger().warn("default\\0x\\udcff")
logging.warning("bridge\\0y\\udcff %s", "\\ud800")
""")
    assert child.returncode == 0, child.stderr
    assert path.read_text(encoding="utf-8").splitlines() == ["default\0x\\udcff", "bridge\0y\\udcff \\ud800"]


# A file whose name is not UTF-8 is named as os.fsdecode() names it, with its surrogates escaped
# as those of a message are; its lines and functions are found as any other file's.
def test_a_file_named_in_bytes_that_are_not_utf8_is_located(run_child, tmp_path):
    child = run_child(f"""
import logging, os
from orvel.scribo import *
Logger("x", handlers=[StdoutHandler(pattern="%s:%#:%!|%v", max_level=Level.OFF)], set_default=True)
source = "import logging\\ndef f(log):\\n    log.info('direct')\\n    logging.warning('bridged')\\n"
exec(compile(source, os.fsdecode({str(tmp_path).encode() + b"/caf\xe9.py"!r}), "exec"), namespace := {{}})
namespace["f"](DefaultLogger())
""")
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == ["caf\\udce9.py:3:f|direct", "caf\\udce9.py:4:f|bridged"]

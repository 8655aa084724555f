"""Every integer entering orvel.scribo.scribo from Python: objects with __index__ pass, floats,
Decimal and Fraction are refused instead of truncated."""

import logging
from decimal import Decimal
from fractions import Fraction
from functools import partial

import pytest

from orvel.scribo.scribo import (
    BasicConsoleHandler,
    ColorScheme,
    ConsoleHandler,
    DefaultLogger,
    FileHandler,
    Level,
    LogHandler,
    Logger,
    PyLogHandler,
    RotatingFileHandler,
    StderrHandler,
    StdoutHandler,
)

COLORS = ("trace_color", "debug_color", "info_color", "warn_color", "error_color", "critical_color")
REQUIRED = {FileHandler: ("f.log",), RotatingFileHandler: ("r.log",)}
ARGUMENTS = {LogHandler: ("level",), StdoutHandler: ("level", "max_level"), StderrHandler: ("level",),
             BasicConsoleHandler: ("level",), ConsoleHandler: ("max_stdout_level", "min_level"),
             FileHandler: ("level",), RotatingFileHandler: ("level", "max_size", "max_files"), ColorScheme: COLORS}
FIELDS = {LogHandler: ("level",), StdoutHandler: ("max_level",), ConsoleHandler: ("max_stdout_level", "min_level"),
          RotatingFileHandler: ("max_size", "max_files"), ColorScheme: COLORS}
QUIET = Logger("quiet", Level.OFF)  # logs nothing, whatever it is given


def make(cls, **fields):
    return cls(*REQUIRED.get(cls, ()), **fields)


def construct(cls, name, value):
    make(cls, **{name: value})


def assign(cls, name, value):
    setattr(make(cls), name, value)


def read_at_build(cls, name, value):
    """Builds a Logger from a descriptor whose field `name` is a property giving `value`."""
    overridden = type("Overridden", (cls,), {name: property(lambda _: value)})
    Logger("read", handlers=[overridden(*REQUIRED.get(cls, ()))])


def color(logger, method, name, value):
    getattr(logger, method)("m", **{name: value})


def emit(levelno):
    PyLogHandler(Level.OFF).emit(logging.makeLogRecord({"msg": "m", "levelno": levelno}))


ENTRY_POINTS = {
    **{f"{cls.__name__}({name}=)": partial(construct, cls, name) for cls, names in ARGUMENTS.items() for name in names},
    **{f"{cls.__name__}.{name} =": partial(assign, cls, name) for cls, names in FIELDS.items() for name in names},
    "Logger(level=)": lambda value: Logger("n", value, handlers=[StderrHandler()]),
    "Logger reads StderrHandler.level": partial(read_at_build, StderrHandler, "level"),
    "Logger reads RotatingFileHandler.max_files": partial(read_at_build, RotatingFileHandler, "max_files"),
    **{f"{type(logger).__name__}.{method}({name}=)": partial(color, logger, method, name)
       for logger in (QUIET, DefaultLogger())
       for method in ("trace", "debug", "info", "warn", "error", "critical")
       for name in ("fg_color", "bg_color", "effect")},
    "PyLogHandler(level)": PyLogHandler,
    "PyLogHandler.emit(record.levelno)": emit,
}


class Index:
    """An integer through __index__ alone, as numpy's integers are."""

    def __index__(self):
        return 3


@pytest.fixture(autouse=True)
def in_tmp_path(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # where the file of a rotating handler that is built goes


@pytest.mark.parametrize("value", [2.5, Decimal("2.5"), Fraction(5, 2)], ids=["float", "Decimal", "Fraction"])
@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_non_integers_are_refused(entry, value):
    with pytest.raises(TypeError, match="^an integer is required$"):
        ENTRY_POINTS[entry](value)


@pytest.mark.parametrize("value", [Index(), True], ids=["__index__", "bool"])
@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_integers_pass(entry, value):
    ENTRY_POINTS[entry](value)  # a refusal raises


def test_integer_objects_are_stored_as_their_value():
    handler = RotatingFileHandler("r.log", level=Index(), max_size=Index())
    handler.max_files = Index()
    scheme = ColorScheme(Index())
    scheme.error_color = True
    assert (handler.level, handler.max_size, handler.max_files) == (Level.WARN, 3, 3)
    assert (scheme.trace_color, scheme.error_color) == (3, 1)
    with pytest.raises(TypeError):
        handler.level = 1.0
    assert handler.level is Level.WARN  # a refused value leaves the field alone

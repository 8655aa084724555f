"""Level, ColorScheme and the handler descriptors: plain values with typed fields."""

import copy
import enum
import pickle

import pytest

from orvel.scribo import scribo
from orvel.scribo.scribo import (
    BasicConsoleHandler,
    ColorScheme,
    ConsoleHandler,
    FileHandler,
    Level,
    LogHandler,
    RotatingFileHandler,
    StderrHandler,
    StdoutHandler,
)

P = "'[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v'"
DEFAULT_PATTERN = P.strip("'")

SIGNATURES = {
    LogHandler: f"LogHandler(bool color=True, str pattern={P}, Level level=Level.TRACE)",
    StdoutHandler: f"StdoutHandler(bool color=False, str pattern={P}, Level level=Level.TRACE, Level max_level=Level.INFO)",
    StderrHandler: f"StderrHandler(bool color=False, str pattern={P}, Level level=Level.WARN)",
    BasicConsoleHandler: f"BasicConsoleHandler(bool color=False, str pattern={P}, Level level=Level.TRACE)",
    ConsoleHandler: f"ConsoleHandler(bool color=True, str pattern={P}, Level max_stdout_level=Level.INFO, Level min_level=Level.TRACE)",
    FileHandler: f"FileHandler(str filename, bool color=False, str pattern={P}, Level level=Level.TRACE, bool overwrite=False)",
    RotatingFileHandler: f"RotatingFileHandler(str filename, str pattern={P}, Level level=Level.TRACE, size_t max_size=1048576, size_t max_files=3)",
    ColorScheme: "ColorScheme(int trace_color=-1, int debug_color=-1, int info_color=-1, int warn_color=-1, int error_color=-1, int critical_color=-1)",
}

# class: (constructor arguments, unpickle checksums, every field after construction in state order)
PICKLING = {
    LogHandler: ((), (0xED0A034, 0x898F195, 0xDA882A8), dict(color=True, level=Level.TRACE, pattern=DEFAULT_PATTERN)),
    StderrHandler: ((), (0xED0A034, 0x898F195, 0xDA882A8), dict(color=False, level=Level.WARN, pattern=DEFAULT_PATTERN)),
    BasicConsoleHandler: ((True, None), (0xED0A034, 0x898F195, 0xDA882A8), dict(color=True, level=Level.TRACE, pattern=None)),
    StdoutHandler: ((True, "%v", 1, Level.ERROR), (0xABD6EE, 0x8FB38A4, 0x618CDA8),
                    dict(color=True, level=Level.DEBUG, max_level=Level.ERROR, pattern="%v")),
    ConsoleHandler: ((False, "%v", 5, 2), (0x657EA3E, 0x8438060, 0x1815032),
                     dict(color=False, level=Level.TRACE, max_stdout_level=Level.CRITICAL, min_level=Level.INFO, pattern="%v")),
    FileHandler: (("a.log", True, "%v", 3, True), (0x6D8A223, 0x70179C, 0x377DBCF),
                  dict(color=True, filename="a.log", level=Level.WARN, overwrite=True, pattern="%v")),
    RotatingFileHandler: (("r.log", "%v", 4, 10, 2), (0x2A7620A, 0xC011A13, 0x305A5E5),
                          dict(color=False, filename="r.log", level=Level.ERROR, max_files=2, max_size=10, overwrite=False, pattern="%v")),
    ColorScheme: ((1, 2, 3, 4, 5, 6), (0x1F3EB33, 0x769CA9F, 0x8E69EE),
                  dict(critical_color=6, debug_color=2, error_color=5, info_color=3, trace_color=1, warn_color=4)),
}


def fields(obj):
    return {name: getattr(obj, name) for name in PICKLING[type(obj)][2]}


def test_level_is_an_int_enum_of_spdlog_levels():
    assert issubclass(Level, enum.IntEnum) and Level.__module__ == "orvel.scribo.scribo"
    assert [(m.name, m.value) for m in Level] == [
        ("TRACE", 0), ("DEBUG", 1), ("INFO", 2), ("WARN", 3), ("ERROR", 4), ("CRITICAL", 5), ("OFF", 6)]
    assert Level(6) is Level.OFF and Level.ERROR == 4


@pytest.mark.parametrize("cls", SIGNATURES)
def test_docstring_is_constructor_signature(cls):
    assert cls.__doc__ == SIGNATURES[cls]


@pytest.mark.parametrize("cls", PICKLING)
def test_constructor_positional_order_and_defaults(cls):
    args, _, expected = PICKLING[cls]
    assert fields(cls(*args)) == expected


def test_defaults_of_file_handlers_and_console_level():
    assert fields(RotatingFileHandler("r.log")) == dict(
        color=False, filename="r.log", level=Level.TRACE, max_files=3, max_size=1048576, overwrite=False,
        pattern=DEFAULT_PATTERN)
    assert FileHandler(None).filename is None
    assert ConsoleHandler(max_stdout_level=Level.OFF).level is Level.TRACE
    assert fields(ColorScheme()) == dict.fromkeys(PICKLING[ColorScheme][2], -1)


@pytest.mark.parametrize("value", [42, -3, 2**31 - 1])
def test_out_of_range_level_is_stored_but_not_readable(value):
    not_valid = pytest.raises(ValueError, match=f"^{value} is not a valid Level$")
    stderr = StderrHandler()
    stderr.level = value
    readers = [lambda: LogHandler(level=value).level, lambda: stderr.level,  # the base class does not check
               lambda: StdoutHandler(max_level=value).max_level, lambda: ConsoleHandler(min_level=value).min_level,
               lambda: ConsoleHandler(max_stdout_level=value).max_stdout_level]
    derived = [lambda: StdoutHandler(level=value), lambda: StderrHandler(level=value),
               lambda: BasicConsoleHandler(level=value), lambda: FileHandler("f", level=value),
               lambda: RotatingFileHandler("r", level=value)]  # these convert through Level for the base
    for call in readers + derived:
        with not_valid:
            call()


@pytest.mark.parametrize("obj, name, value, error, message", [
    (LogHandler(), "level", 2**31, OverflowError, "value too large to convert to int"),
    (LogHandler(), "level", -(2**31) - 1, OverflowError, "value too large to convert to int"),
    (StdoutHandler(), "max_level", "1", TypeError, "an integer is required"),
    (ColorScheme(), "warn_color", 2**31, OverflowError, "value too large to convert to int"),
    (ColorScheme(), "info_color", "1", TypeError, "an integer is required"),
    (RotatingFileHandler("r"), "max_size", -1, OverflowError, "can't convert negative value to size_t"),
    (RotatingFileHandler("r"), "max_files", -1, OverflowError, "can't convert negative value to size_t"),
    (LogHandler(), "pattern", b"%v", TypeError, "Expected str, got bytes"),
    (FileHandler("f"), "filename", type("Path", (str,), {})("f"), TypeError, "Expected str, got Path"),
    (LogHandler(), "name", "x", AttributeError, "no attribute 'name'"),
])
def test_attribute_write_errors(obj, name, value, error, message):
    with pytest.raises(error, match=message):
        setattr(obj, name, value)


@pytest.mark.parametrize("obj, name", [
    (LogHandler(), "color"), (LogHandler(), "level"), (FileHandler("f"), "overwrite"),
    (RotatingFileHandler("r"), "max_size"), (ConsoleHandler(), "min_level"), (ColorScheme(), "trace_color")])
def test_deleting_a_non_string_field_is_refused(obj, name):
    with pytest.raises(NotImplementedError, match="^__del__$"):
        delattr(obj, name)


def test_attribute_writes_that_succeed():
    handler = RotatingFileHandler("r")
    handler.color, handler.overwrite = [], "yes"  # truth values
    handler.max_size, handler.level = 2**64 - 1, 4
    del handler.pattern, handler.filename
    assert (handler.color, handler.overwrite, handler.max_size, handler.level) == (False, True, 2**64 - 1, Level.ERROR)
    assert handler.pattern is None and handler.filename is None


class Untruthful:
    def __bool__(self):
        raise ArithmeticError("no truth")


@pytest.mark.parametrize("call, error, message", [
    (lambda: LogHandler(pattern=1), TypeError, r"^Argument 'pattern' has incorrect type \(expected str, got int\)$"),
    (lambda: FileHandler(b"f"), TypeError, r"^Argument 'filename' has incorrect type \(expected str, got bytes\)$"),
    (lambda: StdoutHandler(pattern=type("S", (str,), {})()), TypeError, r"expected str, got S"),
    (lambda: ColorScheme(2**31), OverflowError, "^value too large to convert to int$"),
    (lambda: RotatingFileHandler("r", max_files=-1), OverflowError, "^can't convert negative value to size_t$"),
    # Own arguments are converted before the strings are tested.
    (lambda: FileHandler(1, level=2**40), OverflowError, "^value too large to convert to int$"),
    (lambda: RotatingFileHandler(1, max_size="x"), TypeError, "^an integer is required$"),
    # Arguments are converted in parameter order: level before overwrite.
    (lambda: FileHandler("f", level="x", overwrite=Untruthful()), TypeError, "^an integer is required$"),
    # Sizes and counts that the rotating sink cannot work with.
    (lambda: RotatingFileHandler("r", max_size=0), ValueError, "^max_size must be at least 1$"),
    (lambda: RotatingFileHandler("r", max_files=200_001), ValueError, "^max_files must be at most 200000$"),
])
def test_constructor_argument_errors(call, error, message):
    with pytest.raises(error, match=message):
        call()


@pytest.mark.parametrize("cls", PICKLING)
def test_pickle_and_copy_round_trip(cls):
    args, _, expected = PICKLING[cls]
    obj = cls(*args)
    for clone in (pickle.loads(pickle.dumps(obj)), copy.copy(obj), copy.deepcopy(obj)):
        assert type(clone) is cls and fields(clone) == expected


@pytest.mark.parametrize("cls", PICKLING)
def test_reduce_and_unpickle_checksums(cls):
    args, checksums, expected = PICKLING[cls]
    unpickle = getattr(scribo, f"__pyx_unpickle_{cls.__name__}")
    assert unpickle.__doc__ == f"__pyx_unpickle_{cls.__name__}(__pyx_type, long __pyx_checksum, tuple __pyx_state)"
    function, (kind, checksum, state), *setstate = cls(*args).__reduce__()
    assert (function, kind, checksum) == (unpickle, cls, checksums[0])
    # A string field that is not None moves the state to __setstate__.
    has_string = any(isinstance(v, str) for v in expected.values())
    assert (state is None, setstate == [tuple(expected.values())]) == (has_string, has_string)
    for accepted in checksums:
        obj = unpickle(cls, accepted, tuple(expected.values()))
        assert fields(obj) == expected
    names = ", ".join(expected)
    accepted = ", ".join(hex(c) for c in checksums)
    with pytest.raises(pickle.PickleError, match=rf"^Incompatible checksums \(0x1 vs \({accepted}\) = \({names}\)\)$"):
        unpickle(cls, 1, ())


def test_unpickle_assigns_through_the_setter_rules():
    handler = scribo.__pyx_unpickle_LogHandler(LogHandler, 0xED0A034, (0, 42, None))
    with pytest.raises(ValueError, match="^42 is not a valid Level$"):
        handler.level
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        scribo.__pyx_unpickle_LogHandler(LogHandler, 0xED0A034, (0, 1, 5))


def test_python_subclass_pickles_its_dictionary():
    class Tagged(StdoutHandler):
        pass

    handler = Tagged(pattern=None)
    handler.tag = "x"
    _, (_, _, state), setstate = handler.__reduce__()
    assert state is None and setstate == (False, Level.TRACE, Level.INFO, None, {"tag": "x"})
    clone = copy.copy(handler)
    assert clone.tag == "x" and clone.pattern is None

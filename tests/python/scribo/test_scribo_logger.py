"""Logger and DefaultLogger: construction rules, handlers to sinks, the level methods and their
native tables. Output is read back from files, or from a child process for consoles and for the
process-wide default logger."""

import copy
import inspect
import os
import pickle

import pytest

from orvel.scribo import scribo
from orvel.scribo.scribo import (
    DefaultLogger,
    FileHandler,
    Level,
    LogHandler,
    Logger,
    RotatingFileHandler,
    StderrHandler,
    StdoutHandler,
)

METHODS = {"trace": "trace", "debug": "debug", "info": "info", "warn": "warning", "error": "error",
           "critical": "critical"}  # method: spdlog's level name


def test_logger_docstring():
    assert Logger.__doc__ == (
        "Logger(str name, int level=0, str pattern='[%d-%m-%Y %H:%M:%S.%f] [%n] [%^%l%$] %v', list handlers=[], "
        "ColorScheme color_scheme=None, bool set_default=False, bool intercept_stdlib_logging=True)")


@pytest.mark.parametrize("cls", [Logger, DefaultLogger])
@pytest.mark.parametrize("method", METHODS)
def test_level_method_docstrings(cls, method):
    assert getattr(cls, method).__doc__ == (
        f"{cls.__name__}.{method}(self, str msg, int fg_color=-1, int bg_color=-1, int effect=-1) -> void")


# Every character reaches the file: NULs as they are, lone surrogates (which UTF-8 cannot carry)
# escaped as the standard logging package's stream handlers write them.
@pytest.mark.parametrize("text, written", [
    ("red\0kept", "red\0kept"),
    ("x\udcff", "x\\udcff"),
    ("\ud800 é\0€ 😀\udfff", "\\ud800 é\0€ 😀\\udfff"),
])
def test_file_sink_gets_every_character_of_the_plain_text(file_log, text, written):
    assert file_log(lambda log: log.error(text, 31, 44, 1), color=True) == [f"error|app|{written}"]


@pytest.mark.parametrize("args, error, message", [
    (("m", 2**31), OverflowError, "^value too large to convert to int$"),
    (("m", -1, "x"), TypeError, "^an integer is required$"),
    ((None,), AttributeError, "^'NoneType' object has no attribute 'encode'$"),
    ((b"m",), TypeError, r"^Argument 'msg' has incorrect type \(expected str, got bytes\)$"),
])
def test_level_method_argument_errors_log_nothing(file_log, args, error, message):
    def body(log):
        with pytest.raises(error, match=message):
            log.info(*args)
    assert file_log(body) == []


class Untruthful:
    def __bool__(self):
        raise ArithmeticError("no truth")


@pytest.mark.parametrize("cls", [Logger, DefaultLogger])
@pytest.mark.parametrize("method", METHODS)
def test_argument_errors_name_the_level_method(cls, method):
    call = getattr(cls("quiet", Level.OFF) if cls is Logger else cls(), method)
    with pytest.raises(TypeError, match=rf"^{method}\(\) got an unexpected keyword argument 'exc_info'$"):
        call("x", exc_info=True)
    with pytest.raises(TypeError, match=rf"^{method}\(\) takes at most 5 positional arguments \(6 given\)$"):
        call("x", 1, 2, 3, 4)


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((), {}, TypeError, r"takes at least 1 positional argument \(0 given\)"),
    (("a", 0, None, None, None, False, True, 8), {}, TypeError, "at most 7 positional arguments"),
    ((1,), {}, TypeError, r"^Argument 'name' has incorrect type \(expected str, got int\)$"),
    (("a",), {"pattern": b"%v"}, TypeError, r"^Argument 'pattern' has incorrect type \(expected str, got bytes\)$"),
    (("a",), {"handlers": ()}, TypeError, r"^Argument 'handlers' has incorrect type \(expected list, got tuple\)$"),
    (("a",), {"color_scheme": 1}, TypeError,
     r"^Argument 'color_scheme' has incorrect type \(expected orvel.scribo.scribo.ColorScheme, got int\)$"),
    (("a", 2**31), {}, OverflowError, "^value too large to convert to int$"),
    # Integers and truth values first, in parameter order; then the type tests in parameter order.
    ((1, 2**40), {}, OverflowError, "^value too large to convert to int$"),
    (("a", "x"), {"set_default": Untruthful()}, TypeError, "^an integer is required$"),
    (("a", "x"), {"intercept_stdlib_logging": Untruthful()}, TypeError, "^an integer is required$"),
    ((1,), {"intercept_stdlib_logging": Untruthful()}, ArithmeticError, "^no truth$"),
    ((1,), {"pattern": 1, "handlers": 1}, TypeError, "'name'"),
    (("a",), {"pattern": 1, "handlers": 1}, TypeError, "'pattern'"),
    (("a",), {"pattern": None}, AttributeError, "^'NoneType' object has no attribute 'encode'$"),
    (("a",), {"handlers": [LogHandler()]}, TypeError, "^Unknown handler type$"),
    (("a",), {"handlers": ["stdout"]}, TypeError, "^Unknown handler type$"),
    (("a",), {"handlers": [StdoutHandler(pattern=None)]}, AttributeError, "'encode'"),
    (("a",), {"handlers": [FileHandler(None)]}, AttributeError, "'encode'"),
    (("a",), {"handlers": [FileHandler("/dev/null/x.log")]}, NotADirectoryError, "'/dev/null/x.log'"),
])
def test_logger_construction_errors(args, kwargs, error, message):
    with pytest.raises(error, match=message):
        Logger(*args, **kwargs)


class ServiceLogger(Logger):
    """A subclass with a constructor of its own, passing other arguments on."""

    def __init__(self, path, service="svc"):
        super().__init__(service, Level.INFO, handlers=[FileHandler(path, pattern="%l|%n|%v")])
        self.service = service


def test_a_subclass_with_a_constructor_of_its_own_builds_its_logger_there(tmp_path):
    path = tmp_path / "service.log"
    log = ServiceLogger(str(path), service="billing")
    log.debug("below the level")
    log.info("through the subclass")
    assert log.service == "billing" and list(inspect.signature(ServiceLogger).parameters) == ["path", "service"]
    log.__init__(str(tmp_path / "other.log"), "other")  # built once: a second call changes nothing
    del log
    assert path.read_text().splitlines() == ["info|billing|through the subclass"]
    assert not (tmp_path / "other.log").exists()


class Unbuilt(Logger):
    def __init__(self):
        pass  # never builds the logger


@pytest.mark.parametrize("call", [
    lambda log, native: log.info("x"),
    lambda log, native: Logger.critical(log, "x"),
    lambda log, native: log.warning("x"),
    lambda log, native: log.log(Level.INFO, "x"),
    lambda log, native: log.exception("x"),
    lambda log, native: log.flush(),
    lambda log, native: native.level_slot(Logger, 3)(log, "x", 1, None),
], ids=["info", "critical through the class", "warning", "log", "exception", "flush", "native table"])
def test_a_subclass_that_never_built_its_logger_refuses_to_log(native, call):
    with pytest.raises(RuntimeError, match=r"^Logger.__init__\(\) has not run$"):
        call(Unbuilt(), native)


@pytest.mark.parametrize("build", [
    lambda d: Logger("app", handlers=[FileHandler(str(d / "audit\0-2026.log"))]),
    lambda d: Logger("app", handlers=[RotatingFileHandler(str(d / "audit\0-2026.log"))]),
    lambda d: Logger("app\0-2026", handlers=[StderrHandler()]),
], ids=["file", "rotating file", "logger"])
def test_names_holding_nul_are_refused(tmp_path, build):
    with pytest.raises(ValueError, match="^embedded null byte$"):
        build(tmp_path)
    assert list(tmp_path.iterdir()) == []  # no "audit"


# A name that os.listdir() gives for bytes that are no UTF-8 opens the file open() would.
@pytest.mark.parametrize("handler", [FileHandler, RotatingFileHandler])
def test_file_names_are_encoded_as_open_encodes_them(tmp_path, handler):
    directory = tmp_path / os.fsdecode(b"caf\xe9")
    directory.mkdir()
    logger = Logger("app", handlers=[handler(str(directory / "app.log"), pattern="%v")])
    logger.error("written")
    del logger
    assert (directory / "app.log").read_text() == "written\n"


def test_rotation_sizes_changed_after_construction_are_refused_by_the_logger(tmp_path):
    handler = RotatingFileHandler(str(tmp_path / "app.log"))
    handler.max_size = 0
    with pytest.raises(ValueError, match="^max_size must be at least 1$"):
        Logger("a", handlers=[handler])
    assert list(tmp_path.iterdir()) == []


def test_descriptor_level_out_of_range_fails_construction():
    handler = StderrHandler()
    handler.level = 42
    with pytest.raises(ValueError, match="^42 is not a valid Level$"):
        Logger("a", handlers=[handler])


def test_handlers_before_a_failure_reached_the_factory(tmp_path):
    first, second = tmp_path / "first.log", tmp_path / "second.log"
    with pytest.raises(TypeError, match="Unknown handler type"):
        Logger("a", handlers=[FileHandler(str(first)), object()])
    with pytest.raises(AttributeError, match="'encode'"):  # the name fails only at build
        Logger(None, handlers=[FileHandler(str(second))])
    assert first.exists() and second.exists()


def test_logger_level(file_log):
    def every_level(log):
        for method in METHODS:
            getattr(log, method)(method)
    assert file_log(every_level, level=Level.INFO, pattern="%v") == ["info", "warn", "error", "critical"]


def test_file_overwrite_and_append(file_log):
    file_log.path.write_text("old\n")
    assert file_log(lambda log: log.info("new")) == ["old", "info|app|new"]
    assert file_log(lambda log: log.info("newer"), overwrite=True) == ["info|app|newer"]


def test_rotating_file_handler_rotates(tmp_path):
    path = tmp_path / "app.log"
    logger = Logger("app", handlers=[RotatingFileHandler(str(path), "%v", max_size=100, max_files=2)])
    for i in range(20):
        logger.info(f"message {i:02} " + "x" * 20)
    del logger
    assert sorted(p.name for p in tmp_path.iterdir()) == ["app.1.log", "app.2.log", "app.log"]
    assert path.read_text().splitlines()[-1].startswith("message 19")


def test_descriptor_fields_are_read_through_subclass_properties(tmp_path):
    class Redirected(FileHandler):
        @property
        def pattern(self):
            return "%l:%v"

        @property
        def level(self):
            return Level.ERROR

    logger = Logger("app", handlers=[Redirected(str(tmp_path / "ignored.log"))])
    logger.warn("w")
    logger.error("e")
    del logger
    assert (tmp_path / "ignored.log").read_text() == "error:e\n"


def test_sink_that_fails_raises_instead_of_ending_the_process():
    assert os.path.exists("/dev/full")
    logger = Logger("full", handlers=[FileHandler("/dev/full", pattern="%v")])
    with pytest.raises(OSError, match="No space left on device: '/dev/full'"):
        for _ in range(100_000):  # fails once the buffer is written out
            logger.info("x" * 100)


def test_pickling():
    logger = Logger("p", handlers=[StderrHandler()])
    for refuse in (lambda: pickle.dumps(logger), lambda: copy.copy(logger), logger.__reduce__,
                   lambda: logger.__setstate__(())):
        with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
            refuse()
    assert DefaultLogger().__reduce__() == (scribo.__pyx_unpickle_DefaultLogger, (DefaultLogger, 0xE3B0C44, ()))
    for checksum in (0xE3B0C44, 0xDA39A3E, 0xD41D8CD):
        assert type(scribo.__pyx_unpickle_DefaultLogger(DefaultLogger, checksum, ())) is DefaultLogger
    with pytest.raises(pickle.PickleError,
                       match=r"^Incompatible checksums \(0x1 vs \(0xe3b0c44, 0xda39a3e, 0xd41d8cd\) = \(\)\)$"):
        scribo.__pyx_unpickle_DefaultLogger(DefaultLogger, 1, ())


def test_native_table_slots_in_order(file_log, native):
    def body(log):
        for index in range(1, 7):
            native.level_slot(Logger, index)(log, f"slot {index}", 0, None)
        native.level_slot(Logger, 5)(log, "colored", 0, native.ColorArgs(3, 31, 44, 1))
    assert file_log(body) == [f"{level}|app|slot {i}" for i, level in enumerate(METHODS.values(), 1)] + [
        "error|app|colored"]


@pytest.mark.parametrize("base, slot", [(Logger, 4), (DefaultLogger, 3)])
def test_python_override_receives_native_calls(file_log, native, base, slot):
    calls = []

    class Overriding(base):
        def warn(self, msg, fg_color=-1, bg_color=-1, effect=-1):
            calls.append((msg, fg_color, bg_color, effect))

    obj = Overriding("o", handlers=[FileHandler(str(file_log.path), pattern="%v")]) if base is Logger else Overriding()
    warn = native.level_slot(base, slot)
    warn(obj, "none given", 0, None)
    warn(obj, "two given", 0, native.ColorArgs(2, 31, 44, 1))
    warn(obj, None, 0, None)  # the native body and its checks do not run
    assert calls == [("none given", -1, -1, -1), ("two given", 31, 44, -1), (None, -1, -1, -1)]
    if base is Logger:
        warn(obj, "skip flag: the native body", 1, None)
        base.warn(obj, "through the class: the native body")
        del obj
        assert file_log.path.read_text().splitlines() == ["skip flag: the native body",
                                                          "through the class: the native body"]


@pytest.mark.parametrize("base, slot", [(Logger, 4), (DefaultLogger, 3)])
def test_native_call_on_a_subclass_without_its_own_method(native, capfd, base, slot):
    # The call finds the class's Python method, which runs the native body with the colours given.
    subclass = type("Plain", (base,), {})
    obj = subclass("p", handlers=[StdoutHandler(pattern="%v", max_level=Level.OFF)]) if base is Logger else subclass()
    native.level_slot(base, slot)(obj, "warned", 0, native.ColorArgs(3, 31, 44, 1))
    assert "\x1b[1;31;44mwarned\x1b[0m\n" in capfd.readouterr().out

"""The standard logging package's vocabulary on Logger and DefaultLogger (warning, exception, log,
flush, Level.WARNING), and what inspect and help() find in the logging modules."""

import inspect
import re
import sys

import pytest

import orvel
from orvel.scribo import scribo


def test_warning_log_and_exception_write_at_their_levels(file_log):
    def body(log):
        log.warning("w")
        log.log(scribo.Level.TRACE, "t")
        log.log(4, "e")
        log.exception("no exception being handled")
        try:
            {}["missing"]
        except KeyError:
            log.exception("lookup failed")

    written = file_log(body)
    assert written[:4] == ["warning|app|w", "trace|app|t", "error|app|e",
                           "error|app|no exception being handled"]
    assert written[4] == "error|app|lookup failed"
    assert written[5] == "Traceback (most recent call last):"
    assert written[-1] == "KeyError: 'missing'"


def test_exception_keeps_no_reference_to_the_exception_it_logs(file_log):
    counts = []

    def body(log):
        try:
            raise ValueError("logged")
        except ValueError as error:
            counts.append(sys.getrefcount(error))
            for _ in range(10):
                log.exception("again")
            counts.append(sys.getrefcount(error))

    assert file_log(body).count("ValueError: logged") == 10
    assert counts[0] == counts[1]


def test_exception_below_the_threshold_writes_nothing(file_log):
    def body(log):
        try:
            raise ValueError("hidden")
        except ValueError:
            log.exception("dropped")
        log.critical("kept")

    assert file_log(body, level=scribo.Level.CRITICAL) == ["critical|app|kept"]


@pytest.mark.parametrize("level, error, message", [
    (scribo.Level.OFF, ValueError, "<Level.OFF: 6> is no level to log at"),
    (7, ValueError, "7 is not a valid Level"),
    (-1, ValueError, "-1 is not a valid Level"),
    (2.0, TypeError, "an integer is required"),
])
@pytest.mark.parametrize("make", [lambda: scribo.Logger("refuse"), scribo.DefaultLogger])
def test_log_refuses_what_is_no_message_level(make, level, error, message):
    with pytest.raises(error, match=re.escape(message)):
        make().log(level, "never")


@pytest.mark.parametrize("name", ["warning", "exception", "log"])
def test_argument_errors_name_the_method(name):
    with pytest.raises(TypeError, match=f"^{name}\\(\\)"):
        getattr(scribo.DefaultLogger(), name)("msg", nonsense=1)


def test_flush_writes_out_what_the_file_sink_buffers(file_log):
    seen = []

    def body(log):
        log.info("buffered")
        log.flush()
        seen.extend(file_log.path.read_text().splitlines())

    file_log(body)
    assert seen == ["info|app|buffered"]


def test_default_logger_speaks_the_same_vocabulary(run_child, tmp_path):
    path = tmp_path / "default.log"
    child = run_child(f"""
from orvel.scribo import *
keep = Logger("main", handlers=[FileHandler({str(path)!r}, pattern="%l|%n|%v")], set_default=True)
log = DefaultLogger()
log.warning("w")
log.log(Level.DEBUG, "d")
try:
    1 / 0
except ZeroDivisionError:
    log.exception("failed")
log.info("buffered")
log.flush()
print(open({str(path)!r}).read(), end="")
""")
    assert child.returncode == 0, child.stderr
    written = child.stdout.splitlines()
    assert written[:3] == ["warning|main|w", "debug|main|d", "error|main|failed"]
    assert written[-2:] == ["ZeroDivisionError: division by zero", "info|main|buffered"]


def test_warning_is_an_alias_of_warn():
    assert scribo.Level.WARNING is scribo.Level.WARN
    assert scribo.Level["WARNING"] is scribo.Level.WARN
    assert [level.name for level in scribo.Level] == [
        "TRACE", "DEBUG", "INFO", "WARN", "ERROR", "CRITICAL", "OFF"]


def public_callables():
    for module in (scribo, orvel):
        for name in module.__all__:
            value = getattr(module, name)
            if callable(value) and not name.startswith("_"):
                yield pytest.param(value, id=f"{module.__name__}.{name}")
                if inspect.isclass(value) and value.__module__ == scribo.__name__:
                    for member, function in vars(value).items():
                        if not member.startswith("_") and callable(function):
                            yield pytest.param(getattr(value, member), id=f"{name}.{member}")


@pytest.mark.parametrize("function", list(public_callables()))
def test_every_public_callable_has_a_docstring_and_a_python_signature(function):
    assert function.__doc__ and function.__doc__.strip()
    shown = str(inspect.signature(function))
    assert not re.search(r"\b(size_t|bint|void)\b", shown), shown


def test_class_signatures_keep_the_documented_defaults():
    assert str(inspect.signature(scribo.RotatingFileHandler)) == (
        "(filename: str, pattern: str = '[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v', "
        "level: int = <Level.TRACE: 0>, max_size: int = 1048576, max_files: int = 3) -> None")
    logger = inspect.signature(scribo.Logger)
    assert logger.parameters["color_scheme"].annotation == scribo.ColorScheme | None
    assert logger.parameters["handlers"].default == []
    assert str(inspect.signature(scribo.DefaultLogger)) == "() -> None"
    assert str(inspect.signature(scribo.Logger.log)) == (
        "(self, level: int, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1) -> None")


def test_modules_list_their_public_names_and_the_package_its_version():
    from importlib import metadata
    assert orvel.__version__ == metadata.version("orvel")
    assert all(hasattr(scribo, name) for name in scribo.__all__)


@pytest.mark.parametrize("descriptor", [
    scribo.StdoutHandler(True, "%v", scribo.Level.DEBUG, scribo.Level.WARN),
    scribo.StderrHandler(level=scribo.Level.ERROR),
    scribo.BasicConsoleHandler(pattern="it's %v"),
    scribo.ConsoleHandler(False, max_stdout_level=scribo.Level.DEBUG),
    scribo.FileHandler("/tmp/a b.log", overwrite=True),
    scribo.RotatingFileHandler("r.log", max_size=4096, max_files=7),
    scribo.ColorScheme(info_color=2, critical_color=9),
])
def test_a_descriptor_repr_is_the_constructor_call_that_makes_its_like(descriptor):
    made = eval(repr(descriptor), vars(scribo))
    assert type(made) is type(descriptor)
    fields = inspect.signature(type(descriptor)).parameters
    assert [getattr(made, name) for name in fields] == [getattr(descriptor, name) for name in fields]


def test_a_descriptor_repr_follows_its_fields_and_names_a_subclass():
    class Quiet(scribo.StderrHandler):
        def __init__(self):
            super().__init__()

    handler = Quiet()
    handler.level = scribo.Level.CRITICAL
    assert repr(handler) == "Quiet(color=False, pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v', level=Level.CRITICAL)"

import logging
from enum import IntEnum

from typing_extensions import disjoint_base

__all__ = [
    "BasicConsoleHandler",
    "ColorScheme",
    "ConsoleHandler",
    "DefaultLogger",
    "FileHandler",
    "Level",
    "LogHandler",
    "Logger",
    "PyLogHandler",
    "RotatingFileHandler",
    "StderrHandler",
    "StdoutHandler",
]

class Level(IntEnum):
    TRACE = 0
    DEBUG = 1
    INFO = 2
    WARN = 3
    WARNING = WARN
    ERROR = 4
    CRITICAL = 5
    OFF = 6

# Level fields read back as Level members and accept any int: a value outside the members stays
# stored, and reading it raises ValueError. Deleting `pattern` or `filename` stores None.

@disjoint_base
class LogHandler:
    color: bool
    pattern: str | None
    @property
    def level(self) -> Level: ...
    @level.setter
    def level(self, value: int) -> None: ...
    def __init__(
        self,
        color: bool = True,
        pattern: str = "[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v",
        level: int = Level.TRACE,
    ) -> None: ...

@disjoint_base
class StdoutHandler(LogHandler):
    @property
    def max_level(self) -> Level: ...
    @max_level.setter
    def max_level(self, value: int) -> None: ...
    def __init__(
        self,
        color: bool = False,
        pattern: str = "[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v",
        level: int = Level.TRACE,
        max_level: int = Level.INFO,
    ) -> None: ...

class StderrHandler(LogHandler):
    def __init__(
        self,
        color: bool = False,
        pattern: str = "[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v",
        level: int = Level.WARN,
    ) -> None: ...

class BasicConsoleHandler(LogHandler):
    def __init__(
        self,
        color: bool = False,
        pattern: str = "[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v",
        level: int = Level.TRACE,
    ) -> None: ...

@disjoint_base
class ConsoleHandler(LogHandler):
    @property
    def max_stdout_level(self) -> Level: ...
    @max_stdout_level.setter
    def max_stdout_level(self, value: int) -> None: ...
    @property
    def min_level(self) -> Level: ...
    @min_level.setter
    def min_level(self, value: int) -> None: ...
    def __init__(
        self,
        color: bool = True,
        pattern: str = "[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v",
        max_stdout_level: int = Level.INFO,
        min_level: int = Level.TRACE,
    ) -> None: ...

@disjoint_base
class FileHandler(LogHandler):
    filename: str | None
    overwrite: bool
    def __init__(
        self,
        filename: str,
        color: bool = False,
        pattern: str = "[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v",
        level: int = Level.TRACE,
        overwrite: bool = False,
    ) -> None: ...

@disjoint_base
class RotatingFileHandler(FileHandler):
    max_size: int
    max_files: int
    def __init__(
        self,
        filename: str,
        pattern: str = "[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v",
        level: int = Level.TRACE,
        max_size: int = 1048576,
        max_files: int = 3,
    ) -> None: ...

@disjoint_base
class ColorScheme:
    trace_color: int
    debug_color: int
    info_color: int
    warn_color: int
    error_color: int
    critical_color: int
    def __init__(
        self,
        trace_color: int = -1,
        debug_color: int = -1,
        info_color: int = -1,
        warn_color: int = -1,
        error_color: int = -1,
        critical_color: int = -1,
    ) -> None: ...

# The colour arguments, -1 for none: fg_color an SGR foreground code (30-37, 90-97) or else a
# palette index below 256; bg_color likewise with the background codes (40-47, 100-107); effect
# an SGR effect code (1-7 or 9: 1 bold, 4 underline, ...). Console sinks get the coloured text.

@disjoint_base
class Logger:
    # A subclass may have a constructor of its own, which builds the logger by calling this one.
    def __init__(
        self,
        name: str,
        level: int = 0,
        pattern: str = "[%d-%m-%Y %H:%M:%S.%f] [%n] [%^%l%$] %v",
        handlers: list[LogHandler] | None = [],
        color_scheme: ColorScheme | None = None,
        set_default: bool = False,
        intercept_stdlib_logging: bool = True,
    ) -> None: ...
    def trace(self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1) -> None: ...
    def debug(self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1) -> None: ...
    def info(self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1) -> None: ...
    def warn(self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1) -> None: ...
    def error(self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1) -> None: ...
    def critical(self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1) -> None: ...
    def warning(self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1) -> None: ...
    def exception(self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1) -> None: ...
    def log(self, level: int, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1) -> None: ...
    def flush(self) -> None: ...

@disjoint_base
class DefaultLogger:
    def trace(self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1) -> None: ...
    def debug(self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1) -> None: ...
    def info(self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1) -> None: ...
    def warn(self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1) -> None: ...
    def error(self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1) -> None: ...
    def critical(self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1) -> None: ...
    def warning(self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1) -> None: ...
    def exception(self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1) -> None: ...
    def log(self, level: int, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1) -> None: ...
    def flush(self) -> None: ...

class PyLogHandler(logging.Handler):
    def __init__(self, level: int) -> None: ...
    def emit(self, record: logging.LogRecord) -> None: ...
    def flush(self) -> None: ...

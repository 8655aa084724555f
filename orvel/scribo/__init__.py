"""Coloured logging over spdlog: see orvel.scribo.scribo."""

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

from orvel.scribo.scribo import BasicConsoleHandler as BasicConsoleHandler
from orvel.scribo.scribo import ColorScheme as ColorScheme
from orvel.scribo.scribo import ConsoleHandler as ConsoleHandler
from orvel.scribo.scribo import DefaultLogger as DefaultLogger
from orvel.scribo.scribo import FileHandler as FileHandler
from orvel.scribo.scribo import Level as Level
from orvel.scribo.scribo import LogHandler as LogHandler
from orvel.scribo.scribo import Logger as Logger
from orvel.scribo.scribo import PyLogHandler as PyLogHandler
from orvel.scribo.scribo import RotatingFileHandler as RotatingFileHandler
from orvel.scribo.scribo import StderrHandler as StderrHandler
from orvel.scribo.scribo import StdoutHandler as StdoutHandler

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

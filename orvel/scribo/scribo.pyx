# cython: embedsignature=True
"""Coloured logging through spdlog loggers built by libscribo: levels, colour schemes, handler
descriptors, named and default loggers, and a bridge from the standard logging package."""
from cpython.pycapsule cimport PyCapsule_GetName, PyCapsule_GetPointer, PyCapsule_SetPointer
from cython.operator cimport dereference as deref
from libcpp.memory cimport shared_ptr
from libcpp.string cimport string

from orvel.scribo cimport libscribo
from orvel.scribo.libscribo cimport LoggerFactory, LoggerRegistry, SpdLogger, level_enum, logger


cdef extern from "orvel/scribo/python_location.hpp" namespace "orvel::dispatch":
    void log_colored(logger& target, level_enum level, const string& text, int fg, int bg,
                     int effect) except +
    void log_colored_to_default(level_enum level, const string& text, int fg, int bg,
                                int effect) except +
    void log_record_to_default(level_enum level, const string& text) except +


cdef extern from "orvel/scribo/logger_ptr_adapter.hpp" namespace "orvel::capi":
    void* held_per_thread(void* by_value) noexcept


# Stored as int: a value outside the members stays stored but reads back as a ValueError.
cpdef enum class Level:
    TRACE = 0
    DEBUG = 1
    INFO = 2
    WARN = 3
    ERROR = 4
    CRITICAL = 5
    OFF = 6


import logging as py_logging
import traceback


# ---------------------------------------------------------------------------------------------
# Handler descriptors and colour schemes: plain values, read once when a Logger is built.

cdef class LogHandler:
    cdef public bint color
    cdef public str pattern
    cdef public Level level

    def __init__(self, bint color=True, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v',
                 Level level=Level.TRACE):
        self.color = color
        self.pattern = pattern
        self.level = level


cdef class StdoutHandler(LogHandler):
    cdef public Level max_level

    def __init__(self, bint color=False, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v',
                 Level level=Level.TRACE, Level max_level=Level.INFO):
        super().__init__(color, pattern, level)
        self.max_level = max_level


cdef class StderrHandler(LogHandler):
    def __init__(self, bint color=False, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v',
                 Level level=Level.WARN):
        super().__init__(color, pattern, level)


cdef class BasicConsoleHandler(LogHandler):
    def __init__(self, bint color=False, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v',
                 Level level=Level.TRACE):
        super().__init__(color, pattern, level)


cdef class ConsoleHandler(LogHandler):
    cdef public Level max_stdout_level
    cdef public Level min_level

    def __init__(self, bint color=True, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v',
                 Level max_stdout_level=Level.INFO, Level min_level=Level.TRACE):
        super().__init__(color, pattern, Level.TRACE)
        self.max_stdout_level = max_stdout_level
        self.min_level = min_level


cdef class FileHandler(LogHandler):
    cdef public str filename
    cdef public bint overwrite

    def __init__(self, str filename, bint color=False,
                 str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v', Level level=Level.TRACE,
                 bint overwrite=False):
        super().__init__(color, pattern, level)
        self.filename = filename
        self.overwrite = overwrite


cdef class RotatingFileHandler(FileHandler):
    cdef public size_t max_size
    cdef public size_t max_files

    def __init__(self, str filename, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v',
                 Level level=Level.TRACE, size_t max_size=1048576, size_t max_files=3):
        super().__init__(filename, False, pattern, level, False)
        self.max_size = max_size
        self.max_files = max_files


cdef class ColorScheme:
    cdef public int trace_color
    cdef public int debug_color
    cdef public int info_color
    cdef public int warn_color
    cdef public int error_color
    cdef public int critical_color

    def __init__(self, int trace_color=-1, int debug_color=-1, int info_color=-1,
                 int warn_color=-1, int error_color=-1, int critical_color=-1):
        self.trace_color = trace_color
        self.debug_color = debug_color
        self.info_color = info_color
        self.warn_color = warn_color
        self.error_color = error_color
        self.critical_color = critical_color


# ---------------------------------------------------------------------------------------------
# Bridge from the standard logging package.

class PyLogHandler(py_logging.Handler):
    """Sends each record of the standard logging package to the default logger, plain text,
    located at the code that called into the logging package."""

    def __init__(self, int level):
        super().__init__(level)
        # Thresholds as the logging package defines them now.
        self._debug = py_logging.DEBUG
        self._info = py_logging.INFO
        self._warn = py_logging.WARN
        self._error = py_logging.ERROR
        self._critical = py_logging.CRITICAL

    def emit(self, record):
        cdef bytes msg = record.getMessage().encode()
        cdef int lvl = record.levelno
        exc_info = record.exc_info
        stack_info = record.stack_info
        if exc_info is not None:
            msg += b"\n" + "".join(traceback.format_exception(*exc_info)).encode()
        if stack_info is not None:
            msg += b"\n" + str(stack_info).encode()
        cdef level_enum level
        if lvl >= self._critical:
            level = level_enum.critical
        elif lvl >= self._error:
            level = level_enum.err
        elif lvl >= self._warn:
            level = level_enum.warn
        elif lvl >= self._info:
            level = level_enum.info
        elif lvl >= self._debug:
            level = level_enum.debug
        else:
            level = level_enum.trace
        log_record_to_default(level, msg)


# Makes a PyLogHandler the only handler of the standard root logger. The handlers dropped are
# not closed: they may still be attached elsewhere.
cdef int redirect_pylog() except -1:
    root = py_logging.getLogger()
    root.handlers.clear()
    root.setLevel(py_logging.DEBUG)
    root.addHandler(PyLogHandler(py_logging.DEBUG))
    return 0


# ---------------------------------------------------------------------------------------------
# Loggers.

cdef inline level_enum level_from(object value) except *:
    return <level_enum><int>value


# One LoggerFactory call per descriptor, its fields read through its attributes (so that a
# subclass's properties count), in the order the call takes them.
cdef int add_handler(LoggerFactory& factory, object handler) except -1:
    if isinstance(handler, StdoutHandler):
        factory.add_stdout_handler(handler.color, handler.pattern.encode(), level_from(handler.level),
                                   level_from(handler.max_level))
    elif isinstance(handler, StderrHandler):
        factory.add_stderr_handler(handler.color, handler.pattern.encode(), level_from(handler.level))
    elif isinstance(handler, ConsoleHandler):
        factory.add_console_handler(handler.color, handler.pattern.encode(),
                                    level_from(handler.max_stdout_level), level_from(handler.min_level))
    elif isinstance(handler, BasicConsoleHandler):
        factory.add_basic_console_handler(handler.color, handler.pattern.encode(),
                                          level_from(handler.level))
    elif isinstance(handler, RotatingFileHandler):
        factory.add_rotating_file_handler(handler.filename.encode(), handler.max_size, handler.max_files,
                                          handler.pattern.encode(), level_from(handler.level))
    elif isinstance(handler, FileHandler):
        factory.add_file_handler(handler.filename.encode(), handler.pattern.encode(),
                                 level_from(handler.level), handler.overwrite)
    else:
        raise TypeError("Unknown handler type")
    return 0


cdef class Logger:
    """Logger(str name, int level=0, str pattern='[%d-%m-%Y %H:%M:%S.%f] [%n] [%^%l%$] %v', list handlers=[], ColorScheme color_scheme=None, bool set_default=False, bool intercept_stdlib_logging=True)"""

    def __cinit__(self, str name, int level=0, str pattern='[%d-%m-%Y %H:%M:%S.%f] [%n] [%^%l%$] %v',
                  list handlers=[], ColorScheme color_scheme=None, bint set_default=False,
                  bint intercept_stdlib_logging=True):
        self.factory.set_level(<level_enum>level)
        if not handlers:
            self.factory.add_basic_console_handler(True, pattern.encode(), <level_enum>level)
        else:
            for handler in handlers:
                add_handler(self.factory, handler)
        if color_scheme is not None:
            self.factory.set_colors(color_scheme.trace_color, color_scheme.debug_color,
                                    color_scheme.info_color, color_scheme.warn_color,
                                    color_scheme.error_color, color_scheme.critical_color)
        self.built = self.factory.build(name.encode(), False)
        if set_default:
            LoggerRegistry.set_default(self.built)
        self.handle = SpdLogger(self.built)
        if set_default and intercept_stdlib_logging:
            redirect_pylog()

    cdef SpdLogger spd_logger(self) noexcept:
        return self.handle

    cpdef void trace(self, str msg, int fg_color=-1, int bg_color=-1, int effect=-1) except *:
        log_colored(deref(self.handle), level_enum.trace, msg.encode(), fg_color, bg_color, effect)

    cpdef void debug(self, str msg, int fg_color=-1, int bg_color=-1, int effect=-1) except *:
        log_colored(deref(self.handle), level_enum.debug, msg.encode(), fg_color, bg_color, effect)

    cpdef void info(self, str msg, int fg_color=-1, int bg_color=-1, int effect=-1) except *:
        log_colored(deref(self.handle), level_enum.info, msg.encode(), fg_color, bg_color, effect)

    cpdef void warn(self, str msg, int fg_color=-1, int bg_color=-1, int effect=-1) except *:
        log_colored(deref(self.handle), level_enum.warn, msg.encode(), fg_color, bg_color, effect)

    cpdef void error(self, str msg, int fg_color=-1, int bg_color=-1, int effect=-1) except *:
        log_colored(deref(self.handle), level_enum.err, msg.encode(), fg_color, bg_color, effect)

    cpdef void critical(self, str msg, int fg_color=-1, int bg_color=-1, int effect=-1) except *:
        log_colored(deref(self.handle), level_enum.critical, msg.encode(), fg_color, bg_color, effect)


cdef class DefaultLogger:
    """DefaultLogger()"""

    cpdef void trace(self, str msg, int fg_color=-1, int bg_color=-1, int effect=-1) except *:
        log_colored_to_default(level_enum.trace, msg.encode(), fg_color, bg_color, effect)

    cpdef void debug(self, str msg, int fg_color=-1, int bg_color=-1, int effect=-1) except *:
        log_colored_to_default(level_enum.debug, msg.encode(), fg_color, bg_color, effect)

    cpdef void info(self, str msg, int fg_color=-1, int bg_color=-1, int effect=-1) except *:
        log_colored_to_default(level_enum.info, msg.encode(), fg_color, bg_color, effect)

    cpdef void warn(self, str msg, int fg_color=-1, int bg_color=-1, int effect=-1) except *:
        log_colored_to_default(level_enum.warn, msg.encode(), fg_color, bg_color, effect)

    cpdef void error(self, str msg, int fg_color=-1, int bg_color=-1, int effect=-1) except *:
        log_colored_to_default(level_enum.err, msg.encode(), fg_color, bg_color, effect)

    cpdef void critical(self, str msg, int fg_color=-1, int bg_color=-1, int effect=-1) except *:
        log_colored_to_default(level_enum.critical, msg.encode(), fg_color, bg_color, effect)


# ---------------------------------------------------------------------------------------------
# Native access for other extension modules (declared in scribo.pxd).

cdef SpdLogger get_logger_by_name(const char* name) except *:
    return SpdLogger(libscribo.get(string(name)))


cdef shared_ptr[logger] registry_logger(str name) except *:
    return LoggerRegistry.get_logger(name.encode(), True)


# scribo.pxd declares a reference return. Cython defines this by value and, as long as no code
# here calls it, without the conflicting prototype; the capsule then gets an adapter of the
# declared type (below). Other code here uses registry_logger.
cdef shared_ptr[logger] get_logger_ptr(str name="", bint flag=False) except *:
    return registry_logger(name)


cdef void get_logger(SpdLogger& out, str name="", bint flag=False) except *:
    out = SpdLogger(registry_logger(name))


cdef int publish_by_reference(object capsule) except -1:
    by_value = PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule))
    return PyCapsule_SetPointer(capsule, held_per_thread(by_value))


# Importing modules call get_logger_ptr as its capsule name says: returning a reference.
publish_by_reference(globals()["__pyx_capi__"]["get_logger_ptr"])

# cython: embedsignature=True
"""Coloured logging through spdlog loggers built by libscribo: levels, colour schemes, handler
descriptors, named and default loggers, and a bridge from the standard logging package."""
cimport cython
from cpython.exc cimport PyErr_Format, PyErr_GetHandledException
from cpython.number cimport PyIndex_Check, PyNumber_Index
from cpython.object cimport Py_TYPE, PyTypeObject
from cpython.pycapsule cimport PyCapsule_GetName, PyCapsule_GetPointer, PyCapsule_SetPointer
from cpython.ref cimport PyObject, Py_XDECREF
from cython.operator cimport dereference as deref
from libcpp.memory cimport shared_ptr
from libcpp.string cimport string

from orvel._binding cimport guard_methods, replace_in_class
from orvel.scribo cimport libscribo
from orvel.scribo.libscribo cimport LoggerFactory, LoggerRegistry, SpdLogger, level_enum, logger


# Each writes the sinks without the interpreter lock and reports failures itself, with -1: no C++
# exception handler of Cython's may stand between them and the interpreter, which ends a thread
# that takes its lock back while it finalises by unwinding it.
cdef extern from "orvel/scribo/python_location.hpp" namespace "orvel::dispatch":
    int log_colored(logger& target, level_enum level, object msg, int fg, int bg, int effect) except -1
    int log_colored_to_default(level_enum level, object msg, int fg, int bg, int effect) except -1
    int log_record_to_default(level_enum level, object msg, object record) except -1
    int flush_logger "orvel::dispatch::flush"(logger& target) except -1
    void locate_logging_package(object package) except +


cdef extern from "scribo/sink_control.hpp" namespace "scribo":
    void stop_waiting() noexcept
    bint flush_files() noexcept


cdef extern from "Python.h":
    bytes PyUnicode_EncodeFSDefault(object text)


cdef extern from "orvel/scribo/logger_ptr_adapter.hpp" namespace "orvel::capi":
    void* held_per_thread(void* by_value) noexcept


cdef extern from "orvel/scribo/compact_int.hpp" namespace "orvel::binding":
    bint compact_int(object value, int* out) noexcept


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

locate_logging_package(py_logging)

import inspect as _inspect

from orvel._signatures import C_TYPES, DocumentedSignature, constructor_signature

# A docstring, and the standard logging package's spelling of WARN as an alias: iteration and the
# members' names stay the seven above.
cdef int complete_level(object levels) except -1:
    levels.__doc__ = "Log levels, numbered as spdlog numbers them; WARNING is an alias of WARN."
    setattr(levels, "WARNING", levels.WARN)
    levels._member_map_["WARNING"] = levels.WARN
    return 0


complete_level(globals()["Level"])


# ---------------------------------------------------------------------------------------------
# Integers from Python.
#
# Cython converts an object to a C integer through __int__, so an argument or field it types as
# one takes 2.5 as 2 and accepts Decimal and Fraction. Integers entering from Python are converted
# here instead, where only objects with __index__ pass; the C fields and signatures stay as they are.

cdef object exact_integer(object value):
    if not PyIndex_Check(value):
        raise TypeError("an integer is required")
    return PyNumber_Index(value)


# INT_MIN, not -1, marks a failure: -1 is the colours' default, and each result equal to the
# mark costs a look at the exception state.
cdef inline int to_int(object value) except? -2147483648:
    cdef int compact
    if compact_int(value, &compact):
        return compact
    return exact_integer(value)


cdef size_t to_size(object value) except? <size_t>-1:
    return exact_integer(value)


# The test of an argument Cython would type as `kind`: exactly that type (a subclass too unless
# `exact`) or None, failing with Cython's message. The constructors taking integers as objects
# test after converting them, in the order their typed signatures did.
cdef int expect(object value, type kind, const char* name, bint exact=True) except -1:
    if value is not None and type(value) is not kind and (exact or not isinstance(value, kind)):
        PyErr_Format(TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     name, (<PyTypeObject*>kind).tp_name, Py_TYPE(value).tp_name)
    return 0


# ---------------------------------------------------------------------------------------------
# Handler descriptors and colour schemes: plain values, read once when a Logger is built. Each
# docstring is the constructor's signature as the fields type it.

cdef class LogHandler:
    """LogHandler(bool color=True, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v', Level level=Level.TRACE)"""
    cdef public bint color
    cdef public str pattern
    cdef public Level level

    @cython.embedsignature(False)
    def __init__(self, bint color=True, pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v',
                 level=Level.TRACE):
        cdef Level threshold = <Level>to_int(level)
        expect(pattern, str, "pattern")
        self.color = color
        self.pattern = pattern
        self.level = threshold

    def __repr__(self):
        return constructor_call(self)


cdef class StdoutHandler(LogHandler):
    """StdoutHandler(bool color=False, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v', Level level=Level.TRACE, Level max_level=Level.INFO)"""
    cdef public Level max_level

    @cython.embedsignature(False)
    def __init__(self, bint color=False, pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v',
                 level=Level.TRACE, max_level=Level.INFO):
        cdef Level threshold = <Level>to_int(level), highest = <Level>to_int(max_level)
        expect(pattern, str, "pattern")
        super().__init__(color, pattern, threshold)
        self.max_level = highest


cdef class StderrHandler(LogHandler):
    """StderrHandler(bool color=False, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v', Level level=Level.WARN)"""

    @cython.embedsignature(False)
    def __init__(self, bint color=False, pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v',
                 level=Level.WARN):
        cdef Level threshold = <Level>to_int(level)
        expect(pattern, str, "pattern")
        super().__init__(color, pattern, threshold)


cdef class BasicConsoleHandler(LogHandler):
    """BasicConsoleHandler(bool color=False, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v', Level level=Level.TRACE)"""

    @cython.embedsignature(False)
    def __init__(self, bint color=False, pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v',
                 level=Level.TRACE):
        cdef Level threshold = <Level>to_int(level)
        expect(pattern, str, "pattern")
        super().__init__(color, pattern, threshold)


cdef class ConsoleHandler(LogHandler):
    """ConsoleHandler(bool color=True, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v', Level max_stdout_level=Level.INFO, Level min_level=Level.TRACE)"""
    cdef public Level max_stdout_level
    cdef public Level min_level

    @cython.embedsignature(False)
    def __init__(self, bint color=True, pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v',
                 max_stdout_level=Level.INFO, min_level=Level.TRACE):
        cdef Level highest = <Level>to_int(max_stdout_level), lowest = <Level>to_int(min_level)
        expect(pattern, str, "pattern")
        super().__init__(color, pattern, Level.TRACE)
        self.max_stdout_level = highest
        self.min_level = lowest


cdef class FileHandler(LogHandler):
    """FileHandler(str filename, bool color=False, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v', Level level=Level.TRACE, bool overwrite=False)"""
    cdef public str filename
    cdef public bint overwrite

    @cython.embedsignature(False)
    def __init__(self, filename, bint color=False, pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v',
                 level=Level.TRACE, overwrite=False):
        cdef Level threshold = <Level>to_int(level)
        cdef bint truncate = overwrite
        expect(filename, str, "filename")
        expect(pattern, str, "pattern")
        super().__init__(color, pattern, threshold)
        self.filename = filename
        self.overwrite = truncate


cdef class RotatingFileHandler(FileHandler):
    """RotatingFileHandler(str filename, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v', Level level=Level.TRACE, size_t max_size=1048576, size_t max_files=3)"""
    cdef public size_t max_size
    cdef public size_t max_files

    @cython.embedsignature(False)
    def __init__(self, filename, pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v', level=Level.TRACE,
                 max_size=1048576, max_files=3):
        cdef Level threshold = <Level>to_int(level)
        cdef size_t size = to_size(max_size), files = to_size(max_files)
        expect(filename, str, "filename")
        expect(pattern, str, "pattern")
        LoggerFactory.check_rotation(size, files)  # refused here rather than by the Logger
        super().__init__(filename, False, pattern, threshold, False)
        self.max_size = size
        self.max_files = files


cdef class ColorScheme:
    """ColorScheme(int trace_color=-1, int debug_color=-1, int info_color=-1, int warn_color=-1, int error_color=-1, int critical_color=-1)"""
    cdef public int trace_color
    cdef public int debug_color
    cdef public int info_color
    cdef public int warn_color
    cdef public int error_color
    cdef public int critical_color

    @cython.embedsignature(False)
    def __init__(self, trace_color=-1, debug_color=-1, info_color=-1, warn_color=-1, error_color=-1,
                 critical_color=-1):
        cdef int trace = to_int(trace_color), debug = to_int(debug_color), info = to_int(info_color)
        cdef int warn = to_int(warn_color), error = to_int(error_color), critical = to_int(critical_color)
        self.trace_color = trace
        self.debug_color = debug
        self.info_color = info
        self.warn_color = warn
        self.error_color = error
        self.critical_color = critical

    def __repr__(self):
        return constructor_call(self)


# The call of the constructor that makes a descriptor equal to `obj`: the parameters of the
# constructor text of its nearest class here, with the values its fields hold now.
cdef str constructor_call(object obj):
    cls = next(base for base in type(obj).__mro__ if base.__module__ == __name__)
    parameters = constructor_signature(cls.__doc__, LOGGING_TYPES, {}, {"Level": Level}).parameters
    return f"{type(obj).__name__}({', '.join(f'{name}={field_text(getattr(obj, name))}' for name in parameters)})"


cdef str field_text(object value):
    return f"Level.{value.name}" if isinstance(value, Level) else repr(value)


# ---------------------------------------------------------------------------------------------
# Bridge from the standard logging package.

class PyLogHandler(py_logging.Handler):
    """Sends each record of the standard logging package to the default logger, plain text,
    located where the record says it was logged."""

    @cython.embedsignature(False)
    def __init__(self, level):
        """PyLogHandler.__init__(self, int level)"""
        super().__init__(to_int(level))
        # Thresholds as the logging package defines them now.
        self._debug = py_logging.DEBUG
        self._info = py_logging.INFO
        self._warn = py_logging.WARN
        self._error = py_logging.ERROR
        self._critical = py_logging.CRITICAL

    def emit(self, record):
        """Writes `record`, with its exception and stack texts, to the default logger at the level
        nearest below its own."""
        msg = record.getMessage()
        cdef int lvl = to_int(record.levelno)
        exc_info = record.exc_info
        stack_info = record.stack_info
        if exc_info is not None:
            msg += "\n" + "".join(traceback.format_exception(*exc_info))
        if stack_info is not None:
            msg += "\n" + str(stack_info)
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
        log_record_to_default(level, msg, record)

    def flush(self):
        """Writes out what the default logger's sinks buffer: logging.shutdown() asks this of
        every handler."""
        flush_logger(deref(default_logger()))


# Makes a PyLogHandler the only handler of the standard root logger. The handlers dropped are
# not closed: they may still be attached elsewhere.
cdef int redirect_pylog() except -1:
    root = py_logging.getLogger()
    root.handlers.clear()
    root.setLevel(py_logging.DEBUG)
    root.addHandler(PyLogHandler(py_logging.DEBUG))
    return 0


# ---------------------------------------------------------------------------------------------
# The end of the process. File sinks keep lines below ERROR for up to a second; exit() has them
# written out, but a multiprocessing child leaves with os._exit() once its run is over. Both pass
# through the interpreter's shutdown of its threads first, where they are written out here, and
# from the exit handlers on a stalled sink holds the process up for a second at most.

def _write_out_files():
    flush_files()


def _stop_waiting_for_sinks():
    stop_waiting()
    flush_files()


cdef int watch_shutdown() except -1:
    import atexit
    import threading
    try:
        threading._register_atexit(_write_out_files)  # the hook multiprocessing's children run
    except (AttributeError, RuntimeError):  # an interpreter without it, or one shutting down
        pass
    atexit.register(_stop_waiting_for_sinks)
    return 0


watch_shutdown()


# ---------------------------------------------------------------------------------------------
# Loggers.

cdef inline level_enum level_from(object value) except *:
    return <level_enum>to_int(value)


# A file name as open() encodes it: the file system's encoding, and back to their bytes the
# surrogates that stand for bytes os.listdir() could not decode. Anything but a str (None, what a
# subclass's property gives) fails as encoding it would.
cdef bytes file_name(object filename):
    if not isinstance(filename, str):
        return filename.encode()
    return PyUnicode_EncodeFSDefault(filename)


# One LoggerFactory call per descriptor, its fields read through its attributes (so that a
# subclass's properties count), in the order the call takes them.
cdef int add_handler(LoggerFactory& factory, object handler) except -1:
    cdef string filename, pattern
    cdef level_enum level
    cdef size_t max_size, max_files
    cdef bint overwrite
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
    # Files are opened without the interpreter lock: opening a FIFO waits for its reader, which
    # may be a thread of this process.
    elif isinstance(handler, RotatingFileHandler):
        filename, max_size, max_files = file_name(handler.filename), to_size(handler.max_size), to_size(handler.max_files)
        pattern, level = handler.pattern.encode(), level_from(handler.level)
        with nogil:
            factory.add_rotating_file_handler(filename, max_size, max_files, pattern, level)
    elif isinstance(handler, FileHandler):
        filename, pattern, level = file_name(handler.filename), handler.pattern.encode(), level_from(handler.level)
        overwrite = handler.overwrite
        with nogil:
            factory.add_file_handler(filename, pattern, level, overwrite)
    else:
        raise TypeError("Unknown handler type")
    return 0


# A subclass whose constructor never called Logger.__init__ has no logger to log through.
cdef inline int check_built(Logger logger) except -1:
    if logger.handle.get() == NULL:
        raise RuntimeError("Logger.__init__() has not run")
    return 0


cdef class Logger:
    """Logger(str name, int level=0, str pattern='[%d-%m-%Y %H:%M:%S.%f] [%n] [%^%l%$] %v', list handlers=[], ColorScheme color_scheme=None, bool set_default=False, bool intercept_stdlib_logging=True)"""

    # A Logger, and a subclass without a constructor of its own, is built here: none exists half
    # made. A subclass's own constructor takes arguments of its choosing and builds the logger when
    # it calls Logger.__init__.
    def __cinit__(self, *args, **kwargs):
        if type(self).__init__ is Logger.__init__:
            Logger.__init__(self, *args, **kwargs)

    @cython.embedsignature(False)
    def __init__(self, name, level=0, pattern='[%d-%m-%Y %H:%M:%S.%f] [%n] [%^%l%$] %v', handlers=[],
                 color_scheme=None, set_default=False, intercept_stdlib_logging=True):
        """__init__($self, name, level=0, pattern='[%d-%m-%Y %H:%M:%S.%f] [%n] [%^%l%$] %v', handlers=[], color_scheme=None, set_default=False, intercept_stdlib_logging=True)
--

Builds the logger, the first time it is called: see the class."""
        if self.handle.get() != NULL:
            return
        cdef level_enum threshold = <level_enum>to_int(level)
        cdef bint make_default = set_default, intercept = intercept_stdlib_logging
        expect(name, str, "name")
        expect(pattern, str, "pattern")
        expect(handlers, list, "handlers")
        expect(color_scheme, ColorScheme, "color_scheme", False)
        cdef ColorScheme scheme = color_scheme  # read directly, not through its attributes
        # A factory of this call's own: a handler's attributes run Python code, and files are
        # opened without the interpreter lock, so another call may be under way meanwhile.
        cdef LoggerFactory factory
        cdef shared_ptr[logger] built
        factory.set_level(threshold)
        if not handlers:
            factory.add_basic_console_handler(True, pattern.encode(), threshold)
        else:
            for handler in handlers:
                add_handler(factory, handler)
        if scheme is not None:
            factory.set_colors(scheme.trace_color, scheme.debug_color, scheme.info_color,
                               scheme.warn_color, scheme.error_color, scheme.critical_color)
        built = factory.build(name.encode(), False)
        if self.handle.get() != NULL:
            return  # built by a call that ran meanwhile: a thread may be logging through that one
        self.built = built
        if make_default:
            LoggerRegistry.set_default(self.built)
        self.handle = SpdLogger(self.built)
        if make_default and intercept:
            redirect_pylog()

    cdef SpdLogger spd_logger(self) noexcept:
        return self.handle

    cpdef void trace(self, str msg, int fg_color=-1, int bg_color=-1, int effect=-1) except *:
        check_built(self)
        log_colored(deref(self.handle), level_enum.trace, msg, fg_color, bg_color, effect)

    cpdef void debug(self, str msg, int fg_color=-1, int bg_color=-1, int effect=-1) except *:
        check_built(self)
        log_colored(deref(self.handle), level_enum.debug, msg, fg_color, bg_color, effect)

    cpdef void info(self, str msg, int fg_color=-1, int bg_color=-1, int effect=-1) except *:
        check_built(self)
        log_colored(deref(self.handle), level_enum.info, msg, fg_color, bg_color, effect)

    cpdef void warn(self, str msg, int fg_color=-1, int bg_color=-1, int effect=-1) except *:
        check_built(self)
        log_colored(deref(self.handle), level_enum.warn, msg, fg_color, bg_color, effect)

    cpdef void error(self, str msg, int fg_color=-1, int bg_color=-1, int effect=-1) except *:
        check_built(self)
        log_colored(deref(self.handle), level_enum.err, msg, fg_color, bg_color, effect)

    cpdef void critical(self, str msg, int fg_color=-1, int bg_color=-1, int effect=-1) except *:
        check_built(self)
        log_colored(deref(self.handle), level_enum.critical, msg, fg_color, bg_color, effect)

    # The vocabulary of the standard logging package, as plain methods: the native table stays.
    # Their docstrings carry no C signature: help() shows the one inspect finds.
    @cython.embedsignature(False)
    def warning(self, str msg, fg_color=-1, bg_color=-1, effect=-1):
        """Logs msg at WARN, as warn() does. Raises as warn() does."""
        logger_say(self, level_enum.warn, msg, fg_color, bg_color, effect)

    @cython.embedsignature(False)
    def exception(self, str msg, fg_color=-1, bg_color=-1, effect=-1):
        """Logs msg at ERROR followed by the traceback of the exception being handled, if any.
        Raises as error() does."""
        check_built(self)
        if deref(self.handle).should_log(level_enum.err):
            msg = with_traceback(msg)
        logger_say(self, level_enum.err, msg, fg_color, bg_color, effect)

    @cython.embedsignature(False)
    def log(self, level, str msg, fg_color=-1, bg_color=-1, effect=-1):
        """Logs msg at `level`, a Level from TRACE to CRITICAL. Raises ValueError for any other
        level, and as the level methods do."""
        logger_say(self, message_level(level), msg, fg_color, bg_color, effect)

    @cython.embedsignature(False)
    def flush(self):
        """Writes out what the logger's sinks buffer (file sinks keep levels below ERROR, for at
        most a second)."""
        check_built(self)
        flush_logger(deref(self.handle))


cdef class DefaultLogger:
    """DefaultLogger()"""

    cpdef void trace(self, str msg, int fg_color=-1, int bg_color=-1, int effect=-1) except *:
        log_colored_to_default(level_enum.trace, msg, fg_color, bg_color, effect)

    cpdef void debug(self, str msg, int fg_color=-1, int bg_color=-1, int effect=-1) except *:
        log_colored_to_default(level_enum.debug, msg, fg_color, bg_color, effect)

    cpdef void info(self, str msg, int fg_color=-1, int bg_color=-1, int effect=-1) except *:
        log_colored_to_default(level_enum.info, msg, fg_color, bg_color, effect)

    cpdef void warn(self, str msg, int fg_color=-1, int bg_color=-1, int effect=-1) except *:
        log_colored_to_default(level_enum.warn, msg, fg_color, bg_color, effect)

    cpdef void error(self, str msg, int fg_color=-1, int bg_color=-1, int effect=-1) except *:
        log_colored_to_default(level_enum.err, msg, fg_color, bg_color, effect)

    cpdef void critical(self, str msg, int fg_color=-1, int bg_color=-1, int effect=-1) except *:
        log_colored_to_default(level_enum.critical, msg, fg_color, bg_color, effect)

    @cython.embedsignature(False)
    def warning(self, str msg, fg_color=-1, bg_color=-1, effect=-1):
        """Logs msg at WARN to the current default logger, as warn() does. Raises as warn() does."""
        default_say(level_enum.warn, msg, fg_color, bg_color, effect)

    @cython.embedsignature(False)
    def exception(self, str msg, fg_color=-1, bg_color=-1, effect=-1):
        """Logs msg at ERROR to the current default logger, followed by the traceback of the
        exception being handled, if any. Raises as error() does."""
        if deref(default_logger()).should_log(level_enum.err):
            msg = with_traceback(msg)
        default_say(level_enum.err, msg, fg_color, bg_color, effect)

    @cython.embedsignature(False)
    def log(self, level, str msg, fg_color=-1, bg_color=-1, effect=-1):
        """Logs msg at `level`, a Level from TRACE to CRITICAL, to the current default logger.
        Raises ValueError for any other level, and as the level methods do."""
        default_say(message_level(level), msg, fg_color, bg_color, effect)

    @cython.embedsignature(False)
    def flush(self):
        """Writes out what the current default logger's sinks buffer."""
        flush_logger(deref(default_logger()))


# ---------------------------------------------------------------------------------------------
# Python faces of the level methods and integer fields.
#
# The Python wrapper Cython makes for a cpdef method converts the arguments as the C signature
# types them, and so does the attribute it makes for a public C field: through __int__. Those
# entries of the classes' dictionaries are replaced by faces that take only integers, leaving the
# native tables, the C signatures and the fields (so the pickled state and its checksums) as Cython
# made them. A native call on a Python subclass without a level method of its own now finds the
# face instead of Cython's wrapper and reaches the native body through it, by a Python call.

# The attribute Cython made for a C integer field, setting only integers.
cdef object integer_field(object field):
    return property(field.__get__, lambda obj, value: field.__set__(obj, exact_integer(value)),
                    field.__delete__, field.__doc__)


# Each face names itself in Cython's argument errors ("info() got an unexpected keyword
# argument"), as the wrapper it replaces did; the bodies are shared.
cdef inline int logger_say(Logger self, level_enum level, str msg, fg_color, bg_color, effect) except -1:
    cdef int fg = to_int(fg_color), bg = to_int(bg_color), fx = to_int(effect)
    check_built(self)
    log_colored(deref(self.handle), level, msg, fg, bg, fx)
    return 0


# The logger a DefaultLogger writes to now.
cdef shared_ptr[logger] default_logger() except *:
    cdef shared_ptr[logger] current = LoggerRegistry.get_logger(b"", True)
    if current.get() == NULL:
        raise RuntimeError("no default logger")
    return current


# A level a message can be logged at: OFF and values outside the members are refused.
cdef level_enum message_level(object level) except *:
    cdef int value = to_int(level)
    if not 0 <= value < <int>level_enum.off:
        raise ValueError(f"{Level(value)!r} is no level to log at")  # Level() refuses non-members
    return <level_enum>value


# msg with the traceback of the exception being handled appended, as logging.exception() does.
cdef str with_traceback(str msg):
    # What sys.exception() gives, without looking the function up: a new reference, or NULL.
    cdef PyObject* current = PyErr_GetHandledException()
    if current == NULL:
        return msg
    handled = <object>current
    Py_XDECREF(current)  # `handled` holds a reference of its own
    if msg is None:
        return msg
    return msg + "\n" + "".join(traceback.format_exception(handled)).rstrip("\n")


cdef inline int default_say(level_enum level, str msg, fg_color, bg_color, effect) except -1:
    cdef int fg = to_int(fg_color), bg = to_int(bg_color), fx = to_int(effect)
    log_colored_to_default(level, msg, fg, bg, fx)
    return 0


cdef tuple logger_faces():
    def trace(Logger self, str msg, fg_color=-1, bg_color=-1, effect=-1):
        logger_say(self, level_enum.trace, msg, fg_color, bg_color, effect)
    def debug(Logger self, str msg, fg_color=-1, bg_color=-1, effect=-1):
        logger_say(self, level_enum.debug, msg, fg_color, bg_color, effect)
    def info(Logger self, str msg, fg_color=-1, bg_color=-1, effect=-1):
        logger_say(self, level_enum.info, msg, fg_color, bg_color, effect)
    def warn(Logger self, str msg, fg_color=-1, bg_color=-1, effect=-1):
        logger_say(self, level_enum.warn, msg, fg_color, bg_color, effect)
    def error(Logger self, str msg, fg_color=-1, bg_color=-1, effect=-1):
        logger_say(self, level_enum.err, msg, fg_color, bg_color, effect)
    def critical(Logger self, str msg, fg_color=-1, bg_color=-1, effect=-1):
        logger_say(self, level_enum.critical, msg, fg_color, bg_color, effect)
    return trace, debug, info, warn, error, critical


cdef tuple default_logger_faces():
    def trace(DefaultLogger self, str msg, fg_color=-1, bg_color=-1, effect=-1):
        default_say(level_enum.trace, msg, fg_color, bg_color, effect)
    def debug(DefaultLogger self, str msg, fg_color=-1, bg_color=-1, effect=-1):
        default_say(level_enum.debug, msg, fg_color, bg_color, effect)
    def info(DefaultLogger self, str msg, fg_color=-1, bg_color=-1, effect=-1):
        default_say(level_enum.info, msg, fg_color, bg_color, effect)
    def warn(DefaultLogger self, str msg, fg_color=-1, bg_color=-1, effect=-1):
        default_say(level_enum.warn, msg, fg_color, bg_color, effect)
    def error(DefaultLogger self, str msg, fg_color=-1, bg_color=-1, effect=-1):
        default_say(level_enum.err, msg, fg_color, bg_color, effect)
    def critical(DefaultLogger self, str msg, fg_color=-1, bg_color=-1, effect=-1):
        default_say(level_enum.critical, msg, fg_color, bg_color, effect)
    return trace, debug, info, warn, error, critical


# Each face takes the qualified name and docstring of the wrapper it replaces.
cdef int install_level_faces(type cls, tuple faces) except -1:
    for face in faces:
        wrapper = cls.__dict__[face.__name__]
        face.__qualname__, face.__doc__ = wrapper.__qualname__, wrapper.__doc__
        replace_in_class(cls, face.__name__, face)
    return 0


cdef int install_faces() except -1:
    for cls, names in ((LogHandler, ("level",)), (StdoutHandler, ("max_level",)),
                       (ConsoleHandler, ("max_stdout_level", "min_level")),
                       (RotatingFileHandler, ("max_size", "max_files")),
                       (ColorScheme, ("trace_color", "debug_color", "info_color", "warn_color",
                                      "error_color", "critical_color"))):
        for name in names:
            replace_in_class(cls, name, integer_field(cls.__dict__[name]))
    install_level_faces(Logger, logger_faces())
    install_level_faces(DefaultLogger, default_logger_faces())
    return 0


install_faces()


# ---------------------------------------------------------------------------------------------
# Signatures for inspect.signature(), which finds none for an extension type: each class's is read
# from the constructor text it documents.

cdef dict LOGGING_TYPES = C_TYPES | {"Level": int, "list": list, "ColorScheme": ColorScheme}


# The loggers' methods show their parameters through the functions Cython made; these are the
# Python types of those parameters.
cdef dict LOGGER_PARAMETER_TYPES = {"level": int, "msg": str, "fg_color": int, "bg_color": int,
                                    "effect": int}


cdef int install_signatures() except -1:
    for cls in (LogHandler, StdoutHandler, StderrHandler, BasicConsoleHandler, ConsoleHandler,
                FileHandler, RotatingFileHandler, ColorScheme, Logger, DefaultLogger):
        replace_in_class(cls, "__signature__",
                         DocumentedSignature(cls, LOGGING_TYPES, names={"Level": globals()["Level"]}))
    for cls in (Logger, DefaultLogger):
        for name in ("trace", "debug", "info", "warn", "error", "critical", "warning", "exception",
                     "log", "flush"):
            method = cls.__dict__[name]
            annotations = {parameter: LOGGER_PARAMETER_TYPES[parameter]
                           for parameter in _inspect.signature(method).parameters
                           if parameter != "self"}
            annotations["return"] = None
            method.__annotations__ = annotations
    PyLogHandler.__init__.__annotations__ = {"level": int, "return": None}
    PyLogHandler.emit.__annotations__ = {"record": py_logging.LogRecord, "return": None}
    return 0


install_signatures()
for _cls in (LogHandler, StdoutHandler, StderrHandler, BasicConsoleHandler, ConsoleHandler, FileHandler,
             RotatingFileHandler, ColorScheme, Logger, DefaultLogger):
    guard_methods(_cls)
del _cls

__all__ = ["BasicConsoleHandler", "ColorScheme", "ConsoleHandler", "DefaultLogger", "FileHandler",
           "Level", "LogHandler", "Logger", "PyLogHandler", "RotatingFileHandler", "StderrHandler",
           "StdoutHandler"]


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

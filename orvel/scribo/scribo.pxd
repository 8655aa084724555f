# Native interface of orvel.scribo.scribo for other extension modules:
#
#     from orvel.scribo.scribo cimport Logger, DefaultLogger, get_logger, get_logger_ptr
#
# Every function and level method here is called with the interpreter lock held and reports
# failure through the Python exception state only. The order of the methods is the order of
# the slots in the classes' native tables (__pyx_vtable__) and must not change.
from libcpp.memory cimport shared_ptr

from orvel.scribo.libscribo cimport LoggerFactory, SpdLogger, logger


cdef class Logger:
    cdef LoggerFactory factory  # unused (construction has a factory of its own); kept for the layout
    cdef SpdLogger handle
    cdef shared_ptr[logger] built

    # A copy of the handle; copies share the logger.
    cdef SpdLogger spd_logger(self) noexcept
    cpdef void trace(self, str msg, int fg_color=*, int bg_color=*, int effect=*) except *
    cpdef void debug(self, str msg, int fg_color=*, int bg_color=*, int effect=*) except *
    cpdef void info(self, str msg, int fg_color=*, int bg_color=*, int effect=*) except *
    cpdef void warn(self, str msg, int fg_color=*, int bg_color=*, int effect=*) except *
    cpdef void error(self, str msg, int fg_color=*, int bg_color=*, int effect=*) except *
    cpdef void critical(self, str msg, int fg_color=*, int bg_color=*, int effect=*) except *


# Writes to whichever logger is the default at the time of each call.
cdef class DefaultLogger:
    cpdef void trace(self, str msg, int fg_color=*, int bg_color=*, int effect=*) except *
    cpdef void debug(self, str msg, int fg_color=*, int bg_color=*, int effect=*) except *
    cpdef void info(self, str msg, int fg_color=*, int bg_color=*, int effect=*) except *
    cpdef void warn(self, str msg, int fg_color=*, int bg_color=*, int effect=*) except *
    cpdef void error(self, str msg, int fg_color=*, int bg_color=*, int effect=*) except *
    cpdef void critical(self, str msg, int fg_color=*, int bg_color=*, int effect=*) except *


# The logger spdlog's own registry holds under `name`, or an empty handle. Raises (and returns an
# empty handle) when the lookup throws, for instance for a null name.
cdef SpdLogger get_logger_by_name(const char* name) except *

# The logger LoggerRegistry gives for `name` ("" is the default logger; `flag` is not consulted).
# The reference is to storage of the calling thread, valid until its next call. None or a name
# that does not encode raises and gives an empty pointer.
cdef shared_ptr[logger]& get_logger_ptr(str name=*, bint flag=*) except *

# Makes `out` hold the logger get_logger_ptr would give; on failure `out` is left as it was.
cdef void get_logger(SpdLogger& out, str name=*, bint flag=*) except *

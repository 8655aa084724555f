# Declarations of the logging core library (libscribo.so.0) and of the spdlog types it hands out.
from libcpp cimport bool
from libcpp.memory cimport shared_ptr
from libcpp.string cimport string


cdef extern from "spdlog/common.h" namespace "spdlog::level" nogil:
    enum level_enum:
        trace
        debug
        info
        warn
        err
        critical
        off


cdef extern from "spdlog/logger.h" namespace "spdlog" nogil:
    cppclass logger:
        const string& name() const
        bool should_log(level_enum msg_level) const
        void flush() except +


cdef extern from "spdlog/spdlog.h" namespace "spdlog" nogil:
    # spdlog's own registry, not LoggerRegistry.
    shared_ptr[logger] get(const string& name) except +


# Translates C++ exceptions as Cython does, and a file that cannot be opened into the OSError its
# errno names; defined in the orvel.scribo.scribo module.
cdef extern from "orvel/scribo/python_error.hpp" namespace "orvel::binding":
    void raise_current_exception()


cdef extern from "scribo/logger_factory.hpp" namespace "scribo" nogil:
    cppclass LoggerFactory:
        LoggerFactory()
        void set_level(level_enum threshold) except +
        void add_stdout_handler(bool color, const string& pattern, level_enum min_level,
                                level_enum max_level) except +
        void add_stderr_handler(bool color, const string& pattern, level_enum min_level) except +
        void add_console_handler(bool color, const string& pattern, level_enum max_stdout_level,
                                 level_enum min_level) except +
        void add_basic_console_handler(bool color, const string& pattern, level_enum min_level) except +
        void add_file_handler(const string& filename, const string& pattern, level_enum min_level,
                              bool overwrite) except +raise_current_exception
        void add_rotating_file_handler(const string& filename, unsigned long max_size,
                                       unsigned long max_files, const string& pattern,
                                       level_enum min_level) except +raise_current_exception
        void set_colors(int trace, int debug, int info, int warn, int error, int critical) except +
        @staticmethod
        void check_rotation(unsigned long max_size, unsigned long max_files) except +
        shared_ptr[logger] build(const string& name, bool register_by_name) except +


cdef extern from "scribo/logger_registry.hpp" namespace "scribo" nogil:
    cppclass LoggerRegistry:
        @staticmethod
        void set_default(shared_ptr[logger] logger) noexcept
        @staticmethod
        shared_ptr[logger] get_logger(const string& name, bool or_default) noexcept


# The handle is named unqualified: that is how the exported signatures spell it.
cdef extern from "orvel/scribo/handles.hpp" nogil:
    cppclass SpdLogger:
        SpdLogger() noexcept
        SpdLogger(shared_ptr[logger] logger) noexcept
        logger& operator*() noexcept
        logger* get() noexcept
        const shared_ptr[logger]& shared() noexcept

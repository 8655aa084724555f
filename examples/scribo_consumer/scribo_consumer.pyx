"""Logs through orvel.scribo the way any extension module can: through the native tables of
Logger and DefaultLogger and the exported C-level functions, without Python calls."""
from orvel.scribo.libscribo cimport SpdLogger
from orvel.scribo.scribo cimport DefaultLogger, Logger, get_logger, get_logger_by_name, get_logger_ptr


def info(Logger logger, str msg, int fg_color=-1):
    """logger.info through the native table: a Python subclass's override receives the call."""
    logger.info(msg, fg_color)


def warn_default(DefaultLogger logger, str msg):
    logger.warn(msg)


def handle_name(Logger logger):
    """The name of the spdlog logger behind `logger`, read through its handle."""
    return logger.spd_logger().get().name().decode()


def spdlog_registry_name(bytes name):
    """The name of the logger spdlog's registry holds under `name`, or None."""
    cdef SpdLogger found = get_logger_by_name(name)
    return None if found.get() == NULL else found.get().name().decode()


def registry_name(name=""):
    """The name of the logger LoggerRegistry gives for `name`."""
    return get_logger_ptr(name).get().name().decode()


def default_is(Logger logger):
    """Whether `logger` is the default logger, asked both ways."""
    cdef SpdLogger out
    get_logger(out)
    return out.get() == logger.spd_logger().get() and get_logger_ptr().get() == out.get()


def get_logger_keeps_output_on_failure(Logger logger, name):
    """get_logger with a failing name: the error, and whether the output still holds `logger`."""
    cdef SpdLogger out = logger.spd_logger()
    try:
        get_logger(out, name)
    except Exception as error:
        return error, out.get() == logger.spd_logger().get()
    return None, out.get() == logger.spd_logger().get()

#pragma once

// orvel.scribo's loggers for C++ extension modules that do not use Cython: the three lookups
// orvel.scribo.scribo exports. They hand out the spdlog loggers that orvel's modules log through,
// so a module that logs with them compiles against spdlog's headers and links the libspdlog that
// libscribo.so.0 links (one copy per process: one registry).
//
//   #include <orvel/native_logging.hpp>
//
//   if (orvel::native::import_logging() < 0) return nullptr;        // in the module's init
//   std::shared_ptr<spdlog::logger> log = orvel::native::logger("service");
//   log->info("ready");                                             // from any thread
//
// The lookups need the interpreter lock and report failure through a Python exception only; the
// loggers they return log from any thread, with or without it.

#include <Python.h>

#include <memory>

#include <spdlog/logger.h>

#include "orvel/native.hpp"
#include "scribo/spd_logger.hpp"

namespace orvel::native {

// The optional arguments of get_logger_ptr and get_logger: `count` says how many of the fields
// after it are given (0 to 2). Without it, or with 0, the name is "" (the default logger).
struct LoggerLookup {
  int count;
  PyObject* name;  // a str
  int flag;        // not consulted
};

struct LoggingApi {
  // The logger spdlog's own registry holds under `name`, or an empty handle.
  scribo::SpdLogger (*get_logger_by_name)(const char* name);
  // The logger registered under the name in libscribo's registry, or else the default logger
  // (the last orvel.scribo.Logger built with set_default=True). The reference is to storage of
  // the calling thread, valid until its next call; copy it.
  std::shared_ptr<spdlog::logger>& (*get_logger_ptr)(LoggerLookup* lookup);
  // Makes `out` hold what get_logger_ptr would give; on failure `out` keeps what it held.
  void (*get_logger)(scribo::SpdLogger& out, LoggerLookup* lookup);
};

// The functions from here on stay inside the module that includes them, as native.hpp's do: each
// module checks the functions it imports.
#pragma GCC visibility push(hidden)

namespace detail {

inline LoggingApi& logging_storage() noexcept {
  static LoggingApi api{};
  return api;
}

}  // namespace detail

// Imports orvel.scribo.scribo and fills logging_api(), checking each function's signature. With
// the interpreter lock, once (again does nothing). Returns 0, or -1 with ImportError (or the
// import's own error) set.
inline int import_logging() noexcept {
  LoggingApi& api = detail::logging_storage();
  if (api.get_logger != nullptr) return 0;
  PyObject* module = PyImport_ImportModule("orvel.scribo.scribo");
  if (module == nullptr) return -1;
  LoggingApi found{};
  // The capsule names are the signatures as the exporting module spells them.
  bool imported =
      detail::import_function(module, "get_logger_by_name", "SpdLogger (char const *)", found.get_logger_by_name) &&
      detail::import_function(module, "get_logger_ptr",
                              "std::shared_ptr<spdlog::logger>  &(struct "
                              "__pyx_opt_args_5orvel_6scribo_6scribo_get_logger_ptr *__pyx_optional_args)",
                              found.get_logger_ptr) &&
      detail::import_function(module, "get_logger",
                              "void (SpdLogger &, struct __pyx_opt_args_5orvel_6scribo_6scribo_get_logger "
                              "*__pyx_optional_args)",
                              found.get_logger);
  Py_DECREF(module);
  if (!imported) return -1;
  api = found;
  return 0;
}

// The table import_logging() filled.
inline const LoggingApi& logging_api() noexcept { return detail::logging_storage(); }

// With the interpreter lock: get_logger_ptr for `name` (UTF-8), as a shared pointer of the
// caller's; null with a Python exception set on failure.
inline std::shared_ptr<spdlog::logger> logger(const char* name) noexcept {
  PyObject* text = PyUnicode_FromString(name);
  if (text == nullptr) return nullptr;
  LoggerLookup lookup{1, text, 0};
  std::shared_ptr<spdlog::logger> found = logging_api().get_logger_ptr(&lookup);  // empty on failure
  Py_DECREF(text);
  return found;
}

#pragma GCC visibility pop

}  // namespace orvel::native

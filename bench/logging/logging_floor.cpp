// Floors for bench_logging.py, both writing to a basic file sink with the caller's pattern:
//   spdlog_loop(path, pattern, message, count) -> seconds: spdlog called `count` times from C++.
//   open(path, pattern), info(message), error(message), close(): the least any Python-facing
//   logger does per message: take the caller's file, line and function and hand them to spdlog
//   with the text. The file is flushed after each error, as orvel's loggers flush theirs.
#include <Python.h>

#include <chrono>
#include <exception>
#include <memory>

#include <spdlog/logger.h>
#include <spdlog/sinks/basic_file_sink.h>

namespace {

std::shared_ptr<spdlog::logger> file_logger(const char* path, const char* pattern) {
  auto logger = std::make_shared<spdlog::logger>("bench", std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, true));
  logger->set_pattern(pattern);
  logger->flush_on(spdlog::level::err);
  return logger;
}

PyObject* raise(const std::exception& error) {
  PyErr_SetString(PyExc_RuntimeError, error.what());
  return nullptr;
}

PyObject* spdlog_loop(PyObject*, PyObject* args) {
  const char* path;
  const char* pattern;
  const char* message;
  Py_ssize_t count;
  if (!PyArg_ParseTuple(args, "sssn", &path, &pattern, &message, &count)) return nullptr;
  try {
    const auto start = std::chrono::steady_clock::now();
    {
      auto logger = file_logger(path, pattern);
      const spdlog::source_loc where{"bench.cpp", __LINE__, "spdlog_loop"};
      for (Py_ssize_t i = 0; i < count; ++i) logger->log(where, spdlog::level::info, message);
    }  // closing the file flushes it, as the other contenders do
    return PyFloat_FromDouble(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  } catch (const std::exception& error) {
    return raise(error);
  }
}

std::shared_ptr<spdlog::logger> minimal;

PyObject* open(PyObject*, PyObject* args) {
  const char* path;
  const char* pattern;
  if (!PyArg_ParseTuple(args, "ss", &path, &pattern)) return nullptr;
  try {
    minimal = file_logger(path, pattern);
  } catch (const std::exception& error) {
    return raise(error);
  }
  Py_RETURN_NONE;
}

PyObject* log_at_caller(spdlog::level::level_enum level, PyObject* message) {
  const char* text = PyUnicode_AsUTF8(message);
  PyFrameObject* frame = PyEval_GetFrame();
  if (text == nullptr || frame == nullptr || !minimal) return nullptr;
  PyCodeObject* code = PyFrame_GetCode(frame);
  const spdlog::source_loc where{PyUnicode_AsUTF8(code->co_filename), PyFrame_GetLineNumber(frame),
                                 PyUnicode_AsUTF8(code->co_name)};
  Py_DECREF(code);  // the running frame keeps it, and so the strings
  try {
    minimal->log(where, level, text);
  } catch (const std::exception& error) {
    return raise(error);
  }
  Py_RETURN_NONE;
}

PyObject* info(PyObject*, PyObject* message) { return log_at_caller(spdlog::level::info, message); }

PyObject* error(PyObject*, PyObject* message) { return log_at_caller(spdlog::level::err, message); }

PyObject* close(PyObject*, PyObject*) {
  minimal.reset();
  Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"spdlog_loop", spdlog_loop, METH_VARARGS, "spdlog_loop(path, pattern, message, count) -> seconds"},
    {"open", open, METH_VARARGS, "open(path, pattern): the file that info writes to"},
    {"info", info, METH_O, "info(message): logs at the caller's location"},
    {"error", error, METH_O, "error(message): logs at the caller's location and flushes"},
    {"close", close, METH_NOARGS, "close(): flushes and closes the file"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "logging_floor", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_logging_floor() { return PyModule_Create(&module); }

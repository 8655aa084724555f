#include <Python.h>  // first, as Python requires

#include "orvel/scribo/python_location.hpp"

#include <cstring>
#include <exception>
#include <string_view>
#include <utility>

#include "scribo/logger_registry.hpp"

namespace orvel::dispatch {
namespace {

constexpr spdlog::source_loc unknown_location{"<unknown>", 0, "<module>"};

class Gil {
 public:
  Gil() : state_(PyGILState_Ensure()) {}
  ~Gil() { PyGILState_Release(state_); }
  Gil(const Gil&) = delete;
  Gil& operator=(const Gil&) = delete;

 private:
  PyGILState_STATE state_;
};

// An owned reference.
template <class T>
class Ref {
 public:
  explicit Ref(T* owned = nullptr) noexcept : ptr_(owned) {}
  static Ref borrow(T* ptr) noexcept {
    Py_XINCREF(ptr);
    return Ref(ptr);
  }
  Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  ~Ref() { Py_XDECREF(ptr_); }
  void swap(Ref& other) noexcept { std::swap(ptr_, other.ptr_); }
  T* get() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

 private:
  T* ptr_;
};

using Frame = Ref<PyFrameObject>;

Frame back_of(const Frame& frame) { return Frame(PyFrame_GetBack(frame.get())); }

// UTF-8 of a str (cached in the object), or null when `text` is no str or does not encode.
const char* utf8_or_null(PyObject* text) {
  if (text == nullptr || !PyUnicode_Check(text)) return nullptr;
  const char* utf8 = PyUnicode_AsUTF8(text);
  if (utf8 == nullptr) PyErr_Clear();
  return utf8;
}

bool in_logging_package(const Frame& frame) {
  const Ref<PyCodeObject> code(PyFrame_GetCode(frame.get()));
  const char* path = code ? utf8_or_null(code.get()->co_filename) : nullptr;
  return path != nullptr && std::strstr(path, "logging") != nullptr && std::strstr(path, "__init__.py") != nullptr;
}

spdlog::source_loc location_of(PyFrameObject* frame) {
  const Ref<PyCodeObject> code(PyFrame_GetCode(frame));
  if (!code) return unknown_location;
  const char* path = utf8_or_null(code.get()->co_filename);
  const char* slash = path ? std::strrchr(path, '/') : nullptr;
  const char* function = utf8_or_null(code.get()->co_name);
  return {path == nullptr ? "<unknown>" : slash ? slash + 1 : path, PyFrame_GetLineNumber(frame),
          function == nullptr ? "<module>" : function};
}

// Thrown with the Python exception set; Cython's translation of C++ exceptions passes that on.
class PythonErrorSet final : public std::exception {
 public:
  const char* what() const noexcept override { return "Python exception set"; }
};

// A message is a str; None fails as encoding it would (the level methods let None through).
void require_text(PyObject* msg) {
  if (msg == Py_None) {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "encode");
    throw PythonErrorSet();
  }
  if (!PyUnicode_Check(msg)) {
    PyErr_Format(PyExc_TypeError, "a log message must be str, not %.200s", Py_TYPE(msg)->tp_name);
    throw PythonErrorSet();
  }
}

// The UTF-8 of a str, every character kept. A str without lone surrogates is read in place (the
// interpreter keeps its UTF-8 with it); one with them is encoded anew, the surrogates escaped.
class Utf8Text {
 public:
  explicit Utf8Text(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
      view_ = {utf8, static_cast<std::size_t>(size)};
      return;
    }
    PyErr_Clear();  // UnicodeEncodeError: a lone surrogate
    escaped_ = Ref<PyObject>(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
    if (!escaped_) throw PythonErrorSet();
    view_ = {PyBytes_AS_STRING(escaped_.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(escaped_.get()))};
  }

  std::string_view view() const noexcept { return view_; }

 private:
  Ref<PyObject> escaped_;
  std::string_view view_;
};

// python_caller_location for a thread known to hold the interpreter lock.
spdlog::source_loc caller_location_holding_gil() {
  PyFrameObject* innermost = PyEval_GetFrame();  // borrowed
  return innermost == nullptr ? unknown_location : location_of(innermost);
}

}  // namespace

spdlog::source_loc python_caller_location() {
  const Gil gil;
  return caller_location_holding_gil();
}

spdlog::source_loc python_logging_caller_location() {
  const Gil gil;
  PyFrameObject* innermost = PyEval_GetFrame();  // borrowed
  if (innermost == nullptr) return unknown_location;
  Frame caller(PyFrame_GetBack(innermost));
  while (caller && in_logging_package(caller)) caller = back_of(caller);
  return location_of(caller ? caller.get() : innermost);
}

namespace {

// Called from Python, so holding the interpreter lock: the location needs no Gil of its own.
void log_text(spdlog::logger& logger, level lvl, PyObject* msg, int fg, int bg, int effect) {
  if (!logger.should_log(lvl)) return;  // then the text is not even read
  log_colored(logger, lvl, Utf8Text(msg).view(), fg, bg, effect, &caller_location_holding_gil);
}

}  // namespace

void log_colored(spdlog::logger& logger, level lvl, PyObject* msg, int fg, int bg, int effect) {
  require_text(msg);
  log_text(logger, lvl, msg, fg, bg, effect);
}

void log_colored_to_default(level lvl, PyObject* msg, int fg, int bg, int effect) {
  require_text(msg);  // before the lookup, as encoding came before it
  log_text(*scribo::LoggerRegistry::get_logger("", true), lvl, msg, fg, bg, effect);
}

void log_record_to_default(level lvl, PyObject* msg) {
  require_text(msg);
  const auto logger = scribo::LoggerRegistry::get_logger("", true);
  if (!logger->should_log(lvl)) return;
  log_plain(*logger, lvl, Utf8Text(msg).view(), &python_logging_caller_location);
}

}  // namespace orvel::dispatch

#include <Python.h>  // first, as Python requires

#include "orvel/scribo/python_location.hpp"

#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

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

bool in_logging_package(const char* path) {
  return path != nullptr && std::strstr(path, "logging") != nullptr && std::strstr(path, "__init__.py") != nullptr;
}

bool in_logging_package(const Frame& frame) {
  const Ref<PyCodeObject> code(PyFrame_GetCode(frame.get()));
  return code && in_logging_package(utf8_or_null(code.get()->co_filename));
}

// The file's base name and the function's name of a code object, as a location names them.
const char* file_name_of(PyCodeObject* code) {
  const char* path = utf8_or_null(code->co_filename);
  if (path == nullptr) return "<unknown>";
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

const char* function_name_of(PyCodeObject* code) {
  const char* function = utf8_or_null(code->co_name);
  return function == nullptr ? "<module>" : function;
}

// A trace function may set a frame's line of its own, which PyFrame_GetLineNumber reports while
// it is set; with none installed on this thread, a frame's line follows from its code and offset.
bool tracing() { return PyThreadState_Get()->c_tracefunc != nullptr; }

// What a code object tells every log call made from it, worked out once per code object and per
// call site and kept with the code object (its co_extra slot frees it with the code). Finding the
// line of an instruction walks the code's line table from its start, the dearest part of a
// location.
class CodeLocation {
 public:
  explicit CodeLocation(PyCodeObject* code)
      : file_(file_name_of(code)), function_(function_name_of(code)),
        lines_(static_cast<std::size_t>(Py_SIZE(code)), kUnknownLine) {}

  // Null when the code object holds none and none can be attached.
  static CodeLocation* of(PyCodeObject* code);

  spdlog::source_loc at(PyFrameObject* frame) { return {file_, line_at(frame), function_}; }

 private:
  static constexpr int kUnknownLine = std::numeric_limits<int>::min();

  int line_at(PyFrameObject* frame) {
    const int offset = PyFrame_GetLasti(frame);  // in bytes; negative before the first instruction
    const auto unit = static_cast<std::size_t>(offset) / sizeof(_Py_CODEUNIT);
    if (offset < 0 || unit >= lines_.size() || tracing()) return PyFrame_GetLineNumber(frame);
    int& line = lines_[unit];
    if (line == kUnknownLine) line = PyFrame_GetLineNumber(frame);
    return line;
  }

  const char* file_;      // in the UTF-8 of co_filename and co_name, which the code object keeps
  const char* function_;
  std::vector<int> lines_;  // by instruction (code unit); kUnknownLine until a call is made there
};

CodeLocation* CodeLocation::of(PyCodeObject* code) {
  static const Py_ssize_t slot = PyUnstable_Eval_RequestCodeExtraIndex(
      [](void* location) { delete static_cast<CodeLocation*>(location); });
  auto* object = reinterpret_cast<PyObject*>(code);
  void* found = nullptr;
  if (slot < 0 || PyUnstable_Code_GetExtra(object, slot, &found) < 0) {
    PyErr_Clear();
    return nullptr;
  }
  if (found != nullptr) return static_cast<CodeLocation*>(found);
  auto made = std::make_unique<CodeLocation>(code);  // bad_alloc reaches Python as MemoryError
  if (PyUnstable_Code_SetExtra(object, slot, made.get()) < 0) {
    PyErr_Clear();
    return nullptr;
  }
  return made.release();
}

spdlog::source_loc location_of(PyFrameObject* frame) {
  const Ref<PyCodeObject> code(PyFrame_GetCode(frame));  // the running frame keeps it alive after
  if (!code) return unknown_location;
  if (CodeLocation* known = CodeLocation::of(code.get())) return known->at(frame);
  return {file_name_of(code.get()), PyFrame_GetLineNumber(frame), function_name_of(code.get())};
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

// The innermost frame outside the logging package: the code that called into it, or that called
// the handler's emit itself. None when the package was called from native code with no Python
// code behind it: a line of the package's own would name no place of the user's.
spdlog::source_loc logging_caller_location_holding_gil() {
  Frame frame = Frame::borrow(PyEval_GetFrame());
  while (frame && in_logging_package(frame)) frame = back_of(frame);
  return frame ? location_of(frame.get()) : unknown_location;
}

// Where a record of the standard logging package was logged, as the package found it (honouring
// stacklevel, and on whichever thread the record was made); the strings belong to the record,
// which outlives the dispatch. A record that names no place (the package's lookup turned off, a
// record made by hand), or a place in the package itself (which it names when nothing called it
// from Python), is located by the frame walk. Interpreter lock held.
class RecordLocation {
 public:
  explicit RecordLocation(PyObject* record)
      : path_(PyObject_GetAttrString(record, "pathname")), function_(PyObject_GetAttrString(record, "funcName")) {
    const Ref<PyObject> line(PyObject_GetAttrString(record, "lineno"));
    line_ = line && PyLong_Check(line.get()) ? PyLong_AsLong(line.get()) : 0;
    PyErr_Clear();  // a missing attribute, or a line out of range, names no place
  }

  spdlog::source_loc get() const {
    const char* path = utf8_or_null(path_.get());
    const char* function = utf8_or_null(function_.get());
    if (path == nullptr || function == nullptr || line_ <= 0 || line_ > std::numeric_limits<int>::max() ||
        in_logging_package(path)) {
      return logging_caller_location_holding_gil();
    }
    const char* slash = std::strrchr(path, '/');
    return {slash ? slash + 1 : path, static_cast<int>(line_), function};
  }

 private:
  Ref<PyObject> path_, function_;
  long line_;
};

// Called from Python, so holding the interpreter lock: the location needs no Gil of its own.
void log_text(spdlog::logger& logger, level lvl, PyObject* msg, int fg, int bg, int effect) {
  if (!logger.should_log(lvl)) return;  // then the text is not even read
  log_colored(logger, lvl, Utf8Text(msg).view(), fg, bg, effect, &caller_location_holding_gil);
}

}  // namespace

spdlog::source_loc python_caller_location() {
  const Gil gil;
  return caller_location_holding_gil();
}

void log_colored(spdlog::logger& logger, level lvl, PyObject* msg, int fg, int bg, int effect) {
  require_text(msg);
  log_text(logger, lvl, msg, fg, bg, effect);
}

void log_colored_to_default(level lvl, PyObject* msg, int fg, int bg, int effect) {
  require_text(msg);  // before the lookup, as encoding came before it
  log_text(*scribo::LoggerRegistry::get_logger("", true), lvl, msg, fg, bg, effect);
}

void log_record_to_default(level lvl, PyObject* msg, PyObject* record) {
  require_text(msg);
  const auto logger = scribo::LoggerRegistry::get_logger("", true);
  if (!logger->should_log(lvl)) return;
  const RecordLocation where(record);
  log_plain(*logger, lvl, Utf8Text(msg).view(), where.get());
}

}  // namespace orvel::dispatch

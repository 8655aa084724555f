#include <Python.h>  // first, as Python requires

#include "orvel/scribo/python_location.hpp"

#include <cxxabi.h>

#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "orvel/scribo/interpreter_lock.hpp"
#include "orvel/scribo/python_error.hpp"
#include "scribo/logger_registry.hpp"
#include "scribo/record_source.hpp"

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

// The UTF-8 of a str, every character kept. A str without lone surrogates is read in place (the
// interpreter keeps its UTF-8 with it); one with them is encoded anew, the surrogates escaped as
// backslash escapes, as the standard logging package's stream handlers write them (a file name
// that os.fsdecode() gave for bytes that are not UTF-8 holds such surrogates).
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
    if (!escaped_) throw binding::PythonErrorSet();
    view_ = {PyBytes_AS_STRING(escaped_.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(escaped_.get()))};
  }

  std::string_view view() const noexcept { return view_; }

 private:
  Ref<PyObject> escaped_;
  std::string_view view_;
};

// UTF-8 of a str (escaped as Utf8Text does), or null when `text` is no str or memory ran out.
std::optional<std::string> utf8_of(PyObject* text) {
  if (text == nullptr || !PyUnicode_Check(text)) return std::nullopt;
  try {
    const Utf8Text utf8(text);
    return std::string(utf8.view());
  } catch (const binding::PythonErrorSet&) {
    PyErr_Clear();
    return std::nullopt;
  }
}

// The directory of the standard logging package, with a trailing "/"; set by
// locate_logging_package, empty until then. Code in it, or below it, is the package's.
std::string logging_package_directory;

bool in_logging_package(std::string_view path) {
  const std::string& package = logging_package_directory;
  return !package.empty() && path.substr(0, package.size()) == package;
}

bool in_logging_package(const Frame& frame) {
  const Ref<PyCodeObject> code(PyFrame_GetCode(frame.get()));
  if (!code) return false;
  const auto path = utf8_of(code.get()->co_filename);
  return path && in_logging_package(*path);
}

// The part of a path after its last "/".
std::string base_name(std::string path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file's base name and the function's name of a code object, as a location names them.
std::string file_name_of(PyCodeObject* code) {
  const auto path = utf8_of(code->co_filename);
  return path ? base_name(*path) : "<unknown>";
}

std::string function_name_of(PyCodeObject* code) { return utf8_of(code->co_name).value_or("<module>"); }

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

  spdlog::source_loc at(PyFrameObject* frame) { return {file_.c_str(), line_at(frame), function_.c_str()}; }

 private:
  static constexpr int kUnknownLine = std::numeric_limits<int>::min();
  // An instruction's code unit, the unit of Py_SIZE(code): an opcode byte and an argument byte.
  static constexpr std::size_t kCodeUnitBytes = 2;

  int line_at(PyFrameObject* frame) {
    const int offset = PyFrame_GetLasti(frame);  // in bytes; negative before the first instruction
    const auto unit = static_cast<std::size_t>(offset) / kCodeUnitBytes;
    if (offset < 0 || unit >= lines_.size() || tracing()) return PyFrame_GetLineNumber(frame);
    int& line = lines_[unit];
    if (line == kUnknownLine) line = PyFrame_GetLineNumber(frame);
    return line;
  }

  const std::string file_;
  const std::string function_;
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

// The strings belong to the code object's CodeLocation, alive while the frame runs.
spdlog::source_loc location_of(PyFrameObject* frame) {
  const Ref<PyCodeObject> code(PyFrame_GetCode(frame));  // the running frame keeps it alive after
  if (!code) return unknown_location;
  if (CodeLocation* known = CodeLocation::of(code.get())) return known->at(frame);
  return {"<unknown>", PyFrame_GetLineNumber(frame), "<module>"};  // no room for the names
}

using binding::PythonErrorSet;

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
// stacklevel, and on whichever thread the record was made), and the name of its logger. A record
// that names no place (the package's lookup turned off, a record made by hand), or a place in the
// package itself (which it names when nothing called it from Python), is located by the frame
// walk. The strings are kept here, as the record's attributes may change while the sinks are
// written without the interpreter lock. Interpreter lock held.
class RecordLocation {
 public:
  explicit RecordLocation(PyObject* record) {
    const Ref<PyObject> path(PyObject_GetAttrString(record, "pathname"));
    const Ref<PyObject> function(PyObject_GetAttrString(record, "funcName"));
    const Ref<PyObject> line(PyObject_GetAttrString(record, "lineno"));
    const Ref<PyObject> name(PyObject_GetAttrString(record, "name"));
    const long number = line && PyLong_Check(line.get()) ? PyLong_AsLong(line.get()) : 0;
    PyErr_Clear();  // a missing attribute, or a line out of range, names no place
    path_ = utf8_of(path.get());
    function_ = utf8_of(function.get());
    name_ = utf8_of(name.get());
    line_ = number > 0 && number <= std::numeric_limits<int>::max() ? static_cast<int>(number) : 0;
    if (!path_ || !function_ || line_ == 0 || in_logging_package(*path_)) {
      where_ = logging_caller_location_holding_gil();
    } else {
      path_ = base_name(*path_);
      where_ = {path_->c_str(), line_, function_->c_str()};
    }
  }

  const spdlog::source_loc& where() const noexcept { return where_; }
  // The name of the record's logger, or null.
  const std::optional<std::string>& name() const noexcept { return name_; }

 private:
  std::optional<std::string> path_, function_, name_;
  int line_;
  spdlog::source_loc where_;
};

// Called from Python, so holding the interpreter lock: the location needs no Gil of its own.
void log_text(spdlog::logger& logger, level lvl, PyObject* msg, int fg, int bg, int effect) {
  if (!logger.should_log(lvl)) return;  // then the text is not even read
  log_colored(logger, lvl, Utf8Text(msg).view(), fg, bg, effect, &caller_location_holding_gil, &kInterpreterLock);
}

// Runs `body`, turning what it throws into the Python exception: 0, or -1 with it set. The
// unwinding by which the interpreter ends a thread that retakes its lock while it finalises
// passes on.
template <class Body>
int with_python_errors(Body&& body) {
  try {
    body();
    return 0;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    binding::raise_current_exception();
    return -1;
  }
}

}  // namespace

void locate_logging_package(PyObject* package) {
  const Ref<PyObject> path(PyObject_GetAttrString(package, "__path__"));
  std::string directory;
  if (path && PyList_Check(path.get()) && PyList_GET_SIZE(path.get()) > 0) {
    directory = utf8_of(PyList_GET_ITEM(path.get(), 0)).value_or("");
  }
  PyErr_Clear();  // no __path__: no frame is taken for the package's
  if (!directory.empty() && directory.back() != '/') directory += '/';
  logging_package_directory = std::move(directory);
}

spdlog::source_loc python_caller_location() {
  const Gil gil;
  return caller_location_holding_gil();
}

int log_colored(spdlog::logger& logger, level lvl, PyObject* msg, int fg, int bg, int effect) {
  return with_python_errors([&] {
    require_text(msg);
    log_text(logger, lvl, msg, fg, bg, effect);
  });
}

int log_colored_to_default(level lvl, PyObject* msg, int fg, int bg, int effect) {
  return with_python_errors([&] {
    require_text(msg);  // before the lookup, as encoding came before it
    const auto logger = scribo::LoggerRegistry::get_logger("", true);
    log_text(*logger, lvl, msg, fg, bg, effect);
  });
}

int log_record_to_default(level lvl, PyObject* msg, PyObject* record) {
  return with_python_errors([&] {
    require_text(msg);
    const auto logger = scribo::LoggerRegistry::get_logger("", true);
    if (!logger->should_log(lvl)) return;
    const RecordLocation record_location(record);
    const Utf8Text text(msg);
    const auto& name = record_location.name();
    std::optional<scribo::RecordSource> source;
    if (name) source.emplace(*name);
    log_plain(*logger, lvl, text.view(), record_location.where(), &kInterpreterLock);
  });
}

int flush(spdlog::logger& logger) {
  return with_python_errors([&] {
    void* held = release_interpreter();
    try {
      logger.flush();
    } catch (...) {
      retake_interpreter(held);
      throw;
    }
    retake_interpreter(held);
  });
}

}  // namespace orvel::dispatch

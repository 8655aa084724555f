#include <Python.h>  // first, as Python requires

#include "orvel/scribo/python_location.hpp"

#include <cstring>
#include <utility>

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

bool runs_module_code(const Frame& frame) {
  const Ref<PyCodeObject> code(PyFrame_GetCode(frame.get()));
  if (!code) return false;  // nothing to look at: the search ends here
  PyObject* name = code.get()->co_name;
  return name == nullptr || !PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, "<module>") == 0;
}

bool in_logging_package(const Frame& frame) {
  const Ref<PyCodeObject> code(PyFrame_GetCode(frame.get()));
  const char* path = code ? utf8_or_null(code.get()->co_filename) : nullptr;
  return path != nullptr && std::strstr(path, "logging") != nullptr && std::strstr(path, "__init__.py") != nullptr;
}

spdlog::source_loc location_of(const Frame& frame) {
  const Ref<PyCodeObject> code(PyFrame_GetCode(frame.get()));
  if (!code) return unknown_location;
  const char* path = utf8_or_null(code.get()->co_filename);
  const char* slash = path ? std::strrchr(path, '/') : nullptr;
  const char* function = utf8_or_null(code.get()->co_name);
  return {path == nullptr ? "<unknown>" : slash ? slash + 1 : path, PyFrame_GetLineNumber(frame.get()),
          function == nullptr ? "<module>" : function};
}

spdlog::source_loc caller_location(bool past_logging_package) {
  const Gil gil;
  PyFrameObject* innermost = PyEval_GetFrame();  // borrowed
  if (innermost == nullptr) return unknown_location;

  // The code that called the logging function: F's caller, or F itself when it has none.
  Frame caller(PyFrame_GetBack(innermost));
  if (!caller) caller = Frame::borrow(innermost);
  if (past_logging_package) {
    while (caller && in_logging_package(caller)) caller = back_of(caller);
    if (!caller) caller = Frame::borrow(innermost);
  }
  // Module-level code is passed over; when nothing runs behind it, the place is where that code
  // called in: F for a level method, the first frame outside the logging package for a record.
  PyFrameObject* const fallback = past_logging_package ? caller.get() : innermost;
  Frame frame = Frame::borrow(caller.get());
  while (runs_module_code(frame)) {
    Frame behind = back_of(frame);
    if (!behind) {
      frame = Frame::borrow(fallback);
      break;
    }
    frame = std::move(behind);
  }
  return location_of(frame);
}

}  // namespace

spdlog::source_loc python_caller_location() { return caller_location(false); }

spdlog::source_loc python_logging_caller_location() { return caller_location(true); }

}  // namespace orvel::dispatch

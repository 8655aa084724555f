#pragma once

// C++ exceptions as Python exceptions, for the front end's entry points. Called with the
// interpreter lock held.

#include <exception>

namespace orvel::binding {

// Thrown with the Python exception set already.
class PythonErrorSet final : public std::exception {
 public:
  const char* what() const noexcept override { return "Python exception set"; }
};

// Inside a catch block: sets the Python exception the current C++ exception stands for, as
// Cython's translation does (std::invalid_argument ValueError, std::bad_alloc MemoryError, ...),
// unless one is set already; a scribo::FileError becomes the OSError its errno names
// (FileNotFoundError, PermissionError, ...) with the file's name. Usable as a Cython
// `except +raise_current_exception` handler.
void raise_current_exception();

}  // namespace orvel::binding

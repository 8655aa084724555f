#pragma once

// Python messages as (data, size) for native producers. Each needs the interpreter lock and
// returns 0, or -1 with a Python exception set, *data null and *size left as it was.

#include <Python.h>

#include <cstddef>

namespace orvel::portage {

// The contents of a bytes object (or of an instance of a subclass); TypeError for anything else.
int bytes_contents(PyObject* message, const char** data, std::size_t* size) noexcept;
// The UTF-8 form of a str (cached in the str); TypeError for anything else.
int utf8_contents(PyObject* message, const char** data, std::size_t* size) noexcept;
// A simple contiguous buffer of any exporter, held in `view` until the caller releases it.
int buffer_contents(PyObject* message, Py_buffer* view, const char** data, std::size_t* size) noexcept;
// bytes(message) in *holder, a new reference the caller drops once done with the bytes; null on
// failure.
int bytes_conversion(PyObject* message, PyObject** holder, const char** data, std::size_t* size) noexcept;

}  // namespace orvel::portage

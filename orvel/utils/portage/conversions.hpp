#pragma once

// Python messages as (data, size) for native producers, and records as bytes for the consumers
// that hand them to Python. Everything here needs the interpreter lock. The message conversions
// return 0, or -1 with a Python exception set, *data null and *size left as it was.

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

// Records as bytes, for a consumer that lets go of each record once its callback is done: the
// bytes made last then usually has no holder but this object, and carries the next record of the
// same length instead of a new object freed one record later. Nothing can tell the two apart (a
// bytes object nobody holds cannot be seen changing, and the allocator would most likely hand out
// the same block again); a record the callback keeps is never touched again. Without it, draining
// a full ring into a do-nothing callback took the asyncio reader about 15% longer, and the worker
// spent 94 to 100 ns of CPU time per record against 73 to 85 ns with it.
//
// The owner calls clear() while it holds the lock; destruction does not, as a thread that the
// interpreter's exit ends unwinds without the lock (the bytes kept are then left to the exit).
class RecordBytes {
 public:
  RecordBytes() noexcept = default;
  RecordBytes(const RecordBytes&) = delete;
  RecordBytes& operator=(const RecordBytes&) = delete;

  // The record as a new reference, or null with a Python exception set.
  PyObject* make(const void* data, std::size_t length) noexcept;
  // Lets go of the bytes kept, as large as the last record.
  void clear() noexcept { Py_CLEAR(spare_); }

 private:
  PyObject* spare_ = nullptr;
};

}  // namespace orvel::portage

#pragma once

// RecordBatch, the Python face of a batch (batch_loop.hpp): a sequence of records as bytes, and
// their payload as one read-only contiguous buffer with the offsets and lengths of the records.
//
// A batch owns its storage; nothing in it points into a queue. Whatever it gives out (bytes
// copies, views of its buffer, of its offsets and lengths) keeps it alive, so it stays readable
// for as long as anything holds it, on any thread. A consumer reuses a batch object, and its
// storage, only when nothing but the consumer holds it any more: no reference and no buffer
// export, so the reuse cannot be seen.
//
// Everything here needs the interpreter lock.

#include <Python.h>

#include "orvel/utils/portage/batch_loop.hpp"

namespace orvel::portage {

// The type, made on first use (a borrowed reference, kept for the life of the process), or null
// with an exception set.
PyTypeObject* record_batch_type() noexcept;

// The batch objects of one consumer.
class BatchPool {
 public:
  BatchPool() noexcept = default;
  BatchPool(const BatchPool&) = delete;
  BatchPool& operator=(const BatchPool&) = delete;

  // A batch object holding the records of `filled` (a new reference), or null with an exception
  // set. `filled` gets the storage of a batch nobody holds any more, to be cleared and filled
  // again, or empty storage.
  PyObject* wrap(BatchBuffer& filled) noexcept;
  // Lets go of the batches kept for reuse.
  void clear() noexcept;

 private:
  // The consumer's loop holds at most one batch past its delivery (`async for` keeps the last
  // one until it has the next, a hand-over between tasks one more): three cover every consumer.
  static constexpr int kKept = 3;
  PyObject* kept_[kKept] = {};
  int next_replaced_ = 0;
};

}  // namespace orvel::portage

#include "orvel/utils/portage/record_batch.hpp"

#include <new>

#include "orvel/utils/portage/conversions.hpp"

namespace orvel::portage {
namespace {

struct RecordBatch {
  PyObject_HEAD
  BatchBuffer buffer;
  Py_ssize_t exports;  // buffer views given out and not released yet
};

// A batch's offsets or lengths as a buffer of unsigned 64-bit integers (format "Q"). Holds the
// batch, which therefore is not reused while any view of them lives.
struct BatchIndex {
  PyObject_HEAD
  PyObject* batch;
  const std::uint64_t* values;
  Py_ssize_t shape;
  Py_ssize_t stride;
};

RecordBatch* as_batch(PyObject* object) noexcept { return reinterpret_cast<RecordBatch*>(object); }

Py_ssize_t ssize(std::size_t n) noexcept { return static_cast<Py_ssize_t>(n); }

// ---- RecordBatch ----------------------------------------------------------------------------

void batch_dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  as_batch(object)->buffer.~BatchBuffer();
  type->tp_free(object);
  Py_DECREF(type);
}

Py_ssize_t batch_length(PyObject* object) { return ssize(as_batch(object)->buffer.records()); }

// batch[i]: the record as a new bytes object (the sequence protocol has made a negative i
// positive already).
PyObject* batch_item(PyObject* object, Py_ssize_t i) {
  const BatchBuffer& buffer = as_batch(object)->buffer;
  if (i < 0 || i >= ssize(buffer.records())) {
    PyErr_SetString(PyExc_IndexError, "RecordBatch index out of range");
    return nullptr;
  }
  const auto record = static_cast<std::size_t>(i);
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer.data()) + buffer.offsets()[record],
                                   ssize(buffer.lengths()[record]));
}

// iter(batch): its records in order, as batch[i] gives them. The loop that iterates usually lets
// go of each record when it takes the one after the next, so records are made alternately by two
// RecordBytes (conversions.hpp), each of which writes its record into the bytes it made last when
// nothing else holds them any more. A record kept is never touched again.
struct BatchIterator {
  PyObject_HEAD
  PyObject* batch;
  std::size_t next;
  RecordBytes made[2];
};

PyTypeObject* batch_iterator_type() noexcept;

PyObject* batch_iter(PyObject* object) {
  PyTypeObject* type = batch_iterator_type();
  BatchIterator* iterator = type != nullptr ? PyObject_New(BatchIterator, type) : nullptr;
  if (iterator == nullptr) return nullptr;
  iterator->batch = Py_NewRef(object);
  iterator->next = 0;
  new (&iterator->made[0]) RecordBytes;
  new (&iterator->made[1]) RecordBytes;
  return reinterpret_cast<PyObject*>(iterator);
}

PyObject* iterator_next(PyObject* object) {
  auto* self = reinterpret_cast<BatchIterator*>(object);
  const BatchBuffer& buffer = as_batch(self->batch)->buffer;
  const std::size_t record = self->next;
  if (record >= buffer.records()) return nullptr;  // StopIteration
  ++self->next;
  return self->made[record % 2].make(buffer.data() + buffer.offsets()[record], buffer.lengths()[record]);
}

void iterator_dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  auto* self = reinterpret_cast<BatchIterator*>(object);
  for (RecordBytes& made : self->made) {
    made.clear();
    made.~RecordBytes();
  }
  Py_DECREF(self->batch);
  type->tp_free(object);
  Py_DECREF(type);
}

PyType_Slot iterator_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {0, nullptr},
};

PyType_Spec iterator_spec = {"orvel.utils.portage.portage.RecordBatchIterator", sizeof(BatchIterator), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, iterator_slots};

PyTypeObject* batch_iterator_type() noexcept {
  static PyTypeObject* type = nullptr;  // made once, with the interpreter lock; never freed
  if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&iterator_spec));
  return type;
}

int batch_getbuffer(PyObject* object, Py_buffer* view, int flags) {
  RecordBatch* self = as_batch(object);
  static const char kNoBytes = 0;  // a batch of empty records has no storage: views see 0 bytes here
  const void* data = self->buffer.data() != nullptr ? static_cast<const void*>(self->buffer.data()) : &kNoBytes;
  if (PyBuffer_FillInfo(view, object, const_cast<void*>(data), ssize(self->buffer.bytes()), /*readonly=*/1, flags) < 0) {
    return -1;
  }
  ++self->exports;
  return 0;
}

void batch_releasebuffer(PyObject* object, Py_buffer*) { --as_batch(object)->exports; }

PyTypeObject* batch_index_type() noexcept;

PyObject* index_view(PyObject* batch, const std::uint64_t* values) noexcept {
  PyTypeObject* type = batch_index_type();
  BatchIndex* index = type != nullptr ? PyObject_New(BatchIndex, type) : nullptr;
  if (index == nullptr) return nullptr;
  index->batch = Py_NewRef(batch);
  index->values = values;
  index->shape = ssize(as_batch(batch)->buffer.records());
  index->stride = sizeof(std::uint64_t);
  PyObject* view = PyMemoryView_FromObject(reinterpret_cast<PyObject*>(index));
  Py_DECREF(index);
  return view;
}

PyObject* batch_offsets(PyObject* object, void*) { return index_view(object, as_batch(object)->buffer.offsets()); }

PyObject* batch_lengths(PyObject* object, void*) { return index_view(object, as_batch(object)->buffer.lengths()); }

PyObject* batch_record_size(PyObject* object, void*) {
  const std::int64_t size = as_batch(object)->buffer.record_size();
  if (size < 0) Py_RETURN_NONE;
  return PyLong_FromLongLong(size);
}

PyObject* batch_nbytes(PyObject* object, void*) { return PyLong_FromSize_t(as_batch(object)->buffer.bytes()); }

PyObject* batch_repr(PyObject* object) {
  const BatchBuffer& buffer = as_batch(object)->buffer;
  return PyUnicode_FromFormat("<RecordBatch records=%zd nbytes=%zd>", ssize(buffer.records()), ssize(buffer.bytes()));
}

PyGetSetDef batch_getset[] = {
    {"offsets", batch_offsets, nullptr,
     "Where each record starts in the batch's buffer: a read-only memoryview of unsigned 64-bit integers (format 'Q').",
     nullptr},
    {"lengths", batch_lengths, nullptr,
     "The length of each record, in bytes: a read-only memoryview of unsigned 64-bit integers (format 'Q').", nullptr},
    {"record_size", batch_record_size, nullptr,
     "The length every record of the batch has, or None when their lengths differ.", nullptr},
    {"nbytes", batch_nbytes, nullptr, "The bytes of all the records together: the length of the batch's buffer.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot batch_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(batch_repr)},
    {Py_tp_getset, batch_getset},
    {Py_sq_length, reinterpret_cast<void*>(batch_length)},
    {Py_sq_item, reinterpret_cast<void*>(batch_item)},
    {Py_tp_iter, reinterpret_cast<void*>(batch_iter)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(batch_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(batch_releasebuffer)},
    {Py_tp_doc, const_cast<char*>(
        "The records a batch dispatcher delivers in one call: len(batch) records, each a new bytes object as "
        "batch[i] or in iteration; the buffer protocol gives their bytes back to back, read-only, with `offsets` and "
        "`lengths` saying where each one is. It owns its bytes: everything it gives out stays valid while held.")},
    {0, nullptr},
};

PyType_Spec batch_spec = {"orvel.utils.portage.portage.RecordBatch", sizeof(RecordBatch), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, batch_slots};

PyObject* new_batch() noexcept {
  PyTypeObject* type = record_batch_type();
  RecordBatch* batch = type != nullptr ? PyObject_New(RecordBatch, type) : nullptr;
  if (batch == nullptr) return nullptr;
  new (&batch->buffer) BatchBuffer;
  batch->exports = 0;
  return reinterpret_cast<PyObject*>(batch);
}

// ---- the offsets and lengths ----------------------------------------------------------------

void index_dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  Py_DECREF(reinterpret_cast<BatchIndex*>(object)->batch);
  type->tp_free(object);
  Py_DECREF(type);
}

int index_getbuffer(PyObject* object, Py_buffer* view, int flags) {
  auto* self = reinterpret_cast<BatchIndex*>(object);
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "a RecordBatch's offsets and lengths are read-only");
    return -1;
  }
  view->obj = Py_NewRef(object);
  view->buf = const_cast<std::uint64_t*>(self->values);
  view->len = self->shape * self->stride;
  view->readonly = 1;
  view->itemsize = self->stride;
  view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>("Q") : nullptr;
  view->ndim = 1;
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &self->shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &self->stride : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

PyType_Slot index_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(index_getbuffer)},
    {0, nullptr},
};

PyType_Spec index_spec = {"orvel.utils.portage.portage.RecordBatchIndex", sizeof(BatchIndex), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, index_slots};

PyTypeObject* batch_index_type() noexcept {
  static PyTypeObject* type = nullptr;  // made once, with the interpreter lock; never freed
  if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&index_spec));
  return type;
}

bool reusable(PyObject* batch) noexcept {
  return batch != nullptr && Py_REFCNT(batch) == 1 && as_batch(batch)->exports == 0;
}

}  // namespace

PyTypeObject* record_batch_type() noexcept {
  static PyTypeObject* type = nullptr;  // as batch_index_type()
  if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&batch_spec));
  return type;
}

PyObject* BatchPool::wrap(BatchBuffer& filled) noexcept {
  PyObject* batch = nullptr;
  for (PyObject* kept : kept_) {
    if (reusable(kept)) {
      batch = kept;
      break;
    }
  }
  if (batch == nullptr) {
    batch = new_batch();
    if (batch == nullptr) return nullptr;
    // An empty place, else one whose batch its user keeps: that batch is theirs from now on.
    int place = 0;
    while (place < kKept && kept_[place] != nullptr) ++place;
    if (place == kKept) {
      place = next_replaced_;
      next_replaced_ = (next_replaced_ + 1) % kKept;
    }
    Py_XSETREF(kept_[place], batch);
  }
  as_batch(batch)->buffer.swap(filled);
  return Py_NewRef(batch);
}

void BatchPool::clear() noexcept {
  for (PyObject*& kept : kept_) Py_CLEAR(kept);
}

}  // namespace orvel::portage

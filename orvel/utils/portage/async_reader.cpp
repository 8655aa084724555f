#include "orvel/utils/portage/async_reader.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

#include "orvel/tandem/tandem_core.hpp"
#include "orvel/utils/portage/conversions.hpp"
#include "orvel/utils/portage/record_batch.hpp"

namespace orvel::portage {
namespace {

using tandem::kNothing;
using tandem::kSuccess;

// Records delivered in a row before the reader lets the loop run its other work.
constexpr unsigned kRecordsPerPass = 128;

enum class Stop : std::uint8_t {
  kNone,      // iterating
  kPassDue,   // 128 records in a row
  kEmpty,     // the queue was empty
  kOnSocket,  // pause() gave the socket wait, which is announced to the producers
  kDone,      // `running` is false or the queue is closed
};

struct Records {
  PyObject_HEAD
  PyObject* owner;    // the queue
  PyObject* error;    // the exception that ended the reader, or null
  PyObject* loop;
  PyObject* sock;
  PyObject* pass_once;
  PyObject* ready;    // a completed future: "iterate again" when the re-check found a record
  PyObject* stashed;  // that record, given first by the next iteration
  RecordBytes bytes;  // the reader's loop drops each record once its callback is done
  BatchFiller* filler;  // batches instead of records, when not null
  BatchPool* batches;
  bool stashed_batch;   // the filler's batch holds the record the re-check found
  tandem::TandemRef queue;
  std::shared_ptr<WakeChannel> wake;
  bool running;
  bool whole_messages;
  std::size_t handed_out;  // records given (one, or a batch's): the next call of the iterator counts them delivered
  bool passed_loop;  // the loop has had its pass since the queue was found empty
  bool ended;        // the reader has ended (close_queue())
  Stop stop;
  unsigned counter;
  std::uint64_t delivered;  // records whose callback returned (the iterator was called again)
  std::uint64_t delivered_batches;
};

// Every records object of the process, for fork. Touched under the interpreter lock only; never
// destroyed, as records may outlive static destruction.
std::vector<Records*>& all_records() {
  static auto* const records = new std::vector<Records*>;
  return *records;
}

int take(const Records* self, void** data, std::size_t* length) noexcept {
  return self->whole_messages ? self->queue.try_pop_var(data, length) : self->queue.try_pop(data, length);
}

// asyncio.sleep(0): one pass of the loop.
PyObject* one_pass(const Records* self) noexcept {
  PyObject* zero = PyLong_FromLong(0);
  PyObject* awaitable = zero != nullptr ? PyObject_CallOneArg(self->pass_once, zero) : nullptr;
  Py_XDECREF(zero);
  return awaitable;
}

// The next batch: the record the re-check found, or the one the last batch held back, or the
// first the queue holds, then what else it holds up to the bounds. Sets `stop` when there is none.
PyObject* next_batch(Records* self) noexcept {
  BatchFiller& filler = *self->filler;
  if (!self->stashed_batch && !filler.begin()) return PyErr_NoMemory();
  self->stashed_batch = false;
  if (filler.batch().empty()) {
    void* data = nullptr;
    std::size_t length = 0;
    const int result = take(self, &data, &length);
    if (result != kSuccess) {
      self->stop = result == kNothing ? Stop::kEmpty : Stop::kDone;
      return nullptr;
    }
    if (!filler.add(data, length)) return PyErr_NoMemory();
  }
  filler.fill([self](void** data, std::size_t* length) { return take(self, data, length); });
  self->handed_out = filler.batch().records();
  PyObject* batch = self->batches->wrap(filler.batch());
  if (batch == nullptr) self->handed_out = 0;
  return batch;
}

void settle(Records* self) noexcept {
  if (self->stop == Stop::kOnSocket) self->wake->withdraw_wait();
  self->stop = Stop::kNone;
}

PyObject* records_next(PyObject* object) {
  auto* self = reinterpret_cast<Records*>(object);
  if (self->stop == Stop::kDone) return nullptr;
  settle(self);
  if (self->handed_out != 0) {
    self->delivered += self->handed_out;
    self->counter += static_cast<unsigned>(self->handed_out);
    self->handed_out = 0;
    if (self->filler != nullptr) ++self->delivered_batches;
    if (self->counter >= kRecordsPerPass) {
      self->counter = 0;
      self->stop = Stop::kPassDue;
      return nullptr;
    }
  }
  if (!self->running) {
    self->stop = Stop::kDone;
    Py_CLEAR(self->stashed);
    return nullptr;
  }
  if (self->filler != nullptr) {
    PyObject* batch = next_batch(self);
    if (batch != nullptr) self->passed_loop = false;
    return batch;
  }
  PyObject* record = self->stashed;
  self->stashed = nullptr;
  if (record == nullptr) {
    void* data = nullptr;
    std::size_t length = 0;
    const int result = take(self, &data, &length);
    if (result != kSuccess) {
      self->stop = result == kNothing ? Stop::kEmpty : Stop::kDone;  // closed: nothing will come again
      return nullptr;
    }
    record = self->bytes.make(data, length);
    if (record == nullptr) return nullptr;
  }
  self->handed_out = 1;
  self->passed_loop = false;
  return record;
}

PyObject* records_pause(PyObject* object, PyObject*) {
  auto* self = reinterpret_cast<Records*>(object);
  switch (self->stop) {
    case Stop::kDone:
      Py_RETURN_NONE;
    case Stop::kPassDue:
      self->stop = Stop::kNone;
      return one_pass(self);
    case Stop::kEmpty:
      break;
    case Stop::kNone:
    case Stop::kOnSocket:
      return Py_NewRef(self->ready);
  }
  if (!self->passed_loop) {
    self->passed_loop = true;
    return one_pass(self);
  }
  const bool fenced = self->wake->announce_wait();
  void* data = nullptr;
  std::size_t length = 0;
  const int result = take(self, &data, &length);  // published before the producer saw the wait?
  if (result != kNothing || !fenced) {
    self->wake->withdraw_wait();
    self->stop = Stop::kNone;
    if (result == kSuccess && self->filler != nullptr) {
      // The batch starts with it; the next iteration adds what else has come.
      if (!self->filler->begin() || !self->filler->add(data, length)) return PyErr_NoMemory();
      self->stashed_batch = true;
    } else if (result == kSuccess) {
      self->stashed = self->bytes.make(data, length);
      if (self->stashed == nullptr) return nullptr;
    } else if (result != kNothing) {
      self->stop = Stop::kDone;
      Py_RETURN_NONE;
    } else {
      return one_pass(self);  // a wake-up may be missed: poll through the loop
    }
    return Py_NewRef(self->ready);
  }
  PyObject* receive = PyObject_CallMethod(self->loop, "sock_recv", "Oi", self->sock, 1);
  if (receive == nullptr) {
    self->wake->withdraw_wait();
    return nullptr;
  }
  self->stop = Stop::kOnSocket;
  self->wake->count_sleep();
  return receive;
}

// When the reader ends: the queue has no consumer any more.
PyObject* records_close_queue(PyObject* object, PyObject*) {
  auto* self = reinterpret_cast<Records*>(object);
  self->ended = true;
  self->queue.close();
  self->bytes.clear();  // as large as the last message: not kept for records that will not come
  if (self->batches != nullptr) self->batches->clear();
  Py_RETURN_NONE;
}

int records_traverse(PyObject* object, visitproc visit, void* arg) {
  auto* self = reinterpret_cast<Records*>(object);
  Py_VISIT(Py_TYPE(object));
  Py_VISIT(self->owner);
  Py_VISIT(self->error);
  Py_VISIT(self->loop);
  Py_VISIT(self->sock);
  Py_VISIT(self->pass_once);
  Py_VISIT(self->ready);
  return 0;
}

int records_clear(PyObject* object) {
  auto* self = reinterpret_cast<Records*>(object);
  settle(self);
  Py_CLEAR(self->error);
  Py_CLEAR(self->stashed);
  self->bytes.clear();
  if (self->batches != nullptr) self->batches->clear();
  Py_CLEAR(self->ready);
  Py_CLEAR(self->pass_once);
  Py_CLEAR(self->sock);
  Py_CLEAR(self->loop);
  Py_CLEAR(self->owner);
  return 0;
}

void records_dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  PyObject_GC_UnTrack(object);
  std::erase(all_records(), reinterpret_cast<Records*>(object));
  records_clear(object);
  delete reinterpret_cast<Records*>(object)->batches;
  delete reinterpret_cast<Records*>(object)->filler;
  reinterpret_cast<Records*>(object)->wake.~shared_ptr();
  type->tp_free(object);
  Py_DECREF(type);
}

PyMethodDef records_methods[] = {
    {"pause", records_pause, METH_NOARGS, nullptr},
    {"close_queue", records_close_queue, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef records_members[] = {
    {"error", T_OBJECT, offsetof(Records, error), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot records_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(records_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(records_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(records_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(records_next)},
    {Py_tp_methods, records_methods},
    {Py_tp_members, records_members},
    {0, nullptr},
};

PyType_Spec records_spec = {
    "orvel.utils.portage.portage.AsyncDispatcherRecords", sizeof(Records), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, records_slots};

}  // namespace

PyObject* new_async_reader(const AsyncReaderArgs& args) noexcept {
  static PyTypeObject* type = nullptr;  // made once, with the interpreter lock; never freed
  if (type == nullptr) {
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&records_spec));
    if (type == nullptr) return nullptr;
  }
  PyObject* ready = PyObject_CallMethod(args.loop, "create_future", nullptr);
  PyObject* done = ready != nullptr ? PyObject_CallMethod(ready, "set_result", "O", Py_None) : nullptr;
  Py_XDECREF(done);
  if (done == nullptr) {
    Py_XDECREF(ready);
    return nullptr;
  }
  BatchFiller* filler = nullptr;
  BatchPool* batches = nullptr;
  try {
    all_records().reserve(all_records().size() + 1);  // so that the push_back below cannot throw
    if (args.batches.max_records != 0) {
      filler = new BatchFiller(args.batches);
      batches = new BatchPool;
    }
  } catch (const std::bad_alloc&) {
    delete filler;
    Py_DECREF(ready);
    return PyErr_NoMemory();
  }
  auto* self = PyObject_GC_New(Records, type);
  if (self == nullptr) {
    delete batches;
    delete filler;
    Py_DECREF(ready);
    return nullptr;
  }
  all_records().push_back(self);
  self->owner = Py_NewRef(args.queue);
  self->error = nullptr;
  self->loop = Py_NewRef(args.loop);
  self->sock = Py_NewRef(args.sock);
  self->pass_once = Py_NewRef(args.pass_once);
  self->ready = ready;
  self->stashed = nullptr;
  new (&self->bytes) RecordBytes;
  self->filler = filler;
  self->batches = batches;
  self->stashed_batch = false;
  new (&self->queue) tandem::TandemRef(args.queue, args.table);
  new (&self->wake) std::shared_ptr<WakeChannel>(args.wake);
  self->running = true;
  self->whole_messages = args.whole_messages;
  self->handed_out = 0;
  self->passed_loop = false;
  self->ended = false;
  self->stop = Stop::kNone;
  self->counter = 0;
  self->delivered = 0;
  self->delivered_batches = 0;
  PyObject_GC_Track(self);
  return reinterpret_cast<PyObject*>(self);
}

Deliveries async_reader_deliveries(PyObject* records) noexcept {
  if (records == nullptr) return {};
  const auto* self = reinterpret_cast<const Records*>(records);
  // The reader ends at a callback that fails or is cancelled (as asyncio.run() cancels the tasks
  // left at its end), which leaves its record (or batch) handed out and uncounted; an error with
  // no record out came from the socket wait.
  return {self->delivered, (self->error != nullptr || self->ended) && self->handed_out != 0 ? 1u : 0u,
          self->delivered_batches};
}

void stop_async_reader(PyObject* records) noexcept { reinterpret_cast<Records*>(records)->running = false; }

void close_async_readers() noexcept {
  for (Records* records : all_records()) {
    records->running = false;
    records->queue.close();
  }
}

}  // namespace orvel::portage

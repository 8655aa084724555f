#include "orvel/utils/portage/async_reader.hpp"

#include <cstdint>
#include <new>
#include <utility>

#include "orvel/tandem/tandem_core.hpp"

namespace orvel::portage {
namespace {

using tandem::kNothing;
using tandem::kSuccess;

// Records in a row before the reader lets the loop run its other work.
constexpr unsigned kRecordsPerYield = 128;

enum class Step : std::uint8_t {
  kAwait,  // `awaited` yielded a value for the task: give it to the loop
  kYield,  // give None to the loop: a bare yield, after which the task resumes at once
  kDone,   // the reader has ended
  kError,  // the reader has ended with the exception set
};

enum class Pending : std::uint8_t {
  kNone,
  kCallback,  // a callback suspended: its record counts once it has finished
  kSocket,    // waiting for a datagram: the wait is announced to the producers
  kLoopPass,  // one pass of the loop after finding the queue empty, before the socket wait
};

struct Reader {
  PyObject_HEAD
  PyObject* owner;
  PyObject* callback;
  PyObject* loop;
  PyObject* sock;
  PyObject* awaited;  // the awaitable iterator in progress, or null
  tandem::TandemRef queue;
  WakeChannel* wake;
  const int* running;
  bool whole_messages;
  bool finished;
  Pending pending;
  unsigned counter;
};

// Starts awaiting `awaitable` (consumed): the first step of `await awaitable`.
Step start_awaiting(PyObject* awaitable, PyObject** awaited, PyObject** yielded) noexcept {
  PyObject* iterator = awaitable;
  if (!PyCoro_CheckExact(awaitable)) {
    const PyAsyncMethods* async = Py_TYPE(awaitable)->tp_as_async;
    if (async == nullptr || async->am_await == nullptr) {
      PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(awaitable)->tp_name);
      Py_DECREF(awaitable);
      return Step::kError;
    }
    iterator = async->am_await(awaitable);
    Py_DECREF(awaitable);
    if (iterator == nullptr) return Step::kError;
    if (!PyIter_Check(iterator) || PyCoro_CheckExact(iterator)) {
      PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(iterator)->tp_name);
      Py_DECREF(iterator);
      return Step::kError;
    }
  }
  PyObject* out = nullptr;
  switch (PyIter_Send(iterator, Py_None, &out)) {
    case PYGEN_NEXT:
      *awaited = iterator;
      *yielded = out;
      return Step::kAwait;
    case PYGEN_RETURN:
      Py_DECREF(out);
      Py_DECREF(iterator);
      return Step::kDone;
    default:
      Py_DECREF(iterator);
      return Step::kError;
  }
}

int take(const Reader* self, void** data, std::size_t* length) noexcept {
  return self->whole_messages ? self->queue.try_pop_var(data, length) : self->queue.try_pop(data, length);
}

// Awaits loop.sock_recv(sock, 1) with the wait announced. kDone: a datagram was there already.
Step wait_for_datagram(Reader* self, PyObject** yielded) noexcept {
  PyObject* receive = PyObject_CallMethod(self->loop, "sock_recv", "Oi", self->sock, 1);
  const Step step = receive != nullptr ? start_awaiting(receive, &self->awaited, yielded) : Step::kError;
  if (step == Step::kAwait) {
    self->pending = Pending::kSocket;
  } else {
    self->wake->withdraw_wait();
  }
  return step;
}

// Counts a delivered record; true when the loop is due a turn.
bool counted(Reader* self) noexcept {
  self->counter = (self->counter + 1) % kRecordsPerYield;
  return self->counter == 0;
}

Step run(Reader* self, PyObject** yielded) noexcept {
  bool passed_loop = false;
  switch (std::exchange(self->pending, Pending::kNone)) {
    case Pending::kCallback:
      if (counted(self)) return Step::kYield;
      break;
    case Pending::kSocket:
      self->wake->withdraw_wait();
      break;
    case Pending::kLoopPass:
      passed_loop = true;
      break;
    case Pending::kNone:
      break;
  }
  while (*self->running) {
    void* data = nullptr;
    std::size_t length = 0;
    int result = take(self, &data, &length);
    if (result == kNothing) {
      // One pass of the loop first: a producer that is about to push saves the socket round.
      if (!passed_loop) {
        self->pending = Pending::kLoopPass;
        return Step::kYield;
      }
      const bool fenced = self->wake->announce_wait();
      result = take(self, &data, &length);  // what was published before the producer saw the wait
      if (result == kNothing) {
        if (!fenced) {  // a wake-up may be missed: poll through the loop instead
          self->wake->withdraw_wait();
          self->pending = Pending::kLoopPass;
          return Step::kYield;
        }
        const Step step = wait_for_datagram(self, yielded);
        if (step != Step::kDone) return step;
        passed_loop = false;
        continue;
      }
      self->wake->withdraw_wait();
    }
    passed_loop = false;
    if (result != kSuccess) return Step::kDone;  // closed: no record will come again

    PyObject* record = PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(length));
    PyObject* outcome = record != nullptr ? PyObject_CallOneArg(self->callback, record) : nullptr;
    Py_XDECREF(record);
    if (outcome == nullptr) return Step::kError;
    const Step step = start_awaiting(outcome, &self->awaited, yielded);
    if (step == Step::kAwait) self->pending = Pending::kCallback;
    if (step != Step::kDone) return step;
    if (counted(self)) return Step::kYield;
  }
  return Step::kDone;
}

void finish(Reader* self) noexcept {
  if (self->pending == Pending::kSocket) self->wake->withdraw_wait();
  self->pending = Pending::kNone;
  self->finished = true;
  Py_CLEAR(self->awaited);
}

PySendResult resumed(Reader* self, Step step, PyObject** result) noexcept {
  switch (step) {
    case Step::kAwait:
      return PYGEN_NEXT;
    case Step::kYield:
      *result = Py_NewRef(Py_None);
      return PYGEN_NEXT;
    case Step::kDone:
      finish(self);
      *result = Py_NewRef(Py_None);
      return PYGEN_RETURN;
    case Step::kError:
      break;
  }
  finish(self);
  *result = nullptr;
  return PYGEN_ERROR;
}

// ---- the awaitable iterator protocol ------------------------------------------------------------

PySendResult reader_send(PyObject* object, PyObject* value, PyObject** result) {
  auto* self = reinterpret_cast<Reader*>(object);
  if (self->finished) {
    *result = Py_NewRef(Py_None);
    return PYGEN_RETURN;
  }
  if (self->awaited != nullptr) {
    switch (PyIter_Send(self->awaited, value, result)) {
      case PYGEN_NEXT:
        return PYGEN_NEXT;
      case PYGEN_RETURN:
        Py_CLEAR(*result);
        Py_CLEAR(self->awaited);
        break;
      case PYGEN_ERROR:
        return resumed(self, Step::kError, result);
    }
  }
  return resumed(self, run(self, result), result);
}

PyObject* returned_or_yielded(PySendResult sent, PyObject* result) {
  if (sent != PYGEN_RETURN) return result;
  Py_DECREF(result);  // None
  PyErr_SetNone(PyExc_StopIteration);
  return nullptr;
}

PyObject* reader_iternext(PyObject* object) {
  PyObject* result = nullptr;
  const PySendResult sent = reader_send(object, Py_None, &result);
  if (sent == PYGEN_RETURN) Py_CLEAR(result);  // exhausted: null without an exception
  return result;
}

PyObject* reader_send_method(PyObject* object, PyObject* value) {
  PyObject* result = nullptr;
  const PySendResult sent = reader_send(object, value, &result);
  return returned_or_yielded(sent, result);
}

PyObject* reader_throw(PyObject* object, PyObject* const* args, Py_ssize_t count) {
  auto* self = reinterpret_cast<Reader*>(object);
  if (count < 1 || count > 3) {
    PyErr_SetString(PyExc_TypeError, "throw expected 1 to 3 arguments");
    return nullptr;
  }
  if (self->awaited == nullptr || self->finished) {
    // Nothing to forward to: the exception ends the reader where it stands.
    PyObject* thrown = args[0];
    if (PyExceptionInstance_Check(thrown)) {
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(thrown)), thrown);
    } else if (PyExceptionClass_Check(thrown)) {
      PyErr_SetObject(thrown, count > 1 ? args[1] : nullptr);
    } else {
      PyErr_SetString(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException");
    }
    finish(self);
    return nullptr;
  }
  PyObject* method = PyObject_GetAttrString(self->awaited, "throw");
  PyObject* yielded = method != nullptr ? PyObject_Vectorcall(method, args, static_cast<size_t>(count), nullptr) : nullptr;
  Py_XDECREF(method);
  if (yielded != nullptr) return yielded;  // the awaitable handled it and waits on
  if (!PyErr_ExceptionMatches(PyExc_StopIteration)) {
    PyObject* result = nullptr;
    return returned_or_yielded(resumed(self, Step::kError, &result), result);
  }
  PyErr_Clear();  // the awaitable finished: what it returned is not used, as in `await`
  Py_CLEAR(self->awaited);
  PyObject* result = nullptr;
  const PySendResult sent = resumed(self, run(self, &result), &result);
  return returned_or_yielded(sent, result);
}

PyObject* reader_close(PyObject* object, PyObject*) {
  auto* self = reinterpret_cast<Reader*>(object);
  PyObject* awaited = std::exchange(self->awaited, nullptr);
  finish(self);
  if (awaited != nullptr) {
    PyObject* closed = PyObject_CallMethod(awaited, "close", nullptr);
    Py_DECREF(awaited);
    if (closed == nullptr) return nullptr;
    Py_DECREF(closed);
  }
  Py_RETURN_NONE;
}

int reader_traverse(PyObject* object, visitproc visit, void* arg) {
  auto* self = reinterpret_cast<Reader*>(object);
  Py_VISIT(Py_TYPE(object));
  Py_VISIT(self->owner);
  Py_VISIT(self->callback);
  Py_VISIT(self->loop);
  Py_VISIT(self->sock);
  Py_VISIT(self->awaited);
  return 0;
}

int reader_clear(PyObject* object) {
  auto* self = reinterpret_cast<Reader*>(object);
  if (self->owner != nullptr) finish(self);  // `wake` lives in the owner
  Py_CLEAR(self->awaited);
  Py_CLEAR(self->callback);
  Py_CLEAR(self->loop);
  Py_CLEAR(self->sock);
  Py_CLEAR(self->owner);
  return 0;
}

void reader_dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  PyObject_GC_UnTrack(object);
  reader_clear(object);
  type->tp_free(object);
  Py_DECREF(type);
}

PyObject* reader_await(PyObject* object) { return Py_NewRef(object); }

PyMethodDef reader_methods[] = {
    {"send", reader_send_method, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_throw)), METH_FASTCALL, nullptr},
    {"close", reader_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(reader_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(reader_iternext)},
    {Py_am_await, reinterpret_cast<void*>(reader_await)},
    {Py_am_send, reinterpret_cast<void*>(reader_send)},
    {Py_tp_methods, reader_methods},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "orvel.utils.portage.portage.AsyncDispatcherReader", sizeof(Reader), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, reader_slots};

}  // namespace

PyObject* new_async_reader(const AsyncReaderArgs& args) noexcept {
  static PyTypeObject* type = nullptr;  // made once, with the interpreter lock; never freed
  if (type == nullptr) {
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&reader_spec));
    if (type == nullptr) return nullptr;
  }
  auto* self = PyObject_GC_New(Reader, type);
  if (self == nullptr) return nullptr;
  self->owner = Py_NewRef(args.owner);
  self->callback = Py_NewRef(args.callback);
  self->loop = Py_NewRef(args.loop);
  self->sock = Py_NewRef(args.sock);
  self->awaited = nullptr;
  new (&self->queue) tandem::TandemRef(args.queue, args.table);
  self->wake = args.wake;
  self->running = args.running;
  self->whole_messages = args.whole_messages;
  self->finished = false;
  self->pending = Pending::kNone;
  self->counter = 0;
  PyObject_GC_Track(self);
  return reinterpret_cast<PyObject*>(self);
}

}  // namespace orvel::portage

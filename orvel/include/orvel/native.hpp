#pragma once

// orvel's native interface for C++ extension modules that do not use Cython: the Tandem queue's
// table of operations and tandem_notify, the push routines of the message bridge's dispatchers
// and pipe, and the bridge's conversions of Python messages to bytes.
//
//   #include <orvel/native.hpp>     // include path: the directories of orvel.get_include()
//
//   PyMODINIT_FUNC PyInit_mine() {
//     if (orvel::native::import_bridge() < 0) return nullptr;
//     ...
//   }
//
// import_bridge() imports orvel.tandem.tandem and orvel.utils.portage.portage and checks them
// against this header: the Tandem instance size, the dispatchers' and the pipe's at least as large
// as the fields read here, and the signature each exported function's capsule is named by. A
// module built against a release whose ring or exported functions differ then fails to import
// with ImportError instead of calling through them.
//
// Threads. Everything that takes a PyObject* (import_bridge, the of() factories, the conversions)
// needs the interpreter lock. The queue operations and the push, pop and release routines run
// without it, and those that may sleep must run without it: one producer thread and one consumer
// thread per queue, close() and notify() from any thread. The handles do not own the objects:
// keep a reference to each for as long as any thread uses its handle.
//
// Results, as in the .pxd files: 1 success; 0 nothing available (try_pop, try_pop_var) or a
// variable-size message refused with a Python exception pending; -1 closed; -2 full and the
// queue's mode forbids waiting or dropping; -3 (a dispatcher's push only) refused because the
// thread is inside a push into the same dispatcher already: a signal handler's push that
// interrupted it.
//
// A refused variable-size message is reported with the interpreter lock. The interpreter ends a
// thread that asks for its lock while it finalises by unwinding it, through the push and its
// callers: the pushes that may report are not noexcept, and no frame between the thread's start
// and such a push may be (nor catch everything: catch (...) must rethrow), or the process aborts.

#include <Python.h>
#include <netinet/in.h>

#include <cstddef>

#include "orvel/tandem/tandem_core.hpp"
#include "orvel/tandem/tandem_table.hpp"

namespace orvel::native {

using tandem::FullQueueRetry;  // paces the tries of a push the queue refused as full
using tandem::TandemTable;

using PushRoutine = int (*)(PyObject* target, const void* data, std::size_t length);
using PopRoutine = int (*)(PyObject* pipe, void** data, std::size_t* length);
using ReleaseRoutine = void (*)(PyObject* pipe);

// The objects as the .pxd files lay them out: the object header, the pointer to the type's
// native table, then the fields in declaration order. Each layout stops after the last field
// read here; the fields before it are there to place it. Native code reads them, never writes.
namespace layout {

struct Tandem {
  PyObject header;
  const TandemTable* table;
  tandem::TandemCore core;
};

struct LumPipe {
  PyObject header;
  void* table;
  PyObject* queue;
  PushRoutine push_fn;
  PopRoutine pop_fn;
  ReleaseRoutine release_fn;
};

// The pipe type's native table, in the order the .pxd declares its methods: push_fn is one of
// these two.
struct LumPipeTable {
  PushRoutine push;
  PushRoutine push_var;
};

struct SyncDispatcher {
  PyObject header;
  void* table;
  PyObject* queue;
  int fd;
  sockaddr_in addr;
  int detach;
  int variable_size;
  PushRoutine push;
  PyObject* callback;
  PyObject* sock;
  int nonblocking;
};

struct AsyncDispatcher {
  PyObject header;
  void* table;
  PyObject* queue;
  int fd;
  sockaddr_in addr;
  PushRoutine push;
  PyObject* callback;
  PyObject* sock;
  PyObject* task;
  int running;
  int variable_size;
};

}  // namespace layout

// What import_bridge() found. The type references are owned for the life of the process.
struct Api {
  PyTypeObject* tandem_type;
  const TandemTable* tandem;
  void (*tandem_notify)(void* core);
  PyTypeObject* lum_pipe_type;
  const layout::LumPipeTable* lum_pipe;
  PyTypeObject* sync_dispatcher_type;
  PyTypeObject* async_dispatcher_type;
  // The conversions: 0, or -1 with a Python exception set. *holder (a new reference) and the
  // view keep the bytes alive: drop it, release it, once the bytes have been pushed.
  int (*obj_to_cbuf)(PyObject* obj, PyObject** holder, const char** data, std::size_t* size);
  int (*buf_to_cbuf)(PyObject* obj, Py_buffer* view, const char** data, std::size_t* size);
  int (*bytes_to_cbuf)(PyObject* obj, const char** data, std::size_t* size);  // obj must be bytes
  int (*str_to_cbuf)(PyObject* obj, const char** data, std::size_t* size);
};

// The functions from here to api() stay inside the module that includes them; the types keep
// the default visibility, so that a module's own types may hold them. Visible, the table
// import_bridge() fills would be one object for the whole process (a GNU unique symbol, whatever
// the flags the modules are loaded with): the first module to import would fill it, and a module
// built against another release would find it filled and skip the checks of its own header.
#pragma GCC visibility push(hidden)

namespace detail {

inline Api& api_storage() noexcept {
  static Api api{};
  return api;
}

// The module's attribute `name`, which must be a type whose instances are `size` bytes (`exact`)
// or at least `size` bytes (a layout prefix). A new reference, or null with ImportError set.
inline PyTypeObject* import_type(PyObject* module, const char* name, std::size_t size, bool exact) noexcept {
  PyObject* type = PyObject_GetAttrString(module, name);
  if (type == nullptr) return nullptr;
  if (!PyType_Check(type)) {
    PyErr_Format(PyExc_ImportError, "%s.%s is not a type", PyModule_GetName(module), name);
  } else if (auto basic = static_cast<std::size_t>(reinterpret_cast<PyTypeObject*>(type)->tp_basicsize);
             exact ? basic != size : basic < size) {
    PyErr_Format(PyExc_ImportError,
                 "%s.%s instances are %zu bytes, this header expects %s%zu: "
                 "rebuild against the installed orvel",
                 PyModule_GetName(module), name, basic, exact ? "" : "at least ", size);
  } else {
    return reinterpret_cast<PyTypeObject*>(type);
  }
  Py_DECREF(type);
  return nullptr;
}

// The address in the type's __pyx_vtable__ capsule, or null with an exception set.
inline void* native_table(PyTypeObject* type) noexcept {
  PyObject* capsule = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__pyx_vtable__");
  if (capsule == nullptr) return nullptr;
  void* table = PyCapsule_GetPointer(capsule, nullptr);
  Py_DECREF(capsule);
  return table;
}

// The function the module exports as `name`, whose capsule must be named `signature`; null with
// ImportError set otherwise.
inline void* exported_function(PyObject* module, const char* name, const char* signature) noexcept {
  PyObject* functions = PyObject_GetAttrString(module, "__pyx_capi__");
  if (functions == nullptr) return nullptr;
  void* address = nullptr;
  PyObject* capsule = PyDict_Check(functions) ? PyDict_GetItemString(functions, name) : nullptr;
  if (capsule == nullptr || !PyCapsule_CheckExact(capsule)) {
    PyErr_Format(PyExc_ImportError, "%s does not export %s", PyModule_GetName(module), name);
  } else if (!PyCapsule_IsValid(capsule, signature)) {
    const char* found = PyCapsule_GetName(capsule);
    PyErr_Format(PyExc_ImportError, "%s.%s has the signature '%s', this header expects '%s'",
                 PyModule_GetName(module), name, found ? found : "", signature);
  } else {
    address = PyCapsule_GetPointer(capsule, signature);
  }
  Py_DECREF(functions);
  return address;
}

template <class Function>
bool import_function(PyObject* module, const char* name, const char* signature, Function& out) noexcept {
  out = reinterpret_cast<Function>(exported_function(module, name, signature));
  return out != nullptr;
}

// Stops at the first failure, so that nothing runs with an exception pending.
inline int fill(Api& api, PyObject* tandem_module, PyObject* bridge) noexcept {
  if ((api.tandem_type = import_type(tandem_module, "Tandem", sizeof(layout::Tandem), true)) == nullptr ||
      (api.tandem = static_cast<const TandemTable*>(native_table(api.tandem_type))) == nullptr ||
      (api.lum_pipe_type = import_type(bridge, "LumPipe", sizeof(layout::LumPipe), false)) == nullptr ||
      (api.lum_pipe = static_cast<const layout::LumPipeTable*>(native_table(api.lum_pipe_type))) == nullptr ||
      (api.sync_dispatcher_type =
           import_type(bridge, "SyncDispatcher", sizeof(layout::SyncDispatcher), false)) == nullptr ||
      (api.async_dispatcher_type =
           import_type(bridge, "AsyncDispatcher", sizeof(layout::AsyncDispatcher), false)) == nullptr) {
    return -1;
  }
  bool found = import_function(tandem_module, "tandem_notify", "void (void *)", api.tandem_notify) &&
               import_function(bridge, "obj_to_cbuf", "int (PyObject *, PyObject **, char const **, size_t *)",
                               api.obj_to_cbuf) &&
               import_function(bridge, "buf_to_cbuf", "int (PyObject *, Py_buffer *, char const **, size_t *)",
                               api.buf_to_cbuf) &&
               import_function(bridge, "bytes_to_cbuf", "int (PyObject *, char const **, size_t *)",
                               api.bytes_to_cbuf) &&
               import_function(bridge, "str_to_cbuf", "int (PyObject *, char const **, size_t *)",
                               api.str_to_cbuf);
  return found ? 0 : -1;
}

// `object` if it is an instance of `type` (or of a subclass), else null with TypeError set.
inline PyObject* instance_of(PyObject* object, PyTypeObject* type) noexcept {
  if (type != nullptr && PyObject_TypeCheck(object, type)) return object;
  PyErr_Format(PyExc_TypeError, "expected %s, got %s",
               type != nullptr ? type->tp_name : "an orvel object (import_bridge() has not run)",
               Py_TYPE(object)->tp_name);
  return nullptr;
}

}  // namespace detail

// Imports the queue and bridge modules and fills api(). Call it with the interpreter lock held,
// once, before anything else here (a module's init function is the place); calling it again
// does nothing. Returns 0, or -1 with ImportError (or the import's own error) set.
inline int import_bridge() noexcept {
  Api& api = detail::api_storage();
  if (api.str_to_cbuf != nullptr) return 0;
  PyObject* tandem_module = PyImport_ImportModule("orvel.tandem.tandem");
  PyObject* bridge = tandem_module ? PyImport_ImportModule("orvel.utils.portage.portage") : nullptr;
  Api found{};
  int result = bridge ? detail::fill(found, tandem_module, bridge) : -1;
  if (result == 0) {
    api = found;
  } else {
    for (PyTypeObject* type : {found.tandem_type, found.lum_pipe_type, found.sync_dispatcher_type,
                               found.async_dispatcher_type}) {
      Py_XDECREF(type);
    }
  }
  Py_XDECREF(bridge);
  Py_XDECREF(tandem_module);
  return result;
}

// The table import_bridge() filled.
inline const Api& api() noexcept { return detail::api_storage(); }

#pragma GCC visibility pop

// A Tandem queue, driven through its table of native operations.
class Queue {
 public:
  // With the interpreter lock: `queue` as a Queue, or an empty one with TypeError set.
  static Queue of(PyObject* queue) noexcept { return Queue(detail::instance_of(queue, api().tandem_type)); }

  explicit operator bool() const noexcept { return queue_ != nullptr; }

  // Producer side. push waits for room when the queue blocks on full; push_var and try_push_var
  // cut a message into fragments, and report one they refuse (not noexcept: see the top).
  int push(const void* data, std::size_t length) const noexcept { return table().push(queue_, data, length); }
  int try_push(const void* data, std::size_t length) const noexcept { return table().try_push(queue_, data, length); }
  int push_var(const void* data, std::size_t length) const { return table().push_var(queue_, data, length); }
  int try_push_var(const void* data, std::size_t length) const { return table().try_push_var(queue_, data, length); }

  // Consumer side. pop, peek and pop_var wait for a record. A popped record stays valid until the
  // next pop; peek leaves it in its slot until advance(); a message stays in the reassembly buffer
  // until the next pop_var.
  int pop(void** data, std::size_t* length) const noexcept { return table().pop(queue_, data, length); }
  int peek(void** data, std::size_t* length) const noexcept { return table().peek(queue_, data, length); }
  void advance() const noexcept { table().advance(queue_); }
  int try_pop(void** data, std::size_t* length) const noexcept { return table().try_pop(queue_, data, length); }
  int pop_var(void** data, std::size_t* length) const noexcept { return table().pop_var(queue_, data, length); }
  int try_pop_var(void** data, std::size_t* length) const noexcept {
    return table().try_pop_var(queue_, data, length);
  }

  // From any thread: every later operation returns -1, and blocked ones return it at once.
  void close() const noexcept { table().close(queue_); }
  // What the signal watcher does on a signal: tandem_notify on the queue's ring. Closes the queue
  // and moves both its indices, so that every thread blocked in it returns -1.
  void notify() const noexcept { api().tandem_notify(&core()); }
  // From any thread: what the queue has counted (pushes, pops, refusals, drops, wake-ups, sleeps),
  // approximate while records flow.
  tandem::RingStats stats() const noexcept { return core().stats(); }

  // From any thread. False once the queue is closed (close(), notify(), a watched signal, its
  // dispatcher's close()): every operation returns -1 from then on.
  bool is_open() const noexcept { return core().is_open(); }
  // Fixed at construction, from any thread: the bytes of one slot, the slots, and the modes.
  std::size_t slot_size() const noexcept { return core().slot_size(); }
  std::size_t capacity() const noexcept { return core().capacity(); }
  bool overwrite() const noexcept { return (core().modes() & tandem::kOverwrite) != 0; }
  // Single-slot pushes store the pointer pushed, not a copy (variable-size ones copy all the same).
  bool zerocopy() const noexcept { return (core().modes() & tandem::kZerocopy) != 0; }
  bool block_on_full() const noexcept { return (core().modes() & tandem::kBlockOnFull) != 0; }

 private:
  friend class Producer;
  explicit Queue(PyObject* queue) noexcept : queue_(queue) {}
  static const TandemTable& table() noexcept { return *api().tandem; }
  tandem::TandemCore& core() const noexcept { return reinterpret_cast<layout::Tandem*>(queue_)->core; }

  PyObject* queue_;
};

// The push routine of a SyncDispatcher, an AsyncDispatcher or a LumPipe: the one its constructor
// chose for its modes, read from its fields. Without the interpreter lock. A pipe takes one
// producer thread at a time; a dispatcher's producers that push at once take turns. Dispatchers:
// records pushed before setup() wait in the queue.
class Producer {
 public:
  // With the interpreter lock: the target's routine, or an empty Producer with TypeError (not a
  // dispatcher or pipe) or ValueError (its constructor never ran) set.
  static Producer of(PyObject* target) noexcept {
    const Api& a = api();
    Producer producer;
    if (a.sync_dispatcher_type != nullptr && PyObject_TypeCheck(target, a.sync_dispatcher_type)) {
      const auto* fields = reinterpret_cast<layout::SyncDispatcher*>(target);
      producer = Producer(target, fields->push, fields->queue, fields->variable_size != 0, !fields->nonblocking);
    } else if (a.async_dispatcher_type != nullptr && PyObject_TypeCheck(target, a.async_dispatcher_type)) {
      const auto* fields = reinterpret_cast<layout::AsyncDispatcher*>(target);
      producer = Producer(target, fields->push, fields->queue, fields->variable_size != 0, false);
    } else if (a.lum_pipe_type != nullptr && PyObject_TypeCheck(target, a.lum_pipe_type)) {
      const auto* fields = reinterpret_cast<layout::LumPipe*>(target);
      // A pipe keeps its choice only in the routine: push_var for variable-size messages.
      producer = Producer(target, fields->push_fn, fields->queue, fields->push_fn == a.lum_pipe->push_var, true);
    } else {
      PyErr_Format(PyExc_TypeError, "expected a SyncDispatcher, AsyncDispatcher or LumPipe, got %s",
                   Py_TYPE(target)->tp_name);
      return Producer();
    }
    if (!producer) {
      PyErr_Format(PyExc_ValueError, "this %s was never constructed", Py_TYPE(target)->tp_name);
    }
    return producer;
  }

  explicit operator bool() const noexcept { return push_ != nullptr; }

  // Dispatchers made with nonblocking=True (the default) never wait, and wake their consumer
  // when it sleeps; the others wait for room when their queue blocks on full. Not noexcept: see
  // the top.
  int push(const void* data, std::size_t length) const { return push_(target_, data, length); }

  // What the target's constructor fixed, from any thread. The queue the routine pushes into: its
  // slot size and modes, and whether it is still open.
  Queue queue() const noexcept { return queue_; }
  // Each push is one whole message, cut into fragments of at most slot_size bytes and given to
  // the consumer whole (an empty one returns 1 and carries nothing); else one record of at most
  // slot_size bytes (a longer one is cut short).
  bool variable_size() const noexcept { return variable_size_; }
  // The queue keeps the pointer a push gives it, not a copy: the bytes must stay as they are until
  // the consumer has taken the record.
  bool keeps_pointers() const noexcept { return !variable_size_ && queue_.zerocopy(); }
  // A push into a full queue waits for room, until the queue closes; else it returns -2, or drops
  // the oldest data in overwrite mode.
  bool waits_when_full() const noexcept { return may_wait_ && queue_.block_on_full(); }

 private:
  Producer() noexcept : Producer(nullptr, nullptr, nullptr, false, false) {}
  Producer(PyObject* target, PushRoutine routine, PyObject* queue, bool variable_size, bool may_wait) noexcept
      : target_(target), push_(routine), queue_(queue), variable_size_(variable_size), may_wait_(may_wait) {}

  PyObject* target_;
  PushRoutine push_;
  Queue queue_;  // before construction, the target's None: read only once push_ is set
  bool variable_size_;
  bool may_wait_;  // the routine is a waiting push (a pipe's, a blocking SyncDispatcher's)
};

// The consumer side of a LumPipe: pop waits for the next record (a whole message when the pipe
// carries variable-size ones); release finishes with it, and must follow every successful pop.
class PipeReader {
 public:
  // With the interpreter lock: `pipe` as a reader, or an empty one with TypeError or ValueError set.
  static PipeReader of(PyObject* pipe) noexcept {
    if (detail::instance_of(pipe, api().lum_pipe_type) == nullptr) return PipeReader(nullptr);
    if (reinterpret_cast<layout::LumPipe*>(pipe)->pop_fn == nullptr) {
      PyErr_SetString(PyExc_ValueError, "this LumPipe was never constructed");
      return PipeReader(nullptr);
    }
    return PipeReader(reinterpret_cast<layout::LumPipe*>(pipe));
  }

  explicit operator bool() const noexcept { return pipe_ != nullptr; }

  int pop(void** data, std::size_t* length) const noexcept { return pipe_->pop_fn(self(), data, length); }
  void release() const noexcept { pipe_->release_fn(self()); }

 private:
  explicit PipeReader(layout::LumPipe* pipe) noexcept : pipe_(pipe) {}
  PyObject* self() const noexcept { return reinterpret_cast<PyObject*>(pipe_); }

  layout::LumPipe* pipe_;
};

}  // namespace orvel::native

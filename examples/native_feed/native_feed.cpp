// native_feed: an extension module in plain C++ that pushes records into orvel's dispatchers from
// a native thread, logs through orvel's loggers, and drives a Tandem queue through its native
// table, with orvel/native.hpp and orvel/native_logging.hpp instead of Cython.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include <orvel/native.hpp>
#include <orvel/native_logging.hpp>

namespace {

namespace native = orvel::native;

struct Fed {
  std::uint64_t pushed = 0;
  std::uint64_t full = 0;  // pushes refused with -2 and retried
  int refused = 0;         // the result that ended the feed early, or 0
};

// The producer thread's work: `count` records of `size` bytes, each starting with its sequence
// number (little-endian, as many bytes as fit), retried while the queue is full. Needs no
// interpreter lock, logging included.
Fed produce(const native::Producer& producer, std::uint64_t count, std::size_t size, spdlog::logger& log) {
  Fed fed;
  std::vector<char> record(size);
  for (std::uint64_t seq = 0; seq < count; ++seq) {
    std::memcpy(record.data(), &seq, std::min(size, sizeof seq));
    int result;
    native::FullQueueRetry retry;
    while ((result = producer.push(record.data(), record.size())) == -2) {
      ++fed.full;
      retry.pause();
    }
    if (result != 1) {
      fed.refused = result;
      log.warn("push refused with {} after {} records", result, fed.pushed);
      break;
    }
    ++fed.pushed;
  }
  log.info("fed {} records of {} bytes from a native thread", fed.pushed, size);
  return fed;
}

PyObject* feed(PyObject*, PyObject* args) {
  PyObject* target;
  unsigned long long count;
  Py_ssize_t size;
  const char* logger_name;
  if (!PyArg_ParseTuple(args, "OKns:feed", &target, &count, &size, &logger_name)) return nullptr;
  if (size < 0) {
    PyErr_SetString(PyExc_ValueError, "size must not be negative");
    return nullptr;
  }
  native::Producer producer = native::Producer::of(target);
  if (!producer) return nullptr;
  std::shared_ptr<spdlog::logger> log = native::logger(logger_name);
  if (!log) return nullptr;

  Fed fed;
  std::string failure;
  // Without the interpreter lock while the producer runs: the dispatcher's consumer takes it to
  // call back into Python.
  Py_BEGIN_ALLOW_THREADS
  try {
    std::thread([&] {
      try {
        fed = produce(producer, count, static_cast<std::size_t>(size), *log);
      } catch (const std::exception& error) {
        failure = error.what();
      }
    }).join();
  } catch (const std::exception& error) {
    failure = error.what();
  }
  Py_END_ALLOW_THREADS
  if (!failure.empty()) {
    PyErr_SetString(PyExc_RuntimeError, failure.c_str());
    return nullptr;
  }
  return Py_BuildValue("{s:K,s:K,s:i}", "pushed", static_cast<unsigned long long>(fed.pushed), "full",
                       static_cast<unsigned long long>(fed.full), "refused", fed.refused);
}

// A producer thread of flood(): pushes `size`-byte records until the target closes, whatever else
// the pushes return.
void push_until_closed(native::Producer producer, std::size_t size) {
  std::vector<char> record(size);
  while (producer.push(record.data(), record.size()) != -1) {
  }
}

PyObject* flood(PyObject*, PyObject* args) {
  PyObject* target;
  Py_ssize_t size;
  int threads;
  if (!PyArg_ParseTuple(args, "Oni:flood", &target, &size, &threads)) return nullptr;
  if (size < 0 || threads < 0) {
    PyErr_SetString(PyExc_ValueError, "size and threads must not be negative");
    return nullptr;
  }
  native::Producer producer = native::Producer::of(target);
  if (!producer) return nullptr;
  try {
    for (int started = 0; started < threads; ++started) {
      std::thread(push_until_closed, producer, static_cast<std::size_t>(size)).detach();
      Py_INCREF(target);  // one reference per thread, never given back: the thread may outlive all others
    }
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
    return nullptr;
  }
  Py_RETURN_NONE;
}

// Converts `message` with the conversion its type calls for and pushes the bytes into the queue
// as one variable-size message. 0, or -1 with a Python exception set.
int push_message(const native::Queue& queue, PyObject* message) {
  const native::Api& api = native::api();
  const char* data;
  std::size_t size;
  PyObject* holder = nullptr;  // keeps the bytes of an object conversion alive
  Py_buffer view;              // keeps the bytes of a buffer conversion alive
  bool viewed = false;
  int converted;
  if (PyBytes_Check(message)) {
    converted = api.bytes_to_cbuf(message, &data, &size);
  } else if (PyUnicode_Check(message)) {
    converted = api.str_to_cbuf(message, &data, &size);
  } else if (PyObject_CheckBuffer(message)) {
    converted = api.buf_to_cbuf(message, &view, &data, &size);
    viewed = converted == 0;
  } else {
    converted = api.obj_to_cbuf(message, &holder, &data, &size);
  }
  if (converted < 0) return -1;
  int result = queue.try_push_var(data, size);  // copies the bytes into the ring
  if (viewed) PyBuffer_Release(&view);
  Py_XDECREF(holder);
  if (result == 1) return 0;
  if (result != 0) PyErr_Format(PyExc_RuntimeError, "try_push_var returned %d", result);
  return -1;  // 0: the queue refused the message and its exception is pending
}

PyObject* round_trip(PyObject*, PyObject* args) {
  PyObject* queue_object;
  PyObject* messages;
  if (!PyArg_ParseTuple(args, "OO:round_trip", &queue_object, &messages)) return nullptr;
  native::Queue queue = native::Queue::of(queue_object);
  if (!queue) return nullptr;
  PyObject* iterator = PyObject_GetIter(messages);
  if (iterator == nullptr) return nullptr;
  while (PyObject* message = PyIter_Next(iterator)) {
    int pushed = push_message(queue, message);
    Py_DECREF(message);
    if (pushed < 0) break;
  }
  Py_DECREF(iterator);
  if (PyErr_Occurred()) return nullptr;

  PyObject* popped = PyList_New(0);
  void* data;
  std::size_t length;
  while (popped != nullptr && queue.try_pop_var(&data, &length) == 1) {
    PyObject* record = PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(length));
    if (record == nullptr || PyList_Append(popped, record) < 0) Py_CLEAR(popped);
    Py_XDECREF(record);
  }
  return popped;
}

PyObject* notify(PyObject*, PyObject* queue_object) {
  native::Queue queue = native::Queue::of(queue_object);
  if (!queue) return nullptr;
  queue.notify();
  Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"feed", feed, METH_VARARGS,
     "feed(target, count, size, logger_name) -> dict\n\n"
     "Pushes `count` records of `size` bytes (each starting with its sequence number) into a\n"
     "SyncDispatcher, AsyncDispatcher or LumPipe from a native thread, retrying while it is full,\n"
     "and logs a summary from that thread through the logger orvel gives for `logger_name`.\n"
     "Returns the counts pushed, retried when full, and the result that ended the feed early."},
    {"flood", flood, METH_VARARGS,
     "flood(target, size, threads) -> None\n\n"
     "Starts `threads` native threads that push records of `size` bytes into a SyncDispatcher,\n"
     "AsyncDispatcher or LumPipe, however the pushes end, until it closes, and returns at once:\n"
     "producers a script may leave running as it ends. Each thread keeps `target` alive."},
    {"round_trip", round_trip, METH_VARARGS,
     "round_trip(queue, messages) -> list[bytes]\n\n"
     "Converts each message to bytes (bytes, str as UTF-8, buffers, else bytes(message)), pushes\n"
     "it into the Tandem as a variable-size message and pops every message back."},
    {"notify", notify, METH_O,
     "notify(queue) -> None\n\nCloses the Tandem the way the signal watcher does, through tandem_notify."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "native_feed",
                          "orvel's queues, dispatchers and loggers from plain C++.", -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_native_feed() {
  if (orvel::native::import_bridge() < 0 || orvel::native::import_logging() < 0) return nullptr;
  return PyModule_Create(&module_def);
}

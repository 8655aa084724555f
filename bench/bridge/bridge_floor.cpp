// Floors and peers for bench_bridge.py. The first two move `count` records of `size` bytes from a
// native thread into Python, the last of them 1 byte long so that the callback can tell the end:
//   call_floor(callback, count, size) -> seconds
//       a native thread that keeps one thread state and, per record, takes the interpreter lock,
//       calls callback(bytes) and releases the lock: the least any native-to-Python bridge does.
//   call_soon_peer(loop, callback, count, size) -> None
//       a native thread that hands every record to the loop with loop.call_soon_threadsafe
//       (the lock taken per call, the thread state kept); the caller runs the loop until
//       `callback` has seen every record.
//   native_consumer(queue, start, size) -> seconds
//       a native thread that pops a Tandem's records with its blocking pop (spinning briefly,
//       then asleep in the queue) until it takes one shorter than `size`; `start()`, called once
//       the consumer runs, starts the producer. The peer of the batch dispatchers: the same
//       producer and the same ring, with no Python on the consuming side. (A consumer polling
//       with try_pop instead moved 4.2 to 4.6 M records/s where this one moved 14 to 16: its
//       looks at the write index keep taking the line from the producer.)
//   udp_latency(count, max_pause_us) -> [nanoseconds]
//       one-way latency of loopback UDP datagrams between two native threads, the receiver asleep
//       in recv: each datagram carries its send time; the sender pauses up to max_pause_us.
#include <Python.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "orvel/tandem/tandem_table.hpp"

namespace {

struct Job {
  PyObject* target;    // the callback, or the loop's call_soon_threadsafe
  PyObject* callback;  // the callback, when target is call_soon_threadsafe
  Py_ssize_t count;
  Py_ssize_t size;
  bool failed = false;
};

void run(Job& job) {
  const std::string payload(static_cast<std::size_t>(job.size), 'x');
  PyGILState_STATE state = PyGILState_Ensure();
  PyThreadState* thread_state = PyEval_SaveThread();
  for (Py_ssize_t i = 0; i < job.count && !job.failed; ++i) {
    PyEval_RestoreThread(thread_state);
    PyObject* record = PyBytes_FromStringAndSize(payload.data(), i + 1 == job.count ? 1 : job.size);
    PyObject* result = job.callback != nullptr
                           ? PyObject_CallFunctionObjArgs(job.target, job.callback, record, nullptr)
                           : PyObject_CallOneArg(job.target, record);
    Py_XDECREF(record);
    if (result == nullptr) {
      PyErr_WriteUnraisable(job.target);
      job.failed = true;
    }
    Py_XDECREF(result);
    thread_state = PyEval_SaveThread();
  }
  PyEval_RestoreThread(thread_state);
  PyGILState_Release(state);
}

PyObject* start_and_join(Job& job) {
  std::thread thread;
  Py_BEGIN_ALLOW_THREADS
  thread = std::thread(run, std::ref(job));
  thread.join();
  Py_END_ALLOW_THREADS
  if (job.failed) {
    PyErr_SetString(PyExc_RuntimeError, "a call failed");
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* call_floor(PyObject*, PyObject* args) {
  Job job{};
  if (!PyArg_ParseTuple(args, "Onn", &job.target, &job.count, &job.size)) return nullptr;
  const auto start = std::chrono::steady_clock::now();
  PyObject* done = start_and_join(job);
  if (done == nullptr) return nullptr;
  Py_DECREF(done);
  return PyFloat_FromDouble(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

// Runs the native thread in the background: the loop must run meanwhile. Returns a callable
// that joins it.
PyObject* call_soon_peer(PyObject*, PyObject* args) {
  PyObject* loop;
  auto* job = new Job{};
  if (!PyArg_ParseTuple(args, "OOnn", &loop, &job->callback, &job->count, &job->size)) {
    delete job;
    return nullptr;
  }
  job->target = PyObject_GetAttrString(loop, "call_soon_threadsafe");
  if (job->target == nullptr) {
    delete job;
    return nullptr;
  }
  Py_INCREF(job->callback);
  std::thread([job] {
    run(*job);
    PyGILState_STATE state = PyGILState_Ensure();
    Py_DECREF(job->target);
    Py_DECREF(job->callback);
    PyGILState_Release(state);
    delete job;
  }).detach();
  Py_RETURN_NONE;
}

PyObject* native_consumer(PyObject*, PyObject* args) {
  PyObject* queue;
  PyObject* start;
  Py_ssize_t size;
  if (!PyArg_ParseTuple(args, "OOn", &queue, &start, &size)) return nullptr;
  PyObject* capsule = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(queue)), "__pyx_vtable__");
  const auto* table = capsule != nullptr ? static_cast<const orvel::tandem::TandemTable*>(PyCapsule_GetPointer(capsule, nullptr)) : nullptr;
  Py_XDECREF(capsule);
  if (table == nullptr) return nullptr;
  std::atomic<bool> running{false};
  std::chrono::steady_clock::time_point end;
  std::thread consumer([&] {
    running.store(true);
    void* data;
    std::size_t length;
    while (table->pop(queue, &data, &length) == 1 && static_cast<Py_ssize_t>(length) >= size) {
    }
    end = std::chrono::steady_clock::now();
  });
  while (!running.load()) std::this_thread::yield();
  const auto begin = std::chrono::steady_clock::now();
  PyObject* started = PyObject_CallNoArgs(start);
  if (started == nullptr) table->close(queue);  // the consumer waits for records that will not come
  Py_XDECREF(started);
  Py_BEGIN_ALLOW_THREADS
  consumer.join();
  Py_END_ALLOW_THREADS
  if (started == nullptr) return nullptr;
  return PyFloat_FromDouble(std::chrono::duration<double>(end - begin).count());
}

std::int64_t steady_nanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

PyObject* udp_latency(PyObject*, PyObject* args) {
  Py_ssize_t count;
  unsigned max_pause_us;
  if (!PyArg_ParseTuple(args, "nI", &count, &max_pause_us)) return nullptr;
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd == -1 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd != -1) close(fd);
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  std::vector<std::int64_t> latencies(static_cast<std::size_t>(count));
  Py_BEGIN_ALLOW_THREADS
  std::thread receiver([&] {
    for (auto& latency : latencies) {
      std::int64_t sent = 0;
      if (recv(fd, &sent, sizeof sent, 0) == static_cast<ssize_t>(sizeof sent)) latency = steady_nanoseconds() - sent;
    }
  });
  std::mt19937 random(1);
  for (Py_ssize_t i = 0; i < count; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(random() % (max_pause_us + 1)));
    const std::int64_t now = steady_nanoseconds();
    (void)sendto(fd, &now, sizeof now, 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  }
  receiver.join();
  close(fd);
  Py_END_ALLOW_THREADS
  PyObject* list = PyList_New(count);
  for (Py_ssize_t i = 0; list != nullptr && i < count; ++i) {
    PyList_SET_ITEM(list, i, PyLong_FromLongLong(latencies[static_cast<std::size_t>(i)]));
  }
  return list;
}

PyMethodDef methods[] = {
    {"call_floor", call_floor, METH_VARARGS, nullptr},
    {"call_soon_peer", call_soon_peer, METH_VARARGS, nullptr},
    {"native_consumer", native_consumer, METH_VARARGS, nullptr},
    {"udp_latency", udp_latency, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "bridge_floor", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_bridge_floor() { return PyModule_Create(&module); }

#include "orvel/utils/portage/worker.hpp"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include "orvel/utils/portage/conversions.hpp"
#include "orvel/utils/portage/record_batch.hpp"
#include "orvel/utils/portage/unraisable.hpp"

namespace orvel::portage {
namespace {

// ---- the gate into the interpreter ----------------------------------------------------------
// A thread counts itself in, then checks the gate; the closer shuts the gate, then watches the
// count fall to zero. Both sides store, then load, sequentially consistent: either the closer
// sees the thread counted, or the thread sees the gate shut.
std::atomic<bool> gate_shut{false};
std::atomic<std::uint32_t> threads_inside{0};

// How long exit waits for the callbacks in progress to return. Callbacks normally take
// microseconds; one that blocks must not hold the process (see worker.hpp).
constexpr auto kExitGrace = std::chrono::milliseconds(100);

void count_out() noexcept { threads_inside.fetch_sub(1, std::memory_order_seq_cst); }

bool count_in() noexcept {
  threads_inside.fetch_add(1, std::memory_order_seq_cst);
  if (!gate_shut.load(std::memory_order_seq_cst)) return true;
  count_out();
  return false;
}

// A native thread's way into the interpreter: one thread state, made on the first entry and
// kept until close(). Entries and exits pair up; close() is an entry's exit that also deletes
// the thread state. enter() and deliver() may be ended by the interpreter at exit (worker.hpp).
class InterpreterSession {
 public:
  InterpreterSession(PyObject* callback, const char* name, PyObject*& failure, Deliveries& deliveries) noexcept
      : callback_(callback), name_(name), failure_(failure), deliveries_(deliveries) {}

  bool enter() {
    if (!count_in()) return false;
    if (thread_state_ == nullptr) {
      gil_state_ = PyGILState_Ensure();
      thread_state_ = PyThreadState_Get();
    } else {
      PyEval_RestoreThread(thread_state_);
    }
    return true;
  }

  void leave() noexcept {
    bytes_.clear();  // a record per entry at least: nothing is kept while the worker waits
    PyEval_SaveThread();
    count_out();
  }

  void close() noexcept {
    batches_.clear();
    PyGILState_Release(gil_state_);  // deletes the thread state if PyGILState_Ensure made it
    thread_state_ = nullptr;
    count_out();
  }

  // A failure is reported and kept in `failure` (owned), the worker's error. Each outcome is
  // counted in `deliveries`.
  bool deliver(const void* data, std::size_t length) {
    PyObject* record = bytes_.make(data, length);
    if (!call(record)) return false;
    tandem::detail::count(deliveries_.delivered);
    return true;
  }

  // A batch dispatcher's: the batch's records in one call. Its storage goes to a batch object
  // (BatchPool), which keeps it for as long as the callback or anything it passed it to holds it.
  bool deliver(BatchBuffer& batch) {
    const std::size_t records = batch.records();
    if (!call(batches_.wrap(batch))) return false;
    tandem::detail::count(deliveries_.delivered, records);
    tandem::detail::count(deliveries_.batches);
    return true;
  }

  // No batch could be made: the worker ends with MemoryError, as when a record's bytes cannot be.
  void out_of_memory() {
    PyErr_NoMemory();
    call(nullptr);
  }

 private:
  // Calls the callback with `argument` (a new reference, or null with an exception set) and
  // drops it. A failure is reported and kept in `failure` (owned), the worker's error.
  bool call(PyObject* argument) {
    PyObject* result = argument != nullptr ? PyObject_CallOneArg(callback_, argument) : nullptr;
    Py_XDECREF(argument);
    if (result == nullptr) {
      PyObject* error = PyErr_GetRaisedException();
      report_unraisable(error, name_);
      Py_XSETREF(failure_, error);
      if (argument != nullptr) tandem::detail::count(deliveries_.callback_errors);
      return false;
    }
    Py_DECREF(result);
    return true;
  }

  PyObject* callback_;
  const char* name_;
  PyObject*& failure_;
  Deliveries& deliveries_;
  PyThreadState* thread_state_ = nullptr;
  PyGILState_STATE gil_state_{};
  RecordBytes bytes_;  // the session drops each record once its callback is done
  BatchPool batches_;  // a batch dispatcher's batches, kept for reuse until the worker ends
};

// threading.current_thread() on a thread threading did not start makes an entry for it, named
// "Dummy-<n>"; the worker's is made once, with the thread's own name, when it first enters. On
// Python 3.12 nothing removes such an entry when the thread ends: the worker takes it out, or
// threading.enumerate() would list the ended worker for good. Naming is cosmetic: a failure
// leaves the default name and no exception.
PyObject* call_function(const char* module_name, const char* function) noexcept {
  PyObject* module = PyImport_ImportModule(module_name);
  PyObject* result = module != nullptr ? PyObject_CallMethod(module, function, nullptr) : nullptr;
  Py_XDECREF(module);
  return result;
}

void name_python_thread(const char* thread_name) noexcept {
  PyObject* thread = call_function("threading", "current_thread");
  PyObject* text = thread != nullptr ? PyUnicode_FromString(thread_name) : nullptr;
  if (text == nullptr || PyObject_SetAttrString(thread, "name", text) < 0) PyErr_Clear();
  Py_XDECREF(text);
  Py_XDECREF(thread);
}

void forget_python_thread() noexcept {
  PyObject* thread = call_function("threading", "current_thread");
  PyObject* done = thread != nullptr ? PyObject_CallMethod(thread, "_delete", nullptr) : nullptr;
  if (done == nullptr) PyErr_Clear();
  Py_XDECREF(done);
  Py_XDECREF(thread);
}

}  // namespace

// In a child forked by a callback, the worker's thread is the interpreter's main thread, and the
// end of its loop the end of the child's program. Returning would end the thread alone, leaving
// the interpreter unfinalised (atexit callbacks never run, buffered output lost) and the process
// alive as long as any thread the child started runs. The interpreter exits instead, as at the
// end of a script: SystemExit's status when a callback ended the loop with it, 1 for any other
// error, else 0.
namespace {
// threading knows the worker's thread by the entry name_python_thread() made, which fork made
// the child's main thread: a stand-in for a thread threading did not start, which its shutdown
// at exit refuses ("assert tlock is not None"). It takes the thread as its main thread now, as
// it would have at the fork had it not known the thread. Cosmetic: a failure leaves the entry.
void become_python_main_thread() noexcept {
  PyObject* threading = PyImport_ImportModule("threading");
  PyObject* main_thread = threading != nullptr ? PyObject_CallMethod(threading, "_MainThread", nullptr) : nullptr;
  if (main_thread == nullptr || PyObject_SetAttrString(threading, "_main_thread", main_thread) < 0) PyErr_Clear();
  Py_XDECREF(main_thread);
  Py_XDECREF(threading);
}

// A script's exit status, as the interpreter works it out from the error that ended the script:
// SystemExit's code (None 0, an integer itself, anything else written to stderr and 1), 1 for
// any other error, 0 without one.
int exit_status(PyObject* error) noexcept {
  if (error == nullptr) return 0;
  if (!PyErr_GivenExceptionMatches(error, PyExc_SystemExit)) return 1;
  PyObject* code = PyObject_GetAttrString(error, "code");
  int status = 1;
  if (code == Py_None) {
    status = 0;
  } else if (code != nullptr && PyLong_Check(code)) {
    status = static_cast<int>(PyLong_AsLong(code));
  } else if (code != nullptr) {
    PyObject* stream = PySys_GetObject("stderr");  // borrowed
    if (stream != nullptr && stream != Py_None && PyFile_WriteObject(code, stream, Py_PRINT_RAW) == 0) {
      PyFile_WriteString("\n", stream);
    }
  }
  PyErr_Clear();
  Py_XDECREF(code);
  return status;
}

// Python 3.13 finalises in the thread state it started with, switching to it from the current
// one; in a child forked from another thread that state was deleted by the fork, and Py_Exit()
// crashes. There the child does what finalising does while everything is still alive, then
// exits: threading's other threads joined, the atexit callbacks run, the standard streams
// flushed. What is still alive is not destroyed.
[[noreturn]] void exit_program(int status) noexcept {
#if PY_VERSION_HEX < 0x030D0000
  Py_Exit(status);
#else
  for (const auto [module, function] : {std::pair{"threading", "_shutdown"}, std::pair{"atexit", "_run_exitfuncs"}}) {
    PyObject* done = call_function(module, function);
    if (done == nullptr) PyErr_WriteUnraisable(nullptr);
    Py_XDECREF(done);
  }
  for (const char* name : {"stdout", "stderr"}) {
    PyObject* stream = PySys_GetObject(name);  // borrowed
    PyObject* done = stream != nullptr && stream != Py_None ? PyObject_CallMethod(stream, "flush", nullptr) : nullptr;
    if (done == nullptr) PyErr_Clear();
    Py_XDECREF(done);
  }
  std::exit(status);
#endif
}

// With the interpreter lock.
[[noreturn]] void end_forked_program(PyObject* error) {
  count_out();  // the program's main thread, not a worker, from now on: exit does not wait for it
  become_python_main_thread();
  exit_program(exit_status(error));
}
}  // namespace

// ---- workers started by setup(), for interpreter exit and fork --------------------------------
struct WorkerRegistry {
  std::mutex lock;
  std::vector<std::shared_ptr<Worker>> running;

  static WorkerRegistry& instance() {
    // Never destroyed: worker threads may still end while static objects are torn down.
    static WorkerRegistry* const registry = new WorkerRegistry;
    return *registry;
  }

  WorkerRegistry() {
    // The lock is held across fork, so that the child's copy of the registry is consistent.
    pthread_atfork([] { instance().lock.lock(); }, [] { instance().lock.unlock(); }, forked_child);
  }

  // A forked child has one thread: the one that called fork. As far as the child can tell, its
  // copies of the parent's other workers have ended (close() must not wait for them) and none is
  // inside the interpreter; their references stay with the child until it ends. If the forking
  // thread is a worker (a callback that forks), it runs on in the child, inside the interpreter,
  // as its main thread: when its loop ends the child's program has ended (end_forked_program()).
  // Their queues are closed as well: nobody in the child consumes them, and a producer the child
  // starts is told so (-1) instead of filling a queue for nobody.
  static void forked_child() {
    WorkerRegistry& registry = instance();
    const Worker* survivor = nullptr;
    for (const auto& worker : registry.running) {
      if (worker->thread_ == std::this_thread::get_id()) {
        survivor = worker.get();
        worker->forked_here_ = true;
      }
    }
    std::erase_if(registry.running, [survivor](const auto& worker) {
      if (worker.get() == survivor) return false;
      worker->phase_.store(Worker::kEnded, std::memory_order_relaxed);
      // The forking thread holds the interpreter lock, which guards queue_.
      if (worker->queue_ != nullptr) worker->table_->close(worker->queue_);
      return true;
    });
    threads_inside.store(registry.running.empty() ? 0 : 1, std::memory_order_relaxed);
    registry.lock.unlock();
  }

  void add(std::shared_ptr<Worker> worker) {
    std::lock_guard guard(lock);
    running.push_back(std::move(worker));
  }

  void remove(const Worker* worker) noexcept {
    std::lock_guard guard(lock);
    std::erase_if(running, [worker](const auto& w) { return w.get() == worker; });
  }

  std::vector<std::shared_ptr<Worker>> snapshot() {
    std::lock_guard guard(lock);
    return running;
  }
};

void Worker::start(const std::shared_ptr<Worker>& worker, PyObject* queue, const tandem::TandemTable* table,
                   PyObject* callback, WorkerBody body, const char* name) {
  // A worker started now could never enter the interpreter to deliver.
  if (gate_shut.load(std::memory_order_seq_cst)) throw std::runtime_error("the interpreter is exiting");
  std::uint32_t idle = kIdle;
  if (!worker->phase_.compare_exchange_strong(idle, kRunning, std::memory_order_acq_rel)) {
    throw std::logic_error("the worker was started already");
  }
  WorkerRegistry& registry = WorkerRegistry::instance();
  // Seen by top -H, gdb and Python's threading module; the kernel keeps 15 characters.
  static std::atomic<unsigned> started_count{0};
  char thread_name[16];
  std::snprintf(thread_name, sizeof thread_name, "orvel-sync-%u", started_count.fetch_add(1, std::memory_order_relaxed) + 1);
  Py_INCREF(queue);
  Py_INCREF(callback);
  // Now, not when the thread first runs: a fork or an exit in between closes this queue too.
  worker->queue_ = queue;
  worker->table_ = table;
  try {
    registry.add(worker);
    std::thread thread([worker, queue, table, callback, body, name, thread_name] {
      pthread_setname_np(pthread_self(), thread_name);
      worker->run(queue, table, callback, body, name, thread_name);
      WorkerRegistry::instance().remove(worker.get());
      // Release: pairs with the acquire load in join(); the worker's last uses come before.
      worker->phase_.store(kEnded, std::memory_order_release);
      worker->phase_.notify_all();
    });
    worker->thread_ = thread.get_id();
    thread.detach();  // join() waits on the phase, which a forked child can also settle
  } catch (...) {
    registry.remove(worker.get());
    worker->queue_ = nullptr;
    Py_DECREF(queue);
    Py_DECREF(callback);
    worker->phase_.store(kIdle, std::memory_order_release);
    throw;
  }
}

void Worker::run(PyObject* queue, const tandem::TandemTable* table, PyObject* callback, WorkerBody body,
                 const char* name, const char* thread_name) {
  PyObject* failure = nullptr;
  InterpreterSession session(callback, name, failure, deliveries_);
  tandem::TandemRef ring(queue, table);
  // An entry that fails means the interpreter is going away: the references go with it.
  if (!session.enter()) {
    ring.close();
    return;
  }
  queue_ = queue;
  table_ = table;
  if (thread_name != nullptr) name_python_thread(thread_name);
  session.leave();
  if (batching()) {
    BatchFiller filler(batches_);
    drain_batches(ring, body, running, wake, session, filler);
  } else {
    drain(ring, body, running, wake, session, counting_pushes_ ? &pushed_ : nullptr);
  }
  const bool entered = session.enter();
  if (entered && failure != nullptr && !error_forgotten_) {
    Py_XSETREF(error_, failure);
  } else if (entered) {
    Py_XDECREF(failure);
  }
  // After the error is kept: a producer told -1 finds why.
  ring.close();
  if (!entered) return;
  queue_ = nullptr;
  Py_DECREF(queue);
  Py_DECREF(callback);
  if (forked_here_) end_forked_program(error_);
  if (thread_name != nullptr) forget_python_thread();
  session.close();
}

void Worker::forget_error() noexcept {
  error_forgotten_ = true;
  Py_CLEAR(error_);
}

void Worker::stop() noexcept {
  running.store(false, std::memory_order_release);  // pairs with the acquire loads in drain()
  if (queue_ != nullptr) table_->close(queue_);
  wake.ring();
}

void Worker::join() const noexcept {
  if (std::this_thread::get_id() == thread_ || gate_shut.load(std::memory_order_seq_cst)) return;
  for (std::uint32_t phase; (phase = phase_.load(std::memory_order_acquire)) == kRunning;) {
    phase_.wait(phase, std::memory_order_acquire);
  }
}

void close_interpreter_to_workers() noexcept {
  gate_shut.store(true, std::memory_order_seq_cst);
  for (const auto& worker : WorkerRegistry::instance().snapshot()) worker->stop();
  Py_BEGIN_ALLOW_THREADS
  const auto deadline = std::chrono::steady_clock::now() + kExitGrace;
  while (threads_inside.load(std::memory_order_seq_cst) != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Py_END_ALLOW_THREADS
}

}  // namespace orvel::portage

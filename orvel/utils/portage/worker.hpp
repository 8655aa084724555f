#pragma once

// The worker of a SyncDispatcher: a native thread that drains the dispatcher's queue and calls a
// Python callback with each record.
//
// The worker holds the queue, the callback and this shared state, never the dispatcher: dropping
// the dispatcher's last reference still closes it and ends the worker, and whichever of the two
// ends last frees the state. The worker keeps one thread state for its whole life and takes the
// interpreter lock from it for each run of records (a thread state made per record cost 12.4 us
// against 250 ns with a kept one).
//
// Interpreter exit: close_interpreter_to_workers() stops every worker and shuts a gate that
// keeps them out of the interpreter from then on. A callback still running after a short grace
// (one that blocks: a put on a full queue, an event never set) does not hold the process: like a
// daemon thread, its thread is ended by the interpreter if it asks for the interpreter lock
// during finalisation. That forced unwind runs through the worker's frames, so no frame between
// the thread's start and the interpreter is noexcept (it would end the process with
// std::terminate instead).

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

#include "orvel/tandem/tandem_table.hpp"
#include "orvel/utils/portage/batch_loop.hpp"
#include "orvel/utils/portage/bridge_stats.hpp"
#include "orvel/utils/portage/drain_loop.hpp"
#include "orvel/utils/portage/producer_wait.hpp"
#include "orvel/utils/portage/wake_channel.hpp"

namespace orvel::portage {

class Worker {
 public:
  // Cleared by stop(); the loop ends at its next pass.
  std::atomic<bool> running{true};
  // The dispatcher's wake-up channel (unarmed in blocking mode).
  WakeChannel wake;

  // Blocking single-slot mode counts the records pushed, so that the worker can deliver a run of
  // them per entry into the interpreter (see drain()). Not for a queue that drops records. Called
  // with a new queue, before any worker or producer runs.
  void count_pushes(bool enabled) noexcept {
    counting_pushes_ = enabled;
    pushed_.store(0, std::memory_order_relaxed);
  }
  // A push of blocking mode: push (or push_var for `whole_messages`) on `queue`, whose ring is
  // `ring`, through its `table`, in the producers' turn (wake.producer_turn, waited for as
  // ProducerWait does), counting what it pushed. Returns the queue's result, or the turn's refusal
  // (TurnHeld). Not noexcept: see TurnHeld.
  int push(const tandem::TandemTable& table, void* queue, const tandem::TandemCore& ring, const void* data,
           std::size_t length, bool whole_messages) {
    TurnHeld<ProducerWait> held(wake.producer_turn, ring);
    if (!held.held()) return held.refusal();
    if (whole_messages) return table.push_var(queue, data, length);
    const int result = table.push(queue, data, length);
    // One producer at a time: a load and a store, no read-modify-write. Release: after the push's
    // own publication; pairs with the acquire load in drain().
    if (result > 0 && counting_pushes_) {
      pushed_.store(pushed_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }
    return result;
  }

  // Hands the callback batches of records (batch_loop.hpp) instead of one record at a time.
  // Called with a new dispatcher, before any worker runs.
  void deliver_batches(BatchBounds bounds) noexcept { batches_ = bounds; }
  bool batching() const noexcept { return batches_.max_records != 0; }

  // With the interpreter lock: starts a thread that runs run() on the calling worker. Throws
  // std::logic_error when a worker was started before, std::runtime_error once the interpreter
  // is exiting, std::system_error when the thread cannot be made.
  static void start(const std::shared_ptr<Worker>& worker, PyObject* queue, const tandem::TandemTable* table,
                    PyObject* callback, WorkerBody body, const char* name);

  // Runs the loop on the calling thread, without the interpreter lock, until it ends; then closes
  // the queue (nobody consumes it any more: producers get -1 and blocked ones are released) and
  // drops `queue` and `callback`, references the caller has made for it. A failing callback is
  // reported through the unraisable-exception hook under `name`, kept as error() and ends the
  // loop. A `thread_name` (the worker thread's own) names the thread for Python's threading
  // module while the loop runs. Not noexcept: see the top of this file.
  void run(PyObject* queue, const tandem::TandemTable* table, PyObject* callback, WorkerBody body,
           const char* name, const char* thread_name = nullptr);

  // Stops the loop: clears `running`, closes the queue the loop drains and rings the channel.
  // With the interpreter lock (it guards the loop's queue reference).
  void stop() noexcept;

  // Waits, without the interpreter lock, until the started worker thread has ended. Returns at
  // once when none was started, on the worker thread itself (a callback that closes its own
  // dispatcher), and once the interpreter is exiting (its workers are not waited for then).
  void join() const noexcept;
  bool started() const noexcept { return phase_.load(std::memory_order_acquire) != kIdle; }
  // Whether the started worker thread has not ended yet.
  bool alive() const noexcept { return phase_.load(std::memory_order_acquire) == kRunning; }

  // What the loop has delivered so far; from any thread (relaxed, see bridge_stats.hpp).
  Deliveries deliveries() const noexcept {
    return {tandem::detail::counted(deliveries_.delivered), tandem::detail::counted(deliveries_.callback_errors),
            tandem::detail::counted(deliveries_.batches)};
  }

  // With the interpreter lock: the exception that ended the loop (borrowed), or null.
  PyObject* error() const noexcept { return error_; }
  // With the interpreter lock, when the dispatcher goes: nobody will ask for the error again.
  void forget_error() noexcept;

 private:
  friend void close_interpreter_to_workers() noexcept;
  friend struct WorkerRegistry;
  enum Phase : std::uint32_t { kIdle, kRunning, kEnded };

  std::atomic<std::uint32_t> phase_{kIdle};
  bool counting_pushes_ = false;  // set before any producer runs
  BatchBounds batches_{0, 0};     // no records: one record per callback
  // Written by the producer on every push: a cache line of its own, away from what the worker reads.
  alignas(64) std::atomic<std::uint64_t> pushed_{0};
  std::byte after_pushed_[64 - sizeof(std::atomic<std::uint64_t>)];
  // Counted by the worker thread for each record, away from the lines the producer touches
  // (pushed_, and the channel's waiting_ flag, which every push loads).
  Deliveries deliveries_;
  std::thread::id thread_;  // set by start(), under the interpreter lock
  // This worker's thread forked, from its callback: in the child it is the interpreter's main
  // thread (set in the child, on that thread).
  bool forked_here_ = false;
  // Written and read under the interpreter lock.
  PyObject* error_ = nullptr;  // owned
  bool error_forgotten_ = false;
  // The queue run() drains, for stop(); written and read under the interpreter lock.
  PyObject* queue_ = nullptr;
  const tandem::TandemTable* table_ = nullptr;
};

// At interpreter exit, before finalisation, with the interpreter lock held: stops every worker
// thread and waits, the lock released, until no worker is inside the interpreter or entering it,
// or kExitGrace has passed. From then on none enters it again; they end without the interpreter
// (their references are left to the process's end).
void close_interpreter_to_workers() noexcept;

}  // namespace orvel::portage

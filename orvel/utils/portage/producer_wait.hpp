#pragma once

// How a dispatcher's producers wait for their turn (producer_turn.hpp), on any thread, with or
// without a Python thread state and the interpreter lock.

#include <Python.h>

#include <cstddef>
#include <utility>

#include "orvel/tandem/tandem_core.hpp"
#include "orvel/tandem/tandem_table.hpp"
#include "orvel/utils/portage/producer_turn.hpp"
#include "orvel/utils/portage/wake_channel.hpp"

namespace orvel::portage {

// A producer that has to wait for the turn with the interpreter lock held lets it go, for the wait
// and its push, and takes it back once the turn is given back: the producer in the middle of its
// turn may wait for room that only the consumer makes, and the consumer takes the lock for each
// callback. Holding the lock for a push that does not wait stays allowed, and costs nothing while
// nobody else pushes. The wait ends when the dispatcher's queue closes.
class ProducerWait {
 public:
  explicit ProducerWait(const tandem::TandemCore& ring) noexcept : ring_(ring) {}
  void let_go() noexcept {
    if (holds_interpreter_lock()) saved_ = PyEval_SaveThread();
  }
  bool closed() const noexcept { return !ring_.is_open(); }
  // Not noexcept: a thread that asks for the lock while the interpreter finalises is ended by
  // unwinding it (see TurnHeld).
  void take_back() {
    if (saved_ != nullptr) PyEval_RestoreThread(std::exchange(saved_, nullptr));
  }

 private:
  // A thread's current thread state is set exactly while it holds the lock.
  static bool holds_interpreter_lock() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    return _PyThreadState_UncheckedGet() != nullptr;
#endif
  }

  const tandem::TandemCore& ring_;
  PyThreadState* saved_ = nullptr;
};

// A dispatcher's push that never waits for room (WakeChannel::push) on `queue`, whose ring is
// `ring`. Not noexcept: see TurnHeld.
inline int push_waking(WakeChannel& wake, const tandem::TandemTable& table, void* queue,
                       const tandem::TandemCore& ring, const void* data, std::size_t length, bool whole_messages) {
  return wake.push<ProducerWait>(table, queue, data, length, whole_messages, ring);
}

}  // namespace orvel::portage

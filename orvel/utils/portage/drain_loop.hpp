#pragma once

// The consumer loops of a dispatcher's worker: records leave the queue and reach a session that
// hands them on (in the module: to a Python callback, under the interpreter lock).
//
// Queue: the consumer operations of the slot ring (try_pop, try_pop_var, peek, advance,
// pop_var) with its result codes.
// Session:
//   bool enter()   takes what delivery needs (the interpreter lock); false ends the loop
//   void leave()   gives it back
//   bool deliver(const void* data, std::size_t length)
//                  between enter and leave; false (the callback failed) ends the loop
//
// Every loop ends when `running` is false at the top of a pass, when the queue reports it is
// closed (close() or the signal watcher: a closed queue never yields a record again, so there is
// nothing left to wait for), or when the session says so.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "orvel/tandem/tandem_core.hpp"
#include "orvel/utils/portage/wake_channel.hpp"

namespace orvel::portage {

enum class WorkerBody : std::uint8_t {
  kTryPop,     // polls single-slot records; sleeps on the wake-up channel when the queue is empty
  kTryPopVar,  // the same for variable-size messages
  kPop,        // sleeps in the queue (peek); a record is consumed only once delivered
  kPopVar,     // sleeps in the queue (pop_var)
};

// Records delivered per entry into the session while more are waiting. One interpreter lock
// acquisition then serves a run of records; the callback's own bytecode still lets other
// threads take the lock when they ask for it, and the run bounds the wait of a native callback.
inline constexpr int kRecordsPerEntry = 64;

// How long a run waits for its next record before it leaves the session. A worker that has caught
// up with its producer found the queue empty after almost every record, and gave the interpreter
// lock back and took it again for the next one, which costs several times the record's own
// delivery: bench/bridge, SyncDispatcher with the waking socket on an otherwise quiet machine,
// 3.7 to 8.9 M records/s from one run to the next, as the worker happened to run behind its
// producer or beside it. A producer that is pushing brings the next record within this gap, and
// the wait is far shorter than the interpreter's switch interval, which bounds how long the lock
// is held in a run anyway.
inline constexpr std::chrono::nanoseconds kRunGap{1000};

namespace detail {

using tandem::kNothing;
using tandem::kSuccess;

// Delivers `first`, then whatever try_pop finds at once, up to kRecordsPerEntry, in one entry.
template <class Session, class TryPop>
bool deliver_run(Session& session, const std::atomic<bool>& running, void* data, std::size_t length,
                 TryPop try_pop) {
  if (!session.enter()) return false;
  bool delivered = session.deliver(data, length);
  for (int n = 1; delivered && n < kRecordsPerEntry && running.load(std::memory_order_acquire); ++n) {
    int result = try_pop(&data, &length);
    if (result == kNothing) {
      tandem::spin_until([&] { return (result = try_pop(&data, &length)) != kNothing; }, kRunGap);
    }
    if (result != kSuccess) break;
    delivered = session.deliver(data, length);
  }
  session.leave();
  return delivered;
}

// Polls for a record as the ring's waits do before the consumer goes to sleep: a producer that
// is about to push then saves both sides the wake-up round trip.
template <class TryPop>
int poll_briefly(TryPop try_pop, void** data, std::size_t* length) {
  int result = kNothing;
  tandem::spin_until([&] { return (result = try_pop(data, length)) != kNothing; });
  return result;
}

// The next record of a consumer that polls: polls briefly, then announces its wait, looks once
// more and sleeps on the wake-up channel. kNothing after a sleep: look again.
template <class TryPop>
int next_polled(WakeChannel& wake, TryPop try_pop, void** data, std::size_t* length) {
  int result = try_pop(data, length);
  if (result == kNothing) result = poll_briefly(try_pop, data, length);
  if (result == kNothing) {
    const bool fenced = wake.announce_wait();
    result = try_pop(data, length);  // a record published before the producer saw the flag
    if (result == kNothing) wake.await_datagram(/*bounded=*/!fenced);
    wake.withdraw_wait();
  }
  return result;
}

template <class Session, class TryPop>
void drain_polling(const std::atomic<bool>& running, WakeChannel& wake, Session& session, TryPop try_pop) {
  void* data = nullptr;
  std::size_t length = 0;
  // Acquire: pairs with the release store of close(); what close() did before is seen after.
  while (running.load(std::memory_order_acquire)) {
    const int result = next_polled(wake, try_pop, &data, &length);
    if (result == kNothing) continue;
    if (result != kSuccess) return;
    if (!deliver_run(session, running, data, length, try_pop)) return;
  }
}

}  // namespace detail

// `pushed`, when given, counts the records pushed so far (incremented after each successful push,
// release). kPop uses it to deliver a run of records per entry: peek waits when the queue is
// empty, which it must not do inside the session, and a record counted there is known to be in
// the queue. Only for queues that never drop records (not overwrite mode); a record pushed without
// being counted only makes the runs shorter.
template <class Queue, class Session>
void drain(Queue& queue, WorkerBody body, const std::atomic<bool>& running, WakeChannel& wake,
           Session& session, const std::atomic<std::uint64_t>* pushed = nullptr) {
  auto try_pop = [&](void** data, std::size_t* length) { return queue.try_pop(data, length); };
  auto try_pop_var = [&](void** data, std::size_t* length) { return queue.try_pop_var(data, length); };
  void* data = nullptr;
  std::size_t length = 0;
  switch (body) {
    case WorkerBody::kTryPop:
      return detail::drain_polling(running, wake, session, try_pop);
    case WorkerBody::kTryPopVar:
      return detail::drain_polling(running, wake, session, try_pop_var);
    case WorkerBody::kPop: {
      std::uint64_t taken = 0;
      std::uint64_t pushed_seen = 0;  // reloaded only when the records it counts are taken
      auto more_waiting = [&] {
        if (pushed == nullptr) return false;
        // Acquire: pairs with the release store after a push, which came after the push's
        // publication; a record counted is one that peek finds without waiting.
        auto counted = [&] {
          pushed_seen = pushed->load(std::memory_order_acquire);
          return static_cast<std::int64_t>(pushed_seen - taken) > 0;
        };
        return static_cast<std::int64_t>(pushed_seen - taken) > 0 || counted() || tandem::spin_until(counted, kRunGap);
      };
      while (running.load(std::memory_order_acquire)) {
        if (queue.peek(&data, &length) != detail::kSuccess || !session.enter()) return;
        bool delivered = true;
        for (int n = 0; delivered && n < kRecordsPerEntry; ++n) {
          if (n > 0 && !(running.load(std::memory_order_acquire) && more_waiting() &&
                         queue.peek(&data, &length) == detail::kSuccess)) {
            break;
          }
          delivered = session.deliver(data, length);
          if (delivered) {  // a record whose callback failed stays in the queue
            queue.advance();
            ++taken;
          }
        }
        session.leave();
        if (!delivered) return;
      }
      return;
    }
    case WorkerBody::kPopVar:
      while (running.load(std::memory_order_acquire)) {
        if (queue.pop_var(&data, &length) != detail::kSuccess) return;
        if (!detail::deliver_run(session, running, data, length, try_pop_var)) return;
      }
      return;
  }
}

}  // namespace orvel::portage

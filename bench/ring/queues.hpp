#pragma once

// Every queue of the comparison behind the same two calls, send(record) and receive(record), each
// used the way its authors intend:
//   - the ring: try_push retried on kFull, or push in kBlockOnFull mode; received with
//     peek + copy + advance (one copy out of the slot), pop + copy (pop has already copied the
//     slot into the queue's buffer), or try_pop retried until a record is there;
//   - boost::lockfree::spsc_queue: push / pop(T&), which cannot wait: retried;
//   - moodycamel::ReaderWriterQueue: try_enqueue / try_dequeue, retried;
//   - moodycamel::BlockingReaderWriterCircularBuffer: wait_enqueue / wait_dequeue (spin, then
//     sleep on a semaphore), or try_dequeue retried for the hot latency runs;
//   - OneCacheLine, the floor of the hot latency runs: one cache line handed over, no queue.
// Every retry loop pauses the same way (cpu_relax). Every queue holds kCapacity records.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <boost/lockfree/spsc_queue.hpp>
#include <readerwriterqueue/readerwritercircularbuffer.h>
#include <readerwriterqueue/readerwriterqueue.h>

#include "harness.hpp"
#include "orvel/tandem/tandem_core.hpp"
#include "orvel/tandem/waitable_index.hpp"

namespace orvel::bench {

inline constexpr std::size_t kCapacity = 1024;

enum class Push : std::uint8_t {
  kTrySpin,   // try_push, retried on kFull
  kBlocking,  // kBlockOnFull mode, push
};
enum class Take : std::uint8_t {
  kPeek,        // peek + copy + advance
  kPop,         // pop + copy
  kTryPopSpin,  // try_pop retried on kNothing, + copy
};

template <class Index, Push P, Take T, std::size_t Size>
class RingQueue {
 public:
  using Rec = Record<Size>;

  RingQueue() { core_.configure(sizeof(Rec), kCapacity, P == Push::kBlocking ? tandem::kBlockOnFull : 0); }

  void send(const Rec& r) noexcept {
    int rc = tandem::kSuccess;
    if constexpr (P == Push::kBlocking) {
      rc = core_.push(&r, sizeof(r));
    } else {
      while ((rc = core_.try_push(&r, sizeof(r))) == tandem::kFull) tandem::cpu_relax();
    }
    if (rc != tandem::kSuccess) fail("ring push failed");
  }

  void receive(Rec& r) noexcept {
    void* data = nullptr;
    std::size_t length = 0;
    int rc = tandem::kSuccess;
    if constexpr (T == Take::kPeek) {
      rc = core_.peek(&data, &length);
    } else if constexpr (T == Take::kPop) {
      rc = core_.pop(&data, &length);
    } else {
      while ((rc = core_.try_pop(&data, &length)) == tandem::kNothing) tandem::cpu_relax();
    }
    if (rc != tandem::kSuccess || length != sizeof(r)) fail("ring receive failed");
    std::memcpy(&r, data, sizeof(r));
    if constexpr (T == Take::kPeek) core_.advance();
  }

 private:
  tandem::BasicTandemCore<Index> core_;
};

template <Push P, Take T, std::size_t Size>
using Ring = RingQueue<tandem::WaitableIndex, P, T, Size>;
template <Push P, Take T, std::size_t Size>
using SpinRing = RingQueue<tandem::SpinningIndex, P, T, Size>;

template <std::size_t Size>
class BoostSpsc {
 public:
  using Rec = Record<Size>;
  void send(const Rec& r) noexcept {
    while (!queue_.push(r)) tandem::cpu_relax();
  }
  void receive(Rec& r) noexcept {
    while (!queue_.pop(r)) tandem::cpu_relax();
  }

 private:
  // Compile-time capacity: the fastest form (the index wrap is a constant compare).
  boost::lockfree::spsc_queue<Rec, boost::lockfree::capacity<kCapacity>> queue_;
};

template <std::size_t Size>
class MoodyQueue {
 public:
  using Rec = Record<Size>;
  // try_enqueue never allocates, so the queue keeps what it was built with: room for at least
  // kCapacity records (it cannot be sized exactly: 4 blocks of 512 slots here).
  void send(const Rec& r) noexcept {
    while (!queue_.try_enqueue(r)) tandem::cpu_relax();
  }
  void receive(Rec& r) noexcept {
    while (!queue_.try_dequeue(r)) tandem::cpu_relax();
  }

 private:
  moodycamel::ReaderWriterQueue<Rec> queue_{kCapacity};
};

template <bool HotReceive, std::size_t Size>
class MoodyBlocking {
 public:
  using Rec = Record<Size>;
  void send(const Rec& r) noexcept { queue_.wait_enqueue(r); }
  void receive(Rec& r) noexcept {
    if constexpr (HotReceive) {
      while (!queue_.try_dequeue(r)) tandem::cpu_relax();
    } else {
      queue_.wait_dequeue(r);
    }
  }

 private:
  moodycamel::BlockingReaderWriterCircularBuffer<Rec> queue_{kCapacity};
};

// Not a queue: the hardware's floor beneath them all. The sender's store to one cache line, which
// the receiver polls, carries the record's sequence number and stamp; the rest of the record is
// rebuilt from them. For ping-pong only: a sender stores again only after the receiver answered.
class OneCacheLine {
 public:
  using Rec = Record<64>;
  void send(const Rec& r) noexcept {
    seq_.store(r.seq, std::memory_order_relaxed);
    stamp_.store(r.stamp, std::memory_order_relaxed);
    // Release: pairs with the acquire load in receive(), which then sees the two stores above.
    sends_.store(sends_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  }
  void receive(Rec& r) noexcept {
    std::uint64_t sends;
    while ((sends = sends_.load(std::memory_order_acquire)) == received_) tandem::cpu_relax();
    received_ = sends;
    r.seq = r.tail = seq_.load(std::memory_order_relaxed);
    r.stamp = stamp_.load(std::memory_order_relaxed);
  }

 private:
  alignas(64) std::atomic<std::uint64_t> sends_{0};
  std::atomic<std::uint64_t> seq_{0};
  std::atomic<std::uint64_t> stamp_{0};
  alignas(64) std::uint64_t received_ = 0;  // the receiver's own line
};

}  // namespace orvel::bench

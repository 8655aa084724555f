#pragma once

// Records in batches: the consumer loop of a dispatcher that hands its callback everything
// waiting in the queue at once, in one contiguous block.
//
// A batch is filled without the interpreter lock: its first record is waited for as the record
// loops of drain_loop.hpp wait (on the wake-up channel, or in the queue), and then it takes what
// the queue holds at that moment, up to a number of records and of bytes, never waiting for more.
// Each record is copied into the batch as it is popped, so the ring's slot is free at once and the
// batch owns its bytes: nothing in it refers to the ring.
//
// A record that would take a batch over its byte bound is held back and starts the next batch;
// a single record larger than the bound makes a batch of its own. The record held back stays in
// the queue's own buffers (the pop's copy, or the reassembled message) until the next pop, which
// comes only after the batch that held it back has been delivered.
//
// Session (as in drain_loop.hpp, with batches):
//   bool enter() / void leave()
//   bool deliver(BatchBuffer& batch)   false ends the loop; may swap the batch's storage for
//                                      another (empty or not: the filler clears it)
//   void out_of_memory()               between enter and leave: no batch could be made

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "orvel/utils/portage/drain_loop.hpp"

namespace orvel::portage {

struct BatchBounds {
  std::size_t max_records;  // at least 1
  std::size_t max_bytes;    // at least 1; a larger single record still makes a batch
};

// A batch's storage: the records' bytes back to back, and each record's offset and length.
class BatchBuffer {
 public:
  BatchBuffer() noexcept = default;
  ~BatchBuffer() {
    std::free(bytes_);
    std::free(offsets_);
    std::free(lengths_);
  }
  BatchBuffer(const BatchBuffer&) = delete;
  BatchBuffer& operator=(const BatchBuffer&) = delete;

  std::size_t records() const noexcept { return records_; }
  std::size_t bytes() const noexcept { return used_; }
  bool empty() const noexcept { return records_ == 0; }
  const std::byte* data() const noexcept { return bytes_; }
  const std::uint64_t* offsets() const noexcept { return offsets_; }
  const std::uint64_t* lengths() const noexcept { return lengths_; }
  // The length every record of the batch has, or -1 when they differ (or there are none).
  std::int64_t record_size() const noexcept { return uniform_ ? static_cast<std::int64_t>(lengths_[0]) : -1; }

  void clear() noexcept {
    records_ = 0;
    used_ = 0;
    uniform_ = false;
  }

  // Appends a copy of the record; false, with the batch unchanged, when memory ran out.
  bool add(const void* data, std::size_t length) noexcept {
    if (records_ == index_capacity_ && !grow_index()) return false;
    if (length > byte_capacity_ - used_ && !grow_bytes(length)) return false;
    if (length != 0) std::memcpy(bytes_ + used_, data, length);
    uniform_ = records_ == 0 || (uniform_ && lengths_[0] == length);
    offsets_[records_] = used_;
    lengths_[records_] = length;
    ++records_;
    used_ += length;
    return true;
  }

  void swap(BatchBuffer& other) noexcept {
    std::swap(bytes_, other.bytes_);
    std::swap(offsets_, other.offsets_);
    std::swap(lengths_, other.lengths_);
    std::swap(records_, other.records_);
    std::swap(used_, other.used_);
    std::swap(byte_capacity_, other.byte_capacity_);
    std::swap(index_capacity_, other.index_capacity_);
    std::swap(uniform_, other.uniform_);
  }

 private:
  // Doubling, as the ring's reassembly buffer grows; never shrinking, so a batch reused for the
  // next delivery allocates nothing once it has seen the largest.
  bool grow_bytes(std::size_t length) noexcept {
    std::size_t capacity = byte_capacity_ > 0 ? byte_capacity_ : 4096;
    while (capacity - used_ < length) {
      if (capacity > SIZE_MAX / 2) {
        capacity = used_ + length;
        if (capacity < used_) return false;
        break;
      }
      capacity *= 2;
    }
    void* grown = std::realloc(bytes_, capacity);
    if (grown == nullptr) return false;
    bytes_ = static_cast<std::byte*>(grown);
    byte_capacity_ = capacity;
    return true;
  }

  bool grow_index() noexcept {
    const std::size_t capacity = index_capacity_ > 0 ? 2 * index_capacity_ : 64;
    if (capacity > SIZE_MAX / sizeof(std::uint64_t)) return false;
    void* offsets = std::realloc(offsets_, capacity * sizeof(std::uint64_t));
    if (offsets == nullptr) return false;
    offsets_ = static_cast<std::uint64_t*>(offsets);
    void* lengths = std::realloc(lengths_, capacity * sizeof(std::uint64_t));
    if (lengths == nullptr) return false;  // the offsets grown already are only spare room
    lengths_ = static_cast<std::uint64_t*>(lengths);
    index_capacity_ = capacity;
    return true;
  }

  std::byte* bytes_ = nullptr;
  std::uint64_t* offsets_ = nullptr;
  std::uint64_t* lengths_ = nullptr;
  std::size_t records_ = 0;
  std::size_t used_ = 0;
  std::size_t byte_capacity_ = 0;
  std::size_t index_capacity_ = 0;
  bool uniform_ = false;
};

// Fills one batch after another from a queue; the consumer thread's own.
class BatchFiller {
 public:
  explicit BatchFiller(BatchBounds bounds) noexcept : bounds_(bounds) {}

  BatchBuffer& batch() noexcept { return batch_; }

  // Starts a new batch: empties it, then moves in the record held back from the last one. False
  // when that record cannot be stored (out of memory); it stays held back.
  bool begin() noexcept {
    batch_.clear();
    if (!holding_) return true;
    if (!batch_.add(held_, held_length_)) return false;
    holding_ = false;
    return true;
  }

  // The first record of a batch, whatever its size. False when it cannot be stored.
  bool add(const void* data, std::size_t length) noexcept { return batch_.add(data, length); }

  // Adds what `try_pop` finds at once, up to the bounds. Returns kSuccess when a bound stopped
  // it, else the result of the pop that found nothing (kNothing) or the queue closed (kClosed).
  template <class TryPop>
  int fill(TryPop try_pop) noexcept {
    while (batch_.records() < bounds_.max_records && batch_.bytes() < bounds_.max_bytes) {
      void* data = nullptr;
      std::size_t length = 0;
      const int result = try_pop(&data, &length);
      if (result != tandem::kSuccess) return result;
      const bool fits = batch_.empty() || length <= bounds_.max_bytes - batch_.bytes();
      if (!fits || !batch_.add(data, length)) {
        hold_back(data, length);  // starts the next batch; valid until the next pop
        return tandem::kSuccess;
      }
    }
    return tandem::kSuccess;
  }

  // Whether a record held back waits for the next batch.
  bool holding() const noexcept { return holding_; }

 private:
  void hold_back(const void* data, std::size_t length) noexcept {
    held_ = data;
    held_length_ = length;
    holding_ = true;
  }

  BatchBuffer batch_;
  BatchBounds bounds_;
  const void* held_ = nullptr;
  std::size_t held_length_ = 0;
  bool holding_ = false;
};

// The worker's loop for batches, with the bodies of drain(): the same waits for a record, the
// same ends (`running` false at the top of a pass, the queue closed, the session refusing). In
// the blocking bodies the first record is waited for in the queue (peek, then advance once it is
// copied; pop_var) and the rest taken with try_pop or try_pop_var: a batch's records leave the
// queue before its callback runs.
template <class Queue, class Session>
void drain_batches(Queue& queue, WorkerBody body, const std::atomic<bool>& running, WakeChannel& wake,
                   Session& session, BatchFiller& filler) {
  const bool messages = body == WorkerBody::kTryPopVar || body == WorkerBody::kPopVar;
  auto take = [&](void** data, std::size_t* length) {
    return messages ? queue.try_pop_var(data, length) : queue.try_pop(data, length);
  };
  auto out_of_memory = [&] {
    if (!session.enter()) return;
    session.out_of_memory();
    session.leave();
  };
  // Acquire: pairs with the release store of close(), as in drain().
  while (running.load(std::memory_order_acquire)) {
    if (!filler.begin()) return out_of_memory();
    if (filler.batch().empty()) {
      void* data = nullptr;
      std::size_t length = 0;
      int result = tandem::kClosed;
      switch (body) {
        case WorkerBody::kTryPop:
        case WorkerBody::kTryPopVar:
          result = detail::next_polled(wake, take, &data, &length);
          if (result == tandem::kNothing) continue;
          break;
        case WorkerBody::kPop:
          result = queue.peek(&data, &length);
          break;
        case WorkerBody::kPopVar:
          result = queue.pop_var(&data, &length);
          break;
      }
      if (result != tandem::kSuccess) return;
      if (!filler.add(data, length)) return out_of_memory();  // peeked: stays in the queue
      if (body == WorkerBody::kPop) queue.advance();
    }
    filler.fill(take);  // a queue closed meanwhile ends the loop at the next first record
    if (!session.enter()) return;
    const bool delivered = session.deliver(filler.batch());
    session.leave();
    if (!delivered) return;
  }
}

}  // namespace orvel::portage

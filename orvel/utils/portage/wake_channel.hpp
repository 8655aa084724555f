#pragma once

// The wake-up channel of a dispatcher: a UDP socket bound to a loopback address that sends
// one-byte datagrams to itself. Records never pass through it; it only wakes a consumer that
// found the queue empty.
//
// A datagram costs the producer a system call, so it is sent only to a consumer that has
// announced it is about to wait. The handshake is the one WaitableIndex uses for the ring:
//
//   consumer                                 producer
//     waiting_ = 1                             publish the record (queue's release store)
//     heavy_barrier()                          light_barrier()
//     queue empty? then receive a datagram     waiting_ taken? then send a datagram
//
// At least one side sees the other's store, so a record is never stranded behind a consumer
// that sleeps: either the consumer's re-check finds it, or the producer sees the flag and sends.
// A datagram that wakes nobody (the re-check found the record) costs the consumer one empty
// pass later on; it never loses one.

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "orvel/tandem/counter.hpp"
#include "orvel/tandem/tandem_table.hpp"
#include "orvel/tandem/waitable_index.hpp"
#include "orvel/utils/portage/producer_turn.hpp"

namespace orvel::portage {

// The address `ip`:`port` (IPv4 text, port in host order) with both stored in network order.
// The text is not checked: an address inet_pton refuses stays 0.0.0.0.
sockaddr_in wake_address(const char* ip, std::uint16_t port) noexcept;

// Sends the one-byte wake-up datagram 0x01 from `fd` to `address`; the result is ignored (a
// datagram the kernel drops means others are waiting to be read).
void send_wake(int fd, const sockaddr_in& address) noexcept;

class WakeChannel {
 public:
  WakeChannel() noexcept = default;
  ~WakeChannel();
  WakeChannel(const WakeChannel&) = delete;
  WakeChannel& operator=(const WakeChannel&) = delete;

  // Takes a duplicate of the bound socket `fd` (close-on-exec) and the socket's own address,
  // and connects the socket to that address. The duplicate lives as long as the channel, so that
  // no thread ever sends to or receives from a descriptor number that was closed and may already
  // name another file. Once per channel: false (errno set) when it is armed already or the
  // descriptor cannot be duplicated or connected, and false with EADDRNOTAVAIL when a datagram
  // the socket sends itself does not come back.
  bool arm(int fd, const sockaddr_in& address) noexcept;
  // The channel's descriptor, or -1 before arm().
  int fd() const noexcept { return fd_.load(std::memory_order_acquire); }

  // ---- consumer: announce, re-check the queue, then wait; withdraw in every case ------------
  // False when the barrier failed: a wake-up may then be missed, so the wait must be bounded.
  bool announce_wait() noexcept;
  void withdraw_wait() noexcept { waiting_.store(0, std::memory_order_relaxed); }
  // Receives one datagram; with `bounded`, gives up after a millisecond. Returns at once on an
  // unarmed channel. Counts a sleep.
  void await_datagram(bool bounded) noexcept;
  // Counts a sleep the consumer makes on the socket by its own means (the asyncio reader's
  // sock_recv).
  void count_sleep() noexcept { tandem::detail::count(sleeps_); }

  // ---- producer -----------------------------------------------------------------------------
  // A dispatcher's push that never waits: try_push (or try_push_var for `whole_messages`) on
  // `queue` through its `table`, in the producers' turn, waited for as a Wait made of `wait_args`
  // says (TurnHeld), then notify()
  // when the push published records: a successful one, or a variable-size one refused as full
  // (-2), which may have published some fragments already (a consumer asleep must drain them, or
  // they fill the ring for good). The wake-up goes only to a consumer that announced a wait, so
  // otherwise this costs a load. Returns the queue's result, or the turn's refusal (TurnHeld). Not
  // noexcept: see TurnHeld.
  template <class Wait, class... WaitArgs>
  int push(const tandem::TandemTable& table, void* queue, const void* data, std::size_t length,
           bool whole_messages, WaitArgs&&... wait_args) {
    TurnHeld<Wait> held(producer_turn, std::forward<WaitArgs>(wait_args)...);  // kept while notify() counts: one writer
    if (!held.held()) return held.refusal();
    const int result = whole_messages ? table.try_push_var(queue, data, length) : table.try_push(queue, data, length);
    if (result > 0 || (whole_messages && result == -2)) notify();
    return result;
  }

  // After a successful push: wakes the consumer if it announced a wait. A load and a compiler
  // barrier when nobody waits.
  void notify() noexcept {
    tandem::detail::light_barrier();  // pairs with the heavy barrier in announce_wait()
    if (waiting_.load(std::memory_order_relaxed) != 0) [[unlikely]] wake_waiter();
  }
  // Sends a datagram whether or not anybody waits (close). Not counted: it wakes for no record.
  void ring() const noexcept;
  // Taken around every push of the dispatcher: its producers push one at a time.
  ProducerTurn producer_turn;

  // ---- counters, from any thread (relaxed; see bridge_stats.hpp) -----------------------------
  std::uint64_t wakeups_sent() const noexcept { return tandem::detail::counted(wakeups_sent_); }
  std::uint64_t sleeps() const noexcept { return tandem::detail::counted(sleeps_); }

 private:
  [[gnu::noinline]] void wake_waiter() noexcept;

  std::atomic<int> fd_{-1};
  sockaddr_in address_{};
  std::atomic<std::uint32_t> waiting_{0};
  // One writer each, as the ring's counters: the producer counts a datagram just after its swap
  // of waiting_, the consumer a sleep just after announcing it there, so both find the line of
  // waiting_ in their cache already and counting costs no extra transfer.
  std::uint64_t wakeups_sent_ = 0;
  std::uint64_t sleeps_ = 0;
};

}  // namespace orvel::portage

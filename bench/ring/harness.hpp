#pragma once

// Measurement tools of ring_bench: pinned threads, a cheap clock, order statistics, and the two
// drivers that every queue goes through (a throughput run and a ping-pong run).
//
// A queue is anything with
//   void send(const Record&)   copies the record into the queue, waiting or spinning for room;
//   void receive(Record&)      copies the oldest record out, waiting or spinning for one.

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#include "orvel/tandem/waitable_index.hpp"

namespace orvel::bench {

inline constexpr int kProducerCpu = 0;
inline constexpr int kConsumerCpu = 1;

[[noreturn]] inline void fail(const char* what) noexcept {
  std::fprintf(stderr, "ring_bench: %s\n", what);
  std::abort();
}

// ---------------------------------------------------------------------------------------------
// Records: the producer's buffer, each queue's slots and the consumer's buffer all hold this
// type, so every queue moves exactly the same bytes. Cache-line aligned everywhere (the peers'
// storage honours alignof, the ring allocates 64-byte aligned slots).

template <std::size_t Size>
struct alignas(64) Record {
  static_assert(Size >= 64 && Size % 64 == 0);
  std::uint64_t seq;    // checked by the receiver: every record arrives once, in order
  std::uint64_t stamp;  // clock ticks when sent (latency runs)
  std::byte payload[Size - 3 * sizeof(std::uint64_t)];
  std::uint64_t tail;   // == seq: the whole record travelled, not just its first line
};
static_assert(sizeof(Record<64>) == 64);
static_assert(sizeof(Record<2048>) == 2048);

template <std::size_t Size>
void stamp_record(Record<Size>& r, std::uint64_t seq, std::uint64_t ticks) noexcept {
  r.seq = seq;
  r.stamp = ticks;
  r.tail = seq;
}

template <std::size_t Size>
void check_record(const Record<Size>& r, std::uint64_t seq) noexcept {
  if (r.seq != seq || r.tail != seq) fail("a record arrived damaged or out of order");
}

// ---------------------------------------------------------------------------------------------
// Threads

// Pins the calling thread; a benchmark whose threads float is not measuring what it says.
inline void pin_to_cpu(int cpu) noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  if (pthread_setaffinity_np(pthread_self(), sizeof(set), &set) != 0) {
    fail("pthread_setaffinity_np failed: two CPUs (0 and 1) are needed");
  }
}

// Both threads spin here until the other one is pinned and ready.
class StartLine {
 public:
  void arrive_and_wait() noexcept {
    arrived_.fetch_add(1, std::memory_order_acq_rel);
    while (arrived_.load(std::memory_order_acquire) < 2) tandem::cpu_relax();
  }

 private:
  std::atomic<int> arrived_{0};
};

// Voluntary context switches of the calling thread: one per sleep in the kernel.
inline long voluntary_switches() noexcept {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_nvcsw;
}

// ---------------------------------------------------------------------------------------------
// Clock: the time stamp counter where there is one (a few ns to read), calibrated once against
// steady_clock; steady_clock elsewhere. The kernel only uses the TSC as its clock source when it
// is synchronised across CPUs, so stamps taken on the two CPUs compare.

class Clock {
 public:
  static std::uint64_t ticks() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    return static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
#endif
  }

  static double ns_per_tick() noexcept { return instance().ns_per_tick_; }
  static double to_ns(std::uint64_t ticks) noexcept { return static_cast<double>(ticks) * ns_per_tick(); }
  static std::uint64_t from_ns(double ns) noexcept {
    return static_cast<std::uint64_t>(ns / ns_per_tick());
  }

 private:
  Clock() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    using std::chrono::steady_clock;
    const auto t0 = steady_clock::now();
    const std::uint64_t c0 = ticks();
    while (steady_clock::now() - t0 < std::chrono::milliseconds(50)) {
    }
    const auto t1 = steady_clock::now();
    const std::uint64_t c1 = ticks();
    ns_per_tick_ = std::chrono::duration<double, std::nano>(t1 - t0).count() / static_cast<double>(c1 - c0);
#else
    ns_per_tick_ = 1e9 * std::chrono::steady_clock::period::num / std::chrono::steady_clock::period::den;
#endif
  }
  static const Clock& instance() noexcept {
    static const Clock clock;
    return clock;
  }
  double ns_per_tick_ = 1.0;
};

inline void busy_wait_ns(double ns) noexcept {
  const std::uint64_t until = Clock::ticks() + Clock::from_ns(ns);
  while (Clock::ticks() < until) tandem::cpu_relax();
}

// ---------------------------------------------------------------------------------------------
// Order statistics (nearest rank); the vector is reordered.

inline double percentile(std::vector<double>& v, double p) {
  if (v.empty()) return 0.0;
  const auto rank = static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(rank), v.end());
  return v[rank];
}
inline double median(std::vector<double> v) { return percentile(v, 50.0); }
inline double minimum(const std::vector<double>& v) { return v.empty() ? 0.0 : *std::min_element(v.begin(), v.end()); }
inline double maximum(const std::vector<double>& v) { return v.empty() ? 0.0 : *std::max_element(v.begin(), v.end()); }

// ---------------------------------------------------------------------------------------------
// Throughput: the producer on CPU 0 sends `count` records, the consumer on CPU 1 receives and
// checks them. Returns records per second, from the producer's first send to the consumer's
// last receive.

template <std::size_t Size, class Queue>
double throughput_run(Queue& queue, std::uint64_t count) {
  StartLine start;
  std::uint64_t first_send = 0;
  std::uint64_t last_receive = 0;

  std::thread consumer([&] {
    pin_to_cpu(kConsumerCpu);
    Record<Size> in{};
    start.arrive_and_wait();
    for (std::uint64_t i = 0; i < count; ++i) {
      queue.receive(in);
      check_record(in, i);
    }
    last_receive = Clock::ticks();
  });
  std::thread producer([&] {
    pin_to_cpu(kProducerCpu);
    Record<Size> out{};
    std::memset(out.payload, 0x5a, sizeof(out.payload));
    start.arrive_and_wait();
    first_send = Clock::ticks();
    for (std::uint64_t i = 0; i < count; ++i) {
      stamp_record(out, i, 0);
      queue.send(out);
    }
  });
  producer.join();
  consumer.join();
  return static_cast<double>(count) / (Clock::to_ns(last_receive - first_send) * 1e-9);
}

// ---------------------------------------------------------------------------------------------
// Ping-pong: the initiator on CPU 0 sends record i on `there`, the echo on CPU 1 receives it and
// sends it back on `back`. `gap_ns` of busy waiting precede each send.
//
// Hot (gap 0): the sample is the round trip / 2, both stamps on the initiator's clock.
// Asleep (gap > 0): the sample is the echo's receive stamp minus the initiator's send stamp, the
// time the sleeping receiver took to wake up and return the record.

struct PingPongResult {
  std::vector<double> samples_ns;
  double sleeps_per_message = 0.0;  // voluntary context switches of the echo thread
};

template <std::size_t Size, class Queue>
PingPongResult ping_pong(Queue& there, Queue& back, std::size_t samples, std::size_t warmup,
                         double gap_ns) {
  const std::size_t total = warmup + samples;
  std::vector<std::uint64_t> round_trip(total);
  std::vector<std::uint64_t> one_way(total);
  long echo_switches = 0;
  StartLine start;

  std::thread echo([&] {
    pin_to_cpu(kConsumerCpu);
    Record<Size> r{};
    start.arrive_and_wait();
    long switches_at_warmup = voluntary_switches();
    for (std::size_t i = 0; i < total; ++i) {
      if (i == warmup) switches_at_warmup = voluntary_switches();
      there.receive(r);
      one_way[i] = Clock::ticks() - r.stamp;
      check_record(r, i);
      back.send(r);
    }
    echo_switches = voluntary_switches() - switches_at_warmup;
  });
  std::thread initiator([&] {
    pin_to_cpu(kProducerCpu);
    Record<Size> out{};
    Record<Size> in{};
    start.arrive_and_wait();
    for (std::size_t i = 0; i < total; ++i) {
      if (gap_ns > 0) busy_wait_ns(gap_ns);
      const std::uint64_t t0 = Clock::ticks();
      stamp_record(out, i, t0);
      there.send(out);
      back.receive(in);
      round_trip[i] = Clock::ticks() - t0;
      check_record(in, i);
    }
  });
  initiator.join();
  echo.join();

  PingPongResult result;
  result.samples_ns.reserve(samples);
  for (std::size_t i = warmup; i < total; ++i) {
    result.samples_ns.push_back(gap_ns > 0 ? Clock::to_ns(one_way[i]) : Clock::to_ns(round_trip[i]) / 2);
  }
  result.sleeps_per_message = static_cast<double>(echo_switches) / static_cast<double>(samples);
  return result;
}

}  // namespace orvel::bench

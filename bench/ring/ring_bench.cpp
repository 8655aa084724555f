// ring_bench: the slot ring (orvel::tandem) against peer single-producer/single-consumer queues.
//
// Two threads pinned on CPUs 0 and 1. Records of 64 and 2048 bytes are copied from the
// producer's buffer into the queue and from the queue into the consumer's buffer.
//
// The cores of the machines this runs on move under us: cross-core latency changes by two orders
// of magnitude from one second to the next. So every comparison alternates short runs of two
// queues in this one process (A B A B ...) and reports the median of the per-pair ratios, with
// their range; absolute numbers are printed too, but only the ratios compare.
//
//   ring_bench            the full run (15 pairs; one to three minutes, as the machine allows)
//   ring_bench --quick    a smoke run (3 pairs, fewer records)
//   ring_bench --help     all options

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness.hpp"
#include "queues.hpp"

namespace orvel::bench {
namespace {

struct Options {
  int pairs = 15;
  std::uint64_t records_64 = 1'000'000;
  std::uint64_t records_2048 = 150'000;
  int latency_rounds = 15;
  std::size_t hot_samples = 20'000;
  std::size_t asleep_samples = 1'000;
  int asleep_rounds = 5;
  double gap_us = 200.0;
  bool throughput = true;
  bool hot = true;
  bool asleep = true;
};

void usage() {
  std::printf(
      "usage: ring_bench [--quick] [--pairs N] [--only throughput|hot|asleep]...\n"
      "  --quick        3 pairs, 5x fewer records and samples (a smoke run of ~15 s)\n"
      "  --pairs N      alternating A/B pairs per throughput comparison and latency rounds\n"
      "                 (default 15)\n"
      "  --only SECTION run only this section; may be repeated\n"
      "  --gap-us U     sender's pause before each send in the asleep runs (default 200)\n");
}

bool parse(int argc, char** argv, Options& o) {
  bool only_seen = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--quick") {
      o.pairs = 3;
      o.latency_rounds = 3;
      o.asleep_rounds = 2;
      o.records_64 /= 5;
      o.records_2048 /= 5;
      o.hot_samples /= 5;
      o.asleep_samples /= 2;
    } else if (arg == "--pairs" && has_value) {
      o.pairs = std::max(1, std::atoi(argv[++i]));
      o.latency_rounds = o.pairs;
    } else if (arg == "--gap-us" && has_value) {
      o.gap_us = std::atof(argv[++i]);
    } else if (arg == "--only" && has_value) {
      if (!only_seen) o.throughput = o.hot = o.asleep = false;
      only_seen = true;
      const std::string section = argv[++i];
      if (section == "throughput") {
        o.throughput = true;
      } else if (section == "hot") {
        o.hot = true;
      } else if (section == "asleep") {
        o.asleep = true;
      } else {
        return false;
      }
    } else {
      return false;
    }
  }
  return true;
}

struct Range {
  double median;
  double min;
  double max;
};
Range range_of(const std::vector<double>& v) { return {median(v), minimum(v), maximum(v)}; }

// ---------------------------------------------------------------------------------------------
// Throughput

struct ThroughputPair {
  std::string a;
  std::string b;
  std::size_t size;
  Range a_mrps;
  Range b_mrps;
  Range ratio;
};

template <std::size_t Size, class A, class B>
ThroughputPair compare_throughput(const char* a_name, const char* b_name, const Options& o) {
  const std::uint64_t count = Size == 64 ? o.records_64 : o.records_2048;
  auto a = std::make_unique<A>();
  auto b = std::make_unique<B>();
  // Warm-up, not counted: touches every page of both queues and faults the code in.
  throughput_run<Size>(*a, count / 4);
  throughput_run<Size>(*b, count / 4);

  std::vector<double> a_mrps, b_mrps, ratios;
  for (int p = 0; p < o.pairs; ++p) {
    const double ra = throughput_run<Size>(*a, count) / 1e6;
    const double rb = throughput_run<Size>(*b, count) / 1e6;
    a_mrps.push_back(ra);
    b_mrps.push_back(rb);
    ratios.push_back(ra / rb);
  }
  ThroughputPair r{a_name, b_name, Size, range_of(a_mrps), range_of(b_mrps), range_of(ratios)};
  std::printf("%-30s %-30s %5zu  %7.2f  %7.2f   %5.2fx [%5.2f - %5.2f]\n", r.a.c_str(), r.b.c_str(), Size,
              r.a_mrps.median, r.b_mrps.median, r.ratio.median, r.ratio.min, r.ratio.max);
  std::fflush(stdout);
  return r;
}

std::vector<ThroughputPair> run_throughput(const Options& o) {
  std::printf(
      "\n== Throughput: million records/s, median of %d alternating runs (A B A B ...);\n"
      "   %llu records of 64 B / %llu of 2048 B per run; ratio = A/B of each pair: median [min - max]\n\n",
      o.pairs, static_cast<unsigned long long>(o.records_64), static_cast<unsigned long long>(o.records_2048));
  std::printf("%-30s %-30s %5s  %7s  %7s   %s\n", "A", "B", "bytes", "A Mrec/s", "B Mrec/s",
              "ratio A/B");
  using enum Push;
  using enum Take;
  std::vector<ThroughputPair> rows;
  // 64-byte records.
  rows.push_back(compare_throughput<64, Ring<kTrySpin, kPeek, 64>, BoostSpsc<64>>(
      "ring try_push / peek+advance", "boost spsc_queue", o));
  rows.push_back(compare_throughput<64, Ring<kTrySpin, kPop, 64>, BoostSpsc<64>>(
      "ring try_push / pop", "boost spsc_queue", o));
  rows.push_back(compare_throughput<64, Ring<kTrySpin, kPeek, 64>, SpinRing<kTrySpin, kPeek, 64>>(
      "ring try_push / peek+advance", "spin-only ring, same calls", o));
  rows.push_back(compare_throughput<64, Ring<kTrySpin, kPop, 64>, SpinRing<kTrySpin, kPop, 64>>(
      "ring try_push / pop", "spin-only ring, same calls", o));
  rows.push_back(compare_throughput<64, Ring<kTrySpin, kPeek, 64>, MoodyQueue<64>>(
      "ring try_push / peek+advance", "moodycamel RWQ", o));
  rows.push_back(compare_throughput<64, Ring<kBlocking, kPeek, 64>, MoodyBlocking<false, 64>>(
      "ring block push / peek+advance", "moodycamel blocking circ.buf", o));
  rows.push_back(compare_throughput<64, Ring<kBlocking, kPop, 64>, MoodyBlocking<false, 64>>(
      "ring block push / pop", "moodycamel blocking circ.buf", o));
  // 2048-byte records.
  rows.push_back(compare_throughput<2048, Ring<kTrySpin, kPeek, 2048>, BoostSpsc<2048>>(
      "ring try_push / peek+advance", "boost spsc_queue", o));
  rows.push_back(compare_throughput<2048, Ring<kTrySpin, kPop, 2048>, BoostSpsc<2048>>(
      "ring try_push / pop", "boost spsc_queue", o));
  rows.push_back(compare_throughput<2048, Ring<kTrySpin, kPeek, 2048>, SpinRing<kTrySpin, kPeek, 2048>>(
      "ring try_push / peek+advance", "spin-only ring, same calls", o));
  rows.push_back(compare_throughput<2048, Ring<kTrySpin, kPeek, 2048>, MoodyQueue<2048>>(
      "ring try_push / peek+advance", "moodycamel RWQ", o));
  rows.push_back(compare_throughput<2048, Ring<kBlocking, kPeek, 2048>, MoodyBlocking<false, 2048>>(
      "ring block push / peek+advance", "moodycamel blocking circ.buf", o));
  return rows;
}

// ---------------------------------------------------------------------------------------------
// Ping-pong latency, 64-byte records

struct LatencyCase {
  std::string name;
  std::function<PingPongResult(std::size_t samples, std::size_t warmup, double gap_ns)> run;
  std::vector<double> p50, p99, sleeps;
};

template <class Q>
LatencyCase latency_case(const char* name) {
  auto there = std::make_shared<Q>();
  auto back = std::make_shared<Q>();
  return {name,
          [there, back](std::size_t samples, std::size_t warmup, double gap_ns) {
            return ping_pong<64>(*there, *back, samples, warmup, gap_ns);
          },
          {}, {}, {}};
}

// Runs every case once per round, in turn, so that each round compares them under the same
// conditions. Returns the cases with their per-round p50 and p99.
std::vector<LatencyCase> run_latency_rounds(std::vector<LatencyCase> cases, int rounds, std::size_t samples,
                                            double gap_ns) {
  const std::size_t warmup = std::max<std::size_t>(samples / 20, 10);
  for (int round = 0; round < rounds; ++round) {
    for (LatencyCase& c : cases) {
      PingPongResult r = c.run(samples, warmup, gap_ns);
      c.p50.push_back(percentile(r.samples_ns, 50.0));
      c.p99.push_back(percentile(r.samples_ns, 99.0));
      c.sleeps.push_back(r.sleeps_per_message);
    }
  }
  return cases;
}

// Ratio of p50s, round by round: case / reference.
Range p50_ratio(const LatencyCase& c, const LatencyCase& reference) {
  std::vector<double> ratios;
  for (std::size_t i = 0; i < c.p50.size(); ++i) ratios.push_back(c.p50[i] / reference.p50[i]);
  return range_of(ratios);
}

std::vector<LatencyCase> run_hot(const Options& o) {
  std::printf(
      "\n== Hot ping-pong, 64 B: one-way latency = round trip / 2, ns; receivers poll.\n"
      "   %d rounds of %zu round trips per queue, queues in turn; median over rounds of each round's\n"
      "   p50 and p99; ratio = p50 / boost p50 of the same round: median [min - max]\n\n",
      o.latency_rounds, o.hot_samples);
  using enum Push;
  using enum Take;
  std::vector<LatencyCase> cases;
  cases.push_back(latency_case<BoostSpsc<64>>("boost spsc_queue (pop spin)"));
  cases.push_back(latency_case<Ring<kTrySpin, kTryPopSpin, 64>>("ring try_pop spin"));
  cases.push_back(latency_case<Ring<kTrySpin, kPop, 64>>("ring pop (spins, then sleeps)"));
  cases.push_back(latency_case<Ring<kTrySpin, kPeek, 64>>("ring peek+advance (blocking)"));
  cases.push_back(latency_case<SpinRing<kTrySpin, kTryPopSpin, 64>>("spin-only ring try_pop spin"));
  cases.push_back(latency_case<MoodyQueue<64>>("moodycamel RWQ (try_dequeue spin)"));
  cases.push_back(latency_case<MoodyBlocking<true, 64>>("moodycamel circ.buf try_dequeue spin"));
  cases.push_back(latency_case<MoodyBlocking<false, 64>>("moodycamel circ.buf wait_dequeue"));
  cases.push_back(latency_case<OneCacheLine>("one cache line, no queue (floor)"));
  cases = run_latency_rounds(std::move(cases), o.latency_rounds, o.hot_samples, 0.0);

  std::printf("%-38s %8s %8s   %s\n", "receiver", "p50 ns", "p99 ns", "p50 / boost p50");
  for (const LatencyCase& c : cases) {
    const Range ratio = p50_ratio(c, cases[0]);
    std::printf("%-38s %8.0f %8.0f   %5.2fx [%5.2f - %5.2f]\n", c.name.c_str(), median(c.p50), median(c.p99),
                ratio.median, ratio.min, ratio.max);
  }
  std::fflush(stdout);
  return cases;
}

std::vector<LatencyCase> run_asleep(const Options& o) {
  std::printf(
      "\n== Receiver asleep, 64 B: the sender busy-waits %.0f us before each send, long enough for\n"
      "   a blocking receive to fall asleep in the kernel. Latency = receiver's return stamp - sender's\n"
      "   stamp (one clock for both CPUs), us. %d rounds of %zu messages per queue, queues in turn;\n"
      "   sleeps = the receiver's voluntary context switches per message (1.00: it slept every time)\n\n",
      o.gap_us, o.asleep_rounds, o.asleep_samples);
  using enum Push;
  using enum Take;
  std::vector<LatencyCase> cases;
  cases.push_back(latency_case<MoodyBlocking<false, 64>>("moodycamel circ.buf wait_dequeue"));
  cases.push_back(latency_case<Ring<kTrySpin, kPop, 64>>("ring pop"));
  cases.push_back(latency_case<Ring<kTrySpin, kPeek, 64>>("ring peek+advance"));
  cases = run_latency_rounds(std::move(cases), o.asleep_rounds, o.asleep_samples, o.gap_us * 1000.0);

  std::printf("%-38s %8s %8s %7s   %s\n", "receiver", "p50 us", "p99 us", "sleeps", "p50 / moodycamel p50");
  for (const LatencyCase& c : cases) {
    const Range ratio = p50_ratio(c, cases[0]);
    std::printf("%-38s %8.2f %8.2f %7.2f   %5.2fx [%5.2f - %5.2f]\n", c.name.c_str(), median(c.p50) / 1000,
                median(c.p99) / 1000, median(c.sleeps), ratio.median, ratio.min, ratio.max);
  }
  std::fflush(stdout);
  return cases;
}

// ---------------------------------------------------------------------------------------------

void print_machine() {
  const auto t0 = Clock::ticks();
  for (int i = 0; i < 1000; ++i) tandem::cpu_relax();
  const double pause_ns = Clock::to_ns(Clock::ticks() - t0) / 1000;
  std::printf("CPUs online: %u; producer/initiator on CPU %d, consumer/echo on CPU %d; capacity %zu records\n",
              std::thread::hardware_concurrency(), kProducerCpu, kConsumerCpu, kCapacity);
  std::printf("clock: %.4f ns per tick; membarrier asymmetric fences: %s\n", Clock::ns_per_tick(),
              tandem::detail::asymmetric_fences ? "yes" : "no (full fences)");
  std::printf("the ring spins %lld us before sleeping; one pause takes %.1f ns here\n",
              static_cast<long long>(tandem::kSpinBudget.count()), pause_ns);
#if !defined(__OPTIMIZE__)
  std::printf("WARNING: built without optimisation; configure with -DCMAKE_BUILD_TYPE=Release\n");
#endif
}

const char* verdict(bool met) { return met ? "met" : "MISSED"; }

}  // namespace
}  // namespace orvel::bench

int main(int argc, char** argv) {
  using namespace orvel::bench;
  Options o;
  if (!parse(argc, argv, o)) {
    usage();
    return 2;
  }
  const auto started = std::chrono::steady_clock::now();
  print_machine();

  std::vector<ThroughputPair> throughput;
  std::vector<LatencyCase> hot;
  if (o.throughput) throughput = run_throughput(o);
  if (o.hot) hot = run_hot(o);
  if (o.asleep) run_asleep(o);

  std::printf("\n== Targets (64 B records)\n");
  if (o.throughput) {
    const ThroughputPair& vs_boost = throughput[0];
    const ThroughputPair& vs_spin = throughput[2];
    std::printf("ring (try_push / peek+advance) >= 1.30x boost spsc_queue:  %5.2fx [%5.2f - %5.2f]  %s\n",
                vs_boost.ratio.median, vs_boost.ratio.min, vs_boost.ratio.max,
                verdict(vs_boost.ratio.median >= 1.30));
    std::printf("ring (try_push / peek+advance) >= 0.85x spin-only ring:    %5.2fx [%5.2f - %5.2f]  %s\n",
                vs_spin.ratio.median, vs_spin.ratio.min, vs_spin.ratio.max, verdict(vs_spin.ratio.median >= 0.85));
  }
  if (o.hot) {
    const double p50 = median(hot[1].p50);
    std::printf("ring hot one-way p50 (try_pop spin) <= 150 ns:            %6.0f ns (boost: %.0f ns, "
                "one cache line: %.0f ns)  %s\n",
                p50, median(hot[0].p50), median(hot.back().p50), verdict(p50 <= 150.0));
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("\ntotal time %.0f s\n", seconds);
  return 0;
}

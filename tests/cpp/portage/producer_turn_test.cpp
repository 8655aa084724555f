// The producers' turn. The test names end in the barrier pair this process uses: membarrier(2), or
// the full fences of a kernel without it (and of producer_turn_full_fences_test, built to take
// that path).
#include "orvel/utils/portage/producer_turn.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace orvel::portage {
namespace {

class ProducerTurnTest : public ::testing::TestWithParam<bool> {};

// Four threads add to a plain counter in turns: no addition is lost.
TEST_P(ProducerTurnTest, ThreadsThatOverlapTakeTurns) {
  ProducerTurn turn;
  std::uint64_t counter = 0;
  constexpr int kThreads = 4, kAdditions = 100'000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int n = 0; n < kAdditions; ++n) {
        TurnHeld held(turn);
        const std::uint64_t seen = counter;
        std::atomic_signal_fence(std::memory_order_seq_cst);  // a load and a store, not one add
        counter = seen + 1;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, std::uint64_t{kThreads} * kAdditions);
}

// Each round the owner of a new turn appends to a plain log while two other threads revoke its bias
// part-way through, at a point that moves from round to round, and append too: every record is
// there once, and each producer's in the order it appended them.
TEST_P(ProducerTurnTest, RevokersWaitForTheOwnersPushUnderWay) {
  constexpr std::uint32_t kRounds = 500, kOwnerRecords = 40, kRevokers = 2, kRevokerRecords = 10;
  constexpr std::uint32_t kRecords = kOwnerRecords + kRevokers * kRevokerRecords;
  for (std::uint32_t round = 0; round < kRounds; ++round) {
    ProducerTurn turn;
    std::vector<std::uint32_t> log(kRecords);
    std::size_t length = 0;
    // Relaxed: the revokers' start orders nothing, so that only the turn orders the appends.
    std::atomic<std::uint32_t> owner_appended{0};
    auto append = [&](std::uint32_t producer, std::uint32_t records) {
      for (std::uint32_t n = 0; n < records; ++n) {
        {
          TurnHeld held(turn);
          const std::size_t at = length;
          log[at] = producer << 16 | n;
          // Pushes of 0 to 14 us: a revocation finds the owner's under way, or just begun, or none.
          const auto pushed = std::chrono::steady_clock::now() + std::chrono::microseconds(2 * (n % 8));
          while (std::chrono::steady_clock::now() < pushed) tandem::cpu_relax();
          std::atomic_signal_fence(std::memory_order_seq_cst);  // the store comes after
          length = at + 1;
        }
        if (producer == 0) owner_appended.store(n + 1, std::memory_order_relaxed);
      }
    };
    std::thread owner(append, 0, kOwnerRecords);  // its first turn makes it the owner
    std::vector<std::thread> revokers;
    for (std::uint32_t producer = 1; producer <= kRevokers; ++producer) {
      revokers.emplace_back([&, producer] {
        while (owner_appended.load(std::memory_order_relaxed) <= round % kOwnerRecords) std::this_thread::yield();
        append(producer, kRevokerRecords);
      });
    }
    owner.join();
    for (auto& revoker : revokers) revoker.join();

    ASSERT_EQ(length, kRecords) << "round " << round;
    std::uint32_t next[kRevokers + 1] = {};
    for (const std::uint32_t record : log) ASSERT_EQ(record & 0xFFFF, next[record >> 16]++) << "round " << round;
  }
}

enum class HeldAtFork { kByTheForkingThread, kByAnotherThreadAsOwner, kByAnotherThreadThroughTheLock };

class ProducerTurnAcrossFork : public ::testing::TestWithParam<HeldAtFork> {};

// A turn held when the process forks, by the thread that forks or by a thread the child does not
// have, is free in the child: it takes the turn, and gives it back.
TEST_P(ProducerTurnAcrossFork, IsFreeInTheChild) {
  const HeldAtFork held_at_fork = GetParam();
  ProducerTurn turn;
  if (held_at_fork == HeldAtFork::kByAnotherThreadThroughTheLock) {
    TurnHeld first(turn);  // this thread owns the turn: the holder revokes it and takes the lock
  }
  std::optional<TurnHeld> held_here;
  std::thread holder;
  std::atomic<bool> holding{false}, forked{false};
  if (held_at_fork == HeldAtFork::kByTheForkingThread) {
    held_here.emplace(turn);
  } else {
    holder = std::thread([&] {
      TurnHeld held(turn);  // as the owner when it is the first turn of all
      holding = true;
      while (!forked) std::this_thread::yield();
    });
    while (!holding) std::this_thread::yield();
  }
  const pid_t child = fork();
  if (child == 0) {
    alarm(10);  // a child that waits for good ends with SIGALRM
    { TurnHeld mine(turn); }
    { TurnHeld again(turn); }
    _exit(0);
  }
  forked = true;
  if (holder.joinable()) holder.join();
  ASSERT_NE(child, -1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

INSTANTIATE_TEST_SUITE_P(InThisProcess, ProducerTurnTest, ::testing::Values(tandem::detail::asymmetric_fences),
                         [](const auto& param_info) {
                           return std::string(param_info.param ? "Membarrier" : "FullFences");
                         });
std::string holder_name(const ::testing::TestParamInfo<HeldAtFork>& param_info) {
  static const char* const kNames[] = {"ByTheForkingThread", "ByAnotherThreadAsOwner", "ByAnotherThreadThroughTheLock"};
  return kNames[static_cast<int>(param_info.param)];
}
INSTANTIATE_TEST_SUITE_P(Holders, ProducerTurnAcrossFork,
                         ::testing::Values(HeldAtFork::kByTheForkingThread, HeldAtFork::kByAnotherThreadAsOwner,
                                           HeldAtFork::kByAnotherThreadThroughTheLock),
                         holder_name);

}  // namespace
}  // namespace orvel::portage

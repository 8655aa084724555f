#include "orvel/utils/portage/producer_turn.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace orvel::portage {

// Four threads add to a plain counter in turns: no addition is lost.
TEST(ProducerTurnTest, ThreadsThatOverlapTakeTurns) {
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

// A thread holds the turn when the process forks: the child, which has no such thread, takes it.
TEST(ProducerTurnTest, ATurnHeldAcrossAForkIsFreeInTheChild) {
  ProducerTurn turn;
  TurnHeld held(turn);
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    alarm(10);  // a child that waits for good ends with SIGALRM
    { TurnHeld mine(turn); }
    { TurnHeld again(turn); }  // and gives it back
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace orvel::portage

// The producers' turn. The test names end in the barrier pair this process uses: membarrier(2), or
// the full fences of a kernel without it (and of producer_turn_full_fences_test, built to take
// that path).
#include "orvel/utils/portage/producer_turn.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace orvel::portage {
namespace {

using Taken = ProducerTurn::Taken;

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

// A thread that takes the turn and holds it until released, as a push that takes its time.
class Holder {
 public:
  explicit Holder(ProducerTurn& turn)
      : thread_([this, &turn] {
          TurnHeld held(turn);
          holding_ = true;
          while (!released_) std::this_thread::yield();
        }) {
    while (!holding_) std::this_thread::yield();
  }
  ~Holder() { release(); }
  void release() {
    released_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::atomic<bool> holding_{false}, released_{false};
  std::thread thread_;
};

// The first turn of all, taken on another thread: the next turn of this one is through the lock.
void bias_elsewhere(ProducerTurn& turn) {
  std::thread([&] { TurnHeld first(turn); }).join();
}

// What a turn taken again on the thread that holds one got: its refusal, or 1 when it was taken.
int taken_again(ProducerTurn& turn) {
  TurnHeld inner(turn);
  return inner.held() ? 1 : inner.refusal();
}

// What a signal handler's push got, made where a wait first paused (InterruptedWait).
struct Interruption {
  ProducerTurn& turn;
  Holder* holder = nullptr;  // whose push under way ends once the handler has pushed
  std::atomic<bool> paused{false};
  int nested = 0;
};

// A wait that, at its first pause, does what a signal handler would that pushes there.
struct InterruptedWait : PlainWait {
  explicit InterruptedWait(Interruption& at) : interruption(at) {}
  void let_go() noexcept {
    interruption.nested = taken_again(interruption.turn);
    interruption.paused = true;
    if (interruption.holder != nullptr) interruption.holder->release();
  }
  Interruption& interruption;
};

// How the thread whose turn a signal handler interrupts took it.
enum class Interrupted { kAsOwner, kThroughTheLock, kAsOwnerWhileARevokerWaits, kRevokingWhileTheOwnerPushes };

class ProducerTurnReentered : public ::testing::TestWithParam<Interrupted> {};

// A turn taken again on the thread inside one, as a signal handler's push in the middle of a push,
// is refused at once: waiting for it would wait for the handler itself. The interrupted turn goes
// on, and the next turns are taken as usual.
TEST_P(ProducerTurnReentered, IsRefusedAtOnce) {
  ProducerTurn turn;
  switch (GetParam()) {
    case Interrupted::kAsOwner: {
      TurnHeld outer(turn);
      ASSERT_TRUE(outer.held());
      EXPECT_EQ(taken_again(turn), kReentered);
      break;
    }
    case Interrupted::kThroughTheLock: {
      bias_elsewhere(turn);
      TurnHeld outer(turn);
      ASSERT_TRUE(outer.held());
      EXPECT_EQ(taken_again(turn), kReentered);
      break;
    }
    case Interrupted::kAsOwnerWhileARevokerWaits: {
      std::optional<TurnHeld<>> outer(std::in_place, turn);
      ASSERT_TRUE(outer->held());
      Interruption revoker_interrupted{turn};  // its own nested turn is refused too: it holds the lock
      std::thread revoker([&] {
        TurnHeld<InterruptedWait> held(turn, revoker_interrupted);
        EXPECT_TRUE(held.held());
      });
      while (!revoker_interrupted.paused) std::this_thread::yield();  // the bias is revoked
      EXPECT_EQ(taken_again(turn), kReentered);
      outer.reset();
      revoker.join();
      EXPECT_EQ(revoker_interrupted.nested, kReentered);
      break;
    }
    case Interrupted::kRevokingWhileTheOwnerPushes: {
      Holder owner(turn);  // the first turn of all, under way
      Interruption interrupted{turn, &owner};
      TurnHeld<InterruptedWait> outer(turn, interrupted);
      EXPECT_TRUE(outer.held());
      EXPECT_EQ(interrupted.nested, kReentered);
      break;
    }
  }
  EXPECT_EQ(taken_again(turn), 1);
  std::thread([&] { EXPECT_EQ(taken_again(turn), 1); }).join();
}

std::string interrupted_name(const ::testing::TestParamInfo<Interrupted>& param_info) {
  static const char* const kNames[] = {"AsOwner", "ThroughTheLock", "AsOwnerWhileARevokerWaits",
                                       "RevokingWhileTheOwnerPushes"};
  return kNames[static_cast<int>(param_info.param)];
}
INSTANTIATE_TEST_SUITE_P(Turns, ProducerTurnReentered,
                         ::testing::Values(Interrupted::kAsOwner, Interrupted::kThroughTheLock,
                                           Interrupted::kAsOwnerWhileARevokerWaits,
                                           Interrupted::kRevokingWhileTheOwnerPushes),
                         interrupted_name);

// A wait whose queue closes while it waits, at its first pause.
struct ClosingWait : PlainWait {
  void let_go() noexcept { closing = true; }
  bool closed() const noexcept { return closing; }
  bool closing = false;
};

class ProducerTurnClosing : public ::testing::TestWithParam<bool> {};

// A producer waiting for the lock (false) or for the owner's push (true) stops once the queue is
// closed, with the queue's result for that (-1); the turn is free for the next one.
TEST_P(ProducerTurnClosing, EndsTheWait) {
  const bool for_the_owner = GetParam();
  ProducerTurn turn;
  if (!for_the_owner) bias_elsewhere(turn);
  {
    Holder holder(turn);
    TurnHeld<ClosingWait> waiting(turn);
    EXPECT_FALSE(waiting.held());
    EXPECT_EQ(waiting.refusal(), -1);
  }
  EXPECT_EQ(taken_again(turn), 1);
}

INSTANTIATE_TEST_SUITE_P(Waits, ProducerTurnClosing, ::testing::Bool(), [](const auto& param_info) {
  return std::string(param_info.param ? "ForTheOwnersPush" : "ForTheLock");
});

// The interpreter lock, as a producer that holds it waits for the turn: the push under way waits
// for the consumer, which needs the lock. The waiter lets it go while it waits and pushes, and
// takes it back after.
struct LendingWait : PlainWait {
  LendingWait(std::mutex& interpreter, bool& lent_it) : lock(interpreter), lent(lent_it) {}
  void let_go() noexcept {
    lock.unlock();
    lent = true;
  }
  void take_back() {
    if (lent) lock.lock();
  }
  std::mutex& lock;
  bool& lent;
};

TEST(ProducerTurnLending, AWaiterLetsGoOfWhatThePushUnderWayWaitsFor) {
  ProducerTurn turn;
  std::mutex interpreter;
  std::atomic<bool> pushing{false}, room{false};
  std::unique_lock held_lock(interpreter);
  std::thread owner([&] {
    TurnHeld held(turn);
    pushing = true;
    while (!room) std::this_thread::yield();  // a push waiting for the consumer
  });
  while (!pushing) std::this_thread::yield();
  std::thread consumer([&] {
    const std::lock_guard callback(interpreter);
    room = true;
  });
  bool lent = false;
  {
    TurnHeld<LendingWait> mine(turn, interpreter, lent);
    EXPECT_TRUE(mine.held());
    EXPECT_TRUE(lent);
  }
  EXPECT_TRUE(room);
  held_lock.unlock();  // taken back by the waiter
  owner.join();
  consumer.join();
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
  std::optional<TurnHeld<>> held_here;
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
    for (int turns = 0; turns < 2; ++turns) {
      TurnHeld mine(turn);
      if (!mine.held()) _exit(1);
    }
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

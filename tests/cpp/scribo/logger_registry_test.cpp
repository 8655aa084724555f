#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include "scribo/logger_factory.hpp"
#include "scribo/logger_registry.hpp"

namespace {

using scribo::LoggerRegistry;

// A logger with the empty name writing to standard output only (in colour on a colour terminal).
bool is_console_logger(const std::shared_ptr<spdlog::logger>& logger) {
  if (!logger || !logger->name().empty() || logger->sinks().size() != 1) return false;
  auto* sink = logger->sinks()[0].get();
  return dynamic_cast<spdlog::sinks::ansicolor_stdout_sink_mt*>(sink) != nullptr ||
         dynamic_cast<spdlog::sinks::stdout_sink_mt*>(sink) != nullptr;
}

// What is wrong with the default logger of a process that never called set_default, if anything.
const char* initial_default_problem() {
  auto logger = LoggerRegistry::get_logger("", true);
  if (!is_console_logger(logger)) return "default is not a console logger";
  if (LoggerRegistry::get_logger("", false) != logger) return "the empty name is not the default";
  if (LoggerRegistry::get_logger("unknown", true) != logger) return "no fallback to the default";
  if (LoggerRegistry::get_logger("unknown", false) != nullptr) return "unknown name found";
  spdlog::drop_all();  // spdlog's own default goes; ours stays
  if (LoggerRegistry::get_logger("", true) != logger) return "the default changes with spdlog's";
  return nullptr;
}

// The registry is process-wide with no reset, so the state before any set_default is checked in
// a fresh process: the threadsafe death-test style re-executes this binary for this test alone.
TEST(LoggerRegistryInitially, DefaultIsAConsoleLogger) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const char* problem = initial_default_problem();
        if (problem != nullptr) std::fputs(problem, stderr);
        std::exit(problem == nullptr ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(LoggerRegistry, SetDefaultReplacesTheDefault) {
  auto mine = std::make_shared<spdlog::logger>("mine");
  LoggerRegistry::set_default(mine);
  EXPECT_EQ(LoggerRegistry::get_logger("", true), mine);
  EXPECT_EQ(LoggerRegistry::get_logger("", false), mine);
  EXPECT_EQ(LoggerRegistry::get_logger("unknown", true), mine);
  EXPECT_EQ(LoggerRegistry::get_logger("unknown", false), nullptr);

  LoggerRegistry::set_default(nullptr);
  EXPECT_TRUE(is_console_logger(LoggerRegistry::get_logger("", true)));
}

TEST(LoggerRegistry, BuildRegistersByNameOnRequest) {
  scribo::LoggerFactory factory;
  auto first = factory.build("registered", true);
  EXPECT_EQ(LoggerRegistry::get_logger("registered", false), first);
  EXPECT_EQ(spdlog::get("registered"), nullptr);  // spdlog's own registry is left alone

  auto second = factory.build("registered", true);
  EXPECT_EQ(LoggerRegistry::get_logger("registered", false), second);

  factory.build("unregistered", false);
  EXPECT_EQ(LoggerRegistry::get_logger("unregistered", false), nullptr);

  auto unnamed = factory.build("", true);  // the empty name stays the default's
  EXPECT_NE(LoggerRegistry::get_logger("", true), unnamed);
}

TEST(LoggerRegistry, ConcurrentUseNeverYieldsNull) {
  auto a = std::make_shared<spdlog::logger>("concurrent-a");
  auto b = std::make_shared<spdlog::logger>("concurrent-b");
  std::atomic<bool> null_seen{false};
  std::vector<std::thread> threads;
  for (int role = 0; role < 4; ++role) {
    threads.emplace_back([&, role] {
      for (int i = 0; i < 2000; ++i) {
        const auto& logger = i % 2 ? a : b;
        if (role == 0) LoggerRegistry::set_default(logger);
        else if (role == 1) LoggerRegistry::register_logger(logger);
        else if (!LoggerRegistry::get_logger("", true) || !LoggerRegistry::get_logger("concurrent-a", true))
          null_seen = true;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(null_seen);
  LoggerRegistry::set_default(nullptr);
}

// A child forked while another thread looks the default logger up (its first look-up in the
// process included) finds the registry free. Each child that could not look it up within 5 s is
// counted and killed.
TEST(LoggerRegistry, AChildForkedDuringALookUpCanLookUp) {
  std::atomic<bool> stop{false};
  std::thread looking([&] {
    while (!stop) LoggerRegistry::get_logger("", true);
  });
  int stuck = 0;
  for (int i = 0; i < 200; ++i) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(LoggerRegistry::get_logger("", true) ? 0 : 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ++stuck;
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  }
  stop = true;
  looking.join();
  EXPECT_EQ(stuck, 0);
}

}  // namespace

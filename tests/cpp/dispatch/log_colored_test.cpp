#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/sinks/stdout_sinks.h>

#include "orvel/scribo/dispatch.hpp"
#include "recording_sink.hpp"
#include "scribo/logger_factory.hpp"
#include "scribo/max_sink_level.hpp"

namespace {

namespace lv = spdlog::level;
using dispatch_test::Plain;
using dispatch_test::Recording;
using Console = Recording<spdlog::sinks::stdout_sink_mt>;

int locate_calls = 0;

spdlog::source_loc here() {
  ++locate_calls;
  return {"caller.py", 42, "caller"};
}

class LogColored : public testing::Test {
 protected:
  void SetUp() override { locate_calls = 0; }

  std::shared_ptr<Console> console = std::make_shared<Console>();
  std::shared_ptr<Plain> plain = std::make_shared<Plain>();
  spdlog::logger logger{"app", {console, plain}};
};

TEST_F(LogColored, ConsoleSinksGetColouredTextOthersPlain) {
  orvel::dispatch::log_colored(logger, lv::warn, "hello", 31, -1, 1, here);

  ASSERT_EQ(console->records.size(), 1u);
  ASSERT_EQ(plain->records.size(), 1u);
  EXPECT_EQ(console->records[0].payload, "\x1b[1;31mhello\x1b[0m");
  EXPECT_EQ(plain->records[0].payload, "hello");
  for (const auto& r : {console->records[0], plain->records[0]}) {
    EXPECT_EQ(r.logger, "app");
    EXPECT_EQ(r.level, lv::warn);
    EXPECT_EQ(r.file, "caller.py");
    EXPECT_EQ(r.line, 42);
    EXPECT_EQ(r.function, "caller");
  }
  EXPECT_EQ(locate_calls, 1);
}

TEST_F(LogColored, WrappedConsoleSinkIsColoured) {
  auto wrapped = std::make_shared<Console>();
  spdlog::logger wrapping("app", std::make_shared<spdlog_internal::MaxSinkLevel>(wrapped, lv::critical));
  orvel::dispatch::log_colored(wrapping, lv::info, "hi", 7, 0, -1, here);
  ASSERT_EQ(wrapped->records.size(), 1u);
  EXPECT_EQ(wrapped->records[0].payload, "\x1b[38;5;7;48;5;0mhi\x1b[0m");
}

// The defaults, and values that name no code (colours past the palette, effects 0 and 8).
TEST_F(LogColored, ColoursNamingNothingLeaveTextAlone) {
  const int nothing[][3] = {{-1, -1, -1}, {256, 256, 8}, {-1, 1000, 0}};
  for (const auto& [fg, bg, effect] : nothing) {
    orvel::dispatch::log_colored(logger, lv::info, "plain", fg, bg, effect, here);
  }
  ASSERT_EQ(console->records.size(), 3u);
  ASSERT_EQ(plain->records.size(), 3u);
  for (const auto& r : console->records) EXPECT_EQ(r.payload, "plain");
  for (const auto& r : plain->records) EXPECT_EQ(r.payload, "plain");
  EXPECT_EQ(console->records[0].file, "caller.py");
  EXPECT_EQ(locate_calls, 3);
}

TEST_F(LogColored, LevelRejectedByLoggerCostsNothing) {
  logger.set_level(lv::err);
  orvel::dispatch::log_colored(logger, lv::warn, "dropped", 31, -1, -1, here);
  EXPECT_TRUE(console->records.empty());
  EXPECT_TRUE(plain->records.empty());
  EXPECT_EQ(locate_calls, 0);
}

TEST_F(LogColored, SinkLevelFiltersPerSink) {
  plain->set_level(lv::err);
  orvel::dispatch::log_colored(logger, lv::warn, "only console", -1, -1, -1, here);
  orvel::dispatch::log_colored(logger, lv::err, "both", -1, -1, -1, here);
  EXPECT_EQ(console->records.size(), 2u);
  ASSERT_EQ(plain->records.size(), 1u);
  EXPECT_EQ(plain->records[0].payload, "both");
}

TEST_F(LogColored, SinksTakingAMessageAtTheFlushLevelAreFlushed) {
  orvel::dispatch::log_colored(logger, lv::critical, "no flush level", -1, -1, -1, here);
  EXPECT_EQ(console->flushes + plain->flushes, 0);

  logger.flush_on(lv::err);
  plain->set_level(lv::critical);
  orvel::dispatch::log_colored(logger, lv::warn, "below it", -1, -1, -1, here);
  orvel::dispatch::log_colored(logger, lv::err, "at it", -1, -1, -1, here);
  EXPECT_EQ(console->flushes, 1);
  EXPECT_EQ(plain->flushes, 0);  // it took nothing at that level
  orvel::dispatch::log_plain(logger, lv::critical, "above it", here);
  EXPECT_EQ(console->flushes, 2);
  EXPECT_EQ(plain->flushes, 1);
}

TEST_F(LogColored, TextIsWrittenWholeNulsIncluded) {
  const std::string text("kept\0whole", 10);
  orvel::dispatch::log_colored(logger, lv::info, text, 32, -1, -1, here);
  orvel::dispatch::log_plain(logger, lv::info, text, here);
  EXPECT_EQ(console->records.at(0).payload, "\x1b[32m" + text + "\x1b[0m");
  EXPECT_EQ(plain->records.at(0).payload, text);
  EXPECT_EQ(console->records.at(1).payload, text);
  EXPECT_EQ(plain->records.at(1).payload, text);
}

TEST_F(LogColored, SinkExceptionPropagatesAndLaterSinksGetNothing) {
  spdlog::logger failing("app", {std::make_shared<dispatch_test::Throwing>(), plain});
  EXPECT_THROW(orvel::dispatch::log_colored(failing, lv::info, "x", -1, -1, -1, here), std::runtime_error);
  EXPECT_TRUE(plain->records.empty());
}

// The caller's lock is let go of while the sinks write (a sink may block), and only then: the
// location is found with it held, and it is taken back after a sink throws as well.
bool caller_lock_held = true;
int releases = 0;

spdlog::source_loc here_with_the_lock() {
  EXPECT_TRUE(caller_lock_held);
  return here();
}

const orvel::dispatch::Unlocking kCallerLock{
    [] {
      caller_lock_held = false;
      ++releases;
      return static_cast<void*>(&caller_lock_held);
    },
    [](void* held) { *static_cast<bool*>(held) = true; }};

class ObservingLock : public Plain {
 public:
  void log(const spdlog::details::log_msg& msg) override {
    held_while_writing.push_back(caller_lock_held);
    Plain::log(msg);
  }
  std::vector<bool> held_while_writing;
};

TEST_F(LogColored, SinksAreWrittenWithoutTheCallersLock) {
  auto observing = std::make_shared<ObservingLock>();
  spdlog::logger observed("app", {console, observing});
  orvel::dispatch::log_colored(observed, lv::info, "coloured", 31, -1, -1, here_with_the_lock, &kCallerLock);
  orvel::dispatch::log_plain(observed, lv::info, "plain", here_with_the_lock, &kCallerLock);
  EXPECT_EQ(observing->held_while_writing, (std::vector<bool>{false, false}));
  EXPECT_TRUE(caller_lock_held);
  EXPECT_EQ(releases, 2);

  observed.set_level(lv::off);  // nothing to write: the lock is kept
  orvel::dispatch::log_plain(observed, lv::info, "dropped", here_with_the_lock, &kCallerLock);
  EXPECT_EQ(releases, 2);

  spdlog::logger failing("app", {std::make_shared<dispatch_test::Throwing>()});
  EXPECT_THROW(orvel::dispatch::log_plain(failing, lv::info, "x", here_with_the_lock, &kCallerLock),
               std::runtime_error);
  EXPECT_TRUE(caller_lock_held);
}

// Reported failures take spdlog's own way: the error handler hears of each one, with the
// location, and the sinks after a failing one are written all the same, with the caller's lock
// let go of and taken back.
TEST_F(LogColored, ReportedSinkFailuresGoToTheErrorHandler) {
  auto throwing = std::make_shared<dispatch_test::Throwing>();
  auto observing = std::make_shared<ObservingLock>();
  spdlog::logger failing("app", {throwing, observing, throwing});
  std::vector<std::string> reported;
  failing.set_error_handler([&reported](const std::string& what) { reported.push_back(what); });
  orvel::dispatch::log_plain(failing, lv::info, "x", here(), &kCallerLock, orvel::dispatch::SinkFailures::report);
  EXPECT_EQ(reported, (std::vector<std::string>(2, "disk full [caller.py(42)]")));
  EXPECT_EQ(observing->held_while_writing, std::vector<bool>{false});
  EXPECT_TRUE(caller_lock_held);
}

// A file sink with room in its buffer takes the message with the caller's lock kept; one that
// must write to its file (at the flush level) takes it without.
TEST_F(LogColored, FileSinksBufferingKeepTheCallersLock) {
  const auto path = std::filesystem::temp_directory_path() / ("dispatch-test-" + std::to_string(::getpid()) + ".log");
  scribo::LoggerFactory factory;
  factory.add_file_handler(path.string(), "%v", lv::trace, true);
  auto file = factory.build("file", false);
  file->flush_on(lv::err);
  releases = 0;
  orvel::dispatch::log_plain(*file, lv::info, "buffered", here_with_the_lock, &kCallerLock);
  EXPECT_EQ(releases, 0);
  orvel::dispatch::log_plain(*file, lv::err, "written through", here_with_the_lock, &kCallerLock);
  EXPECT_EQ(releases, 1);
  file.reset();
  std::ifstream in(path);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "buffered\nwritten through\n");
  std::filesystem::remove(path);
}

TEST_F(LogColored, PlainVariantGivesConsoleSinksPlainText) {
  orvel::dispatch::log_plain(logger, lv::critical, "record", here);
  EXPECT_EQ(console->records.at(0).payload, "record");
  EXPECT_EQ(plain->records.at(0).payload, "record");
  EXPECT_EQ(console->records.at(0).level, lv::critical);
  EXPECT_EQ(locate_calls, 1);

  logger.set_level(lv::off);
  orvel::dispatch::log_plain(logger, lv::critical, "dropped", here);
  EXPECT_EQ(locate_calls, 1);
}

}  // namespace

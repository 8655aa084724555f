#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/common.h>

#include "scribo/logger_factory.hpp"
#include "test_support.hpp"

namespace {

namespace lv = spdlog::level;
using scribo::LoggerFactory;
using scribo_test::read_file;
using scribo_test::TempDir;

class FileHandler : public testing::TestWithParam<bool> {};

TEST_P(FileHandler, AppendsOrTruncates) {
  const bool overwrite = GetParam();
  TempDir dir;
  const auto path = dir.path() / "app.log";
  std::ofstream(path) << "old\n";

  LoggerFactory factory;
  factory.add_file_handler(path.string(), "%v", lv::info, overwrite);
  auto logger = factory.build("file", false);
  logger->debug("below the handler's level");
  logger->info("new");
  logger->flush();

  EXPECT_EQ(read_file(path), overwrite ? "new\n" : "old\nnew\n");
}

INSTANTIATE_TEST_SUITE_P(Mode, FileHandler, testing::Bool(),
                         [](const auto& p) { return p.param ? "overwrite" : "append"; });

TEST(FileHandler, ErrorsReachTheFileAtOnceLowerLevelsStayBuffered) {
  TempDir dir;
  const auto path = dir.path() / "app.log";
  LoggerFactory factory;
  factory.add_file_handler(path.string(), "%v", lv::trace, false);
  auto logger = factory.build("file", false);

  logger->warn("buffered");
  EXPECT_EQ(read_file(path), "");
  logger->error("flushed");
  EXPECT_EQ(read_file(path), "buffered\nflushed\n");
}

// Handlers of one file, by whatever path, write through one buffer: a later handler in
// truncating mode leaves the lines of the earlier ones, and each keeps its pattern and level.
TEST(FileHandler, HandlersOfOneFileShareIt) {
  TempDir dir;
  const auto path = dir.path() / "app.log";
  LoggerFactory first, second;
  first.add_file_handler(path.string(), "1 %v", lv::info, true);
  auto one = first.build("one", false);
  one->info("a");
  second.add_file_handler((dir.path() / "." / "app.log").string(), "2 %v", lv::warn, true);
  auto two = second.build("two", false);
  two->info("below its level");
  two->warn("b");
  one->info("c");
  two->flush();

  EXPECT_EQ(read_file(path), "1 a\n2 b\n1 c\n");
}

// Lines of several loggers on several threads reach the file whole, however the buffer's runs fall.
TEST(FileHandler, LinesOfManyThreadsStayWhole) {
  TempDir dir;
  const auto path = dir.path() / "app.log";
  constexpr int kThreads = 4, kLines = 5000;
  std::vector<std::shared_ptr<spdlog::logger>> loggers;
  for (int t = 0; t < kThreads; ++t) {
    LoggerFactory factory;
    factory.add_file_handler(path.string(), "%n %v", lv::trace, false);
    loggers.push_back(factory.build("T" + std::to_string(t), false));
  }
  std::vector<std::thread> threads;
  for (const auto& logger : loggers) {
    threads.emplace_back([&logger] {
      for (int i = 0; i < kLines; ++i) logger->info("{:05} {}", i, std::string(static_cast<std::size_t>(i % 500), 'x'));
    });
  }
  for (auto& thread : threads) thread.join();
  loggers.clear();  // the last handler closes the file, writing out its buffer

  std::istringstream lines(read_file(path));
  std::vector<int> next(kThreads, 0);
  const std::regex whole(R"(T(\d) (\d{5}) (x*))");
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, whole)) << line.substr(0, 80);
    const int thread = std::stoi(match[1]), number = std::stoi(match[2]);
    ASSERT_EQ(number, next[static_cast<std::size_t>(thread)]++) << "T" << thread;
    ASSERT_EQ(match[3].length(), static_cast<std::size_t>(number % 500));
  }
  EXPECT_EQ(count, kThreads * kLines);
}

TEST(LoggerFactory, NamesHoldingNulAreRefused) {
  TempDir dir;
  const std::string file = (dir.path() / "audit").string() + std::string("\0-2026.log", 10);
  LoggerFactory factory;
  EXPECT_THROW(factory.add_file_handler(file, "%v", lv::info, false), std::invalid_argument);
  EXPECT_THROW(factory.add_rotating_file_handler(file, 1024, 1, "%v", lv::info), std::invalid_argument);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));  // no "audit"
  EXPECT_THROW(factory.build(std::string("app\0x", 5), false), std::invalid_argument);
}

TEST(RotatingFileHandler, KeepsMaxFilesOlderFiles) {
  TempDir dir;
  const auto path = (dir.path() / "app").string();
  LoggerFactory factory;
  factory.add_rotating_file_handler(path, 30, 2, "%v", lv::trace);
  auto logger = factory.build("rotating", false);
  for (int i = 0; i < 10; ++i) logger->info("line-{:02}", i);  // 8 bytes each: three fit in 30
  logger->flush();

  EXPECT_EQ(read_file(path), "line-09\n");
  EXPECT_EQ(read_file(path + ".1"), "line-06\nline-07\nline-08\n");
  EXPECT_EQ(read_file(path + ".2"), "line-03\nline-04\nline-05\n");
  EXPECT_FALSE(std::filesystem::exists(path + ".3"));
}

TEST(RotatingFileHandler, RefusesSizesTheSinkCannotWorkWithBeforeOpening) {
  TempDir dir;
  const auto path = (dir.path() / "app.log").string();
  LoggerFactory factory;
  const auto refused = [&](unsigned long max_size, unsigned long max_files, const char* message) {
    try {
      factory.add_rotating_file_handler(path, max_size, max_files, "%v", lv::info);
      ADD_FAILURE() << "accepted " << max_size << ", " << max_files;
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), message);
    }
  };
  refused(0, 3, "max_size must be at least 1");
  refused(1024, LoggerFactory::kMaxRotatedFiles + 1, "max_files must be at most 200000");
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  factory.add_rotating_file_handler(path, 1, LoggerFactory::kMaxRotatedFiles, "%v", lv::info);
  EXPECT_EQ(factory.build("rotating", false)->sinks().size(), 1u);
}

struct OpenFailure {
  const char* name;
  std::function<void(LoggerFactory&, const std::string& directory)> add;
};

const OpenFailure kOpenFailures[] = {
    {"append_to_directory", [](LoggerFactory& f, const std::string& d) { f.add_file_handler(d, "%v", lv::info, false); }},
    {"overwrite_directory", [](LoggerFactory& f, const std::string& d) { f.add_file_handler(d, "%v", lv::info, true); }},
    {"rotate_directory",
     [](LoggerFactory& f, const std::string& d) { f.add_rotating_file_handler(d, 1024, 1, "%v", lv::info); }},
};

class FileOpenFailure : public testing::TestWithParam<OpenFailure> {};

TEST_P(FileOpenFailure, ThrowsTheErrnoWithTheNameAndAddsNoSink) {
  TempDir dir;
  LoggerFactory factory;
  try {
    GetParam().add(factory, dir.path().string());
    ADD_FAILURE() << "opened a directory";
  } catch (const scribo::FileError& error) {
    EXPECT_EQ(error.code(), std::errc::is_a_directory);
    EXPECT_EQ(error.filename(), dir.path().string());
  }
  EXPECT_TRUE(factory.build("failed", false)->sinks().empty());
}

INSTANTIATE_TEST_SUITE_P(Handlers, FileOpenFailure, testing::ValuesIn(kOpenFailures),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace

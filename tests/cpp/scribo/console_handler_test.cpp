#include <functional>
#include <string>
#include <tuple>

#include <gtest/gtest.h>
#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include "scribo/logger_factory.hpp"
#include "scribo/max_sink_level.hpp"
#include "test_support.hpp"

namespace {

namespace lv = spdlog::level;
using scribo::LoggerFactory;
using scribo_test::capture_std;
using scribo_test::lines;

struct Routing {
  const char* name;
  std::function<void(LoggerFactory&, bool color)> configure;
  const char* out;  // %L letters of the levels expected on each stream
  const char* err;
};

const Routing kRoutings[] = {
    {"stdout_between_bounds",
     [](LoggerFactory& f, bool c) { f.add_stdout_handler(c, "%L", lv::debug, lv::warn); }, "DIW", ""},
    {"stderr_from_level", [](LoggerFactory& f, bool c) { f.add_stderr_handler(c, "%L", lv::warn); }, "",
     "WEC"},
    {"console_split", [](LoggerFactory& f, bool c) { f.add_console_handler(c, "%L", lv::info, lv::debug); },
     "DI", "WEC"},
    {"console_min_above_max_stdout",
     [](LoggerFactory& f, bool c) { f.add_console_handler(c, "%L", lv::info, lv::err); }, "", "EC"},
    {"basic_console", [](LoggerFactory& f, bool c) { f.add_basic_console_handler(c, "%L", lv::info); },
     "IWEC", ""},
    {"logger_level_first",
     [](LoggerFactory& f, bool c) {
       f.set_level(lv::warn);
       f.add_basic_console_handler(c, "%L", lv::trace);
     },
     "WEC", ""},
    {"two_handlers",
     [](LoggerFactory& f, bool c) {
       f.add_stdout_handler(c, "%L", lv::trace, lv::info);
       f.add_stderr_handler(c, "%L", lv::err);
     },
     "TDI", "EC"},
};

class ConsoleRouting : public testing::TestWithParam<std::tuple<Routing, bool>> {};

TEST_P(ConsoleRouting, LevelsLandOnTheirStream) {
  const auto& [routing, color] = GetParam();
  LoggerFactory factory;
  routing.configure(factory, color);
  auto logger = factory.build("routing", false);

  auto output = capture_std([&] { scribo_test::log_every_level(*logger); });
  EXPECT_EQ(output.out, lines(routing.out));
  EXPECT_EQ(output.err, lines(routing.err));
}

INSTANTIATE_TEST_SUITE_P(Handlers, ConsoleRouting, testing::Combine(testing::ValuesIn(kRoutings), testing::Bool()),
                         [](const auto& p) {
                           return std::string(std::get<0>(p.param).name) +
                                  (std::get<1>(p.param) ? "_color" : "_plain");
                         });

// The front end recognises console sinks by exactly these types, looking through MaxSinkLevel.
class ConsoleSinkTypes : public testing::TestWithParam<bool> {};

TEST_P(ConsoleSinkTypes, AreTheMutexConsoleSinksOnePerHandler) {
  using spdlog::details::console_mutex;
  using spdlog_internal::MaxSinkLevel;
  const bool color = GetParam();
  auto is_out = [color](const spdlog::sink_ptr& sink) {
    return color ? dynamic_cast<spdlog::sinks::ansicolor_stdout_sink<console_mutex>*>(sink.get()) != nullptr
                 : dynamic_cast<spdlog::sinks::stdout_sink<console_mutex>*>(sink.get()) != nullptr;
  };
  auto is_err = [color](const spdlog::sink_ptr& sink) {
    return color ? dynamic_cast<spdlog::sinks::ansicolor_stderr_sink<console_mutex>*>(sink.get()) != nullptr
                 : dynamic_cast<spdlog::sinks::stderr_sink<console_mutex>*>(sink.get()) != nullptr;
  };

  LoggerFactory factory;
  factory.add_stdout_handler(color, "%v", lv::debug, lv::info);
  factory.add_stderr_handler(color, "%v", lv::warn);
  factory.add_console_handler(color, "%v", lv::info, lv::trace);
  factory.add_basic_console_handler(color, "%v", lv::trace);
  auto logger = factory.build("types", false);
  EXPECT_EQ(logger->name(), "types");

  const auto& sinks = logger->sinks();
  ASSERT_EQ(sinks.size(), 4u);
  auto* bounded = dynamic_cast<MaxSinkLevel*>(sinks[0].get());
  ASSERT_NE(bounded, nullptr);
  EXPECT_TRUE(is_out(bounded->get_sink()));
  EXPECT_EQ(bounded->get_above_sink(), nullptr);
  EXPECT_EQ(bounded->level(), lv::debug);
  EXPECT_EQ(bounded->max_level(), lv::info);
  EXPECT_TRUE(is_err(sinks[1]));
  auto* split = dynamic_cast<MaxSinkLevel*>(sinks[2].get());
  ASSERT_NE(split, nullptr);
  EXPECT_TRUE(is_out(split->get_sink()));
  EXPECT_TRUE(is_err(split->get_above_sink()));
  EXPECT_TRUE(is_out(sinks[3]));
}

INSTANTIATE_TEST_SUITE_P(Color, ConsoleSinkTypes, testing::Bool(),
                         [](const auto& p) { return p.param ? "color" : "plain"; });

}  // namespace

#include <string>

#include <gtest/gtest.h>

#include "scribo/logger_factory.hpp"
#include "test_support.hpp"

// Colour handlers write colour codes whether or not the stream is a terminal (the caller decided),
// so they show up in captured output. Patterns here colour the whole level letter: %^%L%$.
namespace {

namespace lv = spdlog::level;
using scribo::LoggerFactory;
using scribo_test::capture_std;

constexpr const char* kPattern = "%^%L%$";
constexpr const char* kGreen = "\033[32m";  // spdlog's info colour
constexpr const char* kRedBold = "\033[31m\033[1m";  // spdlog's error colour

std::string colored(const std::string& code, char letter) { return code + letter + "\033[m\n"; }

struct InfoColor {
  int value;
  const char* code;
};

class SetColorsValue : public testing::TestWithParam<InfoColor> {};

TEST_P(SetColorsValue, MapsToEscapeCode) {
  LoggerFactory factory;
  factory.add_basic_console_handler(true, kPattern, lv::trace);
  factory.set_colors(-1, -1, GetParam().value, -1, -1, -1);
  auto logger = factory.build("colors", false);

  EXPECT_EQ(capture_std([&] { logger->info("m"); }).out, colored(GetParam().code, 'I'));
}

INSTANTIATE_TEST_SUITE_P(
    Values, SetColorsValue,
    testing::Values(InfoColor{-1, kGreen}, InfoColor{256, kGreen}, InfoColor{30, "\033[30m"},
                    InfoColor{37, "\033[37m"}, InfoColor{90, "\033[90m"}, InfoColor{97, "\033[97m"},
                    InfoColor{0, "\033[38;5;0m"}, InfoColor{29, "\033[38;5;29m"}, InfoColor{38, "\033[38;5;38m"},
                    InfoColor{89, "\033[38;5;89m"}, InfoColor{98, "\033[38;5;98m"},
                    InfoColor{255, "\033[38;5;255m"}),
    [](const auto& p) {
      return p.param.value < 0 ? std::string("negative") : "value_" + std::to_string(p.param.value);
    });

TEST(SetColors, ArgumentsFollowLevelOrder) {
  LoggerFactory factory;
  factory.add_basic_console_handler(true, kPattern, lv::trace);
  factory.set_colors(91, 92, 93, 94, 95, 96);
  auto logger = factory.build("colors", false);

  EXPECT_EQ(capture_std([&] { scribo_test::log_every_level(*logger); }).out,
            colored("\033[91m", 'T') + colored("\033[92m", 'D') + colored("\033[93m", 'I') +
                colored("\033[94m", 'W') + colored("\033[95m", 'E') + colored("\033[96m", 'C'));
}

TEST(SetColors, ReachesWrappedSinksOfEarlierHandlersOnly) {
  LoggerFactory factory;
  factory.add_console_handler(true, kPattern, lv::info, lv::trace);
  factory.add_basic_console_handler(false, kPattern, lv::trace);
  factory.set_colors(-1, -1, 91, -1, 92, -1);
  factory.add_stdout_handler(true, kPattern, lv::trace, lv::critical);
  auto logger = factory.build("colors", false);

  auto output = capture_std([&] {
    logger->info("m");
    logger->error("m");
  });
  EXPECT_EQ(output.out, colored("\033[91m", 'I') + "I\n" + colored(kGreen, 'I') + "E\n" + colored(kRedBold, 'E'));
  EXPECT_EQ(output.err, colored("\033[92m", 'E'));
}

}  // namespace

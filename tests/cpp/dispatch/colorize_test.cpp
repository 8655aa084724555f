#include <string>

#include <gtest/gtest.h>

#include "orvel/scribo/dispatch.hpp"

namespace {

using orvel::dispatch::colorize;

constexpr unsigned kNone = static_cast<unsigned>(-1);

struct Case {
  const char* name;
  unsigned fg, bg, effect;
  const char* codes;  // nullptr: the text comes back unchanged
};

const Case kCases[] = {
    {"nothing", kNone, kNone, kNone, nullptr},
    {"fg_named", 31, kNone, kNone, "31"},
    {"fg_bright", 97, kNone, kNone, "97"},
    {"fg_low_is_palette", 7, kNone, kNone, "38;5;7"},
    {"fg_zero_is_palette", 0, kNone, kNone, "38;5;0"},
    {"fg_between_ranges_is_palette", 38, kNone, kNone, "38;5;38"},
    {"fg_palette_with_effect", 196, kNone, 1, "1;38;5;196"},
    {"fg_256_ignored", 256, kNone, kNone, nullptr},
    {"bg_named_with_effect", kNone, 44, 4, "4;44"},
    {"bg_bright", kNone, 107, kNone, "107"},
    {"bg_fg_named_range_is_palette", kNone, 31, kNone, "48;5;31"},
    {"fg_and_bg_palette", 7, 0, kNone, "38;5;7;48;5;0"},
    {"all_three", 32, 100, 9, "9;32;100"},
    {"effect_only", kNone, kNone, 7, "7"},
    {"effect_0_ignored", kNone, kNone, 0, nullptr},
    {"effect_8_ignored", kNone, kNone, 8, nullptr},
    {"effect_8_with_fg", 31, kNone, 8, "31"},
    {"effect_10_ignored", kNone, kNone, 10, nullptr},
};

class Colorize : public testing::TestWithParam<Case> {};

TEST_P(Colorize, WrapsTextInOneSequence) {
  const Case& c = GetParam();
  const std::string expected = c.codes ? std::string("\x1b[") + c.codes + "m" + "text" + "\x1b[0m" : "text";
  EXPECT_EQ(colorize(c.fg, c.bg, c.effect, "text"), expected);
}

INSTANTIATE_TEST_SUITE_P(Codes, Colorize, testing::ValuesIn(kCases),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(ColorizeText, KeepsNuls) {
  const std::string text("before\0after", 12);
  EXPECT_EQ(colorize(31, kNone, kNone, text), "\x1b[31m" + text + "\x1b[0m");
  EXPECT_EQ(colorize(kNone, kNone, kNone, text), text);
}

}  // namespace

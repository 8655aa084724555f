#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/ostream_sink.h>

#include "scribo/max_sink_level.hpp"
#include "test_support.hpp"

namespace {

namespace lv = spdlog::level;
using scribo_test::lines;
using spdlog_internal::MaxSinkLevel;

struct Recorder {
  Recorder() { sink->set_pattern("%L"); }
  std::ostringstream text;
  std::shared_ptr<spdlog::sinks::ostream_sink_st> sink = std::make_shared<spdlog::sinks::ostream_sink_st>(text);
};

struct Bounds {
  const char* name;
  lv::level_enum max;
  bool with_above;
  lv::level_enum wrapped_level;  // the wrapped sink's own threshold
  const char* below;
  const char* above;
};

class MaxSinkLevelRouting : public testing::TestWithParam<Bounds> {};

TEST_P(MaxSinkLevelRouting, SplitsAtMaxLevel) {
  const Bounds& bounds = GetParam();
  Recorder below;
  Recorder above;
  below.sink->set_level(bounds.wrapped_level);
  auto wrapper = std::make_shared<MaxSinkLevel>(below.sink, bounds.max, bounds.with_above ? above.sink : nullptr);
  wrapper->set_level(lv::debug);
  spdlog::logger logger("bounded", wrapper);
  logger.set_level(lv::trace);
  scribo_test::log_every_level(logger);

  EXPECT_EQ(below.text.str(), lines(bounds.below));
  EXPECT_EQ(above.text.str(), lines(bounds.above));
}

INSTANTIATE_TEST_SUITE_P(Bounds, MaxSinkLevelRouting,
                         testing::Values(Bounds{"split", lv::info, true, lv::trace, "DI", "WEC"},
                                         Bounds{"drop_above", lv::info, false, lv::trace, "DI", ""},
                                         Bounds{"max_critical", lv::critical, true, lv::trace, "DIWEC", ""},
                                         Bounds{"max_below_min", lv::trace, true, lv::trace, "", "DIWEC"},
                                         Bounds{"wrapped_level", lv::warn, true, lv::info, "IW", "EC"}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(MaxSinkLevel, GivesPatternAndFormatterToBothSinks) {
  Recorder below;
  Recorder above;
  auto wrapper = std::make_shared<MaxSinkLevel>(below.sink, lv::info, above.sink);
  spdlog::logger logger("formatted", wrapper);

  wrapper->set_pattern("<%v>");
  logger.info("a");
  logger.error("b");
  wrapper->set_formatter(std::make_unique<spdlog::pattern_formatter>("[%v]"));
  logger.info("c");
  logger.error("d");

  EXPECT_EQ(below.text.str(), "<a>\n[c]\n");
  EXPECT_EQ(above.text.str(), "<b>\n[d]\n");
}

TEST(MaxSinkLevel, RejectsNullSink) { EXPECT_THROW(MaxSinkLevel(nullptr, lv::info), std::invalid_argument); }

}  // namespace

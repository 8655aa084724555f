#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include "orvel/scribo/dispatch.hpp"
#include "recording_sink.hpp"
#include "scribo/max_sink_level.hpp"

namespace {

using orvel::dispatch::is_console_sink;
using spdlog::details::console_mutex;
using spdlog::sink_ptr;
using spdlog_internal::MaxSinkLevel;
namespace sinks = spdlog::sinks;

sink_ptr wrap(sink_ptr sink) { return std::make_shared<MaxSinkLevel>(std::move(sink), spdlog::level::info); }

struct Case {
  const char* name;
  std::function<sink_ptr()> make;
  bool console;
};

const Case kCases[] = {
    {"ansicolor_stdout", [] { return std::make_shared<sinks::ansicolor_stdout_sink<console_mutex>>(); }, true},
    {"stdout", [] { return std::make_shared<sinks::stdout_sink<console_mutex>>(); }, true},
    {"ansicolor_stderr", [] { return std::make_shared<sinks::ansicolor_stderr_sink<console_mutex>>(); }, true},
    {"stderr", [] { return std::make_shared<sinks::stderr_sink<console_mutex>>(); }, true},
    {"derived_from_stdout", [] { return std::make_shared<dispatch_test::Recording<sinks::stdout_sink_mt>>(); },
     true},
    {"stdout_single_threaded", [] { return std::make_shared<sinks::stdout_sink_st>(); }, false},
    {"ansicolor_stderr_single_threaded", [] { return std::make_shared<sinks::ansicolor_stderr_sink_st>(); }, false},
    {"null", [] { return std::make_shared<sinks::null_sink_mt>(); }, false},
    {"own_sink", [] { return std::make_shared<dispatch_test::Plain>(); }, false},
    {"no_sink", [] { return sink_ptr(); }, false},
    {"wrapped_stdout", [] { return wrap(std::make_shared<sinks::stdout_sink_mt>()); }, true},
    {"wrapped_twice_stderr", [] { return wrap(wrap(std::make_shared<sinks::ansicolor_stderr_sink_mt>())); }, true},
    {"wrapped_null", [] { return wrap(std::make_shared<sinks::null_sink_mt>()); }, false},
    {"wrapped_twice_single_threaded", [] { return wrap(wrap(std::make_shared<sinks::stdout_sink_st>())); }, false},
};

class IsConsoleSink : public testing::TestWithParam<Case> {};

TEST_P(IsConsoleSink, RecognisesConsoleSinks) { EXPECT_EQ(is_console_sink(GetParam().make()), GetParam().console); }

INSTANTIATE_TEST_SUITE_P(Sinks, IsConsoleSink, testing::ValuesIn(kCases),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(IsConsoleSinkFile, FileSinkIsNot) {
  const std::string path = testing::TempDir() + "dispatch_console_test.log";
  EXPECT_FALSE(is_console_sink(std::make_shared<sinks::basic_file_sink_mt>(path, true)));
  EXPECT_FALSE(is_console_sink(wrap(std::make_shared<sinks::basic_file_sink_mt>(path, true))));
  std::remove(path.c_str());
}

}  // namespace

#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <spdlog/details/log_msg.h>

#include "scribo/record_source.hpp"

namespace {

std::string formatted(const std::string& pattern, const char* logger_name) {
  const spdlog::details::log_msg msg(spdlog::source_loc{}, logger_name, spdlog::level::info, "text");
  spdlog::memory_buf_t out;
  scribo::make_formatter(pattern)->format(msg, out);
  return std::string(out.data(), out.size());
}

TEST(SourceName, IsTheLoggersNameUnlessARecordNamesItsOwn) {
  EXPECT_EQ(formatted("%n|%N|%v", "app"), "app|app|text\n");
  {
    const scribo::RecordSource outer("urllib3.connectionpool");
    EXPECT_EQ(formatted("%n|%N|%v", "app"), "app|urllib3.connectionpool|text\n");
    {
      const scribo::RecordSource inner("");
      EXPECT_EQ(formatted("%N|%v", "app"), "|text\n");
    }
    EXPECT_EQ(formatted("%N", "app"), "urllib3.connectionpool\n");
  }
  EXPECT_EQ(formatted("%N", "app"), "app\n");
}

}  // namespace

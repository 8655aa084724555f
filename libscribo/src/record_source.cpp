#include "scribo/record_source.hpp"

#include <spdlog/details/log_msg.h>
#include <spdlog/pattern_formatter.h>

namespace scribo {
namespace {

thread_local std::string_view source_name;  // null data: none set on this thread

class SourceNameFlag final : public spdlog::custom_flag_formatter {
 public:
  void format(const spdlog::details::log_msg& msg, const std::tm&, spdlog::memory_buf_t& dest) override {
    const auto name = source_name.data() != nullptr ? source_name
                                                    : std::string_view(msg.logger_name.data(), msg.logger_name.size());
    dest.append(name.data(), name.data() + name.size());
  }

  std::unique_ptr<custom_flag_formatter> clone() const override { return std::make_unique<SourceNameFlag>(); }
};

}  // namespace

RecordSource::RecordSource(std::string_view name) noexcept : previous_(source_name) { source_name = name; }

RecordSource::~RecordSource() { source_name = previous_; }

std::unique_ptr<spdlog::formatter> make_formatter(const std::string& pattern) {
  spdlog::pattern_formatter::custom_flags flags;
  flags[kSourceNameFlag] = std::make_unique<SourceNameFlag>();
  return std::make_unique<spdlog::pattern_formatter>(pattern.empty() ? "%+" : pattern,
                                                     spdlog::pattern_time_type::local,
                                                     spdlog::details::os::default_eol, std::move(flags));
}

}  // namespace scribo

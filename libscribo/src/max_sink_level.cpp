#include "scribo/max_sink_level.hpp"

#include <stdexcept>
#include <utility>

#include "scribo/record_source.hpp"

namespace spdlog_internal {

MaxSinkLevel::MaxSinkLevel(std::shared_ptr<spdlog::sinks::sink> wrapped, spdlog::level::level_enum max_level,
                           std::shared_ptr<spdlog::sinks::sink> above)
    : sink_(std::move(wrapped)), above_(std::move(above)), max_level_(max_level) {
  // Checked once here so that log() and the front end's get_sink() never see a null sink.
  if (!sink_) throw std::invalid_argument("MaxSinkLevel: no sink to wrap");
}

void MaxSinkLevel::log(const spdlog::details::log_msg& msg) {
  if (msg.level <= max_level_) {
    if (sink_->should_log(msg.level)) sink_->log(msg);
  } else if (above_ && above_->should_log(msg.level)) {
    above_->log(msg);
  }
}

void MaxSinkLevel::flush() {
  sink_->flush();
  if (above_) above_->flush();
}

// As a formatter: the colour console sinks take their patterns only that way.
void MaxSinkLevel::set_pattern(const std::string& pattern) { set_formatter(scribo::make_formatter(pattern)); }

void MaxSinkLevel::set_formatter(std::unique_ptr<spdlog::formatter> formatter) {
  // A formatter keeps per-message state (cached time, padding), so the two sinks cannot share one.
  if (above_) above_->set_formatter(formatter ? formatter->clone() : nullptr);
  sink_->set_formatter(std::move(formatter));
}

std::shared_ptr<spdlog::sinks::sink> MaxSinkLevel::get_sink() const noexcept { return sink_; }

std::shared_ptr<spdlog::sinks::sink> MaxSinkLevel::get_above_sink() const noexcept { return above_; }

spdlog::level::level_enum MaxSinkLevel::max_level() const noexcept { return max_level_; }

}  // namespace spdlog_internal

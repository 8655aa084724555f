#pragma once

#include <memory>
#include <string>

#include <spdlog/sinks/sink.h>

#include "scribo/export.hpp"

namespace spdlog_internal {

// A sink that passes messages up to `max_level` on to the sink it wraps. Messages above
// `max_level` go to `above`, when one is given, and are dropped otherwise. Its own level (the
// lower bound, as for every sink) is checked by the logger before `log` is called; the level of
// each wrapped sink is honoured as well.
//
// Exported, type information included: the front end finds the wrapped sink with dynamic_cast.
class SCRIBO_API MaxSinkLevel final : public spdlog::sinks::sink {
 public:
  MaxSinkLevel(std::shared_ptr<spdlog::sinks::sink> sink, spdlog::level::level_enum max_level,
               std::shared_ptr<spdlog::sinks::sink> above = nullptr);  // null `sink`: invalid_argument

  void log(const spdlog::details::log_msg& msg) override;
  void flush() override;
  // Both go to the wrapped sink and to `above`, each of which gets its own formatter.
  void set_pattern(const std::string& pattern) override;
  void set_formatter(std::unique_ptr<spdlog::formatter> formatter) override;

  // The wrapped sink; never throws.
  std::shared_ptr<spdlog::sinks::sink> get_sink() const noexcept;
  // The sink that takes the messages above max_level, or null.
  std::shared_ptr<spdlog::sinks::sink> get_above_sink() const noexcept;
  spdlog::level::level_enum max_level() const noexcept;

 private:
  std::shared_ptr<spdlog::sinks::sink> sink_;
  std::shared_ptr<spdlog::sinks::sink> above_;
  spdlog::level::level_enum max_level_;
};

}  // namespace spdlog_internal

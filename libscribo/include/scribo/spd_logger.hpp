#pragma once

#include <memory>
#include <utility>

#include <spdlog/logger.h>

namespace scribo {

// A value holding one spdlog logger. Copies share the logger; the last holder frees it.
class SpdLogger {
 public:
  SpdLogger() = default;  // placeholder, assigned before use
  explicit SpdLogger(std::shared_ptr<spdlog::logger> logger) noexcept : logger_(std::move(logger)) {}

  spdlog::logger& operator*() const noexcept { return *logger_; }
  spdlog::logger* operator->() const noexcept { return logger_.get(); }
  spdlog::logger* get() const noexcept { return logger_.get(); }
  const std::shared_ptr<spdlog::logger>& shared() const noexcept { return logger_; }
  explicit operator bool() const noexcept { return static_cast<bool>(logger_); }

 private:
  std::shared_ptr<spdlog::logger> logger_;
};

}  // namespace scribo

#pragma once

#include <memory>
#include <string>

#include <spdlog/logger.h>

#include "scribo/export.hpp"

namespace scribo {

// The process-wide default logger, and loggers registered by name through LoggerFactory::build.
// Every member is thread-safe and none throws.
class SCRIBO_API LoggerRegistry {
 public:
  // Makes `logger` the default: afterwards get_logger("", ...) returns it. A null `logger` goes
  // back to the initial default.
  static void set_default(std::shared_ptr<spdlog::logger> logger) noexcept;

  // The logger registered under `name`; the empty name means the default logger. When nothing
  // is found, `or_default` chooses between the default logger (never null but when memory has
  // run out: before any set_default it is a console logger on standard output with the empty
  // name, coloured on a colour terminal, like the one spdlog starts with) and an empty pointer.
  static std::shared_ptr<spdlog::logger> get_logger(const std::string& name, bool or_default) noexcept;

  // Registers `logger` under its own name, replacing an earlier logger of that name. A null logger
  // or one with the empty name (which stands for the default) is ignored: use set_default.
  static void register_logger(std::shared_ptr<spdlog::logger> logger) noexcept;
};

}  // namespace scribo

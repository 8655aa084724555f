#include "scribo/logger_registry.hpp"

#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>

#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/spdlog.h>

namespace scribo {
namespace {

struct State {
  std::mutex mutex;
  std::shared_ptr<spdlog::logger> default_logger;  // null until set_default: spdlog's default then
  std::unordered_map<std::string, std::shared_ptr<spdlog::logger>> by_name;
  std::shared_ptr<spdlog::logger> fallback;  // stands in for spdlog's default once it is dropped
};

State& state() noexcept {
  // Built in place and never destroyed: other modules' static destructors and daemon threads may
  // still log while the process exits. File sinks write through stdio, which exit() flushes anyway.
  alignas(State) static unsigned char storage[sizeof(State)];
  static State* const instance = new (storage) State;
  return *instance;
}

std::shared_ptr<spdlog::logger> initial_default(State& s) noexcept {
  try {
    // Asked each time so that a default installed through spdlog itself is honoured.
    if (auto logger = spdlog::default_logger()) return logger;
    // spdlog::drop_all() or set_default_logger(nullptr) left spdlog without one; the default must
    // never be null, so make the same kind of logger spdlog starts with.
    std::lock_guard lock(s.mutex);
    if (!s.fallback) {
      s.fallback = std::make_shared<spdlog::logger>(
          "", std::make_shared<spdlog::sinks::ansicolor_stdout_sink_mt>());
    }
    return s.fallback;
  } catch (...) {
    return nullptr;  // only when memory has run out
  }
}

}  // namespace

void LoggerRegistry::set_default(std::shared_ptr<spdlog::logger> logger) noexcept {
  State& s = state();
  std::shared_ptr<spdlog::logger> previous;  // released after unlocking: closing sinks may be slow
  std::lock_guard lock(s.mutex);
  previous = std::exchange(s.default_logger, std::move(logger));
}

std::shared_ptr<spdlog::logger> LoggerRegistry::get_logger(const std::string& name, bool or_default) noexcept {
  State& s = state();
  {
    std::lock_guard lock(s.mutex);
    if (!name.empty()) {
      if (auto it = s.by_name.find(name); it != s.by_name.end()) return it->second;
      if (!or_default) return nullptr;
    }
    if (s.default_logger) return s.default_logger;
  }
  return initial_default(s);
}

void LoggerRegistry::register_logger(std::shared_ptr<spdlog::logger> logger) noexcept {
  if (!logger || logger->name().empty()) return;
  State& s = state();
  std::shared_ptr<spdlog::logger> previous;
  try {
    std::lock_guard lock(s.mutex);
    auto& slot = s.by_name[logger->name()];
    previous = std::exchange(slot, std::move(logger));
  } catch (...) {
    // Out of memory for the map node: the logger stays unregistered, as callers must tolerate.
  }
}

}  // namespace scribo

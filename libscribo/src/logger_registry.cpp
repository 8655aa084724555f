#include "scribo/logger_registry.hpp"

#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>

#include <pthread.h>

#include <spdlog/details/os.h>

#include "console_sink.hpp"
#include "file_sink.hpp"  // watch_process

namespace scribo {
namespace {

struct State {
  std::mutex mutex;
  std::shared_ptr<spdlog::logger> default_logger;  // null until set_default: `initial` then
  std::unordered_map<std::string, std::shared_ptr<spdlog::logger>> by_name;
  std::shared_ptr<spdlog::logger> initial;  // made on first use
};

State& state() noexcept {
  // Built in place and never destroyed: other modules' static destructors and daemon threads may
  // still log while the process exits. File sinks are written out by an exit handler of their own.
  alignas(State) static unsigned char storage[sizeof(State)];
  static State* const instance = [] {
    State* made = new (storage) State;
    // The forking thread holds the lock across fork(): a child must not inherit it held by a
    // thread it does not have. It is held only for lookups and exchanges, never while logging.
    ::pthread_atfork([] { state().mutex.lock(); }, [] { state().mutex.unlock(); },
                     [] { state().mutex.unlock(); });
    return made;
  }();
  return *instance;
}

// Made while the library loads, for the reason given at watched_from_load (file_sink.cpp).
[[maybe_unused]] const State& made_on_load = state();

// The kind of logger spdlog starts with (the empty name, its default pattern, standard output in
// colour on a colour terminal), over a console sink of ours, which a stalled stream holds up only
// until scribo::stop_waiting().
std::shared_ptr<spdlog::logger> initial_default(State& s) {
  if (!s.initial) {
    detail::watch_process();
    const bool color = spdlog::details::os::in_terminal(stdout) && spdlog::details::os::is_color_terminal();
    spdlog::sink_ptr sink;
    if (color) {
      sink = std::make_shared<detail::ColorStdoutSink>();
    } else {
      sink = std::make_shared<detail::StdoutSink>();
    }
    s.initial = std::make_shared<spdlog::logger>("", std::move(sink));
  }
  return s.initial;
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
  std::lock_guard lock(s.mutex);
  if (!name.empty()) {
    if (auto it = s.by_name.find(name); it != s.by_name.end()) return it->second;
    if (!or_default) return nullptr;
  }
  if (s.default_logger) return s.default_logger;
  try {
    return initial_default(s);
  } catch (...) {
    return nullptr;  // only when memory has run out
  }
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

#include "orvel/scribo/dispatch.hpp"

#include <exception>
#include <iterator>
#include <optional>
#include <vector>

#include <fmt/format.h>
#include <spdlog/details/log_msg.h>
#include <spdlog/details/console_globals.h>
#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include "scribo/max_sink_level.hpp"
#include "scribo/sink_control.hpp"

namespace orvel::dispatch {
namespace {

using spdlog::details::console_mutex;

// Appends a colour code: `base`..`base`+7 and their bright range `base`+60.. are SGR codes of
// their own, any other value below 256 is a palette index after `palette`.
void append_color(fmt::memory_buffer& codes, unsigned value, unsigned base, const char* palette) {
  if (value >= 256) return;
  if (codes.size() != 0) codes.push_back(';');
  const bool named = (value >= base && value <= base + 7) || (value >= base + 60 && value <= base + 67);
  if (named) {
    fmt::format_to(std::back_inserter(codes), "{}", value);
  } else {
    fmt::format_to(std::back_inserter(codes), "{}{}", palette, value);
  }
}

bool names_an_effect(unsigned effect) { return (effect >= 1 && effect <= 7) || effect == 9; }

// Whether `colorize` wraps the text at all: with no code named, every sink gets the plain text.
bool names_a_code(unsigned fg, unsigned bg, unsigned effect) { return names_an_effect(effect) || fg < 256 || bg < 256; }

template <class Sink>
bool is_a(spdlog::sinks::sink* sink) {
  return dynamic_cast<Sink*>(sink) != nullptr;
}

using Sinks = std::vector<spdlog::sink_ptr>;

bool flushes(const spdlog::logger& logger, level lvl) { return lvl >= logger.flush_level() && lvl != level::off; }

// The logger's error handler, which spdlog keeps to its logging path.
struct ErrorHandler : spdlog::logger {
  static void report(spdlog::logger& logger, const spdlog::source_loc& where, const std::exception& error) {
    (logger.*&ErrorHandler::err_handler_)(fmt::format("{} [{}({})]", error.what(), where.filename, where.line));
  }
};

// Runs `write` (which gives one sink its message) and returns what it returns; with
// SinkFailures::report, a std::exception it throws goes to the logger's error handler instead, and
// counts as written.
template <class Write>
bool guarded(spdlog::logger& logger, const spdlog::source_loc& where, SinkFailures failures, Write&& write) {
  if (failures == SinkFailures::propagate) return write();
  try {
    return write();
  } catch (const std::exception& error) {
    ErrorHandler::report(logger, where, error);
    return true;
  }
}

// Gives every admitting sink from `first` on its own message; `payload(sink)` chooses the text. At
// the logger's flush level and above each such sink is flushed after it, as spdlog's own logging
// path does.
template <class Payload>
void write_sinks(spdlog::logger& logger, level lvl, const spdlog::source_loc& where, SinkFailures failures,
                 Sinks::const_iterator first, Payload&& payload) {
  const bool flush = flushes(logger, lvl);
  for (auto sink = first; sink != logger.sinks().end(); ++sink) {
    if (!(*sink)->should_log(lvl)) continue;
    const spdlog::details::log_msg msg(where, logger.name(), lvl, payload(*sink));
    guarded(logger, where, failures, [&] {
      (*sink)->log(msg);
      if (flush) (*sink)->flush();
      return true;
    });
  }
}

// The sinks from the first one that might block on: the caller's lock is kept for those before it,
// which take their messages into a buffer. (An uncontended release and retake of the interpreter
// lock costs about 350 instructions, a tenth of what a Logger.info to a file costs in all.)
template <class Payload>
Sinks::const_iterator write_buffered_sinks(spdlog::logger& logger, level lvl, const spdlog::source_loc& where,
                                           SinkFailures failures, Payload& payload) {
  auto sink = logger.sinks().begin();
  if (flushes(logger, lvl)) return sink;  // a flush writes to the file
  for (; sink != logger.sinks().end(); ++sink) {
    if (!(*sink)->should_log(lvl)) continue;
    const spdlog::details::log_msg msg(where, logger.name(), lvl, payload(*sink));
    if (!guarded(logger, where, failures, [&] { return scribo::log_without_blocking(**sink, msg); })) break;
  }
  return sink;
}

// write_sinks, letting go of the caller's lock for the sinks that may block. The lock is taken
// back by a call, not by a destructor: the interpreter ends a thread that takes it back while it
// finalises by unwinding the thread, which must not meet a noexcept frame.
template <class Payload>
void deliver(spdlog::logger& logger, level lvl, const spdlog::source_loc& where, const Unlocking* unlocking,
             SinkFailures failures, Payload&& payload) {
  if (unlocking == nullptr) return write_sinks(logger, lvl, where, failures, logger.sinks().begin(), payload);
  const auto rest = write_buffered_sinks(logger, lvl, where, failures, payload);
  if (rest == logger.sinks().end()) return;
  void* held = unlocking->release();
  try {
    write_sinks(logger, lvl, where, failures, rest, payload);
  } catch (...) {
    unlocking->retake(held);
    throw;
  }
  unlocking->retake(held);
}

}  // namespace

std::string colorize(unsigned fg, unsigned bg, unsigned effect, std::string_view text) {
  if (!names_a_code(fg, bg, effect)) return std::string(text);
  fmt::memory_buffer codes;
  if (names_an_effect(effect)) fmt::format_to(std::back_inserter(codes), "{}", effect);
  append_color(codes, fg, 30, "38;5;");
  append_color(codes, bg, 40, "48;5;");
  return fmt::format("\x1b[{}m{}\x1b[0m", fmt::string_view(codes.data(), codes.size()),
                     fmt::string_view(text.data(), text.size()));
}

bool is_console_sink(const std::shared_ptr<spdlog::sinks::sink>& sink) {
  auto* raw = sink.get();
  if (raw == nullptr) return false;
  if (is_a<spdlog::sinks::ansicolor_stdout_sink<console_mutex>>(raw) ||
      is_a<spdlog::sinks::stdout_sink<console_mutex>>(raw) ||
      is_a<spdlog::sinks::ansicolor_stderr_sink<console_mutex>>(raw) ||
      is_a<spdlog::sinks::stderr_sink<console_mutex>>(raw)) {
    return true;
  }
  if (auto* wrapper = dynamic_cast<spdlog_internal::MaxSinkLevel*>(raw)) return is_console_sink(wrapper->get_sink());
  return false;
}

void log_colored(spdlog::logger& logger, level lvl, std::string_view text, int fg, int bg, int effect,
                 Locate locate, const Unlocking* unlocking) {
  if (!logger.should_log(lvl)) return;
  const auto ufg = static_cast<unsigned>(fg), ubg = static_cast<unsigned>(bg), ueffect = static_cast<unsigned>(effect);
  // The common call names no colour: then no sink needs telling apart, which costs a chain of
  // dynamic_casts per sink.
  if (!names_a_code(ufg, ubg, ueffect)) return log_plain(logger, lvl, text, locate, unlocking);
  const spdlog::string_view_t plain(text.data(), text.size());
  std::optional<std::string> colored;  // made for the first console sink, shared by the others
  deliver(logger, lvl, locate(), unlocking, SinkFailures::propagate, [&](const spdlog::sink_ptr& sink) -> spdlog::string_view_t {
    if (!is_console_sink(sink)) return plain;
    if (!colored) {
      colored = colorize(ufg, ubg, ueffect, text);
    }
    return *colored;
  });
}

void log_plain(spdlog::logger& logger, level lvl, std::string_view text, Locate locate,
               const Unlocking* unlocking) {
  if (!logger.should_log(lvl)) return;
  log_plain(logger, lvl, text, locate(), unlocking);
}

void log_plain(spdlog::logger& logger, level lvl, std::string_view text, const spdlog::source_loc& where,
               const Unlocking* unlocking, SinkFailures failures) {
  if (!logger.should_log(lvl)) return;
  const spdlog::string_view_t plain(text.data(), text.size());
  deliver(logger, lvl, where, unlocking, failures, [&](const spdlog::sink_ptr&) { return plain; });
}

}  // namespace orvel::dispatch

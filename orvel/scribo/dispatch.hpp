#pragma once

// Coloured dispatch of one message to the sinks of an spdlog logger. Pure C++: where the
// message comes from is given by the caller (the Python front end passes its frame walk).

#include <memory>
#include <string>
#include <string_view>

#include <spdlog/common.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/sink.h>

namespace orvel::dispatch {

using level = spdlog::level::level_enum;

// `text` wrapped in one SGR sequence of the codes that `effect`, `fg` and `bg` name, in that
// order: effect 1-7 or 9; fg 30-37, 90-97 or another value below 256 as a palette index
// (38;5;N); bg likewise with 40-47, 100-107 and 48;5;N. Other values name nothing; with no
// code at all the text comes back unchanged.
std::string colorize(unsigned fg, unsigned bg, unsigned effect, std::string_view text);

// Standard output and error sinks (the mutex-protected ones, coloured or not, and anything
// derived from them), also behind any number of MaxSinkLevel wrappers.
bool is_console_sink(const std::shared_ptr<spdlog::sinks::sink>& sink);

// Where a message is logged from; called at most once per message.
using Locate = spdlog::source_loc (*)();

// A lock the caller holds (the front end's interpreter lock), let go of while the sinks are
// written: a sink may block for as long as its stream stalls. `release` gives what `retake` takes.
struct Unlocking {
  void* (*release)();
  void (*retake)(void*);
};

// Gives every sink of `logger` that admits `level` a message of its own: console sinks the
// coloured text, other sinks the plain text, and flushes each of them after it when `level` is
// at or above the logger's flush level. The text is written whole, NULs included. A message the
// logger's level rejects costs neither colouring nor `locate`. Whatever a sink throws propagates; the
// logger's error handler and backtrace are not involved. With `unlocking`, the text, the location
// and the logger stay the caller's to keep alive while the sinks are written without its lock.
void log_colored(spdlog::logger& logger, level lvl, std::string_view text, int fg, int bg, int effect,
                 Locate locate, const Unlocking* unlocking = nullptr);

// What becomes of a sink that throws: its exception passes on to the caller, and the sinks after
// it get nothing; or, as in spdlog's own logging path, a std::exception goes to the logger's error
// handler and the other sinks are still written.
enum class SinkFailures { propagate, report };

// As log_colored without colours: every admitting sink gets the plain text.
void log_plain(spdlog::logger& logger, level lvl, std::string_view text, Locate locate,
               const Unlocking* unlocking = nullptr);
// The same from a place known beforehand.
void log_plain(spdlog::logger& logger, level lvl, std::string_view text, const spdlog::source_loc& where,
               const Unlocking* unlocking = nullptr, SinkFailures failures = SinkFailures::propagate);

}  // namespace orvel::dispatch

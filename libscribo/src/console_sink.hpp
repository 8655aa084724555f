#pragma once

// The console sinks that LoggerFactory builds. They derive from spdlog's console sinks, which is
// how the front end recognises them, but write each record with one write(2) of their own,
// through stream_writer: a stalled console then holds up the threads that write to it only until
// scribo::stop_waiting(), and leaves nothing in stdio's buffer for exit() to block on.

#include <array>
#include <memory>
#include <mutex>
#include <string>

#include <spdlog/details/console_globals.h>
#include <spdlog/formatter.h>
#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

namespace scribo::detail {

// Held while a record is written to either stream, as spdlog holds one lock for both: lines of
// the two meet whole where both streams lead to one terminal.
std::timed_mutex& console_lock() noexcept;

// Around fork(): the forking thread holds the console lock and the console formatters' lock, so
// that the child does not inherit them held by a thread it does not have. A console lock that
// stayed held kStalledSinkPatience (a writer stalled) is replaced by a free one in the child.
void console_before_fork() noexcept;
void console_after_fork(bool child) noexcept;

// Formats records and writes them to standard output or error.
class ConsoleOutput {
 public:
  ConsoleOutput(int fd, bool color);

  void log(const spdlog::details::log_msg& msg);
  void set_formatter(std::unique_ptr<spdlog::formatter> formatter);
  // The colour of a level's %^...%$ range, on a colour sink.
  void set_color(spdlog::level::level_enum level, std::string color);

 private:
  // The record as it is written: formatted, its level's range coloured on a colour sink.
  void format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& formatted);

  int fd_;
  bool color_;
  // Both guarded by the formatters' lock of console_sink.cpp: a formatter keeps state per record.
  std::unique_ptr<spdlog::formatter> formatter_;
  std::array<std::string, spdlog::level::n_levels> colors_;
};

// One of spdlog's four console sinks on the console mutex (`Base`), writing through ConsoleOutput.
// Patterns arrive through set_formatter, as spdlog::logger::set_pattern sends them: the colour
// sinks' set_pattern is final and sets a formatter this sink does not use.
template <class Base>
class ConsoleSink final : public Base {
 public:
  static constexpr bool kColor = std::is_base_of_v<spdlog::sinks::ansicolor_sink<spdlog::details::console_mutex>, Base>;
  static constexpr int kFd = std::is_base_of_v<spdlog::sinks::ansicolor_stderr_sink<spdlog::details::console_mutex>, Base> ||
                                     std::is_base_of_v<spdlog::sinks::stderr_sink<spdlog::details::console_mutex>, Base>
                                 ? 2
                                 : 1;

  ConsoleSink() : output_(kFd, kColor) {}

  void log(const spdlog::details::log_msg& msg) override { output_.log(msg); }
  void flush() override {}  // nothing is buffered
  void set_formatter(std::unique_ptr<spdlog::formatter> formatter) override {
    output_.set_formatter(std::move(formatter));
  }
  ConsoleOutput& output() noexcept { return output_; }

 private:
  ConsoleOutput output_;
};

using ColorStdoutSink = ConsoleSink<spdlog::sinks::ansicolor_stdout_sink<spdlog::details::console_mutex>>;
using ColorStderrSink = ConsoleSink<spdlog::sinks::ansicolor_stderr_sink<spdlog::details::console_mutex>>;
using StdoutSink = ConsoleSink<spdlog::sinks::stdout_sink<spdlog::details::console_mutex>>;
using StderrSink = ConsoleSink<spdlog::sinks::stderr_sink<spdlog::details::console_mutex>>;

// The ConsoleOutput of one of the four sinks above, or null.
ConsoleOutput* console_output_of(spdlog::sinks::sink* sink) noexcept;

}  // namespace scribo::detail

#include "console_sink.hpp"

#include <iterator>
#include <utility>

#include <spdlog/details/log_msg.h>
#include <spdlog/pattern_formatter.h>

#include "scribo/sink_control.hpp"
#include "stream_writer.hpp"

namespace scribo::detail {
namespace {

// Replaced in a forked child when the parent's was held by another thread; never destroyed, as
// daemon threads may log while the process exits.
std::timed_mutex* lock_of_consoles = new std::timed_mutex;
bool held_across_fork = false;

// Guards the formatters and colours of every console output. One lock for them all, which the
// forking thread holds across fork(); never held while writing, so it is taken without a bound.
// Formatting is serialised by it as writing is by the console lock.
std::mutex* const formatting = new std::mutex;

// spdlog's colours of the level names.
std::array<std::string, spdlog::level::n_levels> default_colors() {
  return {"\033[37m", "\033[36m", "\033[32m", "\033[33m\033[1m", "\033[31m\033[1m", "\033[1m\033[41m", "\033[m"};
}
constexpr std::string_view kReset = "\033[m";

}  // namespace

std::timed_mutex& console_lock() noexcept { return *lock_of_consoles; }

void console_before_fork() noexcept {
  held_across_fork = acquire(*lock_of_consoles, Clock::now() + kStalledSinkPatience);
  formatting->lock();
}

void console_after_fork(bool child) noexcept {
  formatting->unlock();
  if (held_across_fork) {
    lock_of_consoles->unlock();
  } else if (child) {
    lock_of_consoles = new std::timed_mutex;  // the holder is not in this process
  }
  held_across_fork = false;
}

ConsoleOutput::ConsoleOutput(int fd, bool color)
    : fd_(fd), color_(color), formatter_(std::make_unique<spdlog::pattern_formatter>()),
      colors_(default_colors()) {}

void ConsoleOutput::log(const spdlog::details::log_msg& msg) {
  spdlog::memory_buf_t formatted;
  format(msg, formatted);
  if (!acquire(console_lock())) return;  // stalled for good: the record is dropped
  const std::lock_guard guard(console_lock(), std::adopt_lock);
  // As spdlog's console sinks, a console that fails (closed, a reader gone) is not reported.
  write_all({fd_, true}, formatted.data(), formatted.size());
}

void ConsoleOutput::format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& formatted) {
  const std::lock_guard guard(*formatting);
  msg.color_range_start = 0;
  msg.color_range_end = 0;
  formatter_->format(msg, formatted);
  if (color_ && msg.color_range_end > msg.color_range_start) {
    // One write for the whole record: the level's colour goes around its range.
    spdlog::memory_buf_t colored;
    const auto& color = colors_[static_cast<std::size_t>(msg.level)];
    colored.append(formatted.data(), formatted.data() + msg.color_range_start);
    colored.append(color.data(), color.data() + color.size());
    colored.append(formatted.data() + msg.color_range_start, formatted.data() + msg.color_range_end);
    colored.append(kReset.data(), kReset.data() + kReset.size());
    colored.append(formatted.data() + msg.color_range_end, formatted.data() + formatted.size());
    std::swap(formatted, colored);
  }
}

void ConsoleOutput::set_formatter(std::unique_ptr<spdlog::formatter> formatter) {
  const std::lock_guard guard(*formatting);
  formatter_ = std::move(formatter);
}

void ConsoleOutput::set_color(spdlog::level::level_enum level, std::string color) {
  const std::lock_guard guard(*formatting);
  colors_[static_cast<std::size_t>(level)] = std::move(color);
}

ConsoleOutput* console_output_of(spdlog::sinks::sink* sink) noexcept {
  if (auto* s = dynamic_cast<ColorStdoutSink*>(sink)) return &s->output();
  if (auto* s = dynamic_cast<ColorStderrSink*>(sink)) return &s->output();
  if (auto* s = dynamic_cast<StdoutSink*>(sink)) return &s->output();
  if (auto* s = dynamic_cast<StderrSink*>(sink)) return &s->output();
  return nullptr;
}

}  // namespace scribo::detail

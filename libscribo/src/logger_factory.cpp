#include "scribo/logger_factory.hpp"

#include <array>
#include <stdexcept>
#include <string>
#include <utility>

#include "console_sink.hpp"
#include "file_sink.hpp"
#include "scribo/logger_registry.hpp"
#include "scribo/max_sink_level.hpp"
#include "scribo/record_source.hpp"

namespace scribo {
namespace {

using spdlog_internal::MaxSinkLevel;

// The front end recognises console sinks by the spdlog types these derive from. A colour sink
// always colours: the caller has decided this stream is coloured, and terminal detection would
// leave the level names plain while the caller colours the message text.
spdlog::sink_ptr console_sink(bool color, bool to_stderr) {
  detail::watch_process();
  if (color) {
    if (to_stderr) return std::make_shared<detail::ColorStderrSink>();
    return std::make_shared<detail::ColorStdoutSink>();
  }
  if (to_stderr) return std::make_shared<detail::StderrSink>();
  return std::make_shared<detail::StdoutSink>();
}

// A file name ends at its first NUL in fopen(), a logger name in every lookup through a C string:
// a name holding one would stand for another.
const std::string& without_nul(const std::string& name) {
  if (name.find('\0') != std::string::npos) throw std::invalid_argument("embedded null byte");
  return name;
}

// The escape sequence for a set_colors value; empty keeps the sink's colour.
std::string color_code(int value) {
  if (value < 0 || value > 255) return {};
  if ((value >= 30 && value <= 37) || (value >= 90 && value <= 97)) {
    return "\033[" + std::to_string(value) + "m";
  }
  return "\033[38;5;" + std::to_string(value) + "m";
}

using LevelColors = std::array<std::string, 6>;  // trace .. critical

void recolor(const spdlog::sink_ptr& sink, const LevelColors& colors) {
  if (auto* wrapper = dynamic_cast<MaxSinkLevel*>(sink.get())) {
    recolor(wrapper->get_sink(), colors);
    recolor(wrapper->get_above_sink(), colors);
  } else if (auto* colored = detail::console_output_of(sink.get())) {
    for (std::size_t i = 0; i < colors.size(); ++i) {
      if (!colors[i].empty()) colored->set_color(static_cast<spdlog::level::level_enum>(i), colors[i]);
    }
  }
}

}  // namespace

FileError::FileError(int error, std::string filename, const char* what)
    : std::system_error(error, std::generic_category(), what + (" " + filename)), filename_(std::move(filename)) {}

LoggerFactory::LoggerFactory() = default;
LoggerFactory::~LoggerFactory() = default;
LoggerFactory::LoggerFactory(const LoggerFactory&) = default;
LoggerFactory& LoggerFactory::operator=(const LoggerFactory&) = default;

void LoggerFactory::set_level(level threshold) { level_ = threshold; }

void LoggerFactory::add_sink(spdlog::sink_ptr sink, const std::string& pattern, level min_level) {
  if (!pattern.empty()) sink->set_formatter(make_formatter(pattern));
  sink->set_level(min_level);
  sinks_.push_back(std::move(sink));
}

void LoggerFactory::add_stdout_handler(bool color, const std::string& pattern, level min_level,
                                       level max_level) {
  add_sink(std::make_shared<MaxSinkLevel>(console_sink(color, false), max_level), pattern, min_level);
}

void LoggerFactory::add_stderr_handler(bool color, const std::string& pattern, level min_level) {
  add_sink(console_sink(color, true), pattern, min_level);
}

void LoggerFactory::add_console_handler(bool color, const std::string& pattern, level max_stdout_level,
                                        level min_level) {
  add_sink(std::make_shared<MaxSinkLevel>(console_sink(color, false), max_stdout_level,
                                          console_sink(color, true)),
           pattern, min_level);
}

void LoggerFactory::add_basic_console_handler(bool color, const std::string& pattern, level min_level) {
  add_sink(console_sink(color, false), pattern, min_level);
}

void LoggerFactory::add_file_handler(const std::string& filename, const std::string& pattern,
                                     level min_level, bool overwrite) {
  add_file_sink(detail::FileTarget::open(without_nul(filename), overwrite, std::nullopt), pattern, min_level);
}

void LoggerFactory::add_rotating_file_handler(const std::string& filename, unsigned long max_size,
                                              unsigned long max_files, const std::string& pattern,
                                              level min_level) {
  check_rotation(max_size, max_files);
  add_file_sink(detail::FileTarget::open(without_nul(filename), false, detail::Rotation{max_size, max_files}),
                pattern, min_level);
}

// Given its formatter when made: set later, it would wait for a file that another sink may be
// writing to.
void LoggerFactory::add_file_sink(std::shared_ptr<detail::FileTarget> target, const std::string& pattern,
                                  level min_level) {
  auto sink = std::make_shared<detail::FileSink>(std::move(target), make_formatter(pattern));
  sink->set_level(min_level);
  sinks_.push_back(std::move(sink));
}

void LoggerFactory::check_rotation(unsigned long max_size, unsigned long max_files) {
  if (max_size == 0) throw std::invalid_argument("max_size must be at least 1");
  if (max_files > kMaxRotatedFiles) {
    throw std::invalid_argument("max_files must be at most " + std::to_string(kMaxRotatedFiles));
  }
}

void LoggerFactory::set_colors(int trace, int debug, int info, int warn, int error, int critical) {
  const LevelColors colors{color_code(trace), color_code(debug), color_code(info),
                           color_code(warn),  color_code(error), color_code(critical)};
  for (const auto& sink : sinks_) recolor(sink, colors);
}

std::shared_ptr<spdlog::logger> LoggerFactory::build(const std::string& name, bool register_by_name) {
  auto logger = std::make_shared<spdlog::logger>(without_nul(name), sinks_.begin(), sinks_.end());
  logger->set_level(level_);
  logger->flush_on(level::err);
  if (register_by_name) LoggerRegistry::register_logger(logger);
  return logger;
}

}  // namespace scribo

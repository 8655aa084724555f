#pragma once

#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <spdlog/common.h>
#include <spdlog/logger.h>

#include "scribo/export.hpp"

namespace scribo {

namespace detail {
class FileTarget;
}

// A file that cannot be opened, written or rotated: the errno of the failure, and the file's name.
class SCRIBO_API FileError : public std::system_error {
 public:
  FileError(int error, std::string filename, const char* what);
  const std::string& filename() const noexcept { return filename_; }

 private:
  std::string filename_;
};

// Builds one spdlog logger, one sink per add_*_handler call; a call that throws adds no sink.
// Copies share the sinks added so far, and so do loggers built from one factory. The sinks are
// those of scribo/sink_control.hpp: console sinks that write each record straight to the stream,
// and file sinks of which every one writing to one file in the process shares one buffer of whole
// lines. Patterns know the flags of scribo/record_source.hpp besides spdlog's.
//
// A file or logger name holding a NUL byte throws std::invalid_argument("embedded null byte"),
// and no file is opened: the C library would end the name at the NUL and open another file.
//
// `pattern` is spdlog's pattern syntax; an empty one keeps spdlog's default pattern. A `color`
// handler always writes the colour codes of the %^...%$ range, terminal or not: the caller has
// already decided that this stream is coloured (it colours the message text the same way).
class SCRIBO_API LoggerFactory {
 public:
  using level = spdlog::level::level_enum;

  LoggerFactory();
  ~LoggerFactory();
  LoggerFactory(const LoggerFactory&);
  LoggerFactory& operator=(const LoggerFactory&);

  // Threshold of the logger that build() makes.
  void set_level(level threshold);

  // Standard output, for levels from `min_level` to `max_level`.
  void add_stdout_handler(bool color, const std::string& pattern, level min_level, level max_level);
  // Standard error, for levels from `min_level` up.
  void add_stderr_handler(bool color, const std::string& pattern, level min_level);
  // One sink: levels from `min_level` to `max_stdout_level` on standard output, higher ones on
  // standard error.
  void add_console_handler(bool color, const std::string& pattern, level max_stdout_level, level min_level);
  // Standard output, for levels from `min_level` up.
  void add_basic_console_handler(bool color, const std::string& pattern, level min_level);
  // A file, appended to, or truncated with `overwrite`. A file that a handler of this process
  // has open already is shared as it is: not truncated again. Throws FileError, at once, when the
  // file cannot be opened.
  void add_file_handler(const std::string& filename, const std::string& pattern, level min_level,
                        bool overwrite);
  // A file that rotates to filename.1 ... filename.<max_files> when it would exceed max_size bytes
  // (the index goes before an extension: app.log rotates to app.1.log). Sizes that
  // check_rotation refuses throw as it does, before any file is opened. A file that a handler of
  // this process has open already is shared as it is, rotating as it was opened to.
  void add_rotating_file_handler(const std::string& filename, unsigned long max_size,
                                 unsigned long max_files, const std::string& pattern, level min_level);
  // Throws std::invalid_argument, naming the argument, for what the rotating sink cannot work
  // with: a max_size of 0, more than kMaxRotatedFiles max_files.
  static void check_rotation(unsigned long max_size, unsigned long max_files);
  static constexpr unsigned long kMaxRotatedFiles = 200000;  // spdlog's limit

  // Colours of the level names (the %^...%$ range of a pattern) on the colour console handlers
  // added so far, one per level from trace to critical. A value below 0 keeps that level's
  // colour; 30-37 and 90-97 are SGR foreground codes; any other value up to 255 is a palette index
  // (38;5;N); a value above 255 keeps that level's colour too. Handlers added later keep spdlog's
  // colours.
  void set_colors(int trace, int debug, int info, int warn, int error, int critical);

  // The logger named `name` over the handlers added so far. With `register_by_name` it is also
  // registered in LoggerRegistry under that name. It flushes its sinks after every message at
  // err and above (flush_on), so that the message explaining a crash is in the file; lower levels
  // stay buffered (for at most kFlushInterval).
  std::shared_ptr<spdlog::logger> build(const std::string& name, bool register_by_name);

 private:
  void add_sink(spdlog::sink_ptr sink, const std::string& pattern, level min_level);
  void add_file_sink(std::shared_ptr<detail::FileTarget> target, const std::string& pattern, level min_level);

  level level_ = level::trace;
  std::vector<spdlog::sink_ptr> sinks_;
};

}  // namespace scribo

#pragma once

// The file sinks that LoggerFactory builds. Every sink of the process that writes to one file
// shares one FileTarget: one descriptor and one buffer of whole lines behind one lock, so that
// lines of different loggers never tear each other, and lines of other processes appending to the
// file meet them whole too (each write(2) ends at the end of a line).

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <spdlog/formatter.h>
#include <spdlog/sinks/sink.h>

#include "stream_writer.hpp"

namespace scribo::detail {

struct Rotation {
  std::size_t max_size;   // bytes a file may hold
  std::size_t max_files;  // older files kept: filename.1 ... filename.<max_files>
};

class FileTarget {
 public:
  // The target that is open on the file `filename` names (by any path) in this process, or a new
  // one that appends to the file, truncating it first with `truncate`, and rotates it with
  // `rotation`. A target already open keeps how it was opened: it is neither truncated again nor
  // given another rotation. One whose file has been moved away or removed since (by logrotate, by
  // hand) stays with the sinks that have it, and the path gets a new target, as open() would give
  // a new file. Missing directories are made. Throws FileError.
  static std::shared_ptr<FileTarget> open(const std::string& filename, bool truncate,
                                          const std::optional<Rotation>& rotation);
  ~FileTarget();  // writes out the buffer, waiting at most kStalledSinkPatience, and closes
  FileTarget(const FileTarget&) = delete;
  FileTarget& operator=(const FileTarget&) = delete;

  // Guards the buffer, the file and the formatters of the sinks that write here.
  std::timed_mutex& mutex() noexcept { return *mutex_; }

  // With mutex() held. Adds a formatted record, ending in a newline, to the buffer, writing the
  // buffer out first when the record does not fit, and rotating the file first when the record
  // would take it past its size. Throws FileError when the file cannot be written or rotated (the
  // buffer is dropped).
  void append(const spdlog::memory_buf_t& line);
  // With mutex() held. Adds the record if that takes no write to the file (the buffer has room
  // and the file no rotation due); false, with nothing added, otherwise.
  bool append_if_room(const spdlog::memory_buf_t& line);
  // With mutex() held. Writes out the buffer. Throws FileError when the file cannot be written;
  // returns false when the file stalled past `deadline` (what was left is dropped).
  bool write_out(Deadline deadline = std::nullopt);
  // With mutex() held. write_out() for no caller in particular (the flushing thread, fork()): a
  // failure is kept and thrown at the next writer or flush, which would otherwise never learn
  // that lines it logged were lost.
  void write_out_unattended(Deadline deadline) noexcept;

  // Around fork(): hold every target (each waited for at most kStalledSinkPatience) with its buffer
  // written out, so that the child starts with empty buffers and free locks. A target that could
  // not be had is given a free lock and an empty buffer in the child: what it holds is the parent's
  // to write.
  static void before_fork() noexcept;
  static void after_fork(bool child) noexcept;

 private:
  FileTarget(std::string filename, int fd, bool may_stall, const std::optional<Rotation>& rotation,
             std::size_t size);
  bool fits(std::size_t size) const noexcept;
  bool is_file_named(const std::string& filename);
  void throw_unreported();
  void buffer(const spdlog::memory_buf_t& line);
  void rotate();

  const std::string filename_;
  int fd_;
  const bool may_stall_;
  const std::optional<Rotation> rotation_;
  std::size_t size_;  // of the file with the buffer: what rotation counts
  std::unique_ptr<char[]> buffer_;
  std::size_t buffered_ = 0;
  int unreported_error_ = 0;  // errno of a failed write_out_unattended(), or 0
  std::unique_ptr<std::timed_mutex> mutex_;
};

// Writes the records of one handler, formatted its way, to a shared FileTarget.
class FileSink final : public spdlog::sinks::sink {
 public:
  FileSink(std::shared_ptr<FileTarget> target, std::unique_ptr<spdlog::formatter> formatter);

  // A record that waits for a stalled file past the bound that scribo::stop_waiting() sets is
  // dropped.
  void log(const spdlog::details::log_msg& msg) override;
  // log() if that cannot block: the file's lock is free and its buffer has room.
  bool log_if_buffered(const spdlog::details::log_msg& msg);
  void flush() override;
  void set_pattern(const std::string& pattern) override;
  void set_formatter(std::unique_ptr<spdlog::formatter> formatter) override;

 private:
  std::shared_ptr<FileTarget> target_;
  std::unique_ptr<spdlog::formatter> formatter_;  // guarded by the target's mutex
};

// Registers, once, what the process does for its sinks around fork() and at exit().
void watch_process();

}  // namespace scribo::detail

#include "file_sink.hpp"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <new>
#include <thread>
#include <typeinfo>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <spdlog/details/log_msg.h>
#include <spdlog/details/os.h>
#include <spdlog/sinks/rotating_file_sink.h>

#include "console_sink.hpp"
#include "scribo/logger_factory.hpp"
#include "scribo/record_source.hpp"
#include "scribo/sink_control.hpp"

namespace scribo::detail {
namespace {

// Lines are written out in runs of up to this much: one write(2) per about 600 lines of 100 bytes
// (stdio's 4 KiB made one per 40). What a killed process loses is bounded by kFlushInterval, not
// by the buffer.
constexpr std::size_t kBufferSize = 64 * 1024;

// The targets of the process and the flushing thread. Never destroyed: daemon threads and the
// flushing thread may log and flush while the process exits.
struct Files {
  std::mutex lock;  // guards `by_path`; held around fork()
  std::map<std::string, std::weak_ptr<FileTarget>> by_path;  // keyed by canonical path

  // A buffer holds lines that the flushing thread has not been asked to write out. Cleared by
  // that thread before it takes the targets (through `lock`, then each target's mutex), so a
  // line appended after the target was written out finds it clear.
  std::atomic<bool> pending{false};
  std::mutex flusher_lock;  // guards flusher_running; held around fork()
  bool flusher_running = false;  // in this process: a forked child has no flushing thread

  std::vector<std::shared_ptr<FileTarget>> held_across_fork;  // by the forking thread
  std::vector<std::shared_ptr<FileTarget>> missed_across_fork;
};

Files& files() {
  static Files* const instance = new Files;
  return *instance;
}

// The targets alive now; forgets the ones that are gone. With files().lock held.
std::vector<std::shared_ptr<FileTarget>> live_targets_locked() {
  std::vector<std::shared_ptr<FileTarget>> live;
  auto& by_path = files().by_path;
  for (auto it = by_path.begin(); it != by_path.end();) {
    if (auto target = it->second.lock()) {
      live.push_back(std::move(target));
      ++it;
    } else {
      it = by_path.erase(it);
    }
  }
  return live;
}

std::vector<std::shared_ptr<FileTarget>> live_targets() {
  const std::lock_guard guard(files().lock);
  return live_targets_locked();
}

// Writes out every target kFlushInterval after a line went into an empty buffer, then waits for
// the next such line.
[[noreturn]] void flush_periodically() {
  Files& f = files();
  for (;;) {
    f.pending.wait(false, std::memory_order_acquire);
    std::this_thread::sleep_for(kFlushInterval);
    f.pending.store(false, std::memory_order_relaxed);  // ordered before the targets by f.lock
    try {
      for (const auto& target : live_targets()) {
        if (!acquire(target->mutex())) continue;
        const std::lock_guard guard(target->mutex(), std::adopt_lock);
        target->write_out_unattended(wait_deadline());
      }
    } catch (const std::bad_alloc&) {
      // Next round.
    }
  }
}

// A line went into a buffer. Costs a relaxed load while lines are pending: the flushing thread
// is woken once per interval at most.
void note_pending() {
  Files& f = files();
  if (f.pending.load(std::memory_order_relaxed)) return;
  {
    const std::lock_guard guard(f.flusher_lock);
    if (!f.flusher_running) {
      try {
        std::thread(flush_periodically).detach();
        f.flusher_running = true;
      } catch (const std::system_error&) {
        return;  // no thread to be had: buffers are still written when full, on flush and at exit
      }
    }
  }
  f.pending.store(true, std::memory_order_release);  // the flushing thread's wait pairs with this
  f.pending.notify_one();
}

std::string canonical_path(const std::string& filename) {
  std::error_code error;
  auto path = std::filesystem::weakly_canonical(filename, error);
  if (error) path = std::filesystem::absolute(filename, error).lexically_normal();
  return path.string();
}

int open_file(const std::string& filename, bool truncate) {
  // As spdlog's file sinks do, the directory is made when it is missing; if that fails, open
  // tells why.
  spdlog::details::os::create_dir(spdlog::details::os::dir_name(filename));
  const int fd = ::open(filename.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0), 0666);
  if (fd < 0) throw FileError(errno, filename, "cannot open");
  return fd;
}

void at_exit() {
  stop_waiting();
  flush_files();
}

void before_fork() {
  console_before_fork();
  FileTarget::before_fork();
}

void after_fork_in_parent() {
  FileTarget::after_fork(false);
  console_after_fork(false);
}

void after_fork_in_child() {
  FileTarget::after_fork(true);
  console_after_fork(true);
}

}  // namespace

void watch_process() {
  static const bool watched = [] {
    ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    std::atexit(at_exit);
    return true;
  }();
  static_cast<void>(watched);
}

namespace {
// Done while the library loads, not on first use: a child forked while another thread was inside
// a first use would wait for ever on the initialisation that thread left unfinished.
[[maybe_unused]] const bool watched_from_load = (files(), watch_process(), true);
}  // namespace

std::shared_ptr<FileTarget> FileTarget::open(const std::string& filename, bool truncate,
                                             const std::optional<Rotation>& rotation) {
  watch_process();
  const std::string path = canonical_path(filename);
  Files& f = files();
  const auto open_already = [&]() -> std::shared_ptr<FileTarget> {  // with f.lock held
    const auto found = f.by_path.find(path);
    if (found == f.by_path.end()) return nullptr;
    auto target = found->second.lock();
    return target && target->is_file_named(filename) ? target : nullptr;
  };
  {
    const std::lock_guard guard(f.lock);
    if (auto target = open_already()) return target;
  }
  // Opened without the lock, which fork() and the flushing thread need: opening a FIFO waits for
  // its reader. Truncated only once no other thread has opened the file meanwhile.
  const int fd = open_file(filename, false);
  const auto fail = [&](const char* what) {
    const int error = errno;
    ::close(fd);
    throw FileError(error, filename, what);
  };
  struct stat status {};
  if (::fstat(fd, &status) != 0) fail("cannot open");
  const std::lock_guard guard(f.lock);
  if (auto target = open_already()) {
    ::close(fd);
    return target;
  }
  const bool regular = S_ISREG(status.st_mode);
  if (truncate && regular && ::ftruncate(fd, 0) != 0) fail("cannot truncate");
  const auto size = truncate || !regular ? 0 : static_cast<std::size_t>(status.st_size);
  std::shared_ptr<FileTarget> target(new FileTarget(filename, fd, !regular, rotation, size));
  f.by_path[path] = target;
  return target;
}

FileTarget::FileTarget(std::string filename, int fd, bool may_stall, const std::optional<Rotation>& rotation,
                       std::size_t size)
    : filename_(std::move(filename)), fd_(fd), may_stall_(may_stall), rotation_(rotation), size_(size),
      buffer_(new char[kBufferSize]), mutex_(std::make_unique<std::timed_mutex>()) {}

FileTarget::~FileTarget() {
  try {
    write_out(Clock::now() + kStalledSinkPatience);
  } catch (const FileError&) {
    // Nobody is left to tell.
  }
  if (fd_ >= 0) ::close(fd_);
}

bool FileTarget::write_out(Deadline deadline) {
  throw_unreported();
  if (buffered_ == 0) return true;
  const std::size_t size = std::exchange(buffered_, 0);
  if (fd_ < 0) throw FileError(EBADF, filename_, "cannot write to");  // a rotation failed to reopen it
  const int error = write_all({fd_, may_stall_}, buffer_.get(), size, deadline);
  if (error == ETIMEDOUT) return false;
  if (error != 0) throw FileError(error, filename_, "cannot write to");
  return true;
}

void FileTarget::write_out_unattended(Deadline deadline) noexcept {
  try {
    write_out(deadline);
  } catch (const FileError& error) {
    unreported_error_ = error.code().value();
  } catch (const std::bad_alloc&) {
    unreported_error_ = ENOMEM;  // the buffer was dropped all the same
  }
}

void FileTarget::throw_unreported() {
  if (unreported_error_ != 0) throw FileError(std::exchange(unreported_error_, 0), filename_, "cannot write to");
}

// Whether the target's file is the one `filename` names now. A target whose lock stays held (a
// stalled FIFO) is taken to be: files.lock, held here, must not wait long.
bool FileTarget::is_file_named(const std::string& filename) {
  if (!acquire(mutex(), Clock::now() + kStalledSinkPatience)) return true;
  const std::lock_guard guard(mutex(), std::adopt_lock);
  struct stat named {}, written {};
  return fd_ >= 0 && ::stat(filename.c_str(), &named) == 0 && ::fstat(fd_, &written) == 0 &&
         named.st_dev == written.st_dev && named.st_ino == written.st_ino;
}

bool FileTarget::fits(std::size_t size) const noexcept {
  const bool rotates = rotation_ && size_ > 0 && size_ + size > rotation_->max_size;
  return !rotates && buffered_ + size <= kBufferSize;
}

void FileTarget::buffer(const spdlog::memory_buf_t& line) {
  std::memcpy(buffer_.get() + buffered_, line.data(), line.size());
  buffered_ += line.size();
  size_ += line.size();
  note_pending();
}

bool FileTarget::append_if_room(const spdlog::memory_buf_t& line) {
  if (unreported_error_ != 0 || !fits(line.size())) return false;  // append() throws it
  buffer(line);
  return true;
}

void FileTarget::append(const spdlog::memory_buf_t& line) {
  throw_unreported();
  if (fits(line.size())) return buffer(line);
  if (rotation_ && size_ > 0 && size_ + line.size() > rotation_->max_size) {
    write_out();
    rotate();
  }
  if (buffered_ + line.size() > kBufferSize) write_out();
  if (line.size() <= kBufferSize) return buffer(line);
  // Too long to buffer: written at once, as one run.
  if (fd_ < 0) throw FileError(EBADF, filename_, "cannot write to");
  const int error = write_all({fd_, may_stall_}, line.data(), line.size(), wait_deadline());
  if (error != 0 && error != ETIMEDOUT) throw FileError(error, filename_, "cannot write to");
  size_ += line.size();
}

void FileTarget::rotate() {
  using spdlog::sinks::rotating_file_sink_mt;
  ::close(std::exchange(fd_, -1));
  int error = 0;
  std::string failed;
  for (std::size_t i = rotation_->max_files; i > 0 && error == 0; --i) {
    const auto source = rotating_file_sink_mt::calc_filename(filename_, i - 1);
    if (!spdlog::details::os::path_exists(source)) continue;
    const auto target = rotating_file_sink_mt::calc_filename(filename_, i);
    if (std::rename(source.c_str(), target.c_str()) != 0) {
      error = errno;
      failed = source;
    }
  }
  // Truncated even when a rename failed, so that the file does not grow past its size.
  fd_ = open_file(filename_, true);
  size_ = 0;
  if (error != 0) throw FileError(error, failed, "cannot rotate");
}

void FileTarget::before_fork() noexcept {
  Files& f = files();
  f.lock.lock();
  try {
    for (auto& target : live_targets_locked()) {
      const Deadline deadline = Clock::now() + kStalledSinkPatience;
      if (!acquire(target->mutex(), deadline)) {
        f.missed_across_fork.push_back(std::move(target));
        continue;
      }
      target->write_out_unattended(deadline);
      f.held_across_fork.push_back(std::move(target));
    }
  } catch (const std::bad_alloc&) {
    // The targets not held are written by whichever process writes them next.
  }
  f.flusher_lock.lock();  // taken with a target's mutex held, so after them
}

void FileTarget::after_fork(bool child) noexcept {
  Files& f = files();
  f.flusher_lock.unlock();
  for (const auto& target : f.held_across_fork) target->mutex().unlock();
  if (child) {
    for (const auto& target : f.missed_across_fork) {
      static_cast<void>(target->mutex_.release());  // held by a thread this process does not have
      target->mutex_ = std::make_unique<std::timed_mutex>();
      target->buffered_ = 0;
      target->unreported_error_ = 0;  // the parent's to report, as the buffer was its to write
    }
    f.flusher_running = false;
    f.pending.store(false, std::memory_order_relaxed);
  }
  f.held_across_fork.clear();
  f.missed_across_fork.clear();
  f.lock.unlock();
}

FileSink::FileSink(std::shared_ptr<FileTarget> target, std::unique_ptr<spdlog::formatter> formatter)
    : target_(std::move(target)), formatter_(std::move(formatter)) {}

void FileSink::log(const spdlog::details::log_msg& msg) {
  if (!acquire(target_->mutex())) return;
  const std::lock_guard guard(target_->mutex(), std::adopt_lock);
  spdlog::memory_buf_t formatted;
  formatter_->format(msg, formatted);
  target_->append(formatted);
}

bool FileSink::log_if_buffered(const spdlog::details::log_msg& msg) {
  if (!target_->mutex().try_lock()) return false;
  const std::lock_guard guard(target_->mutex(), std::adopt_lock);
  spdlog::memory_buf_t formatted;
  formatter_->format(msg, formatted);
  return target_->append_if_room(formatted);
}

void FileSink::flush() {
  if (!acquire(target_->mutex())) return;
  const std::lock_guard guard(target_->mutex(), std::adopt_lock);
  target_->write_out(wait_deadline());
}

void FileSink::set_pattern(const std::string& pattern) { set_formatter(make_formatter(pattern)); }

void FileSink::set_formatter(std::unique_ptr<spdlog::formatter> formatter) {
  if (!acquire(target_->mutex())) return;
  const std::lock_guard guard(target_->mutex(), std::adopt_lock);
  formatter_ = std::move(formatter);
}

}  // namespace scribo::detail

namespace scribo {

bool log_without_blocking(spdlog::sinks::sink& sink, const spdlog::details::log_msg& msg) {
  // FileSink is final: its type is told by one comparison.
  return typeid(sink) == typeid(detail::FileSink) && static_cast<detail::FileSink&>(sink).log_if_buffered(msg);
}

bool flush_files() noexcept {
  bool whole = true;
  try {
    for (const auto& target : detail::live_targets()) {
      const detail::Deadline deadline = detail::Clock::now() + kStalledSinkPatience;
      if (!detail::acquire(target->mutex(), deadline)) {
        whole = false;
        continue;
      }
      const std::lock_guard guard(target->mutex(), std::adopt_lock);
      try {
        whole = target->write_out(deadline) && whole;
      } catch (const FileError&) {
        whole = false;
      }
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return whole;
}

}  // namespace scribo

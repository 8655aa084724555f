#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>

#include <spdlog/logger.h>

namespace scribo_test {

[[noreturn]] inline void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

// Diverts a file descriptor (1 or 2) into a temporary file until finish(). Console sinks write
// through stdio, so stdio is flushed at both ends.
class FdCapture {
 public:
  explicit FdCapture(int fd) : fd_(fd), file_(std::tmpfile()) {
    std::fflush(nullptr);
    if (file_ == nullptr || (saved_ = ::dup(fd_)) < 0 || ::dup2(::fileno(file_), fd_) < 0) {
      restore();
      fail("FdCapture");
    }
  }
  ~FdCapture() { restore(); }
  FdCapture(const FdCapture&) = delete;
  FdCapture& operator=(const FdCapture&) = delete;

  // Restores the descriptor and returns what was written to it meanwhile.
  std::string finish() {
    std::fflush(nullptr);
    std::string text;
    std::rewind(file_);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;) text.append(buffer, n);
    restore();
    return text;
  }

 private:
  void restore() noexcept {
    std::fflush(nullptr);
    if (saved_ >= 0) {
      ::dup2(saved_, fd_);
      ::close(saved_);
      saved_ = -1;
    }
    if (file_ != nullptr) {
      std::fclose(file_);
      file_ = nullptr;
    }
  }

  int fd_;
  std::FILE* file_;
  int saved_ = -1;
};

struct Output {
  std::string out;
  std::string err;
};

// What `body` writes to standard output and standard error. Keep assertions out of `body`:
// their messages would be captured too.
template <class Body>
Output capture_std(Body&& body) {
  FdCapture out(1);
  FdCapture err(2);
  body();
  return {out.finish(), err.finish()};
}

// A fresh directory, removed with its contents at scope exit.
class TempDir {
 public:
  TempDir() {
    std::string name = (std::filesystem::temp_directory_path() / "scribo-test-XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr) fail("mkdtemp");
    path_ = name;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// One message per level, trace to critical.
inline void log_every_level(spdlog::logger& logger) {
  for (int level = spdlog::level::trace; level <= spdlog::level::critical; ++level) {
    logger.log(static_cast<spdlog::level::level_enum>(level), "message");
  }
}

// The output of pattern "%L" for the given level letters: "DI" -> "D\nI\n".
inline std::string lines(std::string_view letters) {
  std::string text;
  for (char letter : letters) (text += letter) += '\n';
  return text;
}

}  // namespace scribo_test

#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include <spdlog/details/log_msg.h>
#include <spdlog/sinks/sink.h>

namespace dispatch_test {

struct Record {
  std::string logger;
  spdlog::level::level_enum level;
  std::string payload;
  std::string file;
  int line;
  std::string function;
};

// Keeps what it is given instead of writing it. With a console sink as `Base` it counts as a
// console sink itself (it derives from one).
template <class Base>
class Recording : public Base {
 public:
  void log(const spdlog::details::log_msg& msg) override {
    records.push_back({std::string(msg.logger_name.data(), msg.logger_name.size()), msg.level,
                       std::string(msg.payload.data(), msg.payload.size()), msg.source.filename, msg.source.line,
                       msg.source.funcname});
  }
  void flush() override { ++flushes; }
  void set_pattern(const std::string&) override {}
  void set_formatter(std::unique_ptr<spdlog::formatter>) override {}

  std::vector<Record> records;
  int flushes = 0;
};

// A sink that is neither console nor file, like a user's own.
using Plain = Recording<spdlog::sinks::sink>;

class Throwing : public Plain {
 public:
  void log(const spdlog::details::log_msg&) override { throw std::runtime_error("disk full"); }
};

}  // namespace dispatch_test

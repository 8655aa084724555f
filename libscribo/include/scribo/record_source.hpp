#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <spdlog/formatter.h>

#include "scribo/export.hpp"

namespace scribo {

// The pattern flag %N: the name of the logger a message was logged to at its source. For a record
// that another logging system hands over (the front end's bridge from Python's logging package)
// that is the other system's logger, such as "urllib3.connectionpool"; for every other message it
// is the spdlog logger's own name, as %n gives it.
inline constexpr char kSourceNameFlag = 'N';

// While it lives, messages logged on this thread give `name` for %N. `name` must outlive it.
class SCRIBO_API RecordSource {
 public:
  explicit RecordSource(std::string_view name) noexcept;
  ~RecordSource();
  RecordSource(const RecordSource&) = delete;
  RecordSource& operator=(const RecordSource&) = delete;

 private:
  std::string_view previous_;
};

// A formatter of spdlog's pattern syntax that also knows the flags above; the empty pattern is
// spdlog's default one. The sinks of LoggerFactory are given theirs from here.
SCRIBO_API std::unique_ptr<spdlog::formatter> make_formatter(const std::string& pattern);

}  // namespace scribo

#pragma once

// The dispatch as the Python front end uses it: messages are located at Python call sites.

#include <string>

#include "orvel/scribo/dispatch.hpp"
#include "scribo/logger_registry.hpp"

namespace orvel::dispatch {

// The Python code that called the function which logs: the frame behind the innermost running
// Python frame, moved outward past module-level code; the innermost frame when that runs out.
// Takes the interpreter lock if the calling thread does not hold it. The strings belong to the
// frame's code object, alive while that frame runs.
spdlog::source_loc python_caller_location();

// The same for records of the standard logging package: frames of that package are passed first,
// and module-level code then falls back to the first frame outside it, so the location is the
// code that called into the package.
spdlog::source_loc python_logging_caller_location();

inline void log_colored(spdlog::logger& logger, level lvl, const std::string& text, int fg, int bg, int effect) {
  log_colored(logger, lvl, text, fg, bg, effect, &python_caller_location);
}

// DefaultLogger and the bridge write to whichever logger is the default at the time of the call.
inline void log_colored_to_default(level lvl, const std::string& text, int fg, int bg, int effect) {
  log_colored(*scribo::LoggerRegistry::get_logger("", true), lvl, text, fg, bg, effect);
}

inline void log_record_to_default(level lvl, const std::string& text) {
  log_plain(*scribo::LoggerRegistry::get_logger("", true), lvl, text, &python_logging_caller_location);
}

}  // namespace orvel::dispatch

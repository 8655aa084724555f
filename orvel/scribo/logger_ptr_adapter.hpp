#pragma once

// The published signature of get_logger_ptr returns a reference, but Cython defines functions
// that return by value only. The module publishes this adapter in its place.

#include <memory>

#include <spdlog/logger.h>

// The optional-argument block that Cython defines for get_logger_ptr (count, name, flag).
struct __pyx_opt_args_5orvel_6scribo_6scribo_get_logger_ptr;

namespace orvel::capi {

using LoggerPtrArgs = ::__pyx_opt_args_5orvel_6scribo_6scribo_get_logger_ptr;
using LoggerPtrByValue = std::shared_ptr<spdlog::logger> (*)(LoggerPtrArgs*);
using LoggerPtrByReference = std::shared_ptr<spdlog::logger>& (*)(LoggerPtrArgs*);

// A function of the published type that calls `by_value` and returns a reference to its result,
// kept in storage of the calling thread until that thread's next call. Set up once per process.
LoggerPtrByReference held_per_thread(LoggerPtrByValue by_value) noexcept;

// The same for capsule pointers.
inline void* held_per_thread(void* by_value) noexcept {
  return reinterpret_cast<void*>(held_per_thread(reinterpret_cast<LoggerPtrByValue>(by_value)));
}

}  // namespace orvel::capi

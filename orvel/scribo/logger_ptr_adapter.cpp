#include "orvel/scribo/logger_ptr_adapter.hpp"

namespace orvel::capi {
namespace {

LoggerPtrByValue target = nullptr;

std::shared_ptr<spdlog::logger>& call_held(LoggerPtrArgs* args) {
  thread_local std::shared_ptr<spdlog::logger> held;
  held = target(args);
  return held;
}

}  // namespace

LoggerPtrByReference held_per_thread(LoggerPtrByValue by_value) noexcept {
  target = by_value;
  return &call_held;
}

}  // namespace orvel::capi

#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

// A native thread running fn(arg); join_thread waits for it and frees the handle.
inline void* start_thread(void (*fn)(void*), void* arg) { return new std::thread(fn, arg); }

inline void join_thread(void* handle) {
  auto* thread = static_cast<std::thread*>(handle);
  thread->join();
  delete thread;
}

inline double seconds_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline std::int64_t steady_nanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline void pause_microseconds(unsigned microseconds) {
  std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}

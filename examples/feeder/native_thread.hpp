#pragma once

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstddef>
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

inline int thread_id() { return static_cast<int>(gettid()); }

// A push a signal handler makes, on whichever thread the signal interrupts, of `length` zero bytes
// (at most 256): its result, 0 until it has run.
struct SignalPush {
  int (*push)(void* target, const void* data, std::size_t length);
  void* target;
  std::size_t length;
  volatile std::sig_atomic_t result;
};

inline SignalPush* signal_push = nullptr;

inline void push_on_signal(int) {
  static const char zeros[256] = {};
  signal_push->result = signal_push->push(signal_push->target, zeros, signal_push->length);
}

// From now on `signum` makes `push`, which must stay alive.
inline void install_signal_push(int signum, SignalPush* push) {
  signal_push = push;
  struct sigaction action {};
  action.sa_handler = push_on_signal;
  sigemptyset(&action.sa_mask);
  sigaction(signum, &action, nullptr);
}

inline void signal_thread(void* handle, int signum) {
  pthread_kill(static_cast<std::thread*>(handle)->native_handle(), signum);
}

#pragma once

#include <chrono>
#include <thread>

// Runs `consumer` on a new native thread and `producer` on the calling one, both with `queue`
// and `job`; returns the seconds until both have finished.
template <class Queue>
double run_pair(void (*producer)(Queue, void*), void (*consumer)(Queue, void*), Queue queue, void* job) {
  const auto start = std::chrono::steady_clock::now();
  std::thread consuming(consumer, queue, job);
  producer(queue, job);
  consuming.join();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

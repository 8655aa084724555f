#pragma once

// What the tests of the consumer loops (drain_loop.hpp, batch_loop.hpp) share: a fixture with a
// wake-up channel armed on a socket bound to a free loopback port, and the push a producer of
// each worker body makes.

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "orvel/tandem/tandem_core.hpp"
#include "orvel/utils/portage/drain_loop.hpp"
#include "orvel/utils/portage/wake_channel.hpp"

namespace orvel::portage::test {

// `Case` has the WorkerBody it tests as `body`.
template <class Case>
class LoopTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = wake_address("127.0.0.1", 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ASSERT_TRUE(wake_.arm(fd_, address));
  }
  void TearDown() override { close(fd_); }

  const Case& param() const { return this->GetParam(); }
  bool polling() const { return param().body == WorkerBody::kTryPop || param().body == WorkerBody::kTryPopVar; }
  bool messages() const { return param().body == WorkerBody::kTryPopVar || param().body == WorkerBody::kPopVar; }

  // Pushes `record` as the body's producers do: for a polling body without waiting (a full ring
  // is tried again) and ringing the channel, else waiting in the queue. The queue's result.
  int push(tandem::TandemCore& queue, const std::string& record) {
    if (!polling()) {
      return messages() ? queue.push_var(record.data(), record.size()) : queue.push(record.data(), record.size());
    }
    int result;
    while ((result = messages() ? queue.try_push_var(record.data(), record.size())
                                : queue.try_push(record.data(), record.size())) == tandem::kFull) {
      std::this_thread::yield();
    }
    if (result == tandem::kSuccess) wake_.notify();
    return result;
  }

  int fd_ = -1;
  WakeChannel wake_;
};

}  // namespace orvel::portage::test

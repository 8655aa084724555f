#include "orvel/utils/portage/wake_channel.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include <gtest/gtest.h>

namespace orvel::portage {

// A UDP socket bound to a free loopback port, and a channel armed with it.
class WakeChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    socket_ = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_NE(socket_, -1);
    sockaddr_in bound = wake_address("127.0.0.1", 0);
    socklen_t length = sizeof bound;
    ASSERT_EQ(bind(socket_, reinterpret_cast<sockaddr*>(&bound), sizeof bound), 0);
    ASSERT_EQ(getsockname(socket_, reinterpret_cast<sockaddr*>(&bound), &length), 0);
    address_ = bound;
    ASSERT_TRUE(channel_.arm(socket_, address_));
  }
  void TearDown() override { close(socket_); }

  int datagrams_waiting() const {
    int count = 0;
    for (unsigned char token; recv(socket_, &token, 1, MSG_DONTWAIT) == 1; ++count) EXPECT_EQ(token, 0x01);
    return count;
  }

  int socket_ = -1;
  sockaddr_in address_{};
  WakeChannel channel_;
};

// Bound to a multicast address, a socket never receives its own datagrams: a consumer asleep on
// it would never wake.
TEST(WakeChannelArmTest, RefusesASocketThatDoesNotHearItself) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_NE(fd, -1);
  sockaddr_in bound = wake_address("224.0.0.1", 0);
  socklen_t length = sizeof bound;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&bound), sizeof bound), 0);
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length), 0);
  WakeChannel channel;
  errno = 0;
  EXPECT_FALSE(channel.arm(fd, bound));
  EXPECT_EQ(errno, EADDRNOTAVAIL);
  EXPECT_EQ(channel.fd(), -1);
  close(fd);
}

TEST_F(WakeChannelTest, ArmsWithADuplicateThatOutlivesTheSocket) {
  EXPECT_NE(channel_.fd(), socket_);
  EXPECT_NE(fcntl(channel_.fd(), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_FALSE(channel_.arm(socket_, address_));  // once only
  close(socket_);
  socket_ = socket(AF_INET, SOCK_DGRAM, 0);  // may take the old number: the channel is unaffected
  channel_.ring();
  unsigned char token = 0;
  EXPECT_EQ(recv(channel_.fd(), &token, 1, MSG_DONTWAIT), 1);
}

TEST_F(WakeChannelTest, ProducersSendOnlyToAnAnnouncedWaiterAndOnceAWait) {
  channel_.notify();
  EXPECT_EQ(datagrams_waiting(), 0);
  EXPECT_TRUE(channel_.announce_wait());
  channel_.notify();
  channel_.notify();
  EXPECT_EQ(datagrams_waiting(), 1);
  channel_.withdraw_wait();
  channel_.notify();
  channel_.ring();  // close: whether or not anybody waits
  EXPECT_EQ(datagrams_waiting(), 1);
}

TEST_F(WakeChannelTest, AWaitEndsWithADatagramOrBoundedAfterAMillisecond) {
  channel_.ring();
  channel_.await_datagram(/*bounded=*/false);
  EXPECT_EQ(datagrams_waiting(), 0);
  const auto start = std::chrono::steady_clock::now();
  channel_.await_datagram(/*bounded=*/true);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1));
  WakeChannel unarmed;
  unarmed.await_datagram(/*bounded=*/false);  // nothing to wait on: returns at once
  unarmed.ring();
}

TEST_F(WakeChannelTest, TakesDatagramsFromItsOwnSocketAlone) {
  const int stranger = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_NE(stranger, -1);
  for (int i = 0; i < 16; ++i) {
    const unsigned char token = 0x01;
    ASSERT_EQ(sendto(stranger, &token, 1, 0, reinterpret_cast<const sockaddr*>(&address_), sizeof address_), 1);
  }
  close(stranger);
  channel_.ring();
  EXPECT_EQ(datagrams_waiting(), 1);  // the kernel delivered none of the stranger's
}

TEST(WakeAddress, StoresPortAndAddressInNetworkOrder) {
  const sockaddr_in address = wake_address("127.0.0.1", 0x1234);
  EXPECT_EQ(address.sin_family, AF_INET);
  EXPECT_EQ(address.sin_port, htons(0x1234));
  EXPECT_EQ(address.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(wake_address("not an address", 1).sin_addr.s_addr, 0u);
}

}  // namespace orvel::portage

#include "orvel/utils/portage/wake_channel.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace orvel::portage {

sockaddr_in wake_address(const char* ip, std::uint16_t port) noexcept {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  (void)inet_pton(AF_INET, ip, &address.sin_addr);
  return address;
}

void send_wake(int fd, const sockaddr_in& address) noexcept {
  static constexpr unsigned char kToken = 0x01;
  (void)sendto(fd, &kToken, 1, 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

namespace {

// Whether a datagram `fd` sends to its peer comes back to it. Loopback delivers during the send;
// the wait only allows for a slower path.
bool hears_itself(int fd) noexcept {
  static constexpr unsigned char kProbe = 0x01;
  if (send(fd, &kProbe, 1, 0) != 1) return false;
  pollfd ready{fd, POLLIN, 0};
  unsigned char token;
  return poll(&ready, 1, 100) == 1 && recv(fd, &token, 1, MSG_DONTWAIT) == 1;
}

}  // namespace

WakeChannel::~WakeChannel() {
  if (const int fd = fd_.load(std::memory_order_relaxed); fd != -1) (void)::close(fd);
}

bool WakeChannel::arm(int fd, const sockaddr_in& address) noexcept {
  if (this->fd() != -1) {
    errno = EBUSY;
    return false;
  }
  const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own == -1) return false;
  // Connected to its own address, the socket takes datagrams from itself alone: the kernel drops
  // those of any other sender, each of which would cost the consumer a wake-up for nothing.
  // A socket that cannot hear itself (bound to a multicast address, say) would leave a consumer
  // asleep for good.
  const bool connected = connect(own, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  if (!connected || !hears_itself(own)) {
    const int error = connected ? EADDRNOTAVAIL : errno;
    (void)::close(own);
    errno = error;
    return false;
  }
  address_ = address;
  // Release: a thread that loads the descriptor also sees the address stored before it.
  fd_.store(own, std::memory_order_release);
  return true;
}

bool WakeChannel::announce_wait() noexcept {
  waiting_.store(1, std::memory_order_relaxed);
  return tandem::detail::heavy_barrier();  // pairs with light_barrier() in notify()
}

void WakeChannel::await_datagram(bool bounded) noexcept {
  const int fd = this->fd();
  if (fd == -1) return;
  count_sleep();
  // poll, then a non-blocking receive: the wait holds whatever blocking mode the socket's owner
  // set. A signal (EINTR), a timeout or an error only sends the caller back to its queue check.
  pollfd ready{fd, POLLIN, 0};
  if (poll(&ready, 1, bounded ? 1 : -1) <= 0) return;
  unsigned char token;
  (void)recv(fd, &token, 1, MSG_DONTWAIT);
}

void WakeChannel::wake_waiter() noexcept {
  // The first producer to take the flag sends; a datagram per announced wait is enough.
  if (waiting_.exchange(0, std::memory_order_relaxed) != 0) {
    ring();
    tandem::detail::count(wakeups_sent_);
  }
}

void WakeChannel::ring() const noexcept {
  if (const int fd = this->fd(); fd != -1) send_wake(fd, address_);
}

}  // namespace orvel::portage

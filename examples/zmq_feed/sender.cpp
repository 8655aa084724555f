#include "sender.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <zmq.hpp>

#include "receiver.hpp"

namespace zmq_feed {

namespace {

// How long a sender waits for its first subscriber, and for its last messages to leave.
constexpr std::chrono::milliseconds kPatience{30'000};

}  // namespace

Sent send_sequence(const Sequence& sequence) {
  if (sequence.size < sequence.topic.size()) {
    throw std::invalid_argument("size must hold the topic: " + std::to_string(sequence.topic.size()) + " bytes at least");
  }
  zmq::context_t context(1);
  zmq::socket_t socket(context, sequence.publish ? zmq::socket_type::xpub : zmq::socket_type::push);
  socket.set(zmq::sockopt::linger, static_cast<int>(kPatience.count()));
  attach(socket, sequence.endpoint, sequence.bind);
  if (sequence.publish) {
    // A publisher drops what it sends before a subscription has reached it: wait for the first.
    std::array<zmq::pollitem_t, 1> subscription{{{socket.handle(), 0, ZMQ_POLLIN, 0}}};
    zmq::message_t request;
    if (zmq::poll(subscription, kPatience) == 0 || !socket.recv(request, zmq::recv_flags::dontwait)) {
      throw std::runtime_error("no subscriber came to " + sequence.endpoint);
    }
  }

  // The topic, then as much of the two numbers as fits.
  std::vector<char> message(sequence.size, 0);
  std::memcpy(message.data(), sequence.topic.data(), sequence.topic.size());
  char numbers[sizeof(std::uint64_t) + sizeof(std::uint32_t)];
  const std::size_t fitting = std::min(sizeof numbers, sequence.size - sequence.topic.size());
  std::memcpy(numbers + sizeof(std::uint64_t), &sequence.sender, sizeof sequence.sender);
  const auto start = std::chrono::steady_clock::now();
  for (std::uint64_t seq = 0; seq < sequence.count; ++seq) {
    std::memcpy(numbers, &seq, sizeof seq);
    std::memcpy(message.data() + sequence.topic.size(), numbers, fitting);
    (void)socket.send(zmq::buffer(message), zmq::send_flags::none);  // waits for room
  }
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  if (sequence.before_close) sequence.before_close();
  return Sent{sequence.count, seconds.count()};  // the socket and context wait for the rest to leave
}

}  // namespace zmq_feed

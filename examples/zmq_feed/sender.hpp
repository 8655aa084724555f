#pragma once

// A sender for tests and benchmarks: numbered messages from a native thread, as fast as ZeroMQ
// takes them, so that the receiving side is what a measurement sees.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace zmq_feed {

struct Sequence {
  std::string endpoint;
  bool bind = false;         // bound to it, rather than connected to it
  std::uint64_t count = 0;
  std::size_t size = 64;     // bytes per message, the topic included
  std::uint32_t sender = 0;  // tells the senders of one receiver apart
  std::string topic;         // leads every message; published to subscribers with `publish`
  bool publish = false;      // a publisher (XPUB, which hears the first subscription and waits for it) instead of PUSH
  // Called once every message has been handed to ZeroMQ, before the socket closes: ZeroMQ loses
  // what is still on its way when a sender closes while its receiver is behind.
  std::function<void()> before_close;
};

struct Sent {
  std::uint64_t messages = 0;
  double seconds = 0;  // from the first message to the last one handed to ZeroMQ
};

// Sends `count` messages of `size` bytes: the topic, then as much as fits of the message's
// sequence number (8 bytes, little-endian, from 0) and the sender (4 bytes, little-endian), then
// zeros. A PUSH socket waits for room whenever the receiver is slow. Returns after before_close,
// once ZeroMQ has passed every message on or 30 s have passed trying. Throws
// std::invalid_argument for a size shorter than the topic, EndpointError for an endpoint refused,
// std::runtime_error when no subscriber comes within 30 s.
Sent send_sequence(const Sequence& sequence);

}  // namespace zmq_feed

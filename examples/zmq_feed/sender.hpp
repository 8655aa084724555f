#pragma once

// A sender for tests and benchmarks: numbered messages from a native thread, as fast as ZeroMQ
// takes them, so that the receiving side is what a measurement sees.

#include <cstddef>
#include <cstdint>
#include <string>

namespace zmq_feed {

struct Sequence {
  std::string endpoint;      // connected to
  std::uint64_t count = 0;
  std::size_t size = 64;     // bytes per message, the topic included
  std::uint32_t sender = 0;  // tells the senders of one receiver apart
  std::string topic;         // leads every message; published to subscribers with `publish`
  bool publish = false;      // PUB (after the first subscription has come) instead of PUSH
};

struct Sent {
  std::uint64_t messages = 0;
  double seconds = 0;  // from the first message to the last one handed to ZeroMQ
};

// Sends `count` messages of `size` bytes: the topic, the message's sequence number (8 bytes,
// little-endian, from 0), the sender (4 bytes, little-endian), zeros. A PUSH socket waits for
// room whenever the receiver is slow. Returns once ZeroMQ has passed every message on, or after
// 30 s of trying. Throws std::invalid_argument for a size that cannot hold the topic and the two
// numbers, EndpointError for an endpoint refused, std::runtime_error when no subscriber comes
// within 30 s.
Sent send_sequence(const Sequence& sequence);

}  // namespace zmq_feed

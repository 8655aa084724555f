#pragma once

// The receiving side of a feed: a ZeroMQ PULL or SUB socket owned by a native thread, which
// pushes every message it receives into an orvel dispatcher through the dispatcher's push routine,
// without the interpreter lock. No Python here beyond that routine: the module's Feed type builds
// a Receiver with the interpreter lock held and stops it with the lock released.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

#include <orvel/native.hpp>

namespace zmq_feed {

enum class WhenFull : std::uint8_t {
  kWait,  // retry until the dispatcher has room: ZeroMQ then holds the sender back
  kDrop,  // drop the message and count it
};

struct Options {
  std::vector<std::string> connect;
  std::vector<std::string> bind;
  // Empty: a PULL socket. Otherwise a SUB socket subscribed to each of these prefixes.
  std::vector<std::string> subscribe;
  WhenFull when_full = WhenFull::kWait;
};

// An endpoint refused, by ZeroMQ or by check_endpoint(), with the error number that says why.
class EndpointError : public std::runtime_error {
 public:
  EndpointError(const std::string& message, int error) : std::runtime_error(message), error_(error) {}
  int error() const noexcept { return error_; }

 private:
  int error_;
};

// Connects or binds `socket` to `endpoint`, or throws EndpointError.
void attach(zmq::socket_t& socket, const std::string& endpoint, bool binding);

// What a receiver has counted. Each count is written by the receiving thread alone.
struct Counts {
  std::uint64_t received = 0;   // message parts taken from the socket
  std::uint64_t pushed = 0;     // of them, pushed into the dispatcher
  std::uint64_t waited = 0;     // of them, found the dispatcher full and waited for room
  std::uint64_t dropped = 0;    // found it full and were dropped (WhenFull::kDrop)
  std::uint64_t oversized = 0;  // longer than the dispatcher carries: not pushed
  std::uint64_t empty = 0;      // empty, for a variable-size dispatcher, which carries none
  std::uint64_t peers = 0;      // connections open now
  std::uint64_t disconnects = 0;  // connections that ended, the peer gone or unreachable
};

enum class Ended : std::uint8_t {
  kRunning,
  kStopped,           // stop()
  kDispatcherClosed,  // the dispatcher's queue closed: close(), its consumer ending, a signal
  kFailed,            // ZeroMQ failed: error() tells how
};

class Receiver {
 public:
  // Opens the socket, connects and binds it (EndpointError for an endpoint ZeroMQ refuses,
  // zmq::error_t for a socket it cannot make) and starts the receiving thread, with every signal
  // blocked in it. The dispatcher must outlive the receiver. Refuses, before any of that, a
  // dispatcher that keeps the pointers pushed or whose pushes wait for room
  // (std::invalid_argument), and a closed one (std::runtime_error).
  Receiver(orvel::native::Producer producer, const Options& options);
  ~Receiver();  // stop()
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // Ends the receiving thread, waits for it and terminates the ZeroMQ context; what the socket
  // held and had not pushed is dropped with it. Returns at once after the first call. Without
  // the interpreter lock: a push refusing a message takes it.
  void stop() noexcept;

  // From any thread.
  Ended ended() const noexcept { return ended_.load(std::memory_order_acquire); }
  Counts counts() const noexcept;
  // After Ended::kFailed: ZeroMQ's error number.
  int error() const noexcept { return error_; }
  // The endpoints bound, as ZeroMQ resolved them (a port given as * is the port it chose).
  const std::vector<std::string>& bound() const noexcept { return bound_; }

 private:
  using Count = std::atomic<std::uint64_t>;

  void run();
  void finish(Ended how) noexcept;  // closes the sockets and publishes how the thread ended
  void receive();
  // False once the receiver should end: stop(), or the dispatcher closed.
  bool deliver(const zmq::message_t& message);
  void take_events();
  void bump(Count& count) noexcept { count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed); }

  orvel::native::Producer producer_;  // its queue is open until the dispatcher closes, or a signal closes it
  WhenFull when_full_;
  zmq::context_t context_;
  zmq::socket_t socket_;
  zmq::socket_t monitor_;  // the socket's connection events
  std::vector<std::string> bound_;

  std::atomic<bool> stopping_{false};
  std::atomic<Ended> ended_{Ended::kRunning};  // release: the counts and error_ before it
  int error_ = 0;
  Count received_{0}, pushed_{0}, waited_{0}, dropped_{0}, oversized_{0}, empty_{0};
  Count opened_{0}, disconnects_{0};  // connections: peers = opened - disconnects
  std::thread thread_;
  bool stopped_ = false;  // stop() has run; read and written by the thread that owns the receiver
};

}  // namespace zmq_feed

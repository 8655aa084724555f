#include "receiver.hpp"

#include <pthread.h>
#include <signal.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace zmq_feed {

namespace {

// How often an idle receiver looks whether its dispatcher has closed. Nothing wakes it when that
// happens (a dispatcher closing, or the signal watcher closing every queue, reaches the queue, not
// the socket): this is how soon it stops after, and closes its socket so that peers stop sending.
constexpr std::chrono::milliseconds kIdleCheck{50};
// While messages keep coming the socket is never found empty: the connection events are read
// after every this many messages instead.
constexpr std::uint32_t kEventsEvery = 4096;
// Each receiver has a context of its own, so its one monitor needs no name of its own.
constexpr const char* kMonitor = "inproc://connection-events";

// ZeroMQ reads a TCP port as atoi() would ("5555x" is 5555) and wraps it to 16 bits (99999 is
// 34463): a typo would connect or bind to another port. Ports are checked here instead. An
// inproc endpoint would reach only the receiver's own context, where nothing sends.
void check_endpoint(const std::string& endpoint, bool binding) {
  auto refuse = [&](const std::string& why) {
    throw EndpointError("invalid endpoint '" + endpoint + "': " + why, EINVAL);
  };
  if (endpoint.find("://") == std::string::npos) refuse("expected transport://address, as tcp://host:port or ipc://path");
  if (endpoint.starts_with("inproc://")) refuse("inproc:// reaches no other process; use ipc:// or tcp://");
  if (!endpoint.starts_with("tcp://")) return;
  const std::string port = endpoint.substr(endpoint.rfind(':') + 1);
  if (binding && port == "*") return;
  const bool digits = !port.empty() && port.size() <= 5 &&
                      port.find_first_not_of("0123456789") == std::string::npos;
  const int number = digits ? std::stoi(port) : -1;
  if (number > 65535 || number < (binding ? 0 : 1)) {
    refuse(binding ? "the port must be a number from 0 to 65535, or * for a free one"
                   : "the port must be a number from 1 to 65535");
  }
}

// Blocks every signal in the threads the calling thread starts while it lives, so that signals
// go to the interpreter's threads and never interrupt the receiver's waits.
class SignalsBlocked {
 public:
  SignalsBlocked() noexcept {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous_);
  }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

// `producer`, if a receiver can feed it; else throws std::invalid_argument, or std::runtime_error
// for a closed one.
orvel::native::Producer feedable(orvel::native::Producer producer) {
  if (producer.keeps_pointers()) {
    // The receiver reuses its buffer for the next message.
    throw std::invalid_argument(
        "a zerocopy dispatcher cannot be fed unless variable_size=True: it keeps pointers to the bytes pushed");
  }
  if (producer.waits_when_full()) {
    // Its pushes would wait inside the queue, where stop() cannot reach the receiving thread.
    throw std::invalid_argument(
        "a dispatcher made with nonblocking=False, block_on_full=True cannot be fed: its pushes wait where the "
        "feed cannot be stopped (when_full='wait' waits for room instead)");
  }
  if (!producer.queue().is_open()) throw std::runtime_error("the dispatcher is closed");
  return producer;
}

}  // namespace

void attach(zmq::socket_t& socket, const std::string& endpoint, bool binding) {
  check_endpoint(endpoint, binding);
  if ((binding ? zmq_bind : zmq_connect)(socket.handle(), endpoint.c_str()) == 0) return;
  const int error = zmq_errno();
  std::string message = std::string("cannot ") + (binding ? "bind" : "connect") + " to '" + endpoint + "': " +
                        zmq_strerror(error);
  if (binding && error == ENODEV) message += " (a TCP bind takes an interface name or an address, or *)";
  throw EndpointError(message, error);
}

Receiver::Receiver(orvel::native::Producer producer, const Options& options)
    : producer_(feedable(producer)),
      when_full_(options.when_full),
      context_(1),
      socket_(context_, options.subscribe.empty() ? zmq::socket_type::pull : zmq::socket_type::sub),
      monitor_(context_, zmq::socket_type::pair) {
  // A closed socket drops what it holds at once: a receiver stops without waiting for anyone.
  socket_.set(zmq::sockopt::linger, 0);
  monitor_.set(zmq::sockopt::linger, 0);
  for (const std::string& prefix : options.subscribe) socket_.set(zmq::sockopt::subscribe, prefix);
  if (zmq_socket_monitor(socket_.handle(), kMonitor,
                         ZMQ_EVENT_CONNECTED | ZMQ_EVENT_ACCEPTED | ZMQ_EVENT_DISCONNECTED) != 0) {
    throw zmq::error_t();
  }
  monitor_.connect(kMonitor);
  for (const std::string& endpoint : options.bind) {
    attach(socket_, endpoint, true);
    bound_.push_back(socket_.get(zmq::sockopt::last_endpoint));
  }
  for (const std::string& endpoint : options.connect) attach(socket_, endpoint, false);
  // Started last: the sockets pass to the thread with the memory barrier of its start, as
  // ZeroMQ asks of a socket that changes threads.
  SignalsBlocked blocked;
  thread_ = std::thread(&Receiver::run, this);
  pthread_setname_np(thread_.native_handle(), "zmq-feed");
}

Receiver::~Receiver() { stop(); }

void Receiver::stop() noexcept {
  if (stopped_) return;
  stopped_ = true;
  stopping_.store(true, std::memory_order_release);  // pairs with the acquire load of a waiting push
  context_.shutdown();  // the thread's socket calls fail with ETERM from now on, and waits end
  thread_.join();
  context_.close();  // the thread has closed its sockets: nothing to wait for
}

Counts Receiver::counts() const noexcept {
  Counts counts;
  counts.received = received_.load(std::memory_order_relaxed);
  counts.pushed = pushed_.load(std::memory_order_relaxed);
  counts.waited = waited_.load(std::memory_order_relaxed);
  counts.dropped = dropped_.load(std::memory_order_relaxed);
  counts.oversized = oversized_.load(std::memory_order_relaxed);
  counts.empty = empty_.load(std::memory_order_relaxed);
  // Ends first: every opening counted before an end is seen with it, so peers never goes below zero.
  counts.disconnects = disconnects_.load(std::memory_order_acquire);  // pairs with take_events()' release
  counts.peers = opened_.load(std::memory_order_relaxed) - counts.disconnects;
  return counts;
}

// Not noexcept, and nothing here catches everything: a push that reports a refused message takes
// the interpreter lock, and an interpreter that is finalising ends a thread that asks for it by
// unwinding the thread, which must pass. The sockets close on that road too.
void Receiver::run() {
  struct Ending {
    Receiver& receiver;
    Ended how = Ended::kDispatcherClosed;
    ~Ending() { receiver.finish(how); }
  } ending{*this};
  try {
    receive();
    if (stopping_.load(std::memory_order_acquire)) ending.how = Ended::kStopped;
  } catch (const zmq::error_t& failure) {
    if (failure.num() == ETERM) {
      ending.how = Ended::kStopped;
    } else {
      error_ = failure.num();
      ending.how = Ended::kFailed;
    }
  }
}

void Receiver::finish(Ended how) noexcept {
  // Closed here rather than by stop(): peers see the receiver go as soon as it stops pushing.
  socket_.close();
  monitor_.close();
  // Closing ended every connection; release as in take_events().
  disconnects_.store(opened_.load(std::memory_order_relaxed), std::memory_order_release);
  ended_.store(how, std::memory_order_release);  // pairs with the acquire load of ended()
}

void Receiver::receive() {
  zmq::message_t message;
  std::array<zmq::pollitem_t, 2> waits{{{socket_.handle(), 0, ZMQ_POLLIN, 0},
                                        {monitor_.handle(), 0, ZMQ_POLLIN, 0}}};
  std::uint32_t since_events = 0;
  for (;;) {
    if (socket_.recv(message, zmq::recv_flags::dontwait)) {
      bump(received_);
      if (!deliver(message)) return;
      if (++since_events == kEventsEvery) {
        take_events();
        since_events = 0;
      }
      continue;
    }
    take_events();
    since_events = 0;
    if (!producer_.queue().is_open()) return;
    zmq::poll(waits, kIdleCheck);
  }
}

bool Receiver::deliver(const zmq::message_t& message) {
  const std::size_t size = message.size();
  // A single-slot queue would cut a longer record short, and a variable-size one drops an empty
  // message: neither is pushed, so that what reaches Python is exactly what was sent.
  const bool messages = producer_.variable_size();
  if (messages ? size == 0 : size > producer_.queue().slot_size()) {
    bump(messages ? empty_ : oversized_);
    return true;
  }
  orvel::native::FullQueueRetry retry;
  bool waited = false;
  for (;;) {
    switch (producer_.push(message.data(), size)) {
      case 1:
        bump(pushed_);
        return true;
      case 0:  // more fragments than the dispatcher takes: it has reported the ValueError itself
        bump(oversized_);
        return true;
      case -2:
        if (when_full_ == WhenFull::kDrop) {
          bump(dropped_);
          return true;
        }
        if (!waited) {
          bump(waited_);
          waited = true;
        }
        if (stopping_.load(std::memory_order_acquire)) return false;  // pairs with stop()'s release
        retry.pause();
        break;
      default:  // -1: closed (-3, a push inside a push, needs a signal handler: none runs here)
        return false;
    }
  }
}

void Receiver::take_events() {
  zmq::message_t event, address;
  while (monitor_.recv(event, zmq::recv_flags::dontwait)) {
    // The event's second part, the endpoint, comes with its first: a message arrives whole.
    (void)monitor_.recv(address);
    std::uint16_t id;
    std::memcpy(&id, event.data(), sizeof id);
    if (id != ZMQ_EVENT_DISCONNECTED) {
      bump(opened_);
    } else {  // release: publishes the openings counted before, for counts()' acquire load
      disconnects_.store(disconnects_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }
  }
}

}  // namespace zmq_feed

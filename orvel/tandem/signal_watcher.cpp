#include "orvel/tandem/signal_watcher.hpp"

#include <Python.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/syscall.h>
#include <unistd.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <spdlog/logger.h>
#include <spdlog/sinks/sink.h>

#include "scribo/logger_registry.hpp"

namespace orvel::vigil {
namespace {

struct ContextEntry {
  void* context;
  NotifyCallback callback;
};

// Process-wide state. Allocated once and never destroyed: the detached watcher thread may still
// use it while the interpreter tears down static objects at exit.
struct Registry {
  std::mutex lock;
  std::vector<ContextEntry> entries;
};
Registry& registry() {
  static Registry* const instance = new Registry;
  return *instance;
}

std::atomic<std::int32_t> live_queues{0};
std::once_flag watcher_started;

// printf-style into a string; a formatting failure gives an empty message.
template <class... Args>
std::string format_message(const char* format, Args... args) {
  const int size = std::snprintf(nullptr, 0, format, args...);
  if (size <= 0) return {};
  std::string text(static_cast<std::size_t>(size) + 1, '\0');
  std::snprintf(text.data(), text.size(), format, args...);
  text.pop_back();
  return text;
}

// Logs at info through the default logger of the moment, with the statement's location in this
// module. Nothing is formatted unless the logger and at least one of its sinks admit info.
template <class... Args>
void log_info(int line, const char* function, const char* format, Args... args) noexcept {
  constexpr auto level = spdlog::level::info;
  const auto logger = scribo::LoggerRegistry::get_logger("", true);
  const auto& sinks = logger->sinks();
  if (!logger->should_log(level) ||
      std::none_of(sinks.begin(), sinks.end(), [](const auto& sink) { return sink->should_log(level); })) {
    return;
  }
  std::string text;
  try {
    text = format_message(format, args...);
  } catch (const std::bad_alloc&) {
  }
  // spdlog::logger::log hands a throwing sink to the logger's error handler; it does not throw.
  logger->log(spdlog::source_loc{"orvel/tandem/tandem", line, function}, level, text);
}

#define VIGIL_LOG(...) log_info(__LINE__, static_cast<const char*>(__FUNCTION__), __VA_ARGS__)

// Owns the signal set; handles the first watched signal.
class Vigil {
 public:
  explicit Vigil(boost::asio::io_context& loop) : loop_(loop), signals_(loop), grace_(loop) {
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGTSTP, SIGQUIT}) signals_.add(signal_number);
    signals_.async_wait([this](const boost::system::error_code& error, int signal_number) {
      handle_signal(error, signal_number);
    });
  }

 private:
  void handle_signal(const boost::system::error_code& error, int signal_number) {
    if (error) return;  // the wait was cancelled
    VIGIL_LOG("[SIGNAL] Received signal %d\n", signal_number);
    {
      Registry& r = registry();
      std::lock_guard guard(r.lock);
      VIGIL_LOG("[SIGNAL] Stopping %zu contexts...\n", r.entries.size());
      for (std::size_t i = 0; i < r.entries.size(); ++i) {
        const ContextEntry entry = r.entries[i];
        if (entry.context != nullptr && entry.callback != nullptr) entry.callback(entry.context);
      }
    }
    VIGIL_LOG("[SIGNAL] All contexts notified\n");
    // Whichever signal came, the main thread raises KeyboardInterrupt. Needs no interpreter lock.
    PyErr_SetInterrupt();
    interrupt_main_thread();
  }

  // The main thread sees the interrupt at its next bytecode, or when a blocking system call
  // fails with EINTR. The watched signal itself may have interrupted such a call before the
  // interrupt was set, and the call then simply resumed (time.sleep, Event.wait), so interrupt it
  // once more. The loop stops, and the default actions come back, only once that signal has
  // passed through our handler (or after a grace period, should it never be delivered): a signal
  // that arrived after the default actions are back would end the process.
  void interrupt_main_thread() {
    signals_.async_wait([this](const boost::system::error_code&, int) { loop_.stop(); });
    grace_.expires_after(std::chrono::milliseconds(200));
    grace_.async_wait([this](const boost::system::error_code& error) {
      if (!error) loop_.stop();
    });
    syscall(SYS_tgkill, getpid(), getpid(), SIGINT);  // the initial thread runs the interpreter
  }

  boost::asio::io_context& loop_;
  boost::asio::signal_set signals_;
  boost::asio::steady_timer grace_;
};

}  // namespace

void init_vigil() {
  std::call_once(watcher_started, [] {
    auto loop = std::make_unique<boost::asio::io_context>();
    auto work = std::make_unique<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>>(
        loop->get_executor());
    auto vigil = std::make_unique<Vigil>(*loop);
    std::thread([loop = loop.get(), work = std::move(work), vigil = std::move(vigil)]() mutable {
      loop->run();
      work.reset();
      vigil.reset();  // removes the handlers: the five signals get their default actions back
    }).detach();
    // The loop outlives the watcher thread and is never destroyed: the watcher never restarts.
    (void)loop.release();
    VIGIL_LOG("[SIGNAL] Handler initialized\n");
  });
}

void register_context_notify(void* context, NotifyCallback callback) {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  r.entries.push_back({context, callback});
  VIGIL_LOG("[SIGNAL] Registered context %p (total: %zu)\n", context, r.entries.size());
}

bool unregister_context_notify(void* context) noexcept {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  const auto found = std::find_if(r.entries.begin(), r.entries.end(),
                                  [context](const ContextEntry& e) { return e.context == context; });
  if (found == r.entries.end()) return false;
  r.entries.erase(found);
  VIGIL_LOG("[SIGNAL] Unregistered context %p (remaining: %zu)\n", context, r.entries.size());
  return true;
}

void clear_context_registry() noexcept {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  r.entries.clear();
}

void enrol_queue(void* core, NotifyCallback notify) {
  live_queues.fetch_add(1, std::memory_order_relaxed);
  try {
    init_vigil();
    register_context_notify(core, notify);
  } catch (...) {
    live_queues.fetch_sub(1, std::memory_order_acq_rel);
    throw;
  }
}

void withdraw_queue(void* core) noexcept {
  if (!unregister_context_notify(core)) return;
  if (live_queues.fetch_sub(1, std::memory_order_acq_rel) <= 1) clear_context_registry();
}

}  // namespace orvel::vigil

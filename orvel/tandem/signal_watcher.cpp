#include "orvel/tandem/signal_watcher.hpp"

#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <spdlog/logger.h>
#include <spdlog/sinks/sink.h>

#include "scribo/logger_registry.hpp"

namespace orvel::vigil {
namespace {

constexpr int kWatchedSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGTSTP, SIGQUIT};

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

[[noreturn]] void throw_system_error(int error, const char* what) {
  throw std::system_error(error, std::generic_category(), what);
}

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

// Logs through the default logger of the moment, with the statement's location in this module.
// Nothing is formatted unless the logger and at least one of its sinks admit the level.
template <class... Args>
void log_message(spdlog::level::level_enum level, int line, const char* function, const char* format,
                 Args... args) noexcept {
  const auto logger = scribo::LoggerRegistry::get_logger("", true);
  if (!logger) return;  // out of memory
  const auto& sinks = logger->sinks();
  if (!logger->should_log(level) ||
      std::none_of(sinks.begin(), sinks.end(), [level](const auto& sink) { return sink->should_log(level); })) {
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

#define VIGIL_LOG(...) \
  log_message(spdlog::level::info, __LINE__, static_cast<const char*>(__FUNCTION__), __VA_ARGS__)
#define VIGIL_ERROR(...) \
  log_message(spdlog::level::err, __LINE__, static_cast<const char*>(__FUNCTION__), __VA_ARGS__)

// Interrupting the main thread. PyErr_SetInterrupt() marks SIGINT as caught from any thread, but
// CPython 3.12 breaks into the evaluation loop only when the call runs on the main thread: made
// by the watcher, it goes unnoticed by running Python code until its next blocking call. So the
// watcher sends SIGURG to the main thread and the handler there makes the call. Installed without
// SA_RESTART, the handler also makes a blocking system call of the main thread fail with EINTR,
// after which the interpreter looks at its signals. SIGURG is ignored by default: a wake-up that
// comes late, or finds another handler in place, cannot end the process.
constexpr int kWakeSignal = SIGURG;

// Who may still touch the interpreter. The watcher moves kWatching to kInterrupting once; the
// main thread's handler moves kInterrupting to kInterrupted, so that one signal gives exactly one
// KeyboardInterrupt; the exit hook moves any phase to kExiting, after which nothing touches the
// interpreter.
enum Phase : int { kWatching, kInterrupting, kInterrupted, kExiting };
std::atomic<int> phase{kWatching};
static_assert(std::atomic<int>::is_always_lock_free, "used by a signal handler");

// Held by the watcher while it logs its messages, which it does only until the interpreter exits:
// the static objects of the logging library are destroyed at exit. The exit hook waits for
// messages already being written, but no longer than kMessagesAtExit, in case a sink is stalled.
std::timed_mutex messages_lock;
// Three messages take microseconds on a working sink.
constexpr std::chrono::milliseconds kMessagesAtExit{1000};

// The interpreter runs on the process's initial thread (in a forked child: on the thread that
// forked), whose thread id is the process id.
pid_t main_thread_id() noexcept { return getpid(); }

// The SIGURG handler that ours replaced; SIGURGs that are no wake-up go on to it.
struct sigaction chained_wake_action;

void on_wake(int signal_number, siginfo_t* info, void* context) {
  int expected = kInterrupting;
  if (syscall(SYS_gettid) == main_thread_id() && phase.compare_exchange_strong(expected, kInterrupted)) {
    PyErr_SetInterrupt();  // async-signal-safe
  } else if ((chained_wake_action.sa_flags & SA_SIGINFO) != 0) {
    chained_wake_action.sa_sigaction(signal_number, info, context);
  } else if (chained_wake_action.sa_handler != SIG_DFL && chained_wake_action.sa_handler != SIG_IGN) {
    chained_wake_action.sa_handler(signal_number);
  }
}

void install_wake_handler() {
  struct sigaction current {};
  if (sigaction(kWakeSignal, nullptr, &current) != 0) throw_system_error(errno, "sigaction");
  if ((current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == on_wake) return;  // a retried start
  chained_wake_action = current;
  struct sigaction action {};
  action.sa_sigaction = on_wake;
  action.sa_flags = SA_SIGINFO;  // and no SA_RESTART: see kWakeSignal
  if (sigaction(kWakeSignal, &action, nullptr) != 0) throw_system_error(errno, "sigaction");
}

// False when the interpreter is exiting or its main thread is gone: then it must be left alone.
bool request_interrupt() noexcept {
  int expected = kWatching;
  return phase.compare_exchange_strong(expected, kInterrupting) &&
         syscall(SYS_tgkill, getpid(), main_thread_id(), kWakeSignal) == 0;
}

void restore_default_actions() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  for (int signal_number : kWatchedSignals) {
    if (sigaction(signal_number, &action, nullptr) != 0) throw_system_error(errno, "sigaction");
  }
}

// Calls every registered callback; returns the number of entries.
std::size_t notify_contexts() noexcept {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  const std::size_t count = r.entries.size();
  for (std::size_t i = 0; i < r.entries.size(); ++i) {
    const ContextEntry entry = r.entries[i];
    if (entry.context != nullptr && entry.callback != nullptr) entry.callback(entry.context);
  }
  return count;
}

// Owns the signal set; handles the first watched signal.
class Vigil {
 public:
  explicit Vigil(boost::asio::io_context& loop) : loop_(loop), signals_(loop) {
    for (int signal_number : kWatchedSignals) signals_.add(signal_number);
    signals_.async_wait([this](const boost::system::error_code& error, int signal_number) {
      handle_signal(error, signal_number);
    });
  }

  // Gives the signals back their default actions without handling them: in a forked child, which
  // has a copy of its parent's watcher but not the thread that runs it.
  void abandon() { signals_.clear(); }

 private:
  void handle_signal(const boost::system::error_code& error, int signal_number) {
    if (error) return;  // the wait was cancelled
    // A log sink may be stalled (a pipe nobody reads, a lock another thread holds), so the queues
    // are released, the signals handed back and the main thread interrupted before anything is
    // logged. The default actions are back before the interrupt: a second signal acts as if we
    // had never been there.
    const std::size_t contexts = notify_contexts();
    boost::system::error_code cleared;
    signals_.clear(cleared);
    if (!request_interrupt()) {
      // The interpreter is exiting (or its main thread is gone): the signal takes its default
      // action, as it would without us.
      loop_.stop();
      if (kill(getpid(), signal_number) != 0) VIGIL_ERROR("[SIGNAL] Cannot raise signal %d\n", signal_number);
      return;
    }
    {
      std::lock_guard guard(messages_lock);
      if (phase.load() != kExiting) {
        VIGIL_LOG("[SIGNAL] Received signal %d\n", signal_number);
        VIGIL_LOG("[SIGNAL] Stopping %zu contexts...\n", contexts);
        VIGIL_LOG("[SIGNAL] All contexts notified\n");
        if (cleared) VIGIL_ERROR("[SIGNAL] Cannot restore the default actions: %s\n", cleared.message().c_str());
      }
    }
    loop_.stop();
  }

  boost::asio::io_context& loop_;
  boost::asio::signal_set signals_;
};

// An event loop with the Vigil on it. Never destroyed: its detached thread may outlive static
// destruction, and a forked child must leave its copy of the parent's alone (destroying it would
// unregister descriptors from the epoll instance that the two processes share).
struct Watcher {
  boost::asio::io_context loop;
  Vigil vigil{loop};
};

// This process's watcher, null until the first queue. Used with the interpreter lock held.
Watcher* watcher = nullptr;

// Runs the loop on a detached thread until the first watched signal stops it.
Watcher* launch(std::unique_ptr<Watcher> starting) {
  std::thread([loop = &starting->loop, work = boost::asio::make_work_guard(starting->loop)]() mutable {
    loop->run();
  }).detach();
  return starting.release();
}

// A forked child has its parent's watcher without the thread that runs it, and the event
// library's signal pipe, which it forwards every signal through, leads to the parent's thread.
void replace_parent_watcher() {
  if (watcher == nullptr) return;
  watcher->vigil.abandon();
  if (phase.load() != kWatching) return;  // the parent's watcher had already acted, or was exiting
  auto own = std::make_unique<Watcher>();
  // The fork notifications re-create the pipe, for this process alone, and this loop's reactor.
  // Nobody else shares the new loop, so the prepare step only unregisters the old pipe from it.
  own->loop.notify_fork(boost::asio::execution_context::fork_prepare);
  own->loop.notify_fork(boost::asio::execution_context::fork_child);
  watcher = launch(std::move(own));
}

// The forking thread's signal mask, saved by prepare_fork when it blocked the watched signals.
sigset_t mask_before_fork;
bool fork_blocked_signals = false;

void restore_mask_after_fork() {
  if (!fork_blocked_signals) return;
  fork_blocked_signals = false;
  if (const int error = pthread_sigmask(SIG_SETMASK, &mask_before_fork, nullptr); error != 0) {
    throw_system_error(error, "pthread_sigmask");
  }
}

}  // namespace

void init_vigil() {
  std::call_once(watcher_started, [] {
    install_wake_handler();
    watcher = launch(std::make_unique<Watcher>());
    VIGIL_LOG("[SIGNAL] Handler initialized\n");
  });
}

void register_context_notify(void* context, NotifyCallback callback) {
  std::size_t total;
  {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    r.entries.push_back({context, callback});
    total = r.entries.size();
  }
  // Outside the registry lock, which the watcher needs before it may log: a stalled sink must not
  // hold it up.
  VIGIL_LOG("[SIGNAL] Registered context %p (total: %zu)\n", context, total);
}

bool unregister_context_notify(void* context) noexcept {
  std::size_t remaining;
  {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    const auto found = std::find_if(r.entries.begin(), r.entries.end(),
                                    [context](const ContextEntry& e) { return e.context == context; });
    if (found == r.entries.end()) return false;
    r.entries.erase(found);
    remaining = r.entries.size();
  }
  VIGIL_LOG("[SIGNAL] Unregistered context %p (remaining: %zu)\n", context, remaining);
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

void interpreter_exiting() {
  const int previous = phase.exchange(kExiting);
  if (messages_lock.try_lock_for(kMessagesAtExit)) messages_lock.unlock();
  if (previous == kWatching && watcher != nullptr) restore_default_actions();
}

void prepare_fork() noexcept {
  // Until the child has a watcher of its own, a signal sent to it waits instead of travelling
  // through the inherited pipe to the parent's watcher. The child inherits this thread's mask.
  sigset_t watched;
  sigemptyset(&watched);
  for (int signal_number : kWatchedSignals) sigaddset(&watched, signal_number);
  fork_blocked_signals = pthread_sigmask(SIG_BLOCK, &watched, &mask_before_fork) == 0;
  // The child must not inherit the lock held by a thread it will not have.
  registry().lock.lock();
}

void after_fork_in_parent() {
  registry().lock.unlock();
  restore_mask_after_fork();
}

void after_fork_in_child() {
  registry().lock.unlock();
  std::exception_ptr failure;
  try {
    replace_parent_watcher();
  } catch (...) {
    failure = std::current_exception();
  }
  restore_mask_after_fork();  // signals that came meanwhile now reach the child's own watcher
  if (failure) std::rethrow_exception(failure);
}

}  // namespace orvel::vigil

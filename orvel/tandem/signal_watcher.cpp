#include "orvel/tandem/signal_watcher.hpp"

#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <mutex>
#include <stdexcept>
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

// Held by the watcher from before it interrupts the main thread until it has logged its messages,
// which it does only until the interpreter exits: the static objects of the logging library are
// destroyed at exit. So the exit hook waits for them, but no longer than kMessagesAtExit, in case
// a sink is stalled; then it sets messages_abandoned and the watcher writes no further message.
std::timed_mutex messages_lock;
std::atomic<bool> messages_abandoned{false};
// Three messages take microseconds on a working sink; the bound leaves room for a watcher thread
// that a loaded machine has not scheduled yet.
constexpr std::chrono::milliseconds kMessagesAtExit{1000};

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
  if (messages_abandoned.load()) return;  // the interpreter is finalising
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
  // The texts end with a newline, and so does every record a sink writes: one is enough.
  if (!text.empty() && text.back() == '\n') text.pop_back();
  // spdlog::logger::log hands a throwing sink to the logger's error handler; it does not throw.
  logger->log(spdlog::source_loc{"orvel/tandem/tandem", line, function}, level, text);
}

#define VIGIL_LOG(...) \
  log_message(spdlog::level::info, __LINE__, static_cast<const char*>(__FUNCTION__), __VA_ARGS__)
#define VIGIL_ERROR(...) \
  log_message(spdlog::level::err, __LINE__, static_cast<const char*>(__FUNCTION__), __VA_ARGS__)
#define VIGIL_WARN(...) \
  log_message(spdlog::level::warn, __LINE__, static_cast<const char*>(__FUNCTION__), __VA_ARGS__)

// A value from the environment as it would be quoted in Python: control characters, quotes,
// backslashes and bytes beyond ASCII escaped, so that a warning shows what is really there.
std::string escaped(const char* value) {
  std::string text;
  for (const char* c = value; *c != '\0'; ++c) {
    const auto byte = static_cast<unsigned char>(*c);
    switch (byte) {
      case '\t': text += "\\t"; break;
      case '\n': text += "\\n"; break;
      case '\r': text += "\\r"; break;
      case '\\': text += "\\\\"; break;
      case '\'': text += "\\'"; break;
      default:
        if (byte < 0x20 || byte >= 0x7f) {
          text += format_message("\\x%02x", static_cast<unsigned>(byte));
        } else {
          text += static_cast<char>(byte);
        }
    }
  }
  return text;
}

// ORVEL_SIGNAL_WATCH off (0, false, no or off, in any case, white space around ignored, line ends
// included), read when the first queue would start the watcher, leaves signals to the process: no
// watcher, no registry (queues are then released only by close()). Unset, empty or on (1, true,
// yes, on) keeps the watcher, and so does any other value, with a warning: a signal should not stop
// a process that relies on the watcher because of a typo.
bool watch_wanted() {
  static const bool wanted = [] {
    const char* setting = std::getenv("ORVEL_SIGNAL_WATCH");
    if (setting == nullptr) return true;
    constexpr const char* kWhiteSpace = " \t\n\r\f\v";
    std::string word(setting);
    word.erase(0, word.find_first_not_of(kWhiteSpace));
    word.erase(word.find_last_not_of(kWhiteSpace) + 1);
    for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto is_one_of = [&word](std::initializer_list<const char*> words) {
      return std::any_of(words.begin(), words.end(), [&word](const char* w) { return word == w; });
    };
    if (is_one_of({"0", "false", "no", "off"})) return false;
    if (!is_one_of({"", "1", "true", "yes", "on"})) {
      VIGIL_WARN("[SIGNAL] ORVEL_SIGNAL_WATCH='%s' is neither on nor off: watching\n", escaped(setting).c_str());
    }
    return true;
  }();
  return wanted;
}

// Interrupting the main thread. PyErr_SetInterruptEx() marks a signal as caught from any thread, but
// CPython 3.12 breaks into the evaluation loop only when the call runs on the main thread: made
// by the watcher, it goes unnoticed by running Python code until its next blocking call. So the
// watcher sends SIGURG to the main thread and the handler there makes the call. Installed without
// SA_RESTART, the handler also makes a blocking system call of the main thread fail with EINTR,
// after which the interpreter looks at its signals. SIGURG is ignored by default: a wake-up that
// comes late, or finds another handler in place, cannot end the process.
constexpr int kWakeSignal = SIGURG;

// Who may still touch the interpreter. The watcher moves kWatching to kInterrupting once; the
// main thread's handler moves kInterrupting to kInterrupted, so that one signal gives exactly one
// interrupt; the exit hook moves any phase to kExiting, after which nothing touches the
// interpreter.
enum Phase : int { kWatching, kInterrupting, kInterrupted, kExiting };
std::atomic<int> phase{kWatching};
static_assert(std::atomic<int>::is_always_lock_free, "used by a signal handler");

// The signal that the main thread is to act on. Stored before request_interrupt's compare-exchange
// of `phase`, loaded after on_wake's, which reads what that one wrote.
std::atomic<int> interrupting_signal{SIGINT};

// The watched signals whose Python-level handler is a callable of the user's, one bit per signal
// number: for them the main thread runs that handler instead of raising KeyboardInterrupt. Kept
// by follow_python_handler, with the interpreter lock held; read by the wake-up handler.
std::atomic<std::uint32_t> handled_in_python{0};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free, "used by a signal handler");
static_assert(std::all_of(std::begin(kWatchedSignals), std::end(kWatchedSignals), [](int s) { return s < 32; }),
              "one bit per watched signal");

// What the main thread raises for `signal_number`: the user's handler of that signal when it has
// one; otherwise SIGINT's handler, the interpreter's KeyboardInterrupt unless the user replaced it.
int python_signal_for(int signal_number) noexcept {
  return (handled_in_python.load() >> signal_number & 1u) != 0 ? signal_number : SIGINT;
}

// The interpreter runs on the process's initial thread (in a forked child: on the thread that
// forked), whose thread id is the process id.
pid_t main_thread_id() noexcept { return getpid(); }

// The SIGURG action that ours replaced, at the start or since through signal.signal(); SIGURGs
// that are no wake-up go on to it.
struct sigaction chained_wake_action;

void on_wake(int signal_number, siginfo_t* info, void* context) {
  int expected = kInterrupting;
  if (syscall(SYS_gettid) == main_thread_id() && phase.compare_exchange_strong(expected, kInterrupted)) {
    PyErr_SetInterruptEx(python_signal_for(interrupting_signal.load()));  // async-signal-safe
  } else if ((chained_wake_action.sa_flags & SA_SIGINFO) != 0) {
    chained_wake_action.sa_sigaction(signal_number, info, context);
  } else if (chained_wake_action.sa_handler != SIG_DFL && chained_wake_action.sa_handler != SIG_IGN) {
    chained_wake_action.sa_handler(signal_number);
  }
}

// Whether on_wake has been installed (it stays for good). Used with the interpreter lock held.
bool wake_handler_installed = false;

// Puts on_wake in front of SIGURG's current action, which it chains. Returns 0 or an errno.
int install_wake_handler() noexcept {
  struct sigaction current {};
  if (sigaction(kWakeSignal, nullptr, &current) != 0) return errno;
  if ((current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == on_wake) return 0;  // a retried start
  chained_wake_action = current;  // on_wake is not SIGURG's action now: nothing reads this meanwhile
  struct sigaction action {};
  action.sa_sigaction = on_wake;
  action.sa_flags = SA_SIGINFO;  // and no SA_RESTART: see kWakeSignal
  if (sigaction(kWakeSignal, &action, nullptr) != 0) return errno;
  wake_handler_installed = true;
  return 0;
}

// False when the interpreter is exiting or its main thread is gone: then it must be left alone.
bool request_interrupt(int signal_number) noexcept {
  interrupting_signal.store(signal_number);  // published by the compare-exchange below
  int expected = kWatching;
  return phase.compare_exchange_strong(expected, kInterrupting) &&
         syscall(SYS_tgkill, getpid(), main_thread_id(), kWakeSignal) == 0;
}

// The actions the event library installs for the watched signals, while a watcher is running.
// Python's signal.signal() replaces the action as well as the Python-level handler; its wrapper
// (follow_python_handler) puts the watcher's back, so that the queues are still released first.
// The lock orders that against the watcher giving the signals back.
struct WatchActions {
  std::mutex lock;
  bool in_force = false;
  struct sigaction actions[std::size(kWatchedSignals)] = {};
  // What each signal has when no watcher holds it, and gets back when the watcher stops: the
  // action in place when Python code last set its handler (or when the watcher started), so a
  // handler of the user's, SIG_IGN or a C-level handler; SIG_DFL for Python's own SIGINT handler,
  // so that a second Ctrl-C ends the process.
  struct sigaction given_back[std::size(kWatchedSignals)] = {};  // zeroed: SIG_DFL
};
WatchActions& watch_actions() {
  static WatchActions* const instance = new WatchActions;  // never destroyed, as the registry
  return *instance;
}

// Index of `signal_number` among the watched signals, or -1.
int watched_index(long signal_number) noexcept {
  const auto found = std::find(std::begin(kWatchedSignals), std::end(kWatchedSignals), signal_number);
  return found == std::end(kWatchedSignals) ? -1 : static_cast<int>(found - std::begin(kWatchedSignals));
}

bool is_default_action(const struct sigaction& action) noexcept {
  return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_DFL;
}

// Called once a watcher's signal set is in place. A signal that was ignored or had a C-level
// handler (faulthandler's, a native library's) while Python had no handler for it is left as it
// was: nohup's SIGHUP stays ignored. Reading an action fails only for an invalid signal number;
// the actions then just stay unfollowed.
void watch_actions_in_force() noexcept {
  WatchActions& w = watch_actions();
  std::lock_guard guard(w.lock);
  w.in_force = std::all_of(std::begin(kWatchedSignals), std::end(kWatchedSignals), [&w](int signal_number) {
    return sigaction(signal_number, nullptr, &w.actions[watched_index(signal_number)]) == 0;
  });
  for (int signal_number : kWatchedSignals) {
    const struct sigaction& before = w.given_back[watched_index(signal_number)];
    const bool python_handles = (handled_in_python.load() >> signal_number & 1u) != 0;
    if (!python_handles && !is_default_action(before)) sigaction(signal_number, &before, nullptr);
  }
}

bool same_handler(const struct sigaction& a, const struct sigaction& b) noexcept {
  const bool siginfo = (a.sa_flags & SA_SIGINFO) != 0;
  return siginfo == ((b.sa_flags & SA_SIGINFO) != 0) &&
         (siginfo ? a.sa_sigaction == b.sa_sigaction : a.sa_handler == b.sa_handler);
}

// Hands back the watched signals that still have the watcher's action, each the action it has
// without a watcher (given_back), after running `release` (which lets go of them in the event
// library, setting SIG_DFL); a signal that native code took over since (faulthandler.register)
// keeps its action, and no wrapped signal.signal() call puts the watcher's actions back afterwards.
// The actions replace the watcher's directly, so a signal never passes through SIG_DFL on the way.
// Returns 0, or the errno of the first action that could not be read or installed.
template <class Release>
int give_signals_back(Release&& release) {
  WatchActions& w = watch_actions();
  std::lock_guard guard(w.lock);
  w.in_force = false;
  struct sigaction current[std::size(kWatchedSignals)] = {};
  int error = 0;
  for (int signal_number : kWatchedSignals) {
    if (sigaction(signal_number, nullptr, &current[watched_index(signal_number)]) != 0 && error == 0) error = errno;
  }
  release();
  for (int signal_number : kWatchedSignals) {
    const int index = watched_index(signal_number);
    const struct sigaction& next = same_handler(current[index], w.actions[index]) ? w.given_back[index] : current[index];
    if (sigaction(signal_number, &next, nullptr) != 0 && error == 0) error = errno;
  }
  return error;
}

// signal.default_int_handler, the interpreter's own SIGINT handler; kept for good once wrapped.
PyObject* python_default_int_handler = nullptr;

// After Python code has set the handler of a signal to `handler` (interpreter lock held), or when
// the watcher starts: the action now in place is what the signal gets back when the watcher stops.
// A watched signal with a callable handler gets the watcher's action back, and its handler will
// run in place of KeyboardInterrupt. SIG_DFL and SIG_IGN set now leave the signal to the operating
// system. False, with OSError set, when an action cannot be read or put back.
bool follow_python_handler(long signal_number, PyObject* handler) noexcept {
  // signal.signal() replaced the wake-up handler: it goes back in front of what was set, which gets
  // the SIGURGs that are no wake-up.
  if (signal_number == kWakeSignal && wake_handler_installed) {
    if (const int error = install_wake_handler()) {
      errno = error;
      PyErr_SetFromErrno(PyExc_OSError);
      return false;
    }
    return true;
  }
  const int index = watched_index(signal_number);
  if (index < 0) return true;
  const bool callable = PyCallable_Check(handler) != 0;
  const std::uint32_t bit = std::uint32_t{1} << signal_number;
  if (callable) {
    handled_in_python.fetch_or(bit);
  } else {
    handled_in_python.fetch_and(~bit);
  }
  WatchActions& w = watch_actions();
  std::lock_guard guard(w.lock);
  struct sigaction& given_back = w.given_back[index];
  if (handler == python_default_int_handler) {
    given_back = {};
  } else if (sigaction(static_cast<int>(signal_number), nullptr, &given_back) != 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
  }
  if (callable && w.in_force && sigaction(static_cast<int>(signal_number), &w.actions[index], nullptr) != 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
  }
  return true;
}

// signal.signal as the interpreter has it; kept for good once wrapped.
PyObject* original_signal_function = nullptr;

// original_signal_function, then follow_python_handler. Both take their two arguments by
// position only.
PyObject* signal_and_watch(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* previous =
      PyObject_Vectorcall(original_signal_function, args, static_cast<std::size_t>(nargs), nullptr);
  if (previous == nullptr || nargs != 2) return previous;
  // The original took the number through int(), as this does: it is in range.
  PyObject* number = PyNumber_Long(args[0]);
  const long signal_number = number != nullptr ? PyLong_AsLong(number) : -1;
  Py_XDECREF(number);
  if (PyErr_Occurred() != nullptr) {
    Py_DECREF(previous);
    return nullptr;
  }
  if (!follow_python_handler(signal_number, args[1])) Py_CLEAR(previous);
  return previous;
}

PyMethodDef signal_and_watch_def = {
    "signal", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(signal_and_watch)), METH_FASTCALL,
    "signal($module, signalnum, handler, /)\n--\n\n"
    "Set the action for the given signal. A signal that orvel's watcher handles stays with it when\n"
    "the handler is a callable: the watcher releases every blocked queue, then the handler runs.\n"
    "The old signal handler is returned."};

// Records the watched signals that already have a handler of the user's and puts
// signal_and_watch in place of signal.signal, once (a start that failed later is retried).
// Interpreter lock held; on failure the Python exception is set.
bool wrap_signal_function() {
  if (original_signal_function != nullptr) return true;
  PyObject* module = PyImport_ImportModule("signal");
  if (module == nullptr) return false;
  if (python_default_int_handler == nullptr) {
    python_default_int_handler = PyObject_GetAttrString(module, "default_int_handler");
  }
  bool done = python_default_int_handler != nullptr;
  for (int signal_number : kWatchedSignals) {
    PyObject* handler = done ? PyObject_CallMethod(module, "getsignal", "i", signal_number) : nullptr;
    done = handler != nullptr && follow_python_handler(signal_number, handler);
    Py_XDECREF(handler);
  }
  bool wrapped = false;
  if (PyObject* original = done ? PyObject_GetAttrString(module, "signal") : nullptr) {
    PyObject* wrapper = PyCFunction_New(&signal_and_watch_def, module);
    wrapped = wrapper != nullptr && PyObject_SetAttrString(module, "signal", wrapper) == 0;
    Py_XDECREF(wrapper);
    if (wrapped) {
      original_signal_function = original;
    } else {
      Py_DECREF(original);
    }
  }
  Py_DECREF(module);
  return wrapped;
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

  // Gives the signals back without handling them: in a forked child, which has a copy of its
  // parent's watcher but not the thread that runs it. Its registrations go, so that the child's
  // own watcher can make its own.
  void abandon() {
    if (const int error = give_signals_back([this] { signals_.clear(); })) throw_system_error(error, "sigaction");
  }

 private:
  void handle_signal(const boost::system::error_code& error, int signal_number) {
    if (error) return;  // the wait was cancelled
    // A log sink may be stalled (a pipe nobody reads, a lock another thread holds), so the queues
    // are released, the signals handed back and the main thread interrupted before anything is
    // logged. The signals have their own actions back before the interrupt: a second signal acts
    // as if we had never been there. The event library keeps its registrations, whose actions are
    // gone; nobody waits on them any more. The messages lock is taken before the interrupt, on
    // which the interpreter may exit at once: its exit hook then waits for the messages.
    const std::size_t contexts = notify_contexts();
    const int given_back = give_signals_back([] {});
    std::unique_lock messages(messages_lock);
    if (!request_interrupt(signal_number)) {
      // The interpreter is exiting (or its main thread is gone): the signal takes the action it
      // has without us.
      messages.unlock();
      loop_.stop();
      if (kill(getpid(), signal_number) != 0) VIGIL_ERROR("[SIGNAL] Cannot raise signal %d\n", signal_number);
      return;
    }
    VIGIL_LOG("[SIGNAL] Received signal %d\n", signal_number);
    VIGIL_LOG("[SIGNAL] Stopping %zu contexts...\n", contexts);
    VIGIL_LOG("[SIGNAL] All contexts notified\n");
    if (given_back != 0) VIGIL_ERROR("[SIGNAL] Cannot restore the signals' actions: %s\n", std::strerror(given_back));
    messages.unlock();
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
  watch_actions_in_force();
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
    if (!wrap_signal_function()) throw std::runtime_error("signal.signal");  // the Python error is set
    if (const int error = install_wake_handler()) throw_system_error(error, "sigaction");
    watcher = launch(std::make_unique<Watcher>());
    watch_actions_in_force();
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
  if (!watch_wanted()) return;
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
  if (messages_lock.try_lock_for(kMessagesAtExit)) {
    messages_lock.unlock();
  } else {
    messages_abandoned.store(true);
  }
  if (previous == kWatching && watcher != nullptr) {
    if (const int error = give_signals_back([] {})) throw_system_error(error, "sigaction");
  }
}

bool interpreter_is_exiting() noexcept { return phase.load() == kExiting; }

void prepare_fork() noexcept {
  // Until the child has a watcher of its own, a signal sent to it waits instead of travelling
  // through the inherited pipe to the parent's watcher. The child inherits this thread's mask.
  sigset_t watched;
  sigemptyset(&watched);
  for (int signal_number : kWatchedSignals) sigaddset(&watched, signal_number);
  fork_blocked_signals = pthread_sigmask(SIG_BLOCK, &watched, &mask_before_fork) == 0;
  // The child must not inherit the locks held by a thread it will not have.
  registry().lock.lock();
  watch_actions().lock.lock();
}

void after_fork_in_parent() {
  watch_actions().lock.unlock();
  registry().lock.unlock();
  restore_mask_after_fork();
}

void after_fork_in_child() {
  watch_actions().lock.unlock();
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

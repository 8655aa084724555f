#include "orvel/tandem/signal_watcher.hpp"

#include <Python.h>

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <spdlog/logger.h>
#include <spdlog/sinks/sink.h>

#include "orvel/scribo/interpreter_lock.hpp"
#include "scribo/logger_registry.hpp"
#include "scribo/sink_control.hpp"

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

// A message for the default logger of the moment, with the statement's location in this module.
struct Message {
  std::shared_ptr<spdlog::logger> logger;
  spdlog::source_loc where;
  std::string text;
};

// None when the logger, or every one of its sinks, rejects the level: nothing is formatted then.
template <class... Args>
std::optional<Message> make_message(spdlog::level::level_enum level, int line, const char* function,
                                    const char* format, Args... args) noexcept {
  if (messages_abandoned.load()) return std::nullopt;  // the interpreter is finalising
  auto logger = scribo::LoggerRegistry::get_logger("", true);
  if (!logger) return std::nullopt;  // out of memory
  const auto& sinks = logger->sinks();
  if (!logger->should_log(level) ||
      std::none_of(sinks.begin(), sinks.end(), [level](const auto& sink) { return sink->should_log(level); })) {
    return std::nullopt;
  }
  Message message{std::move(logger), {"orvel/tandem/tandem", line, function}, {}};
  try {
    message.text = format_message(format, args...);
  } catch (const std::bad_alloc&) {
  }
  // The texts end with a newline, and so does every record a sink writes: one is enough.
  if (!message.text.empty() && message.text.back() == '\n') message.text.pop_back();
  return message;
}

// Logs keeping whatever the thread holds: on the watcher thread, which holds no interpreter lock.
template <class... Args>
void log_message(spdlog::level::level_enum level, int line, const char* function, const char* format,
                 Args... args) noexcept {
  const auto message = make_message(level, line, function, format, args...);
  // spdlog::logger::log hands a throwing sink to the logger's error handler; it does not throw.
  if (message) message->logger->log(message->where, level, message->text);
}

// Logs on a Python thread that holds the interpreter lock (building or dropping a queue): the
// sinks that may block are written without it, so that a stalled stream (a pipe nobody reads)
// holds up this thread alone. Not under a lock or once-flag of this module that another Python
// thread may wait for holding the interpreter lock. Once the interpreter exits the lock is kept:
// it may be finalising (the exit hook comes first, unless atexit's callbacks were cleared), and
// the exit hook bounds the wait for a stalled sink from then on.
template <class... Args>
void log_letting_go(spdlog::level::level_enum level, int line, const char* function, const char* format,
                    Args... args) noexcept {
  if (interpreter_is_exiting()) {
    return log_message(level, line, function, format, args...);
  }
  const auto message = make_message(level, line, function, format, args...);
  if (!message) return;
  try {
    // A failing sink is reported through the logger's error handler, as by log_message.
    dispatch::log_plain(*message->logger, level, message->text, message->where, &dispatch::kInterpreterLock,
                        dispatch::SinkFailures::report);
  } catch (abi::__forced_unwind&) {
    // The interpreter began to finalise meanwhile, and ends this thread as it takes the lock back
    // by unwinding it. The callers cannot pass that on (Tandem.__init__ would take it for a C++
    // exception, a destructor for a fault), so the thread stays out of the interpreter for the
    // rest of the process, holding no lock.
    for (;;) pause();
  } catch (...) {
    // A sink that threw something other than a std::exception loses the message for the sinks
    // after it; building or dropping the queue goes on.
  }
}

#define VIGIL_LOG(...) \
  log_message(spdlog::level::info, __LINE__, static_cast<const char*>(__FUNCTION__), __VA_ARGS__)
#define VIGIL_ERROR(...) \
  log_message(spdlog::level::err, __LINE__, static_cast<const char*>(__FUNCTION__), __VA_ARGS__)
// On a Python thread holding the interpreter lock.
#define VIGIL_PYTHON_LOG(...) \
  log_letting_go(spdlog::level::info, __LINE__, static_cast<const char*>(__FUNCTION__), __VA_ARGS__)
#define VIGIL_PYTHON_WARN(...) \
  log_letting_go(spdlog::level::warn, __LINE__, static_cast<const char*>(__FUNCTION__), __VA_ARGS__)

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
  std::optional<std::string> unrecognised;  // escaped, for the warning
  static const bool wanted = [&unrecognised] {
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
    if (!is_one_of({"", "1", "true", "yes", "on"})) unrecognised = escaped(setting);
    return true;
  }();
  // Warned once the static is set (another thread may wait for it holding the interpreter lock),
  // from the routine that read the setting.
  if (unrecognised) {
    [&unrecognised] {
      VIGIL_PYTHON_WARN("[SIGNAL] ORVEL_SIGNAL_WATCH='%s' is neither on nor off: watching\n", unrecognised->c_str());
    }();
  }
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
// main thread moves kInterrupting to kInterrupted, so that one signal gives exactly one
// interrupt; the exit hook moves any phase to kExiting, after which nothing touches the
// interpreter.
enum Phase : int { kWatching, kInterrupting, kInterrupted, kExiting };
std::atomic<int> phase{kWatching};
static_assert(std::atomic<int>::is_always_lock_free, "used by a signal handler");

// The signal that the main thread is to act on. Stored before claim_interrupt's compare-exchange
// of `phase`, loaded after interrupt_main_thread's, which reads what that one wrote.
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

// The watcher thread's channel, a pipe. The watched signals' handler writes into it the number of
// every signal that comes while the watcher collects them; kNote makes the watcher look at its
// state again (the main thread has woken, or has taken the interrupt, or the interpreter exits).
// Both ends stay open for the life of the process, since a handler may write at any moment; a
// forked child closes the copies that lead to its parent's watcher.
constexpr unsigned char kNote = 0;  // no signal has the number 0
std::atomic<int> channel_out{-1};   // read by the watcher thread, and drained by stop_collecting
std::atomic<int> channel_in{-1};

// Async-signal-safe. A full pipe has enough in it to wake the watcher already.
void send_note() noexcept {
  const int saved_errno = errno;
  if (const int in = channel_in.load(); in >= 0) {
    [[maybe_unused]] const auto written = write(in, &kNote, 1);
  }
  errno = saved_errno;
}

// Runs the handler that `action` names, as the kernel would; false for SIG_DFL and SIG_IGN, which
// name none. Async-signal-safe.
bool run_handler(const struct sigaction& action, int signal_number, siginfo_t* info, void* context) noexcept {
  if ((action.sa_flags & SA_SIGINFO) != 0) {
    action.sa_sigaction(signal_number, info, context);
    return true;
  }
  if (action.sa_handler == SIG_DFL || action.sa_handler == SIG_IGN) return false;
  action.sa_handler(signal_number);
  return true;
}

// The SIGURG action that ours replaced, at the start or since through signal.signal(); SIGURGs
// that are no wake-up go on to it.
struct sigaction chained_wake_action;

// Makes the interpreter act on the interrupt, once: on the main thread, from the wake-up handler
// or from the pending call that follows it (see handle_signal), whichever comes first.
// Async-signal-safe.
bool interrupt_main_thread() noexcept {
  int expected = kInterrupting;
  if (!phase.compare_exchange_strong(expected, kInterrupted)) return false;
  PyErr_SetInterruptEx(python_signal_for(interrupting_signal.load()));  // async-signal-safe
  send_note();  // the watcher waits for the main thread to wake before it hands the signals back
  return true;
}

// Set by the watcher before each SIGURG it sends the main thread, cleared by the wake-up handler
// when one arrives: that SIGURG is no one else's. (One of the user's that the kernel merges
// with ours is merged for good, as two of the user's would be.)
std::atomic<bool> wake_sent{false};
static_assert(std::atomic<bool>::is_always_lock_free, "used by a signal handler");

void on_wake(int signal_number, siginfo_t* info, void* context) {
  if (syscall(SYS_gettid) == main_thread_id() && wake_sent.exchange(false)) {
    interrupt_main_thread();
    return;
  }
  run_handler(chained_wake_action, signal_number, info, context);
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

// The interrupt for `signal_number`, once per process; false when the interpreter is exiting: then
// it must be left alone.
bool claim_interrupt(int signal_number) noexcept {
  interrupting_signal.store(signal_number);  // published by the compare-exchange below
  int expected = kWatching;
  return phase.compare_exchange_strong(expected, kInterrupting);
}

// False when the main thread is gone.
bool wake_main_thread() noexcept {
  wake_sent.store(true);
  return syscall(SYS_tgkill, getpid(), main_thread_id(), kWakeSignal) == 0;
}

// The watched signals' actions. Python's signal.signal() replaces the action as well as the
// Python-level handler; its wrapper (follow_python_handler) puts the watcher's back, so that the
// queues are still released first. The lock orders that against the watcher giving the signals
// back.
struct WatchActions {
  std::mutex lock;
  // Whether the watcher holds the signals it took (from its start until it hands them back).
  bool in_force = false;
  // What each signal has when no watcher holds it, and gets back when the watcher stops: the
  // action in place when Python code last set its handler (or when the watcher started), so a
  // handler of the user's, SIG_IGN or a C-level handler; SIG_DFL for Python's own SIGINT handler,
  // so that a second Ctrl-C ends the process. Also read by the watched signals' handler.
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

// Whether the watched signals' handler writes into the channel: from the watcher's start until it
// acts on its first signal, or the interpreter exits; and only in the process that started it (a
// child forked without the fork hooks, from native code, shares its parent's channel).
std::atomic<bool> collecting{false};
std::atomic<pid_t> collecting_process{0};
// Handlers between their look at `collecting` and the end of their write: stop_collecting waits
// for them, so that a signal is either in the channel when it drains it or acted on without it.
std::atomic<int> writers{0};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<pid_t>::is_always_lock_free,
              "used by a signal handler");

// A watched signal as if the watcher had never been there: the handler it has without the
// watcher runs, or its default action is taken (the signal raised again with SIG_DFL in place and
// the signal unblocked, which ends the process, or stops it until SIGCONT). Async-signal-safe.
void act_without_watcher(int signal_number, siginfo_t* info, void* context) noexcept {
  const struct sigaction& own = watch_actions().given_back[watched_index(signal_number)];
  if (run_handler(own, signal_number, info, context) || own.sa_handler == SIG_IGN) return;
  struct sigaction default_action {}, replaced {};
  sigaction(signal_number, &default_action, &replaced);
  sigset_t only, mask;
  sigemptyset(&only);
  sigaddset(&only, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &only, &mask);
  raise(signal_number);
  pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  sigaction(signal_number, &replaced, nullptr);
}

// The watched signals' handler while the watcher holds them. It runs again for a signal that a
// handler set in front of it since passes on (faulthandler.register(..., chain=True)), and may be
// under way as the watcher hands the signals back: after the watcher has acted, it acts as if
// the watcher had never been there.
void on_watched_signal(int signal_number, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  writers.fetch_add(1);
  if (collecting.load() && getpid() == collecting_process.load()) {
    // A full pipe drops the signal, as the kernel merges a signal into one already pending.
    const auto number = static_cast<unsigned char>(signal_number);
    [[maybe_unused]] const auto written = write(channel_in.load(), &number, 1);
    writers.fetch_sub(1);
  } else {
    writers.fetch_sub(1);
    act_without_watcher(signal_number, info, context);
  }
  errno = saved_errno;
}

struct sigaction watcher_action() noexcept {
  struct sigaction action {};
  action.sa_sigaction = on_watched_signal;
  action.sa_flags = SA_SIGINFO;  // and no SA_RESTART, like the interpreter's own handlers
  return action;
}

bool same_handler(const struct sigaction& a, const struct sigaction& b) noexcept {
  const bool siginfo = (a.sa_flags & SA_SIGINFO) != 0;
  return siginfo == ((b.sa_flags & SA_SIGINFO) != 0) &&
         (siginfo ? a.sa_sigaction == b.sa_sigaction : a.sa_handler == b.sa_handler);
}

// Puts the watcher's action in place for the signals it takes: those with the default action or
// a Python handler. A signal that is ignored or has a C-level handler (faulthandler's, a native
// library's) while Python has no handler for it is left as it is: nohup's SIGHUP stays ignored.
// Returns 0, or the errno of the first action that could not be installed.
int take_watched_signals() noexcept {
  WatchActions& w = watch_actions();
  std::lock_guard guard(w.lock);
  const struct sigaction watching = watcher_action();
  int error = 0;
  for (int signal_number : kWatchedSignals) {
    const bool python_handles = (handled_in_python.load() >> signal_number & 1u) != 0;
    if ((python_handles || is_default_action(w.given_back[watched_index(signal_number)])) &&
        sigaction(signal_number, &watching, nullptr) != 0 && error == 0) {
      error = errno;
    }
  }
  w.in_force = true;
  return error;
}

// Hands back the watched signals that still have the watcher's action, each the action it has
// without a watcher (given_back); a signal that native code took over since (faulthandler.register)
// keeps its action, and no wrapped signal.signal() call puts the watcher's action back afterwards.
// The actions replace the watcher's directly, so a signal never passes through SIG_DFL on the way.
// Returns 0, or the errno of the first action that could not be read or installed.
int give_signals_back() noexcept {
  WatchActions& w = watch_actions();
  std::lock_guard guard(w.lock);
  w.in_force = false;
  const struct sigaction watching = watcher_action();
  int error = 0;
  for (int signal_number : kWatchedSignals) {
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) != 0) {
      if (error == 0) error = errno;
    } else if (same_handler(current, watching) &&
               sigaction(signal_number, &w.given_back[watched_index(signal_number)], nullptr) != 0 && error == 0) {
      error = errno;
    }
  }
  return error;
}

// The signals that came after the first one the watcher acts on, and before it handed the signals
// back, in the order they came: each then takes the action it has without the watcher, once the
// main thread has taken the first (or has failed to in time).
struct Forwarded {
  std::mutex lock;
  std::deque<int> signals;
};
Forwarded& forwarded() {
  static Forwarded* const instance = new Forwarded;  // never destroyed, as the registry
  return *instance;
}

void forward_later(int signal_number) noexcept {
  Forwarded& f = forwarded();
  std::lock_guard guard(f.lock);
  try {
    f.signals.push_back(signal_number);
  } catch (const std::bad_alloc&) {
    // Dropped, as when the channel is full.
  }
}

// The oldest forwarded signal, taken off the list; 0 when there is none.
int next_forwarded() noexcept {
  Forwarded& f = forwarded();
  std::lock_guard guard(f.lock);
  if (f.signals.empty()) return 0;
  const int signal_number = f.signals.front();
  f.signals.pop_front();
  return signal_number;
}

// Stops the watched signals' handler writing into the channel, then forwards the signals that the
// channel still holds. Every handler under way has written by then, or acts without the watcher.
void stop_collecting() noexcept {
  collecting.store(false);
  // A writer is one write() away from done: this waits for a system call, never for a lock.
  while (writers.load() != 0) std::this_thread::yield();
  const int out = channel_out.load();
  if (out < 0) return;
  unsigned char bytes[64];
  ssize_t count;
  while ((count = read(out, bytes, sizeof bytes)) > 0 || (count < 0 && errno == EINTR)) {
    for (ssize_t i = 0; i < count; ++i) {
      if (bytes[i] != kNote) forward_later(bytes[i]);
    }
  }
}

// Sends `signal_number` to the process again, for the action it has now that the watcher is out of
// its way.
void raise_again(int signal_number) noexcept {
  if (kill(getpid(), signal_number) != 0) VIGIL_ERROR("[SIGNAL] Cannot raise signal %d\n", signal_number);
}

// Raises the forwarded signals again, in order. On the main thread (`run_handlers`) the Python
// handler that each one trips runs before the next is raised: the interpreter runs the handlers of
// signals tripped together in the order of their numbers, not of their coming. -1, with the
// exception set, when a handler raised one; the signals after it are raised all the same.
int forward_signals(bool run_handlers) noexcept {
  int result = 0;
  while (const int signal_number = next_forwarded()) {
    raise_again(signal_number);
    if (run_handlers && result == 0 && PyErr_CheckSignals() != 0) result = -1;
  }
  return result;
}

using Clock = std::chrono::steady_clock;

// Set by the watcher once it has handed the signals back and forwarded what its channel held,
// which it does after the main thread has woken (or failed to in time).
std::atomic<bool> signals_handed_back{false};
// Until when the main thread may take the interrupt (Clock ticks), set before it is interrupted.
std::atomic<Clock::rep> interrupt_deadline{0};
// Set by the main thread once it has run what the interrupt tripped.
std::atomic<bool> interrupt_taken{false};

// Run by the interpreter on the main thread as a pending call, which it makes only after the signal
// handlers that are due: the interrupt is taken, and the forwarded signals follow it. The call is
// queued before the wake-up is sent (see schedule_interrupt_taken), so it comes first when
// something else breaks into the evaluation loop meanwhile, or when the main thread blocks SIGURG:
// it then interrupts the main thread itself.
int on_interrupt_taken(void* /*unused*/) noexcept {
  interrupt_main_thread();
  if (!signals_handed_back.load()) {
    // The watcher hands them back once the main thread is interrupted: microseconds.
    Py_BEGIN_ALLOW_THREADS
    while (!signals_handed_back.load() && phase.load() != kExiting &&
           Clock::now().time_since_epoch().count() < interrupt_deadline.load()) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    Py_END_ALLOW_THREADS
  }
  if (!signals_handed_back.load()) return 0;  // exiting, or the watcher no longer waits for us
  const int result = PyErr_CheckSignals();     // the interrupt's own handler, if it is still due
  interrupt_taken.store(true);
  send_note();
  return forward_signals(result == 0) == 0 ? result : -1;
}

// Orders the watcher's calls into the interpreter against the exit hook: once the phase is
// kExiting, the interpreter may be finalised at any moment.
std::mutex interpreter_access;

// Queues on_interrupt_taken; false when the interpreter is exiting or its queue of pending calls
// is full. Made by a thread other than the main one, the call recomputes the interpreter's eval
// breaker without the main thread's signals and pending calls: it must come after the interrupt
// is claimed and before the wake-up, whose interrupt, made on the main thread, recomputes it
// with both.
bool schedule_interrupt_taken(Clock::time_point deadline) noexcept {
  interrupt_deadline.store(deadline.time_since_epoch().count());
  std::lock_guard guard(interpreter_access);
  return phase.load() != kExiting && Py_AddPendingCall(on_interrupt_taken, nullptr) == 0;
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
  const struct sigaction watching = watcher_action();
  if (callable && w.in_force && sigaction(static_cast<int>(signal_number), &watching, nullptr) != 0) {
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

// How long the main thread has to take the interrupt: to get from wherever it was to the
// interpreter's next check between bytecodes. One that has not by then is stuck in native code (a
// deadlock, a wait that retries through EINTR) and would never act on the signal, so the signal
// takes the action it has without the watcher, as a second one would: a single SIGTERM still ends
// such a process, and a process manager's own stop timeout is left for what it is meant for.
// Taking the interrupt took 0.3 ms on an idle machine and up to 1.1 s beside a compiler on both
// cores; 5 s is well clear of that, and half the 10 s that container runtimes commonly wait after
// SIGTERM before they send SIGKILL.
constexpr std::chrono::seconds kInterruptTakenWithin{5};

// The next byte from the channel: a signal number or kNote; -1 once `deadline` has passed, or when
// the channel cannot be waited on.
int read_channel(int out, std::optional<Clock::time_point> deadline) noexcept {
  for (;;) {
    int timeout = -1;
    if (deadline) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
      if (left <= 0) return -1;
      timeout = static_cast<int>(std::min<decltype(left)>(left, INT_MAX));
    }
    pollfd ready{out, POLLIN, 0};
    if (poll(&ready, 1, timeout) < 0 && errno != EINTR) return -1;
    unsigned char byte;
    const ssize_t got = read(out, &byte, 1);
    if (got == 1) return byte;
    // Nothing yet: a timeout, EINTR, or an exit hook that drained the channel first.
    if (got == 0 || (errno != EAGAIN && errno != EINTR)) return -1;
  }
}

// Reads the channel until `done()` holds or `deadline` passes; whether `done()` holds. Signals read
// meanwhile are forwarded.
template <class Done>
bool wait_until(int out, Clock::time_point deadline, Done&& done) {
  while (!done()) {
    const int byte = read_channel(out, deadline);
    if (byte < 0) return done();
    if (byte != kNote) forward_later(byte);
  }
  return true;
}

// The first wake-up is lost when it lands between the interpreter's last look at its signals and
// a blocking call (time.sleep() right after the check, native code that computes and then waits):
// the call sleeps on with the interrupt due. So the main thread is woken again, less and less
// often, until it has taken the interrupt (or the interpreter exits) or `deadline` passes; whether
// it has. Each wake-up makes a blocking call of the main thread fail with EINTR, which Python's
// own calls retry once they have looked at the signals.
bool wait_until_taken(int out, Clock::time_point deadline) {
  constexpr auto kFirstPause = std::chrono::milliseconds(10), kLongestPause = std::chrono::milliseconds(500);
  const auto taken = [] { return interrupt_taken.load() || phase.load() == kExiting; };
  for (auto pause = kFirstPause;; pause = std::min(2 * pause, kLongestPause)) {
    if (wait_until(out, std::min(deadline, Clock::now() + pause), taken)) return true;
    if (Clock::now() >= deadline) return false;
    wake_main_thread();
  }
}

// The first watched signal: releases the queues, interrupts the main thread and hands the signals
// back. A log sink may be stalled (a pipe nobody reads, a lock another thread holds), so nothing
// is logged before all that. The messages lock is taken before the interrupt, on which the
// interpreter may exit at once: its exit hook then waits for the messages.
void handle_signal(int out, int signal_number) {
  const auto deadline = Clock::now() + kInterruptTakenWithin;
  const std::size_t contexts = notify_contexts();
  scribo::stop_waiting();  // a thread held up by a stalled sink gives up on it within a second
  std::unique_lock messages(messages_lock);
  // Without the pending call nothing tells whether the main thread took the interrupt: it is
  // then given all the time it needs.
  const bool claimed = claim_interrupt(signal_number);
  const bool scheduled = claimed && schedule_interrupt_taken(deadline);
  const bool interrupting = claimed && wake_main_thread();
  // Signals that come before the main thread is awake go on into the channel, to follow the
  // interrupt once it is taken. Any later one has the action it has without us: its handler runs
  // after the interrupt's, as it would have had it come after the first one without us.
  if (interrupting) wait_until(out, deadline, [] { return phase.load() != kInterrupting; });
  const int given_back = give_signals_back();
  stop_collecting();
  signals_handed_back.store(true);
  if (!interrupting) {
    // The interpreter is exiting (or its main thread is gone): the signal takes the action it has
    // without us.
    messages.unlock();
    raise_again(signal_number);
    forward_signals(false);
    return;
  }
  VIGIL_LOG("[SIGNAL] Received signal %d\n", signal_number);
  VIGIL_LOG("[SIGNAL] Stopping %zu contexts...\n", contexts);
  VIGIL_LOG("[SIGNAL] All contexts notified\n");
  if (given_back != 0) VIGIL_ERROR("[SIGNAL] Cannot restore the signals' actions: %s\n", std::strerror(given_back));
  messages.unlock();
  // An exit counts as taken: the exit hook forwards what is left.
  const auto exiting = [] { return phase.load() == kExiting; };
  const bool taken = !scheduled || wait_until_taken(out, deadline);
  if (!taken) raise_again(signal_number);
  // Once taken, the main thread forwards them, each after the handler of the one before.
  if (!taken || exiting()) forward_signals(false);
}

// The watcher thread's body: handles the first watched signal, then ends.
void watch(int out) noexcept {
  int first;
  do {
    first = read_channel(out, std::nullopt);
  } while (first == kNote);
  if (first > 0) {
    handle_signal(out, first);
    return;
  }
  // The channel cannot be waited on: the signals are better off without the watcher.
  const int error = errno;
  give_signals_back();
  stop_collecting();
  forward_signals(false);
  VIGIL_ERROR("[SIGNAL] Cannot wait for signals: %s\n", std::strerror(error));
}

// Only while nothing may write into the channel: the watcher's action is not in place, or this is a
// forked child that has not unblocked the signals yet.
void close_channel() noexcept {
  if (const int out = channel_out.exchange(-1); out >= 0) close(out);
  if (const int in = channel_in.exchange(-1); in >= 0) close(in);
}

// Whether this process has a watcher (in a forked child: its parent had, until it gets its own).
// Used with the interpreter lock held.
bool watcher_running = false;

// Opens the channel, puts the watcher's action in place and starts the watcher thread, detached.
// On a throw the signals have their own actions, and nothing is left open.
void start_watcher() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) throw_system_error(errno, "pipe2");
  channel_out.store(ends[0]);
  channel_in.store(ends[1]);
  collecting_process.store(getpid());
  collecting.store(true);
  const auto undo = [] {
    give_signals_back();
    stop_collecting();
    forward_signals(false);  // signals that came meanwhile
    close_channel();
  };
  if (const int error = take_watched_signals()) {
    undo();
    throw_system_error(error, "sigaction");
  }
  try {
    std::thread(watch, ends[0]).detach();
  } catch (...) {
    undo();
    throw;
  }
  watcher_running = true;
}

// A forked child has its parent's watcher without the thread that runs it, and the parent's
// channel, which leads to that thread. It gets a watcher of its own if its parent's was still
// watching; otherwise the signals have their own actions back.
void replace_parent_watcher() {
  if (!watcher_running) return;
  watcher_running = false;
  close_channel();
  forwarded().signals.clear();  // the parent's; nobody else runs in the child yet
  if (phase.load() == kWatching && watch_actions().in_force) {
    start_watcher();
    return;
  }
  collecting.store(false);
  if (const int error = give_signals_back()) throw_system_error(error, "sigaction");
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
  bool started = false;
  std::call_once(watcher_started, [&started] {
    if (!wrap_signal_function()) throw std::runtime_error("signal.signal");  // the Python error is set
    if (const int error = install_wake_handler()) throw_system_error(error, "sigaction");
    start_watcher();
    started = true;
  });
  // Logged once the flag is set (another thread may wait for it holding the interpreter lock),
  // from the start-up routine.
  if (started) {
    [] { VIGIL_PYTHON_LOG("[SIGNAL] Handler initialized\n"); }();
  }
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
  VIGIL_PYTHON_LOG("[SIGNAL] Registered context %p (total: %zu)\n", context, total);
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
  VIGIL_PYTHON_LOG("[SIGNAL] Unregistered context %p (remaining: %zu)\n", context, remaining);
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
  int previous;
  {
    std::lock_guard guard(interpreter_access);
    previous = phase.exchange(kExiting);
  }
  // From now on the messages of Python threads are written keeping the interpreter lock, which
  // a stalled sink must not hold for ever.
  scribo::stop_waiting();
  send_note();  // a watcher waiting for the main thread waits no longer
  if (messages_lock.try_lock_for(kMessagesAtExit)) {
    messages_lock.unlock();
  } else {
    messages_abandoned.store(true);
  }
  int error = 0;
  if (previous == kWatching && watcher_running) {
    error = give_signals_back();
    stop_collecting();
  }
  forward_signals(false);  // the main thread takes no interrupt any more
  if (error != 0) throw_system_error(error, "sigaction");
}

bool interpreter_is_exiting() noexcept {
  if (phase.load() == kExiting) return true;
#if PY_VERSION_HEX < 0x030D0000  // public from 3.13 on
  return _Py_IsFinalizing() != 0;
#else
  return Py_IsFinalizing() != 0;
#endif
}

void prepare_fork() noexcept {
  // Until the child has a watcher of its own, a signal sent to it waits instead of travelling
  // through the inherited channel to the parent's watcher. The child inherits this thread's mask.
  sigset_t watched;
  sigemptyset(&watched);
  for (int signal_number : kWatchedSignals) sigaddset(&watched, signal_number);
  fork_blocked_signals = pthread_sigmask(SIG_BLOCK, &watched, &mask_before_fork) == 0;
  // The child must not inherit the locks held by a thread it will not have.
  registry().lock.lock();
  watch_actions().lock.lock();
  forwarded().lock.lock();
  interpreter_access.lock();
}

void after_fork_in_parent() {
  interpreter_access.unlock();
  forwarded().lock.unlock();
  watch_actions().lock.unlock();
  registry().lock.unlock();
  restore_mask_after_fork();
}

void after_fork_in_child() {
  interpreter_access.unlock();
  forwarded().lock.unlock();
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

#pragma once

// The process-wide signal watcher. Queue operations sleep without the interpreter lock, so an
// interrupt would never reach a thread blocked in a queue. The first queue starts a watcher
// thread; the first SIGINT, SIGTERM, SIGHUP, SIGTSTP or SIGQUIT then releases every registered
// queue, stops the watcher (each signal gets back the action it has without a watcher: the
// default action, or the handler or SIG_IGN the process set) and makes the main thread run the
// Python handler the user set for that signal, or else raise KeyboardInterrupt. A watched signal
// that comes before the main thread has taken that interrupt takes its own action after it, in
// the order the signals came; a main thread that has not taken it within 5 seconds is stuck in
// native code, and the first signal then takes its own action too. A signal that is ignored, or
// has a C-level handler, when the watcher starts stays so.
// The main thread is woken with SIGURG, whose handler the watcher installs for good (see
// signal_watcher.cpp). signal.signal is wrapped so that a Python handler set later keeps the
// watcher in front of it. ORVEL_SIGNAL_WATCH=0 (or false, no, off) in the environment turns all
// of this off.

namespace orvel::vigil {

// Called by the watcher, under the registry lock, for every registered context. It must not
// register, unregister or clear (that would deadlock).
using NotifyCallback = void (*)(void* context);

// Starts the watcher on the first call of the process; later calls do nothing. Interpreter lock
// held. Throws std::system_error when the signals cannot be watched or the thread cannot start,
// std::runtime_error with the Python exception set when signal.signal cannot be wrapped; a later
// call then tries again.
void init_vigil();

// Appends an entry to the registry (no check for duplicates). Interpreter lock held; its message
// is written without it where a sink may block, so messages of two threads may come in either
// order (each carries its count).
void register_context_notify(void* context, NotifyCallback callback);
// Removes the first entry of `context`; false when there is none. Interpreter lock held, and let
// go of as by register_context_notify.
bool unregister_context_notify(void* context) noexcept;
// Removes every entry.
void clear_context_registry() noexcept;

// A queue's membership: counts it among the live queues, starts the watcher and registers the
// queue; nothing when ORVEL_SIGNAL_WATCH is off. Interpreter lock held. Strong guarantee: on a throw
// nothing is counted or registered (a Python exception may be set: Cython passes it on).
void enrol_queue(void* core, NotifyCallback notify);
// Undoes enrol_queue; does nothing for a queue that is not registered (its initialisation failed
// or never ran). When the last live queue goes, the whole registry is cleared.
void withdraw_queue(void* core) noexcept;

// The interpreter's life around the watcher, each called on a thread holding the interpreter lock.
// At exit, before finalisation: from then on nothing touches the interpreter and the watched
// signals have their own actions back; those that were waiting for the main thread take them now.
// Throws std::system_error when they cannot be restored.
void interpreter_exiting();
// Whether interpreter_exiting() has run, or the interpreter finalises without it (atexit's
// callbacks cleared): then a thread that takes the interpreter lock back, other than the one that
// finalises, is ended by it. From any thread.
bool interpreter_is_exiting() noexcept;
// Around fork(): the child gets a watcher of its own when the parent's was running. The child's
// hook throws std::system_error when it cannot start one; the watched signals then have their own
// actions back in the child. Both hooks throw std::system_error when the forking thread's signal
// mask cannot be restored.
void prepare_fork() noexcept;
void after_fork_in_parent();
void after_fork_in_child();

}  // namespace orvel::vigil

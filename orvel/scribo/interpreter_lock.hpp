#pragma once

// The interpreter lock as the dispatch lets go of it while sinks that may block are written
// (a pipe nobody reads): the thread that logs stalls, the others run. For code that includes
// Python.h first and calls the dispatch holding the lock.

#include <Python.h>

#include "orvel/scribo/dispatch.hpp"

namespace orvel::dispatch {

inline void* release_interpreter() { return PyEval_SaveThread(); }

// While the interpreter finalises, it ends any thread but its own that takes the lock back, by
// unwinding it: what calls the dispatch must let the unwinding pass (abi::__forced_unwind).
inline void retake_interpreter(void* state) { PyEval_RestoreThread(static_cast<PyThreadState*>(state)); }

inline constexpr Unlocking kInterpreterLock{release_interpreter, retake_interpreter};

}  // namespace orvel::dispatch

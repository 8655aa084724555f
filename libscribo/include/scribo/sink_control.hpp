#pragma once

#include <chrono>

#include <spdlog/details/log_msg.h>
#include <spdlog/sinks/sink.h>

#include "scribo/export.hpp"

namespace scribo {

// Process-wide control of the sinks that LoggerFactory builds: the console sinks (which write
// each record straight to the stream) and the file sinks (which buffer whole lines, one buffer
// per file in the process).
//
// A file sink's buffer is written out when it fills, when a message at err or above is logged,
// on flush(), at most kFlushInterval after the first line that went into it, before fork() (so
// that parent and child never both write the same lines), and when the process ends through
// exit() or through flush_files(). A process killed by a signal loses at most the lines of the
// last kFlushInterval.

// Time between a line going into an empty buffer and the buffer being written by the flushing
// thread of the process.
inline constexpr std::chrono::milliseconds kFlushInterval{1000};

// How long a write to a stalled sink (a pipe nobody reads) is waited for once stop_waiting() has
// been called, or by flush_files() and a file sink being closed; what cannot be written by then is
// dropped.
inline constexpr std::chrono::milliseconds kStalledSinkPatience{1000};

// From now on, every write to a stalled sink and every wait for a sink that another thread is
// writing to gives up after kStalledSinkPatience: the process is being interrupted or is ending,
// and its logging must not keep it alive. Until then a stalled sink holds up the threads that
// write to it, and only them, for as long as it stalls. Async-signal-safe; never undone.
SCRIBO_API void stop_waiting() noexcept;

// Writes out what every file sink of the process buffers, waiting at most kStalledSinkPatience for
// each file. False when some file could not be written whole.
SCRIBO_API bool flush_files() noexcept;

// Gives `msg` to `sink` if that cannot block: `sink` is a file sink whose lock is free and whose
// buffer has room for the record. False, with nothing written, otherwise (for every other sink):
// the caller then logs it as usual, having let go of what others may need meanwhile.
SCRIBO_API bool log_without_blocking(spdlog::sinks::sink& sink, const spdlog::details::log_msg& msg);

}  // namespace scribo

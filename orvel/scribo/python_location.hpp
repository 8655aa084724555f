#pragma once

// The dispatch as the Python front end uses it: messages are Python str objects, located at
// Python call sites. Every function here is called with the interpreter lock held.

#include "orvel/scribo/dispatch.hpp"

typedef struct _object PyObject;  // as Python.h declares it

namespace orvel::dispatch {

// The Python code that called the level method: the innermost running Python frame, since the
// level methods are native and push no frame of their own (nor does native code that calls them
// through the method tables). The strings belong to the frame's code object, alive while that
// frame runs; names and lines are worked out once per code object and call site and kept with the
// code object. File and function names that UTF-8 cannot carry (a file name os.fsdecode() gave
// for bytes that are not UTF-8) are written with backslash escapes. Takes the interpreter lock if
// the calling thread does not hold it.
spdlog::source_loc python_caller_location();

// Where the standard logging package is: the directory its module `package` was imported from.
// Called once, when the front end is imported.
void locate_logging_package(PyObject* package);

// The entry points below return 0, or -1 with the Python exception set for what failed (a sink's
// exception as Cython would translate it, a scribo::FileError as the OSError its errno names).
// They write the sinks without the interpreter lock, so that a stalled sink (a pipe nobody reads)
// holds up only the thread that logs; the caller keeps `msg` and `record` alive meanwhile.

// The level methods. `msg` is a str (or a subclass); it is written whole, NULs included, with
// lone surrogates, which UTF-8 cannot carry, as backslash escapes (as the standard logging
// package's stream handlers write them), so that no text makes a log call fail. A message the
// logger's level rejects is not converted.
int log_colored(spdlog::logger& logger, level lvl, PyObject* msg, int fg, int bg, int effect);

// DefaultLogger and the bridge write to whichever logger is the default at the time of the call.
int log_colored_to_default(level lvl, PyObject* msg, int fg, int bg, int effect);
// A record of the standard logging package is located where the record says it was logged, as
// the package found it (so honouring stacklevel, and from a thread that handles records made on
// another); one that names no place, or a line of the package itself (a file in the directory
// the package was imported from), at the innermost frame outside the package, or nowhere
// ("<unknown>") when there is none. The pattern flag %N gives the record's logger name.
int log_record_to_default(level lvl, PyObject* msg, PyObject* record);

// logger.flush(), without the interpreter lock.
int flush(spdlog::logger& logger);

}  // namespace orvel::dispatch

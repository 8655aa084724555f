#pragma once

#include <Python.h>

namespace orvel::portage {

// Reports the exception `error` through the interpreter's unraisable-exception hook, as raised in
// the routine named `where`. Not noexcept: the hook runs Python code, which the interpreter may
// end on a worker thread at exit (worker.hpp).
inline void report_unraisable(PyObject* error, const char* where) {
  PyObject* name = PyUnicode_FromString(where);
  PyErr_SetRaisedException(Py_NewRef(error));
  PyErr_WriteUnraisable(name != nullptr ? name : Py_None);
  Py_XDECREF(name);
}

}  // namespace orvel::portage

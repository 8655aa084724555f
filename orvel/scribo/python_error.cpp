#include <Python.h>  // first, as Python requires

#include "orvel/scribo/python_error.hpp"

#include <cerrno>
#include <ios>
#include <new>
#include <stdexcept>
#include <typeinfo>

#include "scribo/logger_factory.hpp"

namespace orvel::binding {
namespace {

void raise_os_error(const scribo::FileError& error) {
  const auto& name = error.filename();
  PyObject* filename = PyUnicode_DecodeFSDefaultAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  PyErr_Clear();  // a name that does not decode is left out
  errno = error.code().value();
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
  Py_XDECREF(filename);
}

}  // namespace

void raise_current_exception() {
  try {
    if (PyErr_Occurred() != nullptr) return;  // PythonErrorSet, or an error a callee left set
    throw;
  } catch (const scribo::FileError& error) {
    raise_os_error(error);
  } catch (const std::bad_alloc& error) {
    PyErr_SetString(PyExc_MemoryError, error.what());
  } catch (const std::bad_cast& error) {
    PyErr_SetString(PyExc_TypeError, error.what());
  } catch (const std::bad_typeid& error) {
    PyErr_SetString(PyExc_TypeError, error.what());
  } catch (const std::domain_error& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
  } catch (const std::invalid_argument& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
  } catch (const std::ios_base::failure& error) {
    PyErr_SetString(PyExc_OSError, error.what());
  } catch (const std::out_of_range& error) {
    PyErr_SetString(PyExc_IndexError, error.what());
  } catch (const std::overflow_error& error) {
    PyErr_SetString(PyExc_OverflowError, error.what());
  } catch (const std::range_error& error) {
    PyErr_SetString(PyExc_ArithmeticError, error.what());
  } catch (const std::underflow_error& error) {
    PyErr_SetString(PyExc_ArithmeticError, error.what());
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "Unknown exception");
  }
}

}  // namespace orvel::binding

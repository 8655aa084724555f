#include "orvel/utils/portage/conversions.hpp"

#include <cstring>

namespace orvel::portage {
namespace {

int refuse(PyObject* message, const char* expected, const char** data) noexcept {
  *data = nullptr;
  PyErr_Format(PyExc_TypeError, "expected %s, got %.200s", expected, Py_TYPE(message)->tp_name);
  return -1;
}

}  // namespace

int bytes_contents(PyObject* message, const char** data, std::size_t* size) noexcept {
  if (!PyBytes_Check(message)) return refuse(message, "bytes", data);
  *data = PyBytes_AS_STRING(message);
  *size = static_cast<std::size_t>(PyBytes_GET_SIZE(message));
  return 0;
}

int utf8_contents(PyObject* message, const char** data, std::size_t* size) noexcept {
  if (!PyUnicode_Check(message)) return refuse(message, "str", data);
  Py_ssize_t length = 0;
  *data = PyUnicode_AsUTF8AndSize(message, &length);
  if (*data == nullptr) return -1;  // lone surrogates: UnicodeEncodeError
  *size = static_cast<std::size_t>(length);
  return 0;
}

int buffer_contents(PyObject* message, Py_buffer* view, const char** data, std::size_t* size) noexcept {
  if (PyObject_GetBuffer(message, view, PyBUF_SIMPLE) != 0) {
    *data = nullptr;
    return -1;
  }
  *data = static_cast<const char*>(view->buf);
  *size = static_cast<std::size_t>(view->len);
  return 0;
}

int bytes_conversion(PyObject* message, PyObject** holder, const char** data, std::size_t* size) noexcept {
  *holder = PyObject_Bytes(message);
  if (*holder == nullptr) {
    *data = nullptr;
    return -1;
  }
  *data = PyBytes_AS_STRING(*holder);
  *size = static_cast<std::size_t>(PyBytes_GET_SIZE(*holder));
  return 0;
}

PyObject* RecordBytes::make(const void* data, std::size_t length) noexcept {
  const auto size = static_cast<Py_ssize_t>(length);
  if (spare_ != nullptr && Py_REFCNT(spare_) == 1 && PyBytes_GET_SIZE(spare_) == size) {
    std::memcpy(PyBytes_AS_STRING(spare_), data, length);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    reinterpret_cast<PyBytesObject*>(spare_)->ob_shash = -1;  // the old contents' hash, if taken
#pragma GCC diagnostic pop
    return Py_NewRef(spare_);
  }
  PyObject* record = PyBytes_FromStringAndSize(static_cast<const char*>(data), size);
  if (record != nullptr) Py_XSETREF(spare_, Py_NewRef(record));
  return record;
}

}  // namespace orvel::portage

#pragma once

// The fast path of the binding's strict integer conversion.

#include <Python.h>

namespace orvel::binding {

// Reads an exact int of a single digit (one that fits an int) without a call into the
// interpreter: the colours that every level method call passes, -1 by default. Anything else
// gives false and sets no exception; the full conversion handles it.
inline bool compact_int(PyObject* value, int* out) noexcept {
  if (!PyLong_CheckExact(value)) return false;
  auto* number = reinterpret_cast<PyLongObject*>(value);
  if (!PyUnstable_Long_IsCompact(number)) return false;
  *out = static_cast<int>(PyUnstable_Long_CompactValue(number));
  return true;
}

}  // namespace orvel::binding

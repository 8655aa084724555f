#pragma once

// Methods of the extension types that check the object they are called on.
//
// Cython's methods take that object as it comes: called on the class, `SyncDispatcher.close(x)`
// runs on any `x`, reads a plain object's memory as a dispatcher's fields, and crashes. The
// interpreter's own method descriptors refuse such an object with TypeError; a guarded method
// does the same, in the same words, before it passes the call on. Everything else, signature,
// name, docstring, annotations, is the method's own: attribute lookups reach it, and
// inspect.signature() follows __wrapped__ to it. Called on an instance, as in `d.close()`, the
// guard costs a type check: the interpreter passes the instance along without binding a method
// (Py_TPFLAGS_METHOD_DESCRIPTOR), as it does for the method itself.

#include <Python.h>
#include <structmember.h>

#include <cstddef>
#include <cstring>

// Within the module that includes this, as orvel/native.hpp keeps its table: each module makes
// its own type.
#pragma GCC visibility push(hidden)

namespace orvel::binding {

namespace detail {

struct GuardedMethod {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* method;      // the method as Cython made it
  PyObject* name;        // its name in the class
  PyTypeObject* owner;   // the class whose instances it takes
};

inline GuardedMethod* guarded(PyObject* object) noexcept { return reinterpret_cast<GuardedMethod*>(object); }

inline PyObject* guarded_call(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  GuardedMethod* self = guarded(callable);
  // With no argument at all, the method says what it needs.
  if (PyVectorcall_NARGS(nargsf) > 0 && !PyObject_TypeCheck(args[0], self->owner)) {
    return PyErr_Format(PyExc_TypeError, "descriptor '%U' for '%s' objects doesn't apply to a '%s' object",
                        self->name, self->owner->tp_name, Py_TYPE(args[0])->tp_name);
  }
  return PyObject_Vectorcall(self->method, args, nargsf, kwnames);
}

// On the class, the guarded method itself; on an object, bound to it (the call checks it).
inline PyObject* guarded_get(PyObject* self, PyObject* object, PyObject*) {
  if (object == nullptr || object == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, object);
}

// What the guard answers itself; the method answers everything else.
inline bool own_attribute(PyObject* name) noexcept {
  for (const char* own : {"__class__", "__get__", "__call__"}) {
    if (PyUnicode_CompareWithASCIIString(name, own) == 0) return true;
  }
  return false;
}

inline PyObject* guarded_getattro(PyObject* self, PyObject* name) {
  if (PyUnicode_CompareWithASCIIString(name, "__wrapped__") == 0) return Py_NewRef(guarded(self)->method);
  if (own_attribute(name)) return PyObject_GenericGetAttr(self, name);
  return PyObject_GetAttr(guarded(self)->method, name);
}

inline int guarded_setattro(PyObject* self, PyObject* name, PyObject* value) {
  return PyObject_SetAttr(guarded(self)->method, name, value);
}

inline PyObject* guarded_repr(PyObject* self) { return PyObject_Repr(guarded(self)->method); }

inline int guarded_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(guarded(self)->method);
  Py_VISIT(guarded(self)->name);
  Py_VISIT(reinterpret_cast<PyObject*>(guarded(self)->owner));
  return 0;
}

inline int guarded_clear(PyObject* self) {
  Py_CLEAR(guarded(self)->method);
  Py_CLEAR(guarded(self)->name);
  Py_CLEAR(guarded(self)->owner);
  return 0;
}

inline void guarded_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  guarded_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// Made once per module, with the interpreter lock; never freed.
inline PyTypeObject* guarded_method_type() noexcept {
  static PyMemberDef members[] = {
      {"__vectorcalloffset__", T_PYSSIZET, offsetof(GuardedMethod, vectorcall), READONLY, nullptr},
      {nullptr, 0, 0, 0, nullptr},
  };
  static PyType_Slot slots[] = {
      {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
      {Py_tp_descr_get, reinterpret_cast<void*>(guarded_get)},
      {Py_tp_getattro, reinterpret_cast<void*>(guarded_getattro)},
      {Py_tp_setattro, reinterpret_cast<void*>(guarded_setattro)},
      {Py_tp_repr, reinterpret_cast<void*>(guarded_repr)},
      {Py_tp_traverse, reinterpret_cast<void*>(guarded_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(guarded_clear)},
      {Py_tp_dealloc, reinterpret_cast<void*>(guarded_dealloc)},
      {Py_tp_members, members},
      {0, nullptr},
  };
  static PyType_Spec spec = {
      "orvel.GuardedMethod", sizeof(GuardedMethod), 0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
          Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
      slots};
  static PyTypeObject* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return type;
}

inline PyObject* guard(PyObject* method, PyObject* name, PyTypeObject* owner) noexcept {
  PyTypeObject* type = guarded_method_type();
  if (type == nullptr) return nullptr;
  GuardedMethod* self = PyObject_GC_New(GuardedMethod, type);
  if (self == nullptr) return nullptr;
  self->vectorcall = guarded_call;
  self->method = Py_NewRef(method);
  self->name = Py_NewRef(name);
  self->owner = reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(owner)));
  PyObject_GC_Track(self);
  return reinterpret_cast<PyObject*>(self);
}

// Cython's functions are of one type, which the modules a Cython release builds share
// ("_cython_3_3_2.cython_function_or_method").
inline bool made_by_cython(PyObject* value) noexcept {
  const char* name = Py_TYPE(value)->tp_name;
  const char* dot = std::strrchr(name, '.');
  return std::strcmp(dot != nullptr ? dot + 1 : name, "cython_function_or_method") == 0;
}

}  // namespace detail

// Guards every method Cython made in the dictionary of the extension type `owner`. With the
// interpreter lock, once the class is complete; 0, or -1 with an exception set.
inline int guard_methods(PyTypeObject* owner) noexcept {
  PyObject* methods = PyDict_New();
  if (methods == nullptr) return -1;
  PyObject *name, *value;
  Py_ssize_t at = 0;
  int result = 0;
  while (result == 0 && PyDict_Next(owner->tp_dict, &at, &name, &value)) {
    if (!detail::made_by_cython(value)) continue;
    PyObject* method = detail::guard(value, name, owner);
    result = method != nullptr ? PyDict_SetItem(methods, name, method) : -1;
    Py_XDECREF(method);
  }
  if (result == 0) result = PyDict_Update(owner->tp_dict, methods);
  Py_DECREF(methods);
  PyType_Modified(owner);
  return result;
}

}  // namespace orvel::binding

#pragma GCC visibility pop

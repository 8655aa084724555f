"""The bridge's native interface as another extension module sees it, through ctypes: the object
layouts of portage.pxd, the types' tables (__pyx_vtable__) and the exported conversions
(__pyx_capi__)."""

import ctypes

from orvel.utils.portage import portage

_api = ctypes.pythonapi
_api.PyCapsule_GetName.restype = ctypes.c_char_p
_api.PyCapsule_GetName.argtypes = [ctypes.py_object]
_api.PyCapsule_GetPointer.restype = ctypes.c_void_p
_api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]

c_int, c_size_t, c_void_p, c_char_p = ctypes.c_int, ctypes.c_size_t, ctypes.c_void_p, ctypes.c_char_p
P = ctypes.POINTER


class SockaddrIn(ctypes.Structure):
    _fields_ = [("family", ctypes.c_uint16), ("port", ctypes.c_uint8 * 2), ("address", ctypes.c_uint8 * 4),
                ("zero", ctypes.c_uint8 * 8)]


class PyBuffer(ctypes.Structure):
    _fields_ = [("buf", c_void_p), ("obj", c_void_p), ("len", ctypes.c_ssize_t), ("itemsize", ctypes.c_ssize_t),
                ("readonly", c_int), ("ndim", c_int), ("format", c_char_p), ("shape", c_void_p),
                ("strides", c_void_p), ("suboffsets", c_void_p), ("internal", c_void_p)]


class _Header(ctypes.Structure):
    _fields_ = [("refcount", ctypes.c_ssize_t), ("type", c_void_p), ("vtable", c_void_p)]


def layout(name, fields):
    return type(name, (ctypes.Structure,), {"_fields_": _Header._fields_ + fields})


CBufferViewLayout = layout("CBufferViewLayout", [
    ("data", c_void_p), ("size", c_size_t), ("msg_kind", c_int), ("view", PyBuffer), ("holder", c_void_p),
    ("loader", c_void_p)])
LumPipeLayout = layout("LumPipeLayout", [
    ("q", c_void_p), ("push_fn", c_void_p), ("pop_fn", c_void_p), ("release_fn", c_void_p)])
SyncDispatcherLayout = layout("SyncDispatcherLayout", [
    ("q", c_void_p), ("fd", c_int), ("addr", SockaddrIn), ("detach", c_int), ("variable_size", c_int),
    ("push", c_void_p), ("callback", c_void_p), ("sock", c_void_p), ("nonblocking", c_int),
    ("running", ctypes.c_bool)])
AsyncDispatcherLayout = layout("AsyncDispatcherLayout", [
    ("q", c_void_p), ("fd", c_int), ("addr", SockaddrIn), ("push", c_void_p), ("callback", c_void_p),
    ("sock", c_void_p), ("task", c_void_p), ("running", c_int), ("variable_size", c_int)])

LAYOUTS = {portage.CBufferView: CBufferViewLayout, portage.LumPipe: LumPipeLayout,
           portage.SyncDispatcher: SyncDispatcherLayout, portage.AsyncDispatcher: AsyncDispatcherLayout}


def fields(obj):
    """The native fields of a portage object, read in place; they keep the object alive."""
    view = next(LAYOUTS[cls] for cls in type(obj).__mro__ if cls in LAYOUTS).from_address(id(obj))
    view.owner = obj  # from_address holds nothing: a temporary would be freed under the view
    return view


def capsule_pointer(capsule, name=None):
    return _api.PyCapsule_GetPointer(capsule, name if name is not None else _api.PyCapsule_GetName(capsule))


def table(cls, count):
    """The first `count` entries of the native table of `cls`."""
    return list((c_void_p * count).from_address(capsule_pointer(cls.__pyx_vtable__)))


# Routine types. CFUNCTYPE: called with the interpreter lock released; PYFUNCTYPE: with it held, a
# pending exception raised on return.
PUSH = ctypes.CFUNCTYPE(c_int, c_void_p, c_char_p, c_size_t)
PUSH_CHECKED = ctypes.PYFUNCTYPE(c_int, c_void_p, c_char_p, c_size_t)
POP = ctypes.CFUNCTYPE(c_int, c_void_p, P(c_void_p), P(c_size_t))
VOID = ctypes.CFUNCTYPE(None, c_void_p)
LOADER = ctypes.PYFUNCTYPE(c_int, c_void_p, ctypes.py_object)


def push(obj, data: bytes, routine=None) -> int:
    """Pushes through the object's push routine (or `routine`), without the interpreter lock."""
    address = routine or fields(obj).push
    return PUSH(address)(id(obj), data, len(data))


def pop(obj, routine) -> tuple[int, bytes | None]:
    data, length = c_void_p(), c_size_t()
    result = POP(routine)(id(obj), ctypes.byref(data), ctypes.byref(length))
    return result, ctypes.string_at(data, length.value) if result == 1 else None

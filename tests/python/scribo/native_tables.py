"""The native interface of orvel.scribo.scribo driven through ctypes, as another extension module
would call it: method tables through __pyx_vtable__, functions through __pyx_capi__."""

import ctypes

from orvel.scribo import scribo

_api = ctypes.pythonapi
_api.PyCapsule_GetName.restype = ctypes.c_char_p
_api.PyCapsule_GetName.argtypes = [ctypes.py_object]
_api.PyCapsule_GetPointer.restype = ctypes.c_void_p
_api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


class ColorArgs(ctypes.Structure):
    """Optional-argument block of a level method: how many values are given, then the values."""

    _fields_ = [("count", ctypes.c_int), ("fg_color", ctypes.c_int), ("bg_color", ctypes.c_int),
                ("effect", ctypes.c_int)]


class NameArgs(ctypes.Structure):
    """Optional-argument block of get_logger_ptr and get_logger."""

    _fields_ = [("count", ctypes.c_int), ("name", ctypes.py_object), ("flag", ctypes.c_int)]


# Python-API function types: called with the interpreter lock held; a set exception is raised.
LevelSlot = ctypes.PYFUNCTYPE(None, ctypes.py_object, ctypes.py_object, ctypes.c_int, ctypes.POINTER(ColorArgs))
GetLoggerPtr = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.POINTER(NameArgs))
GetLogger = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.POINTER(NameArgs))


def capsule_pointer(capsule):
    return _api.PyCapsule_GetPointer(capsule, _api.PyCapsule_GetName(capsule))


def level_slot(cls, index):
    """Slot `index` of the native method table of `cls`."""
    table = capsule_pointer(cls.__pyx_vtable__)
    return LevelSlot(ctypes.c_void_p.from_address(table + index * ctypes.sizeof(ctypes.c_void_p)).value)


def shared_ptr_target(address):
    """The object pointer of the std::shared_ptr at `address` (its first word); None when empty."""
    return ctypes.c_void_p.from_address(address).value


get_logger_ptr = GetLoggerPtr(capsule_pointer(scribo.__pyx_capi__["get_logger_ptr"]))
get_logger = GetLogger(capsule_pointer(scribo.__pyx_capi__["get_logger"]))

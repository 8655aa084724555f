"""ctypes access to a Tandem's table of native operations, as another extension module sees it.

`table.<entry>(queue, ...)` calls the entry with the interpreter lock released (ctypes' CFUNCTYPE):
pushes take bytes and return the result; pops return (result, bytes or None). `table.checked`
holds push_var and try_push_var called with the lock held, raising the Python error that an
entry leaves pending.
"""

import ctypes

from orvel.tandem import tandem

ENTRIES = ("push", "try_push", "push_var", "try_push_var", "pop", "peek", "advance",
           "try_pop", "pop_var", "try_pop_var", "close")
PUSHES = ENTRIES[:4]
POPS = ("pop", "peek", "try_pop", "pop_var", "try_pop_var")

_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.restype = ctypes.c_void_p
_capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]

_PUSH = (ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t)
_POP = (ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_size_t))
_VOID = (None, ctypes.c_void_p)


def capsule_address(capsule, name: bytes | None = None) -> int:
    return _capsule_pointer(capsule, name)


def _pusher(function):
    return lambda queue, data: function(id(queue), data, len(data))


def _popper(function):
    def pop(queue):
        data, length = ctypes.c_void_p(), ctypes.c_size_t()
        result = function(id(queue), ctypes.byref(data), ctypes.byref(length))
        return result, ctypes.string_at(data, length.value) if result == 1 else None
    return pop


class NativeTable:
    def __init__(self):
        vtable = capsule_address(tandem.Tandem.__pyx_vtable__)
        self.addresses = dict(zip(ENTRIES, (ctypes.c_void_p * len(ENTRIES)).from_address(vtable)))
        for name, address in self.addresses.items():
            if name in PUSHES:
                setattr(self, name, _pusher(ctypes.CFUNCTYPE(*_PUSH)(address)))
            elif name in POPS:
                setattr(self, name, _popper(ctypes.CFUNCTYPE(*_POP)(address)))
            else:
                function = ctypes.CFUNCTYPE(*_VOID)(address)
                setattr(self, name, lambda queue, f=function: f(id(queue)))
        self.checked = {name: _pusher(ctypes.PYFUNCTYPE(*_PUSH)(self.addresses[name]))
                        for name in ("push_var", "try_push_var")}
        notify = capsule_address(tandem.__pyx_capi__["tandem_notify"], b"void (void *)")
        self.tandem_notify = ctypes.CFUNCTYPE(*_VOID)(notify)


def core_address(queue: tandem.Tandem) -> int:
    """Address of the queue's ring: it follows the object header and the table pointer."""
    return id(queue) + object.__basicsize__ + ctypes.sizeof(ctypes.c_void_p)

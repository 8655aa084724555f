# cython: language_level=3, autotestdict=False
"""Lock-free single-producer/single-consumer slot queues driven by native code."""

from cpython.exc cimport PyErr_WriteUnraisable
from cpython.number cimport PyIndex_Check, PyNumber_Index
from cpython.object cimport PyObject
from cpython.pystate cimport PyThreadState
from cpython.ref cimport Py_INCREF

from orvel._binding cimport guard_methods, replace_in_class
from orvel.tandem.tandem cimport MessageFault, TandemCore, message_refused


cdef extern from "orvel/tandem/signal_watcher.hpp" namespace "orvel::vigil" nogil:
    ctypedef void (*NotifyCallback)(void* context) noexcept nogil
    void enrol_queue(void* core, NotifyCallback notify) except +
    void withdraw_queue(void* core) noexcept
    void interpreter_exiting() except +
    bint interpreter_is_exiting() noexcept
    void prepare_fork() noexcept
    void after_fork_in_parent() except +
    void after_fork_in_child() except +


cdef size_t to_size(object value) except? <size_t>-1:
    # Cython's own size_t conversion would truncate a float.
    if not PyIndex_Check(value):
        raise TypeError("an integer is required")
    return PyNumber_Index(value)


cdef extern from "Python.h":
    PyThreadState* PyGILState_GetThisThreadState() noexcept nogil
    void PyErr_SetRaisedException(PyObject* error)


cdef object refusal(const TandemCore* core, size_t length, bint may_wait):
    """The error of a message the queue refused."""
    cdef MessageFault fault = core.check_message(length, may_wait)
    if fault == MessageFault.kZeroSlotSize:
        return ZeroDivisionError("float division")
    cdef object size = length
    fragments = -(-size // core.slot_size())
    if fault == MessageFault.kTooManyFragments:
        return ValueError(f"a message of {length} bytes needs {fragments} fragments of "
                          f"{core.slot_size()} bytes; a message may have at most 65535")
    if core.modes() & 1:  # overwrite
        return ValueError(f"a message of {length} bytes needs {fragments} fragments of "
                          f"{core.slot_size()} bytes, more than the {core.capacity()} slots "
                          f"of an overwriting queue")
    return ValueError(f"a message of {length} bytes needs {fragments} fragments of "
                      f"{core.slot_size()} bytes, more than the {core.capacity()} slots of the "
                      f"queue; a push that does not wait for room takes at most "
                      f"{core.capacity() * core.slot_size()} bytes")


cdef int raise_refusal(const TandemCore* core, size_t length, bint may_wait) except 0 with gil:
    raise refusal(core, length, may_wait)


cdef void report_refusal(const TandemCore* core, size_t length, bint may_wait,
                         const char* routine) noexcept with gil:
    error = refusal(core, length, may_wait)
    Py_INCREF(error)
    PyErr_SetRaisedException(<PyObject*>error)  # steals the reference
    PyErr_WriteUnraisable(routine.decode())


# A refused message leaves its error pending for the caller, in the calling thread's state. A
# native thread without one of its own gets a temporary state for the raise, which goes, with
# the error, as soon as the lock is released: its caller would look for an error that is no
# longer there. The error is reported through the unraisable-exception hook instead, until the
# interpreter begins to exit: from then on the interpreter may end a thread that asks for its
# lock, by unwinding it through the push and its callers, which aborts the process at the first
# frame that cannot pass the unwinding on (noexcept, or a catch of everything that swallows it).
cdef int refuse_message(const TandemCore* core, size_t length, bint may_wait,
                        const char* routine) except 0 nogil:
    if PyGILState_GetThisThreadState() == NULL:
        if not interpreter_is_exiting():
            report_refusal(core, length, may_wait, routine)
        return 1
    return raise_refusal(core, length, may_wait)


cdef class Tandem:
    """Tandem(size_t slot_size, size_t capacity, bool overwrite=False, bool zerocopy=False, bool block_on_full=False)"""

    def __init__(self, slot_size, capacity, overwrite=False, zerocopy=False, block_on_full=False):
        cdef size_t size = to_size(slot_size)
        cdef size_t slots = to_size(capacity)
        cdef int modes = bool(overwrite) | bool(zerocopy) << 1 | bool(block_on_full) << 2
        self._core.configure(size, slots, modes)
        enrol_queue(&self._core, tandem_notify)

    def __dealloc__(self):
        self.close()  # through the table: every thread still blocked in the queue returns -1
        withdraw_queue(&self._core)

    def __reduce__(self):
        raise TypeError("no default __reduce__ due to non-trivial __cinit__")

    def __setstate__(self, state):
        raise TypeError("no default __reduce__ due to non-trivial __cinit__")

    cdef int push(self, const void* data, size_t length) noexcept nogil:
        return self._core.push(data, length)

    cdef int try_push(self, const void* data, size_t length) noexcept nogil:
        return self._core.try_push(data, length)

    # A refused message is reported without entering the ring's producer side: a dispatcher refuses
    # it outside its producers' turn, while another producer may be pushing.

    cdef int push_var(self, const void* data, size_t length) except? 0 nogil:
        if message_refused(&self._core, length, True):
            refuse_message(&self._core, length, True, b"orvel.tandem.tandem.Tandem.push_var")
            return 0
        return self._core.push_var(data, length)

    cdef int try_push_var(self, const void* data, size_t length) except? 0 nogil:
        if message_refused(&self._core, length, False):
            if not self._core.is_open():
                return -1
            refuse_message(&self._core, length, False, b"orvel.tandem.tandem.Tandem.try_push_var")
            return 0
        return self._core.try_push_var(data, length)

    cdef int pop(self, void** data, size_t* length) noexcept nogil:
        return self._core.pop(data, length)

    cdef int peek(self, void** data, size_t* length) noexcept nogil:
        return self._core.peek(data, length)

    cdef void advance(self) noexcept nogil:
        self._core.advance()

    cdef int try_pop(self, void** data, size_t* length) noexcept nogil:
        return self._core.try_pop(data, length)

    cdef int pop_var(self, void** data, size_t* length) noexcept nogil:
        return self._core.pop_var(data, length)

    cdef int try_pop_var(self, void** data, size_t* length) noexcept nogil:
        return self._core.try_pop_var(data, length)

    cdef void close(self) noexcept nogil:
        self._core.close()


cdef void tandem_notify(void* core) noexcept nogil:
    (<TandemCore*>core).notify()


def _interpreter_exiting():
    """Tells the watcher that the interpreter is exiting: from now on the watched signals have
    the actions they would have without it, since the main thread acts on no interrupt any more. Registered with
    atexit; an exit hook of another orvel module that waits calls it first, as atexit runs this one
    last. Compiled, not Python code, so that no pending signal can interrupt it before it runs."""
    interpreter_exiting()


cdef int follow_the_interpreter() except -1:
    """Tells the watcher when the interpreter exits or forks."""
    import atexit, os

    def before_fork():
        prepare_fork()

    def in_parent():
        after_fork_in_parent()

    def in_child():
        after_fork_in_child()

    atexit.register(_interpreter_exiting)
    os.register_at_fork(before=before_fork, after_in_parent=in_parent, after_in_child=in_child)
    return 0


follow_the_interpreter()


from orvel._signatures import C_TYPES, DocumentedSignature
replace_in_class(Tandem, "__signature__", DocumentedSignature(Tandem, C_TYPES))
guard_methods(Tandem)
del C_TYPES, DocumentedSignature

__all__ = ["Tandem"]

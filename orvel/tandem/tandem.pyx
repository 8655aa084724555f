# cython: language_level=3, autotestdict=False
"""Lock-free single-producer/single-consumer slot queues driven by native code."""

from cpython.number cimport PyIndex_Check, PyNumber_Index

from orvel.tandem.tandem cimport MessageFault, TandemCore


cdef extern from "orvel/tandem/signal_watcher.hpp" namespace "orvel::vigil" nogil:
    ctypedef void (*NotifyCallback)(void* context) noexcept nogil
    void enrol_queue(void* core, NotifyCallback notify) except +
    void withdraw_queue(void* core) noexcept
    void interpreter_exiting() except +
    void prepare_fork() noexcept
    void after_fork_in_parent() except +
    void after_fork_in_child() except +


cdef size_t to_size(object value) except? <size_t>-1:
    # Cython's own size_t conversion would truncate a float.
    if not PyIndex_Check(value):
        raise TypeError("an integer is required")
    return PyNumber_Index(value)


cdef int refuse_message(const TandemCore* core, size_t length) except 0 with gil:
    """Raises the error of a message the queue refused."""
    cdef MessageFault fault = core.check_message(length)
    if fault == MessageFault.kZeroSlotSize:
        raise ZeroDivisionError("float division")
    cdef object size = length
    fragments = -(-size // core.slot_size())
    if fault == MessageFault.kTooManyFragments:
        raise ValueError(f"a message of {length} bytes needs {fragments} fragments of "
                         f"{core.slot_size()} bytes; a message may have at most 65535")
    raise ValueError(f"a message of {length} bytes needs {fragments} fragments of "
                     f"{core.slot_size()} bytes, more than the {core.capacity()} slots "
                     f"of an overwriting queue")


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

    cdef int push_var(self, const void* data, size_t length) except? 0 nogil:
        cdef int result = self._core.push_var(data, length)
        if result == 0:
            refuse_message(&self._core, length)
        return result

    cdef int try_push_var(self, const void* data, size_t length) except? 0 nogil:
        cdef int result = self._core.try_push_var(data, length)
        if result == 0:
            refuse_message(&self._core, length)
        return result

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


cdef int follow_the_interpreter() except -1:
    """Tells the watcher when the interpreter exits or forks. The hooks are compiled, not Python
    code, so that no pending signal can interrupt them before they run."""
    import atexit, os

    def exiting():
        interpreter_exiting()

    def before_fork():
        prepare_fork()

    def in_parent():
        after_fork_in_parent()

    def in_child():
        after_fork_in_child()

    atexit.register(exiting)
    os.register_at_fork(before=before_fork, after_in_parent=in_parent, after_in_child=in_child)
    return 0


follow_the_interpreter()

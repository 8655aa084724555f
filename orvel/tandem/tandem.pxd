# cython: language_level=3
"""The queue's native interface, for extension modules that cimport orvel.tandem.tandem.

Every operation runs without the interpreter lock; one producer thread and one consumer thread
per queue, close() from any thread. Results: 1 success, 0 nothing available (try_pop,
try_pop_var) or message refused with a Python exception set (push_var, try_push_var), -1 the
queue is closed, -2 the ring is full and the mode forbids waiting or dropping.
"""

from libc.stdint cimport uint8_t, uint64_t


cdef extern from "orvel/tandem/tandem_core.hpp" namespace "orvel::tandem" nogil:
    cdef enum class MessageFault:
        kNone
        kZeroSlotSize
        kTooManyFragments
        kMoreFragmentsThanCapacity

    cdef cppclass TandemCore:
        TandemCore() noexcept
        void configure(uint64_t slot_size, uint64_t capacity, uint8_t modes) except +
        int push(const void* data, size_t length) noexcept
        int try_push(const void* data, size_t length) noexcept
        int push_var(const void* data, size_t length) noexcept
        int try_push_var(const void* data, size_t length) noexcept
        int pop(void** data, size_t* length) noexcept
        int peek(void** data, size_t* length) noexcept
        void advance() noexcept
        int try_pop(void** data, size_t* length) noexcept
        int pop_var(void** data, size_t* length) noexcept
        int try_pop_var(void** data, size_t* length) noexcept
        void close() noexcept
        void notify() noexcept
        bint is_open() noexcept
        MessageFault check_message(size_t length, bint may_wait) noexcept
        uint64_t slot_size() noexcept
        uint64_t capacity() noexcept
        uint8_t modes() noexcept


# Whether push_var (may_wait) or try_push_var refuses a message of `length` bytes. Checked before
# the push: a refused message touches nothing of the ring's, so it is refused on any thread. A
# message shorter than a slot is never refused (a slot_size of 0 refuses them all), and skips the
# division.
cdef inline bint message_refused(const TandemCore* core, size_t length, bint may_wait) noexcept nogil:
    return length >= core.slot_size() and core.check_message(length, may_wait) != MessageFault.kNone


cdef class Tandem:
    cdef TandemCore _core  # the ring, inline; owns its slots, storage and reassembly buffer

    # The table of native operations, in this order.
    cdef int push(self, const void* data, size_t length) noexcept nogil
    cdef int try_push(self, const void* data, size_t length) noexcept nogil
    cdef int push_var(self, const void* data, size_t length) except? 0 nogil
    cdef int try_push_var(self, const void* data, size_t length) except? 0 nogil
    cdef int pop(self, void** data, size_t* length) noexcept nogil
    cdef int peek(self, void** data, size_t* length) noexcept nogil
    cdef void advance(self) noexcept nogil
    cdef int try_pop(self, void** data, size_t* length) noexcept nogil
    cdef int pop_var(self, void** data, size_t* length) noexcept nogil
    cdef int try_pop_var(self, void** data, size_t* length) noexcept nogil
    cdef void close(self) noexcept nogil


# Closes the queue whose TandemCore is at `core` and moves both its indices, so that every
# thread blocked in it returns -1. The signal watcher calls it for every registered queue.
cdef void tandem_notify(void* core) noexcept nogil

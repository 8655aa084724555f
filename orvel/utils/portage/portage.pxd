# cython: language_level=3
"""The message bridge's native interface, for extension modules that cimport
orvel.utils.portage.portage.

The order of the fields of each type, after its table pointer, is part of the interface:
importers read the fields and call the routine pointers directly. So is the order of the
methods, which is the order of the slots of each type's native table (__pyx_vtable__).

Conversions (CBufferView loaders and the four *_to_cbuf functions) need the interpreter lock and
return 0, or -1 with a Python exception set. Push routines run without it and return the
queue's results: 1 pushed, -1 closed, -2 full and the mode forbids waiting or dropping, and 0
with a Python exception pending for a variable-size push the queue refused; a dispatcher's push
returns -3, taking nothing, when its thread is inside a push into the dispatcher already (a
signal handler's that interrupted it).
"""

from cpython.object cimport PyObject
from libcpp cimport bool as cbool
from libcpp.atomic cimport atomic
from libcpp.memory cimport shared_ptr

from orvel.tandem.tandem cimport Tandem
from orvel.utils.portage.engine cimport BatchBounds, WakeChannel, Worker, sockaddr_in


# A Python message as (data, size), converted by the loader chosen from msg_kind at construction
# (0 bytes, 1 str, 2 buffer, 3 bytes(obj), any other value by the message's type).
cdef class CBufferView:
    cdef const char* data    # the last converted message; null before it, and after a failure
    cdef size_t size         # its length; 0 before it, and after a failure
    cdef int msg_kind
    cdef Py_buffer view      # held by a buffer conversion until the next one; view.obj null if none
    cdef PyObject* holder    # owned: the bytes an object conversion made, or null
    cdef int (*loader)(CBufferView, object) except -1

    cdef int _load_bytes(self, object msg) except -1
    cdef int _load_buf(self, object msg) except -1
    cdef int _load_str(self, object msg) except -1
    cdef int _load_obj(self, object msg) except -1
    cdef int _load(self, object msg) except -1


# A queue between native threads. push_fn on the producer thread; pop_fn, then release_fn once
# the bytes are used, on the consumer thread. Single-slot records are read in place (valid until
# release_fn); a variable-size message lives in the queue's reassembly buffer until the next
# pop_fn. The routine pointers are null until the constructor has run.
cdef class LumPipe:
    cdef Tandem _q
    cdef int (*push_fn)(LumPipe, const void*, size_t) except? 0 nogil
    cdef int (*pop_fn)(LumPipe, void**, size_t*) noexcept nogil
    cdef void (*release_fn)(LumPipe) noexcept nogil

    cdef int push(self, const void* data, size_t length) except? 0 nogil
    cdef int push_var(self, const void* data, size_t length) except? 0 nogil
    cdef int peek(self, void** data, size_t* length) noexcept nogil
    cdef int pop_var(self, void** data, size_t* length) noexcept nogil
    cdef void release(self) noexcept nogil
    cdef void release_var(self) noexcept nogil


# Records pushed by native producers (d._push(d, data, length), without the interpreter lock;
# producers that push at once take turns) reach a Python callback on the dispatcher's worker thread.
cdef class SyncDispatcher:
    cdef Tandem _q
    cdef int fd                  # the wake-up socket's descriptor; -1 until setup()
    cdef sockaddr_in addr        # the socket's own address, in network byte order
    cdef bint detach             # close() does not wait for the worker to end
    cdef bint variable_size
    cdef int (*_push)(SyncDispatcher, const void*, size_t) except? 0 nogil
    cdef object _callback
    cdef object sock
    cdef bint nonblocking        # wake-up socket (True) or waits inside the queue
    cdef atomic[cbool] running
    cdef shared_ptr[Worker] worker  # shared with the worker thread; the last of the two frees it
    cdef bint _setting_up        # setup() is binding its socket

    cpdef setup(self, str host=*, int recvbuf=*)
    cdef int try_push_wake(self, const void* data, size_t length) except? 0 nogil
    cdef int try_push_var_wake(self, const void* data, size_t length) except? 0 nogil
    cdef int push(self, const void* data, size_t length) except? 0 nogil
    cdef int push_var(self, const void* data, size_t length) except? 0 nogil
    cdef void __try_pop(self) noexcept nogil
    cdef void __try_pop_var(self) noexcept nogil
    cdef void __pop(self) noexcept nogil
    cdef void __pop_var(self) noexcept nogil
    cpdef close(self)


# Records pushed by a native producer reach an asynchronous callback on an asyncio event loop.
cdef class AsyncDispatcher:
    cdef Tandem _q
    cdef int fd
    cdef sockaddr_in addr
    cdef int (*_push)(AsyncDispatcher, const void*, size_t) except? 0 nogil
    cdef object _callback
    cdef object sock
    cdef readonly object task    # the reader task: awaitable, None before setup() and after close()
    cdef bint running
    cdef bint variable_size
    cdef shared_ptr[WakeChannel] _wake  # owns the descriptor producers send on; shared with the reader
    cdef bint _setting_up        # setup() is binding its socket
    cdef object _records         # the reader's records (async_reader.hpp), once set up

    cpdef setup(self, str host=*, int recvbuf=*)
    cdef int try_push_wake(self, const void* data, size_t length) except? 0 nogil
    cdef int try_push_var_wake(self, const void* data, size_t length) except? 0 nogil


# The dispatchers that hand their callback batches of records (RecordBatch) instead of one record
# at a time. Producers push as into the dispatchers they extend: the fields and tables before
# these are theirs.
cdef class SyncBatchDispatcher(SyncDispatcher):
    cdef BatchBounds bounds      # the most records and bytes of a batch


cdef class AsyncBatchDispatcher(AsyncDispatcher):
    cdef BatchBounds bounds
    cdef bint _taking            # a task is in __anext__ (built without a callback, for async for)


# Byte messages between the coroutines of one event loop.
cdef class AsyncQueue:
    cdef Tandem _q
    cdef object _loop
    cdef object _callback
    cdef object _lock
    cdef object _notify_cond
    cdef object _task
    cdef bint _running           # kept in the pickled state only

    cpdef start_dispatcher(self, callback)


# Conversions for native producers, with the interpreter lock. On failure *holder and *data are
# null and *size is left as it was.
cdef int obj_to_cbuf(object obj, PyObject** holder, const char** data, size_t* size) except -1
cdef int buf_to_cbuf(object obj, Py_buffer* view, const char** data, size_t* size) except -1
cdef int bytes_to_cbuf(object obj, const char** data, size_t* size) except -1
cdef int str_to_cbuf(object obj, const char** data, size_t* size) except -1

# cython: language_level=3, autotestdict=False
"""The message bridge: byte messages from native producer threads to Python callbacks, on a
worker thread (SyncDispatcher) or an asyncio event loop (AsyncDispatcher); a pipe between native
threads (LumPipe); an asyncio queue of byte messages (AsyncQueue)."""

cimport cython
from cpython.buffer cimport PyBuffer_Release, PyObject_CheckBuffer
from cpython.bytes cimport PyBytes_Check, PyBytes_FromStringAndSize
from cpython.exc cimport PyErr_SetFromErrno
from cpython.number cimport PyIndex_Check, PyNumber_Index
from cpython.object cimport PyObject
from cpython.pycapsule cimport PyCapsule_GetPointer
from cpython.ref cimport Py_CLEAR, Py_INCREF
from cpython.unicode cimport PyUnicode_Check
from libc.errno cimport EADDRNOTAVAIL, errno
from libc.stdint cimport uint16_t
from libcpp.atomic cimport memory_order_release
from libcpp.memory cimport make_shared

from orvel.tandem.tandem cimport Tandem, TandemCore, message_refused
from orvel.utils.portage.engine cimport (
    AsyncReaderArgs, BatchBounds, TandemTable, WakeChannel, Worker, WorkerBody, async_reader_deliveries,
    bridge_stats, buffer_contents, bytes_contents, bytes_conversion, close_async_readers,
    close_interpreter_to_workers, new_async_reader, push_waking, record_batch_type, report_unraisable,
    sockaddr_in, stop_async_reader, utf8_contents, wake_address)

cdef const TandemTable* tandem_table = <const TandemTable*>PyCapsule_GetPointer(Tandem.__pyx_vtable__, NULL)

from orvel.scribo import DefaultLogger
import asyncio
import functools
import inspect
import sys
import weakref

from orvel.utils.portage.reader import hold_records, next_record, read_records

logger = DefaultLogger()


# Before the interpreter finalises, every worker thread stops and none enters it again. The signal
# watcher is told first: while this waits for callbacks in progress, the main thread would act on
# no interrupt, so a signal must end the process instead of being taken by the watcher.
def _close_workers_at_exit():
    from orvel.tandem.tandem import _interpreter_exiting
    _interpreter_exiting()
    close_interpreter_to_workers()


# A forked child closes its copies of the asyncio dispatchers (worker.cpp closes those of the
# worker threads, which the child does not have).
def _close_readers_in_child():
    close_async_readers()

import atexit, os
atexit.register(_close_workers_at_exit)
os.register_at_fork(after_in_child=_close_readers_in_child)
del atexit, os, _close_workers_at_exit, _close_readers_in_child


# Constructor arguments declared as C integers: Cython's own conversion would truncate a float.
cdef object exact_integer(object value):
    if not PyIndex_Check(value):
        raise TypeError("an integer is required")
    return PyNumber_Index(value)


# A callback that cannot be called is refused when the dispatcher is built, not by the worker or
# the reader at the first record.
cdef object checked_callback(object callback):
    if not callable(callback):
        raise TypeError(f"the callback must be callable, not {type(callback).__name__!r}")
    return callback


# A queue of 0-byte slots refuses every variable-size message: refused when it is built instead.
cdef int check_message_slots(size_t slot_size, bint variable_size) except -1:
    if variable_size and slot_size == 0:
        raise ValueError("variable-size messages need a slot_size of at least 1")
    return 0


# Whether calling `callback` gives a coroutine: a coroutine function, or an object whose class has
# one as __call__, either bare or in functools.partial (inspect.iscoroutinefunction sees through
# partials, not into the objects' classes).
cdef bint makes_coroutines(object callback):
    callback = without_partials(callback)
    if inspect.iscoroutinefunction(callback):
        return True
    if isinstance(callback, type) or inspect.isroutine(callback):
        return False  # calling a class makes an instance; a routine has been looked at
    return inspect.iscoroutinefunction(without_partials(getattr(type(callback), "__call__", None)))


cdef object without_partials(object callable_):
    while isinstance(callable_, functools.partial):
        callable_ = callable_.func
    return callable_


# The sizes of a dispatcher's or a queue's Tandem, for its properties; None before __init__.
cdef object capacity_of(Tandem queue):
    return queue._core.capacity() if queue is not None else None


cdef object slot_size_of(Tandem queue):
    return queue._core.slot_size() if queue is not None else None


# The ring a dispatcher's counters start from; null before __init__.
cdef const TandemCore* ring_of(Tandem queue) noexcept:
    return &queue._core if queue is not None else NULL


# A dispatcher's repr also counts what it has delivered, once set up (`stats`).
cdef str describe(object owner, Tandem queue, str state, dict stats=None):
    if queue is None:
        return f"<{type(owner).__name__} not initialised>"
    delivered = "" if stats is None or state.endswith("not set up") else f" delivered={stats['delivered']}"
    return (f"<{type(owner).__name__} capacity={queue._core.capacity()} "
            f"slot_size={queue._core.slot_size()} {state}{delivered}>")


# ---------------------------------------------------------------------------------------------
# Python messages as (data, size)

cdef int obj_to_cbuf(object obj, PyObject** holder, const char** data, size_t* size) except -1:
    return bytes_conversion(obj, holder, data, size)


cdef int buf_to_cbuf(object obj, Py_buffer* view, const char** data, size_t* size) except -1:
    return buffer_contents(obj, view, data, size)


cdef int bytes_to_cbuf(object obj, const char** data, size_t* size) except -1:
    return bytes_contents(obj, data, size)


cdef int str_to_cbuf(object obj, const char** data, size_t* size) except -1:
    return utf8_contents(obj, data, size)


cdef void release_view(CBufferView view) noexcept:
    if <PyObject*>view.view.obj != NULL:
        PyBuffer_Release(&view.view)
    view.view.buf = NULL  # released: a later failed request must not look like a held view


cdef class CBufferView:
    """CBufferView(int msg_kind=4) -> None"""

    def __cinit__(self):
        self.loader = CBufferView._load  # converts by type even if __init__ never runs

    def __init__(self, msg_kind=4):
        self.msg_kind = exact_integer(msg_kind)
        if self.msg_kind == 0:
            self.loader = CBufferView._load_bytes
        elif self.msg_kind == 1:
            self.loader = CBufferView._load_str
        elif self.msg_kind == 2:
            self.loader = CBufferView._load_buf
        elif self.msg_kind == 3:
            self.loader = CBufferView._load_obj
        else:
            self.loader = CBufferView._load

    def __dealloc__(self):
        release_view(self)
        Py_CLEAR(self.holder)

    # Each loader clears `size` first: a failure leaves (null, 0), never a pointer to bytes that
    # may be gone already.

    cdef int _load_bytes(self, object msg) except -1:
        self.size = 0
        return bytes_contents(msg, &self.data, &self.size)

    cdef int _load_buf(self, object msg) except -1:
        release_view(self)
        self.size = 0
        return buffer_contents(msg, &self.view, &self.data, &self.size)

    cdef int _load_str(self, object msg) except -1:
        self.size = 0
        return utf8_contents(msg, &self.data, &self.size)

    cdef int _load_obj(self, object msg) except -1:
        Py_CLEAR(self.holder)
        self.size = 0
        return bytes_conversion(msg, &self.holder, &self.data, &self.size)

    cdef int _load(self, object msg) except -1:
        if PyBytes_Check(msg):
            return self._load_bytes(msg)
        if PyUnicode_Check(msg):
            return self._load_str(msg)
        if PyObject_CheckBuffer(msg):
            return self._load_buf(msg)
        return self._load_obj(msg)


# ---------------------------------------------------------------------------------------------
# A pipe between native threads

cdef class LumPipe:
    """LumPipe(size_t capacity=16384, size_t slot_size=2048, bool zerocopy=False, bool overwrite=False, bool block_on_full=False, bool variable_size=False)"""

    def __cinit__(self):
        pass  # present so that pickling is refused; the routine pointers stay null until __init__

    def __init__(self, capacity=16384, slot_size=2048, bint zerocopy=False,
                 bint overwrite=False, bint block_on_full=False, bint variable_size=False):
        cdef size_t slots = exact_integer(capacity), size = exact_integer(slot_size)
        if self._q is not None:
            # Native threads may be in the queue: it must not be freed under them.
            raise RuntimeError("a LumPipe cannot be initialised again")
        check_message_slots(size, variable_size)
        self._q = Tandem(slot_size=size, capacity=slots, overwrite=overwrite,
                         zerocopy=zerocopy, block_on_full=block_on_full)
        if variable_size:
            self.push_fn = LumPipe.push_var
            self.pop_fn = LumPipe.pop_var
            self.release_fn = LumPipe.release_var
        else:
            self.push_fn = LumPipe.push
            self.pop_fn = LumPipe.peek
            self.release_fn = LumPipe.release

    cdef int push(self, const void* data, size_t length) except? 0 nogil:
        return self._q.push(data, length)

    cdef int push_var(self, const void* data, size_t length) except? 0 nogil:
        return self._q.push_var(data, length)

    cdef int peek(self, void** data, size_t* length) noexcept nogil:
        return self._q.peek(data, length)

    cdef int pop_var(self, void** data, size_t* length) noexcept nogil:
        return self._q.pop_var(data, length)

    cdef void release(self) noexcept nogil:
        self._q.advance()

    cdef void release_var(self) noexcept nogil:
        pass  # pop_var consumed the message already


# ---------------------------------------------------------------------------------------------
# The wake-up socket

def setup_socket(bint blocking, recvbuf):
    """Returns a new UDP socket, blocking or not, with a receive buffer of `recvbuf` bytes when
    it is above 0 (SO_RCVBUFFORCE, else SO_RCVBUF as the system caps it). OSError when the socket
    cannot be made."""
    cdef int buffer_size = exact_integer(recvbuf)
    import socket
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        sock.setblocking(blocking)
        if buffer_size > 0:
            if sys.platform.startswith("linux"):
                try:
                    sock.setsockopt(socket.SOL_SOCKET, 33, buffer_size)  # SO_RCVBUFFORCE: above the limit
                except OSError as e:
                    if e.errno in (1, 13):  # EPERM, EACCES
                        logger.warn("SO_RCVBUFFORCE needs CAP_NET_ADMIN (sudo or setcap). Falling back to SO_RCVBUF.")
                    else:
                        logger.warn("WARNING: SO_RCVBUFFORCE failed (" + str(e) + "). Falling back.")
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, buffer_size)
            else:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, buffer_size)
        logger.debug("SO_RCVBUF= " + str(sock.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF)))
    except BaseException:
        sock.close()
        raise
    return sock


# A new wake-up socket (setup_socket) bound to (host, 0), with its own address in `addr`. The
# socket is closed if binding fails.
cdef object bound_socket(bint blocking, object recvbuf, object host, sockaddr_in* addr):
    sock = setup_socket(blocking, recvbuf)
    cdef uint16_t port16
    cdef bytes ip_text
    try:
        sock.bind((host, 0))
        ip, port = sock.getsockname()
        port16 = port
        ip_text = ip.encode()
    except BaseException:
        sock.close()
        raise
    addr[0] = wake_address(ip_text, port16)
    return sock


# Arms `wake` with the bound `sock` and its address. Returns the channel's descriptor: a duplicate
# of the socket's, open as long as the channel, so that closing `sock` never leaves a producer or
# a waiting thread with a number another file may take. OSError when it cannot be armed, among
# others when the socket does not receive what it sends itself (a multicast `host`).
cdef int arm_wake(object sock, const sockaddr_in& addr, WakeChannel* wake) except -1:
    if not wake.arm(sock.fileno(), addr):
        if errno == EADDRNOTAVAIL:
            ip, port = sock.getsockname()
            raise OSError(EADDRNOTAVAIL, f"the wake-up socket bound to {ip}:{port} does not receive its own datagrams")
        PyErr_SetFromErrno(OSError)
    return wake.fd()


# ---------------------------------------------------------------------------------------------
# SyncDispatcher: records to a callback on a worker thread

# The routine a worker runs, by its dotted name; a batch dispatcher's, on SyncBatchDispatcher.
cdef const char* worker_name(WorkerBody body, bint batches=False) noexcept nogil:
    if batches:
        if body == WorkerBody.kTryPop:
            return b"orvel.utils.portage.portage.SyncBatchDispatcher._SyncDispatcher__try_pop"
        if body == WorkerBody.kTryPopVar:
            return b"orvel.utils.portage.portage.SyncBatchDispatcher._SyncDispatcher__try_pop_var"
        if body == WorkerBody.kPop:
            return b"orvel.utils.portage.portage.SyncBatchDispatcher._SyncDispatcher__pop"
        return b"orvel.utils.portage.portage.SyncBatchDispatcher._SyncDispatcher__pop_var"
    if body == WorkerBody.kTryPop:
        return b"orvel.utils.portage.portage.SyncDispatcher._SyncDispatcher__try_pop"
    if body == WorkerBody.kTryPopVar:
        return b"orvel.utils.portage.portage.SyncDispatcher._SyncDispatcher__try_pop_var"
    if body == WorkerBody.kPop:
        return b"orvel.utils.portage.portage.SyncDispatcher._SyncDispatcher__pop"
    return b"orvel.utils.portage.portage.SyncDispatcher._SyncDispatcher__pop_var"


# The worker's loop on the calling thread, as the worker thread runs it.
cdef void run_worker_here(SyncDispatcher dispatcher, WorkerBody body) noexcept nogil:
    cdef Worker* worker = dispatcher.worker.get()
    cdef PyObject* queue
    cdef PyObject* callback
    with gil:
        polling = body == WorkerBody.kTryPop or body == WorkerBody.kTryPopVar
        if dispatcher._q is None or (polling and worker.wake.fd() == -1):
            return  # nothing to drain, or no socket to wait on before setup()
        queue = <PyObject*>dispatcher._q
        callback = <PyObject*>dispatcher._callback
        Py_INCREF(<object>queue)
        Py_INCREF(<object>callback)
    worker.run(queue, tandem_table, callback, body, worker_name(body, worker.batching()))


@cython.no_gc_clear  # the finaliser closes the queue, which a worker may still be sleeping in
cdef class SyncDispatcher:
    """SyncDispatcher(callback, size_t capacity=16384, size_t slot_size=2048, bool zerocopy=False, bool overwrite=False, bool block_on_full=False, bool variable_size=False, bool detach=True, bool nonblocking=True)"""

    def __cinit__(self):
        self.fd = -1
        self.running.store(True)
        self.worker = make_shared[Worker]()

    def __init__(self, callback, capacity=16384, slot_size=2048, bint zerocopy=False,
                 bint overwrite=False, bint block_on_full=False, bint variable_size=False,
                 bint detach=True, bint nonblocking=True):
        cdef size_t slots = exact_integer(capacity), size = exact_integer(slot_size)
        if self._q is not None:
            # Native producers may push from construction on: their queue must not be replaced
            # (their records lost with it) nor freed under them.
            raise RuntimeError("a SyncDispatcher cannot be initialised again")
        check_message_slots(size, variable_size)
        if makes_coroutines(checked_callback(callback)):
            raise TypeError("SyncDispatcher calls its callback on a worker thread and cannot await it: "
                            "use AsyncDispatcher for a coroutine function")
        self._callback = callback
        self.detach = detach
        self.variable_size = variable_size
        self.nonblocking = nonblocking
        self._q = Tandem(slot_size=size, capacity=slots, overwrite=overwrite,
                         zerocopy=zerocopy, block_on_full=block_on_full)
        if nonblocking:
            self._push = SyncDispatcher.try_push_var_wake if variable_size else SyncDispatcher.try_push_wake
        else:
            self._push = SyncDispatcher.push_var if variable_size else SyncDispatcher.push
        self.worker.get().count_pushes(not overwrite)

    # A dispatcher closes itself in its finaliser, not in __dealloc__: the error of a failing close
    # keeps the frame of a Python override alive, and with it the dispatcher, which a finaliser may
    # resurrect and __dealloc__ may not. The report keeps the name of the destruction.
    def __del__(self):
        try:
            self.close()  # the table's entry: a Python override answers it
        except BaseException as error:
            report_unraisable(error, b"orvel.utils.portage.portage.SyncDispatcher.__dealloc__")

    def __dealloc__(self):
        if self.worker.get() != NULL:
            self.worker.get().forget_error()

    # The socket calls let other threads run: a second setup() meanwhile finds it claimed, and a
    # close() meanwhile is seen before anything is stored or started.
    cpdef setup(self, str host='127.0.0.1', int recvbuf=16777216):
        """Binds the wake-up socket to (host, a free port) in non-blocking mode and starts the
        worker thread. RuntimeError when set up already, closed, or the interpreter is exiting;
        OSError when the socket cannot be bound. After a RuntimeError because the thread could
        not be started, setup() may be called again; it keeps the socket bound already."""
        cdef Worker* worker = self.worker.get()
        cdef WorkerBody body
        cdef sockaddr_in addr
        if self._q is None:
            raise RuntimeError("SyncDispatcher.__init__() has not run")
        if worker.started() or self._setting_up:
            raise RuntimeError("this SyncDispatcher has been set up already")
        if not self.running.load():
            raise RuntimeError("this SyncDispatcher is closed")
        # A setup() whose worker thread could not be started has armed the channel already: its
        # socket serves the next one (an armed channel keeps its descriptor for good).
        if self.nonblocking and worker.wake.fd() == -1:
            self._setting_up = True
            try:
                sock = bound_socket(True, recvbuf, host, &addr)
            finally:
                self._setting_up = False
            if not self.running.load():
                sock.close()
                raise RuntimeError("this SyncDispatcher is closed")
            try:
                self.fd = arm_wake(sock, addr, &worker.wake)
            except BaseException:
                sock.close()
                raise
            self.sock = sock
            self.addr = addr
        if self.nonblocking:
            body = WorkerBody.kTryPopVar if self.variable_size else WorkerBody.kTryPop
        else:
            body = WorkerBody.kPopVar if self.variable_size else WorkerBody.kPop
        Worker.start(self.worker, <PyObject*>self._q, tandem_table, <PyObject*>self._callback, body,
                     worker_name(body, worker.batching()))

    @property
    def error(self):
        """The exception that ended the worker (its callback failed), or None. The queue is
        closed then: pushes return -1."""
        cdef PyObject* error = self.worker.get().error()
        return <object>error if error != NULL else None

    @property
    def closed(self):
        """Whether close() has run."""
        return not self.running.load()

    def stats(self):
        """The counters, a dict of ints: records pushed into the queue, popped from it,
        refused_full (pushes the full queue refused), dropped (by an overwriting queue),
        wakeups_sent (to the sleeping worker or producer), consumer_sleeps (of the worker),
        delivered (callbacks that returned) and callback_errors. Each is counted by the thread
        that does what it counts and read without stopping it: approximate while records flow,
        exact once the producer and the worker are still."""
        return bridge_stats(ring_of(self._q), self.worker.get().wake, self.worker.get().deliveries())

    @property
    def worker_running(self):
        """Whether the worker thread started by setup() runs: False before setup() and once it
        has ended (closed, or its callback failed)."""
        return self.worker.get().alive()

    @property
    def capacity(self):
        """The number of slots of the queue; None before the constructor has run."""
        return capacity_of(self._q)

    @property
    def slot_size(self):
        """The size of a slot of the queue, in bytes; None before the constructor has run."""
        return slot_size_of(self._q)

    def __repr__(self):
        if self.closed:
            state = "closed"
        elif self.worker.get().alive():
            state = "running"
        elif self.worker.get().started():
            state = "ended"
        else:
            state = "not set up"
        return describe(self, self._q, ("nonblocking " if self.nonblocking else "blocking ") + state,
                        self.stats())

    def __enter__(self):
        """Sets the dispatcher up unless it is already, and returns it. RuntimeError once it is
        closed: it would deliver nothing."""
        if not self.running.load():
            raise RuntimeError("this SyncDispatcher is closed")
        if not self.worker.get().started() and not self._setting_up:
            self.setup()
        return self

    def __exit__(self, *excinfo):
        """Closes the dispatcher; an exception of the block propagates."""
        self.close()

    # Every push takes the producers' turn (producer_turn.hpp); the engine pushes through the
    # queue's table. A variable-size message the queue refuses is refused before the turn: its
    # error is raised (pending for the caller) or reported with the interpreter lock, which no
    # producer may wait for while it holds the turn.

    cdef int try_push_wake(self, const void* data, size_t length) except? 0 nogil:
        return push_waking(self.worker.get().wake, tandem_table[0], <void*>self._q, self._q._core, data, length, False)

    cdef int try_push_var_wake(self, const void* data, size_t length) except? 0 nogil:
        if message_refused(&self._q._core, length, False):
            return self._q.try_push_var(data, length)
        return push_waking(self.worker.get().wake, tandem_table[0], <void*>self._q, self._q._core, data, length, True)

    cdef int push(self, const void* data, size_t length) except? 0 nogil:
        return self.worker.get().push(tandem_table[0], <void*>self._q, self._q._core, data, length, False)

    cdef int push_var(self, const void* data, size_t length) except? 0 nogil:
        if message_refused(&self._q._core, length, True):
            return self._q.push_var(data, length)
        return self.worker.get().push(tandem_table[0], <void*>self._q, self._q._core, data, length, True)

    cdef void __try_pop(self) noexcept nogil:
        run_worker_here(self, WorkerBody.kTryPop)

    cdef void __try_pop_var(self) noexcept nogil:
        run_worker_here(self, WorkerBody.kTryPopVar)

    cdef void __pop(self) noexcept nogil:
        run_worker_here(self, WorkerBody.kPop)

    cdef void __pop_var(self) noexcept nogil:
        run_worker_here(self, WorkerBody.kPopVar)

    cpdef close(self):
        """Stops the worker and closes the queue: pushes return -1 from now on. Waits for the
        worker to end when the dispatcher was built with detach=False. May run more than once."""
        cdef Worker* worker = self.worker.get()
        # Release: pairs with the acquire loads at the top of every pass of the worker's loop.
        self.running.store(False, memory_order_release)
        worker.running.store(False, memory_order_release)
        cdef Tandem queue = self._q
        if queue is not None:
            with nogil:
                queue.close()  # a worker asleep in the queue wakes with -1
        if self.nonblocking:
            with nogil:
                worker.wake.ring()  # a worker asleep on the socket wakes
        if self.sock is not None:
            self.sock.close()
            self.sock = None
        if not self.detach:
            with nogil:
                worker.join()  # the ending worker takes the interpreter lock to drop its references


# ---------------------------------------------------------------------------------------------
# AsyncDispatcher: records to an asynchronous callback on an event loop

# The records the reader task takes from the queue: see async_reader.hpp.
_READER_NAME = "orvel-async-reader"


cdef object records_of(AsyncDispatcher dispatcher, loop, sock, bint whole_messages):
    cdef AsyncReaderArgs args
    args.queue = <PyObject*>dispatcher._q
    args.table = tandem_table
    args.whole_messages = whole_messages
    args.wake = dispatcher._wake
    args.loop = <PyObject*>loop
    args.sock = <PyObject*>sock
    args.pass_once = <PyObject*>asyncio.sleep
    if isinstance(dispatcher, AsyncBatchDispatcher):
        args.batches = (<AsyncBatchDispatcher>dispatcher).bounds
    return new_async_reader(args)


@cython.no_gc_clear
cdef class AsyncDispatcher:
    """AsyncDispatcher(callback, size_t capacity=16384, size_t slot_size=2048, bool overwrite=False, bool zerocopy=False, bool variable_size=False)"""

    def __cinit__(self):
        self.fd = -1
        self.running = True
        self._wake = make_shared[WakeChannel]()

    def __init__(self, callback, capacity=16384, slot_size=2048, bint overwrite=False,
                 bint zerocopy=False, bint variable_size=False):
        cdef size_t slots = exact_integer(capacity), size = exact_integer(slot_size)
        if self._q is not None:  # as SyncDispatcher's
            raise RuntimeError("an AsyncDispatcher cannot be initialised again")
        check_message_slots(size, variable_size)
        # The callback is checked before the queue is made: a constructor refused for it may run again.
        self._callback = checked_callback(callback)
        self._q = Tandem(slot_size=size, capacity=slots, overwrite=overwrite, zerocopy=zerocopy)
        self.variable_size = variable_size
        self._push = AsyncDispatcher.try_push_var_wake if variable_size else AsyncDispatcher.try_push_wake

    def __del__(self):  # as SyncDispatcher's
        try:
            self.close()
        except BaseException as error:
            # A close() that took the task and failed found its loop closed: no loop watches the
            # socket any more, and nothing else would close it.
            if self.task is None and self.sock is not None:
                self.sock.close()
                self.sock = None
            report_unraisable(error, b"orvel.utils.portage.portage.AsyncDispatcher.__dealloc__")

    # As SyncDispatcher's: a second setup() or a close() while the socket calls let other threads
    # run is seen before anything is stored. The loop is asked for first, so that a setup() where
    # none runs leaves nothing behind.
    cpdef setup(self, str host='127.0.0.1', int recvbuf=16777216):
        """Binds the wake-up socket to (host, a free port) and starts the reader task on the
        running loop. RuntimeError when set up already, closed, or no loop runs; OSError when the
        socket cannot be bound. A setup() that failed may be called again."""
        cdef sockaddr_in addr
        if self._q is None:
            raise RuntimeError("AsyncDispatcher.__init__() has not run")
        if self._records is not None or self._setting_up:
            raise RuntimeError("this AsyncDispatcher has been set up already")
        if not self.running:
            raise RuntimeError("this AsyncDispatcher is closed")
        loop = asyncio.get_running_loop()
        # A setup() that failed once the channel was armed left its socket: it serves this one
        # (an armed channel keeps its descriptor for good).
        if self._wake.get().fd() == -1:
            self._setting_up = True
            try:
                sock = bound_socket(False, recvbuf, host, &addr)
            finally:
                self._setting_up = False
            if not self.running:
                sock.close()
                raise RuntimeError("this AsyncDispatcher is closed")
            try:
                self.fd = arm_wake(sock, addr, self._wake.get())
            except BaseException:
                sock.close()
                raise
            self.sock = sock
            self.addr = addr
        # Made here, not by the task: a fork before the task runs closes them (close_async_readers).
        # Set before the task is made, which an eager task factory runs at once.
        self._records = records_of(self, loop, self.sock, self.variable_size)
        try:
            if self.variable_size:
                self.task = loop.create_task(self._AsyncDispatcher__reader_var(loop, self.sock), name=_READER_NAME)
            else:
                self.task = loop.create_task(self._AsyncDispatcher__reader(loop, self.sock), name=_READER_NAME)
        except BaseException:
            self._records = None
            raise

    @property
    def error(self):
        """The exception that ended the reader task (its callback or its socket wait failed), or
        None. The queue is closed then: pushes return -1."""
        return self._records.error if self._records is not None else None

    def stats(self):
        """The counters, a dict of ints: records pushed into the queue, popped from it,
        refused_full (pushes the full queue refused), dropped (by an overwriting queue),
        wakeups_sent (to the sleeping reader), consumer_sleeps (waits of the reader on the
        socket), delivered (callbacks that returned) and callback_errors. Each is counted where
        the work is done and read without stopping it: approximate while records flow, exact
        once the producer and the reader are still."""
        cdef PyObject* records = <PyObject*>self._records if self._records is not None else NULL
        return bridge_stats(ring_of(self._q), self._wake.get()[0], async_reader_deliveries(records))

    @property
    def closed(self):
        """Whether close() has run."""
        return not self.running

    @property
    def capacity(self):
        """The number of slots of the queue; None before the constructor has run."""
        return capacity_of(self._q)

    @property
    def slot_size(self):
        """The size of a slot of the queue, in bytes; None before the constructor has run."""
        return slot_size_of(self._q)

    def __repr__(self):
        if not self.running:
            state = "closed"
        elif self.task is None:
            state = "not set up"
        elif self.task.done():
            state = "ended"
        else:
            state = "running"
        return describe(self, self._q, state, self.stats())

    async def __aenter__(self):
        """Sets the dispatcher up on the running loop unless it is already, and returns it.
        RuntimeError once it is closed: it would deliver nothing."""
        if not self.running:
            raise RuntimeError("this AsyncDispatcher is closed")
        if self._records is None and not self._setting_up:
            self.setup()
        return self

    async def __aexit__(self, *excinfo):
        """Closes the dispatcher and waits for its reader task to end; an exception of the
        block propagates, one of the reader stays in `error`."""
        task = self.task
        self.close()
        if task is not None:
            await asyncio.wait((task,))

    # As SyncDispatcher's.

    cdef int try_push_wake(self, const void* data, size_t length) except? 0 nogil:
        return push_waking(self._wake.get()[0], tandem_table[0], <void*>self._q, self._q._core, data, length, False)

    cdef int try_push_var_wake(self, const void* data, size_t length) except? 0 nogil:
        if message_refused(&self._q._core, length, False):
            return self._q.try_push_var(data, length)
        return push_waking(self._wake.get()[0], tandem_table[0], <void*>self._q, self._q._core, data, length, True)

    # Both read the records setup() made from the same loop and socket. The reader lets go of its
    # dispatcher once it has them: dropping the dispatcher's last reference then closes it, as it
    # does a SyncDispatcher.
    async def __reader(self, loop, sock):
        reading = read_records(self._records, self._callback)
        self = None
        await reading

    async def __reader_var(self, loop, sock):
        reading = read_records(self._records, self._callback)
        self = None
        await reading

    def close(self):
        """Closes the queue (pushes return -1 from now on) and ends the reader task; the socket
        closes on the loop once the reader has ended. From any thread, more than once. RuntimeError
        when the reader's loop is closed already."""
        self.running = False
        if self._records is not None:
            stop_async_reader(self._records)
        cdef Tandem queue = self._q
        if queue is not None:
            with nogil:
                queue.close()
        self._wake.get().ring()  # a pending sock_recv completes
        sock = self.sock
        task, self.task = self.task, None
        if task is not None and not task.done():
            # The socket closes on the loop once the reader has ended: its sock_recv takes the
            # descriptor off the loop first, and no loop then watches a number that was closed.
            def _finalize():
                if not task.done():
                    task.cancel()
                if sock is not None:
                    task.add_done_callback(lambda _: sock.close())
            task.get_loop().call_soon_threadsafe(_finalize)
        elif sock is not None:
            sock.close()  # no reader runs: nothing watches the socket, and no loop is needed
        self.sock = None


# ---------------------------------------------------------------------------------------------
# Records in batches: one call for everything waiting in the queue (batch_loop.hpp)

RecordBatch = <object>record_batch_type()


cdef BatchBounds batch_bounds(object max_records, object max_bytes) except *:
    cdef BatchBounds bounds
    bounds.max_records = exact_integer(max_records)
    bounds.max_bytes = exact_integer(max_bytes)
    if bounds.max_records == 0 or bounds.max_bytes == 0:
        raise ValueError("a batch holds at least one record: max_records and max_bytes must be at least 1")
    return bounds


@cython.no_gc_clear  # as SyncDispatcher
cdef class SyncBatchDispatcher(SyncDispatcher):
    """SyncBatchDispatcher(callback, size_t capacity=16384, size_t slot_size=2048, bool zerocopy=False, bool overwrite=False, bool block_on_full=False, bool variable_size=False, bool detach=True, bool nonblocking=True, size_t max_records=1024, size_t max_bytes=1048576)"""

    def __init__(self, callback, capacity=16384, slot_size=2048, bint zerocopy=False,
                 bint overwrite=False, bint block_on_full=False, bint variable_size=False,
                 bint detach=True, bint nonblocking=True, max_records=1024, max_bytes=1048576):
        cdef BatchBounds bounds = batch_bounds(max_records, max_bytes)
        SyncDispatcher.__init__(self, callback, capacity, slot_size, zerocopy, overwrite, block_on_full,
                                variable_size, detach, nonblocking)
        self.bounds = bounds
        self.worker.get().deliver_batches(bounds)

    def stats(self):
        """The counters of SyncDispatcher.stats(), where delivered counts the records of the
        batches whose callback returned, and batches those batches."""
        stats = SyncDispatcher.stats(self)
        stats["batches"] = self.worker.get().deliveries().batches
        return stats


# Built without a callback, an AsyncBatchDispatcher is read with `async for`: its reader task takes
# nothing and only holds the records until it ends (reader.py), and __anext__ takes the batches.
cdef object reading(AsyncBatchDispatcher dispatcher):
    if dispatcher._callback is None:
        return hold_records(dispatcher._records)
    return read_records(dispatcher._records, dispatcher._callback)


@cython.no_gc_clear  # as AsyncDispatcher
cdef class AsyncBatchDispatcher(AsyncDispatcher):
    """AsyncBatchDispatcher(callback=None, size_t capacity=16384, size_t slot_size=2048, bool overwrite=False, bool zerocopy=False, bool variable_size=False, size_t max_records=1024, size_t max_bytes=1048576)"""

    def __init__(self, callback=None, capacity=16384, slot_size=2048, bint overwrite=False,
                 bint zerocopy=False, bint variable_size=False, max_records=1024, max_bytes=1048576):
        cdef BatchBounds bounds = batch_bounds(max_records, max_bytes)
        AsyncDispatcher.__init__(self, len if callback is None else callback, capacity, slot_size, overwrite,
                                 zerocopy, variable_size)
        if callback is None:
            self._callback = None  # no reader calls it: see reading()
        self.bounds = bounds

    def stats(self):
        """The counters of AsyncDispatcher.stats(), where delivered counts the records of the
        batches whose callback returned (or that `async for` asked past), and batches those batches."""
        stats = AsyncDispatcher.stats(self)
        cdef PyObject* records = <PyObject*>self._records if self._records is not None else NULL
        stats["batches"] = async_reader_deliveries(records).batches
        return stats

    # As AsyncDispatcher's, which setup() looks up by these names.
    async def _AsyncDispatcher__reader(self, loop, sock):
        coroutine = reading(self)
        self = None
        await coroutine

    async def _AsyncDispatcher__reader_var(self, loop, sock):
        coroutine = reading(self)
        self = None
        await coroutine

    def __aiter__(self):
        """Returns the dispatcher: `async for` takes its batches, when it was built without a
        callback. TypeError when it has one: the batches go to it."""
        if self._q is not None and self._callback is not None:
            raise TypeError("this AsyncBatchDispatcher hands its batches to its callback; "
                            "build it without one to iterate")
        return self

    async def __anext__(self):
        """The next batch, as soon as the queue holds a record; StopAsyncIteration once the
        dispatcher is closed, or the exception that ended its reader. RuntimeError before setup(),
        and while another task is taking a batch."""
        self.__aiter__()
        if self._records is None:
            if self.running:
                raise RuntimeError("this AsyncBatchDispatcher is not set up")
            raise StopAsyncIteration
        if self._taking:
            raise RuntimeError("another task is taking a batch from this AsyncBatchDispatcher")
        self._taking = True
        try:
            batch = await next_record(self._records)
        finally:
            self._taking = False
        if batch is None:
            raise StopAsyncIteration
        return batch


# The bounds of either batch dispatcher, for their properties; None before the constructor has run.
cdef object bounds_of(object dispatcher):
    if isinstance(dispatcher, SyncBatchDispatcher):
        if (<SyncBatchDispatcher>dispatcher)._q is not None:
            return (<SyncBatchDispatcher>dispatcher).bounds
    elif isinstance(dispatcher, AsyncBatchDispatcher):
        if (<AsyncBatchDispatcher>dispatcher)._q is not None:
            return (<AsyncBatchDispatcher>dispatcher).bounds
    else:
        raise TypeError(f"a batch dispatcher's bounds don't apply to a '{type(dispatcher).__name__}' object")
    return None


# ---------------------------------------------------------------------------------------------
# AsyncQueue: byte messages between the coroutines of one event loop

# Whether a coroutine waits on the queue's condition and has not been notified yet. A push skips
# the condition when none does: taking the lock, notifying nobody and releasing it would change
# nothing, since no coroutine holds the lock across a suspension (every `async with` body here
# notifies or waits at once), a pop that found the queue empty is waiting before anything else
# runs, and a notified one looks at the queue again when it resumes. With the condition taken on
# every push, bench/bridge measured push + pop at 0.40x asyncio.Queue put + get.
cdef bint has_waiters(condition):
    for waiter in condition._waiters:
        if not waiter.done():
            return True
    return False


# The conditions of the queues that have been shut down, which `async for` stops at. Kept by the
# condition, weakly: the queue's own fields are fixed.
_shut_down = weakref.WeakSet()


# The queue of a constructed AsyncQueue: one made by __new__ alone has none to push into or pop from.
cdef Tandem constructed(AsyncQueue owner):
    if owner._q is None:
        raise RuntimeError("AsyncQueue.__init__() has not run")
    return owner._q


cdef class AsyncQueue:
    """AsyncQueue(loop=None, size_t slot_size=1024, size_t capacity=16384, bool overwrite=False, bool zerocopy=False, bool block_on_full=False)"""

    def __init__(self, loop=None, slot_size=1024, capacity=16384, bint overwrite=False,
                 bint zerocopy=False, bint block_on_full=False):
        cdef size_t size = exact_integer(slot_size), slots = exact_integer(capacity)
        if loop is not None and not isinstance(loop, asyncio.AbstractEventLoop):
            raise TypeError(f"loop must be an asyncio event loop, not {type(loop).__name__!r}")
        if zerocopy:
            # The queue would keep pointers to bytes that the push lets go at once.
            raise ValueError("AsyncQueue copies every message into its queue: zerocopy is not supported")
        if loop is None:
            try:
                loop = asyncio.get_running_loop()
            except RuntimeError:
                raise RuntimeError("AsyncQueue must be created inside a running event loop.")
        # The queue last: a queue made by a constructor that failed would pass for a constructed one.
        self._loop = loop
        self._lock = asyncio.Lock()
        self._notify_cond = asyncio.Condition(self._lock)
        self._q = Tandem(size, slots, overwrite, zerocopy, block_on_full)

    async def push_buf(self, msg):
        """Pushes the bytes of `msg`, an object with the buffer protocol. A full queue drops the
        message (the oldest with overwrite). TypeError or BufferError when `msg` has no simple
        buffer."""
        cdef Py_buffer view
        cdef const char* data
        cdef size_t size
        cdef Tandem queue = constructed(self)
        buffer_contents(msg, &view, &data, &size)
        try:
            pushed = queue.try_push(data, size) >= 1
        finally:
            PyBuffer_Release(&view)
        if pushed and has_waiters(self._notify_cond):
            async with self._notify_cond:
                self._notify_cond.notify()

    async def push_obj(self, msg):
        """Pushes bytes(msg); a full queue drops it as push_buf() does. The error of bytes(msg)
        propagates."""
        cdef PyObject* holder
        cdef const char* data
        cdef size_t size
        cdef Tandem queue = constructed(self)
        bytes_conversion(msg, &holder, &data, &size)
        pushed = queue.try_push(data, size) >= 1
        Py_CLEAR(holder)
        if pushed and has_waiters(self._notify_cond):
            async with self._notify_cond:
                self._notify_cond.notify()

    async def push_str(self, msg):
        """Pushes the UTF-8 form of `msg`, a str; a full queue drops it as push_buf() does.
        TypeError for anything else, UnicodeEncodeError for lone surrogates."""
        cdef const char* data
        cdef size_t size
        cdef Tandem queue = constructed(self)
        utf8_contents(msg, &data, &size)
        if queue.try_push(data, size) >= 1 and has_waiters(self._notify_cond):
            async with self._notify_cond:
                self._notify_cond.notify()

    async def pop(self):
        """Waits for the next message and returns it as bytes."""
        cdef void* data
        cdef size_t length
        cdef Tandem queue = constructed(self)
        while True:
            if queue.try_pop(&data, &length) == 1:
                return PyBytes_FromStringAndSize(<char*>data, length)
            async with self._notify_cond:
                await self._notify_cond.wait()

    cpdef start_dispatcher(self, callback):
        """Starts a task on the queue's loop that awaits `callback(message)` for every message,
        until shutdown() or until the callback raises. TypeError when `callback` cannot be called."""
        constructed(self)
        self._callback = checked_callback(callback)
        self._task = self._loop.create_task(self._AsyncQueue__dispatch())

    async def __dispatch(self):
        cdef void* data
        cdef size_t length
        cdef Tandem queue = constructed(self)
        while True:
            while queue.try_pop(&data, &length) == 1:
                await self._callback(PyBytes_FromStringAndSize(<char*>data, length))
            async with self._notify_cond:
                await self._notify_cond.wait()

    @property
    def capacity(self):
        """The number of slots of the queue; None before the constructor has run."""
        return capacity_of(self._q)

    @property
    def slot_size(self):
        """The size of a slot of the queue, in bytes; None before the constructor has run."""
        return slot_size_of(self._q)

    def __repr__(self):
        if self._notify_cond is not None and self._notify_cond in _shut_down:
            state = "shut down"
        elif self._task is not None and not self._task.done():
            state = "dispatching"
        else:
            state = "open"
        return describe(self, self._q, state)

    def __aiter__(self):
        """Returns the queue: `async for` takes its messages as __anext__() gives them."""
        return self

    async def __anext__(self):
        """The next message, as pop() does; StopAsyncIteration once the queue has been shut down
        and holds no more."""
        cdef void* data
        cdef size_t length
        cdef Tandem queue = constructed(self)
        while True:
            if queue.try_pop(&data, &length) == 1:
                return PyBytes_FromStringAndSize(<char*>data, length)
            if self._notify_cond in _shut_down:
                raise StopAsyncIteration
            async with self._notify_cond:
                await self._notify_cond.wait()

    async def __aenter__(self):
        """Returns the queue; leaving the block shuts it down."""
        return self

    async def __aexit__(self, *excinfo):
        """Shuts the queue down; an exception of the block propagates."""
        await self.shutdown(*excinfo)

    async def shutdown(self, *excinfo):
        """Wakes every waiter, and cancels and awaits the dispatcher task: the error the callback
        ended it with propagates. Ignores its arguments (an exit callback's exception triple).
        The queue stays usable; `async for` ends once it holds no more messages."""
        constructed(self)
        _shut_down.add(self._notify_cond)
        async with self._notify_cond:
            self._notify_cond.notify_all()
        if self._task is not None:
            self._task.cancel()
            try:
                await self._task
            except asyncio.CancelledError:
                pass


# ---------------------------------------------------------------------------------------------
# The Python faces of the types

from orvel._binding cimport guard_methods, replace_in_class

# setup() as Python calls it. The wrapper Cython makes for a cpdef method converts `recvbuf` as the
# C signature types it, through __int__, so 1.5 became 1; a face takes integers only, as
# setup_socket does, and runs the method's body. The native tables and their C signatures stay as
# Cython made them. A native call of setup on a Python subclass without a setup of its own finds
# the face in place of Cython's wrapper and reaches the body through it, by a Python call.
cdef object sync_setup_face():
    def setup(SyncDispatcher self, str host='127.0.0.1', recvbuf=16777216):
        SyncDispatcher.setup(self, host, exact_integer(recvbuf))
    return setup


cdef object async_setup_face():
    def setup(AsyncDispatcher self, str host='127.0.0.1', recvbuf=16777216):
        AsyncDispatcher.setup(self, host, exact_integer(recvbuf))
    return setup


# Each face takes the qualified name and docstring of the wrapper it replaces.
cdef int install_face(type cls, object face) except -1:
    wrapper = cls.__dict__[face.__name__]
    face.__qualname__, face.__doc__ = wrapper.__qualname__, wrapper.__doc__
    return replace_in_class(cls, face.__name__, face)


install_face(SyncDispatcher, sync_setup_face())
install_face(AsyncDispatcher, async_setup_face())

# The bounds of the batch dispatchers, read alike (bounds_of()).
def _max_records(dispatcher):
    bounds = bounds_of(dispatcher)
    return bounds["max_records"] if bounds is not None else None


def _max_bytes(dispatcher):
    bounds = bounds_of(dispatcher)
    return bounds["max_bytes"] if bounds is not None else None


for _owner in (SyncBatchDispatcher, AsyncBatchDispatcher):
    replace_in_class(_owner, "max_records", property(
        _max_records, doc="The most records a batch holds; None before the constructor has run."))
    replace_in_class(_owner, "max_bytes", property(
        _max_bytes, doc="The most bytes a batch of more than one record holds; None before the constructor has run."))
del _owner, _max_records, _max_bytes

# The attribute Cython made for the readonly field `task` has no docstring for help() to show.
replace_in_class(AsyncDispatcher, "task", property(
    AsyncDispatcher.__dict__["task"].__get__,
    doc="The reader task setup() started on the running loop, to await; None before setup() and "
        "after close()."))


# The Python types of what Cython's functions show untyped or as C types.
import socket as _socket
from collections.abc import Awaitable, Buffer, Callable
from orvel._signatures import C_TYPES, DocumentedSignature

for _owner, _untyped in ((CBufferView, {}), (LumPipe, {}),
                         (SyncDispatcher, {"callback": Callable[[bytes], object]}),
                         (AsyncDispatcher, {"callback": Callable[[bytes], Awaitable[object]]}),
                         (SyncBatchDispatcher, {"callback": Callable[[RecordBatch], object]}),
                         (AsyncBatchDispatcher, {"callback": Callable[[RecordBatch], Awaitable[object]]}),
                         (AsyncQueue, {"loop": asyncio.AbstractEventLoop})):
    replace_in_class(_owner, "__signature__", DocumentedSignature(_owner, C_TYPES, _untyped))

for _owner, _name, _types in (
        (SyncDispatcher, "setup", {"host": str, "recvbuf": int}),
        (SyncDispatcher, "close", {}),
        (SyncDispatcher, "stats", {"return": dict[str, int]}),
        (AsyncDispatcher, "setup", {"host": str, "recvbuf": int}),
        (AsyncDispatcher, "close", {}),
        (AsyncDispatcher, "stats", {"return": dict[str, int]}),
        (SyncBatchDispatcher, "stats", {"return": dict[str, int]}),
        (AsyncBatchDispatcher, "stats", {"return": dict[str, int]}),
        (AsyncQueue, "push_buf", {"msg": Buffer}),
        (AsyncQueue, "push_obj", {"msg": object}),
        (AsyncQueue, "push_str", {"msg": str}),
        (AsyncQueue, "pop", {"return": bytes}),
        (AsyncQueue, "start_dispatcher", {"callback": Callable[[bytes], Awaitable[object]]}),
        (AsyncQueue, "shutdown", {"excinfo": object}),
        (sys.modules[__name__], "setup_socket", {"blocking": bool, "recvbuf": int, "return": _socket.socket})):
    getattr(_owner, _name).__annotations__ = {"return": None} | _types
for _owner in (CBufferView, LumPipe, SyncDispatcher, AsyncDispatcher, SyncBatchDispatcher, AsyncBatchDispatcher,
               AsyncQueue):
    guard_methods(_owner)
del _owner, _untyped, _name, _types, _socket, Awaitable, Buffer, Callable, C_TYPES, DocumentedSignature

__all__ = ["AsyncBatchDispatcher", "AsyncDispatcher", "AsyncQueue", "CBufferView", "LumPipe", "RecordBatch",
           "SyncBatchDispatcher", "SyncDispatcher", "logger", "setup_socket"]

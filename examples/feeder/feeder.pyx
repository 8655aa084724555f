"""Native producers and consumers for orvel's message bridge, written the way a downstream
extension module uses it: it cimports the bridge's types and calls their routines directly, from
native threads, without the interpreter lock."""

from cpython.bytes cimport PyBytes_AS_STRING, PyBytes_FromStringAndSize
from libc.stdint cimport int64_t, uint64_t
from libc.stdlib cimport calloc, free, malloc
from libc.string cimport memcmp, memcpy, memset
from libcpp.string cimport string
from libcpp.vector cimport vector

from orvel.tandem.tandem cimport Tandem
from orvel.utils.portage.portage cimport AsyncDispatcher, CBufferView, LumPipe, SyncDispatcher


cdef extern from "native_thread.hpp" nogil:
    void* start_thread(void (*fn)(void*) noexcept nogil, void* arg) except +
    void join_thread(void* handle) except +
    double seconds_now()
    int64_t steady_nanoseconds()
    void pause_microseconds(unsigned microseconds)
    int thread_id()

    ctypedef struct SignalPush:
        int (*push)(void* target, const void* data, size_t length) noexcept nogil
        void* target
        size_t length
        int result
    void install_signal_push(int signum, SignalPush* push)
    void signal_thread(void* handle, int signum)

cdef extern from "orvel/tandem/waitable_index.hpp" namespace "orvel::tandem" nogil:
    cdef cppclass FullQueueRetry:
        FullQueueRetry() noexcept
        void pause() noexcept


ctypedef int (*push_t)(void* target, const void* data, size_t length) noexcept nogil
ctypedef int (*pop_t)(void* pipe, void** data, size_t* length) noexcept nogil
ctypedef void (*release_t)(void* pipe) noexcept nogil


# ---------------------------------------------------------------------------------------------
# Records: their sequence number, then bytes derived from it

cdef size_t record_length(uint64_t seq, size_t size, bint varying) noexcept nogil:
    return 1 + (seq * 7919) % size if varying else size


cdef void fill(char* record, size_t length, uint64_t seq) noexcept nogil:
    cdef size_t i
    for i in range(length):
        record[i] = <char>((seq * 131 + i * 7) >> 3)
    memcpy(record, &seq, min(length, sizeof(seq)))


def record(uint64_t seq, size_t size, bint varying=False):
    """The bytes of record `seq` as the producers make it: `size` bytes, or with `varying` a
    length from 1 to `size` that depends on `seq`."""
    cdef size_t length = record_length(seq, size, varying)
    made = PyBytes_FromStringAndSize(NULL, length)
    fill(PyBytes_AS_STRING(made), length, seq)
    return made


# ---------------------------------------------------------------------------------------------
# Feed: a native producer thread

cdef struct FeedJob:
    void* target
    push_t push
    uint64_t count
    size_t size
    bint varying
    unsigned pause_one_in   # pause after about one record in this many (0: never)
    unsigned max_pause_us
    bint stamped            # the first 8 bytes: steady-clock nanoseconds when pushed
    bint end_marker         # the last record has 1 byte: a consumer can tell the end
    uint64_t random
    char* buffer
    uint64_t pushed
    uint64_t full           # pushes refused with -2 and retried
    int refused             # the result that ended the feed early, or 0
    double seconds


cdef int tandem_try_push(void* queue, const void* data, size_t length) noexcept nogil:
    return (<Tandem>queue).try_push(data, length)


cdef int tandem_push_var(void* queue, const void* data, size_t length) noexcept nogil:
    return (<Tandem>queue).push_var(data, length)


cdef int tandem_try_push_var(void* queue, const void* data, size_t length) noexcept nogil:
    return (<Tandem>queue).try_push_var(data, length)


cdef push_t push_routine(target, str tandem_entry) except NULL:
    """The routine a producer pushes into `target` with: a dispatcher's _push, a pipe's push_fn,
    or the Tandem table's entry named `tandem_entry`."""
    cdef push_t push = NULL
    if isinstance(target, SyncDispatcher):
        push = <push_t>(<SyncDispatcher>target)._push
    elif isinstance(target, AsyncDispatcher):
        push = <push_t>(<AsyncDispatcher>target)._push
    elif isinstance(target, LumPipe):
        push = <push_t>(<LumPipe>target).push_fn
    elif isinstance(target, Tandem):
        if tandem_entry == "push_var":
            push = tandem_push_var
        elif tandem_entry == "try_push_var":
            push = tandem_try_push_var
        else:
            push = tandem_try_push
    else:
        raise TypeError(f"cannot feed a {type(target).__name__}")
    if push == NULL:
        raise ValueError("the target was never constructed")
    return push


cdef uint64_t next_random(FeedJob* job) noexcept nogil:
    job.random ^= job.random << 13
    job.random ^= job.random >> 7
    job.random ^= job.random << 17
    return job.random


cdef void produce(void* arg) noexcept nogil:
    cdef FeedJob* job = <FeedJob*>arg
    cdef double started = seconds_now()
    cdef uint64_t seq
    cdef size_t length
    cdef int result
    cdef int64_t now
    cdef FullQueueRetry retry
    for seq in range(job.count):
        length = 1 if job.end_marker and seq + 1 == job.count else record_length(seq, job.size, job.varying)
        fill(job.buffer, length, seq)
        if job.stamped:
            now = steady_nanoseconds()
            memcpy(job.buffer, &now, min(length, sizeof(now)))
        result = job.push(job.target, job.buffer, length)
        retry = FullQueueRetry()
        while result == -2:  # full: the consumer has not caught up yet
            job.full += 1
            retry.pause()
            result = job.push(job.target, job.buffer, length)
        if result != 1:
            job.refused = result
            break
        job.pushed += 1
        if job.pause_one_in and next_random(job) % job.pause_one_in == 0:
            pause_microseconds(<unsigned>(next_random(job) % (job.max_pause_us + 1)))
    job.seconds = seconds_now() - started


cdef class Feed:
    """Feed(target, count, size, varying=False, pause_one_in=0, max_pause_us=0, seed=1,
            stamped=False, end_marker=False)

    Pushes `count` records (see record()) into a SyncDispatcher or AsyncDispatcher through its
    _push routine, a LumPipe through push_fn, or a Tandem through try_push, from a native thread
    started by start(). A full queue is retried. Random pauses of up to `max_pause_us` after about
    one record in `pause_one_in` let the consumer fall asleep in between. `stamped` records start
    with the time of their push (steady clock, nanoseconds: time.monotonic_ns() in Python); with
    `end_marker` the last record is 1 byte long."""

    cdef FeedJob job
    cdef object target
    cdef void* thread

    def __init__(self, target, uint64_t count, size_t size, bint varying=False,
                 unsigned pause_one_in=0, unsigned max_pause_us=0, uint64_t seed=1,
                 bint stamped=False, bint end_marker=False):
        self.job.push = push_routine(target, "try_push")
        self.target = target
        self.job.target = <void*>target
        self.job.count, self.job.size, self.job.varying = count, size, varying
        self.job.pause_one_in, self.job.max_pause_us, self.job.random = pause_one_in, max_pause_us, seed or 1
        self.job.stamped, self.job.end_marker = stamped, end_marker
        self.job.buffer = <char*>malloc(size or 1)
        if self.job.buffer == NULL:
            raise MemoryError()

    def start(self):
        if self.thread != NULL:
            raise RuntimeError("started already")
        self.thread = start_thread(produce, &self.job)
        return self

    def join(self):
        """Waits for the producer; returns its counts and the seconds it took."""
        if self.thread != NULL:
            with nogil:
                join_thread(self.thread)
            self.thread = NULL
        return {"pushed": self.job.pushed, "full": self.job.full, "refused": self.job.refused,
                "seconds": self.job.seconds}

    def __dealloc__(self):
        if self.thread != NULL:
            with nogil:
                join_thread(self.thread)
        free(self.job.buffer)


# ---------------------------------------------------------------------------------------------
# Single pushes from a native thread

cdef struct PushJob:
    void* target
    push_t push
    vector[size_t]* lengths
    vector[int]* results
    char* zeros


# The push is not made inside push_back's call: Cython guards that with a catch of every C++
# exception, which would also stop the unwinding by which the interpreter ends a thread that asks
# for its lock while it finalises (a refused message is reported with it), and abort the process.
cdef void push_each(void* arg) noexcept nogil:
    cdef PushJob* job = <PushJob*>arg
    cdef size_t length
    cdef int result
    for length in job.lengths[0]:
        result = job.push(job.target, job.zeros, length)
        job.results.push_back(result)


def push_natively(target, lengths, str tandem_entry="try_push"):
    """Pushes one record of zero bytes for each of `lengths` into `target` (as Feed does; a Tandem
    through `tandem_entry`), all from one new native thread that has no Python thread state.
    Returns the push results."""
    cdef vector[size_t] sizes = lengths
    cdef vector[int] results
    cdef PushJob job
    job.target = <void*>target
    job.push = push_routine(target, tandem_entry)
    job.lengths = &sizes
    job.results = &results
    job.zeros = <char*>calloc(max(sizes, default=0) or 1, 1)
    if job.zeros == NULL:
        raise MemoryError()
    cdef void* thread
    try:
        thread = start_thread(push_each, &job)
        with nogil:
            join_thread(thread)
    finally:
        free(job.zeros)
    return list(results)


def push_here(target, lengths, str tandem_entry="try_push"):
    """Pushes one record of zero bytes for each of `lengths` into `target` (as push_natively does)
    from the calling thread, with the interpreter lock held, as a push that does not wait for room
    may be made. Returns the push results."""
    cdef push_t push = push_routine(target, tandem_entry)
    cdef vector[size_t] sizes = lengths
    zeros = bytes(max(sizes, default=0))
    cdef const char* data = zeros
    return [push(<void*>target, data, length) for length in sizes]


# ---------------------------------------------------------------------------------------------
# A push that a signal interrupts

cdef struct InterruptedJob:
    SignalPush* handler
    int tid
    int result


cdef void push_once(void* arg) noexcept nogil:
    cdef InterruptedJob* job = <InterruptedJob*>arg
    cdef char zeros[256]
    memset(zeros, 0, sizeof(zeros))
    job.tid = thread_id()
    job.result = job.handler.push(job.handler.target, zeros, job.handler.length)


cdef class InterruptedPush:
    """InterruptedPush(target, size_t length, int signum)

    A push of `length` zero bytes (at most 256) into `target`, as Feed makes it, from a native
    thread started by start(); interrupt() sends that thread `signum`, whose handler pushes as
    many again into `target`, on the interrupted thread. The handler stays installed."""

    cdef SignalPush handler
    cdef InterruptedJob job
    cdef object target
    cdef int signum
    cdef void* thread

    def __init__(self, target, size_t length, int signum):
        if length > 256:
            raise ValueError("at most 256 bytes")
        self.handler.push = push_routine(target, "try_push")
        self.handler.target = <void*>target
        self.handler.length = length
        self.target, self.signum = target, signum
        self.job.handler = &self.handler

    def start(self):
        if self.thread != NULL:
            raise RuntimeError("started already")
        install_signal_push(self.signum, &self.handler)
        self.thread = start_thread(push_once, &self.job)
        return self

    @property
    def thread_id(self):
        """The pushing thread's id in the kernel, once it runs (0 before)."""
        return self.job.tid

    @property
    def handler_result(self):
        """The result of the handler's push, 0 until it has returned."""
        return self.handler.result

    def interrupt(self):
        signal_thread(self.thread, self.signum)

    def join(self):
        """Waits for the pushing thread; returns the result of its push."""
        if self.thread != NULL:
            with nogil:
                join_thread(self.thread)
            self.thread = NULL
        return self.job.result

    def __dealloc__(self):
        if self.thread != NULL:
            with nogil:
                join_thread(self.thread)


# ---------------------------------------------------------------------------------------------
# A native consumer of a LumPipe

cdef struct DrainJob:
    void* pipe
    pop_t pop
    release_t release
    uint64_t count
    size_t size             # records are checked against record() when size > 0
    bint varying
    vector[string]* kept    # or kept whole, when not null
    char* expected
    uint64_t received
    uint64_t intact
    int ended               # the pop result that ended the drain early, or 0


cdef void consume(void* arg) noexcept nogil:
    cdef DrainJob* job = <DrainJob*>arg
    cdef void* data
    cdef size_t length
    cdef int result
    while job.received < job.count:
        result = job.pop(job.pipe, &data, &length)
        if result != 1:
            job.ended = result
            return
        if job.kept != NULL:
            job.kept.push_back(string(<char*>data, length))
        elif length == record_length(job.received, job.size, job.varying):
            fill(job.expected, length, job.received)
            job.intact += memcmp(data, job.expected, length) == 0
        job.release(job.pipe)  # single-slot records are read in place until now
        job.received += 1


cdef DrainJob drain_job(LumPipe pipe, uint64_t count) except *:
    if pipe.pop_fn == NULL:
        raise ValueError("the pipe was never constructed")
    cdef DrainJob job
    job.pipe = <void*>pipe
    job.pop = <pop_t>pipe.pop_fn
    job.release = <release_t>pipe.release_fn
    job.count = count
    job.kept = NULL
    job.expected = NULL
    job.received = job.intact = 0
    job.ended = 0
    return job


def relay(LumPipe pipe, messages, int msg_kind=4):
    """Converts each of `messages` with a CBufferView(msg_kind) and pushes it through the pipe on
    this thread, while a native thread takes the records out. Returns what came out, as bytes."""
    cdef CBufferView view = CBufferView(msg_kind)
    cdef vector[string] kept
    cdef DrainJob job = drain_job(pipe, len(messages))
    job.kept = &kept
    cdef void* consumer = start_thread(consume, &job)
    cdef int result
    try:
        for message in messages:
            view.loader(view, message)
            with nogil:
                result = pipe.push_fn(pipe, view.data, view.size)
            if result != 1:
                raise RuntimeError(f"push_fn returned {result}")
    except BaseException:
        pipe._q.close()  # the consumer waits for messages that will not come
        raise
    finally:
        with nogil:
            join_thread(consumer)
    return [<bytes>record for record in kept]


def stream(LumPipe pipe, uint64_t count, size_t size, bint varying=False):
    """Moves `count` records between two native threads through the pipe and checks every byte.
    Returns the counts sent, received and intact, and the seconds it took."""
    cdef DrainJob job = drain_job(pipe, count)
    job.size, job.varying = size, varying
    job.expected = <char*>malloc(size or 1)
    if job.expected == NULL:
        raise MemoryError()
    feed = Feed(pipe, count, size, varying)
    cdef double started = seconds_now()
    cdef void* consumer = start_thread(consume, &job)
    feed.start()
    moved = feed.join()
    with nogil:
        join_thread(consumer)
    free(job.expected)
    return {"sent": moved["pushed"], "received": job.received, "intact": job.intact,
            "seconds": seconds_now() - started}

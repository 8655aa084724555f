"""Moves records between two native threads through an orvel Tandem, the way a downstream
extension module does it: it cimports the queue type and calls the queue's native table, without
the interpreter lock."""

from libc.stdint cimport uint64_t
from libc.stdlib cimport free, malloc
from libc.string cimport memcmp, memcpy

from orvel.tandem.tandem cimport Tandem


cdef extern from "relay.hpp" nogil:
    double run_pair(void (*producer)(Tandem, void*) noexcept nogil,
                    void (*consumer)(Tandem, void*) noexcept nogil,
                    Tandem queue, void* job) except +


cdef struct Job:
    uint64_t records
    size_t record_size
    bint messages
    uint64_t sent
    uint64_t received
    uint64_t intact
    char* produced  # producer's buffer
    char* expected  # consumer's buffer


cdef void fill(char* record, size_t size, uint64_t seq) noexcept nogil:
    """Record contents: its sequence number, then bytes derived from it."""
    cdef size_t i
    for i in range(size):
        record[i] = <char>((seq * 131 + i * 7) >> 3)
    memcpy(record, &seq, min(size, sizeof(seq)))


cdef void produce(Tandem queue, void* context) noexcept nogil:
    cdef Job* job = <Job*>context
    cdef uint64_t seq
    cdef int result
    for seq in range(job.records):
        fill(job.produced, job.record_size, seq)
        if job.messages:
            result = queue.push_var(job.produced, job.record_size)
        else:
            result = queue.push(job.produced, job.record_size)
        if result != 1:
            queue.close()  # releases the consumer, which is waiting for records that never come
            return
        job.sent += 1


cdef void consume(Tandem queue, void* context) noexcept nogil:
    cdef Job* job = <Job*>context
    cdef void* data
    cdef size_t length
    cdef int result
    while job.received < job.records:
        result = queue.pop_var(&data, &length) if job.messages else queue.pop(&data, &length)
        if result != 1:
            return
        fill(job.expected, job.record_size, job.received)
        job.intact += length == job.record_size and memcmp(data, job.expected, length) == 0
        job.received += 1


def relay(Tandem queue, uint64_t records, size_t record_size, bint messages=False):
    """Pushes `records` records (or variable-size messages) of `record_size` bytes from one native
    thread and pops them on another. The queue should block when full: a refused push closes it
    and ends the run. Returns a dict with the counts sent, received and intact, and the seconds
    it took."""
    cdef Job job
    job.records, job.record_size, job.messages = records, record_size, messages
    job.sent = job.received = job.intact = 0
    job.produced = <char*>malloc(record_size or 1)
    job.expected = <char*>malloc(record_size or 1)
    cdef double seconds
    try:
        if job.produced == NULL or job.expected == NULL:
            raise MemoryError()
        with nogil:
            seconds = run_pair(produce, consume, queue, &job)
    finally:
        free(job.produced)
        free(job.expected)
    return {"sent": job.sent, "received": job.received, "intact": job.intact, "seconds": seconds}

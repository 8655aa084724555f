# Declarations of the bridge's C++ engine: the wake-up channel and the dispatcher's worker.
from cpython.object cimport PyObject, PyTypeObject
from libc.stdint cimport uint16_t, uint64_t
from libcpp cimport bool as cbool
from libcpp.atomic cimport atomic
from libcpp.memory cimport shared_ptr

from orvel.tandem.tandem cimport TandemCore


cdef extern from "<netinet/in.h>" nogil:
    ctypedef struct sockaddr_in:
        pass


cdef extern from "orvel/tandem/tandem_table.hpp" namespace "orvel::tandem" nogil:
    cdef cppclass TandemTable:
        pass


cdef extern from "orvel/utils/portage/wake_channel.hpp" namespace "orvel::portage" nogil:
    sockaddr_in wake_address(const char* ip, uint16_t port) noexcept
    void send_wake(int fd, const sockaddr_in& address) noexcept

    cdef cppclass WakeChannel:
        bint arm(int fd, const sockaddr_in& address) noexcept
        int fd() noexcept
        bint announce_wait() noexcept
        void withdraw_wait() noexcept
        void notify() noexcept
        void ring() noexcept


cdef extern from "orvel/utils/portage/producer_wait.hpp" namespace "orvel::portage" nogil:
    # Not except +: a catch would stop the unwinding that ends a thread at exit (TurnHeld).
    int push_waking(WakeChannel& wake, const TandemTable& table, void* queue, const TandemCore& ring,
                    const void* data, size_t length, bint whole_messages)


cdef extern from "orvel/utils/portage/bridge_stats.hpp" namespace "orvel::portage" nogil:
    cdef struct Deliveries:
        uint64_t delivered
        uint64_t callback_errors
        uint64_t batches

    # Converted to a dict of its fields, in this order, by stats().
    cdef struct BridgeStats:
        uint64_t pushed
        uint64_t popped
        uint64_t refused_full
        uint64_t dropped
        uint64_t wakeups_sent
        uint64_t consumer_sleeps
        uint64_t delivered
        uint64_t callback_errors

    BridgeStats bridge_stats(const TandemCore* ring, const WakeChannel& wake, const Deliveries& deliveries) noexcept


cdef extern from "orvel/utils/portage/drain_loop.hpp" namespace "orvel::portage" nogil:
    cdef enum class WorkerBody:
        kTryPop
        kTryPopVar
        kPop
        kPopVar


cdef extern from "orvel/utils/portage/batch_loop.hpp" namespace "orvel::portage" nogil:
    cdef struct BatchBounds:
        size_t max_records
        size_t max_bytes


cdef extern from "orvel/utils/portage/record_batch.hpp" namespace "orvel::portage":
    PyTypeObject* record_batch_type() except NULL


cdef extern from "orvel/utils/portage/worker.hpp" namespace "orvel::portage" nogil:
    cdef cppclass Worker:
        atomic[cbool] running
        WakeChannel wake

        void count_pushes(bint enabled) noexcept
        void deliver_batches(BatchBounds bounds) noexcept
        bint batching() noexcept
        # Not except +: a catch would stop the unwinding that ends a thread at exit (TurnHeld).
        int push(const TandemTable& table, void* queue, const TandemCore& ring, const void* data, size_t length,
                 bint whole_messages)

        @staticmethod
        void start(const shared_ptr[Worker]& worker, PyObject* queue, const TandemTable* table,
                   PyObject* callback, WorkerBody body, const char* name) except +
        void run(PyObject* queue, const TandemTable* table, PyObject* callback, WorkerBody body,
                 const char* name) noexcept
        void join() noexcept
        bint started() noexcept
        bint alive() noexcept
        PyObject* error() noexcept
        void forget_error() noexcept
        Deliveries deliveries() noexcept

    void close_interpreter_to_workers() noexcept


cdef extern from "orvel/utils/portage/async_reader.hpp" namespace "orvel::portage":
    cdef cppclass AsyncReaderArgs:
        PyObject* queue
        const TandemTable* table
        bint whole_messages
        shared_ptr[WakeChannel] wake
        PyObject* loop
        PyObject* sock
        PyObject* pass_once
        BatchBounds batches

    object new_async_reader(const AsyncReaderArgs& args)
    Deliveries async_reader_deliveries(PyObject* records) noexcept
    void stop_async_reader(object records) noexcept
    void close_async_readers() noexcept


cdef extern from "orvel/utils/portage/conversions.hpp" namespace "orvel::portage":
    int bytes_contents(object message, const char** data, size_t* size) except -1
    int utf8_contents(object message, const char** data, size_t* size) except -1
    int buffer_contents(object message, Py_buffer* view, const char** data, size_t* size) except -1
    int bytes_conversion(object message, PyObject** holder, const char** data, size_t* size) except -1


cdef extern from "orvel/utils/portage/unraisable.hpp" namespace "orvel::portage":
    void report_unraisable(object error, const char* where) noexcept

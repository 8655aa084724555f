#pragma once

// The records side of an AsyncDispatcher's reader task.
//
// The reader's loop is Python bytecode (reader.py): `for record in records: await
// callback(record)`, where the interpreter's own specialised await runs each callback's
// coroutine in its frame. A native loop that drove every coroutine through PyIter_Send, entering
// the evaluation loop afresh for each record, measured 0.47x to 0.63x the deque floor of
// bench/bridge in the rounds where this one measured 0.65x to 0.68x. What is native is
// everything around the await: iterating pops the queue and makes each record's bytes (in the
// last record's, once the loop has let go of it), and pause() says what the reader awaits when
// iteration stops, announcing the wait to the producers.
//
// Iteration stops when the reader is stopped (stop_async_reader) or the queue is closed (pause()
// then returns None: the reader is done), when 128 records have been delivered in a row (pause()
// gives one pass of the loop), or when the queue is empty. An empty queue first gets one pass of
// the loop, so that a producer about to push saves the socket round; then the wait is announced,
// the queue checked once more, and pause() gives loop.sock_recv(sock, 1).
//
// The records object holds what it uses (the queue, the wake-up channel, the socket) and not the
// dispatcher, so that dropping the dispatcher's last reference closes it while the reader runs.
// When the reader ends, for whatever reason, it calls close_queue(): nobody consumes the queue
// any more, so producers get -1. An exception that ended it stays readable as `error`.

#include <Python.h>

#include <memory>

#include "orvel/tandem/tandem_table.hpp"
#include "orvel/utils/portage/batch_loop.hpp"
#include "orvel/utils/portage/bridge_stats.hpp"
#include "orvel/utils/portage/wake_channel.hpp"

namespace orvel::portage {

struct AsyncReaderArgs {
  PyObject* queue;      // a Tandem, driven through its table; held by the records object
  const tandem::TandemTable* table;
  bool whole_messages;  // try_pop_var instead of try_pop
  std::shared_ptr<WakeChannel> wake;
  PyObject* loop;
  PyObject* sock;
  PyObject* pass_once;  // asyncio.sleep: sleep(0) yields to the loop once
  // With records, iteration gives batches (RecordBatch, record_batch.hpp) of what the queue holds
  // instead of one record at a time; the 128 records between passes of the loop count the
  // batches' records. No records (the default): one record at a time.
  BatchBounds batches{0, 0};
};

// A new records object (a new reference), or null with an exception set. With the interpreter lock.
PyObject* new_async_reader(const AsyncReaderArgs& args) noexcept;

// What the reader of a records object (null: none yet) has delivered. With the interpreter lock.
Deliveries async_reader_deliveries(PyObject* records) noexcept;

// Stops the reader of a records object: no record is handed out any more. With the interpreter lock.
void stop_async_reader(PyObject* records) noexcept;

// In a forked child, with the interpreter lock: stops every reader and closes its queue. The
// child's copies of the parent's dispatchers have no consumer (the loop's selector is shared with
// the parent), so a producer the child starts is told so (-1).
void close_async_readers() noexcept;

}  // namespace orvel::portage

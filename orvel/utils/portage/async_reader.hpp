#pragma once

// The reader of an AsyncDispatcher: what its reader coroutine awaits.
//
// It runs inside the reader task, with the interpreter lock held, and drains the queue, calling
// the asynchronous callback with each record. Awaiting every record's callback through a
// coroutine of its own would cost an awaitable wrapper and a round of coroutine machinery per
// record; the reader drives the callback's coroutine itself (PyIter_Send) and gives control back
// to the task only when it must: a callback suspends, the queue is empty and the reader waits for
// a wake-up datagram through the loop's sock_recv, 128 records have gone by in a row (a forced
// yield), or it is done (the dispatcher's `running` is false, or the queue is closed).
//
// The object is an awaitable iterator (am_await, am_send, send, throw, close). What the task
// sends or throws in while the reader waits on an awaitable is forwarded to that awaitable.

#include <Python.h>

#include "orvel/tandem/tandem_table.hpp"
#include "orvel/utils/portage/wake_channel.hpp"

namespace orvel::portage {

struct AsyncReaderArgs {
  PyObject* owner;     // kept alive by the reader: it owns the queue, `running` and `wake`
  void* queue;          // a Tandem, driven through its table
  const tandem::TandemTable* table;
  bool whole_messages;  // try_pop_var instead of try_pop
  WakeChannel* wake;
  const int* running;
  PyObject* callback;
  PyObject* loop;
  PyObject* sock;
};

// A new reader (a new reference), or null with an exception set. With the interpreter lock.
PyObject* new_async_reader(const AsyncReaderArgs& args) noexcept;

}  // namespace orvel::portage

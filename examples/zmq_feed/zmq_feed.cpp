// zmq_feed: records from other machines over ZeroMQ, into orvel's dispatchers. A Feed owns a
// native thread that receives from a PULL or SUB socket and pushes every message into a
// SyncDispatcher or AsyncDispatcher without the interpreter lock; send() is a native sender of
// numbered messages for tests and benchmarks.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <orvel/native.hpp>

#include "receiver.hpp"
#include "sender.hpp"

namespace {

namespace native = orvel::native;
using zmq_feed::Receiver;

// ---- Python errors from the engine's exceptions --------------------------------------------------

PyObject* os_error(int error, const char* message) {
  PyObject* args = Py_BuildValue("(is)", error, message);
  if (args != nullptr) {
    PyErr_SetObject(PyExc_OSError, args);  // OSError picks its subclass from the number
    Py_DECREF(args);
  }
  return nullptr;
}

// Sets the Python exception for the exception being handled; returns null. Inside a catch only.
PyObject* raise_caught() {
  try {
    throw;
  } catch (const zmq_feed::EndpointError& error) {
    switch (error.error()) {
      case EINVAL:
      case EPROTONOSUPPORT:
      case ENOCOMPATPROTO:
      case ENAMETOOLONG:
        PyErr_SetString(PyExc_ValueError, error.what());  // the text itself is wrong
        return nullptr;
      default:
        return os_error(error.error(), error.what());  // the system refused it
    }
  } catch (const zmq::error_t& error) {
    return os_error(error.num(), error.what());
  } catch (const std::invalid_argument& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  }
  return nullptr;
}

// ---- arguments --------------------------------------------------------------------------------

// One text argument as UTF-8, or bytes as they are where `bytes_too`. False with TypeError set.
bool text(PyObject* item, const char* name, bool bytes_too, std::string& out) {
  if (bytes_too && PyBytes_Check(item)) {
    out.assign(PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
    return true;
  }
  if (PyUnicode_Check(item)) {
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
    if (utf8 == nullptr) return false;
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s takes %s, not %.100s", name, bytes_too ? "str or bytes" : "str",
               Py_TYPE(item)->tp_name);
  return false;
}

// `arg` as one text, or as an iterable of them.
bool texts(PyObject* arg, const char* name, bool bytes_too, std::vector<std::string>& out) {
  if (PyUnicode_Check(arg) || (bytes_too && PyBytes_Check(arg))) {
    return text(arg, name, bytes_too, out.emplace_back());
  }
  PyObject* iterator = PyObject_GetIter(arg);
  if (iterator == nullptr) {
    PyErr_Format(PyExc_TypeError, "%s takes one %s or an iterable of them, not %.100s", name,
                 bytes_too ? "str or bytes" : "str", Py_TYPE(arg)->tp_name);
    return false;
  }
  bool converted = true;
  while (PyObject* item = PyIter_Next(iterator)) {
    converted = text(item, name, bytes_too, out.emplace_back());
    Py_DECREF(item);
    if (!converted) break;
  }
  Py_DECREF(iterator);
  return converted && !PyErr_Occurred();
}

// The dispatcher's producer, or nothing with an exception set. Whether the receiver can feed it,
// the receiver tells.
std::optional<native::Producer> producer_of(PyObject* dispatcher) {
  const native::Api& api = native::api();
  if (!PyObject_TypeCheck(dispatcher, api.sync_dispatcher_type) &&
      !PyObject_TypeCheck(dispatcher, api.async_dispatcher_type)) {
    PyErr_Format(PyExc_TypeError, "expected a SyncDispatcher or AsyncDispatcher, got %.100s",
                 Py_TYPE(dispatcher)->tp_name);
    return std::nullopt;
  }
  native::Producer producer = native::Producer::of(dispatcher);  // ValueError when __init__ never ran
  if (!producer) return std::nullopt;
  return producer;
}

// ---- Feed --------------------------------------------------------------------------------------

struct FeedObject {
  PyObject_HEAD
  PyObject* dispatcher;  // owned: the receiver pushes into it until the feed is closed
  Receiver* receiver;    // owned; its thread and ZeroMQ context exist in the process that made it
  PyObject* endpoints;   // a tuple of str: bound (as resolved), then connected
  const char* pattern;   // "pull" or "sub"
  pid_t owner;           // the process that made the receiver
  bool closed;
};

// The feeds not yet freed, for closing at exit. Changed and read with the interpreter lock.
std::vector<FeedObject*>& live_feeds() {
  static std::vector<FeedObject*> feeds;
  return feeds;
}

// A child forked from the process that made the receiver has a copy of its memory, but neither
// its thread nor ZeroMQ's: there it is left alone, never stopped or freed.
bool receiver_here(const FeedObject* self) { return self->receiver != nullptr && self->owner == getpid(); }

void close_feed(FeedObject* self) {
  if (self->closed) return;
  self->closed = true;  // set before the lock goes: a second close() meanwhile returns at once
  if (!receiver_here(self)) return;
  Receiver* receiver = self->receiver;
  Py_BEGIN_ALLOW_THREADS
  receiver->stop();  // without the lock: a push refusing a message takes it to report why
  Py_END_ALLOW_THREADS
}

const char* const feed_keywords[] = {"dispatcher", "connect", "bind", "subscribe", "when_full", nullptr};

PyObject* feed_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* dispatcher;
  PyObject* connect = nullptr;
  PyObject* bind = nullptr;
  PyObject* subscribe = Py_None;
  const char* when_full = "wait";
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO$Os:Feed", const_cast<char**>(feed_keywords), &dispatcher,
                                   &connect, &bind, &subscribe, &when_full)) {
    return nullptr;
  }
  zmq_feed::Options options;
  if ((connect != nullptr && !texts(connect, "connect", false, options.connect)) ||
      (bind != nullptr && !texts(bind, "bind", false, options.bind)) ||
      (subscribe != Py_None && !texts(subscribe, "subscribe", true, options.subscribe))) {
    return nullptr;
  }
  if (options.connect.empty() && options.bind.empty()) {
    PyErr_SetString(PyExc_ValueError, "give at least one endpoint to connect to or bind");
    return nullptr;
  }
  if (subscribe != Py_None && options.subscribe.empty()) {
    PyErr_SetString(PyExc_ValueError, "subscribe to at least one topic prefix (b'' for every message)");
    return nullptr;
  }
  if (std::string(when_full) == "drop") {
    options.when_full = zmq_feed::WhenFull::kDrop;
  } else if (std::string(when_full) != "wait") {
    PyErr_Format(PyExc_ValueError, "when_full must be 'wait' or 'drop', not '%s'", when_full);
    return nullptr;
  }
  std::optional<native::Producer> producer = producer_of(dispatcher);
  if (!producer) return nullptr;

  auto* self = reinterpret_cast<FeedObject*>(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  Py_INCREF(dispatcher);
  self->dispatcher = dispatcher;
  self->pattern = options.subscribe.empty() ? "pull" : "sub";
  self->owner = getpid();
  try {
    self->receiver = new Receiver(*producer, options);
  } catch (...) {
    Py_DECREF(self);
    return raise_caught();
  }
  std::vector<std::string> endpoints = self->receiver->bound();
  endpoints.insert(endpoints.end(), options.connect.begin(), options.connect.end());
  self->endpoints = PyTuple_New(static_cast<Py_ssize_t>(endpoints.size()));
  for (std::size_t i = 0; self->endpoints != nullptr && i < endpoints.size(); ++i) {
    PyObject* endpoint = PyUnicode_FromStringAndSize(endpoints[i].data(), static_cast<Py_ssize_t>(endpoints[i].size()));
    if (endpoint == nullptr) Py_CLEAR(self->endpoints);
    else PyTuple_SET_ITEM(self->endpoints, static_cast<Py_ssize_t>(i), endpoint);
  }
  if (self->endpoints == nullptr) {
    Py_DECREF(self);
    return nullptr;
  }
  live_feeds().push_back(self);
  return reinterpret_cast<PyObject*>(self);
}

void feed_dealloc(FeedObject* self) {
  std::erase(live_feeds(), self);
  close_feed(self);
  if (receiver_here(self)) delete self->receiver;
  Py_XDECREF(self->dispatcher);
  Py_XDECREF(self->endpoints);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* feed_close(FeedObject* self, PyObject*) {
  close_feed(self);
  Py_RETURN_NONE;
}

PyObject* feed_enter(FeedObject* self, PyObject*) {
  if (self->closed) {
    PyErr_SetString(PyExc_RuntimeError, "this Feed is closed");
    return nullptr;
  }
  return Py_NewRef(self);
}

PyObject* feed_exit(FeedObject* self, PyObject*) {
  close_feed(self);
  Py_RETURN_NONE;
}

PyObject* feed_stats(FeedObject* self, PyObject*) {
  const zmq_feed::Counts c = self->receiver->counts();
  auto u = [](std::uint64_t n) { return static_cast<unsigned long long>(n); };
  return Py_BuildValue("{s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K}", "received", u(c.received), "pushed", u(c.pushed),
                       "waited", u(c.waited), "dropped", u(c.dropped), "oversized", u(c.oversized), "empty",
                       u(c.empty), "peers", u(c.peers), "disconnects", u(c.disconnects));
}

const char* state_of(const FeedObject* self) {
  if (self->closed) return "closed";
  if (!receiver_here(self)) return "forked";
  switch (self->receiver->ended()) {
    case zmq_feed::Ended::kRunning: return "running";
    case zmq_feed::Ended::kFailed: return "failed";
    default: return "ended";
  }
}

PyObject* feed_repr(FeedObject* self) {
  return PyUnicode_FromFormat("<Feed %s %s received=%llu endpoints=%R>", self->pattern, state_of(self),
                              static_cast<unsigned long long>(self->receiver->counts().received), self->endpoints);
}

PyObject* feed_closed(FeedObject* self, void*) { return PyBool_FromLong(self->closed); }

PyObject* feed_running(FeedObject* self, void*) { return PyBool_FromLong(std::strcmp(state_of(self), "running") == 0); }

PyObject* feed_error(FeedObject* self, void*) {
  if (self->receiver->ended() != zmq_feed::Ended::kFailed) Py_RETURN_NONE;
  PyObject* args = Py_BuildValue("(is)", self->receiver->error(), zmq_strerror(self->receiver->error()));
  if (args == nullptr) return nullptr;
  PyObject* error = PyObject_Call(PyExc_OSError, args, nullptr);
  Py_DECREF(args);
  return error;
}

PyObject* feed_dispatcher(FeedObject* self, void*) { return Py_NewRef(self->dispatcher); }

PyObject* feed_endpoints(FeedObject* self, void*) { return Py_NewRef(self->endpoints); }

PyMethodDef feed_methods[] = {
    {"close", reinterpret_cast<PyCFunction>(feed_close), METH_NOARGS,
     "close($self, /)\n--\n\nStops the receiving thread, closes the socket and terminates the ZeroMQ context.\n"
     "Messages the socket had received and not yet pushed are dropped. More than once, from any thread."},
    {"stats", reinterpret_cast<PyCFunction>(feed_stats), METH_NOARGS,
     "stats($self, /)\n--\n\nWhat the feed has counted: message parts received from the socket, pushed into\n"
     "the dispatcher, waited (found it full and waited for room), dropped (found it full, when_full='drop'),\n"
     "oversized (longer than the dispatcher carries), empty (for a variable_size dispatcher, which carries\n"
     "none), peers (connections open now) and disconnects. Approximate while messages flow."},
    {"__enter__", reinterpret_cast<PyCFunction>(feed_enter), METH_NOARGS,
     "__enter__($self, /)\n--\n\nReturns the feed; RuntimeError once it is closed."},
    {"__exit__", reinterpret_cast<PyCFunction>(feed_exit), METH_VARARGS,
     "__exit__($self, exc_type, exc, traceback, /)\n--\n\nCloses the feed."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef feed_properties[] = {
    {"closed", reinterpret_cast<getter>(feed_closed), nullptr, "Whether close() has run.", nullptr},
    {"running", reinterpret_cast<getter>(feed_running), nullptr,
     "Whether the receiving thread still receives: not once the feed or its dispatcher is closed, or ZeroMQ failed.",
     nullptr},
    {"error", reinterpret_cast<getter>(feed_error), nullptr,
     "The OSError of a ZeroMQ failure that ended the receiving thread, or None.", nullptr},
    {"dispatcher", reinterpret_cast<getter>(feed_dispatcher), nullptr, "The dispatcher fed.", nullptr},
    {"endpoints", reinterpret_cast<getter>(feed_endpoints), nullptr,
     "The endpoints bound (a port given as * as the one chosen), then those connected to.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot feed_slots[] = {
    {Py_tp_doc, const_cast<char*>(
        "Feed(dispatcher, connect=(), bind=(), *, subscribe=None, when_full='wait')\n--\n\n"
        "Receives ZeroMQ messages on a native thread and pushes each one (each part of a multipart message)\n"
        "into the SyncDispatcher or AsyncDispatcher as a record. `connect` and `bind` take an endpoint or\n"
        "several (tcp://host:port, ipc://path); a PULL socket, or with `subscribe` (topic prefixes, b'' for\n"
        "all) a SUB socket. A full dispatcher makes the feed wait for room ('wait': ZeroMQ then holds the\n"
        "senders back) or drop the message ('drop'). The thread ends on close(), when the dispatcher closes\n"
        "(a watched signal closes it too) and at interpreter exit.")},
    {Py_tp_new, reinterpret_cast<void*>(feed_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(feed_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(feed_repr)},
    {Py_tp_methods, feed_methods},
    {Py_tp_getset, feed_properties},
    {0, nullptr},
};

PyType_Spec feed_spec = {"zmq_feed.Feed", sizeof(FeedObject), 0, Py_TPFLAGS_DEFAULT, feed_slots};

// Registered with atexit at import, after orvel's modules have registered theirs: the feeds stop
// before the dispatchers they push into.
PyObject* close_feeds(PyObject*, PyObject*) {
  std::vector<FeedObject*> feeds = live_feeds();
  for (FeedObject* feed : feeds) Py_INCREF(feed);  // closing lets other threads run, and drop theirs
  for (FeedObject* feed : feeds) close_feed(feed);
  for (FeedObject* feed : feeds) Py_DECREF(feed);
  Py_RETURN_NONE;
}

// ---- send ------------------------------------------------------------------------------------

const char* const send_keywords[] = {"endpoint", "count", "size", "sender", "topic", "publish", "bind", "before_close",
                                     nullptr};

PyObject* send(PyObject*, PyObject* args, PyObject* kwargs) {
  zmq_feed::Sequence sequence;
  const char* endpoint;
  unsigned long long count;
  Py_ssize_t size = 64;
  unsigned int sender = 0;
  const char* topic = "";
  Py_ssize_t topic_size = 0;
  int publish = 0;
  int bind = 0;
  PyObject* before_close = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sK|n$Iy#ppO:send", const_cast<char**>(send_keywords), &endpoint,
                                   &count, &size, &sender, &topic, &topic_size, &publish, &bind, &before_close)) {
    return nullptr;
  }
  if (before_close != Py_None && !PyCallable_Check(before_close)) {
    PyErr_SetString(PyExc_TypeError, "before_close must be callable or None");
    return nullptr;
  }
  if (size < 0) {
    PyErr_SetString(PyExc_ValueError, "size must not be negative");
    return nullptr;
  }
  sequence.endpoint = endpoint;
  sequence.count = count;
  sequence.size = static_cast<std::size_t>(size);
  sequence.sender = sender;
  sequence.topic.assign(topic, static_cast<std::size_t>(topic_size));
  sequence.publish = publish != 0;
  sequence.bind = bind != 0;
  bool called_back = true;
  if (before_close != Py_None) {
    // On this thread, whose lock send() has let go: taken back for the call, and the exception
    // of a call that failed stays pending on the thread's state.
    sequence.before_close = [before_close, &called_back] {
      PyGILState_STATE state = PyGILState_Ensure();
      PyObject* result = PyObject_CallNoArgs(before_close);
      called_back = result != nullptr;
      Py_XDECREF(result);
      PyGILState_Release(state);
    };
  }
  zmq_feed::Sent sent;
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    sent = zmq_feed::send_sequence(sequence);
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (...) {
      return raise_caught();
    }
  }
  if (!called_back) return nullptr;
  return Py_BuildValue("{s:K,s:d}", "sent", static_cast<unsigned long long>(sent.messages), "seconds", sent.seconds);
}

PyMethodDef module_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(send)), METH_VARARGS | METH_KEYWORDS,
     "send($module, /, endpoint, count, size=64, *, sender=0, topic=b'', publish=False, bind=False,\n"
     "     before_close=None)\n--\n\n"
     "Connects to `endpoint` (or binds it) and sends `count` messages of `size` bytes as fast as ZeroMQ takes them: the\n"
     "topic, then as much as fits of the message's sequence number (8 bytes little-endian, from 0) and `sender`\n"
     "(4 bytes little-endian), then zeros. A PUSH socket, or with `publish` a publisher that waits for its first subscriber. Then calls\n"
     "before_close() with the socket still open (ZeroMQ loses what is still on its way when a sender closes\n"
     "while its receiver is behind), and returns once ZeroMQ has passed every message on (or 30 s after):\n"
     "the count sent, and the seconds from the first to the last."},
    {"_close_feeds", close_feeds, METH_NOARGS, "Closes every feed: run at interpreter exit."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "zmq_feed",
                          "Records from other machines over ZeroMQ, into orvel's dispatchers.", -1, module_methods,
                          nullptr, nullptr, nullptr, nullptr};

int close_feeds_at_exit(PyObject* module) {
  PyObject* atexit = PyImport_ImportModule("atexit");
  PyObject* close = atexit ? PyObject_GetAttrString(module, "_close_feeds") : nullptr;
  PyObject* registered = close ? PyObject_CallMethod(atexit, "register", "O", close) : nullptr;
  Py_XDECREF(registered);
  Py_XDECREF(close);
  Py_XDECREF(atexit);
  return registered != nullptr ? 0 : -1;
}

}  // namespace

PyMODINIT_FUNC PyInit_zmq_feed() {
  if (orvel::native::import_bridge() < 0) return nullptr;
  PyObject* module = PyModule_Create(&module_def);
  if (module == nullptr) return nullptr;
  PyObject* type = PyType_FromSpec(&feed_spec);
  int added = type != nullptr ? PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type)) : -1;
  Py_XDECREF(type);
  if (added < 0 || close_feeds_at_exit(module) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

"""Message views, the exported conversions and the native pipe, as native code sees them."""

import ctypes
import gc
import pickle
import sys
import traceback

import pytest

import feeder
import native
from native import c_size_t, c_void_p
from orvel.utils.portage import portage
from orvel.utils.portage.portage import CBufferView, LumPipe
from tandem_table import NativeTable

PREFIX = "orvel.utils.portage.portage.CBufferView."


def convert(view, message):
    """The view's loader on `message`: (data, size, view held, holder) read back from the view."""
    native.LOADER(native.fields(view).loader)(id(view), message)
    f = native.fields(view)
    return ctypes.string_at(f.data, f.size), f.view.obj is not None, f.holder


def failing_loaders(error):
    return [frame.name.removeprefix(PREFIX) for frame in traceback.extract_tb(error.__traceback__)
            if frame.name.startswith(PREFIX)]


class Raising:
    def __bytes__(self):
        raise LookupError("no bytes")


@pytest.mark.parametrize("kind, message, error, loaders", [
    (0, "str", TypeError, ["_load_bytes"]),
    (1, b"bytes", TypeError, ["_load_str"]),
    (2, "str", TypeError, ["_load_buf"]),
    (2, memoryview(b"abcd")[::2], BufferError, ["_load_buf"]),
    (3, Raising(), LookupError, ["_load_obj"]),
    (4, 5, TypeError, ["_load", "_load_obj"]),
    (4, "a\ud800", UnicodeEncodeError, ["_load", "_load_str"]),
])
def test_a_failed_conversion_raises_and_leaves_no_pointer(kind, message, error, loaders):
    view = CBufferView(kind)
    convert(view, bytearray(b"held") if kind == 2 else b"before" if kind != 1 else "before")
    with pytest.raises(error) as raised:
        convert(view, message)
    assert failing_loaders(raised.value) == loaders
    assert (native.fields(view).data, native.fields(view).size) == (None, 0)
    if kind == 0:
        assert "got str" in str(raised.value)


class BytesOf(bytes):
    pass


@pytest.mark.parametrize("kind", [None, 4, 9, -1])
@pytest.mark.parametrize("message, data, held, holds", [
    (b"abc", b"abc", False, False),
    (BytesOf(b"sub"), b"sub", False, False),
    ("é", "é".encode(), False, False),
    (bytearray(b"xy"), b"xy", True, False),
    (memoryview(b"mv"), b"mv", True, False),
    ([104, 105], b"hi", False, True),
])
def test_automatic_kind_converts_by_type(kind, message, data, held, holds):
    view = CBufferView() if kind is None else CBufferView(kind)
    got, view_held, holder = convert(view, message)
    assert (got, view_held, holder is not None) == (data, held, holds)


def test_loaders_are_picked_once_from_the_table():
    table = native.table(CBufferView, 5)  # _load_bytes, _load_buf, _load_str, _load_obj, _load
    assert [native.fields(CBufferView(kind)).loader for kind in (0, 2, 1, 3, 4)] == table
    assert CBufferView.__doc__ == "CBufferView(int msg_kind=4) -> None"


def test_held_views_and_holders_are_released_exactly_when_replaced_or_destroyed():
    first, second = bytearray(b"first"), bytearray(b"second")
    view = CBufferView(4)
    convert(view, first)
    convert(view, "a str does not release the buffer")
    with pytest.raises(BufferError):
        first.append(1)
    convert(view, second)
    first.append(1)  # released by the next buffer conversion
    with pytest.raises(BufferError):
        second.append(1)
    made = b"made by __bytes__" * 3

    class Source:
        def __bytes__(self):
            return made

    before = sys.getrefcount(made)
    convert(view, Source())
    assert sys.getrefcount(made) == before + 1
    convert(view, Source())
    assert sys.getrefcount(made) == before + 1  # the first holder was dropped
    del view
    gc.collect()
    second.append(1)
    assert sys.getrefcount(made) == before


def test_destruction_keeps_a_pending_exception():
    def drop_in_flight():
        view = CBufferView()
        convert(view, bytearray(b"held"))
        raise KeyError("in flight")  # the frame, and with it the view, goes while this propagates

    with pytest.raises(KeyError, match="in flight"):
        drop_in_flight()


@pytest.mark.parametrize("args, error, message", [
    ((1, 2), TypeError, "at most 1 positional argument"),
    ((1.5,), TypeError, "^an integer is required$"),
    ((2**31,), OverflowError, "^value too large to convert to int$"),
])
def test_view_arguments(args, error, message):
    with pytest.raises(error, match=message):
        CBufferView(*args)


# ---- the exported conversions -------------------------------------------------------------

SIGNATURES = {
    "obj_to_cbuf": "int (PyObject *, PyObject **, char const **, size_t *)",
    "buf_to_cbuf": "int (PyObject *, Py_buffer *, char const **, size_t *)",
    "bytes_to_cbuf": "int (PyObject *, char const **, size_t *)",
    "str_to_cbuf": "int (PyObject *, char const **, size_t *)",
}
P = ctypes.POINTER


def capi(name, *argtypes):
    address = native.capsule_pointer(portage.__pyx_capi__[name], SIGNATURES[name].encode())
    return ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, *argtypes)(address)


@pytest.mark.parametrize("name, message, result, error", [
    ("bytes_to_cbuf", b"abc", b"abc", None),
    ("bytes_to_cbuf", "abc", None, TypeError),
    ("str_to_cbuf", "hé", "hé".encode(), None),
    ("str_to_cbuf", "a\ud800", None, UnicodeEncodeError),
    ("obj_to_cbuf", [104, 105], b"hi", None),
    ("obj_to_cbuf", Raising(), None, LookupError),
    ("buf_to_cbuf", bytearray(b"xy"), b"xy", None),
    ("buf_to_cbuf", 5, None, TypeError),
])
def test_exported_conversions(name, message, result, error):
    assert list(portage.__pyx_capi__) == list(SIGNATURES)
    data, size, holder, view = c_void_p(1), c_size_t(77), c_void_p(1), native.PyBuffer()
    extra = {"obj_to_cbuf": [(P(c_void_p), ctypes.byref(holder))], "buf_to_cbuf": [(P(native.PyBuffer), ctypes.byref(view))]}
    argtypes, args = zip(*extra.get(name, []), (P(c_void_p), ctypes.byref(data)), (P(c_size_t), ctypes.byref(size)))
    if error:
        with pytest.raises(error):
            capi(name, *argtypes)(message, *args)
        assert (data.value, size.value) == (None, 77)  # *data null, *size untouched
        assert name != "obj_to_cbuf" or holder.value is None
        return
    assert capi(name, *argtypes)(message, *args) == 0
    assert ctypes.string_at(data, size.value) == result
    if name == "obj_to_cbuf":
        ctypes.pythonapi.Py_DecRef(holder)
    if name == "buf_to_cbuf":
        ctypes.pythonapi.PyBuffer_Release(ctypes.byref(view))
        message.append(1)  # the caller's release was the only one needed


# ---- LumPipe -----------------------------------------------------------------------------------

def routines(pipe):
    f = native.fields(pipe)
    return f.push_fn, f.pop_fn, f.release_fn


@pytest.mark.parametrize("variable_size, out, entries", [(False, 2048, (0, 2, 4)), (True, 3000, (1, 3, 5))])
def test_pipe_routines_forward_to_the_queue(variable_size, out, entries):
    pipe = LumPipe(variable_size=variable_size)
    table = native.table(LumPipe, 6)
    assert routines(pipe) == tuple(table[i] for i in entries)
    push, pop, release = routines(pipe)
    assert native.push(pipe, b"x" * 3000, push) == 1
    assert native.pop(pipe, pop) == (1, b"x" * out)
    if not variable_size:
        assert native.pop(pipe, pop) == (1, b"x" * out)  # not consumed until released
    native.VOID(release)(id(pipe))
    assert native.push(pipe, b"yz", push) == 1
    assert native.pop(pipe, pop) == (1, b"yz")
    NativeTable().close(ctypes.cast(native.fields(pipe).q, ctypes.py_object).value)
    assert native.push(pipe, b"x", push) == native.pop(pipe, pop)[0] == -1


def test_a_pipe_before_construction_has_no_queue_and_no_routines():
    pipe = LumPipe.__new__(LumPipe)
    assert native.fields(pipe).q == id(None)
    assert routines(pipe) == (None, None, None)
    assert LumPipe.__doc__ == ("LumPipe(size_t capacity=16384, size_t slot_size=2048, bool zerocopy=False, "
                               "bool overwrite=False, bool block_on_full=False, bool variable_size=False)")


MESSAGES = [b"abc", "é", bytearray(b"xy"), [104, 105], memoryview(b"q" * 300), "x" * 1000]


@pytest.mark.parametrize("variable_size", [False, True])
def test_messages_cross_the_pipe_between_native_threads_byte_for_byte(variable_size):
    pipe = LumPipe(capacity=8, slot_size=512, block_on_full=True, variable_size=variable_size)
    messages = MESSAGES + ([] if variable_size else [b""])  # an empty message sends no fragment
    expected = [bytes(m) if not isinstance(m, str) else m.encode() for m in messages] * 50
    if not variable_size:
        expected = [m[:512] for m in expected]
    assert feeder.relay(pipe, messages * 50) == expected
    moved = feeder.stream(LumPipe(capacity=64, slot_size=64, block_on_full=True, variable_size=variable_size),
                          100_000, 300 if variable_size else 64, variable_size)
    assert moved["sent"] == moved["received"] == moved["intact"] == 100_000


@pytest.mark.parametrize("make", [CBufferView, LumPipe, lambda: portage.SyncDispatcher(print),
                                  lambda: portage.AsyncDispatcher(print)])
def test_native_objects_refuse_pickling(make):
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        pickle.dumps(make())

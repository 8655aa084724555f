"""The Tandem type as Python sees it, and its native table driven through ctypes."""

import copy
import pickle
import threading
import traceback

import pytest

from orvel.tandem import tandem
from orvel.tandem.tandem import Tandem
from tandem_table import ENTRIES, NativeTable, capsule_address, core_address

table = NativeTable()


class BadTruth:
    def __bool__(self):
        raise RuntimeError("no truth here")


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((64,), {}, TypeError, "at least 2 positional arguments"),
    ((64, 8, 0, 0, 0, 0), {}, TypeError, "at most 5 positional arguments"),
    ((64, 8), {"mode": 1}, TypeError, "unexpected keyword argument 'mode'"),
    ((-1, 8), {}, OverflowError, "can't convert negative value to size_t"),
    ((64, -8), {}, OverflowError, "can't convert negative value to size_t"),
    ((1.5, 8), {}, TypeError, "integer"),
    ((64, "8"), {}, TypeError, "integer"),
    ((64, 2**64), {}, OverflowError, None),
    ((64, 0), {}, ValueError, "capacity must be a power of two, got 0"),
    ((64, 12), {}, ValueError, "capacity must be a power of two, got 12"),
    ((2**40, 2**40), {}, OverflowError, "does not fit in 64 bits"),
    ((2**30, 2**30), {}, MemoryError, None),
    ((64, 8, BadTruth()), {}, RuntimeError, "no truth here"),
    ((64, 8), {"block_on_full": BadTruth()}, RuntimeError, "no truth here"),
])
def test_constructor_refuses_bad_arguments(args, kwargs, error, message):
    with pytest.raises(error, match=message):
        Tandem(*args, **kwargs)


def test_second_initialisation_is_refused():
    queue = Tandem(64, 8)
    with pytest.raises(RuntimeError, match="already configured"):
        queue.__init__(16, 4)
    assert table.try_push(queue, b"x" * 100) == 1
    assert table.try_pop(queue) == (1, b"x" * 64)  # the first configuration stands


def test_type_surface():
    assert Tandem.__doc__ == ("Tandem(size_t slot_size, size_t capacity, bool overwrite=False, "
                              "bool zerocopy=False, bool block_on_full=False)")
    queue = Tandem(64, 8)
    assert not hasattr(queue, "__dict__")
    assert [name for name in dir(queue) if not name.startswith("__")] == []
    with pytest.raises(AttributeError):
        queue.slot_size = 3
    assert list(tandem.__pyx_capi__) == ["tandem_notify"]
    assert capsule_address(tandem.__pyx_capi__["tandem_notify"], b"void (void *)")


@pytest.mark.parametrize("duplicate", [pickle.dumps, copy.copy, copy.deepcopy,
                                       lambda q: q.__setstate__(None)])
def test_pickling_and_copying_are_refused(duplicate):
    with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
        duplicate(Tandem(64, 8))


@pytest.mark.parametrize("positional, keywords", [
    ((True, False, True), {}),
    ((), {"overwrite": True, "block_on_full": True}),
])
def test_modes_by_position_and_keyword_are_the_same(positional, keywords):
    queue = Tandem(8, 2, *positional, **keywords)
    for record in (b"1", b"2", b"3"):
        assert table.push(queue, record) == 1  # overwrite: never waits, drops the oldest
    assert [table.try_pop(queue) for _ in range(3)] == [(1, b"2"), (1, b"3"), (0, None)]


def test_table_has_eleven_entries_in_order():
    addresses = list(table.addresses.values())
    assert len(addresses) == len(ENTRIES) == 11 and all(addresses)
    assert len(set(addresses)) == 11


@pytest.mark.parametrize("shape, push, pop, records", [
    ((16, 64), "push", "pop", [i.to_bytes(4, "little") * 4 for i in range(20000)]),
    ((32, 8), "push_var", "pop_var", [bytes([i % 251]) * (i % 300) for i in range(3000)]),
])
def test_records_move_between_threads_without_the_interpreter_lock(shape, push, pop, records):
    queue = Tandem(*shape, block_on_full=True)
    expected = [r for r in records if r]  # an empty message sends nothing
    received = []

    def consume():
        while len(received) < len(expected):
            result, data = getattr(table, pop)(queue)
            assert result == 1
            received.append(data)

    consumer = threading.Thread(target=consume)
    consumer.start()
    for record in records:
        assert getattr(table, push)(queue, record) == 1
    consumer.join()
    assert received == expected


def test_peek_and_advance():
    queue = Tandem(8, 4)
    table.push(queue, b"first")
    table.push(queue, b"second")
    assert table.peek(queue) == (1, b"first")
    assert table.peek(queue) == (1, b"first")
    table.advance(queue)
    assert table.try_pop(queue) == (1, b"second")
    assert table.try_pop_var(queue) == (0, None)


@pytest.mark.parametrize("entry", ["push_var", "try_push_var"])
def test_messages_on_a_queue_without_slot_storage_raise_zero_division(entry):
    queue = Tandem(0, 8)
    with pytest.raises(ZeroDivisionError, match="^float division$") as raised:
        table.checked[entry](queue, b"abc")
    names = [frame.name for frame in traceback.extract_tb(raised.value.__traceback__)]
    assert f"orvel.tandem.tandem.Tandem.{entry}" in names
    assert table.push(queue, b"abc") == 1  # single-slot records carry no bytes
    assert table.pop(queue) == (1, b"")


@pytest.mark.parametrize("slot_size, capacity, modes, length, message", [
    (1, 4, {}, 65536, "needs 65536 fragments of 1 bytes; a message may have at most 65535"),
    (4, 4, {"overwrite": True}, 17, "needs 5 fragments of 4 bytes, more than the 4 slots"),
])
def test_messages_the_ring_cannot_carry_are_refused(slot_size, capacity, modes, length, message):
    queue = Tandem(slot_size, capacity, **modes)
    for entry in ("push_var", "try_push_var"):
        with pytest.raises(ValueError, match=message):
            table.checked[entry](queue, b"x" * length)
    assert table.try_pop_var(queue) == (0, None)


def test_closed_queue_answers_minus_one_before_checking_the_message():
    queue = Tandem(0, 8)
    table.close(queue)
    assert table.checked["try_push_var"](queue, b"abc") == -1
    assert table.try_pop(queue) == (-1, None)


@pytest.mark.parametrize("release", ["close", "tandem_notify"])
def test_blocked_pop_is_released(release):
    queue = Tandem(8, 4)
    results = []
    consumer = threading.Thread(target=lambda: results.append(table.pop(queue)))
    consumer.start()
    consumer.join(0.05)
    assert consumer.is_alive()
    if release == "close":
        table.close(queue)
    else:
        table.tandem_notify(core_address(queue))
    consumer.join(10)
    assert results == [(-1, None)]
    assert table.try_pop(queue) == (-1, None)  # even though notify moved the write index

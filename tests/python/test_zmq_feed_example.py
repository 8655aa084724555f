"""examples/zmq_feed: a native thread receives from a ZeroMQ socket and pushes every message into a
dispatcher, built with find_package(orvel) as native_feed is (by scripts/setup --tests, and by
scripts/test-downstream from the wheel). Its own native sender numbers the messages: the sequence
number (8 bytes little-endian) after the topic, then the sender (4 bytes)."""

import asyncio
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

import pytest

import zmq_feed
from orvel.utils.portage.portage import AsyncBatchDispatcher, AsyncDispatcher, SyncDispatcher

COUNT = 3000
EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "zmq_feed"


def wait_for(condition, timeout=30.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.002)


def numbers(records, topic=b""):
    """(sender, sequence number) of each record, in the order of arrival."""
    start = len(topic)
    return [(int.from_bytes(r[start + 8:start + 12], "little"), int.from_bytes(r[start:start + 8], "little"))
            for r in records]


def send(feed, count, endpoint=None, **options):
    """Sends from this thread, and keeps the socket open until the feed has received everything:
    ZeroMQ may lose what is still on its way when a sender closes."""
    target = feed.stats()["received"] + count
    return zmq_feed.send(endpoint or feed.endpoints[0], count, **options,
                         before_close=lambda: wait_for(lambda: feed.stats()["received"] >= target))


SENDER = """\
import sys, zmq_feed
zmq_feed.send(sys.argv[1], int(sys.argv[2]), sender=int(sys.argv[3]), before_close=sys.stdin.read)
"""


def start_sender(endpoint, count, sender=0, prefix=()):
    """A sender process that keeps its socket open until its stdin closes."""
    return subprocess.Popen([*prefix, sys.executable, "-P", "-c", SENDER, endpoint, str(count), str(sender)],
                            stdin=subprocess.PIPE)


def marked(stream, marker):
    """The rest of the first line that starts with `marker`."""
    while line := stream.readline():
        if line.startswith(marker):
            return line[len(marker):].strip()
    raise AssertionError(f"no line starting with {marker!r}")


def reap(process):
    if process.poll() is None:
        process.kill()
    for stream in (process.stdin, process.stdout):
        if stream is not None:
            stream.close()
    process.wait()


def closed(dispatcher):
    dispatcher.close()
    return dispatcher


@pytest.mark.parametrize("modes, where", [
    ({}, "tcp bind"),
    ({"variable_size": True, "slot_size": 16}, "ipc bind"),   # 64-byte messages as 4 fragments each
    ({"nonblocking": False}, "ipc connect"),
    ({"block_on_full": True}, "tcp bind"),   # the waking socket's pushes never wait, whatever the queue's mode
    ({"zerocopy": True, "variable_size": True, "slot_size": 16}, "tcp bind"),   # fragments are copied all the same
], ids=["waking socket, tcp", "variable size, ipc", "waiting in the queue, feed connects", "waking socket, block_on_full",
        "zerocopy, variable size"])
def test_every_message_reaches_a_sync_dispatcher_in_order(modes, where):
    records = []
    # A short folder: the path of a socket has 107 bytes at most.
    with tempfile.TemporaryDirectory(prefix="zmq-feed-") as folder, \
         SyncDispatcher(records.append, capacity=64, **modes) as dispatcher:
        endpoint = "tcp://127.0.0.1:*" if where.startswith("tcp") else f"ipc://{folder}/feed"
        if where.endswith("connect"):
            feed = zmq_feed.Feed(dispatcher, connect=endpoint)
            send(feed, COUNT, endpoint, bind=True)
        else:
            feed = zmq_feed.Feed(dispatcher, bind=endpoint)
            send(feed, COUNT)
        wait_for(lambda: len(records) == COUNT)
        stats = feed.stats()
        feed.close()
    assert numbers(records) == [(0, seq) for seq in range(COUNT)]
    assert {len(record) for record in records} == {64}
    assert (stats["received"], stats["pushed"], stats["dropped"], stats["oversized"]) == (COUNT, COUNT, 0, 0)


@pytest.mark.parametrize("kind, modes", [
    (AsyncDispatcher, {}),
    (AsyncDispatcher, {"variable_size": True, "slot_size": 16}),   # 64-byte messages as 4 fragments each
    (AsyncBatchDispatcher, {}),
], ids=["per record", "variable size", "batches"])
def test_an_async_dispatcher_is_fed_on_its_loop(kind, modes):
    async def main():
        records, done = [], asyncio.get_running_loop().create_future()

        async def on_record(record):
            records.append(record)
            if len(records) == COUNT:
                done.set_result(threading.get_ident())

        async def on_batch(batch):   # the feed pushes into a batch dispatcher as into any other
            for record in batch:
                await on_record(record)

        callback = on_batch if kind is AsyncBatchDispatcher else on_record
        async with kind(callback, capacity=64, **modes) as dispatcher:
            with zmq_feed.Feed(dispatcher, bind="tcp://127.0.0.1:*") as feed:
                await asyncio.to_thread(send, feed, COUNT)   # off the loop, which keeps draining
                assert await asyncio.wait_for(done, 30) == threading.get_ident()
        return records

    records = asyncio.run(main())
    assert numbers(records) == [(0, seq) for seq in range(COUNT)]
    assert {len(record) for record in records} == {64}


def test_a_sub_feed_takes_the_topics_it_subscribed_to():
    records = []
    with SyncDispatcher(records.append) as dispatcher, \
         zmq_feed.Feed(dispatcher, bind="tcp://127.0.0.1:*", subscribe=[b"quote.", "trade."]) as feed:
        # A publisher filters for its subscribers: news never leaves its sender.
        zmq_feed.send(feed.endpoints[0], 100, topic=b"news.", publish=True)
        send(feed, 200, topic=b"quote.", publish=True, sender=1)
        send(feed, 300, topic=b"trade.", publish=True, sender=2)
        wait_for(lambda: len(records) == 500)
        assert feed.stats()["received"] == 500
    assert [r[:6] for r in records] == [b"quote."] * 200 + [b"trade."] * 300
    assert numbers(records[:200], b"quote.") == [(1, seq) for seq in range(200)]


@pytest.mark.parametrize("arguments, error, message", [
    ({"connect": "tcp://127.0.0.1"}, ValueError, "invalid endpoint 'tcp://127.0.0.1': the port must be"),
    ({"connect": "tcp://127.0.0.1:5555x"}, ValueError, "the port must be a number from 1 to 65535"),
    ({"bind": "tcp://127.0.0.1:99999"}, ValueError, "from 0 to 65535, or \\* for a free one"),
    ({"connect": "tcp://127.0.0.1:0"}, ValueError, "from 1 to 65535"),
    ({"connect": "127.0.0.1:5555"}, ValueError, "expected transport://address"),
    ({"connect": "inproc://feed"}, ValueError, "inproc:// reaches no other process"),
    ({"bind": "udp://127.0.0.1:5555"}, ValueError, "not compatible with the socket type"),
    ({"bind": "tcp://localhost:5555"}, OSError, "a TCP bind takes an interface name or an address"),
    ({"bind": "ipc:///nonexistent/feed"}, FileNotFoundError, "cannot bind to 'ipc:///nonexistent/feed'"),
    ({"connect": "ipc:///" + "x" * 200}, ValueError, "File name too long"),
    ({}, ValueError, "give at least one endpoint"),
    ({"connect": 5555}, TypeError, "connect takes one str or an iterable of them, not int"),
    ({"bind": ["tcp://127.0.0.1:*", b"tcp://127.0.0.1:*"]}, TypeError, "bind takes str, not bytes"),
    ({"bind": "tcp://127.0.0.1:*", "subscribe": []}, ValueError, "subscribe to at least one topic prefix"),
    ({"bind": "tcp://127.0.0.1:*", "when_full": "block"}, ValueError, "when_full must be 'wait' or 'drop'"),
])
def test_bad_endpoints_and_arguments_are_refused_at_start(arguments, error, message):
    with SyncDispatcher(print) as dispatcher:
        with pytest.raises(error, match=message):
            zmq_feed.Feed(dispatcher, **arguments)


def test_an_endpoint_bound_already_is_refused_and_the_feed_lets_go_of_the_others():
    with SyncDispatcher(print) as dispatcher, zmq_feed.Feed(dispatcher, bind="tcp://127.0.0.1:*") as feed:
        with zmq_feed.Feed(dispatcher, bind="tcp://127.0.0.1:*") as other:
            free = other.endpoints[0]
        with pytest.raises(OSError, match=f"cannot bind to '{feed.endpoints[0]}': Address already in use"):
            zmq_feed.Feed(dispatcher, bind=[free, feed.endpoints[0]])
        with zmq_feed.Feed(dispatcher, bind=free) as again:   # the refused feed had bound it
            assert again.endpoints == (free,)


@pytest.mark.parametrize("make, error, message", [
    (lambda: b"records", TypeError, "expected a SyncDispatcher or AsyncDispatcher, got bytes"),
    (lambda: SyncDispatcher.__new__(SyncDispatcher), ValueError, "was never constructed"),
    (lambda: SyncDispatcher(print, zerocopy=True), ValueError, "a zerocopy dispatcher cannot be fed unless variable"),
    (lambda: SyncDispatcher(print, nonblocking=False, block_on_full=True), ValueError, "block_on_full=True"),
    (lambda: closed(SyncDispatcher(print)), RuntimeError, "the dispatcher is closed"),
], ids=["not a dispatcher", "not constructed", "zerocopy", "pushes that wait", "closed"])
def test_dispatchers_that_cannot_be_fed_are_refused(make, error, message):
    with pytest.raises(error, match=message):
        zmq_feed.Feed(make(), bind="tcp://127.0.0.1:*")


@pytest.mark.parametrize("when_full", ["wait", "drop"])
def test_a_full_dispatcher_makes_the_feed_wait_or_drop_and_count(when_full):
    gate, records = threading.Event(), []

    def on_record(record):
        gate.wait()
        records.append(record)

    with SyncDispatcher(on_record, capacity=16, slot_size=64) as dispatcher, \
         zmq_feed.Feed(dispatcher, bind="tcp://127.0.0.1:*", when_full=when_full) as feed:
        sender = threading.Thread(target=send, args=(feed, COUNT))
        sender.start()
        wait_for(lambda: feed.stats()["waited" if when_full == "wait" else "dropped"] > 0)
        gate.set()
        sender.join()
        stats = feed.stats()
        wait_for(lambda: len(records) == stats["pushed"])
    sequence = [seq for _, seq in numbers(records)]
    assert sequence == sorted(set(sequence))
    assert stats["received"] == COUNT and stats["pushed"] + stats["dropped"] == COUNT
    if when_full == "wait":
        assert sequence == list(range(COUNT)) and stats["dropped"] == 0
    else:
        assert stats["dropped"] > 0 and stats["waited"] == 0


def test_close_ends_a_feed_that_waits_for_room():
    gate = threading.Event()
    with SyncDispatcher(lambda record: gate.wait(), capacity=16, slot_size=64) as dispatcher:
        feed = zmq_feed.Feed(dispatcher, bind="tcp://127.0.0.1:*")
        sender = start_sender(feed.endpoints[0], 10**9)
        try:
            wait_for(lambda: feed.stats()["waited"] > 0)
            feed.close()   # with the callback still stuck, and the dispatcher full
            assert not feed.running and not dispatcher.closed
        finally:
            reap(sender)
            gate.set()


@pytest.mark.parametrize("variable_size, sizes, delivered, counted", [
    (False, [0, 64, 65, 2048], [0, 64], {"oversized": 2, "empty": 0}),
    (True, [0, 64, 65, 1024, 1025], [64, 65, 1024], {"oversized": 1, "empty": 1}),
], ids=["single slot", "variable size"])
def test_messages_the_dispatcher_cannot_carry_are_counted_not_cut(monkeypatch, variable_size, sizes, delivered,
                                                                 counted):
    reports, records = [], []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    with SyncDispatcher(records.append, capacity=16, slot_size=64, variable_size=variable_size) as dispatcher, \
         zmq_feed.Feed(dispatcher, bind="tcp://127.0.0.1:*") as feed:
        for size in sizes:
            send(feed, 1, size=size)
        wait_for(lambda: len(records) == len(delivered))
        stats = feed.stats()
    assert [len(record) for record in records] == delivered
    assert {key: stats[key] for key in counted} == counted
    # Past the ring a variable-size push is refused by the dispatcher, which reports why.
    assert [(type(r.exc_value), "1025 bytes" in str(r.exc_value)) for r in reports] == (
        [(ValueError, True)] if variable_size else [])


def test_a_sender_that_dies_mid_stream_leaves_the_feed_running_with_what_arrived():
    records = []

    def from_sender(sender):
        return [seq for source, seq in numbers(records) if source == sender]

    with SyncDispatcher(records.append) as dispatcher, \
         zmq_feed.Feed(dispatcher, bind="tcp://127.0.0.1:*") as feed:
        dying = start_sender(feed.endpoints[0], 10**9)
        try:
            wait_for(lambda: len(records) >= 1000)
        finally:
            reap(dying)
        wait_for(lambda: feed.stats()["peers"] == 0)
        # The feed takes the next sender as before; what the socket held of the first still comes.
        send(feed, 100, sender=1)
        wait_for(lambda: len(from_sender(1)) == 100)
        wait_for(lambda: feed.stats()["disconnects"] == 2 and feed.stats()["pushed"] == len(records))
        stats = feed.stats()
        assert feed.running
    first = from_sender(0)
    assert first == list(range(len(first))) and len(first) >= 1000   # in order, nothing twice, no gap
    assert from_sender(1) == list(range(100))
    assert stats["received"] == len(records)


@pytest.mark.parametrize("subscribe", [None, [b""]], ids=["pull", "sub"])
@pytest.mark.parametrize("endpoint", ["tcp://127.0.0.1:9", "ipc:///nonexistent/feed"])
def test_a_peer_that_never_comes_leaves_the_feed_waiting_and_closable(endpoint, subscribe):
    with SyncDispatcher(print) as dispatcher:
        feed = zmq_feed.Feed(dispatcher, connect=endpoint, subscribe=subscribe)
        with feed:
            time.sleep(0.2)   # ZeroMQ retries meanwhile
            assert feed.running and feed.stats()["peers"] == 0 and feed.error is None
            assert repr(feed) == f"<Feed {'sub' if subscribe else 'pull'} running received=0 endpoints=({endpoint!r},)>"
        # Closing waits neither for the peer nor for the subscription it never got.
        assert feed.closed and not feed.running
        feed.close()
        with pytest.raises(RuntimeError, match="this Feed is closed"):
            feed.__enter__()


@pytest.mark.parametrize("close", ["dispatcher.close()", "the loop ends"])
def test_an_idle_feed_ends_when_its_dispatcher_closes(close):
    async def main():
        async def on_record(record):
            pass

        dispatcher = AsyncDispatcher(on_record)
        dispatcher.setup()
        feed = zmq_feed.Feed(dispatcher, bind="tcp://127.0.0.1:*")
        if close == "dispatcher.close()":
            dispatcher.close()
        return dispatcher, feed   # else the reader closes the queue as asyncio.run() ends the loop

    dispatcher, feed = asyncio.run(main())
    wait_for(lambda: not feed.running)   # idle, it looks at its dispatcher every 50 ms
    assert repr(feed).startswith("<Feed pull ended ") and not feed.closed
    feed.close()


def test_signals_exit_and_fork_stop_the_receiving_thread(run_child, child):
    """The signal watcher closes the dispatcher's queue, which ends the feed; a script may end with
    feeds running; a forked child's copy of a feed is closed and touches no ZeroMQ state."""
    source = """\
import os, sys, threading, time, zmq_feed
from orvel.scribo import Level, Logger, StderrHandler
from orvel.utils.portage.portage import SyncDispatcher
Logger("quiet", Level.OFF, handlers=[StderrHandler()], set_default=True)   # the watcher's lines stay off stdout
records = []
dispatcher = SyncDispatcher(records.append)
dispatcher.setup()
feed = zmq_feed.Feed(dispatcher, bind="tcp://127.0.0.1:*")
threading.Thread(target=zmq_feed.send, args=(feed.endpoints[0], 10**9), daemon=True).start()
while len(records) < 100:
    time.sleep(0.001)
pid = os.fork()
if pid == 0:
    print("CHILD", feed.running, repr(feed).split()[2], flush=True)
    feed.close()
    os._exit(0)
print("FORKED", os.waitpid(pid, 0)[1], feed.running, flush=True)
try:
    print("READY", flush=True)
    time.sleep(60)
except KeyboardInterrupt:
    deadline = time.monotonic() + 5
    while feed.running and time.monotonic() < deadline:
        time.sleep(0.01)
    print("STOPPED", feed.running, dispatcher.closed, flush=True)
feed2 = zmq_feed.Feed(SyncDispatcher(print), bind="tcp://127.0.0.1:*")
"""
    running = child(source)
    running.wait_for("READY")
    running.send(signal.SIGTERM)
    result = running.finish()
    assert result.returncode == 0, result.stderr
    lines = [line for line in result.stdout.splitlines() if line.startswith(("CHILD", "FORKED", "STOPPED"))]
    # The second feed, and the sender thread still inside ZeroMQ, do not hold the exit.
    assert lines == ["CHILD False forked", "FORKED 0 True", "STOPPED False False"]


def test_interpreter_exit_with_an_async_feed_inside_the_loop(run_child):
    result = run_child("""\
import asyncio, threading, zmq_feed
from orvel.utils.portage.portage import AsyncDispatcher
async def on_record(record):
    pass
async def main():
    dispatcher = AsyncDispatcher(on_record)
    dispatcher.setup()
    feed = zmq_feed.Feed(dispatcher, bind="tcp://127.0.0.1:*")
    threading.Thread(target=zmq_feed.send, args=(feed.endpoints[0], 10**9), daemon=True).start()
    while feed.stats()["pushed"] < 1000:
        await asyncio.sleep(0.001)
    print("FEEDING", flush=True)
asyncio.run(main())
""")
    assert result.returncode == 0 and "FEEDING" in result.stdout.splitlines(), result.stderr


# ---- fan-in: two senders, one consumer --------------------------------------------------------

CONSUMER = """\
import json, os, sys, threading, time
if len(sys.argv) > 2:   # enter the host's network namespace before any thread or socket exists
    os.setns(os.open(f"/run/netns/{sys.argv[2]}", os.O_RDONLY), os.CLONE_NEWNET)
import zmq_feed
from orvel.utils.portage.portage import SyncDispatcher
count = int(sys.argv[1])
records, everything = [], threading.Event()
def on_record(record):
    records.append(record)
    if len(records) == 2 * count:
        everything.set()
with SyncDispatcher(on_record, capacity=1024, slot_size=64) as dispatcher, \\
     zmq_feed.Feed(dispatcher, bind=f"tcp://{os.environ['FEED_HOST']}:*") as feed:
    print("ENDPOINT", feed.endpoints[0], flush=True)
    everything.wait(60)
    print("ALL", flush=True)
    input()   # the senders have closed: whatever came twice has arrived by now
    while feed.stats()["peers"]:
        time.sleep(0.01)
    sequences = {}
    for record in records:
        sender, seq = int.from_bytes(record[8:12], "little"), int.from_bytes(record[:8], "little")
        sequences.setdefault(sender, []).append(seq)
    print("IN ORDER", json.dumps({sender: seqs == list(range(count)) for sender, seqs in sequences.items()}))
    print("TOTALS", len(records), feed.stats()["disconnects"])
"""


@pytest.fixture
def two_hosts():
    """Two network namespaces joined by a veth pair: the consumer's host at 198.18.0.1, the
    senders' at 198.18.0.2. 198.18.0.0/15 is set aside for benchmarking networks; these two
    addresses exist only inside the namespaces, which reach nothing else."""
    if os.geteuid() != 0 or shutil.which("ip") is None:
        pytest.skip("network namespaces need root and iproute2")
    consumer, senders = f"orvel-rx-{os.getpid()}", f"orvel-tx-{os.getpid()}"
    made = subprocess.run(["ip", "netns", "add", consumer], capture_output=True, text=True)
    if made.returncode != 0:
        pytest.skip(f"cannot make a network namespace here: {made.stderr.strip()}")
    try:
        subprocess.run(["ip", "netns", "add", senders], check=True)
        subprocess.run(["ip", "link", "add", "orvel-rx", "netns", consumer, "type", "veth",
                        "peer", "name", "orvel-tx", "netns", senders], check=True)
        for namespace, device, address in ((consumer, "orvel-rx", "198.18.0.1"), (senders, "orvel-tx", "198.18.0.2")):
            subprocess.run(["ip", "-n", namespace, "address", "add", f"{address}/30", "dev", device], check=True)
            subprocess.run(["ip", "-n", namespace, "link", "set", device, "up"], check=True)
            subprocess.run(["ip", "-n", namespace, "link", "set", "lo", "up"], check=True)
        yield consumer, ["ip", "netns", "exec", senders], "198.18.0.1"
    finally:
        for namespace in (consumer, senders):
            subprocess.run(["ip", "netns", "delete", namespace], capture_output=True)


@pytest.fixture(params=["loopback", "two hosts"])
def hosts(request):
    """(the consumer's namespace or None, the command prefix of the senders, the consumer's address)"""
    if request.param == "loopback":
        return None, [], "127.0.0.1"
    return request.getfixturevalue("two_hosts")


def test_two_senders_feed_one_consumer_exactly_once_in_order(hosts):
    namespace, sender_prefix, address = hosts
    count = 20_000
    consumer = subprocess.Popen([sys.executable, "-P", "-c", CONSUMER, str(count), *([namespace] if namespace else [])],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                env={**os.environ, "FEED_HOST": address})
    senders = []
    try:
        endpoint = marked(consumer.stdout, "ENDPOINT ")
        assert endpoint.startswith(f"tcp://{address}:"), endpoint
        senders = [start_sender(endpoint, count, sender, sender_prefix) for sender in (1, 2)]
        marked(consumer.stdout, "ALL")
        for sender in senders:
            sender.stdin.close()
            assert sender.wait(30) == 0
        out, _ = consumer.communicate("\n", timeout=30)
    finally:
        for process in (consumer, *senders):
            reap(process)
    results = dict(line.split(" ", 1) for line in out.splitlines() if line.startswith(("IN ", "TOTALS ")))
    assert json.loads(results["IN"].removeprefix("ORDER ")) == {"1": True, "2": True}
    assert results["TOTALS"] == f"{2 * count} 2"




@pytest.mark.parametrize("language, name", [("cpp", "receiver.cpp"), ("cmake", "CMakeLists.txt")])
def test_the_guide_shows_the_code_that_is_built(language, name):
    guide = (EXAMPLE.parents[1] / "docs" / "bridge.md").read_text()
    blocks = re.findall(rf"^```{language}\n(.*?)^```$", guide, re.S | re.M)
    assert any(block in (EXAMPLE / name).read_text() for block in blocks)

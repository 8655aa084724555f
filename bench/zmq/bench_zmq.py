"""Records from another process over ZeroMQ to an `async def` callback: the zmq_feed example into an
AsyncDispatcher, a record or a batch at a time, against pyzmq's own ways, in one run.

A native sender (zmq_feed.send, in a process of its own) pushes numbered 64-byte messages as fast
as ZeroMQ takes them, over tcp://127.0.0.1 and over ipc://; each consumer binds a PULL socket,
receives them and hands each to a callback. Rounds interleave the consumers. The script prints
each one's messages per second (from the first callback to the last), the median [min - max] of
its per-round ratios to zmq.asyncio's `await sock.recv()`, and the event loop's lag while it runs:
the p99 of how late a task that sleeps 1 ms at a time wakes. See README.md for the command.
"""

import argparse
import asyncio
import collections
import functools
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import zmq
import zmq.asyncio

import zmq_feed
from orvel.scribo import Level, Logger, StdoutHandler
from orvel.utils.portage.portage import AsyncBatchDispatcher, AsyncDispatcher

SIZE = 64
TICK = 0.001  # the lag probe's sleep
SENDER = "import sys, zmq_feed; zmq_feed.send(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), before_close=sys.stdin.read)"
# A sender that keeps well below what the consumers take: 100 messages every millisecond at most.
PACED_SENDER = """\
import sys, time, zmq
socket = zmq.Context.instance().socket(zmq.PUSH)
socket.connect(sys.argv[1])
message = bytes(int(sys.argv[3]))
for _ in range(int(sys.argv[2]) // 100):
    for _ in range(100):
        socket.send(message)
    time.sleep(0.001)
sys.stdin.read()
"""
PACED_COUNT = 100_000


class Delivery:
    """The callbacks: they count, and note when the first and the last message came."""

    def __init__(self, count, finished=lambda: None):
        self.count, self.seen, self.finished = count, 0, finished
        self.first = self.last = 0.0
        self.in_first = 0  # the messages of the first call, which the rate leaves out

    def note(self, messages=1):
        if not self.seen:
            self.first, self.in_first = time.perf_counter(), messages
        self.seen += messages
        if self.seen == self.count:
            self.last = time.perf_counter()
            self.finished()

    async def coroutine(self, message):
        self.note()

    async def batch(self, records):
        self.note(len(records))

    def plain(self, message):
        self.note()

    def rate(self):
        return (self.count - self.in_first) / (self.last - self.first)


class Sender:
    """A sender process for one run: it connects, sends, and keeps its socket open until the
    consumer has everything (ZeroMQ loses what is on its way when a sender closes)."""

    def __init__(self, endpoint, count, source=SENDER):
        self.process = subprocess.Popen([sys.executable, "-P", "-c", source, endpoint, str(count), str(SIZE)],
                                        stdin=subprocess.PIPE)

    def finish(self):
        self.process.stdin.close()
        if self.process.wait(60) != 0:
            raise RuntimeError(f"the sender failed with {self.process.returncode}")


async def lag_probe(stop, lateness):
    """Appends (how late the probe woke, the CPU time the loop's thread had meanwhile) per tick."""
    loop = asyncio.get_running_loop()
    while not stop.is_set():
        due, ran = loop.time() + TICK, time.thread_time()
        await asyncio.sleep(TICK)
        lateness.append((loop.time() - due, time.thread_time() - ran))


async def on_loop(receive):
    """Awaits `receive` (which returns once the callback has seen every message) beside the lag
    probe; the lateness samples the probe took."""
    stop, lateness = asyncio.Event(), []
    probe = asyncio.create_task(lag_probe(stop, lateness))
    await receive
    stop.set()
    await probe
    return lateness


# ---- the consumers ------------------------------------------------------------------------------

async def feed_into_dispatcher(endpoint, count, sender_source=SENDER, batches=False):
    done = asyncio.Event()
    delivery = Delivery(count, done.set)
    if batches:
        dispatcher = AsyncBatchDispatcher(delivery.batch, slot_size=SIZE)
    else:
        dispatcher = AsyncDispatcher(delivery.coroutine, slot_size=SIZE)
    async with dispatcher:
        with zmq_feed.Feed(dispatcher, bind=endpoint) as feed:
            sender = Sender(feed.endpoints[0], count, sender_source)
            lateness = await on_loop(done.wait())
    sender.finish()
    return delivery.rate(), lateness


async def asyncio_recv(endpoint, count):
    delivery = Delivery(count)
    context = zmq.asyncio.Context()
    socket = context.socket(zmq.PULL)
    socket.bind(endpoint)
    sender = Sender(socket.getsockopt_string(zmq.LAST_ENDPOINT), count)

    async def receive():
        callback = delivery.coroutine
        for _ in range(count):
            await callback(await socket.recv())

    lateness = await on_loop(receive())
    sender.finish()
    socket.close(linger=0)
    context.term()
    return delivery.rate(), lateness


async def thread_to_loop(endpoint, count):
    delivery = Delivery(count)
    loop = asyncio.get_running_loop()
    handed = asyncio.Queue()
    context = zmq.Context()
    socket = context.socket(zmq.PULL)
    socket.bind(endpoint)
    sender = Sender(socket.getsockopt_string(zmq.LAST_ENDPOINT), count)

    def pump():
        for _ in range(count):
            loop.call_soon_threadsafe(handed.put_nowait, socket.recv(copy=False))

    async def receive():
        callback = delivery.coroutine
        for _ in range(count):
            await callback(await handed.get())

    thread = threading.Thread(target=pump)
    thread.start()
    lateness = await on_loop(receive())
    thread.join()
    sender.finish()
    socket.close(linger=0)
    context.term()
    return delivery.rate(), lateness


async def blocking_recv(endpoint, count):
    """The loop only runs the lag probe here, beside the receiving thread: its lag is what a Python
    thread that receives (and holds the interpreter lock meanwhile) does to a loop."""
    delivery = Delivery(count)
    context = zmq.Context()
    socket = context.socket(zmq.PULL)
    socket.bind(endpoint)
    sender = Sender(socket.getsockopt_string(zmq.LAST_ENDPOINT), count)

    def receive():
        callback = delivery.plain
        for _ in range(count):
            callback(socket.recv())

    lateness = await on_loop(asyncio.to_thread(receive))
    sender.finish()
    socket.close(linger=0)
    context.term()
    return delivery.rate(), lateness


async def idle_loop():
    """The lag probe alone for a second: what the machine does to an idle loop."""
    return await on_loop(asyncio.sleep(1))


CONSUMERS = {
    "(a) zmq_feed -> AsyncDispatcher, await cb": feed_into_dispatcher,
    "(b) zmq_feed -> AsyncBatchDispatcher, await cb(batch)": functools.partial(feed_into_dispatcher, batches=True),
    "(c) zmq.asyncio, await sock.recv(), await cb": asyncio_recv,
    "(d) recv(copy=False) thread -> call_soon_threadsafe, await cb": thread_to_loop,
    "(e) blocking recv in a thread, cb (lag: a loop beside it)": blocking_recv,
}
PEER = "(c) zmq.asyncio, await sock.recv(), await cb"
TARGETS = {"(a) zmq_feed -> AsyncDispatcher, await cb": 3.0,
           "(b) zmq_feed -> AsyncBatchDispatcher, await cb(batch)": 10.0}
LAG_TARGET_MS = 1.0


def p99(lateness):
    late = [seconds for seconds, _ in lateness]
    return statistics.quantiles(late, n=100)[98] if len(late) >= 2 else float("nan")


def share_running(lateness):
    """Of the ticks more than 1 ms late, the share of their time the loop's thread ran: low when
    the loop was late because it had no CPU, not because it was busy."""
    late = [(seconds, ran) for seconds, ran in lateness if seconds > 0.001]
    return sum(ran for _, ran in late) / sum(TICK + seconds for seconds, _ in late) if late else 0.0


def report(rates, ratios, lags, running):
    print(f"{'consumer':64} {'transport':9} {'median':>12} {'ratio to (c): median [min - max]':>36} "
          f"{'target':>12} {'lag p99: median [min - max]':>30} {'target':>10} {'ran':>5}")
    for (name, transport), values in rates.items():
        line = f"{name:64} {transport:9} {statistics.median(values) / 1e3:8.1f} k/s"
        ratio = ratios[(name, transport)]
        middle = statistics.median(ratio)
        target = TARGETS.get(name)
        verdict = f">= {target:<4} {'met' if middle >= target else 'MISSED'}" if target else ""
        line += f" {middle:17.2f} [{min(ratio):.2f} - {max(ratio):.2f}] {verdict:>12}"
        lag = [seconds * 1e3 for seconds in lags[(name, transport)]]
        late = statistics.median(lag)
        line += f" {late:8.2f} [{min(lag):.2f} - {max(lag):.2f}] ms"
        line += f" {f'<= {LAG_TARGET_MS:.0f} ' + ('met' if late <= LAG_TARGET_MS else 'MISSED') if target else '':>10}"
        print(f"{line} {statistics.median(running[(name, transport)]):5.0%}")


def main():
    # The queues' signal watcher reports to the default logger; its lines would split the report's.
    Logger("bench", Level.WARN, handlers=[StdoutHandler(max_level=Level.OFF)], set_default=True)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--count", type=int, default=200_000)
    args = parser.parse_args()
    print(f"load average at the start: {' '.join(f'{load:.2f}' for load in os.getloadavg())}; "
          f"{os.cpu_count()} CPUs; {args.count} messages of {SIZE} bytes a run, {args.rounds} rounds")
    rates, ratios, lags, running = (collections.defaultdict(list) for _ in range(4))
    idle, paced = [], []
    with tempfile.TemporaryDirectory() as folder:
        transports = {"tcp": "tcp://127.0.0.1:*", "ipc": f"ipc://{folder}/feed"}
        for round_ in range(args.rounds):
            for transport, endpoint in transports.items():
                measured = {}
                for name, consumer in CONSUMERS.items():
                    rate, lateness = asyncio.run(consumer(endpoint, args.count))
                    measured[name] = rate
                    rates[(name, transport)].append(rate)
                    lags[(name, transport)].append(p99(lateness))
                    running[(name, transport)].append(share_running(lateness))
                for name, rate in measured.items():
                    ratios[(name, transport)].append(rate / measured[PEER])
            idle.append(p99(asyncio.run(idle_loop())))
            paced.append(asyncio.run(feed_into_dispatcher(transports["tcp"], PACED_COUNT, PACED_SENDER)))
            print(f"round {round_ + 1} of {args.rounds} done", file=sys.stderr)
    print()
    report(rates, ratios, lags, running)
    print(f"\nlag p99: the median over the rounds of each run's p99 lateness of a task sleeping {TICK * 1e3:.0f} ms;"
          " ran: in the ticks more than 1 ms late, the share of the time the loop's thread was running (median);"
          f" an idle loop with no traffic: {statistics.median(idle) * 1e3:.2f} ms [{min(idle) * 1e3:.2f} - {max(idle) * 1e3:.2f}]")
    rate = statistics.median(r for r, _ in paced)
    lag = [p99(lateness) * 1e3 for _, lateness in paced]
    print(f"(a) over tcp from a paced sender ({rate / 1e3:.0f} k/s): lag p99 {statistics.median(lag):.2f} ms "
          f"[{min(lag):.2f} - {max(lag):.2f}]")
    print(f"load average at the end: {' '.join(f'{load:.2f}' for load in os.getloadavg())}")


if __name__ == "__main__":
    main()

"""Records from another process over ZeroMQ to an `async def` callback: the zmq_feed example into an
AsyncDispatcher, a record or a batch at a time, against pyzmq's own ways, in one run.

A native sender (zmq_feed.send, in a process of its own) pushes numbered 64-byte messages as fast
as ZeroMQ takes them, over tcp://127.0.0.1 and over ipc://; each consumer binds a PULL socket,
receives them and hands each to a callback. Rounds interleave the consumers. The script prints
each one's messages per second (from the first callback to the last), the median [min - max] of
its per-round ratios to zmq.asyncio's `await sock.recv()`, and the event loop's lag while the
messages flow: the p99 of how late a task that sleeps 1 ms at a time wakes, with what kept the loop
late and how much CPU the rest of the machine took meanwhile. See README.md for the command.
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
import typing

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
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")  # the unit of /proc/stat


def machine_busy():
    """The CPU seconds the machine's threads have run, all CPUs together (interrupts left out: the
    kernel charges those to no thread, ours neither)."""
    with open("/proc/stat") as stat:
        user, nice, system = map(int, stat.readline().split()[1:4])
    return (user + nice + system) / CLOCK_TICKS


def scheduled(pid):
    """The seconds the threads of process `pid` have run, and waited runnable with no CPU free
    (each thread's schedstat): a thread that ends takes its share with it."""
    ran = waited = 0
    for thread in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{thread}/schedstat") as stat:
                thread_ran, thread_waited, _ = map(int, stat.read().split())
        except FileNotFoundError:  # the thread ended
            continue
        ran, waited = ran + thread_ran, waited + thread_waited
    return ran / 1e9, waited / 1e9


class Delivery:
    """The callbacks: they count, and note when the first and the last message came, with the CPU
    the machine had used by then and how long this process's threads and the sender's had run and
    waited for a CPU."""

    def __init__(self, count, finished=lambda: None):
        self.count, self.seen, self.finished = count, 0, finished
        self.first = self.last = 0.0
        self.in_first = 0  # the messages of the first call, which the rate leaves out
        self.sender = None  # its process id, set by Sender
        self.cpu = []  # (the machine's busy seconds, ours and the sender's run, waited) at the first and the last

    def note(self, messages=1):
        if not self.seen:
            self.first, self.in_first = time.perf_counter(), messages
            self.cpu.append(self.cpu_used())
        self.seen += messages
        if self.seen == self.count:
            self.last = time.perf_counter()
            self.cpu.append(self.cpu_used())
            self.finished()

    def cpu_used(self):
        (ours_ran, ours_waited), (sender_ran, sender_waited) = scheduled(os.getpid()), scheduled(self.sender)
        return machine_busy(), ours_ran + sender_ran, ours_waited + sender_waited

    async def coroutine(self, message):
        self.note()

    async def batch(self, records):
        self.note(len(records))

    def plain(self, message):
        self.note()

    def rate(self):
        return (self.count - self.in_first) / (self.last - self.first)

    def others_cpus(self):
        """How many CPUs the rest of the machine kept busy, on average, from the first message to
        the last: the other work the consumer and its sender competed with."""
        (busy_first, ran_first, _), (busy_last, ran_last, _) = self.cpu
        return max(0.0, (busy_last - busy_first) - (ran_last - ran_first)) / (self.last - self.first)

    def runnable_threads(self):
        """How many threads of the consumer and the sender were runnable, on average, from the first
        message to the last: running, or waiting for one of the machine's CPUs."""
        (_, ran_first, waited_first), (_, ran_last, waited_last) = self.cpu
        return ((ran_last - ran_first) + (waited_last - waited_first)) / (self.last - self.first)


class Sender:
    """A sender process for one run of `delivery.count` messages: it connects, sends, and keeps
    its socket open until the consumer has everything (ZeroMQ loses what is on its way when a
    sender closes)."""

    def __init__(self, endpoint, delivery, source=SENDER):
        self.process = subprocess.Popen([sys.executable, "-P", "-c", source, endpoint, str(delivery.count), str(SIZE)],
                                        stdin=subprocess.PIPE)
        delivery.sender = self.process.pid

    def finish(self):
        self.process.stdin.close()
        if self.process.wait(60) != 0:
            raise RuntimeError(f"the sender failed with {self.process.returncode}")


class Tick(typing.NamedTuple):
    start: float     # perf_counter() when the probe went to sleep
    late: float      # how much later than TICK it woke
    ran: float       # meanwhile, the seconds the loop's thread ran
    no_cpu: float    # and waited to run, runnable with no CPU free (the kernel's schedstat)


async def lag_probe(stop, ticks):
    """Appends a Tick per sleep of TICK."""
    loop = asyncio.get_running_loop()
    with open("/proc/thread-self/schedstat", "rb", buffering=0) as schedstat:
        def waited():
            return int(os.pread(schedstat.fileno(), 64, 0).split()[1]) / 1e9

        while not stop.is_set():
            start, due, ran, no_cpu = time.perf_counter(), loop.time() + TICK, time.thread_time(), waited()
            await asyncio.sleep(TICK)
            ticks.append(Tick(start, loop.time() - due, time.thread_time() - ran, waited() - no_cpu))


async def on_loop(receive):
    """Awaits `receive` (which returns once the callback has seen every message) beside the lag
    probe; the ticks the probe took."""
    stop, ticks = asyncio.Event(), []
    probe = asyncio.create_task(lag_probe(stop, ticks))
    await receive
    stop.set()
    await probe
    return ticks


def while_delivering(ticks, delivery):
    """The ticks that overlap the time from the first message to the last: not those before, while
    the sender process starts, whose lag is the machine's and not the consumer's."""
    return [tick for tick in ticks if tick.start + TICK + tick.late > delivery.first and tick.start < delivery.last]


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
            sender = Sender(feed.endpoints[0], delivery, sender_source)
            ticks = await on_loop(done.wait())
    sender.finish()
    return delivery, ticks


async def asyncio_recv(endpoint, count):
    delivery = Delivery(count)
    context = zmq.asyncio.Context()
    socket = context.socket(zmq.PULL)
    socket.bind(endpoint)
    sender = Sender(socket.getsockopt_string(zmq.LAST_ENDPOINT), delivery)

    async def receive():
        callback = delivery.coroutine
        for _ in range(count):
            await callback(await socket.recv())

    ticks = await on_loop(receive())
    sender.finish()
    socket.close(linger=0)
    context.term()
    return delivery, ticks


async def thread_to_loop(endpoint, count):
    delivery = Delivery(count)
    loop = asyncio.get_running_loop()
    handed = asyncio.Queue()
    context = zmq.Context()
    socket = context.socket(zmq.PULL)
    socket.bind(endpoint)
    sender = Sender(socket.getsockopt_string(zmq.LAST_ENDPOINT), delivery)

    def pump():
        for _ in range(count):
            loop.call_soon_threadsafe(handed.put_nowait, socket.recv(copy=False))

    async def receive():
        callback = delivery.coroutine
        for _ in range(count):
            await callback(await handed.get())

    thread = threading.Thread(target=pump)
    thread.start()
    ticks = await on_loop(receive())
    thread.join()
    sender.finish()
    socket.close(linger=0)
    context.term()
    return delivery, ticks


async def blocking_recv(endpoint, count):
    """The loop only runs the lag probe here, beside the receiving thread: its lag is what a Python
    thread that receives (and holds the interpreter lock meanwhile) does to a loop."""
    delivery = Delivery(count)
    context = zmq.Context()
    socket = context.socket(zmq.PULL)
    socket.bind(endpoint)
    sender = Sender(socket.getsockopt_string(zmq.LAST_ENDPOINT), delivery)

    def receive():
        callback = delivery.plain
        for _ in range(count):
            callback(socket.recv())

    ticks = await on_loop(asyncio.to_thread(receive))
    sender.finish()
    socket.close(linger=0)
    context.term()
    return delivery, ticks


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


def p99(ticks):
    late = [tick.late for tick in ticks]
    return statistics.quantiles(late, n=100)[98] if len(late) >= 2 else max(late)  # a loop that never yielded: one tick


def late_shares(ticks):
    """Of the ticks more than 1 ms late, the shares of their time the loop's thread ran (a loop
    late because it was busy) and waited for a CPU (late because others had them all); the rest
    it slept, waiting for the interpreter lock or the kernel's timer."""
    late = [tick for tick in ticks if tick.late > 0.001]
    if not late:
        return 0.0, 0.0
    span = sum(TICK + tick.late for tick in late)
    return sum(tick.ran for tick in late) / span, sum(tick.no_cpu for tick in late) / span


def report(rates, ratios, lags, shares, contention):
    print(f"{'consumer':64} {'transport':9} {'median':>12} {'ratio to (c): median [min - max]':>36} "
          f"{'target':>12} {'lag p99: median [min - max]':>30} {'target':>10} {'ran':>5} {'no CPU':>6} {'threads':>7} {'others':>6}")
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
        ran, no_cpu = zip(*shares[(name, transport)])
        runnable, others = zip(*contention[(name, transport)])
        print(f"{line} {statistics.median(ran):5.0%} {statistics.median(no_cpu):6.0%} "
              f"{statistics.median(runnable):7.2f} {statistics.median(others):6.2f}")


def main():
    # The queues' signal watcher reports to the default logger; its lines would split the report's.
    Logger("bench", Level.WARN, handlers=[StdoutHandler(max_level=Level.OFF)], set_default=True)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--count", type=int, default=1_000_000)
    args = parser.parse_args()
    print(f"load average at the start: {' '.join(f'{load:.2f}' for load in os.getloadavg())}; "
          f"{os.cpu_count()} CPUs; {args.count} messages of {SIZE} bytes a run, {args.rounds} rounds")
    rates, ratios, lags, shares, contention = (collections.defaultdict(list) for _ in range(5))
    idle, paced = [], []
    with tempfile.TemporaryDirectory() as folder:
        transports = {"tcp": "tcp://127.0.0.1:*", "ipc": f"ipc://{folder}/feed"}
        for round_ in range(args.rounds):
            for transport, endpoint in transports.items():
                measured = {}
                for name, consumer in CONSUMERS.items():
                    delivery, ticks = asyncio.run(consumer(endpoint, args.count))
                    ticks = while_delivering(ticks, delivery)
                    measured[name] = delivery.rate()
                    rates[(name, transport)].append(delivery.rate())
                    lags[(name, transport)].append(p99(ticks))
                    shares[(name, transport)].append(late_shares(ticks))
                    contention[(name, transport)].append((delivery.runnable_threads(), delivery.others_cpus()))
                for name, rate in measured.items():
                    ratios[(name, transport)].append(rate / measured[PEER])
            idle.append(p99(asyncio.run(idle_loop())))
            delivery, ticks = asyncio.run(feed_into_dispatcher(transports["tcp"], PACED_COUNT, PACED_SENDER))
            paced.append((delivery.rate(), p99(while_delivering(ticks, delivery))))
            print(f"round {round_ + 1} of {args.rounds} done", file=sys.stderr)
    print()
    report(rates, ratios, lags, shares, contention)
    print(f"\nlag p99: the median over the rounds of each run's p99 lateness of a task sleeping {TICK * 1e3:.0f} ms,"
          " from the first message to the last; in the ticks more than 1 ms late, the share of their time the loop's"
          " thread ran, and the share it waited for a CPU (medians); threads: how many threads of the consumer and"
          " the sender were runnable, on average, for the machine's CPUs; others: the CPUs the rest of the machine"
          " kept busy meanwhile (medians of the runs' averages);"
          f" an idle loop with no traffic: {statistics.median(idle) * 1e3:.2f} ms [{min(idle) * 1e3:.2f} - {max(idle) * 1e3:.2f}]")
    rate = statistics.median(r for r, _ in paced)
    lag = [seconds * 1e3 for _, seconds in paced]
    print(f"(a) over tcp from a paced sender ({rate / 1e3:.0f} k/s): lag p99 {statistics.median(lag):.2f} ms "
          f"[{min(lag):.2f} - {max(lag):.2f}]")
    print(f"load average at the end: {' '.join(f'{load:.2f}' for load in os.getloadavg())}")


if __name__ == "__main__":
    main()

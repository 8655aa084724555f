"""The message bridge against its floors and peers, in one run: 64-byte records from a native
producer thread to a Python callback that does next to nothing.

Every contender runs once per round, rounds interleaved; the script prints each one's median
rate and the median [min - max] of the per-round ratios the targets are stated in. See README.md
for the commands.
"""

import argparse
import asyncio
import collections
import queue
import statistics
import sys
import threading
import time

import bridge_floor
import feeder
from orvel.scribo import Level, Logger, StdoutHandler
from orvel.tandem.tandem import Tandem
from orvel.utils.portage.portage import AsyncDispatcher, AsyncQueue, SyncDispatcher

SIZE = 64
PAYLOAD = b"x" * SIZE
END = b"!"  # every contender ends its stream with a 1-byte record


class Finish:
    """The callbacks: they only tell the 1-byte end record from the others."""

    def __init__(self):
        self.event = threading.Event()
        self.future = None

    def sync(self, record):
        if len(record) < SIZE:
            self.event.set()

    async def coroutine(self, record):
        if len(record) < SIZE:
            self.future.set_result(None)

    def plain(self, record):
        if len(record) < SIZE:
            self.future.set_result(None)


def timed(run):
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


# ---- a native producer to a callback on a thread ------------------------------------------------

def sync_floor(count):
    return bridge_floor.call_floor(Finish().sync, count, SIZE)


def simple_queue(count):
    finish, channel = Finish(), queue.SimpleQueue()

    def produce():
        for _ in range(count - 1):
            channel.put(PAYLOAD)
        channel.put(END)

    def consume():
        callback = finish.sync
        while not finish.event.is_set():
            callback(channel.get())

    threads = [threading.Thread(target=consume), threading.Thread(target=produce)]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return time.perf_counter() - start


def sync_dispatcher(count, **modes):
    finish = Finish()
    dispatcher = SyncDispatcher(finish.sync, **modes)
    dispatcher.setup()
    feed = feeder.Feed(dispatcher, count, SIZE, end_marker=True)
    seconds = timed(lambda: (feed.start(), finish.event.wait()))
    dispatcher.close()
    feed.join()
    return seconds


# ---- a native producer to a coroutine on an event loop ------------------------------------------

async def deque_floor(count):
    finish = Finish()
    finish.future = asyncio.get_running_loop().create_future()
    items = collections.deque([PAYLOAD] * (count - 1) + [END])
    callback = finish.coroutine
    start = time.perf_counter()
    while items:
        await callback(items.popleft())
    return time.perf_counter() - start


async def async_dispatcher(count):
    finish = Finish()
    finish.future = asyncio.get_running_loop().create_future()
    dispatcher = AsyncDispatcher(finish.coroutine)
    dispatcher.setup()
    feed = feeder.Feed(dispatcher, count, SIZE, end_marker=True)
    start = time.perf_counter()
    feed.start()
    await finish.future
    seconds = time.perf_counter() - start
    dispatcher.close()
    feed.join()
    return seconds


async def call_soon_threadsafe(count):
    finish = Finish()
    loop = asyncio.get_running_loop()
    finish.future = loop.create_future()
    start = time.perf_counter()
    bridge_floor.call_soon_peer(loop, finish.plain, count, SIZE)
    await finish.future
    return time.perf_counter() - start


async def async_queue(count):
    channel = AsyncQueue(capacity=1 << (count - 1).bit_length())

    async def produce():
        for _ in range(count):
            await channel.push_buf(PAYLOAD)

    async def consume():
        for _ in range(count):
            await channel.pop()

    start = time.perf_counter()
    await asyncio.gather(consume(), produce())
    return time.perf_counter() - start


async def asyncio_queue(count):
    channel = asyncio.Queue()

    async def produce():
        for _ in range(count):
            await channel.put(PAYLOAD)

    async def consume():
        for _ in range(count):
            await channel.get()

    start = time.perf_counter()
    await asyncio.gather(consume(), produce())
    return time.perf_counter() - start


# ---- the producer's side -----------------------------------------------------------------------

def push_alone(count):
    """Seconds per push: Tandem.try_push into a ring with room for every record."""
    queue_ = Tandem(SIZE, 1 << (count - 1).bit_length())
    return feeder.Feed(queue_, count, SIZE).start().join()["seconds"] / count


def push_with_wake_check(count):
    """Seconds per push: SyncDispatcher._push (try_push and the wake-up check) while its worker
    drains the queue, awake."""
    dispatcher = SyncDispatcher(Finish().sync, capacity=1 << (count - 1).bit_length(), slot_size=SIZE)
    dispatcher.setup()
    seconds = feeder.Feed(dispatcher, count, SIZE).start().join()["seconds"] / count
    dispatcher.close()
    return seconds


def wake_latencies(count, **modes):
    """Microseconds from a push to the callback, the worker asleep before each push."""
    latencies = []
    done = threading.Event()

    def callback(record):
        latencies.append((time.monotonic_ns() - int.from_bytes(record[:8], "little")) / 1000)
        if len(latencies) == count:
            done.set()

    dispatcher = SyncDispatcher(callback, **modes)
    dispatcher.setup()
    feed = feeder.Feed(dispatcher, count, SIZE, pause_one_in=1, max_pause_us=2000, stamped=True).start()
    done.wait()
    feed.join()
    dispatcher.close()
    return latencies


def main_thread_progress(count):
    """Iterations of a pure-Python loop on the main thread while a SyncDispatcher delivers
    `count` records, per second: the worker takes the lock for runs of records, and must not
    starve the other Python threads."""
    finish = Finish()
    dispatcher = SyncDispatcher(finish.sync)
    dispatcher.setup()
    feed = feeder.Feed(dispatcher, count, SIZE, end_marker=True)
    iterations = 0
    start = time.perf_counter()
    feed.start()
    while not finish.event.is_set():
        iterations += 1
    seconds = time.perf_counter() - start
    dispatcher.close()
    feed.join()
    return iterations / seconds, count / seconds


# ---- report ------------------------------------------------------------------------------------

def report(rates, ratios):
    print(f"{'contender':44} {'median':>12}")
    for name, values in rates.items():
        print(f"{name:44} {statistics.median(values) / 1e6:9.3f} M/s")
    print()
    print(f"{'ratio':64} {'median [min - max]':>24} target")
    for (name, target, at_least), values in ratios.items():
        median = statistics.median(values)
        met = median >= target if at_least else median <= target
        bound = ">=" if at_least else "<="
        print(f"{name:64} {median:6.2f} [{min(values):.2f} - {max(values):.2f}]   {bound} {target:<4} "
              f"{'met' if met else 'MISSED'}")


def main():
    # The queues' signal watcher reports to the default logger; its lines would split the report's.
    Logger("bench", Level.WARN, handlers=[StdoutHandler(max_level=Level.OFF)], set_default=True)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--count", type=int, default=500_000)
    args = parser.parse_args()
    count = args.count
    rates = collections.defaultdict(list)
    ratios = collections.defaultdict(list)

    def rate(name, seconds):
        rates[name].append(count / seconds)
        return count / seconds

    async def asyncio_round():
        floor = rate("deque + await cb, one task", await deque_floor(count))
        bridge = rate("AsyncDispatcher", await async_dispatcher(count))
        soon = rate("call_soon_threadsafe per record", await call_soon_threadsafe(count // 20) * 20)
        ours = rate("AsyncQueue push_buf + pop", await async_queue(count))
        theirs = rate("asyncio.Queue put + get", await asyncio_queue(count))
        ratios[("AsyncDispatcher / deque + await cb", 0.6, True)].append(bridge / floor)
        ratios[("AsyncDispatcher / call_soon_threadsafe", 20, True)].append(bridge / soon)
        ratios[("AsyncQueue / asyncio.Queue", 0.8, True)].append(ours / theirs)

    for round_ in range(args.rounds):
        floor = rate("native thread, lock per record (floor)", sync_floor(count))
        peer = rate("SimpleQueue between two threads", simple_queue(count))
        for label, modes in (("waking socket", {}), ("waiting in the queue", {"nonblocking": False, "block_on_full": True})):
            ours = rate(f"SyncDispatcher, {label}", sync_dispatcher(count, **modes))
            ratios[(f"SyncDispatcher, {label} / floor", 0.7, True)].append(ours / floor)
            ratios[(f"SyncDispatcher, {label} / SimpleQueue", 1.0, True)].append(ours / peer)
        asyncio.run(asyncio_round())
        ratios[("SyncDispatcher._push while the worker is awake / try_push alone", 2.0, False)].append(
            push_with_wake_check(count) / push_alone(count))
        print(f"round {round_ + 1} of {args.rounds} done", file=sys.stderr)

    report(rates, ratios)

    print()
    for label, modes in (("waking socket", {}), ("waiting in the queue", {"nonblocking": False})):
        sync = statistics.median(wake_latencies(2000, **modes))
        print(f"wake-up latency p50, worker asleep, SyncDispatcher {label}: {sync:7.1f} us")
    udp = statistics.median(bridge_floor.udp_latency(2000, 2000)) / 1000
    print(f"one-way loopback UDP p50, receiver asleep (peer):             {udp:7.1f} us")
    progress, delivered = main_thread_progress(count)
    print(f"main-thread pure-Python loop while a SyncDispatcher delivers {delivered / 1e6:.2f} M records/s: "
          f"{progress / 1e6:.2f} M iterations/s")


if __name__ == "__main__":
    main()

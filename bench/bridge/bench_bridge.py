"""The message bridge against its floors and peers, in one run: 64-byte records from a native
producer thread to a Python callback that does next to nothing.

Every contender runs once per round, rounds interleaved, first on the machine as it is, then with
one CPU-bound process beside it (the "busy:" rows); the script prints each one's median rate, the
median [min - max] of the per-round ratios the targets are stated in, the voluntary context
switches of the process per 1,000 records and, for the dispatchers, the wake-ups they sent per
1,000 records (their stats()). See README.md for the commands.
"""

import argparse
import asyncio
import collections
import contextlib
import os
import queue
import resource
import statistics
import subprocess
import sys
import threading
import time

import bridge_floor
import feeder
import numpy
from orvel.scribo import Level, Logger, StdoutHandler
from orvel.tandem.tandem import Tandem
from orvel.utils.portage.portage import (AsyncBatchDispatcher, AsyncDispatcher, AsyncQueue, SyncBatchDispatcher,
                                         SyncDispatcher)

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


RECORD = numpy.dtype((numpy.void, SIZE))


class FinishBatches(Finish):
    """The batch callbacks: they count the records and tell the batch that holds the end record,
    the only one whose records are not all SIZE bytes long."""

    def __init__(self):
        super().__init__()
        self.records = 0

    def counting(self, batch):
        self.records += len(batch)
        if batch.record_size != SIZE:
            self.event.set()

    def iterating(self, batch):
        records = self.records
        for record in batch:
            records += len(record)
        self.records = records
        if batch.record_size != SIZE:
            self.event.set()

    def frombuffer(self, batch):
        if batch.record_size == SIZE:
            self.records += len(numpy.frombuffer(batch, dtype=RECORD))
        else:
            self.event.set()

    async def coroutine(self, batch):
        self.records += len(batch)
        if batch.record_size != SIZE:
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


def sync_dispatcher(count, kind=SyncDispatcher, finish=None, callback="sync", **modes):
    finish = finish or Finish()
    dispatcher = kind(getattr(finish, callback), **modes)
    dispatcher.setup()
    feed = feeder.Feed(dispatcher, count, SIZE, end_marker=True)
    seconds = timed(lambda: (feed.start(), finish.event.wait()))
    dispatcher.close()
    feed.join()
    return seconds, dispatcher.stats()["wakeups_sent"]


# The ring of the batch rows and of their peers: slots of the records' size, as a service with
# fixed-size records builds it. With the default 2048-byte slots every record is a cache miss of
# its own, and the native consumer moved 1.5 to 11 M records/s from one run to the next.
RING = {"capacity": 16384, "slot_size": SIZE}


def native_to_native(count):
    """The same producer into the same ring, drained by a native thread: the most any consumer of
    that ring gets."""
    ring = Tandem(RING["slot_size"], RING["capacity"])
    feed = feeder.Feed(ring, count, SIZE, end_marker=True)
    seconds = bridge_floor.native_consumer(ring, feed.start, SIZE)
    feed.join()
    return seconds


def sync_batches(count, delivery="counting", **modes):
    return sync_dispatcher(count, SyncBatchDispatcher, FinishBatches(), delivery, **RING, **modes)


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


async def async_dispatcher(count, **geometry):
    finish = Finish()
    finish.future = asyncio.get_running_loop().create_future()
    dispatcher = AsyncDispatcher(finish.coroutine, **geometry)
    dispatcher.setup()
    feed = feeder.Feed(dispatcher, count, SIZE, end_marker=True)
    start = time.perf_counter()
    feed.start()
    await finish.future
    seconds = time.perf_counter() - start
    dispatcher.close()
    feed.join()
    return seconds, dispatcher.stats()["wakeups_sent"]


async def async_batches(count, iterate=False):
    finish = FinishBatches()
    finish.future = asyncio.get_running_loop().create_future()
    dispatcher = AsyncBatchDispatcher(None if iterate else finish.coroutine, **RING)
    dispatcher.setup()
    feed = feeder.Feed(dispatcher, count, SIZE, end_marker=True)
    start = time.perf_counter()
    feed.start()
    if iterate:
        async for batch in dispatcher:
            finish.records += len(batch)
            if batch.record_size != SIZE:
                break
    else:
        await finish.future
    seconds = time.perf_counter() - start
    dispatcher.close()
    feed.join()
    return seconds, dispatcher.stats()["wakeups_sent"]


async def call_soon_threadsafe(count):
    finish = Finish()
    loop = asyncio.get_running_loop()
    finish.future = loop.create_future()
    start = time.perf_counter()
    bridge_floor.call_soon_peer(loop, finish.plain, count, SIZE)
    await finish.future
    return time.perf_counter() - start


async def async_queue(count):
    # Slots of the records' size: the ring takes its memory as the records first reach each slot,
    # inside the timed run, and slots of the default 1024 bytes would make that half a gigabyte.
    channel = AsyncQueue(slot_size=SIZE, capacity=1 << (count - 1).bit_length())

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


def wake_latencies(count, batches=False, **modes):
    """Microseconds from a push to the callback, the worker asleep before each push; with
    `batches`, to a SyncBatchDispatcher's callback."""
    latencies = []
    done = threading.Event()

    def callback(record):
        latencies.append((time.monotonic_ns() - int.from_bytes(record[:8], "little")) / 1000)
        if len(latencies) == count:
            done.set()

    def batch_callback(batch):
        for record in batch:
            callback(record)

    dispatcher = SyncBatchDispatcher(batch_callback, **modes) if batches else SyncDispatcher(callback, **modes)
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


# ---- building ----------------------------------------------------------------------------------

def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def construction(build, count=20):
    """Median seconds to build one object, and the resident bytes each adds before records flow."""
    kept, seconds = [], []
    before = resident_bytes()
    for _ in range(count):
        start = time.perf_counter()
        kept.append(build())
        seconds.append(time.perf_counter() - start)
    return statistics.median(seconds), (resident_bytes() - before) / count


# ---- the machine made busy, and what the kernel does meanwhile ---------------------------------

@contextlib.contextmanager
def cpu_bound_process():
    """One process that spins on a CPU for as long as the block runs."""
    spinner = subprocess.Popen([sys.executable, "-c", "print(flush=True)\nwhile True: pass"],
                               stdout=subprocess.PIPE)
    try:
        spinner.stdout.readline()  # spinning from here on
        yield
    finally:
        spinner.kill()
        spinner.wait()


def voluntary_switches():
    """Voluntary context switches of this process so far, every thread of it (getrusage)."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_nvcsw


# ---- report ------------------------------------------------------------------------------------

def verdict(median, target, at_least):
    met = median >= target if at_least else median <= target
    return f"{'>=' if at_least else '<='} {target:<4} {'met' if met else 'MISSED'}"


def median_per_1000(counts, count):
    """{name: per-round counts} as {name: median count per 1,000 records}."""
    return {name: statistics.median(1000 * n / count for n in values) for name, values in counts.items()}


def report(rates, switches, wakeups, ratios, count):
    """`ratios` maps (name, bridge path, target, at_least) to the per-round ratios; `wakeups` has
    the dispatchers' paths only."""
    switched, woken = median_per_1000(switches, count), median_per_1000(wakeups, count)
    print(f"{'contender':60} {'median':>12} {'vcsw/1k':>9}")
    for name, values in rates.items():
        print(f"{name:60} {statistics.median(values) / 1e6:9.3f} M/s {switched[name]:9.2f}")
    print()
    print(f"{'ratio':78} {'median [min - max]':>20} {'target':12} {'vcsw/1k':>8} {'target':12} "
          f"{'wakes/1k':>8} target")
    for (name, path, target, at_least), values in ratios.items():
        median = statistics.median(values)
        crossings = switched[path]
        sent = f"{woken[path]:8.2f} < 5  {'met' if woken[path] < 5 else 'MISSED'}" if path in woken else f"{'-':>8}"
        print(f"{name:78} {median:6.2f} [{min(values):.2f} - {max(values):.2f}]   {verdict(median, target, at_least):12} "
              f"{crossings:8.2f} < 5  {'met' if crossings < 5 else 'MISSED':7} {sent}")


def main():
    # The queues' signal watcher reports to the default logger; its lines would split the report's.
    Logger("bench", Level.WARN, handlers=[StdoutHandler(max_level=Level.OFF)], set_default=True)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--count", type=int, default=500_000)
    args = parser.parse_args()
    count = args.count
    rates = collections.defaultdict(list)
    switches = collections.defaultdict(list)
    wakeups = collections.defaultdict(list)
    ratios = collections.defaultdict(list)
    sync_modes = (("waking socket", {}), ("waiting in the queue", {"nonblocking": False, "block_on_full": True}))

    def rate(name, outcome, switched, scale=1):
        """`outcome`: the seconds, or for a dispatcher (seconds, wake-ups it sent)."""
        seconds, sent = outcome if isinstance(outcome, tuple) else (outcome, None)
        rates[name].append(count / (seconds * scale))
        switches[name].append(switched * scale)
        if sent is not None:
            wakeups[name].append(sent * scale)
        return count / (seconds * scale)

    def run(name, contender, *args, **kwargs):
        before = voluntary_switches()
        outcome = contender(*args, **kwargs)
        return rate(name, outcome, voluntary_switches() - before)

    async def run_async(name, contender, *args, scale=1, **kwargs):
        before = voluntary_switches()
        outcome = await contender(*args, **kwargs)
        return rate(name, outcome, voluntary_switches() - before, scale)

    def ratio(name, path, target, value, at_least=True):
        ratios[(name, path, target, at_least)].append(value)

    async def asyncio_round():
        floor = await run_async("deque + await cb, one task", deque_floor, count)
        bridge = await run_async("AsyncDispatcher", async_dispatcher, count)
        native = run("native producer to native consumer (asyncio round)", native_to_native, count)
        records = await run_async("AsyncDispatcher, 64-byte slots", async_dispatcher, count, **RING)
        for label, iterate in (("callback counting", False), ("async for", True)):
            path = f"AsyncBatchDispatcher, {label}"
            batches = await run_async(path, async_batches, count, iterate)
            ratio(f"{path} / native to native", path, 0.7, batches / native)
            ratio(f"{path} / AsyncDispatcher, 64-byte slots", path, 3.0, batches / records)
        soon = await run_async("call_soon_threadsafe per record", call_soon_threadsafe, count // 20, scale=20)
        ours = await run_async("AsyncQueue push_buf + pop", async_queue, count)
        theirs = await run_async("asyncio.Queue put + get", asyncio_queue, count)
        ratio("AsyncDispatcher / deque + await cb", "AsyncDispatcher", 0.6, bridge / floor)
        ratio("AsyncDispatcher / call_soon_threadsafe", "AsyncDispatcher", 20, bridge / soon)
        ratio("AsyncQueue / asyncio.Queue", "AsyncQueue push_buf + pop", 0.8, ours / theirs)

    def thread_round(prefix, peer_target):
        floor = run(f"{prefix}native thread, lock per record (floor)", sync_floor, count)
        peer = run(f"{prefix}SimpleQueue between two threads", simple_queue, count)
        native = run(f"{prefix}native producer to native consumer", native_to_native, count)
        batch_target = 0.5 if prefix else 0.7
        batch_rates = {}
        for label, modes in sync_modes:
            path = f"{prefix}SyncDispatcher, {label}"
            ours = run(path, sync_dispatcher, count, **modes)
            ratio(f"{path} / floor", path, 0.7, ours / floor)
            ratio(f"{path} / SimpleQueue", path, peer_target, ours / peer)
            batch_path = f"{prefix}SyncBatchDispatcher, {label}, counting"
            batch_rates[label] = run(batch_path, sync_batches, count, **modes)
            ratio(f"{batch_path} / native to native", batch_path, batch_target, batch_rates[label] / native)
        if not prefix:
            path = "SyncBatchDispatcher, waking socket, counting"
            records = run("SyncDispatcher, waking socket, 64-byte slots", sync_dispatcher, count, **RING)
            ratio(f"{path} / SyncDispatcher, 64-byte slots", path, 3.0, batch_rates["waking socket"] / records)
            path = "SyncBatchDispatcher, waking socket, iterating records"
            ratio(f"{path} / floor", path, 2.0, run(path, sync_batches, count, "iterating") / floor)
            path = "SyncBatchDispatcher, waking socket, numpy.frombuffer"
            ratio(f"{path} / native to native", path, 0.7, run(path, sync_batches, count, "frombuffer") / native)

    async def busy_asyncio_round():
        floor = await run_async("busy: deque + await cb, one task", deque_floor, count)
        bridge = await run_async("busy: AsyncDispatcher", async_dispatcher, count)
        ratio("busy: AsyncDispatcher / deque + await cb", "busy: AsyncDispatcher", 0.5, bridge / floor)
        native = run("busy: native producer to native consumer (asyncio round)", native_to_native, count)
        batches = await run_async("busy: AsyncBatchDispatcher, callback counting", async_batches, count)
        ratio("busy: AsyncBatchDispatcher, callback counting / native to native",
              "busy: AsyncBatchDispatcher, callback counting", 0.5, batches / native)

    for round_ in range(args.rounds):
        thread_round("", 1.0)
        asyncio.run(asyncio_round())
        ratio("SyncDispatcher._push while the worker is awake / try_push alone", "SyncDispatcher, waking socket",
              2.0, push_with_wake_check(count) / push_alone(count), at_least=False)
        # Three threads for two cores: the bridge's producer and consumer no longer always run at once.
        with cpu_bound_process():
            thread_round("busy: ", 0.8)
            asyncio.run(busy_asyncio_round())
        print(f"round {round_ + 1} of {args.rounds} done", file=sys.stderr)

    report(rates, switches, wakeups, ratios, count)

    print()
    for label, build in (("Tandem(16384, 2048)", lambda: Tandem(16384, 2048)),
                         ("SyncDispatcher(callback), the defaults", lambda: SyncDispatcher(Finish().sync))):
        seconds, resident = construction(build)
        print(f"building {label:40} {seconds * 1e6:8.1f} us (<= 1000 {'met' if seconds <= 1e-3 else 'MISSED'}), "
              f"{resident / 1024:8.1f} KiB resident each (<= 1024 {'met' if resident <= 1 << 20 else 'MISSED'})")

    print()
    for label, modes in (("waking socket", {}), ("waiting in the queue", {"nonblocking": False})):
        # Interleaved, as the rounds are: the machine's speed drifts between the two otherwise.
        records, batches = [], []
        for _ in range(4):
            records.append(statistics.median(wake_latencies(500, **modes)))
            batches.append(statistics.median(wake_latencies(500, batches=True, **modes)))
        sync, batch = statistics.median(records), statistics.median(batches)
        print(f"wake-up latency p50, worker asleep, SyncDispatcher {label}: {sync:7.1f} us")
        print(f"wake-up latency p50, worker asleep, SyncBatchDispatcher {label}: {batch:7.1f} us, "
              f"{batch / sync:.2f}x the SyncDispatcher's {verdict(batch / sync, 1.2, at_least=False)}")
    udp = statistics.median(bridge_floor.udp_latency(2000, 2000)) / 1000
    print(f"one-way loopback UDP p50, receiver asleep (peer):             {udp:7.1f} us")
    progress, delivered = main_thread_progress(count)
    print(f"main-thread pure-Python loop while a SyncDispatcher delivers {delivered / 1e6:.2f} M records/s: "
          f"{progress / 1e6:.2f} M iterations/s")


if __name__ == "__main__":
    main()

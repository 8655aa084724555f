"""Plots the throughput of the slot ring and of the message bridge against the peers measured in
the same runs, from the saved output of the two benchmarks:

    build/bench/bench/ring/ring_bench --only throughput > ring.txt
    PYTHONPATH=build/bench/bench/bridge .venv/bin/python -P bench/bridge/bench_bridge.py > bridge.txt
    .venv/bin/python bench/plot_throughput.py ring.txt bridge.txt -o docs/throughput.png

(bench/ring/README.md and bench/bridge/README.md build the two; matplotlib comes from
bench/requirements.txt.) Each bar is a median rate; the label beside each pair gives the median
[min - max] of the per-run ratios, the figure to quote on a machine whose speed drifts.
"""

import argparse
import re
from dataclasses import dataclass

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

RING_ROW = re.compile(r"^(.{30}) (.{30}) +(\d+)  +([\d.]+) +([\d.]+) +([\d.]+)x \[ *([\d.]+) - *([\d.]+)\]$")
BRIDGE_RATE = re.compile(r"^(.+?) +([\d.]+) M/s ")
BRIDGE_RATIO = re.compile(r"^(.+?) +([\d.]+) \[([\d.]+) - ([\d.]+)\]")

# The bridge's contenders, each with the peer or floor it is measured against and the name under
# which the benchmark reports their ratio.
BRIDGE_PAIRS = [
    ("SyncDispatcher, waking socket", "SimpleQueue between two threads",
     "SyncDispatcher, waking socket / SimpleQueue"),
    ("SyncDispatcher, waiting in the queue", "SimpleQueue between two threads",
     "SyncDispatcher, waiting in the queue / SimpleQueue"),
    ("SyncDispatcher, waking socket", "native thread, lock per record (floor)",
     "SyncDispatcher, waking socket / floor"),
    ("AsyncDispatcher", "call_soon_threadsafe per record", "AsyncDispatcher / call_soon_threadsafe"),
    ("AsyncDispatcher", "deque + await cb, one task", "AsyncDispatcher / deque + await cb"),
    ("AsyncQueue push_buf + pop", "asyncio.Queue put + get", "AsyncQueue / asyncio.Queue"),
    # One CPU-bound process beside the contender and its floor alike.
    ("busy: SyncDispatcher, waking socket", "busy: native thread, lock per record (floor)",
     "busy: SyncDispatcher, waking socket / floor"),
    ("busy: SyncDispatcher, waiting in the queue", "busy: native thread, lock per record (floor)",
     "busy: SyncDispatcher, waiting in the queue / floor"),
    ("busy: AsyncDispatcher", "busy: deque + await cb, one task", "busy: AsyncDispatcher / deque + await cb"),
    # Records in batches, against the same producer feeding a native consumer through the same ring
    # and against the per-record paths over that ring.
    ("SyncBatchDispatcher, waking socket, counting", "native producer to native consumer",
     "SyncBatchDispatcher, waking socket, counting / native to native"),
    ("SyncBatchDispatcher, waking socket, counting", "SyncDispatcher, waking socket, 64-byte slots",
     "SyncBatchDispatcher, waking socket, counting / SyncDispatcher, 64-byte slots"),
    ("SyncBatchDispatcher, waking socket, iterating records", "native thread, lock per record (floor)",
     "SyncBatchDispatcher, waking socket, iterating records / floor"),
    ("SyncBatchDispatcher, waking socket, numpy.frombuffer", "native producer to native consumer",
     "SyncBatchDispatcher, waking socket, numpy.frombuffer / native to native"),
    ("AsyncBatchDispatcher, callback counting", "native producer to native consumer (asyncio round)",
     "AsyncBatchDispatcher, callback counting / native to native"),
    ("AsyncBatchDispatcher, callback counting", "AsyncDispatcher, 64-byte slots",
     "AsyncBatchDispatcher, callback counting / AsyncDispatcher, 64-byte slots"),
    ("busy: SyncBatchDispatcher, waking socket, counting", "busy: native producer to native consumer",
     "busy: SyncBatchDispatcher, waking socket, counting / native to native"),
    ("busy: AsyncBatchDispatcher, callback counting", "busy: native producer to native consumer (asyncio round)",
     "busy: AsyncBatchDispatcher, callback counting / native to native"),
]


@dataclass
class Pair:
    ours: str
    peer: str
    ours_rate: float  # million records per second
    peer_rate: float
    ratio: str  # "median [min - max]"


def ring_pairs(text: str) -> list[Pair]:
    pairs = []
    for line in text.splitlines():
        if match := RING_ROW.match(line):
            a, b, size, a_rate, b_rate, ratio, low, high = match.groups()
            pairs.append(Pair(f"{a.strip()}, {size} B", b.strip(), float(a_rate), float(b_rate),
                              f"{float(ratio):.2f}x [{low} - {high}]"))
    if not pairs:
        raise SystemExit("no throughput rows in the ring benchmark's output")
    return pairs


def bridge_pairs(text: str) -> list[Pair]:
    rates, ratios = {}, {}
    for line in text.splitlines():
        if match := BRIDGE_RATE.match(line):
            rates[match[1].strip()] = float(match[2])
        elif match := BRIDGE_RATIO.match(line):
            ratios[match[1].strip()] = f"{float(match[2]):.2f}x [{match[3]} - {match[4]}]"
    pairs = []
    for ours, peer, ratio in BRIDGE_PAIRS:
        if ours not in rates or peer not in rates or ratio not in ratios:
            raise SystemExit(f"the bridge benchmark's output lacks {ours!r}, {peer!r} or {ratio!r}")
        pairs.append(Pair(ours, peer, rates[ours], rates[peer], ratios[ratio]))
    return pairs


def draw(axes, title: str, pairs: list[Pair]) -> None:
    labels, height = [], 0.38
    for row, pair in enumerate(pairs):
        axes.barh(row - height / 2, pair.ours_rate, height, color="tab:blue")
        axes.barh(row + height / 2, pair.peer_rate, height, color="tab:gray")
        axes.text(max(pair.ours_rate, pair.peer_rate) * 1.08, row, pair.ratio, va="center", fontsize=8)
        labels.append(f"{pair.ours}\nvs {pair.peer}")
    axes.set_yticks(range(len(pairs)), labels, fontsize=8)
    axes.invert_yaxis()
    axes.set_xscale("log")
    axes.set_xlabel("million records per second (median; log scale)")
    axes.set_title(title, fontsize=10)
    axes.margins(x=0.35)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("ring", help="output of ring_bench --only throughput")
    parser.add_argument("bridge", help="output of bench_bridge.py")
    parser.add_argument("-o", "--output", default="throughput.png")
    args = parser.parse_args()
    with open(args.ring) as ring, open(args.bridge) as bridge:
        rings, bridges = ring_pairs(ring.read()), bridge_pairs(bridge.read())

    figure, (top, bottom) = plt.subplots(2, 1, figsize=(10, 15), height_ratios=[len(rings), len(bridges)])
    draw(top, "Slot ring between two native threads (blue) against peer queues (grey)", rings)
    draw(bottom, "Message bridge, native producer to Python callback (blue), against peers and floors (grey)",
         bridges)
    figure.tight_layout()
    figure.savefig(args.output, dpi=110)
    print(f"wrote {args.output}")


if __name__ == "__main__":
    main()

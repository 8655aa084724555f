"""Queues built from Python, records moved between two native threads through the queue's native
table (by the `courier` example extension), with the counts and the rate."""

import courier
from orvel.scribo import Level, Logger, StdoutHandler
from orvel.tandem.tandem import Tandem

RUNS = [
    # label, Tandem slot size and capacity, records, record size, variable-size messages
    ("64-byte records", 64, 1024, 2_000_000, 64, False),
    ("2 KiB records", 2048, 256, 500_000, 2048, False),
    ("5000-byte messages over 512-byte slots", 512, 256, 200_000, 5000, True),
]


def main() -> None:
    # The signal watcher reports to the default logger: when it starts and which queues it guards.
    Logger("demo", handlers=[StdoutHandler(pattern="[%H:%M:%S.%e] %v", max_level=Level.OFF)],
           set_default=True)
    for label, slot_size, capacity, records, size, messages in RUNS:
        queue = Tandem(slot_size, capacity, block_on_full=True)
        moved = courier.relay(queue, records, size, messages)
        rate = moved["received"] / moved["seconds"]
        print(f"{label:40} sent {moved['sent']:>9,}  received {moved['received']:>9,}  "
              f"intact {moved['intact']:>9,}  {rate / 1e6:6.2f} M/s  "
              f"{rate * size / 2**30:6.2f} GiB/s")


if __name__ == "__main__":
    main()

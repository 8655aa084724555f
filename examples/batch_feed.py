"""Records in batches: a native producer thread (the `feeder` example extension) pushes 64-byte
records, each starting with its sequence number; a SyncBatchDispatcher's callback and an
AsyncBatchDispatcher read with `async for` take them a batch at a time, and read the sequence
numbers of a whole batch through one memoryview, without a Python object per record."""

import asyncio
import threading

import feeder
from orvel.utils.portage.portage import AsyncBatchDispatcher, RecordBatch, SyncBatchDispatcher

RECORDS = 1_000_000
SIZE = 64


class Checker:
    """Counts the records and checks that their sequence numbers run on without a gap."""

    def __init__(self) -> None:
        self.records = self.batches = 0
        self.largest = 0
        self.done = threading.Event()

    def take(self, batch: RecordBatch) -> None:
        # Every record is SIZE bytes: the batch's buffer as rows of 8-byte words, the first of
        # each row the record's sequence number.
        words = memoryview(batch).cast("Q", (len(batch), SIZE // 8))
        first, last = words[0, 0], words[len(batch) - 1, 0]
        if first != self.records or last != self.records + len(batch) - 1:
            raise RuntimeError(f"records {self.records} to {self.records + len(batch) - 1} came as {first} to {last}")
        self.records += len(batch)
        self.batches += 1
        self.largest = max(self.largest, len(batch))
        if self.records == RECORDS:
            self.done.set()

    def report(self, name: str, seconds: float) -> None:
        print(f"{name:22} {self.records:,} records in {self.batches:,} batches (up to {self.largest} records), "
              f"{self.records / seconds / 1e6:.1f} M records/s")


def on_a_worker_thread() -> None:
    checker = Checker()
    with SyncBatchDispatcher(checker.take, capacity=16384, slot_size=SIZE) as dispatcher:
        feed = feeder.Feed(dispatcher, RECORDS, SIZE).start()
        checker.done.wait()
        pushed = feed.join()
    checker.report("SyncBatchDispatcher", pushed["seconds"])


async def on_the_loop() -> None:
    checker = Checker()
    async with AsyncBatchDispatcher(capacity=16384, slot_size=SIZE, max_records=4096) as dispatcher:
        feed = feeder.Feed(dispatcher, RECORDS, SIZE).start()
        async for batch in dispatcher:
            checker.take(batch)
            if checker.records == RECORDS:
                break
        pushed = await asyncio.to_thread(feed.join)
    checker.report("AsyncBatchDispatcher", pushed["seconds"])


if __name__ == "__main__":
    on_a_worker_thread()
    asyncio.run(on_the_loop())

"""An asyncio service that consumes a native feed: a native producer thread (the `feeder`
example extension) pushes records into an AsyncDispatcher, whose callback runs on the event loop
beside the service's other tasks, and everything is logged through scribo."""

import asyncio

import feeder
from orvel.scribo import ConsoleHandler, Level, Logger
from orvel.utils.portage.portage import AsyncDispatcher

log = Logger("feed", Level.INFO, handlers=[ConsoleHandler(pattern="[%H:%M:%S.%e] [%^%l%$] %v")], set_default=True)


RECORDS = 500_000


class Tally:
    def __init__(self) -> None:
        self.records = self.bytes = 0
        self.done: asyncio.Future[None] = asyncio.get_running_loop().create_future()

    async def on_record(self, record: bytes) -> None:
        self.records += 1
        self.bytes += len(record)
        if self.records == RECORDS:
            self.done.set_result(None)


async def heartbeat(tally: Tally) -> None:
    while not tally.done.done():
        await asyncio.sleep(0.1)
        log.info(f"{tally.records:>9,} records so far", fg_color=244)


async def main() -> None:
    tally = Tally()
    dispatcher = AsyncDispatcher(tally.on_record, capacity=4096, slot_size=256)
    dispatcher.setup()
    # Bursts with pauses in between: the reader sleeps on its socket and wakes for each burst.
    feed = feeder.Feed(dispatcher, RECORDS, 200, varying=True, pause_one_in=2000, max_pause_us=5000).start()
    beat = asyncio.create_task(heartbeat(tally))
    await tally.done
    await beat
    pushed = feed.join()
    dispatcher.close()
    log.info(f"consumed {tally.records:,} records ({tally.bytes / 2**20:.1f} MiB) of {pushed['pushed']:,} pushed "
             f"in {pushed['seconds']:.2f} s", effect=1)
    if tally.records != pushed["pushed"]:
        log.error("records went missing")


if __name__ == "__main__":
    asyncio.run(main())

"""The reader task's loop of an AsyncDispatcher, kept in bytecode on purpose (see async_reader.hpp),
and the hand-over of an AsyncBatchDispatcher's batches to `async for`."""

import asyncio


async def read_records(records, callback):
    try:
        while True:
            for record in records:
                await callback(record)
                del record  # the records object may then reuse its bytes for the next one
            pause = records.pause()
            if pause is None:
                return
            await pause
    except (asyncio.CancelledError, GeneratorExit):
        raise  # close(), or the loop going away: not a failure of the feed
    except BaseException as error:
        records.error = error
        raise
    finally:
        records.close_queue()


_END = object()


class BatchHandoff:
    """The callback of an AsyncBatchDispatcher built without one: the reader task hands each batch
    over and waits until the consumer asks for the next, so that a batch takes everything that came
    while the consumer was busy with the last one. It holds no dispatcher, as the reader does not."""

    def __init__(self):
        self._batches = asyncio.Queue()
        self._reader = None
        self._holding = False  # the consumer has a batch that it has not asked past yet

    async def hand_over(self, batch):
        self._batches.put_nowait(batch)
        del batch  # reusable once the consumer lets go of it
        await self._batches.join()

    async def next_batch(self, reader):
        """The next batch; None once the reader has ended (or, for None, ended or never started)
        and every batch it handed over has been taken."""
        if self._holding:
            self._holding = False
            self._batches.task_done()  # the reader goes on
        if reader is not None and reader is not self._reader:
            self._reader = reader
            reader.add_done_callback(self._reader_ended)
        if reader is None and self._batches.empty():
            return None
        batch = await self._batches.get()
        if batch is _END:
            self._batches.task_done()
            self._batches.put_nowait(_END)  # for every later call
            return None
        self._holding = True
        return batch

    def _reader_ended(self, reader):
        self._batches.put_nowait(_END)

"""The reader task's loop of an AsyncDispatcher, kept in bytecode on purpose: see async_reader.hpp."""

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

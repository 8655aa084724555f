"""The reader task's loop of an AsyncDispatcher, kept in bytecode on purpose: see async_reader.hpp."""

import asyncio


async def read_records(records, callback):
    reader = asyncio.current_task()
    try:
        while True:
            for record in records:
                await callback(record)
                del record  # the records object may then reuse its bytes for the next one
            pause = records.pause()
            if pause is None:
                return
            await pause
    except asyncio.CancelledError:
        raise  # close(), or the loop going away: not a failure of the feed
    except BaseException as error:
        if not isinstance(error, GeneratorExit) or stepping(reader):
            records.error = error
        raise
    finally:
        records.close_queue()


def stepping(task):
    """Whether `task` is running one of its steps. A GeneratorExit raised in one came from the
    callback; the one the coroutine's close() throws in when it is finalised comes between steps."""
    try:
        return asyncio.current_task() is task
    except RuntimeError:  # no loop runs
        return False

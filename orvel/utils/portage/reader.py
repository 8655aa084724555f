"""The reader task's loop of an AsyncDispatcher, kept in bytecode on purpose (see async_reader.hpp),
and the same taking one record at a time, for `async for`."""

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


async def next_record(records):
    """The next record (or batch) of a records object for a consumer that asks for one at a time
    (`async for`), or None once the reader is done. Asking again counts the last one delivered."""
    try:
        while True:
            for record in records:
                return record
            pause = records.pause()
            if pause is None:
                return None
            await pause
    except (asyncio.CancelledError, GeneratorExit):
        raise  # the consumer's own cancellation: it may ask again
    except BaseException as error:
        records.error = error
        records.close_queue()
        raise


async def hold_records(records):
    """The reader task of a dispatcher that `async for` reads: it takes nothing, and closes the
    queue when it ends (close(), or the loop going away), as a reader does."""
    try:
        await asyncio.get_running_loop().create_future()
    finally:
        records.close_queue()


def stepping(task):
    """Whether `task` is running one of its steps. A GeneratorExit raised in one came from the
    callback; the one the coroutine's close() throws in when it is finalised comes between steps."""
    try:
        return asyncio.current_task() is task
    except RuntimeError:  # no loop runs
        return False

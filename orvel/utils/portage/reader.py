"""The reader task's loop of an AsyncDispatcher, kept in bytecode on purpose: see async_reader.hpp."""


async def read_records(records, callback):
    while True:
        for record in records:
            await callback(record)
        pause = records.pause()
        if pause is None:
            return
        await pause

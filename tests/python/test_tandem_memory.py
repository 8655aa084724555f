"""What queues cost in memory before records flow, measured in a child interpreter of its own."""

import json
import os

import pytest

FOOTPRINT = """
import json, os, sys
sys.path.insert(0, {here!r})
from tandem_table import NativeTable
from orvel.tandem.tandem import Tandem
from orvel.utils.portage.portage import SyncDispatcher

PAGE = os.sysconf("SC_PAGE_SIZE")

def footprint():  # resident bytes (the address space also holds the C library's arenas)
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE

def build():
    return {build}

first = build()  # the first queue of the process starts the signal watcher
before = footprint()
built = [build() for _ in range(20)]
after_build = footprint()
queue = Tandem(16384, 2048)
table = NativeTable()
for _ in range(1024):
    assert table.try_push(queue, b"x" * 16384) == 1
after_push = footprint()
del built, queue
after_free = footprint()
print("FOOTPRINT", json.dumps({{"built": after_build - before, "pushed": after_push - after_build,
                               "left": after_free - before}}))
"""

MiB = 1 << 20


@pytest.mark.parametrize("build", [
    "Tandem(16384, 2048)",
    "SyncDispatcher(lambda record: None)",
    "SyncDispatcher(lambda record: None, nonblocking=False, block_on_full=True)",
    "SyncDispatcher(lambda record: None, variable_size=True)",
])
def test_queues_take_memory_as_records_arrive(run_child, build):
    result = run_child(FOOTPRINT.format(here=os.path.dirname(__file__), build=build))
    assert result.returncode == 0, result.stderr
    # The signal watcher logs to the same stdout.
    grown = json.loads(next(line for line in result.stdout.splitlines() if line.startswith("FOOTPRINT "))[10:])
    # Each of these queues has 32 MiB of slots: 20 of them written with zeros would be 640 MiB.
    assert grown["built"] < 20 * MiB, grown
    # 1024 records of 16 KiB: the slots they filled are in memory now, the storage is not fake.
    assert grown["pushed"] >= 12 * MiB, grown
    # And destroyed queues give it back.
    assert grown["left"] < 8 * MiB, grown

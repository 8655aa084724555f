"""Smoke test of the installed wheel, run by scripts/wheel in a fresh virtual environment:

    python -I smoke.py <tests/python> <scratch directory>

A queue driven through its native table, a logger writing a file (with the queue module's own
messages in it), a dispatcher delivering records pushed through its native push routine, and one
copy of spdlog and fmt in the process, the wheel's. The ctypes helpers of the test suite are the
only files taken from the source tree."""

import pathlib
import sys
import threading

helpers, scratch = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
sys.path[:0] = [str(helpers), str(helpers / "portage")]

import orvel  # noqa: E402

site = pathlib.Path(orvel.__file__).parents[1]
assert site.is_relative_to(sys.prefix), f"orvel imported from {site}, not from this environment"

import native  # noqa: E402
from orvel.scribo import FileHandler, Level, Logger, StderrHandler  # noqa: E402
from orvel.tandem.tandem import Tandem  # noqa: E402
from orvel.utils.portage.portage import SyncDispatcher  # noqa: E402
from tandem_table import NativeTable, core_address  # noqa: E402

log_path = scratch / "smoke.log"
log = Logger("smoke", handlers=[FileHandler(str(log_path), pattern="%n|%l|%v")], set_default=True)
log.info("started")

# A queue: the signal watcher starts and logs through the default logger that scribo set.
table = NativeTable()
queue = Tandem(64, 8)
assert table.try_push(queue, b"abc") == 1
assert table.try_pop(queue) == (1, b"abc")
table.tandem_notify(core_address(queue))
assert table.try_push(queue, b"late") == -1

# A dispatcher: records pushed natively reach the callback on the worker thread.
records = [seq.to_bytes(4, "little") for seq in range(100)]
received: list[bytes] = []
done = threading.Event()


def on_record(record: bytes) -> None:
    received.append(record)
    if len(received) == len(records):
        done.set()


dispatcher = SyncDispatcher(on_record, capacity=128, slot_size=64)
dispatcher.setup()
assert [native.push(dispatcher, record) for record in records] == [1] * len(records)
assert done.wait(30), f"{len(received)} of {len(records)} records delivered"
dispatcher.close()
assert received == records

# Replacing the default drops the last reference to the file logger, which flushes and closes it.
log.info(f"delivered {len(received)}")
Logger("quiet", Level.OFF, handlers=[StderrHandler()], set_default=True)
del log
lines = log_path.read_text().splitlines()
assert lines[0] == "smoke|info|started", lines
assert any(line.startswith("smoke|info|[SIGNAL] Registered context") for line in lines), lines
assert lines[-1] == "smoke|info|delivered 100", lines

# One spdlog, one fmt: the wheel's copies, shared by every module.
mapped = {line.split()[-1] for line in pathlib.Path("/proc/self/maps").read_text().splitlines()
          if "/lib" in line and any(name in line for name in ("libspdlog", "libfmt", "libboost"))}
assert len([path for path in mapped if "libspdlog" in path]) == 1, mapped
assert all(pathlib.Path(path).is_relative_to(site / "orvel.libs") for path in mapped), mapped
print("smoke test passed:", ", ".join(sorted(pathlib.Path(path).name for path in mapped)))

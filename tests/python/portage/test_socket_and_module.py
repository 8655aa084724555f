"""The wake-up socket and the module's process-wide rules, observed in child interpreters."""

import asyncio
import ctypes
import os
import shutil
import socket
import subprocess
import sys
import traceback
from pathlib import Path

import pytest

from child_scripts import initialise_again
import native
from orvel.utils.portage import portage

LOG_TO_STDOUT = """
from orvel.scribo import Level, Logger, StdoutHandler
Logger("t", Level.TRACE, handlers=[StdoutHandler(pattern="%l|%v", max_level=Level.OFF)], set_default=True)
from orvel.utils.portage.portage import setup_socket
"""
SOCKETS = LOG_TO_STDOUT + """
import socket
print("BLOCKING", setup_socket(True, 0).getblocking(), flush=True)
sock = setup_socket(False, 16777216)
print("SIZE", sock.getblocking(), sock.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF), sock.getsockname(), flush=True)

class Refusing(socket.socket):  # SO_RCVBUFFORCE fails for another reason; with `fallback` so does SO_RCVBUF
    fallback = False
    def setsockopt(self, level, option, value):
        if option == 33 or self.fallback:
            raise OSError(22, "Invalid argument")
        super().setsockopt(level, option, value)

socket.socket = Refusing
print("FALLBACK", setup_socket(True, 65536).getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF), flush=True)
Refusing.fallback = True
try:
    setup_socket(True, 65536)
except OSError as error:
    print("CONTEXT", error.__context__.errno, flush=True)
"""


def has_net_admin():
    effective = next(line for line in Path("/proc/self/status").read_text().splitlines() if line.startswith("CapEff"))
    return bool(int(effective.split()[1], 16) >> 12 & 1)  # CAP_NET_ADMIN is capability 12


@pytest.mark.parametrize("privileged", [True, False])
def test_socket_size_warnings_and_fallbacks(privileged):
    prefix = []
    if privileged and not has_net_admin():
        pytest.skip("this process lacks CAP_NET_ADMIN, so a child cannot have it")
    if not privileged and has_net_admin():
        if not shutil.which("setpriv"):
            pytest.skip("setpriv (util-linux) is needed to drop CAP_NET_ADMIN in a child")
        prefix = ["setpriv", "--bounding-set", "-net_admin"]
    child = subprocess.run(prefix + [sys.executable, "-P", "-W", "error", "-c", SOCKETS],
                           capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, child.stderr
    lines = [line for line in child.stdout.splitlines() if line and "[SIGNAL]" not in line]
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        default = probe.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF)
    forced = 2 * 16777216 if privileged else 2 * min(16777216, int(Path("/proc/sys/net/core/rmem_max").read_text()))
    assert lines == [
        f"debug|SO_RCVBUF= {default}",
        "BLOCKING True",
        *([] if privileged else ["warning|SO_RCVBUFFORCE needs CAP_NET_ADMIN (sudo or setcap). Falling back to SO_RCVBUF."]),
        f"debug|SO_RCVBUF= {forced}",
        f"SIZE False {forced} ('0.0.0.0', 0)",
        "warning|WARNING: SO_RCVBUFFORCE failed ([Errno 22] Invalid argument). Falling back.",
        "debug|SO_RCVBUF= 131072",
        "FALLBACK 131072",
        "warning|WARNING: SO_RCVBUFFORCE failed ([Errno 22] Invalid argument). Falling back.",
        "CONTEXT 22",
    ]


@pytest.mark.parametrize("make", [lambda: portage.SyncDispatcher(print), lambda: portage.AsyncDispatcher(print)])
def test_binding_records_the_address_and_a_descriptor_of_the_same_socket(make):
    dispatcher = make()
    if isinstance(dispatcher, portage.AsyncDispatcher):
        async def set_up():  # its reader never runs: the loop stops first
            dispatcher.setup("127.0.0.1", 0)

        loop = asyncio.new_event_loop()
        loop.run_until_complete(set_up())
    else:
        dispatcher.setup("127.0.0.1", 0)
    f = native.fields(dispatcher)
    sock = ctypes.cast(f.sock, ctypes.py_object).value
    ip, port = sock.getsockname()
    assert (f.addr.family, bytes(f.addr.address), int.from_bytes(bytes(f.addr.port), "big")) == (
        socket.AF_INET, socket.inet_aton(ip), port)
    assert ip == "127.0.0.1" and f.fd not in (-1, sock.fileno())
    if isinstance(dispatcher, portage.AsyncDispatcher):  # no reader runs: the datagram stays for us
        with socket.socket(fileno=os.dup(f.fd)) as sender:
            sender.sendto(b"\x01", (ip, port))
        assert sock.recv(1) == b"\x01"
        dispatcher.close()
        loop.run_until_complete(asyncio.sleep(0))  # the reader's cancellation
        loop.close()
    else:
        dispatcher.close()


@pytest.mark.parametrize("args, error, message", [
    (("no.such.host.invalid",), OSError, None),
    ((5,), TypeError, r"^Argument 'host' has incorrect type \(expected str, got int\)$"),
    (("127.0.0.1", 2**31), OverflowError, "value too large to convert to int"),
])
def test_setup_errors_propagate_and_start_nothing(args, error, message):
    dispatcher = portage.SyncDispatcher(print)
    with pytest.raises(error, match=message) as raised:
        dispatcher.setup(*args)
    assert error is not OSError or "orvel.utils.portage.portage.SyncDispatcher.setup" in [
        frame.name for frame in traceback.extract_tb(raised.value.__traceback__)]
    dispatcher.close()


MODULE_RULES = """
import sys
import orvel.utils.portage.portage as module
print("IMPORTED", sorted(name for name in ("orvel.tandem.tandem", "orvel.scribo") if name in sys.modules))
logger = module.logger
del sys.modules["orvel.utils.portage.portage"]
import orvel.utils.portage.portage as again
print("SAME", again is module, again.logger is logger, type(logger).__name__)
""" + initialise_again("orvel.utils.portage.portage", "portage")


def test_the_module_is_made_once_per_process(run_child):
    lines = [line for line in run_child(MODULE_RULES).stdout.splitlines() if "[SIGNAL]" not in line and line]
    assert lines == [
        "IMPORTED ['orvel.scribo', 'orvel.tandem.tandem']",
        "SAME True True DefaultLogger",
        "SECOND Module 'portage' has already been imported. Re-initialisation is not supported.",
        "SUBINTERPRETER <class 'ImportError'>: orvel.utils.portage can only be imported in the main interpreter",
    ]
    needed = subprocess.run(["readelf", "-d", portage.__file__], capture_output=True, text=True).stdout
    assert "scribo" not in needed and "tandem" not in needed  # links no library of the package


@pytest.mark.parametrize("tamper, error", [
    ("sys.modules['orvel.tandem.tandem'] = None", "ModuleNotFoundError"),
    ("del t.Tandem", "AttributeError"),
    ("t.Tandem = type('Tandem', (), {'__pyx_vtable__': t.Tandem.__pyx_vtable__})", "ValueError: orvel.tandem.tandem.Tandem size changed"),
    ("t.Tandem = type('Tandem', (t.Tandem,), {})", "KeyError: '__pyx_vtable__'"),  # a subclass's table is its own
])
def test_import_fails_without_the_queue_type_or_its_table(run_child, tamper, error):
    result = run_child(f"import sys, orvel.tandem.tandem as t\n{tamper}\nimport orvel.utils.portage.portage")
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1].startswith(error)

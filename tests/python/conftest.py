"""Shared fixtures. Process-wide behaviour (signals, the first queue of a process, the default
logger, console output written from C) is observed in a child interpreter."""

import os
import platform
import signal
import subprocess
import sys
import textwrap
from dataclasses import dataclass

import pytest

# Under qemu-user, where scripts/test-aarch64-python runs the suite: QEMU_LD_PREFIX names the
# emulated root to the children the interpreter starts.
EMULATED = platform.machine() == "aarch64" and "QEMU_LD_PREFIX" in os.environ
# Emulated code runs some twenty times slower: a child's time limit guards against hangs, and
# stretches with it.
TIME_SCALE = 5 if EMULATED else 1
# What a test needs that qemu-user does not do; @pytest.mark.not_emulated(<key>) names it.
EMULATION_LIMITS = {
    "fork": "qemu-user 7.2 aborts in a child forked from a process with threads when the child starts "
            "a thread (cpu_exec: assertion failed)",
    "delivery": "the emulator takes a signal from the kernel at once and runs the program's handler later, "
                "so /proc cannot tell a test when the handler has run",
    "tasks": "the emulator's own thread is one of the tasks /proc/self/task lists",
    "rlimit_as": "qemu-user does not apply RLIMIT_AS to the program it runs",
    "compilers": "builds with the compilers on the PATH, which build for the machine that runs the emulator",
}
CHILD_TIMEOUT = 60


@dataclass
class Child:
    returncode: int
    stdout: str
    stderr: str


class ChildProcess:
    """A child interpreter running a script; `wait_for` reads its stdout (or stderr) up to a marker line."""

    def __init__(self, source: str, env: dict[str, str] | None = None):
        self.proc = subprocess.Popen(
            [sys.executable, "-P", "-c", textwrap.dedent(source)],  # -P: the source tree must not shadow the installed package,
            stdin=subprocess.PIPE,  # open until finish(), for a child that waits in input()
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            bufsize=0,  # wait_for must read no further than its marker: finish() reads the rest
            env={**os.environ, **(env or {})},
        )
        self.lines: dict[str, list[str]] = {"stdout": [], "stderr": []}

    def wait_for(self, marker: str, stream: str = "stdout") -> None:
        pipe = getattr(self.proc, stream)
        while line := pipe.readline().decode():
            self.lines[stream].append(line)
            if line.strip() == marker:
                return
        result = self.finish()
        raise AssertionError(f"child ended before {marker!r}; stdout:\n{result.stdout}\nstderr:\n{result.stderr}")

    def send(self, signum: signal.Signals) -> None:
        os.kill(self.proc.pid, signum)

    def finish(self, timeout: float = CHILD_TIMEOUT) -> Child:
        try:
            out, err = self.proc.communicate(timeout=timeout * TIME_SCALE)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, err = self.proc.communicate()
            raise AssertionError(f"child timed out; stdout:\n{self._all('stdout', out)}\n"
                                 f"stderr:\n{self._all('stderr', err)}")
        return Child(self.proc.returncode, self._all("stdout", out), self._all("stderr", err))

    def _all(self, stream: str, rest: bytes) -> str:
        return "".join(self.lines[stream]) + rest.decode()


def pytest_addoption(parser):
    parser.addoption("--stress", action="store_true", help="run the tests marked 'stress' at full length")


def pytest_configure(config):
    config.addinivalue_line("markers", "not_emulated(limit): needs what qemu-user does not do (EMULATION_LIMITS)")


def pytest_collection_modifyitems(items):
    if not EMULATED:
        return
    for item in items:
        if marker := item.get_closest_marker("not_emulated"):
            item.add_marker(pytest.mark.skip(reason=f"under qemu-user: {EMULATION_LIMITS[marker.args[0]]}"))


@pytest.fixture
def repeats(request):
    """repeats(short, full): how often a stress test repeats its case; full with --stress."""
    return lambda short, full: full if request.config.getoption("--stress") else short


@pytest.fixture
def child():
    """child(source) starts a child interpreter; every child is reaped at teardown."""
    started: list[ChildProcess] = []

    def start(source: str, env: dict[str, str] | None = None) -> ChildProcess:
        started.append(ChildProcess(source, env))
        return started[-1]

    yield start
    for c in started:
        if c.proc.poll() is None:
            c.proc.kill()
            c.proc.communicate()


@pytest.fixture
def run_child(child):
    """run_child(source) runs a child interpreter to its end and returns its exit code and output."""

    def run(source: str, env: dict[str, str] | None = None, timeout: float = CHILD_TIMEOUT) -> Child:
        return child(source, env).finish(timeout)

    return run

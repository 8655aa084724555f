"""Shared fixtures. Process-wide behaviour (signals, the first queue of a process, the default
logger, console output written from C) is observed in a child interpreter."""

import os
import signal
import subprocess
import sys
import textwrap
from dataclasses import dataclass

import pytest

CHILD_TIMEOUT = 60


@dataclass
class Child:
    returncode: int
    stdout: str
    stderr: str


class ChildProcess:
    """A child interpreter running a script; `wait_for` reads its stdout up to a marker line."""

    def __init__(self, source: str, env: dict[str, str] | None = None):
        self.proc = subprocess.Popen(
            [sys.executable, "-P", "-c", textwrap.dedent(source)],  # -P: the source tree must not shadow the installed package,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env={**os.environ, **(env or {})},
        )
        self.lines: list[str] = []

    def wait_for(self, marker: str) -> None:
        for line in self.proc.stdout:
            self.lines.append(line)
            if line.strip() == marker:
                return
        raise AssertionError(f"child ended before {marker!r}:\n{self.finish().stderr}")

    def send(self, signum: signal.Signals) -> None:
        os.kill(self.proc.pid, signum)

    def finish(self, timeout: float = CHILD_TIMEOUT) -> Child:
        try:
            out, err = self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, err = self.proc.communicate()
            raise AssertionError(f"child timed out; stdout:\n{''.join(self.lines)}{out}\nstderr:\n{err}")
        return Child(self.proc.returncode, "".join(self.lines) + out, err)


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

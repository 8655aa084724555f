"""What the sinks do for the process: streams that stall, files shared by several loggers, and
lines around fork(), the end of a process and its being killed. Observed in child processes."""

import os
import signal
import threading
import time

import pytest

from orvel.scribo import FileHandler, Logger, RotatingFileHandler

FILL_STDOUT = """
os.set_blocking(1, False)  # a pipe that nobody reads, full
try:
    while True:
        os.write(1, b"x" * 4096)
except BlockingIOError:
    os.set_blocking(1, True)
"""


# A stream drained by a thread of the logging process itself (as notebook kernels and log shippers
# drain theirs): the drain needs the interpreter lock while the log call waits for the stream.
@pytest.mark.parametrize("stream, messages", [
    ("stderr", "log.error('x' * 300_000)"),
    ("stdout", "for i in range(50_000):\n    log.info('%05d' % i + 'y' * 74)"),
])
def test_a_log_call_waiting_for_its_stream_lets_other_threads_run(run_child, stream, messages):
    fd = 1 if stream == "stdout" else 2
    child = run_child(f"""
import os, sys, threading, time
from orvel.scribo import *
report = os.dup(1)
read, write = os.pipe()
os.dup2(write, {fd})
received = []
def drain():  # slowly
    while chunk := os.read(read, 4096):
        received.append(len(chunk))
        time.sleep(0.0001)
threading.Thread(target=drain, daemon=True).start()
log = Logger("drained", handlers=[{'StdoutHandler' if fd == 1 else 'StderrHandler'}(pattern="%v")])
{messages}
os.close({fd})
os.close(write)
while sum(received) < {300_001 if fd == 2 else 50_000 * 80}:
    time.sleep(0.01)
os.write(report, b"DRAINED %d\\n" % sum(received))
""", timeout=120)
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == [f"DRAINED {300_001 if fd == 2 else 50_000 * 80}"]


# The first interrupt ends a process whose standard output is a pipe that nobody reads, while it
# logs to it and while the watcher's own messages wait for it, and lets it end normally too.
@pytest.mark.parametrize("logger", ["Logger('app', handlers=[StdoutHandler(pattern='%v')])", "DefaultLogger()"])
def test_the_first_interrupt_ends_a_process_logging_to_a_stalled_stdout(child, logger):
    proc = child(f"""
import os, sys
from orvel.tandem.tandem import Tandem
from orvel.scribo import *
queue = Tandem(8, 4)
log = {logger}
{FILL_STDOUT}
try:
    print("READY", file=sys.stderr, flush=True)
    while True:
        log.info("to nobody")
except KeyboardInterrupt:
    log.info("interrupted")
    print("INTERRUPTED", file=sys.stderr, flush=True)
""")
    proc.wait_for("READY", "stderr")
    proc.send(signal.SIGINT)
    proc.wait_for("INTERRUPTED", "stderr")
    assert proc.proc.wait(timeout=30) == 0  # before anything reads the pipe
    assert proc.finish().returncode == 0


def lines_of(path):
    return path.read_text().splitlines() if path.exists() else []


# Lines of loggers that share a file, under several names for it, from several threads: each line
# whole, in appending and truncating mode alike.
@pytest.mark.parametrize("overwrite", [False, True])
def test_loggers_writing_one_file_keep_every_line_whole(tmp_path, overwrite):
    path = tmp_path / "shared.log"
    path.write_text("kept unless overwritten\n")
    (tmp_path / "link.log").symlink_to(path)
    names = [str(path), str(tmp_path / "." / "shared.log"), str(tmp_path / "link.log")]
    loggers = [Logger(f"L{n}", handlers=[FileHandler(name, pattern="%n %v", overwrite=overwrite)])
               for n, name in enumerate(names)]

    def write(log):
        for i in range(3000):
            log.info(f"{i:06d} " + "p" * (i % 300))

    threads = [threading.Thread(target=write, args=(log,)) for log in loggers]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    del loggers, t, threads
    lines = lines_of(path)
    if not overwrite:
        assert lines.pop(0) == "kept unless overwritten"
    assert len(lines) == 9000
    for n in range(3):
        own = [line for line in lines if line.startswith(f"L{n} ")]
        assert own == [f"L{n} {i:06d} " + "p" * (i % 300) for i in range(3000)]


WORKER = """\
import os
from orvel.scribo import FileHandler, Logger
log = None
def work(task):
    global log
    if log is None:
        log = Logger("worker", handlers=[FileHandler({path!r}, pattern="%v")])
    log.info(f"task {{task}}")
    return task
"""


# A multiprocessing child ends with os._exit() (fork, forkserver) or normally (spawn), once the
# interpreter's shutdown of its threads has run; the parent's line, buffered when it forks, is
# written once.
@pytest.mark.parametrize("method", [pytest.param("fork", marks=pytest.mark.not_emulated("fork")), "forkserver", "spawn"])
def test_multiprocessing_children_write_every_line(run_child, tmp_path, method):
    path = tmp_path / "pool.log"
    (tmp_path / "worker.py").write_text(WORKER.format(path=str(path)))
    child = run_child(f"""
import multiprocessing, sys
sys.path.insert(0, {str(tmp_path)!r})
import worker
from orvel.scribo import FileHandler, Logger
parent = Logger("parent", handlers=[FileHandler({str(path)!r}, pattern="%v")])
parent.info("parent")
if __name__ == "__main__":
    pool = multiprocessing.get_context({method!r}).Pool(2)
    assert sorted(pool.map(worker.work, range(24))) == list(range(24))
    pool.close()
    pool.join()
    print("JOINED", flush=True)
""")
    assert child.returncode == 0, child.stderr
    assert sorted(lines_of(path)) == sorted(["parent"] + [f"task {n}" for n in range(24)])


# A line buffered before fork() is written by the parent alone, whether Python's os.fork() or the
# C library's fork() made the child, and whether the child ends through exit() or os._exit().
@pytest.mark.not_emulated("fork")
@pytest.mark.parametrize("fork", ["os.fork()", "ctypes.CDLL(None).fork()"])
@pytest.mark.parametrize("end", ["sys.exit(0)", "ctypes.CDLL(None).exit(0)", "os._exit(0)"])
def test_a_line_buffered_before_fork_is_written_once(run_child, tmp_path, fork, end):
    path = tmp_path / "fork.log"
    child = run_child(f"""
import ctypes, os, sys
from orvel.scribo import FileHandler, Logger
log = Logger("f", handlers=[FileHandler({str(path)!r}, pattern="%v")])
log.info("before fork")
pid = {fork}
if pid == 0:
    log.info("child")
    log.flush()
    {end}
os.waitpid(pid, 0)
log.info("parent after")
""")
    assert child.returncode == 0, child.stderr
    assert lines_of(path) == ["before fork", "child", "parent after"]


# Killed while idle, or while the lines of the last second wait: what waited longer than that is
# in the file.
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP, signal.SIGKILL])
def test_a_process_killed_while_idle_has_written_its_lines(child, tmp_path, signum):
    path = tmp_path / "idle.log"
    proc = child(f"""
import time
from orvel.scribo import FileHandler, Logger
log = Logger("idle", handlers=[FileHandler({str(path)!r}, pattern="%v")])
for i in range(10):
    log.info(f"line {{i}}")
print("READY", flush=True)
time.sleep(60)
""")
    proc.wait_for("READY")
    deadline = time.monotonic() + 10  # the interval is a second; the rest is a loaded machine's
    while len(lines_of(path)) < 10 and time.monotonic() < deadline:
        time.sleep(0.05)
    proc.send(signum)
    assert proc.finish().returncode == -signum
    assert lines_of(path) == [f"line {i}" for i in range(10)]


# Rotating handlers on one path share one file as well, rotating it as the first one opened it.
def test_rotating_loggers_sharing_a_file_rotate_it_as_one(tmp_path):
    path = tmp_path / "rotating.log"
    first = Logger("a", handlers=[RotatingFileHandler(str(path), pattern="%n %v", max_size=1000, max_files=2)])
    second = Logger("b", handlers=[RotatingFileHandler(str(path), pattern="%n %v", max_size=10**6, max_files=9)])
    expected = [f"{'ba'[i % 2]} {i:02d} " + "r" * 40 for i in range(80)]  # 46 bytes: 21 to a file
    for i, line in enumerate(expected):
        (first if i % 2 else second).info(line[2:])
    del first, second
    files = [path, tmp_path / "rotating.1.log", tmp_path / "rotating.2.log"]
    written = [line for file in reversed(files) for line in lines_of(file)]
    assert not (tmp_path / "rotating.3.log").exists()
    assert all(len(file.read_bytes()) <= 1000 for file in files)
    assert len(written) > 2 * 21 and written == expected[-len(written):]

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


# A log file moved away (as logrotate does) or removed while a logger still writes to it: a
# handler opened on its path afterwards writes to the file the path names now, as open() would,
# while the older logger goes on with the file it has.
@pytest.mark.parametrize("away", ["rename", "remove"])
def test_a_handler_opened_after_the_file_was_moved_away_writes_to_a_new_file(tmp_path, away):
    path = tmp_path / "app.log"
    old = Logger("old", handlers=[FileHandler(str(path), pattern="%n %v")])
    old.info("before")
    old.flush()
    if away == "rename":
        path.rename(tmp_path / "app.log.1")
    else:
        path.unlink()
    new = Logger("new", handlers=[FileHandler(str(path), pattern="%n %v")])
    new.info("after")
    old.info("still the old file")
    new.flush()
    assert lines_of(path) == ["new after"]
    assert lines_of(tmp_path / "app.log.1") == (["old before"] if away == "rename" else [])
    old.flush()
    if away == "rename":
        assert lines_of(tmp_path / "app.log.1") == ["old before", "old still the old file"]


# Forks while other threads log to the console through a logger of their own and through the
# default logger: each child logs through both and ends, never finding a lock held by a thread
# it does not have.
def test_a_child_forked_while_other_threads_log_to_the_console_can_log(run_child):
    child = run_child("""
import os, sys, threading, time
from orvel.scribo import DefaultLogger, Logger, StdoutHandler
report = os.dup(1)
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
log = Logger("console", handlers=[StdoutHandler(pattern="%v")])
default = DefaultLogger()
stop = threading.Event()
def write(logger):
    while not stop.is_set():
        logger.info("z" * 100_000)  # long to format: the formatter's lock is held most of the time
threads = [threading.Thread(target=write, args=(logger,)) for logger in (log, log, default)]
for t in threads:
    t.start()
stuck = 0
for _ in range(20):
    pid = os.fork()
    if pid == 0:
        log.info("child")
        default.info("child")
        os._exit(0)
    deadline = time.monotonic() + 5
    while os.waitpid(pid, os.WNOHANG) == (0, 0):
        if time.monotonic() > deadline:
            stuck += 1
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            break
        time.sleep(0.001)
stop.set()
for t in threads:
    t.join()
os.write(report, b"STUCK %d\\n" % stuck)
""", timeout=400)
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == ["STUCK 0"]


# A FIFO's open waits for its reader, here a thread of the same process: the process goes on
# meanwhile, as with the standard package's FileHandler, and the logger is built once the reader
# has come. A construction of the same logger that ended meanwhile is the one kept: a thread may
# be logging through it.
def test_a_file_handler_on_a_fifo_waits_for_its_reader_without_holding_up_the_process(run_child, tmp_path):
    fifo, path = tmp_path / "log.fifo", tmp_path / "file.log"
    os.mkfifo(fifo)
    child = run_child(f"""
import threading, time
from orvel.scribo import FileHandler, Logger
class Unbuilt(Logger):
    def __init__(self):
        pass
fifo_logger, both = Unbuilt(), Unbuilt()
opening = [threading.Thread(target=Logger.__init__, args=(logger, "fifo"),
                            kwargs=dict(handlers=[FileHandler({str(fifo)!r}, pattern="%n %v")]))
           for logger in (fifo_logger, both)]
for t in opening:
    t.start()
time.sleep(0.3)  # both threads wait in open() meanwhile
Logger.__init__(both, "file", handlers=[FileHandler({str(path)!r}, pattern="%n %v")])
both.error("before the reader")
with open({str(fifo)!r}, "rb") as reader:
    for t in opening:
        t.join()
    both.error("after the reader")
    fifo_logger.error("through the fifo")
    del fifo_logger
    print(reader.read())
""", timeout=30)
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == ["b'fifo through the fifo\\n'"]
    assert lines_of(path) == ["file before the reader", "file after the reader"]


# Lines written out for nobody in particular (by the flushing thread, before fork()) that the file
# refuses: the next log call or flush raises the error, once, as a write of its own would have.
@pytest.mark.parametrize("written_out_by", ["the flushing thread", "fork"])
def test_lines_a_full_disk_refused_in_the_background_fail_the_next_call(run_child, written_out_by):
    child = run_child(f"""
import os, time
from orvel.scribo import FileHandler, Logger
log = Logger("full", handlers=[FileHandler("/dev/full", pattern="%v")])
log.info("lost")
if {written_out_by!r} == "fork":
    if os.fork() == 0:
        os._exit(0)
    os.wait()
else:
    time.sleep(3)  # the flushing thread runs a second after the line
def outcome(call):
    try:
        call()
        return "ok"
    except OSError as error:
        return f"{{type(error).__name__}} {{error.errno}} {{error.filename}}"
print("RESULT", outcome(lambda: log.info("next")), "|", outcome(log.flush))
""")
    assert child.returncode == 0, child.stderr
    assert "RESULT OSError 28 /dev/full | ok" in child.stdout

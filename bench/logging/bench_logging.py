"""Logger's level methods to a file against Python logging packages and spdlog floors, in one run.

Every contender writes the same messages to a file of its own with an equivalent format, first
time, name, level and message, then also the caller's file:line:function; the file is closed
(flushed) inside the timed region. Prints messages per second and the ratios the targets are
stated in. See README.md for the commands.
"""

import argparse
import logging
import os
import statistics
import sys
import tempfile
import time

import picologging

from orvel.scribo import FileHandler, Level, Logger

MESSAGE = "order 1234 filled at 101.25 for account 42"
SPD_PLAIN = "[%Y-%m-%d %H:%M:%S.%e] [%n] [%l] %v"
SPD_CALLER = "[%Y-%m-%d %H:%M:%S.%e] [%n] [%l] %s:%#:%! %v"
STD_PLAIN = "%(asctime)s.%(msecs)03d [%(name)s] [%(levelname)s] %(message)s"
STD_CALLER = "%(asctime)s.%(msecs)03d [%(name)s] [%(levelname)s] %(filename)s:%(lineno)d:%(funcName)s %(message)s"
# picologging 0.9.3 writes garbage for the milliseconds on CPython 3.12: it writes seconds only.
PICO_PLAIN, PICO_CALLER = (fmt.replace(".%(msecs)03d", "") for fmt in (STD_PLAIN, STD_CALLER))
# Level methods timed besides info (log at INFO; exception outside any handler), and the floor
# each is held to: below ERROR a file sink flushes nothing, from ERROR on it flushes every message.
OTHER_METHODS = {"warn": "minimal extension, caller", "warning": "minimal extension, caller",
                 "log": "minimal extension, caller", "error": "minimal extension, error",
                 "exception": "minimal extension, error"}


# Every contender logs from these loops: the same call sites, so the same work for any logger
# that looks up its caller's line.
def call_repeatedly(call, count):
    for _ in range(count):
        call(MESSAGE)


def call_repeatedly_at(call, level, count):
    for _ in range(count):
        call(level, MESSAGE)


# `package` is the standard logging package or one with its interface (picologging).
def python_package(package, path, fmt, count):
    handler = package.FileHandler(path, mode="w")
    handler.setFormatter(package.Formatter(fmt, datefmt="%Y-%m-%d %H:%M:%S"))
    logger = package.Logger("bench")
    logger.setLevel(package.DEBUG)  # picologging's unattached logger would drop everything
    logger.addHandler(handler)
    start = time.perf_counter()
    call_repeatedly(logger.info, count)
    handler.close()
    return time.perf_counter() - start


def scribo(path, pattern, count, method="info"):
    start = time.perf_counter()
    logger = Logger("bench", handlers=[FileHandler(path, pattern=pattern, overwrite=True)])
    if method == "log":
        call_repeatedly_at(logger.log, Level.INFO, count)
    else:
        call_repeatedly(getattr(logger, method), count)
    del logger  # the last reference: the file is flushed and closed
    return time.perf_counter() - start


def minimal(floor, path, pattern, count, level="info"):
    start = time.perf_counter()
    floor.open(path, pattern)
    call_repeatedly(getattr(floor, level), count)
    floor.close()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--floor-dir", required=True, help="build directory holding the logging_floor module")
    parser.add_argument("--count", type=int, default=200_000, help="messages per contender and run")
    parser.add_argument("--rounds", type=int, default=7,
                        help="rounds; each runs every contender once, in turn")
    args = parser.parse_args()
    sys.path.insert(0, args.floor_dir)
    import logging_floor

    contenders = {
        "logging, no caller": lambda p, n: python_package(logging, p, STD_PLAIN, n),
        "logging, caller": lambda p, n: python_package(logging, p, STD_CALLER, n),
        "picologging, no caller": lambda p, n: python_package(picologging, p, PICO_PLAIN, n),
        "picologging, caller": lambda p, n: python_package(picologging, p, PICO_CALLER, n),
        "Logger.info, no caller": lambda p, n: scribo(p, SPD_PLAIN, n),
        "Logger.info, caller": lambda p, n: scribo(p, SPD_CALLER, n),
        "minimal extension, caller": lambda p, n: minimal(logging_floor, p, SPD_CALLER, n),
        "spdlog from C++, caller": lambda p, n: logging_floor.spdlog_loop(p, SPD_CALLER, MESSAGE, n),
    }
    for method in OTHER_METHODS:
        contenders[f"Logger.{method}, caller"] = lambda p, n, method=method: scribo(p, SPD_CALLER, n, method)
    contenders["minimal extension, error"] = lambda p, n: minimal(logging_floor, p, SPD_CALLER, n, "error")
    # Rounds, not one contender after another: the machine's speed drifts, and each ratio is
    # taken between runs of the same round.
    rates = {name: [] for name in contenders}
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "bench.log")
        for _ in range(args.rounds):
            for name, run in contenders.items():
                rates[name].append(args.count / run(path, args.count))
    for name, measured in rates.items():
        print(f"{name:28} {statistics.median(measured) / 1e3:9.1f} k messages/s (median of {args.rounds})")

    print("\nratio: median [min - max] over the rounds")
    comparisons = [("Logger.info", "logging, caller", 10.0), ("Logger.info", "picologging, caller", 10.0),
                   ("Logger.info", "minimal extension, caller", 0.8)]
    comparisons += [(f"Logger.{method}", floor, 0.8) for method, floor in OTHER_METHODS.items()]
    comparisons.append(("Logger.info", "spdlog from C++, caller", None))
    for ours, peer, target in comparisons:
        ratios = [a / b for a, b in zip(rates[f"{ours}, caller"], rates[peer])]
        ratio = statistics.median(ratios)
        verdict = "" if target is None else f"  (target >= {target:g}: {'met' if ratio >= target else 'MISSED'})"
        print(f"{ours:16} / {peer:26} {ratio:6.2f}x [{min(ratios):.2f} - {max(ratios):.2f}]{verdict}")


if __name__ == "__main__":
    main()

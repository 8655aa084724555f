"""Gathers the ratio rows of several runs of bench_bridge.py, each saved to a file of its own:

    for run in 1 2 3 4 5; do
        PYTHONPATH=build/bench/bench/bridge .venv/bin/python -P bench/bridge/bench_bridge.py > bridge.$run.txt
    done
    .venv/bin/python bench/bridge/across_runs.py bridge.*.txt

For each ratio (and each wake-up latency quotient) it prints the median of the runs' medians and
the lowest and highest of them: separate processes vary more than the rounds of one, so a target
is met for the runs only where that median meets it.
"""

import argparse
import re
import statistics

RATIO = re.compile(r"^(.+?) +(-?[\d.]+) \[[\d.]+ - [\d.]+\] +(>= \S+|<= \S+|-)")
LATENCY = re.compile(r"^(wake-up latency p50, worker asleep, SyncBatchDispatcher .+?):.* ([\d.]+)x the SyncDispatcher's")


def medians(text):
    """{row: (median, target)} of one run's output."""
    rows = {}
    for line in text.splitlines():
        if match := RATIO.match(line):
            rows[match[1].strip()] = (float(match[2]), match[3])
        elif match := LATENCY.match(line):
            rows[f"{match[1]} / SyncDispatcher's"] = (float(match[2]), "<= 1.2")
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("outputs", nargs="+", help="files, each the output of one run")
    runs = []
    for name in parser.parse_args().outputs:
        with open(name) as output:
            runs.append(medians(output.read()))
    print(f"{len(runs)} runs: the median of the runs' medians [lowest - highest run]")
    for row, (_, target) in runs[0].items():
        values = [run[row][0] for run in runs if row in run]
        median = statistics.median(values)
        if target == "-":
            verdict = "-"
        else:
            bound = float(target[3:])
            verdict = f"{target} {'met' if (median >= bound if target[0] == '>' else median <= bound) else 'MISSED'}"
        print(f"{row:86} {median:6.2f} [{min(values):.2f} - {max(values):.2f}]  {verdict}")


if __name__ == "__main__":
    main()

"""Time of a whole report without a display (`--headless`: velmor-headless on EGL) against the
same report under X (velmor on GLX, on the X server of $DISPLAY).

Each report is the tools' own command, `python3 -m tools report`, timed from its start to its end
with its pictures and files written; the two take turns, after one discarded report each that
warms the page cache. A report that fails ends the benchmark: its time would mean nothing.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

from tools import runner


def report_command(kind, args, out):
    command = [sys.executable, "-m", "tools", "report", "--runs", str(args.report_runs),
               "--shaders", os.path.abspath(args.shaders), "--out", out]
    if kind == "headless":
        return command + ["--headless", "--velmor", os.path.abspath(args.headless)]
    return command + ["--velmor", os.path.abspath(args.velmor),
                      "--probe", os.path.abspath(args.probe)]


def time_report(kind, args, out):
    """Seconds one whole report into the new folder `out` takes; with no DISPLAY when it runs
    headless, as on a machine without one."""
    changes = {"PYTHONPATH": runner.ROOT}
    if kind == "headless":
        changes["DISPLAY"] = None
    env = runner.merge_env(changes)
    start = time.monotonic()
    done = subprocess.run(report_command(kind, args, out), env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT)
    seconds = time.monotonic() - start
    if done.returncode != 0:
        raise RuntimeError(f"the {kind} report failed (status {done.returncode}):\n"
                           + done.stdout.decode(errors="replace"))
    return seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--velmor", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--headless", required=True, help="velmor-headless")
    parser.add_argument("--shaders", required=True)
    parser.add_argument("--runs", type=int, default=3, help="whole reports of each kind")
    parser.add_argument("--report-runs", type=int, default=1, help="each report's --runs")
    parser.add_argument("--xvfb-start", type=float, help="seconds the bench's Xvfb took to start")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    kinds = ("headless", "xvfb")
    times = {kind: [] for kind in kinds}
    with tempfile.TemporaryDirectory(prefix="velmor-report-time-") as work:
        for kind in kinds:
            time_report(kind, args, os.path.join(work, f"{kind}-warm-up"))
        print(f"whole reports: {args.runs} of each", flush=True)
        for n in range(args.runs):
            for kind in kinds:
                times[kind].append(time_report(kind, args, os.path.join(work, f"{kind}-{n}")))
    results = {"runs": args.runs, "report_runs": args.report_runs, "xvfb_start_s": args.xvfb_start}
    for kind in kinds:
        results[kind] = {"median_s": statistics.median(times[kind]), "min_s": min(times[kind]),
                         "max_s": max(times[kind])}
    with open(args.out, "w") as out:
        json.dump(results, out, indent=2)


if __name__ == "__main__":
    main()

"""bench/corpus's measurements: piglit's runner and the corpus run (-j 1 and -j 2) on the same
piglit files, each timed from start to end as a whole command, and the section of
bench/results.md that holds the figures (between its two marker lines; added at the end when
absent)."""
import argparse
import datetime
import glob
import json
import os
import re
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PIGLIT = "/usr/lib/x86_64-linux-gnu/piglit"
# piglit's arb_gl_spirv files; bench/corpus installs Debian's piglit before this runs.
FILES = glob.glob(os.path.join(PIGLIT, "tests", "*", "arb_gl_spirv"))[0]
BEGIN, END = "<!-- corpus bench: begin -->", "<!-- corpus bench: end -->"
# Both run on EGL's surfaceless platform: no display for either.
ENV = dict({k: v for k, v in os.environ.items() if k != "DISPLAY"},
           MESA_SHADER_CACHE_DISABLE="true", PYTHONPATH=ROOT)


def timed(command, ok=(0,)):
    """The wall seconds of a command run to its end, and its standard output. ok: the exit
    statuses that mean it ran through."""
    start = time.monotonic()
    done = subprocess.run(command, env=ENV, capture_output=True, text=True)
    if done.returncode not in ok:
        sys.exit("%s ended with status %d:\n%s" % (command[0], done.returncode, done.stderr))
    return time.monotonic() - start, done.stdout


def piglit(work):
    """piglit's wall time and the tests it ran."""
    seconds, out = timed(["piglit", "run", "-p", "surfaceless_egl", "-t", "arb_gl_spirv",
                          "quick", os.path.join(work, "piglit")])
    ran = re.findall(r"\[(\d+)/(\d+)\]", out)
    return seconds, int(ran[-1][1]) if ran else None


def corpus(work, velmor, jobs):
    """The corpus run's wall time and the mode runs it made (skips excluded, second runs
    included)."""
    out = os.path.join(work, "corpus-j%d" % jobs)
    seconds, _ = timed([sys.executable, "-m", "tools", "corpus", FILES, "--out", out,
                        "-j", str(jobs), "--velmor", velmor], ok=(0, 1))  # 1: failures seen
    with open(os.path.join(out, "corpus.json")) as f:
        cases = json.load(f)["cases"]
    # The second runs that tell a flake from a regression are runs it made too.
    runs = sum(1 for case in cases for way in [case, case.get("rerun") or {"modes": []}]
               for mode in way["modes"] if mode["status"] != "skip")
    return seconds, runs


def cpu():
    with open("/proc/cpuinfo") as f:
        names = re.findall(r"model name\s*:\s*(.*)", f.read())
    return "%s (%d cores)" % (names[0] if names else "unknown CPU", os.cpu_count())


def section(piglit_s, tests, runs):
    """The Markdown section: runs maps -j N to (wall seconds, mode runs)."""
    files = sum(name.endswith(".shader_test") for _, _, names in os.walk(FILES)
                for name in names)
    per_test = piglit_s / tests
    per_run = {jobs: wall / count for jobs, (wall, count) in runs.items()}
    ratio = per_run[2] / per_test
    speedup = runs[1][0] / runs[2][0]
    with open("/proc/loadavg") as f:
        load = f.read().split()[0]
    rows = ["| `piglit run -p surfaceless_egl -t arb_gl_spirv` | %.1f | %d tests | %.3f |"
            % (piglit_s, tests, per_test)]
    rows += ["| `scripts/corpus -j %d` | %.1f | %d mode runs | %.3f |"
             % (jobs, wall, count, per_run[jobs]) for jobs, (wall, count) in sorted(runs.items())]
    return "\n".join([
        BEGIN, "", "**The corpus run against piglit's runner** (`bench/corpus`), %s: %s; load "
        "average %s when the last run ended. piglit's %d `arb_gl_spirv` files, the "
        "same files for both, shader cache off, no display." % (
            datetime.date.today().isoformat(), cpu(), load, files), "",
        "| Run | wall (s) | runs | wall per run (s) |", "|---|---|---|---|", *rows, "",
        "Velmor's wall time per mode run is %.2fx piglit's per test (goal: at most 0.5x; "
        "Velmor builds up to four ways per case where piglit builds one). From -j 1 to -j 2 "
        "the corpus run is %.2fx as fast (goal: at least 1.7x on 2 cores)." % (ratio, speedup),
        "", END])


def publish(text, path):
    with open(path, encoding="utf-8") as f:
        old = f.read()
    if BEGIN in old and END in old:
        new = old[:old.index(BEGIN)] + text + old[old.index(END) + len(END):]
    else:
        new = old.rstrip("\n") + "\n\n" + text + "\n"
    with open(path, "w", encoding="utf-8") as f:
        f.write(new)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--velmor", required=True, help="velmor-headless")
    parser.add_argument("--results", required=True, help="bench/results.md")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="velmor-corpus-bench-") as work:
        piglit_s, tests = piglit(work)
        runs = {jobs: corpus(work, args.velmor, jobs) for jobs in (1, 2)}
    text = section(piglit_s, tests, runs)
    publish(text, args.results)
    print(text)


if __name__ == "__main__":
    main()

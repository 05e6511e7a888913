"""Turns one scripts/bench run into bench/results.md and bench/build-cost.png."""

import argparse
import datetime
import json
import os

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (the backend must be chosen first)

from tools import markdown, modes  # noqa: E402

MODES = {m.id: "%s %s" % (m.menu, m.label) for m in modes.MODES}
TO_MS = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}
GOAL = 1.5
STAGES = [f"{name}/{stage}" for name in ("compileGlslShader", "loadSpirvShader",
                                         "createSeparableGlslProgram", "createSeparableSpirvProgram")
          for stage in ("vert", "frag")] + ["createGlslProgram", "createSpirvProgram"] + [
    "validateSpirv/vert, first in a process", "validateSpirv/vert", "validateSpirv/frag"]


def load_medians(path):
    """Median wall-clock milliseconds per benchmark name, and the run's context."""
    with open(path) as f:
        data = json.load(f)
    medians = {}
    for bench in data["benchmarks"]:
        name = bench["run_name"].removesuffix("/real_time").removesuffix("/manual_time")
        if bench.get("error_occurred"):
            medians[name] = None
        elif bench.get("aggregate_name") == "median":
            medians[name] = bench["real_time"] * TO_MS[bench["time_unit"]]
    return medians, data["context"]


def ms(value):
    if value is None:
        return "failed"
    return f"{value:.3f}" if value < 1 else f"{value:.2f}" if value < 100 else f"{value:.0f}"


def cpu_model():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return "unknown CPU"


def build_tables(off, on, first, reports, repetitions):
    setups = markdown.table(
        ["Mode", "set-up, cache off", "set-up, cache on", "set-up + first frame, cache off",
         "set-up + first frame, cache on"],
        [[label, ms(off.get(f"setup/{m}")), ms(on.get(f"setup/{m}")),
          ms(off.get(f"setup_first_frame/{m}")), ms(on.get(f"setup_first_frame/{m}"))]
         for m, label in MODES.items()])
    stages = markdown.table(["Loader or builder", "cache off", "cache on"],
                   [[f"`{n.split('/')[0]}` {n.split('/')[1] if '/' in n else 'vert + frag'}",
                     ms(off.get(f"stage/{n}")), ms(on.get(f"stage/{n}"))] for n in STAGES])
    frames = markdown.table(["Mode", "800x600", "1920x1080"],
                   [[label, ms(off.get(f"frame/{m}/800x600")), ms(off.get(f"frame/{m}/1920x1080"))]
                    for m, label in MODES.items()])
    starts, worst = first_frame_table(first["glx"], "bare program")
    headless, worst_headless = first_frame_table(first["egl"], "bare EGL program")
    return f"""All times in milliseconds; "cache" is Mesa's on-disk shader cache (`MESA_SHADER_CACHE_DISABLE`).

**Pipeline build cost** (median of {repetitions} repetitions, one context, shaders read from disk each
time). llvmpipe turns shaders into machine code at the first draw that uses them, so the set-up
alone is only part of the bill; "+ first frame" adds one `display()` finished with `glFinish`.
These repeat the build on a warm driver; a fresh process also pays the driver's one-time compiler
start-up, which the time to first frame below includes.

{setups}

**Each loader and builder on its own**

{stages}

**Frame cost**: one `display()` and `glFinish`, after the first frame.

{frames}

**Time to first frame**: a whole process, from start to the first frame it presents (the frame
probe saves it, for the modes and the bare program alike), median of {first['runs']} runs; peak RSS
is the process's maximum resident set. The bare program opens the same window and context and
clears one frame. The slowest mode takes {against(worst, 'bare program')}.

{starts}

**Time to first frame without a display**: `velmor-headless` on EGL, {egl_context(first)}.
A whole process, from start to its end with its first frame written as a PNG (no frame probe),
median of {first['runs']} runs taken in turn with the ones above. The bare EGL program makes the
same context and framebuffer object, clears one frame and writes it as a PNG the same way. The
slowest mode takes {against(worst_headless, 'bare EGL program')}.

{headless}

{report_section(reports)}"""


def first_frame_table(window_system, bare_label):
    """The time to first frame table of one window system, and the slowest mode's ratio to the
    bare program."""
    rows = []
    for key, label in list(MODES.items()) + [("bare", bare_label)]:
        row = [label]
        for cache in ("cache_off", "cache_on"):
            time = window_system[cache][key]["first_frame_ms"]
            row += [ms(time), ratio_text(time / window_system[cache]["bare"]["first_frame_ms"])]
        row += [f"{window_system[c][key]['peak_rss_mib']:.1f}" for c in ("cache_off", "cache_on")]
        rows.append(row)
    table = markdown.table(["Program", "cache off", "vs bare", "cache on", "vs bare",
                            "peak RSS off (MiB)", "peak RSS on (MiB)"], rows)
    worst = max(window_system[c][k]["first_frame_ms"] / window_system[c]["bare"]["first_frame_ms"]
                for c in ("cache_off", "cache_on") for k in MODES)
    return table, worst


def ratio_text(ratio):
    """The ratio to two places, or three where two would round it onto the goal."""
    return f"{ratio:.3f}x" if f"{ratio:.2f}" == f"{GOAL:.2f}" else f"{ratio:.2f}x"


def against(ratio, bare):
    return f"{ratio_text(ratio)} the {bare}'s time, " + (
        f"{'within' if ratio <= GOAL else 'over'} the goal of {GOAL}x")


def egl_context(first):
    facts = first["egl_identity"]
    where = facts["platform"] if facts["device"] is None else f"device {facts['device']}"
    return (f"{where} platform, {facts['egl_vendor']} EGL {facts['egl_version']}, "
            f"{facts['gl_renderer']}")


def report_section(reports):
    """The whole report without a display against the same report under X."""
    rows = [[label, f"{reports[key]['median_s']:.2f}", f"{reports[key]['min_s']:.2f}",
             f"{reports[key]['max_s']:.2f}",
             f"{reports[key]['median_s'] / reports['xvfb']['median_s']:.2f}x"]
            for key, label in (("headless", "`--headless` (velmor-headless, EGL)"),
                               ("xvfb", "under Xvfb (velmor, GLX)"))]
    table = markdown.table(["Report", "median (s)", "min (s)", "max (s)", "vs Xvfb"], rows)
    ratio = reports["headless"]["median_s"] / reports["xvfb"]["median_s"]
    verdict = "no slower than" if ratio <= 1 else "slower than"
    started = ""
    if reports.get("xvfb_start_s") is not None:
        started = ("\nWhere no display runs, `scripts/report` without `--headless` first starts "
                   f"its own Xvfb: {reports['xvfb_start_s'] * 1000:.0f} ms more in this run.")
    return f"""**A whole report**, without a display against the same report under Xvfb:
`python3 -m tools report --runs {reports['report_runs']}` with and without `--headless`, what
`scripts/report` runs once it has built Velmor (the four modes and their timing runs, judged,
pictured and written out). Seconds, median of {reports['runs']} whole reports of each, taken in turn. The Xvfb
report draws on an X server that is already running.{started}
The headless report takes {ratio:.2f}x the Xvfb report's time, {verdict} it.

{table}"""


def plot(off, on, path):
    fig, axes = plt.subplots(1, 2, figsize=(10, 4))
    x = range(len(MODES))
    for ax, prefix, title in ((axes[0], "setup", "Set-up"),
                              (axes[1], "setup_first_frame", "Set-up + first frame")):
        top = 0
        for shift, results, label in ((-0.2, off, "cache off"), (0.2, on, "cache on")):
            values = [results.get(f"{prefix}/{m}") or 0 for m in MODES]
            bars = ax.bar([i + shift for i in x], values, width=0.4, label=label)
            ax.bar_label(bars, fmt="%.2f", fontsize=8)
            top = max(top, *values)
        ax.set_ylim(0, top * 1.3)  # room for the legend above the bars
        ax.set_xticks(list(x), list(MODES.values()))
        ax.set_ylabel("milliseconds")
        ax.set_title(title)
        ax.legend()
    fig.suptitle("Velmor pipeline build cost per mode (llvmpipe)")
    fig.tight_layout()
    fig.savefig(path, dpi=100)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--cache-off", required=True)
    parser.add_argument("--cache-on", required=True)
    parser.add_argument("--first-frame", required=True)
    parser.add_argument("--reports", required=True, help="bench/report_time.py's results")
    parser.add_argument("--repetitions", type=int, required=True)
    parser.add_argument("--load", required=True, help="the 1-minute load average at the start")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    off, context = load_medians(args.cache_off)
    on, _ = load_medians(args.cache_on)
    with open(args.first_frame) as f:
        first = json.load(f)
    with open(args.reports) as f:
        reports = json.load(f)
    machine = (f"{cpu_model()} ({os.cpu_count()} cores), {context.get('gl_renderer', '?')}, "
               f"OpenGL {context.get('gl_version', '?')} under Xvfb; "
               f"load average {args.load} when the run began")
    when = datetime.date.today().isoformat()
    tables = build_tables(off, on, first, reports, args.repetitions)
    plot(off, on, os.path.join(args.out, "build-cost.png"))

    path = os.path.join(args.out, "results.md")
    corpus = corpus_section(path)
    with open(path, "w") as f:
        f.write(f"# Velmor benchmark results\n\n{when}: {machine}.\n\n{tables}\n\n"
                "![Pipeline build cost per mode](build-cost.png)\n" + corpus)


def corpus_section(path):
    """bench/corpus's section of results.md, kept as it is: the two benchmarks run apart."""
    try:
        with open(path) as f:
            old = f.read()
    except OSError:
        return ""
    begin, end = "<!-- corpus bench: begin -->", "<!-- corpus bench: end -->"
    if begin not in old or end not in old:
        return ""
    return "\n" + old[old.index(begin):old.index(end) + len(end)] + "\n"


if __name__ == "__main__":
    main()

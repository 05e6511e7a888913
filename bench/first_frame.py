"""Time to first frame and peak memory of velmor and velmor-headless in each mode, and of the two
bare programs that set their floors.

Each run is a whole process, started by tools/runner.py in a folder holding the shipped
shaders. Under X the time runs from the start until the frame probe has saved frame 1, then the
window is closed and the process's peak resident memory read from the kernel's accounting; velmor
and the bare program both go through the probe, so its read-back of the frame costs them alike.
Without a display (EGL) the time runs from the start until the process has written its PNG and
ended; velmor-headless and the bare EGL program both write theirs, so the encoding costs them
alike. All programs take turns run after run, so a change in the machine's load hits each alike.
"""

import argparse
import collections
import json
import os
import statistics
import tempfile

from tools import modes, runner

# binary, the frame probe (None without a display), the menu choice, the window system.
Program = collections.namedtuple("Program", "binary probe choice window_system")


def first_frame(program, folder, env):
    """Seconds from start to the first frame, the process's peak RSS in KiB, and the Run."""
    extra = dict(DISPLAY=None) if program.window_system == "egl" else {}
    r = runner.run(program.choice, folder, binary=program.binary, probe=program.probe,
                   env=dict(env, **extra), window_system=program.window_system)
    if r.frame is None:
        raise RuntimeError(f"{program.binary} ({program.choice!r}) showed no frame: "
                           f"{runner.describe(r.status)}\n{r.err}")
    return r.seconds, r.peak_rss_kib, r


def measure(programs, runs, folder, env):
    """Median time (ms) and peak RSS (MiB) per program, the programs taking turns run after run."""
    for program in programs.values():
        first_frame(program, folder, env)  # warms the page cache and the shader cache
    times = {name: [] for name in programs}
    peaks = {name: [] for name in programs}
    for _ in range(runs):
        for name, program in programs.items():
            elapsed, peak, _ = first_frame(program, folder, env)
            times[name].append(elapsed * 1000.0)
            peaks[name].append(peak / 1024.0)
    return {name: {"first_frame_ms": statistics.median(times[name]),
                   "min_ms": min(times[name]), "max_ms": max(times[name]),
                   "peak_rss_mib": statistics.median(peaks[name])} for name in programs}


def programs_of(args):
    """Every program measured, named "<window system>/<mode id or bare>"."""
    probe = os.path.abspath(args.probe)
    programs = {}
    for system, velmor, bare, frame_probe in (("glx", args.velmor, args.bare, probe),
                                              ("egl", args.headless, args.bare_egl, None)):
        for m in modes.MODES:
            programs[f"{system}/{m.id}"] = Program(os.path.abspath(velmor), frame_probe,
                                                   f"{m.menu}\n".encode(), system)
        programs[f"{system}/bare"] = Program(os.path.abspath(bare), frame_probe, b"", system)
    return programs


def headless_identity(program, folder, env):
    """What velmor-headless's context was: its GL renderer and version, and EGL's side."""
    info = first_frame(program, folder, env)[2].info or {}
    keys = ("gl_renderer", "gl_version", "egl_vendor", "egl_version", "platform", "device")
    return {key: info.get(key) for key in keys}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--velmor", required=True)
    parser.add_argument("--bare", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--headless", required=True, help="velmor-headless")
    parser.add_argument("--bare-egl", required=True, help="the bare EGL program")
    parser.add_argument("--shaders", required=True)
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    programs = programs_of(args)
    results = {"runs": args.runs}
    with tempfile.TemporaryDirectory(prefix="velmor-first-frame-") as folder:
        modes.populate(folder, args.shaders)
        env = dict(MESA_SHADER_CACHE_DIR=os.path.join(folder, "shader-cache"),
                   MESA_SHADER_CACHE_DISABLE=None)
        off = dict(env, MESA_SHADER_CACHE_DISABLE="true")
        results["egl_identity"] = headless_identity(programs["egl/glsl"], folder, off)
        for cache, cache_env in (("off", off), ("on", env)):
            print(f"time to first frame, shader cache {cache}: {args.runs} runs each", flush=True)
            times = measure(programs, args.runs, folder, cache_env)
            for system in ("glx", "egl"):
                results.setdefault(system, {})["cache_" + cache] = {
                    name.split("/", 1)[1]: value for name, value in times.items()
                    if name.startswith(system + "/")}
    with open(args.out, "w") as out:
        json.dump(results, out, indent=2)


if __name__ == "__main__":
    main()

"""Time to first frame and peak memory of velmor in each mode and of the bare program.

Each run is a whole process, started by tools/velmor_run.py in a folder holding the shipped
shaders; the time runs from the start until the frame probe has saved frame 1, then the window is
closed and the process's peak resident memory read from the kernel's accounting. Both the modes and the bare
program go through the probe, so its read-back of the frame costs them alike.
"""

import argparse
import json
import os
import shutil
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import velmor_run  # noqa: E402

MODES = {"1": "glsl", "2": "glsl_sso", "3": "spirv", "4": "spirv_sso"}


def time_first_frame(command, choice, folder, env):
    """Seconds from start to the first frame, and the process's peak RSS in KiB."""
    binary, probe = command
    r = velmor_run.run(choice, folder, binary=binary, probe=probe, env=env)
    if r.frame is None:
        raise RuntimeError(f"{binary} ({choice!r}) showed no frame: {velmor_run.describe(r.status)}")
    return r.seconds, r.peak_rss_kib


def measure(programs, runs, folder, env):
    """Median time (ms) and peak RSS (MiB) per program, the programs taking turns run after run."""
    for command, choice in programs.values():
        time_first_frame(command, choice, folder, env)  # warms the page cache and the shader cache
    times = {name: [] for name in programs}
    peaks = {name: [] for name in programs}
    for _ in range(runs):
        for name, (command, choice) in programs.items():
            elapsed, peak = time_first_frame(command, choice, folder, env)
            times[name].append(elapsed * 1000.0)
            peaks[name].append(peak / 1024.0)
    return {name: {"first_frame_ms": statistics.median(times[name]),
                   "min_ms": min(times[name]), "max_ms": max(times[name]),
                   "peak_rss_mib": statistics.median(peaks[name])} for name in programs}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--velmor", required=True)
    parser.add_argument("--bare", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--shaders", required=True)
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    probe = os.path.abspath(args.probe)
    programs = {name: ((os.path.abspath(args.velmor), probe), f"{key}\n".encode())
                for key, name in MODES.items()}
    programs["bare"] = ((os.path.abspath(args.bare), probe), b"")
    results = {"runs": args.runs}
    with tempfile.TemporaryDirectory(prefix="velmor-first-frame-") as folder:
        for shader in os.listdir(args.shaders):
            shutil.copy(os.path.join(args.shaders, shader), folder)
        env = dict(MESA_SHADER_CACHE_DIR=os.path.join(folder, "shader-cache"),
                   MESA_SHADER_CACHE_DISABLE=None)
        for cache, cache_env in (("off", dict(env, MESA_SHADER_CACHE_DISABLE="true")), ("on", env)):
            print(f"time to first frame, shader cache {cache}: {args.runs} runs each", flush=True)
            results["cache_" + cache] = measure(programs, args.runs, folder, cache_env)
    with open(args.out, "w") as out:
        json.dump(results, out, indent=2)


if __name__ == "__main__":
    main()

"""Time to first frame and peak memory of velmor in each mode and of the bare program.

Each run is a whole process, started in a folder holding the shipped shaders with the frame probe
preloaded; the time runs from the start until the probe has saved frame 1, then the process is
killed and its peak resident memory read from the kernel's accounting. Both the modes and the bare
program go through the probe, so its read-back of the frame costs them alike.
"""

import argparse
import ctypes
import json
import os
import shutil
import signal
import statistics
import subprocess
import tempfile
import time

MODES = {"1": "glsl", "2": "glsl_sso", "3": "spirv", "4": "spirv_sso"}


def time_first_frame(command, choice, folder, env, timeout=30.0):
    """Seconds from start to frame-1.pam, and the process's peak RSS in KiB."""
    frames = os.path.join(folder, "frames")
    shutil.rmtree(frames, ignore_errors=True)
    os.mkdir(frames)
    env = dict(env, VELMOR_FRAME_DIR=frames)
    first = os.path.join(frames, "frame-1.pam")
    start = time.perf_counter()
    proc = subprocess.Popen(command, cwd=folder, env=env, stdin=subprocess.PIPE,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    proc.stdin.write(choice)
    proc.stdin.close()
    # The probe renames the finished file into place, so its name appearing means a whole frame.
    while not os.path.exists(first):
        if proc.poll() is not None or time.perf_counter() - start > timeout:
            proc.kill()
            raise RuntimeError(f"{command} ({choice!r}) showed no frame")
        time.sleep(0.001)
    elapsed = time.perf_counter() - start
    os.kill(proc.pid, signal.SIGKILL)
    _, _, usage = os.wait4(proc.pid, 0)
    proc.returncode = -signal.SIGKILL
    return elapsed, usage.ru_maxrss


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


def hold_display():
    """An X server resets when its last client leaves and refuses connections meanwhile: killing
    each run would make the next one fail to open the display. One connection held open keeps it up."""
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    if not x11.XOpenDisplay(None):
        raise RuntimeError("cannot open the display")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--velmor", required=True)
    parser.add_argument("--bare", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--shaders", required=True)
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    programs = {name: ([os.path.abspath(args.velmor)], f"{key}\n".encode())
                for key, name in MODES.items()}
    programs["bare"] = ([os.path.abspath(args.bare)], b"")
    hold_display()
    results = {"runs": args.runs}
    with tempfile.TemporaryDirectory(prefix="velmor-first-frame-") as folder:
        for shader in os.listdir(args.shaders):
            shutil.copy(os.path.join(args.shaders, shader), folder)
        env = dict(os.environ, LD_PRELOAD=os.path.abspath(args.probe),
                   MESA_SHADER_CACHE_DIR=os.path.join(folder, "shader-cache"))
        env.pop("MESA_SHADER_CACHE_DISABLE", None)
        for cache, cache_env in (("off", dict(env, MESA_SHADER_CACHE_DISABLE="true")), ("on", env)):
            print(f"time to first frame, shader cache {cache}: {args.runs} runs each", flush=True)
            results["cache_" + cache] = measure(programs, args.runs, folder, cache_env)
    with open(args.out, "w") as out:
        json.dump(results, out, indent=2)


if __name__ == "__main__":
    main()

"""Runs the built velmor the way a user does, and observes it from outside.

Each run gets a working folder holding the case's shader files, a choice on standard input,
standard output and standard error captured separately, and the frame probe preloaded so that
the first frame the window presents is saved. A run that reaches the main loop never ends by
itself: once its first frame is out, its window is closed, which must end it with status 0.
"""
import collections
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "lib"))
from pam_to_png import read_pam  # noqa: E402  (the frame probe's format, read in one place)

BIN = os.environ["VELMOR_BIN"]
PROBE = os.environ["VELMOR_PROBE"]
SHADERS = os.environ["VELMOR_SHADERS"]
SHADER_FILES = ("shader.vert", "shader.frag", "vert.spv", "frag.spv")
MENU = "1: GLSL\n2: GLSL SSO\n3: SPIRV\n4: SPIRV SSO\n"
VERSION_LINE = "Supported Opengl version: 4.5 (Core Profile) Mesa"
DIRECTORY = object()  # a file value meaning: put a directory there

# The shipped shaders multiply amber by peach.
SHIPPED_PIXEL = (230, 122, 46, 255)


def shipped(name):
    with open(os.path.join(SHADERS, name), "rb") as f:
        return f.read()


def base_env(**extra):
    env = dict(os.environ)
    env.update(
        LD_PRELOAD=PROBE,
        # Mesa's shader cache would skip compiles, and their messages, on the second run.
        MESA_SHADER_CACHE_DISABLE="true",
        # The probe is preloaded ahead of the sanitizer runtime in sanitized builds.
        ASAN_OPTIONS=env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0",
    )
    env.update(extra)
    return {k: v for k, v in env.items() if v is not None}


# What one run of velmor showed: status (None when it reached the main loop), the two
# transcripts, and the first presented frame as (width, height, rgba bytes, top row first).
Run = collections.namedtuple("Run", "status out err frame")


def reached_main_loop(run):
    return run.status is None and run.frame is not None


def populate(folder, files):
    """files maps a name to bytes, DIRECTORY, or None (absent); unnamed shader files are shipped."""
    for name in SHADER_FILES:
        content = files.get(name, shipped(name)) if files is not None else shipped(name)
        path = os.path.join(folder, name)
        if content is DIRECTORY:
            os.mkdir(path)
        elif content is not None:
            with open(path, "wb") as f:
                f.write(content)


def run(choice, files=None, env=None, timeout=30, frames_wanted=1, while_running=None,
        merged=False):
    """Runs velmor with `choice` written to standard input (None: input ends at once).
    merged: both streams go to one file, in the order written, and come back as `out`."""
    work = tempfile.mkdtemp(prefix="velmor-e2e-")
    try:
        populate(work, files)
        frames = os.path.join(work, "frames")
        os.mkdir(frames)
        out_path, err_path = os.path.join(work, "out"), os.path.join(work, "err")
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            proc = subprocess.Popen(
                [BIN], cwd=work, stdin=subprocess.PIPE, stdout=out, stderr=out if merged else err,
                env=base_env(VELMOR_FRAME_DIR=frames, **(env or {})))
            if choice is not None:
                proc.stdin.write(choice.encode() if isinstance(choice, str) else choice)
            proc.stdin.close()
            first = os.path.join(frames, "frame-%d.pam" % frames_wanted)
            deadline = time.monotonic() + timeout
            while proc.poll() is None and not os.path.exists(first):
                if time.monotonic() > deadline:
                    proc.kill()
                    proc.wait()
                    raise AssertionError("velmor neither ended nor drew within %ds" % timeout)
                time.sleep(0.02)
            if while_running and proc.poll() is None:
                try:
                    while_running(proc, frames)
                except BaseException:
                    proc.kill()
                    proc.wait()
                    raise
            status = proc.poll()
            if status is None:
                stop(proc, out_path if merged else err_path)
        frame_files = sorted(f for f in os.listdir(frames) if f.endswith(".pam"))
        frame = read_pam(os.path.join(frames, "frame-1.pam")) if frame_files else None
        with open(out_path) as o, open(err_path) as e:
            return Run(status, o.read(), e.read(), frame)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def stop(proc, err_path, timeout=60):
    """Closes the window through the probe (SIGTERM); freeglut's close action must end the
    process with status 0, after at-exit work such as sanitizer leak checks."""
    proc.send_signal(signal.SIGTERM)
    try:
        stopped = proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        stopped = "no exit within %ds" % timeout
    if stopped != 0:
        with open(err_path) as e:
            raise AssertionError("closing the window ended velmor with %s:\n%s"
                                 % (stopped, e.read()))


def window_id(frames):
    """The X id of the window velmor presents, as the probe noted it."""
    with open(os.path.join(frames, "window")) as f:
        return f.read().strip()


def frame_after(frames, action, size, timeout=30):
    """Runs action (a resize, say) and returns the first frame presented after it at `size`,
    (width, height); frames of another size still on their way are passed over."""
    number = sum(name.endswith(".pam") for name in os.listdir(frames)) + 1
    action()
    deadline = time.monotonic() + timeout
    while True:
        path = os.path.join(frames, "frame-%d.pam" % number)
        if os.path.exists(path):
            frame = read_pam(path)
            if frame[:2] == size:
                return frame
            number += 1
        elif time.monotonic() > deadline:
            raise AssertionError("no %dx%d frame within %ds" % (size + (timeout,)))
        else:
            time.sleep(0.02)


def x11(*command):
    """Standard output of an X client tool (xdotool, xwininfo) run on velmor's display."""
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def uniform_pixel(frame):
    """The one RGBA value of every pixel, or None when the frame is not a single colour."""
    _, _, pixels = frame
    first = pixels[:4]
    return tuple(first) if pixels == first * (len(pixels) // 4) else None


def close_to(pixel, expected, tolerance=1):
    return pixel is not None and all(abs(a - b) <= tolerance for a, b in zip(pixel, expected))

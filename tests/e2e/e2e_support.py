"""What the end-to-end tests share: the case's working folder and environment around
tools/runner.py, which starts the built velmor and watches it from outside. The line shapes come
from tools/console.py, the shader files from tools/modes.py."""
import os
import shutil
import subprocess
import tempfile
import time

from tools import console, modes, runner
from tools.modes import DIRECTORY, SHADER_FILES  # noqa: F401
from tools.runner import RunError, read_frame  # noqa: F401

BIN = os.environ["VELMOR_BIN"]
PROBE = os.environ["VELMOR_PROBE"]
FAULTS = os.environ["VELMOR_FAULTS"]
SHADERS = os.environ["VELMOR_SHADERS"]
MENU = console.MENU
# Velmor's words; the GL's version string follows (4.5 or newer: zink gives 4.6).
VERSION_LINE = console.VERSION_PREFIX
# A sanitizer's handler takes a fatal signal over from velmor's, reports and exits with status 1.
SANITIZED = os.environ.get("VELMOR_SANITIZED") == "ON"

# The shipped shaders multiply amber by peach.
SHIPPED_PIXEL = (230, 122, 46, 255)


def shipped(name):
    with open(os.path.join(SHADERS, name), "rb") as f:
        return f.read()


def test_env(**extra):
    env = dict(
        LD_PRELOAD=FAULTS,
        # Mesa's shader cache would skip compiles, and their messages, on the second run.
        MESA_SHADER_CACHE_DISABLE="true",
        # The probes are preloaded ahead of the sanitizer runtime in sanitized builds.
        ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0",
    )
    env.update(extra)
    return env


def reached_main_loop(run):
    return run.status is None and run.frame is not None


def run(choice, files=None, env=None, binary=BIN, **options):
    """Runs velmor (or another binary of it) in a fresh folder holding the case's shader files;
    files maps a name to bytes, DIRECTORY, or None (absent); unnamed shader files are shipped.
    See runner.run."""
    work = tempfile.mkdtemp(prefix="velmor-e2e-")
    try:
        modes.populate(work, SHADERS, files)
        return runner.run(choice, work, binary=binary, probe=PROBE,
                              env=test_env(**(env or {})), **options)
    finally:
        shutil.rmtree(work, ignore_errors=True)


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
            frame = read_frame(path)
            if frame.size == size:
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
    colours = frame.getcolors(1)
    return colours[0][1] if colours else None


def close_to(pixel, expected, tolerance=1):
    return pixel is not None and all(abs(a - b) <= tolerance for a, b in zip(pixel, expected))

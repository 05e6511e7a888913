"""Runs velmor once and watches it from outside: the one way Velmor's tools start it.

A run starts velmor in a working folder with a choice for its menu, captures standard output and
standard error (apart, or together in the order written), and waits until the frame probe has
saved the first frame the window presents. That frame, the time it took, the GL's version and
renderer are kept; then the window is closed the way a window manager closes it, and the ending
is collected: the exit status, or the signal that killed the process, and its peak memory.
scripts/run, scripts/report, scripts/bench and the end-to-end tests all go through `run`.
velmor-headless (window_system "egl") draws into an offscreen framebuffer instead: it writes
its first frame as a PNG and its GL strings as JSON itself, and ends on its own.

As a command, `python3 -m tools run --png-dir DIR [--windows] [velmor arguments]` runs velmor
(with --windows, velmor.exe under Wine) on the terminal: the menu shows, the line typed is
passed on, and the first frame is saved as DIR/velmor-mode-N.png.
"""
import collections
import ctypes
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

from PIL import Image

from . import modes, wine

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BINARY = os.path.join(ROOT, "build", "velmor")
HEADLESS = os.path.join(ROOT, "build", "velmor-headless")
PROBE = os.path.join(ROOT, "build", "tools", "velmor_frame_probe.so")
# The GL's identity as velmor's own context saw it: GL_VERSION, GL_RENDERER, GL_VENDOR,
# GL_SHADING_LANGUAGE_VERSION and GL_CONTEXT_FLAGS in hex (None where it is not known).
GLIdentity = collections.namedtuple("GLIdentity",
                                    "version renderer vendor glsl_version context_flags",
                                    defaults=(None,) * 5)
# velmor-headless's --info file names them so.
INFO_KEYS = ("gl_version", "gl_renderer", "gl_vendor", "glsl_version", "context_flags")

# status: the exit status, or minus the signal that killed velmor; None when it drew its first
# frame and then closed cleanly when asked (velmor-headless: ended by itself). out, err: the
# transcripts (None when not captured). frame: the first frame (an RGBA PIL image) or None.
# seconds: start to first frame (velmor-headless: to its end), or None. gl: a GLIdentity as the
# first frame saw it, or None. peak_rss_kib: the process's maximum resident set. info: what
# velmor-headless wrote to its --info file (a dict), None for the others.
Run = collections.namedtuple("Run", "status out err frame seconds gl peak_rss_kib info",
                             defaults=(None,))


class RunError(Exception):
    """velmor hung, or would not close when asked. `run` is what was seen (a Run whose status
    is how the process ended once stopped); `hung_after` is the seconds it was given when it
    hung, None when it ended badly as its window closed."""

    def __init__(self, message, run, hung_after=None):
        super().__init__(message)
        self.run = run
        self.hung_after = hung_after


class Hung(Exception):
    """Raised while watching: the process neither drew nor ended in time (seconds given)."""

    def __init__(self, message, seconds):
        super().__init__(message)
        self.seconds = seconds


def gl_identity(values):
    """A GLIdentity from the strings in order, None when there are none; missing ones None."""
    values = list(values)[:len(GLIdentity._fields)]
    return GLIdentity(*values) if any(values) else None


def read_frame(path):
    """A frame as the probe saves it (a PAM file, RGBA, top row first), as a PIL image."""
    with open(path, "rb") as f:
        data = f.read()
    end = data.index(b"ENDHDR\n") + len(b"ENDHDR\n")
    header = dict(line.split(b" ", 1) for line in data[:end].splitlines()[1:-1])
    size = int(header[b"WIDTH"]), int(header[b"HEIGHT"])
    return Image.frombytes("RGBA", size, data[end:])


def run(choice, folder, *, binary=BINARY, args=(), probe=PROBE, env=None, timeout=30,
        frames_wanted=1, while_running=None, merged=False, capture=True, runner=(),
        window_system="glx"):
    """Runs `binary` in `folder`. choice: bytes or text for standard input, None to end the input
    at once, or a function called once velmor has started that returns the bytes to send.
    env: changes to this process's environment (a value of None removes the variable).
    while_running(proc, frames): called after the first frame, before the window is closed;
    frames is the probe's folder. merged: both streams into `out`. capture=False leaves both
    streams on this process's own. runner: wine.RUNNER runs velmor.exe under Wine, watched
    from the X server instead (only the first frame; no GL strings). window_system "egl":
    `binary` is velmor-headless, which has no window to watch or close (no probe, no
    while_running)."""
    headless = window_system == "egl"
    if headless and (while_running is not None or runner):
        raise ValueError("velmor-headless has no window to watch")
    with tempfile.TemporaryDirectory(prefix="velmor-run-") as work:
        out_path, err_path = os.path.join(work, "out"), os.path.join(work, "err")
        if headless:
            command, proc_env = headless_command(binary, work, frames_wanted), merge_env(env)
        else:
            frames = os.path.join(work, "frames")
            os.mkdir(frames)
            command = [*runner, os.path.abspath(binary)]
            proc_env = wine.run_env(env) if runner else run_env(probe, frames, env)
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            streams = dict(stdout=out, stderr=out if merged else err) if capture else {}
            start = time.monotonic()
            proc = subprocess.Popen(command + list(args), cwd=folder, stdin=subprocess.PIPE,
                                    env=proc_env, **streams)
            hung, seconds, frame, gl = None, None, None, None
            try:
                send(proc, choice)
                try:
                    if headless:
                        wait_for_end(proc, start, timeout)
                    elif runner:
                        seconds, frame, gl = watch_window(proc, start, timeout)
                    else:
                        seconds, frame, gl = watch(proc, frames, frames_wanted, start, timeout)
                except Hung as stopped:
                    hung = stopped
                    proc.kill()
                if while_running and seconds is not None:
                    while_running(proc, frames)
                closed = not headless and hung is None and running(proc)
                if closed:
                    close_window(proc, binary, proc_env, runner)
                status, peak = collect(proc)
            finally:
                if proc.returncode is None:
                    proc.kill()
                    collect(proc)
                if runner:
                    wine.wait_for_wine(proc_env)
            info = None
            if headless:
                seconds, frame, gl, info = drawn_headless(work, time.monotonic() - start)
        texts = (read_text(out_path), read_text(err_path)) if capture else (None, None)
    seen = Run(status, *texts, frame, seconds, gl, peak, info)
    # Drawn, then closed when asked (velmor-headless: ended by itself): a clean end is None.
    drew_then_ended = closed or (headless and frame is not None)
    if hung:
        raise RunError(str(hung), seen, hung.seconds)
    if drew_then_ended and status != 0:
        raise RunError("%s with %s:\n%s" % (
            "velmor-headless drew, then ended" if headless else "closing the window ended velmor",
            describe(status), texts[1]), seen)
    return seen._replace(status=None) if drew_then_ended else seen


def headless_command(binary, work, frames_wanted):
    """velmor-headless, asked to write its first frame and GL strings into work."""
    command = [os.path.abspath(binary), "--png", os.path.join(work, "frame.png"), "--info",
               os.path.join(work, "info.json")]
    return command + (["--frames", str(frames_wanted)] if frames_wanted != 1 else [])


def wait_for_end(proc, start, timeout):
    """velmor-headless draws its frames and ends by itself: waits for that."""
    while running(proc):
        if time.monotonic() - start > timeout:
            raise Hung("velmor-headless did not end within %ds" % timeout, timeout)
        time.sleep(0.002)


def drawn_headless(work, seconds):
    """What velmor-headless wrote: (seconds when it drew, the frame, a GLIdentity, the info);
    the first frame is written only at its end, so seconds is the time to that end."""
    info = read_info(os.path.join(work, "info.json"))
    gl = gl_identity(info.get(key) for key in INFO_KEYS) if info else None
    frame = read_png(os.path.join(work, "frame.png"))
    return (seconds if frame else None), frame, gl, info


def display_opens():
    """Whether the display can be opened: one connection, opened and closed again."""
    try:
        x11 = ctypes.CDLL("libX11.so.6")
    except OSError:
        return False
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    connection = x11.XOpenDisplay(None)
    if connection:
        x11.XCloseDisplay(connection)
    return bool(connection)


def read_png(path):
    """The frame velmor-headless saved (an RGBA PIL image), or None when there is none whole."""
    try:
        with Image.open(path) as image:
            return image.convert("RGBA")
    except (OSError, ValueError, Image.DecompressionBombError):
        return None


def read_info(path):
    """The JSON object velmor-headless wrote, or None when it wrote none that reads."""
    try:
        with open(path, encoding="utf-8") as f:
            facts = json.load(f)
    except (OSError, ValueError):
        return None
    return facts if isinstance(facts, dict) else None


def merge_env(changes):
    """This process's environment with `changes`; a value of None removes the variable."""
    env = dict(os.environ)
    env.update(changes or {})
    return {k: v for k, v in env.items() if v is not None}


def run_env(probe, frames, changes):
    env = merge_env(changes)
    env["LD_PRELOAD"] = " ".join(filter(None, [probe, env.get("LD_PRELOAD")]))
    env["VELMOR_FRAME_DIR"] = frames
    return env


def send(proc, choice):
    """Writes the choice to velmor's standard input and ends it."""
    if callable(choice):
        choice = choice()
    if choice is not None:
        try:
            proc.stdin.write(choice.encode() if isinstance(choice, str) else choice)
        except BrokenPipeError:
            pass  # it ended before reading: the ending tells why
    try:
        proc.stdin.close()
    except BrokenPipeError:
        pass


def watch(proc, frames, frames_wanted, start, timeout):
    """Waits for frame `frames_wanted`; the seconds from start to the first frame, the frame and
    the GL strings the probe saved with it, or Nones when velmor ended before drawing."""
    # The probe renames each finished file into place: a name that exists is a whole frame.
    first = os.path.join(frames, "frame-1.pam")
    wanted = os.path.join(frames, "frame-%d.pam" % frames_wanted)
    seconds = None
    while running(proc) and not os.path.exists(wanted):
        if seconds is None and os.path.exists(first):
            seconds = time.monotonic() - start
        if time.monotonic() - start > timeout:
            raise Hung("velmor neither ended nor drew within %ds" % timeout, timeout)
        time.sleep(0.002)
    if not os.path.exists(first):
        return None, None, None
    if seconds is None:
        seconds = time.monotonic() - start
    with open(os.path.join(frames, "gl")) as f:
        gl = gl_identity(f.read().splitlines())
    return seconds, read_frame(first), gl


def watch_window(proc, start, timeout, interval=0.05):
    """Under Wine: waits until the window shows the same drawn picture in two grabs in a row (a
    frame comes whole from one request to the X server; the second grab makes sure). The seconds
    from start to the first grab of it and the picture (no GL strings: nothing sees them), or
    Nones when velmor.exe ended before drawing."""
    empty = wine.backdrop()
    seen, last = None, None
    while running(proc):
        if time.monotonic() - start > timeout:
            raise Hung("velmor.exe neither ended nor drew within %ds" % timeout, timeout)
        shot = wine.drawn_picture(empty)
        if shot is not None and last is not None and shot.tobytes() == last.tobytes():
            return seen, shot, None
        if shot is not None and (last is None or shot.tobytes() != last.tobytes()):
            seen = time.monotonic() - start
        last = shot
        time.sleep(interval)
    return None, None, None


def running(proc):
    """Whether the process is still running; an ended one is left unreaped, for collect."""
    return os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is None


def close_window(proc, binary, env, runner):
    """Closes the window as a window manager does: through the probe (SIGTERM), or under Wine
    with WM_CLOSE. freeglut's close action then ends velmor, after its at-exit work (coverage
    data, sanitizer leak checks)."""
    if runner:
        wine.close_window(binary, env)
    else:
        proc.send_signal(signal.SIGTERM)


def collect(proc, timeout=60):
    """Waits for the process; its status (minus the signal when killed) and peak RSS in KiB."""
    deadline = time.monotonic() + timeout
    while True:
        pid, wait_status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid:
            proc.returncode = os.waitstatus_to_exitcode(wait_status)
            return proc.returncode, usage.ru_maxrss
        if time.monotonic() > deadline:
            proc.kill()
            deadline = float("inf")
        time.sleep(0.005)


def describe(status):
    """How a process ended, in words: "exit status 1", "killed by SIGSEGV"."""
    if status is not None and status < 0:
        return "killed by " + signal.Signals(-status).name
    return "exit status %s" % status


def read_text(path):
    with open(path, encoding="utf-8", errors="replace", newline="") as f:
        return f.read()


def main(options):
    """scripts/run without a display (the `run` subcommand): the terminal run, saving the first
    frame. options: png_dir, windows, args (velmor's)."""
    binary, runner = (wine.EXE, wine.RUNNER) if options.windows else (BINARY, ())
    png_dir, args = options.png_dir, options.args
    typed = []

    def forward_typed_line():
        typed.append(sys.stdin.buffer.readline())
        return typed[0]

    r = run(forward_typed_line, os.path.dirname(binary), binary=binary, args=args, capture=False,
            timeout=24 * 3600, runner=runner)
    if r.frame is None:
        return r.status if r.status >= 0 else 128 - r.status
    words = typed[0].split()
    menu = words[0].decode(errors="replace") if words else ""
    mode = menu if menu in modes.BY_MENU else "x"
    png = os.path.join(png_dir, "velmor-mode-%s.png" % mode)
    r.frame.save(png)
    print("First frame saved to %s" % png)
    return 0


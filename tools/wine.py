"""velmor.exe (build-windows/) under Wine: what differs from running the Linux build.

Wine's settings; the lines that Wine and freeglut's Win32 back end add on standard error, and the
CRLF line ends; the first frame, read back from the X server, since a preloaded library does not
see the GL calls made inside Wine; closing the window with WM_CLOSE, as its close button does.
tools/runner.py uses these when it is given a runner.
"""
import os
import subprocess

from PIL import ImageGrab

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXE = os.path.join(ROOT, "build-windows", "velmor.exe")
RUNNER = ("wine",)
TITLE = "Velmor"


def run_env(changes):
    """This process's environment with `changes` (None removes a variable) and Wine's settings:
    the prefix in the build tree, no debug chatter, no offer to download Mono or Gecko (as in
    scripts/lib/windows.sh). Nothing is preloaded: it would land in Wine, not in velmor.exe."""
    env = dict(os.environ)
    env.update(changes or {})
    env.update(WINEPREFIX=os.path.join(ROOT, "build-windows", "wine"), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=", LD_PRELOAD=None)
    return {k: v for k, v in env.items() if v is not None}


def windows_path(path):
    """The path as Windows programs see it: Wine maps the Unix root to drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def added_err_lines(exe=EXE):
    """The lines that freeglut's Win32 back end writes on standard error under Wine, first and
    once. freeglut takes DISPLAY, which Wine needs, as a Windows display device's name, and
    CreateDC fails on an X display's name. The program is named by its Windows path."""
    return ["freeglut (%s): fgPlatformInitialize: CreateDC failed, Screen size info may be "
            "incorrect" % windows_path(exe),
            "This is quite likely caused by a bad '-display' parameter"]


def backdrop():
    """The colour of the screen where no window is, from its bottom right pixel, which the
    800x600 window does not reach. A window not yet drawn shows it too: Wine gives velmor's
    window no background of its own."""
    screen = ImageGrab.grab(xdisplay=os.environ["DISPLAY"])
    colour = screen.getpixel((screen.width - 1, screen.height - 1))
    if colour == (0, 0, 0):
        raise RuntimeError("the screen is black, like a frame that draws nothing: start Xvfb "
                           "with -wr so that a drawn frame can be told from an empty window")
    return colour


def drawn_picture(empty):
    """The picture in the client area of the visible window titled "Velmor" (an RGB image), or
    None while there is no such window or it shows only the colour `empty`. Wine maps the client
    area as the X window, so its rectangle is the GL drawable's."""
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % TITLE],
                           capture_output=True, text=True).stdout.split()
    if not found:
        return None
    shell = subprocess.run(["xdotool", "getwindowgeometry", "--shell", found[-1]],
                           capture_output=True, text=True).stdout.split()
    geometry = dict(line.split("=", 1) for line in shell)
    if not geometry:
        return None  # gone between the two calls
    x, y, w, h = (int(geometry[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))
    shot = ImageGrab.grab(bbox=(x, y, x + w, y + h), xdisplay=os.environ["DISPLAY"])
    return None if shot.getcolors(1) == [(w * h, empty)] else shot


def close_window(exe, env):
    """Sends WM_CLOSE to the windows of the program `exe`, as a click on the close button does;
    freeglut's default close action then ends it with status 0."""
    subprocess.run([*RUNNER, "taskkill", "/im", os.path.basename(exe)], env=env,
                   capture_output=True)  # if it fails, the ending says so


def wait_for_wine(env):
    """Waits for Wine's server to end, so that nothing of this run outlives it (nor talks to an
    X server that is gone)."""
    subprocess.run(["wineserver", "-w"], env=env, check=True)

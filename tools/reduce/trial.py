"""One try: a mode run on a shader folder through the tools' runner, and its signature."""
import collections
import os
import shutil

from .. import console, runner
from . import signature

# How tries start velmor: velmor-headless on EGL, or velmor under the X server of DISPLAY with the
# frame probe, as the report runs it.
Target = collections.namedtuple("Target", "binary window_system probe")

# Mesa's shader cache would skip a compile, and the messages it gives, on the next try.
ENV = {"MESA_SHADER_CACHE_DISABLE": "true"}


def target_in(build, glx=False):
    """The Target for the build folder `build`: velmor-headless where it is built, else (or
    with glx, for the crashes that happen only in a window) velmor; None when not built."""
    headless = os.path.join(build, "velmor-headless")
    if not glx and os.access(headless, os.X_OK):
        return Target(headless, "egl", None)
    velmor = os.path.join(build, "velmor")
    if os.access(velmor, os.X_OK):
        return Target(velmor, "glx", os.path.join(build, "tools", "velmor_frame_probe.so"))
    return None


def take(mode, folder, target, timeout):
    """Runs mode (a tools.modes.Mode) in folder; (its signature, the runner's Run)."""
    options = dict(binary=target.binary, env=ENV, timeout=timeout,
                   window_system=target.window_system)
    if target.probe:
        options["probe"] = target.probe
    try:
        seen = runner.run(mode.menu + "\n", folder, **options)
        hung = False
    except runner.RunError as failure:
        seen, hung = failure.run, failure.hung_after is not None
    events = console.parse(seen.out, seen.err)
    return signature.of_run(events, seen.status, hung), seen


def stage_folder(parent, modules):
    """A fresh folder under parent holding the modules (file name -> bytes) of one try."""
    folder = os.path.join(parent, "try-%d" % os.getpid())
    shutil.rmtree(folder, ignore_errors=True)
    os.mkdir(folder)
    for name, data in modules.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    return folder

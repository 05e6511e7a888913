"""reproduce.c: the pipeline of mode 3 or 4 in one C file that needs only EGL and the GL, and the
proof that it shows the same signature as velmor without it."""
import os
import shutil
import subprocess

from .. import console
from . import signature

TEMPLATE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "reproduce.c")


def build_command(mode):
    """The command that builds reproduce.c for `mode` (the menu entry, "3" or "4"): the compiler
    refuses any other mode."""
    return "cc -DMODE=%s -o reproduce reproduce.c -lEGL" % mode


def source():
    """reproduce.c, as it goes into the output folder."""
    with open(TEMPLATE, encoding="utf-8") as f:
        return f.read()


def prove(mode, modules, work, timeout):
    """Builds reproduce.c for `mode` with the system compiler in `work` and runs it beside
    `modules` (file name -> bytes). A dict: built (bool), compiler (its words when the build failed), signature (what
    the run showed; None when it drew to the end), status, output (both streams)."""
    folder = os.path.join(work, "reproducer")
    shutil.rmtree(folder, ignore_errors=True)
    os.mkdir(folder)
    with open(os.path.join(folder, "reproduce.c"), "w", encoding="utf-8") as f:
        f.write(source())
    for name, data in modules.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    try:
        built = subprocess.run(build_command(mode).split(), cwd=folder, capture_output=True, text=True,
                               timeout=120)
    except (OSError, subprocess.TimeoutExpired) as failure:
        return {"built": False, "compiler": str(failure)}
    if built.returncode != 0:
        return {"built": False, "compiler": (built.stdout + built.stderr).strip()}
    hung = False
    try:
        ran = subprocess.run(["./reproduce"], cwd=folder, capture_output=True, text=True,
                             errors="replace", timeout=timeout,
                             env=dict(os.environ, MESA_SHADER_CACHE_DISABLE="true"))
        status, out, err = ran.returncode, ran.stdout, ran.stderr
    except subprocess.TimeoutExpired as stopped:
        hung, status = True, None
        out, err = [(s.decode(errors="replace") if isinstance(s, bytes) else s) or ""
                    for s in (stopped.stdout, stopped.stderr)]
    if status is not None and status > 0:
        # Its own failure (no EGL, no 4.5 debug context, a module it could not read): no verdict.
        seen = {"kind": "exit", "status": status, "text": (err.strip().splitlines() or [""])[0]}
    else:
        seen = signature.of_run(console.parse(out, err), status or None, hung)
    return {"built": True, "signature": seen, "status": status, "drew": "done" in out.split("\n"),
            "output": out + err}

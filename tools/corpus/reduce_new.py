"""`--reduce-new SECONDS`: each NEW crash of a SPIR-V mode handed to scripts/reduce, within one
budget for them all.

The crashes are taken in the order of their names, each reduction given what is left of the
budget; one still running when it is spent is stopped with everything it started (it runs in a
process group of its own), and the rest are not tried. Each reduction goes into
OUT/reductions/CASE@MODE-ID/, from the case's kept files, and corpus.json's `reductions` says
how each went; summary.md links them.
"""
import os
import shutil
import signal
import subprocess
import sys
import time

from .. import runner

FOLDER = "reductions"
SPIRV_MODES = ("spirv", "spirv-sso")


def add_arguments(parser, whole_number):
    parser.add_argument("--reduce-new", metavar="SECONDS", type=whole_number,
                        help="reduce the NEW crashes of modes 3 and 4 within SECONDS in all")


def new_crashes(records):
    """(case, mode) of every NEW crash of a SPIR-V mode whose files were kept, by name."""
    return sorted(((c, m) for c in records for m in c["modes"]
                   if m["id"] in SPIRV_MODES and (m["label"] or "").startswith("NEW")
                   and c["files"]), key=lambda cm: (cm[0]["name"], cm[1]["id"]))


def reduce_one(made, case, mode, binary, glx, seconds):
    """One reduction into made/reductions/CASE@MODE-ID: "written", "failed" or "out of time".
    It works in a folder of its own, its temporary files too, removed whatever happens: one
    stopped half way leaves nothing."""
    work = os.path.join(made, ".reducing")
    os.mkdir(work)
    try:
        status = run_reduce(work, os.path.join(made, case["files"]), mode, binary, glx, seconds)
        if status == 0 and os.path.isdir(os.path.join(work, "result")):
            os.renames(os.path.join(work, "result"),
                       os.path.join(made, FOLDER, "%s@%s" % (case["name"], mode["id"])))
            return "written"
        return "out of time" if status is None else "failed"
    finally:
        shutil.rmtree(work, ignore_errors=True)


def run_reduce(work, shaders, mode, binary, glx, seconds):
    """scripts/reduce's command in a process group of its own: its status, or None when it was
    stopped at the end of its time."""
    command = [sys.executable, "-m", "tools", "reduce", "--shaders", shaders, "--mode",
               mode["menu"], "--out", os.path.join(work, "result"),
               "--build", os.path.dirname(os.path.abspath(binary))] + (["--glx"] if glx else [])
    env = dict(os.environ, PYTHONPATH=runner.ROOT, TMPDIR=work)
    proc = subprocess.Popen(command, cwd=runner.ROOT, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    try:
        return proc.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        return None
    finally:
        if proc.returncode is None:  # out of time, or the run is being stopped
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()


def reduce_all(records, made, budget, binary, glx):
    """corpus.json's `reductions`: [{"name", "status", "folder"}], folder null unless written."""
    start, found = time.monotonic(), []
    for case, mode in new_crashes(records):
        left = budget - (time.monotonic() - start)
        name = "%s@%s" % (case["name"], mode["id"])
        status = reduce_one(made, case, mode, binary, glx, left) if left >= 1 else "out of time"
        found.append({"name": name, "status": status,
                      "folder": "%s/%s" % (FOLDER, name) if status == "written" else None})
    return found


def summary_lines(data):
    """summary.md's list of the reductions, each linked."""
    if "reductions" not in data:
        return []
    lines = ["## Reductions of the NEW crashes (%d)" % len(data["reductions"]), ""]
    lines += ["- `%s`: %s" % (r["name"], "[reduced](%s/README.md)" % r["folder"]
                              if r["folder"] else r["status"]) for r in data["reductions"]]
    return lines + [""]

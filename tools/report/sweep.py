"""Every GL implementation this machine reaches (targets.py), on GLX and on EGL, and each
hardware EGL device velmor-headless lists, one report each, then the compare view over all of
them, into OUT/sweep/. A target that cannot be reached is listed with the reason, never
silently left out. The sweep fails when a report ran on another driver than its
target names."""
import argparse
import os
import shutil
import subprocess
import sys

from .. import runner, wine
from . import compare, known_behaviour, pictures, report_md, result_file, targets, write

ROOT = runner.ROOT


def shell(*lines):
    """Runs bash lines with the scripts' own helpers loaded; the exit status."""
    script = ". scripts/lib/common.sh && . scripts/lib/windows.sh && " + " && ".join(lines)
    return subprocess.run(["bash", "-c", script], cwd=ROOT).returncode


def windows_ready():
    """None when build-windows/velmor.exe can run under Wine, else why not. It is built first
    where it is missing (scripts/lib/windows.sh)."""
    if not os.path.exists(wine.EXE) and shell("velmor_build_windows") != 0:
        return "no build-windows/velmor.exe, and building it failed (build-windows/logs/)"
    if shell("velmor_ensure_wine_prefix") != 0:
        return "the Wine prefix could not be made (build-windows/logs/)"
    try:
        wine.backdrop()
    except RuntimeError as failure:
        return str(failure)
    return None


DEBIAN_ROOT = os.path.join(ROOT, "build-debian13", "root")


def in_debian(target, options, out):
    """The target's report made inside the Debian 13 root, copied to out; None, or why not."""
    if os.geteuid() != 0:
        return "the Debian 13 root is entered with chroot, which needs root (sudo scripts/report)"
    inside = os.path.join("build", "sweep-targets", target.name)
    # The shader folder is shown read-only at /share in the root (scripts/lib/debian_root.sh).
    status = subprocess.run([os.path.join(ROOT, "scripts", "report"), "--debian", "13",
                             "--target", target.name, "--runs", str(options.runs),
                             "--timeout", str(options.timeout), "--out", inside, "--shaders",
                             "/share"], cwd=ROOT,
                            env=dict(os.environ,
                                     VELMOR_DEBIAN_SHARE=os.path.abspath(options.shaders))
                            ).returncode
    made = os.path.join(DEBIAN_ROOT, "velmor", inside)
    if status != 0 or not os.path.exists(os.path.join(made, "report.json")):
        return "the report in the Debian 13 root failed (status %d)" % status
    shutil.rmtree(out, ignore_errors=True)
    shutil.copytree(made, out)
    return None


# The program each window system's targets run.
BINARIES = {"glx": runner.BINARY, "wgl": wine.EXE, "egl": runner.HEADLESS}


def target_options(options, target):
    """The report's options for one target of the sweep."""
    return argparse.Namespace(
        shaders=options.shaders, runs=options.runs, timeout=options.timeout, probe=options.probe,
        target=target, runner=wine.RUNNER if target.where == "wine" else (),
        velmor=BINARIES[target.window_system], window_system=target.window_system,
        headless=target.window_system == "egl",
        argv=["--sweep", *options.argv[1:], "--target", target.name])


def host_ready(target):
    """None when the target's program can run here, else why not."""
    if target.where == "wine":
        return windows_ready()
    if not os.access(BINARIES[target.window_system], os.X_OK):
        return "no %s" % os.path.relpath(BINARIES[target.window_system], ROOT)
    return None


def sweep(options):
    base = os.path.join(options.out, "sweep")
    os.makedirs(base, exist_ok=True)
    made, skipped = [], []
    devices, no_device = targets.hardware_targets(runner.HEADLESS)
    room = compare.MAX_REPORTS - len(targets.TARGETS)
    skipped += [{"target": t.name, "reason": "the compare holds %d reports at most"
                 % compare.MAX_REPORTS} for t in devices[room:]]
    for target in (*targets.TARGETS, *devices[:room]):
        out = os.path.join(base, target.name)
        print("== %s" % target.name, flush=True)
        if target.where == "debian13":
            why = in_debian(target, options, out)
        else:
            why = host_ready(target)
            if why is None:
                report = write.report_into(target_options(options, target), out)
                print(report_md.summary_table(report), flush=True)
        if why is None:
            made.append(out)
        else:
            print("skipped: %s" % why, flush=True)
            skipped.append({"target": target.name, "reason": why})
    if no_device:
        print("== %s\nskipped: %s" % (targets.NO_DEVICE, no_device), flush=True)
        skipped.append({"target": targets.NO_DEVICE, "reason": no_device})
    if len(made) < 2:
        print("scripts/report: the sweep reached %d target%s; nothing to compare"
              % (len(made), "" if len(made) == 1 else "s"))
        return 1
    print(compare.compare(made, base, skipped=skipped))
    overview(made, os.path.join(base, "sweep.png"))
    print("Sweep written to %s" % os.path.join(base, "compare.md"))
    wrong = [os.path.basename(folder) for folder in made
             if result_file.load_report(folder)["identity"]["target"]["check"] != "pass"]
    if wrong:
        print("scripts/report: wrong driver in %s" % ", ".join(wrong), file=sys.stderr)
        return 1
    return 0


def main(options):
    if not runner.display_opens():
        print("scripts/report: cannot open display '%s'" % os.environ.get("DISPLAY", ""),
              file=sys.stderr)
        return 1
    options.probe = os.path.abspath(options.probe)
    return sweep(options)


def overview(folders, path):
    """Every target against the four modes: each frame, or why there is none, with the status
    and any known-bug label."""
    reports = [result_file.load_report(folder) for folder in folders]
    rows = []
    for label, report in zip(compare.labels(reports), reports):
        panels = []
        for m in report["modes"]:
            known = known_behaviour.note(report, m)
            frame = compare.frame_of(report, m["menu"])
            caption = "%s %s: %s" % (m["menu"], m["name"], m["status"])
            note = known or m["ending"]["text"]
            panels.append((caption, pictures.panel(frame, (200, 150), note)))
        rows.append((label, panels))
    pictures.sheet(rows, 4, (200, 150), title_height=34,
                   title="Every GL implementation here, the four ways").save(path)

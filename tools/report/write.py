"""One report: what one GL driver does with the same pipeline built four ways.

Runs velmor once per mode (and N times for the timing) in a fresh folder holding the shader
files, judges each mode (tools/verdict.py) and writes OUT/report.md and OUT/report.json
(checked against report.schema.json) beside mode-N.png and modes.png. Everything is made in a
temporary folder beside OUT and moved into place at the end: a report that stops half way, by a
signal or a failure, leaves OUT as it was, and no file of an earlier report survives beside a new
one. A mode that hangs, or dies as its window closes, is recorded as such.
"""
import hashlib
import os
import statistics
import stat
import sys
import tempfile

from .. import console, identity, modes, publish, runner, spirv, verdict
from . import pictures, report_md, result_file, targets

# The files a report writes into OUT; any of them the new report lacks is removed.
REPORT_FILES = ("mode-1.png", "mode-2.png", "mode-3.png", "mode-4.png", "modes.png", "report.md",
                "report.json")
VELMOR_KINDS = ("version", "capability", "glew-error", "invalid-entry", "failed-to-open",
                "invalid-spirv", "fatal", "headless-error")
LARGEST_SHADER = 64 << 20  # bytes read of one shader file for its facts


def file_facts(folder, name):
    """name, size in bytes, SHA-256 and, for a SPIR-V file, its Input variables and traits. A file
    that is missing, unreadable or not a regular file is missing for velmor too: all null."""
    facts = {"name": name, "size": None, "sha256": None, "input_variables": None,
             "traits": None}
    path = os.path.join(folder, name)
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return facts
        with open(path, "rb") as f:
            data = f.read(LARGEST_SHADER + 1)
    except OSError:
        return facts
    facts.update(size=len(data), sha256=hashlib.sha256(data).hexdigest())
    if name.endswith(".spv") and len(data) <= LARGEST_SHADER:
        facts["input_variables"] = spirv.input_variables(data)
        facts["traits"] = spirv.traits(data)
    return facts


def run_env(target, xdg):
    """The changes to the environment that every velmor run (and glxinfo) of the report gets."""
    env = {"MESA_SHADER_CACHE_DISABLE": "true"}
    if target is not None:
        env.update(target.env)
        if target.private_xdg:
            env["XDG_RUNTIME_DIR"] = xdg
    return env


def run_mode(mode, options, env):
    """The first run of one mode, what went wrong with it (a runner.RunError or None), every
    time to first frame, and whether all runs ended alike. A run that hangs, dies as its window
    closes or loses its display is not repeated."""
    runs, samples = [], []
    for _ in range(options.runs):
        with tempfile.TemporaryDirectory(prefix="velmor-report-") as folder:
            modes.populate(folder, options.shaders)
            trouble = None
            try:
                r = runner.run(mode.menu + "\n", folder, binary=options.velmor,
                               args=targets.velmor_args(options.target), probe=options.probe,
                               env=env, timeout=options.timeout, runner=options.runner,
                               window_system=options.window_system)
            except runner.RunError as failure:
                r, trouble = failure.run, failure
        runs.append((r, trouble))
        if r.seconds is not None:
            samples.append(round(r.seconds * 1000.0, 1))
        if trouble or console.display_lost(console.parse(r.out, r.err)):
            break
    first, trouble = runs[0]
    return {"run": first, "trouble": trouble, "samples": samples,
            "consistent": all(r.status == first.status and (t is None) == (trouble is None)
                              for r, t in runs)}


def ending(result):
    """How the first run ended, as the report records it."""
    r, trouble = result["run"], result["trouble"]
    if trouble is not None and trouble.hung_after is not None:
        return {"text": "hung: killed after %d s" % trouble.hung_after, "exit_status": None,
                "signal": None, "hung_after_s": trouble.hung_after, "at_close": False}
    status = 0 if r.status is None else r.status
    at_close = r.frame is not None and (r.status is None or trouble is not None)
    described = runner.describe(status)
    text = described
    if at_close:
        text = "drew; closed cleanly" if status == 0 else "drew; %s as its window closed" % text
    return {"text": text, "exit_status": status if status >= 0 else None,
            "signal": described.split()[-1] if status < 0 else None, "hung_after_s": None,
            "at_close": at_close}


def drawn(frame):
    if frame is None:
        return "nothing"
    return "black" if frame.convert("RGB").getextrema() == ((0, 0), (0, 0), (0, 0)) else "picture"


def picture_verdict(menu, results):
    r, reference = results[menu]["run"], results["1"]["run"]
    if r.frame is None:
        return "no frame: " + results[menu]["ending"]["text"]
    if menu == "1":
        return "reference"
    if reference.frame is None:
        return "mode 1 has no frame"
    difference = pictures.difference(reference.frame, r.frame)
    if difference is None:
        return "identical"
    count, (x, y), ours, theirs = difference
    return "differs in %d pixels; first at (%d, %d): %s in mode 1, %s here" % (
        count, x, y, colour_text(ours), colour_text(theirs))


def colour_text(colour):
    return str(tuple(colour)) if isinstance(colour, tuple) else colour


def mode_record(mode, results, present):
    result = results[mode.menu]
    r = result["run"]
    events = console.parse(r.out, r.err)
    end = result["ending"]
    status, reason = verdict.judge(mode, events, end, drawn(r.frame), present)
    frame = None
    if r.frame is not None:
        rgba = r.frame.convert("RGBA")
        frame = {"file": "mode-%s.png" % mode.menu, "width": rgba.width, "height": rgba.height,
                 "rgba_sha256": hashlib.sha256(rgba.tobytes()).hexdigest()}
    samples = result["samples"]
    fatal = console.first(events, "fatal")
    return {"id": mode.id, "menu": mode.menu, "name": mode.label, "status": status,
            "reason": reason, "ending": end, "consistent": result["consistent"],
            "linked": console.linked_count(events),
            "debug_messages": console.debug_messages(events),
            "info_log": console.info_log_lines(events),
            "velmor_lines": [e.text for e in events if e.kind in VELMOR_KINDS],
            "fatal_signal": fatal.text if fatal else None,
            "first_frame_ms": {"samples": samples,
                               "median": statistics.median(samples) if samples else None},
            "frame": frame, "picture": picture_verdict(mode.menu, results), "stdout": r.out,
            "stderr": r.err}


def make_report(options):
    """Runs the four modes; the report and the first frame of each mode."""
    facts = [file_facts(options.shaders, name) for name in modes.SHADER_FILES]
    present = {f["name"]: f["size"] is not None for f in facts}
    with tempfile.TemporaryDirectory(prefix="velmor-xdg-") as xdg:
        env = run_env(options.target, xdg)
        results = {}
        for mode in modes.MODES:
            print("mode %s (%s): %d run%s" % (mode.menu, mode.label, options.runs,
                                              "s" * (options.runs > 1)), flush=True)
            results[mode.menu] = run_mode(mode, options, env)
            results[mode.menu]["ending"] = ending(results[mode.menu])
        runs = [results[m.menu]["run"] for m in modes.MODES]
        report = {"format": result_file.REPORT_FORMAT, "version": result_file.VERSION,
                  "identity": identity.identity(options, runs, env),
                  "shader_files": facts, "runs_per_mode": options.runs,
                  "modes": [mode_record(m, results, present) for m in modes.MODES]}
    gl = report["identity"]["gl"]
    if report["identity"]["gl_source"] == "glxinfo" and gl["version"]:
        for m in report["modes"]:
            if m["status"] == "not-supported":
                m["reason"] += "; glxinfo: core profile %s" % gl["version"]
    return report, {m.menu: results[m.menu]["run"].frame for m in modes.MODES}


def write_files(folder, report, frames, shaders):
    for menu, frame in frames.items():
        if frame is not None:
            frame.save(os.path.join(folder, "mode-%s.png" % menu))
    pictures.modes_sheet(report, frames, os.path.join(folder, "modes.png"))
    with open(os.path.join(folder, "report.md"), "w", encoding="utf-8") as f:
        f.write(report_md.to_markdown(report, shaders))
    result_file.write(report, os.path.join(folder, "report.json"))


def write_report(report, frames, out, shaders):
    """Writes the report whole beside OUT, then moves it into place."""
    with publish.folder_beside(out) as made:
        write_files(made, report, frames, shaders)
        publish.publish(made, out, REPORT_FILES, "report.json")


def report_into(options, out):
    """One whole report into OUT (the sweep's targets too); the report."""
    report, frames = make_report(options)
    write_report(report, frames, out, options.shaders)
    return report


def main(options):
    if not publish.beside_writable(options.out):
        print("scripts/report: cannot write beside %s, where the report is made first"
              % options.out, file=sys.stderr)
        return 2
    if options.window_system != "egl" and not runner.display_opens():
        print("scripts/report: cannot open display '%s'" % os.environ.get("DISPLAY", ""),
              file=sys.stderr)
        return 1
    options.argv = options.argv[1:] if options.argv[:1] == ["report"] else options.argv
    # velmor runs in a folder of its own: the probe it preloads must not depend on ours.
    options.probe = os.path.abspath(options.probe)
    report, frames = make_report(options)
    try:
        write_report(report, frames, options.out, options.shaders)
    except OSError as failure:
        print("scripts/report: could not write the report into %s: %s"
              % (options.out, failure.strerror or failure), file=sys.stderr)
        return 1
    print(report_md.summary_table(report))
    print("Report written to %s" % os.path.join(options.out, "report.md"))
    invalid = report_md.invalid_modes(report)
    if invalid:
        print("scripts/report: the display went away during mode %s: this run is invalid"
              % ", ".join(invalid), file=sys.stderr)
        return 1
    return 0

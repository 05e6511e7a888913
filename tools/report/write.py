"""One report: what one GL driver does with the same pipeline built four ways.

Runs velmor once per mode (and N times for the timing) in a fresh folder holding the shader
files, and writes OUT/report.md and OUT/report.json (checked against report.schema.json) with
each mode's status, ending, "Linked" lines, debug messages, info logs, times to first frame and
picture, beside mode-N.png and the side-by-side modes.png. A mode that hangs, or dies as its
window closes, is recorded as such: the report is always written.
"""
import ctypes
import datetime
import hashlib
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

import velmor_run
import wine

from . import driver_quirks, pictures, result_file, targets
from .result_file import MODES

SHADER_FILES = ("shader.vert", "shader.frag", "vert.spv", "frag.spv")
SEVERITIES = ("High", "Med", "Low", "Notification", "UNKNOW")
DEBUG_LINE = re.compile(
    r"Source:(?P<source>[^\t]*)\tType:(?P<type>[^\t]*)\tID:(?P<id>-?\d+)"
    r"\tSeverity:(?P<severity>[^\t]*)\tMessage:(?P<message>.*)")
FATAL_LINE = re.compile(r"Fatal signal \w+ during .*")
# The lines velmor writes itself on standard error; every other line is the GL's info-log text.
OWN_LINE = re.compile(
    r"Supported Opengl version: .*|Invalid Entry|Failed to open file|Error: .*"
    r"|GL_ARB_separate_shader_objects is not supported|GL_ARB_gl_spirv is not supported"
    r"|failed to init the separate shader extension|" + FATAL_LINE.pattern)
# What Xlib and freeglut print on standard error themselves: not the GL's info logs either.
WINDOW_SYSTEM_LINE = re.compile(
    r"X Error of failed request: .*|  (Major|Minor) opcode of failed request: .*"
    r"|  (Serial number|Value|Resource id) in failed request: .*"
    r"|  Serial number of failed request: .*|  Current serial number in output stream: .*"
    r"|freeglut \(.*\): .*")
# What a driver that lacks a feature makes velmor (or the window system) say: not a failure.
NOT_SUPPORTED = (
    ("GLXBadFBConfig", "no OpenGL 4.5 core context (GLXBadFBConfig)"),
    ("GL_ARB_gl_spirv is not supported", "no GL_ARB_gl_spirv"),
    ("GL_ARB_separate_shader_objects is not supported", "no GL_ARB_separate_shader_objects"),
    ("failed to init the separate shader extension", "no separate shader object entry points"),
)
# The variables that choose or change a driver; the last two change what it reports.
DRIVER_VARIABLES = ("LIBGL_ALWAYS_SOFTWARE", "GALLIUM_DRIVER", "MESA_LOADER_DRIVER_OVERRIDE",
                    "MESA_EXTENSION_OVERRIDE", "MESA_GL_VERSION_OVERRIDE", "VK_DRIVER_FILES",
                    "VK_ICD_FILENAMES")
OVERRIDING = ("MESA_EXTENSION_OVERRIDE", "MESA_GL_VERSION_OVERRIDE")
USAGE = ("usage: scripts/report [--shaders DIR] [--out DIR] [--runs N] [--timeout S] "
         "[--target NAME] | --compare [--baseline A] [--out DIR] A B ... | --sweep [--out DIR]")


def parse_args(argv, root):
    """The options, or a one-line complaint: (options, None) or (None, message)."""
    options = {"shaders": os.path.join(root, "shaders"),
               "out": os.path.join(root, "build", "report"),
               "runs": "5", "timeout": "30", "target": None, "velmor": None,
               "probe": velmor_run.PROBE}
    args = list(argv)
    while args:
        name = args.pop(0)
        if not name.startswith("--") or name[2:] not in options or not args:
            return None, USAGE
        options[name[2:]] = args.pop(0)
    if not os.path.isdir(options["shaders"]):
        return None, "scripts/report: no shader folder %s" % options["shaders"]
    if not writable(options["out"]):
        return None, "scripts/report: cannot write to %s" % options["out"]
    for name in ("runs", "timeout"):
        if not re.fullmatch(r"[0-9]+", options[name]) or int(options[name]) < 1:
            return None, "scripts/report: --%s needs a whole number of at least 1, not %s" % (
                name, options[name])
        options[name] = int(options[name])
    if options["target"] is not None:
        if options["target"] not in targets.BY_NAME:
            return None, "scripts/report: no target %s (%s)" % (
                options["target"], ", ".join(targets.BY_NAME))
        options["target"] = targets.BY_NAME[options["target"]]
    wine_target = options["target"] is not None and options["target"].where == "wine"
    if options["velmor"] is None:
        options["velmor"] = wine.EXE if wine_target else velmor_run.BINARY
    options["runner"] = wine.RUNNER if wine_target else ()
    return options, None


def writable(folder):
    """Whether folder is, or could be made, a folder we may write in."""
    path = os.path.abspath(folder)
    while not os.path.exists(path):
        path = os.path.dirname(path)
    return os.path.isdir(path) and os.access(path, os.W_OK | os.X_OK)


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


def shader_facts(folder):
    """name, size in bytes and SHA-256 of each shader file (None for both when missing)."""
    facts = []
    for name in SHADER_FILES:
        path = os.path.join(folder, name)
        size = digest = None
        if os.path.isfile(path):
            with open(path, "rb") as f:
                data = f.read()
            size, digest = len(data), hashlib.sha256(data).hexdigest()
        facts.append({"name": name, "size": size, "sha256": digest})
    return facts


def run_env(target, xdg):
    """The changes to the environment that every velmor run (and glxinfo) of the report gets."""
    env = {"MESA_SHADER_CACHE_DISABLE": "true"}
    if target is not None:
        env.update(target.env)
        if target.private_xdg:
            env["XDG_RUNTIME_DIR"] = xdg
    return env


def run_mode(menu, options, env):
    """The first run of one mode, what went wrong with it (a velmor_run.RunError or None), every
    time to first frame, and whether all runs ended alike. A run that hangs or dies as its window
    closes is not repeated."""
    runs, samples = [], []
    for _ in range(options["runs"]):
        with tempfile.TemporaryDirectory(prefix="velmor-report-") as folder:
            for name in SHADER_FILES:
                source = os.path.join(options["shaders"], name)
                if os.path.isfile(source):
                    shutil.copy(source, folder)
            trouble = None
            try:
                r = velmor_run.run(menu + "\n", folder, binary=options["velmor"],
                                   probe=options["probe"], env=env, timeout=options["timeout"],
                                   runner=options["runner"])
            except velmor_run.RunError as failure:
                r, trouble = failure.run, failure
        runs.append((r, trouble))
        if r.seconds is not None:
            samples.append(round(r.seconds * 1000.0, 1))
        if trouble:
            break
    first, trouble = runs[0]
    return {"run": first, "trouble": trouble, "samples": samples,
            "consistent": all(r.status == first.status and (t is None) == (trouble is None)
                              for r, t in runs)}


def parse_err(err, added=()):
    """Standard error split into debug messages (dicts of the five fields), info-log lines and the
    fatal-signal line (or None). added: lines a runner (Wine) adds, which are neither."""
    messages, info, fatal = [], [], None
    after_message = False
    for line in err.splitlines():
        match = DEBUG_LINE.fullmatch(line)
        if match:
            message = match.groupdict()
            message["id"] = int(message["id"])
            messages.append(message)
        elif after_message and not line:
            pass  # the newline a message text ended in
        elif FATAL_LINE.fullmatch(line):
            fatal = line
        elif not (OWN_LINE.fullmatch(line) or WINDOW_SYSTEM_LINE.fullmatch(line)
                  or line in added):
            info.append(line)
        after_message = bool(match)
    return messages, info, fatal


def ending(result):
    """How the first run ended, as the report records it."""
    r, trouble = result["run"], result["trouble"]
    if trouble is not None and trouble.hung_after is not None:
        return {"text": "hung: killed after %d s" % trouble.hung_after, "exit_status": None,
                "signal": None, "hung_after_s": trouble.hung_after, "at_close": False}
    status = 0 if r.status is None else r.status
    at_close = r.frame is not None and (r.status is None or trouble is not None)
    described = velmor_run.describe(status)
    text = described
    if at_close:
        text = "drew; closed cleanly" if status == 0 else "drew; %s as its window closed" % text
    return {"text": text, "exit_status": status if status >= 0 else None,
            "signal": described.split()[-1] if status < 0 else None, "hung_after_s": None,
            "at_close": at_close}


def judge(result, end, messages, info, fatal):
    """(status, reason): pass < warn < fail < timeout < crash, or not-supported with its reason."""
    r = result["run"]
    if end["hung_after_s"] is not None:
        return "timeout", None
    if end["signal"] is not None or (r.frame is None and fatal is not None):
        return "crash", fatal
    if end["at_close"] and end["exit_status"] != 0:
        return "fail", end["text"]
    if r.frame is None:
        for words, reason in NOT_SUPPORTED:
            if words in r.err:
                return "not-supported", reason
        return "fail", "drew nothing: " + end["text"]
    if r.frame.convert("RGB").getextrema() == ((0, 0), (0, 0), (0, 0)):
        return "fail", "drew only black"
    if info or any(m["severity"] == "High" for m in messages):
        return "warn", None
    return "pass", None


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


def mode_record(menu, mode_id, name, results, added):
    result = results[menu]
    r = result["run"]
    messages, info, fatal = parse_err(r.err, added)
    end = result["ending"]
    status, reason = judge(result, end, messages, info, fatal)
    frame = None
    if r.frame is not None:
        rgba = r.frame.convert("RGBA")
        frame = {"file": "mode-%s.png" % menu, "width": rgba.width, "height": rgba.height,
                 "rgba_sha256": hashlib.sha256(rgba.tobytes()).hexdigest()}
    samples = result["samples"]
    return {"id": mode_id, "menu": menu, "name": name, "status": status, "reason": reason,
            "ending": end, "consistent": result["consistent"],
            "linked": r.out.replace("\r\n", "\n").count("Linked\n"),
            "debug_messages": messages, "info_log": info, "fatal_signal": fatal,
            "first_frame_ms": {"samples": samples,
                               "median": statistics.median(samples) if samples else None},
            "frame": frame, "picture": picture_verdict(menu, results), "stdout": r.out,
            "stderr": r.err}


def helper_env(changes=None):
    """The environment for a helper program (glxinfo, dpkg-query): the driver's variables, but
    nothing preloaded, which was meant for velmor alone."""
    env = dict(os.environ, **(changes or {}))
    env.pop("LD_PRELOAD", None)
    return {k: v for k, v in env.items() if v is not None}


def glxinfo(env):
    """GL_VENDOR, GL_RENDERER, the core profile's version strings from glxinfo -B (mesa-utils) on
    the same display and environment, for a driver on which no mode drew: a dict, or None."""
    try:
        out = subprocess.run(["glxinfo", "-B"], capture_output=True, text=True, timeout=30,
                             env=helper_env(env)).stdout
    except (OSError, subprocess.TimeoutExpired):
        return None
    facts = dict(line.strip().split(": ", 1) for line in out.splitlines() if ": " in line)
    if "OpenGL renderer string" not in facts:
        return None
    return {"vendor": facts.get("OpenGL vendor string"),
            "renderer": facts["OpenGL renderer string"],
            "version": facts.get("OpenGL core profile version string",
                                 facts.get("OpenGL version string")),
            "glsl_version": facts.get("OpenGL core profile shading language version string",
                                      facts.get("OpenGL shading language version string")),
            "context_flags": None}


def gl_identity(results, env):
    """The GL strings and where they came from: the frame probe of the first mode that drew,
    else glxinfo, else velmor's own version line."""
    for menu, _, _ in MODES:
        gl = results[menu]["run"].gl
        if gl:
            gl = list(gl) + [None] * (5 - len(gl))
            return dict(zip(("version", "renderer", "vendor", "glsl_version", "context_flags"),
                            gl)), "frame probe"
    facts = glxinfo(env)
    if facts:
        return facts, "glxinfo"
    empty = dict.fromkeys(("vendor", "renderer", "version", "glsl_version", "context_flags"))
    for menu, _, _ in MODES:
        for line in results[menu]["run"].err.splitlines():
            if line.startswith("Supported Opengl version: "):
                return dict(empty, version=line.split(": ", 1)[1]), "console"
    return empty, "none"


def os_name():
    try:
        return platform.freedesktop_os_release().get("PRETTY_NAME")
    except OSError:
        return None


def mesa_package():
    found = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "libgl1-mesa-dri"],
                           capture_output=True, text=True, env=helper_env())
    return (found.stdout.strip() or None) if found.returncode == 0 else None


def velmor_version(binary):
    """What the build beside the binary noted (tools/version.cmake); nulls when there is none."""
    try:
        with open(os.path.join(os.path.dirname(binary), "velmor-version.json")) as f:
            return json.load(f)
    except (OSError, ValueError):
        return {"describe": None, "project_version": None}


def identity(options, argv, results, env):
    gl, source = gl_identity(results, env)
    environment = {name: env.get(name, os.environ.get(name)) for name in DRIVER_VARIABLES}
    target = options["target"]
    check = None
    if target is not None:
        check = {"name": target.name, "expected_renderer": target.expected_renderer,
                 "check": "pass" if re.search(target.expected_renderer, gl["renderer"] or "")
                 else "invalid: wrong driver"}
    return {"gl": gl, "gl_source": source,
            "window_system": "WGL (Wine)" if options["runner"] else "GLX",
            "os": os_name(), "kernel": platform.release(), "mesa_package": mesa_package(),
            "velmor": velmor_version(options["velmor"]), "command_line": ["scripts/report", *argv],
            "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"),
            "environment": environment,
            "overrides": any(environment[name] for name in OVERRIDING), "target": check}


def severities(messages):
    counts = {s: 0 for s in SEVERITIES}
    for m in messages:
        counts[m["severity"] if m["severity"] in counts else "UNKNOW"] += 1
    parts = ["%s %d" % (s, n) for s, n in counts.items() if n]
    return "%d (%s)" % (len(messages), ", ".join(parts)) if parts else "0"


def status_text(mode):
    return mode["status"] + (": " + mode["reason"] if mode["reason"] else "")


def summary_table(report):
    rows = ["| Mode | Status | Ended | Linked | Debug messages | Info-log lines | First frame (ms) "
            "| Picture |", "|---|---|---|---|---|---|---|---|"]
    for m in report["modes"]:
        ms = m["first_frame_ms"]["median"]
        ended = m["ending"]["text"] + ("" if m["consistent"] else " (not in every run)")
        rows.append("| %s %s | %s | %s | %d | %s | %d | %s | %s |" % (
            m["menu"], m["name"], status_text(m).replace("|", "\\|"), ended, m["linked"],
            severities(m["debug_messages"]), len(m["info_log"]),
            "%.0f" % ms if ms is not None else "-", m["picture"]))
    return "\n".join(rows)


def fenced(text):
    """text verbatim in a Markdown code block whose fence no run of backticks in it can close."""
    fence = "`" * max(3, 1 + max((len(run) for run in re.findall("`+", text)), default=0))
    return "%s\n%s%s%s\n" % (fence, text, "" if text.endswith("\n") or not text else "\n", fence)


def mode_section(m):
    lines = ["## Mode %s: %s" % (m["menu"], m["name"]), "",
             "Status: %s. Ended: %s. \"Linked\" lines: %d." % (
                 status_text(m), m["ending"]["text"], m["linked"]), ""]
    if m["frame"] is not None:
        lines += ["![Mode %s](%s)" % (m["menu"], m["frame"]["file"]), ""]
    if m["debug_messages"]:
        lines += ["Debug messages:", "", "| Source | Type | ID | Severity | Message |",
                  "|---|---|---|---|---|"]
        lines += ["| %s | %s | %s | %s | %s |" % (d["source"], d["type"], d["id"], d["severity"],
                                                   d["message"].replace("|", "\\|"))
                  for d in m["debug_messages"]]
        lines.append("")
    info = m["info_log"]
    lines += ["Info-log text:", "", fenced("\n".join(info)) if info else "(none)\n",
              "Standard output:", "", fenced(m["stdout"]), "Standard error:", "",
              fenced(m["stderr"])]
    return "\n".join(lines)


def markdown(report, shaders):
    ident = report["identity"]
    gl = ident["gl"]
    files = ["| File | Size (bytes) | SHA-256 |", "|---|---|---|"]
    files += ["| %s | %s | %s |" % (f["name"], f["size"], f["sha256"]) if f["size"] is not None
              else "| %s | missing | - |" % f["name"] for f in report["shader_files"]]
    target = ident["target"]
    check = ["- Target: %s, expecting a renderer matching `%s`: %s" % (
        target["name"], target["expected_renderer"], target["check"])] if target else []
    known = [driver_quirks.known_bug(ident, m) for m in report["modes"]]
    notes = ["- Mode %s: %s" % (m["menu"], label) for m, label in zip(report["modes"], known)
             if label]
    return "\n".join([
        "# Velmor report", "",
        "- OpenGL: %s" % gl["version"], "- Renderer: %s" % gl["renderer"],
        "- Vendor: %s; GLSL %s; context flags %s (from the %s)" % (
            gl["vendor"], gl["glsl_version"], gl["context_flags"], ident["gl_source"]),
        "- Window system: %s; OS: %s; kernel %s; Mesa package %s" % (
            ident["window_system"], ident["os"], ident["kernel"], ident["mesa_package"]),
        "- Velmor: %s; date: %s" % (ident["velmor"]["describe"], ident["date"]), *check,
        "- Shader files, from `%s`:" % os.path.abspath(shaders), "", *files, "",
        "Time to first frame: median of %d runs per mode, shader cache off." % (
            report["runs_per_mode"]), "", summary_table(report), "",
        *(["Known driver behaviour:", "", *notes, ""] if notes else []),
        "![The four modes](modes.png)", "", *[mode_section(m) for m in report["modes"]]])


def main(argv):
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    check_only = argv[:1] == ["--check"]
    options, complaint = parse_args(argv[check_only:], root)
    if complaint:
        print(complaint, file=sys.stderr)
        return 2
    if check_only:
        return 0
    if not display_opens():
        print("scripts/report: cannot open display '%s'" % os.environ.get("DISPLAY", ""),
              file=sys.stderr)
        return 1
    report = make_report(options, argv[check_only:])
    print(summary_table(report))
    print("Report written to %s" % os.path.join(options["out"], "report.md"))
    return 0


def make_report(options, argv):
    """Runs the four modes and writes the report's files into options["out"]; the report."""
    added = wine.added_err_lines(options["velmor"]) if options["runner"] else ()
    with tempfile.TemporaryDirectory(prefix="velmor-xdg-") as xdg:
        env = run_env(options["target"], xdg)
        results = {}
        for menu, _, name in MODES:
            print("mode %s (%s): %d run%s" % (menu, name, options["runs"],
                                              "s" * (options["runs"] > 1)), flush=True)
            results[menu] = run_mode(menu, options, env)
            results[menu]["ending"] = ending(results[menu])
        report = {"format": result_file.REPORT_FORMAT, "version": result_file.VERSION,
                  "identity": identity(options, argv, results, env),
                  "shader_files": shader_facts(options["shaders"]),
                  "runs_per_mode": options["runs"],
                  "modes": [mode_record(menu, mode_id, name, results, added)
                            for menu, mode_id, name in MODES]}
    gl = report["identity"]["gl"]
    if report["identity"]["gl_source"] == "glxinfo" and gl["version"]:
        for m in report["modes"]:
            if m["status"] == "not-supported":
                m["reason"] += "; glxinfo: core profile %s" % gl["version"]
    out = options["out"]
    os.makedirs(out, exist_ok=True)
    for menu, _, _ in MODES:
        frame = results[menu]["run"].frame
        if frame is not None:
            frame.save(os.path.join(out, "mode-%s.png" % menu))
    pictures.modes_sheet(report, {m: results[m]["run"].frame for m, _, _ in MODES},
                         os.path.join(out, "modes.png"))
    result_file.write(report, os.path.join(out, "report.json"))
    with open(os.path.join(out, "report.md"), "w", encoding="utf-8") as f:
        f.write(markdown(report, options["shaders"]))
    return report

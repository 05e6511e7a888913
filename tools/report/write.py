"""Velmor's four-way report: what this GL driver does with the same pipeline built four ways.

Runs velmor once per mode (and N times for the timing) in a fresh folder holding the shader
files, and writes OUT/report.md with each mode's ending, "Linked" lines, debug messages, info
logs, time to first frame and picture, beside mode-N.png and the side-by-side modes.png.
scripts/report builds velmor and provides a display first; see the README.
"""
import ctypes
import datetime
import hashlib
import os
import re
import shutil
import signal
import statistics
import sys
import tempfile

import velmor_run

SHADER_FILES = ("shader.vert", "shader.frag", "vert.spv", "frag.spv")
MODES = {"1": "GLSL", "2": "GLSL SSO", "3": "SPIRV", "4": "SPIRV SSO"}
SEVERITIES = ("High", "Med", "Low", "Notification", "UNKNOW")
DEBUG_LINE = re.compile(
    r"Source:(?P<source>[^\t]*)\tType:(?P<type>[^\t]*)\tID:(?P<id>-?\d+)"
    r"\tSeverity:(?P<severity>[^\t]*)\tMessage:(?P<message>.*)")
# The lines velmor writes itself on standard error; every other line is the GL's info-log text.
OWN_LINE = re.compile(
    r"Supported Opengl version: .*|Invalid Entry|Failed to open file|Error: .*"
    r"|GL_ARB_separate_shader_objects is not supported|GL_ARB_gl_spirv is not supported"
    r"|failed to init the separate shader extension|Fatal signal \w+ during .*")
USAGE = "usage: scripts/report [--shaders DIR] [--out DIR] [--runs N]"


def parse_args(argv, root):
    """The options, or a one-line complaint: (options, None) or (None, message)."""
    options = {"shaders": os.path.join(root, "shaders"), "out": os.path.join(root, "build", "report"),
               "runs": "5", "velmor": velmor_run.BINARY, "probe": velmor_run.PROBE}
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
    if not re.fullmatch(r"[0-9]+", options["runs"]) or int(options["runs"]) < 1:
        return None, "scripts/report: --runs needs a whole number of at least 1, not %s" % (
            options["runs"])
    options["runs"] = int(options["runs"])
    return options, None


def writable(folder):
    """Whether folder is, or could be made, a folder we may write in."""
    path = os.path.abspath(folder)
    while not os.path.exists(path):
        path = os.path.dirname(path)
    return os.path.isdir(path) and os.access(path, os.W_OK | os.X_OK)


def open_display():
    """Holds a connection to the display for the whole report, or None when it cannot be opened.
    The connection also keeps an X server from resetting between runs."""
    try:
        x11 = ctypes.CDLL("libX11.so.6")
    except OSError:
        return None
    x11.XOpenDisplay.restype = ctypes.c_void_p
    return x11.XOpenDisplay(None)


def shader_facts(folder):
    """(name, size in bytes or None when missing, SHA-256) of each shader file."""
    facts = []
    for name in SHADER_FILES:
        path = os.path.join(folder, name)
        if os.path.isfile(path):
            with open(path, "rb") as f:
                data = f.read()
            facts.append((name, len(data), hashlib.sha256(data).hexdigest()))
        else:
            facts.append((name, None, None))
    return facts


def run_mode(mode, options):
    """The first run's record of one mode, with the median time to first frame of all runs."""
    runs, times = [], []
    for _ in range(options["runs"]):
        with tempfile.TemporaryDirectory(prefix="velmor-report-") as folder:
            for name in SHADER_FILES:
                source = os.path.join(options["shaders"], name)
                if os.path.isfile(source):
                    shutil.copy(source, folder)
            r = velmor_run.run(mode + "\n", folder, binary=options["velmor"],
                               probe=options["probe"], env={"MESA_SHADER_CACHE_DISABLE": "true"})
        runs.append(r)
        if r.seconds is not None:
            times.append(r.seconds * 1000.0)
    return {"run": runs[0], "ms": statistics.median(times) if times else None,
            "same_ending": all(r.status == runs[0].status for r in runs)}


def parse_err(err):
    """Standard error split into debug messages (dicts of the five fields) and info-log lines."""
    messages, info = [], []
    after_message = False
    for line in err.splitlines():
        match = DEBUG_LINE.fullmatch(line)
        if match:
            messages.append(match.groupdict())
        elif after_message and not line:
            pass  # the newline a message text ended in
        elif not OWN_LINE.fullmatch(line):
            info.append(line)
        after_message = bool(match)
    return messages, info


def compare(a, b):
    """None when the two frames are identical pixel for pixel; otherwise the number of pixels
    that differ and the first of them, top row first: (count, (x, y), colour in a, colour in b)."""
    if a.size != b.size:
        return (max(a.size[0] * a.size[1], b.size[0] * b.size[1]), (0, 0),
                "%dx%d" % a.size, "%dx%d" % b.size)
    width = a.size[0]
    pa, pb = a.tobytes(), b.tobytes()
    if pa == pb:
        return None
    differing = [i for i in range(0, len(pa), 4) if pa[i:i + 4] != pb[i:i + 4]]
    first = differing[0] // 4
    xy = (first % width, first // width)
    return len(differing), xy, a.getpixel(xy), b.getpixel(xy)


def ending(r):
    if r.status is None:
        return "drew; closed cleanly"
    return velmor_run.describe(r.status)


def picture_verdict(mode, results):
    r, reference = results[mode]["run"], results["1"]["run"]
    if r.frame is None:
        return "no frame: " + ending(r)
    if mode == "1":
        return "reference"
    if reference.frame is None:
        return "mode 1 has no frame"
    difference = compare(reference.frame, r.frame)
    if difference is None:
        return "identical"
    count, (x, y), ours, theirs = difference
    return "differs in %d pixels; first at (%d, %d): %s in mode 1, %s here" % (
        count, x, y, colour_text(ours), colour_text(theirs))


def colour_text(colour):
    return str(tuple(colour)) if isinstance(colour, tuple) else colour


def severities(messages):
    counts = {s: 0 for s in SEVERITIES}
    for m in messages:
        counts[m["severity"] if m["severity"] in counts else "UNKNOW"] += 1
    parts = ["%s %d" % (s, n) for s, n in counts.items() if n]
    return "%d (%s)" % (len(messages), ", ".join(parts)) if parts else "0"


def summary_table(results):
    rows = ["| Mode | Ended | Linked | Debug messages | Info-log lines | First frame (ms) "
            "| Picture |", "|---|---|---|---|---|---|---|"]
    for mode, name in MODES.items():
        result = results[mode]
        r = result["run"]
        messages, info = parse_err(r.err)
        ms = "%.0f" % result["ms"] if result["ms"] is not None else "-"
        ended = ending(r) + ("" if result["same_ending"] else " (not in every run)")
        rows.append("| %s %s | %s | %d | %s | %d | %s | %s |" % (
            mode, name, ended, r.out.count("Linked\n"), severities(messages), len(info), ms,
            picture_verdict(mode, results)))
    return "\n".join(rows)


def fenced(text):
    """text verbatim in a Markdown code block whose fence no run of backticks in it can close."""
    fence = "`" * max(3, 1 + max((len(run) for run in re.findall("`+", text)), default=0))
    return "%s\n%s%s%s\n" % (fence, text, "" if text.endswith("\n") or not text else "\n", fence)


def mode_section(mode, results):
    r = results[mode]["run"]
    messages, info = parse_err(r.err)
    lines = ["## Mode %s: %s" % (mode, MODES[mode]), "",
             "Ended: %s. \"Linked\" lines: %d." % (ending(r), r.out.count("Linked\n")), ""]
    if r.frame is not None:
        lines += ["![Mode %s](mode-%s.png)" % (mode, mode), ""]
    if messages:
        lines += ["Debug messages:", "", "| Source | Type | ID | Severity | Message |",
                  "|---|---|---|---|---|"]
        lines += ["| %s | %s | %s | %s | %s |" % (m["source"], m["type"], m["id"], m["severity"],
                                                   m["message"].replace("|", "\\|"))
                  for m in messages]
        lines.append("")
    lines += ["Info-log text:", "", fenced("\n".join(info)) if info else "(none)\n",
              "Standard output:", "", fenced(r.out), "Standard error:", "", fenced(r.err)]
    return "\n".join(lines)


def side_by_side(results, path):
    """The four first frames, scaled down side by side, each labelled with its verdict."""
    from PIL import Image, ImageDraw

    panel, label = (400, 300), 36
    sheet = Image.new("RGB", (panel[0] * 4, panel[1] + label), "white")
    draw = ImageDraw.Draw(sheet)
    for i, mode in enumerate(MODES):
        r, x = results[mode]["run"], i * panel[0]
        if r.frame is not None:
            sheet.paste(r.frame.convert("RGB").resize(panel), (x, label))
        else:
            draw.rectangle([x, label, x + panel[0] - 1, label + panel[1] - 1], fill=(64, 64, 64))
        draw.text((x + 6, 4), "%s: %s" % (mode, MODES[mode]), fill="black")
        draw.text((x + 6, 18), picture_verdict(mode, results)[:60], fill="black")
    sheet.save(path)


def write_report(options, results, facts, out):
    gl = next((results[m]["run"].gl for m in MODES if results[m]["run"].gl), None)
    if gl is None:
        version = next((line for m in MODES for line in results[m]["run"].err.splitlines()
                        if line.startswith("Supported Opengl version: ")), "unknown")
        gl = (version.replace("Supported Opengl version: ", ""), "unknown (no mode drew)")
    for mode in MODES:
        frame = results[mode]["run"].frame
        if frame is not None:
            frame.save(os.path.join(out, "mode-%s.png" % mode))
    side_by_side(results, os.path.join(out, "modes.png"))
    files = ["| File | Size (bytes) | SHA-256 |", "|---|---|---|"]
    files += ["| %s | %s | %s |" % (name, size, digest) if size is not None else
              "| %s | missing | - |" % name for name, size, digest in facts]
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    text = "\n".join([
        "# Velmor report", "",
        "- OpenGL: %s" % gl[0], "- Renderer: %s" % gl[1], "- Date: %s" % now,
        "- Shader files, from `%s`:" % os.path.abspath(options["shaders"]), "", *files, "",
        "Time to first frame: median of %d runs per mode, shader cache off." % options["runs"],
        "", summary_table(results), "", "![The four modes](modes.png)", "",
        *[mode_section(mode, results) for mode in MODES]])
    with open(os.path.join(out, "report.md"), "w") as f:
        f.write(text)


def main(argv):
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    check_only = argv[:1] == ["--check"]
    options, complaint = parse_args(argv[check_only:], root)
    if complaint:
        print(complaint, file=sys.stderr)
        return 2
    if check_only:
        return 0
    if not open_display():
        print("scripts/report: cannot open display '%s'" % os.environ.get("DISPLAY", ""),
              file=sys.stderr)
        return 1
    # A kill of the report ends it like Ctrl-C: velmor is stopped on the way out.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    facts = shader_facts(options["shaders"])
    results = {}
    for mode, name in MODES.items():
        print("mode %s (%s): %d run%s" % (mode, name, options["runs"],
                                          "s" * (options["runs"] > 1)), flush=True)
        results[mode] = run_mode(mode, options)
    out = options["out"]
    os.makedirs(out, exist_ok=True)
    write_report(options, results, facts, out)
    print(summary_table(results))
    print("Report written to %s" % os.path.join(out, "report.md"))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except KeyboardInterrupt:
        sys.exit(130)
    except velmor_run.RunError as failure:
        sys.exit("scripts/report: %s" % failure)

"""report.md: a report as Markdown, for people (report.json holds the same facts for programs).
The summary table is shown on the console too, by the report and the sweep."""
import os

from .. import identity, markdown
from . import known_behaviour

SEVERITIES = ("High", "Med", "Low", "Notification", "UNKNOW")


def severities(messages):
    counts = {s: 0 for s in SEVERITIES}
    for m in messages:
        counts[m["severity"] if m["severity"] in counts else "UNKNOW"] += 1
    parts = ["%s %d" % (s, n) for s, n in counts.items() if n]
    return "%d (%s)" % (len(messages), ", ".join(parts)) if parts else "0"


def status_text(mode):
    return mode["status"] + (": " + mode["reason"] if mode["reason"] else "")


def summary_table(report):
    rows = []
    for m in report["modes"]:
        ms = m["first_frame_ms"]["median"]
        ended = m["ending"]["text"] + ("" if m["consistent"] else " (not in every run)")
        rows.append(["%s %s" % (m["menu"], m["name"]), status_text(m), ended, m["linked"],
                     severities(m["debug_messages"]), len(m["info_log"]),
                     "%.0f" % ms if ms is not None else "-", m["picture"]])
    return markdown.table(["Mode", "Status", "Ended", "Linked", "Debug messages",
                           "Info-log lines", "First frame (ms)", "Picture"], rows)


def mode_section(m):
    lines = ["## Mode %s: %s" % (m["menu"], m["name"]), "",
             "Status: %s. Ended: %s. \"Linked\" lines: %d." % (
                 status_text(m), m["ending"]["text"], m["linked"]), ""]
    if m["frame"] is not None:
        lines += ["![Mode %s](%s)" % (m["menu"], m["frame"]["file"]), ""]
    if m["debug_messages"]:
        lines += ["Debug messages:", "", markdown.table(
            ["Source", "Type", "ID", "Severity", "Message"],
            [[d["source"], d["type"], d["id"], d["severity"], d["message"]]
             for d in m["debug_messages"]]), ""]
    info = m["info_log"]
    lines += ["Velmor's own lines:", "",
              markdown.fenced("\n".join(m["velmor_lines"])) if m["velmor_lines"] else "(none)\n",
              "Info-log text (the GL's):", "", markdown.fenced("\n".join(info)) if info else "(none)\n",
              "Standard output:", "", markdown.fenced(m["stdout"]), "Standard error:", "",
              markdown.fenced(m["stderr"])]
    return "\n".join(lines)


def invalid_modes(report):
    return [m["menu"] for m in report["modes"] if m["status"] == "invalid"]


def to_markdown(report, shaders):
    ident = report["identity"]
    gl = ident["gl"]
    files = markdown.table(["File", "Size (bytes)", "SHA-256", "Input variables"], [
        [f["name"], f["size"], f["sha256"],
         "-" if f["input_variables"] is None else f["input_variables"]]
        if f["size"] is not None else [f["name"], "missing or unreadable", "-", "-"]
        for f in report["shader_files"]])
    target = ident["target"]
    check = ["- Target: %s, expecting a renderer matching `%s`: %s" % (
        target["name"], target["expected_renderer"], target["check"])] if target else []
    invalid = invalid_modes(report)
    banner = ["**This run is invalid**: the display went away during mode %s; its results say "
              "nothing of the driver." % ", ".join(invalid), ""] if invalid else []
    notes = ["- Mode %s: %s" % (m["menu"], note) for m in report["modes"]
             for note in [known_behaviour.note(report, m)] if note]
    return "\n".join([
        "# Velmor report", "", *banner,
        "- OpenGL: %s" % gl["version"], "- Renderer: %s" % gl["renderer"],
        "- Vendor: %s; GLSL %s; context flags %s (from the %s)" % (
            gl["vendor"], gl["glsl_version"], gl["context_flags"], ident["gl_source"]),
        "- Window system: %s; OS: %s; kernel %s; Mesa package %s" % (
            ident["window_system"], ident["os"], ident["kernel"], ident["mesa_package"]),
        *["- EGL: %s; vendor %s; version %s" % (
            identity.platform_text(egl), egl["vendor"], egl["version"])
          for egl in [ident.get("egl")] if egl],
        "- Velmor: %s; date: %s" % (ident["velmor"]["describe"], ident["date"]), *check,
        "- Shader files, from `%s`:" % os.path.abspath(shaders), "", files, "",
        "Time to first frame: median of %d runs per mode, shader cache off." % (
            report["runs_per_mode"]), "", summary_table(report), "",
        *(["Known driver behaviour, and crashes that match none:", "", *notes, ""]
          if notes else []),
        "![The four modes](modes.png)", "", *[mode_section(m) for m in report["modes"]]])

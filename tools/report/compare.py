"""Up to 16 reports side by side: compare.md, compare.json (checked against
compare.schema.json) and compare.png, and the table on the console.

Each report is a column labelled from its identity. The identity rows come first; then, per
mode, the rows that differ, and one line naming the rows on which all agree. Debug-message texts
are compared with object names and addresses masked; pictures by the hash of their pixels. With
a baseline, changes are named as regressions (a status got worse), fixes and other changes;
time to first frame counts only when it moves by more than 2x. A crash that matches no known
driver behaviour is marked NEW wherever it shows. Every file is checked before anything is
written (result_file.py), and the three files move into OUT together at the end.
"""
import os
import re
import sys

from .. import markdown, modes, publish, verdict
from . import known_behaviour, pictures, result_file
from .result_file import Refused

OWNED = ("compare.md", "compare.json", "compare.png")

MAX_REPORTS = 16  # the sweep's ten targets and a few EGL devices
MASKS = ((re.compile(r"0x[0-9a-fA-F]+"), "0x#"),
         (re.compile(r"\b(program|shader|pipeline|object|buffer|array|texture|name)( object)?"
                     r"([ =])\d+\b", re.I), r"\1\2\3#"))
NOISE = 2.0  # time to first frame is a change only beyond this factor


def masked(text):
    for pattern, replacement in MASKS:
        text = pattern.sub(replacement, text)
    return text


def short_os(name):
    name = re.sub(r"\s*\(.*\)", "", name or "unknown OS")
    return name.replace(" GNU/Linux", "")


def labels(reports):
    """renderer, Mesa version, OS and window system (with EGL's platform) of each report, made
    unique."""
    made, seen = [], {}
    for r in reports:
        ident = r["identity"]
        gl = ident["gl"]
        renderer = re.split(r"\s*\(", gl["renderer"] or "unknown renderer")[0]
        mesa = re.search(r"Mesa [0-9.]*[0-9]", gl["version"] or "")
        parts = [renderer, mesa.group(0) if mesa else ident["mesa_package"] or "no Mesa",
                 short_os(ident["os"]), window_system_label(ident)]
        label = " · ".join(p for p in parts if p)
        seen[label] = seen.get(label, 0) + 1
        made.append(label if seen[label] == 1 else "%s #%d" % (label, seen[label]))
    return made


def window_system_label(ident):
    """The window system; on EGL with its platform, so that surfaceless and a device of the
    same driver stay apart."""
    egl = ident.get("egl")
    if not egl:
        return ident["window_system"]
    where = egl["platform"] if egl["device"] is None else "device %d" % egl["device"]
    return "%s %s" % (ident["window_system"], where)


def identity_rows(reports):
    def gl(key):
        return [r["identity"]["gl"][key] or "-" for r in reports]

    def ident(key):
        return [str(r["identity"][key]) if r["identity"][key] is not None else "-"
                for r in reports]

    def variables(r):
        env = r["identity"]["environment"]
        return " ".join("%s=%s" % (k, v) for k, v in env.items() if v) or "-"

    def check(r):
        target = r["identity"]["target"]
        return "%s (`%s`): %s" % (target["name"], target["expected_renderer"],
                                  target["check"]) if target else "-"

    return [("Renderer", gl("renderer")), ("Vendor", gl("vendor")), ("GL version", gl("version")),
            ("GLSL version", gl("glsl_version")), ("Context flags", gl("context_flags")),
            ("GL strings from", ident("gl_source")), ("Window system", ident("window_system")),
            ("OS", ident("os")), ("Kernel", ident("kernel")),
            ("Mesa package", ident("mesa_package")),
            ("Velmor", [r["identity"]["velmor"]["describe"] or "-" for r in reports]),
            ("Driver variables", [variables(r) for r in reports]),
            ("Overrides", ["yes" if r["identity"]["overrides"] else "no" for r in reports]),
            ("Identity check", [check(r) for r in reports])]


def messages_text(messages):
    return "; ".join("%s %s: %s" % (m["severity"], m["type"], masked(m["message"]))
                     for m in messages) or "none"


def mode_rows(reports, index):
    """(row name, shown values, compared keys) for one mode; time to first frame last."""
    records = [r["modes"][index] for r in reports]
    notes = [known_behaviour.note(r, m) for r, m in zip(reports, records)]
    status = ["%s%s%s" % (m["status"], ": " + m["reason"] if m["reason"] else "",
                          " (%s)" % k if k else "") for m, k in zip(records, notes)]
    debug = [[(d["source"], d["type"], d["id"], d["severity"], masked(d["message"]))
              for d in m["debug_messages"]] for m in records]
    info = [[masked(line) for line in m["info_log"]] for m in records]
    hashes = [m["frame"]["rgba_sha256"] if m["frame"] else None for m in records]
    shown_pictures = ["%s (%dx%d)" % (h[:12], m["frame"]["width"], m["frame"]["height"]) if h
                      else "no frame" for h, m in zip(hashes, records)]
    ms = [m["first_frame_ms"]["median"] for m in records]
    return [("Status", status, [(m["status"], m["reason"], k) for m, k in zip(records, notes)]),
            ("Ending", [m["ending"]["text"] for m in records],
             [m["ending"]["text"] for m in records]),
            ("Linked", [str(m["linked"]) for m in records], [m["linked"] for m in records]),
            ("Debug messages", [messages_text(m["debug_messages"]) for m in records], debug),
            ("Info-log lines", ["%d%s" % (len(i), ": " + i[0] if i else "") for i in info], info),
            ("Picture", shown_pictures, hashes),
            ("First frame (ms)", ["%.0f" % v if v is not None else "-" for v in ms],
             [None] * len(ms) if not slower_than_noise(ms) else ms)]


def slower_than_noise(ms):
    values = [v for v in ms if v]
    return len(values) > 1 and max(values) > NOISE * min(values)


def section(mode):
    return "%s %s" % (mode.menu, mode.label)


def build_rows(reports):
    rows = [{"section": "identity", "name": name, "values": values,
             "same": len(set(values)) == 1} for name, values in identity_rows(reports)]
    for index, mode in enumerate(modes.MODES):
        for row, values, keys in mode_rows(reports, index):
            rows.append({"section": section(mode), "name": row, "values": values,
                         "same": all(k == keys[0] for k in keys)})
    return rows


def changes(reports, names, baseline):
    """Against the baseline: regressions, fixes and other changes, one line each."""
    found = {"regressions": [], "fixes": [], "other": []}
    base = reports[baseline]
    for i, r in enumerate(reports):
        if i == baseline:
            continue
        for index, mode in enumerate(modes.MODES):
            rows = mode_rows([base, r], index)
            where = "%s: mode %s" % (names[i], section(mode))
            (a, a_reason, _), (b, b_reason, b_note) = rows[0][2]
            ra, rb = verdict.rank(a), verdict.rank(b)
            new = " (%s)" % known_behaviour.NEW if b_note == known_behaviour.NEW else ""
            if a != b:
                kind = ("regressions" if rb > ra else "fixes") if None not in (ra, rb) else "other"
                found[kind].append("%s: status %s → %s%s" % (where, a, b, new))
                continue  # what else differs follows from the status
            for row, values, keys in rows:
                if row == "Status":  # the same result: its known-behaviour note is no change
                    keys = [k[:2] for k in keys]
                if keys[0] != keys[1]:
                    found["other"].append("%s: %s %s → %s" % (where, row.lower(), values[0],
                                                               values[1]))
    return found


def markdown_text(reports, names, rows, found, skipped, baseline):
    n = len(reports)
    lines = ["# Velmor: %d reports compared" % n, ""]
    if baseline is not None:
        lines += ["Baseline: %s." % names[baseline], ""]
    lines += ["## Identity", "", markdown.table(
        [""] + names, [[r["name"]] + r["values"] for r in rows if r["section"] == "identity"])]
    differing = [r for r in rows if r["section"] != "identity" and not r["same"]]
    same = [r for r in rows if r["section"] != "identity" and r["same"]]
    lines += ["", "## Modes", ""]
    if differing:
        lines += [markdown.table([""] + names, [["%s %s" % (r["section"], r["name"])] +
                                                r["values"] for r in differing]), ""]
    lines.append(same_line(same, n))
    if baseline is not None:
        for kind, title in (("regressions", "Regressions"), ("fixes", "Fixes"),
                            ("other", "Other changes")):
            lines += ["", "## %s against the baseline (%d)" % (title, len(found[kind])), ""]
            lines += ["- %s" % line for line in found[kind]] or ["none"]
    crashes = new_crashes(reports, names)
    if crashes:
        lines += ["", "## New crashes: no known driver behaviour matches (%d)" % len(crashes), ""]
        lines += ["- %s, mode %s: %s" % (c["report"], c["mode"], c["fatal_signal"] or "crash")
                  for c in crashes]
    known = known_results(reports, names)
    if known:
        lines += ["", "## Known driver behaviour", ""]
        lines += ["- %s, mode %s: %s" % (k["report"], k["mode"], k["label"]) for k in known]
    if skipped:
        lines += ["", "## Not run", ""] + ["- %s: %s" % (s["target"], s["reason"]) for s in skipped]
    lines += ["", "![Frames that differ](compare.png)" if any(
        r["name"] == "Picture" and not r["same"] for r in rows) else
        "Every mode's picture is the same in all reports.", ""]
    return "\n".join(lines)


def known_results(reports, names):
    return [{"report": names[i], "mode": m["id"], "label": label}
            for i, r in enumerate(reports) for m in r["modes"]
            for label in [known_behaviour.label(r, m)] if label]


def new_crashes(reports, names):
    return [{"report": names[i], "mode": m["id"], "fatal_signal": m["fatal_signal"]}
            for i, r in enumerate(reports) for m in r["modes"]
            if known_behaviour.is_new_crash(r, m)]


def same_line(same, n):
    """The rows on which every report agrees, folded into one line, grouped by mode."""
    if not same:
        return "Nothing is the same in all %d." % n
    groups = {}
    for r in same:
        groups.setdefault(r["section"], []).append(r["name"])
    return "Same in all %d: %s." % (n, "; ".join("%s (%s)" % (section, ", ".join(names))
                                                   for section, names in groups.items()))


def frame_of(report, menu):
    return report["frames"][menu]


def picture_rows(reports, rows, baseline):
    laid = []
    for index, mode in enumerate(modes.MODES):
        row = next(r for r in rows if r["section"] == section(mode) and r["name"] == "Picture")
        if row["same"]:
            continue
        frames = [frame_of(r, mode.menu) for r in reports]
        notes = ["%s: %s" % (r["modes"][index]["status"], r["modes"][index]["ending"]["text"])
                 for r in reports]
        reference = baseline if baseline is not None else 0
        if frames[reference] is None:
            reference = next((i for i, f in enumerate(frames) if f is not None), reference)
        laid.append(("Mode %s" % section(mode), frames, notes, reference))
    return laid


def load_all(arguments, baseline_argument):
    """The reports, baseline first when there is one; Refused when one cannot be taken, when
    the same file is named twice (the baseline among the reports too), or for too few or many."""
    named = ([baseline_argument] if baseline_argument is not None else []) + list(arguments)
    if not 2 <= len(named) <= MAX_REPORTS:
        raise Refused("--compare takes 2 to %d reports, the baseline included, not %d"
                      % (MAX_REPORTS, len(named)))
    seen = {}
    for argument in named:
        real = os.path.realpath(result_file.report_path(argument))
        if real in seen:
            raise Refused("%s and %s are the same report%s" % (
                seen[real], argument, "" if baseline_argument is None else
                " (the baseline is not listed again)"))
        seen[real] = argument
    return [result_file.load_report(a) for a in named]


def compare(arguments, out, baseline_argument=None, skipped=()):
    """Loads the reports (Refused when one cannot be taken), writes the three files into out
    and returns the console text."""
    reports = load_all(arguments, baseline_argument)
    baseline = 0 if baseline_argument is not None else None
    names = labels(reports)
    for i, r in enumerate(reports):
        target = r["identity"]["target"]
        if target and target["check"] != "pass":
            names[i] += " (%s)" % target["check"]
    rows = build_rows(reports)
    found = changes(reports, names, baseline) if baseline is not None else None
    text = markdown_text(reports, names, rows, found, skipped, baseline)
    with publish.folder_beside(out) as made:
        laid = picture_rows(reports, rows, baseline)
        if laid:
            pictures.compare_sheet(names, laid, os.path.join(made, "compare.png"))
        result_file.write({
            "format": result_file.COMPARE_FORMAT, "version": result_file.VERSION,
            "reports": [{"label": name, "path": r["path"], "identity": r["identity"]}
                        for name, r in zip(names, reports)],
            "baseline": names[baseline] if baseline is not None else None,
            "rows": rows, "changes": found, "skipped": list(skipped),
            "known": known_results(reports, names),
            "new_crashes": new_crashes(reports, names)}, os.path.join(made, "compare.json"))
        with open(os.path.join(made, "compare.md"), "w", encoding="utf-8") as f:
            f.write(text)
        publish.publish(made, out, OWNED, "compare.json")
    return text


def main(options):
    try:
        text = compare(options.reports, options.out, options.baseline)
    except Refused as refusal:
        print("scripts/report: %s" % refusal, file=sys.stderr)
        return 2
    print(text)
    print("Compare written to %s" % os.path.join(options.out, "compare.md"))
    return 0

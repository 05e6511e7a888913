"""Up to eight reports side by side: compare.md, compare.json (checked against
compare.schema.json) and compare.png, and the table on the console.

Each report is a column labelled from its identity. The identity rows come first; then, per
mode, the rows that differ, and one line naming the rows on which all agree. Debug-message texts
are compared with object names and addresses masked; pictures by the hash of their pixels. With
a baseline, changes are named as regressions (a status got worse), fixes and other changes;
time to first frame counts only when it moves by more than 2x.
"""
import os
import re

from PIL import Image

from . import driver_quirks, pictures, result_file
from .result_file import MODES, Refused

MAX_REPORTS = 8
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
    """renderer, Mesa version, OS and window system of each report, made unique."""
    made, seen = [], {}
    for r in reports:
        ident = r["identity"]
        gl = ident["gl"]
        renderer = re.split(r"\s*\(", gl["renderer"] or "unknown renderer")[0]
        mesa = re.search(r"Mesa [0-9.]*[0-9]", gl["version"] or "")
        parts = [renderer, mesa.group(0) if mesa else ident["mesa_package"] or "no Mesa",
                 short_os(ident["os"]), ident["window_system"]]
        label = " · ".join(p for p in parts if p)
        seen[label] = seen.get(label, 0) + 1
        made.append(label if seen[label] == 1 else "%s #%d" % (label, seen[label]))
    return made


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
    modes = [r["modes"][index] for r in reports]
    known = [driver_quirks.known_bug(r["identity"], m) for r, m in zip(reports, modes)]
    status = ["%s%s%s" % (m["status"], ": " + m["reason"] if m["reason"] else "",
                          " (%s)" % k if k else "") for m, k in zip(modes, known)]
    debug = [[(d["source"], d["type"], d["id"], d["severity"], masked(d["message"]))
              for d in m["debug_messages"]] for m in modes]
    info = [[masked(line) for line in m["info_log"]] for m in modes]
    hashes = [m["frame"]["rgba_sha256"] if m["frame"] else None for m in modes]
    shown_pictures = ["%s (%dx%d)" % (h[:12], m["frame"]["width"], m["frame"]["height"]) if h
                      else "no frame" for h, m in zip(hashes, modes)]
    ms = [m["first_frame_ms"]["median"] for m in modes]
    return [("Status", status, [m["status"] for m in modes]),
            ("Ending", [m["ending"]["text"] for m in modes], [m["ending"]["text"] for m in modes]),
            ("Linked", [str(m["linked"]) for m in modes], [m["linked"] for m in modes]),
            ("Debug messages", [messages_text(m["debug_messages"]) for m in modes], debug),
            ("Info-log lines", ["%d%s" % (len(i), ": " + i[0] if i else "") for i in info], info),
            ("Picture", shown_pictures, hashes),
            ("First frame (ms)", ["%.0f" % v if v is not None else "-" for v in ms],
             [None] * len(ms) if not slower_than_noise(ms) else ms)]


def slower_than_noise(ms):
    values = [v for v in ms if v]
    return len(values) > 1 and max(values) > NOISE * min(values)


def build_rows(reports):
    rows = [{"section": "identity", "name": name, "values": values,
             "same": len(set(values)) == 1} for name, values in identity_rows(reports)]
    for index, (menu, _, name) in enumerate(MODES):
        for row, values, keys in mode_rows(reports, index):
            rows.append({"section": "%s %s" % (menu, name), "name": row, "values": values,
                         "same": all(k == keys[0] for k in keys)})
    return rows


def changes(reports, names, baseline):
    """Against the baseline: regressions, fixes and other changes, one line each."""
    found = {"regressions": [], "fixes": [], "other": []}
    base = reports[baseline]
    for i, r in enumerate(reports):
        if i == baseline:
            continue
        for index, (menu, _, name) in enumerate(MODES):
            rows = mode_rows([base, r], index)
            where = "%s: mode %s %s" % (names[i], menu, name)
            a, b = rows[0][2]
            ra, rb = result_file.rank(a), result_file.rank(b)
            if a != b:
                kind = ("regressions" if rb > ra else "fixes") if None not in (ra, rb) else "other"
                found[kind].append("%s: status %s → %s" % (where, a, b))
            if a != b:
                continue  # what else differs follows from the status
            for row, values, keys in rows[1:]:
                if keys[0] != keys[1]:
                    found["other"].append("%s: %s %s → %s" % (where, row.lower(), values[0],
                                                               values[1]))
    return found


def cell(text):
    return str(text).replace("|", "\\|").replace("\n", " ")


def markdown(reports, names, rows, found, skipped, baseline):
    n = len(reports)
    header = ["| | %s |" % " | ".join(cell(x) for x in names), "|---|%s" % ("---|" * n)]
    lines = ["# Velmor: %d reports compared" % n, ""]
    if baseline is not None:
        lines += ["Baseline: %s." % names[baseline], ""]
    lines += ["## Identity", ""] + header
    lines += ["| %s | %s |" % (r["name"], " | ".join(cell(v) for v in r["values"]))
              for r in rows if r["section"] == "identity"]
    differing = [r for r in rows if r["section"] != "identity" and not r["same"]]
    same = [r for r in rows if r["section"] != "identity" and r["same"]]
    lines += ["", "## Modes", ""]
    if differing:
        lines += header + ["| %s %s | %s |" % (r["section"], r["name"],
                                               " | ".join(cell(v) for v in r["values"]))
                           for r in differing]
        lines.append("")
    lines.append(same_line(same, n))
    if baseline is not None:
        for kind, title in (("regressions", "Regressions"), ("fixes", "Fixes"),
                            ("other", "Other changes")):
            lines += ["", "## %s against the baseline (%d)" % (title, len(found[kind])), ""]
            lines += ["- %s" % line for line in found[kind]] or ["none"]
    known = [(names[i], m["menu"], driver_quirks.known_bug(r["identity"], m))
             for i, r in enumerate(reports) for m in r["modes"]]
    known = [k for k in known if k[2]]
    if known:
        lines += ["", "## Known driver behaviour", ""]
        lines += ["- %s, mode %s: %s" % k for k in known]
    if skipped:
        lines += ["", "## Not run", ""] + ["- %s: %s" % (s["target"], s["reason"]) for s in skipped]
    lines += ["", "![Frames that differ](compare.png)" if any(
        r["name"] == "Picture" and not r["same"] for r in rows) else
        "Every mode's picture is the same in all reports.", ""]
    return "\n".join(lines)


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
    mode = report["modes"][int(menu) - 1]
    if mode["frame"] is None:
        return None
    try:
        return Image.open(os.path.join(report["path"], mode["frame"]["file"]))
    except OSError:
        return None


def picture_rows(reports, names, rows, baseline):
    laid = []
    for index, (menu, _, name) in enumerate(MODES):
        row = next(r for r in rows if r["section"] == "%s %s" % (menu, name) and
                   r["name"] == "Picture")
        if row["same"]:
            continue
        frames = [frame_of(r, menu) for r in reports]
        notes = ["%s: %s" % (r["modes"][index]["status"], r["modes"][index]["ending"]["text"])
                 for r in reports]
        reference = baseline if baseline is not None else 0
        if frames[reference] is None:
            reference = next((i for i, f in enumerate(frames) if f is not None), reference)
        laid.append(("Mode %s %s" % (menu, name), frames, notes, reference))
    return laid


def compare(arguments, out, baseline_argument=None, skipped=()):
    """Loads the reports (Refused when one cannot be taken), writes the three files into out
    and returns the console table."""
    if baseline_argument is not None:
        given = [os.path.realpath(a) for a in arguments]
        if os.path.realpath(baseline_argument) not in given:
            arguments = [baseline_argument, *arguments]
    if not 2 <= len(arguments) <= MAX_REPORTS:
        raise Refused("--compare takes 2 to %d reports, not %d" % (MAX_REPORTS, len(arguments)))
    reports = [result_file.load_report(a) for a in arguments]
    baseline = None
    if baseline_argument is not None:
        baseline = [os.path.realpath(a) for a in arguments].index(
            os.path.realpath(baseline_argument))
    names = labels(reports)
    for i, r in enumerate(reports):
        target = r["identity"]["target"]
        if target and target["check"] != "pass":
            names[i] += " (%s)" % target["check"]
    rows = build_rows(reports)
    found = changes(reports, names, baseline) if baseline is not None else None
    os.makedirs(out, exist_ok=True)
    laid = picture_rows(reports, names, rows, baseline)
    png = os.path.join(out, "compare.png")
    if laid:
        pictures.compare_sheet(names, laid, png)
    elif os.path.exists(png):
        os.remove(png)
    result_file.write({
        "format": result_file.COMPARE_FORMAT, "version": result_file.VERSION,
        "reports": [{"label": name, "path": r["path"], "identity": r["identity"]}
                    for name, r in zip(names, reports)],
        "baseline": names[baseline] if baseline is not None else None,
        "rows": rows, "changes": found, "skipped": list(skipped),
        "known": [{"report": names[i], "mode": m["id"], "label": label}
                  for i, r in enumerate(reports) for m in r["modes"]
                  for label in [driver_quirks.known_bug(r["identity"], m)] if label]},
        os.path.join(out, "compare.json"))
    text = markdown(reports, names, rows, found, skipped, baseline)
    with open(os.path.join(out, "compare.md"), "w", encoding="utf-8") as f:
        f.write(text)
    return text

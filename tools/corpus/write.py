"""What a corpus run writes into OUT, whole or nothing: results.csv and failures.csv (deqp-runner's
layout), corpus.json (checked against corpus.schema.json), summary.md and summary.png, and
cases/CASE/ for the cases that are not all-pass (made by the workers as they go)."""
import collections
import csv
import functools
import io
import json
import os
import pathlib
import shutil
import tempfile

import jsonschema
from PIL import Image, ImageDraw

from .. import markdown, modes, publish
from ..report import pictures
from . import expectations, reduce_new

HERE = os.path.dirname(os.path.abspath(__file__))
FORMAT, VERSION = "velmor-corpus", 1
OWNED = ("results.csv", "failures.csv", "corpus.json", "summary.md", "summary.png", "cases",
         "reductions")
# The folders of an earlier result, moved aside whole before the new one goes in.
FOLDERS = ("cases", "reductions")
# deqp-runner's words for each status of a mode.
DEQP = expectations.FROM_VELMOR
SHEET_CASES = 6  # differing cases shown in summary.png
LISTED = 50  # cases listed by name per group in summary.md


def result_rows(data):
    """(name, Status, duration in seconds) of every mode of every case, and of every test the
    baseline lists that did not run, sorted by name: the statuses once judged against the
    baseline (expectations.result_rows)."""
    return [row[:3] for row in expectations.result_rows(data)]


def csv_text(rows, with_duration=True):
    out = io.StringIO()
    lines = csv.writer(out, lineterminator="\n")
    for name, status, seconds in rows:
        lines.writerow([name, status, "%.3f" % seconds] if with_duration else [name, status])
    return out.getvalue()


def counts(records):
    """{mode id: {status: count}}, and {verdict: count of cases}."""
    per_mode = {m.id: collections.Counter() for m in modes.MODES}
    for c in records:
        for m in c["modes"]:
            per_mode[m["id"]][m["status"]] += 1
    verdicts = collections.Counter(c["verdict"] for c in records)
    return ({mode: dict(sorted(found.items())) for mode, found in per_mode.items()},
            {v: verdicts.get(v, 0) for v in ("agrees", "differs", "not-run")})


@functools.lru_cache(maxsize=None)
def validator():
    """corpus.schema.json's validator; its identity record is report.schema.json's."""
    path = pathlib.Path(HERE, "corpus.schema.json")
    schema = json.loads(path.read_text(encoding="utf-8"))
    kind = jsonschema.validators.validator_for(schema)
    kind.check_schema(schema)
    return kind(schema, resolver=jsonschema.RefResolver(path.as_uri(), schema))


def check(data):
    """Raises jsonschema.ValidationError when data does not follow corpus.schema.json."""
    error = jsonschema.exceptions.best_match(validator().iter_errors(data))
    if error is not None:
        raise error


def document(records, run):
    """corpus.json's content. run: identity, tools, paths, options, interrupted."""
    per_mode, verdicts = counts(records)
    return {"format": FORMAT, "version": VERSION, "interrupted": run["interrupted"],
            "identity": run["identity"], "tools": run["tools"], "paths": run["paths"],
            "options": run["options"], "counts": {"modes": per_mode, "cases": verdicts},
            "cases": sorted(records, key=lambda c: c["name"]),
            # The shard this run was (shards.record), what it was judged against, and the
            # reductions of its NEW crashes (reduce_new.py).
            **{key: run[key] for key in ("shard", "gate", "reductions") if key in run}}


def mode_word(mode_id):
    mode = modes.BY_ID[mode_id]
    return "%s %s" % (mode.menu, mode.label)


def differs_text(case):
    return "; ".join("%s: %s unlike %s" % (d["row"], ", ".join(mode_word(m) for m in d["modes"]),
                                           mode_word(case["reference"]))
                     for d in case["differs"])


def listed(items, line):
    """Lines for up to LISTED items, and one saying how many more."""
    lines = [line(item) for item in items[:LISTED]]
    if len(items) > LISTED:
        lines.append("- ... and %d more (corpus.json has them all)" % (len(items) - LISTED))
    return lines


def status_table(data):
    """The lines of results.csv counted per mode and status, in the words CI reads there."""
    per_mode = {m.id: collections.Counter() for m in modes.MODES}
    for name, status, _ in result_rows(data):
        mode = name.rsplit("@", 1)[-1]
        if mode in per_mode:  # a baseline may list a name of no mode
            per_mode[mode][status] += 1
    statuses = sorted({s for found in per_mode.values() for s in found})
    return markdown.table(["Mode"] + statuses + ["Runs"], [
        [mode_word(m)] + [per_mode[m].get(s, 0) for s in statuses]
        + [sum(n for s, n in per_mode[m].items() if s not in ("Skip", "Missing"))]
        for m in per_mode])


def summary_markdown(data):
    """summary.md: the counts, the cases that differ, the NEW crashes, known behaviour by
    label, and the skips by reason."""
    cases, gl = data["cases"], data["identity"]["gl"]
    verdicts = data["counts"]["cases"]
    table = status_table(data)
    differing = [c for c in cases if c["verdict"] == "differs"]
    new = [(c, m) for c in cases for m in c["modes"]
           if m["label"] and m["label"].startswith("NEW")]
    known = collections.defaultdict(list)
    skips = collections.defaultdict(list)
    for c in cases:
        for m in c["modes"]:
            if m["label"] and not m["label"].startswith("NEW"):
                known[m["label"]].append("%s@%s" % (c["name"], m["id"]))
            if m["status"] == "skip":
                skips[m["reason"]].append("%s@%s" % (c["name"], m["id"]))
    lines = ["# Velmor corpus run", ""]
    if data["interrupted"]:
        lines += ["**Interrupted**: these are the cases that finished before the run was "
                  "stopped.", ""]
    lines += ["- %s; %s; %s" % (gl["renderer"], gl["version"], data["identity"]["window_system"]),
              "- %d cases: %d agree, %d differ, %d with no way that ran" % (
                  len(cases), verdicts["agrees"], verdicts["differs"], verdicts["not-run"]),
              "- glslang %s, %s" % (data["tools"]["glslang"], data["tools"]["spirv_tools"]),
              "- `[test]` and `[vertex data]` sections are not run: Velmor draws its own quad, "
              "with uniforms at their defaults.", "", table, ""]
    lines += ["## Cases that differ (%d)" % len(differing), ""]
    lines += listed(differing, lambda c: "- `%s`: %s%s" % (
        c["name"], differs_text(c), " ([files](%s/))" % c["files"] if c["files"] else ""))
    if differing:
        lines += ["", "![The cases that differ](summary.png)"]
    lines += ["", "## NEW crashes (%d)" % len(new), ""]
    lines += listed(new, lambda cm: "- `%s@%s`: %s; the modules: %s" % (
        cm[0]["name"], cm[1]["id"], cm[1]["reason"] or cm[1]["ending"], ", ".join(
            "[%s](%s/%s)" % (name, cm[0]["files"], name)
            for name in modes.BY_ID[cm[1]["id"]].files.values())))
    lines += ["", "## Known driver behaviour (%d)" % sum(map(len, known.values())), ""]
    for label_text, names in sorted(known.items()):
        lines += ["- %s: %d" % (label_text, len(names))]
        lines += ["  - `%s`" % n for n in names[:5]]
    lines += ["", "## Skips by reason (%d)" % sum(map(len, skips.values())), ""]
    for reason, names in sorted(skips.items(), key=lambda item: (-len(item[1]), item[0])):
        lines += ["- %s: %d" % (reason, len(names))]
    if "gate" in data:
        lines += [""] + expectations.summary_lines(data)
    lines += reduce_new.summary_lines(data)
    return "\n".join(lines) + "\n"


def summary_png(data, made, path):
    """The cases that differ, a row each: the four frames and, for each frame unlike the
    reference's, a difference image. With none, a line saying so."""
    differing = [c for c in data["cases"] if c["verdict"] == "differs"][:SHEET_CASES]
    size = (160, 120)
    rows = []
    for c in differing:
        frames = {m["id"]: load_frame(made, c, m) for m in c["modes"]}
        reference = frames.get(c["reference"])
        panels = [("%s: %s" % (mode_word(m["id"]), m["status"]),
                   pictures.panel(frames[m["id"]], size, m["reason"] or m["status"]))
                  for m in c["modes"]]
        for m in c["modes"]:
            diff = pictures.difference_image(reference, frames[m["id"]], size)
            if m["id"] != c["reference"] and diff is not None and \
                    m["picture_sha256"] != next(x["picture_sha256"] for x in c["modes"]
                                                if x["id"] == c["reference"]):
                panels.append(("difference: %s" % mode_word(m["id"]), diff))
        rows.append((c["name"], panels[:6]))
    if not rows:
        picture = Image.new("RGB", (520, 44), pictures.BACKGROUND)
        ImageDraw.Draw(picture).text((12, 12), "No case differs: every way that ran agrees",
                                     fill="black", font=pictures.font(18, bold=True))
        picture.save(path)
        return
    title = "Cases that differ (red: pixels unlike the reference way)"
    pictures.sheet(rows, max(len(p) for _, p in rows), size, title_height=34,
                   title=title).save(path)


def load_frame(made, case, mode):
    if not case["files"] or mode["picture_sha256"] is None:
        return None
    path = os.path.join(made, case["files"], "mode-%s.png" % mode["menu"])
    try:
        with Image.open(path) as image:
            return image.convert("RGBA")
    except OSError:
        return None


def write_all(made, records, run):
    """Every file of the result into `made` (whose cases/ the workers filled); corpus.json's
    content."""
    data = document(records, run)
    check(data)
    rows = result_rows(data)
    with open(os.path.join(made, "results.csv"), "w", encoding="utf-8") as f:
        f.write(csv_text(rows))
    with open(os.path.join(made, "failures.csv"), "w", encoding="utf-8") as f:
        f.write(csv_text([r for r in rows if not expectations.is_success(r[1])],
                         with_duration=False))
    with open(os.path.join(made, "corpus.json"), "w", encoding="utf-8") as f:
        json.dump(data, f, indent=1, ensure_ascii=False, allow_nan=False)
        f.write("\n")
    with open(os.path.join(made, "summary.md"), "w", encoding="utf-8") as f:
        f.write(summary_markdown(data))
    summary_png(data, made, os.path.join(made, "summary.png"))
    return data


def put_in_place(made, out):
    """The result into OUT whole: an earlier cases/ and reductions/ folder go with the rest of
    the earlier result, corpus.json last."""
    os.makedirs(out, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix=".velmor-corpus-old-",
                                     dir=publish.staging_parent(out)) as trash:
        with publish.signals_held():
            for folder in FOLDERS:
                if os.path.lexists(os.path.join(out, folder)):
                    os.replace(os.path.join(out, folder), os.path.join(trash, folder))
            publish.publish(made, out, OWNED, "corpus.json")
        shutil.rmtree(trash, ignore_errors=True)

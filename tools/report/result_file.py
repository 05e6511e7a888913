"""report.json and compare.json: their versions, and reading them back safely.

Every file written is checked against its JSON Schema first. A file read may come from anywhere,
so each is refused, in one line, before it can hang, exhaust or mislead this tool: one that is
not a regular file or is too large, JSON nested deeper than the format goes, a number that is
not finite or too long, one that fails the schema (which bounds every number, and fixes the four
modes in menu order and each frame's file name), a frame file that is not a regular file inside
the report's folder, or one that does not decode to the size recorded for it.
"""
import functools
import json
import math
import os
import re
import stat
import warnings

import jsonschema
from PIL import Image

from .. import console

REPORT_FORMAT, COMPARE_FORMAT = "velmor-report", "velmor-compare"
VERSION = 2
LARGEST_FILE = 256 << 20  # bytes: a report holds two transcripts per mode, never this much
DEEPEST = 8  # the deepest nesting of arrays and objects the formats have
LONGEST_NUMBER = 24  # characters
HERE = os.path.dirname(os.path.abspath(__file__))
STRING = re.compile(r'"(?:[^"\\]|\\.)*"', re.S)
# No frame of a report is larger; Pillow refuses an image that claims more before decoding it.
Image.MAX_IMAGE_PIXELS = 16384 * 16384


class Refused(Exception):
    """A file that cannot be taken, with the one line that says why."""


@functools.lru_cache(maxsize=None)
def validator(fmt):
    name = "report.schema.json" if fmt == REPORT_FORMAT else "compare.schema.json"
    with open(os.path.join(HERE, name), encoding="utf-8") as f:
        schema = json.load(f)
    kind = jsonschema.validators.validator_for(schema)
    kind.check_schema(schema)
    return kind(schema)


def check(data, fmt):
    """Raises jsonschema.ValidationError when data does not follow the format's schema."""
    error = jsonschema.exceptions.best_match(validator(fmt).iter_errors(data))
    if error is not None:
        raise error


def write(data, path):
    """Checks data against its schema, then writes it as UTF-8 JSON."""
    check(data, data["format"])
    with open(path, "w", encoding="utf-8") as f:
        json.dump(data, f, indent=1, ensure_ascii=False, allow_nan=False)
        f.write("\n")


def regular_file(path, what):
    """Refused unless path is a regular file (a FIFO would hang the read, a device never end)."""
    try:
        found = os.stat(path)
    except OSError as failure:
        raise Refused("cannot read %s: %s" % (what, failure.strerror))
    if not stat.S_ISREG(found.st_mode):
        raise Refused("%s is not a regular file" % what)
    return found


def depth(text):
    """How deep arrays and objects nest in JSON text, strings left out."""
    deepest = level = 0
    for c in STRING.sub('""', text):
        if c in "[{":
            level += 1
            deepest = max(deepest, level)
        elif c in "]}":
            level -= 1
    return deepest


def number(text):
    if len(text) > LONGEST_NUMBER:
        raise ValueError("a number of %d characters" % len(text))
    value = float(text) if any(c in text for c in ".eE") else int(text)
    if not math.isfinite(value):
        raise ValueError("a number out of range: %s" % text[:LONGEST_NUMBER])
    return value


def not_a_number(text):
    raise ValueError("%s is not a JSON number" % text)


def parse(path, what):
    """The JSON in a file, read with every limit above."""
    if regular_file(path, what).st_size > LARGEST_FILE:
        raise Refused("%s is larger than any report (%d MiB)" % (what, LARGEST_FILE >> 20))
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
        if depth(text) > DEEPEST:
            raise Refused("%s nests deeper than the format does" % what)
        return json.loads(text, parse_int=number, parse_float=number,
                          parse_constant=not_a_number)
    except (OSError, UnicodeDecodeError, ValueError) as failure:
        raise Refused("cannot read %s: %s" % (what, failure))


def report_path(argument):
    """The report.json a compare argument names: the file, or report.json in the folder."""
    return os.path.join(argument, "report.json") if os.path.isdir(argument) else argument


def upgraded(data):
    """A version-1 report as version 2: Velmor's own lines come from its standard error; what
    version 1 did not record (the Input variables of each file) is null."""
    for f in data.get("shader_files", []) if isinstance(data.get("shader_files"), list) else []:
        if isinstance(f, dict):
            f.setdefault("input_variables", None)
            f.setdefault("traits", None)
    for m in data.get("modes", []) if isinstance(data.get("modes"), list) else []:
        if isinstance(m, dict) and isinstance(m.get("stderr"), str):
            m.setdefault("velmor_lines", [e.text for e in console.parse(None, m["stderr"])
                                          if e.kind not in ("info-log", "debug", "window-system",
                                                            "unknown")])
    data["version"] = VERSION
    return data


def load_report(argument):
    """The report in a folder (its report.json) or in a file, with its frames loaded (`frames`:
    {menu: image or None}), its folder (`path`) and the version it was written in
    (`recorded_version`); Refused when it is not one we read."""
    path = report_path(argument)
    data = parse(path, argument)
    if not isinstance(data, dict) or data.get("format") != REPORT_FORMAT:
        raise Refused("%s is not a velmor report" % argument)
    version = data.get("version")
    if not isinstance(version, int) or isinstance(version, bool) or version < 1:
        raise Refused("%s is not a velmor report (version %r)" % (argument, version))
    if version > VERSION:
        raise Refused("%s is report version %d, newer than this tool reads (%d)"
                      % (argument, version, VERSION))
    if version == 1:
        data = upgraded(data)
    try:
        check(data, REPORT_FORMAT)
    except jsonschema.ValidationError as failure:
        raise Refused("%s is not a valid velmor report: %s at %s" % (
            argument, failure.message[:200],
            "/".join(map(str, failure.absolute_path)) or "top"))
    # The format it was written in: what an older one did not record cannot be judged.
    data["recorded_version"] = version
    data["path"] = os.path.dirname(os.path.abspath(path))
    data["frames"] = {m["menu"]: load_frame(data["path"], m["frame"], argument)
                      for m in data["modes"]}
    return data


def load_frame(folder, frame, argument):
    """A mode's frame, decoded, or None when there is none or its file was not kept; Refused
    when the file is outside the folder, not a regular file, unreadable, truncated, or not of
    the size recorded."""
    if frame is None:
        return None
    path = os.path.join(folder, frame["file"])
    what = "%s's %s" % (argument, frame["file"])
    if not os.path.lexists(path):
        return None
    if os.path.dirname(os.path.realpath(path)) != os.path.realpath(folder):
        raise Refused("%s leads outside the report's folder" % what)
    regular_file(path, what)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error", Image.DecompressionBombWarning)
            image = Image.open(path)
        with image:
            if image.size != (frame["width"], frame["height"]):
                raise Refused("%s is %dx%d, not the %dx%d recorded" % (
                    what, *image.size, frame["width"], frame["height"]))
            image.load()
            return image.convert("RGBA")
    except (OSError, ValueError, Image.DecompressionBombError,
            Image.DecompressionBombWarning) as failure:
        raise Refused("cannot read %s: %s" % (what, failure))

"""report.json and compare.json: their versions, the ordered statuses, and reading them back.

Every file written is checked against its JSON Schema first; every file read is refused, in one
line, when it is not ours, cannot be read, or comes from a newer version of this tool.
"""
import json
import os

import jsonschema

REPORT_FORMAT, COMPARE_FORMAT = "velmor-report", "velmor-compare"
VERSION = 1
# Worst last. not-supported stands apart: a driver that lacks a feature has not failed.
STATUSES = ("pass", "warn", "fail", "timeout", "crash")
NOT_SUPPORTED = "not-supported"
MODES = (("1", "glsl", "GLSL"), ("2", "glsl-sso", "GLSL SSO"), ("3", "spirv", "SPIRV"),
         ("4", "spirv-sso", "SPIRV SSO"))
HERE = os.path.dirname(os.path.abspath(__file__))


class Refused(Exception):
    """A file that cannot be taken, with the one line that says why."""


def schema(fmt):
    name = "report.schema.json" if fmt == REPORT_FORMAT else "compare.schema.json"
    with open(os.path.join(HERE, name), encoding="utf-8") as f:
        return json.load(f)


def check(data, fmt):
    """Raises jsonschema.ValidationError when data does not follow the format's schema."""
    jsonschema.validate(data, schema(fmt))


def write(data, path):
    """Checks data against its schema, then writes it as UTF-8 JSON."""
    check(data, data["format"])
    with open(path, "w", encoding="utf-8") as f:
        json.dump(data, f, indent=1, ensure_ascii=False)
        f.write("\n")


def load_report(argument):
    """The report in a folder (its report.json) or in a file; Refused when it is not one we read."""
    path = os.path.join(argument, "report.json") if os.path.isdir(argument) else argument
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except (OSError, UnicodeDecodeError, json.JSONDecodeError) as failure:
        raise Refused("cannot read %s: %s" % (argument, failure))
    if not isinstance(data, dict) or data.get("format") != REPORT_FORMAT:
        raise Refused("%s is not a velmor report" % argument)
    version = data.get("version")
    if not isinstance(version, int) or version < 1:
        raise Refused("%s is not a velmor report (version %r)" % (argument, version))
    if version > VERSION:
        raise Refused("%s is report version %d, newer than this tool reads (%d)"
                      % (argument, version, VERSION))
    try:
        check(data, REPORT_FORMAT)
    except jsonschema.ValidationError as failure:
        raise Refused("%s is not a valid velmor report: %s at %s" % (
            argument, failure.message, "/".join(map(str, failure.absolute_path)) or "top"))
    data["path"] = os.path.dirname(os.path.abspath(path))
    return data


def rank(status):
    """The place of a status in the order, or None for not-supported."""
    return STATUSES.index(status) if status in STATUSES else None

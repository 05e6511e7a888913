"""A corpus run against what was expected of it, in deqp-runner's words.

Statuses, best first: Pass, Warn, Skip, ExpectedFail, Flake, KnownFlake count as success;
Fail, Crash, Timeout, Missing and UnexpectedImprovement(X) as failure. A baseline (a previous
failures.csv, or any file of `name,Status` lines) names the status each listed test is expected
to give; a test it does not list is expected to succeed. A result is then:
- ExpectedFail: the failure the baseline names;
- a regression: a failure that is not expected, or worse than the one expected;
- UnexpectedImprovement(X): better than the failure expected (the baseline wants updating);
- Missing: a listed test that did not run;
- KnownFlake: a failure of a test a --flakes pattern matches;
- Flake: an unexpected result whose rerun, in a fresh process, gave another status.
"""
import collections
import os
import re
import sys
import tempfile

from .. import modes

SUCCESS = ("Pass", "Warn", "Skip", "ExpectedFail", "Flake", "KnownFlake")
FAILURE = ("Fail", "Crash", "Timeout", "Missing")
ORDER = SUCCESS + FAILURE
IMPROVEMENT = "UnexpectedImprovement"
# What one run of a test can give, before any expectation is applied.
RAW = ("Pass", "Warn", "Skip", "Fail", "Crash", "Timeout", "Missing")
# A baseline says what a test gives: these are verdicts on that, never what a test gives.
NOT_EXPECTABLE = ("ExpectedFail", "Flake", "KnownFlake")
# velmor's statuses (tools/verdict.py) as deqp-runner's. A run whose display went away is a Fail:
# unexpected, it runs again, and a rerun that draws makes it a Flake.
FROM_VELMOR = {"pass": "Pass", "warn": "Warn", "fail": "Fail", "timeout": "Timeout",
               "crash": "Crash", "not-supported": "Skip", "skip": "Skip", "invalid": "Fail"}
IMPROVED = re.compile(r"UnexpectedImprovement\((\w+)\)\Z")
# Kinds of outcome: what the summary and the exit status are made of.
EXPECTED, REGRESSION, IMPROVED_KIND, MISSING, KNOWN_FLAKE, FLAKE = (
    "expected", "regression", "improvement", "missing", "known-flake", "flake")
UNEXPECTED = (REGRESSION, IMPROVED_KIND, MISSING)


class BadFile(ValueError):
    """A baseline, skips or flakes file that cannot be used: one line, FILE:LINE: why."""


def status_word(text):
    """The status text names, or None: a word of ORDER, or UnexpectedImprovement(X) of a
    status X a test can give."""
    if text in ORDER:
        return text
    improved = IMPROVED.match(text)
    if improved and improved[1] in RAW and improved[1] != "Missing":
        return text
    return None


def is_success(status):
    return status in SUCCESS


def rank(status):
    """The place of a status a test can give in the order: a larger one is worse."""
    return ORDER.index(status)


def expected_of(status):
    """The status a baseline line expects: UnexpectedImprovement(X), copied from an earlier
    failures.csv, expects X."""
    improved = IMPROVED.match(status)
    return improved[1] if improved else status


def lines_of(path):
    """(line number, text) of each line that is neither blank nor a # comment."""
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except (OSError, UnicodeDecodeError) as error:
        raise BadFile("%s: cannot be read (%s)" % (path, getattr(error, "strerror", error)))
    for number, line in enumerate(lines, 1):
        text = line.strip()
        if text and not text.startswith("#"):
            yield number, text


def read_baseline(path):
    """{name: expected status} from a baseline file: `name,Status`, or `name,Status,seconds` as
    results.csv has it. Refuses (BadFile) a malformed line, an unknown word, a name listed
    twice."""
    expected, first = {}, {}
    for number, text in lines_of(path):
        fields = [f.strip() for f in text.split(",")]
        where = "%s:%d" % (path, number)
        if len(fields) not in (2, 3) or not fields[0]:
            raise BadFile("%s: not a line `name,Status`: %s" % (where, text))
        name, word = fields[0], status_word(fields[1])
        if word is None:
            raise BadFile("%s: %r is not a status (%s, UnexpectedImprovement(X))"
                          % (where, fields[1], ", ".join(ORDER)))
        if word in NOT_EXPECTABLE:
            raise BadFile("%s: %s is a verdict of a run, not a status a test gives%s"
                          % (where, word, "; list flaky tests in --flakes" if "Flake" in word
                             else ""))
        if name in first:
            raise BadFile("%s: %s is listed twice (first on line %d)"
                          % (where, name, first[name]))
        first[name] = number
        expected[name] = expected_of(word)
    return expected


def read_patterns(path):
    """The regular expressions of a skips or flakes file, one a line; a test matches when one is
    found anywhere in its name, as deqp-runner matches them."""
    patterns = []
    for number, text in lines_of(path):
        try:
            patterns.append(re.compile(text))
        except re.error as error:
            raise BadFile("%s:%d: not a regular expression (%s): %s" % (path, number, error, text))
    return patterns


def matches(patterns, name):
    return any(p.search(name) for p in patterns)


def judge(result, expected=None, flaky=False):
    """(status, kind) of a test that gave `result` (one of RAW), where the baseline expects
    `expected` (None: it does not list the test) and `flaky` says a --flakes pattern matches."""
    if is_success(result):
        if expected is not None and not is_success(expected):
            return "%s(%s)" % (IMPROVEMENT, result), IMPROVED_KIND
        return result, EXPECTED
    if result == expected:
        return "ExpectedFail", EXPECTED
    if flaky and result != "Missing":
        return "KnownFlake", KNOWN_FLAKE
    if expected is not None and rank(result) < rank(expected):
        return "%s(%s)" % (IMPROVEMENT, result), IMPROVED_KIND
    return result, MISSING if result == "Missing" else REGRESSION


def unexpected(kind):
    return kind in UNEXPECTED


def after_rerun(first, second):
    """The outcome of an unexpected result `first` = (status, kind) once it was run again and
    judged `second`: Flake when the status changed, else the first as it stands."""
    if second[0] != first[0]:
        return "Flake", FLAKE
    return first


def missing(baseline, ran, ours=lambda name: True):
    """Names the baseline lists that did not run, sorted; `ours` says which names this run was
    to run at all (a shard runs a part, a --skips pattern leaves some out)."""
    return sorted(n for n in baseline if n not in ran and ours(n))


def exit_status(kinds):
    """0 when nothing was unexpected, else 1."""
    return 1 if any(unexpected(k) for k in kinds) else 0


def baseline_text(rows):
    """The baseline a run implies, from (name, result, status, reason) of every test (its
    result as run, and its status once judged): each failure but the flaky ones, sorted, its
    reason as a comment above it. Flaky tests belong in a --flakes file; a Missing one is gone."""
    out = ["# name,Status: the failures this run gave, each with its reason above it."]
    for name, status, final, reason in sorted(rows):
        if status in FAILURE and status != "Missing" and final not in ("Flake", "KnownFlake"):
            why = " ".join((reason or status).split())
            out.append("# %s\n%s,%s" % (why, name, status))
    return "\n".join(out) + "\n"


# What a corpus run and its files make of the above.

Gate = collections.namedtuple("Gate", "baseline skips flakes files")
# --skips: a mode of a case that a pattern matches does not run.
SKIPPED_REASON = "skipped: matches a --skips pattern"


def add_arguments(parser):
    parser.add_argument("--baseline", metavar="FILE",
                        help="the expected failures: a previous failures.csv, or name,Status lines")
    parser.add_argument("--skips", metavar="FILE", help="regular expressions of tests not to run")
    parser.add_argument("--flakes", metavar="FILE",
                        help="regular expressions of tests whose failures are KnownFlake")
    parser.add_argument("--update-baseline", metavar="FILE", type=file_to_write,
                        help="write the baseline this run implies into FILE")


def file_to_write(text):
    """A file the run can write at its end: refused before anything runs, not after."""
    import argparse

    folder = os.path.dirname(os.path.abspath(text)) if text else ""
    if not text or os.path.isdir(text) or not os.access(folder, os.W_OK | os.X_OK):
        raise argparse.ArgumentTypeError("cannot write a file at %r" % text)
    return text


def load_gate(options):
    """The Gate of the command line's files; BadFile (one line) when one cannot be used."""
    baseline = read_baseline(options.baseline) if options.baseline else None
    skips = read_patterns(options.skips) if options.skips else []
    flakes = read_patterns(options.flakes) if options.flakes else []
    files = {"baseline": options.baseline, "skips": options.skips, "flakes": options.flakes}
    return Gate(baseline, skips, flakes, {k: v and os.path.abspath(v) for k, v in files.items()})


def skipped_modes(gate, case_name, mode_ids):
    """{mode id: ("skip", reason)} of the modes of a case a --skips pattern matches."""
    return {m: ("skip", SKIPPED_REASON) for m in mode_ids
            if matches(gate.skips, "%s@%s" % (case_name, m))}


def mode_results(record):
    """{mode id: (result, reason)} of a case's record: velmor's status in deqp-runner's word. A
    mode the case's agreement names as unlike its reference way, that would otherwise succeed,
    is Fail, the reason naming the rows."""
    unlike = collections.defaultdict(list)
    for row in record["differs"]:
        for mode_id in row["modes"]:
            unlike[mode_id].append(row["row"])
    results = {}
    for mode in record["modes"]:
        result, reason = FROM_VELMOR[mode["status"]], mode["reason"]
        if unlike.get(mode["id"]) and result in ("Pass", "Warn"):
            reference = modes.BY_ID[record["reference"]]
            result, reason = "Fail", "unlike mode %s (%s) in its %s" % (
                reference.menu, reference.label, " and ".join(unlike[mode["id"]]))
        results[mode["id"]] = (result, reason)
    return results


def judged_modes(record, gate):
    """{mode id: corpus.json's gate record of the mode}: result, expected, status, kind."""
    judged = {}
    for mode_id, (result, reason) in mode_results(record).items():
        name = "%s@%s" % (record["name"], mode_id)
        # A test left out by --skips was not run: whatever the baseline says of it stands.
        expected = (gate.baseline.get(name) if gate.baseline is not None
                    and not matches(gate.skips, name) else None)
        status, kind = judge(result, expected, matches(gate.flakes, name))
        judged[mode_id] = {"result": result, "reason": reason, "expected": expected,
                           "status": status, "kind": kind, "rerun": None}
    return judged


def settle(record, gate, rerun):
    """Judges each mode of a case's record against the gate, into record["gate"]. Where one is
    unexpected, the whole case runs once more (its ways are held against each other, so one
    mode alone cannot be judged again): rerun() gives the new record, or None when the run is
    being stopped. A mode whose status changes is Flake; the second run is kept as
    record["rerun"]."""
    first = judged_modes(record, gate)
    if any(unexpected(j["kind"]) for j in first.values()):
        again = rerun()
        if again is not None:
            second = judged_modes(again, gate)
            for mode_id, j in first.items():
                if unexpected(j["kind"]):
                    j["status"], j["kind"] = after_rerun(
                        (j["status"], j["kind"]), (second[mode_id]["status"],
                                                   second[mode_id]["kind"]))
                    j["rerun"] = second[mode_id]["result"]
            record["rerun"] = {k: again[k] for k in ("modes", "verdict", "reference", "differs")}
    record["gate"] = first
    return record


def missing_tests(gate, ran, ours):
    """corpus.json's records of the tests the baseline lists that did not run (see missing); a
    test --skips leaves out was not to run."""
    if gate.baseline is None:
        return []
    found = []
    for name in missing(gate.baseline, ran, lambda n: ours(n) and not matches(gate.skips, n)):
        status, kind = judge("Missing", gate.baseline[name], matches(gate.flakes, name))
        found.append({"name": name, "expected": gate.baseline[name], "status": status,
                      "kind": kind})
    return found


def result_rows(data):
    """(name, status, seconds, reason, result) of every test of corpus.json's content, sorted:
    what results.csv, failures.csv, the JUnit file and the next baseline are made of."""
    rows = []
    for case in data["cases"]:
        gate = case.get("gate") or {m: dict(zip(("result", "reason"), r), status=r[0])
                                    for m, r in mode_results(case).items()}
        for mode in case["modes"]:
            j = gate[mode["id"]]
            rows.append(("%s@%s" % (case["name"], mode["id"]), j["status"], mode["seconds"],
                         j["reason"], j["result"]))
    for m in (data.get("gate") or {}).get("missing", []):
        rows.append((m["name"], m["status"], 0.0, "listed in the baseline, not run", "Missing"))
    return sorted(rows)


def kinds_of(data):
    """The kind of every test: its mode's gate record's, and the missing ones'."""
    return [j["kind"] for c in data["cases"] for j in (c.get("gate") or {}).values()] + [
        m["kind"] for m in (data.get("gate") or {}).get("missing", [])]


def gate_record(gate, missing_found, data):
    """corpus.json's "gate": the files, the missing tests and the count of unexpected ones."""
    record = dict(gate.files, missing=missing_found, unexpected=0)
    record["unexpected"] = sum(unexpected(k) for k in kinds_of(dict(data, gate=record)))
    return record


def summary_lines(data):
    """summary.md's section on what CI gates on: the unexpected tests by kind, then the new
    flakes apart from the known ones."""
    by_kind = collections.defaultdict(list)
    for case in data["cases"]:
        for mode_id, j in (case.get("gate") or {}).items():
            by_kind[j["kind"]].append(("%s@%s" % (case["name"], mode_id), j))
    for m in (data.get("gate") or {}).get("missing", []):
        by_kind[m["kind"]].append((m["name"], dict(m, reason="listed in the baseline, not run")))
    gate = data.get("gate") or {}
    lines = ["## Against the baseline: %d unexpected" % gate.get("unexpected", 0), "",
             "- baseline: %s; flakes: %s; skips: %s" % tuple(
                 "`%s`" % gate[k] if gate.get(k) else "none"
                 for k in ("baseline", "flakes", "skips")), ""]
    titles = ((REGRESSION, "Regressions"), (IMPROVED_KIND, "Unexpected improvements"),
              (MISSING, "Missing"), (FLAKE, "New flakes (add them to the flakes file)"),
              (KNOWN_FLAKE, "Known flakes"))
    for kind, title in titles:
        found = sorted(by_kind.get(kind, []), key=lambda item: item[0])
        lines += ["### %s (%d)" % (title, len(found)), ""]
        lines += ["- `%s`: %s" % (name, summary_words(j)) for name, j in found[:50]]
        if len(found) > 50:
            lines.append("- ... and %d more (results.csv has them all)" % (len(found) - 50))
        lines.append("")
    return lines


def summary_words(j):
    """A test's line in the summary: its status, what was expected, its rerun, its reason."""
    words = [j["status"]]
    if j.get("expected"):
        words.append("expected %s" % j["expected"])
    if j.get("rerun"):
        words.append("%s, then %s on its rerun" % (j["result"], j["rerun"]))
    if j.get("reason"):
        words.append(" ".join(j["reason"].split()))
    return "; ".join(words)


def write_atomically(path, text):
    """text into path through a file beside it: a reader never sees half of it."""
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(prefix=".%s." % os.path.basename(path), dir=folder)
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as f:
            f.write(text)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def write_baseline(options, data):
    """--update-baseline: the baseline the run implies, written whole. A run stopped half way
    implies none: the failures of the cases it did not finish would drop out."""
    if options.update_baseline and data["interrupted"]:
        print("scripts/corpus: the run was stopped: %s is left as it was"
              % options.update_baseline, file=sys.stderr)
    elif options.update_baseline:
        write_atomically(options.update_baseline, baseline_text(
            [(name, result, status, reason)
             for name, status, _, reason, result in result_rows(data)]))


def ours(name, shard_cases, corpus_cases, first_shard, include=None):
    """Whether a test the baseline lists was this run's to run: its case is in this shard, or
    in no shard at all and this is the first one (so that one shard reports it); a case
    --include leaves out is no one's."""
    case = name.rpartition("@")[0]
    if include is not None and not include.search(case):
        return False
    return case in shard_cases or (first_shard and case not in corpus_cases)

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
import re

SUCCESS = ("Pass", "Warn", "Skip", "ExpectedFail", "Flake", "KnownFlake")
FAILURE = ("Fail", "Crash", "Timeout", "Missing")
ORDER = SUCCESS + FAILURE
IMPROVEMENT = "UnexpectedImprovement"
# What one run of a test can give, before any expectation is applied.
RAW = ("Pass", "Warn", "Skip", "Fail", "Crash", "Timeout", "Missing")
# A baseline says what a test gives: these are verdicts on that, never what a test gives.
NOT_EXPECTABLE = ("ExpectedFail", "Flake", "KnownFlake")
# velmor's statuses (tools/verdict.py) as deqp-runner's. A run whose display went away gave no
# result about the driver: Missing, as a test whose process died before it ran.
FROM_VELMOR = {"pass": "Pass", "warn": "Warn", "fail": "Fail", "timeout": "Timeout",
               "crash": "Crash", "not-supported": "Skip", "skip": "Skip", "invalid": "Missing"}
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

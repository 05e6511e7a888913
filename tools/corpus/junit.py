"""JUnit XML of a corpus run, as GitLab's merge-request page reads it.

One testcase per case and mode: classname the case, name the mode id, time in seconds. A
failure carries its status as type and its reason as message, with the transcript in
system-out; a skip is `skipped`. Only the first `limit` failures are written in full: the rest
are counted in one extra testcase, so that a driver that fails everything still gives a file
GitLab takes (it refuses one over 30 MB). A transcript keeps its last TRANSCRIPT_TAIL characters.
The file is written as a stream: a corpus of thousands of cases is not held as a tree.
"""
import os
import re
import tempfile
from xml.sax.saxutils import escape, quoteattr

from . import expectations

TRANSCRIPT_TAIL = 16384
SUITE = "velmor-corpus"
# Characters XML 1.0 cannot hold, even escaped: a transcript may carry any byte.
NOT_XML = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")


def text(value):
    return NOT_XML.sub("\ufffd", value or "")


def attribute(value):
    return quoteattr(text(value))


def split_name(name):
    """(case, mode id) of a results.csv name CASE@MODE-ID."""
    case, _, mode = name.rpartition("@")
    return (case, mode) if case else (name, "")


def tail(transcript):
    transcript = text(transcript)
    if len(transcript) <= TRANSCRIPT_TAIL:
        return transcript
    return "[%d characters before these cut]\n%s" % (len(transcript) - TRANSCRIPT_TAIL,
                                                     transcript[-TRANSCRIPT_TAIL:])


def counts(rows, limit):
    """tests, failures and skips the suite declares: omitted failures count as one test."""
    failures = sum(1 for r in rows if not expectations.is_success(r[1]))
    skips = sum(1 for r in rows if r[1] == "Skip")
    extra = 1 if failures > limit else 0
    return len(rows) - max(0, failures - limit) + extra, min(failures, limit) + extra, skips


def testcase(row, transcript):
    """One testcase element. row: (name, status, seconds, reason)."""
    name, status, seconds, reason = row
    case, mode = split_name(name)
    head = "<testcase classname=%s name=%s time=\"%.3f\">" % (
        attribute(case), attribute(mode), float(seconds or 0))
    body = ""
    if status == "Skip":
        body = "<skipped message=%s/>" % attribute(reason or "Skip")
    elif not expectations.is_success(status):
        body = "<failure type=%s message=%s>%s</failure>" % (
            attribute(status), attribute(reason or status), escape(text(status)))
        body += "<system-out>%s</system-out>" % escape(tail(transcript(name)))
    elif status != "Pass":
        # ExpectedFail, Flake, KnownFlake, Warn: passed, with the word where a reader looks.
        body = "<system-out>%s</system-out>" % escape(text("%s: %s" % (status, reason or "")))
    return head + body + "</testcase>\n"


def write(path, rows, transcript=lambda name: None, limit=500):
    """Writes the JUnit file of rows (name, status, seconds, reason), sorted by name, with
    transcript(name) the text of a failed run (None: none kept). Returns the failures left out."""
    rows = sorted(rows)
    tests, failures, skips = counts(rows, limit)
    total = sum(float(r[2] or 0) for r in rows)
    written = 0
    with open(path, "w", encoding="utf-8") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n')
        head = "name=%s tests=\"%d\" failures=\"%d\" errors=\"0\" skipped=\"%d\" time=\"%.3f\"" % (
            attribute(SUITE), tests, failures, skips, total)
        f.write("<testsuites %s>\n<testsuite %s>\n" % (head, head))
        for row in rows:
            if not expectations.is_success(row[1]):
                written += 1
                if written > limit:
                    continue
            f.write(testcase(row, transcript))
        left = max(0, written - limit)
        if left:
            f.write(testcase(("%s@more-failures" % SUITE, "Fail", 0,
                              "%d more failures, not listed here: see failures.csv" % left),
                             lambda name: None))
        f.write("</testsuite>\n</testsuites>\n")
    return left


def add_arguments(parser):
    parser.add_argument("--junit", metavar="FILE", type=expectations.file_to_write,
                        help="JUnit XML of the results, for CI")
    parser.add_argument("--junit-limit", metavar="N", type=count, default=500,
                        help="failures written in full into the JUnit file (default 500)")


def count(text):
    import argparse

    if not text.isdigit():
        raise argparse.ArgumentTypeError("needs a whole number, not %r" % text)
    return int(text)


def transcripts(data, out):
    """transcript(name): a failed mode's standard output and error, as the run kept them in
    OUT/cases/CASE/, or None."""
    kept = {"%s@%s" % (c["name"], m["id"]): os.path.join(out, c["files"], "mode-%s" % m["menu"])
            for c in data["cases"] if c["files"] for m in c["modes"]}

    def transcript(name):
        if name not in kept:
            return None
        texts = []
        for stream in ("stdout", "stderr"):
            try:
                with open("%s.%s.txt" % (kept[name], stream), encoding="utf-8",
                          errors="replace") as f:
                    texts.append("%s:\n%s" % (stream, f.read()))
            except OSError:
                pass
        return "\n".join(texts) or None

    return transcript


def write_file(options, data, out):
    """--junit: the JUnit file of a result in OUT, made beside it and renamed into place."""
    if not options.junit:
        return
    rows = [(name, status, seconds, reason)
            for name, status, seconds, reason, _ in expectations.result_rows(data)]
    folder = os.path.dirname(os.path.abspath(options.junit))
    handle, temporary = tempfile.mkstemp(prefix=".junit.", dir=folder)
    os.close(handle)
    try:
        write(temporary, rows, transcripts(data, out), options.junit_limit)
        os.replace(temporary, options.junit)
    except BaseException:
        os.unlink(temporary)
        raise

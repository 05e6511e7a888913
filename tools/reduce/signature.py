"""What a run of one mode showed, reduced to what must stay the same while a module shrinks.

A signature is a dict: {"kind": "crash", "signal", "phase"}, {"kind": "hang"} or
{"kind": "verdict", "source": "debug" | "info-log", "text"} (the first High-severity debug
message or info-log line, names and addresses masked). None: the mode passed. Two more kinds are
never the driver's: {"kind": "velmor", "text"} (velmor refused a stage itself) and
{"kind": "display-lost"}.
"""
import re
import signal

from .. import console

# Names the driver quotes, ids and addresses change as a module shrinks; the verdict does not.
MASKS = (
    (re.compile(r"0x[0-9a-fA-F]+"), "0x?"),
    (re.compile(r"\"[^\"]*\"|'[^']*'|`[^`]*'"), "\"?\""),
    (re.compile(r"%[A-Za-z0-9_]+"), "%?"),
)


def mask(text):
    for pattern, replacement in MASKS:
        text = pattern.sub(replacement, text)
    return text.strip()


def of_run(events, status, hung):
    """The signature of a run: its console events, its exit status (minus the signal that
    killed it, None when it drew and closed cleanly) and whether it hung."""
    if hung:
        return {"kind": "hang"}
    # Not the driver's answer: velmor refused a stage itself, or lost its display.
    refused = console.own_failures(events)
    if refused:
        return {"kind": "velmor", "text": refused[0].text}
    if console.display_lost(events):
        return {"kind": "display-lost"}
    fatal = console.first(events, "fatal")
    if fatal or (status is not None and status < 0):
        return {"kind": "crash", "signal": fatal.fields["signal"] if fatal else signal_of(status),
                "phase": fatal.fields["phase"] if fatal else None}
    for event in events:
        if event.kind == "debug" and event.fields["severity"] == "High":
            return {"kind": "verdict", "source": "debug", "text": mask(event.fields["message"])}
        if event.kind == "info-log":
            return {"kind": "verdict", "source": "info-log", "text": mask(event.fields["lines"][0])}
    return None


def signal_of(status):
    try:
        return signal.Signals(-status).name
    except ValueError:
        return "signal %d" % -status


def describe(signature):
    """The signature in words, for the console and the README."""
    if signature is None:
        return "passes"
    if signature["kind"] == "hang":
        return "hangs (no frame, no exit)"
    if signature["kind"] == "velmor":
        return "velmor refused a stage: " + signature["text"]
    if signature["kind"] == "display-lost":
        return "the display was lost"
    if signature["kind"] == "crash":
        return "%s during %s" % (signature["signal"], signature["phase"] or "an unknown phase")
    return "%s: %s" % ("debug message" if signature["source"] == "debug" else "info log",
                       signature["text"])

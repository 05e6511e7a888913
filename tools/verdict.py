"""The judge: one status and reason per mode, from velmor's console events and how it ended.

Statuses, best first: pass < warn < fail < timeout < crash; not-supported and invalid stand
apart (a driver that lacks a feature has not failed; a run whose display went away says nothing
of the driver). The rules, in the order they are tried:
- invalid: the window system says the display went away (or could not be opened) during a run;
- timeout: velmor neither drew nor ended in the time given;
- crash: a signal ended it, or it wrote its fatal-signal line without drawing;
- not-supported: it drew nothing and velmor or the window system names a missing capability;
- fail: a stage velmor could not build (its file missing or unreadable, refused by the
  validator, refused by the GLSL compiler, refused by the GL), whatever was drawn; closing the
  window ended it with a non-zero status; it drew nothing; it drew only black;
- warn: the GL's own words: info-log text, or a High-severity debug message;
- pass: none of the above.
"""
import collections

from . import console

Verdict = collections.namedtuple("Verdict", "status reason")
# stage ("fragment", "vertex" or None when the console cannot tell), file, why.
Unbuilt = collections.namedtuple("Unbuilt", "stage file why")

STATUSES = ("pass", "warn", "fail", "timeout", "crash")
MISSING = "missing or unreadable"
COMPILER_REFUSED = "refused by the GLSL compiler"
GL_REFUSED = "refused by the GL (see the debug messages)"


def rank(status):
    """The place of a status in the order, or None for those that stand apart."""
    return STATUSES.index(status) if status in STATUSES else None


def compile_errors(events):
    return [m for m in console.debug_messages(events)
            if m["source"] == "Shader Compiler" and m["type"] == "Error"]


def unbuilt_stages(mode, events, present):
    """The stages velmor could not build, in build order. mode: a tools.modes.Mode; present:
    {file name: whether it was there and readable}. A linked program stops at its first stage
    that fails; separable programs try every stage."""
    refused = {e.fields["file"]: e.fields["reason"]
               for e in console.of_kind(events, "invalid-spirv")}
    found, tried = [], []
    for stage in mode.build_order:
        name = mode.files[stage]
        why = (MISSING if not present.get(name) else
               "refused by the validator: " + refused[name] if name in refused else None)
        if why:
            found.append(Unbuilt(stage, name, why))
            if not mode.separable:
                return found
        else:
            tried.append(stage)
    # What the console tells no file of: velmor's "Failed to open file" of a GLSL stage that
    # did not compile, the compiler's own errors, or a "Linked" line missing.
    if mode.language == "glsl":
        unexplained = max(len(console.of_kind(events, "failed-to-open")) - len(found),
                          len(compile_errors(events)) if tried else 0)
        why = COMPILER_REFUSED
    else:
        unexplained = mode.linked - console.linked_count(events) - (
            len(found) if mode.separable else bool(found))
        why = GL_REFUSED
    if unexplained > 0 and tried:
        if len(tried) <= unexplained:
            found += [Unbuilt(stage, mode.files[stage], why) for stage in tried]
        else:
            found.append(Unbuilt(None, " or ".join(mode.files[s] for s in tried), why))
    return found


def unbuilt_text(unbuilt):
    return "; ".join("%s (%s): %s" % ("%s stage" % u.stage if u.stage else "a stage", u.file,
                                      u.why) for u in unbuilt)


def not_supported(events):
    """Why the driver cannot run the mode, from velmor's or the window system's own words."""
    missing = console.first(events, "capability")
    if missing:
        return "no " + missing.fields["missing"]
    if console.no_context(events):
        return "no OpenGL 4.5 core context (GLXBadFBConfig)"
    headless = console.first(events, "headless-error")
    return headless.fields["reason"] if headless else None


def judge(mode, events, ending, drew, present):
    """mode: tools.modes.Mode; events: console.parse of both transcripts; ending: report.json's
    ending record; drew: "nothing", "black" or "picture"; present: {file name: bool}."""
    if console.display_lost(events):
        return Verdict("invalid", "the display went away during the run: not a driver result")
    if ending["hung_after_s"] is not None:
        return Verdict("timeout", None)
    fatal = console.first(events, "fatal")
    if ending["signal"] is not None or (drew == "nothing" and fatal is not None):
        return Verdict("crash", fatal.text if fatal else None)
    lacking = not_supported(events) if drew == "nothing" else None
    if lacking:
        return Verdict("not-supported", lacking)
    if console.first(events, "invalid-entry"):
        return Verdict("fail", "velmor refused the menu choice")
    unbuilt = unbuilt_stages(mode, events, present)
    if unbuilt:
        return Verdict("fail", "not built: " + unbuilt_text(unbuilt))
    if ending["at_close"] and ending["exit_status"] != 0:
        return Verdict("fail", ending["text"])
    if drew == "nothing":
        return Verdict("fail", "drew nothing: " + ending["text"])
    if drew == "black":
        return Verdict("fail", "drew only black")
    if console.info_log_lines(events) or any(
            m["severity"] == "High" for m in console.debug_messages(events)):
        return Verdict("warn", None)
    return Verdict("pass", None)

"""The one reading of velmor's console: its transcript, as typed events.

velmor (velmor.exe under Wine, velmor-headless on EGL) writes the menu and "Linked" on standard
output; on standard error its own lines, the GL's info logs and debug messages, the fatal-signal
line, and whatever the window system adds. `parse` turns either stream, or both merged, into
Event(kind, text, fields) in the order written; see KINDS. Every tool and test that reads a
transcript goes through here, so that the line shapes are written down once.
"""
import collections
import re

from . import modes

# kind (one of KINDS), text (the whole line or block, without its last line end), fields (a
# dict, by kind).
Event = collections.namedtuple("Event", "kind text fields")

KINDS = ("menu", "linked", "version", "capability", "glew-error", "invalid-entry",
         "failed-to-open", "invalid-spirv", "info-log", "debug", "fatal", "window-system",
         "headless-error", "device", "unknown")

LINKED = "Linked"
MENU = modes.menu_text()
MENU_LINES = MENU.splitlines()
VERSION_PREFIX = "Supported Opengl version: "
INVALID_ENTRY = "Invalid Entry"
FAILED_TO_OPEN = "Failed to open file"
CAPABILITIES = {
    "GL_ARB_separate_shader_objects is not supported": "separate shader objects",
    "failed to init the separate shader extension": "separate shader entry points",
    "GL_ARB_gl_spirv is not supported": "GL_ARB_gl_spirv",
}
# The words velmor gives each field of a debug message; UNKNOW for a value outside its table.
SOURCES = ("OpenGL", "Windows", "Shader Compiler", "Third Party", "Application", "Other",
           "UNKNOW")
TYPES = ("Error", "Deprecated behavior", "Undefined behavior", "Portability", "Performance",
         "Other", "UNKNOW")
SEVERITIES = ("High", "Med", "Low", "Notification", "UNKNOW")


def _one_of(words):
    return "(?:%s)" % "|".join(map(re.escape, words))


def debug_pattern(source=None, type=None, severity=None, message=".*"):
    """A regular expression (text, no groups) for one debug-message line, without its line end;
    the fields not given take any value velmor writes."""
    return "Source:%s\tType:%s\tID:-?[0-9]+\tSeverity:%s\tMessage:%s" % (
        re.escape(source) if source else _one_of(SOURCES), re.escape(type) if type else
        _one_of(TYPES), re.escape(severity) if severity else _one_of(SEVERITIES), message)


# Each pattern matches one whole line, without its line end.
DEBUG_LINE = re.compile(
    "Source:(?P<source>%s)\tType:(?P<type>%s)\tID:(?P<id>-?[0-9]+)\tSeverity:(?P<severity>%s)"
    "\tMessage:(?P<message>.*)" % (_one_of(SOURCES), _one_of(TYPES), _one_of(SEVERITIES)))
VERSION_LINE = re.compile(re.escape(VERSION_PREFIX) + "(?P<version>.*)")
GLEW_ERROR = re.compile("Error: (?P<reason>.*)")
NOT_VALID_SPIRV = " is not valid SPIR-V: "  # after the file's name, before the validator's reason
INVALID_SPIRV = re.compile("(?P<file>.*?)%s(?P<reason>.*)" % re.escape(NOT_VALID_SPIRV))
FATAL_LINE = re.compile(r"Fatal signal (?P<signal>[A-Z0-9]+) during (?P<phase>.+)")
# velmor-headless names itself on each of its own failure lines.
HEADLESS_ERROR = re.compile(r"velmor-headless: (?P<reason>.+)")
# One EGL device, as velmor-headless --list-devices lists it.
DEVICE_LINE = re.compile(r"(?P<index>[0-9]+): (?P<type>[^;]*); node (?P<node>[^;]*); "
                         r"driver (?P<driver>[^;]*); extensions (?P<extensions>.*)")
# What Xlib, freeglut, Wine (with freeglut's Win32 back end) and Mesa's loaders print themselves.
WINDOW_SYSTEM_LINE = re.compile(
    r"X Error of failed request: .*|  (?:Major|Minor) opcode of failed request: .*"
    r"|  (?:Serial number|Value|Resource id|Atom id) in failed request: .*"
    r"|  Serial number of failed request: .*|  Current serial number in output stream: .*"
    r"|freeglut \(.*?\): .*|This is quite likely caused by a bad '-display' parameter"
    r"|(?P<lost>X connection to .* broken .*|XIO: +fatal IO error .*"
    r"|XIO: +\d+ requests? \(\d+ known processed\) with \d+ events? remaining\.?)"
    r"|MESA-LOADER: .*|libGL error: .*|libGL warning: .*|libEGL warning: .*|libEGL error: .*"
    r"|glx: .*|failed to load driver: .*")
# Lines that mean the display went away under velmor: not a verdict of the driver.
DISPLAY_LOST = re.compile(r"freeglut \(.*?\): failed to open display .*")


def lines_of(text):
    """The lines of a transcript, Windows' CRLF line ends taken as LF."""
    lines = text.replace("\r\n", "\n").split("\n")
    return lines[:-1] if lines[-1] == "" else lines


def parse(out, err=None):
    """The events of a transcript: standard output and standard error (either may be None), or a
    merged transcript in `out` with err None. Order holds within each stream; apart, the events
    of standard output come first."""
    if err is None:
        return _parse(out or "", "merged")
    return _parse(out or "", "out") + _parse(err, "err")


def _parse(text, stream):
    events, info, lines = [], [], lines_of(text)

    def end_info():
        if info:
            events.append(Event("info-log", "\n".join(info), {"lines": list(info)}))
            info.clear()

    i = 0
    while i < len(lines):
        line = lines[i]
        if lines[i:i + len(MENU_LINES)] == MENU_LINES:
            end_info()
            events.append(Event("menu", MENU.rstrip("\n"), {}))
            i += len(MENU_LINES)
            continue
        event = classify(line)
        if event.kind == "glew-error" and first(events, "version"):
            event = classify_as_info(line)  # glewInit fails before the version line, or not at all
        if event.kind == "debug" and i + 1 < len(lines) and lines[i + 1] == "":
            # The message text ended in a line end of its own: the empty line is its.
            event = event._replace(text=line + "\n")
            i += 1
        if event.kind == "info-log" and stream != "out":
            if line:
                info.append(line)
            else:
                end_info()  # the line end an info log's text ends in
        elif event.kind == "info-log":
            end_info()
            events.append(event._replace(kind="unknown", fields={}))
        else:
            end_info()
            events.append(event)
        i += 1
    end_info()
    return events


def classify_as_info(line):
    return Event("info-log", line, {"lines": [line]})


def classify(line):
    """The event of one line read alone; lines of no other kind are the GL's info-log text."""
    def event(kind, **fields):
        return Event(kind, line, fields)

    if line == LINKED:
        return event("linked")
    if line in MENU_LINES:
        return event("menu")
    if line == INVALID_ENTRY:
        return event("invalid-entry")
    if line == FAILED_TO_OPEN:
        return event("failed-to-open")
    if line in CAPABILITIES:
        return event("capability", missing=CAPABILITIES[line])
    found = DEBUG_LINE.fullmatch(line)
    if found:
        fields = found.groupdict()
        fields["id"] = int(fields["id"])
        return event("debug", **fields)
    for kind, pattern in (("version", VERSION_LINE), ("fatal", FATAL_LINE),
                          ("invalid-spirv", INVALID_SPIRV), ("glew-error", GLEW_ERROR),
                          ("headless-error", HEADLESS_ERROR), ("device", DEVICE_LINE)):
        found = pattern.fullmatch(line)
        if found and kind == "fatal":
            mode = re.fullmatch(r"the set-up of mode (.*)", found["phase"])
            return event(kind, **found.groupdict(), mode=mode[1] if mode else None)
        if found:
            return event(kind, **found.groupdict())
    found = WINDOW_SYSTEM_LINE.fullmatch(line)
    if found:
        return event("window-system",
                     display_lost=bool(found.group("lost") or DISPLAY_LOST.fullmatch(line)),
                     no_context="GLXBadFBConfig" in line)
    return classify_as_info(line)


def of_kind(events, kind):
    return [e for e in events if e.kind == kind]


def first(events, kind):
    """The first event of a kind, or None."""
    return next(iter(of_kind(events, kind)), None)


def linked_count(events):
    return len(of_kind(events, "linked"))


def debug_messages(events):
    """The fields of each debug message: source, type, id (an int), severity, message."""
    return [dict(e.fields) for e in of_kind(events, "debug")]


def info_log_lines(events):
    """Every info-log line, blocks joined, without the empty lines that end them."""
    return [line for e in of_kind(events, "info-log") for line in e.fields["lines"]]


def display_lost(events):
    """Whether the window system says the display went away, or could not be opened."""
    return any(e.fields.get("display_lost") for e in of_kind(events, "window-system"))


def no_context(events):
    """Whether the window system refused the 4.5 core context (GLXBadFBConfig, as on softpipe)."""
    return any(e.fields.get("no_context") for e in of_kind(events, "window-system"))


def own_failures(events):
    """Velmor's own lines saying a stage could not be built: failed-to-open and invalid-spirv."""
    return [e for e in events if e.kind in ("failed-to-open", "invalid-spirv")]

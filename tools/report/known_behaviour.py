"""Known driver behaviour: results that a driver is known to give, matched by their signature.

Each entry says exactly what it matches: the driver and the range of its releases where the
behaviour was seen, the window system, the mode, the status, the fatal signal and the phase it
came in, and the property of the shader files that triggers it. A result that matches an entry
carries its label in the report and in compare; a crash that matches none is new, and is shown
as such. Only driver behaviour lives here: what the tests expect is theirs.
"""
import collections
import re

from .. import console

# driver: the name in GL_VERSION ("Mesa"); releases: (first, last) as (major, minor), both
# included, where it was confirmed; renderer: a regular expression GL_RENDERER must match.
# window_systems, mode (an id, None: any), status, reason (None: any): as in report.json;
# signal, phase: of velmor's fatal-signal line (both None: there must be none); shaders: what
# the shader files must hold, a function of {file name: facts} (report.json's shader_files);
# reproducer: the folder under tests/driver_bugs/ holding its reduced modules (a test runs them).
Entry = collections.namedtuple("Entry", "label driver releases renderer window_systems mode "
                               "status reason signal phase shaders reproducer",
                               defaults=(None,))


def fragment_module_with_inputs(files):
    return (files.get("frag.spv") or {}).get("input_variables") or 0


def no_shader_property(files):
    return True


ENTRIES = (
    # glBindProgramPipeline validates the pipeline under a debug context and, for a SPIR-V
    # fragment stage with any input, compares two null resource names (Mesa's SPIR-V path keeps
    # none). Seen on llvmpipe and zink, Mesa 22.3 and 25.0.
    Entry("known Mesa crash: SPIR-V separable fragment stage with inputs, debug context",
          "Mesa", ((22, 3), (25, 0)), "", ("GLX", "EGL"), "spirv-sso", "crash", None,
          "SIGSEGV", "the set-up of mode 4", fragment_module_with_inputs,
          "tests/driver_bugs/mesa-sso-fragment-inputs"),
    # The same crash under Wine: Wine catches the access violation inside the GL call and
    # returns from it, so the pipeline is never bound; no signal, a black window.
    Entry("known Mesa crash, caught by Wine: SPIR-V separable fragment stage with inputs, "
          "debug context", "Mesa", ((22, 3), (25, 0)), "", ("WGL (Wine)",), "spirv-sso", "fail",
          "drew only black", None, None, fragment_module_with_inputs),
    # softpipe stops at OpenGL 3.3 core: no 4.5 context for any mode.
    Entry("known: softpipe has no OpenGL 4.5 core context", "Mesa", ((22, 3), (25, 0)),
          "softpipe", ("GLX", "EGL"), None, "not-supported", None, None, None,
          no_shader_property),
)


def release(identity, driver):
    """(major, minor) of the driver named in GL_VERSION, or None."""
    found = re.search(r"\b%s (\d+)\.(\d+)" % re.escape(driver), identity["gl"]["version"] or "")
    return (int(found[1]), int(found[2])) if found else None


def fatal(mode):
    """(signal, phase) of the mode's fatal-signal line, or (None, None)."""
    if not mode["fatal_signal"]:
        return None, None
    event = console.classify(mode["fatal_signal"])
    return (event.fields["signal"], event.fields["phase"]) if event.kind == "fatal" else (
        None, None)


def matches(entry, identity, mode, files):
    found = release(identity, entry.driver)
    return (found is not None and entry.releases[0] <= found <= entry.releases[1]
            and re.search(entry.renderer, identity["gl"]["renderer"] or "") is not None
            and identity["window_system"] in entry.window_systems
            and entry.mode in (None, mode["id"]) and mode["status"] == entry.status
            and entry.reason in (None, mode["reason"])
            and fatal(mode) == (entry.signal, entry.phase) and bool(entry.shaders(files)))


def shader_facts(report):
    """{file name: facts} of a report's shader files."""
    return {f["name"]: f for f in report["shader_files"]}


def label(report, mode):
    """The label of the entry that a mode's result matches, or None."""
    files = shader_facts(report)
    return next((e.label for e in ENTRIES if matches(e, report["identity"], mode, files)), None)


def is_new_crash(report, mode):
    """Whether the mode crashed in a way no entry knows."""
    return mode["status"] == "crash" and label(report, mode) is None


NEW = "NEW: a crash that matches no known driver behaviour"


def note(report, mode):
    """The known entry's label, NEW for an unknown crash, or None."""
    return label(report, mode) or (NEW if mode["status"] == "crash" else None)

"""Known driver behaviour: results that a driver is known to give, matched by their signature.

Each entry says exactly what it matches: the driver and the range of its releases where the
behaviour was seen, the window system, the mode, the status, the fatal signal and the phase it
came in, and the property of the shader files that triggers it. A result that matches an entry
carries its label in the report and in compare; a crash that matches none is new, and is shown
as such, unless the report is of a format that does not record a fact an entry needs: then
whether it is known cannot be told. Only driver behaviour lives here: what the tests expect is
theirs.
"""
import collections
import re

from .. import console, spirv

# driver: the name in GL_VERSION ("Mesa"); releases: (first, last) as (major, minor), both
# included, where it was confirmed; renderer: a regular expression GL_RENDERER must match.
# window_systems, mode (an id, None: any), status, reason (None: any): as in report.json;
# signal, phase: of velmor's fatal-signal line (both None: there must be none); shaders: what
# the shader files must hold, a function of {file name: facts} (report.json's shader_files);
# reproducer: the folder under tests/driver_bugs/ holding its reduced modules (a test runs them);
# sometimes: the crash does not come on every run.
Entry = collections.namedtuple("Entry", "label driver releases renderer window_systems mode "
                               "status reason signal phase shaders reproducer sometimes",
                               defaults=(None, False))


def fragment_module_with_inputs(files):
    return (files.get("frag.spv") or {}).get("input_variables") or 0


def no_shader_property(files):
    return True


def module_with(trait):
    """Whether a SPIR-V module of the folder has the trait (tools/spirv.py's TRAITS)."""
    return lambda files: any(trait in ((files.get(name) or {}).get("traits") or [])
                             for name in ("vert.spv", "frag.spv"))


MESA_22 = ((22, 3), (22, 3))
MESA_25 = ((25, 0), (25, 0))
SET_UP = "the set-up of mode %s"


def valid_module_crashes(label, trait, releases, reproducer, crashes, sometimes=False,
                         window_systems=("GLX", "EGL")):
    """Entries for a crash on modules the validator accepts (so Velmor hands them to the GL), in
    the SPIR-V modes: crashes holds (mode id, signal, phase), phase with %s for the menu entry."""
    menus = {"spirv": "3", "spirv-sso": "4"}
    return tuple(Entry("known Mesa crash on a valid module: " + label, "Mesa", releases, "",
                       window_systems, mode, "crash", None, signal,
                       phase % menus[mode] if "%s" in phase else phase, module_with(trait),
                       "tests/driver_bugs/" + reproducer, sometimes)
                 for mode, signal, phase in crashes)


BOTH = ("spirv", "spirv-sso")


def in_both(signal, phase):
    return [(mode, signal, phase) for mode in BOTH]


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
    # Crashes on modules the validator accepts, found by the mutation campaign and reduced into
    # tests/driver_bugs/; GLSL cannot express any of them.
    # Mesa 22.3: an Index of 2 or more (dual-source blending has 0 and 1), while linking or at
    # the first draw, SIGSEGV or SIGBUS; into a window only: velmor-headless's framebuffer
    # object draws.
    *valid_module_crashes("a fragment output with Index 2", "index-above-one", MESA_22,
                          "mesa-index-2", in_both("SIGSEGV", "drawing")
                          + in_both("SIGBUS", "drawing") + in_both("SIGSEGV", SET_UP)
                          + in_both("SIGBUS", SET_UP), window_systems=("GLX",)),
    # Mesa 22.3 and 25.0: Index without Location, at the first draw (on 25.0 not every time).
    *valid_module_crashes("Index without Location", "index-without-location", MESA_22,
                          "mesa-index-without-location", in_both("SIGSEGV", "drawing")),
    *valid_module_crashes("Index without Location", "index-without-location", MESA_25,
                          "mesa-index-without-location", in_both("SIGSEGV", "drawing"),
                          sometimes=True),
    # Mesa 22.3: a Location of 4096 or more, building the program.
    *valid_module_crashes("a Location of 4096 or more", "location-from-4096", MESA_22,
                          "mesa-location-4096", in_both("SIGSEGV", SET_UP)),
    # An output block whose members are neither built-ins nor located (gl_PerVertex with its
    # BuiltIn lost): building the program of mode 3 on Mesa 22.3 and 25.0, mode 4's too on 22.3
    # (SIGSEGV) and 25.0 (SIGABRT) where the block survives in the vertex stage alone.
    *valid_module_crashes("a Block without built-ins or Locations",
                          "block-without-built-ins-or-locations", MESA_22,
                          "mesa-block-without-built-ins", [("spirv", "SIGSEGV", SET_UP)]),
    *valid_module_crashes("a Block without built-ins or Locations",
                          "block-without-built-ins-or-locations", MESA_22,
                          "mesa-25-block-without-built-ins", in_both("SIGSEGV", SET_UP)),
    *valid_module_crashes("a Block without built-ins or Locations",
                          "block-without-built-ins-or-locations", MESA_25,
                          "mesa-25-block-without-built-ins",
                          [("spirv", "SIGSEGV", SET_UP), ("spirv-sso", "SIGABRT", SET_UP)]),
    # Mesa 25.0: a header whose reserved schema word is not 0, building the program.
    *valid_module_crashes("a schema word that is not 0", "schema-word-not-zero", MESA_25,
                          "mesa-25-schema-word", in_both("SIGSEGV", SET_UP)),
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


# What format 1 did not record of a SPIR-V file, and the value that assumes the most of it.
UNRECORDED_IN_FORMAT_1 = (("input_variables", 1, "Input variables"),
                          ("traits", list(spirv.TRAITS), "traits"))


def cannot_tell(report, mode):
    """Why no entry can be said to match the mode's result or not, or None: the report's format
    does not record a fact of the shader files that an entry needs (format 1 has no Input
    variables and no traits), and an entry matches once that fact is assumed."""
    if report.get("recorded_version", report.get("version")) != 1 or label(report, mode):
        return None
    files, assumed = {}, []
    for name, facts in shader_facts(report).items():
        facts = dict(facts)
        if name.endswith(".spv") and facts["size"] is not None:
            for key, most, words in UNRECORDED_IN_FORMAT_1:
                if facts.get(key) is None:
                    facts[key] = most
                    assumed += [words] if words not in assumed else []
        files[name] = facts
    if not any(matches(e, report["identity"], mode, files) for e in ENTRIES):
        return None
    return "cannot tell: format 1 does not record the %s of the SPIR-V files" % " and ".join(
        assumed)


def is_new_crash(report, mode):
    """Whether the mode crashed in a way no entry knows (nor might know, see cannot_tell)."""
    return (mode["status"] == "crash" and label(report, mode) is None
            and cannot_tell(report, mode) is None)


NEW = "NEW: a crash that matches no known driver behaviour"


def note(report, mode):
    """The known entry's label, why that cannot be told, NEW for an unknown crash, or None."""
    return (label(report, mode) or cannot_tell(report, mode)
            or (NEW if mode["status"] == "crash" else None))

"""What the GL under test does that Velmor does not decide, one entry per Mesa release.

The tests check Velmor's own lines exactly and the GL's by shape; where a release answers a case
in a way of its own (a crash inside the driver), they take the answer from the entry for the
release the GL reports at run time. Keep every such expectation here.
"""
import functools
import re
import struct

OP_DECORATE, OP_MEMBER_DECORATE = 71, 72
BLOCK, BUILT_IN, LOCATION, COMPONENT, INDEX = 2, 11, 30, 31, 32


def words_of(module):
    return list(struct.unpack("<%dI" % (len(module) // 4), module[:len(module) // 4 * 4]))


def instructions(words):
    """(offset, word count, opcode) of every instruction after the five header words, as far as
    the word counts can be followed."""
    found, i = [], 5
    while i < len(words):
        count, opcode = words[i] >> 16, words[i] & 0xFFFF
        if count == 0 or i + count > len(words):
            break
        found.append((i, count, opcode))
        i += count
    return found


def decorations(module):
    """(opcode, target id, decoration, literals...) of every OpDecorate and OpMemberDecorate (the
    member's number dropped)."""
    words, found = words_of(module), []
    for i, count, opcode in instructions(words):
        if opcode == OP_DECORATE and count >= 3:
            found.append((opcode,) + tuple(words[i + 1:i + count]))
        elif opcode == OP_MEMBER_DECORATE and count >= 4:
            found.append((opcode, words[i + 1]) + tuple(words[i + 3:i + count]))
    return found


def literal(found, decoration):
    """The literal of every OpDecorate of this kind with one."""
    return [d[3] for d in found if d[0] == OP_DECORATE and d[2] == decoration and len(d) == 4]


def index_above_one(module):
    return any(value > 1 for value in literal(decorations(module), INDEX))


def index_without_location(module):
    found = decorations(module)
    placed = {d[1] for d in found if d[0] == OP_DECORATE and d[2] == LOCATION}
    return any(d[1] not in placed for d in found if d[0] == OP_DECORATE and d[2] == INDEX)


def location_from(limit):
    return lambda module: any(value >= limit for value in literal(decorations(module), LOCATION))


def schema_not_zero(module):
    return len(module) >= 20 and words_of(module)[4] != 0


def block_without_built_ins_or_locations(module):
    """A Block (gl_PerVertex, say) none of whose members is a built-in or has a Location."""
    found = decorations(module)
    placed = {d[1] for d in found if d[0] == OP_MEMBER_DECORATE and d[2] in (BUILT_IN, LOCATION)}
    return any(d[1] not in placed for d in found if d[0] == OP_DECORATE and d[2] == BLOCK)


# Per release, the crashes inside the driver on SPIR-V modules that the validator accepts (so
# Velmor hands them to the GL), as the mutation campaign (tests/e2e/test_mutants.py) found them: what the
# module holds, and the phases the crash may come in. GLSL cannot express any of them.
# Mesa 22.3 (Debian 12):
# - a fragment output decorated Index 2 or more (only 0 and 1 exist): SIGSEGV or SIGBUS while
#   linking, or at the first draw (tests/e2e/driver_crash/, the smallest such module);
# - a fragment output decorated Index but no Location: the first draw crashes;
# - a varying at Location 4096 or beyond: building the stage program of mode 4 crashes.
# Mesa 25.0 (Debian 13):
# - a fragment output decorated Index but no Location: the first draw crashes (not every time);
# - a header whose schema word (reserved, 0) is not 0: SIGSEGV building the program;
# - an output block whose member lost its BuiltIn (gl_PerVertex's gl_Position decorated Component
#   instead) and has no Location: SIGSEGV building the program of mode 3, SIGABRT in mode 4's.
CRASHES_ON_VALID_MODULES = {
    (22, 3): [(index_above_one, ("set-up", "drawing")), (index_without_location, ("drawing",)),
              (location_from(4096), ("set-up",))],
    (25, 0): [(index_without_location, ("drawing",)), (schema_not_zero, ("set-up",)),
              (block_without_built_ins_or_locations, ("set-up",))],
}


@functools.lru_cache(maxsize=None)
def mesa_release():
    """(major, minor) of the Mesa under test, from the version velmor's first frame saw; a
    release without an entry gets the newest one before it, so what it changed shows as failures."""
    from e2e_support import reached_main_loop, run  # the tests' runner: only the tests ask

    r = run("1\n")
    if not reached_main_loop(r):
        raise AssertionError("velmor does not draw with the shipped shaders:\n" + r.err)
    found = re.search(r"Mesa (\d+)\.(\d+)", r.gl[0])
    if not found:
        raise AssertionError("not a Mesa GL: %s" % r.gl[0])
    release = tuple(int(n) for n in found.groups())
    known = sorted(CRASHES_ON_VALID_MODULES)
    return max([k for k in known if k <= release] or known[:1])


def crashes_on_valid_module(module, crash):
    """Whether the driver table expects `crash`, (signal name, phase), on this valid module."""
    return any(holds(module) and any(phase in crash[1] for phase in phases)
               for holds, phases in CRASHES_ON_VALID_MODULES[mesa_release()])


# Known driver bugs, as the report and its compare view label them: a result that matches an
# entry is the driver's known bug, not a new one. Each entry: the label, the mode id, the status,
# and a test of the report's identity and the mode's record.
KNOWN_BUGS = (
    # glBindProgramPipeline validates the pipeline under a debug context and compares two null
    # resource names from Mesa's SPIR-V path (Mesa 22.3 and 25.0, llvmpipe and zink alike).
    ("known Mesa crash: SPIR-V separable fragment stage with inputs, debug context",
     "spirv-sso", "crash",
     lambda identity, mode: "Mesa" in (identity["gl"]["version"] or "")
     and (mode["fatal_signal"] or "").startswith("Fatal signal SIGSEGV during the set-up")),
    # The same crash under Wine: Wine catches the access violation inside the GL call and
    # returns from it, so the pipeline is never bound; no message, no signal, a black window.
    ("known Mesa crash, caught by Wine: SPIR-V separable fragment stage with inputs, debug "
     "context", "spirv-sso", "fail",
     lambda identity, mode: "Wine" in (identity["window_system"] or "")
     and "Mesa" in (identity["gl"]["version"] or "") and mode["reason"] == "drew only black"
     and mode["linked"] == 2 and not mode["debug_messages"] and not mode["info_log"]),
    # Mesa's softpipe stops at OpenGL 3.3 core: no 4.5 context to run any mode.
    ("known: softpipe has no OpenGL 4.5 core context", None, "not-supported",
     lambda identity, mode: "softpipe" in (identity["gl"]["renderer"] or "")),
)


def known_bug(identity, mode):
    """The label of the known entry that a mode's result matches, or None."""
    for label, mode_id, status, matches in KNOWN_BUGS:
        if mode_id in (None, mode["id"]) and mode["status"] == status and matches(identity, mode):
            return label
    return None

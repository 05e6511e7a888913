"""What the GL under test does that Velmor does not decide, as the end-to-end tests expect it:
one entry per Mesa release.

The tests check Velmor's own lines exactly and the GL's by shape; where a release answers a case
in a way of its own (a crash inside the driver), they take the answer from the entry for the
release the GL reports at run time. The report's table of known driver behaviour is the tools'
own; this one only says what the tests may see.
"""
import functools
import re

from e2e_support import reached_main_loop, run
from tools.spirv import (BLOCK, BUILT_IN, INDEX, LOCATION, OP_DECORATE, OP_MEMBER_DECORATE,
                         decorations, literal, words_of)


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
# Velmor hands them to the GL), as the mutation campaign (test_mutants.py) found them: what the
# module holds, and the phases the crash may come in. GLSL cannot express any of them.
# Mesa 22.3 (Debian 12):
# - a fragment output decorated Index 2 or more (only 0 and 1 exist): SIGSEGV or SIGBUS while
#   linking, or at the first draw (driver_crash/, the smallest such module);
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
    """Whether the table expects `crash`, (signal name, phase), on this valid module."""
    return any(holds(module) and any(phase in crash[1] for phase in phases)
               for holds, phases in CRASHES_ON_VALID_MODULES[mesa_release()])

"""What the GL under test does that Velmor does not decide, one entry per Mesa release.

The tests check Velmor's own lines exactly and the GL's by shape; where a release answers a case
in a way of its own (a crash inside the driver), they take the answer from the entry for the
release the GL reports at run time. Keep every such expectation here.
"""
import functools
import re
import struct

from e2e_support import reached_main_loop, run

OP_DECORATE, LOCATION, INDEX = 71, 30, 32


def decorations(module):
    """{(target id, decoration): literal} of every OpDecorate with one literal in a module."""
    words = struct.unpack("<%dI" % (len(module) // 4), module[:len(module) // 4 * 4])
    found, i = {}, 5
    while i < len(words) and words[i] >> 16:
        count, opcode = words[i] >> 16, words[i] & 0xFFFF
        if opcode == OP_DECORATE and count == 4 and i + count <= len(words):
            found[words[i + 1], words[i + 2]] = words[i + 3]
        i += count
    return found


def index_above_one(found):
    return any(kind == INDEX and value > 1 for (_, kind), value in found.items())


def index_without_location(found):
    return any(kind == INDEX and (target, LOCATION) not in found for target, kind in found)


def location_at_least(limit):
    return lambda found: any(kind == LOCATION and value >= limit
                             for (_, kind), value in found.items())


# Per release, the crashes inside the driver on SPIR-V modules that the validator accepts (so
# Velmor hands them to the GL), as the mutation campaign (test_mutants.py) found them: what the
# module declares, and the phases the crash may come in. GLSL cannot express any of them.
# Mesa 22.3 (Debian 12):
# - a fragment output decorated Index 2 or more (only 0 and 1 exist): SIGSEGV or SIGBUS while
#   linking, or at the first draw (driver_crash/frag.spvasm, the smallest such module);
# - a fragment output decorated Index but no Location: the first draw crashes;
# - a varying at Location 4096 or beyond: building the stage program of mode 4 crashes.
CRASHES_ON_VALID_MODULES = {
    (22, 3): [(index_above_one, ("set-up", "drawing")), (index_without_location, ("drawing",)),
              (location_at_least(4096), ("set-up",))],
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
    """Whether the driver table expects `crash`, (signal name, phase), on this valid module."""
    found = decorations(module)
    return any(declares(found) and any(phase in crash[1] for phase in phases)
               for declares, phases in CRASHES_ON_VALID_MODULES[mesa_release()])

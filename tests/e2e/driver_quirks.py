"""What the GL under test does that Velmor does not decide, one entry per Mesa release.

Velmor hands the GL the bytes of its files and prints the GL's verdicts; the tests check every
line of Velmor's own exactly and the GL's by shape. Where a driver release answers a case in a
way of its own (a crash inside the driver, say), the tests take that answer from the entry for
the release the GL reports at run time. Keep every such expectation here.
"""
import collections
import functools
import re

from e2e_support import reached_main_loop, run

# crashes_specializing(module): whether glSpecializeShaderARB kills the process on these bytes,
# which are not a valid SPIR-V module.
Quirks = collections.namedtuple("Quirks", "crashes_specializing")

# Debian 12, llvmpipe. glShaderBinary takes any bytes; glSpecializeShaderARB refuses what is not
# a module with a GL error ("main" is not a valid entry point) and leaves the compile status false.
MESA_22_3 = Quirks(lambda module: False)

# Debian 13, llvmpipe and zink. glShaderBinary refuses an empty file, or one whose length is not a
# whole number of 32-bit words, with GL_INVALID_VALUE; glSpecializeShaderARB then reports "not
# SPIR-V". Any other bytes that are not a valid module, even a lone SPIR-V header, crash
# glSpecializeShaderARB with SIGSEGV inside libgallium.
MESA_25_0 = Quirks(lambda module: len(module) > 0 and len(module) % 4 == 0)

RELEASES = {(22, 3): MESA_22_3, (25, 0): MESA_25_0}


@functools.lru_cache(maxsize=None)
def gl_strings():
    """(GL_VERSION, GL_RENDERER) of the GL the tests run on, as velmor's first frame saw them."""
    r = run("1\n")
    if not reached_main_loop(r):
        raise AssertionError("velmor does not draw with the shipped shaders:\n" + r.err)
    return r.gl


@functools.lru_cache(maxsize=None)
def running_driver():
    """The entry for the Mesa release under test; a release without one of its own gets the
    newest entry not newer than it, so a new release shows what changed as test failures."""
    version = gl_strings()[0]
    found = re.search(r"Mesa (\d+)\.(\d+)", version)
    if not found:
        raise AssertionError("not a Mesa GL: %s" % version)
    release = tuple(int(n) for n in found.groups())
    known = sorted(RELEASES)
    return RELEASES[max([k for k in known if k <= release] or known[:1])]

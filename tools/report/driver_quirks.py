"""What the GL under test does that Velmor does not decide, one entry per Mesa release.

The tests check Velmor's own lines exactly and the GL's by shape; where a release answers a case
in a way of its own (a crash inside the driver), they take the answer from the entry for the
release the GL reports at run time. Keep every such expectation here.
"""
import functools
import re

# Per release, whether glSpecializeShaderARB kills the process on bytes that are not SPIR-V.
# Mesa 22.3 (Debian 12): glShaderBinary takes any bytes; specialization refuses them with a GL
# error ("main" is not a valid entry point).
# Mesa 25.0 (Debian 13, llvmpipe and zink): glShaderBinary refuses an empty file, or a length
# that is not whole 32-bit words (GL_INVALID_VALUE), and specialization then reports "not
# SPIR-V"; any other bytes, even a lone SPIR-V header, crash it with SIGSEGV in libgallium.
CRASHES_SPECIALIZING = {
    (22, 3): lambda module: False,
    (25, 0): lambda module: len(module) > 0 and len(module) % 4 == 0,
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
    known = sorted(CRASHES_SPECIALIZING)
    return max([k for k in known if k <= release] or known[:1])


def crashes_specializing(module):
    return CRASHES_SPECIALIZING[mesa_release()](module)


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

"""End-to-end matrix: every mode with every kind of bad shader file, one row per case.

Each row runs the built velmor with the files of one stage, or of both, spoiled in one way, and
checks the whole transcript against what the program is meant to print for that case: standard
output (always a file here) holds the menu and one "Linked" line per link attempt; standard error
holds the version line, then, in build order, the "Failed to open file" lines, the drained debug
messages (with the GL errors the build must raise, and none of Velmor's own making) and the info
logs; and the window presents its first frame and closes cleanly. What the driver and the SPIR-V
validator word for themselves (message texts and IDs, the content of an info log, the validator's
reason) is matched by shape only. No case may crash: a SPIR-V file that is not a valid module
never reaches the GL.
"""
import functools
import os
import re
import subprocess
import tempfile
import unittest
from concurrent.futures import ThreadPoolExecutor

from e2e_support import DIRECTORY, MENU, VERSION_LINE, RunError, reached_main_loop, run, shipped
from tools import console, modes

STAGES = modes.BUILD_ORDER
FILES = {"glsl": modes.GLSL_FILES, "spirv": modes.SPIRV_FILES}
UNREADABLE = {"missing", "directory"}
UNCOMPILABLE = {"empty", "garbage", "other kind", "lone header"}
KINDS = sorted(UNREADABLE) + sorted(UNCOMPILABLE) + ["unlinkable"]
# Starts with bytes above 0x7f and holds NULs from byte 255 on.
GARBAGE = bytes(range(255, -1, -1)) * 4

DEBUG_LINE = console.debug_pattern(message="[^\n]*") + "\n"
FAILED = console.FAILED_TO_OPEN + "\n"
LINKED = console.LINKED + "\n"
INFO_LINE = "(?!Source:|%s|%s)[^\n]*\n" % (FAILED, LINKED)
MENU_LINES = re.escape(MENU)
GLSLANG = os.environ.get("GLSLANG", "")


def gl_error(text):
    return console.debug_pattern("OpenGL", "Error", "High",
                                 "[^\n]*%s[^\n]*" % re.escape(text)) + "\n"


def info_log(required):
    return "(?:%s)%s" % (INFO_LINE, "+" if required else "*")


def unlinkable_glsl(stage):
    """The shipped stage plus more image uniforms than a stage may use (Mesa allows 32): it
    compiles, and its link fails."""
    return shipped(FILES["glsl"][stage]).replace(
        b"void main() {", b"layout(binding = 0, rgba8) uniform writeonly image2D images[40];\n"
        b"void main() {\n    imageStore(images[39], ivec2(0), vec4(1.0));")


@functools.lru_cache(maxsize=None)
def compile_spirv(stage):
    with tempfile.TemporaryDirectory() as work:
        source = os.path.join(work, FILES["glsl"][stage])
        with open(source, "wb") as f:
            f.write(unlinkable_glsl(stage))
        subprocess.run([GLSLANG, "-G", "-o", source + ".spv", source], check=True,
                       capture_output=True)
        with open(source + ".spv", "rb") as f:
            return f.read()


def content(kind, language, stage):
    if kind == "unlinkable":
        return unlinkable_glsl(stage) if language == "glsl" else compile_spirv(stage)
    other = FILES["spirv" if language == "glsl" else "glsl"][stage]
    if kind == "lone header":  # SPIR-V's five header words and nothing after them
        return shipped(FILES["spirv"][stage])[:20]
    return {"missing": None, "directory": DIRECTORY, "empty": b"", "garbage": GARBAGE,
            "other kind": shipped(other)}[kind]


def not_spirv(stage):
    return re.escape(FILES["spirv"][stage] + console.NOT_VALID_SPIRV) + "[^\n]+\n"


def expected(mode, bad, kind):
    """What velmor is meant to print in `mode` with the files of the stages in `bad` spoiled as
    `kind`: patterns in the order written, "Linked" lines (standard output) among them."""
    glsl, separable = mode in "12", mode in "24"
    lines = [re.escape(VERSION_LINE) + "[^\n]*\n", MENU_LINES]
    pending = []  # GL errors raised since the last drain, in the order the GL logs them

    def drain():
        lines.append("(?:%s)*" % DEBUG_LINE + "".join(gl_error(e) + "(?:%s)*" % DEBUG_LINE
                                                      for e in pending))
        pending.clear()

    kinds = [kind if stage in bad else "good" for stage in STAGES]
    if not separable:
        # One program: the first stage that does not load ends the build, undrained.
        for stage, k in zip(STAGES, kinds):
            if k in UNREADABLE | UNCOMPILABLE:
                if glsl:
                    # A failed compile shows the shader's info log first.
                    lines += [info_log(k in UNCOMPILABLE), FAILED]
                elif k in UNCOMPILABLE:
                    lines.append(not_spirv(stage))
                break
        else:
            lines += [LINKED, info_log(False)]  # the fragment shader's log
            drain()
            lines.append(info_log("unlinkable" in kinds))  # the program's
            if "unlinkable" in kinds:
                pending.append("GL_INVALID_OPERATION in glUseProgram")
    else:
        refused = 0  # stage programs that exist but did not link: the pipeline refuses them
        for stage, k in zip(STAGES, kinds):
            if glsl and k in UNREADABLE:
                lines.append(FAILED)
            elif glsl:
                lines.append(LINKED)
                drain()
                lines.append(info_log(k != "good"))
                refused += k != "good"
            elif k in UNREADABLE | UNCOMPILABLE:
                if k in UNCOMPILABLE:
                    lines.append(not_spirv(stage))
                drain()
            else:
                lines += [LINKED, info_log(False)]  # the shader's log
                drain()
                lines.append(info_log(k == "unlinkable"))
                refused += k == "unlinkable"
        pending += ["GL_INVALID_OPERATION in glUseProgramStages"] * refused
    drain()  # main's, after the quad
    return lines


# Each case twice: the streams apart, then together in the order they were written.
CASES = [(mode, bad, kind, merged) for mode in "1234" for kind in KINDS
         for bad in (("fragment",), ("vertex",), STAGES) for merged in (False, True)
         if kind != "lone header" or mode in "34"]


def case_files(mode, bad, kind):
    """The spoiled files of a case, or None when it needs glslangValidator and there is none."""
    language = "glsl" if mode in "12" else "spirv"
    if kind == "unlinkable" and language == "spirv" and not os.access(GLSLANG, os.X_OK):
        return None
    return {FILES[language][stage]: content(kind, language, stage) for stage in bad}


class Matrix(unittest.TestCase):
    def test_every_mode_with_every_kind_of_bad_file(self):
        """Catches a mode that crashes, hangs or never draws on a bad file, prints other verdicts
        than it is meant to (a missing or extra line, the wrong stream, the wrong order), hides
        an error the GL raised, or raises one of its own by asking for the log of no object."""
        rows = CASES

        def attempt(row):
            mode, bad, kind, merged = row
            files = case_files(mode, bad, kind)
            if files is None:
                return None
            try:
                return run(mode + "\n", files=files, merged=merged)
            except RunError as failure:
                return failure

        with ThreadPoolExecutor(os.cpu_count() or 2) as pool:
            results = list(pool.map(attempt, rows))
        for (mode, bad, kind, merged), r in zip(rows, results):
            with self.subTest(mode=mode, spoiled="+".join(bad), kind=kind, merged=merged):
                if r is None:
                    self.skipTest("GLSLANG is not set to glslangValidator")
                if isinstance(r, RunError):
                    self.fail(str(r))
                lines = expected(mode, bad, kind)
                self.assertTrue(reached_main_loop(r), r.out + r.err)
                self.assertIsNone(re.search(r"in glGet(?:Program|Shader)(?:iv|InfoLog)\b",
                                            r.out + (r.err or "")), r.err)
                if merged:
                    self.assertIsNotNone(re.fullmatch("".join(lines), r.out), r.out)
                else:
                    err = [line for line in lines if line not in (MENU_LINES, LINKED)]
                    self.assertEqual(r.out, MENU + LINKED * lines.count(LINKED))
                    self.assertIsNotNone(re.fullmatch("".join(err), r.err), r.err)


if __name__ == "__main__":
    unittest.main()

"""velmor-headless beside velmor on the same driver: velmor in a window under the test's X
server, velmor-headless on EGL's surfaceless platform with DISPLAY unset. Every case of the
end-to-end matrix, the shipped shaders and the gradient set must print the same lines on the
same streams, end the same way, name the same GL and draw the same first frame, pixel for pixel.
Then velmor-headless's own failures, each reached with a fault put in place here (a stand-in EGL,
Mesa's or libglvnd's variables): one line naming what is missing, and its status."""
import os
import subprocess
import tempfile
import unittest
from concurrent.futures import ThreadPoolExecutor

from e2e_support import (BIN, FAULTS, MENU, SANITIZED, SHIPPED_PIXEL, RunError, close_to, run,
                         uniform_pixel)
from test_matrix import CASES, case_files
from tools import console

HEADLESS = os.environ["VELMOR_HEADLESS"]
EGL_FAULTS = os.environ["VELMOR_EGL_FAULTS"]
GLSLANG = os.environ.get("GLSLANG", "")
GRADIENT = os.path.join(os.path.dirname(__file__), "gradient")


def seen(choice, files=None, env=None, merged=False, headless=False, args=(), binary=None):
    """What a user gets from one run of velmor, or of velmor-headless (or of `binary` standing
    for either): the Run, also when it hung (the test then fails on its status)."""
    options = dict(binary=binary or HEADLESS, window_system="egl", args=args) if headless else {}
    if binary and not headless:
        options["binary"] = binary
    if headless:
        env = dict(env or {}, DISPLAY=None)
    try:
        return run(choice, files=files, env=env, merged=merged, **options)
    except RunError as failure:
        return failure.run


def both(case):
    choice, files, merged = case
    return [seen(choice, files, merged=merged, headless=h) for h in (False, True)]


def gradient_files():
    """The gradient set with its SPIR-V compiled by glslangValidator, as the report's test does."""
    files = {}
    with tempfile.TemporaryDirectory() as work:
        for glsl, spv in (("shader.vert", "vert.spv"), ("shader.frag", "frag.spv")):
            with open(os.path.join(GRADIENT, glsl), "rb") as f:
                files[glsl] = f.read()
            subprocess.run([GLSLANG, "-G", "-o", os.path.join(work, spv),
                            os.path.join(GRADIENT, glsl)], check=True, capture_output=True)
            with open(os.path.join(work, spv), "rb") as f:
                files[spv] = f.read()
    return files


def velmor_part(err):
    """Standard error up to velmor's fatal-signal line in a sanitized build, where the
    sanitizer's own report (addresses, stacks) follows it; else all of it."""
    fatal = console.first(console.parse(None, err), "fatal") if SANITIZED and err else None
    return err[:err.index(fatal.text) + len(fatal.text)] if fatal else err


class SameAsTheWindow(unittest.TestCase):
    def assert_same(self, window, headless):
        self.assertEqual((headless.out, velmor_part(headless.err), headless.status),
                         (window.out, velmor_part(window.err), window.status))
        self.assertEqual(headless.frame is None, window.frame is None)

    def test_every_matrix_case_prints_and_draws_as_in_the_window(self):
        """Catches velmor-headless printing other lines than velmor for a case of the matrix (a
        start-up step left out or added, a line on the other stream or in another order, a
        drain that misses or adds a message), or ending otherwise. The frames are not compared:
        a pipeline that did not link draws what the GL leaves undefined."""
        rows = [(row, case_files(*row[:3])) for row in CASES]
        cases = [(row[0] + "\n", files, row[3]) for row, files in rows if files is not None]
        with ThreadPoolExecutor(os.cpu_count() or 2) as pool:
            results = list(pool.map(both, cases))
        for (row, _), (window, headless) in zip([r for r in rows if r[1] is not None], results):
            with self.subTest(mode=row[0], spoiled="+".join(row[1]), kind=row[2], merged=row[3]):
                self.assert_same(window, headless)

    @unittest.skipUnless(os.access(GLSLANG, os.X_OK), "GLSLANG is not set to glslangValidator")
    def test_shipped_and_gradient_frames_match_and_mode_4_crashes_in_the_same_phase(self):
        """Catches a frame drawn with other state than the window's (clear, blend, viewport, a
        framebuffer of another size or format), a PNG upside down, another GL named in the info
        file, or a framebuffer checked after the set-up: mode 4's Portability message missing and
        the gradient's known Mesa crash moved from the set-up to the drawing."""
        gradient = gradient_files()
        sets = [("shipped", None, "1234"), ("gradient", gradient, "1234")]
        cases = [(mode + "\n", files, False) for _, files, modes in sets for mode in modes]
        with ThreadPoolExecutor(os.cpu_count() or 2) as pool:
            results = list(pool.map(both, cases))
        for (choice, files, _), (window, headless) in zip(cases, results):
            with self.subTest(set="shipped" if files is None else "gradient", mode=choice[0]):
                self.assert_same(window, headless)
                if files is gradient and choice == "4\n":
                    self.assertIn("Fatal signal SIGSEGV during the set-up of mode 4", window.err)
                    continue
                self.assertIsNotNone(headless.frame, headless.err)
                self.assertEqual(headless.frame.size, window.frame.size)
                self.assertTrue(headless.frame.tobytes() == window.frame.tobytes(),
                                "the first frames differ")
                self.assertEqual(headless.gl, window.gl)
                self.assertEqual(headless.info["platform"], "surfaceless")


class Failures(unittest.TestCase):
    def test_each_failure_is_one_line_naming_what_is_missing(self):
        """Catches a failure of EGL, the context or GLEW that goes on, crashes, ends with the
        wrong status, prints the menu, or says more or less than one line about what is
        missing; and bad arguments that are not refused with status 2."""
        stand_in = dict(LD_PRELOAD=EGL_FAULTS)
        with tempfile.TemporaryDirectory() as no_vendors:
            cases = [
                ((), dict(__EGL_VENDOR_LIBRARY_DIRS=no_vendors), "no EGL implementation", 1),
                ((), dict(stand_in, VELMOR_EGL_HIDE="EGL_MESA_platform_surfaceless"),
                 "no EGL surfaceless platform", 1),
                (("--device", "0"), dict(stand_in, VELMOR_EGL_HIDE="EGL_EXT_platform_device"),
                 "no EGL device platform", 1),
                (("--device", "99"), {}, "no EGL device 99", 1),
                ((), dict(stand_in, VELMOR_EGL_NO_OPENGL="1"), "no OpenGL API", 1),
                ((), dict(GALLIUM_DRIVER="softpipe"),
                 "no OpenGL 4.5 core profile debug context", 1),
                ((), dict(LD_PRELOAD=FAULTS, VELMOR_NO_ENTRY_POINT="glCreateShader"),
                 "GLEW did not load glCreateShader", 1),
                ((), dict(LD_PRELOAD=FAULTS, VELMOR_NULL_GL_STRING="1"), "Error: ", 1),
                (("--frames", "none"), {}, "bad value for --frames", 2),
                (("--window",), {}, "unknown argument --window", 2),
            ]
            for args, env, words, status in cases:
                with self.subTest(args=args, env=env):
                    r = seen("1\n", env=env, headless=True, args=args)
                    self.assertEqual((r.status, r.out), (status, ""), r.err)
                    self.assertEqual(r.err.count("\n"), 1, r.err)
                    self.assertIn(words, r.err)
                    if words != "Error: ":
                        self.assertTrue(r.err.startswith("velmor-headless: "), r.err)


class ClosedStandardStreams(unittest.TestCase):
    def test_a_closed_stream_becomes_dev_null_in_both_programs(self):
        """Catches a closed standard stream taken over by the next file the program opens:
        velmor's menu written into its X connection, where it hangs, or velmor-headless's lines
        into a file of the driver's."""
        with tempfile.TemporaryDirectory() as work:
            for fd in (0, 1, 2):
                closing = os.path.join(work, "close-%d" % fd)
                with open(closing, "w") as f:
                    f.write('#!/bin/sh\nexec "$VELMOR_REAL" "$@" %d>&-\n' % fd)
                os.chmod(closing, 0o755)
                for program in (BIN, HEADLESS):
                    with self.subTest(program=os.path.basename(program), closed=fd):
                        r = seen("1\n", env=dict(VELMOR_REAL=program), binary=closing,
                                 headless=program == HEADLESS)
                        if fd == 0:
                            # Nothing to read: the choice that never came is refused.
                            self.assertEqual((r.status, r.out), (1, MENU), r.err)
                            self.assertTrue(r.err.endswith("Invalid Entry\n"), r.err)
                            continue
                        self.assertIsNone(r.status, r.err)
                        self.assertEqual(r.out, "" if fd == 1 else MENU + "Linked\n")
                        self.assertEqual(r.err == "", fd == 2, r.err)
                        self.assertTrue(close_to(uniform_pixel(r.frame), SHIPPED_PIXEL))

if __name__ == "__main__":
    unittest.main()

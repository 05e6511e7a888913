"""velmor-headless beside velmor on the same driver: velmor in a window under the test's X
server, velmor-headless on EGL's surfaceless platform with DISPLAY unset. Every case of the
end-to-end matrix, the shipped shaders and the gradient set must print the same lines on the
same streams, end the same way, name the same GL and draw the same first frame, pixel for pixel.
Then velmor-headless's own failures, each reached with a fault put in place here (a stand-in EGL,
Mesa's or libglvnd's variables): one line naming what is missing, and its status."""
import json
import os
import subprocess
import sys
import tempfile
import unittest
from concurrent.futures import ThreadPoolExecutor
from unittest import mock

from e2e_support import (BIN, FAULTS, MENU, SANITIZED, SHIPPED_PIXEL, RunError, close_to, run,
                         test_env, uniform_pixel)
from test_matrix import CASES, case_files
from tools import console, identity, runner
from tools.report import targets

HEADLESS = os.environ["VELMOR_HEADLESS"]
EGL_FAULTS = os.environ["VELMOR_EGL_FAULTS"]
GLSLANG = os.environ.get("GLSLANG", "")
GRADIENT = os.path.join(os.path.dirname(__file__), "gradient")
# The stand-in EGL with a hardware device after Mesa's, whose driver names itself nvidia.
GPU = dict(LD_PRELOAD=EGL_FAULTS, VELMOR_EGL_HARDWARE="nvidia")
NO_CONFIGLESS = "EGL_KHR_no_config_context EGL_MESA_configless_context"


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
        wrong status, prints the menu, says more or less than one line about what is missing or
        names another EGL error than the one EGL gave; and bad arguments that are not refused
        with status 2."""
        stand_in = dict(LD_PRELOAD=EGL_FAULTS)
        device = ("--device", "0")

        def failing(call, **more):
            return dict(stand_in, VELMOR_EGL_FAIL=call, **more)

        with tempfile.TemporaryDirectory() as no_vendors:
            cases = [
                ((), dict(__EGL_VENDOR_LIBRARY_DIRS=no_vendors), "no EGL implementation", 1),
                ((), dict(stand_in, VELMOR_EGL_HIDE="EGL_MESA_platform_surfaceless"),
                 "no EGL surfaceless platform", 1),
                (device, dict(stand_in, VELMOR_EGL_HIDE="EGL_EXT_platform_device"),
                 "no EGL device platform", 1),
                (("--list-devices",),
                 dict(stand_in, VELMOR_EGL_HIDE="EGL_EXT_device_enumeration EGL_EXT_device_base"),
                 "no EGL device enumeration", 1),
                (device, failing("eglQueryDevicesEXT!"), "no eglQueryDevicesEXT in this EGL", 1),
                (device, failing("eglQueryDevicesEXT:3001"),
                 "cannot count its devices (eglQueryDevicesEXT: EGL_NOT_INITIALIZED)", 1),
                (("--list-devices",), failing("eglQueryDevicesEXT/list:30ff"),
                 "cannot list its devices (eglQueryDevicesEXT: an EGL error)", 1),
                (("--device", "99"), {}, "no EGL device 99", 1),
                (device, failing("eglGetPlatformDisplayEXT:3008"),
                 "the EGL device platform gives no display (EGL_BAD_DISPLAY)", 1),
                ((), failing("eglInitialize:3003"),
                 "the EGL surfaceless platform gives no display (EGL_BAD_ALLOC)", 1),
                ((), dict(stand_in, VELMOR_EGL_NO_OPENGL="1"), "no OpenGL API", 1),
                ((), failing("eglChooseConfig:3005", VELMOR_EGL_HIDE=NO_CONFIGLESS),
                 "no EGL config that renders OpenGL on this display (EGL_BAD_CONFIG)", 1),
                ((), dict(GALLIUM_DRIVER="softpipe"),
                 "no OpenGL 4.5 core profile debug context", 1),
                ((), failing("eglMakeCurrent:3004"),
                 "cannot be made current without a surface (eglMakeCurrent: EGL_BAD_ATTRIBUTE)",
                 1),
                ((), dict(LD_PRELOAD=FAULTS, VELMOR_NO_ENTRY_POINT="glCreateShader"),
                 "GLEW did not load glCreateShader", 1),
                ((), dict(LD_PRELOAD=FAULTS, VELMOR_NULL_GL_STRING="1"), "Error: ", 1),
                ((), dict(LD_PRELOAD=FAULTS, VELMOR_ZERO_IN="glCheckFramebufferStatus"),
                 "no complete 800x600 GL_RGBA8 framebuffer object (0x0)", 1),
                (("--info", "/nonexistent/info.json"), {}, "cannot write /nonexistent/info", 1),
                (("--info", "/dev/full"), {}, "cannot write /dev/full: No space left", 1),
                (("--frames", "none"), {}, "bad value for --frames", 2),
                (("--png",), {}, "no file named for --png", 2),
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

    def test_a_frame_that_cannot_be_saved_fails_the_run(self):
        """Catches a PNG that could not be written reported as a success."""
        r = seen("1\n", headless=True, args=("--png", "/nonexistent/frame.png"))
        self.assertEqual((r.status, r.out), (1, MENU + "Linked\n"), r.err)
        self.assertTrue(r.err.endswith("\nvelmor-headless: cannot write /nonexistent/frame.png: "
                                       "No such file or directory\n"), r.err)


class StandInGpu(unittest.TestCase):
    """The device platform's road, driven with a stand-in hardware device that the stand-in EGL
    lists after Mesa's and whose display is Mesa's surfaceless one: what a GPU server's EGL
    answers, short of its driver."""

    def test_the_device_is_listed_with_its_node_and_driver(self):
        """Catches a device's node or driver lost on the way to --list-devices, a hardware device
        called software, or a device the sweep makes no target of, or one whose renderer check
        would pass llvmpipe for NVIDIA."""
        r = seen(None, env=GPU, headless=True, args=("--list-devices",))
        devices = console.of_kind(console.parse(r.out, r.err), "device")
        self.assertEqual([tuple(d.fields[k] for k in ("index", "type", "node", "driver"))
                          for d in devices],
                         [("0", "software", "none", "unknown"),
                          ("1", "hardware", "/dev/dri/renderD128", "nvidia")], r.err)
        with mock.patch.dict(os.environ, test_env(**GPU)):
            found, why = targets.hardware_targets(HEADLESS)
        self.assertEqual([(t.name, t.device) for t in found], [("host-device-1-egl", 1)], why)
        check = identity.target_check(found[0], "llvmpipe (LLVM 15.0.6, 256 bits)")
        self.assertEqual(check["check"], "invalid: wrong driver")

    def test_the_device_and_a_config_draw_as_the_surfaceless_platform(self):
        """Catches a device's display, or a context made with a config where the display has no
        configless contexts, that prints or draws otherwise than the surfaceless platform, and
        a device's node or driver missing from the info file."""
        cases = [("device 1", ("--device", "1"), GPU),
                 ("a config", (), dict(LD_PRELOAD=EGL_FAULTS, VELMOR_EGL_HIDE=NO_CONFIGLESS))]
        for mode in "1234":
            surfaceless = seen(mode + "\n", headless=True)
            self.assertIsNotNone(surfaceless.frame, surfaceless.err)
            for name, args, env in cases:
                with self.subTest(mode=mode, on=name):
                    r = seen(mode + "\n", env=env, headless=True, args=args)
                    self.assertEqual((r.out, r.err, r.status),
                                     (surfaceless.out, surfaceless.err, surfaceless.status))
                    self.assertTrue(r.frame.tobytes() == surfaceless.frame.tobytes())
                    told = [r.info[k] for k in ("platform", "device", "device_node",
                                                "device_driver")]
                    self.assertEqual(told, ["device", 1, "/dev/dri/renderD128", "nvidia"]
                                     if args else ["surfaceless", None, None, None])

    def test_a_report_on_the_device_records_it_and_fails_its_renderer_check(self):
        """Catches a report on a device target that loses the device, its node or its driver, or
        that takes llvmpipe for the NVIDIA renderer the driver promises."""
        with tempfile.TemporaryDirectory() as out:
            command = [sys.executable, "-m", "tools", "report", "--target", "host-device-1-egl",
                       "--velmor", HEADLESS, "--runs", "1", "--out", out]
            done = subprocess.run(command, capture_output=True, text=True, timeout=300,
                                  env=runner.merge_env(test_env(DISPLAY=None, **GPU)))
            self.assertEqual(done.returncode, 0, done.stderr)
            with open(os.path.join(out, "report.json"), encoding="utf-8") as f:
                ident = json.load(f)["identity"]
        egl = {k: ident["egl"][k] for k in ("platform", "device", "device_node", "device_driver")}
        self.assertEqual(egl, dict(platform="device", device=1, device_node="/dev/dri/renderD128",
                                   device_driver="nvidia"))
        self.assertEqual((ident["target"]["name"], ident["target"]["check"]),
                         ("host-device-1-egl", "invalid: wrong driver"))


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

"""End-to-end: the built velmor, driven through its console and observed from outside."""
import os
import re
import select
import signal
import subprocess
import tempfile
import unittest

from e2e_support import (BIN, MENU, SANITIZED, SHIPPED_PIXEL, VERSION_LINE, close_to, frame_after,
                         reached_main_loop, run, shipped, test_env, uniform_pixel, window_id, x11)
from tools import console


def gl_errors(err):
    return [m for m in console.debug_messages(console.parse(err)) if m["type"] == "Error"]


def version_line(err):
    first, _, rest = err.partition("\n")
    return first, rest


class StartUp(unittest.TestCase):
    def test_every_malformed_choice_is_refused(self):
        """Catches a choice other than exactly 1-4 that runs a set-up, or an overflowing read."""
        for choice in ["01\n", "1x\n", "1.0\n", "+1\n", "0\n", "5\n", "one\n", None, "   \n",
                       "x" * 79 + "\n", "1" * 80 + "\n", "2" * 500 + "\n"]:
            with self.subTest(choice=choice and choice[:12]):
                r = run(choice)
                self.assertEqual(r.status, 1)
                self.assertEqual(r.out, MENU)
                first, rest = version_line(r.err)
                self.assertTrue(first.startswith(VERSION_LINE), first)
                self.assertEqual(rest, "Invalid Entry\n")
                self.assertIsNone(r.frame)

    def test_start_up_refusals_end_before_the_menu(self):
        """Catches start-up that shows the menu on a GL that cannot run every mode, or that hangs
        or crashes where the window system has no display or no 4.5 context to give."""
        version = re.escape(VERSION_LINE) + "[^\n]*\n"
        cases = [
            ({"MESA_EXTENSION_OVERRIDE": "-GL_ARB_gl_spirv"},
             version + "GL_ARB_gl_spirv is not supported\n"),
            ({"MESA_EXTENSION_OVERRIDE": "-GL_ARB_separate_shader_objects"},
             version + "GL_ARB_separate_shader_objects is not supported\n"
             "failed to init the separate shader extension\n"),
            # The window system's own words; the program never gets to print.
            ({"DISPLAY": None}, re.escape("freeglut (%s): failed to open display ''\n" % BIN)),
            ({"GALLIUM_DRIVER": "softpipe"},
             "X Error of failed request:  GLXBadFBConfig\n(?:  .*\n)+"),
        ]
        for env, err in cases:
            with self.subTest(env=env):
                r = run("1\n", env=env)
                self.assertEqual(r.status, 1)
                self.assertIsNotNone(re.fullmatch(err, r.err), r.err)
                # Mesa itself may warn on standard output; the menu must not be there.
                self.assertNotIn("1: GLSL", r.out)
                self.assertIsNone(r.frame)

    def test_failed_glew_init_is_the_only_line(self):
        """Catches a failed glewInit that goes on to print the version or the menu."""
        r = run("1\n", env={"VELMOR_NULL_GL_STRING": "1"})
        self.assertEqual((r.status, r.out, r.err), (1, "", "Error: Missing GL version\n"))

    def test_optimus_export(self):
        """Catches a build that drops NvOptimusEnablement from the dynamic symbol table."""
        symbols = subprocess.run(["nm", "-D", "--defined-only", BIN], capture_output=True,
                                 text=True, check=True).stdout.split()
        self.assertIn("NvOptimusEnablement", symbols)


class Modes(unittest.TestCase):
    def test_each_mode_draws_the_product_of_the_shipped_colours(self):
        """Catches a mode that fails, reports an error or draws anything but the shipped picture;
        and a "Linked" line lost in a buffer when standard output is a file."""
        frames = {}
        for choice, linked in [("1\n", 1), ("2\n", 2), ("\n\n  \t3\n", 1), ("4 and more\n", 2)]:
            with self.subTest(choice=choice):
                r = run(choice)
                self.assertTrue(reached_main_loop(r), r.err)
                self.assertEqual(r.out, MENU + "Linked\n" * linked)
                first, rest = version_line(r.err)
                self.assertEqual(first, VERSION_LINE + r.gl[0])
                self.assertEqual(gl_errors(rest), [])
                self.assertEqual(r.frame.size, (800, 600))
                self.assertTrue(close_to(uniform_pixel(r.frame), SHIPPED_PIXEL), uniform_pixel(r.frame))
                frames[choice.strip()[0]] = r.frame
        self.assertEqual(len({f.tobytes() for f in frames.values()}), 1,
                         "the four modes draw different pictures")

    def test_fifty_runs_in_a_row_are_alike(self):
        """Catches a transcript or a picture that depends on an earlier run, through the shader
        cache (on here, as for users) or anything else a run leaves behind."""
        with tempfile.TemporaryDirectory() as cache:
            env = {"MESA_SHADER_CACHE_DISABLE": "false", "MESA_SHADER_CACHE_DIR": cache}
            runs = [(mode, run(mode + "\n", env=env)) for mode in ("1234" * 13)[:50]]
        first = {}
        for i, (mode, r) in enumerate(runs):
            with self.subTest(run=i + 1, mode=mode):
                self.assertTrue(reached_main_loop(r), r.err)
                transcript = (r.out, re.sub("\tID:-?[0-9]+\t", "\tID:#\t", r.err))
                self.assertEqual(transcript, first.setdefault(mode, transcript))
                self.assertEqual(r.frame, runs[0][1].frame)


class Verdicts(unittest.TestCase):
    def test_a_driver_message_longer_than_the_drain_and_those_after_it_are_printed(self):
        """Catches a drain jammed by a compiler message over its 2048 characters: that message,
        and every one after it, lost for the rest of the run."""
        name = "x" * 3000
        frag = shipped("shader.frag").replace(
            b"void main() {", b"void main() {\n    color = vec4(%s);" % name.encode())
        for mode, last in [("1", "cannot construct"), ("2", "in glUseProgramStages")]:
            with self.subTest(mode=mode):
                r = run(mode + "\n", files={"shader.frag": frag})
                self.assertTrue(reached_main_loop(r), r.err)
                events = console.parse(r.err)
                messages = [m["message"] for m in console.debug_messages(events)]
                self.assertGreaterEqual(len(messages), 2, r.err)
                self.assertIn("`%s'" % name, messages[0])
                self.assertIn(last, messages[-1])
                # The compiler's errors, as the info log lists them, all came as messages too.
                for line in console.info_log_lines(events):
                    if re.fullmatch(r"0:\d+\(\d+\): error: .*", line):
                        self.assertIn(line, messages)


class FatalSignal(unittest.TestCase):
    def test_a_crash_in_the_driver_is_named_with_its_phase(self):
        """Catches a crash that goes unexplained, names the wrong phase, or changes how the
        process ends (a parent must still see the signal)."""
        for entry_point, choice, phase, out in [
                ("glGetString", "1\n", "start-up", ""),
                ("glGetProgramiv", "3\n", "the set-up of mode 3", MENU + "Linked\n"),
                ("glDrawArrays", "2\n", "drawing", MENU + "Linked\n" * 2)]:
            with self.subTest(phase=phase):
                r = run(choice, env={"VELMOR_FAULT_IN": entry_point})
                self.assertEqual(r.out, out)
                self.assertIsNone(r.frame)
                self.assertDiedOfSegv(r, phase)
                if not SANITIZED:
                    self.assertEqual(len(console.of_kind(console.parse(r.err), "fatal")), 1)

    def test_a_stack_overflow_in_the_compiler_is_named_with_its_phase(self):
        """Catches a handler that needs the stack the driver overflowed: a 200,000-term constant
        expression exhausts it in Mesa's GLSL compiler, and the process died without its line."""
        terms = b"+".join([b"0.0"] * 200000)
        frag = shipped("shader.frag").replace(b"0.3, 1.0)", b"0.3, %s+1.0)" % terms)
        r = run("1\n", files={"shader.frag": frag})
        self.assertEqual((r.out, r.frame), (MENU, None))
        self.assertDiedOfSegv(r, "the set-up of mode 1")

    def assertDiedOfSegv(self, r, phase):
        """The fatal-signal line naming the phase, last (or before the sanitizer's report), and
        the process ended by the signal (by the sanitizer, with status 1)."""
        line = "Fatal signal SIGSEGV during %s\n" % phase
        if SANITIZED:
            self.assertEqual(r.status, 1)
            self.assertIn(line + "AddressSanitizer:DEADLYSIGNAL\n", r.err)
        else:
            self.assertEqual(r.status, -signal.SIGSEGV)
            self.assertTrue(r.err.endswith(line), r.err)


class Window(unittest.TestCase):
    def test_window_as_the_window_system_sees_it(self):
        """Catches a wrong title or first size, and a frame that does not fill a window made
        larger from outside (a viewport left at the first size leaves black margins)."""
        seen = {}

        def look_and_resize(proc, frames):
            window = window_id(frames)
            seen["title"] = x11("xdotool", "getwindowname", window)
            info = x11("xwininfo", "-id", window)
            seen["size"] = [int(re.search(r"%s: (\d+)" % side, info)[1])
                            for side in ("Width", "Height")]
            seen["resized"] = frame_after(
                frames, lambda: x11("xdotool", "windowsize", window, "1024", "768"), (1024, 768))

        r = run("2\n", while_running=look_and_resize)
        self.assertTrue(reached_main_loop(r), r.err)
        self.assertEqual(seen["title"], "Velmor\n")
        self.assertEqual(seen["size"], [800, 600])
        self.assertTrue(close_to(uniform_pixel(seen["resized"]), SHIPPED_PIXEL))


class FrontEnd(unittest.TestCase):
    def test_menu_reaches_a_pipe_before_the_choice_is_asked(self):
        """Catches a menu or a "Linked" line left in a full buffer while the program waits."""
        proc = subprocess.Popen([BIN], cwd=os.environ["VELMOR_SHADERS"], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=dict(os.environ, **test_env()))
        try:
            self.assertEqual(read_lines(proc.stdout, 4), MENU)
            proc.stdin.write(b"1\n")
            proc.stdin.flush()
            self.assertEqual(read_lines(proc.stdout, 1), "Linked\n")
        finally:
            proc.kill()
            proc.wait()


def read_lines(stream, count, timeout=20):
    text = b""
    while text.count(b"\n") < count:
        ready, _, _ = select.select([stream], [], [], timeout)
        if not ready:
            raise AssertionError("no line within %ds, got %r" % (timeout, text))
        chunk = os.read(stream.fileno(), 4096)
        if not chunk:
            break
        text += chunk
    return text.decode()


if __name__ == "__main__":
    unittest.main()

"""End-to-end: the built velmor, driven through its console and observed from outside."""
import os
import select
import subprocess
import unittest

from velmor_run import (BIN, DIRECTORY, MENU, SHIPPED_PIXEL, VERSION_LINE, base_env, close_to,
                        run, uniform_pixel)


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

    def test_missing_driver_features_end_before_the_menu(self):
        """Catches start-up that shows the menu on a GL that cannot run every mode."""
        cases = [
            ({"MESA_EXTENSION_OVERRIDE": "-GL_ARB_gl_spirv"},
             ["GL_ARB_gl_spirv is not supported"]),
            ({"MESA_EXTENSION_OVERRIDE": "-GL_ARB_separate_shader_objects"},
             ["GL_ARB_separate_shader_objects is not supported",
              "failed to init the separate shader extension"]),
        ]
        for env, lines in cases:
            with self.subTest(env=env):
                r = run("1\n", env=env)
                self.assertEqual(r.status, 1)
                first, rest = version_line(r.err)
                self.assertTrue(first.startswith(VERSION_LINE), first)
                self.assertEqual(rest.splitlines(), lines)
                # Mesa itself may warn on standard output; the menu must not be there.
                self.assertNotIn("1: GLSL", r.out)

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
                self.assertTrue(r.reached_main_loop(), r.err)
                self.assertEqual(r.out, MENU + "Linked\n" * linked)
                first, rest = version_line(r.err)
                self.assertTrue(first.startswith(VERSION_LINE), first)
                self.assertNotIn("Type:Error", rest)
                self.assertEqual(r.frame[:2], (800, 600))
                self.assertTrue(close_to(uniform_pixel(r.frame), SHIPPED_PIXEL), uniform_pixel(r.frame))
                frames[choice.strip()[0]] = r.frame
        self.assertEqual(len(set(frames.values())), 1, "the four modes draw different pictures")

    def test_missing_shaders_still_reach_the_main_loop(self):
        """Catches a mode that stops, crashes or prints the wrong verdict without its files."""
        no_files = {name: None for name in ("shader.vert", "shader.frag", "vert.spv", "frag.spv")}
        cases = [("1", "Failed to open file\n", ""), ("2", "Failed to open file\n" * 2, ""),
                 ("3", "", ""), ("4", None, "")]
        for choice, err, out in cases:
            with self.subTest(mode=choice):
                r = run(choice + "\n", files=no_files)
                self.assertTrue(r.reached_main_loop(), r.err)
                self.assertEqual(r.out, MENU + out)
                _, rest = version_line(r.err)
                if err is not None:
                    self.assertEqual(rest, err)
                else:
                    # Only the GL's own verdicts on the empty stages are drained.
                    self.assertTrue(all(line.startswith("Source:") for line in rest.splitlines()))

    def test_bad_files_never_crash(self):
        """Catches a crash or hang on a directory, garbage or the wrong kind of shader file."""
        garbage = bytes(range(256)) * 4
        cases = [("1", {"shader.frag": DIRECTORY}), ("2", {"shader.vert": garbage}),
                 ("3", {"frag.spv": DIRECTORY}), ("4", {"vert.spv": b"#version 450 core\n"}),
                 ("3", {"vert.spv": garbage}), ("1", {"shader.frag": b""})]
        for choice, files in cases:
            with self.subTest(mode=choice, files=list(files)):
                r = run(choice + "\n", files=files)
                self.assertTrue(r.reached_main_loop(), r.err)


class FrontEnd(unittest.TestCase):
    def test_menu_reaches_a_pipe_before_the_choice_is_asked(self):
        """Catches a menu or a "Linked" line left in a full buffer while the program waits."""
        proc = subprocess.Popen([BIN], cwd=os.environ["VELMOR_SHADERS"], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=base_env())
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

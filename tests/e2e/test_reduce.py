"""scripts/reduce's command (`python3 -m tools reduce`) on the built velmor and this machine's GL.
Kept short for CI: the crash is reduced with a small step limit."""
import glob
import json
import os
import subprocess
import sys
import tempfile
import unittest

import jsonschema

from e2e_support import BIN, SHADERS
from tools.reduce import write

GLSLANG = os.environ.get("GLSLANG") or "glslangValidator"
# Sanitized builds: the frame probe is preloaded ahead of the sanitizer's runtime.
ENV = dict(os.environ,
           ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
GRADIENT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "gradient")


def reduce(shaders, mode, out, *more):
    return subprocess.run([sys.executable, "-m", "tools", "reduce", "--shaders", shaders,
                           "--mode", mode, "--out", out, "--build", os.path.dirname(BIN),
                           "--timeout", "30", *more], capture_output=True, text=True,
                          timeout=600, env=ENV)


class ReduceTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory(prefix="velmor-test-reduce-")
        self.addCleanup(self.work.cleanup)
        self.out = os.path.join(self.work.name, "out")

    def test_nothing_to_reduce_is_one_line_and_status_2(self):
        """Catches: a passing mode or a GLSL mode sent to spirv-reduce, answered with more than
        one line or another status, or an output folder written anyway."""
        for mode in ("1", "3"):
            with self.subTest(mode=mode):
                done = reduce(SHADERS, mode, self.out)
                self.assertEqual(done.returncode, 2, done.stderr)
                self.assertRegex(done.stderr, r"\Anothing to reduce: [^\n]*\n\Z")
                self.assertFalse(os.path.exists(self.out))

    def test_the_mode_4_inputs_crash_shrinks_and_reproduces_without_velmor(self):
        """Catches: a reduction that grows or invalidates a module or changes the crash, temporary
        files left behind, a reduce.json its schema refuses, or a reproduce.c that does not
        crash alone."""
        shaders = os.path.join(self.work.name, "gradient")
        os.mkdir(shaders)
        for stage, name in (("vert", "vert.spv"), ("frag", "frag.spv")):
            subprocess.run([GLSLANG, "-G", "-o", os.path.join(shaders, name),
                            os.path.join(GRADIENT, "shader." + stage)], check=True,
                           stdout=subprocess.DEVNULL)
        before = set(glob.glob(os.path.join(tempfile.gettempdir(), "velmor-reduce-*")))
        done = reduce(shaders, "4", self.out, "--step-limit", "3")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(set(glob.glob(os.path.join(tempfile.gettempdir(), "velmor-reduce-*"))),
                         before)
        with open(os.path.join(self.out, "reduce.json"), encoding="utf-8") as f:
            facts = json.load(f)
        jsonschema.validate(facts, write.schema())
        self.assertEqual(facts["signature"], {"kind": "crash", "signal": "SIGSEGV",
                                              "phase": "the set-up of mode 4"})
        self.assertLess(facts["modules"]["frag.spv"]["after"]["bytes"],
                        facts["modules"]["frag.spv"]["before"]["bytes"])
        self.assertTrue(facts["verification"]["valid"] and facts["verification"]["same_signature"])
        self.assertTrue(facts["reproducer"]["reproduces"], facts["reproducer"])
        for name in ("vert.spv", "frag.spv"):
            subprocess.run(["spirv-val", "--target-env", "opengl4.5",
                            os.path.join(self.out, name)], check=True)
        self.assertEqual(sorted(os.listdir(self.out)),
                         ["README.md", "frag.spv", "frag.spvasm", "reduce.json", "reproduce.c",
                          "vert.spv", "vert.spvasm"])


if __name__ == "__main__":
    unittest.main()

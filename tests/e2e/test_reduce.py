"""scripts/reduce's command (`python3 -m tools reduce`) on the built velmor and this machine's GL.
Kept short for CI: the crash is reduced with a small step limit."""
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import jsonschema

from e2e_support import BIN, PROBE, SHADERS
from tools import modes
from tools.reduce import reproducer, trial, write

GLSLANG = os.environ.get("GLSLANG") or "glslangValidator"
# Sanitized builds: the frame probe is preloaded ahead of the sanitizer's runtime.
ENV = dict(os.environ,
           ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
GRADIENT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "gradient")
INDEX_2 = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                       "driver_bugs", "mesa-index-2")
# velmor-headless that logs each choice it gets and, as VELMOR_TEST_FAULT asks, dies of SIGSEGV:
# "second": in the second run only; "tries": in every run of modes 3 and 4 until the reduction's
# interestingness test has run one, and in each of that test's own.
STAND_IN = r"""#!/bin/sh
read choice; echo "$choice" >>"$VELMOR_TEST_LOG"; ulimit -c 0
if [ "$VELMOR_TEST_FAULT" = second ]; then [ "$(wc -l <"$VELMOR_TEST_LOG")" = 2 ] && kill -SEGV $$
elif grep -q tools.reduce.interesting /proc/$PPID/cmdline; then touch "$0.tried"; kill -SEGV $$
elif [ "$choice" != 1 ] && [ ! -e "$0.tried" ]; then kill -SEGV $$; fi
echo "$choice" | exec "$VELMOR_HEADLESS" "$@"
"""


def reduce(shaders, mode, out, *more, build=os.path.dirname(BIN), env=None):
    return subprocess.run([sys.executable, "-m", "tools", "reduce", "--shaders", shaders,
                           "--mode", mode, "--out", out, "--build", build, "--timeout", "30",
                           *more], capture_output=True, text=True, timeout=600,
                          env=dict(ENV, **(env or {})))


class ReduceTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory(prefix="velmor-test-reduce-")
        self.addCleanup(self.work.cleanup)
        self.out = os.path.join(self.work.name, "out")
        self.build = os.path.join(self.work.name, "build")
        os.mkdir(self.build)
        with open(os.path.join(self.build, "velmor-headless"), "w", encoding="utf-8") as f:
            f.write(STAND_IN)
        os.chmod(os.path.join(self.build, "velmor-headless"), 0o755)

    def test_nothing_to_reduce_is_one_line_and_status_2(self):
        """Catches: a passing mode or a GLSL mode sent to spirv-reduce, answered with more than
        one line or another status, or an output folder written anyway."""
        for mode in ("1", "3"):
            with self.subTest(mode=mode):
                done = reduce(SHADERS, mode, self.out)
                self.assertEqual(done.returncode, 2, done.stderr)
                self.assertRegex(done.stderr, r"\Anothing to reduce: [^\n]*\n\Z")
                self.assertFalse(os.path.exists(self.out))

    def test_what_reduce_refuses_touches_nothing(self):
        """Catches: a user's file in OUT, or --shaders in it, replaced; an immutable parent found
        only after the whole reduction; a crash in the second run called a pass after one run;
        a reduction whose verification shows another result written all the same."""
        locked = os.path.join(self.work.name, "locked")
        outs = [os.path.join(self.work.name, "notes"), os.path.join(self.work.name, "again"),
                os.path.join(locked, "out")]
        for out in outs:  # each an earlier result
            os.makedirs(out)
            subprocess.run(["cp", SHADERS + "/vert.spv", SHADERS + "/frag.spv", out], check=True)
            with open(os.path.join(out, "reduce.json"), "w", encoding="utf-8") as f:
                json.dump({"format": "velmor-reduce"}, f)
        open(os.path.join(outs[0], "NOTES.txt"), "w").close()
        immutable = subprocess.run(["chattr", "+i", locked] if shutil.which("chattr") else
                                   ["false"], stderr=subprocess.DEVNULL)
        if immutable.returncode == 0:
            self.addCleanup(subprocess.run, ["chattr", "-i", locked])
        for case, shaders, out, fault, line in (
                ("a user's file", SHADERS, outs[0], "second", r"\A[^\n]*\n\Z"),
                ("--shaders in OUT", outs[1], outs[1], "second", r"\A[^\n]*\n\Z"),
                ("an immutable parent", SHADERS, outs[2], "second", r"\A[^\n]*\n\Z"),
                ("unstable", SHADERS, self.out, "second", r"\Aunstable: [^\n]*\n\Z"),
                ("not verified", SHADERS, self.out, "tries", r"\nverification failed: [^\n]*\n\Z")):
            with self.subTest(case):
                if out == outs[2] and immutable.returncode != 0:
                    self.skipTest("no chattr +i on this file system")
                before = sorted(os.listdir(out)) if os.path.exists(out) else None
                log = os.path.join(self.work.name, case)
                done = reduce(shaders, "3", out, "--step-limit", "1", build=self.build,
                              env=dict(VELMOR_TEST_FAULT=fault, VELMOR_TEST_LOG=log))
                self.assertEqual(done.returncode, 1 if before is None else 2, done.stderr)
                self.assertRegex(done.stderr, line)
                self.assertEqual(sorted(os.listdir(out)) if os.path.exists(out) else None, before)
                self.assertEqual(os.path.exists(log), before is None)  # run only when allowed

    def test_a_crash_only_in_a_window_is_reduced_under_glx(self):
        """Catches: --glx not running velmor under X, where Mesa 22 crashes on Index 2 and
        velmor-headless's framebuffer draws, and a refusal that does not point at --glx."""
        shaders = os.path.join(self.work.name, "index-2")
        os.mkdir(shaders)
        for name in ("vert", "frag"):
            subprocess.run(["spirv-as", "--target-env", "opengl4.5", "-o",
                            os.path.join(shaders, name + ".spv"),
                            os.path.join(INDEX_2, name + ".spvasm")], check=True)
        seen, _ = trial.take(modes.BY_MENU["3"], shaders, trial.Target(BIN, "glx", PROBE), 30)
        if (seen or {}).get("kind") != "crash":
            self.skipTest("this GL draws Index 2 in a window too")
        done = reduce(shaders, "3", self.out)
        self.assertEqual(done.returncode, 2, done.stderr)
        self.assertIn("--glx", done.stderr)
        done = reduce(shaders, "3", self.out, "--glx", "--step-limit", "2")
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(os.path.join(self.out, "reduce.json"), encoding="utf-8") as f:
            facts = json.load(f)
        self.assertEqual((facts["signature"], facts["identity"]["window_system"],
                          facts["command"].endswith(" --glx")),
                         (seen, "GLX (velmor under X)", True))

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

    def test_the_reproducer_shows_what_velmor_shows_in_modes_3_and_4(self):
        """Catches reproduce.c built in another mode than asked: on the gradient set Mesa crashes
        in mode 4 only, so a mode-3 reproducer left in mode 4 crashes where velmor draws."""
        shaders = os.path.join(self.work.name, "gradient")
        os.mkdir(shaders)
        modules = {}
        for stage, name in (("vert", "vert.spv"), ("frag", "frag.spv")):
            subprocess.run([GLSLANG, "-G", "-o", os.path.join(shaders, name),
                            os.path.join(GRADIENT, "shader." + stage)], check=True,
                           stdout=subprocess.DEVNULL)
            with open(os.path.join(shaders, name), "rb") as f:
                modules[name] = f.read()
        target = trial.target_in(os.path.dirname(BIN))
        for menu in ("3", "4"):
            with self.subTest(mode=menu):
                seen, _ = trial.take(modes.BY_MENU[menu], shaders, target, 30)
                proof = reproducer.prove(menu, modules, self.work.name, 30)
                self.assertEqual(proof.get("signature", proof), seen, proof.get("output"))


if __name__ == "__main__":
    unittest.main()

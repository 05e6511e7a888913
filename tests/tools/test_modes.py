"""The tools' table of modes against velmor's own, and the command line's refusals."""
import contextlib
import io
import os
import re
import subprocess
import sys
import tempfile
import unittest

from tools import __main__ as command_line
from tools import modes

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def source(*parts):
    with open(os.path.join(ROOT, "src", *parts), encoding="utf-8") as f:
        return f.read()


class AgreesWithVelmor(unittest.TestCase):
    def test_menu_entries_set_ups_and_files_match_the_sources(self):
        """Catches a mode added, renamed or given other files in src/ but not in tools/modes.py."""
        startup = source("app", "startup.cpp")
        menu = "".join(re.findall(r'fprintf\(stdout, "(\d: [^"\\]*)\\n"\)', startup))
        self.assertEqual(menu, modes.menu_text().replace("\n", ""))
        table = re.findall(r'\{"(\d)", setup(\w+)\}', startup)
        # setupGlslSso is the set-up of mode id glsl-sso.
        ids = [(entry, re.sub(r"(?<!^)(?=[A-Z])", "-", name).lower()) for entry, name in table]
        self.assertEqual(ids, [(m.menu, m.id) for m in modes.MODES])
        pipelines = source("pipeline", "linked_programs.cpp") + source(
            "pipeline", "program_pipelines.cpp")
        for entry, name in table:
            body = re.search(r"void setup%s\(\) \{(.*?)\n\}" % name, pipelines, re.S)[1]
            named = re.findall(r'"([\w.]+)"', body)
            self.assertEqual(sorted(named), sorted(modes.BY_MENU[entry].files.values()))

    def test_populate_leaves_an_unreadable_source_missing(self):
        """Catches a shader folder whose missing or non-regular file stops the copy, or appears."""
        with tempfile.TemporaryDirectory() as source_dir, tempfile.TemporaryDirectory() as out:
            os.mkfifo(os.path.join(source_dir, "frag.spv"))  # a copy of it would hang
            with open(os.path.join(source_dir, "shader.vert"), "wb") as f:
                f.write(b"v")
            modes.populate(out, source_dir, {"vert.spv": modes.DIRECTORY})
            self.assertEqual(sorted(os.listdir(out)), ["shader.vert", "vert.spv"])


class CommandLine(unittest.TestCase):
    def test_bad_arguments_give_one_line_and_status_2(self):
        """Catches a bad argument that runs anything, writes a traceback, or exits otherwise."""
        for argv in (["report", "--runs", "0"], ["report", "--out", ""], ["compare"],
                     ["report", "--target", "nowhere"], ["sweep", "--bogus"], ["frobnicate"]):
            with self.subTest(argv=argv):
                err = io.StringIO()
                with contextlib.redirect_stderr(err), self.assertRaises(SystemExit) as end:
                    command_line.main(argv)
                self.assertEqual(end.exception.code, 2)
                self.assertEqual(err.getvalue().count("\n"), 1, err.getvalue())

    def test_run_starts_without_the_other_subcommands_packages(self):
        """Catches scripts/run dying on a bare machine because the command line imports the
        report's or reduce's modules (and jsonschema) at start."""
        script = """
import sys
sys.modules["jsonschema"] = None  # not installed on a bare machine
from tools import __main__ as command_line, runner
runner.run = lambda *a, **k: runner.Run(3, None, None, None, None, None, 0)
assert command_line.main(["run", "--png-dir", "."]) == 3
print(sorted(m for m in sys.modules if m.startswith(("tools.report", "tools.reduce"))))
"""
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                              cwd=ROOT, env=dict(os.environ, PYTHONPATH=ROOT))
        self.assertEqual((done.stderr, done.stdout), ("", "[]\n"))


if __name__ == "__main__":
    unittest.main()

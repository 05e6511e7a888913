"""The four-way report (tools/report.py, behind scripts/report), run on the built velmor."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from e2e_support import BIN, PROBE, SANITIZED, SHADERS, test_env
from PIL import Image

TOOLS = os.path.join(os.path.dirname(__file__), "..", "..", "tools")
sys.path.insert(0, TOOLS)
import report  # noqa: E402

GRADIENT = os.path.join(os.path.dirname(__file__), "gradient")
GLSLANG = os.environ.get("GLSLANG", "")


def run_report(*args):
    """The report's status, its console, and its folder's files (name: bytes)."""
    command = [sys.executable, os.path.join(TOOLS, "report.py"), "--velmor", BIN, "--probe", PROBE,
               *args]
    r = subprocess.run(command, capture_output=True, text=True, env=dict(os.environ, **test_env()),
                       timeout=300)
    return r.returncode, r.stdout, r.stderr


def table_rows(console):
    """The summary table's rows as lists of cells, keyed by mode."""
    rows = [line.strip("|").split(" | ") for line in console.splitlines()
            if line[:3] in ("| 1", "| 2", "| 3", "| 4")]
    return {row[0].strip()[0]: [cell.strip() for cell in row] for row in rows}


class Report(unittest.TestCase):
    def setUp(self):
        self.out = tempfile.mkdtemp(prefix="velmor-report-test-")
        self.addCleanup(shutil.rmtree, self.out, ignore_errors=True)

    def test_shipped_shaders_draw_one_picture_four_ways(self):
        """Catches a report that loses a mode, misjudges identical frames or leaves files out."""
        status, console, err = run_report("--out", self.out, "--runs", "1")
        self.assertEqual(status, 0, err)
        rows = table_rows(console)
        self.assertEqual(sorted(rows), ["1", "2", "3", "4"])
        for mode, row in rows.items():
            self.assertEqual(row[1], "drew; closed cleanly")
            self.assertEqual(row[2], "2" if mode in "24" else "1")
            self.assertEqual(row[6], "reference" if mode == "1" else "identical")
        self.assertEqual(sorted(os.listdir(self.out)), ["mode-1.png", "mode-2.png", "mode-3.png",
                                                        "mode-4.png", "modes.png", "report.md"])
        with open(os.path.join(self.out, "report.md")) as f:
            text = f.read()
        for name in ("shader.vert", "shader.frag", "vert.spv", "frag.spv"):
            self.assertIn("| %s | %d |" % (name, os.path.getsize(os.path.join(SHADERS, name))), text)

    @unittest.skipUnless(os.access(GLSLANG, os.X_OK), "GLSLANG is not set to glslangValidator")
    def test_a_fragment_input_in_mode_4_is_reported_as_the_crash_it_is(self):
        """Catches a driver crash reported as anything but the signal, without velmor's line, or
        frames of the modes that work judged unlike each other."""
        shaders = os.path.join(self.out, "shaders")
        shutil.copytree(GRADIENT, shaders)
        for stage, spv in (("shader.vert", "vert.spv"), ("shader.frag", "frag.spv")):
            subprocess.run([GLSLANG, "-G", "-o", os.path.join(shaders, spv),
                            os.path.join(shaders, stage)], check=True, capture_output=True)
        status, console, err = run_report("--shaders", shaders, "--out", self.out, "--runs", "1")
        self.assertEqual(status, 0, err)
        rows = table_rows(console)
        self.assertEqual([rows[m][6] for m in "123"], ["reference", "identical", "identical"])
        gradient = Image.open(os.path.join(self.out, "mode-1.png"))
        self.assertGreater(len(gradient.getcolors(1 << 20)), 1000)
        ended = "exit status 1" if SANITIZED else "killed by SIGSEGV"
        self.assertEqual(rows["4"][1], ended)
        self.assertEqual(rows["4"][6], "no frame: " + ended)
        with open(os.path.join(self.out, "report.md")) as f:
            mode_4 = f.read().split("## Mode 4")[1]
        self.assertIn("Fatal signal SIGSEGV during the set-up of mode 4\n", mode_4)
        if not SANITIZED:
            self.assertIn("Fatal signal SIGSEGV during the set-up of mode 4\n```", mode_4)

    def test_bad_arguments_write_nothing(self):
        """Catches a bad option that starts velmor, writes files or says more than one line."""
        missing = os.path.join(self.out, "missing")
        a_file = os.path.join(self.out, "file")
        open(a_file, "w").close()
        for args in (["--shaders", missing], ["--out", os.path.join(a_file, "report")],
                     ["--runs", "0"], ["--runs", "x"], ["--frobnicate", "1"]):
            with self.subTest(args=args):
                status, console, err = run_report(*args)
                self.assertEqual((status, console, err.count("\n")), (2, "", 1))
                self.assertEqual(os.listdir(self.out), ["file"])

    def test_pixel_comparison_finds_one_pixel(self):
        """Catches a comparison that misses a single differing pixel or misplaces it."""
        a = Image.new("RGBA", (8, 4), (230, 122, 46, 255))
        b = a.copy()
        self.assertIsNone(report.compare(a, b))
        b.putpixel((5, 2), (230, 122, 47, 255))
        self.assertEqual(report.compare(a, b), (1, (5, 2), (230, 122, 46, 255), (230, 122, 47, 255)))


if __name__ == "__main__":
    unittest.main()

"""The report (tools/report/, behind scripts/report), run on the built velmor: report.json and
its schema, a mode that hangs or crashes as its window closes, and the compare view."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import jsonschema
from e2e_support import BIN, FAULTS, PROBE, SANITIZED, SHADERS, test_env
from PIL import Image

from tools.report import pictures

GRADIENT = os.path.join(os.path.dirname(__file__), "gradient")
HEADLESS = os.environ.get("VELMOR_HEADLESS",
                          os.path.join(os.path.dirname(BIN), "velmor-headless"))
GLSLANG = os.environ.get("GLSLANG", "")


def run_report(*args, velmor=BIN, **env):
    """The report's status, its console and its standard error."""
    compare = args[:1] == ("--compare",)
    command = [sys.executable, "-m", "tools", "compare" if compare else "report",
               *args[compare:]]
    if not compare:
        command += ["--velmor", velmor, "--probe", PROBE]
    r = subprocess.run(command, capture_output=True, text=True, timeout=300,
                       env=dict(os.environ, **test_env(**env)))
    return r.returncode, r.stdout, r.stderr


def table_rows(console):
    """The summary table's rows as lists of cells, keyed by mode."""
    rows = [line.strip("|").split(" | ") for line in console.splitlines()
            if line[:3] in ("| 1", "| 2", "| 3", "| 4")]
    return {row[0].strip()[0]: [cell.strip() for cell in row] for row in rows}


def load(folder):
    with open(os.path.join(folder, "report.json"), encoding="utf-8") as f:
        data = json.load(f)
    with open(os.path.join(os.path.dirname(pictures.__file__), "report.schema.json")) as f:
        jsonschema.validate(data, json.load(f))
    return data


SHIPPED = {}  # the report of the shipped shaders, made once: its folder and run_report's result


def setUpModule():
    SHIPPED["folder"] = tempfile.mkdtemp(prefix="velmor-report-test-")
    SHIPPED["result"] = run_report("--out", SHIPPED["folder"], "--runs", "1")


def tearDownModule():
    shutil.rmtree(SHIPPED["folder"], ignore_errors=True)


class Report(unittest.TestCase):
    def setUp(self):
        self.out = tempfile.mkdtemp(prefix="velmor-report-test-")
        self.addCleanup(shutil.rmtree, self.out, ignore_errors=True)

    def test_shipped_shaders_draw_one_picture_four_ways(self):
        """Catches a report that loses a mode, misjudges identical frames, leaves files out, or
        writes a report.json its schema refuses."""
        status, console, err = SHIPPED["result"]
        self.assertEqual(status, 0, err)
        rows = table_rows(console)
        self.assertEqual(sorted(rows), ["1", "2", "3", "4"])
        for mode, row in rows.items():
            linked = "2" if mode in "24" else "1"
            self.assertEqual(row[1:4], ["pass", "drew; closed cleanly", linked])
            self.assertEqual(row[7], "reference" if mode == "1" else "identical")
        self.assertEqual(sorted(os.listdir(SHIPPED["folder"])), [
            "mode-1.png", "mode-2.png", "mode-3.png", "mode-4.png", "modes.png", "report.json",
            "report.md"])
        report = load(SHIPPED["folder"])
        self.assertEqual([m["id"] for m in report["modes"]],
                         ["glsl", "glsl-sso", "spirv", "spirv-sso"])
        self.assertEqual(len({m["frame"]["rgba_sha256"] for m in report["modes"]}), 1)
        self.assertIn(report["identity"]["gl"]["version"], report["modes"][0]["stderr"])
        self.assertEqual(report["identity"]["gl"]["context_flags"], "0x2")  # the debug flag
        for f in report["shader_files"]:
            self.assertEqual(f["size"], os.path.getsize(os.path.join(SHADERS, f["name"])))

    @unittest.skipUnless(os.access(GLSLANG, os.X_OK), "GLSLANG is not set to glslangValidator")
    def test_a_fragment_input_in_mode_4_is_reported_as_the_known_crash_it_is(self):
        """Catches a driver crash reported as anything but the signal, without velmor's line or
        the known-bug label, or frames of the modes that work judged unlike each other."""
        shaders = os.path.join(self.out, "shaders")
        shutil.copytree(GRADIENT, shaders)
        for stage, spv in (("shader.vert", "vert.spv"), ("shader.frag", "frag.spv")):
            subprocess.run([GLSLANG, "-G", "-o", os.path.join(shaders, spv),
                            os.path.join(shaders, stage)], check=True, capture_output=True)
        status, console, err = run_report("--shaders", shaders, "--out", self.out, "--runs", "1")
        self.assertEqual(status, 0, err)
        rows = table_rows(console)
        self.assertEqual([rows[m][7] for m in "123"], ["reference", "identical", "identical"])
        gradient = Image.open(os.path.join(self.out, "mode-1.png"))
        self.assertGreater(len(gradient.getcolors(1 << 20)), 1000)
        ended = "exit status 1" if SANITIZED else "killed by SIGSEGV"
        line = "Fatal signal SIGSEGV during the set-up of mode 4"
        self.assertEqual(rows["4"][1:3], ["crash: " + line, ended])
        mode_4 = load(self.out)["modes"][3]
        self.assertEqual((mode_4["fatal_signal"], mode_4["frame"]), (line, None))
        with open(os.path.join(self.out, "report.md")) as f:
            self.assertIn("- Mode 4: known Mesa crash: SPIR-V separable fragment stage with "
                          "inputs, debug context\n", f.read())

    def test_a_hang_and_a_crash_at_close_are_recorded(self):
        """Catches a hung mode or a crash as the window closes that stops the report (no
        report.json) or is recorded as anything but what happened."""
        cases = [({"VELMOR_SLEEP_IN": "glDrawArrays"}, "timeout", "hung: killed after 3 s")]
        if not SANITIZED:  # a sanitizer's handler would turn the signal into exit status 1
            cases.append(({"VELMOR_CRASH_AT_EXIT": "velmor"}, "crash",
                          "drew; killed by SIGSEGV as its window closed"))
        for env, expected, ended in cases:
            with self.subTest(env=env):
                shutil.rmtree(self.out, ignore_errors=True)
                status, console, err = run_report("--out", self.out, "--runs", "2", "--timeout",
                                                  "3", LD_PRELOAD=FAULTS, **env)
                self.assertEqual(status, 0, err)
                mode = load(self.out)["modes"][0]
                self.assertEqual((mode["status"], mode["ending"]["text"]), (expected, ended))

    @unittest.skipUnless(os.access(HEADLESS, os.X_OK), "velmor-headless is not built")
    def test_headless_report_records_egl_and_its_platform_without_a_display(self):
        """Catches a --headless report that needs an X server, records another window system
        or no EGL platform, or writes a report.json its schema refuses."""
        status, console, err = run_report("--headless", "--out", self.out, "--runs", "1",
                                          velmor=HEADLESS, DISPLAY=":4095")
        self.assertEqual(status, 0, err)
        self.assertEqual([row[1] for row in table_rows(console).values()], ["pass"] * 4)
        ident = load(self.out)["identity"]
        self.assertEqual((ident["window_system"], ident["egl"]["platform"]), ("EGL", "surfaceless"))
        self.assertTrue(ident["egl"]["version"])

    def test_bad_arguments_write_nothing(self):
        """Catches a bad option that starts velmor, writes files or says more than one line."""
        missing = os.path.join(self.out, "missing")
        a_file = os.path.join(self.out, "file")
        open(a_file, "w").close()
        for args in (["--shaders", missing], ["--out", os.path.join(a_file, "report")],
                     ["--out", ""], ["--out", a_file],
                     ["--runs", "0"], ["--runs", "x"], ["--timeout", "0"], ["--frobnicate", "1"],
                     ["--target", "no-such-driver"], ["--target", "host-llvmpipe", "--headless"]):
            with self.subTest(args=args):
                status, console, err = run_report(*args)
                self.assertEqual((status, console, err.count("\n")), (2, "", 1))
                self.assertEqual(os.listdir(self.out), ["file"])

    def test_a_folder_without_a_fragment_stage_passes_no_mode(self):
        """Catches a mode rated pass or warn although velmor never built its fragment stage, or
        velmor's own refusal of a module filed as the GL's info log (issue 20)."""
        shaders = os.path.join(self.out, "shaders")
        os.mkdir(shaders)
        for name in ("shader.vert", "vert.spv"):
            shutil.copy(os.path.join(SHADERS, name), shaders)
        open(os.path.join(shaders, "frag.spv"), "wb").close()
        status, console, err = run_report("--shaders", shaders, "--out", self.out, "--runs", "1")
        self.assertEqual(status, 0, err)
        report = load(self.out)
        self.assertEqual([(m["status"], m["reason"]) for m in report["modes"]], [
            ("fail", "not built: fragment stage (%s): %s" % (name, why)) for name, why in (
                ("shader.frag", "missing or unreadable"), ("shader.frag", "missing or unreadable"),
                ("frag.spv", "refused by the validator: Invalid SPIR-V magic number."),
                ("frag.spv", "refused by the validator: Invalid SPIR-V magic number."))])
        refusal = "frag.spv is not valid SPIR-V: Invalid SPIR-V magic number."
        for mode in report["modes"][2:]:
            self.assertIn(refusal, mode["velmor_lines"])
            self.assertNotIn(refusal, mode["info_log"])

    def test_pixel_comparison_finds_one_pixel(self):
        """Catches a comparison that misses a single differing pixel or misplaces it."""
        a = Image.new("RGBA", (8, 4), (230, 122, 46, 255))
        b = a.copy()
        self.assertIsNone(pictures.difference(a, b))
        b.putpixel((5, 2), (230, 122, 47, 255))
        self.assertEqual(pictures.difference(a, b),
                         (1, (5, 2), (230, 122, 46, 255), (230, 122, 47, 255)))


class Compare(unittest.TestCase):
    """Reports derived from the shipped run, changed where a case needs."""

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="velmor-compare-test-")
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        self.a = os.path.join(self.work, "a")
        shutil.copytree(SHIPPED["folder"], self.a)
        self.out = os.path.join(self.work, "out")

    def derived(self, name, change):
        folder = os.path.join(self.work, name)
        shutil.copytree(self.a, folder)
        report = load(folder)
        change(report, folder)
        with open(os.path.join(folder, "report.json"), "w") as f:
            json.dump(report, f)
        return folder

    def test_the_rows_that_differ_come_first_with_a_difference_image(self):
        """Catches a compare view that misses a changed status or picture, shows rows that
        agree as differences, names a regression wrongly, or draws no difference image."""
        def crash_mode_3_and_repaint_mode_2(report, folder):
            report["modes"][2]["status"] = "crash"
            frame = Image.open(os.path.join(folder, "mode-2.png")).convert("RGBA")
            frame.putpixel((10, 10), (0, 0, 0, 255))
            frame.save(os.path.join(folder, "mode-2.png"))
            report["modes"][1]["frame"]["rgba_sha256"] = "0" * 64
        b = self.derived("b", crash_mode_3_and_repaint_mode_2)
        status, console, err = run_report("--compare", "--baseline", self.a, b, "--out", self.out)
        self.assertEqual(status, 0, err)
        with open(os.path.join(self.out, "compare.json")) as f:
            rows = json.load(f)["rows"]
        self.assertEqual([(r["section"], r["name"]) for r in rows if not r["same"]],
                         [("2 GLSL SSO", "Picture"), ("3 SPIRV", "Status")])
        # No fatal-signal line, so no known driver behaviour: a new crash.
        self.assertRegex(console, r"\n- [^\n]*: mode 3 SPIRV: status pass → crash \(NEW: ")
        self.assertIn("## Regressions against the baseline (1)", console)
        sheet = Image.open(os.path.join(self.out, "compare.png"))
        self.assertGreater(sheet.width, 3 * 160)  # two frames and their difference

    def test_identical_reports_are_the_same_in_all(self):
        """Catches a compare view that finds differences between two copies of one report."""
        status, console, err = run_report("--compare", self.a, self.derived("b", lambda r, f: 0),
                                          "--out", self.out)
        self.assertEqual(status, 0, err)
        self.assertIn("Same in all 2: 1 GLSL (Status, Ending, Linked, Debug messages, Info-log "
                      "lines, Picture, First frame (ms));", console)
        self.assertNotIn("| 1 GLSL Status |", console)
        self.assertFalse(os.path.exists(os.path.join(self.out, "compare.png")))

    def test_refusals_write_nothing(self):
        """Catches a compare that takes a foreign or future file, or too few reports, or writes
        anything when it refuses."""
        foreign = os.path.join(self.work, "foreign.json")
        with open(foreign, "w") as f:
            json.dump({"format": "piglit", "version": 1}, f)
        garbage = os.path.join(self.work, "garbage.json")
        with open(garbage, "wb") as f:
            f.write(b"\xff\x00 not json")

        def future(report, folder):
            report["version"] = 3
        for args in ([self.a], [self.a, foreign], [self.a, garbage],
                     [self.a, self.derived("future", future)]):
            with self.subTest(args=args):
                status, console, err = run_report("--compare", *args, "--out", self.out)
                self.assertEqual((status, console, err.count("\n")), (2, "", 1), err)
                self.assertFalse(os.path.exists(self.out))


if __name__ == "__main__":
    unittest.main()

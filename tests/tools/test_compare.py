"""compare: changes against a baseline, masking, new crashes, and hostile report files."""
import argparse
import contextlib
import io
import json
import os
import shutil
import struct
import tempfile
import unittest
import zlib

from report_fixture import crashed, report, save
from tools import publish
from tools.report import compare, write
from tools.report.result_file import Refused


class Compare(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="velmor-compare-test-")
        self.addCleanup(shutil.rmtree, self.work)
        self.out = os.path.join(self.work, "out")
        self.a = save(os.path.join(self.work, "a"), report(0))

    def test_changes_against_the_baseline_mask_names_and_mark_new_crashes(self):
        """Catches a regression not named, object names or addresses counted as changes, or a
        new crash called known (issue 20: --baseline called the Location-4096 crash known)."""
        old, new = report(0), crashed(report(0), "4",
                                      "Fatal signal SIGSEGV during the set-up of mode 4")
        for data, name in ((old, "pipeline 1 at 0x5f00"), (new, "pipeline 7 at 0x1234")):
            data["modes"][1]["debug_messages"] = [{"source": "OpenGL", "type": "Portability",
                                                   "id": 1, "severity": "Med", "message": name}]
        save(self.a, old)
        b = save(os.path.join(self.work, "b"), new)
        text = compare.compare([b], self.out, self.a)
        self.assertIn("## Regressions against the baseline (1)", text)
        self.assertIn("mode 4 SPIRV SSO: status pass → crash (%s)" % compare.known_behaviour.NEW,
                      text)
        self.assertIn("## Other changes against the baseline (0)", text)
        with open(os.path.join(self.out, "compare.json")) as f:
            self.assertEqual([c["mode"] for c in json.load(f)["new_crashes"]], ["spirv-sso"])

    def test_a_format_1_baseline_is_never_new_nor_a_change_where_it_lacks_the_facts(self):
        """Catches a format-1 report (no Input variables, no traits) whose known crash is called
        NEW, or the same result in both columns listed as a change (issue 25)."""
        setup_4 = "Fatal signal SIGSEGV during the set-up of mode 4"
        old = crashed(report(1), "4", setup_4)
        old["version"] = 1
        for f in old["shader_files"]:
            del f["input_variables"], f["traits"]
        for m in old["modes"]:
            del m["velmor_lines"]
        save(self.a, old)
        b = save(os.path.join(self.work, "b"), crashed(report(1), "4", setup_4))
        text = compare.compare([b], self.out, self.a)
        self.assertNotIn("NEW", text)
        self.assertIn("crash: %s (cannot tell: format 1 does not record the Input variables and "
                      "traits of the SPIR-V files)" % setup_4, text)
        for kind in ("Regressions", "Fixes", "Other changes"):
            self.assertIn("## %s against the baseline (0)" % kind, text)

    def test_hostile_reports_are_refused_and_nothing_is_written(self):
        """Catches a hostile or broken report file that hangs, exhausts, traces back, opens a
        picture outside its folder, or leaves anything written (issue 20)."""
        def edited(change):
            data = report(0)
            change(data)
            return data

        def frame(key, value):
            return lambda d: d["modes"][0]["frame"].update({key: value})

        text = json.dumps(report(0))
        cases = {
            "NaN": text.replace('"median": 300.0', '"median": NaN', 1),
            "5000 digits": text.replace('"runs_per_mode": 1', '"runs_per_mode": 1' + "0" * 5000),
            "deep": "[" * 100000 + "]" * 100000,
            "reversed": edited(lambda d: d["modes"].reverse()),
            "four mode 1s": edited(lambda d: d.update(modes=[d["modes"][0]] * 4)),
            "negative size": edited(lambda d: d["shader_files"][0].update(size=-1)),
            "absolute frame": edited(frame("file", "/etc/mode-1.png")),
            "frame up a folder": edited(frame("file", "../mode-1.png")),
            "size unlike the recorded": edited(frame("width", 9)),
        }
        reports = [save(os.path.join(self.work, name), data if isinstance(data, dict) else
                        report(0), data if isinstance(data, str) else None)
                   for name, data in cases.items()]
        truncated = save(os.path.join(self.work, "truncated"), report(0))
        with open(os.path.join(truncated, "mode-2.png"), "r+b") as f:
            f.truncate(50)  # within the pixel data
        bomb = save(os.path.join(self.work, "bomb"), report(0))
        with open(os.path.join(bomb, "mode-3.png"), "r+b") as f:  # claims 20000x20000
            png = bytearray(f.read())
            png[16:24] = struct.pack(">II", 20000, 20000)
            png[29:33] = struct.pack(">I", zlib.crc32(png[12:29]))
            f.seek(0)
            f.write(png)
        fifo = os.path.join(self.work, "fifo.json")
        os.mkfifo(fifo)
        for argument in reports + [truncated, bomb, fifo]:
            with self.subTest(report=os.path.basename(argument)):
                with self.assertRaises(Refused) as refused:
                    compare.compare([argument], self.out, self.a)
                self.assertNotIn("\n", str(refused.exception))
        with self.assertRaises(Refused):  # the baseline listed again, spelled otherwise
            compare.compare([os.path.join(self.a, "report.json"), reports[0]], self.out, self.a)
        self.assertFalse(os.path.exists(self.out))
        self.assertEqual([n for n in os.listdir(self.work) if n.startswith(".")], [])

    def test_two_to_sixteen_reports_each_named_once(self):
        """Catches a compare of one report, or of more than a sweep gives, or one report
        compared with itself."""
        for count in (1, 16, 17):
            named = [os.path.join(self.work, "r%d" % i) for i in range(count)]
            with self.subTest(count=count), self.assertRaises(Refused) as refused:
                compare.load_all(named, None)
            self.assertEqual(str(refused.exception).startswith("--compare takes 2 to 16 reports, "
                                                               "the baseline included, not "),
                             count != 16)
        with self.assertRaises(Refused) as refused:
            compare.load_all([self.a, os.path.join(self.a, "report.json")], None)
        self.assertTrue(str(refused.exception).endswith("report.json are the same report"))
        with self.assertRaises(Refused) as refused:
            compare.load_all([self.a], os.path.join(self.a, "report.json"))
        self.assertTrue(str(refused.exception).endswith(" (the baseline is not listed again)"))
        self.assertEqual(len(compare.load_all([self.a, save(os.path.join(self.work, "b"),
                                                            report(0))], None)), 2)

    def test_the_command_says_where_it_wrote_or_refuses_in_one_line(self):
        """Catches a refusal that is not status 2 and one line, a written compare not said, a
        target whose identity check failed not named in its column, or a file left out."""
        b, b_target = report(0), {"name": "zink", "expected_renderer": "zink",
                                  "check": "invalid: wrong driver"}
        b["identity"]["target"] = b_target
        b["modes"][0]["frame"]["rgba_sha256"] = "c" * 64
        b = save(os.path.join(self.work, "b"), b)
        checked = report(0)
        checked["identity"]["target"] = dict(b_target, check="pass")
        checked = save(os.path.join(self.work, "checked"), checked)
        for reports, status, stream, last in (
                ([checked, b], 0, 0, "Compare written to %s/compare.md" % self.out),
                ([self.a], 2, 1, "scripts/report: --compare takes 2 to 16 reports, the baseline "
                 "included, not 1")):
            options = argparse.Namespace(reports=reports, out=self.out, baseline=None)
            printed = io.StringIO(), io.StringIO()
            with self.subTest(status=status), contextlib.redirect_stdout(printed[0]), \
                    contextlib.redirect_stderr(printed[1]):
                self.assertEqual(compare.main(options), status)
                self.assertEqual(printed[stream].getvalue().splitlines()[-1], last)
                if status == 0:
                    self.assertIn("GLX | llvmpipe · Mesa 22.3.6 · Debian 12 · GLX #2 (invalid: "
                                  "wrong driver) |\n", printed[0].getvalue())
                    self.assertNotIn("## Regressions", printed[0].getvalue())
        self.assertEqual(sorted(os.listdir(self.out)), ["compare.json", "compare.md",
                                                        "compare.png"])
        with open(os.path.join(self.out, "compare.json")) as f:
            self.assertIsNone(json.load(f)["baseline"])
        compare.compare([checked], self.out, self.a)  # no picture differs: compare.png goes
        self.assertEqual(sorted(os.listdir(self.out)), ["compare.json", "compare.md"])
        with open(os.path.join(self.out, "compare.json")) as f:
            self.assertEqual(json.load(f)["baseline"],
                             "llvmpipe · Mesa 22.3.6 · Debian 12 · GLX")

    def test_a_new_report_leaves_no_file_of_the_earlier_one(self):
        """Catches a stale mode-3.png kept beside a report that says mode 3 drew nothing, or a
        file that is not the report's removed (issue 20)."""
        with publish.folder_beside(self.a) as made:
            open(os.path.join(made, "report.json"), "w").close()
            open(os.path.join(self.a, "notes.txt"), "w").close()
            publish.publish(made, self.a, write.REPORT_FILES, "report.json")
        self.assertEqual(sorted(os.listdir(self.a)), ["notes.txt", "report.json"])
        self.assertEqual(os.listdir(self.work), ["a"])


def edited(data, **fields_by_menu):
    """The report with the fields of some modes changed: mode_1={...}, ..."""
    for key, fields in fields_by_menu.items():
        data["modes"][int(key[-1]) - 1].update(fields)
    return data


EXPECTED = os.path.join(os.path.dirname(os.path.abspath(__file__)), "expected")


def markdown(reports, baseline, skipped=()):
    """compare.md of the reports, named A, B, ..."""
    names = [chr(ord("A") + i) for i in range(len(reports))]
    rows = compare.build_rows(reports)
    found = compare.changes(reports, names, baseline) if baseline is not None else None
    return compare.markdown_text(reports, names, rows, found, skipped, baseline)


class Changes(unittest.TestCase):
    def test_each_change_against_the_baseline_is_classed(self):
        """Catches a fix counted as a regression, a status that stands apart counted as either,
        the time-noise band removed or widened, or a row's change not named."""
        base, glsl, sso = report(0), "B: mode 1 GLSL: ", "B: mode 2 GLSL SSO: "
        ending = dict(base["modes"][0]["ending"], text="closed")
        frame = dict(base["modes"][0]["frame"], rgba_sha256="c" * 64)

        def ms(value):
            return {"first_frame_ms": {"samples": [value], "median": value}}

        cases = [
            (base, edited(report(0), mode_1={"status": "warn"}),
             {"regressions": [glsl + "status pass → warn"]}),
            (crashed(report(1), "4", "Fatal signal SIGSEGV during the set-up of mode 4"),
             report(1), {"fixes": ["B: mode 4 SPIRV SSO: status crash → pass"]}),
            (edited(report(0), mode_2={"status": "timeout"}),
             edited(report(0), mode_2={"status": "fail"}),
             {"fixes": [sso + "status timeout → fail"]}),
            (base, edited(report(0), mode_3={"status": "not-supported"}),
             {"other": ["B: mode 3 SPIRV: status pass → not-supported"]}),
            (base, edited(report(0), mode_2=ms(600.0)), {}),
            (base, edited(report(0), mode_2=ms(150.0)), {}),
            (base, edited(report(0), mode_2=ms(None)), {}),
            (base, edited(report(0), mode_2=ms(601.0)),
             {"other": [sso + "first frame (ms) 300 → 601"]}),
            (base, edited(report(0), mode_1={"linked": 0, "info_log": ["0:1(1): x", "y"]}),
             {"other": [glsl + "linked 1 → 0", glsl + "info-log lines 0 → 2: 0:1(1): x"]}),
            (edited(report(0), mode_1={"status": "fail", "reason": "drew only black"}),
             edited(report(0), mode_1={"status": "fail", "reason": "drew nothing"}),
             {"other": [glsl + "status fail: drew only black → fail: drew nothing"]}),
            (base, edited(report(0), mode_1={"frame": frame, "ending": ending}),
             {"other": [glsl + "ending drew; closed cleanly → closed",
                        glsl + "picture aaaaaaaaaaaa (8x6) → cccccccccccc (8x6)"]}),
        ]
        for old, new, expected in cases:
            with self.subTest(expected=expected):
                found = compare.changes([old, new], ["A", "B"], 0)
                self.assertEqual(found, dict({"regressions": [], "fixes": [], "other": []},
                                             **expected))

    def test_labels_tell_every_report_apart_and_masks_hide_only_names(self):
        """Catches two columns with the same label (a second run of a target, an EGL device
        beside surfaceless), a report without Mesa or an OS named wrongly, or a mask that hides
        more than object names and addresses."""
        def ident(gl=None, **changes):
            data = report(0)
            data["identity"].update(changes)
            data["identity"]["gl"].update(gl or {})
            return data

        glx, egl = ("llvmpipe · Mesa 22.3.6 · Debian 12 · " + w for w in ("GLX", "EGL "))
        reports = [report(0), report(0),
                   ident(window_system="EGL", egl={"platform": "surfaceless", "device": None}),
                   ident(window_system="EGL", egl={"platform": "device", "device": 1}),
                   ident(gl={"renderer": None, "version": "4.6.0 NVIDIA 535.54.03"},
                         mesa_package=None, os=None)]
        self.assertEqual(compare.labels(reports), [
            glx, glx + " #2", egl + "surfaceless", egl + "device 1",
            "unknown renderer · no Mesa · unknown OS · GLX"])
        for text, expected in (("pipeline 7 at 0x1F2e", "pipeline # at 0x#"),
                               ("Program object 12 linked", "Program object # linked"),
                               ("texture=3, buffer 4", "texture=#, buffer #"),
                               ("shader3 uses 2 inputs", "shader3 uses 2 inputs")):
            with self.subTest(text=text):
                self.assertEqual(compare.masked(text), expected)

    def test_compare_md_names_each_difference_change_and_crash(self):
        """Catches a row that differs folded into "same in all" or the reverse, an identity
        value or a section of compare.md lost or misnamed, or the known and new crashes mixed."""
        a, b = report(1), crashed(report(1), "4", "Fatal signal SIGSEGV during the set-up of "
                                  "mode 4")
        b["identity"].update(kernel=None, overrides=True, target={
            "name": "zink", "expected_renderer": "zink", "check": "pass"})
        b["identity"]["environment"].update(GALLIUM_DRIVER="zink",
                                            MESA_LOADER_DRIVER_OVERRIDE="zink")
        b["identity"]["gl"]["vendor"] = b["identity"]["velmor"]["describe"] = None
        b["modes"][2] = crashed(report(0), "3", None)["modes"][2]  # no fatal-signal line
        b["modes"][0]["debug_messages"] = [
            {"source": "OpenGL", "type": t, "id": 1, "severity": s, "message": m}
            for t, s, m in (("Portability", "Med", "pipeline 3"), ("Error", "High", "x"))]
        b["modes"][1]["frame"]["rgba_sha256"] = "c" * 64
        with open(os.path.join(EXPECTED, "compare.md"), encoding="utf-8") as f:
            self.assertEqual(markdown([a, b], 0, [{"target": "softpipe", "reason": "no 4.5"}]),
                             f.read())
        self.assertEqual([r["name"] for r in compare.build_rows([a, b])
                          if r["section"] == "identity" and not r["same"]],
                         ["Vendor", "Kernel", "Velmor", "Driver variables", "Overrides",
                          "Identity check"])
        self.assertTrue(markdown([a, edited(report(1), mode_1={"status": "warn"})], None)
                        .endswith("\nEvery mode's picture is the same in all reports.\n"))
        every_row = ("Status, Ending, Linked, Debug messages, Info-log lines, Picture, First "
                     "frame (ms)")
        self.assertTrue(markdown([a, report(1)], None).endswith(
            "## Modes\n\nSame in all 2: %s.\n\nEvery mode's picture is the same in all reports.\n"
            % "; ".join("%s (%s)" % (m, every_row) for m in ("1 GLSL", "2 GLSL SSO", "3 SPIRV",
                                                               "4 SPIRV SSO"))))
        for m in b["modes"]:
            m.update(status="warn", ending=b["modes"][2]["ending"], linked=9, info_log=["x"],
                     frame=None, debug_messages=b["modes"][0]["debug_messages"],
                     first_frame_ms={"samples": [900.0], "median": 900.0})
        self.assertIn("\nNothing is the same in all 2.\n", markdown([a, b], None))

    def test_pictures_are_laid_against_the_baseline_or_the_first_frame(self):
        """Catches a mode whose pictures differ left out of compare.png, one alike put in, or a
        difference image taken against a report that has no frame."""
        reports = [crashed(report(0), "2", "Fatal signal SIGSEGV during drawing"), report(0),
                   report(0)]
        reports[1]["modes"][0]["status"] = "warn"  # the same picture
        for m in reports[2]["modes"][1:3]:
            m["frame"]["rgba_sha256"] = "c" * 64
        for i, r in enumerate(reports):
            r["frames"] = {m["menu"]: m["frame"] and "frame %d" % i for m in r["modes"]}
        rows = compare.build_rows(reports)
        drew = ["pass: drew; closed cleanly"] * 3
        frames = ["frame 0", "frame 1", "frame 2"]
        for baseline, reference, first in ((0, 1, 0), (None, 1, 0), (2, 2, 2)):
            with self.subTest(baseline=baseline):
                self.assertEqual(compare.picture_rows(reports, rows, baseline), [
                    ("Mode 2 GLSL SSO", [None] + frames[1:], ["crash: killed by SIGSEGV"]
                     + drew[1:], reference), ("Mode 3 SPIRV", frames, drew, first)])

"""compare: changes against a baseline, masking, new crashes, and hostile report files."""
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

    def test_a_new_report_leaves_no_file_of_the_earlier_one(self):
        """Catches a stale mode-3.png kept beside a report that says mode 3 drew nothing, or a
        file that is not the report's removed (issue 20)."""
        with publish.folder_beside(self.a) as made:
            open(os.path.join(made, "report.json"), "w").close()
            open(os.path.join(self.a, "notes.txt"), "w").close()
            publish.publish(made, self.a, write.REPORT_FILES, "report.json")
        self.assertEqual(sorted(os.listdir(self.a)), ["notes.txt", "report.json"])
        self.assertEqual(os.listdir(self.work), ["a"])

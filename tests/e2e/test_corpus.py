"""The corpus run end to end on the committed corpus (tests/corpus/), with velmor-headless: every
line of results.csv, the verdict of each kind of case, what is kept of the cases that are not
all-pass, a run stopped half way, and the refusals."""
import csv
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
CORPUS = os.path.join(ROOT, "tests", "corpus")
HEADLESS = os.environ["VELMOR_HEADLESS"]
# A sanitizer's handler takes a fatal signal over: the crashes end otherwise there.
SANITIZED = os.environ.get("VELMOR_SANITIZED") == "ON"
# velmor-headless needs no display.
ENV = dict({k: v for k, v in os.environ.items() if k != "DISPLAY"}, PYTHONPATH=ROOT)

# Status of each line on Mesa 22.3 (llvmpipe), where the new/ case's module crashes.
EXPECTED = {
    "agree/colour.shader_test": ("Pass", "Pass", "Pass", "Pass"),
    "agree/shipped": ("Pass", "Pass", "Pass", "Pass"),
    "bad/misspelt.shader_test": ("Fail", "Fail", "Fail", "Fail"),
    "differs/twin.shader_test": ("Pass", "Pass", "Fail", "Fail"),
    "known/gradient.frag": ("Pass", "Pass", "Pass", "Crash"),
    "new/location-4095.shader_test": ("Skip", "Skip", "Crash", "Crash"),
    "skip/geometry.shader_test": ("Skip", "Skip", "Skip", "Skip"),
}
MODE_IDS = ("glsl", "glsl-sso", "spirv", "spirv-sso")


def corpus(*args, **options):
    return subprocess.run([sys.executable, "-m", "tools", "corpus", "--velmor", HEADLESS, *args],
                          cwd=ROOT, env=ENV, capture_output=True, text=True, timeout=600,
                          **options)


class CorpusRun(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out = tempfile.mkdtemp(prefix="velmor-corpus-test-")
        cls.done = corpus(CORPUS, "--out", cls.out, "-j", "2")
        with open(os.path.join(cls.out, "corpus.json")) as f:
            cls.data = json.load(f)
        cls.cases = {c["name"]: c for c in cls.data["cases"]}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.out, ignore_errors=True)

    def test_every_line_of_results_csv(self):
        """Catches a case or mode missing from the results, lines out of order, a status in
        other words than deqp-runner's, or a verdict of the wrong way."""
        # Its failures are unexpected with no baseline: status 1 (docs/ci.md).
        self.assertEqual(self.done.returncode, 1, self.done.stderr)
        with open(os.path.join(self.out, "results.csv")) as f:
            rows = list(csv.reader(f))
        self.assertEqual([r[0] for r in rows], sorted(r[0] for r in rows))
        found = {r[0]: r[1] for r in rows}
        expected = {"%s@%s" % (case, mode): status for case, statuses in EXPECTED.items()
                    for mode, status in zip(MODE_IDS, statuses)}
        for name in [n for n, s in expected.items() if s == "Crash"]:
            # The Location 4095 crash is Mesa 22.3's.
            if SANITIZED or ("new/" in name and not on_mesa_22_3(self.data)):
                del expected[name], found[name]
        self.assertEqual(found, expected)
        with open(os.path.join(self.out, "failures.csv")) as f:
            failures = [r[0] for r in csv.reader(f)]
        self.assertEqual(failures, [n for n, s, _ in rows if s not in ("Pass", "Warn", "Skip")])

    def test_verdicts_labels_and_reasons(self):
        """Catches a differing picture not named on its row, a known crash called NEW or a new
        one called known, and a skip or bad file without its reason."""
        twin = self.cases["differs/twin.shader_test"]
        self.assertEqual((twin["verdict"], twin["differs"]),
                         ("differs", [{"row": "picture", "modes": ["spirv", "spirv-sso"]}]))
        self.assertEqual(self.cases["agree/colour.shader_test"]["verdict"], "agrees")
        label = {c: {m["id"]: m["label"] for m in self.cases[c]["modes"]} for c in self.cases}
        if not SANITIZED:
            self.assertRegex(label["known/gradient.frag"]["spirv-sso"], "^known Mesa crash")
        if on_mesa_22_3(self.data) and not SANITIZED:
            self.assertRegex(label["new/location-4095.shader_test"]["spirv"], "^NEW")
        reasons = {c: self.cases[c]["modes"][0]["reason"] for c in self.cases}
        self.assertEqual(reasons["skip/geometry.shader_test"],
                         "needs a geometry stage, which Velmor does not build")
        self.assertIn("unknown section [fragment shder]", reasons["bad/misspelt.shader_test"])

    def test_files_only_for_cases_not_all_pass(self):
        """Catches a corpus output that keeps every case's frames, or loses those of a case
        that differs."""
        kept = os.path.join(self.out, "cases", "differs", "twin.shader_test")
        self.assertTrue(os.path.isfile(os.path.join(kept, "mode-3.png")))
        self.assertTrue(os.path.isfile(os.path.join(kept, "frag.spv")))
        self.assertFalse(os.path.exists(os.path.join(self.out, "cases", "agree")))


class Refusals(unittest.TestCase):
    def test_nothing_to_run_is_one_line_and_status_2(self):
        """Catches a traceback, or an empty result written, for a PATH that is not there or a
        corpus with no case."""
        with tempfile.TemporaryDirectory() as empty:
            out = os.path.join(empty, "out")
            for path, line in ((os.path.join(empty, "absent"), "no such file or folder"),
                               (empty, "no case in")):
                done = corpus(path, "--out", out)
                self.assertEqual((done.returncode, len(done.stderr.splitlines())), (2, 1))
                self.assertIn(line, done.stderr)
                self.assertFalse(os.path.exists(out))


class Stopped(unittest.TestCase):
    def test_sigterm_writes_the_finished_cases_and_leaves_nothing_running(self):
        """Catches a stopped run that leaves velmor-headless running, writes nothing, writes
        a case that was cut short as a result, or ends with another status than 143."""
        with tempfile.TemporaryDirectory() as work:
            binary = os.path.join(work, "velmor-headless")  # its own path, to find its processes
            shutil.copy(HEADLESS, binary)
            out = os.path.join(work, "out")
            # Copies of the committed cases: enough that the run is still going after the first.
            many = os.path.join(work, "many")
            for i in range(6):
                shutil.copytree(os.path.join(CORPUS, "agree"), os.path.join(many, str(i)))
            proc = subprocess.Popen([sys.executable, "-m", "tools", "corpus", "--velmor", binary,
                                     many, "--out", out, "-j", "2"], cwd=ROOT, env=ENV,
                                    stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True)
            first = proc.stderr.readline()
            proc.send_signal(signal.SIGTERM)
            rest = proc.communicate(timeout=120)[1]
            self.assertEqual(proc.returncode, 143, first + rest)
            self.assertEqual(running(binary), [])
            with open(os.path.join(out, "corpus.json")) as f:
                data = json.load(f)
            self.assertTrue(data["interrupted"])
            self.assertTrue(0 < len(data["cases"]) < 12, len(data["cases"]))
            self.assertTrue(all(c["verdict"] == "agrees" for c in data["cases"]))


def on_mesa_22_3(data):
    return "Mesa 22.3" in (data["identity"]["gl"]["version"] or "")


def running(binary):
    """The processes whose program is `binary`."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink("/proc/%s/exe" % pid) == binary:
                found.append(pid)
        except OSError:
            pass
    return found


if __name__ == "__main__":
    unittest.main()

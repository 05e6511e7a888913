"""The corpus run as CI gates on it, on the committed corpus with velmor-headless: a baseline
wrong in each way, a flake made on demand, --update-baseline, the JUnit file, and docs/ci.md's
jobs run as written, four shards then the merge, against one unsharded run."""
import csv
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
CORPUS = os.path.join(ROOT, "tests", "corpus")
HEADLESS = os.environ["VELMOR_HEADLESS"]
FLAKY = os.path.join(ROOT, "tests", "support", "flaky-velmor")
SCHEMA = os.path.join(ROOT, "tests", "tools", "junit.xsd")
VERSION = "0.0.0-test"
# A sanitizer's handler takes a fatal signal over: the crashes end otherwise there.
SANITIZED = os.environ.get("VELMOR_SANITIZED") == "ON"
ENV = dict({k: v for k, v in os.environ.items() if k not in ("DISPLAY", "CI_NODE_INDEX",
                                                             "CI_NODE_TOTAL")},
           PYTHONPATH=ROOT)


def corpus(*args, env=None):
    return subprocess.run([sys.executable, "-m", "tools", "corpus", *args], cwd=ROOT,
                          env=dict(ENV, **(env or {})), capture_output=True, text=True,
                          timeout=600)


def statuses(folder):
    """results.csv without its durations."""
    with open(os.path.join(folder, "results.csv"), newline="") as f:
        return [row[:2] for row in csv.reader(f)]


def job_lines(markdown, heading):
    """{job or step name: [script lines]} of the YAML block under a heading of docs/ci.md."""
    block = re.search(r"### %s\n.*?```yaml\n(.*?)```" % heading, markdown, re.S)[1]
    found, name, inside = {}, None, None
    for line in block.splitlines():
        job = re.match(r"(\S[^:]*):$|\s+- name: (.*)$", line)
        if job:
            name, inside = job[1] or job[2], None
        elif re.match(r"\s+(script|run): ?\|?$", line):
            inside = len(line) - len(line.lstrip())
        elif inside is not None and line.strip() and len(line) - len(line.lstrip()) > inside:
            found.setdefault(name, []).append(re.sub(r"^- ", "", line.strip()))
        else:
            inside = None
    return found


class Gate(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="velmor-corpus-ci-")
        os.mkdir(os.path.join(cls.work, "ci"))
        cls.baseline = os.path.join(cls.work, "ci", "velmor-fails.csv")
        cls.first = corpus(CORPUS, "--velmor", HEADLESS, "--out", cls.path("first"),
                           "--update-baseline", cls.baseline)
        cls.whole = corpus(CORPUS, "--velmor", HEADLESS, "--out", cls.path("whole"),
                           "--baseline", cls.baseline)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    @classmethod
    def path(cls, *parts):
        return os.path.join(cls.work, *parts)

    def validate(self, junit):
        checked = subprocess.run(["xmllint", "--noout", "--schema", SCHEMA, junit],
                                 capture_output=True, text=True)
        self.assertEqual(checked.returncode, 0, checked.stderr)
        with open(junit, encoding="utf-8") as f:
            return f.read()

    def test_a_run_against_its_own_updated_baseline_passes(self):
        """Catches --update-baseline writing a file its own run fails against."""
        self.assertEqual(self.first.returncode, 1, self.first.stderr)
        self.assertEqual(self.whole.returncode, 0, self.whole.stderr)
        found = dict(statuses(self.path("whole")))
        self.assertEqual(found["differs/twin.shader_test@spirv"], "ExpectedFail")

    def test_a_baseline_wrong_in_each_way_names_each(self):
        """Catches a regression, an improvement, a missing test or a flake that is not named
        as such, or a run with any of them that exits 0."""
        with open(self.baseline, encoding="utf-8") as f:
            lines = [ln for ln in f if not ln.startswith("differs/twin.shader_test@spirv,")]
        wrong = self.path("wrong.csv")
        with open(wrong, "w", encoding="utf-8") as f:
            f.writelines(lines + ["agree/shipped@glsl,Fail\n",
                                  "gone/case.shader_test@glsl,Crash\n"])
        # The first run of mode 3 of agree/colour (its fragment stage draws this colour) crashes.
        flaky = {"VELMOR_REAL": HEADLESS, "VELMOR_FLAKY_CHOICE": "3",
                 "VELMOR_FLAKY_TEXT": "vec4(0.2, 0.4, 0.6, 1.0)",
                 "VELMOR_FLAKY_MARK": self.path("flaked")}
        junit = self.path("wrong.xml")
        done = corpus(CORPUS, "--velmor", FLAKY, "--out", self.path("wrong"), "--baseline", wrong,
                      "--junit", junit, "--junit-limit", "1", env=flaky)
        self.assertEqual(done.returncode, 1, done.stderr)
        with open(self.path("wrong", "corpus.json"), encoding="utf-8") as f:
            data = json.load(f)
        kinds = {"%s@%s" % (c["name"], m): (j["status"], j["kind"])
                 for c in data["cases"] for m, j in c["gate"].items() if j["kind"] != "expected"}
        kinds.update({m["name"]: (m["status"], m["kind"]) for m in data["gate"]["missing"]})
        self.assertEqual(kinds, {
            "differs/twin.shader_test@spirv": ("Fail", "regression"),
            "agree/shipped@glsl": ("UnexpectedImprovement(Pass)", "improvement"),
            "gone/case.shader_test@glsl": ("Missing", "missing"),
            "agree/colour.shader_test@spirv": ("Flake", "flake")})
        colour = next(c for c in data["cases"] if c["name"] == "agree/colour.shader_test")
        self.assertEqual((colour["modes"][2]["status"], colour["rerun"]["modes"][2]["status"]),
                         ("crash", "pass"))
        with open(self.path("wrong", "summary.md"), encoding="utf-8") as f:
            summary = f.read()
        self.assertIn("### New flakes (add them to the flakes file) (1)\n\n"
                      "- `agree/colour.shader_test@spirv`: Flake; Crash, then Pass", summary)
        xml = self.validate(junit)
        self.assertEqual(xml.count("<failure "), 2)  # one in full, the other two counted
        self.assertIn("2 more failures", xml)

    def test_new_crashes_reduced_and_skips_not_run(self):
        """Catches a NEW crash of a SPIR-V mode not reduced or not linked, or a --skips
        pattern that still runs its test."""
        skips = self.path("skips.txt")
        with open(skips, "w", encoding="utf-8") as f:
            f.write("# mode 4 of every case\n@spirv-sso$\n")
        out = self.path("reduced")
        done = corpus(CORPUS, "--velmor", HEADLESS, "--include", "new/", "--skips", skips,
                      "--out", out, "--reduce-new", "300")
        self.assertEqual(done.returncode, 1, done.stderr)
        with open(os.path.join(out, "corpus.json"), encoding="utf-8") as f:
            data = json.load(f)
        if SANITIZED or not any((m["label"] or "").startswith("NEW")
                                for m in data["cases"][0]["modes"]):
            self.skipTest("the new/ case's module crashes on Mesa 22.3, unsanitized")
        self.assertEqual(data["reductions"], [{
            "name": "new/location-4095.shader_test@spirv", "status": "written",
            "folder": "reductions/new/location-4095.shader_test@spirv"}])
        self.assertEqual(data["cases"][0]["modes"][3]["reason"],
                         "skipped: matches a --skips pattern")
        with open(os.path.join(out, "summary.md"), encoding="utf-8") as f:
            self.assertIn("(reductions/new/location-4095.shader_test@spirv/README.md)", f.read())
        self.assertTrue(os.path.isfile(os.path.join(out, data["reductions"][0]["folder"],
                                                    "reduce.json")))

    def test_the_ci_jobs_as_written_shard_and_merge_like_one_run(self):
        """Catches shards that overlap or leave a case out, a merge unlike one run, and job
        lines in docs/ci.md that do not run as written."""
        with open(os.path.join(ROOT, "docs", "ci.md"), encoding="utf-8") as f:
            markdown = f.read()
        folder = "velmor-%s-linux-x86_64" % VERSION
        os.symlink(ROOT, self.path("velmor"))
        os.symlink(CORPUS, self.path("shaders"))
        with tarfile.open(self.path(folder + ".tar.gz"), "w:gz") as tar:
            tar.add(HEADLESS, arcname=folder + "/velmor-headless")
        gitlab, github = job_lines(markdown, "GitLab"), job_lines(markdown, "GitHub Actions")
        jobs = {
            "GitLab": [(gitlab["velmor-corpus"], {"CI_NODE_INDEX": str(k), "CI_NODE_TOTAL": "4"})
                       for k in range(1, 5)] + [(gitlab["velmor-corpus-merge"], {})],
            "GitHub": [([ln.replace("${{ matrix.shard }}", str(k))
                         for ln in github["Corpus shard"]], {}) for k in range(1, 5)]
            + [(github["Merge"], {})]}
        for name, steps in jobs.items():
            for lines, extra in steps:
                done = subprocess.run(["bash", "-euo", "pipefail", "-c", "\n".join(lines)],
                                      cwd=self.work, env=dict(ENV, VELMOR_VERSION=VERSION,
                                                              **extra),
                                      capture_output=True, text=True, timeout=600)
                self.assertEqual(done.returncode, 0, "%s: %s\n%s" % (name, lines, done.stderr))
            self.assertEqual(statuses(self.path("corpus")), statuses(self.path("whole")), name)
            self.validate(self.path("corpus-junit.xml"))
        shards = [self.path("corpus-%d" % k) for k in range(1, 5)]
        refused = {
            "shard 3 of 4 is missing": shards[:2] + shards[3:],
            "is given twice": shards + shards[:1],
            "different fraction counts": shards + [self.path("whole")],
        }
        for words, given in refused.items():
            done = corpus("--merge", self.path("refused"), *given)
            self.assertEqual((done.returncode, len(done.stderr.splitlines())), (2, 1), words)
            self.assertIn(words, done.stderr)
        self.assertFalse(os.path.exists(self.path("refused")))


if __name__ == "__main__":
    unittest.main()

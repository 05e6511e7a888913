"""What CI gates on: the baseline, the status comparison, the shards, the merge's refusals and
the JUnit file. No GL."""
import os
import shutil
import subprocess
import tempfile
import unittest

from tools.corpus import expectations, junit, merge, shards

HERE = os.path.dirname(os.path.abspath(__file__))


def written(folder, name, text):
    path = os.path.join(folder, name)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return path


class Expectations(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.folder)

    def test_baseline_lines_are_read_or_refused_with_their_line(self):
        """Catches a comment read as a test, a name listed twice taken silently, a results.csv
        refused, or a word deqp-runner does not know taken as a status."""
        table = [
            ("# why\n\na@glsl,Fail\n b@spirv , Crash \n", {"a@glsl": "Fail", "b@spirv": "Crash"}),
            ("a@glsl,UnexpectedImprovement(Pass)\nb@glsl,Pass,0.25\n",
             {"a@glsl": "Pass", "b@glsl": "Pass"}),
            ("a@glsl,Fail\nb@glsl,Pass\na@glsl,Crash\n",
             ":3: a@glsl is listed twice (first on line 1)"),
            ("a@glsl,Failed\n", ":1: 'Failed' is not a status"),
            ("a@glsl,UnexpectedImprovement(Missing)\n", "is not a status"),
            ("a@glsl,KnownFlake\n", "--flakes"),
            ("a@glsl\n", "not a line `name,Status`"),
        ]
        for text, wanted in table:
            path = written(self.folder, "baseline.csv", text)
            if isinstance(wanted, dict):
                self.assertEqual(expectations.read_baseline(path), wanted, text)
            else:
                with self.assertRaises(expectations.BadFile) as refused:
                    expectations.read_baseline(path)
                self.assertIn(wanted, str(refused.exception))
                self.assertNotIn("\n", str(refused.exception))

    def test_a_result_against_its_expectation(self):
        """Catches a regression passed as expected, an improvement or a missing test that does
        not fail the job, or a flake pattern hiding a test that never ran."""
        table = [
            # result, expected, flaky: status, kind
            ("Pass", None, False, "Pass", "expected"),
            ("Skip", None, False, "Skip", "expected"),
            ("Fail", None, False, "Fail", "regression"),
            ("Fail", "Fail", False, "ExpectedFail", "expected"),
            ("Crash", "Fail", False, "Crash", "regression"),
            ("Fail", "Crash", False, "UnexpectedImprovement(Fail)", "improvement"),
            ("Pass", "Fail", False, "UnexpectedImprovement(Pass)", "improvement"),
            ("Skip", "Timeout", False, "UnexpectedImprovement(Skip)", "improvement"),
            ("Warn", "Pass", False, "Warn", "expected"),
            ("Crash", None, True, "KnownFlake", "known-flake"),
            ("Crash", "Crash", True, "ExpectedFail", "expected"),
            ("Missing", "Fail", False, "Missing", "missing"),
            ("Missing", "Fail", True, "Missing", "missing"),
        ]
        for result, expected, flaky, status, kind in table:
            self.assertEqual(expectations.judge(result, expected, flaky), (status, kind),
                             (result, expected, flaky))
        self.assertEqual(expectations.after_rerun(("Crash", "regression"), ("Pass", "expected")),
                         ("Flake", "flake"))
        self.assertEqual(expectations.after_rerun(("Crash", "regression"),
                                                  ("Crash", "regression")), ("Crash", "regression"))

    def test_the_implied_baseline_makes_the_same_run_expected(self):
        """Catches --update-baseline writing a file its own run is not judged expected
        against, or keeping flakes and missing tests in it."""
        run = [("b@spirv", "Crash", "Crash", "SIGSEGV\nin the driver"),
               ("a@glsl", "Pass", "Pass", None), ("c@glsl", "Fail", "Flake", "drew only black"),
               ("d@glsl", "Missing", "Missing", None), ("e@glsl", "Timeout", "Timeout", None)]
        path = written(self.folder, "new.csv", expectations.baseline_text(run))
        with open(path, encoding="utf-8") as f:
            self.assertIn("# SIGSEGV in the driver\nb@spirv,Crash\n# Timeout\ne@glsl,Timeout\n",
                          f.read())
        baseline = expectations.read_baseline(path)
        self.assertEqual(sorted(baseline), ["b@spirv", "e@glsl"])
        # A flaky test fails again unexpectedly, and its rerun tells it a flake once more.
        kinds = [expectations.judge(r, baseline.get(n))[1] for n, r, final, _ in run
                 if r != "Missing" and final != "Flake"]
        self.assertEqual(expectations.exit_status(kinds), 0)


def case(statuses, differs=(), name="c.frag"):
    """A case's record as the corpus run makes it, with its four modes' velmor statuses."""
    ids = ("glsl", "glsl-sso", "spirv", "spirv-sso")
    return {"name": name, "reference": "glsl", "verdict": "differs" if differs else "agrees",
            "differs": [{"row": row, "modes": list(m)} for row, m in differs],
            "modes": [{"id": i, "status": s, "reason": None, "seconds": 0.1}
                      for i, s in zip(ids, statuses)]}


class CorpusRecords(unittest.TestCase):
    def test_a_case_judged_run_again_and_owned_by_one_shard(self):
        """Catches a way unlike its reference that passes, a flake not told from a regression
        (or a rerun of a case with nothing unexpected), and a listed test missing from every
        shard or from several."""
        differing = case(("pass", "pass", "pass", "crash"),
                         [("messages", ["spirv"]), ("status", ["spirv-sso"])])
        self.assertEqual(expectations.mode_results(differing)["spirv"],
                         ("Fail", "unlike mode 1 (GLSL) in its messages"))
        self.assertEqual(expectations.mode_results(differing)["spirv-sso"][0], "Crash")
        gate = expectations.Gate({"c.frag@glsl-sso": "Fail"}, [], [], {})
        reruns = []

        def rerun(statuses):
            return lambda: reruns.append(1) or case(statuses)

        settled = expectations.settle(case(("pass", "fail", "crash", "pass")), gate,
                                      rerun(("pass", "fail", "pass", "pass")))["gate"]
        self.assertEqual([(j["status"], j["rerun"]) for j in settled.values()],
                         [("Pass", None), ("ExpectedFail", None), ("Flake", "Pass"),
                          ("Pass", None)])
        expectations.settle(case(("pass", "fail", "pass", "pass")), gate, rerun(()))
        self.assertEqual(len(reruns), 1)
        # The corpus holds cases a and b; shard 1 runs b, shard 2 runs a.
        for name, shard_cases, first, wanted in (
                ("a@glsl", {"a"}, False, True), ("a@glsl", {"b"}, True, False),
                ("gone@glsl", {"b"}, True, True), ("gone@glsl", {"a"}, False, False)):
            self.assertEqual(expectations.ours(name, shard_cases, {"a", "b"}, first), wanted,
                             (name, first))


class Shards(unittest.TestCase):
    def test_fractions_are_disjoint_covering_and_stable(self):
        """Catches a case run by two shards or none, or shards that change with the order the
        corpus was walked in."""
        names = ["dir%d/case%03d.shader_test" % (i % 7, i) for i in range(103)]
        for total in (1, 2, 4, 7):
            parts = [shards.select(names, total, k) for k in range(1, total + 1)]
            taken = [n for part in parts for n in part]
            self.assertEqual(sorted(taken), sorted(names), total)
            self.assertLessEqual(max(map(len, parts)) - min(map(len, parts)), 1)
            self.assertEqual(parts, [shards.select(names[::-1], total, k)
                                     for k in range(1, total + 1)])
        self.assertEqual(shards.list_hash(names), shards.list_hash(names[::-1]))
        self.assertNotEqual(shards.list_hash(names), shards.list_hash(names[1:]))

    def test_the_fraction_from_arguments_or_gitlab(self):
        """Catches GitLab's 1-based CI_NODE_INDEX read as 0-based, or a shard past N run."""
        environ = {"CI_NODE_TOTAL": "4", "CI_NODE_INDEX": "4"}
        self.assertEqual(shards.fraction(environ=environ), (4, 4))
        self.assertEqual(shards.fraction("8", None, environ), (8, 4))
        self.assertEqual(shards.fraction(None, "2", environ), (4, 2))
        self.assertEqual(shards.fraction(environ={}), (1, 1))
        for total, start in (("4", "5"), ("0", "1"), ("4", "0"), ("x", None)):
            with self.assertRaises(shards.BadShard):
                shards.fraction(total, start)


class Merge(unittest.TestCase):
    def test_refusals_name_what_is_wrong(self):
        """Catches a merge that joins shards of other corpora or counts, one shard twice, or a
        missing shard, into a result that looks whole."""
        def record(k, n=3, corpus="aa"):
            return {"fraction": n, "fraction_start": k, "case_list_sha256": corpus}

        table = [
            ([("s1", record(1)), ("s2", record(2, corpus="bb"))], "different corpora"),
            ([("s1", record(1)), ("s2", record(2, n=4))], "different fraction counts"),
            ([("s1", record(1)), ("s2", record(1))], "shard 1 of 3 is given twice: s1 and s2"),
            ([("s1", record(1)), ("s1", record(2))], "s1 is given twice"),
            ([("s1", record(1)), ("s3", record(3))], "shard 2 of 3 is missing"),
            ([("s1", record(1))], "shards 2, 3 of 3 are missing"),
            ([("s1", None)], "not a shard"),
        ]
        for shards_given, wanted in table:
            with self.assertRaises(merge.Refused) as refused:
                merge.check(shards_given)
            self.assertIn(wanted, str(refused.exception))
        self.assertEqual(merge.check([("b", record(2)), ("c", record(3)), ("a", record(1))]),
                         ["a", "b", "c"])


@unittest.skipUnless(shutil.which("xmllint"), "xmllint (libxml2-utils) checks the schema")
class JUnit(unittest.TestCase):
    def test_the_file_validates_and_its_cap_holds(self):
        """Catches a file GitLab cannot read (a control byte from a transcript, a misplaced
        element), or failures past the cap written out."""
        rows = [("c%d.frag@spirv" % i, "Crash", 0.5, "SIGSEGV <in> \"driver\"") for i in range(5)]
        rows += [("a.frag@glsl", "Pass", 0.25, None), ("a.frag@spirv", "Skip", 0, "no stage"),
                 ("b.frag@glsl", "Flake", 1, "Crash, then Pass")]
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "junit.xml")
            left = junit.write(path, rows, lambda name: "menu\x00\x1b[0m\nSegmentation fault", 2)
            checked = subprocess.run(["xmllint", "--noout", "--schema",
                                      os.path.join(HERE, "junit.xsd"), path],
                                     capture_output=True, text=True)
            self.assertEqual(checked.returncode, 0, checked.stderr)
            with open(path, encoding="utf-8") as f:
                xml = f.read()
        self.assertEqual(left, 3)
        self.assertEqual(xml.count("<failure "), 3)
        self.assertIn("3 more failures", xml)
        self.assertIn('tests="6" failures="3" errors="0" skipped="1"', xml)
        self.assertIn('classname="a.frag" name="spirv"', xml)


if __name__ == "__main__":
    unittest.main()

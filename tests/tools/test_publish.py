"""The one publish: a result whole or not at all, beside OUT, never touching the user's files."""
import os
import shutil
import signal
import tempfile
import unittest
from unittest import mock

from tools import publish

OWNED = ("a.txt", "b.txt", "result.json")


def make(folder, **files):
    os.makedirs(folder, exist_ok=True)
    for name, text in files.items():
        with open(os.path.join(folder, name.replace("_", ".")), "w") as f:
            f.write(text)


def read(path):
    with open(path) as f:
        return f.read()


def contents(folder):
    return {n: read(os.path.join(folder, n)) for n in sorted(os.listdir(folder))}


class Publish(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="velmor-publish-test-")
        self.addCleanup(shutil.rmtree, self.work)
        self.out = os.path.join(self.work, "out")

    def put(self, **files):
        with publish.folder_beside(self.out) as made:
            make(made, **files)
            publish.publish(made, self.out, OWNED, "result.json")

    def test_a_second_result_replaces_the_first_without_touching_tmpdir(self):
        """Catches a result staged in $TMPDIR, which a rename cannot leave when it is another
        file system (issue 25: a second reduce died with EXDEV and lost its result), a file of
        the earlier result kept, or a user's file removed."""
        other = "/dev/shm"
        if not os.path.isdir(other) or os.stat(other).st_dev == os.stat(self.work).st_dev:
            self.skipTest("no second file system for $TMPDIR")
        with mock.patch.object(tempfile, "tempdir", other):
            self.put(a_txt="1", b_txt="1", result_json="1")
            make(self.out, notes_txt="mine")
            self.put(a_txt="2", result_json="2")
        self.assertEqual(contents(self.out), {"a.txt": "2", "notes.txt": "mine",
                                              "result.json": "2"})
        self.assertEqual(os.listdir(self.work), ["out"])

    def test_a_hang_up_between_the_renames_waits_until_the_result_is_whole(self):
        """Catches a hang-up that ends the tool half way through the renames, leaving neither the
        earlier result nor the new one (issue 25)."""
        self.put(a_txt="1", b_txt="1", result_json="1")
        rename = os.replace

        def hang_up_after_first(source, target):
            rename(source, target)
            os.kill(os.getpid(), signal.SIGHUP)

        def stop(number, _):
            raise SystemExit(128 + number)

        previous = signal.signal(signal.SIGHUP, stop)
        self.addCleanup(signal.signal, signal.SIGHUP, previous)
        with mock.patch.object(os, "replace", hang_up_after_first), \
                self.assertRaises(SystemExit):
            self.put(a_txt="2", b_txt="2", result_json="2")
        self.assertEqual(contents(self.out), {"a.txt": "2", "b.txt": "2", "result.json": "2"})
        self.assertEqual(os.listdir(self.work), ["out"])

    def test_only_an_absent_empty_or_earlier_result_may_be_replaced(self):
        """Catches a user's folder taken over by a tool that must have OUT to itself (issue 25:
        reduce deleted NOTES.txt and the --shaders folder inside OUT)."""
        cases = {"absent": ({}, True), "empty": ({"": None}, True),
                 "earlier result": ({"a.txt": "", "result.json": ""}, True),
                 "earlier result and a note": ({"result.json": "", "NOTES.txt": ""}, False),
                 "a shader folder inside": ({"result.json": "", "shaders/": None}, False),
                 "someone else's files": ({"a.txt": ""}, False)}
        for name, (files, allowed) in cases.items():
            with self.subTest(out=name):
                out = os.path.join(self.work, name)
                for path, text in files.items():
                    os.makedirs(os.path.dirname(os.path.join(out, path)), exist_ok=True)
                    if text is not None:
                        open(os.path.join(out, path), "w").close()
                why = publish.refusal(out, OWNED, "result.json", "a result")
                self.assertEqual(why is None, allowed, why)


if __name__ == "__main__":
    unittest.main()

"""The console parser on recorded transcripts, and against every line the sources can write."""
import glob
import os
import re
import unittest

from tools import console, modes, wine

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TRANSCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "transcripts")


def transcript(name):
    with open(os.path.join(TRANSCRIPTS, name), encoding="utf-8", newline="") as f:
        return f.read()


def kinds(events):
    return [e.kind for e in events]


def literal(text):
    """The characters of adjacent C string literals."""
    return "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', text)).encode().decode("unicode_escape")


def printed_formats():
    """Every format src/ prints on standard output or error, and each wrapper's prefix with it."""
    found = []
    for path in glob.glob(os.path.join(ROOT, "src", "**", "*.cpp"), recursive=True):
        with open(path, encoding="utf-8") as f:
            code = f.read()
        strings = r'((?:\s*"(?:[^"\\]|\\.)*")+)'
        calls = [r"\bfprintf\(\s*std(?:out|err),", r"\bprintf\(", r"\bsnprintf\([^,]+,[^,]+,"]
        # A function of ours that writes a prefix, then its caller's format, on standard error.
        for name, prefix in re.findall(r'void (\w+)\(const char\* format, \.\.\.\) \{[^}]*?'
                                       r'fputs\("([^"]*)", stderr\);\s*std::vfprintf', code):
            found += [prefix + literal(m) + "\n" for m in re.findall(
                r"\b%s\(%s" % (name, strings), code)]
        found += [literal(m) for call in calls for m in re.findall(call + strings, code)]
    # Line formats only (a phase text is not one); "%s\n" is the GL's info log itself.
    return [f for f in found if f.endswith("\n") and f != "%s\n"]


def sample(fmt):
    """A line the format can print: UNKNOW is a word every field of a debug line may hold."""
    return re.sub(r"%[-0-9.]*(?:zu|s|d|u|x|c)", lambda m: "UNKNOW" if m[0].endswith("s")
                  else "1", fmt).rstrip("\n")


class Transcripts(unittest.TestCase):
    def test_a_failing_glsl_compile(self):
        """Catches Velmor's "Failed to open file" or the version filed as the GL's info log, and an
        info log counted with its blank separator."""
        events = console.parse(transcript("glsl-compile.out"), transcript("glsl-compile.err"))
        self.assertEqual(kinds(events)[:3], ["menu", "version", "info-log"])
        self.assertIn("failed-to-open", kinds(events))
        self.assertNotIn("", console.info_log_lines(events))
        self.assertTrue(all(re.match(r"0:\d+\(\d+\): error: ", line)
                            for line in console.info_log_lines(events)))

    def test_an_invalid_spirv_module(self):
        """Catches the validator's refusal filed in the info log, as the report once did."""
        events = console.parse(transcript("invalid-spirv.out"), transcript("invalid-spirv.err"))
        refusal, = console.of_kind(events, "invalid-spirv")
        self.assertEqual(refusal.fields["file"], "frag.spv")
        self.assertEqual(console.info_log_lines(events), [])

    def test_a_fatal_signal(self):
        """Catches the fatal-signal line misread, or its phase and mode lost."""
        events = console.parse(transcript("fatal.out"), transcript("fatal.err"))
        fatal, = console.of_kind(events, "fatal")
        self.assertEqual(fatal.fields, {"signal": "SIGSEGV", "phase": "the set-up of mode 3",
                                        "mode": "3"})
        self.assertEqual(console.linked_count(events), 1)

    def test_a_debug_message_ending_in_a_line_end(self):
        """Catches the empty line a message's own line end leaves taken for an info log, or the
        info log after the messages merged into one."""
        # Mesa 22.3 ends no message in a line end: the recorded mode-2 transcript gets one.
        err = transcript("glsl-sso-compile.err").replace("undeclared\n", "undeclared\n\n", 1)
        events = console.parse(transcript("glsl-sso-compile.out"), err)
        self.assertEqual(kinds(events), ["menu", "linked", "linked", "version", "debug", "debug",
                                         "info-log", "debug"])
        self.assertTrue(events[4].text.endswith("undeclared\n"))
        self.assertEqual(events[4].fields["id"], 1)
        self.assertEqual(len(console.info_log_lines(events)), 2)

    def test_wine_transcript_reads_as_the_linux_one(self):
        """Catches CRLF line ends or freeglut's lines under Wine read as the GL's verdicts."""
        out, err = transcript("glsl-compile.out"), transcript("glsl-compile.err")
        added = "".join(line + "\n" for line in wine.added_err_lines())
        events = console.parse(out.replace("\n", "\r\n"), (added + err).replace("\n", "\r\n"))
        self.assertEqual(events[:1] + events[3:], console.parse(out, err))
        self.assertEqual(kinds(events[1:3]), ["window-system"] * 2)

    def test_a_merged_transcript_keeps_the_order(self):
        """Catches a merged transcript whose "Linked" lines or menu go unseen."""
        merged = transcript("fatal.err").replace("Linked\n", "") + "Linked\n"
        events = console.parse(modes.menu_text() + merged)
        self.assertEqual(kinds(events)[0], "menu")
        self.assertEqual(console.linked_count(events), 1)

    def test_a_lost_display(self):
        """Catches a display lost mid-run read as the driver's words."""
        events = console.parse("X connection to :99 broken (explicit kill or server shutdown).\n")
        self.assertTrue(console.display_lost(events))


class Contract(unittest.TestCase):
    def test_every_line_the_sources_print_is_known(self):
        """Catches a line added to src/ that the parser would file as the GL's info log."""
        formats = printed_formats()
        self.assertGreater(len(formats), 15, formats)
        for fmt in formats:
            with self.subTest(format=fmt):
                self.assertNotIn(console.classify(sample(fmt)).kind, ("info-log", "unknown"))


if __name__ == "__main__":
    unittest.main()

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


DEBUG = "Source:Windows\tType:Other\tID:0\tSeverity:Low\tMessage:m"


class LineKinds(unittest.TestCase):
    def test_each_kind_of_line_and_its_fields(self):
        """Catches a line kind misread: the window system's no-context line, a lost display, a
        device or a headless failure read as something else, or a field taken wrongly."""
        glx = "X Error of failed request:  %s"
        cases = [
            ("Linked", "linked", {}),
            ("4: SPIRV SSO", "menu", {}),
            ("Invalid Entry", "invalid-entry", {}),
            ("Failed to open file", "failed-to-open", {}),
            ("GL_ARB_separate_shader_objects is not supported", "capability",
             {"missing": "separate shader objects"}),
            ("failed to init the separate shader extension", "capability",
             {"missing": "separate shader entry points"}),
            ("Source:Third Party\tType:Performance\tID:-7\tSeverity:Notification\tMessage:a b",
             "debug", {"source": "Third Party", "type": "Performance", "id": -7,
                       "severity": "Notification", "message": "a b"}),
            (DEBUG, "debug", {"source": "Windows", "type": "Other", "severity": "Low"}),
            ("Supported Opengl version: 4.5 (Core Profile) Mesa 25.0.7", "version",
             {"version": "4.5 (Core Profile) Mesa 25.0.7"}),
            ("Error: Missing GL version", "glew-error", {"reason": "Missing GL version"}),
            ("vert.spv is not valid SPIR-V: Invalid SPIR-V magic number.", "invalid-spirv",
             {"file": "vert.spv", "reason": "Invalid SPIR-V magic number."}),
            ("Fatal signal SIGBUS during drawing", "fatal",
             {"signal": "SIGBUS", "phase": "drawing", "mode": None}),
            ("velmor-headless: no EGL device 3: EGL lists 1", "headless-error",
             {"reason": "no EGL device 3: EGL lists 1"}),
            ("1: EGL_EXT_device_drm; node /dev/dri/card0; driver iris; extensions A B", "device",
             {"index": "1", "type": "EGL_EXT_device_drm", "node": "/dev/dri/card0",
              "driver": "iris", "extensions": "A B"}),
            (glx % "GLXBadFBConfig", "window-system", {"no_context": True, "display_lost": False}),
            (glx % "BadMatch (invalid parameter attributes)", "window-system",
             {"no_context": False, "display_lost": False}),
            ("X connection to :99 broken (explicit kill or server shutdown).", "window-system",
             {"display_lost": True, "no_context": False}),
            ('XIO:  fatal IO error 11 (Resource temporarily unavailable) on X server ":99"',
             "window-system", {"display_lost": True}),
            ("XIO:  1 request (1 known processed) with 0 events remaining.", "window-system",
             {"display_lost": True}),
            ("freeglut (./velmor): failed to open display ':99'", "window-system",
             {"display_lost": True}),
            ("freeglut (./velmor): ERROR: Internal error <FBConfig with necessary capabilities "
             "not found> in function fgOpenWindow", "window-system", {"display_lost": False}),
            ("libGL error: MESA-LOADER: failed to open swrast", "window-system",
             {"display_lost": False}),
            ("0:1(10): error: x", "info-log", {"lines": ["0:1(10): error: x"]}),
        ]
        for line, kind, fields in cases:
            with self.subTest(line=line):
                event = console.classify(line)
                self.assertEqual((event.kind, event.text), (kind, line))
                self.assertIn(kind, console.KINDS)
                self.assertEqual({k: event.fields.get(k) for k in fields}, fields)
                events = console.parse(None, line + "\n")
                self.assertEqual(console.no_context(events), bool(fields.get("no_context")))
                self.assertEqual(console.display_lost(events), bool(fields.get("display_lost")))


    def test_a_transcript_reads_as_its_events(self):
        """Catches a stray line on standard output taken for the GL's info log, an "Error:" line
        after the version taken for GLEW's, a message's own line end lost, a last line without
        its line end dropped, or the lines of an info log split or joined wrongly."""
        menu, version = modes.menu_text(), "Supported Opengl version: 4.5"
        cases = [
            ((None,), []),
            ((menu + "hello\n", ""), [("menu", menu.rstrip("\n")), ("unknown", "hello")]),
            ((None, "Error: Missing GL version\n%s\nError: x\n" % version),
             [("glew-error", "Error: Missing GL version"), ("version", version),
              ("info-log", "Error: x")]),
            ((None, DEBUG + "\n\n"), [("debug", DEBUG + "\n")]),
            ((None, DEBUG + "\n\na\nb\n\nFailed to open file"),
             [("debug", DEBUG + "\n"), ("info-log", "a\nb"),
              ("failed-to-open", "Failed to open file")]),
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                events = console.parse(*args)
                self.assertEqual([(e.kind, e.text) for e in events], expected)
                self.assertLessEqual({e.kind for e in events}, set(console.KINDS))
                self.assertEqual(console.own_failures(events),
                                 console.of_kind(events, "failed-to-open"))

    def test_debug_patterns_hold_to_the_fields_given(self):
        """Catches a field of the tests' debug-line pattern that matches any value or none."""
        cases = [({}, True), (dict(source="Windows", type="Other", severity="Low"), True),
                 (dict(source="OpenGL"), False), (dict(type="Error"), False),
                 (dict(severity="High"), False), (dict(message="x"), False)]
        for fields, matched in cases:
            with self.subTest(fields=fields):
                self.assertEqual(bool(re.fullmatch(console.debug_pattern(**fields), DEBUG)),
                                 matched)


class Contract(unittest.TestCase):
    def test_every_line_the_sources_print_is_known(self):
        """Catches a line added to src/ that the parser would file as the GL's info log."""
        formats = printed_formats()
        self.assertGreater(len(formats), 15, formats)
        for fmt in formats:
            with self.subTest(format=fmt):
                self.assertNotIn(console.classify(sample(fmt)).kind, ("info-log", "unknown"))


    def test_every_debug_word_the_sources_print_is_known(self):
        """Catches a source, type or severity word of velmor's debug lines that the parser would
        not read as a debug message, or one it expects that velmor never prints."""
        with open(os.path.join(ROOT, "src", "diagnostics", "debug_log.cpp"),
                  encoding="utf-8") as f:
            code = f.read()
        for field, words in (("Source", console.SOURCES), ("Type", console.TYPES),
                             ("Severity", console.SEVERITIES)):
            body = re.search(r"debug%sText\(GLenum \w+\) \{(.*?)\n\}" % field, code, re.S)[1]
            self.assertEqual(sorted(re.findall(r'return "([^"]*)";', body)), sorted(words))

if __name__ == "__main__":
    unittest.main()

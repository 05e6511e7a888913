"""The judge on constructed transcripts: every status and reason."""
import unittest

from tools import console, modes, verdict

MENU = modes.menu_text()
VERSION = "Supported Opengl version: 4.5 (Core Profile) Mesa 22.3.6\n"
DREW = {"text": "drew; closed cleanly", "exit_status": 0, "signal": None, "hung_after_s": None,
        "at_close": True}
EXITED = dict(DREW, text="exit status 1", exit_status=1, at_close=False)
KILLED = dict(DREW, text="killed by SIGSEGV", exit_status=None, signal="SIGSEGV",
              at_close=False)
HUNG = dict(DREW, text="hung: killed after 3 s", exit_status=None, hung_after_s=3,
            at_close=False)
ALL = {name: True for name in modes.SHADER_FILES}
COMPILE_ERROR = ("0:2(15): error: `oops' undeclared\n\n"
                 "Source:Shader Compiler\tType:Error\tID:1\tSeverity:High\tMessage:"
                 "0:2(15): error: `oops' undeclared\n")


def judge(menu, out, err, ending=DREW, drew="picture", missing=()):
    present = dict(ALL, **{name: False for name in missing})
    return verdict.judge(modes.BY_MENU[menu], console.parse(MENU + out, VERSION + err), ending,
                         drew, present)


class Judge(unittest.TestCase):
    def test_each_rule_gives_its_status_and_reason(self):
        """Catches a stage velmor never built rated pass or warn (issue 20), a lost display
        rated as the driver's, or any rule giving the wrong status or reason."""
        frag = "not built: fragment stage (%s): "
        cases = [
            ("1", "Linked\n", "", {}, ("pass", None)),
            ("4", "Linked\nLinked\n", "Source:OpenGL\tType:Portability\tID:1\tSeverity:Med\t"
             "Message:pipeline 1\n\n", {}, ("pass", None)),
            ("1", "Linked\n", "0:1(1): warning: x\n\n", {}, ("warn", None)),
            ("2", "Linked\n", "Failed to open file\n", dict(missing=["shader.frag"]),
             ("fail", frag % "shader.frag" + verdict.MISSING)),
            ("3", "", "", dict(missing=["frag.spv"]),
             ("fail", frag % "frag.spv" + verdict.MISSING)),
            ("4", "Linked\n", "frag.spv is not valid SPIR-V: Invalid SPIR-V magic number.\n", {},
             ("fail", frag % "frag.spv" + "refused by the validator: Invalid SPIR-V magic "
              "number.")),
            ("2", "Linked\nLinked\n", COMPILE_ERROR, {},
             ("fail", "not built: a stage (shader.frag or shader.vert): " +
              verdict.COMPILER_REFUSED)),
            ("1", "", "Failed to open file\n", dict(missing=["shader.vert"]),
             ("fail", "not built: vertex stage (shader.vert): " + verdict.MISSING)),
            ("4", "Linked\n", "", {}, ("fail", "not built: a stage (frag.spv or vert.spv): " +
                                       verdict.GL_REFUSED)),
            ("1", "Linked\n", "", dict(drew="black"), ("fail", "drew only black")),
            ("1", "Linked\n", "", dict(drew="nothing", ending=EXITED),
             ("fail", "drew nothing: exit status 1")),
            ("1", "Linked\n", "", dict(ending=dict(DREW, text="drew; exit status 3 as its "
                                                   "window closed", exit_status=3)),
             ("fail", "drew; exit status 3 as its window closed")),
            ("3", "", "GL_ARB_gl_spirv is not supported\n", dict(drew="nothing", ending=EXITED),
             ("not-supported", "no GL_ARB_gl_spirv")),
            ("1", "Linked\n", "", dict(drew="nothing", ending=HUNG), ("timeout", None)),
            ("4", "Linked\n", "Fatal signal SIGSEGV during the set-up of mode 4\n",
             dict(drew="nothing", ending=KILLED),
             ("crash", "Fatal signal SIGSEGV during the set-up of mode 4")),
            ("1", "", "X connection to :99 broken (explicit kill or server shutdown).\n",
             dict(drew="nothing", ending=EXITED),
             ("invalid", "the display went away during the run: not a driver result")),
        ]
        for menu, out, err, options, expected in cases:
            with self.subTest(menu=menu, err=err, options=options):
                self.assertEqual(tuple(judge(menu, out, err, **options)), expected)

    def test_the_rule_that_decides_between_neighbouring_statuses(self):
        """Catches a rule flipped or its condition dropped: a High-severity message not warning,
        an API error taken for the compiler's, an invalid menu choice rated pass, a fatal line
        without a signal not a crash, a separable mode naming one stage of two, or a missing
        capability named while the picture was drawn."""
        api_error = ("Source:OpenGL\tType:Error\tID:1282\tSeverity:High\tMessage:"
                     "GL_INVALID_OPERATION\n")
        both = "not built: fragment stage (%s): %s; vertex stage (%s): %s"
        cases = [
            ("1", "Linked\n", api_error, {}, ("warn", None)),
            ("1", "Linked\n", api_error.replace("High", "Low"), {}, ("pass", None)),
            ("1", "", "Invalid Entry\n", dict(drew="nothing", ending=EXITED),
             ("fail", "velmor refused the menu choice")),
            ("4", "Linked\n", "Fatal signal SIGSEGV during the set-up of mode 4\n",
             dict(drew="nothing", ending=EXITED),
             ("crash", "Fatal signal SIGSEGV during the set-up of mode 4")),
            ("1", "Linked\n", "", dict(ending=KILLED), ("crash", None)),
            ("1", "", "Failed to open file\n", {},
             ("fail", "not built: a stage (shader.frag or shader.vert): refused by the GLSL "
              "compiler")),
            ("2", "", COMPILE_ERROR * 2, {},
             ("fail", both % ("shader.frag", "refused by the GLSL compiler", "shader.vert",
                              "refused by the GLSL compiler"))),
            ("3", "", "", {}, ("fail", "not built: a stage (frag.spv or vert.spv): refused by "
                               "the GL (see the debug messages)")),
            ("3", "", "", dict(missing=["frag.spv", "vert.spv"]),
             ("fail", "not built: fragment stage (frag.spv): missing or unreadable")),
            ("4", "", "", dict(missing=["frag.spv", "vert.spv"]),
             ("fail", both % ("frag.spv", "missing or unreadable", "vert.spv",
                              "missing or unreadable"))),
            ("1", "", "X Error of failed request:  GLXBadFBConfig\n",
             dict(drew="nothing", ending=EXITED),
             ("not-supported", "no OpenGL 4.5 core context (GLXBadFBConfig)")),
            ("1", "", "velmor-headless: no EGL device 3: EGL lists 1 (see --list-devices)\n",
             dict(drew="nothing", ending=EXITED),
             ("not-supported", "no EGL device 3: EGL lists 1 (see --list-devices)")),
            ("1", "Linked\n", "GL_ARB_gl_spirv is not supported\n", {}, ("pass", None)),
        ]
        for menu, out, err, options, expected in cases:
            with self.subTest(menu=menu, err=err, options=options):
                self.assertEqual(tuple(judge(menu, out, err, **options)), expected)

    def test_statuses_are_ranked_best_first(self):
        """Catches a status out of its order, which compare would take for a fix or a
        regression, or one that stands apart given a rank."""
        statuses = ("pass", "warn", "fail", "timeout", "crash", "not-supported", "invalid")
        self.assertEqual([verdict.rank(s) for s in statuses], [0, 1, 2, 3, 4, None, None])

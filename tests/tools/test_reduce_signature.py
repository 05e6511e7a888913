"""The reduction's signature of a run, read from console events: no GL."""
import unittest

from tools import console
from tools.reduce import signature

MESA_PORTABILITY = ("Source:OpenGL\tType:Portability\tID:1\tSeverity:Med\tMessage:"
                    "glValidateProgramPipeline: pipeline 1 does not meet strict OpenGL ES 3.1 "
                    "requirements and may not be portable across desktop hardware\n")


def of(err, status=None, hung=False):
    return signature.of_run(console.parse("", err), status, hung)


class SignatureTest(unittest.TestCase):
    def test_a_passing_run_has_none_and_each_failure_its_own(self):
        """Catches: a harmless message (mode 4's Portability note) read as a verdict, so a passing
        mode gets "reduced"; a crash told apart by anything but its signal and phase."""
        self.assertIsNone(of(MESA_PORTABILITY))
        crash = {"kind": "crash", "signal": "SIGSEGV", "phase": "the set-up of mode 4"}
        self.assertEqual(of(MESA_PORTABILITY + "Fatal signal SIGSEGV during the set-up of mode 4\n",
                            -11), crash)
        # A driver thread killed it before velmor's line could be written.
        self.assertEqual(of("", -7), {"kind": "crash", "signal": "SIGBUS", "phase": None})
        self.assertEqual(of("", None, hung=True), {"kind": "hang"})

    def test_a_verdict_keeps_its_words_and_masks_names_and_addresses(self):
        """Catches: a verdict that changes with every candidate (ids, quoted names, pointers), so
        no reduction step ever counts as interesting; Velmor's own refusal taken for the GL's."""
        first = of("Source:OpenGL\tType:Error\tID:5\tSeverity:High\tMessage:GL_INVALID_VALUE in "
                   "glSpecializeShaderARB(\"main\" is not a valid entry point at 0x7f3a10)\n"
                   "error: linking %12 with 'uv' failed\n\n")
        self.assertEqual(first, {"kind": "verdict", "source": "debug", "text":
                                 "GL_INVALID_VALUE in glSpecializeShaderARB(\"?\" is not a valid "
                                 "entry point at 0x?)"})
        self.assertEqual(of("error: linking %12 with 'uv' failed\n\n"),
                         of("error: linking %7 with 'position' failed\n\n"))
        self.assertEqual(of("frag.spv is not valid SPIR-V: Invalid SPIR-V magic number.\n")["kind"],
                         "velmor")


if __name__ == "__main__":
    unittest.main()

"""The corpus run's pure parts, with no GL: reading .shader_test, the blend adapter (with
glslang and SPIRV-Tools), naming and walking cases, and the agreement rule."""
import os
import re
import subprocess
import tempfile
import unittest

from tools import modes
from tools.corpus import adapt, agreement, cases, shader_test

FRAGMENT = "#version 450\n%s\nvoid main() {\n    color = %s;\n}\n"


class ShaderTestParsing(unittest.TestCase):
    def test_sections(self):
        """Catches a section read as the wrong stage or kind, [require]'s SPIRV line lost, a
        stage Velmor cannot build not named, or [test] taken for a stage."""
        parsed = shader_test.parse(
            "/* a preamble */\n[require]\nGL >= 3.3\nSPIRV ONLY\n\n[vertex shader passthrough]\n"
            "[fragment shader spirv]\nOpCapability Shader\n[fragment shader]\nvoid main(){}\n"
            "[compute shader spirv]\nx\n[compute shader]\ny\n[test]\ndraw rect -1 -1 2 2\n")
        self.assertEqual(parsed.spirv, "only")
        self.assertEqual(parsed.stages, {"vertex": {"passthrough": True}, "fragment": {
            "spirv": "OpCapability Shader\n", "glsl": "void main(){}\n"}})
        self.assertEqual(parsed.others, ["compute"])
        self.assertEqual(parsed.ignored, ["test"])
        twice = "[vertex shader]\na\n[vertex shader]\nb\n[fragment shader]\nc\n"
        self.assertEqual(shader_test.parse(twice).several, ["vertex shader"])

    def test_malformed_files_say_why(self):
        """Catches a broken file run as if whole, or refused without its reason."""
        for text, reason in [
                ("", "empty"),
                ("no sections at all\n", "no section"),
                ("[require]\n[fragment shder]\nx\n", "line 2: unknown section [fragment shder]"),
                ("[fragment shader]\n\n[test]\n", "line 1: [fragment shader] is empty"),
                ("[require]\n[fragment shader]\nx\n[require]\n", "line 4: a second [require]"),
                ("[require]\nSPIRV MAYBE\n", "SPIRV MAYBE"),
                ("[require]\nGL >= 4.5\n", "no shader stage")]:
            with self.subTest(text=text), \
                    self.assertRaisesRegex(shader_test.Malformed, re.escape(reason)):
                shader_test.parse(text)


def spirv_of(glsl, work):
    return adapt.compile_glsl(glsl, "fragment", work)


class BlendAdapter(unittest.TestCase):
    def test_one_vec4_output_gets_its_partner_in_both_languages(self):
        """Catches an adapted stage that no longer compiles or validates, or that lacks the
        index 1 output: an undefined picture, or a refusal by the driver."""
        for declaration in ("out vec4 color;", "layout(location = 0) out highp vec4 color;"):
            with self.subTest(declaration=declaration), \
                    tempfile.TemporaryDirectory() as work:
                text = FRAGMENT % ("// out ivec4 ignored;\n" + declaration, "vec4(0.5)")
                glsl = adapt.adapt_glsl(text)
                self.assertEqual(glsl[:2], (True, None))
                module = spirv_of(glsl.data, work)  # glslang takes the edited text
                self.assertEqual(adapt.adapt_glsl(glsl.data)[:2], (False, adapt.ALREADY))
                spirv = adapt.adapt_spirv(spirv_of(text, work), work)
                self.assertEqual(spirv[:2], (True, None))
                adapt.validate(spirv.data, work)
                self.assertIn("Index 1", adapt.disassemble(spirv.data, work))
                self.assertEqual(adapt.adapt_spirv(module, work)[:2], (False, adapt.ALREADY))

    def test_stages_it_cannot_adapt_stay_as_they_are(self):
        """Catches an adapter that edits a stage it cannot make sense of, or gives no reason."""
        for declarations, value, reason in [
                ("layout(location = 0) out ivec4 color;", "ivec4(1)", "an integer ivec4"),
                ("layout(location = 0) out vec3 color;", "vec3(1.0)", "a vec3, not a vec4"),
                ("layout(location = 0) out vec4 color;\nlayout(location = 1) out vec4 more;",
                 "more = vec4(1.0)", "several locations"),
                ("layout(location = 2) out vec4 color;", "vec4(1.0)", "at location 2")]:
            text = FRAGMENT % (declarations, value)
            with self.subTest(reason=reason), tempfile.TemporaryDirectory() as work:
                self.assertEqual(adapt.adapt_glsl(text)[:3][::2], (False, text))
                self.assertIn(reason, adapt.adapt_glsl(text).reason)
                module = spirv_of(text, work)
                self.assertEqual(adapt.adapt_spirv(module, work).data, module)
                self.assertIn(reason, adapt.adapt_spirv(module, work).reason)


class CaseNames(unittest.TestCase):
    def test_walk_order_kinds_and_troubles(self):
        """Catches an unstable order, a Velmor folder missed, a name with a comma breaking the
        CSV, and a FIFO, a symlink loop or a duplicate stopping the walk."""
        with tempfile.TemporaryDirectory() as root:
            for path in ("b/shader.frag", "b/z.vert", "a,1.frag", "notes.txt",
                         "c/x.shader_test"):
                os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
                with open(os.path.join(root, path), "w") as f:
                    f.write("x")
            os.mkfifo(os.path.join(root, "pipe.frag"))
            os.symlink("loop", os.path.join(root, "loop"))
            os.symlink(root, os.path.join(root, "c", "up"))
            found = list(cases.walk([root]))
        self.assertEqual([(c.name, c.kind, c.problem) for c in found], [
            ("a_1.frag", "glsl", None),
            ("b", "velmor-folder", None),
            ("b/z.vert", "glsl", None),
            ("c/up", "unknown", "a symlink loop: leads back into a folder above it"),
            ("c/x.shader_test", "shader_test", None),
            ("loop", "unknown", "a symlink loop"),
            ("pipe.frag", "glsl", "a FIFO")])
        self.assertEqual(cases.result_name("a/b.frag", modes.BY_ID["spirv-sso"]),
                         "a/b.frag@spirv-sso")

    def test_a_second_case_of_a_name_is_a_problem(self):
        with tempfile.TemporaryDirectory() as a, tempfile.TemporaryDirectory() as b:
            for root in (a, b):
                subprocess.run(["touch", os.path.join(root, "s.frag")], check=True)
            found = list(cases.walk([a, b]))
        self.assertEqual([c.problem for c in found], [None, "the same name as an earlier case"])


def way(status="pass", picture="p", messages=()):
    return {"status": status, "picture": picture, "messages": list(messages)}


class Agreement(unittest.TestCase):
    def test_rows_and_reference(self):
        """Catches a wrong reference, a row that differs but is not named, or a mode that did
        not run held against the others."""
        for ran, expected in [
                ({m: way() for m in ("glsl", "glsl-sso", "spirv", "spirv-sso")},
                 ("agrees", "glsl", [])),
                ({"glsl": way(), "glsl-sso": way(), "spirv": way(picture="q"),
                  "spirv-sso": way("crash", None)},
                 ("differs", "glsl", [{"row": "status", "modes": ["spirv-sso"]},
                                      {"row": "picture", "modes": ["spirv", "spirv-sso"]}])),
                ({"glsl": way("crash", None), "glsl-sso": way("crash", None), "spirv": way(),
                  "spirv-sso": way(messages=["m"])},
                 ("differs", "spirv", [{"row": "status", "modes": ["glsl", "glsl-sso"]},
                                       {"row": "picture", "modes": ["glsl", "glsl-sso"]},
                                       {"row": "messages", "modes": ["spirv-sso"]}])),
                ({}, ("not-run", None, []))]:
            with self.subTest(ran=ran):
                found = agreement.agreement(ran)
                self.assertEqual((found["verdict"], found["reference"], found["differs"]),
                                 expected)


if __name__ == "__main__":
    unittest.main()

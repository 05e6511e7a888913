"""Known driver behaviour matched by signature, and the SPIR-V facts it rests on."""
import os
import struct
import unittest

from report_fixture import crashed, report
from tools import spirv
from tools.report import known_behaviour

SHADERS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shaders")
SETUP_4 = "Fatal signal SIGSEGV during the set-up of mode 4"


def module(*instructions):
    words = [spirv.MAGIC, 0x10000, 0, 100, 0]
    for opcode, operands in instructions:
        words += [(len(operands) + 1) << 16 | opcode, *operands]
    return struct.pack("<%dI" % len(words), *words)


class KnownBehaviour(unittest.TestCase):
    def test_the_inputs_crash_is_known_only_where_its_signature_holds(self):
        """Catches a new crash wearing an old label (issue 20: a mode-4 set-up crash of a
        fragment module without inputs, Location 4096 say, called the inputs crash)."""
        known = crashed(report(1), "4", SETUP_4)
        self.assertEqual(known_behaviour.note(known, known["modes"][3]),
                         known_behaviour.ENTRIES[0].label)
        new = [crashed(report(0), "4", SETUP_4),  # the Location-4096 crash: no inputs
               crashed(report(1), "3", "Fatal signal SIGSEGV during the set-up of mode 3"),
               crashed(report(1), "4", "Fatal signal SIGSEGV during the drawing")]
        future = crashed(report(1), "4", SETUP_4)
        future["identity"]["gl"]["version"] = "4.5 (Core Profile) Mesa 26.1.0"
        for data in new + [future]:
            crashed_mode = next(m for m in data["modes"] if m["status"] == "crash")
            with self.subTest(mode=crashed_mode["id"], gl=data["identity"]["gl"]["version"]):
                self.assertTrue(known_behaviour.is_new_crash(data, crashed_mode))
                self.assertEqual(known_behaviour.note(data, crashed_mode), known_behaviour.NEW)

    def test_a_crash_on_a_valid_module_is_known_by_the_trait_that_triggers_it(self):
        """Catches a trait the report does not record or the table does not match: the
        Location-4096 crash is known once frag.spv has the trait, and new without it."""
        location = (spirv.OP_DECORATE, [9, spirv.LOCATION, 4096])
        data = crashed(report(0), "4", SETUP_4)
        data["identity"]["gl"]["version"] = "4.5 (Core Profile) Mesa 22.3.6"
        frag = next(f for f in data["shader_files"] if f["name"] == "frag.spv")
        frag["traits"] = spirv.traits(module(location))
        self.assertEqual(frag["traits"], ["location-from-4096"])
        self.assertIn("Location of 4096", known_behaviour.note(data, data["modes"][3]))
        frag["traits"] = spirv.traits(module((spirv.OP_DECORATE, [9, spirv.LOCATION, 4095])))
        self.assertEqual(known_behaviour.note(data, data["modes"][3]), known_behaviour.NEW)

    def test_input_variables_are_counted_from_the_module(self):
        """Catches a reader that misses Input variables, counts other storage classes, or
        takes bytes that are no module for one."""
        input_var, output_var = (spirv.OP_VARIABLE, [7, 8, spirv.STORAGE_INPUT]), (
            spirv.OP_VARIABLE, [7, 9, 3])
        self.assertEqual(spirv.input_variables(module(input_var, output_var, input_var)), 2)
        self.assertEqual(spirv.input_variables(module(output_var)), 0)
        self.assertIsNone(spirv.input_variables(b"#version 450\n"))
        with open(os.path.join(SHADERS, "frag.spv"), "rb") as f:
            self.assertEqual(spirv.input_variables(f.read()), 0)

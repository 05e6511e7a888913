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
               crashed(report(1), "4", "Fatal signal SIGSEGV during drawing")]
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


def result(mesa, window_system, menu, ending, frag=(), vert=(), inputs=0, renderer=None,
           recorded=None):
    """A report and its mode `menu`, which crashed with the fatal line `ending` or ended with
    `ending` (status, reason), on Mesa `mesa` (None: another driver) under window_system.
    frag or vert None: that file is missing, or "junk": it holds no module; recorded: the
    format of the file the report was read from (format 1 lacks the facts of the modules)."""
    data = report(inputs)
    gl = data["identity"]["gl"]
    gl["version"] = "4.5 (Core Profile) Mesa " + mesa if mesa else "4.6.0 NVIDIA 535.54.03"
    gl["renderer"] = renderer or gl["renderer"]
    data["identity"]["window_system"] = window_system
    data["recorded_version"] = recorded or data["version"]
    for f in data["shader_files"]:
        traits = {"frag.spv": frag, "vert.spv": vert}.get(f["name"], ())
        if traits is None or traits == "junk":
            f.update(input_variables=None, traits=None, size=f["size"] if traits else None)
        elif f["name"].endswith(".spv") and recorded == 1:
            f.update(input_variables=None, traits=None)
        elif f["name"].endswith(".spv"):
            f["traits"] = list(traits)
    if isinstance(ending, str):
        crashed(data, menu, ending)
    else:
        data["modes"][int(menu) - 1].update(status=ending[0], reason=ending[1])
    return data, data["modes"][int(menu) - 1]


class Signatures(unittest.TestCase):
    def test_every_field_of_an_entry_is_checked(self):
        """Catches a field of the matcher left unchecked (the window system, the reason, the
        renderer, either end of the release range, the signal, the phase, the trait or the
        file holding it), so that another result wears a known label or a known one is new."""
        new = "NEW: a crash that matches no known driver behaviour"
        inputs = "known Mesa crash: SPIR-V separable fragment stage with inputs, debug context"
        valid = "known Mesa crash on a valid module: "
        format_1 = ("cannot tell: format 1 does not record the Input variables and traits of the "
                    "SPIR-V files")
        bus_3, abort_4 = "Fatal signal SIGBUS during drawing", SETUP_4.replace("SEGV", "ABRT")
        index_2, block = ["index-above-one"], ["block-without-built-ins-or-locations"]
        black, not_45 = ("fail", "drew only black"), ("not-supported", "no OpenGL 4.5 core "
                                                      "context (GLXBadFBConfig)")
        wide, mesa_22, mesa_25 = ("22.3.6", "25.0.7"), ("22.3.6",), ("25.0.7",)
        # (window system, menu, fatal line or (status, reason), options), the Mesa releases
        # that give the label, then the note of the same result on the releases either side
        # and on another driver.
        cases = [
            (("GLX", "4", SETUP_4, dict(inputs=1)), wide, inputs, new),
            (("EGL", "4", SETUP_4, dict(inputs=1)), wide, inputs, new),
            (("WGL (Wine)", "4", SETUP_4, dict(inputs=1)), (), new, new),
            (("GLX", "4", abort_4, dict(inputs=1)), (), new, new),
            (("WGL (Wine)", "4", black, dict(inputs=1)), wide, "known Mesa crash, caught by "
             "Wine: SPIR-V separable fragment stage with inputs, debug context", None),
            (("WGL (Wine)", "4", ("fail", "drew nothing: exit status 1"), dict(inputs=1)), (),
             None, None),
            (("GLX", "4", black, dict(inputs=1)), (), None, None),
            (("GLX", "3", bus_3, dict(frag=index_2)), mesa_22,
             valid + "a fragment output with Index 2", new),
            (("EGL", "3", bus_3, dict(frag=index_2)), (), new, new),
            (("GLX", "3", bus_3, dict(vert=block)), (), new, new),
            (("GLX", "4", abort_4, dict(vert=block)), mesa_25,
             valid + "a Block without built-ins or Locations", new),
            (("EGL", "3", "Fatal signal SIGSEGV during drawing",
              dict(frag=["index-without-location"])), wide, valid + "Index without Location",
             new),
            (("GLX", "3", SETUP_4.replace("4", "3"), dict(vert=["location-from-4096"])), mesa_22,
             valid + "a Location of 4096 or more", new),
            (("GLX", "4", SETUP_4, dict(frag=["schema-word-not-zero"])), mesa_25,
             valid + "a schema word that is not 0", new),
            (("GLX", "1", not_45, dict(renderer="softpipe")), wide,
             "known: softpipe has no OpenGL 4.5 core context", None),
            (("EGL", "1", not_45, dict(renderer="softpipe")), wide,
             "known: softpipe has no OpenGL 4.5 core context", None),
            (("EGL", "1", not_45, {}), (), None, None),
            # Format 1 recorded neither Input variables nor traits: what an entry would match
            # once they are assumed cannot be told; what none would match stays new.
            (("GLX", "3", bus_3, dict(recorded=1)), mesa_22, format_1, new),
            (("WGL (Wine)", "4", black, dict(recorded=1)), wide, format_1, None),
            (("GLX", "4", abort_4, dict(recorded=1)), (), new, new),
            (("GLX", "4", SETUP_4, dict(recorded=1, frag=None, vert=None)), (), new, new),
            (("GLX", "4", SETUP_4, dict(recorded=2, frag="junk")), (), new, new),
        ]
        either_side = {wide: ("22.2.0", "25.1.0"), mesa_22: ("22.2.0", "22.4.0"),
                       mesa_25: ("24.9.0", "25.1.0"), (): ()}
        for (window_system, menu, ending, options), releases, expected, beside in cases:
            for mesa in releases + either_side[releases] + (None, "22.3.6"):
                with self.subTest(mesa=mesa, window_system=window_system, ending=ending,
                                  options=options):
                    data, mode = result(mesa, window_system, menu, ending, **options)
                    note = known_behaviour.note(data, mode)
                    self.assertEqual(note, expected if mesa in releases or not releases
                                     else beside)
                    self.assertEqual(known_behaviour.is_new_crash(data, mode), note == new)

    def test_each_known_crash_has_its_reproducer_in_the_tree(self):
        """Catches an entry whose reproducer folder is misnamed, so the driver_bugs test would
        never run it."""
        for entry in known_behaviour.ENTRIES:
            if entry.status == "crash":
                with self.subTest(entry=entry.label):
                    self.assertTrue(os.path.isdir(os.path.join(SHADERS, "..", entry.reproducer)))

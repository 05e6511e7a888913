"""SPIR-V mutation campaign: seeded mutants of known-good modules, each run in modes 3 and 4.

Every mutant is one known-good module changed in one way (bits flipped, a word changed, the file
cut short, a header field, an instruction's operand, a decoration or a location changed), put in
place of its stage's file beside a good module of the other stage. For each one:
- Velmor and spirv-val (the same SPIRV-Tools) must agree on whether it is a valid module;
- a module the validator refuses must never reach the GL: Velmor names the file with the
  validator's reason, draws its window and closes cleanly, in both modes;
- a module the validator accepts is the GL's to judge. If the driver crashes on it, Velmor must
  name the crash with its fatal-signal line and die of the signal, and the crash must be one the
  table of known driver behaviour (tools/report/known_behaviour.py) names for the GL under test,
  the module's traits, the mode, the signal and the phase.

The campaign is deterministic: VELMOR_MUTANTS mutants (default 200, 100 under the sanitizers)
from VELMOR_MUTANT_SEED (default 1). Raise the count by hand for a longer run; the figures are
printed at the end. The smallest crashing module found so far (driver_crash/) runs first, every
time. The gradient's module is compiled by the glslang at hand, so its mutants differ by stack.
"""
import collections
import os
import random
import re
import signal
import struct
import subprocess
import tempfile
import unittest
from concurrent.futures import ThreadPoolExecutor

from e2e_support import SANITIZED, RunError, reached_main_loop, run, shipped
from tools import console, modes, spirv
from tools.report import known_behaviour
from tools.spirv import (COMPONENT, INDEX, LOCATION, OP_DECORATE, OP_MEMBER_DECORATE,
                         instructions, words_of)

# Fewer under the sanitizers, where each run takes about twice as long.
COUNT = int(os.environ.get("VELMOR_MUTANTS", "100" if SANITIZED else "200"))
SEED = int(os.environ.get("VELMOR_MUTANT_SEED", "1"))
SPIRV_VAL = os.environ.get("SPIRV_VAL", "spirv-val")
GLSLANG = os.environ.get("GLSLANG", "")
HERE = os.path.dirname(os.path.abspath(__file__))
GRADIENT = os.path.join(HERE, "gradient")
REPRODUCER = os.path.join(HERE, "driver_crash", "frag.spvasm")
CRASH_PHASES = re.compile(r"the set-up of mode \d|drawing")

# The decorations a mutant may take instead of its own.
DECORATIONS = [0, 2, 3, 11, 13, 14, 18, 30, 31, 32, 33, 34, 35, 36, 1000]


def module_of(words):
    return struct.pack("<%dI" % len(words), *words)


def flip_bits(rng, module):
    data = bytearray(module)
    for _ in range(rng.randint(1, 3)):
        bit = rng.randrange(len(data) * 8)
        data[bit // 8] ^= 1 << bit % 8
    return bytes(data)


def change_word(rng, module):
    words = words_of(module)
    i = rng.randrange(len(words))
    words[i] = rng.choice([0, 1, 0xFFFFFFFF, (words[i] + 1) & 0xFFFFFFFF, words[i] - 1 & 0xFFFFFFFF,
                           rng.getrandbits(32), rng.choice(words)])
    return module_of(words)


def truncate(rng, module):
    end = rng.randrange(len(module))
    return module[:end - end % 4 if rng.random() < 0.5 else end]


def change_header(rng, module):
    words = words_of(module)
    field = rng.randrange(5)
    words[field] = rng.choice({
        0: [0x03022307, 0, 0x07230203 ^ 1],  # magic: the other byte order, none, one bit off
        1: [0, 0x00010100, 0x00010300, 0x00010600, 0x00020000, 0x00010001, 0xFFFFFFFF],
        2: [0, 0xFFFFFFFF, rng.getrandbits(32)],  # generator: anything goes
        3: [0, 1, words[3] - 1, words[3] + 1, 0x400000, 0xFFFFFFFF],  # the id bound
        4: [1, 0xFFFFFFFF],  # schema: must be 0
    }[field])
    return module_of(words)


def change_operand(rng, module):
    words = words_of(module)
    candidates = [(i, n) for i, n, _ in instructions(words) if n > 1]
    i, n = rng.choice(candidates)
    at = i + rng.randrange(1, n)
    words[at] = rng.choice([rng.randrange(1, words[3]), words[at] + 1, max(words[at] - 1, 0), 0])
    return module_of(words)


def change_decoration(rng, module):
    words = words_of(module)
    decorations = [(i, n, op) for i, n, op in instructions(words)
                   if op in (OP_DECORATE, OP_MEMBER_DECORATE)]
    if not decorations:
        return change_operand(rng, module)
    i, n, op = rng.choice(decorations)
    kind = i + (2 if op == OP_DECORATE else 3)
    if rng.random() < 0.5 or kind + 1 >= i + n:
        words[kind] = rng.choice(DECORATIONS)
    else:
        words[kind + 1] = rng.choice([0, 1, 2, 3, 0xFFFFFFFF])
    return module_of(words)


def change_location(rng, module):
    words = words_of(module)
    places = [i + 3 for i, n, op in instructions(words)
              if op == OP_DECORATE and n == 4 and words[i + 2] in (LOCATION, INDEX, COMPONENT)]
    if not places:
        return change_decoration(rng, module)
    words[rng.choice(places)] = rng.choice([0, 1, 2, 3, 4, 7, 31, 32, 4096, 0xFFFFFFFF])
    return module_of(words)


MUTATORS = [flip_bits, change_word, truncate, change_header, change_operand, change_decoration,
            change_location]


def seeds():
    """(name, stage file, module, the other stage's file and module): the shipped modules and the
    gradient's vertex stage (its fragment stage would meet Mesa's mode 4 crash on inputs)."""
    found = [("shipped frag.spv", "frag.spv", shipped("frag.spv"), "vert.spv", shipped("vert.spv")),
             ("shipped vert.spv", "vert.spv", shipped("vert.spv"), "frag.spv", shipped("frag.spv"))]
    if os.access(GLSLANG, os.X_OK):
        with tempfile.TemporaryDirectory() as work:
            out = os.path.join(work, "vert.spv")
            subprocess.run([GLSLANG, "-G", "-o", out, os.path.join(GRADIENT, "shader.vert")],
                           check=True, capture_output=True)
            with open(out, "rb") as f:
                found.append(("gradient vert.spv", "vert.spv", f.read(), "frag.spv",
                              shipped("frag.spv")))
    return found


Mutant = collections.namedtuple("Mutant", "number seed mutator file module other other_module")


def mutants(count, seed):
    rng = random.Random(seed)
    pool, made = seeds(), []
    while len(made) < count:
        name, file, module, other, other_module = rng.choice(pool)
        mutator = MUTATORS[len(made) % len(MUTATORS)]
        mutated = mutator(rng, module)
        if mutated != module:
            made.append(Mutant(len(made), name, mutator.__name__, file, mutated, other,
                               other_module))
    return made


def reproducer():
    """The kept crashing module, assembled by spirv-as (beside spirv-val), as a case of its own."""
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, "frag.spv")
        subprocess.run([os.path.join(os.path.dirname(SPIRV_VAL), "spirv-as"), "--target-env",
                        "opengl4.5", "-o", out, REPRODUCER], check=True, capture_output=True)
        with open(out, "rb") as f:
            return Mutant(-1, "driver_crash/frag.spvasm", "none", "frag.spv", f.read(), "vert.spv",
                          shipped("vert.spv"))


def validator_accepts(module):
    with tempfile.NamedTemporaryFile(suffix=".spv") as f:
        f.write(module)
        f.flush()
        return subprocess.run([SPIRV_VAL, "--target-env", "opengl4.5", f.name],
                              capture_output=True).returncode == 0


def crash_of(r):
    """(signal name, phase) when the driver killed velmor and velmor named it; else None."""
    found = console.first(console.parse(r.err or ""), "fatal")
    died = r.status == (1 if SANITIZED else -signal.SIGSEGV) or (r.status or 0) < 0
    if found and CRASH_PHASES.fullmatch(found.fields["phase"]) and died and r.frame is None:
        return found.fields["signal"], found.fields["phase"]
    return None


def known_crash(m, mode, r):
    """Whether the table of known driver behaviour names the crash of this run of mutant m: the
    GL's release, the window system, the mode, the fatal-signal line and the modules' traits."""
    events = console.parse(r.err)
    report = {"identity": {"gl": {"version": console.first(events, "version").fields["version"],
                                  "renderer": r.gl[1] if r.gl else None},
                           "window_system": "GLX"},
              "shader_files": [{"name": name, "traits": spirv.traits(module)} for name, module in
                               ((m.file, m.module), (m.other, m.other_module))]}
    record = {"id": modes.BY_MENU[mode].id, "status": "crash", "reason": None,
              "fatal_signal": console.first(events, "fatal").text}
    return known_behaviour.label(report, record) is not None


class MutationCampaign(unittest.TestCase):
    def test_no_invalid_module_reaches_the_gl(self):
        """Catches an invalid module that reaches the GL (the driver's undefined behaviour: a crash,
        or a misleading verdict), a refusal that does not name the file, a validator set up
        unlike spirv-val, and a driver crash on a valid module that goes unnamed or unrecorded."""
        made = [reproducer()] + mutants(COUNT, SEED)
        jobs = [(m, mode) for m in made for mode in "34"]

        def attempt(job):
            m, mode = job
            try:
                return run(mode + "\n", files={m.file: m.module, m.other: m.other_module},
                           timeout=20)
            except RunError as hang:
                return hang

        with ThreadPoolExecutor(2) as pool:
            verdicts = list(pool.map(validator_accepts, [m.module for m in made]))
            results = dict(zip(jobs, pool.map(attempt, jobs)))

        figures = collections.Counter()
        for m, valid in zip(made, verdicts):
            figures["tried"] += m.number >= 0
            outcome = set()
            for mode in "34":
                r = results[(m, mode)]
                with self.subTest(mutant=m.number, seed=m.seed, mutator=m.mutator, mode=mode):
                    if isinstance(r, RunError):
                        self.assertTrue(valid, "hung on a refused module: %s" % r)
                        outcome.add("hung")
                        continue
                    events = console.parse(r.err)
                    refused = [e for e in console.of_kind(events, "invalid-spirv")
                               if e.fields["file"] == m.file]
                    self.assertEqual(len(refused), 0 if valid else 1, r.err)
                    if not valid:
                        self.assertTrue(reached_main_loop(r), r.err)
                        self.assertEqual(console.of_kind(events, "fatal"), [])
                        outcome.add("refused")
                    elif reached_main_loop(r):
                        outcome.add("drawn")
                    else:
                        outcome.add("crashed")
                        crash = crash_of(r)
                        self.assertIsNotNone(crash, "ended without naming a crash:\n" + r.err)
                        self.assertTrue(known_crash(m, mode, r),
                                        "a driver crash the table does not know: %s in mode %s "
                                        "on mutant %d (%s, %s)"
                                        % (crash, mode, m.number, m.seed, m.mutator))
            if m.number < 0:
                continue
            figures["refused by the validator" if not valid else
                    "accepted, crashing the driver" if "crashed" in outcome else
                    "accepted, hanging the driver" if "hung" in outcome else
                    "accepted and drawn"] += 1
        print("\n%d mutants from seed %d: %s" % (COUNT, SEED, ", ".join(
            "%s %d" % item for item in sorted(figures.items()))))


if __name__ == "__main__":
    unittest.main()

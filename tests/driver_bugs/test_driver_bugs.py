"""The reduced reproducers of the driver table's crashes, run on the GL at hand: each entry that
points to a reproducer must still describe what velmor shows with it, mode by mode. A driver that
got fixed, or that crashes differently, fails here until its entry is changed."""
import glob
import itertools
import os
import subprocess
import tempfile
import unittest

from tools import console, modes
from tools.report import known_behaviour
from tools.reduce import trial

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SPIRV_MODES = [m for m in modes.MODES if m.language == "spirv"]
# In a sanitized build the frame probe is preloaded ahead of the sanitizer's runtime.
os.environ["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"


def assemble(source, folder):
    """The reproducer's modules in folder: each .spvasm assembled, a committed .spv copied."""
    for name in ("vert.spv", "frag.spv"):
        asm = os.path.join(source, name[:-4] + ".spvasm")
        if os.path.exists(asm):
            subprocess.run(["spirv-as", "--target-env", "opengl4.5", "-o",
                            os.path.join(folder, name), asm], check=True)
        else:
            with open(os.path.join(source, name), "rb") as f, \
                    open(os.path.join(folder, name), "wb") as out:
                out.write(f.read())


def allowed_outcomes(reproducer, mode_id, gl_version, window_system):
    """What the entries pointing at the reproducer say velmor shows with it on this GL, in this
    mode: (signal, phase) pairs, and None (no crash) where there is no entry or one that says the
    crash does not come every time."""
    identity = {"gl": {"version": gl_version}}
    allowed = []
    for entry in known_behaviour.ENTRIES:
        found = known_behaviour.release(identity, entry.driver)
        if (entry.reproducer == reproducer and entry.signal and found is not None
                and entry.releases[0] <= found <= entry.releases[1]
                and entry.mode in (None, mode_id) and window_system in entry.window_systems):
            allowed.append((entry.signal, entry.phase))
            if entry.sometimes:
                allowed.append(None)
    return allowed or [None]


class DriverBugsTest(unittest.TestCase):
    def test_each_reproducer_shows_what_its_entries_say(self):
        """Catches: a known crash fixed (or changed) in the Mesa at hand while the table still
        calls it known, and a reproducer that crashes with no entry to say so."""
        # The window's drawable and an offscreen framebuffer do not always crash alike.
        targets = {"GLX": trial.Target(os.environ["VELMOR_BIN"], "glx", os.environ["VELMOR_PROBE"]),
                   "EGL": trial.Target(os.environ["VELMOR_HEADLESS"], "egl", None)}
        folders = sorted(glob.glob(os.path.join(HERE, "*", "")))
        self.assertTrue(folders)
        for folder in folders:
            relative = os.path.relpath(folder, ROOT)
            with tempfile.TemporaryDirectory(prefix="velmor-driver-bug-") as work:
                assemble(folder, work)
                for (window_system, target), mode in itertools.product(targets.items(),
                                                                       SPIRV_MODES):
                    with self.subTest(reproducer=relative, mode=mode.menu, on=window_system):
                        seen, run = trial.take(mode, work, target, timeout=30)
                        version = console.first(console.parse(run.out, run.err), "version")
                        allowed = allowed_outcomes(relative, mode.id, version.fields["version"],
                                                   window_system)
                        crash = (seen or {}).get("kind") == "crash"
                        outcome = (seen["signal"], seen["phase"]) if crash else None
                        self.assertIn(outcome, allowed,
                                      "the table allows %s; velmor shows %s" % (allowed, seen))


if __name__ == "__main__":
    unittest.main()

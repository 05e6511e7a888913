"""The Linux download on a machine that has only what its README asks for: unpacked into an empty
folder and run from there, in a Debian root with the runtime packages and no build packages
(scripts/test --package): velmor under an X server, velmor-headless with none. VELMOR_TARBALL
names the archive, VELMOR_PROBE the frame probe."""
import glob
import os
import re
import subprocess
import tempfile
import unittest

# e2e_support reads the build's paths from the environment; here the download is the build.
os.environ.setdefault("VELMOR_BIN", "")
os.environ.setdefault("VELMOR_FAULTS", "")
os.environ.setdefault("VELMOR_SHADERS", "")
from e2e_support import (MENU, PROBE, SHIPPED_PIXEL, VERSION_LINE, close_to, runner,  # noqa: E402
                         test_env, uniform_pixel)
from tools import console  # noqa: E402

TARBALL = os.environ["VELMOR_TARBALL"]


FILES = ["velmor", "velmor-headless", "shader.vert", "shader.frag", "vert.spv", "frag.spv",
         "LICENSE", "README.md"]


def unpack(test, empty):
    """The archive unpacked into `empty`, on a system where no compiler or -dev package could
    stand in for what the download lacks; its one folder."""
    installed = subprocess.run(["dpkg-query", "-W", "-f", "${Package}\\n"], check=True,
                               capture_output=True, text=True).stdout.split()
    build = re.compile(r".*-dev|(gcc|g\+\+|cpp|clang)(-[0-9.]+)?")
    test.assertEqual([p for p in installed if build.fullmatch(p)], [])
    subprocess.run(["tar", "-xzf", TARBALL, "-C", empty], check=True)
    folder, = glob.glob(os.path.join(empty, "velmor-*"))
    test.assertEqual(sorted(os.listdir(folder)), sorted(FILES))
    return folder


def check_four_modes(test, folder, binary, env=None, **options):
    for choice, linked in [("1\n", 1), ("2\n", 2), ("3\n", 1), ("4\n", 2)]:
        with test.subTest(binary=binary, choice=choice):
            r = runner.run(choice, folder, binary=os.path.join(folder, binary), probe=PROBE,
                           env=test_env(LD_PRELOAD=None, **(env or {})), **options)
            test.assertIsNone(r.status, r.err)
            test.assertEqual(r.out, MENU + "Linked\n" * linked)
            first, _, rest = r.err.partition("\n")
            test.assertEqual(first, VERSION_LINE + r.gl[0])
            test.assertEqual([m for m in console.debug_messages(console.parse(rest))
                              if m["type"] == "Error"], [])
            test.assertTrue(close_to(uniform_pixel(r.frame), SHIPPED_PIXEL),
                            uniform_pixel(r.frame))


class Tarball(unittest.TestCase):
    def test_each_mode_runs_from_the_unpacked_folder(self):
        """Catches a download that lacks a file velmor needs (a shader, a library that is not
        the GL's or X's), or whose velmor fails, reports an error or draws anything but the
        shipped picture in one of the four modes; and a run that proves nothing, on a system
        where a compiler or a -dev package could stand in for what the download lacks."""
        with tempfile.TemporaryDirectory(prefix="velmor-tarball-") as empty:
            check_four_modes(self, unpack(self, empty), "velmor")


class Headless(unittest.TestCase):
    def test_each_mode_runs_headless_with_no_x_server(self):
        """Catches a velmor-headless in the download that needs an X server, a library the
        README does not name (libpng, a GLEW built another way), or that fails, reports an error
        or draws anything but the shipped picture in one of the four modes."""
        self.assertIsNone(os.environ.get("DISPLAY"))
        with tempfile.TemporaryDirectory(prefix="velmor-tarball-") as empty:
            check_four_modes(self, unpack(self, empty), "velmor-headless", window_system="egl")


if __name__ == "__main__":
    unittest.main()

"""The Linux download on a machine that has only what its README asks for: unpacked into an empty
folder and run from there, in a Debian root with the runtime packages and no build packages
(scripts/test --package). VELMOR_TARBALL names the archive, VELMOR_PROBE the frame probe."""
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
from e2e_support import (MENU, PROBE, SHIPPED_PIXEL, VERSION_LINE, close_to, test_env,  # noqa: E402
                         uniform_pixel, velmor_run)

TARBALL = os.environ["VELMOR_TARBALL"]


class Tarball(unittest.TestCase):
    def test_each_mode_runs_from_the_unpacked_folder(self):
        """Catches a download that lacks a file velmor needs (a shader, a library that is not
        the GL's or X's), or whose velmor fails, reports an error or draws anything but the
        shipped picture in one of the four modes; and a run that proves nothing, on a system
        where a compiler or a -dev package could stand in for what the download lacks."""
        installed = subprocess.run(["dpkg-query", "-W", "-f", "${Package}\\n"], check=True,
                                   capture_output=True, text=True).stdout.split()
        build = re.compile(r".*-dev|(gcc|g\+\+|cpp|clang)(-[0-9.]+)?")
        self.assertEqual([p for p in installed if build.fullmatch(p)], [])
        with tempfile.TemporaryDirectory(prefix="velmor-tarball-") as empty:
            subprocess.run(["tar", "-xzf", TARBALL, "-C", empty], check=True)
            folder, = glob.glob(os.path.join(empty, "velmor-*"))
            self.assertEqual(sorted(os.listdir(folder)),
                             sorted(["velmor", "shader.vert", "shader.frag", "vert.spv",
                                     "frag.spv", "LICENSE", "README.md"]))
            for choice, linked in [("1\n", 1), ("2\n", 2), ("3\n", 1), ("4\n", 2)]:
                with self.subTest(choice=choice):
                    r = velmor_run.run(choice, folder, binary=os.path.join(folder, "velmor"),
                                       probe=PROBE, env=test_env(LD_PRELOAD=None))
                    self.assertIsNone(r.status, r.err)
                    self.assertEqual(r.out, MENU + "Linked\n" * linked)
                    first, _, rest = r.err.partition("\n")
                    self.assertEqual(first, VERSION_LINE + r.gl[0])
                    self.assertNotIn("Type:Error", rest)
                    self.assertTrue(close_to(uniform_pixel(r.frame), SHIPPED_PIXEL),
                                    uniform_pixel(r.frame))


if __name__ == "__main__":
    unittest.main()

"""Velmor for Windows: the cross-built velmor.exe, read as a file and run under Wine beside the
Linux build (scripts/test --windows)."""
import glob
import os
import re
import subprocess
import tempfile
import unittest
import zipfile

from e2e_support import run, runner, test_env
from tools import console, wine

EXE = os.environ.get("VELMOR_EXE", wine.EXE)
# The download, as scripts/package writes it (scripts/test --windows makes it first).
ZIPS = glob.glob(os.path.join(wine.ROOT, "build-package", "velmor-*-windows-x86_64.zip"))
# What every Windows has; MinGW's own runtime DLLs, freeglut's or GLEW's must not be needed.
SYSTEM_DLLS = {"advapi32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll", "opengl32.dll",
               "user32.dll", "winmm.dll"}


def objdump(*options, exe=EXE):
    return subprocess.run(["x86_64-w64-mingw32-objdump", *options, exe], capture_output=True,
                          text=True, check=True).stdout


def exported_value(name):
    """The 32-bit value of the exported data symbol `name`, read from the file at the address
    the export table gives; None when the table does not name it."""
    table = objdump("-p")
    ordinal = re.search(r"^\s*\[\s*(\d+)\] %s$" % name, table, re.M)
    if not ordinal:
        return None
    rva = re.search(r"^\s*\[\s*%s\] \+base\[\s*\d+\] ([0-9a-f]+) Export RVA$" % ordinal[1], table,
                    re.M)
    address = int(re.search(r"^ImageBase\s+([0-9a-f]+)$", table, re.M)[1], 16) + int(rva[1], 16)
    contents = objdump("-s", "--start-address=%#x" % address, "--stop-address=%#x" % (address + 4))
    word = re.search(r"^ %x ([0-9a-f]{8}) " % address, contents, re.M)
    # No bytes in the file: the symbol is in zero-filled data (.bss).
    return int.from_bytes(bytes.fromhex(word[1]), "little") if word else 0


class Executable(unittest.TestCase):
    def test_optimus_export_is_one(self):
        """Catches a build that leaves NvOptimusEnablement out of the export table (an Optimus
        laptop would then run velmor on its integrated GPU) or exports another value."""
        self.assertEqual(exported_value("NvOptimusEnablement"), 1)

    def test_needs_only_system_dlls(self):
        """Catches an exe that will not start on a clean Windows: one linked against MinGW's
        runtime DLLs (libstdc++, libgcc, winpthread) or against freeglut or GLEW as DLLs."""
        dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", objdump("-p"))}
        self.assertLessEqual(dlls, SYSTEM_DLLS)


class UnderWine(unittest.TestCase):
    def assert_runs_alike(self, windows, linux, exe):
        """Allowed differences: CRLF line ends and the exact lines wine.added_err_lines lists."""
        self.assertEqual(windows.status, linux.status, windows.err)
        self.assertEqual(console.lines_of(windows.out), console.lines_of(linux.out))
        added = wine.added_err_lines(exe)
        self.assertEqual(console.lines_of(windows.err), added + console.lines_of(linux.err))
        self.assertEqual({console.classify(line).kind for line in added}, {"window-system"})
        self.assertEqual(windows.frame is None, linux.frame is None)
        if linux.frame is not None:
            self.assertEqual(windows.frame.tobytes(), linux.frame.convert("RGB").tobytes())

    def test_runs_as_the_linux_build_does(self):
        """Catches a Windows build that prints, ends or draws otherwise than the Linux build, in
        each mode and on each refusal."""
        cases = [("1\n", None, None), ("2\n", None, None), ("3\n", None, None),
                 ("4\n", None, None), ("5\n", None, None),
                 ("1\n", {"shader.frag": None}, None), ("3\n", {"vert.spv": None}, None),
                 ("2\n", None, {"MESA_EXTENSION_OVERRIDE": "-GL_ARB_gl_spirv"})]
        for choice, files, env in cases:
            with self.subTest(choice=choice, files=files, env=env):
                linux = run(choice, files, env)
                windows = run(choice, files, env, binary=EXE, runner=wine.RUNNER)
                self.assert_runs_alike(windows, linux, EXE)

    def test_the_download_runs_where_it_is_unpacked(self):
        """Catches a zip that lacks a file velmor.exe needs (a shader, a DLL), holds an exe that
        needs more than the system's DLLs or lost its Optimus export, or whose velmor.exe does
        not run as the Linux build does from the folder the zip unpacks to."""
        self.assertEqual(len(ZIPS), 1, "one zip in build-package/ (scripts/package windows)")
        with tempfile.TemporaryDirectory(prefix="velmor-zip-") as empty:
            with zipfile.ZipFile(ZIPS[0]) as z:
                z.extractall(empty)
            folder, = glob.glob(os.path.join(empty, "velmor-*"))
            exe = os.path.join(folder, "velmor.exe")
            self.assertEqual(sorted(os.listdir(folder)),
                             sorted(["velmor.exe", "shader.vert", "shader.frag", "vert.spv",
                                     "frag.spv", "LICENSE", "README.txt"]))
            self.assertLessEqual(
                {n.lower() for n in re.findall(r"DLL Name: (\S+)", objdump("-p", exe=exe))},
                SYSTEM_DLLS)
            self.assertIn("] NvOptimusEnablement", objdump("-p", exe=exe))
            for choice in ["1\n", "2\n", "3\n", "4\n"]:
                with self.subTest(choice=choice):
                    windows = runner.run(choice, folder, binary=exe, env=test_env(),
                                         runner=wine.RUNNER)
                    self.assert_runs_alike(windows, run(choice), exe)

"""Velmor for Windows: the cross-built velmor.exe, read as a file and run under Wine beside the
Linux build (scripts/test --windows)."""
import os
import re
import subprocess
import unittest

from e2e_support import run

import wine

EXE = os.environ.get("VELMOR_EXE", wine.EXE)
# What every Windows has; MinGW's own runtime DLLs, freeglut's or GLEW's must not be needed.
SYSTEM_DLLS = {"advapi32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll", "opengl32.dll",
               "user32.dll", "winmm.dll"}


def objdump(*options):
    return subprocess.run(["x86_64-w64-mingw32-objdump", *options, EXE], capture_output=True,
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
    def test_runs_as_the_linux_build_does(self):
        """Catches a Windows build that prints, ends or draws otherwise than the Linux build, in
        each mode and on each refusal. Allowed differences: CRLF line ends and the exact lines
        wine.added_err_lines lists."""
        cases = [("1\n", None, None), ("2\n", None, None), ("3\n", None, None),
                 ("4\n", None, None), ("5\n", None, None),
                 ("1\n", {"shader.frag": None}, None), ("3\n", {"vert.spv": None}, None),
                 ("2\n", None, {"MESA_EXTENSION_OVERRIDE": "-GL_ARB_gl_spirv"})]
        for choice, files, env in cases:
            with self.subTest(choice=choice, files=files, env=env):
                linux = run(choice, files, env)
                windows = run(choice, files, env, binary=EXE, runner=wine.RUNNER)
                self.assertEqual(windows.status, linux.status, windows.err)
                self.assertEqual(wine.linux_text(windows.out), linux.out)
                self.assertEqual(wine.linux_text(windows.err, wine.added_err_lines(EXE)),
                                 linux.err)
                self.assertEqual(windows.frame is None, linux.frame is None)
                if linux.frame is not None:
                    self.assertEqual(windows.frame.tobytes(),
                                     linux.frame.convert("RGB").tobytes())

"""A small valid report.json, built in memory, for the tests of known behaviour and compare."""
import copy
import json
import os

from PIL import Image

from tools import modes

SIZE = (8, 6)
IDENTITY = {
    "gl": {"vendor": "Mesa", "renderer": "llvmpipe (LLVM 15.0.6, 256 bits)",
           "version": "4.5 (Core Profile) Mesa 22.3.6", "glsl_version": "4.50",
           "context_flags": "0x2"},
    "gl_source": "frame probe", "window_system": "GLX", "os": "Debian GNU/Linux 12 (bookworm)",
    "kernel": "6.1.0", "mesa_package": "22.3.6-1+deb12u1",
    "velmor": {"describe": "abc1234", "project_version": "0.3.0"},
    "command_line": ["scripts/report"], "date": "2026-12-08T12:00:00Z",
    "environment": dict.fromkeys(["LIBGL_ALWAYS_SOFTWARE", "GALLIUM_DRIVER",
                                  "MESA_LOADER_DRIVER_OVERRIDE", "MESA_EXTENSION_OVERRIDE",
                                  "MESA_GL_VERSION_OVERRIDE", "VK_DRIVER_FILES",
                                  "VK_ICD_FILENAMES"]),
    "overrides": False, "target": None}


def mode_record(mode):
    return {"id": mode.id, "menu": mode.menu, "name": mode.label, "status": "pass",
            "reason": None, "ending": {"text": "drew; closed cleanly", "exit_status": 0,
                                       "signal": None, "hung_after_s": None, "at_close": True},
            "consistent": True, "linked": mode.linked, "debug_messages": [], "info_log": [],
            "velmor_lines": [], "fatal_signal": None,
            "first_frame_ms": {"samples": [300.0], "median": 300.0},
            "frame": {"file": "mode-%s.png" % mode.menu, "width": SIZE[0], "height": SIZE[1],
                      "rgba_sha256": "a" * 64},
            "picture": "identical", "stdout": "", "stderr": ""}


def report(frag_inputs=0):
    files = [{"name": n, "size": 4, "sha256": "b" * 64,
              "input_variables": frag_inputs if n == "frag.spv" else 0 if "spv" in n else None,
              "traits": [] if "spv" in n else None}
             for n in modes.SHADER_FILES]
    return {"format": "velmor-report", "version": 2, "identity": copy.deepcopy(IDENTITY),
            "shader_files": files, "runs_per_mode": 1,
            "modes": [mode_record(m) for m in modes.MODES]}


def crashed(data, menu, line):
    m = data["modes"][int(menu) - 1]
    m.update(status="crash", reason=line, fatal_signal=line, frame=None,
             ending=dict(m["ending"], text="killed by SIGSEGV", exit_status=None,
                         signal="SIGSEGV", at_close=False))
    return data


def save(folder, data, text=None):
    """The report into folder, with a frame for each mode that has one."""
    os.makedirs(folder, exist_ok=True)
    for m in data["modes"]:
        if m["frame"]:
            Image.new("RGBA", SIZE, (230, 122, 46, 255)).save(os.path.join(folder,
                                                                           m["frame"]["file"]))
    with open(os.path.join(folder, "report.json"), "w") as f:
        f.write(text if text is not None else json.dumps(data))
    return folder

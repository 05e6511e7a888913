"""The GL implementations a sweep reaches, each with the renderer it must report.

where: "host" (this system's Mesa), "debian13" (the Debian 13 root of scripts/test --debian 13,
entered as root) or "wine" (build-windows/velmor.exe under Wine, on this system's Mesa).
env: the variables that choose the driver. private_xdg: zink wants XDG_RUNTIME_DIR to name a
private folder, or its first line on standard error complains. expected_renderer: a regular
expression that GL_RENDERER must match, or the report is marked "invalid: wrong driver".
"""
import collections

Target = collections.namedtuple("Target", "name where env private_xdg expected_renderer")

SOFTWARE_ZINK = {"LIBGL_ALWAYS_SOFTWARE": "1", "GALLIUM_DRIVER": "zink"}
TARGETS = (
    Target("host-llvmpipe", "host", {"GALLIUM_DRIVER": "llvmpipe"}, False, "llvmpipe"),
    Target("host-softpipe", "host", {"GALLIUM_DRIVER": "softpipe"}, False, "softpipe"),
    Target("host-zink", "host", SOFTWARE_ZINK, True, "zink.*llvmpipe"),
    Target("debian13-llvmpipe", "debian13", {"GALLIUM_DRIVER": "llvmpipe"}, False, "llvmpipe"),
    Target("debian13-zink", "debian13", SOFTWARE_ZINK, True, "zink.*llvmpipe"),
    Target("windows-wine", "wine", {"GALLIUM_DRIVER": "llvmpipe"}, False, "llvmpipe"),
)
BY_NAME = {t.name: t for t in TARGETS}

"""The GL implementations a sweep reaches, each with the renderer it must report.

where: "host" (this system's Mesa), "debian13" (the Debian 13 root of scripts/test --debian 13,
entered as root) or "wine" (build-windows/velmor.exe under Wine, on this system's Mesa).
env: the variables that choose the driver (None removes one). private_xdg: zink wants
XDG_RUNTIME_DIR to name a private folder, or its first line on standard error complains.
expected_renderer: a regular expression that GL_RENDERER must match, or the report is marked
"invalid: wrong driver". window_system: "glx", "wgl" (Wine) or "egl" (velmor-headless).
device: the EGL device velmor-headless runs on (--device N), None for the surfaceless platform.
"""
import collections
import re
import tempfile

from .. import console, runner

Target = collections.namedtuple(
    "Target", "name where env private_xdg expected_renderer window_system device",
    defaults=("glx", None))

SOFTWARE_ZINK = {"LIBGL_ALWAYS_SOFTWARE": "1", "GALLIUM_DRIVER": "zink"}
LLVMPIPE = {"GALLIUM_DRIVER": "llvmpipe"}
TARGETS = (
    Target("host-llvmpipe", "host", LLVMPIPE, False, "llvmpipe"),
    Target("host-softpipe", "host", {"GALLIUM_DRIVER": "softpipe"}, False, "softpipe"),
    Target("host-zink", "host", SOFTWARE_ZINK, True, "zink.*llvmpipe"),
    Target("host-llvmpipe-egl", "host", LLVMPIPE, False, "llvmpipe", "egl"),
    Target("host-zink-egl", "host", SOFTWARE_ZINK, True, "zink.*llvmpipe", "egl"),
    Target("debian13-llvmpipe", "debian13", LLVMPIPE, False, "llvmpipe"),
    Target("debian13-zink", "debian13", SOFTWARE_ZINK, True, "zink.*llvmpipe"),
    Target("debian13-llvmpipe-egl", "debian13", LLVMPIPE, False, "llvmpipe", "egl"),
    Target("debian13-zink-egl", "debian13", SOFTWARE_ZINK, True, "zink.*llvmpipe", "egl"),
    Target("windows-wine", "wine", LLVMPIPE, False, "llvmpipe", "wgl"),
)
BY_NAME = {t.name: t for t in TARGETS}

# A hardware device's own driver answers: nothing may steer Mesa to a software one.
HARDWARE_ENV = {"LIBGL_ALWAYS_SOFTWARE": None, "GALLIUM_DRIVER": None}
DEVICE_NAME = re.compile(r"host-device-([0-9]+)-egl")
NO_DEVICE = "host-device-egl"  # the sweep's entry for the devices when there is none
# What GL_RENDERER says for the driver an EGL device names (EGL_EXT_device_persistent_id).
DRIVER_RENDERERS = {
    "nvidia": "NVIDIA", "iris": "Intel", "crocus": "Intel", "i915": "Intel",
    "radeonsi": "AMD|Radeon", "r600": "AMD|ATI|Radeon", "nouveau": "NV[0-9A-F]+|nouveau",
    "virtio_gpu": "virgl|Venus|zink", "vmwgfx": "SVGA3D", "panfrost": "Mali", "lima": "Mali",
    "freedreno": "Adreno|FD[0-9]+", "msm": "Adreno|FD[0-9]+", "v3d": "V3D", "vc4": "VC4",
    "etnaviv": "Vivante|GC[0-9]+", "asahi": "Apple",
}
# For a driver the table does not know: at least no software rasterizer.
NOT_SOFTWARE = "^(?!.*(?:llvmpipe|softpipe|lavapipe|swrast))"


def expected_for_driver(driver):
    """The renderer a device's driver gives, as a regular expression."""
    known = DRIVER_RENDERERS.get((driver or "").lower())
    return "(?i)" + known if known else NOT_SOFTWARE


def device_target(index, driver=None):
    return Target("host-device-%d-egl" % index, "host", HARDWARE_ENV, False,
                  expected_for_driver(driver), "egl", index)


def device_targets(events):
    """One target per hardware device among the console's "device" events."""
    return [device_target(int(e.fields["index"]),
                          None if e.fields["driver"] == "unknown" else e.fields["driver"])
            for e in events if e.kind == "device" and e.fields["type"] == "hardware"]


def listed_devices(binary):
    """The console events of `velmor-headless --list-devices`, and None; or None and why
    there are none to list."""
    with tempfile.TemporaryDirectory(prefix="velmor-devices-") as folder:
        try:
            seen = runner.run(None, folder, binary=binary, args=["--list-devices"],
                              window_system="egl")
        except (OSError, runner.RunError) as failure:
            return None, "velmor-headless --list-devices failed: %s" % failure
    events = console.parse(seen.out, seen.err)
    failure = console.first(events, "headless-error")
    if failure is not None:
        return None, failure.text
    if seen.status not in (0, None):
        return None, "velmor-headless --list-devices ended with %s" % runner.describe(seen.status)
    return events, None


def hardware_targets(binary):
    """The targets of this host's hardware EGL devices, and why there are none when so."""
    events, why = listed_devices(binary)
    if events is None:
        return [], why
    found = device_targets(events)
    return found, None if found else "no hardware EGL device"


def named(name):
    """The target of that name, or None. A device target not yet listed expects its driver
    unknown; resolved() names it once velmor-headless can list the devices."""
    device = DEVICE_NAME.fullmatch(name)
    return device_target(int(device[1])) if device else BY_NAME.get(name)


def resolved(target, binary):
    """The device target with the renderer its device's driver gives; None and why when the
    device is not one of the hardware EGL devices listed."""
    if target.device is None:
        return target, None
    found, why = hardware_targets(binary)
    for listed in found:
        if listed.device == target.device:
            return listed, None
    return None, why or "no hardware EGL device %d" % target.device


def velmor_args(target):
    """velmor-headless's own arguments for the target."""
    return ["--device", str(target.device)] if target and target.device is not None else []

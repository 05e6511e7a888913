"""Who answered: the GL strings, the window system (and EGL's platform), the OS, Mesa's package,
Velmor's build and the variables that choose or change a driver, as a report records them
first."""
import datetime
import json
import os
import platform
import re
import subprocess

from . import console, runner

# The variables that choose or change a driver; the last two change what it reports.
DRIVER_VARIABLES = ("LIBGL_ALWAYS_SOFTWARE", "GALLIUM_DRIVER", "MESA_LOADER_DRIVER_OVERRIDE",
                    "MESA_EXTENSION_OVERRIDE", "MESA_GL_VERSION_OVERRIDE", "VK_DRIVER_FILES",
                    "VK_ICD_FILENAMES")
OVERRIDING = ("MESA_EXTENSION_OVERRIDE", "MESA_GL_VERSION_OVERRIDE")
WINDOW_SYSTEMS = {"glx": "GLX", "wgl": "WGL (Wine)", "egl": "EGL"}


def helper_env(changes=None):
    """The environment for a helper program (glxinfo, dpkg-query): the driver's variables, but
    nothing preloaded, which was meant for velmor alone."""
    env = runner.merge_env(changes)
    env.pop("LD_PRELOAD", None)
    return env


def glxinfo(env):
    """GL_VENDOR, GL_RENDERER, the core profile's version strings from glxinfo -B (mesa-utils) on
    the same display and environment, for a driver on which no mode drew: a runner.GLIdentity,
    or None."""
    try:
        out = subprocess.run(["glxinfo", "-B"], capture_output=True, text=True, timeout=30,
                             env=helper_env(env)).stdout
    except (OSError, subprocess.TimeoutExpired):
        return None
    facts = dict(line.strip().split(": ", 1) for line in out.splitlines() if ": " in line)
    if "OpenGL renderer string" not in facts:
        return None
    return runner.GLIdentity(
        vendor=facts.get("OpenGL vendor string"), renderer=facts["OpenGL renderer string"],
        version=facts.get("OpenGL core profile version string",
                          facts.get("OpenGL version string")),
        glsl_version=facts.get("OpenGL core profile shading language version string",
                               facts.get("OpenGL shading language version string")),
        context_flags=None)


def gl_identity(runs, env, window_system):
    """The GL strings (a runner.GLIdentity) and where they came from: velmor's own context (the
    frame probe, or velmor-headless's info file) in the first run that has them, else glxinfo,
    else velmor's version line. runs: the first Run of each mode, in menu order."""
    for run in runs:
        if run.gl:
            return run.gl, "frame probe"
    found = glxinfo(env) if window_system != "egl" else None
    if found:
        return found, "glxinfo"
    unknown = runner.GLIdentity()
    for run in runs:
        line = console.first(console.parse(run.out, run.err), "version")
        if line:
            return unknown._replace(version=line.fields["version"]), "console"
    return unknown, "none"


def os_name():
    try:
        return platform.freedesktop_os_release().get("PRETTY_NAME")
    except OSError:
        return None


def mesa_package():
    try:
        found = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "libgl1-mesa-dri"],
                               capture_output=True, text=True, env=helper_env())
    except OSError:
        return None
    return (found.stdout.strip() or None) if found.returncode == 0 else None


def velmor_version(binary):
    """What the build beside the binary noted (tools/version.cmake); nulls when there is none."""
    try:
        with open(os.path.join(os.path.dirname(binary), "velmor-version.json")) as f:
            found = json.load(f)
    except (OSError, ValueError):
        found = None
    if not isinstance(found, dict):
        return {"describe": None, "project_version": None}
    return {key: found.get(key) if isinstance(found.get(key), str) else None
            for key in ("describe", "project_version")}


def text_or_none(value):
    return value if isinstance(value, str) else None


def egl_identity(runs, target):
    """The EGL platform velmor-headless ran on and its EGL's vendor and version, from the
    first run that wrote its info file; where none did, the platform asked for, the rest
    null."""
    for run in runs:
        info = run.info or {}
        if info.get("platform") in ("surfaceless", "device"):
            device = info.get("device")
            return {"platform": info["platform"],
                    "device": device if isinstance(device, int) and
                    not isinstance(device, bool) and 0 <= device <= 1024 else None,
                    "device_node": text_or_none(info.get("device_node")),
                    "device_driver": text_or_none(info.get("device_driver")),
                    "vendor": text_or_none(info.get("egl_vendor")),
                    "version": text_or_none(info.get("egl_version"))}
    device = target.device if target is not None else None
    return {"platform": "surfaceless" if device is None else "device", "device": device,
            "device_node": None, "device_driver": None, "vendor": None, "version": None}


def platform_text(egl):
    """The surfaceless platform, or the device platform's device N (node, driver) as far as
    the device tells."""
    if egl["platform"] == "surfaceless":
        return "surfaceless platform"
    told = [part for part in (egl["device_node"], egl["device_driver"]) if part]
    return "device platform, device %s%s" % ("?" if egl["device"] is None else egl["device"],
                                             " (%s)" % ", ".join(told) if told else "")


def target_check(target, renderer):
    if target is None:
        return None
    return {"name": target.name, "expected_renderer": target.expected_renderer,
            "check": "pass" if re.search(target.expected_renderer, renderer or "")
            else "invalid: wrong driver"}


def identity(options, runs, env):
    """The report's identity record. options: the report's (velmor, target, window_system,
    argv); runs: the first Run of each mode; env: the changes every run got."""
    gl, source = gl_identity(runs, env, options.window_system)
    environment = {name: env.get(name, os.environ.get(name)) for name in DRIVER_VARIABLES}
    egl = egl_identity(runs, options.target) if options.window_system == "egl" else None
    return {"gl": gl._asdict(), "gl_source": source,
            "window_system": WINDOW_SYSTEMS[options.window_system], "egl": egl,
            "os": os_name(), "kernel": platform.release(), "mesa_package": mesa_package(),
            "velmor": velmor_version(options.velmor),
            "command_line": ["scripts/report", *options.argv],
            "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"),
            "environment": environment,
            "overrides": any(environment[name] for name in OVERRIDING),
            "target": target_check(options.target, gl.renderer)}

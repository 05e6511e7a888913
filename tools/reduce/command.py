"""`python3 -m tools reduce --shaders DIR --mode N [--out DIR] [--timeout S] [--step-limit N]
[--glx] [--build DIR]`: signature, reduction of each module with spirv-reduce, verification, the
reproducer's proof, and the output folder. Status 0: written; 1: the reduction failed (nothing
written); 2: bad arguments, an OUT that may not take the result, or nothing to reduce (one
line)."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

from .. import modes, runner
from . import reproducer, signature, trial, write

DEFAULT_OUT = os.path.join(runner.ROOT, "build", "reduce")
DEFAULT_BUILD = os.path.join(runner.ROOT, "build")


class Refusal(Exception):
    """One line for the user, and the status to end with."""

    def __init__(self, line, status=2):
        super().__init__(line)
        self.status = status


def add_parser(commands, whole_number, out_folder, shader_folder):
    """The `reduce` subcommand, on the tools' argparse subcommands."""
    reduce = commands.add_parser("reduce", help="shrink the SPIR-V modules a driver fails on")
    # The tools' main ends at --check before any subcommand runs; OUT's checks need --shaders
    # too, so the command takes its own --check and ends after them.
    reduce.add_argument("--check", dest="check_only", action="store_true",
                        help="check the arguments only, then end")
    reduce.set_defaults(check=False)
    reduce.add_argument("--shaders", type=shader_folder, required=True,
                        help="the folder holding vert.spv and frag.spv")
    reduce.add_argument("--mode", required=True, choices=[m.menu for m in modes.MODES])
    reduce.add_argument("--out", type=out_folder, default=DEFAULT_OUT)
    reduce.add_argument("--timeout", type=whole_number, default=10,
                        help="seconds each try may take before it counts as a hang")
    reduce.add_argument("--step-limit", type=whole_number,
                        help="at most this many reduction steps per module")
    reduce.add_argument("--glx", action="store_true",
                        help="run velmor under X instead of velmor-headless on EGL: some "
                             "crashes happen only in a window")
    # Absolute: the tries run in spirv-reduce's own working folders.
    reduce.add_argument("--build", type=os.path.abspath, default=DEFAULT_BUILD,
                        help="the build folder holding velmor or velmor-headless")
    return reduce


def main(options):
    try:
        return reduce(options)
    except Refusal as refusal:
        print(refusal, file=sys.stderr)
        return refusal.status


def reduce(options):
    mode = modes.BY_MENU[options.mode]
    if mode.language != "spirv":
        raise Refusal("nothing to reduce: mode %s (%s) builds from GLSL; spirv-reduce shrinks "
                      "the SPIR-V of modes 3 and 4" % (mode.menu, mode.label))
    check_out(options.out, options.shaders)
    files = [mode.files[stage] for stage in mode.build_order]
    original = {name: read_module(options.shaders, name) for name in files}
    if options.check_only:
        return 0
    target = trial.target_in(options.build, options.glx)
    if target is None:
        raise Refusal("no %s built in %s" % ("velmor" if options.glx else "velmor or "
                                             "velmor-headless", options.build), 1)
    if target.window_system == "glx" and not os.environ.get("DISPLAY"):
        raise Refusal("%s and DISPLAY is not set: no way to run velmor" % (
            "--glx runs velmor under X" if options.glx else "velmor-headless is not built"), 1)
    work = tempfile.mkdtemp(prefix="velmor-reduce-")
    try:
        return reduce_in(work, options, mode, target, original)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def reduce_in(work, options, mode, target, original):
    started = time.monotonic()
    glx_too = target.window_system == "egl" and trial.target_in(options.build, True) is not None
    wanted, first = signature_of(work, mode, target, original, options.timeout, glx_too)
    say("mode %s (%s) on %s: %s" % (mode.menu, mode.label, options.shaders,
                                    signature.describe(wanted)))
    reduced = dict(original)
    steps = {}
    for name in original:
        reduced[name], steps[name] = reduce_module(work, options, mode, target, wanted, reduced,
                                                   name)
    verified = verify(work, mode, target, wanted, reduced, options.timeout)
    proof = reproducer.prove(mode.menu, reduced, work, options.timeout)
    facts = write.facts(options, mode, target, first, wanted, original, reduced, steps,
                        verified, proof, time.monotonic() - started)
    # The user may have put something into OUT while the reduction ran.
    check_out(options.out, options.shaders)
    try:
        write.output(options.out, facts, reduced, reproducer.source())
    except (OSError, subprocess.CalledProcessError) as failure:
        raise Refusal("could not write %s: %s" % (options.out, getattr(failure, "strerror", None)
                                                  or failure), 1)
    print_summary(facts, options.out)
    return 0


def verify(work, mode, target, wanted, reduced, timeout):
    """The reduced modules validated and run once more. A README stating a signature they no
    longer show would mislead the driver's developers, so a failure writes nothing."""
    invalid = [name for name, data in reduced.items() if validator_verdict(work, name, data)]
    if invalid:
        raise Refusal("verification failed: the reduced %s is not valid for OpenGL 4.5; nothing "
                      "written" % " and ".join(invalid), 1)
    seen, _ = trial.take(mode, trial.stage_folder(work, reduced), target, timeout)
    if seen != wanted:
        raise Refusal("verification failed: the reduced modules show %s, not %s; nothing "
                      "written" % (signature.describe(seen), signature.describe(wanted)), 1)
    return {"valid": True, "same_signature": True, "signature": seen}


def check_out(out, shaders):
    """OUT takes the reduction (write.refusal), and the modules to reduce do not lie in it, where
    the result would overwrite them: asked before any work."""
    if (os.path.realpath(shaders) + os.sep).startswith(os.path.realpath(out) + os.sep):
        raise Refusal("--shaders %s lies in --out %s, where the result goes: choose another "
                      "--out" % (shaders, out))
    why = write.refusal(out)
    if why:
        raise Refusal(why)


def read_module(folder, name):
    path = os.path.join(folder, name)
    if not os.path.isfile(path):
        raise Refusal("nothing to reduce: %s is missing" % path)
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as failure:
        raise Refusal("cannot read %s: %s" % (path, failure.strerror))
    return data


def validator_verdict(work, name, data):
    """None when the module is valid for OpenGL 4.5, else spirv-val's reason."""
    path = os.path.join(work, "check-" + name)
    with open(path, "wb") as f:
        f.write(data)
    checked = subprocess.run(["spirv-val", "--target-env", "opengl4.5", path],
                             capture_output=True, text=True)
    os.remove(path)
    if checked.returncode == 0:
        return None
    return " ".join((checked.stdout + checked.stderr).split()) or "refused"


def signature_of(work, mode, target, modules, timeout, glx_too):
    """The signature the reduction keeps, taken twice whatever the first run shows: a result that
    changes from one run to the next cannot guide it. Also the first Run, for the GL's identity.
    glx_too: velmor is built as well, so a mode that passes may still crash under --glx."""
    for name, data in modules.items():
        verdict = validator_verdict(work, name, data)
        if verdict:
            raise Refusal("nothing to reduce: %s is not valid SPIR-V for OpenGL 4.5, so velmor "
                          "refuses it before the driver sees it (%s)" % (name, verdict))
    folder = trial.stage_folder(work, modules)
    first, seen = trial.take(mode, folder, target, timeout)
    again, _ = trial.take(mode, folder, target, timeout)
    if again != first:
        raise Refusal("unstable: two runs of mode %s gave two results (%s, then %s); a result "
                      "that comes and goes cannot guide a reduction"
                      % (mode.menu, signature.describe(first), signature.describe(again)), 1)
    if first is None:
        raise Refusal("nothing to reduce: mode %s passes%s" % (mode.menu, (
            " on EGL (velmor-headless); some crashes happen only in a window, where --glx "
            "runs velmor") if glx_too else ""))
    if first["kind"] in ("velmor", "display-lost"):
        raise Refusal("no driver result to reduce: %s" % signature.describe(first), 1)
    if seen.gl is None:
        seen = identity_run(work, target, timeout)
    return first, seen


def identity_run(work, target, timeout):
    """A run that draws (mode 1, the shipped shaders), for the GL strings a crashed run never
    reached."""
    folder = os.path.join(work, "identity")
    os.mkdir(folder)
    modes.populate(folder)
    return trial.take(modes.BY_MENU["1"], folder, target, timeout)[1]


def reduce_module(work, options, mode, target, wanted, modules, name):
    """Shrinks one module with spirv-reduce while the mode keeps the signature with the other
    module as it stands; (the reduced module, the steps spirv-reduce reported)."""
    stage_dir = os.path.join(work, name)
    os.mkdir(stage_dir)
    paths = {}
    for other, data in modules.items():
        paths[other] = os.path.join(stage_dir, "in-" + other)
        with open(paths[other], "wb") as f:
            f.write(data)
    state = os.path.join(stage_dir, "state.json")
    progress = os.path.join(stage_dir, "progress")
    with open(state, "w", encoding="utf-8") as f:
        json.dump({"mode": mode.menu, "stage_file": name, "signature": wanted,
                   "others": {o: p for o, p in paths.items() if o != name},
                   "target": list(target), "timeout": options.timeout, "work": stage_dir,
                   "progress": progress}, f)
    script = os.path.join(stage_dir, "interesting")
    with open(script, "w", encoding="utf-8") as f:
        f.write('#!/bin/sh\nexec "%s" -m tools.reduce.interesting "%s" "$@"\n'
                % (sys.executable, state))
    os.chmod(script, 0o755)
    out = os.path.join(stage_dir, "reduced.spv")
    # No --fail-on-validation-error: spirv-reduce validates for its own default environment,
    # not OpenGL 4.5; the test validates every candidate for OpenGL itself.
    command = ["spirv-reduce", paths[name], "-o", out,
               "--temp-file-prefix=" + os.path.join(stage_dir, "candidate_")]
    if options.step_limit:
        command.append("--step-limit=%d" % options.step_limit)
    command += ["--", script]
    log_path = os.path.join(stage_dir, "spirv-reduce.log")
    path = os.pathsep.join(filter(None, [runner.ROOT, os.environ.get("PYTHONPATH")]))
    # A try still running when the reduction stops is killed: the temporary folders of its runs
    # lie in this reduction's own folder, removed with it, not in the user's TMPDIR.
    env = dict(os.environ, PYTHONPATH=path, PYTHONDONTWRITEBYTECODE="1", TMPDIR=stage_dir)
    with open(log_path, "w") as log:
        proc = subprocess.Popen(command, cwd=stage_dir, stdout=log, stderr=subprocess.STDOUT,
                                env=env, start_new_session=True)
        try:
            tries = show_progress(proc, name, progress, len(modules[name]))
        finally:
            if proc.poll() is None:
                os.killpg(proc.pid, 9)
                proc.wait()
    with open(log_path, encoding="utf-8", errors="replace") as log:
        lines = log.read().splitlines()
    if proc.returncode != 0 or not os.path.isfile(out):
        raise Refusal("spirv-reduce failed on %s:\n%s" % (name, "\n".join(lines[-5:])), 1)
    with open(out, "rb") as f:
        reduced = f.read()
    say("%s: %d -> %d bytes, %d tries" % (name, len(modules[name]), len(reduced), tries))
    return reduced, sum("Reduction step succeeded" in line for line in lines)


def show_progress(proc, name, progress, size):
    """Until spirv-reduce ends: on a terminal, one line kept up to date (tries, what still
    crashes, the smallest size so far)."""
    terminal = sys.stderr.isatty()
    started = time.monotonic()
    line = ""
    while proc.poll() is None:
        time.sleep(0.5)
        if not terminal:
            continue
        tries, now = read_progress(progress, size)
        line = "\r%s: %d tries, now %d bytes (%s instructions), %ds " % (
            name, tries, now[0], now[1], time.monotonic() - started)
        sys.stderr.write(line)
        sys.stderr.flush()
    if terminal and line:
        sys.stderr.write("\n")
    return read_progress(progress, size)[0]


def read_progress(progress, size):
    """How many candidates were tried, and the size of the last one still interesting (the one
    spirv-reduce goes on from)."""
    tries, now = 0, (size, "?")
    try:
        with open(progress, encoding="utf-8") as f:
            for line in f:
                step = json.loads(line)
                tries += 1
                if step["interesting"]:
                    now = (step["bytes"], step["instructions"])
    except (OSError, ValueError):
        pass
    return tries, now


def say(line):
    print(line, file=sys.stderr, flush=True)


def print_summary(facts, out):
    say("")
    for name, module in facts["modules"].items():
        say("%s: %d -> %d bytes, %d -> %d instructions" % (
            name, module["before"]["bytes"], module["after"]["bytes"],
            module["before"]["instructions"], module["after"]["instructions"]))
    say("verified: valid for OpenGL 4.5, same signature")
    say("reproduce.c: " + write.proof_in_words(facts["reproducer"]))
    say("%.0f s; written to %s" % (facts["seconds"], out))

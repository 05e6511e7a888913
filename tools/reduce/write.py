"""The output folder of a reduction: the reduced modules and their disassembly, reproduce.c,
README.md (ready for a driver's bug tracker) and reduce.json (the same facts, for programs;
documented in docs/reduce.md, checked against reduce.schema.json), written whole or not at all
(tools/publish.py)."""
import json
import os
import platform
import shlex
import subprocess

import jsonschema

from .. import identity, markdown, publish, runner, spirv
from . import reproducer, signature

FORMAT_VERSION = 1
# Every file a reduction writes into OUT; reduce.json, written last, marks a whole one.
OWNED = ("vert.spv", "frag.spv", "vert.spvasm", "frag.spvasm", "reproduce.c", "README.md",
         "reduce.json")
SCHEMA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "reduce.schema.json")


def size_of(module):
    return {"bytes": len(module), "instructions": len(spirv.instructions(spirv.words_of(module)))}


def identity_of(first_run, target):
    """The GL, the Mesa package, the OS and the kernel the signature was taken on."""
    gl = first_run.gl or runner.GLIdentity()
    return {
        "gl_version": gl.version, "gl_renderer": gl.renderer, "gl_vendor": gl.vendor,
        "window_system": "EGL (velmor-headless)" if target.window_system == "egl" else
        "GLX (velmor under X)",
        "mesa_package": identity.mesa_package(), "os": identity.os_name(),
        "kernel": platform.release(),
    }


def facts(options, mode, target, first_run, wanted, original, reduced, steps, verified, proof,
          seconds):
    """Everything reduce.json holds."""
    proof = dict(proof)
    proof.pop("output", None)
    if proof.get("built"):
        proof["reproduces"] = proof["signature"] == wanted
    return {
        "format": "velmor-reduce", "version": FORMAT_VERSION,
        "mode": {"menu": mode.menu, "id": mode.id, "label": mode.label},
        "identity": identity_of(first_run, target),
        "signature": wanted,
        "modules": {name: {"before": size_of(original[name]), "after": size_of(reduced[name]),
                           "steps": steps[name]} for name in original},
        "verification": verified,
        "reproducer": dict(proof, file="reproduce.c", build=reproducer.build_command(mode.menu),
                           run="./reproduce"),
        "command": command_line(options),
        "seconds": round(seconds, 1),
    }


def command_line(options):
    words = ["scripts/reduce", "--shaders", options.shaders, "--mode", options.mode,
             "--timeout", str(options.timeout)]
    if options.step_limit:
        words += ["--step-limit", str(options.step_limit)]
    if options.glx:
        words.append("--glx")
    return " ".join(shlex.quote(w) for w in words)


def refusal(out):
    """None when OUT may take the reduction (absent, empty, or an earlier reduction alone), else
    the one line that says why not: asked before any work, so that nothing of the user's is
    replaced and no reduction is lost at the end."""
    if not publish.beside_writable(out):
        return "cannot write beside %s, where the reduction is made first" % out
    return publish.refusal(out, OWNED, "reduce.json", "a reduction")


def output(out, facts, reduced, source):
    """Writes OUT whole: the files are made beside it, then moved into place."""
    jsonschema.validate(facts, schema())
    with publish.folder_beside(out) as made:
        for name, data in reduced.items():
            with open(os.path.join(made, name), "wb") as f:
                f.write(data)
            subprocess.run(["spirv-dis", "-o", os.path.join(made, name[:-4] + ".spvasm"),
                            os.path.join(made, name)], check=True)
        with open(os.path.join(made, "reproduce.c"), "w", encoding="utf-8") as f:
            f.write(source)
        with open(os.path.join(made, "README.md"), "w", encoding="utf-8") as f:
            f.write(readme(facts))
        with open(os.path.join(made, "reduce.json"), "w", encoding="utf-8") as f:
            json.dump(facts, f, indent=2)
            f.write("\n")
        publish.publish(made, out, OWNED, "reduce.json")


def schema():
    with open(SCHEMA, encoding="utf-8") as f:
        return json.load(f)


def proof_in_words(proof):
    if not proof.get("built"):
        return "did not build: " + (proof.get("compiler") or "no compiler")
    seen = signature.describe(proof["signature"]) if proof["signature"] else "drew to the end"
    if proof["reproduces"]:
        return "shows the same without velmor (" + seen + ")"
    return "does NOT show the same without velmor: it " + seen


PASSING = {
    "crash": "build the pipeline and finish the frame without a crash. Both modules are valid "
             "for OpenGL 4.5 (`spirv-val --target-env opengl4.5` accepts them), so the GL must "
             "use them or refuse them through the compile and link status, the info logs and "
             "the debug message log; `reproduce` then prints `done`.",
    "hang": "finish the frame in bounded time: `reproduce` prints `done` and ends.",
    "verdict": "link both valid modules and draw without this message, unless the modules break "
               "a rule of the GL that `spirv-val --target-env opengl4.5` does not check (then "
               "the validator is the one to report). `reproduce` prints the message, then "
               "`done`.",
}


def sentence(text):
    return "A passing driver would " + text


def readme(facts):
    """README.md: what a driver developer needs, in the order they read it."""
    ident, mode, sig = facts["identity"], facts["mode"], facts["signature"]
    rows = [("GL renderer", ident["gl_renderer"]), ("GL version", ident["gl_version"]),
            ("GL vendor", ident["gl_vendor"]), ("Mesa package", ident["mesa_package"]),
            ("OS", ident["os"]), ("Kernel", ident["kernel"]),
            ("Context", "OpenGL 4.5 core profile, debug flag; " + ident["window_system"])]
    sizes = [(name, m["before"]["bytes"], m["after"]["bytes"], m["before"]["instructions"],
              m["after"]["instructions"]) for name, m in facts["modules"].items()]
    pipeline = {"3": "one program linked from both stages (`glUseProgram`)",
                "4": "one separable program per stage, fragment first, bound in a program "
                     "pipeline (`glBindProgramPipeline`)"}[mode["menu"]]
    lines = [
        "# %s: %s" % (ident["gl_renderer"] or "GL driver", signature.describe(sig)),
        "",
        "Two SPIR-V modules that the validator accepts for OpenGL 4.5, built as %s on an "
        "OpenGL 4.5 core debug context, %s." % (pipeline, signature.describe(sig)),
        "",
        markdown.table(["", ""], [(k, v if v is not None else "unknown") for k, v in rows]),
        "",
        "## Reproduce",
        "",
        "```sh",
        facts["reproducer"]["build"],
        facts["reproducer"]["run"],
        "```",
        "",
        "`reproduce.c` needs only EGL (surfaceless platform) and the GL: it loads `vert.spv` "
        "and `frag.spv` from the current folder, renders into a framebuffer object, prints "
        "each debug message the GL logs, and `done` after the frame. Run on the "
        "machine above, it " + proof_in_words(facts["reproducer"]) + ".",
        "",
        "The modules' sources: `vert.spvasm` and `frag.spvasm` (`spirv-as --target-env "
        "opengl4.5 -o frag.spv frag.spvasm`); `spirv-val --target-env opengl4.5` accepts both.",
        "",
        "## What a passing driver would do",
        "",
        sentence(PASSING[sig["kind"]]),
        "",
        "## How these modules were made",
        "",
        "Reduced with `spirv-reduce` (SPIRV-Tools) from Velmor's shader folder, keeping the "
        "signature above in Velmor's mode %s (%s), in %.0f s:" % (mode["menu"], mode["label"],
                                                                 facts["seconds"]),
        "",
        markdown.table(["Module", "Bytes before", "Bytes after", "Instructions before",
                        "Instructions after"], sizes),
        "",
        "```sh",
        facts["command"],
        "```",
        "",
    ]
    return "\n".join(lines)

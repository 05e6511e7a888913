"""A case's four shader files, made in a folder of its own, and what each mode may run.

A Velmor folder's files are used as they stand. A `.shader_test` or a loose GLSL file gives its
stages in GLSL and/or SPIR-V assembly; a SPIR-V stage the case lacks comes from glslang, a vertex
stage it lacks from Velmor's pass-through pair (passthrough/), a fragment stage it lacks from a
white one beside it; the fragment stage is then given its second colour output (adapt.py).
"""
import collections
import os

from .. import modes
from . import adapt, shader_test

PASSTHROUGH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "passthrough")
LARGEST_SOURCE = 16 << 20  # bytes read of one case file
GLSL_MODES = ("glsl", "glsl-sso")
SPIRV_MODES = ("spirv", "spirv-sso")
ALL_MODES = tuple(m.id for m in modes.MODES)
BAD_INPUT = "bad input: "

# skips: {mode id: (status, reason)} for the modes that do not run: status "skip" or, for input
# that is broken, "fail". sources: {stage: {"glsl": where from, "spirv": where from}}, where from
# is "case", "glslang", "pass-through", "filler" or None (none: the file stays missing).
# adaptations: [{"stage", "language", "adapted", "reason"}]. ignored: the sections read past.
Prepared = collections.namedtuple("Prepared", "skips sources adaptations ignored")


def skip_all(reason, status="skip"):
    return Prepared({m: (status, reason) for m in ALL_MODES}, {}, [], [])


def read_text(path):
    """A case file's text; OSError when it cannot be read, ValueError when it is too large."""
    with open(path, "rb") as f:
        data = f.read(LARGEST_SOURCE + 1)
    if len(data) > LARGEST_SOURCE:
        raise ValueError("larger than %d MiB" % (LARGEST_SOURCE >> 20))
    return data.decode("utf-8", errors="replace")


def passthrough(name):
    with open(os.path.join(PASSTHROUGH, name), "rb") as f:
        return f.read()


def prepare(case, folder):
    """Fills folder with the case's shader files; its Prepared. Never raises for what the case
    holds: a case that cannot run says why in its skips."""
    if case.problem:
        return skip_all(BAD_INPUT + case.problem, "fail")
    if case.kind == "velmor-folder":
        modes.populate(folder, case.path)
        given = {name: os.path.exists(os.path.join(folder, name)) for name in modes.SHADER_FILES}
        return Prepared({}, {"vertex": {"glsl": "case" if given["shader.vert"] else None,
                                        "spirv": "case" if given["vert.spv"] else None},
                             "fragment": {"glsl": "case" if given["shader.frag"] else None,
                                          "spirv": "case" if given["frag.spv"] else None}},
                        [], [])
    try:
        text = read_text(case.path)
    except (OSError, ValueError) as failure:
        return skip_all(BAD_INPUT + "cannot be read: %s"
                        % (getattr(failure, "strerror", None) or failure), "fail")
    if case.kind == "glsl":
        stage = "vertex" if case.path.endswith(".vert") else "fragment"
        parsed = shader_test.ShaderTest({stage: {"glsl": text}}, None, [], [])
    else:
        try:
            parsed = shader_test.parse(text)
        except shader_test.Malformed as failure:
            return skip_all(BAD_INPUT + str(failure), "fail")
    if parsed.several:
        return skip_all("more than one [%s] (shader objects linked together), where Velmor "
                        "builds each stage from one file" % "], [".join(parsed.several))
    if parsed.others:
        return skip_all("needs a %s stage, which Velmor does not build"
                        % " and a ".join(parsed.others))._replace(ignored=parsed.ignored)
    return fill(parsed, folder)


def spirv_wanted(parsed):
    """{mode id: (status, reason)} of the modes the [require] section and the stages rule out."""
    skips = {}
    if parsed.spirv == "only":
        skips.update((m, ("skip", "the case asks for SPIR-V only")) for m in GLSL_MODES)
    if parsed.spirv == "no":
        skips.update((m, ("skip", "the case asks for no SPIR-V")) for m in SPIRV_MODES)
    if any("specializations" in stage for stage in parsed.stages.values()):
        skips.update((m, ("skip", "sets specialization constants, which Velmor leaves at "
                          "their defaults")) for m in SPIRV_MODES)
    return skips


def fill(parsed, folder):
    skips = spirv_wanted(parsed)
    sources, adaptations, files = {}, [], {}
    for stage in ("vertex", "fragment"):
        given = parsed.stages.get(stage, {})
        glsl, spirv_text, origin = given.get("glsl"), given.get("spirv"), "case"
        if spirv_text and not glsl:
            skips.update((m, ("skip", "no GLSL for the %s stage" % stage))
                         for m in GLSL_MODES if m not in skips)
        if not glsl and not spirv_text:
            origin = "pass-through" if stage == "vertex" else "filler"
            glsl = passthrough(modes.GLSL_FILES[stage]).decode()
        sources[stage] = {"glsl": origin if glsl else None, "spirv": None}
        module = None
        if origin != "case":
            module = passthrough(modes.SPIRV_FILES[stage])
            sources[stage]["spirv"] = origin
        elif spirv_text:
            try:
                module = adapt.assemble(spirv_text, folder)
                sources[stage]["spirv"] = "case"
            except adapt.ToolFailed as failure:
                skips.update((m, ("fail", BAD_INPUT + "[%s shader spirv] does not assemble: %s"
                                  % (stage, failure))) for m in SPIRV_MODES)
        elif not all(m in skips for m in SPIRV_MODES):
            try:
                module = adapt.compile_glsl(glsl, stage, folder)
                sources[stage]["spirv"] = "glslang"
            except adapt.ToolFailed as failure:
                skips.update((m, ("skip", "glslang refused the %s stage: %s" % (stage, failure)))
                             for m in SPIRV_MODES if m not in skips)
        if stage == "vertex" and origin == "case" and glsl:
            done = adapt.redeclare_per_vertex(glsl)
            adaptations.append({"stage": "vertex", "language": "glsl",
                                "adapted": done.adapted, "reason": done.reason})
            glsl = done.data
        if stage == "fragment" and origin == "case":
            glsl, module = adapt_fragment(glsl, module, folder, adaptations)
        files[modes.GLSL_FILES[stage]] = glsl.encode() if glsl else None
        files[modes.SPIRV_FILES[stage]] = module
    for name in ("glslang.vert", "glslang.frag", "glslang.spv", "module.spvasm", "module.spv",
                 "adapted.spv"):
        if os.path.exists(os.path.join(folder, name)):
            os.remove(os.path.join(folder, name))
    modes.populate(folder, overrides=files)
    return Prepared(skips, sources, adaptations, parsed.ignored)


def adapt_fragment(glsl, module, folder, adaptations):
    """The fragment stage in both languages given its second output; each attempt recorded."""
    if glsl:
        done = adapt.adapt_glsl(glsl)
        adaptations.append({"stage": "fragment", "language": "glsl", "adapted": done.adapted,
                            "reason": done.reason})
        glsl = done.data
    if module:
        done = adapt.adapt_spirv(module, folder)
        adaptations.append({"stage": "fragment", "language": "spirv", "adapted": done.adapted,
                            "reason": done.reason})
        module = done.data
    return glsl, module

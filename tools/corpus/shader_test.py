"""Reading a `.shader_test` file (piglit's and shader-db's format) for what Velmor can build of it.

A file is a sequence of sections, each opened by a line `[name]`; lines before the first section
are the file's preamble, read past as piglit's shader_runner does. Velmor takes the vertex and fragment stages (GLSL, SPIR-V
assembly, piglit's pass-through vertex stage) and the SPIRV line of [require]; it draws its own
quad, so [test] and [vertex data] are read past. Any other stage makes the case one Velmor cannot
run, and says which.
"""
import collections
import re

# stages: {"vertex"|"fragment": {"glsl": text, "spirv": assembly text, "specializations": text,
# "passthrough": True}}, only the keys the file has; spirv: "yes", "only", "no" or None (the
# [require] section's SPIRV line); others: the stages Velmor cannot build ("geometry", "ARB vertex
# program"), each once; ignored: the sections read past, in file order; several: the stage
# sections given more than once (shader objects piglit links together, where Velmor builds each
# stage from one file).
ShaderTest = collections.namedtuple("ShaderTest", "stages spirv others ignored several",
                                    defaults=((),))


class Malformed(Exception):
    """The file is no .shader_test Velmor can read; the message says why, in one line."""


STAGES = ("vertex", "tessellation control", "tessellation evaluation", "geometry", "fragment",
          "compute")
BUILT = ("vertex", "fragment")
KINDS = {"shader": "glsl", "shader spirv": "spirv", "shader specializations": "specializations"}
IGNORED = ("test", "vertex data")
# ARB assembly programs: stages too, in a language Velmor has no way to build.
PROGRAMS = ("vertex program", "fragment program")
HEADER = re.compile(r"\[(?P<name>[^\[\]]*)\]")
SPIRV_LINE = re.compile(r"SPIRV\s+(?P<value>\S+)")


def section_kind(name):
    """(stage, kind) of a section's name: kind "glsl", "spirv", "specializations", "passthrough",
    "other" (another stage, or an ARB program), "require" or "ignored"; None when unknown."""
    if name == "require":
        return None, "require"
    if name in IGNORED:
        return None, "ignored"
    if name in PROGRAMS:
        return "ARB " + name, "other"
    if name == "vertex shader passthrough":
        return "vertex", "passthrough"
    for stage in STAGES:
        for suffix, kind in KINDS.items():
            if name == "%s %s" % (stage, suffix):
                return stage, kind if stage in BUILT else "other"
    return None


def sections(text):
    """[(name, body text, line number of its header)] in file order."""
    found, body, name, start = [], [], None, 0
    for number, line in enumerate(text.split("\n"), 1):
        header = HEADER.fullmatch(line.strip())
        if header:
            if name is not None:
                found.append((name, "\n".join(body), start))
            name, body, start = header["name"].strip(), [], number
        elif name is not None:
            body.append(line)
    if name is not None:
        found.append((name, "\n".join(body), start))
    return found


def require_spirv(body):
    """The value of [require]'s SPIRV line, in lower case, or None."""
    value = None
    for line in body.split("\n"):
        found = SPIRV_LINE.fullmatch(line.strip())
        if found:
            value = found["value"].lower()
            if value not in ("yes", "only", "no"):
                raise Malformed("[require]: SPIRV %s (YES, ONLY or NO)" % found["value"])
    return value


def parse(text):
    """The ShaderTest of a file's text; Malformed when it has no section, an unknown one, a
    second [require], or a stage with nothing in it."""
    found = sections(text)
    if not found:
        raise Malformed("empty" if not text.strip() else "no section")
    stages, spirv, others, ignored, seen, several = {}, None, [], [], set(), []
    for name, body, line in found:
        kind = section_kind(name)
        if kind is None:
            raise Malformed("line %d: unknown section [%s]" % (line, name))
        stage, kind = kind
        if name in seen and kind in ("require", "passthrough"):
            raise Malformed("line %d: a second [%s]" % (line, name))
        if name in seen and kind not in ("ignored", "other"):
            several += [name] if name not in several else []
            continue
        seen.add(name)
        if kind == "require":
            spirv = require_spirv(body)
        elif kind == "ignored":
            ignored.append(name)
        elif kind == "other":
            others += [stage] if stage not in others else []
        elif kind == "passthrough":
            stages.setdefault(stage, {})["passthrough"] = True
        elif not body.strip():
            raise Malformed("line %d: [%s] is empty" % (line, name))
        else:
            stages.setdefault(stage, {})[kind] = body.strip("\n") + "\n"
    vertex = stages.get("vertex", {})
    if vertex.get("passthrough") and ("glsl" in vertex or "spirv" in vertex):
        raise Malformed("[vertex shader passthrough] beside a vertex shader of its own")
    if not stages and not others:
        raise Malformed("no shader stage")
    return ShaderTest(stages, spirv, others, ignored, several)

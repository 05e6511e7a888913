"""The blend adapter, and the SPIRV-Tools and glslang calls a case's files are made with.

Velmor blends with dual-source blending: each pixel is the fragment stage's output at location 0,
index 0 times the one at index 1. A stage written for one colour output would leave the second
undefined, so the adapter adds it, with the value vec4(1.0): the picture is then the stage's own
colour. It does the same to the GLSL (a text edit: the output gets location 0 where it had none,
the new output is declared after it, and main is wrapped to write it) and to the SPIR-V (the
disassembly edited, reassembled, and checked by spirv-val for OpenGL 4.5). A stage that already
has an output at index 1 is left as it is; one the edit cannot apply to (several outputs, an
output that is not a vec4 of floats, or not at location 0) is left too, with the reason.
"""
import collections
import os
import re
import subprocess

# adapted: whether the stage was changed; reason: why not (None when adapted); data: the stage
# to use (text for GLSL, bytes for SPIR-V).
Adapted = collections.namedtuple("Adapted", "adapted reason data")

FACTOR = "velmor_blend_factor"
WRAPPED_MAIN = "velmor_shader_main"
ALREADY = "already has an output at index 1"
TOOL_TIMEOUT = 60
STAGE_SUFFIX = {"vertex": "vert", "fragment": "frag"}


class ToolFailed(Exception):
    """A tool refused its input; the message is its first line of complaint."""


def first_line(text, fallback):
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    return lines[0] if lines else fallback


def call(command, what):
    """Runs a tool to its end; its standard output. ToolFailed with its first line of
    complaint when it refuses."""
    try:
        done = subprocess.run(command, capture_output=True, timeout=TOOL_TIMEOUT)
    except subprocess.TimeoutExpired:
        raise ToolFailed("%s did not end within %d s" % (what, TOOL_TIMEOUT)) from None
    except OSError as failure:
        raise ToolFailed("%s cannot be run: %s" % (what, failure.strerror)) from None
    if done.returncode != 0:
        complaint = done.stderr.decode(errors="replace") + done.stdout.decode(errors="replace")
        raise ToolFailed(first_line(complaint, "%s ended with status %d"
                                    % (what, done.returncode)))
    return done.stdout


def glslang_errors(out):
    """glslang's first error line: it writes its complaints on standard output."""
    lines = [line for line in out.splitlines() if line.startswith("ERROR:")]
    return lines[0] if lines else first_line(out, "glslang refused it")


def compile_glsl(text, stage, work):
    """The OpenGL SPIR-V of a GLSL stage, by glslangValidator -G with locations mapped where the
    text gives none. ToolFailed with glslang's first error line when it refuses."""
    source = os.path.join(work, "glslang." + STAGE_SUFFIX[stage])
    out = os.path.join(work, "glslang.spv")
    with open(source, "w", encoding="utf-8") as f:
        f.write(text)
    try:
        done = subprocess.run(["glslangValidator", "-G", "--auto-map-locations", "-o", out,
                               source], capture_output=True, timeout=TOOL_TIMEOUT)
    except subprocess.TimeoutExpired:
        raise ToolFailed("glslang did not end within %d s" % TOOL_TIMEOUT) from None
    except OSError as failure:
        raise ToolFailed("glslangValidator cannot be run: %s" % failure.strerror) from None
    if done.returncode != 0:
        raise ToolFailed(glslang_errors(done.stdout.decode(errors="replace")))
    with open(out, "rb") as f:
        return f.read()


def assemble(text, work):
    """SPIR-V assembly to a version 1.0 module, as OpenGL takes it."""
    source, out = os.path.join(work, "module.spvasm"), os.path.join(work, "module.spv")
    with open(source, "w", encoding="utf-8") as f:
        f.write(text)
    call(["spirv-as", "--target-env", "spv1.0", "-o", out, source], "spirv-as")
    with open(out, "rb") as f:
        return f.read()


def disassemble(module, work):
    path = os.path.join(work, "module.spv")
    with open(path, "wb") as f:
        f.write(module)
    return call(["spirv-dis", "--raw-id", "--no-header", path], "spirv-dis").decode()


def validate(module, work):
    path = os.path.join(work, "adapted.spv")
    with open(path, "wb") as f:
        f.write(module)
    call(["spirv-val", "--target-env", "opengl4.5", path], "spirv-val")


def tool_versions():
    """glslang's and SPIRV-Tools' versions, as the results record them (None where absent)."""
    def version(command, pattern):
        try:
            out = subprocess.run(command, capture_output=True, text=True, timeout=30).stdout
        except (OSError, subprocess.TimeoutExpired):
            return None
        found = re.search(pattern, out)
        return found[1] if found else None

    return {"glslang": version(["glslangValidator", "--version"], r"Glslang Version: (\S+)"),
            "spirv_tools": version(["spirv-as", "--version"], r"(SPIRV-Tools \S+)")}


# One colour output as both languages describe it: its location (None: not given), index, the
# type's words, and whether it is an array.
Output = collections.namedtuple("Output", "location index type array")


def refusal(outputs):
    """Why the adapter cannot apply to a stage with these outputs; ALREADY when it need not;
    None when it applies."""
    if any(o.index == 1 for o in outputs):
        return ALREADY
    if not outputs:
        return "no colour output declared"
    if len(outputs) > 1:
        places = {o.location for o in outputs}
        return "outputs at several locations" if len(places) > 1 else "several outputs"
    only = outputs[0]
    if only.array:
        return "its output is an array"
    if only.type != "vec4":
        what = "an integer" if re.match(r"[iu]vec|u?int", only.type) else "a"
        return "its output is %s %s, not a vec4" % (what, only.type)
    if only.location not in (None, 0):
        return "its output is at location %d, not 0" % only.location
    return None


# GLSL ------------------------------------------------------------------------------------------
COMMENT = re.compile(r"//[^\n]*|/\*.*?\*/", re.S)
DECLARATION = re.compile(
    r"(?P<pre>(?:layout\s*\((?P<layout>[^)]*)\)\s*|\b(?:flat|smooth|noperspective|centroid|"
    r"sample|invariant|precise)\s+)*)out\s+(?:(?:highp|mediump|lowp)\s+)?(?P<type>\w+)\s+"
    r"(?P<names>[^;]*);")
MAIN = re.compile(r"\bvoid\s+main\s*\(\s*(?:void\s*)?\)")


def blanked(text):
    """The text with its comments turned into spaces, line ends kept: offsets stay the same."""
    return COMMENT.sub(lambda m: re.sub(r"[^\n]", " ", m[0]), text)


def layout_value(layout, key):
    found = re.search(r"\b%s\s*=\s*(\d+)" % key, layout or "")
    return int(found[1]) if found else None


def glsl_outputs(code):
    """(match, Output) of each output declared at the top level of comment-free code."""
    found, depth, at_start, line_start = [], 0, True, 0
    for i, c in enumerate(code):
        if at_start and depth == 0 and not c.isspace():
            match = DECLARATION.match(code, i)
            for name in match["names"].split(",") if match else ():
                found.append((match, Output(layout_value(match["layout"], "location"),
                                            layout_value(match["layout"], "index") or 0,
                                            match["type"], "[" in name)))
        depth += (c == "{") - (c == "}")
        if c == "\n":
            # A preprocessor line ends its statement at the line end.
            at_start = at_start or code[line_start:i].lstrip().startswith("#")
            line_start = i + 1
        elif not c.isspace():
            at_start = c in ";{}"
    return found


def adapt_glsl(text):
    """The fragment stage's GLSL with the second output added, or as it is with the reason."""
    code = blanked(text)
    outputs = glsl_outputs(code)
    why = refusal([o for _, o in outputs])
    if why:
        return Adapted(False, why, text)
    mains = list(MAIN.finditer(code))
    if len(mains) != 1:
        return Adapted(False, "no single definition of main to wrap", text)
    match = outputs[0][0]
    edits = [(mains[0].start(), mains[0].end(), "void %s()" % WRAPPED_MAIN),
             (match.end(), match.end(),
              "\nlayout(location = 0, index = 1) out vec4 %s;" % FACTOR)]
    if outputs[0][1].location is None:
        if match["layout"] is not None:
            at = code.index("(", match.start()) + 1
            edits.append((at, at, "location = 0, "))
        else:
            edits.append((match.start(), match.start(), "layout(location = 0) "))
    for start, end, new in sorted(edits, reverse=True):
        text = text[:start] + new + text[end:]
    text += "\nvoid main() {\n    %s = vec4(1.0);\n    %s();\n}\n" % (FACTOR, WRAPPED_MAIN)
    return Adapted(True, None, text)


def redeclare_per_vertex(text):
    """A vertex stage's GLSL with the gl_PerVertex block redeclared after its directives, as a
    separable program needs (Velmor makes every program separable), or as it is with the
    reason. The block lists gl_Position and whichever other members the text names."""
    code = blanked(text)
    if "gl_PerVertex" in code:
        return Adapted(False, "already redeclares gl_PerVertex", text)
    members = ["vec4 gl_Position;"] + [
        declaration for name, declaration in (("gl_PointSize", "float gl_PointSize;"),
                                              ("gl_ClipDistance", "float gl_ClipDistance[];"))
        if re.search(r"\b%s\b" % name, code)]
    directives = [m.end() for m in re.finditer(r"^[ \t]*#[ \t]*(?:version|extension)\b[^\n]*",
                                               code, re.M)]
    if not directives:
        return Adapted(False, "no #version line to put the block after", text)
    at = directives[-1]
    block = "\nout gl_PerVertex {\n    %s\n};" % "\n    ".join(members)
    return Adapted(True, None, text[:at] + block + text[at:])


# SPIR-V ----------------------------------------------------------------------------------------
INSTRUCTION = re.compile(r"\s*(?:(?P<result>%\w+)\s*=\s*)?(?P<op>Op\w+)(?P<args>.*)")


def spirv_outputs(lines):
    """(variable id, Output, pointer type id, float type id) of the fragment entry point's colour
    outputs (built-ins left out), or a reason in place of the list."""
    types, pointers, variables, decorated = {}, {}, [], {}
    entries = []
    for line in lines:
        found = INSTRUCTION.fullmatch(line)
        if not found:
            continue
        op, result, args = found["op"], found["result"], found["args"].split()
        if op == "OpEntryPoint":
            entries.append(args)
        elif op in ("OpTypeFloat", "OpTypeInt", "OpTypeVector", "OpTypeArray", "OpTypeBool",
                    "OpTypeMatrix", "OpTypeStruct", "OpTypeRuntimeArray"):
            types[result] = (op, args)
        elif op == "OpTypePointer":
            pointers[result] = (args[0], args[1])
        elif op == "OpVariable" and len(args) >= 2 and args[1] == "Output":
            variables.append((result, args[0]))
        elif op == "OpDecorate" and len(args) >= 2:
            decorated.setdefault(args[0], {})[args[1]] = args[2] if len(args) > 2 else True
    if len(entries) != 1 or entries[0][0] != "Fragment":
        return "not a module with one fragment entry point"
    outputs = []
    for variable, pointer in variables:
        marks = decorated.get(variable, {})
        if "BuiltIn" in marks:
            continue
        pointee = pointers.get(pointer, (None, None))[1]
        op, args = types.get(pointee, (None, []))
        array = op in ("OpTypeArray", "OpTypeRuntimeArray")
        name, component = spirv_type_name(types, pointee)
        location = int(marks["Location"]) if "Location" in marks else None
        outputs.append((variable, Output(location, int(marks.get("Index", 0)), name, array),
                        pointer, component))
    return outputs


def spirv_type_name(types, type_id):
    """A GLSL-like name of a type ("vec4", "ivec4", "float"...) and its float component's id."""
    op, args = types.get(type_id, (None, []))
    if op == "OpTypeFloat":
        return ("float" if args[0] == "32" else "double"), type_id
    if op == "OpTypeInt":
        return ("int" if args[1] == "1" else "uint"), None
    if op == "OpTypeVector":
        inner, component = spirv_type_name(types, args[0])
        prefix = {"float": "", "double": "d", "int": "i", "uint": "u"}.get(inner, "?")
        return "%svec%s" % (prefix, args[1]), component
    if op in ("OpTypeArray", "OpTypeRuntimeArray"):
        return spirv_type_name(types, args[0])
    return (op or "unknown type").replace("OpType", "").lower(), None


def spirv_edit(lines, variable, location, pointer, component):
    """The disassembly with an Output variable at (location, index 1) that main's first block
    sets to vec4(1.0)."""
    numbers = [int(n) for line in lines for n in re.findall(r"%(\d+)\b", line)]
    one, white, factor = ("%%%d" % n for n in range(max(numbers) + 1, max(numbers) + 4))
    decorations = [i for i, line in enumerate(lines) if re.match(r"\s*OpMemberDecorate|"
                                                                 r"\s*OpDecorate", line)]
    first_function = next(i for i, line in enumerate(lines) if INSTRUCTION.fullmatch(line)
                          and INSTRUCTION.fullmatch(line)["op"] == "OpFunction")
    entry = next(i for i, line in enumerate(lines) if "OpEntryPoint" in line)
    main = INSTRUCTION.fullmatch(lines[entry])["args"].split()[1]
    body = next(i for i, line in enumerate(lines) if re.match(r"\s*%s\s*=\s*OpFunction\b"
                                                              % re.escape(main), line))
    label = next(i for i in range(body, len(lines)) if "OpLabel" in lines[i])
    store = label + 1
    while store < len(lines) and re.match(r"\s*(?:%\w+\s*=\s*OpVariable|OpLine|OpNoLine)\b",
                                          lines[store]):
        store += 1
    edited = list(lines)
    edited.insert(store, "OpStore %s %s" % (factor, white))
    edited[first_function:first_function] = [
        "%s = OpConstant %s 1" % (one, component),
        "%s = OpConstantComposite %s %s %s %s %s" % (
            white, pointer_pointee(lines, pointer), one, one, one, one),
        "%s = OpVariable %s Output" % (factor, pointer)]
    at = decorations[-1] + 1 if decorations else entry + 1
    edited[at:at] = ["OpDecorate %s Location %d" % (factor, location),
                     "OpDecorate %s Index 1" % factor]
    edited[entry] = edited[entry].rstrip() + " " + factor
    return edited


def pointer_pointee(lines, pointer):
    for line in lines:
        found = INSTRUCTION.fullmatch(line)
        if found and found["result"] == pointer and found["op"] == "OpTypePointer":
            return found["args"].split()[1]
    raise ValueError("no pointer type %s" % pointer)


def adapt_spirv(module, work):
    """The fragment module with the second output added (it validates for OpenGL 4.5), or as it
    is with the reason."""
    try:
        lines = disassemble(module, work).splitlines()
    except ToolFailed as failure:
        return Adapted(False, "spirv-dis refused it: %s" % failure, module)
    found = spirv_outputs(lines)
    if isinstance(found, str):
        return Adapted(False, found, module)
    why = refusal([o for _, o, _, _ in found])
    if why is None and found[0][1].location is None:
        why = "its output has no Location"
    if why:
        return Adapted(False, why, module)
    variable, output, pointer, component = found[0]
    edited = spirv_edit(lines, variable, output.location, pointer, component)
    try:
        adapted = assemble("\n".join(edited) + "\n", work)
        validate(adapted, work)
    except ToolFailed as failure:
        return Adapted(False, "the adapted module does not validate: %s" % failure, module)
    return Adapted(True, None, adapted)

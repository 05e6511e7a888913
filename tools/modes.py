"""Velmor's four modes as the tools see them: the menu entry typed, the id used in file and report
names, the label the menu shows, the shader files each reads, and how many "Linked" lines a mode
prints when every stage it builds is handed to the GL. velmor's own table lives in its sources;
tests/tools checks that the two agree."""
import collections
import os

Mode = collections.namedtuple("Mode", "menu id label language separable files build_order linked")

GLSL_FILES = {"vertex": "shader.vert", "fragment": "shader.frag"}
SPIRV_FILES = {"vertex": "vert.spv", "fragment": "frag.spv"}
# Every mode builds its fragment stage first: when it fails, a linked program never opens the
# vertex file.
BUILD_ORDER = ("fragment", "vertex")

MODES = (
    Mode("1", "glsl", "GLSL", "glsl", False, GLSL_FILES, BUILD_ORDER, 1),
    Mode("2", "glsl-sso", "GLSL SSO", "glsl", True, GLSL_FILES, BUILD_ORDER, 2),
    Mode("3", "spirv", "SPIRV", "spirv", False, SPIRV_FILES, BUILD_ORDER, 1),
    Mode("4", "spirv-sso", "SPIRV SSO", "spirv", True, SPIRV_FILES, BUILD_ORDER, 2),
)
BY_MENU = {m.menu: m for m in MODES}
BY_ID = {m.id: m for m in MODES}
SHADER_FILES = ("shader.vert", "shader.frag", "vert.spv", "frag.spv")
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SHIPPED = os.path.join(ROOT, "shaders")
# A value in populate's overrides meaning: put a directory there.
DIRECTORY = object()


def menu_text():
    """The menu as velmor prints it on standard output."""
    return "".join("%s: %s\n" % (m.menu, m.label) for m in MODES)


def populate(folder, source_dir=None, overrides=None):
    """Fills folder with the four shader files from source_dir (the shipped ones by default).
    overrides maps a file name to bytes, DIRECTORY or None (left missing). A source that is
    missing or cannot be read is left missing, as velmor treats such a file."""
    overrides = overrides or {}
    for name in SHADER_FILES:
        path = os.path.join(folder, name)
        if name in overrides:
            content = overrides[name]
            if content is DIRECTORY:
                os.mkdir(path)
            elif content is not None:
                with open(path, "wb") as f:
                    f.write(content)
            continue
        source = os.path.join(source_dir or SHIPPED, name)
        if not os.path.isfile(source):
            continue  # a FIFO or a device would hang the copy, or never end
        try:
            with open(source, "rb") as src:
                data = src.read()
        except OSError:
            continue
        with open(path, "wb") as f:
            f.write(data)

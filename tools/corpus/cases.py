"""The cases of a corpus: PATHs walked in a stable order, each case named as the results name it.

A case is a Velmor folder (one holding any of the four shader files), a `.shader_test` file, or a
loose `.vert` or `.frag` GLSL file. Folders are walked depth first, entries sorted by name, so two
walks of the same tree give the same order. Whatever the walk meets that cannot be a case as it
stands (a FIFO, a file it may not read, a symlink loop, a second case of the same name) is still
a case, carrying the problem, so that it shows in the results instead of stopping the run. The
walk is a generator that holds one folder's entries per level: a corpus of any size streams.
"""
import collections
import errno
import os
import re
import stat

from .. import modes

# name: CASE, the path relative to the PATH it came from (a PATH that is itself a case: its own
# name). path: the file or folder. kind: "velmor-folder", "shader_test", "glsl" (a loose .vert or
# .frag), or "unknown" for an entry that could not be looked at. problem: why the case cannot run
# as it stands, or None.
Case = collections.namedtuple("Case", "name path kind problem")

SUFFIXES = {".shader_test": "shader_test", ".vert": "glsl", ".frag": "glsl"}
# What a name keeps out of results.csv's lines: its separator and anything that breaks a line.
UNSAFE = re.compile(r"[,\x00-\x1f\x7f\udc80-\udcff]")


def case_name(relative):
    """A case's name from its path relative to its PATH: `/` kept, commas, control characters
    and bytes that are no UTF-8 each turned into `_`."""
    return UNSAFE.sub("_", relative.replace(os.sep, "/"))


def result_name(case, mode):
    """The name of one line of results.csv: CASE@MODE-ID."""
    return "%s@%s" % (case, mode.id)


def is_velmor_folder(path, names):
    return any(name in names for name in modes.SHADER_FILES)


def file_kind(name):
    return SUFFIXES.get(os.path.splitext(name)[1])


def looked_at(path):
    """(stat result or None, problem or None) of an entry, following symlinks."""
    try:
        return os.stat(path), None
    except OSError as failure:
        if failure.errno == errno.ELOOP:
            return None, "a symlink loop"
        if failure.errno == errno.ENOENT and os.path.islink(path):
            return None, "a symlink to nothing"
        return None, "cannot be looked at: %s" % (failure.strerror or failure)


def file_case(name, path, kind, info):
    if not stat.S_ISREG(info.st_mode):
        what = "a FIFO" if stat.S_ISFIFO(info.st_mode) else "not a regular file"
        return Case(name, path, kind, what)
    if not os.access(path, os.R_OK):
        return Case(name, path, kind, "cannot be read: permission denied")
    return Case(name, path, kind, None)


def walk_folder(root, relative, above):
    """The cases under a folder, depth first, entries in sorted order. above: the (device,
    inode) of the folders on the way down, to know a symlink that leads back into them."""
    try:
        names = sorted(os.listdir(root))
    except OSError as failure:
        yield Case(case_name(relative or os.path.basename(root)), root, "unknown",
                   "cannot be listed: %s" % (failure.strerror or failure))
        return
    if is_velmor_folder(root, names):
        yield Case(case_name(relative or os.path.basename(os.path.abspath(root))), root,
                   "velmor-folder", None)
    for name in names:
        path = os.path.join(root, name)
        inner = os.path.join(relative, name) if relative else name
        info, problem = looked_at(path)
        if problem:
            yield Case(case_name(inner), path, file_kind(name) or "unknown", problem)
        elif stat.S_ISDIR(info.st_mode):
            if (info.st_dev, info.st_ino) in above:
                yield Case(case_name(inner), path, "unknown",
                           "a symlink loop: leads back into a folder above it")
            else:
                yield from walk_folder(path, inner, above | {(info.st_dev, info.st_ino)})
        elif file_kind(name) and name not in modes.SHADER_FILES:
            yield file_case(case_name(inner), path, file_kind(name), info)


def walk_path(path):
    """The cases of one PATH: a folder walked, or a file that is a case itself."""
    info, problem = looked_at(path)
    name = case_name(os.path.basename(os.path.abspath(path)))
    if problem:
        yield Case(name, path, file_kind(path) or "unknown", problem)
    elif stat.S_ISDIR(info.st_mode):
        yield from walk_folder(path, "", {(info.st_dev, info.st_ino)})
    elif file_kind(path) is None:
        yield Case(name, path, "unknown", "not a folder, .shader_test, .vert or .frag")
    else:
        yield file_case(name, path, file_kind(path), info)


def walk(paths, include=None):
    """Every case of the PATHs in order; a second case of a name already given carries that
    problem. include: a compiled regular expression a name must contain a match of."""
    seen = set()
    for path in paths:
        for case in walk_path(path):
            if include is not None and not include.search(case.name):
                continue
            if case.name in seen:
                case = case._replace(problem="the same name as an earlier case")
            seen.add(case.name)
            yield case


def missing(paths):
    """The first PATH that does not exist (a dangling symlink counts as one that does), or
    None."""
    return next((p for p in paths if not os.path.lexists(p)), None)

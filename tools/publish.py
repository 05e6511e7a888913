"""Whole or nothing: how a tool puts its result into the user's folder OUT.

The result is made in a folder beside OUT, on OUT's own file system (inside OUT when OUT is a
mount point), so that its files move into place by renaming: never through $TMPDIR, which may be
another file system. The renames happen with hang-up, Ctrl-C and kill held, the result's own
file last; a tool stopped at any point leaves OUT with the earlier result or the new one. A file
of the tool's that the new result lacks goes; nothing else in OUT is touched. A tool that must
have OUT to itself asks `refusal` before it starts any work.
"""
import contextlib
import os
import shutil
import signal
import tempfile

HELD = {signal.SIGHUP, signal.SIGINT, signal.SIGTERM}


@contextlib.contextmanager
def signals_held():
    """Hang-up, Ctrl-C and kill wait until the files are in place, then take effect."""
    signal.pthread_sigmask(signal.SIG_BLOCK, HELD)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, HELD)


def nearest_folder(path):
    """path itself, or the nearest folder above it that exists."""
    path = os.path.abspath(path)
    while not os.path.exists(path):
        path = os.path.dirname(path)
    return path


def beside_writable(out):
    """Whether the result can be made beside OUT (in the nearest existing folder above it)."""
    path = nearest_folder(os.path.dirname(os.path.abspath(out)))
    return os.path.isdir(path) and os.access(path, os.W_OK | os.X_OK)


def refusal(out, owned, marker, what):
    """None when OUT may take a result: absent, empty, or an earlier result (it holds `marker`,
    and nothing but files in `owned`); else the one line that says why not. what: the result
    in words ("a reduction")."""
    if not os.path.isdir(out):
        return None
    try:
        names = set(os.listdir(out))
    except OSError as failure:
        return "cannot read %s: %s" % (out, failure.strerror)
    if names and (marker not in names or not names <= set(owned)):
        return ("%s holds files that are not %s's: choose another --out"
                % (out, what))
    return None


def staging_parent(out):
    """Where the result is made: beside OUT, or inside it when OUT is a mount point (beside it
    is then another file system)."""
    out = os.path.abspath(out)
    parent = os.path.dirname(out)
    if os.path.isdir(out) and os.stat(out).st_dev != os.stat(parent).st_dev:
        return out
    return parent


@contextlib.contextmanager
def folder_beside(out):
    """A temporary folder for the result, removed on the way out whatever happens."""
    parent = staging_parent(out)
    os.makedirs(parent, exist_ok=True)
    made = tempfile.mkdtemp(prefix=".%s.new-" % os.path.basename(os.path.abspath(out)),
                            dir=parent)
    try:
        yield made
    finally:
        shutil.rmtree(made, ignore_errors=True)


def publish(made, out, owned, last):
    """The files made in `made` into OUT, `last` after the others; a file of `owned` that was
    not made this time goes. Other files in OUT are left alone."""
    os.makedirs(out, exist_ok=True)
    names = set(os.listdir(made))
    with signals_held():
        for name in owned:
            path = os.path.join(out, name)
            if name not in names and os.path.lexists(path):
                os.remove(path)
        for name in sorted(names, key=lambda n: n == last):
            os.replace(os.path.join(made, name), os.path.join(out, name))

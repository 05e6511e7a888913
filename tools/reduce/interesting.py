"""The interestingness test spirv-reduce runs on each candidate module:
`python3 -m tools.reduce.interesting STATE CANDIDATE` exits 0 when the candidate is valid for
OpenGL 4.5 and the mode still shows the signature in STATE, else 1.

STATE (JSON, written by the command): mode (menu entry), stage_file (the file the candidate
stands in for), others (the other module's file name -> path), signature, target (a trial.Target
as a list), timeout (seconds per try), work (this reduction's own folder), progress (a file that
gets one JSON line per try: interesting, bytes, instructions).
"""
import json
import shutil
import subprocess
import sys

from .. import modes, spirv
from . import trial

VALIDATOR_TIMEOUT = 30


def valid_for_opengl(path):
    """spirv-val's verdict for OpenGL 4.5: spirv-reduce's own validation knows no such target."""
    try:
        return subprocess.run(["spirv-val", "--target-env", "opengl4.5", path],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=VALIDATOR_TIMEOUT).returncode == 0
    except subprocess.TimeoutExpired:
        return False


def instruction_count(module):
    return len(spirv.instructions(spirv.words_of(module)))


def still_interesting(state, candidate):
    if not valid_for_opengl(candidate):
        return False
    modules = {}
    for name, path in list(state["others"].items()) + [(state["stage_file"], candidate)]:
        with open(path, "rb") as f:
            modules[name] = f.read()
    folder = trial.stage_folder(state["work"], modules)
    try:
        seen, _ = trial.take(modes.BY_MENU[state["mode"]], folder,
                             trial.Target(*state["target"]), state["timeout"])
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return seen == state["signature"]


def main(argv):
    with open(argv[1], encoding="utf-8") as f:
        state = json.load(f)
    candidate = argv[-1]
    interesting = still_interesting(state, candidate)
    with open(candidate, "rb") as f:
        module = f.read()
    with open(state["progress"], "a", encoding="utf-8") as f:
        f.write(json.dumps({"interesting": interesting, "bytes": len(module),
                            "instructions": instruction_count(module)}) + "\n")
    return 0 if interesting else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))

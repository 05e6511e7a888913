"""Mutation testing of the tools' fast tests (tests/tools), for developers; CI does not run it.

Each mutant is one small change to one module that reads or judges results (an operator swapped,
a constant changed, a condition forced, a `not` or a returned value dropped), written into a
private copy of tools/. The fast tests then run against that copy: a mutant is killed when they
fail or time out, and survives when they pass, which is either a fault the tests let through or
a change that cannot alter any result (an equivalent mutant). The real files are never written.
  scripts/mutate-tools [--jobs N] [--timeout S] [MODULE ...]
"""
import argparse
import ast
import multiprocessing
import os
import shutil
import signal
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TESTS = os.path.join(ROOT, "tests", "tools")
TARGETS = ("tools/console.py", "tools/verdict.py", "tools/report/known_behaviour.py",
           "tools/report/compare.py")
SWAPPED = {ast.Eq: ast.NotEq, ast.NotEq: ast.Eq, ast.Lt: ast.LtE, ast.LtE: ast.Lt,
           ast.Gt: ast.GtE, ast.GtE: ast.Gt, ast.In: ast.NotIn, ast.NotIn: ast.In,
           ast.Is: ast.IsNot, ast.IsNot: ast.Is, ast.And: ast.Or, ast.Or: ast.And,
           ast.Add: ast.Sub, ast.Sub: ast.Add}


def untouched_strings(tree):
    """Docstrings, and the pieces of f-strings: changing them tells nothing of the tests."""
    found = set()
    for node in ast.walk(tree):
        body = getattr(node, "body", None)
        if (isinstance(body, list) and body and isinstance(body[0], ast.Expr)
                and isinstance(body[0].value, ast.Constant)):
            found.add(id(body[0].value))
        if isinstance(node, ast.JoinedStr):
            found.update(id(n) for n in ast.walk(node))
    return found


def sites(tree):
    """(node index in ast.walk order, kind, argument, line) of every mutant of a module."""
    skip = untouched_strings(tree)
    for i, node in enumerate(ast.walk(tree)):
        line = getattr(node, "lineno", 0)
        if isinstance(node, ast.Compare):
            yield from ((i, "operator", k, line) for k in range(len(node.ops)))
        elif isinstance(node, (ast.BoolOp, ast.BinOp)) and type(node.op) in SWAPPED:
            yield i, "operator", None, line
        elif isinstance(node, ast.UnaryOp) and isinstance(node.op, ast.Not):
            yield i, "drop not", None, line
        elif isinstance(node, ast.Constant) and id(node) not in skip:
            value = node.value
            if isinstance(value, bool):
                yield i, "constant", not value, line
            elif isinstance(value, (int, float)):
                yield from ((i, "constant", value + step, line) for step in (1, -1))
            elif isinstance(value, str) and value != "XX":
                yield i, "constant", "XX", line
        elif isinstance(node, ast.Return) and node.value is not None and not (
                isinstance(node.value, ast.Constant) and node.value.value is None):
            yield i, "return None", None, line
        elif isinstance(node, (ast.If, ast.IfExp)):
            yield from ((i, "condition", forced, line) for forced in (True, False))


def replace(tree, old, new):
    for parent in ast.walk(tree):
        for field, value in ast.iter_fields(parent):
            if value is old:
                setattr(parent, field, new)
                return
            if isinstance(value, list) and any(v is old for v in value):
                value[[id(v) for v in value].index(id(old))] = new
                return


def short(node):
    text = ast.unparse(node).splitlines()[0]
    return text if len(text) <= 60 else text[:57] + "..."


def mutant(source, site):
    """(the mutated source, a line describing the change) of one site."""
    index, kind, argument, _ = site
    tree = ast.parse(source)
    node = list(ast.walk(tree))[index]
    before, after = short(node), node
    if kind == "operator" and isinstance(node, ast.Compare):
        node.ops[argument] = SWAPPED[type(node.ops[argument])]()
    elif kind == "operator":
        node.op = SWAPPED[type(node.op)]()
    elif kind in ("drop not", "constant"):
        after = node.operand if kind == "drop not" else ast.Constant(argument)
        replace(tree, node, after)
    elif kind == "return None":
        node.value = None
    else:
        before, after = "if " + short(node.test), ast.Constant(argument)
        node.test = after
    return ast.unparse(tree), "%s -> %s" % (before, short(after))


def test_modules(target):
    """Every fast test module, the target's own first: most mutants fail it, and -f stops there."""
    names = sorted(n[:-3] for n in os.listdir(TESTS) if n.startswith("test") and n.endswith(".py"))
    own = "test_" + os.path.basename(target)[:-3]
    return sorted(names, key=lambda n: n != own)


def run_tests(copy, modules, timeout):
    """killed, survived or timeout: the fast tests against the copy of tools/ in `copy`."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join((copy, TESTS)), PYTHONDONTWRITEBYTECODE="1")
    try:
        done = subprocess.run([sys.executable, "-m", "unittest", "-f", *modules], cwd=copy,
                              env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        return "timeout"
    return "survived" if done.returncode == 0 else "killed"


COPY = None  # this worker's copy of the tree's tools/


def start_worker(parent):
    global COPY
    COPY = tempfile.mkdtemp(dir=parent)
    shutil.copytree(os.path.join(ROOT, "tools"), os.path.join(COPY, "tools"),
                    ignore=shutil.ignore_patterns("__pycache__"))


def try_mutant(job):
    target, site, timeout = job
    path = os.path.join(COPY, target)
    with open(path, encoding="utf-8") as f:
        original = f.read()
    source, change = mutant(original, site)
    try:
        with open(path, "w", encoding="utf-8") as f:
            f.write(source)
        outcome = run_tests(COPY, test_modules(target), timeout)
    finally:
        with open(path, "w", encoding="utf-8") as f:
            f.write(original)
    return target, site[3], change, outcome


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("modules", nargs="*", help="console, verdict, known_behaviour, compare")
    parser.add_argument("--jobs", type=int, default=2, choices=(1, 2))
    parser.add_argument("--timeout", type=float, default=30, help="seconds per test run")
    options = parser.parse_args()
    targets = [t for t in TARGETS if not options.modules
               or os.path.basename(t)[:-3] in options.modules]
    jobs = []
    for target in targets:
        with open(os.path.join(ROOT, target), encoding="utf-8") as f:
            jobs += [(target, site, options.timeout) for site in sites(ast.parse(f.read()))]
    parent = tempfile.mkdtemp(prefix="velmor-mutate-")
    for number in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):  # the copies go all the same
        signal.signal(number, lambda *_: sys.exit(1))
    try:
        start_worker(parent)
        # The targets as the mutants are written, without comments or layout, and no change.
        for target in targets:
            with open(os.path.join(COPY, target), "r+", encoding="utf-8") as f:
                source = ast.unparse(ast.parse(f.read()))
                f.seek(0)
                f.truncate()
                f.write(source)
        if run_tests(COPY, test_modules(""), options.timeout) != "survived":
            print("mutate-tools: the fast tests fail without any mutant", file=sys.stderr)
            return 2
        with multiprocessing.Pool(options.jobs, start_worker, (parent,)) as pool:
            results = pool.map(try_mutant, jobs, chunksize=4)
    finally:
        shutil.rmtree(parent)
    total_killed = 0
    for target in targets:
        mine = sorted((r for r in results if r[0] == target), key=lambda r: r[1])
        survivors = [r for r in mine if r[3] == "survived"]
        killed = len(mine) - len(survivors)
        total_killed += killed
        print("%s: %d of %d mutants killed (%.0f%%)" % (target, killed, len(mine),
                                                        100.0 * killed / max(len(mine), 1)))
        for _, line, change, _ in survivors:
            print("  survived, line %d: %s" % (line, change))
    print("all: %d of %d mutants killed (%.1f%%)" % (total_killed, len(results),
                                                     100.0 * total_killed / max(len(results), 1)))
    return 0


if __name__ == "__main__":
    sys.exit(main())

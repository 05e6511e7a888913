"""`python3 -m tools corpus PATH... [--out DIR] [-j N] [--timeout S] [--include REGEX] [--glx]`:
the cases walked (cases.walk), run (run.run_all) and written (write.write_all, then put in place
whole). Status 0: written, nothing unexpected; 1: a test unexpected against the baseline (or a
failure, with none: docs/ci.md); 2: bad arguments, a PATH that does not exist, or no case at all
(one line); 130, 143, 129: stopped by Ctrl-C, SIGTERM or SIGHUP, with the
cases finished so far written as a whole set marked interrupted."""
import os
import re
import signal
import sys
import time

from .. import publish, runner
from . import adapt, cases, run, write
from . import expectations, junit, merge, reduce_new, shards

DEFAULT_OUT = os.path.join(runner.ROOT, "build", "corpus")


def add_parser(commands, whole_number, out_folder):
    """The `corpus` subcommand, on the tools' argparse subcommands."""
    corpus = commands.add_parser("corpus", help="a shader library through the four ways")
    corpus.add_argument("--check", action="store_true", help="check the arguments only, then end")
    corpus.add_argument("paths", nargs="*", metavar="PATH",
                        help="Velmor folders, .shader_test, .vert and .frag files, or folders "
                             "holding them")
    corpus.add_argument("--out", type=out_folder, default=DEFAULT_OUT)
    corpus.add_argument("-j", "--jobs", type=whole_number, default=os.cpu_count() or 1,
                        help="workers (default: the number of cores)")
    corpus.add_argument("--timeout", type=whole_number, default=30,
                        help="seconds a mode may run before it counts as a hang")
    corpus.add_argument("--include", type=pattern, help="only the cases whose name matches")
    corpus.add_argument("--glx", action="store_true",
                        help="velmor under X instead of velmor-headless on EGL")
    corpus.add_argument("--velmor", help="the binary to run (default: the build's)")
    corpus.add_argument("--probe", default=runner.PROBE, help=argparse_hidden())
    # What CI gates on (docs/ci.md).
    for module in (expectations, shards, junit, merge):
        module.add_arguments(corpus)
    reduce_new.add_arguments(corpus, whole_number)
    return corpus


def argparse_hidden():
    import argparse

    return argparse.SUPPRESS


def pattern(text):
    import argparse

    try:
        return re.compile(text)
    except re.error as failure:
        raise argparse.ArgumentTypeError("not a regular expression: %s" % failure) from None


def progress(total, stream=sys.stderr):
    """A function taking each finished case's record: on a terminal it redraws one line (done of
    total, rate, time left, differ/crash/NEW so far); elsewhere it prints a line per 5%."""
    start, seen = time.monotonic(), {"done": 0, "differ": 0, "crash": 0, "new": 0, "step": -1}
    terminal = stream.isatty()

    def show(record, last=False):
        if record is not None:
            seen["done"] += 1
            seen["differ"] += record["verdict"] == "differs"
            seen["crash"] += any(m["status"] == "crash" for m in record["modes"])
            seen["new"] += any((m["label"] or "").startswith("NEW") for m in record["modes"])
        done, spent = seen["done"], time.monotonic() - start
        rate = done / spent if spent > 0 else 0.0
        left = (total - done) / rate if rate > 0 else 0.0
        line = ("%d/%d cases, %.1f/s, %s left; differ %d, crash %d, NEW %d"
                % (done, total, rate, clock(left), seen["differ"], seen["crash"], seen["new"]))
        step = done * 20 // max(total, 1)
        if terminal:
            stream.write("\r\033[K" + line + ("\n" if last else ""))
        elif step != seen["step"] or last:
            if not last or step != seen["step"]:
                stream.write(line + "\n")
            seen["step"] = step
        stream.flush()

    return show


def clock(seconds):
    seconds = int(seconds + 0.5)
    return "%d:%02d" % (seconds // 60, seconds % 60)


def ending_status(stop):
    """The status a stop ends with: 130 for Ctrl-C, 128 + the signal for the others."""
    if isinstance(stop, KeyboardInterrupt):
        return 128 + signal.SIGINT
    code = stop.code if isinstance(stop.code, int) else 1
    return code


def main(options):
    try:
        gate = expectations.load_gate(options)
        fraction = shards.fraction(options.fraction, options.fraction_start, os.environ)
        if not options.paths and not options.merge:
            raise ValueError("give a PATH, or --merge OUT SHARD_OUT...")
    except (expectations.BadFile, shards.BadShard, ValueError) as bad:
        print("scripts/corpus: %s" % bad, file=sys.stderr)
        return 2
    if options.check:
        return 0
    if options.merge:
        return merge.main(options)
    absent = cases.missing(options.paths)
    if absent is not None:
        print("scripts/corpus: no such file or folder: %s" % absent, file=sys.stderr)
        return 2
    names = [case.name for case in cases.walk(options.paths, options.include)]
    if not names:
        print("scripts/corpus: no case in %s" % " ".join(options.paths), file=sys.stderr)
        return 2
    # This shard's cases, by their place in the walk: the walk runs again as a stream.
    chosen = shards.positions(names, *fraction)
    total = len(chosen)
    if not publish.beside_writable(options.out):
        print("scripts/corpus: cannot write beside %s, where the result is made first"
              % options.out, file=sys.stderr)
        return 2
    binary = options.velmor or (runner.BINARY if options.glx else runner.HEADLESS)
    if not os.access(binary, os.X_OK):
        print("scripts/corpus: no %s to run (scripts/corpus builds it)" % binary,
              file=sys.stderr)
        return 2
    options.argv = options.argv[1:] if options.argv[:1] == ["corpus"] else options.argv
    options.window_system = "glx" if options.glx else "egl"
    options.target = None
    with publish.folder_beside(options.out) as made:
        cases_dir = os.path.join(made, "cases")
        os.mkdir(cases_dir)
        settings = run.new_settings(options, cases_dir)._replace(gate=gate)
        options.velmor = settings.binary
        records, stop = [], None
        try:
            settings = run.calibrate(settings, options)
            show = progress(total)
            walked = cases.walk(options.paths, options.include)
            for record in run.run_all((c for i, c in enumerate(walked) if i in chosen), settings,
                                      options.jobs):
                if record is not run.STOPPED:
                    records.append(record)
                    show(record)
            show(None, last=True)
        except (KeyboardInterrupt, SystemExit) as stopped:
            stop = stopped
            print("\nscripts/corpus: stopped; writing the %d cases that finished"
                  % len(records), file=sys.stderr)
        if settings.identity is None:  # stopped before the first run ended
            return ending_status(stop)
        facts = {"identity": settings.identity, "tools": adapt.tool_versions(),
                 "paths": [os.path.abspath(p) for p in options.paths],
                 "options": {"jobs": options.jobs, "timeout_s": options.timeout,
                             "include": options.include.pattern if options.include else None,
                             "window_system": options.window_system},
                 "interrupted": stop is not None,
                 "shard": shards.record(names, *fraction, total)}
        facts["gate"] = gate_facts(gate, records, names, chosen, fraction, options.include)
        if options.reduce_new and stop is None:
            facts["reductions"] = reduce_new.reduce_all(records, made, options.reduce_new,
                                                        settings.binary, options.glx)
        data = write.write_all(made, records, facts)
        try:
            write.put_in_place(made, options.out)
        except OSError as failure:
            print("scripts/corpus: could not write into %s: %s"
                  % (options.out, failure.strerror or failure), file=sys.stderr)
            return 1
    print_counts(data)
    print("Results written to %s" % os.path.join(options.out, "summary.md"))
    junit.write_file(options, data, options.out)
    expectations.write_baseline(options, data)
    if stop is not None:
        return ending_status(stop)
    return expectations.exit_status(expectations.kinds_of(data))


def gate_facts(gate, records, names, chosen, fraction, include):
    """corpus.json's "gate": the baseline's tests that were this shard's to run and did not."""
    ran = {"%s@%s" % (r["name"], m["id"]) for r in records for m in r["modes"]}
    shard_cases = {names[i] for i in chosen}
    found = expectations.missing_tests(gate, ran, lambda name: expectations.ours(
        name, shard_cases, set(names), fraction[1] == 1, include))
    return expectations.gate_record(gate, found, {"cases": records})


def print_counts(data):
    verdicts = data["counts"]["cases"]
    print("%d cases: %d agree, %d differ, %d with no way that ran" % (
        len(data["cases"]), verdicts["agrees"], verdicts["differs"], verdicts["not-run"]))
    for mode, found in data["counts"]["modes"].items():
        print("  %-10s %s" % (mode, ", ".join("%s %d" % item for item in found.items())))

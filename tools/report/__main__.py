"""scripts/report: one report (the default), --compare, or --sweep; see the README."""
import os
import signal
import sys

from . import compare, result_file, sweep, write

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def compare_command(argv):
    out, baseline, reports = os.path.join(ROOT, "build", "report"), None, []
    args = list(argv)
    while args:
        name = args.pop(0)
        if name in ("--out", "--baseline") and args:
            value = args.pop(0)
            out, baseline = (value, baseline) if name == "--out" else (out, value)
        elif name.startswith("--"):
            print(write.USAGE, file=sys.stderr)
            return 2
        else:
            reports.append(name)
    if not write.writable(out):
        print("scripts/report: cannot write to %s" % out, file=sys.stderr)
        return 2
    try:
        text = compare.compare(reports, out, baseline)
    except result_file.Refused as refusal:
        print("scripts/report: %s" % refusal, file=sys.stderr)
        return 2
    print(text)
    print("Compare written to %s" % os.path.join(out, "compare.md"))
    return 0


def sweep_command(argv, check_only):
    options, complaint = write.parse_args(argv, ROOT)
    if complaint or options["target"] is not None:
        print(complaint or "scripts/report: --sweep chooses its own targets", file=sys.stderr)
        return 2
    if check_only:
        return 0
    if not write.display_opens():
        print("scripts/report: cannot open display '%s'" % os.environ.get("DISPLAY", ""),
              file=sys.stderr)
        return 1
    return sweep.sweep(options, ["--sweep", *argv])


def main(argv):
    check_only = argv[:1] == ["--check"]
    argv = argv[check_only:]
    if argv[:1] == ["--compare"]:
        return compare_command(argv[1:])
    # A kill of the report ends it like Ctrl-C: velmor is stopped on the way out.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    if argv[:1] == ["--sweep"]:
        return sweep_command(argv[1:], check_only)
    return write.main(["--check"] * check_only + argv)


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except KeyboardInterrupt:
        sys.exit(130)

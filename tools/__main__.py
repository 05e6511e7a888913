"""The tools' command line: `python3 -m tools run|report|compare|sweep|reduce|corpus ...`
(scripts/run, scripts/report, scripts/reduce and scripts/corpus call it). Bad arguments: one line on standard error, status 2,
nothing run. A subcommand imports its modules only when it is the one asked for: scripts/run on a
bare machine has none of the report's packages."""
import argparse
import os
import signal
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_OUT = os.path.join(ROOT, "build", "report")


class Parser(argparse.ArgumentParser):
    """argparse, with its complaint on one line: the usage goes to --help alone."""

    def error(self, message):
        self.exit(2, "%s: %s\n" % (self.prog, message))


def whole_number(text):
    """A whole number of at least 1."""
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError("needs a whole number of at least 1, not %r" % text)
    return int(text)


def out_folder(text):
    """A folder that is, or can be made, one we may write in."""
    if not text:
        raise argparse.ArgumentTypeError("an empty path is no folder")
    path = os.path.abspath(text)
    if os.path.exists(path) and not os.path.isdir(path):
        raise argparse.ArgumentTypeError("%s is not a folder" % text)
    while not os.path.exists(path):
        path = os.path.dirname(path)
    if not os.path.isdir(path) or not os.access(path, os.W_OK | os.X_OK):
        raise argparse.ArgumentTypeError("cannot write to %s" % text)
    return text


def shader_folder(text):
    if not os.path.isdir(text):
        raise argparse.ArgumentTypeError("no shader folder %s" % text)
    return text


def target_name(text):
    from .report import targets

    target = targets.named(text)
    if target is None:
        raise argparse.ArgumentTypeError("no target %s (%s, host-device-N-egl)"
                                         % (text, ", ".join(targets.BY_NAME)))
    return target


CHECK = dict(action="store_true", help="check the arguments only, then end")


def add_run(commands, name, help):
    from . import runner

    run = commands.add_parser(name, help=help)
    run.add_argument("--png-dir", required=True, help="where velmor-mode-N.png goes")
    run.add_argument("--windows", action="store_true", help="velmor.exe under Wine")
    run.add_argument("args", nargs=argparse.REMAINDER, help="velmor's own arguments")
    return runner.main


def runs_parser():
    """What a report and a sweep share: the shader folder, the output and the runs."""
    from . import runner

    runs = Parser(add_help=False)
    runs.add_argument("--check", **CHECK)
    runs.add_argument("--shaders", type=shader_folder, default=os.path.join(ROOT, "shaders"))
    runs.add_argument("--out", type=out_folder, default=DEFAULT_OUT)
    runs.add_argument("--runs", type=whole_number, default=5)
    runs.add_argument("--timeout", type=whole_number, default=30)
    runs.add_argument("--probe", default=runner.PROBE)
    return runs


def add_report(commands, name, help):
    report = commands.add_parser(name, parents=[runs_parser()], help=help)
    report.add_argument("--target", type=target_name,
                        help="one of the sweep's targets; an EGL one implies --headless")
    report.add_argument("--velmor", help="the binary to run (default: the build's)")
    report.add_argument("--headless", action="store_true",
                        help="velmor-headless on EGL, no display needed")

    def main(options):
        if not resolve_device(options):
            return 1
        from .report import write

        return write.main(options)

    return main


def add_compare(commands, name, help):
    compare = commands.add_parser(name, help=help)
    compare.add_argument("--check", **CHECK)
    compare.add_argument("--baseline")
    compare.add_argument("--out", type=out_folder, default=DEFAULT_OUT)
    compare.add_argument("reports", nargs="+")

    def main(options):
        from .report import compare

        return compare.main(options)

    return main


def add_sweep(commands, name, help):
    commands.add_parser(name, parents=[runs_parser()], help=help)

    def main(options):
        from .report import sweep

        return sweep.main(options)

    return main


def add_reduce(commands, name, help):
    from .reduce import command

    command.add_parser(commands, whole_number, out_folder, shader_folder)
    return command.main


def add_corpus(commands, name, help):
    from .corpus import command

    command.add_parser(commands, whole_number, out_folder)
    return command.main


# Each subcommand: its help line, and the function that adds its arguments and returns the one
# that runs it (with the parsed options; its exit status).
COMMANDS = {
    "run": ("run velmor on the terminal, saving its first frame", add_run),
    "report": ("the four-way report of one GL driver", add_report),
    "compare": ("reports side by side", add_compare),
    "sweep": ("a report on every GL driver here, compared", add_sweep),
    "reduce": ("shrink the SPIR-V modules a driver fails on", add_reduce),
    "corpus": ("a shader library through the four ways", add_corpus),
}


def parser(argv):
    """The command line, and the function that runs the subcommand argv names (None when it
    names none). Only that subcommand gets its arguments, and imports what they need; the
    others are listed with their help line."""
    top = Parser(prog="python3 -m tools", description=__doc__)
    commands = top.add_subparsers(dest="command", required=True, parser_class=Parser)
    wanted, handler = argv[0] if argv else None, None
    for name, (help, add) in COMMANDS.items():
        if name == wanted:
            handler = add(commands, name, help)
        else:
            commands.add_parser(name, help=help)
    return top, handler


def resolve_report(options, complain):
    """What the report runs: the binary, the runner before it and its window system. A target
    names its window system; --headless alone means EGL."""
    from . import identity, runner, wine

    target = options.target
    on_wine = target is not None and target.where == "wine"
    if target is not None and options.headless and target.window_system != "egl":
        complain("--headless runs velmor-headless on EGL, and target %s runs on %s"
                 % (target.name, identity.WINDOW_SYSTEMS[target.window_system]))
    options.headless = options.headless or (target is not None and target.window_system == "egl")
    options.window_system = "egl" if options.headless else "wgl" if on_wine else "glx"
    options.runner = wine.RUNNER if on_wine else ()
    if options.velmor is None:
        options.velmor = (runner.HEADLESS if options.headless else wine.EXE if on_wine
                          else runner.BINARY)


def resolve_device(options):
    """A device target takes the driver its device names, once velmor-headless can list the
    devices; False, after one line, when there is no such hardware device."""
    from .report import targets

    if options.target is None or options.target.device is None:
        return True
    options.target, why = targets.resolved(options.target, options.velmor)
    if options.target is None:
        print("scripts/report: %s" % why, file=sys.stderr)
    return options.target is not None


def stop_on_signals():
    """A hang-up or a kill ends the tools as Ctrl-C does: what runs is stopped on the way out,
    and nothing half made is kept."""
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, lambda n, _: sys.exit(128 + n))


def main(argv):
    top, handler = parser(argv)
    options = top.parse_args(argv)
    options.argv = list(argv)
    if options.command == "report":
        resolve_report(options, top.error)
    if options.command != "run":
        if options.check:
            return 0
        stop_on_signals()
    return handler(options)


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except KeyboardInterrupt:
        sys.exit(130)

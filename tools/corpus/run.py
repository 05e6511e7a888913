"""Running a corpus: each case's modes through the one runner, judged, and held against each
other.

A worker takes one case at a time: it makes the case's files in a folder of its own, runs each
mode that may run as a process of its own, judges it (tools/verdict.py, with a picture judged
against the case's reference way rather than against a colour) and labels a crash or a hang with
the known driver behaviour it matches (NEW otherwise). The frames and transcripts of a case that
is not all-pass go into the folder being made; the record that comes back is small, so that a
corpus of any size runs in bounded memory. Before the corpus, the shipped shaders run once in
each mode: the GL strings come from there, and so do the GL messages that a mode gives for any
pipeline (mode 4's portability note on Mesa), which take no part in the comparison.
"""
import collections
import concurrent.futures
import hashlib
import os
import signal
import tempfile
import threading
import time

from .. import console, identity, modes, runner, verdict
from ..report import compare, known_behaviour, pictures
from ..report import write as report_write
from . import agreement, cases, expectations, prepare

# binary, window_system, probe, timeout, env: how velmor runs; identity: the GL strings and
# window system (tools/identity.py's record); own_messages: {mode id: [masked message]} that
# the shipped shaders gave; cases_dir: where the files of a case not all-pass go; stopping: a
# threading.Event set when the run is being stopped; gate: the expectations.Gate each case's
# modes are judged against, and its --skips.
Settings = collections.namedtuple("Settings", "binary window_system probe timeout env identity "
                                  "own_messages cases_dir stopping gate",
                                  defaults=(expectations.Gate(None, [], [], {}),))

STOPPED = "stopped"  # what a worker returns for a case it was stopped in
STOP_GRACE_S = 2.0


def message_text(m):
    return compare.masked("%s, %s, %s: %s" % (m["source"], m["type"], m["severity"],
                                              m["message"]))


def run_once(mode, folder, settings):
    """One run of a mode: (Run, what went wrong or None, wall seconds)."""
    start = time.monotonic()
    try:
        r = runner.run(mode.menu + "\n", folder, binary=settings.binary, probe=settings.probe,
                       env=settings.env, timeout=settings.timeout,
                       window_system=settings.window_system)
        trouble = None
    except runner.RunError as failure:
        r, trouble = failure.run, failure
    return r, trouble, time.monotonic() - start


def calibrate(settings, options):
    """The identity and each mode's own GL messages, from the shipped shaders in the four
    modes."""
    runs, own = [], {}
    with tempfile.TemporaryDirectory(prefix="velmor-corpus-") as folder:
        modes.populate(folder)
        for mode in modes.MODES:
            r, _, _ = run_once(mode, folder, settings)
            runs.append(r)
            own[mode.id] = [message_text(m)
                            for m in console.debug_messages(console.parse(r.out, r.err))]
    ident = identity.identity(options, runs, settings.env)
    ident["command_line"] = ["scripts/corpus", *options.argv]
    return settings._replace(identity=ident, own_messages=own)


def without_own(messages, own):
    """The messages less one occurrence of each of the mode's own."""
    left = list(messages)
    for text in own:
        if text in left:
            left.remove(text)
    return left


def skipped_mode(mode, status, reason):
    return {"id": mode.id, "menu": mode.menu, "status": status, "judged": None,
            "reason": reason, "ending": None, "seconds": 0.0, "picture_sha256": None,
            "gl_messages": [], "label": None}


def judged_mode(mode, folder, settings, facts):
    """One mode run and judged: its record, and its Run for the frame and transcripts."""
    r, trouble, seconds = run_once(mode, folder, settings)
    end = report_write.ending({"run": r, "trouble": trouble})
    events = console.parse(r.out, r.err)
    present = {f["name"]: f["size"] is not None for f in facts}
    # In a corpus a black picture may be the shader's own answer: drawn is drawn.
    status, reason = verdict.judge(mode, events, end, "nothing" if r.frame is None else "picture",
                                   present)
    fatal = console.first(events, "fatal")
    record = {"id": mode.id, "menu": mode.menu, "status": status, "judged": status,
              "reason": reason, "ending": end["text"], "seconds": round(seconds, 3),
              "picture_sha256": hashlib.sha256(r.frame.tobytes()).hexdigest()
              if r.frame is not None else None,
              "gl_messages": without_own([message_text(m) for m in console.debug_messages(events)],
                                         settings.own_messages.get(mode.id, [])),
              "label": None}
    if status in ("crash", "timeout"):
        report = {"identity": settings.identity, "shader_files": facts}
        record["label"] = known_behaviour.note(report, dict(record, fatal_signal=fatal.text
                                                            if fatal else None))
    return record, r


def picture_against_reference(records, runs, reference):
    """A mode that passed (or warned) but drew unlike the reference fails, saying how."""
    ref = runs.get(reference)
    ref_hash = next((r["picture_sha256"] for r in records if r["id"] == reference), None)
    for record in records:
        r = runs.get(record["id"])
        if (record["id"] == reference or r is None or r.frame is None or ref is None
                or ref.frame is None or record["status"] not in ("pass", "warn")
                or record["picture_sha256"] == ref_hash):
            continue
        count, (x, y), ours, theirs = pictures.difference(ref.frame, r.frame)
        record["status"] = "fail"
        record["reason"] = ("the picture differs from mode %s's in %d pixels; first at (%d, %d): "
                            "%s there, %s here" % (modes.BY_ID[reference].menu, count, x, y,
                                                   colour(ours), colour(theirs)))


def colour(value):
    return str(tuple(value)) if isinstance(value, tuple) else value


def all_pass(record):
    return record["verdict"] != "differs" and all(
        m["status"] in ("pass", "skip") for m in record["modes"])


def run_case(case, settings):
    """The record of one case (see the package's docstring), or STOPPED. A fault of the tools
    themselves on one case is that case's result, not the end of the run."""
    try:
        record = run_case_in_folder(case, settings)
        if record is STOPPED:
            return STOPPED
        return expectations.settle(record, settings.gate, lambda: rerun_case(case, settings))
    except Exception as fault:  # noqa: BLE001 - reported as the case's result, with its words
        if settings.stopping.is_set():
            return STOPPED
        reason = "the corpus tool failed on this case: %s: %s" % (type(fault).__name__, fault)
        return expectations.settle({
            "name": case.name, "path": os.path.abspath(case.path), "kind": case.kind,
            "problem": reason, "sources": {}, "adaptations": [], "ignored_sections": [],
            "modes": [skipped_mode(m, "fail", reason) for m in modes.MODES],
            **agreement.agreement({}), "files": None}, settings.gate, lambda: None)


def rerun_case(case, settings):
    """The case run once more in fresh processes, its files not kept: the first run's show
    what was unexpected. None when the run is being stopped."""
    with tempfile.TemporaryDirectory(prefix="velmor-corpus-rerun-") as kept:
        again = run_case_in_folder(case, settings._replace(cases_dir=kept))
    return None if again is STOPPED else again


def run_case_in_folder(case, settings):
    with tempfile.TemporaryDirectory(prefix="velmor-corpus-") as folder:
        prepared = prepare.prepare(case, folder)
        facts = [report_write.file_facts(folder, name) for name in modes.SHADER_FILES]
        records, runs = [], {}
        skips = dict(expectations.skipped_modes(settings.gate, case.name, prepare.ALL_MODES),
                     **prepared.skips)
        for mode in modes.MODES:
            if settings.stopping.is_set():
                return STOPPED
            if mode.id in skips:
                records.append(skipped_mode(mode, *skips[mode.id]))
                continue
            record, runs[mode.id] = judged_mode(mode, folder, settings, facts)
            if stopped_from_outside(runs[mode.id], settings):
                return STOPPED
            records.append(record)
        if settings.stopping.is_set():
            return STOPPED  # a run may have been killed by the stop: not a driver's result
        ran = {r["id"]: {"status": r["judged"], "picture": r["picture_sha256"],
                         "messages": r["gl_messages"]} for r in records if r["judged"]}
        found = agreement.agreement(ran)
        picture_against_reference(records, runs, found["reference"])
        record = {"name": case.name, "path": os.path.abspath(case.path), "kind": case.kind,
                  "problem": case.problem, "sources": prepared.sources,
                  "adaptations": prepared.adaptations, "ignored_sections": prepared.ignored,
                  "modes": records, **found, "files": None}
        # A case that never got its files (bad input) has nothing to keep.
        if not all_pass(record) and (runs or prepared.sources):
            record["files"] = "cases/" + case.name
            keep_files(os.path.join(settings.cases_dir, case.name), folder, records, runs)
        return record


def stopped_from_outside(r, settings):
    """Whether velmor ended by the signal that is stopping this run (Ctrl-C on a terminal
    reaches every process of its group): not the driver's doing. The stop is given a moment to
    be seen; a signal with no stop behind it stays the mode's result."""
    outside = (-signal.SIGINT, -signal.SIGTERM, -signal.SIGHUP)
    return r.status in outside and settings.stopping.wait(STOP_GRACE_S)


def keep_files(where, folder, records, runs):
    """The case's shader files, and each mode's frame and transcripts, into `where`."""
    os.makedirs(where, exist_ok=True)
    for name in modes.SHADER_FILES:
        path = os.path.join(folder, name)
        if os.path.isfile(path):
            with open(path, "rb") as f, open(os.path.join(where, name), "wb") as out:
                out.write(f.read())
    for record in records:
        r = runs.get(record["id"])
        if r is None:
            continue
        base = os.path.join(where, "mode-%s" % record["menu"])
        if r.frame is not None:
            r.frame.save(base + ".png")
        for stream, text in (("stdout", r.out), ("stderr", r.err)):
            with open("%s.%s.txt" % (base, stream), "w", encoding="utf-8",
                      errors="replace") as f:
                f.write(text or "")


def children():
    """The processes this one started (any thread's), by id."""
    found = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open("/proc/self/task/%s/children" % task) as f:
                found += [int(pid) for pid in f.read().split()]
        except OSError:
            pass
    return found


def stop_children():
    for pid in children():
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def run_all(cases, settings, jobs):
    """The record of each case, in the order they finish, over `jobs` workers; at most twice
    that many cases are under way at once. When the caller is stopped (Ctrl-C, or a signal
    turned into SystemExit) every run is killed and the workers end before it goes on."""
    pool = concurrent.futures.ThreadPoolExecutor(jobs)
    pending = set()
    try:
        for case in cases:
            while len(pending) >= 2 * jobs:
                done, pending = concurrent.futures.wait(
                    pending, return_when=concurrent.futures.FIRST_COMPLETED)
                yield from (f.result() for f in done)
            pending.add(pool.submit(run_case, case, settings))
        while pending:
            done, pending = concurrent.futures.wait(
                pending, return_when=concurrent.futures.FIRST_COMPLETED)
            yield from (f.result() for f in done)
    except BaseException:
        settings.stopping.set()
        for future in pending:
            future.cancel()
        while not all(f.done() for f in pending):
            stop_children()
            concurrent.futures.wait(pending, timeout=0.05)
        raise
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def new_settings(options, cases_dir):
    """The settings of a corpus run from the command line's options (before calibration)."""
    glx = options.glx
    return Settings(binary=options.velmor or (runner.BINARY if glx else runner.HEADLESS),
                    window_system="glx" if glx else "egl", probe=os.path.abspath(options.probe),
                    timeout=options.timeout, env={"MESA_SHADER_CACHE_DISABLE": "true"},
                    identity=None, own_messages={}, cases_dir=cases_dir,
                    stopping=threading.Event())

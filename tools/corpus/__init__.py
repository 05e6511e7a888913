"""A whole shader library through the four ways: `python3 -m tools corpus` (scripts/corpus).

The command has three steps, each its own function:
- cases.walk(paths, include): a generator of Case(name, path, kind, problem), in a stable order;
- run.run_all(cases, settings, jobs): a generator of one record per case, in the order they
  finish (the record is corpus.json's case object, docs/corpus-format.md);
- write.write_all(made, records, run facts), then write.put_in_place(made, out).

The result row, one per case and mode, as results.csv holds it (write.result_rows):
  (name, Status, duration_secs)
- name: "CASE@MODE-ID": CASE is the case's path relative to the PATH it came from, `/` kept,
  commas, control characters and undecodable bytes turned into `_`; MODE-ID is the mode's id in
  tools/modes.py (glsl, glsl-sso, spirv, spirv-sso).
- Status: deqp-runner's word for the mode's status (write.DEQP): Pass, Warn, Fail, Crash,
  Timeout, or Skip (a mode the case rules out, or the driver cannot run). A mode whose picture
  differs from the case's reference way is Fail; a case whose input cannot be used (unreadable,
  malformed, a duplicate name) is Fail in every mode, with a reason starting "bad input: ".
- duration_secs: the wall time of the mode's run, 0 for a mode that did not run.

What CI gates on (docs/ci.md) sits beside these steps: expectations.py judges each row against a
baseline (run.run_case runs a case with an unexpected row again, to tell a flake), shards.py
picks a shard's cases from the walk, junit.py writes the JUnit file and merge.py joins shards.
The Status of a row is then the judged one (ExpectedFail, UnexpectedImprovement(X), Missing,
Flake, KnownFlake as well).
"""

"""Shards joined: `scripts/corpus --merge OUT SHARD_OUT...`.

Each shard's corpus.json records N, K and the hash of the whole case list (tools/corpus/
shards.py). The shards given must be every K of one N, of one corpus, each once; anything else
is refused with one line before anything is written.

`python3 -m tools corpus --merge OUT SHARD_OUT...` (main) then writes OUT whole, as a run does:
the cases of every shard, their kept files, and the tests the baseline lists that none ran.
"""
import json
import os
import shutil
import sys


class Refused(ValueError):
    """Shards that cannot be joined: one line."""


def check(shards):
    """shards: [(folder, shard record or None)]. Refused unless they are shards 1..N of one N
    of one corpus, each given once."""
    seen, by_start = {}, {}
    for folder, record in shards:
        real = os.path.realpath(folder)
        if real in seen:
            raise Refused("%s is given twice (as %s and %s)" % (folder, seen[real], folder))
        seen[real] = folder
        if record is None:
            raise Refused("%s is not a shard of a corpus run (its corpus.json has no shard "
                          "record)" % folder)
        if record["fraction_start"] is None:
            raise Refused("%s is a merge of shards, not a shard" % folder)
    first_folder, first = shards[0]
    for folder, record in shards:
        if record["case_list_sha256"] != first["case_list_sha256"]:
            raise Refused("%s and %s are shards of different corpora (their case lists differ)"
                          % (first_folder, folder))
        if record["fraction"] != first["fraction"]:
            raise Refused("%s is a shard of %d and %s of %d: different fraction counts"
                          % (first_folder, first["fraction"], folder, record["fraction"]))
        start = record["fraction_start"]
        if start in by_start:
            raise Refused("shard %d of %d is given twice: %s and %s"
                          % (start, record["fraction"], by_start[start], folder))
        by_start[start] = folder
    total = first["fraction"]
    lacking = [k for k in range(1, total + 1) if k not in by_start]
    if lacking:
        raise Refused("shard%s %s of %d %s missing" % (
            "s" if len(lacking) > 1 else "", ", ".join(map(str, lacking)), total,
            "are" if len(lacking) > 1 else "is"))
    return [by_start[k] for k in range(1, total + 1)]


def add_arguments(parser):
    parser.add_argument("--merge", nargs="+", metavar="OUT SHARD_OUT",
                        help="join the shards' output folders into OUT")


def load(folder):
    """A shard's corpus.json, checked; Refused when the folder holds no corpus run."""
    import jsonschema

    from . import write

    path = os.path.join(folder, "corpus.json")
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
        write.check(data)
    except (OSError, ValueError, jsonschema.ValidationError) as failure:
        raise Refused("%s holds no corpus run: %s" % (folder, getattr(failure, "strerror", None)
                                                      or getattr(failure, "message", failure)))
    return data


def merged_facts(shards):
    """What write.write_all takes of a run, for the shards joined (their order: 1 to N)."""
    first = shards[0]
    missing = [m for data in shards for m in data["gate"]["missing"]] if "gate" in first else []
    facts = {key: first[key] for key in ("identity", "tools", "paths", "options")}
    facts["interrupted"] = any(data["interrupted"] for data in shards)
    facts["shard"] = dict(first["shard"], fraction_start=None,
                          cases=sum(data["shard"]["cases"] for data in shards))
    if "gate" in first:
        facts["gate"] = dict(first["gate"], missing=sorted(missing, key=lambda m: m["name"]))
    if any("reductions" in data for data in shards):
        facts["reductions"] = sorted((r for data in shards for r in data.get("reductions", [])),
                                     key=lambda r: r["name"])
    return facts


def merge(out, folders):
    """Joins the shard folders into out; corpus.json's content. Refused before anything is
    written when they are not every shard of one corpus."""
    from . import expectations, write
    from .. import publish

    if any(os.path.realpath(f) == os.path.realpath(out) for f in folders):
        raise Refused("%s is one of the shards: merge into another folder" % out)
    loaded = [(folder, load(folder)) for folder in folders]
    order = check([(folder, data.get("shard")) for folder, data in loaded])
    shards = [dict(loaded)[folder] for folder in order]
    records = [case for data in shards for case in data["cases"]]
    facts = merged_facts(shards)
    if "gate" in facts:
        facts["gate"] = expectations.gate_record(
            expectations.Gate(None, [], [], {k: facts["gate"][k] for k in
                                               ("baseline", "skips", "flakes")}),
            facts["gate"]["missing"], {"cases": records})
    with publish.folder_beside(out) as made:
        for folder in order:
            for kept in ("cases", "reductions"):
                if os.path.isdir(os.path.join(folder, kept)):
                    shutil.copytree(os.path.join(folder, kept), os.path.join(made, kept),
                                    dirs_exist_ok=True)
        os.makedirs(os.path.join(made, "cases"), exist_ok=True)
        data = write.write_all(made, records, facts)
        write.put_in_place(made, out)
    return data


def main(options):
    """--merge OUT SHARD_OUT... (with --junit and --update-baseline as a run has them): status
    2 with one line when the shards cannot be joined, else the run's own: 1 when a test is
    unexpected."""
    from . import expectations, junit

    out, folders = options.merge[0], options.merge[1:]
    try:
        if not folders:
            raise Refused("--merge needs OUT and the shards' folders")
        data = merge(out, folders)
    except Refused as refusal:
        print("scripts/corpus: %s" % refusal, file=sys.stderr)
        return 2
    junit.write_file(options, data, out)
    expectations.write_baseline(options, data)
    print("%d shards merged into %s" % (len(folders), os.path.join(out, "summary.md")))
    return expectations.exit_status(expectations.kinds_of(data))

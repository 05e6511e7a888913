"""Shards joined: `scripts/corpus --merge OUT SHARD_OUT...`.

Each shard's corpus.json records N, K and the hash of the whole case list (tools/corpus/
shards.py). The shards given must be every K of one N, of one corpus, each once; anything else
is refused with one line before anything is written. The shards' rows are then joined into one
results.csv and failures.csv, sorted as one run writes them.
"""
import csv
import os


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


def read_rows(path):
    """The rows of a results.csv or failures.csv, as lists of text."""
    with open(path, newline="", encoding="utf-8") as f:
        return [row for row in csv.reader(f) if row]


def join_rows(tables):
    """tables: [(folder, rows)]. One sorted table; Refused when two shards give one name."""
    where, joined = {}, []
    for folder, rows in tables:
        for row in rows:
            if row[0] in where:
                raise Refused("%s is in %s and in %s" % (row[0], where[row[0]], folder))
            where[row[0]] = folder
            joined.append(row)
    return sorted(joined)


def write_rows(path, rows):
    with open(path, "w", newline="", encoding="utf-8") as f:
        csv.writer(f, lineterminator="\n").writerows(rows)

"""One corpus split across CI jobs: shard K of N (`--fraction N --fraction-start K`).

As deqp-runner does, the case list is shuffled with a fixed seed, so that slow cases spread
evenly, and shard K takes every N-th case starting at the K-th (K counts from 1). The shuffle
orders the cases by the SHA-256 of a fixed seed and the name: the same list gives the same
shards on any machine, in any order it was walked. A case is never split: all its modes run in
one shard, since they are held against each other. Where GitLab's `parallel:` sets
CI_NODE_TOTAL and CI_NODE_INDEX (counting from 1), they are the defaults.
"""
import hashlib

SEED = b"velmor-corpus-shards-1\n"


class BadShard(ValueError):
    """A fraction that cannot be: one line."""


def shuffled(names):
    """The positions of the names in the fixed shuffled order (two cases of one name keep the
    order of the walk)."""
    return sorted(range(len(names)),
                  key=lambda i: (hashlib.sha256(SEED + names[i].encode()).digest(), names[i]))


def positions(names, total, start):
    """The positions in the walk of the cases of shard `start` of `total`."""
    return set(shuffled(names)[start - 1::total])


def select(names, total, start):
    """The names of shard `start` of `total`, in the shuffled order."""
    return [names[i] for i in shuffled(names)[start - 1::total]]


def list_hash(names):
    """The SHA-256 of the whole case list, whatever order it came in: shards of one corpus
    carry the same one."""
    digest = hashlib.sha256()
    for name in sorted(set(names)):
        digest.update(name.encode() + b"\n")
    return digest.hexdigest()


def whole(text, what):
    if not text.isdigit() or int(text) < 1:
        raise BadShard("%s needs a whole number of at least 1, not %r" % (what, text))
    return int(text)


def fraction(total=None, start=None, environ=None):
    """(N, K) from --fraction and --fraction-start (text or None), each else from CI_NODE_TOTAL
    and CI_NODE_INDEX, else 1. BadShard when K is past N."""
    environ = environ or {}
    total = total if total is not None else environ.get("CI_NODE_TOTAL") or None
    start = start if start is not None else environ.get("CI_NODE_INDEX") or None
    n = whole(total, "--fraction") if total is not None else 1
    k = whole(start, "--fraction-start") if start is not None else 1
    if k > n:
        raise BadShard("--fraction-start %d is past --fraction %d (shards count from 1)" % (k, n))
    return n, k


def record(names, total, start, taken):
    """What a shard's output says of it: N, K, how many cases it and the corpus hold, and the
    hash of the whole case list."""
    return {"fraction": total, "fraction_start": start, "cases": taken,
            "corpus_cases": len(set(names)), "case_list_sha256": list_hash(names)}


def add_arguments(parser):
    parser.add_argument("--fraction", metavar="N",
                        help="run one shard of N (default: $CI_NODE_TOTAL, else 1)")
    parser.add_argument("--fraction-start", metavar="K",
                        help="the shard to run, counting from 1 (default: $CI_NODE_INDEX, else 1)")

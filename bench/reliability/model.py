"""The load's content and bookkeeping: file content as a function of
(seed, offset), what a worker knows about a name, and the counters."""

import errno
import random
import struct

KIB = 1024
MIB = 1024 * KIB
CHUNK = MIB
PAGE = 4096
BLOCK = 8 * MIB  # the library's block size: sizes around its multiples matter
POOL = 64        # random 1 MiB buffers the content is built from

WRITE_SIZES = [PAGE, 64 * KIB, 128 * KIB, MIB, 1000003]
READ_SIZES = [PAGE, 128 * KIB, MIB, 3 * MIB + 5]
OP_WEIGHTS = [("create", 26), ("copy", 8), ("overwrite", 6), ("verify", 27), ("range", 10),
              ("rename", 11), ("delete", 7), ("list", 5)]


class Content:
    """The expected bytes of a file, from its seed."""

    def __init__(self, run_seed):
        self.pool = [random.Random(run_seed * 7919 + i).randbytes(CHUNK) for i in range(POOL)]

    def chunk(self, seed, k):
        b = bytearray(self.pool[(seed * 131 + k * 7) % POOL])
        base = k * CHUNK
        for p in range(0, CHUNK, PAGE):
            struct.pack_into("<QQ", b, p, seed, base + p)
        return b

    def expected(self, seed, off, n):
        out = bytearray()
        while n > 0:
            k, o = divmod(off, CHUNK)
            take = min(n, CHUNK - o)
            out += self.chunk(seed, k)[o:o + take]
            off += take
            n -= take
        return bytes(out)


def errname(e):
    return errno.errorcode.get(e.errno, str(e.errno)) if e.errno else type(e).__name__


class Entry:
    """What a worker knows about one of its names."""

    def __init__(self, cands, maybe_absent=False, tainted=False):
        self.cands = list(cands)       # [(seed, size)]: the content is one of these
        self.maybe_absent = maybe_absent  # a failed call may have removed it
        self.tainted = tainted         # a failed write left unknown content

    def to_json(self):
        return {"cands": [list(c) for c in self.cands], "maybeAbsent": self.maybe_absent,
                "tainted": self.tainted}

    @staticmethod
    def from_json(j):
        return Entry([tuple(c) for c in j["cands"]], j["maybeAbsent"], j["tainted"])


class Stats:
    def __init__(self):
        self.ops = {}          # kind -> {"ok": n, "failed": n}
        self.errors = {}       # "kind ERRNO" -> n
        self.wrong = []        # wrong data, unexpected files or lines: never allowed
        self.lost = []         # files or lines gone that should be there: never allowed
        self.files_written = 0
        self.bytes_written = 0
        self.files_verified = 0   # whole files read back and equal
        self.bytes_verified = 0   # bytes compared equal (whole files, ranges, copy sources)
        self.ranges_verified = 0
        self.lines_written = 0    # lines appended to shared files
        self.lines_verified = 0   # lines found intact
        self.failed_writes_removed = 0
        self.failed_writes_left = 0
        self.counts = {}          # what a phase counts beside these: name -> n

    def count(self, what, n=1):
        self.counts[what] = self.counts.get(what, 0) + n

    def op(self, kind, ok):
        d = self.ops.setdefault(kind, {"ok": 0, "failed": 0})
        d["ok" if ok else "failed"] += 1

    def error(self, kind, e):
        key = "%s %s" % (kind, errname(e))
        self.errors[key] = self.errors.get(key, 0) + 1

    def to_json(self):
        return dict(ops=self.ops, errors=self.errors, wrong=self.wrong, lost=self.lost,
                    filesWritten=self.files_written, bytesWritten=self.bytes_written,
                    filesVerified=self.files_verified, bytesVerified=self.bytes_verified,
                    rangesVerified=self.ranges_verified,
                    linesWritten=self.lines_written, linesVerified=self.lines_verified,
                    failedWritesRemoved=self.failed_writes_removed,
                    failedWritesLeft=self.failed_writes_left, counts=self.counts)



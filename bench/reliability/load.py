#!/usr/bin/env python3
"""Concurrent file load on the mounted drive, with read-back checks.

Subcommands (run.sh drives them):

  run     N worker processes, each in a folder of its own, create, copy,
          read back and compare, rename, delete and list files for a given
          time. With --admin-url the parent also injects faults through the
          local service's admin endpoint while the load runs. Writes the
          counters and every worker's model of its folder to --out (JSON).
  check   reads the models a `run` left and verifies every file and every
          folder listing once more (run.sh calls it on a fresh mount with an
          empty block cache, so every byte comes from the service).
  report  turns the JSON results into REPORT.md and exits 1 when a byte was
          wrong, a file was lost, a worker hung, or an error occurred where
          none is allowed.

File content is never stored: it is a function of (file seed, offset). Each
1 MiB chunk is one of 64 random buffers (chosen by seed and chunk index) with
the file seed and the absolute offset written into the first 16 bytes of
every 4 KiB page, so a page read from the wrong file, the wrong block or the
wrong place within a block never compares equal.

Beside the workers, a deleter process keeps creating files in a folder of
its own (each written under a temporary name and renamed into place when
complete; the final name carries the seed and size) and deleting them soon
after, while a reader process keeps opening them (mostly the oldest, the next
to be deleted) and reading them through in small steps. A read must return the file's bytes even when the
file is deleted meanwhile; the only allowed failure without faults is
ENOENT at open (the file was already gone).

Under faults an operation may fail with an errno; the model then keeps every
state the failed call may have left (a name that may be absent, content that
may be either of two files) and later reads must match one of them. A file
whose write failed is removed when possible and never counted as verified.
"""

import argparse
import errno
import json
import math
import multiprocessing as mp
import os
import random
import shutil
import ssl
import struct
import sys
import time
import urllib.request

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
        self.wrong = []        # wrong data, lost or unexpected files: never allowed
        self.files_written = 0
        self.bytes_written = 0
        self.files_verified = 0   # whole files read back and equal
        self.bytes_verified = 0   # bytes compared equal (whole files, ranges, copy sources)
        self.ranges_verified = 0
        self.failed_writes_removed = 0
        self.failed_writes_left = 0

    def op(self, kind, ok):
        d = self.ops.setdefault(kind, {"ok": 0, "failed": 0})
        d["ok" if ok else "failed"] += 1

    def error(self, kind, e):
        key = "%s %s" % (kind, errname(e))
        self.errors[key] = self.errors.get(key, 0) + 1

    def to_json(self):
        return dict(ops=self.ops, errors=self.errors, wrong=self.wrong,
                    filesWritten=self.files_written, bytesWritten=self.bytes_written,
                    filesVerified=self.files_verified, bytesVerified=self.bytes_verified,
                    rangesVerified=self.ranges_verified,
                    failedWritesRemoved=self.failed_writes_removed,
                    failedWritesLeft=self.failed_writes_left)


class Worker:
    def __init__(self, wid, folder, opts, content, files=None):
        self.wid = wid
        self.folder = folder
        self.opts = opts
        self.content = content
        self.rng = random.Random(opts["seed"] * 1000 + opts["phaseIndex"] * 10 + wid)
        self.files = files if files is not None else {}
        self.stats = Stats()
        self.counter = 0

    # -- helpers ----------------------------------------------------------
    def path(self, name):
        return os.path.join(self.folder, name)

    def new_name(self):
        self.counter += 1
        return "w%d-%05d-%s.bin" % (self.wid, self.counter, self.rng.choice(["a", "long name", "x_y"]))

    def pick_size(self):
        hi = self.opts["maxSize"]
        if self.rng.random() < 0.15:
            special = [k * BLOCK + d for k in range(1, hi // BLOCK + 1) for d in (-1, 0, 1)]
            special = [s for s in special if KIB <= s <= hi]
            if special:
                return self.rng.choice(special)
        return int(math.exp(self.rng.uniform(math.log(KIB), math.log(hi))))

    def wrong(self, text):
        self.stats.wrong.append("w%d: %s" % (self.wid, text))

    def checked(self):
        return [n for n, e in self.files.items() if not e.tainted]

    def live_bytes(self):
        return sum(max(s for _, s in e.cands) if e.cands else 0 for e in self.files.values())

    def probe(self, name):
        """True or False when the name is known to exist or not, None when unknown."""
        for _ in range(3):
            try:
                os.stat(self.path(name))
                return True
            except FileNotFoundError:
                return False
            except OSError:
                time.sleep(0.5)
        return None

    # -- writing ------------------------------------------------------------
    def write_file(self, name, seed, size, source=None, replace=False):
        """Creates `name` (or with `replace` truncates the existing file) with
        the content of `seed`; with `source` (a name holding that content) the
        bytes are copied from the drive and checked on the way. Raises
        OSError; wrong source bytes are recorded."""
        flags = os.O_WRONLY | (os.O_TRUNC if replace else os.O_CREAT | os.O_EXCL)
        fd = os.open(self.path(name), flags, 0o644)
        src = None
        try:
            if source is not None:
                src = os.open(self.path(source), os.O_RDONLY)
            step = self.rng.choice(WRITE_SIZES)
            off = 0
            while off < size:
                n = min(step, size - off)
                want = self.content.expected(seed, off, n)
                if src is not None:
                    data = os.pread(src, n, off)
                    if data != want:
                        self.wrong("copy source %s: %d bytes at %d differ (got %d)"
                                   % (source, n, off, len(data)))
                        raise OSError(errno.EIO, "copy source differs")
                    self.stats.bytes_verified += n
                view = memoryview(want)
                while view:
                    w = os.pwrite(fd, view, off)
                    off += w
                    view = view[w:]
            if self.rng.random() < 0.2:
                os.fsync(fd)
        finally:
            if src is not None:
                try:
                    os.close(src)
                except OSError:
                    pass
            # close(2) carries the commit: its failure is the write's failure.
            os.close(fd)

    def after_failed_write(self, name):
        try:
            os.unlink(self.path(name))
            self.stats.failed_writes_removed += 1
            self.files.pop(name, None)
        except FileNotFoundError:
            self.stats.failed_writes_removed += 1
            self.files.pop(name, None)
        except OSError as e:
            # Counted apart: a fault may hit the removal too.
            self.stats.error("cleanup", e)
            self.stats.failed_writes_left += 1
            self.files[name] = Entry([], maybe_absent=True, tainted=True)

    def create(self, name, seed, size):
        """Writes a new file and records it; False when the write failed."""
        try:
            self.write_file(name, seed, size)
        except OSError as e:
            self.stats.op("create", False)
            self.stats.error("create", e)
            self.after_failed_write(name)
            return False
        self.stats.op("create", True)
        self.stats.files_written += 1
        self.stats.bytes_written += size
        self.files[name] = Entry([(seed, size)])
        return True

    def op_create(self):
        self.create(self.new_name(), self.rng.getrandbits(40), self.pick_size())

    def op_copy(self):
        names = [n for n in self.checked() if len(self.files[n].cands) == 1
                 and not self.files[n].maybe_absent]
        if not names:
            return self.op_create()
        src = self.rng.choice(names)
        seed, size = self.files[src].cands[0]
        name = self.new_name()
        try:
            self.write_file(name, seed, size, source=src)
        except OSError as e:
            self.stats.op("copy", False)
            self.stats.error("copy", e)
            self.after_failed_write(name)
            return
        self.stats.op("copy", True)
        self.stats.files_written += 1
        self.stats.bytes_written += size
        self.files[name] = Entry([(seed, size)])

    def op_overwrite(self):
        """Replaces the content of an existing file, as cp onto it does."""
        names = [n for n in self.checked() if not self.files[n].maybe_absent]
        if not names:
            return self.op_create()
        name = self.rng.choice(names)
        seed = self.rng.getrandbits(40)
        size = self.pick_size()
        try:
            self.write_file(name, seed, size, replace=True)
        except OSError as e:
            self.stats.op("overwrite", False)
            self.stats.error("overwrite", e)
            self.after_failed_write(name)
            return
        self.stats.op("overwrite", True)
        self.stats.files_written += 1
        self.stats.bytes_written += size
        self.files[name] = Entry([(seed, size)])

    # -- reading ------------------------------------------------------------
    def verify(self, name, kind="verify"):
        """Reads the whole file and compares it with every candidate content.
        Returns True when it matched, False on a clean error or wrong data."""
        e = self.files[name]
        try:
            fd = os.open(self.path(name), os.O_RDONLY)
        except FileNotFoundError as err:
            if e.maybe_absent:
                self.files.pop(name)
                self.stats.op(kind, True)
                return True
            self.stats.op(kind, False)
            self.wrong("%s: file lost (%s)" % (name, err))
            self.files.pop(name)
            return False
        except OSError as err:
            self.stats.op(kind, False)
            self.stats.error(kind, err)
            return False
        try:
            try:
                os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
                size = os.fstat(fd).st_size
                cands = [c for c in e.cands if c[1] == size]
                if not cands:
                    self.stats.op(kind, False)
                    self.wrong("%s: size %d, expected %s" % (name, size, [c[1] for c in e.cands]))
                    return False
                step = self.rng.choice(READ_SIZES)
                off = 0
                while True:
                    data = os.read(fd, step)
                    if not data:
                        break
                    if off + len(data) > size:
                        self.stats.op(kind, False)
                        self.wrong("%s: more than %d bytes read" % (name, size))
                        return False
                    cands = [c for c in cands
                             if self.content.expected(c[0], off, len(data)) == data]
                    if not cands:
                        self.stats.op(kind, False)
                        self.wrong("%s: %d bytes at offset %d differ" % (name, len(data), off))
                        return False
                    off += len(data)
                if off != size:
                    self.stats.op(kind, False)
                    self.wrong("%s: ended at %d of %d bytes" % (name, off, size))
                    return False
            finally:
                os.close(fd)
        except OSError as err:
            self.stats.op(kind, False)
            self.stats.error(kind, err)
            return False
        self.stats.op(kind, True)
        self.stats.files_verified += 1
        self.stats.bytes_verified += size
        self.files[name] = Entry(cands[:1] if len(cands) == 1 else cands)
        return True

    def op_verify(self):
        names = self.checked()
        if not names:
            return self.op_create()
        self.verify(self.rng.choice(names))

    def op_range(self):
        names = [n for n in self.checked() if len(self.files[n].cands) == 1
                 and not self.files[n].maybe_absent]
        if not names:
            return self.op_create()
        name = self.rng.choice(names)
        seed, size = self.files[name].cands[0]
        try:
            fd = os.open(self.path(name), os.O_RDONLY)
        except FileNotFoundError:
            self.stats.op("range", False)
            self.wrong("%s: file lost" % name)
            self.files.pop(name)
            return
        except OSError as err:
            self.stats.op("range", False)
            self.stats.error("range", err)
            return
        try:
            try:
                for _ in range(8):
                    if size > BLOCK and self.rng.random() < 0.6:
                        # Across a block boundary.
                        edge = self.rng.randrange(1, size // BLOCK + 1) * BLOCK
                        off = max(0, edge - self.rng.randrange(1, 70000))
                    else:
                        off = self.rng.randrange(0, size)
                    n = self.rng.choice([1, 4095, PAGE, 65537, 200000])
                    data = os.pread(fd, n, off)
                    want = self.content.expected(seed, off, min(n, size - off))
                    if data != want:
                        self.stats.op("range", False)
                        self.wrong("%s: range %d+%d differs (got %d bytes)" % (name, off, n, len(data)))
                        return
                    self.stats.bytes_verified += len(data)
                    self.stats.ranges_verified += 1
            finally:
                os.close(fd)
        except OSError as err:
            self.stats.op("range", False)
            self.stats.error("range", err)
            return
        self.stats.op("range", True)

    # -- namespace ----------------------------------------------------------
    def op_rename(self):
        names = self.checked()
        if not names:
            return self.op_create()
        src = self.rng.choice(names)
        others = [n for n in names if n != src]
        replace = others and self.rng.random() < 0.3
        dst = self.rng.choice(others) if replace else self.new_name()
        try:
            os.rename(self.path(src), self.path(dst))
        except OSError as err:
            self.stats.op("rename", False)
            self.stats.error("rename", err)
            self.after_failed_rename(src, dst, replace)
            return
        self.stats.op("rename", True)
        self.files[dst] = self.files.pop(src)
        for n in (src,):
            try:
                os.stat(self.path(n))
                self.wrong("%s: still present after its rename to %s" % (n, dst))
            except FileNotFoundError:
                pass
            except OSError:
                pass

    def after_failed_rename(self, src, dst, replace):
        s, d = self.probe(src), self.probe(dst)
        se, de = self.files[src], self.files.get(dst)
        if s is True and (d is False or (d is True and replace)):
            return  # nothing happened
        if s is False and d is True:
            self.files[dst] = self.files.pop(src)
            return
        if s is False and d is False:
            if se.maybe_absent:
                self.files.pop(src)
                return
            self.wrong("%s: lost by a failed rename to %s" % (src, dst))
            self.files.pop(src)
            return
        # Unknown: keep both states possible.
        both = se.cands + (de.cands if de else [])
        self.files[src] = Entry(se.cands, True, se.tainted)
        self.files[dst] = Entry(both, True, se.tainted or (de.tainted if de else False))

    def op_delete(self):
        names = list(self.files)
        if not names:
            return self.op_create()
        # Tainted names (failed writes) go first.
        tainted = [n for n in names if self.files[n].tainted]
        name = tainted[0] if tainted else self.rng.choice(names)
        try:
            os.unlink(self.path(name))
        except FileNotFoundError:
            e = self.files.pop(name)
            if e.maybe_absent:
                self.stats.op("delete", True)
            else:
                self.stats.op("delete", False)
                self.wrong("%s: missing at delete" % name)
            return
        except OSError as err:
            self.stats.op("delete", False)
            self.stats.error("delete", err)
            p = self.probe(name)
            if p is False:
                self.files.pop(name)
            elif p is None:
                self.files[name].maybe_absent = True
            return
        self.stats.op("delete", True)
        self.files.pop(name)
        try:
            os.stat(self.path(name))
            self.wrong("%s: still present after delete" % name)
        except OSError:
            pass

    def op_list(self, kind="list"):
        try:
            present = set(os.listdir(self.folder))
        except OSError as err:
            self.stats.op(kind, False)
            self.stats.error(kind, err)
            return
        sure = {n for n, e in self.files.items() if not e.maybe_absent}
        missing = sure - present
        extra = present - set(self.files)
        for n in sorted(missing):
            self.wrong("%s: missing from the listing" % n)
        for n in sorted(extra):
            self.wrong("%s: listed but never created or already deleted" % n)
        self.stats.op(kind, not missing and not extra)

    # -- loop -----------------------------------------------------------------
    def step(self):
        too_many = len(self.files) >= self.opts["maxFiles"] or \
            self.live_bytes() >= self.opts["maxLiveBytes"]
        if too_many:
            kind = "delete"
        else:
            kinds, weights = zip(*OP_WEIGHTS)
            kind = self.rng.choices(kinds, weights)[0]
        getattr(self, "op_" + kind)()

    def run(self, deadline, control):
        while time.time() < deadline:
            if wait_while_paused(self.wid, control, deadline):
                # The block cache was just emptied: read something back from the service.
                names = self.checked()
                if names:
                    self.verify(self.rng.choice(names))
                continue
            self.step()


def wait_while_paused(wid, control, deadline):
    """Honours the parent's pause (the block cache is being emptied)."""
    pause = os.path.join(control, "pause")
    if not os.path.exists(pause):
        return False
    paused = os.path.join(control, "paused-%d" % wid)
    open(paused, "w").close()
    while os.path.exists(pause) and time.time() < deadline:
        time.sleep(0.1)
    os.unlink(paused)
    return True


UNLINK_PREFIX = "u"   # final names: u<counter>-<seed>-<size>.bin
UNLINK_KEEP = 2       # the deleter deletes the oldest file beyond these


def unlink_name_info(name):
    """(counter, seed, size) of a final name of the deleter, or None."""
    if not name.startswith(UNLINK_PREFIX) or not name.endswith(".bin"):
        return None
    parts = name[len(UNLINK_PREFIX):-4].split("-")
    if len(parts) != 3 or not all(p.isdigit() for p in parts):
        return None
    return tuple(int(p) for p in parts)


class Deleter(Worker):
    """Creates files and deletes them shortly after, so that the reader has
    files deleted under it."""

    def run(self, deadline, control):
        queue = []  # final names, oldest first
        max_size = min(self.opts["maxSize"], 2 * BLOCK + MIB)
        while time.time() < deadline:
            if wait_while_paused(self.wid, control, deadline):
                continue
            self.counter += 1
            seed = self.rng.getrandbits(40)
            size = int(math.exp(self.rng.uniform(math.log(64 * KIB), math.log(max_size))))
            tmp = "tmp-%05d.bin" % self.counter
            final = "%s%05d-%d-%d.bin" % (UNLINK_PREFIX, self.counter, seed, size)
            if not self.create(tmp, seed, size):
                continue
            try:
                os.rename(self.path(tmp), self.path(final))
            except OSError as err:
                self.stats.op("rename", False)
                self.stats.error("rename", err)
                self.after_failed_rename(tmp, final, False)
            else:
                self.stats.op("rename", True)
                self.files[final] = self.files.pop(tmp)
            if final in self.files:
                queue.append(final)
            while len(queue) > UNLINK_KEEP:
                self.delete(queue.pop(0))
        for name in queue:
            self.delete(name)

    def delete(self, name):
        try:
            os.unlink(self.path(name))
        except FileNotFoundError:
            e = self.files.pop(name)
            self.stats.op("delete", e.maybe_absent)
            if not e.maybe_absent:
                self.wrong("%s: missing at delete" % name)
            return
        except OSError as err:
            self.stats.op("delete", False)
            self.stats.error("delete", err)
            p = self.probe(name)
            if p is False:
                self.files.pop(name)
            else:
                self.files[name].maybe_absent = True
            return
        self.stats.op("delete", True)
        self.files.pop(name)


class Reader(Worker):
    """Reads the deleter's files through, in small steps, while they are
    deleted. Keeps no files of its own."""

    def run(self, deadline, control):
        while time.time() < deadline:
            if wait_while_paused(self.wid, control, deadline):
                continue
            try:
                names = [n for n in os.listdir(self.folder) if unlink_name_info(n)]
            except OSError as err:
                self.stats.op("reader-list", False)
                self.stats.error("reader-list", err)
                continue
            if not names:
                time.sleep(0.05)  # pacing only: the deleter has not renamed a file yet
                continue
            # Mostly the oldest file, the deleter's next victim; sometimes the
            # newest, which may be deleted only after a few reads.
            order = sorted(names, key=lambda n: unlink_name_info(n)[0])
            self.read_through(order[0] if self.rng.random() < 0.7 else order[-1])

    def read_through(self, name):
        _, seed, size = unlink_name_info(name)
        try:
            fd = os.open(self.path(name), os.O_RDONLY)
        except FileNotFoundError:
            self.stats.op("reader-gone-at-open", True)
            return
        except OSError as err:
            self.stats.op("reader-open", False)
            self.stats.error("reader-open", err)
            return
        deleted_meanwhile = False
        try:
            try:
                os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
                step = self.rng.choice([PAGE, 64 * KIB, 128 * KIB])
                off = 0
                while True:
                    data = os.pread(fd, step, off)
                    if not data:
                        break
                    if off + len(data) > size or \
                            data != self.content.expected(seed, off, len(data)):
                        self.stats.op("reader-read", False)
                        self.wrong("%s: %d bytes at %d differ" % (name, len(data), off))
                        return
                    off += len(data)
                    if not deleted_meanwhile and not os.path.exists(self.path(name)):
                        deleted_meanwhile = True
                if os.fstat(fd).st_size != size or off != size:
                    self.stats.op("reader-read", False)
                    self.wrong("%s: %d of %d bytes read, fstat %d"
                               % (name, off, size, os.fstat(fd).st_size))
                    return
            finally:
                os.close(fd)
        except OSError as err:
            self.stats.op("reader-read", False)
            self.stats.error("reader-read", err)
            return
        self.stats.op("reader-read-deleted" if deleted_meanwhile else "reader-read", True)
        self.stats.files_verified += 1
        self.stats.bytes_verified += size


def unlink_pair_main(cls, wid, folder, opts, out_path, control):
    content = Content(opts["seed"])
    w = cls(wid, folder, opts, content)
    try:
        w.run(opts["deadline"], control)
    except Exception as e:  # a bug of the load itself: report, never hide
        w.stats.wrong.append("w%d: load generator failed: %r" % (wid, e))
    with open(out_path, "w") as f:
        json.dump({"wid": wid, "folder": folder, "stats": w.stats.to_json(),
                   "files": {n: e.to_json() for n, e in w.files.items()},
                   "noCheck": cls is Reader}, f)


def worker_main(wid, folder, opts, out_path, control):
    # Bounded: the parent kills a worker that outlives the run and the grace.
    content = Content(opts["seed"])
    w = Worker(wid, folder, opts, content)
    try:
        w.run(opts["deadline"], control)
    except Exception as e:  # a bug of the load itself: report, never hide
        w.stats.wrong.append("w%d: load generator failed: %r" % (wid, e))
    with open(out_path, "w") as f:
        json.dump({"wid": wid, "folder": folder, "stats": w.stats.to_json(),
                   "files": {n: e.to_json() for n, e in w.files.items()}}, f)


# -- faults ---------------------------------------------------------------------
class Admin:
    def __init__(self, url, token, ca):
        self.url = url.rstrip("/") + "/admin/"
        self.token = token
        self.ctx = ssl.create_default_context(cafile=ca)
        self.probes = 0

    def post(self, what, body):
        req = urllib.request.Request(self.url + what, data=json.dumps(body).encode(),
                                     headers={"X-Admin-Token": self.token,
                                              "Content-Type": "application/json"})
        with urllib.request.urlopen(req, timeout=10, context=self.ctx) as r:
            return json.loads(r.read().decode())

    def pending(self):
        """Fault entries still queued. Asks by adding a fault that never matches."""
        j = self.post("fault", {"kind": "delay", "ms": 1, "method": "reliabilityProbe"})
        self.probes += 1
        return int(j["pending"]) - self.probes


def fault_plan():
    """(fraction of the run, fault body or "clear-cache") in order. The block
    cache is emptied before the download faults so that reads go to the
    service; the first download after it gets the corrupted block."""
    return [
        (0.08, {"kind": "http500", "count": 3}),
        (0.18, {"kind": "drop", "count": 2}),
        (0.28, {"kind": "http500", "count": 3, "method": "uploadBlock"}),
        (0.36, {"kind": "drop", "count": 1, "method": "uploadFile"}),
        (0.45, "clear-cache"),  # then the corrupted block
        (0.46, {"kind": "corruptBlock", "count": 1}),
        (0.60, "clear-cache"),
        (0.61, {"kind": "drop", "count": 2, "method": "downloadBlock"}),
        (0.74, {"kind": "http500", "count": 2, "method": "pretestDownloadFile"}),
        (0.82, {"kind": "drop", "count": 1, "method": "uploadBlock"}),
        (0.90, {"kind": "http500", "count": 3, "method": "uploadFile"}),
    ]


def clear_block_cache(block_dir):
    n = 0
    for name in os.listdir(block_dir):
        try:
            os.unlink(os.path.join(block_dir, name))
            n += 1
        except OSError:
            pass
    return n


def run_faults(args, start, duration, control, procs, alive):
    """Injects the plan's faults one at a time: a fault still queued when the
    next one is due is dropped (admin/reset) and reported as not used."""
    admin = Admin(args.admin_url, open(args.admin_token_file).read().strip(), args.ca)
    events = []
    current = None  # the event whose fault is queued

    def settle():
        nonlocal current
        if current is not None and admin.pending() == 0:
            current["usedAfter"] = round(time.time() - start - current["t"], 1)
            current = None

    def drop_unused():
        nonlocal current
        settle()
        if current is not None:
            admin.post("reset", {})
            admin.probes = 0
            current["usedAfter"] = None
            current = None

    for frac, what in fault_plan():
        at = start + frac * duration
        while time.time() < at and alive():
            time.sleep(0.2)
            settle()
        if not alive():
            break
        drop_unused()
        t = round(time.time() - start, 1)
        if what == "clear-cache":
            open(os.path.join(control, "pause"), "w").close()
            limit = time.time() + 300

            def all_paused():
                return all(os.path.exists(os.path.join(control, "paused-%d" % i))
                           for i in range(procs))
            while time.time() < limit and alive() and not all_paused():
                time.sleep(0.1)
            paused = all_paused()
            # Only with every worker idle: a sealed block waiting for its
            # upload must not be removed under the library.
            n = clear_block_cache(args.block_dir) if paused else 0
            os.unlink(os.path.join(control, "pause"))
            events.append({"t": t, "fault": "block cache emptied (%d files)" % n
                           if paused else "block cache NOT emptied: workers did not pause"})
            continue
        admin.post("fault", what)
        current = {"t": t, "fault": what}
        events.append(current)
    while time.time() < start + duration and alive() and current is not None:
        time.sleep(0.2)
        settle()
    drop_unused()
    admin.post("reset", {})
    return events


def cmd_run(args):
    opts = {"seed": args.seed, "phaseIndex": args.phase_index, "maxSize": args.max_size,
            "maxFiles": args.max_files, "maxLiveBytes": args.max_live_bytes}
    control = os.path.join(args.work, "control-" + args.phase)
    shutil.rmtree(control, ignore_errors=True)
    os.makedirs(control)
    folders = []
    for i in range(args.procs):
        folder = os.path.join(args.root, "%s-w%d" % (args.phase, i))
        os.makedirs(folder)
        folders.append(folder)
    start = time.time()
    opts["deadline"] = start + args.duration
    ctx = mp.get_context("fork")
    workers = []
    outs = []
    for i, folder in enumerate(folders):
        out = os.path.join(control, "worker-%d.json" % i)
        outs.append(out)
        p = ctx.Process(target=worker_main, args=(i, folder, opts, out, control))
        p.start()
        workers.append(p)
    # The deleter and the reader share a folder.
    unlink_folder = os.path.join(args.root, "%s-unlink" % args.phase)
    os.makedirs(unlink_folder)
    for k, cls in enumerate((Deleter, Reader)):
        wid = args.procs + k
        out = os.path.join(control, "worker-%d.json" % wid)
        outs.append(out)
        folders.append(unlink_folder)
        p = ctx.Process(target=unlink_pair_main, args=(cls, wid, unlink_folder, opts, out, control))
        p.start()
        workers.append(p)
    events = []
    if args.admin_url:
        events = run_faults(args, start, args.duration, control, len(workers),
                            lambda: any(p.is_alive() for p in workers))
    hung = []
    for i, p in enumerate(workers):
        p.join(max(1.0, start + args.duration + args.grace - time.time()))
        if p.is_alive():
            hung.append(i)
            p.kill()
            p.join(5)
    elapsed = time.time() - start
    result = {"phase": args.phase, "kind": "load", "procs": "%d + 2" % args.procs,
              "duration": args.duration,
              "elapsed": round(elapsed, 1), "maxSize": args.max_size, "seed": args.seed,
              "faults": args.admin_url is not None, "faultEvents": events,
              "hungWorkers": hung, "workers": []}
    for i, out in enumerate(outs):
        if os.path.exists(out):
            with open(out) as f:
                result["workers"].append(json.load(f))
        else:
            result["workers"].append({"wid": i, "folder": folders[i], "missing": True})
    with open(args.out, "w") as f:
        json.dump(result, f, indent=1)
    print(summary_line(result))


def check_main(w_json, opts, out_path):
    content = Content(opts["seed"])
    files = {n: Entry.from_json(e) for n, e in w_json["files"].items()}
    w = Worker(w_json["wid"], w_json["folder"], opts, content, files)
    w.op_list("check-list")
    for name in sorted(files):
        if name in w.files and not w.files[name].tainted:
            w.verify(name, "check-verify")
    with open(out_path, "w") as f:
        json.dump({"wid": w.wid, "folder": w.folder, "stats": w.stats.to_json(),
                   "files": {n: e.to_json() for n, e in w.files.items()}}, f)


def cmd_check(args):
    with open(args.load) as f:
        load = json.load(f)
    opts = {"seed": load["seed"], "phaseIndex": 9, "maxSize": load["maxSize"]}
    ctx = mp.get_context("fork")
    start = time.time()
    procs, outs = [], []
    for w in load["workers"]:
        if w.get("missing") or w.get("noCheck"):
            continue
        out = args.out + ".w%d" % w["wid"]
        outs.append(out)
        p = ctx.Process(target=check_main, args=(w, opts, out))
        p.start()
        procs.append(p)
    hung = []
    for i, p in enumerate(procs):
        p.join(max(1.0, start + args.timeout - time.time()))
        if p.is_alive():
            hung.append(i)
            p.kill()
            p.join(5)
    result = {"phase": load["phase"], "kind": "check", "elapsed": round(time.time() - start, 1),
              "faults": False, "faultEvents": [], "hungWorkers": hung, "workers": []}
    for out in outs:
        if os.path.exists(out):
            with open(out) as f:
                result["workers"].append(json.load(f))
            os.unlink(out)
    with open(args.out, "w") as f:
        json.dump(result, f, indent=1)
    print(summary_line(result))


# -- report ---------------------------------------------------------------------
def totals(result):
    t = Stats()
    for w in result["workers"]:
        s = w.get("stats")
        if not s:
            t.wrong.append("w%s: no result (crashed)" % w["wid"])
            continue
        for k, d in s["ops"].items():
            for r in ("ok", "failed"):
                t.ops.setdefault(k, {"ok": 0, "failed": 0})[r] += d[r]
        for k, n in s["errors"].items():
            t.errors[k] = t.errors.get(k, 0) + n
        t.wrong += s["wrong"]
        t.files_written += s["filesWritten"]
        t.bytes_written += s["bytesWritten"]
        t.files_verified += s["filesVerified"]
        t.bytes_verified += s["bytesVerified"]
        t.ranges_verified += s["rangesVerified"]
        t.failed_writes_removed += s["failedWritesRemoved"]
        t.failed_writes_left += s["failedWritesLeft"]
    for i in result["hungWorkers"]:
        t.wrong.append("w%d: hung (killed after the grace time)" % i)
    return t


def summary_line(result):
    t = totals(result)
    return ("%s %s: %d files / %.1f MiB written, %d files / %.1f MiB verified, %d errors, %d wrong"
            % (result["phase"], result["kind"], t.files_written, t.bytes_written / MIB,
               t.files_verified, t.bytes_verified / MIB, sum(t.errors.values()), len(t.wrong)))


def verdict(result, strict):
    """Problems that fail the run: wrong data, lost files and hangs always;
    errors too when the phase allows none."""
    t = totals(result)
    problems = list(t.wrong)
    if strict and t.errors:
        problems.append("%s %s: errors where none are allowed: %s"
                        % (result["phase"], result["kind"], t.errors))
    return problems


def cmd_report(args):
    results = []
    for result in args.results:
        path, strict = result.rsplit(":", 1)
        with open(path) as f:
            results.append((json.load(f), strict == "strict"))
    problems = list(args.problem or [])
    lines = ["# Drive reliability under concurrent load", ""]
    lines += [
        "Worker processes, each in a folder of its own under `Home/`, create files "
        "(sizes log-uniform between 1 KiB and the maximum, 15 % exact multiples of "
        "8 MiB or one byte off them), copy files within the drive, read files back "
        "and compare every byte, read ranges across block boundaries, rename (30 % "
        "onto an existing name), delete and list, for a fixed time, with a fixed "
        "seed. Content comes from a seeded generator (seed and offset stamped into "
        "every 4 KiB page). After each load phase the drive is unmounted and mounted "
        "again with an empty block cache, and every file the load left is read back "
        "from the service and compared (the \"check\" rows). Beside them a deleter "
        "process creates files and deletes each soon after, while a reader process "
        "reads them through in small steps (mostly the oldest, the next to be deleted): its reads must return the "
        "file's bytes even when the file is deleted during the read (counted as "
        "reader-read-deleted); without faults the only allowed failure is ENOENT at "
        "open (reader-gone-at-open).", ""]
    lines += ["| phase | run | procs | seconds | files written | MiB written | files verified "
              "| MiB verified | ranges verified | errors | wrong |",
              "|---|---|---|---|---|---|---|---|---|---|---|"]
    for r, strict in results:
        t = totals(r)
        lines.append("| %s | %s | %s | %.1f | %d | %.1f | %d | %.1f | %d | %d | %d |" % (
            r["phase"], r["kind"] + (" with faults" if r["faults"] else ""),
            r.get("procs", len(r["workers"])), r["elapsed"], t.files_written,
            t.bytes_written / MIB, t.files_verified, t.bytes_verified / MIB,
            t.ranges_verified, sum(t.errors.values()), len(t.wrong)))
        problems += verdict(r, strict)
    lines.append("")
    for r, strict in results:
        t = totals(r)
        lines.append("## %s, %s%s" % (r["phase"], r["kind"], " (faults injected)" if r["faults"] else ""))
        lines.append("")
        if r["kind"] == "load":
            lines.append("Maximum file size %d bytes; %s." % (
                r["maxSize"], "errors allowed (clean errno), wrong data never" if not strict
                else "no error allowed"))
            lines.append("")
        lines.append("Operations (ok / failed): " + ", ".join(
            "%s %d/%d" % (k, d["ok"], d["failed"]) for k, d in sorted(t.ops.items())))
        lines.append("")
        lines.append("Errors by kind: " + (", ".join(
            "%s x%d" % (k, n) for k, n in sorted(t.errors.items())) if t.errors else "none"))
        if t.failed_writes_removed or t.failed_writes_left:
            lines.append("")
            lines.append("Files whose write failed: %d removed, %d left behind unverified." % (
                t.failed_writes_removed, t.failed_writes_left))
        lines.append("")
        lines.append("Wrong data, lost files, hangs: " + ("; ".join(t.wrong) if t.wrong else "none"))
        if r["faultEvents"]:
            lines.append("")
            lines.append("| at s | fault | used after s |")
            lines.append("|---|---|---|")
            for ev in r["faultEvents"]:
                used = ev.get("usedAfter", "")
                lines.append("| %s | %s | %s |" % (
                    ev["t"], json.dumps(ev["fault"]) if isinstance(ev["fault"], dict) else ev["fault"],
                    "not (fully) used" if used is None else used))
        lines.append("")
    for extra in args.note or []:
        lines.append(extra)
        lines.append("")
    lines.append("Result: " + ("PASS" if not problems else "FAIL"))
    for p in problems:
        lines.append("- " + p)
    lines.append("")
    with open(args.out, "w") as f:
        f.write("\n".join(lines))
    for p in problems:
        print("problem: " + p, file=sys.stderr)
    return 1 if problems else 0


def size_arg(text):
    t = text.strip().lower()
    mult = 1
    for suffix, m in (("k", KIB), ("m", MIB)):
        if t.endswith(suffix):
            t, mult = t[:-1], m
    v = int(t) * mult
    if v < KIB:
        raise argparse.ArgumentTypeError("sizes start at 1k")
    return v


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = ap.add_subparsers(dest="cmd", required=True)
    r = sub.add_parser("run")
    r.add_argument("--root", required=True, help="folder on the drive for the workers' folders")
    r.add_argument("--work", required=True, help="local directory for control and result files")
    r.add_argument("--phase", required=True)
    r.add_argument("--phase-index", type=int, default=0)
    r.add_argument("--procs", type=int, default=4)
    r.add_argument("--duration", type=float, default=120)
    r.add_argument("--grace", type=float, default=240,
                   help="seconds after the end before a worker counts as hung")
    r.add_argument("--seed", type=int, default=20240808)
    r.add_argument("--max-size", type=size_arg, default=64 * MIB)
    r.add_argument("--max-files", type=int, default=8)
    r.add_argument("--max-live-bytes", type=size_arg, default=192 * MIB)
    r.add_argument("--admin-url", help="inject faults through this service")
    r.add_argument("--admin-token-file")
    r.add_argument("--ca")
    r.add_argument("--block-dir", help="the library's block directory, emptied once")
    r.add_argument("--out", required=True)
    c = sub.add_parser("check")
    c.add_argument("--load", required=True, help="result of a run")
    c.add_argument("--timeout", type=float, default=300)
    c.add_argument("--out", required=True)
    p = sub.add_parser("report")
    p.add_argument("--out", required=True)
    p.add_argument("--note", action="append")
    p.add_argument("--problem", action="append", help="a failure seen outside the load")
    p.add_argument("results", nargs="+", help="RESULT.json:strict or RESULT.json:lenient")
    args = ap.parse_args()
    if args.cmd == "run":
        if args.admin_url and not (args.admin_token_file and args.ca and args.block_dir):
            ap.error("--admin-url needs --admin-token-file, --ca and --block-dir")
        if args.max_size < KIB:
            ap.error("--max-size must be at least 1k")
        return cmd_run(args) or 0
    if args.cmd == "check":
        return cmd_check(args) or 0
    return cmd_report(args)


if __name__ == "__main__":
    sys.exit(main())

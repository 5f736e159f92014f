"""Large files rewritten in place, and descriptors held across service
restarts (see load.py).

The rewriter writes files larger than the block cache and rewrites their
first bytes and a few bytes in the middle: once through the descriptor that
wrote the file, before its close (as a program that writes a header last),
then through a new descriptor; it reads every version back. A file's content
is its seed's bytes with the patches laid over them in order, each patch the
bytes of a seed of its own at the same offsets.

The held reader writes a few files at its start, keeps descriptors open on
them and reads ranges through those for the whole run, also after the
service restarted and the block cache was emptied, when every read needs
the service again.
"""

import errno
import os
import time

from model import BLOCK, KIB, MIB, PAGE
from workers import Worker, pause_requested, wait_while_paused

REWRITE_KEEP = 2  # files the rewriter keeps; the oldest beyond goes


class Rewriter(Worker):
    def __init__(self, wid, folder, opts, content, rewrites=None):
        super().__init__(wid, folder, opts, content)
        self.rw = rewrites if rewrites is not None else {}  # name -> {seed, size, patches}

    def expected(self, m, off, n):
        out = bytearray(self.content.expected(m["seed"], off, n))
        for pseed, poff, pn in m["patches"]:
            a, b = max(off, poff), min(off + n, poff + pn)
            if a < b:
                out[a - off:b - off] = self.content.expected(pseed, a, b - a)
        return bytes(out)

    def pick_patches(self, size):
        """The header, and a few short runs elsewhere (half of them across a
        block boundary)."""
        out = [[self.rng.getrandbits(40), 0, min(size, self.rng.choice([16, 512, PAGE, 64 * KIB + 3]))]]
        for _ in range(self.rng.randrange(2, 4)):
            if size > BLOCK and self.rng.random() < 0.5:
                off = self.rng.randrange(1, size // BLOCK + 1) * BLOCK - self.rng.randrange(1, 3000)
            else:
                off = self.rng.randrange(size // 4, size)
            off = max(0, min(off, size - 1))
            out.append([self.rng.getrandbits(40), off, min(size - off, self.rng.randrange(1, 8 * KIB))])
        return out

    def apply(self, fd, m, patches):
        """Writes the patches; on a failure self.failed is the range of the
        write that failed (its bytes are unknown)."""
        for p in patches:
            _, off, n = p
            self.failed = (off, n)
            m["patches"].append(p)
            data = self.expected(m, off, n)
            if os.pwrite(fd, data, off) != n:
                raise OSError(errno.EIO, "short write of a patch")
            self.stats.bytes_written += n
        self.failed = None

    def pick_size(self):
        lo = self.opts["cacheLimit"] + 1
        hi = max(lo, self.opts["maxSize"])
        if self.rng.random() < 0.3 and hi // BLOCK * BLOCK >= lo:
            return self.rng.randrange(max(1, lo // BLOCK), hi // BLOCK + 1) * BLOCK
        return self.rng.randrange(lo, hi + 1)

    def create_rewritten(self):
        name = self.new_name()
        m = {"seed": self.rng.getrandbits(40), "size": self.pick_size(), "patches": []}
        self.closed_clean, self.failed, self.written = False, None, 0
        try:
            fd = os.open(self.path(name), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
            try:
                for off in range(0, m["size"], MIB):
                    n = min(MIB, m["size"] - off)
                    self.failed = (off, n)
                    if os.pwrite(fd, self.content.expected(m["seed"], off, n), off) != n:
                        raise OSError(errno.EIO, "short write")
                    self.written = off + n
                self.stats.bytes_written += m["size"]
                self.apply(fd, m, self.pick_patches(m["size"]))  # before the close
            finally:
                os.close(fd)
                self.closed_clean = True
        except OSError as e:
            self.stats.op("rewrite-create", False)
            self.stats.error("rewrite-create", e)
            self.drop(name, m)
            return None
        self.stats.op("rewrite-create", True)
        self.stats.files_written += 1
        self.rw[name] = m
        return name

    def rewrite(self, name):
        """Rewrites the header and a few bytes through a new descriptor."""
        m = self.rw[name]
        self.closed_clean, self.failed, self.written = False, None, m["size"]
        try:
            fd = os.open(self.path(name), os.O_RDWR)
            try:
                self.apply(fd, m, self.pick_patches(m["size"]))
                if self.rng.random() < 0.3:
                    os.fsync(fd)
            finally:
                os.close(fd)
                self.closed_clean = True
        except OSError as e:
            self.stats.op("rewrite", False)
            self.stats.error("rewrite", e)
            self.drop(name, m)
            return False
        self.stats.op("rewrite", True)
        return True

    def drop(self, name, m):
        """A file whose write failed: when the close succeeded, what the
        writes that returned wrote must be there; then it is removed."""
        self.rw.pop(name, None)
        if self.closed_clean and self.written:
            self.check_kept(name, self.written, lambda off, n: self.expected(m, off, n), self.failed)
        self.after_failed_write(name)

    def verify_rewritten(self, name, kind="rewrite-verify"):
        m = self.rw[name]
        try:
            fd = os.open(self.path(name), os.O_RDONLY)
        except FileNotFoundError:
            self.stats.op(kind, False)
            self.lose("%s: file lost" % name)
            self.rw.pop(name)
            return
        except OSError as e:
            self.stats.op(kind, False)
            self.stats.error(kind, e)
            return
        try:
            try:
                os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
                size = os.fstat(fd).st_size
                if size != m["size"]:
                    self.stats.op(kind, False)
                    self.wrong("%s: size %d, expected %d" % (name, size, m["size"]))
                    return
                for off in range(0, size, MIB):
                    n = min(MIB, size - off)
                    data = os.pread(fd, n, off)
                    want = self.expected(m, off, n)
                    if data != want:
                        first = next((i for i in range(min(len(data), n)) if data[i] != want[i]),
                                     min(len(data), n))
                        self.stats.op(kind, False)
                        self.wrong("%s: wrong bytes from offset %d (read %d of %d at %d)"
                                   % (name, off + first, len(data), n, off))
                        return
            finally:
                os.close(fd)
        except OSError as e:
            self.stats.op(kind, False)
            self.stats.error(kind, e)
            return
        self.stats.op(kind, True)
        self.stats.files_verified += 1
        self.stats.bytes_verified += m["size"]

    def run(self, deadline, control):
        while time.time() < deadline:
            if wait_while_paused(self.wid, control, deadline):
                continue
            if len(self.rw) >= REWRITE_KEEP:
                name = sorted(self.rw)[0]
                try:
                    os.unlink(self.path(name))
                    self.stats.op("delete", True)
                    self.rw.pop(name)
                except OSError as e:
                    self.stats.op("delete", False)
                    self.stats.error("delete", e)
                    if self.probe(name) is False:
                        self.rw.pop(name)
                continue
            if self.rw and self.rng.random() < 0.4:
                name = self.rng.choice(sorted(self.rw))  # an older file, blocks likely evicted
            else:
                name = self.create_rewritten()
                if name is None:
                    continue
                self.verify_rewritten(name)
            if name in self.rw and self.rewrite(name):
                self.verify_rewritten(name)

    def check(self):
        self.op_list_rewritten()
        for name in sorted(self.rw):
            self.verify_rewritten(name, "check-rewrite-verify")

    def op_list_rewritten(self):
        try:
            present = set(os.listdir(self.folder))
        except OSError as e:
            self.stats.op("check-list", False)
            self.stats.error("check-list", e)
            return
        for n in sorted(set(self.rw) - present):
            self.lose("%s: missing from the listing" % n)
        for n in sorted(present - set(self.rw)):
            self.wrong("%s: listed but never created or already deleted" % n)
        self.stats.op("check-list", present == set(self.rw))

    def result(self):
        r = super().result()
        r["rewrites"] = self.rw
        return r


class HeldReader(Worker):
    HELD = 2

    def open_all(self, names):
        fds = {}
        for name in names:
            try:
                fds[name] = os.open(self.path(name), os.O_RDONLY)
            except OSError as e:
                self.stats.op("held-open", False)
                self.stats.error("held-open", e)
        return fds

    def run(self, deadline, control):
        names = []
        while len(names) < self.HELD and time.time() < deadline:
            name = self.new_name()
            if self.create(name, self.rng.getrandbits(40),
                           self.rng.randrange(BLOCK + 1, max(BLOCK + 2, min(self.opts["maxSize"], 3 * BLOCK)))):
                names.append(name)
        fds = self.open_all(names)
        try:
            while time.time() < deadline and fds:
                if pause_requested(control):
                    # New descriptors, not read from before the pause: when the
                    # block cache is emptied meanwhile, their first reads need
                    # the service with what they got at their open.
                    fresh = self.open_all(names)
                    wait_while_paused(self.wid, control, deadline)
                    for fd in fds.values():
                        os.close(fd)
                    fds = fresh
                    continue
                name = self.rng.choice(sorted(fds))
                if self.rng.random() < 0.03:
                    os.close(fds.pop(name))
                    fds.update(self.open_all([name]))
                    if name not in fds:
                        continue
                self.held_read(name, fds[name])
                time.sleep(0.02)  # pacing: a read now and then, the descriptors stay
        finally:
            for fd in fds.values():
                os.close(fd)

    def held_read(self, name, fd):
        seed, size = self.files[name].cands[0]
        edge = self.rng.randrange(1, size // BLOCK + 1) * BLOCK
        off = max(0, min(size - 1, edge - self.rng.randrange(1, 70000)))
        n = self.rng.choice([PAGE, 65537, 300000])
        try:
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            data = os.pread(fd, n, off)
        except OSError as e:
            self.stats.op("held-read", False)
            self.stats.error("held-read", e)
            return
        if data != self.content.expected(seed, off, min(n, size - off)):
            self.stats.op("held-read", False)
            self.wrong("%s: range %d+%d read through a held descriptor differs (got %d bytes)"
                       % (name, off, n, len(data)))
            return
        self.stats.op("held-read", True)
        self.stats.bytes_verified += len(data)
        self.stats.ranges_verified += 1


def make_rewriter(w_json, opts, content):
    """The rewriter of a run's result, for the check."""
    return Rewriter(w_json["wid"], w_json["folder"], opts, content, w_json["rewrites"])


"""The load's workers: each in a folder of its own, they create, copy,
overwrite, read back and compare, rename, delete and list files, keeping a
model of the folder (see load.py)."""

import errno
import json
import math
import os
import random
import time

from model import BLOCK, KIB, MIB, OP_WEIGHTS, PAGE, READ_SIZES, WRITE_SIZES, Content, Entry, Stats


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

    def lose(self, text):
        self.stats.lost.append("w%d: %s" % (self.wid, text))

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
        OSError; wrong source bytes are recorded. Leaves in self.written the
        bytes written by calls that returned, and in self.closed_clean
        whether the close succeeded."""
        self.written, self.closed_clean = 0, False
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
                    self.written = off
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
            self.closed_clean = True

    def check_kept(self, name, size, expected, skip=None):
        """After a failed write whose close succeeded: what the writes that
        returned wrote must be there. Compares `size` bytes from offset 0
        with expected(off, n), except the `skip` range (off, n) of the failed
        write, whose bytes are unknown."""
        kind = "kept-after-failed-write"
        try:
            fd = os.open(self.path(name), os.O_RDONLY)
        except FileNotFoundError:
            self.stats.op(kind, False)
            self.lose("%s: gone after a failed write although the close succeeded (%d bytes "
                      "written by writes that returned)" % (name, size))
            return
        except OSError as e:
            self.stats.op(kind, False)
            self.stats.error(kind, e)
            return
        try:
            for off in range(0, size, MIB):
                n = min(MIB, size - off)
                data = bytearray(os.pread(fd, n, off))
                want = bytearray(expected(off, n))
                if skip:
                    a, b = max(off, skip[0]), min(off + n, skip[0] + skip[1], off + len(data))
                    if a < b:
                        want[a - off:b - off] = data[a - off:b - off]
                if data != want:
                    first = next((i for i in range(min(len(data), n)) if data[i] != want[i]),
                                 min(len(data), n))
                    self.stats.op(kind, False)
                    self.wrong("%s: after a failed write whose close succeeded, wrong bytes from "
                               "offset %d (read %d of %d at %d)" % (name, off + first, len(data), n, off))
                    return
        except OSError as e:
            self.stats.op(kind, False)
            self.stats.error(kind, e)
            return
        finally:
            os.close(fd)
        self.stats.op(kind, True)

    def after_failed_write(self, name, seed=None):
        """Removes a file whose write failed; with `seed`, after checking that
        a clean close kept what the writes that returned had written."""
        if seed is not None and self.closed_clean and self.written:
            self.check_kept(name, self.written, lambda off, n: self.content.expected(seed, off, n))
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
            self.after_failed_write(name, seed)
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
            self.after_failed_write(name, seed)
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
            self.after_failed_write(name, seed)
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
            self.lose("%s: file lost (%s)" % (name, err))
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
            self.lose("%s: file lost" % name)
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
            self.lose("%s: lost by a failed rename to %s" % (src, dst))
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
                self.lose("%s: missing at delete" % name)
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
            self.lose("%s: missing from the listing" % n)
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

    def result(self):
        """What the parent collects: counters, and the model for the check."""
        return {"wid": self.wid, "kind": type(self).__name__, "folder": self.folder,
                "stats": self.stats.to_json(),
                "files": {n: e.to_json() for n, e in self.files.items()}}

    def run(self, deadline, control):
        while time.time() < deadline:
            if wait_while_paused(self.wid, control, deadline):
                # The block cache was just emptied: read something back from the service.
                names = self.checked()
                if names:
                    self.verify(self.rng.choice(names))
                continue
            self.step()


def pause_requested(control):
    return os.path.exists(os.path.join(control, "pause"))


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



def process_main(cls, wid, folder, opts, out_path, control, extra):
    """A process of the load: `cls`(wid, folder, opts, content, *extra) runs
    until the deadline, or for opts["duration"] seconds once it is built; its
    result goes to `out_path`."""
    w = cls(wid, folder, opts, Content(opts["seed"]), *extra)
    deadline = opts.get("deadline") or time.time() + opts["duration"]
    try:
        w.run(deadline, control)
    except Exception as e:  # a bug of the load itself: report, never hide
        w.stats.wrong.append("w%d: load generator failed: %r" % (wid, e))
    with open(out_path, "w") as f:
        json.dump(w.result(), f)


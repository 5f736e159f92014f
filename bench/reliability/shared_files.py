"""Files shared by several processes: appenders and the line reader.

Appenders append whole lines to the same few files (LINE_FILES in the shared
folder), each through descriptors of its own opened with O_APPEND, closing
and reopening them now and then. A line carries the index of its file, its
writer, a sequence number unique to the writer, the length of its body and
the body, a function of these, so every line can be checked on its own:

    f<file> w<writer> s<seq> n<length> <body>\\n

At the end (check_lines) every line whose append returned must be in its
file exactly once, each writer's lines in the order it wrote them, with no
NUL byte and nothing else; a line whose append failed may be there once or
not at all.

The line reader opens the shared files before the first append and keeps
those descriptors for the whole run: every line whose append returned before
a read began must be visible through them (the appenders publish how many
lines each of them appended to each file, in shared memory).
"""

import os
import random
import re
import time

from model import KIB, MIB
from workers import Worker, pause_requested, wait_while_paused

LINE_FILES = 2
LINE_RE = re.compile(rb"f(\d+) w(\d+) s(\d+) n(\d+) ([0-9A-Za-z]*)")
# Bodies are cut from one random text, so a piece of a line that lands in
# another place, or a line cut short, no longer matches its body.
BODY_POOL = bytes(random.Random(4711).choices(b"abcdefghijklmnopqrstuvwxyz"
                                              b"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", k=MIB))
MAX_BODY = 200 * KIB
REPORTED = 4  # examples given per kind of damage


def line_file(folder, f):
    return os.path.join(folder, "lines-%d.txt" % f)


def line_body(f, wid, seq, n):
    start = (f * 31 + wid * 7919 + seq * 104729) % (len(BODY_POOL) - n)
    return BODY_POOL[start:start + n]


def make_line(f, wid, seq, n):
    return b"f%d w%d s%d n%d %s\n" % (f, wid, seq, n, line_body(f, wid, seq, n))


def parse_line(text, f):
    """(writer, seq) of a well-formed line of file `f` (without its newline),
    or None."""
    m = LINE_RE.fullmatch(text)
    if not m:
        return None
    lf, wid, seq, n = (int(x) for x in m.groups()[:4])
    if lf != f or n != len(m.group(5)) or m.group(5) != line_body(f, wid, seq, n):
        return None
    return wid, seq


def shown(piece):
    """A damaged piece of a shared file, short."""
    if piece[:1] == b"\0":
        n = len(piece) - len(piece.lstrip(b"\0"))
        return "%d NUL bytes, then %r" % (n, piece[n:n + 16])
    return repr(piece[:24])


def examples(items):
    shown = ", ".join(str(x) for x in items[:REPORTED])
    return shown + (" and %d more" % (len(items) - REPORTED) if len(items) > REPORTED else "")


def check_lines(data, f, must, maybe):
    """Checks the content of shared file `f`. `must`: the (writer, seq) whose
    append returned; `maybe`: those whose append failed. Returns (wrong, lost,
    lines found intact)."""
    wrong, lost = [], []
    nul = data.find(b"\0")
    if nul >= 0:
        wrong.append("NUL byte at offset %d (%d in all)" % (nul, data.count(b"\0")))
    pieces = data.split(b"\n")
    tail = pieces.pop()
    if tail:
        wrong.append("%d bytes after the last newline, from offset %d" % (len(tail), len(data) - len(tail)))
    seen, last = {}, {}
    bad, dup, unexpected, disorder = [], [], [], []
    off = 0
    for p in pieces:
        key = parse_line(p, f)
        if key is None:
            bad.append("offset %d %s" % (off, shown(p)))
        elif key in seen:
            dup.append("w%d s%d at offsets %d and %d" % (key + (seen[key], off)))
        elif key not in must and key not in maybe:
            unexpected.append("w%d s%d at offset %d" % (key + (off,)))
        else:
            seen[key] = off
            if key[1] < last.get(key[0], -1):
                disorder.append("w%d s%d at offset %d" % (key + (off,)))
            last[key[0]] = key[1]
        off += len(p) + 1
    for what, items in (("malformed lines", bad), ("duplicated lines", dup),
                        ("lines never appended", unexpected), ("lines out of order", disorder)):
        if items:
            wrong.append("%d %s: %s" % (len(items), what, examples(items)))
    missing = sorted(k for k in must if k not in seen)
    if missing:
        lost.append("%d of %d lines missing: %s" % (
            len(missing), len(must), examples(["w%d s%d" % k for k in missing])))
    return wrong, lost, len(seen)


def read_file(path):
    with open(path, "rb") as fh:
        os.posix_fadvise(fh.fileno(), 0, 0, os.POSIX_FADV_DONTNEED)
        return fh.read()


def check_shared(folder, records, stats, kind):
    """Reads every shared file through a new descriptor and checks it
    against the appenders' `records` ({file index: {"must": [[w, s]...],
    "maybe": [...]}}); the folder must hold the shared files and nothing else."""
    try:
        present = set(os.listdir(folder))
    except OSError as e:
        stats.op(kind + "-list", False)
        stats.error(kind + "-list", e)
        present = None
    names = {os.path.basename(line_file(folder, f)) for f in range(LINE_FILES)}
    if present is not None:
        for n in sorted(present - names):
            stats.wrong.append("shared: %s: listed but never created" % n)
        for n in sorted(names - present):
            stats.lost.append("shared: %s: missing from the listing" % n)
        stats.op(kind + "-list", present == names)
    for f in range(LINE_FILES):
        rec = records.get(str(f), {"must": [], "maybe": []})
        must = {tuple(k) for k in rec["must"]}
        maybe = {tuple(k) for k in rec["maybe"]}
        path = line_file(folder, f)
        try:
            data = read_file(path)
        except FileNotFoundError:
            stats.op(kind, False)
            stats.lost.append("shared: %s: file lost with %d lines" % (os.path.basename(path), len(must)))
            continue
        except OSError as e:
            stats.op(kind, False)
            stats.error(kind, e)
            continue
        wrong, lost, n = check_lines(data, f, must, maybe)
        name = os.path.basename(path)
        stats.wrong += ["shared: %s: %s" % (name, w) for w in wrong]
        stats.lost += ["shared: %s: %s" % (name, x) for x in lost]
        stats.op(kind, not wrong and not lost)
        if not wrong and not lost:
            stats.files_verified += 1
            stats.bytes_verified += len(data)
        stats.lines_verified += n


class Appender(Worker):
    """Appends lines to the shared files through descriptors of its own."""

    def __init__(self, wid, folder, opts, content, slot, progress):
        super().__init__(wid, folder, opts, content)
        self.slot = slot          # index among the appenders
        self.progress = progress  # lines appended per (slot, file); -1 once one failed
        self.seq = 0
        self.fds = {}
        self.unsynced = {f: [] for f in range(LINE_FILES)}  # since the last fsync or close
        self.must = {f: [] for f in range(LINE_FILES)}
        self.maybe = {f: [] for f in range(LINE_FILES)}

    def doubt(self, f, keys):
        """Appends that a failed call may have undone."""
        for k in keys:
            if k in self.must[f]:
                self.must[f].remove(k)
            self.maybe[f].append(k)
        self.progress[self.slot * LINE_FILES + f] = -1

    def close_file(self, f):
        fd = self.fds.pop(f)
        try:
            os.close(fd)  # carries the commit
        except OSError as e:
            self.stats.op("append-close", False)
            self.stats.error("append-close", e)
            self.doubt(f, self.unsynced[f])
        else:
            self.stats.op("append-close", True)
        self.unsynced[f] = []

    def line_length(self):
        r = self.rng.random()
        if r < 0.7:
            return self.rng.randrange(20, 200)
        if r < 0.95:
            return self.rng.randrange(KIB, 16 * KIB)
        return self.rng.randrange(64 * KIB, MAX_BODY)

    def append(self, f):
        if f not in self.fds:
            try:
                self.fds[f] = os.open(line_file(self.folder, f),
                                      os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
            except OSError as e:
                self.stats.op("append-open", False)
                self.stats.error("append-open", e)
                return
            self.stats.op("append-open", True)
        key = (self.wid, self.seq)
        self.seq += 1
        line = make_line(f, self.wid, key[1], self.line_length())
        try:
            n = os.write(self.fds[f], line)  # one write per line: appends are whole lines
        except OSError as e:
            self.stats.op("append", False)
            self.stats.error("append", e)
            self.doubt(f, [key])
            return
        if n != len(line):
            self.stats.op("append", False)
            self.wrong("%s: short append of %d of %d bytes" % (line_file(self.folder, f), n, len(line)))
            self.doubt(f, [key])
            return
        self.stats.op("append", True)
        self.stats.bytes_written += n
        self.stats.lines_written += 1
        self.must[f].append(key)
        self.unsynced[f].append(key)
        i = self.slot * LINE_FILES + f
        if self.progress[i] >= 0:
            self.progress[i] += 1

    def run(self, deadline, control):
        ready = os.path.join(control, "line-reader-ready")
        while not os.path.exists(ready) and time.time() < deadline:
            time.sleep(0.05)  # the line reader opens its descriptors first
        while time.time() < deadline:
            if pause_requested(control):
                for f in list(self.fds):  # nothing uncommitted while the cache is emptied
                    self.close_file(f)
                wait_while_paused(self.wid, control, deadline)
                continue
            f = self.rng.randrange(LINE_FILES)
            self.append(f)
            r = self.rng.random()
            if f in self.fds and r < 0.04:
                self.close_file(f)
            elif f in self.fds and r < 0.06:
                try:
                    os.fsync(self.fds[f])
                except OSError as e:
                    self.stats.op("append-fsync", False)
                    self.stats.error("append-fsync", e)
                    self.doubt(f, self.unsynced[f])
                else:
                    self.stats.op("append-fsync", True)
                self.unsynced[f] = []
        for f in list(self.fds):
            self.close_file(f)

    def result(self):
        r = super().result()
        r["noCheck"] = True
        r["lines"] = {str(f): {"must": self.must[f], "maybe": self.maybe[f]} for f in range(LINE_FILES)}
        return r


class LineReader(Worker):
    """Reads the shared files through descriptors opened before the first
    append, and checks that every line appended before a read is visible."""

    def __init__(self, wid, folder, opts, content, appender_wids, progress):
        super().__init__(wid, folder, opts, content)
        self.slots = {w: slot for slot, w in enumerate(appender_wids)}
        self.progress = progress
        self.fds, self.pos, self.tail, self.count, self.seen, self.broken = {}, {}, {}, {}, {}, set()

    def round(self, f):
        """Reads what is new in file `f`; False when the file is damaged or stale."""
        fd = self.fds[f]
        need = [self.progress[s * LINE_FILES + f] for s in range(len(self.slots))]
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        name = os.path.basename(line_file(self.folder, f))
        while True:
            data = os.pread(fd, MIB, self.pos[f])
            if not data:
                break
            start = self.pos[f] - len(self.tail[f])
            self.pos[f] += len(data)
            pieces = (self.tail[f] + data).split(b"\n")
            self.tail[f] = pieces.pop()  # an append may still be under way
            off = start
            for p in pieces:
                key = parse_line(p, f)
                if key is None or key in self.seen[f]:
                    self.wrong("%s: %s line at offset %d through a descriptor held since the start: %s"
                               % (name, "malformed" if key is None else "duplicated", off, shown(p)))
                    return False
                self.seen[f].add(key)
                slot = self.slots.get(key[0], -1)
                self.count[f][slot] = self.count[f].get(slot, 0) + 1
                off += len(p) + 1
        size = os.fstat(fd).st_size
        for slot, n in enumerate(need):
            if n > 0 and self.count[f].get(slot, 0) < n:
                self.wrong("%s: a descriptor held since the start sees %d of the %d lines appender "
                           "%d had appended (read up to offset %d, fstat size %d)"
                           % (name, self.count[f].get(slot, 0), n, slot, self.pos[f], size))
                return False
        return True

    def read_all(self):
        for f in range(LINE_FILES):
            if f in self.broken:
                continue
            try:
                ok = self.round(f)
            except OSError as e:
                self.stats.op("line-read", False)
                self.stats.error("line-read", e)
                continue
            self.stats.op("line-read", ok)
            if not ok:
                self.broken.add(f)

    def run(self, deadline, control):
        for f in range(LINE_FILES):
            self.fds[f] = os.open(line_file(self.folder, f), os.O_RDONLY)
            self.pos[f], self.tail[f], self.count[f], self.seen[f] = 0, b"", {}, set()
        open(os.path.join(control, "line-reader-ready"), "w").close()
        try:
            while time.time() < deadline:
                if wait_while_paused(self.wid, control, deadline):
                    continue
                self.read_all()
                time.sleep(0.1)  # pacing: the appenders add a few lines meanwhile
            self.read_all()  # every line appended before the deadline, however slow the rounds
        finally:
            for fd in self.fds.values():
                os.close(fd)
        self.stats.lines_verified = sum(len(s) for s in self.seen.values())

    def result(self):
        r = super().result()
        r["noCheck"] = True
        return r


def merge_lines(worker_results):
    """The appenders' records of every shared file, merged."""
    out = {str(f): {"must": [], "maybe": []} for f in range(LINE_FILES)}
    for w in worker_results:
        for f, rec in w.get("lines", {}).items():
            out[f]["must"] += rec["must"]
            out[f]["maybe"] += rec["maybe"]
    return out

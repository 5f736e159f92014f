"""The deleter and the reader: files deleted while they are read (see load.py)."""

import math
import os
import time

from model import BLOCK, KIB, MIB, PAGE
from workers import Worker, wait_while_paused


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
                self.lose("%s: missing at delete" % name)
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

    def result(self):
        r = super().result()
        r["noCheck"] = True
        return r

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

"""Writers through service outages and a killed drive (the outage phase,
see load.py).

Each writer, in a folder of its own, creates files and overwrites them
(O_TRUNC), now and then with an fsync before the close, while the parent
stops and starts the service and once kills the drive (SIGKILL) and mounts
it again (faults.run_outage). Calls fail then: EIO at the close while the
service is down (the drive keeps the content and uploads it later),
ENOTCONN while the drive is dead. The writer keeps every attempt on a name
with its outcome:

  ok            the close or an fsync after the last write returned 0
  kept          every write returned, the close failed with EIO: the drive
                keeps the content for a later upload
  cut-at-close  every write returned, the close failed otherwise (the drive
                was killed during it): the commit may have happened or not
  cut           a write failed with ENOTCONN or ECONNABORTED (the drive was
                killed): nothing of it may ever reach the service
  write-failed  a write failed otherwise: the drive may commit what the
                writes before it wrote, and unknown bytes in the failed write
  no-open       the open failed: nothing changed

The check (on a fresh mount once no file waits for upload) reads every name
and the files beside it with a conflict name ("name (conflict YYYY-MM-DD
hhmmss).ext"). A name holds the content of its last ok attempt, or of a
kept, cut-at-close or write-failed attempt after it; nothing when no attempt
was ok and none after could have been committed. The content of the last
kept attempt is at the name or in a conflict copy (unless a later attempt's
content is at the name). A conflict copy holds the content of a kept,
cut-at-close or write-failed attempt of its name (or, a harmless duplicate
that is counted, of an ok one). Anything else is wrong; a name or kept
content that is not there is lost.
"""

import errno
import json
import os
import re
import subprocess
import time

from model import MIB, WRITE_SIZES, errname
from workers import Worker, wait_while_paused

CONFLICT = re.compile(r"^(.*) \(conflict \d{4}-\d\d-\d\d \d{6}\)(\.[^.]*)?$")
ERROR_PAUSE = 0.2  # after a failed open: the drive may be dead or being mounted
# A call on a drive whose process is gone: before it answered (ENOTCONN), or
# while the drive had the request (ECONNABORTED).
DEAD = (errno.ENOTCONN, errno.ECONNABORTED)


def conflict_of(name):
    """The name a conflict copy stands beside, or None for another name."""
    m = CONFLICT.match(name)
    return m.group(1) + (m.group(2) or "") if m else None


def candidates(attempts):
    """What the name may hold: (attempts whose whole content may be there,
    attempts whose written prefix may be there, whether it may be absent,
    the index of the kept attempt whose content must be somewhere)."""
    ok = [i for i, a in enumerate(attempts) if a["outcome"] == "ok"]
    whole = [attempts[ok[-1]]] if ok else []
    after = range(ok[-1] + 1 if ok else 0, len(attempts))
    whole += [attempts[i] for i in after if attempts[i]["outcome"] in ("kept", "cut-at-close")]
    prefix = [attempts[i] for i in after if attempts[i]["outcome"] == "write-failed"]
    kept = [i for i in after if attempts[i]["outcome"] == "kept"]
    return whole, prefix, not ok, kept[-1] if kept else None


class OutageWriter(Worker):
    def __init__(self, wid, folder, opts, content, attempts=None):
        super().__init__(wid, folder, opts, content)
        self.attempts = attempts if attempts is not None else {}  # name -> [attempt]

    # -- the load -------------------------------------------------------------
    def live(self):
        """Names whose content is known (ok or kept last): these are overwritten."""
        return [n for n, a in self.attempts.items() if a[-1]["outcome"] in ("ok", "kept")]

    def written_names(self):
        """Names with content, or content that may be there (a failed
        create's name without any is not counted)."""
        return sum(1 for a in self.attempts.values() if any(x["outcome"] != "no-open" for x in a))

    def write_attempt(self, name, create):
        a = {"seed": self.rng.getrandbits(40), "size": self.pick_size(), "create": create,
             "written": 0, "synced": False, "errors": []}
        self.attempts.setdefault(name, []).append(a)
        flags = os.O_WRONLY | (os.O_CREAT | os.O_EXCL if create else os.O_TRUNC)
        try:
            fd = os.open(self.path(name), flags, 0o644)
        except OSError as e:
            self.fail(a, "open", e, "no-open")
            time.sleep(ERROR_PAUSE)
            return
        a["outcome"] = None
        try:
            self.write_content(fd, a)
        except OSError as e:
            self.fail(a, "write", e, "cut" if e.errno in DEAD else "write-failed")
        if a["outcome"] is None and self.rng.random() < 0.2:
            try:
                os.fsync(fd)
                a["synced"] = True
            except OSError as e:
                self.stats.error("fsync", e)
                a["errors"].append("fsync " + errname(e))
        try:
            os.close(fd)
        except OSError as e:
            self.stats.error("close", e)
            a["errors"].append("close " + errname(e))
            if a["outcome"] is None and not a["synced"]:
                a["outcome"] = "kept" if e.errno == errno.EIO else "cut-at-close"
        if a["outcome"] is None:
            a["outcome"] = "ok"
            self.stats.files_written += 1
            self.stats.bytes_written += a["size"]
        self.stats.op("write", a["outcome"] == "ok")
        self.stats.count("attempt " + a["outcome"])

    def write_content(self, fd, a):
        step = self.rng.choice(WRITE_SIZES)
        off = 0
        while off < a["size"]:
            view = memoryview(self.content.expected(a["seed"], off, min(step, a["size"] - off)))
            a["step"] = len(view)
            while view:
                n = os.pwrite(fd, view, off)
                off += n
                a["written"] = off
                view = view[n:]

    def fail(self, a, kind, e, outcome):
        self.stats.error(kind, e)
        a["errors"].append("%s %s" % (kind, errname(e)))
        a["outcome"] = outcome

    def step(self):
        live = self.live()
        if not live or (self.written_names() < self.opts["maxFiles"] and self.rng.random() < 0.5):
            self.write_attempt(self.new_name(), True)
        else:
            self.write_attempt(self.rng.choice(live), False)

    def run(self, deadline, control):
        while time.time() < deadline:
            if not wait_while_paused(self.wid, control, deadline):
                self.step()

    def result(self):
        r = super().result()
        r["attempts"] = self.attempts
        return r

    # -- the check -------------------------------------------------------------
    def matches(self, name, whole, prefix):
        """Reads `name` and returns the attempts it matches: (those of
        `whole` whose content it is, those of `prefix` whose written bytes it
        starts with), or None when it is gone. Raises OSError."""
        try:
            fd = os.open(self.path(name), os.O_RDONLY)
        except FileNotFoundError:
            return None
        try:
            size = os.fstat(fd).st_size
            w = [a for a in whole if a["size"] == size]
            p = [a for a in prefix if a["written"] <= size <= a["written"] + a.get("step", 0)]
            off = 0
            while (w or p) and off < size:
                data = os.pread(fd, min(MIB, size - off), off)
                if not data:
                    break
                w = [a for a in w if self.content.expected(a["seed"], off, len(data)) == data]
                n = [min(len(data), max(0, a["written"] - off)) for a in p]
                p = [a for a, k in zip(p, n)
                     if self.content.expected(a["seed"], off, k) == data[:k]]
                off += len(data)
            if off < size:
                w, p = [], []
            self.stats.bytes_verified += off
            return w, p
        finally:
            os.close(fd)

    def check(self):
        try:
            present = set(os.listdir(self.folder))
        except OSError as e:
            self.stats.op("check-list", False)
            self.stats.error("check-list", e)
            return
        self.stats.op("check-list", True)
        copies = {}
        for n in sorted(present - set(self.attempts)):
            base = conflict_of(n)
            if base in self.attempts:
                copies.setdefault(base, []).append(n)
            else:
                self.wrong("%s: listed but never written" % n)
        for name in sorted(self.attempts):
            try:
                self.check_name(name, copies.get(name, []))
            except OSError as e:
                self.stats.op("check-verify", False)
                self.stats.error("check-verify", e)

    def check_name(self, name, copies):
        attempts = self.attempts[name]
        whole, prefix, may_be_absent, kept = candidates(attempts)
        got = self.matches(name, whole, prefix)
        # A conflict copy holds content the drive kept at some time, or
        # (a harmless duplicate) that of a save that completed.
        copy_whole = [a for a in attempts if a["outcome"] in ("ok", "kept", "cut-at-close")]
        copy_prefix = [a for a in attempts if a["outcome"] == "write-failed"]
        in_copies = []
        for c in copies:
            self.stats.count("conflict copies")
            m = self.matches(c, copy_whole, copy_prefix)
            if m is not None and not m[0] and not m[1]:
                self.wrong("%s: conflict copy of %s holds none of its kept contents" % (c, name))
            elif m is not None:
                in_copies += m[0] + m[1]
                if any(a["outcome"] == "ok" for a in m[0]):
                    # A duplicate of what is at the name: nothing lost or wrong.
                    self.stats.count("conflict copies of a completed save")
        ok = True
        if got is None:
            if not may_be_absent:
                ok = False
                self.lose("%s: gone (%s)" % (name, describe(attempts)))
        elif not got[0] and not got[1]:
            ok = False
            self.wrong("%s: content of none of its attempts (%s)" % (name, describe(attempts)))
        if kept is not None and ok:
            k = attempts[kept]
            later = attempts[kept + 1:]
            at_name = got[0] + got[1] if got else []
            if any(a is k for a in at_name):
                self.stats.count("kept content at its name")
            elif any(a is k for a in in_copies):
                self.stats.count("kept content in a conflict copy")
            elif not any(a is b for a in at_name for b in later):
                ok = False
                self.lose("%s: the content of its close that failed with EIO is neither there "
                          "nor in a conflict copy (%s)" % (name, describe(attempts)))
        self.tally(attempts, got)
        self.stats.op("check-verify", ok)
        if ok and got:
            self.stats.files_verified += 1

    def tally(self, attempts, got):
        last = attempts[-1]["outcome"]
        if last in ("cut", "cut-at-close"):
            if got is None:
                self.stats.count("cut: nothing there")
            elif last == "cut-at-close" and any(a is attempts[-1] for a in got[0]):
                self.stats.count("cut at close: its content there")
            else:
                self.stats.count("cut: an earlier version there")


def describe(attempts):
    return ", ".join("%d bytes %s%s" % (a["size"], a["outcome"],
                                        " [" + "; ".join(a["errors"]) + "]" if a["errors"] else "")
                     for a in attempts)


def make_outage_writer(w_json, opts, content):
    return OutageWriter(w_json["wid"], w_json["folder"], opts, content, w_json["attempts"])


# -- the files waiting for upload ---------------------------------------------
def pending_count(text):
    """The number of files `tarvik-mount --pending` says wait, or None."""
    if text.startswith("No files wait"):
        return 0
    m = re.match(r"(\d+) files? waits? for upload", text)
    return int(m.group(1)) if m else None


def pending(drive_script, work):
    """(count or None, the output) of `drive.sh pending WORK`."""
    p = subprocess.run([drive_script, "pending", work], stdin=subprocess.DEVNULL,
                       capture_output=True, text=True, timeout=60)
    text = (p.stdout + p.stderr).strip()
    return (pending_count(text) if p.returncode == 0 else None), text


def journal_left(journal_dir):
    """The entries still in the drive's upload journal (each a folder with an
    "entry" file, see the library's upload journal): content kept on this
    computer that the service does not have. Those the drive gave up on
    ("final") are not listed by `--pending`."""
    out = []
    if not os.path.isdir(journal_dir):
        return out
    for root, _, names in sorted(os.walk(journal_dir)):
        if "entry" in names:
            try:
                with open(os.path.join(root, "entry")) as f:
                    e = json.load(f)
            except (OSError, ValueError) as err:
                out.append({"path": root, "unreadable": str(err)})
                continue
            out.append({"path": e.get("path"), "size": e.get("size"), "final": e.get("final"),
                        "lastCode": e.get("lastCode")})
    return out


def wait_uploads(drive_script, work, timeout, before_text, journal_dir):
    """Polls the files waiting for upload until none waits or `timeout`
    seconds passed, then looks what the journal still holds. Returns what
    the report shows."""
    start = time.time()
    r = {"waitingAtEnd": pending_count(before_text.strip()), "polls": 0}
    count, text = pending(drive_script, work)
    r["waitingAtMount"] = count
    while count != 0 and time.time() < start + timeout:
        time.sleep(0.5)
        count, text = pending(drive_script, work)
        r["polls"] += 1
    r["seconds"] = round(time.time() - start, 1)
    r["stillWaiting"] = count
    if count != 0:
        r["list"] = text.splitlines()[:20]
    r["journalLeft"] = journal_left(journal_dir)
    return r


def cmd_uploads(args):
    with open(args.before) as f:
        before = f.read()
    r = wait_uploads(args.drive_script, args.work, args.timeout, before, args.journal_dir)
    with open(args.out, "w") as f:
        json.dump(r, f, indent=1)
    print("waiting for upload: %s when the load ended, %s at the check mount, %s after %s s; "
          "%d left in the journal" % (r["waitingAtEnd"], r["waitingAtMount"], r["stillWaiting"],
                                      r["seconds"], len(r["journalLeft"])))
    return 0

"""REPORT.md from the JSON results of the load's runs and checks, and the
verdict: wrong data, lost files or lines, hangs and crashes always fail the
run; errors too where the phase allows none (see load.py)."""

import json
import sys

from model import MIB, Stats

LISTED = 12  # lost and wrong items listed per run; the rest are counted

PHASES = {
    "p1": "No faults: every operation must succeed and every byte compare equal.",
    "p2": "Faults injected through the admin endpoint while the load runs (HTTP 500s, dropped "
          "connections, one corrupted block download after the block cache was emptied): an "
          "operation may fail with a clean errno, but no byte read back may be wrong and no "
          "file may be lost.",
    "cache": "The drive mounted with `--cache-limit` at a quarter of the largest file: the "
             "workers' files, the rewriter's files and the shared files outgrow the block cache, "
             "so blocks are evicted while files are open and downloaded again. No error allowed.",
    "restart": "The service stopped (SIGTERM) or killed (SIGKILL) and started again on the same "
               "port with the same data directory, several times while the load runs; once with "
               "the block cache emptied while it was down, so that descriptors opened before "
               "need it for their reads. The drive rides through: no error allowed, not even a "
               "write, fsync or close.",
    "outage": "Writers create and overwrite files (O_TRUNC, a fifth with an fsync before the close) "
              "while the service is stopped (SIGTERM) or killed (SIGKILL) for several seconds at a "
              "time, so that closes fail with EIO and the drive keeps their content for a later "
              "upload; during the middle outage the drive itself is killed (SIGKILL), the block "
              "cache emptied, and the drive mounted again on the same mount point once the service "
              "is back (ENOTCONN meanwhile). Errors allowed. The check waits until no file waits "
              "for upload, mounts again with an empty block cache and reads every name and the "
              "conflict copies beside it: a save whose close or fsync returned 0 must be there byte "
              "for byte, a save whose close said EIO must be there or in a conflict copy, a save "
              "cut by the kill must have left an earlier version or nothing.",
}

INTRO = [
    "Worker processes, each in a folder of its own under `Home/`, create files (sizes "
    "log-uniform between 1 KiB and the maximum, 15 % exact multiples of 8 MiB or one byte off "
    "them), copy files within the drive, read files back and compare every byte, read ranges "
    "across block boundaries, rename (30 % onto an existing name), delete and list, for a fixed "
    "time, with a fixed seed. Content comes from a seeded generator (seed and offset stamped into "
    "every 4 KiB page). After each load the drive is unmounted and mounted again with an empty "
    "block cache, and every file the load left is read back from the service and compared (the "
    "\"check\" rows).",
    "Beside them, by phase: a deleter creates files and deletes each soon after, while a reader "
    "reads them through in small steps (its reads must return the file's bytes even when the file "
    "is deleted during the read: reader-read-deleted; the only allowed failure without faults is "
    "ENOENT at open: reader-gone-at-open). Appenders add whole lines, each with a unique id, to "
    "the same two files through descriptors of their own opened with O_APPEND, closing and "
    "reopening them now and then; at the end every line must be there exactly once, in its "
    "writer's order, with no NUL byte and nothing else, and a line reader that opened the files "
    "before the first append must see every line appended before each of its reads. A rewriter "
    "writes files larger than the cache limit, rewrites their first bytes and a few bytes in the "
    "middle through the writing descriptor before its close and again through a new descriptor, "
    "and reads them back. A held reader keeps descriptors on large files open for the whole run "
    "and reads ranges through them.",
]


def totals(result):
    t = Stats()
    t.hangs = []
    for w in result["workers"]:
        s = w.get("stats")
        if not s:
            t.hangs.append("w%s: no result (crashed)" % w["wid"])
            continue
        for k, d in s["ops"].items():
            for r in ("ok", "failed"):
                t.ops.setdefault(k, {"ok": 0, "failed": 0})[r] += d[r]
        for k, n in s["errors"].items():
            t.errors[k] = t.errors.get(k, 0) + n
        t.wrong += s["wrong"]
        t.lost += s.get("lost", [])
        t.files_written += s["filesWritten"]
        t.bytes_written += s["bytesWritten"]
        t.files_verified += s["filesVerified"]
        t.bytes_verified += s["bytesVerified"]
        t.ranges_verified += s["rangesVerified"]
        t.lines_written += s.get("linesWritten", 0)
        t.lines_verified += s.get("linesVerified", 0)
        t.failed_writes_removed += s["failedWritesRemoved"]
        t.failed_writes_left += s["failedWritesLeft"]
        for k, n in s.get("counts", {}).items():
            t.count(k, n)
    for i in result["hungWorkers"]:
        t.hangs.append("w%d: hung (killed after the grace time)" % i)
    return t


def by_errno(errors):
    out = {}
    for k, n in errors.items():
        e = k.rsplit(" ", 1)[-1]
        out[e] = out.get(e, 0) + n
    return out


def summary_line(result):
    t = totals(result)
    return ("%s %s: %d files / %.1f MiB written, %d lines appended, %d files / %.1f MiB verified, "
            "%d errors, %d lost, %d wrong"
            % (result["phase"], result["kind"], t.files_written, t.bytes_written / MIB,
               t.lines_written, t.files_verified, t.bytes_verified / MIB, sum(t.errors.values()),
               len(t.lost), len(t.wrong)))


def verdict(result, strict):
    """Problems that fail the run: wrong data, lost files or lines, hangs
    and crashes always; errors too when the phase allows none."""
    t = totals(result)
    where = "%s %s: " % (result["phase"], result["kind"])
    problems = [where + "wrong: " + x for x in t.wrong] + [where + "lost: " + x for x in t.lost]
    problems += [where + x for x in t.hangs]
    if strict and t.errors:
        problems.append(where + "errors where none are allowed: %s" % t.errors)
    for ev in result.get("restartEvents", []):
        if "problem" in ev:
            problems.append(where + "restart at %s s: %s" % (ev["t"], ev["problem"]))
    up = result.get("uploads")
    if up and up.get("stillWaiting") != 0:
        problems.append(where + "files still waiting for upload after %s s: %s (%s)" % (
            up.get("seconds"), up.get("stillWaiting"), "; ".join(up.get("list", []))))
    for e in (up or {}).get("journalLeft", []):
        problems.append(where + "kept on this computer only, not on the service: %s" % json.dumps(e))
    return problems


def listing(items):
    if not items:
        return "none"
    shown = "; ".join(items[:LISTED])
    return shown + ("; ... and %d more" % (len(items) - LISTED) if len(items) > LISTED else "")


def table_row(r):
    t = totals(r)
    ok = sum(d["ok"] for d in t.ops.values())
    failed = sum(d["failed"] for d in t.ops.values())
    return "| %s | %s | %s | %.1f | %d | %.1f | %d | %d | %.1f | %d / %d | %d | %d | %d |" % (
        r["phase"], r["kind"] + (" with faults" if r["faults"] else ""),
        r.get("procs", len(r["workers"])), r["elapsed"], t.files_written, t.bytes_written / MIB,
        t.lines_written, t.files_verified, t.bytes_verified / MIB, ok, failed,
        sum(t.errors.values()), len(t.lost), len(t.wrong))


def event_lines(r):
    lines = []
    if r["faultEvents"]:
        lines += ["", "| at s | fault | used after s |", "|---|---|---|"]
        for ev in r["faultEvents"]:
            used = ev.get("usedAfter", "")
            lines.append("| %s | %s | %s |" % (
                ev["t"], json.dumps(ev["fault"]) if isinstance(ev["fault"], dict) else ev["fault"],
                "not (fully) used" if used is None else used))
    if r.get("restartEvents"):
        drive = any("drive" in ev for ev in r["restartEvents"])
        lines += ["", "| at s | restart | down s | block cache emptied | stopped service | took s |"
                  + (" drive |" if drive else ""), "|---|---|---|---|---|---|" + ("---|" if drive else "")]
        for ev in r["restartEvents"]:
            lines.append("| %s | SIG%s%s | %s | %s | %s | %s |" % (
                ev["t"], ev["signal"], " (" + ev["problem"] + ")" if "problem" in ev else "",
                ev["down"], "%d files" % ev["emptied"] if "emptied" in ev else "no",
                ev.get("exit", ""), ev["took"]) + (" %s |" % drive_text(ev) if drive else ""))
    return lines


def drive_text(ev):
    d = ev.get("drive")
    if not d:
        return ""
    text = "killed (%s)" % d.get("killed", "?")
    if "mounted" in d:
        text += ", mounted again in %s s (%s)" % (d.get("mountSeconds"), d["mounted"])
    return text


def upload_lines(up):
    return ["", "Files waiting for upload: %s when the load ended, %s at the check's first mount, "
            "%s after %s s of waiting (%d polls of `tarvik-mount --pending`)." % (
                up.get("waitingAtEnd"), up.get("waitingAtMount"), up.get("stillWaiting"),
                up.get("seconds"), up.get("polls", 0)),
            "", "Left in the upload journal after the wait (kept on this computer, not on the "
            "service): %s" % ("; ".join(json.dumps(e) for e in up.get("journalLeft", [])) or "none")]


def section(r, strict):
    t = totals(r)
    lines = ["## %s, %s%s" % (r["phase"], r["kind"], " (faults injected)" if r["faults"] else ""), ""]
    if r["kind"] == "load":
        lines += [PHASES.get(r["phase"], ""), ""]
        roles = ", ".join("%d %s" % (n, k) for k, n in sorted(r.get("roles", {}).items()))
        lines += ["Processes: %s. Maximum file size %d bytes%s; %s." % (
            roles or r.get("procs", "?"), r["maxSize"],
            ", cache limit %d bytes" % r["cacheLimit"] if r.get("cacheLimit") else "",
            "errors allowed (clean errno), wrong data never" if not strict else "no error allowed"), ""]
    lines.append("Operations (ok / failed): " + ", ".join(
        "%s %d/%d" % (k, d["ok"], d["failed"]) for k, d in sorted(t.ops.items())))
    lines.append("")
    if t.lines_written or t.lines_verified:
        lines += ["Lines appended: %d; lines found intact: %d." % (t.lines_written, t.lines_verified), ""]
    errnos = by_errno(t.errors)
    lines.append("Errors by errno: " + (", ".join(
        "%s x%d" % (k, n) for k, n in sorted(errnos.items())) if errnos else "none"))
    if t.errors:
        lines += ["", "Errors by operation: " + ", ".join(
            "%s x%d" % (k, n) for k, n in sorted(t.errors.items()))]
    if t.counts:
        lines += ["", "Counted: " + ", ".join("%s %d" % (k, n) for k, n in sorted(t.counts.items()))]
    if r.get("uploads"):
        lines += upload_lines(r["uploads"])
    if t.failed_writes_removed or t.failed_writes_left:
        lines += ["", "Files whose write failed: %d removed, %d left behind unverified." % (
            t.failed_writes_removed, t.failed_writes_left)]
    lines += ["", "Lost (%d): %s" % (len(t.lost), listing(t.lost)),
              "", "Wrong (%d): %s" % (len(t.wrong), listing(t.wrong))]
    if t.hangs:
        lines += ["", "Hangs and crashes: " + listing(t.hangs)]
    return lines + event_lines(r) + [""]


def cmd_report(args):
    results = []
    for result in args.results:
        path, strict = result.rsplit(":", 1)
        with open(path) as f:
            results.append((json.load(f), strict == "strict"))
    problems = list(args.problem or [])
    lines = ["# Drive reliability under concurrent load", ""]
    for p in INTRO:
        lines += [p, ""]
    lines += ["| phase | run | procs | seconds | files written | MiB written | lines appended "
              "| files verified | MiB verified | operations ok / failed | errors | lost | wrong |",
              "|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for r, strict in results:
        lines.append(table_row(r))
        problems += verdict(r, strict)
    lines.append("")
    for r, strict in results:
        lines += section(r, strict)
    for extra in args.note or []:
        lines += [extra, ""]
    lines.append("Result: " + ("PASS" if not problems else "FAIL"))
    lines += ["- " + p for p in problems[:3 * LISTED]]
    if len(problems) > 3 * LISTED:
        lines.append("- ... and %d more problems" % (len(problems) - 3 * LISTED))
    lines.append("")
    with open(args.out, "w") as f:
        f.write("\n".join(lines))
    for p in problems:
        print("problem: " + p, file=sys.stderr)
    return 1 if problems else 0

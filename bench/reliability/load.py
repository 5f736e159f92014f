#!/usr/bin/env python3
"""Concurrent file load on the mounted drive, with read-back checks.

Subcommands (run.sh drives them):

  run     worker processes, each in a folder of its own, create, copy,
          read back and compare, rename, delete and list files for a given
          time; beside them, as the options ask, the deleter and the reader
          (unlink_pair.py), appenders on shared files with the line reader
          (shared_files.py), rewriters of large files and a reader that
          holds its descriptors (big_files.py). With --admin-url the parent
          injects faults through the local service's admin endpoint while the
          load runs, with --restart-script it stops and starts the service
          (faults.py); with --drive-script it also kills the drive once and
          mounts it again, while writers (outage.py) save files. Writes the
          counters and every process's model to --out (JSON); the shared
          files are checked at the end of the run.
  check   reads the models a `run` left and verifies every file, every line
          of the shared files and every folder listing once more (run.sh
          calls it on a fresh mount with an empty block cache, so every byte
          comes from the service).
  uploads polls the files waiting for upload (`drive.sh pending`) until none
          waits, with a deadline (the outage phase's check mount).
  report  turns the JSON results into REPORT.md (report.py) and exits 1 when
          a byte was wrong, a file or line was lost, a worker hung, or an
          error occurred where none is allowed.

File content is never stored: it is a function of (file seed, offset). Each
1 MiB chunk is one of 64 random buffers (chosen by seed and chunk index) with
the file seed and the absolute offset written into the first 16 bytes of
every 4 KiB page, so a page read from the wrong file, the wrong block or the
wrong place within a block never compares equal.

The deleter keeps creating files in a folder of its own (each written under
a temporary name and renamed into place when complete; the final name
carries the seed and size) and deleting them soon after, while the reader
keeps opening them (mostly the oldest, the next to be deleted) and reading
them through in small steps. A read must return the file's bytes even when
the file is deleted meanwhile; the only allowed failure without faults is
ENOENT at open (the file was already gone).

Under faults an operation may fail with an errno; the model then keeps every
state the failed call may have left (a name that may be absent, content that
may be either of two files) and later reads must match one of them. A file
whose write failed is removed when possible and never counted as verified;
when the close after the failed write succeeded, what the writes that
returned had written must still be there first (a file gone then is lost).
"""

import argparse
import json
import multiprocessing as mp
import os
import shutil
import sys
import time

from big_files import HeldReader, Rewriter, make_rewriter
from faults import run_faults, run_outages, run_restarts
from model import KIB, MIB, Content, Entry, Stats
from outage import OutageWriter, cmd_uploads, make_outage_writer
from report import cmd_report, summary_line
from shared_files import LINE_FILES, Appender, LineReader, check_shared, line_file, merge_lines
from unlink_pair import Deleter, Reader
from workers import Worker, process_main


def plan_processes(args, ctx):
    """(class, folder, extra constructor arguments) of every process of a run."""
    def folder(name):
        path = os.path.join(args.root, "%s-%s" % (args.phase, name))
        os.makedirs(path)
        return path
    plan = [(Worker, folder("w%d" % i), ()) for i in range(args.procs)]
    plan += [(OutageWriter, folder("writer%d" % i), ()) for i in range(args.writers)]
    if args.unlink_pair == "yes":
        shared = folder("unlink")  # the deleter and the reader share a folder
        plan += [(Deleter, shared, ()), (Reader, shared, ())]
    plan += [(Rewriter, folder("rewrite%d" % i), ()) for i in range(args.rewriters)]
    plan += [(HeldReader, folder("held%d" % i), ()) for i in range(args.held_readers)]
    if args.appenders:
        shared = folder("shared")
        for f in range(LINE_FILES):
            open(line_file(shared, f), "wb").close()  # the line reader opens them first
        progress = ctx.Array("q", args.appenders * LINE_FILES, lock=False)
        wids = list(range(len(plan), len(plan) + args.appenders))
        plan += [(Appender, shared, (slot, progress)) for slot in range(args.appenders)]
        plan.append((LineReader, shared, (wids, progress)))
    return plan


def cmd_run(args):
    opts = {"seed": args.seed, "phaseIndex": args.phase_index, "maxSize": args.max_size,
            "maxFiles": args.max_files, "maxLiveBytes": args.max_live_bytes,
            "cacheLimit": args.cache_limit or args.max_size // 4}
    control = os.path.join(args.work, "control-" + args.phase)
    shutil.rmtree(control, ignore_errors=True)
    os.makedirs(control)
    ctx = mp.get_context("fork")
    plan = plan_processes(args, ctx)
    start = time.time()
    opts["deadline"] = start + args.duration
    workers, outs = [], []
    for wid, (cls, folder, extra) in enumerate(plan):
        out = os.path.join(control, "worker-%d.json" % wid)
        outs.append(out)
        p = ctx.Process(target=process_main, args=(cls, wid, folder, opts, out, control, extra))
        p.start()
        workers.append(p)
    faults, restarts = [], []
    if args.admin_url:
        faults = run_faults(args, start, args.duration, control, workers)
    if args.restart_script and args.drive_script:
        restarts = run_outages(args, start, args.duration, workers)
    elif args.restart_script:
        restarts = run_restarts(args, start, args.duration, control, workers)
    hung = []
    for i, p in enumerate(workers):
        p.join(max(1.0, start + args.duration + args.grace - time.time()))
        if p.is_alive():
            hung.append(i)
            p.kill()
            p.join(5)
    roles = {}
    for cls, _, _ in plan:
        roles[cls.__name__] = roles.get(cls.__name__, 0) + 1
    result = {"phase": args.phase, "kind": "load", "procs": len(plan), "roles": roles,
              "duration": args.duration, "maxSize": args.max_size, "seed": args.seed,
              "cacheLimit": args.cache_limit, "faults": args.admin_url is not None,
              "faultEvents": faults, "restartEvents": restarts, "hungWorkers": hung, "workers": []}
    for i, out in enumerate(outs):
        if os.path.exists(out):
            with open(out) as f:
                result["workers"].append(json.load(f))
        else:
            result["workers"].append({"wid": i, "folder": plan[i][1], "missing": True})
    if args.appenders:
        shared = plan[-1][1]
        result["lineFiles"] = {"folder": shared, "records": merge_lines(result["workers"])}
        result["workers"].append(shared_main(result["lineFiles"], "shared-verify"))
    result["elapsed"] = round(time.time() - start, 1)
    with open(args.out, "w") as f:
        json.dump(result, f, indent=1)
    print(summary_line(result))


def shared_main(line_files, kind, out_path=None):
    """Checks the shared files once all appenders are done."""
    stats = Stats()
    try:
        check_shared(line_files["folder"], line_files["records"], stats, kind)
    except Exception as e:  # a bug of the load itself: report, never hide
        stats.wrong.append("shared: check failed: %r" % e)
    r = {"wid": "shared", "kind": "SharedCheck", "folder": line_files["folder"],
         "stats": stats.to_json(), "files": {}, "noCheck": True}
    if out_path:
        with open(out_path, "w") as f:
            json.dump(r, f)
    return r


def check_main(w_json, opts, out_path):
    content = Content(opts["seed"])
    if w_json.get("kind") == "Rewriter":
        w = make_rewriter(w_json, opts, content)
        w.check()
    elif w_json.get("kind") == "OutageWriter":
        w = make_outage_writer(w_json, opts, content)
        w.check()
    else:
        files = {n: Entry.from_json(e) for n, e in w_json["files"].items()}
        w = Worker(w_json["wid"], w_json["folder"], opts, content, files)
        w.op_list("check-list")
        for name in sorted(files):
            if name in w.files and not w.files[name].tainted:
                w.verify(name, "check-verify")
    with open(out_path, "w") as f:
        json.dump(w.result(), f)


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
    if load.get("lineFiles"):
        out = args.out + ".shared"
        outs.append(out)
        p = ctx.Process(target=shared_main, args=(load["lineFiles"], "check-shared-verify", out))
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
              "procs": len(procs), "faults": False, "faultEvents": [], "restartEvents": [],
              "hungWorkers": hung, "workers": []}
    if args.uploads:
        with open(args.uploads) as f:
            result["uploads"] = json.load(f)
    for out in outs:
        if os.path.exists(out):
            with open(out) as f:
                result["workers"].append(json.load(f))
            os.unlink(out)
    with open(args.out, "w") as f:
        json.dump(result, f, indent=1)
    print(summary_line(result))


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
    r.add_argument("--procs", type=int, default=4, help="workers, each in a folder of its own")
    r.add_argument("--unlink-pair", choices=["yes", "no"], default="yes",
                   help="the deleter and the reader beside the workers")
    r.add_argument("--appenders", type=int, default=0,
                   help="appenders on the shared files (with the line reader when > 0)")
    r.add_argument("--rewriters", type=int, default=0, help="rewriters of large files")
    r.add_argument("--held-readers", type=int, default=0,
                   help="readers that hold their descriptors for the whole run")
    r.add_argument("--writers", type=int, default=0,
                   help="writers that save through outages (outage.py)")
    r.add_argument("--duration", type=float, default=120)
    r.add_argument("--grace", type=float, default=240,
                   help="seconds after the end before a worker counts as hung")
    r.add_argument("--seed", type=int, default=20240808)
    r.add_argument("--max-size", type=size_arg, default=64 * MIB)
    r.add_argument("--max-files", type=int, default=8)
    r.add_argument("--max-live-bytes", type=size_arg, default=192 * MIB)
    r.add_argument("--cache-limit", type=size_arg,
                   help="the drive's cache limit: the rewriters' files are larger")
    r.add_argument("--admin-url", help="inject faults through this service")
    r.add_argument("--admin-token-file")
    r.add_argument("--ca")
    r.add_argument("--restart-script", help="service.sh: restart the service during the run")
    r.add_argument("--restarts", type=int, default=3)
    r.add_argument("--drive-script",
                   help="drive.sh: with --restart-script, kill the drive once and mount it again")
    r.add_argument("--outage-down", type=float, default=5,
                   help="seconds the service stays down at each outage (with --drive-script)")
    r.add_argument("--block-dir", help="the library's block directory, emptied now and then")
    r.add_argument("--out", required=True)
    c = sub.add_parser("check")
    c.add_argument("--load", required=True, help="result of a run")
    c.add_argument("--timeout", type=float, default=300)
    c.add_argument("--uploads", help="result of `uploads` before the check, shown with it")
    c.add_argument("--out", required=True)
    u = sub.add_parser("uploads")
    u.add_argument("--drive-script", required=True)
    u.add_argument("--work", required=True)
    u.add_argument("--before", required=True, help="`drive.sh pending` when the load ended")
    u.add_argument("--timeout", type=float, default=120)
    u.add_argument("--journal-dir", required=True, help="the library's upload journal")
    u.add_argument("--out", required=True)
    p = sub.add_parser("report")
    p.add_argument("--out", required=True)
    p.add_argument("--note", action="append")
    p.add_argument("--problem", action="append", help="a failure seen outside the load")
    p.add_argument("results", nargs="+", help="RESULT.json:strict or RESULT.json:lenient")
    args = ap.parse_args()
    if args.cmd == "run":
        if args.admin_url and not (args.admin_token_file and args.ca and args.block_dir):
            ap.error("--admin-url needs --admin-token-file, --ca and --block-dir")
        if args.restart_script and not args.block_dir:
            ap.error("--restart-script needs --block-dir")
        if args.drive_script and not args.restart_script:
            ap.error("--drive-script needs --restart-script")
        if args.admin_url and args.restart_script:
            ap.error("faults and restarts go to phases of their own")
        if args.max_size < KIB:
            ap.error("--max-size must be at least 1k")
        return cmd_run(args) or 0
    if args.cmd == "check":
        return cmd_check(args) or 0
    if args.cmd == "uploads":
        return cmd_uploads(args)
    return cmd_report(args)


if __name__ == "__main__":
    sys.exit(main())

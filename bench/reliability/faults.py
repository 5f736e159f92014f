"""Faults injected through the local service's admin endpoint while the
load runs, and the emptying of the block cache (see load.py)."""

import json
import os
import ssl
import subprocess
import time
import urllib.request


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


def pause_workers(control, workers, action):
    """Pauses every live worker (each acknowledges at a point where it holds
    nothing unwritten), runs `action` and resumes them. Returns the action's
    result, or None when the workers did not all pause within 300 s."""
    pause = os.path.join(control, "pause")
    open(pause, "w").close()
    limit = time.time() + 300

    def all_paused():
        return all(os.path.exists(os.path.join(control, "paused-%d" % i)) or not p.is_alive()
                   for i, p in enumerate(workers))
    try:
        while time.time() < limit and any(p.is_alive() for p in workers) and not all_paused():
            time.sleep(0.1)
        return action() if all_paused() else None
    finally:
        os.unlink(pause)


def run_faults(args, start, duration, control, workers):
    """Injects the plan's faults one at a time: a fault still queued when the
    next one is due is dropped (admin/reset) and reported as not used."""
    admin = Admin(args.admin_url, open(args.admin_token_file).read().strip(), args.ca)
    events = []
    current = None  # the event whose fault is queued

    def alive():
        return any(p.is_alive() for p in workers)

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
            # Only with every worker idle: a sealed block waiting for its
            # upload must not be removed under the library.
            n = pause_workers(control, workers, lambda: clear_block_cache(args.block_dir))
            events.append({"t": t, "fault": "block cache emptied (%d files)" % n
                           if n is not None else "block cache NOT emptied: workers did not pause"})
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


def restart_plan(count):
    """(fraction of the run, signal, seconds down, empty the block cache
    while the service is down) of each restart: alternately a clean stop
    and a kill, every third with the block cache emptied, so that reads
    through descriptors opened before need the restarted service."""
    return [((i + 1) / (count + 1), "TERM" if i % 2 == 0 else "KILL", 1 if i % 2 else 0, i % 3 == 1)
            for i in range(count)]


def service_cmd(script, *argv):
    """Runs `script ARGV...` (service.sh); (exit status, its last line of output)."""
    try:
        p = subprocess.run([script] + list(argv), stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, timeout=120)
    except subprocess.TimeoutExpired:
        return 124, "timed out"
    lines = (p.stdout + p.stderr).strip().splitlines()
    return p.returncode, lines[-1] if lines else ""


def restart(args, sig, down, empty):
    """Stops the service with `sig`, empties the block cache when `empty`,
    leaves it down for `down` seconds and starts it again on the same port
    with the same data. Returns the event's details."""
    ev = restart_stop(args, sig)
    if "problem" in ev:
        return ev
    if empty:
        ev["emptied"] = clear_block_cache(args.block_dir)
    time.sleep(down)  # the outage itself
    rc, out = service_cmd(args.restart_script, "start", args.work)
    if rc != 0:
        ev["problem"] = "start failed (status %d): %s" % (rc, out)
    return ev


def wait_while_working(at, workers):
    """Waits until the time `at` while a worker runs. False when none runs
    any more."""
    while time.time() < at and any(p.is_alive() for p in workers):
        time.sleep(0.2)
    return any(p.is_alive() for p in workers)


def run_restarts(args, start, duration, control, workers):
    """Kills and restarts the service by the plan while the load runs.
    Returns the events."""
    events = []
    for frac, sig, down, empty in restart_plan(args.restarts):
        if not wait_while_working(start + frac * duration, workers):
            break
        t0 = time.time()
        ev = {"t": round(t0 - start, 1), "signal": sig, "down": down}
        if empty:
            # With every worker idle, so that no block waits for its upload.
            r = pause_workers(control, workers, lambda: restart(args, sig, down, True))
            ev.update(r if r is not None else
                      {"problem": "the workers did not pause; the service was not restarted"})
        else:
            ev.update(restart(args, sig, down, False))
        ev["took"] = round(time.time() - t0, 1)
        events.append(ev)
        if "problem" in ev:
            break  # the service may be gone: the load's errors say the rest
    return events


def outage_plan(count, down):
    """(fraction of the run, signal, seconds down, kill the drive) of each
    outage of the service, alternately a clean stop and a kill. Every other
    one lasts `down` seconds, longer than the drive's commit rides through,
    so that closes fail with EIO and their content waits for upload; the
    others are short. The middle one is long and ends with the drive killed
    while files wait, so that the next mount has to upload them."""
    kill = count // 2
    return [((i + 1) / (count + 1), "TERM" if i % 2 == 0 else "KILL",
             down if i == kill or (i % 2 == 0 and i < count - 1) else 1, i == kill)
            for i in range(count)]


def drive_cmd(args, *argv):
    """Runs `drive.sh COMMAND WORK ARGV...`; (exit status, last line)."""
    return service_cmd(args.drive_script, argv[0], args.work, *argv[1:])


def outage(args, sig, down, kill):
    """Stops the service for `down` seconds; with `kill`, kills the drive
    (SIGKILL) at the end of the outage, while closes wait for the service
    and files wait for upload, and empties the block cache while no drive
    runs (the waiting content must survive that); then starts the service
    again and, with `kill`, mounts the drive again on the same mount point.
    Returns the event's details."""
    ev = restart_stop(args, sig)
    if "problem" in ev:
        return ev
    time.sleep(down)
    if kill:
        rc, out = drive_cmd(args, "kill")
        ev["drive"] = {"killed": out}
        if rc != 0:
            ev["problem"] = "the drive could not be killed (status %d): %s" % (rc, out)
            return ev
        ev["emptied"] = clear_block_cache(args.block_dir)
    rc, out = service_cmd(args.restart_script, "start", args.work)
    if rc != 0:
        ev["problem"] = "start failed (status %d): %s" % (rc, out)
        return ev
    if kill:
        t0 = time.time()
        rc, out = drive_cmd(args, "mount")
        ev["drive"]["mounted"] = out
        ev["drive"]["mountSeconds"] = round(time.time() - t0, 1)
        if rc != 0:
            ev["problem"] = "the drive did not mount again (status %d): %s" % (rc, out)
    return ev


def restart_stop(args, sig):
    """Stops the service with `sig`; the event's details so far."""
    rc, out = service_cmd(args.restart_script, "stop", args.work, sig)
    ev = {"exit": out}  # the stopped service's exit status
    if rc != 0:
        ev["problem"] = "stop failed (status %d): %s" % (rc, out)
    return ev


def run_outages(args, start, duration, workers):
    """Stops the service and kills the drive by the plan while the writers
    run. Returns the events."""
    events = []
    for frac, sig, down, kill in outage_plan(args.restarts, args.outage_down):
        if not wait_while_working(start + frac * duration, workers):
            break
        t0 = time.time()
        ev = {"t": round(t0 - start, 1), "signal": sig, "down": down}
        ev.update(outage(args, sig, down, kill))
        ev["took"] = round(time.time() - t0, 1)
        events.append(ev)
        if "problem" in ev:
            break
    return events

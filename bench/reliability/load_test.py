#!/usr/bin/env python3
"""Tests of the reliability load's checker on a local directory: the
checks must see every kind of damage the drive could do, and must accept
every state a failed call may leave."""

import json
import multiprocessing as mp
import os
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import big_files  # noqa: E402
import faults  # noqa: E402
import model  # noqa: E402
import outage  # noqa: E402
import report  # noqa: E402
import shared_files  # noqa: E402
import workers  # noqa: E402

OPTS = {"seed": 7, "phaseIndex": 1, "maxSize": 3 * model.MIB, "maxFiles": 6,
        "maxLiveBytes": 12 * model.MIB}


class CheckerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.content = model.Content(OPTS["seed"])

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="reliability-test-")
        self.addCleanup(shutil.rmtree, self.dir)

    def worker(self, files=None):
        return workers.Worker(0, self.dir, OPTS, self.content, files)

    def put(self, name, seed, size):
        with open(os.path.join(self.dir, name), "wb") as f:
            f.write(self.content.expected(seed, 0, size))
        return model.Entry([(seed, size)])

    def test_content_is_a_function_of_seed_and_offset(self):
        a = self.content.expected(5, 0, 3 * model.MIB)
        self.assertEqual(a[model.MIB - 10:model.MIB + 10],
                         self.content.expected(5, model.MIB - 10, 20))
        # Another file, or the same bytes at another offset, never compare equal.
        self.assertNotEqual(a[:model.PAGE], self.content.expected(6, 0, model.PAGE))
        self.assertNotEqual(a[model.PAGE:2 * model.PAGE], a[:model.PAGE])
        self.assertNotEqual(self.content.expected(5, model.BLOCK, model.PAGE),
                            self.content.expected(5, 0, model.PAGE))

    def test_clean_run_on_a_local_directory_has_no_errors(self):
        w = self.worker()
        w.run(time.time() + 2.0, self.dir)
        s = w.stats
        self.assertEqual(s.wrong, [])
        self.assertEqual(s.errors, {})
        self.assertGreater(s.files_written, 0)
        self.assertGreater(s.files_verified, 0)
        self.assertGreater(s.ops.get("rename", {}).get("ok", 0), 0)
        self.assertGreater(s.ops.get("delete", {}).get("ok", 0), 0)
        # The model matches the folder: a check of it passes too.
        w2 = self.worker(dict(w.files))
        w2.op_list()
        for n in list(w2.files):
            self.assertTrue(w2.verify(n))
        self.assertEqual(w2.stats.wrong, [])

    def test_sizes_hit_block_boundaries(self):
        w = workers.Worker(0, self.dir, dict(OPTS, maxSize=64 * model.MIB), self.content)
        sizes = {w.pick_size() for _ in range(3000)}
        self.assertTrue({model.BLOCK - 1, model.BLOCK, model.BLOCK + 1, 64 * model.MIB} <= sizes)
        self.assertGreaterEqual(min(sizes), model.KIB)
        self.assertLessEqual(max(sizes), 64 * model.MIB)

    def test_a_flipped_byte_is_wrong_data(self):
        files = {"f": self.put("f", 11, 2 * model.MIB + 3)}
        with open(os.path.join(self.dir, "f"), "r+b") as f:
            f.seek(model.MIB + 17)
            b = f.read(1)
            f.seek(model.MIB + 17)
            f.write(bytes([b[0] ^ 1]))
        w = self.worker(files)
        self.assertFalse(w.verify("f"))
        self.assertEqual(len(w.stats.wrong), 1)
        self.assertIn("differ", w.stats.wrong[0])
        self.assertEqual(w.stats.files_verified, 0)

    def test_another_files_content_is_wrong_data(self):
        files = {"a": self.put("a", 1, 100000)}
        self.put("b", 2, 100000)
        os.replace(os.path.join(self.dir, "b"), os.path.join(self.dir, "a"))
        w = self.worker(files)
        self.assertFalse(w.verify("a"))
        self.assertEqual(len(w.stats.wrong), 1)

    def test_wrong_size_and_short_file(self):
        files = {"f": self.put("f", 3, model.BLOCK + 1)}
        os.truncate(os.path.join(self.dir, "f"), model.BLOCK)
        w = self.worker(files)
        self.assertFalse(w.verify("f"))
        self.assertIn("size", w.stats.wrong[0])

    def test_a_range_across_a_block_boundary_sees_damage(self):
        files = {"f": self.put("f", 4, 2 * model.BLOCK + 5)}
        with open(os.path.join(self.dir, "f"), "r+b") as f:
            # Damage every page around both boundaries.
            for edge in (model.BLOCK, 2 * model.BLOCK):
                f.seek(edge - 80000)
                f.write(b"\0" * 80005)
        w = self.worker(files)
        w.rng.seed(1)
        seen = False
        for _ in range(5):
            w.op_range()
            seen = seen or bool(w.stats.wrong)
        self.assertTrue(seen)

    def test_lost_and_unexpected_files(self):
        files = {"kept": self.put("kept", 5, 5000), "gone": self.put("gone", 6, 5000)}
        os.unlink(os.path.join(self.dir, "gone"))
        self.put("stray", 7, 10)
        w = self.worker(dict(files))
        w.op_list()
        # A missing file is lost, a stray one is wrong.
        self.assertEqual(len(w.stats.lost), 1)
        self.assertIn("gone: missing", w.stats.lost[0])
        self.assertEqual(len(w.stats.wrong), 1)
        self.assertIn("stray: listed", w.stats.wrong[0])
        w = self.worker(dict(files))
        self.assertFalse(w.verify("gone"))
        self.assertIn("lost", w.stats.lost[0])

    def test_states_a_failed_call_may_leave_are_accepted(self):
        # A failed rename of a onto b: b holds either content, a may be gone.
        a = self.put("a", 8, 7000)
        b = self.put("b", 9, 9000)
        os.replace(os.path.join(self.dir, "a"), os.path.join(self.dir, "b"))
        files = {"a": model.Entry(a.cands, maybe_absent=True),
                 "b": model.Entry(a.cands + b.cands, maybe_absent=True)}
        w = self.worker(files)
        w.op_list()
        self.assertTrue(w.verify("a"))   # absent: allowed
        self.assertTrue(w.verify("b"))   # a's content: allowed
        self.assertEqual(w.stats.wrong, [])
        self.assertNotIn("a", w.files)
        self.assertEqual(w.files["b"].cands, a.cands)
        self.assertFalse(w.files["b"].maybe_absent)

    def test_a_failed_write_is_removed_and_never_verified(self):
        w = self.worker()
        self.put("half", 10, 100)
        w.after_failed_write("half")
        self.assertNotIn("half", w.files)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "half")))
        self.assertEqual(w.stats.failed_writes_removed, 1)
        self.assertEqual(w.stats.files_verified, 0)

    def test_a_failed_rename_is_resolved_by_looking(self):
        # The call failed, but the rename happened.
        files = {"a": self.put("a", 12, 3000)}
        os.rename(os.path.join(self.dir, "a"), os.path.join(self.dir, "b"))
        w = self.worker(dict(files))
        w.after_failed_rename("a", "b", replace=False)
        self.assertEqual(sorted(w.files), ["b"])
        self.assertTrue(w.verify("b"))
        # The call failed and nothing happened.
        w = self.worker({"c": self.put("c", 13, 3000)})
        w.after_failed_rename("c", "d", replace=False)
        self.assertEqual(sorted(w.files), ["c"])
        self.assertEqual(w.stats.wrong, [])
        # The call failed and the file is gone from both names: lost.
        w = self.worker({"e": model.Entry([(14, 3000)])})
        w.after_failed_rename("e", "f", replace=False)
        self.assertEqual(len(w.stats.lost), 1)
        self.assertIn("lost", w.stats.lost[0])

    def test_a_replacing_rename_that_lost_the_target_is_caught_later(self):
        files = {"a": self.put("a", 15, 3000), "b": self.put("b", 16, 3000)}
        os.unlink(os.path.join(self.dir, "b"))
        w = self.worker(dict(files))
        w.after_failed_rename("a", "b", replace=True)
        self.assertFalse(w.verify("b"))
        self.assertIn("lost", w.stats.lost[0])

    def test_delete_of_a_vanished_file(self):
        w = self.worker({"v": model.Entry([(17, 10)])})
        w.op_delete()
        self.assertEqual(len(w.stats.lost), 1)
        w = self.worker({"v": model.Entry([(17, 10)], maybe_absent=True)})
        w.op_delete()
        self.assertEqual(w.stats.lost, [])
        self.assertEqual(w.files, {})

    def test_overwrite_replaces_the_content(self):
        old = self.put("o", 18, 2 * model.MIB)
        w = self.worker({"o": old})
        w.op_overwrite()
        new = w.files["o"]
        self.assertNotEqual(new.cands, old.cands)
        self.assertTrue(w.verify("o"))
        # The old content is no longer accepted.
        w2 = self.worker({"o": old})
        self.assertFalse(w2.verify("o"))

    def test_report_fails_on_wrong_data_and_on_errors_where_none_are_allowed(self):
        def result(errors, wrong):
            return {"phase": "p", "kind": "load", "faults": False, "faultEvents": [],
                    "hungWorkers": [], "elapsed": 1.0, "procs": 1, "maxSize": 1024,
                    "workers": [{"wid": 0, "stats": dict(model.Stats().to_json(),
                                                         errors=errors, wrong=wrong)}]}
        self.assertEqual(report.verdict(result({}, []), strict=True), [])
        self.assertEqual(report.verdict(result({"create EIO": 1}, []), strict=False), [])
        self.assertEqual(len(report.verdict(result({"create EIO": 1}, []), strict=True)), 1)
        self.assertEqual(len(report.verdict(result({}, ["w0: x differs"]), strict=False)), 1)
        hung = result({}, [])
        hung["hungWorkers"] = [0]
        self.assertEqual(len(report.verdict(hung, strict=False)), 1)
        crashed = result({}, [])
        crashed["workers"] = [{"wid": 0, "missing": True}]
        self.assertEqual(len(report.verdict(crashed, strict=False)), 1)
        lost = result({}, [])
        lost["workers"][0]["stats"]["lost"] = ["w0: f: file lost"]
        self.assertEqual(len(report.verdict(lost, strict=False)), 1)
        restart = result({}, [])
        restart["restartEvents"] = [{"t": 3.0, "signal": "KILL", "down": 0, "took": 1.0,
                                     "problem": "start failed"}]
        self.assertEqual(len(report.verdict(restart, strict=False)), 1)
        self.assertEqual(report.by_errno({"append EIO": 2, "rewrite EIO": 1, "open ENOENT": 1}),
                         {"EIO": 3, "ENOENT": 1})


def lines_of(f, keys):
    return b"".join(shared_files.make_line(f, w, s, 10 + s % 50) for w, s in keys)


class SharedFilesTest(unittest.TestCase):
    KEYS = [(4, 0), (5, 1), (4, 2), (5, 3), (4, 5)]

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="reliability-test-")
        self.addCleanup(shutil.rmtree, self.dir)

    def check(self, data, maybe=()):
        return shared_files.check_lines(data, 1, set(self.KEYS), set(maybe))

    def test_intact_lines_pass_and_failed_appends_may_be_absent(self):
        data = lines_of(1, self.KEYS)
        self.assertEqual(self.check(data), ([], [], 5))
        self.assertEqual(self.check(data + lines_of(1, [(5, 9)]), maybe=[(5, 9)]), ([], [], 6))
        self.assertEqual(self.check(data, maybe=[(5, 9)]), ([], [], 5))

    def test_every_kind_of_damage_is_seen(self):
        good = lines_of(1, self.KEYS)
        second = good.index(b"\n") + 1
        nul = bytearray(good)
        nul[second + 7:second + 9] = b"\0\0"  # two bytes of a line zeroed in place
        cases = {
            "duplicated": (good + lines_of(1, [(4, 2)]), "duplicated lines: w4 s2", []),
            "missing": (lines_of(1, self.KEYS[:3] + self.KEYS[4:]), None, ["1 of 5 lines missing: w5 s3"]),
            "NUL": (bytes(nul), "NUL byte at offset %d" % (second + 7), ["w5 s1"]),
            "hole": (good[:second] + b"\0" * 30 + good[second:], "NUL byte", ["w5 s1"]),
            "partial": (good[:-3], "after the last newline", ["w4 s5"]),
            "another file's line": (good + lines_of(0, [(5, 4)]), "malformed", []),
            "never appended": (good + lines_of(1, [(6, 0)]), "lines never appended: w6 s0", []),
            "order": (lines_of(1, [self.KEYS[2], self.KEYS[0]] + self.KEYS[1:2] + self.KEYS[3:]),
                      "out of order: w4 s0", []),
        }
        for what, (data, wrong_text, lost_texts) in cases.items():
            with self.subTest(what):
                wrong, lost, _ = self.check(data)
                if wrong_text:
                    self.assertTrue(any(wrong_text in x for x in wrong), wrong)
                else:
                    self.assertEqual(wrong, [])
                for t in lost_texts:
                    self.assertTrue(any(t in x for x in lost), lost)
                if not lost_texts:
                    self.assertEqual(lost, [])

    def test_appenders_and_the_line_reader_on_a_local_directory(self):
        ctx = mp.get_context("fork")
        control = os.path.join(self.dir, "control")
        shared = os.path.join(self.dir, "shared")
        os.makedirs(control)
        os.makedirs(shared)
        for f in range(shared_files.LINE_FILES):
            open(shared_files.line_file(shared, f), "wb").close()
        progress = ctx.Array("q", 3 * shared_files.LINE_FILES, lock=False)
        # Each process's two seconds start once it is built, so a loaded
        # machine does not spend the window on building the content pools.
        opts = dict(OPTS, duration=2.0)
        plan = [(shared_files.Appender, (slot, progress)) for slot in range(3)]
        plan.append((shared_files.LineReader, ([0, 1, 2], progress)))
        procs = []
        for wid, (cls, extra) in enumerate(plan):
            out = os.path.join(control, "w%d.json" % wid)
            p = ctx.Process(target=workers.process_main, args=(cls, wid, shared, opts, out, control, extra))
            p.start()
            procs.append((p, out))
        results = []
        for p, out in procs:
            p.join(30)
            with open(out) as fh:
                results.append(json.load(fh))
        for r in results:
            self.assertEqual((r["stats"]["wrong"], r["stats"]["errors"]), ([], {}), r["kind"])
        reader = results[-1]["stats"]
        self.assertGreaterEqual(reader["ops"]["line-read"]["ok"], shared_files.LINE_FILES)
        self.assertGreater(reader["linesVerified"], 0)
        appended = sum(r["stats"]["linesWritten"] for r in results)
        self.assertGreater(appended, 10)
        self.assertGreater(sum(r["stats"]["ops"].get("append-close", {}).get("ok", 0) for r in results), 0)
        stats = model.Stats()
        records = shared_files.merge_lines(results)
        shared_files.check_shared(shared, records, stats, "verify")
        self.assertEqual((stats.wrong, stats.lost), ([], []))
        self.assertEqual(stats.lines_verified, appended)
        # One line appended twice, as a drive that replays a write would.
        path = shared_files.line_file(shared, 0)
        with open(path, "rb") as fh:
            first = fh.readline()
        with open(path, "ab") as fh:
            fh.write(first)
        stats = model.Stats()
        shared_files.check_shared(shared, records, stats, "verify")
        self.assertEqual(len(stats.wrong), 1)
        self.assertIn("duplicated", stats.wrong[0])

    def test_the_line_reader_sees_a_stale_descriptor(self):
        path = shared_files.line_file(self.dir, 0)
        with open(path, "wb") as fh:
            fh.write(lines_of(0, [(7, 0), (7, 1)]))
        progress = [0] * (2 * shared_files.LINE_FILES)
        r = shared_files.LineReader(9, self.dir, OPTS, None, [7, 8], progress)
        r.fds[0] = os.open(path, os.O_RDONLY)
        self.addCleanup(os.close, r.fds[0])
        r.pos[0], r.tail[0], r.count[0], r.seen[0] = 0, b"", {}, set()
        progress[0] = 2  # appender 7 appended two lines: both visible
        self.assertTrue(r.round(0))
        progress[0] = 3  # a third returned, but the descriptor does not see it
        self.assertFalse(r.round(0))
        self.assertIn("sees 2 of the 3 lines", r.stats.wrong[0])


class RewriterTest(unittest.TestCase):
    OPTS = dict(OPTS, maxSize=3 * model.BLOCK, cacheLimit=model.BLOCK + 5)

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="reliability-test-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.content = model.Content(7)

    def test_rewrites_are_modelled_and_damage_is_seen(self):
        w = big_files.Rewriter(0, self.dir, self.OPTS, self.content)
        name = w.create_rewritten()
        self.assertIsNotNone(name)
        m = w.rw[name]
        self.assertGreater(m["size"], self.OPTS["cacheLimit"])
        self.assertEqual(m["patches"][0][1], 0)  # the header
        self.assertTrue(w.rewrite(name))
        self.assertGreaterEqual(len(m["patches"]), 6)
        w.verify_rewritten(name)
        self.assertEqual((w.stats.wrong, w.stats.errors, w.stats.files_verified), ([], {}, 1))
        # The check of a fresh process sees the same content.
        c = big_files.make_rewriter(w.result(), self.OPTS, self.content)
        c.check()
        self.assertEqual((c.stats.wrong, c.stats.lost, c.stats.files_verified), ([], [], 1))
        # A patch of the last rewrite lost: older bytes are back in its place.
        path = os.path.join(self.dir, name)
        _, off, n = m["patches"][-3]  # a middle patch of the last rewrite
        with open(path, "r+b") as fh:
            fh.seek(off)
            fh.write(w.expected(dict(m, patches=m["patches"][:-4]), off, n))
        c = big_files.make_rewriter(w.result(), self.OPTS, self.content)
        c.check()
        self.assertEqual(len(c.stats.wrong), 1)
        self.assertIn("wrong bytes from offset", c.stats.wrong[0])
        os.unlink(path)
        c = big_files.make_rewriter(w.result(), self.OPTS, self.content)
        c.check()
        self.assertEqual(len(c.stats.lost), 2)  # missing from the listing, and at open
        self.assertTrue(all(name in x for x in c.stats.lost))


class OutageTest(unittest.TestCase):
    """The outage writers' model: what a name and its conflict copies may
    hold after saves that completed, failed with EIO or were cut."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="reliability-test-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.content = model.Content(OPTS["seed"])

    def att(self, seed, size, outcome, written=None):
        return {"seed": seed, "size": size, "outcome": outcome, "written": size if written is None
                else written, "step": 4096, "synced": False, "errors": [], "create": False}

    def put(self, name, a, n=None):
        with open(os.path.join(self.dir, name), "wb") as f:
            f.write(self.content.expected(a["seed"], 0, a["size"] if n is None else n))

    def check(self, attempts):
        w = outage.OutageWriter(0, self.dir, OPTS, self.content, attempts)
        w.check()
        return w.stats

    def test_a_run_on_a_local_directory_checks_clean(self):
        w = outage.OutageWriter(0, self.dir, OPTS, self.content)
        w.run(time.time() + 1.5, self.dir)
        self.assertEqual((w.stats.errors, w.stats.wrong), ({}, []))
        self.assertGreater(w.stats.counts["attempt ok"], 2)
        self.assertTrue(any(len(a) > 1 for a in w.attempts.values()))  # overwrites happened
        s = outage.make_outage_writer(json.loads(json.dumps(w.result())), OPTS, self.content)
        s.check()
        self.assertEqual((s.stats.wrong, s.stats.lost), ([], []))
        self.assertEqual(s.stats.files_verified, len(w.attempts))

    def test_what_a_name_may_hold(self):
        old, new = self.att(1, 5000, "ok"), self.att(2, 7000, "ok")
        kept, cut = self.att(3, 9000, "kept"), self.att(4, 300000, "cut", written=200000)
        at_close, failed = self.att(5, 6000, "cut-at-close"), self.att(6, 80000, "write-failed", 65536)
        copy = "f (conflict 2026-01-02 030405).bin"
        cases = {  # what: (attempts, {file: (attempt, bytes)}, wrong, lost)
            "last save": ([old, new], {"f.bin": (new, None)}, 0, 0),
            "an older save": ([old, new], {"f.bin": (old, None)}, 1, 0),
            "a save gone": ([old, new], {}, 0, 1),
            "kept at the name": ([old, kept], {"f.bin": (kept, None)}, 0, 0),
            "kept in a conflict copy": ([old, kept], {"f.bin": (old, None), copy: (kept, None)}, 0, 0),
            "kept content nowhere": ([old, kept], {"f.bin": (old, None)}, 0, 1),
            "kept superseded by a later save": ([kept, new], {"f.bin": (new, None)}, 0, 0),
            "kept over a later save": ([kept, new], {"f.bin": (kept, None)}, 1, 0),
            "cut: the earlier version": ([old, cut], {"f.bin": (old, None)}, 0, 0),
            "cut: its written part": ([old, cut], {"f.bin": (cut, 200000)}, 1, 0),
            "cut, nothing saved before": ([cut], {}, 0, 0),
            "cut at the close: committed": ([old, at_close], {"f.bin": (at_close, None)}, 0, 0),
            "failed write: its prefix": ([old, failed], {"f.bin": (failed, 65536)}, 0, 0),
            "never opened, yet there": ([self.att(7, 100, "no-open")], {"f.bin": (old, None)}, 1, 0),
            "a conflict copy of nothing kept": ([old, kept], {"f.bin": (kept, None), copy: (cut, 4096)}, 1, 0),
            "a stray file": ([old], {"f.bin": (old, None), "g.bin": (old, None)}, 1, 0),
        }
        for what, (attempts, files, wrong, lost) in cases.items():
            with self.subTest(what):
                for n in os.listdir(self.dir):
                    os.unlink(os.path.join(self.dir, n))
                for n, (a, size) in files.items():
                    self.put(n, a, size)
                s = self.check({"f.bin": attempts})
                self.assertEqual((len(s.wrong), len(s.lost)), (wrong, lost), (s.wrong, s.lost))
        self.assertEqual(outage.conflict_of(copy), "f.bin")
        self.assertEqual(outage.conflict_of("noext (conflict 2026-01-02 030405)"), "noext")
        self.assertIsNone(outage.conflict_of("f (conflict soon).bin"))

    def test_waiting_files_and_the_journal(self):
        self.assertEqual(outage.pending_count("No files wait for upload."), 0)
        self.assertEqual(outage.pending_count("1 file waits for upload (uploaded at ...):\n a"), 1)
        self.assertEqual(outage.pending_count("12 files wait for upload (uploaded ...):"), 12)
        self.assertIsNone(outage.pending_count("tarvik-mount: cannot read the files"))
        entry = os.path.join(self.dir, "acct", "1-2-3")
        os.makedirs(entry)
        with open(os.path.join(entry, "entry"), "w") as f:
            json.dump({"path": "/demo/x.bin", "size": 5, "final": True, "lastCode": 8}, f)
        left = outage.journal_left(self.dir)
        self.assertEqual(left, [{"path": "/demo/x.bin", "size": 5, "final": True, "lastCode": 8}])
        self.assertEqual(outage.journal_left(os.path.join(self.dir, "none")), [])
        r = {"phase": "outage", "kind": "check", "faults": False, "faultEvents": [],
             "hungWorkers": [], "elapsed": 1.0, "procs": 0, "workers": [],
             "uploads": {"stillWaiting": 0, "journalLeft": []}}
        self.assertEqual(report.verdict(r, strict=True), [])
        r["uploads"]["journalLeft"] = left
        self.assertIn("kept on this computer only", report.verdict(r, strict=True)[0])
        r["uploads"] = {"stillWaiting": 2, "seconds": 120, "list": ["a", "b"]}
        self.assertIn("still waiting", report.verdict(r, strict=True)[0])

    def test_the_drive_is_killed_once_during_a_long_outage(self):
        for count in (3, 6):
            plan = faults.outage_plan(count, 12)
            kills = [p for p in plan if p[3]]
            self.assertEqual(len(kills), 1)
            self.assertEqual(kills[0][2], 12)
            self.assertGreater(sum(1 for p in plan if p[2] == 12), 1)
            self.assertEqual({p[1] for p in plan}, {"TERM", "KILL"})
            self.assertEqual([p[0] for p in plan], sorted(p[0] for p in plan))


if __name__ == "__main__":
    unittest.main()

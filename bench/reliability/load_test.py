#!/usr/bin/env python3
"""Tests of the reliability load's checker on a local directory: the
checks must see every kind of damage the drive could do, and must accept
every state a failed call may leave."""

import os
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import load  # noqa: E402

OPTS = {"seed": 7, "phaseIndex": 1, "maxSize": 3 * load.MIB, "maxFiles": 6,
        "maxLiveBytes": 12 * load.MIB}


class CheckerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.content = load.Content(OPTS["seed"])

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="reliability-test-")
        self.addCleanup(shutil.rmtree, self.dir)

    def worker(self, files=None):
        return load.Worker(0, self.dir, OPTS, self.content, files)

    def put(self, name, seed, size):
        with open(os.path.join(self.dir, name), "wb") as f:
            f.write(self.content.expected(seed, 0, size))
        return load.Entry([(seed, size)])

    def test_content_is_a_function_of_seed_and_offset(self):
        a = self.content.expected(5, 0, 3 * load.MIB)
        self.assertEqual(a[load.MIB - 10:load.MIB + 10],
                         self.content.expected(5, load.MIB - 10, 20))
        # Another file, or the same bytes at another offset, never compare equal.
        self.assertNotEqual(a[:load.PAGE], self.content.expected(6, 0, load.PAGE))
        self.assertNotEqual(a[load.PAGE:2 * load.PAGE], a[:load.PAGE])
        self.assertNotEqual(self.content.expected(5, load.BLOCK, load.PAGE),
                            self.content.expected(5, 0, load.PAGE))

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
        w = load.Worker(0, self.dir, dict(OPTS, maxSize=64 * load.MIB), self.content)
        sizes = {w.pick_size() for _ in range(3000)}
        self.assertTrue({load.BLOCK - 1, load.BLOCK, load.BLOCK + 1, 64 * load.MIB} <= sizes)
        self.assertGreaterEqual(min(sizes), load.KIB)
        self.assertLessEqual(max(sizes), 64 * load.MIB)

    def test_a_flipped_byte_is_wrong_data(self):
        files = {"f": self.put("f", 11, 2 * load.MIB + 3)}
        with open(os.path.join(self.dir, "f"), "r+b") as f:
            f.seek(load.MIB + 17)
            b = f.read(1)
            f.seek(load.MIB + 17)
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
        files = {"f": self.put("f", 3, load.BLOCK + 1)}
        os.truncate(os.path.join(self.dir, "f"), load.BLOCK)
        w = self.worker(files)
        self.assertFalse(w.verify("f"))
        self.assertIn("size", w.stats.wrong[0])

    def test_a_range_across_a_block_boundary_sees_damage(self):
        files = {"f": self.put("f", 4, 2 * load.BLOCK + 5)}
        with open(os.path.join(self.dir, "f"), "r+b") as f:
            # Damage every page around both boundaries.
            for edge in (load.BLOCK, 2 * load.BLOCK):
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
        self.assertEqual(len(w.stats.wrong), 2)
        self.assertTrue(any("gone: missing" in x for x in w.stats.wrong))
        self.assertTrue(any("stray: listed" in x for x in w.stats.wrong))
        w = self.worker(dict(files))
        self.assertFalse(w.verify("gone"))
        self.assertIn("lost", w.stats.wrong[0])

    def test_states_a_failed_call_may_leave_are_accepted(self):
        # A failed rename of a onto b: b holds either content, a may be gone.
        a = self.put("a", 8, 7000)
        b = self.put("b", 9, 9000)
        os.replace(os.path.join(self.dir, "a"), os.path.join(self.dir, "b"))
        files = {"a": load.Entry(a.cands, maybe_absent=True),
                 "b": load.Entry(a.cands + b.cands, maybe_absent=True)}
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
        w = self.worker({"e": load.Entry([(14, 3000)])})
        w.after_failed_rename("e", "f", replace=False)
        self.assertEqual(len(w.stats.wrong), 1)
        self.assertIn("lost", w.stats.wrong[0])

    def test_a_replacing_rename_that_lost_the_target_is_caught_later(self):
        files = {"a": self.put("a", 15, 3000), "b": self.put("b", 16, 3000)}
        os.unlink(os.path.join(self.dir, "b"))
        w = self.worker(dict(files))
        w.after_failed_rename("a", "b", replace=True)
        self.assertFalse(w.verify("b"))
        self.assertIn("lost", w.stats.wrong[0])

    def test_delete_of_a_vanished_file(self):
        w = self.worker({"v": load.Entry([(17, 10)])})
        w.op_delete()
        self.assertEqual(len(w.stats.wrong), 1)
        w = self.worker({"v": load.Entry([(17, 10)], maybe_absent=True)})
        w.op_delete()
        self.assertEqual(w.stats.wrong, [])
        self.assertEqual(w.files, {})

    def test_overwrite_replaces_the_content(self):
        old = self.put("o", 18, 2 * load.MIB)
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
                    "workers": [{"wid": 0, "stats": dict(load.Stats().to_json(),
                                                         errors=errors, wrong=wrong)}]}
        self.assertEqual(load.verdict(result({}, []), strict=True), [])
        self.assertEqual(load.verdict(result({"create EIO": 1}, []), strict=False), [])
        self.assertEqual(len(load.verdict(result({"create EIO": 1}, []), strict=True)), 1)
        self.assertEqual(len(load.verdict(result({}, ["w0: x differs"]), strict=False)), 1)
        hung = result({}, [])
        hung["hungWorkers"] = [0]
        self.assertEqual(len(load.verdict(hung, strict=False)), 1)
        crashed = result({}, [])
        crashed["workers"] = [{"wid": 0, "missing": True}]
        self.assertEqual(len(load.verdict(crashed, strict=False)), 1)


if __name__ == "__main__":
    unittest.main()

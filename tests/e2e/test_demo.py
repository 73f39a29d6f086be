"""scripts/demo as the README states it, in a build folder that did not exist: a batch report; a recorded run replays,
the `w` report and the stand-in's notes outlive the fake board (the notes in a log, not on the screen); a command line
it cannot use gets the usage line."""

import os
import shutil
import subprocess
import tempfile
import unittest

from boardlib import HERE, PtySession, render_views

DEMO = os.path.join(HERE, "..", "..", "scripts", "demo")


class DemoTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # As a newcomer runs it: nothing built yet (a build folder that does not exist), no registry tool named.
        cls.here = tempfile.mkdtemp(dir="/var/tmp")
        cls.env = {k: v for k, v in os.environ.items() if k != "CELLSCOPE_MODULES"}
        cls.env["CELLSCOPE_BUILD"] = os.path.join(cls.here, "fresh-build")
        cls.rec = os.path.join(cls.here, "rec")
        cls.batch = subprocess.run([DEMO, "--batch", "--record", cls.rec], cwd=cls.here, capture_output=True,
                                   env=cls.env, timeout=400)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.here, ignore_errors=True)

    def test_a_fresh_batch_run_is_recorded_and_replays_with_its_report_and_notes_kept(self):
        run, here, rec = self.batch, self.here, self.rec
        report, log = (os.path.join(here, n) for n in ("cellscope_results.log", "swfabric-sim.log"))
        self.assertEqual((run.returncode, sorted(os.listdir(os.path.join(rec, "000001")))),
                         (0, ["pg_info.1", "port_info.1", "sw_global_info.1"]), run.stderr[-3000:])
        titles = [view[0][:18] for view in render_views("42", {})]
        batch = run.stdout.decode().splitlines()
        self.assertEqual((len(batch), [t for line in batch for t in titles if line.startswith(t)]), (881, titles))
        demo = PtySession([DEMO, "--replay", rec], cwd=here, env=self.env)
        try:  # four draws: the one recorded set was asked for a second time, past its end
            demo.until(lambda: demo.output.count(b"Total Shared Count") > 3, "the demo's views", timeout=120)
            self.assertEqual(demo.quit(b"w\nq\n"), 0)
            said = demo.stderr()
        finally:
            demo.close()
        self.assertIn(b"w report: %s\n" % report.encode(), said)
        self.assertIn(b"notes of swfabric-sim: %s\n" % log.encode(), said)
        with open(log, "rb") as f:
            self.assertIn(b"replay: past the last set", f.read())
        with open(report) as f:
            lines = f.read().splitlines()
        self.assertNotIn(b"past the last set", demo.output)
        self.assertEqual((len(lines), [t for line in lines for t in titles if line.startswith(t)]), (881, titles))

    def test_replay_without_folder_prints_usage(self):
        run = subprocess.run([DEMO, "--replay"], capture_output=True, text=True, env=self.env, timeout=60)
        self.assertEqual(run.returncode, 2)
        self.assertTrue(run.stderr.splitlines()[-1].startswith("Usage: scripts/demo ["), run.stderr)


if __name__ == "__main__":
    unittest.main()

"""scripts/demo as an operator runs it: a recorded run replays, the `w` report and the stand-in's notes outlive the
fake board (the notes in a log, not on the screen), and a command line it cannot use gets the usage line."""

import os
import subprocess
import tempfile
import unittest

from boardlib import BINARY, HERE, PtySession, render_views

DEMO = os.path.join(HERE, "..", "..", "scripts", "demo")
ENV = dict(os.environ, CELLSCOPE_BUILD=os.environ.get("CELLSCOPE_BUILD", os.path.dirname(BINARY)))  # no build


class DemoTest(unittest.TestCase):
    def test_a_recorded_run_replays_and_its_report_and_notes_are_kept(self):
        with tempfile.TemporaryDirectory(dir="/var/tmp") as here:
            rec, report, log = (os.path.join(here, n) for n in ("rec", "cellscope_results.log", "swfabric-sim.log"))
            run = subprocess.run([DEMO, "--batch", "--record", rec], cwd=here, capture_output=True, env=ENV,
                                 timeout=120)
            self.assertEqual((run.returncode, sorted(os.listdir(os.path.join(rec, "000001")))),
                             (0, ["pg_info.1", "port_info.1", "sw_global_info.1"]), run.stderr)
            demo = PtySession([DEMO, "--replay", rec], cwd=here, env=ENV)
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
        titles = [view[0][:18] for view in render_views("42", {})]
        self.assertEqual((len(lines), [t for line in lines for t in titles if line.startswith(t)]), (881, titles))

    def test_replay_without_folder_prints_usage(self):
        run = subprocess.run([DEMO, "--replay"], capture_output=True, text=True, env=ENV, timeout=60)
        self.assertEqual(run.returncode, 2)
        self.assertTrue(run.stderr.splitlines()[-1].startswith("Usage: scripts/demo ["), run.stderr)


if __name__ == "__main__":
    unittest.main()

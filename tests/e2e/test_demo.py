"""scripts/demo as an operator runs it: the `w` report outlives the fake board, and a command line it cannot use
gets the usage line."""

import os
import subprocess
import tempfile
import unittest

from boardlib import BINARY, HERE, PtySession, render_views

DEMO = os.path.join(HERE, "..", "..", "scripts", "demo")
ENV = dict(os.environ, CELLSCOPE_BUILD=os.environ.get("CELLSCOPE_BUILD", os.path.dirname(BINARY)))  # no build


class DemoTest(unittest.TestCase):
    def test_w_report_is_copied_out_and_its_path_printed(self):
        with tempfile.TemporaryDirectory(dir="/var/tmp") as here:
            demo = PtySession([DEMO], cwd=here, env=ENV)
            try:
                demo.until(lambda: b"Total Shared Count" in demo.output, "the first view", timeout=120)
                self.assertEqual(demo.quit(b"w\nq\n"), 0)
                said = demo.stderr()
            finally:
                demo.close()
            report = os.path.join(here, "cellscope_results.log")
            self.assertIn(b"w report: " + report.encode(), said)
            with open(report) as f:
                lines = f.read().splitlines()
        titles = [view[0][:18] for view in render_views("42", {})]
        self.assertEqual((len(lines), [t for line in lines for t in titles if line.startswith(t)]), (881, titles))

    def test_replay_without_folder_prints_usage(self):
        run = subprocess.run([DEMO, "--replay"], capture_output=True, text=True, env=ENV, timeout=60)
        self.assertEqual(run.returncode, 2)
        self.assertTrue(run.stderr.splitlines()[-1].startswith("Usage: scripts/demo ["), run.stderr)


if __name__ == "__main__":
    unittest.main()

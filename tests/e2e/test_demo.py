"""scripts/demo as an operator runs it: the `w` report outlives the fake board,
and a command line it cannot use gets the usage line."""

import os, pty, select, signal, subprocess, tempfile, time, unittest

DEMO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "demo")
ENV = dict(os.environ)
if "CELLSCOPE_BUILD" not in ENV and "CELLSCOPE_BIN" in ENV:  # the test build: no build of its own
    ENV["CELLSCOPE_BUILD"] = os.path.dirname(ENV["CELLSCOPE_BIN"])
TITLES = ["Total Shared Count:", "PID PShr PSMx PG0S", "PID PShr PSMx Q0SZ", "PID ibpdrop",
          "Total shared memory usage:", "Port shared memory usage:"] + \
    ["PG%d shared memory usage:" % k for k in range(8)] + ["Egress Q%d shared memory usage:" % k for k in range(8)]


def pump(master, out, until, deadline):
    """Reads the demo's terminal until `until` shows or every process on it has ended."""
    while (until is None or until not in out) and time.monotonic() < deadline:
        try:
            if select.select([master], [], [], 0.2)[0]:
                out += os.read(master, 65536)
        except OSError:  # EIO: the terminal has no process left
            break
    return out


class DemoTest(unittest.TestCase):
    def test_w_report_is_copied_out_and_its_path_printed(self):
        with tempfile.TemporaryDirectory(dir="/var/tmp") as here:
            master, slave = pty.openpty()
            proc = subprocess.Popen([DEMO], cwd=here, env=ENV, stdin=slave, stdout=slave, stderr=slave,
                                    start_new_session=True)
            os.close(slave)
            deadline = time.monotonic() + 300
            try:
                out = pump(master, b"", b"Total Shared Count", deadline)
                self.assertIn(b"Total Shared Count", out, out[-800:])
                os.write(master, b"w\nq\n")
                out = pump(master, out, None, deadline)
                self.assertEqual(proc.wait(30), 0, out[-800:])
            finally:
                if proc.poll() is None:
                    os.killpg(proc.pid, signal.SIGTERM)  # the demo still removes its board
                    proc.wait(30)
                os.close(master)
            report = os.path.join(here, "cellscope_results.log")
            self.assertIn(b"w report: " + report.encode(), out)
            with open(report) as f:
                lines = f.read().splitlines()
        self.assertEqual(len(lines), 881)
        self.assertEqual([t for line in lines for t in TITLES if line.startswith(t)], TITLES)

    def test_replay_without_folder_prints_usage(self):
        run = subprocess.run([DEMO, "--replay"], capture_output=True, text=True, env=ENV, timeout=60)
        self.assertEqual(run.returncode, 2)
        self.assertTrue(run.stderr.splitlines()[-1].startswith("Usage: scripts/demo ["), run.stderr)


if __name__ == "__main__":
    unittest.main()

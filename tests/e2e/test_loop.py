"""The refresh loop, key commands and dump exchange of the real binary on a
fake board, driven on a pseudo-terminal with a stand-in daemon."""

import os
import time
import unittest

from boardlib import (Board, daemon_log, global_dump_42, standin_args,
                      summary_line)

HOME_ERASE = b"\x1b[H\x1b[K"


class Exchange(unittest.TestCase):
    def test_dumps_are_consumed_once_each_and_leftovers_removed(self):
        with Board("42") as board:
            # Left-overs of an earlier run: must be deleted, never shown.
            board.write("sw_global_info.1", global_dump_42(0x999)["sw_global_info.1"])
            board.write("swfabric_se_dump_complete", "")
            sim = standin_args(board, [global_dump_42(0x111), global_dump_42(0x333), global_dump_42(0x222)])
            with board.spawn([], sim=sim) as mon:
                mon.wait_for(summary_line(0x111, 0x111, 0x7000))
                for _ in range(2):
                    mon.send("\n")  # each line ends the wait: a quick pass
                    time.sleep(0.3)
                mon.wait_for(summary_line(0x333, 0x333, 0x7000))
                mon.wait_for(summary_line(0x222, 0x333, 0x7000))
                self.assertNotIn(b"0999", mon.output)
                # Histogram of the switch-wide count: exactly three values.
                mon.send("n\n")
                time.sleep(0.2)
                for _ in range(3):
                    mon.send("n\n")
                    time.sleep(0.2)
                mon.wait_for("Total shared memory usage:")
                mon.wait_for("\x1b[K 00000001 00000002 00000000")
                mon.send("q\n")
                self.assertEqual(mon.wait(), 0)
            log = daemon_log(board)
            self.assertEqual([l for l in log if l.startswith("signal answered")],
                             ["signal answered 0001", "signal answered 0002", "signal answered 0003"])
            # The request after the last dump reached the daemon as well.
            self.assertEqual(log.count("signal unanswered"), 1)
            self.assertFalse(os.path.exists(board.path("swfabric_se_dump_complete")))

    def test_same_second_dumps_are_both_read(self):
        with Board("42") as board:
            sim = standin_args(board, [global_dump_42(0x10), global_dump_42(0x20)], extra="--mtime 1000")
            with board.spawn([], sim=sim) as mon:
                mon.wait_for(summary_line(0x10, 0x10, 0x7000))
                mon.send("\n")
                mon.wait_for(summary_line(0x20, 0x20, 0x7000))
                mon.send("q\n")
                self.assertEqual(mon.wait(), 0)

    def test_untrusted_pid_files_signal_nobody(self):
        for text, reason in (("-1\n", b"not a process id"), ("0\n", b"refusing to signal process id 0 or 1"),
                             ("1\n", b"refusing to signal process id 0 or 1"), ("", b"empty"),
                             ("12abc\n", b"not a process id"), ("99999\n", b"cannot signal the daemon")):
            with self.subTest(pidfile=text), Board("42") as board:
                # The stand-in stays alive as a bystander and logs any signal.
                sim = standin_args(board, [global_dump_42(0x55)], extra="--pidfile-text=" + text.strip())
                with board.spawn([], sim=sim) as mon:
                    mon.wait_for(summary_line(0, 0, 0))
                    mon.send("\n")
                    mon.wait_for(summary_line(0, 0, 0), start=len(mon.output))
                    mon.send("q\n")
                    self.assertEqual(mon.wait(), 0)
                    err = mon.stderr()
                self.assertEqual(err.count(b"\n"), 1, err)
                self.assertIn(b"/var/run/swfabric_se_dump.pid: " + reason, err)
                self.assertEqual([l for l in daemon_log(board) if l.startswith("signal")], [])

    def test_no_daemon_keeps_running_with_last_values(self):
        with Board("24") as board, board.spawn([]) as mon:
            mon.wait_for(summary_line(0, 0, 0))
            mon.send("\n")
            mon.wait_for(summary_line(0, 0, 0), start=len(mon.output))
            mon.send("q\n")
            self.assertEqual(mon.wait(), 0)
            self.assertIn(b"cannot open", mon.stderr())


class Keys(unittest.TestCase):
    def test_n_wraps_and_upper_case_does_nothing(self):
        with Board("42") as board, board.spawn(["-v", "21"]) as mon:
            mon.wait_for("Egress Q7 shared memory usage:")
            mark = len(mon.output)
            mon.send("N\nQ\n")
            time.sleep(0.5)
            mon.send("\n")
            mon.wait_for("Egress Q7 shared memory usage:", start=mark)
            self.assertIsNone(mon.proc.poll())
            self.assertNotIn(b"Total Shared Count", mon.output[mark:])
            mon.send("n\n")
            at = mon.wait_for(b"\x1b[H\x1b[J Reloading please wait...", start=mark)
            mon.wait_for(HOME_ERASE + summary_line(0, 0, 0).encode(), start=at)
            mon.send("q\n")
            self.assertEqual(mon.wait(), 0)
            self.assertTrue(mon.output.endswith(b"\x1b[H\x1b[J"), mon.output[-40:])

    def test_view_option_rules(self):
        for args, title in ((["-v", "22"], "Total Shared Count"), (["-v", "abc"], "Total Shared Count"),
                            (["-v", "6"], "PG0 shared memory usage:"), (["-v", "14"], "Egress Q0 shared memory usage:")):
            with self.subTest(args=args), Board("30") as board, board.spawn(args) as mon:
                mon.wait_for(title)
                mon.send("q\n")
                self.assertEqual(mon.wait(), 0)

    def test_h_shows_help_until_enter(self):
        with Board("42") as board, board.spawn([]) as mon:
            mon.wait_for(summary_line(0, 0, 0))
            mon.send("h\n")
            at = mon.wait_for("q - quit\n")
            self.assertIn(b"\x1b[H\x1b[J\nFollowing commands are supported", mon.output)
            time.sleep(3.8)  # more than one refresh period: nothing redrawn
            mon.pump(0.2)
            self.assertNotIn(b"Total Shared Count", mon.output[at:])
            mon.send("x\n")  # the next line ends the help
            mon.wait_for(summary_line(0, 0, 0), start=at)
            mon.send("q\n")
            self.assertEqual(mon.wait(), 0)

    def test_w_writes_all_views_and_keeps_the_view(self):
        with Board("42") as board, board.spawn(["-v", "5"]) as mon:
            mon.wait_for("Port shared memory usage:")
            mark = len(mon.output)
            mon.send("w\n")
            mon.send("\n")
            mon.wait_for("Port shared memory usage:", start=mark)
            deadline = time.time() + 10
            while time.time() < deadline and not os.path.exists(board.path("cellscope_results.log")):
                time.sleep(0.1)
            mon.send("q\n")
            self.assertEqual(mon.wait(), 0)
            # The frames of all 22 views went to the terminal.
            self.assertGreaterEqual(mon.output[mark:].count(HOME_ERASE), 22)
            with open(board.path("cellscope_results.log"), "rb") as f:
                report = f.read()
            self.assertTrue(report.startswith(summary_line(0, 0, 0).encode()))
            self.assertEqual(report.count(b"\n"), 881)
            self.assertIn(b"\x1b[K", report)
            self.assertNotIn(b"\x1b[H", report)

    def test_w_never_follows_a_symlink_or_blocks(self):
        for kind in ("symlink", "fifo", "directory"):
            with self.subTest(kind=kind), Board("42") as board:
                victim = os.path.join(board.stage, "victim")
                with open(victim, "w") as f:
                    f.write("precious\n")
                target = board.path("cellscope_results.log")
                if kind == "symlink":
                    os.symlink(victim, target)
                elif kind == "fifo":
                    os.mkfifo(target)
                else:
                    os.mkdir(target)
                with board.spawn([]) as mon:
                    mon.wait_for(summary_line(0, 0, 0))
                    mon.send("w\n")
                    mark = len(mon.output)
                    mon.send("\n")
                    mon.wait_for(summary_line(0, 0, 0), start=mark)
                    mon.send("q\n")
                    self.assertEqual(mon.wait(), 0)
                with open(victim) as f:
                    self.assertEqual(f.read(), "precious\n")


class Batch(unittest.TestCase):
    def test_batch_reads_leftover_files(self):
        with Board("42") as board:
            board.write("sw_global_info.1", global_dump_42(0x1a0)["sw_global_info.1"])
            r = board.run(["-b"])
            self.assertEqual(r.returncode, 0)
            self.assertTrue(r.stdout.startswith(summary_line(0x1a0, 0x1a0, 0x7000).encode()))
            self.assertNotIn(b"\x1b", r.stdout)
            self.assertTrue(os.path.exists(board.path("sw_global_info.1")))  # nothing deleted

    def test_batch_with_a_fifo_and_a_directory_does_not_hang(self):
        with Board("42") as board:
            os.mkfifo(board.path("port_info.1"))
            os.mkdir(board.path("pg_info.1"))
            board.write("sw_global_info.1", global_dump_42(0x42)["sw_global_info.1"])
            r = board.run(["-b"], timeout=30)
            self.assertEqual(r.returncode, 0)
            self.assertTrue(r.stdout.startswith(summary_line(0x42, 0x42, 0x7000).encode()))
            self.assertEqual(r.stdout.count(b"\n"), 881)


class EndOfInput(unittest.TestCase):
    def test_stdin_at_end_of_file_keeps_the_three_second_pace(self):
        with Board("42") as board, board.spawn([], stdin_devnull=True) as mon:
            mon.pump(7.5)
            draws = mon.count("Total Shared Count")
            # Two passes at once (the end of file is seen once), then one per 3 s.
            self.assertGreaterEqual(draws, 2)
            self.assertLessEqual(draws, 5)
            self.assertIsNone(mon.proc.poll())


if __name__ == "__main__":
    unittest.main()

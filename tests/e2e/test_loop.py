"""The refresh loop, key commands and dump exchange of the real binary on a
fake board, driven on a pseudo-terminal with a stand-in daemon."""

import os
import time
import unittest

from boardlib import (HOME_ERASE, MARKER, NO_PIDFILE, PIDFILE_MSG, Board, assert_quiet, daemon_log,
                      global_dump_42, monitor_pid, standin_args, summary_line)

ZERO = summary_line(0, 0, 0)
TITLES = ([b"Total Shared Count", b"PID PShr PSMx PG0S", b"PID PShr PSMx Q0SZ", b"PID ibpdrop",
           b"Total shared memory usage:", b"Port shared memory usage:"]
          + [b"PG%d shared memory usage:" % k for k in range(8)]
          + [b"Egress Q%d shared memory usage:" % k for k in range(8)])
RELOAD = b"\x1b[H\x1b[J Reloading please wait..."


def first_view(chunk):
    """The view whose title comes first in chunk, or None."""
    found = [(chunk.find(title), view) for view, title in enumerate(TITLES) if title in chunk]
    return min(found)[1] if found else None


class Exchange(unittest.TestCase):
    def test_dumps_are_consumed_once_each_even_within_one_second(self):
        with Board("42") as board:
            # Left-overs of an earlier run: must be deleted, never shown.
            board.write("sw_global_info.1", global_dump_42(0x999)["sw_global_info.1"])
            board.write(MARKER, "")
            # The dumps share one modification second (they differ in nanoseconds).
            sim = standin_args(board, [global_dump_42(0x111), global_dump_42(0x333), global_dump_42(0x222)],
                               extra="--mtime 1000")
            with board.spawn([], sim=sim) as mon:
                mon.wait_for(summary_line(0x111, 0x111, 0x7000))
                for _ in range(2):
                    mon.send("\n")  # each line ends the wait: a quick pass
                    time.sleep(0.3)
                mon.wait_for(summary_line(0x333, 0x333, 0x7000))
                mon.wait_for(summary_line(0x222, 0x333, 0x7000))
                self.assertNotIn(b"0999", mon.output)
                # Histogram of the switch-wide count (view 4): exactly three values.
                for _ in range(4):
                    mon.send("n\n")
                    time.sleep(0.2)
                mon.wait_for("Total shared memory usage:")
                mon.wait_for("\x1b[K 00000001 00000002 00000000")
                self.assertEqual(mon.quit(), 0)
            self.assertEqual(daemon_log(board, "signal answered"),
                             ["signal answered 0001", "signal answered 0002", "signal answered 0003"])
            # The request after the last dump reached the daemon as well.
            self.assertEqual(daemon_log(board, "signal unanswered"), ["signal unanswered"])
            self.assertFalse(os.path.exists(board.path(MARKER)))

    def test_untrusted_pid_files_signal_nobody(self):
        # A text is written by the stand-in, which stays alive as a bystander
        # and logs any signal; "self" is the monitor's own pid, written later.
        cases = [("-1", b"not a process id"), ("0", b"refusing to signal process id 0 or 1"),
                 ("1", b"refusing to signal process id 0 or 1"), ("", b"empty"), ("12abc", b"not a process id"),
                 ("0" * 40 + "42", b"not a process id"), ("99999999999", b"process id out of range"),
                 ("99999", b"cannot signal the daemon: No such process"),
                 ("fifo", b"not a readable regular file"), ("directory", b"not a readable regular file"),
                 ("self", b"refusing to signal the monitor itself")]
        for case, reason in cases:
            with self.subTest(pidfile=case), Board("42") as board:
                pidfile = os.path.join(board.run_dir, "swfabric_se_dump.pid")
                sim = None
                if case == "fifo":
                    os.mkfifo(pidfile)  # no writer: a blocking open would hang
                elif case == "directory":
                    os.mkdir(pidfile)
                elif case != "self":
                    sim = standin_args(board, [global_dump_42(0x55)], extra="--pidfile-text=" + case)
                with board.spawn([], sim=sim) as mon:
                    mon.wait_for(ZERO)
                    pid = monitor_pid(mon, board)
                    if case == "self":
                        with open("/proc/%d/status" % pid) as f:  # its pid on the board
                            own = [line.split()[-1] for line in f if line.startswith("NSpid:")][0]
                        board.write("swfabric_se_dump.pid", own + "\n", where="run")
                    # A dump turns up all the same: consumed, and the next request refused too.
                    board.write("sw_global_info.1", "MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x66\n")
                    board.write(MARKER, "")
                    mon.enter(summary_line(0x66, 0x66, 0))
                    self.assertFalse(os.path.exists(board.path(MARKER)))
                    assert_quiet(self, mon, pid, 0.5)
                    self.assertEqual(mon.quit(), 0)
                    line = PIDFILE_MSG + reason + b"\n"
                    self.assertEqual(mon.stderr(), (NO_PIDFILE if case == "self" else line) + line)
                if sim:
                    self.assertEqual(daemon_log(board, "signal"), [])


class Keys(unittest.TestCase):
    def test_n_cycles_and_wraps_faster_than_the_refresh_upper_case_does_nothing(self):
        with Board("42") as board, board.spawn(["-v", "21"]) as mon:
            mon.wait_for(TITLES[21])
            mark = len(mon.output)
            mon.send("N\nQ\n")
            time.sleep(0.5)
            mon.send(b"n\n" * 500)
            end = time.monotonic() + 60
            while mon.count(RELOAD, start=mark) < 500 and time.monotonic() < end:
                mon.pump(0.2)
            mon.wait_for("\x1b[Kxe41 ", start=mon.output.rindex(RELOAD))  # the last view drawn in full
            chunks = mon.output[mark:].split(RELOAD)
            self.assertEqual(len(chunks), 501)
            self.assertNotIn(TITLES[0], chunks[0])  # N and Q: a redraw of view 21, nothing else
            self.assertEqual([first_view(c) for c in chunks[1:]], [(21 + i) % 22 for i in range(1, 501)])
            self.assertIn(HOME_ERASE + ZERO.encode(), chunks[1])
            self.assertEqual(mon.quit(), 0)
            self.assertTrue(mon.output.endswith(b"\x1b[H\x1b[J"), mon.output[-40:])
            self.assertEqual(mon.stderr(), NO_PIDFILE)

    def test_view_option_rules(self):
        with Board("30") as board:
            for args, view in ((["-v", "22"], 0), (["-v", "abc"], 0), (["-v", "6"], 6), (["-v", "14"], 14)):
                with self.subTest(args=args), board.spawn(args) as mon:
                    mon.wait_for(TITLES[view])
                    self.assertEqual(mon.quit(), 0)

    def test_h_shows_help_until_enter(self):
        with Board("42") as board, board.spawn([]) as mon:
            mon.wait_for(ZERO)
            at = mon.enter("q - quit\n", "h\n")
            self.assertIn(b"\x1b[H\x1b[J\nFollowing commands are supported", mon.output)
            mon.pump(4.0)  # more than one refresh period: nothing redrawn
            self.assertNotIn(TITLES[0], mon.output[at:])
            mon.enter(ZERO, "x\n")  # the next line ends the help
            self.assertEqual(mon.quit(), 0)


class Batch(unittest.TestCase):
    def test_batch_reads_leftover_files_past_a_fifo_and_a_directory(self):
        with Board("42") as board:
            board.write("sw_global_info.1", global_dump_42(0x1a0)["sw_global_info.1"])
            os.mkfifo(board.path("port_info.1"))
            os.mkdir(board.path("pg_info.1"))
            r = board.run(["-b"], timeout=30)
            self.assertEqual((r.returncode, r.stderr), (0, b""))
            self.assertTrue(r.stdout.startswith(summary_line(0x1a0, 0x1a0, 0x7000).encode()))
            self.assertEqual(r.stdout.count(b"\n"), 881)
            self.assertNotIn(b"\x1b", r.stdout)
            self.assertTrue(os.path.exists(board.path("sw_global_info.1")))  # nothing deleted


if __name__ == "__main__":
    unittest.main()

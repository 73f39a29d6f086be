"""Faults met by the real monitor on a fake board: hostile dump files, a
daemon that misbehaves, a terminal that goes away, a report file that cannot
be written. Each case checks that the monitor survives without spinning,
shows exact values afterwards (a stray write would show up as a value in
some view) and writes only the documented diagnostics."""

import os
import random
import shutil
import signal
import stat
import subprocess
import time
import unittest

from boardlib import (BINARY, HOME_ERASE, LABELS, MARKER, NO_PIDFILE, QEMU, REPORT, Board, Closing, PtySession,
                      alive, assert_quiet, daemon_log, monitor_pid, render_views, report_problems, standin_args,
                      summary_line)

RANGE = b"Numerical result out of range\n"
NO_DIGITS = b"No digits were found\n"
FULL = 0xFFFFFFFF
ZERO = summary_line(0, 0, 0)


def launcher_command(board, launcher, launcher_args, sim=None):
    """A board whose command is launcher, which in turn runs a copy of the
    monitor in the staging folder (the board's /tmp may hide the build folder)."""
    folder = os.path.join(board.stage, "monitor")
    os.makedirs(folder, exist_ok=True)
    monitor = shutil.copy2(BINARY, folder)
    cmd = [c for c in board.command([], sim=sim, binary=launcher) if c != "--qemu"]
    return cmd + list(launcher_args) + (["qemu-ppc", "-L", "/usr/powerpc-linux-gnu"] if QEMU else []) + [monitor]


def hang_up(session):
    """Closes the terminal's master side, as when the terminal goes away."""
    os.close(session.master)
    session.master = -1  # never closed twice, whatever reuses the number


def kill_board(session):
    """Ends the whole board; what the monitor wrote to stderr."""
    os.killpg(session.proc.pid, signal.SIGKILL)
    session.proc.wait(10)
    return session.proc.stderr.read()


class Report:
    """A `w` report as read back: complete once it holds the 22 views."""

    def __init__(self, data, ports):
        self.data = data
        self.complete = data.endswith(b"\n") and data.count(b"\n") == 41 + 20 * ports


# ---- a monitor fed one dump at a time

class Feed(Closing):
    """The monitor on a pseudo-terminal with the stand-in daemon, which
    delivers the next dump only when the test opens its gate, so the test
    knows exactly which dumps a view or report reflects."""

    def __init__(self, test, model, dumps):
        self.test = test
        self.board = Board(model)
        self.gate = os.path.join(self.board.stage, "gate")
        self.mon = self.board.spawn([], sim=standin_args(self.board, dumps, extra="--gate " + self.gate))
        try:
            self.pid = monitor_pid(self.mon, self.board)
            self.wait_log(lambda: "signal received 1" in daemon_log(self.board), "the first request")
        except BaseException:
            self.close()
            raise

    def close(self):
        self.mon.close()
        self.board.close()

    def count(self, prefix):
        return len(daemon_log(self.board, prefix))

    def wait_log(self, done, what):
        end = time.monotonic() + 15
        while not done():
            if time.monotonic() > end:
                raise AssertionError("daemon log never showed %s: %r" % (what, daemon_log(self.board)))
            self.mon.pump(0.02)

    def deliver(self):
        """Lets the daemon answer the pending request with the next dump set."""
        done = self.count("signal answered") + self.count("signal unanswered")
        open(self.gate, "w").close()
        self.wait_log(lambda: self.count("signal answered") + self.count("signal unanswered") > done, "an answer")

    def step(self, consumed=True):
        """One pass after Enter: the dump in place is consumed (marker gone,
        next dump requested) or, without a marker, nothing is."""
        requests = self.count("signal received")
        self.enter()
        if consumed:
            self.test.assertFalse(os.path.exists(self.board.path(MARKER)))
            self.wait_log(lambda: self.count("signal received") > requests, "the next request")
        else:
            self.mon.pump(0.3)
            self.test.assertEqual(self.count("signal received"), requests)

    def enter(self):
        """Enter and wait for the next full drawing of view 0."""
        self.mon.wait_for(" \n", start=self.mon.enter("Total Shared Count"))

    def feed(self):
        self.deliver()
        self.step()

    def assert_views(self, state):
        """A `w` report shows exactly the views of this store state (see
        boardlib.render_views): a stray write shows up as a value somewhere."""
        path = self.board.path(REPORT)
        if os.path.exists(path):
            os.unlink(path)
        self.mon.send("w\n")
        end = time.monotonic() + 15
        while time.monotonic() < end:
            self.mon.pump(0.05)
            if os.path.exists(path):
                with open(path, "rb") as f:
                    report = Report(f.read(), len(LABELS[self.board.model]))
                if report.complete:
                    views = render_views(self.board.model, state)
                    return self.test.assertEqual(report_problems(report.data, views), [])
        raise AssertionError("no complete report was written")

    def assert_quiet(self, seconds, max_draws):
        """Little CPU and, without keys, drawing at the three-second pace."""
        mark = len(self.mon.output)
        assert_quiet(self.test, self.mon, self.pid, seconds)
        self.test.assertLessEqual(self.mon.count("Total Shared Count", start=mark), max_draws)

    def quit(self):
        self.test.assertEqual(self.mon.quit(), 0)


# ---- dumps

def lines(form, table):
    """Dump lines: form filled with the space-separated fields of each
    comma-separated item of table (the last field keeps any spaces)."""
    return "".join(form % tuple(item.split(" ", form.count("%s") - 1)) + "\n" for item in table.split(", "))


GOOD_42 = {
    "sw_global_info.1": "MMU_THDM_DB_POOL_SHARED_COUNT.mmu0: COUNT=0x111\n"
                        "THDI_BUFFER_CELL_LIMIT_SP.ipipe0: LIMIT=0x7000\n",
    "port_info.1": "RXPP.xe5: COUNT=250\nTXPP.xe40: COUNT=0x4d\nTHDI_PORT_SP_CNTRS_RT_X[36]: PORT_SP_SHARED_COUNT=0x80\n"
                   "CTR_ING_DROP[3]: PKTCNT=7\nCTR_UC_DROP[39]: PKTCNT=5\n",
    "pg_info.1": "THDI_PORT_PG_CNTRS_RT1_X[19]: PG_SHARED_COUNT=0x40\n",
}

# State after GOOD_42 alone: every value below 1 % of the buffer.
GOOD_42_STATE = {
    ("total_shared",): (0x111, 0x111, {0: 1}), "limit": 0x7000,
    (39, "port_shared"): (0x80, 0x80, {0: 1}), (0, "pg", 3): (0x40, 0x40, {0: 1}),
    (5, "rxpp"): 250, (40, "txpp"): 0x4d, (8, "ibp_drop"): 7, (8, "hol_drop", 3): 5,
}


def garbage_global():
    rng = random.Random(7)
    return (bytes(rng.randrange(256) for _ in range(3000)) + b"\n"
            + b"\x00MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x999\n"        # hidden behind a NUL
            + b"MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x123\x00COUNT=0x999\n"
            + b"\xff\xfe\x01MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x50 \x80\x81\n"
            + b"MMU_THDM_DB_POOL_SHARED_COUNT: " + b" " * (1 << 20) + b"COUNT=0x999\n"  # key in a later piece
            + b"THDI_BUFFER_CELL_LIMIT_SP: LIMIT=0x6")                    # cut off mid-line


def long_lines_pg():
    return ("A" * (1 << 20) + "\n"
            # The marker straddles the 255-character piece boundary: not seen.
            + "B" * 250 + "THDI_PORT_PG_CNTRS_RT1_X[19]: PG_SHARED_COUNT=0x7\n"
            # Four full pieces, then the marker starts a piece of its own.
            + "C" * (255 * 4) + "THDI_PORT_PG_CNTRS_RT1_X[27]: PG_SHARED_COUNT=0x21\n")


NUMBERS_42 = {
    "sw_global_info.1": "just some words\n# MMU_THDM comment\nOTHER_REGISTER: COUNT=0x5\n\n"
                        "MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x100000000\nTHDI_BUFFER_CELL_LIMIT_SP: LIMIT=-1\n"
                        "MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=010\n",
    "port_info.1": lines("RXPP.xe%s: COUNT=%s", "1 0x1F, 2 010, 3 +25, 4 -1, 6 0X10, 7    42, 9 18446744073709551615, "
                         "10 18446744073709551616, 11 0x100000005, 12 -0x10, 99 5, 4294967296 5, -1 5, on 5")
    + lines("TXPP.xe%s: COUNT=%s", "13 0777, 14 -18446744073709551616")
    + lines("CTR_ING_DROP[%s]: PKTCNT=%s", "-1 5, -64 5, 4294967360 5, 3 99999999999999999999")
    + lines("CTR_UC_DROP[%s]: PKTCNT=%s", "-2147483648 5, 2147483647 5,  5, 1787 0x2a")
    + lines("THDI_PORT_SP_CNTRS_RT_%s: PORT_SP_SHARED_COUNT=%s", "X[-4] 1, Y[96] 0xffffffff"),
    "pg_info.1": lines("THDI_PORT_PG_CNTRS_RT1_%s: PG_SHARED_COUNT=%s",
                       "X[0] 0x10, X[1] 010, X[2] -1, X[3] 0x100000000, X[4] -4294967296, X[5] 4294967295, "
                       "X[6] 99999999999999999999999, X[7] +7, X[-1] 1, X[-8] 1, Y[-2147483648] 1, Y[4294967295] 1, "
                       "Y[99999999999999999999999] 1, X[136] 1, Y[200] 1, X[abc] 1, Y[199] 0X3"),
}

DUMP_24 = {
    "sw_global_info.1": "TOTAL_SHARED_COUNT=0x1a2\nTOTAL_SHARED_LIMIT=0x300\ntotal_shared_count=0x100000000\n",
    "port_info.1": lines("IRXPP.xe%s: COUNT=%s", "5 0x2a, 42 1, -1 1, 4294967296 1") + "xeon IRXPP COUNT=1\n"
    + lines("WREDAVGQSIZE_CELL(%s).xe3: AVGQSIZE_CELL=%s",
            "2 0x18000, 8 0x18000, -1 0x18000, 4294967296 0x18000, 1 0x100000000, 1 -1")
    + lines("HOLDROP_PKT_CNT(%s).xe4: COUNT=%s", "9 9, 5 9, 4294967295 9")
    + "PORT_SHARED_COUNT.xe50: PORT_SHARED_COUNT=1\nIBP_DROP_PKT_CNT.xe1: COUNT=4294967297\n",
    "pg_info.1": lines("xe%s PG_SHARED_COUNT(%s)=%s",
                       "5 3 0x40, 5 8 1, 5 -1 1, 41 0 0x1, 42 0 1, 99999999999 0 1,  0 1"),
}

DUMP_30 = {
    "sw_global_info.1": "TOTAL_BUFFER_COUNT_CELL_SP: TOTAL_BUFFER_COUNT=0x123\nOP_BUFFER_SHARED_LIMIT_CELL=0x300\n"
                        "TOTAL_BUFFER_COUNT_CELL_SP: TOTAL_BUFFER_COUNT=-4294967296\n",
    "port_info.1": lines("CTR_UC_DROP[%s]: PKT_CNT=%s", "-1 5, -2147483648 5, 300 0x5, 982 1, 2147483647 1, "
                         "4294967295 1, 99999999999999 1, x 1, 979 99999999999999999999")
    + lines("RXPP.xe%s: COUNT=%s", "7 0x10, 30 1, 42 1") + "TXPP.xe: COUNT=1\n"
    + "PORT_SHARED_COUNT_CELL.xe7: PORT_SHARED_COUNT=0x80\nDROP_PKT_CNT_ING.xe7: COUNT=3\n",
    "pg_info.1": lines("PG_SHARED_COUNT_CELL(%s).xe%s: PG_SHARED_COUNT=%s", "3 5 0x40, 3 500 1, 10 5 1, -8 5 1"),
}


class HostileDumps(unittest.TestCase):
    def test_hostile_dump_content_42(self):
        dumps = [
            GOOD_42,
            {"sw_global_info.1": "", "port_info.1": "", "pg_info.1": ""},
            {"sw_global_info.1": garbage_global(),
             "port_info.1": "RXPP.xe5: COUNT=300\r\nRXPP.xe10: COUNT=77\r\n"
                            "THDI_PORT_SP_CNTRS_RT_Y[8]: PORT_SP_SHARED_COUNT=0x10\r\nCTR_UC_DROP[1543]: PKTCNT=9\r\n",
             "pg_info.1": long_lines_pg()},
            NUMBERS_42,
            {"sw_global_info.1": "MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x4000\n"
                                 "THDI_BUFFER_CELL_LIMIT_SP: LIMIT=0x7000\n"},
        ]
        with Feed(self, "42", dumps) as f:
            f.feed()
            self.assertIn(summary_line(0x111, 0x111, 0x7000).encode(), f.mon.output)
            f.assert_views(GOOD_42_STATE)

            # Empty files: the peaks of the latest dump drop to zero, all else stays.
            f.feed()
            state = dict(GOOD_42_STATE)
            state.update({("total_shared",): (0, 0x111, {0: 1}), (39, "port_shared"): (0, 0x80, {0: 1}),
                          (0, "pg", 3): (0, 0x40, {0: 1})})
            f.assert_views(state)
            self.assertEqual(f.mon.stderr(), b"")

            # Binary noise, NUL bytes, a line cut off at end of file, CRLF line
            # ends, lines of a megabyte.
            f.feed()
            state.update({("total_shared",): (0x123, 0x123, {0: 3}), "limit": 6,
                          (24, "port_shared"): (0x10, 0x10, {0: 1}), (8, "pg", 3): (0x21, 0x21, {0: 1}),
                          (5, "rxpp"): 300, (10, "rxpp"): 77, (16, "hol_drop", 7): 9})
            f.assert_views(state)
            self.assertEqual(f.mon.stderr(), b"")

            # Numbers of every base and sign, overflow, negative and huge
            # indexes, lines the parsers do not know.
            f.feed()
            self.assertEqual(f.mon.stderr(),
                             b"strtoul: " + RANGE                            # switch-wide count of 33 bits
                             + b"strtol: " + RANGE                           # rxpp beyond 64 bits
                             + NO_DIGITS                                     # RXPP.xeon
                             + b"strtol: " + RANGE                           # txpp below -(2^64 - 1)
                             + b"strtol: " + RANGE                           # ingress drop beyond 64 bits
                             + NO_DIGITS                                     # CTR_UC_DROP[]
                             + (b"strtoul: " + RANGE) * 3                    # groups 3, 4 and 6
                             + NO_DIGITS)                                    # [abc]
            # Values of all ones and above the buffer size count in no bucket.
            # Slot 10 keeps its rxpp of 77 and slot 8 its ingress drops of 7:
            # the values that overflow are not stored.
            state.update({("total_shared",): (8, 0x123, {0: 4}), "limit": FULL,
                          (24, "port_shared"): (0, 0x10, {0: 1}), (8, "pg", 3): (0, 0x21, {0: 1}),
                          (31, "port_shared"): (FULL, FULL, {}), (31, "pg", 7): (3, 3, {0: 1}),
                          (40, "pg", 0): (0x10, 0x10, {0: 1}), (40, "pg", 1): (8, 8, {0: 1}),
                          (40, "pg", 2): (FULL, FULL, {}), (40, "pg", 5): (FULL, FULL, {}),
                          (40, "pg", 7): (7, 7, {0: 1}),
                          (1, "rxpp"): 0x1f, (2, "rxpp"): 8, (3, "rxpp"): 25, (4, "rxpp"): FULL, (6, "rxpp"): 16,
                          (7, "rxpp"): 42, (9, "rxpp"): FULL, (11, "rxpp"): 5, (12, "rxpp"): 0xfffffff0,
                          (13, "txpp"): 0x1ff, (27, "hol_drop", 7): 0x2a})
            f.assert_views(state)

            # A good dump afterwards is read as usual.
            f.feed()
            self.assertIn(summary_line(0x4000, 0x4000, 0x7000).encode(), f.mon.output)
            state.update({("total_shared",): (0x4000, 0x4000, {0: 4, 5: 1}), "limit": 0x7000})
            f.assert_views(state)
            f.assert_quiet(1.5, max_draws=2)
            f.quit()
            self.assertEqual(f.mon.stderr(), b"")

    def test_hostile_indexes_and_values_24_and_30(self):
        cases = [
            # 0x1a2 lies between 1 % and 5 % of 16384 cells; the queue value of
            # all ones keeps bits 15 to 29 (0x7fff), beyond the buffer: no hit.
            ("24", DUMP_24, b"strtoul: " + RANGE + NO_DIGITS + b"strtoul: " + RANGE + NO_DIGITS,
             {("total_shared",): (0x1a2, 0x1a2, {1: 1}), "limit": 0x300, (5, "pg", 3): (0x40, 0x40, {0: 1}),
              (3, "queue", 1): (0x7fff, 0x7fff, {}), (3, "queue", 2): (3, 3, {0: 1}),
              (5, "rxpp"): 0x2a, (4, "hol_drop", 5): 9, (1, "ibp_drop"): 1}),
            ("30", DUMP_30, b"strtoul: " + RANGE + NO_DIGITS + b"strtol: " + RANGE + NO_DIGITS,
             {("total_shared",): (0x123, 0x123, {0: 1}), "limit": 0x300, (7, "port_shared"): (0x80, 0x80, {0: 1}),
              (5, "pg", 3): (0x40, 0x40, {0: 1}), (1, "hol_drop", 4): 5, (7, "ibp_drop"): 3, (7, "rxpp"): 0x10}),
        ]
        for model, dump, err, state in cases:
            with self.subTest(model=model), Feed(self, model, [dump]) as f:
                f.feed()
                self.assertEqual(f.mon.stderr(), err)
                f.assert_views(state)
                f.quit()
                self.assertEqual(f.mon.stderr(), b"")


class UnreadableDumps(unittest.TestCase):
    def test_paths_that_are_no_files_partial_dumps_and_a_silent_daemon(self):
        dumps = [
            GOOD_42,
            # A symbolic link (to a decoy dump, written below once the staging
            # folder exists), a FIFO and a directory where the files belong.
            {"sw_global_info.1.symlink": "DECOY", "port_info.1.fifo": "", "pg_info.1.dir": ""},
            {"sw_global_info.1.chardev": "1 5"},  # an endless device
            # The per-port file vanishes after the marker is made.
            {"sw_global_info.1": "MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x222\n",
             "port_info.1.gone": "RXPP.xe5: COUNT=999\nTHDI_PORT_SP_CNTRS_RT_X[36]: PORT_SP_SHARED_COUNT=0x5\n",
             "pg_info.1": "THDI_PORT_PG_CNTRS_RT1_X[19]: PG_SHARED_COUNT=0x41\n"},
            {},  # a marker without files
            {"sw_global_info.1": "MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x333\n", "NOMARKER": ""},
        ]
        with Feed(self, "42", dumps) as f:
            decoy = os.path.join(f.board.stage, "decoy")
            decoy_text = b"MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x777\n"
            with open(decoy, "wb") as out:
                out.write(decoy_text)
            with open(os.path.join(f.board.stage, "feed", "0002", "sw_global_info.1.symlink"), "w") as out:
                out.write(decoy)
            f.feed()
            f.assert_views(GOOD_42_STATE)

            f.deliver()
            self.assertTrue(os.path.islink(f.board.path("sw_global_info.1")))
            f.step()  # no read blocks on the FIFO
            # What could be removed is gone; the directory stays, the decoy is untouched.
            self.assertFalse(os.path.lexists(f.board.path("sw_global_info.1")))
            self.assertFalse(os.path.lexists(f.board.path("port_info.1")))
            self.assertTrue(os.path.isdir(f.board.path("pg_info.1")))
            with open(decoy, "rb") as inp:
                self.assertEqual(inp.read(), decoy_text)
            # Nothing was read, so not even the peaks of the latest dump are reset.
            f.assert_views(GOOD_42_STATE)

            f.deliver()
            self.assertTrue(stat.S_ISCHR(os.lstat(f.board.path("sw_global_info.1")).st_mode))
            f.step()  # never read, so no endless reading
            self.assertFalse(os.path.lexists(f.board.path("sw_global_info.1")))
            f.assert_views(GOOD_42_STATE)

            f.deliver()
            self.assertFalse(os.path.exists(f.board.path("port_info.1")))
            f.step()
            # The other two files are read; the per-port values and their peaks stay.
            state = dict(GOOD_42_STATE)
            state.update({("total_shared",): (0x222, 0x222, {0: 1, 1: 1}), (0, "pg", 3): (0x41, 0x41, {0: 2})})
            f.assert_views(state)

            f.feed()  # a marker alone: consumed, next dump requested, nothing changes
            f.assert_views(state)

            # A daemon that never answers: no time-out, the last values stay,
            # one timed-out pass at most and no spinning.
            f.enter()
            f.assert_quiet(3.5, max_draws=2)
            # Files without a marker are never read.
            f.deliver()
            f.step(consumed=False)
            f.assert_quiet(1.0, max_draws=1)
            self.assertTrue(os.path.exists(f.board.path("sw_global_info.1")))
            self.assertEqual(f.count("signal received"), 6)
            f.assert_views(state)
            f.quit()
            self.assertEqual(f.mon.stderr(), b"")  # over the whole run


class Terminal(unittest.TestCase):
    def test_closed_standard_input_ends_with_the_select_diagnostic(self):
        # The descriptor is closed, not at end of file: the wait on it fails,
        # which ends the monitor with its documented message and status 1.
        with Board("42") as board:
            cmd = launcher_command(board, "/bin/sh", ["-c", 'exec 0<&-; exec "$0" "$@"'],
                                   sim=standin_args(board, []))  # a daemon that has nothing to give
            with PtySession(cmd, 60, 200) as mon:
                self.assertEqual(mon.wait(), 1)
                self.assertIn(ZERO.encode(), mon.output)
                self.assertEqual(mon.proc.stderr.read(), b"select failed with Bad file descriptor")

    def test_end_of_input_keeps_the_three_second_pace(self):
        # Standard input at end of file, also after an `h` whose wait for
        # Enter ends there: the key wait ends at once, yet the monitor must
        # not spin on it but go on drawing once every 3 s.
        for keys in (b"", b"h", b"h\n"):
            with self.subTest(stdin=keys), Board("42") as board:
                path = os.path.join(board.stage, "keys")
                with open(path, "wb") as f:
                    f.write(keys)
                with open(path, "rb") as stdin, board.spawn([], stdin=stdin) as mon:
                    mon.wait_for(ZERO, start=mon.wait_for("q - quit\n") if keys else 0)
                    pid = monitor_pid(mon, board)
                    mark = len(mon.output)
                    assert_quiet(self, mon, pid, 4.0)
                    self.assertIn(mon.count("Total Shared Count", start=mark), (1, 2))
                    self.assertEqual(kill_board(mon), NO_PIDFILE)

    def test_hangup(self):
        # The monitor leads its session on the terminal, as under a login
        # shell's job. Closing the terminal sends SIGHUP, whose default action
        # ends it (status 128 + 1 through the board). With SIGHUP ignored
        # (nohup-like) reads end and writes fail, and the monitor carries on
        # at its three-second pace, still consuming dumps, without spinning.
        for ignored in (False, True):
            with self.subTest(sighup_ignored=ignored), Board("42") as board:
                dumps = [{"sw_global_info.1": "MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x%x\n" % (0x100 + i)}
                         for i in range(12)]
                trap = ["/bin/sh", "-c", "trap '' HUP; exec \"$0\" \"$@\""] if ignored else []
                cmd = launcher_command(board, shutil.which("setsid"), ["--ctty"] + trap,
                                       sim=standin_args(board, dumps))
                with PtySession(cmd, 60, 200) as mon:
                    mon.wait_for(ZERO)
                    pid = monitor_pid(mon, board)
                    mon.enter(summary_line(0x100, 0x100, 0))
                    answered = len(daemon_log(board, "signal answered"))
                    hang_up(mon)
                    if ignored:
                        assert_quiet(self, None, pid, 4.0)
                        # A pass at once (the hang-up ends the wait), then one per 3 s.
                        self.assertIn(len(daemon_log(board, "signal answered")) - answered, (1, 2, 3))
                        self.assertEqual(kill_board(mon), b"")
                    else:
                        self.assertEqual(mon.proc.wait(10), 128 + signal.SIGHUP)
                        self.assertFalse(alive(pid))
                        # At most the board's note of how the monitor ended.
                        self.assertRegex(mon.proc.stderr.read().decode(),
                                         r"^(fakeboard: line \d+: +\d+ Hangup .*\n)?$")


class ReportFile(unittest.TestCase):
    def test_report_path_that_must_not_be_written(self):
        # A symbolic or hard link to another file, a FIFO without a reader, a
        # directory, an immutable file (root may write any other): `w` writes
        # nothing, changes no other file, does not block; the monitor goes on.
        for kind in ("symlink", "hardlink", "fifo", "directory", "immutable"):
            with self.subTest(kind=kind), Board("42") as board:
                path = board.path(REPORT)
                victim = path if kind == "immutable" else os.path.join(board.stage, "victim")
                with open(victim, "w") as f:
                    f.write("precious\n")
                make = {"symlink": lambda: os.symlink(victim, path), "hardlink": lambda: os.link(victim, path),
                        "fifo": lambda: os.mkfifo(path), "directory": lambda: os.mkdir(path),
                        "immutable": lambda: subprocess.run(["chattr", "+i", path], check=True)}
                try:
                    make[kind]()
                    with board.spawn([]) as mon:
                        mon.wait_for(ZERO)
                        mark = len(mon.output)
                        mon.enter(ZERO, "w\n\n")
                        mon.pump(0.3)
                        self.assertLess(mon.count(HOME_ERASE, start=mark), 22)  # no report frames
                        self.assertEqual(mon.quit(), 0)
                        self.assertEqual(mon.stderr(), NO_PIDFILE)
                    with open(victim) as f:
                        self.assertEqual(f.read(), "precious\n")
                finally:
                    if kind == "immutable":
                        subprocess.run(["chattr", "-i", path], capture_output=True)

    def test_report_on_a_full_tmp(self):
        # The board's /tmp is a full file system: the report opens, every
        # write fails, and write errors are not looked at; the monitor goes on.
        with Board("42") as board:
            script = ('S="$1"; shift; mount -t tmpfs -o size=64k tmpfs "$S/tmp" || exit 3; '
                      'head -c 1048576 /dev/zero > "$S/tmp/fill" 2>/dev/null; "$@"; rc=$?; '
                      'stat -c %s "$S/tmp/' + REPORT + '" > "$S/report_size" 2>&1; exit $rc')
            cmd = ["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh", board.stage]
            with PtySession(cmd + board.command([]), 60, 200) as mon:
                mon.wait_for(ZERO)
                mark = len(mon.output)
                mon.send("w\n")
                end = time.monotonic() + 15
                while mon.count(HOME_ERASE, start=mark) < 22 and time.monotonic() < end:
                    mon.pump(0.1)
                self.assertGreaterEqual(mon.count(HOME_ERASE, start=mark), 22)  # the report was written
                mon.enter(ZERO)
                self.assertEqual(mon.quit(), 0)
                self.assertEqual(mon.stderr(), NO_PIDFILE)
            with open(os.path.join(board.stage, "report_size")) as f:
                self.assertEqual(f.read().strip(), "0")


if __name__ == "__main__":
    unittest.main()

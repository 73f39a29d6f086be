"""Faults met by the real monitor on a fake board: hostile dump files, a
daemon that misbehaves, a terminal that goes away, a report file that cannot
be written. Each case checks that the monitor survives without spinning,
shows exact values afterwards (a stray write would show up as a value in
some view) and writes only the documented diagnostics."""

import os
import random
import select
import shutil
import signal
import stat
import subprocess
import time
import unittest

from boardlib import (BINARY, QEMU, Board, PtySession, daemon_log, standin_args,
                      summary_line)

HOME_ERASE = b"\x1b[H\x1b[K"
REPORT = "cellscope_results.log"
MARKER = "swfabric_se_dump_complete"
PORTS = {"42": 42, "24": 24, "30": 30}
RANGE = b"Numerical result out of range\n"
NO_DIGITS = b"No digits were found\n"
TICK = os.sysconf("SC_CLK_TCK")


# ---- the monitor process, seen from outside the board

def descendants(root):
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            continue
        children.setdefault(ppid, []).append(int(entry))
    found, todo = [], [root]
    while todo:
        pid = todo.pop()
        found.append(pid)
        todo += children.get(pid, [])
    return found[1:]


def is_monitor(pid, programs):
    try:
        exe = os.path.realpath("/proc/%d/exe" % pid)
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            argv = [a.decode(errors="replace") for a in f.read().split(b"\0") if a]
    except OSError:
        return False
    return exe in programs or (QEMU and any(a in programs for a in argv))


def monitor_pid(session, board, timeout=15):
    """Host pid of the monitor among the descendants of the board process."""
    name = os.path.basename(BINARY)
    programs = {os.path.join(board.stage, "bin", name), os.path.join(board.stage, "monitor", name)}
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        for pid in descendants(session.proc.pid):
            if is_monitor(pid, programs):
                return pid
        session.pump(0.05)
    raise AssertionError("monitor process not found under the board")


def cpu_seconds(pid):
    """User plus system time the process has used so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except OSError:
        return False


def monitor_copy(board):
    """The monitor binary inside the staging folder, for boards started
    through a launcher (the board's /tmp may hide the build folder)."""
    folder = os.path.join(board.stage, "monitor")
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, os.path.basename(BINARY))
    shutil.copy2(BINARY, path)
    return path


def launcher_command(board, launcher, launcher_args, args=(), sim=None):
    """A board whose command is launcher, which in turn runs the monitor."""
    cmd = [c for c in board.command([], sim=sim, binary=launcher) if c != "--qemu"]
    emu = ["qemu-ppc", "-L", "/usr/powerpc-linux-gnu"] if QEMU else []
    return cmd + list(launcher_args) + emu + [monitor_copy(board)] + list(args)


# ---- a written report, view by view

class Report:
    """The 22 views of a `w` report, with the line-erase text removed."""

    def __init__(self, data, ports):
        self.ports = ports
        lines = data.replace(b"\x1b[K", b"").decode().split("\n")
        self.complete = lines[-1] == "" and len(lines) - 1 == 41 + 20 * ports
        lines = lines[:-1]
        self.views = []
        at = 0
        for view in range(22):
            size = 1 if view == 0 else 1 + ports if view <= 3 else 3 if view == 4 else 2 + ports
            self.views.append(lines[at:at + size])
            at += size

    def summary(self):
        return self.views[0][0] + "\n"

    def total_hits(self):
        return [int(t, 16) for t in self.views[4][2].split()]

    def values(self, view, slot):
        if view <= 3:
            line = self.views[view][1 + slot]
            count = 11 if view == 3 else 18
        else:
            line = self.views[view][2 + slot]
            count = 10
        tokens = line.split()
        assert tokens[0] in ("%02d" % slot, "xe%d" % slot), line
        return [int(t, 16) for t in tokens[1:1 + count]]

    def nonzero_rows(self):
        return {(v, s) for v in list(range(1, 4)) + list(range(5, 22)) for s in range(self.ports)
                if any(self.values(v, s))}


def usage_row(port=(0, 0), **groups):
    """Sparse row of view 1 or 2: port shared (current, max) and groups or
    queues g0..g7 as (current, max)."""
    row = {0: port[0], 1: port[1]}
    for name, (cur, peak) in groups.items():
        k = int(name[1:])
        row[2 + 2 * k], row[3 + 2 * k] = cur, peak
    return row


def drop_row(ibp=0, hol=None, txpp=0, rxpp=0):
    """Sparse row of view 3."""
    row = {0: ibp, 9: txpp, 10: rxpp}
    for k, v in (hol or {}).items():
        row[1 + k] = v
    return row


def hits(**buckets):
    """Sparse histogram row: b0..b9 hit counts."""
    return {int(k[1:]): v for k, v in buckets.items()}


# ---- a monitor fed one dump at a time

class Feed:
    """The monitor on a pseudo-terminal with the stand-in daemon, which
    delivers the next dump only when the test opens its gate, so the test
    knows exactly which dumps a view or report reflects."""

    def __init__(self, test, model, dumps, args=()):
        self.test = test
        self.board = Board(model)
        self.ports = PORTS[model]
        self.gate = os.path.join(self.board.stage, "gate")
        sim = standin_args(self.board, dumps, extra="--gate " + self.gate)
        self.mon = self.board.spawn(list(args), sim=sim)
        self.err = b""
        self.pid = monitor_pid(self.mon, self.board)
        self.wait_log("signal received 1")

    def close(self):
        self.mon.close()
        self.board.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def log_count(self, prefix):
        return len([line for line in daemon_log(self.board) if line.startswith(prefix)])

    def wait_log(self, line, timeout=15):
        end = time.monotonic() + timeout
        while line not in daemon_log(self.board):
            if time.monotonic() > end:
                raise AssertionError("daemon log never showed %r: %r" % (line, daemon_log(self.board)))
            self.mon.pump(0.02)

    def deliver(self):
        """Lets the daemon answer the pending request with the next dump set."""
        done = self.log_count("signal answered") + self.log_count("signal unanswered")
        with open(self.gate, "w"):
            pass
        end = time.monotonic() + 15
        while self.log_count("signal answered") + self.log_count("signal unanswered") == done:
            if time.monotonic() > end:
                raise AssertionError("the daemon did not answer: %r" % daemon_log(self.board))
            self.mon.pump(0.02)

    def step(self, consumed=True):
        """One pass after Enter: the dump in place is consumed (marker gone,
        next dump requested) or, without a marker, nothing is."""
        requests = self.log_count("signal received")
        self.enter()
        if consumed:
            self.test.assertFalse(os.path.exists(self.board.path(MARKER)))
            self.wait_log("signal received %d" % (requests + 1))
        else:
            self.mon.pump(0.3)
            self.test.assertEqual(self.log_count("signal received"), requests)

    def enter(self):
        """Enter and wait for the next full drawing of view 0."""
        mark = len(self.mon.output)
        self.mon.send("\n")
        self.mon.wait_for("Total Shared Count", start=mark)
        self.mon.wait_for(" \n", start=mark)

    def feed(self):
        self.deliver()
        self.step()

    def report(self):
        path = self.board.path(REPORT)
        if os.path.exists(path):
            os.unlink(path)
        self.mon.send("w\n")
        end = time.monotonic() + 15
        while True:
            self.mon.pump(0.05)
            if os.path.exists(path):
                with open(path, "rb") as f:
                    report = Report(f.read(), self.ports)
                if report.complete:
                    return report
            if time.monotonic() > end:
                raise AssertionError("no complete report was written")

    def stderr(self):
        """What the monitor wrote to standard error since the last call (all
        of the rest once it has ended)."""
        fd = self.mon.proc.stderr.fileno()
        got = b""
        while select.select([fd], [], [], 0.05)[0]:
            data = os.read(fd, 65536)
            if not data:
                break
            got += data
        self.err += got
        return got

    def assert_quiet(self, seconds, max_draws=None):
        """No busy loop: over an idle stretch the monitor uses little CPU
        and, without keys, draws at its three-second pace."""
        before = cpu_seconds(self.pid)
        mark = len(self.mon.output)
        self.mon.pump(seconds)
        used = cpu_seconds(self.pid) - before
        self.test.assertLess(used, 0.1 * seconds + 0.05, "monitor used %.2f s CPU in %.1f s" % (used, seconds))
        if max_draws is not None:
            self.test.assertLessEqual(self.mon.count("Total Shared Count", start=mark), max_draws)
        self.test.assertTrue(alive(self.pid))

    def assert_views(self, report, summary, total, rows):
        """Exact values of the report: the summary line, the total histogram
        and every non-zero row of views 1 to 21; all other rows are zero."""
        t = self.test
        t.assertTrue(report.complete)
        t.assertEqual(report.summary(), summary_line(*summary))
        t.assertEqual(report.total_hits(), [total.get(b, 0) for b in range(10)])
        for (view, slot), sparse in sorted(rows.items()):
            width = 11 if view == 3 else 18 if view <= 2 else 10
            t.assertEqual(report.values(view, slot), [sparse.get(i, 0) for i in range(width)],
                          "view %d slot %d" % (view, slot))
        t.assertEqual(report.nonzero_rows(), {key for key, sparse in rows.items() if any(sparse.values())})

    def quit(self):
        self.mon.send("q\n")
        self.test.assertEqual(self.mon.wait(), 0)


# ---- dumps of the 42-port module

GOOD_42 = {
    "sw_global_info.1": "MMU_THDM_DB_POOL_SHARED_COUNT.mmu0: COUNT=0x111\n"
                        "THDI_BUFFER_CELL_LIMIT_SP.ipipe0: LIMIT=0x7000\n",
    "port_info.1": "RXPP.xe5: COUNT=250\n"
                   "TXPP.xe40: COUNT=0x4d\n"
                   "THDI_PORT_SP_CNTRS_RT_X[36]: PORT_SP_SHARED_COUNT=0x80\n"
                   "CTR_ING_DROP[3]: PKTCNT=7\n"
                   "CTR_UC_DROP[39]: PKTCNT=5\n",
    "pg_info.1": "THDI_PORT_PG_CNTRS_RT1_X[19]: PG_SHARED_COUNT=0x40\n",
}

# State after GOOD_42 alone: slot 39 port shared 0x80, slot 0 group 3 0x40,
# counters of slots 5, 40 and 8; every value below 1 % of the buffer.
GOOD_42_ROWS = {
    (1, 39): usage_row(port=(0x80, 0x80)), (2, 39): usage_row(port=(0x80, 0x80)),
    (1, 0): usage_row(g3=(0x40, 0x40)),
    (3, 5): drop_row(rxpp=250), (3, 40): drop_row(txpp=0x4d), (3, 8): drop_row(ibp=7, hol={3: 5}),
    (5, 39): hits(b0=1), (9, 0): hits(b0=1),
}


def garbage_global():
    rng = random.Random(7)
    noise = bytes(rng.randrange(256) for _ in range(3000))
    return (noise + b"\n"
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
                        "MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x100000000\n"
                        "THDI_BUFFER_CELL_LIMIT_SP: LIMIT=-1\n"
                        "MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=010\n",
    "port_info.1": "RXPP.xe1: COUNT=0x1F\n"
                   "RXPP.xe2: COUNT=010\n"
                   "RXPP.xe3: COUNT=+25\n"
                   "RXPP.xe4: COUNT=-1\n"
                   "RXPP.xe6: COUNT=0X10\n"
                   "RXPP.xe7: COUNT=   42\n"
                   "RXPP.xe9: COUNT=18446744073709551615\n"
                   "RXPP.xe10: COUNT=18446744073709551616\n"
                   "RXPP.xe11: COUNT=0x100000005\n"
                   "RXPP.xe12: COUNT=-0x10\n"
                   "RXPP.xe99: COUNT=5\n"
                   "RXPP.xe4294967296: COUNT=5\n"
                   "RXPP.xe-1: COUNT=5\n"
                   "RXPP.xeon: COUNT=5\n"
                   "TXPP.xe13: COUNT=0777\n"
                   "TXPP.xe14: COUNT=-18446744073709551616\n"
                   "CTR_ING_DROP[-1]: PKTCNT=5\n"
                   "CTR_ING_DROP[-64]: PKTCNT=5\n"
                   "CTR_ING_DROP[4294967360]: PKTCNT=5\n"
                   "CTR_ING_DROP[3]: PKTCNT=99999999999999999999\n"
                   "CTR_UC_DROP[-2147483648]: PKTCNT=5\n"
                   "CTR_UC_DROP[2147483647]: PKTCNT=5\n"
                   "CTR_UC_DROP[]: PKTCNT=5\n"
                   "CTR_UC_DROP[1787]: PKTCNT=0x2a\n"
                   "THDI_PORT_SP_CNTRS_RT_X[-4]: PORT_SP_SHARED_COUNT=1\n"
                   "THDI_PORT_SP_CNTRS_RT_Y[96]: PORT_SP_SHARED_COUNT=0xffffffff\n",
    "pg_info.1": "THDI_PORT_PG_CNTRS_RT1_X[0]: PG_SHARED_COUNT=0x10\n"
                 "THDI_PORT_PG_CNTRS_RT1_X[1]: PG_SHARED_COUNT=010\n"
                 "THDI_PORT_PG_CNTRS_RT1_X[2]: PG_SHARED_COUNT=-1\n"
                 "THDI_PORT_PG_CNTRS_RT1_X[3]: PG_SHARED_COUNT=0x100000000\n"
                 "THDI_PORT_PG_CNTRS_RT1_X[4]: PG_SHARED_COUNT=-4294967296\n"
                 "THDI_PORT_PG_CNTRS_RT1_X[5]: PG_SHARED_COUNT=4294967295\n"
                 "THDI_PORT_PG_CNTRS_RT1_X[6]: PG_SHARED_COUNT=99999999999999999999999\n"
                 "THDI_PORT_PG_CNTRS_RT1_X[7]: PG_SHARED_COUNT=+7\n"
                 "THDI_PORT_PG_CNTRS_RT1_X[-1]: PG_SHARED_COUNT=1\n"
                 "THDI_PORT_PG_CNTRS_RT1_X[-8]: PG_SHARED_COUNT=1\n"
                 "THDI_PORT_PG_CNTRS_RT1_Y[-2147483648]: PG_SHARED_COUNT=1\n"
                 "THDI_PORT_PG_CNTRS_RT1_Y[4294967295]: PG_SHARED_COUNT=1\n"
                 "THDI_PORT_PG_CNTRS_RT1_Y[99999999999999999999999]: PG_SHARED_COUNT=1\n"
                 "THDI_PORT_PG_CNTRS_RT1_X[136]: PG_SHARED_COUNT=1\n"
                 "THDI_PORT_PG_CNTRS_RT1_Y[200]: PG_SHARED_COUNT=1\n"
                 "THDI_PORT_PG_CNTRS_RT1_X[abc]: PG_SHARED_COUNT=1\n"
                 "THDI_PORT_PG_CNTRS_RT1_Y[199]: PG_SHARED_COUNT=0X3\n",
}

FULL = 0xFFFFFFFF


class HostileDumps(unittest.TestCase):
    def test_hostile_dump_content_42(self):
        dumps = [
            GOOD_42,
            {"sw_global_info.1": "", "port_info.1": "", "pg_info.1": ""},
            {"sw_global_info.1": garbage_global(),
             "port_info.1": "RXPP.xe5: COUNT=300\r\n"
                            "RXPP.xe10: COUNT=77\r\n"
                            "THDI_PORT_SP_CNTRS_RT_Y[8]: PORT_SP_SHARED_COUNT=0x10\r\n"
                            "CTR_UC_DROP[1543]: PKTCNT=9\r\n",
             "pg_info.1": long_lines_pg()},
            NUMBERS_42,
            {"sw_global_info.1": "MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x4000\n"
                                 "THDI_BUFFER_CELL_LIMIT_SP: LIMIT=0x7000\n"},
        ]
        with Feed(self, "42", dumps) as f:
            f.feed()
            self.assertIn(summary_line(0x111, 0x111, 0x7000).encode(), f.mon.output)
            self.assertEqual(f.stderr(), b"")
            f.assert_views(f.report(), (0x111, 0x111, 0x7000), hits(b0=1), GOOD_42_ROWS)

            # Empty files: the peaks of the latest dump drop to zero, all else stays.
            f.feed()
            rows = dict(GOOD_42_ROWS)
            rows[(1, 39)] = rows[(2, 39)] = usage_row(port=(0, 0x80))
            rows[(1, 0)] = usage_row(g3=(0, 0x40))
            f.assert_views(f.report(), (0, 0x111, 0x7000), hits(b0=1), rows)
            self.assertEqual(f.stderr(), b"")

            # Binary noise, NUL bytes, a line cut off at end of file, CRLF line
            # ends, lines of a megabyte.
            f.feed()
            rows.update({
                (1, 24): usage_row(port=(0x10, 0x10)), (2, 24): usage_row(port=(0x10, 0x10)),
                (1, 8): usage_row(g3=(0x21, 0x21)),
                (3, 5): drop_row(rxpp=300), (3, 10): drop_row(rxpp=77), (3, 16): drop_row(hol={7: 9}),
                (5, 24): hits(b0=1), (9, 8): hits(b0=1),
            })
            f.assert_views(f.report(), (0x123, 0x123, 0x6), hits(b0=3), rows)
            self.assertEqual(f.stderr(), b"")

            # Numbers of every base and sign, overflow, negative and huge
            # indexes, lines the parsers do not know.
            f.feed()
            self.assertEqual(f.stderr(),
                             b"strtoul: " + RANGE                            # switch-wide count of 33 bits
                             + b"strtol: " + RANGE                           # rxpp beyond 64 bits
                             + NO_DIGITS                                     # RXPP.xeon
                             + b"strtol: " + RANGE                           # txpp below -(2^64 - 1)
                             + b"strtol: " + RANGE                           # ingress drop beyond 64 bits
                             + NO_DIGITS                                     # CTR_UC_DROP[]
                             + (b"strtoul: " + RANGE) * 3                    # groups 3, 4 and 6
                             + NO_DIGITS)                                    # [abc]
            rows.update({
                (1, 39): usage_row(port=(0, 0x80)), (2, 39): usage_row(port=(0, 0x80)),
                (1, 24): usage_row(port=(0, 0x10)), (2, 24): usage_row(port=(0, 0x10)),
                (1, 0): usage_row(g3=(0, 0x40)), (1, 8): usage_row(g3=(0, 0x21)),
                (1, 31): usage_row(port=(FULL, FULL), g7=(3, 3)), (2, 31): usage_row(port=(FULL, FULL)),
                (1, 40): usage_row(g0=(0x10, 0x10), g1=(8, 8), g2=(FULL, FULL), g5=(FULL, FULL), g7=(7, 7)),
                (3, 1): drop_row(rxpp=0x1f), (3, 2): drop_row(rxpp=8), (3, 3): drop_row(rxpp=25),
                (3, 4): drop_row(rxpp=FULL), (3, 6): drop_row(rxpp=16), (3, 7): drop_row(rxpp=42),
                (3, 9): drop_row(rxpp=FULL), (3, 11): drop_row(rxpp=5), (3, 12): drop_row(rxpp=0xfffffff0),
                (3, 13): drop_row(txpp=0x1ff), (3, 27): drop_row(hol={7: 0x2a}),
                (6, 40): hits(b0=1), (7, 40): hits(b0=1), (13, 40): hits(b0=1), (13, 31): hits(b0=1),
            })
            # Slot 10 keeps its rxpp of 77 and slot 8 its ingress drops of 7:
            # the values that overflow are not stored.
            f.assert_views(f.report(), (8, 0x123, FULL), hits(b0=4), rows)

            # A good dump afterwards is read as usual.
            f.feed()
            self.assertIn(summary_line(0x4000, 0x4000, 0x7000).encode(), f.mon.output)
            f.assert_views(f.report(), (0x4000, 0x4000, 0x7000), hits(b0=4, b5=1), rows)
            f.assert_quiet(1.5, max_draws=2)
            f.quit()
            self.assertEqual(f.stderr(), b"")

    def test_hostile_indexes_and_values_24(self):
        dump = {
            "sw_global_info.1": "TOTAL_SHARED_COUNT=0x1a2\nTOTAL_SHARED_LIMIT=0x300\n"
                                "total_shared_count=0x100000000\n",
            "port_info.1": "IRXPP.xe5: COUNT=0x2a\n"
                           "IRXPP.xe42: COUNT=1\n"
                           "IRXPP.xe-1: COUNT=1\n"
                           "IRXPP.xe4294967296: COUNT=1\n"
                           "xeon IRXPP COUNT=1\n"
                           "WREDAVGQSIZE_CELL(2).xe3: AVGQSIZE_CELL=0x18000\n"
                           "WREDAVGQSIZE_CELL(8).xe3: AVGQSIZE_CELL=0x18000\n"
                           "WREDAVGQSIZE_CELL(-1).xe3: AVGQSIZE_CELL=0x18000\n"
                           "WREDAVGQSIZE_CELL(4294967296).xe3: AVGQSIZE_CELL=0x18000\n"
                           "WREDAVGQSIZE_CELL(1).xe3: AVGQSIZE_CELL=0x100000000\n"
                           "WREDAVGQSIZE_CELL(1).xe3: AVGQSIZE_CELL=-1\n"
                           "HOLDROP_PKT_CNT(9).xe4: COUNT=9\n"
                           "HOLDROP_PKT_CNT(5).xe4: COUNT=9\n"
                           "HOLDROP_PKT_CNT(4294967295).xe4: COUNT=9\n"
                           "PORT_SHARED_COUNT.xe50: PORT_SHARED_COUNT=1\n"
                           "IBP_DROP_PKT_CNT.xe1: COUNT=4294967297\n",
            "pg_info.1": "xe5 PG_SHARED_COUNT(3)=0x40\n"
                         "xe5 PG_SHARED_COUNT(8)=1\n"
                         "xe5 PG_SHARED_COUNT(-1)=1\n"
                         "xe41 PG_SHARED_COUNT(0)=0x1\n"
                         "xe42 PG_SHARED_COUNT(0)=1\n"
                         "xe99999999999 PG_SHARED_COUNT(0)=1\n"
                         "xe PG_SHARED_COUNT(0)=1\n",
        }
        with Feed(self, "24", [dump]) as f:
            f.feed()
            self.assertEqual(f.stderr(), b"strtoul: " + RANGE + NO_DIGITS + b"strtoul: " + RANGE + NO_DIGITS)
            # 0x1a2 lies between 1 % and 5 % of 16384 cells; the queue value of
            # all ones keeps bits 15 to 29 (0x7fff), beyond the buffer: no hit.
            f.assert_views(f.report(), (0x1a2, 0x1a2, 0x300), hits(b1=1), {
                (1, 5): usage_row(g3=(0x40, 0x40)),
                (2, 3): usage_row(g1=(0x7fff, 0x7fff), g2=(3, 3)),
                (3, 5): drop_row(rxpp=0x2a), (3, 4): drop_row(hol={5: 9}), (3, 1): drop_row(ibp=1),
                (9, 5): hits(b0=1), (16, 3): hits(b0=1),
            })
            f.quit()
            self.assertEqual(f.stderr(), b"")

    def test_hostile_indexes_and_values_30(self):
        dump = {
            "sw_global_info.1": "TOTAL_BUFFER_COUNT_CELL_SP: TOTAL_BUFFER_COUNT=0x123\n"
                                "OP_BUFFER_SHARED_LIMIT_CELL=0x300\n"
                                "TOTAL_BUFFER_COUNT_CELL_SP: TOTAL_BUFFER_COUNT=-4294967296\n",
            "port_info.1": "CTR_UC_DROP[-1]: PKT_CNT=5\n"
                           "CTR_UC_DROP[-2147483648]: PKT_CNT=5\n"
                           "CTR_UC_DROP[300]: PKT_CNT=0x5\n"
                           "CTR_UC_DROP[982]: PKT_CNT=1\n"
                           "CTR_UC_DROP[2147483647]: PKT_CNT=1\n"
                           "CTR_UC_DROP[4294967295]: PKT_CNT=1\n"
                           "CTR_UC_DROP[99999999999999]: PKT_CNT=1\n"
                           "CTR_UC_DROP[x]: PKT_CNT=1\n"
                           "CTR_UC_DROP[979]: PKT_CNT=99999999999999999999\n"
                           "RXPP.xe7: COUNT=0x10\n"
                           "RXPP.xe30: COUNT=1\n"
                           "RXPP.xe42: COUNT=1\n"
                           "TXPP.xe: COUNT=1\n"
                           "PORT_SHARED_COUNT_CELL.xe7: PORT_SHARED_COUNT=0x80\n"
                           "DROP_PKT_CNT_ING.xe7: COUNT=3\n",
            "pg_info.1": "PG_SHARED_COUNT_CELL(3).xe5: PG_SHARED_COUNT=0x40\n"
                         "PG_SHARED_COUNT_CELL(3).xe500: PG_SHARED_COUNT=1\n"
                         "PG_SHARED_COUNT_CELL(10).xe5: PG_SHARED_COUNT=1\n"
                         "PG_SHARED_COUNT_CELL(-8).xe5: PG_SHARED_COUNT=1\n",
        }
        with Feed(self, "30", [dump]) as f:
            f.feed()
            self.assertEqual(f.stderr(), b"strtoul: " + RANGE + NO_DIGITS + b"strtol: " + RANGE + NO_DIGITS)
            f.assert_views(f.report(), (0x123, 0x123, 0x300), hits(b0=1), {
                (1, 7): usage_row(port=(0x80, 0x80)), (2, 7): usage_row(port=(0x80, 0x80)),
                (1, 5): usage_row(g3=(0x40, 0x40)),
                (3, 1): drop_row(hol={4: 5}), (3, 7): drop_row(ibp=3, rxpp=0x10),
                (5, 7): hits(b0=1), (9, 5): hits(b0=1),
            })
            f.quit()
            self.assertEqual(f.stderr(), b"")


class UnreadableDumps(unittest.TestCase):
    def test_paths_that_are_no_files_and_partial_dumps(self):
        dumps = [
            GOOD_42,
            # A symbolic link (to a decoy dump, written below once the staging
            # folder exists), a FIFO and a directory where the files belong.
            {"sw_global_info.1.symlink": "DECOY", "port_info.1.fifo": "", "pg_info.1.dir": ""},
            # An endless device in place of a file.
            {"sw_global_info.1.chardev": "1 5"},
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
            f.assert_views(f.report(), (0x111, 0x111, 0x7000), hits(b0=1), GOOD_42_ROWS)

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
            f.assert_views(f.report(), (0x111, 0x111, 0x7000), hits(b0=1), GOOD_42_ROWS)

            f.deliver()
            self.assertTrue(stat.S_ISCHR(os.lstat(f.board.path("sw_global_info.1")).st_mode))
            f.step()  # never read, so no endless reading
            self.assertFalse(os.path.lexists(f.board.path("sw_global_info.1")))
            f.assert_views(f.report(), (0x111, 0x111, 0x7000), hits(b0=1), GOOD_42_ROWS)

            f.deliver()
            self.assertFalse(os.path.exists(f.board.path("port_info.1")))
            f.step()
            # The other two files are read; the per-port values and their peaks stay.
            rows = dict(GOOD_42_ROWS)
            rows[(1, 0)] = usage_row(g3=(0x41, 0x41))
            rows[(9, 0)] = hits(b0=2)
            after_partial = ((0x222, 0x222, 0x7000), hits(b0=1, b1=1), rows)
            f.assert_views(f.report(), *after_partial)

            f.feed()  # a marker alone: consumed, next dump requested, nothing changes
            f.assert_views(f.report(), *after_partial)

            f.deliver()
            f.step(consumed=False)  # files without a marker are never read
            f.assert_quiet(3.5, max_draws=2)  # one timed-out pass at most, no spinning
            self.assertTrue(os.path.exists(f.board.path("sw_global_info.1")))
            self.assertEqual(f.log_count("signal received"), 6)
            f.assert_views(f.report(), *after_partial)
            f.quit()
            f.stderr()
            self.assertEqual(f.err, b"")  # over the whole run


def standin_pid(session):
    for pid in descendants(session.proc.pid):
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                if b"standin_daemon.py" in f.read():
                    return pid
        except OSError:
            pass
    raise AssertionError("stand-in daemon not found")


class Daemon(unittest.TestCase):
    def test_daemon_that_never_answers_then_goes_away(self):
        later = {"sw_global_info.1": "MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x999\n"}
        with Feed(self, "42", [GOOD_42, later]) as f:
            f.feed()
            # The request for the second dump is never answered: no time-out,
            # the last values stay, the monitor idles.
            f.enter()
            f.assert_quiet(3.5, max_draws=2)
            mark = len(f.mon.output)
            f.enter()
            self.assertIn(summary_line(0x111, 0x111, 0x7000).encode(), f.mon.output[mark:])
            self.assertEqual(f.stderr(), b"")

            # The daemon dies, leaving its pid file; one last dump and marker
            # turn up: consumed, and the next request finds nobody.
            daemon = standin_pid(f.mon)
            os.kill(daemon, signal.SIGTERM)
            end = time.monotonic() + 10
            while os.path.exists("/proc/%d" % daemon) and time.monotonic() < end:
                time.sleep(0.05)  # gone for good: a zombie still takes signals
            self.assertFalse(os.path.exists("/proc/%d" % daemon))
            f.board.write("sw_global_info.1", "MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x444\n")
            f.board.write(MARKER, "")
            f.enter()
            self.assertFalse(os.path.exists(f.board.path(MARKER)))
            self.assertEqual(f.stderr(), b"cellscope: /var/run/swfabric_se_dump.pid: cannot signal the daemon: "
                                         b"No such process\n")
            # Without a pid file at all.
            os.unlink(os.path.join(f.board.run_dir, "swfabric_se_dump.pid"))
            f.board.write("sw_global_info.1", "MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x55\n")
            f.board.write(MARKER, "")
            f.enter()
            self.assertEqual(f.stderr(), b"cellscope: /var/run/swfabric_se_dump.pid: cannot open: "
                                         b"No such file or directory\n")
            f.assert_views(f.report(), (0x55, 0x444, 0x7000), hits(b0=2, b1=1), GOOD_42_ROWS)
            f.assert_quiet(1.0, max_draws=2)
            f.quit()
            self.assertEqual(f.stderr(), b"")

    def test_pid_file_naming_the_monitor_itself(self):
        # A stale pid file may name the monitor's own process, which SIGUSR1
        # would end: refused with one line, and the monitor goes on.
        with Board("42") as board, board.spawn([]) as mon:
            mon.wait_for(summary_line(0, 0, 0))
            pid = monitor_pid(mon, board)
            with open("/proc/%d/status" % pid) as f:
                own = [line.split()[-1] for line in f if line.startswith("NSpid:")][0]  # pid on the board
            board.write("swfabric_se_dump.pid", own + "\n", where="run")
            board.write("sw_global_info.1", "MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x66\n")
            board.write(MARKER, "")
            mark = len(mon.output)
            mon.send("\n")
            mon.wait_for(summary_line(0x66, 0x66, 0), start=mark)  # drawn after the request
            self.assertFalse(os.path.exists(board.path(MARKER)))
            quiet(self, mon, pid, 0.5)
            self.assertTrue(alive(pid))
            mon.send("q\n")
            self.assertEqual(mon.wait(), 0)
            self.assertEqual(mon.stderr(), NO_PIDFILE + b"cellscope: /var/run/swfabric_se_dump.pid: "
                                                        b"refusing to signal the monitor itself\n")

    def test_pid_file_that_is_no_plain_file(self):
        for kind, reason in (("fifo", b"not a readable regular file"), ("directory", b"not a readable regular file"),
                             ("overlong", b"not a process id")):
            with self.subTest(kind=kind), Board("42") as board:
                path = os.path.join(board.run_dir, "swfabric_se_dump.pid")
                if kind == "fifo":
                    os.mkfifo(path)  # no writer: a blocking open would hang the start
                elif kind == "directory":
                    os.mkdir(path)
                else:
                    board.write("swfabric_se_dump.pid", "0" * 40 + "42\n", where="run")
                with board.spawn([]) as mon:
                    mon.wait_for(summary_line(0, 0, 0))
                    mark = len(mon.output)
                    mon.send("\n")
                    mon.wait_for(summary_line(0, 0, 0), start=mark)
                    mon.send("q\n")
                    self.assertEqual(mon.wait(), 0)
                    self.assertEqual(mon.stderr(), b"cellscope: /var/run/swfabric_se_dump.pid: " + reason + b"\n")


TITLES = ([b"Total Shared Count", b"PID PShr PSMx PG0S", b"PID PShr PSMx Q0SZ", b"PID ibpdrop",
           b"Total shared memory usage:", b"Port shared memory usage:"]
          + [b"PG%d shared memory usage:" % k for k in range(8)]
          + [b"Egress Q%d shared memory usage:" % k for k in range(8)])
NO_PIDFILE = b"cellscope: /var/run/swfabric_se_dump.pid: cannot open: No such file or directory\n"


def first_view(chunk):
    """The view whose title comes first in chunk, or None."""
    found = [(chunk.find(title), view) for view, title in enumerate(TITLES) if title in chunk]
    return min(found)[1] if found else None


def quiet(test, session, pid, seconds):
    before = cpu_seconds(pid)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if session is not None:
            session.pump(0.1)
        else:
            time.sleep(0.1)
    used = cpu_seconds(pid) - before
    test.assertLess(used, 0.1 * seconds + 0.05, "monitor used %.2f s CPU in %.1f s" % (used, seconds))


def hang_up(session):
    """Closes the terminal's master side, as when the terminal goes away."""
    os.close(session.master)
    session.master = -1  # never closed twice, whatever reuses the number


def kill_board(session):
    """Ends the whole board and returns what the monitor wrote to stderr."""
    os.killpg(session.proc.pid, signal.SIGKILL)
    session.proc.wait(10)
    err = session.proc.stderr.read()
    session.close()
    return err


class Terminal(unittest.TestCase):
    def test_closed_standard_input_ends_with_the_select_diagnostic(self):
        # The descriptor is closed, not at end of file: the wait on it fails,
        # which ends the monitor with its documented message and status 1.
        with Board("42") as board:
            sim = standin_args(board, [GOOD_42])
            cmd = launcher_command(board, "/bin/sh", ["-c", 'exec 0<&-; exec "$0" "$@"'], sim=sim)
            with PtySession(cmd, 60, 200) as mon:
                self.assertEqual(mon.wait(), 1)
                self.assertIn(summary_line(0, 0, 0).encode(), mon.output)
                self.assertEqual(mon.proc.stderr.read(), b"select failed with Bad file descriptor")

    def test_hangup_ends_the_monitor(self):
        # The monitor leads its session on the terminal, as under a login
        # shell's job: closing the terminal sends SIGHUP, whose default action
        # ends it (status 128 + 1 through the board).
        with Board("42") as board:
            cmd = launcher_command(board, shutil.which("setsid"), ["--ctty"])
            with PtySession(cmd, 60, 200) as mon:
                mon.wait_for(summary_line(0, 0, 0))
                pid = monitor_pid(mon, board)
                quiet(self, mon, pid, 0.5)
                hang_up(mon)
                self.assertEqual(mon.proc.wait(10), 128 + signal.SIGHUP)
                self.assertFalse(alive(pid))
                err = mon.proc.stderr.read()
                # After the monitor's own line only the board's note of how it ended.
                self.assertTrue(err.startswith(NO_PIDFILE), err)
                self.assertRegex(err[len(NO_PIDFILE):].decode(), r"^(fakeboard: line \d+: +\d+ Hangup .*\n)?$")

    def test_hangup_with_sighup_ignored_keeps_the_pace(self):
        # Started with SIGHUP ignored (nohup-like): after the hang-up reads
        # end, writes fail, and the monitor carries on at its three-second
        # pace, still consuming dumps, without spinning.
        with Board("42") as board:
            dumps = [{"sw_global_info.1": "MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x%x\n" % (0x100 + i)}
                     for i in range(12)]
            sim = standin_args(board, dumps)
            cmd = launcher_command(board, shutil.which("setsid"),
                                   ["--ctty", "/bin/sh", "-c", "trap '' HUP; exec \"$0\" \"$@\""], sim=sim)
            mon = PtySession(cmd, 60, 200)
            try:
                mon.wait_for(summary_line(0, 0, 0))
                pid = monitor_pid(mon, board)
                mon.send("\n")
                mon.wait_for(summary_line(0x100, 0x100, 0))
                answered = len([l for l in daemon_log(board) if l.startswith("signal answered")])
                hang_up(mon)
                quiet(self, None, pid, 4.0)
                self.assertTrue(alive(pid))
                now = len([l for l in daemon_log(board) if l.startswith("signal answered")])
                # A pass at once (the hang-up ends the wait), then one per 3 s.
                self.assertGreaterEqual(now - answered, 1)
                self.assertLessEqual(now - answered, 3)
            finally:
                err = kill_board(mon)
            self.assertEqual(err, b"")

    def test_h_at_end_of_file_does_not_hang(self):
        for text in (b"h", b"h\n"):
            with self.subTest(stdin=text), Board("42") as board:
                keys = os.path.join(board.stage, "keys")
                with open(keys, "wb") as f:
                    f.write(text)
                with open(keys, "rb") as stdin:
                    mon = board.spawn([], stdin=stdin)
                try:
                    at = mon.wait_for("q - quit\n")
                    mon.wait_for(summary_line(0, 0, 0), start=at)  # help ended at end of file
                    pid = monitor_pid(mon, board)
                    mark = len(mon.output)
                    quiet(self, mon, pid, 2.0)
                    self.assertLessEqual(mon.count("Total Shared Count", start=mark), 1)
                    self.assertTrue(alive(pid))
                finally:
                    err = kill_board(mon)
                self.assertEqual(err, NO_PIDFILE)

    def test_keys_faster_than_the_refresh(self):
        with Board("42") as board, board.spawn(["-v", "3"]) as mon:
            mon.wait_for(TITLES[3])
            mark = len(mon.output)
            mon.send(b"n\n" * 500)
            end = time.monotonic() + 60
            while mon.count("Reloading please wait...", start=mark) < 500 and time.monotonic() < end:
                mon.pump(0.2)
            last = mon.output.rindex(b"Reloading please wait...")
            mon.wait_for("\x1b[Kxe41 ", start=last)  # the last view drawn in full
            chunks = mon.output[mark:].split(b"Reloading please wait...")
            self.assertEqual(len(chunks), 501)
            self.assertEqual([first_view(c) for c in chunks[1:]], [(3 + i) % 22 for i in range(1, 501)])
            self.assertEqual((3 + 500) % 22, 19)
            mon.send("q\n")
            self.assertEqual(mon.wait(), 0)
            self.assertEqual(mon.stderr(), NO_PIDFILE)


class ReportFile(unittest.TestCase):
    def test_immutable_report_file_is_left_alone(self):
        # Root may write any file, but not one marked immutable: the open
        # fails and the `w` command does nothing.
        with Board("42") as board:
            path = board.path(REPORT)
            with open(path, "w") as f:
                f.write("earlier report\n")
            made = subprocess.run(["chattr", "+i", path], capture_output=True, text=True)
            if made.returncode != 0:
                self.fail("cannot make an immutable file for this case (chattr +i): " + made.stderr.strip())
            try:
                with board.spawn([]) as mon:
                    mon.wait_for(summary_line(0, 0, 0))
                    mark = len(mon.output)
                    mon.send("w\n")
                    mon.send("\n")
                    mon.wait_for(summary_line(0, 0, 0), start=mark)
                    mon.pump(0.3)
                    self.assertLess(mon.count(HOME_ERASE, start=mark), 22)  # no report frames
                    mon.send("q\n")
                    self.assertEqual(mon.wait(), 0)
                    self.assertEqual(mon.stderr(), NO_PIDFILE)
                with open(path) as f:
                    self.assertEqual(f.read(), "earlier report\n")
            finally:
                subprocess.run(["chattr", "-i", path], capture_output=True)

    def test_hard_linked_report_file_is_left_alone(self):
        # A second name of another file: writing it would change that file.
        with Board("42") as board:
            victim = os.path.join(board.stage, "victim")
            with open(victim, "w") as f:
                f.write("precious\n")
            os.link(victim, board.path(REPORT))
            with board.spawn([]) as mon:
                mon.wait_for(summary_line(0, 0, 0))
                mark = len(mon.output)
                mon.send("w\n")
                mon.send("\n")
                mon.wait_for(summary_line(0, 0, 0), start=mark)
                mon.pump(0.3)
                self.assertLess(mon.count(HOME_ERASE, start=mark), 22)
                mon.send("q\n")
                self.assertEqual(mon.wait(), 0)
                self.assertEqual(mon.stderr(), NO_PIDFILE)
            with open(victim) as f:
                self.assertEqual(f.read(), "precious\n")

    def test_report_on_a_full_tmp(self):
        # The board's /tmp is a full file system: the report opens, every
        # write fails, and write errors are not looked at; the monitor goes on.
        with Board("42") as board:
            script = ('S="$1"; shift; mount -t tmpfs -o size=64k tmpfs "$S/tmp" || exit 3; '
                      'head -c 1048576 /dev/zero > "$S/tmp/fill" 2>/dev/null; "$@"; rc=$?; '
                      'stat -c %s "$S/tmp/' + REPORT + '" > "$S/report_size" 2>&1; exit $rc')
            cmd = ["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh", board.stage]
            with PtySession(cmd + board.command([]), 60, 200) as mon:
                mon.wait_for(summary_line(0, 0, 0))
                mark = len(mon.output)
                mon.send("w\n")
                end = time.monotonic() + 15
                while mon.count(HOME_ERASE, start=mark) < 22 and time.monotonic() < end:
                    mon.pump(0.1)
                self.assertGreaterEqual(mon.count(HOME_ERASE, start=mark), 22)  # the report was written
                mark = len(mon.output)
                mon.send("\n")
                mon.wait_for(summary_line(0, 0, 0), start=mark)
                mon.send("q\n")
                self.assertEqual(mon.wait(), 0)
                self.assertEqual(mon.stderr(), NO_PIDFILE)
            with open(os.path.join(board.stage, "report_size")) as f:
                self.assertEqual(f.read().strip(), "0")


if __name__ == "__main__":
    unittest.main()

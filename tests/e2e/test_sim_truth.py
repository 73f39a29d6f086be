"""The monitor against the daemon stand-in: after a number of dumps, the
interactive views (a `w` report and the live screen) and a batch report show
exactly what the stand-in's truth log says it wrote. The expected views are
computed here from the truth records alone: peaks, and histogram hits from
thresholds derived from the cell scale and the bucket percentages."""

import os
import subprocess
import time
import unittest

from boardlib import BINARY, FAKEBOARD, QEMU, SIM, Board

HOME_ERASE = b"\x1b[H\x1b[K"
ERASE = "\x1b[K"
PERCENTS = (1, 5, 10, 20, 50, 60, 70, 80, 90, 100)
WAIT = 15  # seconds allowed for any single step

LABELS = {
    "42": ["Bay %d" % i for i in range(1, 17)]
          + ["Q%d.%d" % (q, i) for q in range(1, 5) for i in range(1, 5)]
          + ["X%d" % i for i in range(1, 9)] + ["ISL1", "ISL2"],
    "24": ["Bay 1", "Bay 9", "Bay 2", "Bay 10", "Bay 3", "Bay 11", "Bay 4", "Bay 12", "Bay 5", "Bay 13",
           "Bay 6", "Bay 14", "Bay 7", "Bay 15", "Bay 8", "Bay 16", "X1", "X8", "X2", "X3", "X7", "X4",
           "X5", "X6"],
    "30": ["Bay %d" % i for i in range(1, 17)] + ["X%d" % i for i in range(1, 11)]
          + ["ISL%d" % i for i in range(1, 5)],
}
CELL_SCALE = {"42": 32768, "24": 16384, "30": 32768}

USAGE_KINDS = ("total_shared", "port_shared", "pg", "queue")
COUNTER_KINDS = ("rxpp", "txpp", "ibp_drop", "hol_drop")


# ---- truth log

def read_truth(path):
    """Complete records of the truth log, in order: a record is the items
    between "dump N" and "end N", keyed ("total_shared",), (slot, "pg", k),
    and so on. A record still being written (no "end" yet) is left out."""
    records = []
    current = None
    try:
        with open(path) as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        return records
    for line in lines:
        words = line.split()
        if not words:
            continue
        if words[0] == "dump":
            assert current is None, "dump record not ended: %r" % line
            current = {"number": int(words[1]), "items": {}}
        elif words[0] == "end":
            assert current is not None and int(words[1]) == current["number"], line
            records.append(current)
            current = None
        else:
            assert current is not None, "item outside a record: %r" % line
            if words[0] == "global" and len(words) == 3:
                key = (words[1],)
            elif words[0] == "port" and len(words) in (4, 5):
                key = (int(words[1]), words[2]) + tuple(int(w) for w in words[3:-1])
            else:
                raise AssertionError("unknown truth item %r" % line)
            assert key not in current["items"], "item twice in one record: %r" % line
            current["items"][key] = int(words[-1])
    assert [r["number"] for r in records] == list(range(1, len(records) + 1)), "dump numbers not 1, 2, ..."
    return records


# ---- what the views must show, from truth records alone

class Expected:
    """The store as the truth says it must be after the monitor has read the
    given dumps, one after another, each dump's three files once."""

    def __init__(self, model, records):
        self.model = model
        self.ports = len(LABELS[model])
        self.labels = LABELS[model]
        scale = CELL_SCALE[model]
        self.thresholds = [scale * p // 100 for p in PERCENTS]
        self.usage = {}     # key -> [current, max, hits]
        self.counters = {}  # key -> latest value
        self.limit = 0
        for record in records:
            for state in self.usage.values():
                state[0] = 0  # every dump refreshes both files, so every peak is reset
            for key, value in record["items"].items():
                kind = key[0] if len(key) == 1 else key[1]
                if kind == "shared_limit":
                    self.limit = value
                elif kind in USAGE_KINDS:
                    state = self.usage.setdefault(key, [0, 0, [0] * 10])
                    state[0] = max(state[0], value)
                    state[1] = max(state[1], value)
                    bucket = self.bucket(value)
                    if bucket is not None:
                        state[2][bucket] += 1
                elif kind in COUNTER_KINDS:
                    self.counters[key] = value
                else:
                    raise AssertionError("unknown item %r" % (key,))

    def bucket(self, value):
        for b, threshold in enumerate(self.thresholds):
            if value < threshold:
                return b
        return None  # at or above the cell scale: in no bucket

    def peaks(self, key):
        state = self.usage.get(key, [0, 0, [0] * 10])
        return state[0], state[1]

    def hits(self, key):
        return self.usage.get(key, [0, 0, [0] * 10])[2]

    def counter(self, key):
        return self.counters.get(key, 0) & 0xFFFFFFFF

    def views(self, erase):
        """The 22 views, each a list of lines; erase is the line-erase text."""
        views = []
        cur, peak = self.peaks(("total_shared",))
        views.append(["Total Shared Count: %04x, Max: %04x Limit: %04x \n" % (cur, peak, self.limit)])

        rows = ["PID PShr PSMx " + " ".join("PG%dS PG%dSM" % (k, k) for k in range(8)) + " Port Name %s\n" % erase]
        for p in range(self.ports):
            groups = [self.peaks((p, "pg", k)) for k in range(8)]
            rows.append("%02d  %04x %04x " % ((p,) + self.peaks((p, "port_shared")))
                        + "  ".join("%04x %04x" % g for g in groups) + "  %s\n" % self.labels[p])
        views.append(rows)

        rows = ["PID PShr PSMx " + " ".join("Q%dSZ Q%dSM" % (k, k) for k in range(8)) + "  Port Name %s\n" % erase]
        for p in range(self.ports):
            values = list(self.peaks((p, "port_shared")))
            for k in range(8):
                values += self.peaks((p, "queue", k))
            rows.append("%02d  " % p + " ".join("%04x" % v for v in values) + " %s\n" % self.labels[p])
        views.append(rows)

        rows = ["PID ibpdrop  holdrp0  holdrp1  holdrp2  holdrp3  holdrp4  holdrp5  holdrp6  holdrp7  "
                "txpp     rxpp   Port Name %s\n" % erase]
        for p in range(self.ports):
            values = ([self.counter((p, "ibp_drop"))] + [self.counter((p, "hol_drop", k)) for k in range(8)]
                      + [self.counter((p, "txpp")), self.counter((p, "rxpp"))])
            rows.append("%02d  " % p + " ".join("%08x" % v for v in values) + " %s\n" % self.labels[p])
        views.append(rows)

        percent_line = "".join(" %7d%%" % p for p in PERCENTS) + erase + "\n"
        views.append(["Total shared memory usage:\n", percent_line,
                      erase + "".join(" %08x" % h for h in self.hits(("total_shared",))) + "\n"])

        def histogram(title, key_of):
            rows = [title + "\n", percent_line]
            for p in range(self.ports):
                rows.append(erase + "xe%d " % p + "".join(" %08x" % h for h in self.hits(key_of(p)))
                            + " %s\n" % self.labels[p])
            return rows

        views.append(histogram("Port shared memory usage:", lambda p: (p, "port_shared")))
        for k in range(8):
            views.append(histogram("PG%d shared memory usage:" % k, lambda p, k=k: (p, "pg", k)))
        for k in range(8):
            views.append(histogram("Egress Q%d shared memory usage:" % k, lambda p, k=k: (p, "queue", k)))
        return views


def report_mismatches(report, views):
    """Every line of a report that differs from the expected views, named by
    view and line; [] when the report is exactly the 22 views."""
    lines = report.decode("latin-1").splitlines(keepends=True)
    problems = []
    at = 0
    for number, view in enumerate(views):
        for i, want in enumerate(view):
            got = lines[at] if at < len(lines) else "<missing>"
            if got != want:
                problems.append("view %d line %d:\n  want %r\n  got  %r" % (number, i, want, got))
            at += 1
    if len(lines) != at:
        problems.append("report has %d lines, the views %d" % (len(lines), at))
    return problems


class SimTruth(unittest.TestCase):
    maxDiff = None

    def check_report(self, report, views, what):
        problems = report_mismatches(report, views)
        self.assertEqual(problems[:12], [], "%s: %d lines differ" % (what, len(problems)))

    # ---- interactive: live screen and `w` report after several dumps

    def settled_dump(self, mon, truth, marker, at_least):
        """Waits until a dump is pending: its truth record is complete and its
        marker exists. Returns the records, the pending one last. The truth
        record is appended before the marker is created, and the monitor
        removes the marker when it reads a dump, so a marker seen between two
        equal readings of the log belongs to the last record: that dump is
        not yet read, all before it are. The terminal is read meanwhile, so
        the monitor never blocks on a full terminal."""
        end = time.monotonic() + WAIT
        while time.monotonic() < end:
            before = read_truth(truth)
            present = os.path.exists(marker)
            after = read_truth(truth)
            if present and len(before) == len(after) >= at_least:
                return after
            mon.pump(0.02)
        raise AssertionError("no pending dump %d; truth has %d records" % (at_least, len(read_truth(truth))))

    def interactive(self, model, sim_args, consume, view):
        """Drives the monitor until `consume` dumps or more are read, then
        writes the report with `w` and checks it and the screen."""
        with Board(model) as board:
            truth = os.path.join(board.stage, "truth.log")
            marker = board.path("swfabric_se_dump_complete")
            with board.spawn(["-v", str(view)], sim="%s --truth %s" % (sim_args, truth)) as mon:
                records = self.settled_dump(mon, truth, marker, 1)
                # Each Enter ends the wait; the pass after it reads the pending dump.
                while len(records) - 1 < consume:
                    mon.send("\n")
                    records = self.settled_dump(mon, truth, marker, len(records) + 1)

                for _ in range(3):
                    probe = self.write_report(board, mon, truth, marker, view, model)
                    if probe is not None:
                        break
                else:
                    self.fail("a refresh pass came between the check and the `w` three times")
                report, consumed, screen = probe
                self.assertGreaterEqual(len(consumed), consume)
                views = Expected(model, consumed).views(ERASE)
                self.check_report(report, views, "w report after %d dumps" % len(consumed))
                self.assertEqual(screen.decode("latin-1"), "".join(views[view]),
                                 "screen of view %d after %d dumps" % (view, len(consumed)))
                mon.send("q\n")
                self.assertEqual(mon.wait(), 0)
                self.assertEqual(mon.stderr(), b"")
        return consumed

    def write_report(self, board, mon, truth, marker, view, model):
        """One `w` whose dump state is known: right after a pass (an Enter),
        wait for the next dump to be pending, so that everything before it
        has been read, then type `w` well inside the three-second wait. The
        terminal output proves that no pass ran between: the 22 frames of the
        report arrive before any new drawing of the view. Returns the report,
        the records read before it and the last drawing of the view before it,
        or None when a pass did come between."""
        title = Expected(model, []).views(ERASE)[view][0].encode()[:24]  # the fixed part of the first line
        start = len(mon.output)
        mon.send("\n")
        mon.wait_for(HOME_ERASE + title, start=start)
        self.settled_dump(mon, truth, marker, 1)
        mon.pump(0.3)  # all drawing of passes begun so far has arrived
        records = self.settled_dump(mon, truth, marker, 1)
        mark = len(mon.output)
        try:
            os.unlink(board.path("cellscope_results.log"))
        except FileNotFoundError:
            pass
        mon.send("w\n")
        # The report is closed before the pass after `w` draws the view.
        drawn = mon.wait_for(HOME_ERASE + title, start=mark)
        frames = mon.output[mark:drawn].count(HOME_ERASE)
        if frames == 0:
            return None  # a pass began after the check: the dump state is unknown
        self.assertEqual(frames, 22, "frames of the `w` report on the terminal")
        # The drawing's closing "\033[H" has no newline: it is still buffered
        # at the mark, so the last drawing is all that came before the mark.
        screen = mon.output[mon.output.rindex(HOME_ERASE + title, 0, mark) + len(HOME_ERASE):mark]
        with open(board.path("cellscope_results.log"), "rb") as f:
            report = f.read()
        return report, records[:-1], screen

    # ---- batch: one dump's files

    def batch(self, model, sim_args, count):
        with Board(model) as board:
            truth = os.path.join(board.stage, "truth.log")
            cmd = [FAKEBOARD, "--stage", board.stage] + board.model_args + (["--qemu"] if QEMU else [])
            cmd += ["--sim-once", "%s --once --count %d --truth %s" % (sim_args, count, truth),
                    "--sim-bin", SIM, "--", BINARY, "-b"]
            r = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(r.stderr, b"")
            records = read_truth(truth)
            self.assertEqual(len(records), count)
            # The files on the board are those of the last dump only.
            self.check_report(r.stdout, Expected(model, records[-1:]).views(""), "batch report of dump %d" % count)
        return records

    # ---- the modules

    def test_42_port_module_steady(self):
        consumed = self.interactive("42", "--model 42 --scenario steady --seed 11", consume=4, view=1)
        self.assertFalse(any(k[1] == "queue" for r in consumed for k in r["items"] if len(k) > 1))
        self.batch("42", "--model 42 --scenario steady --seed 12", count=3)

    def test_30_port_module_steady(self):
        self.interactive("30", "--model 30 --scenario steady --seed 21", consume=4, view=3)
        self.batch("30", "--model 30 --scenario steady --seed 22", count=2)

    def test_24_port_module_incast_fills_the_buffer(self):
        # The sixth dump of the incast cycle holds the target's class at the
        # full buffer: values at the cell scale that no bucket counts.
        sim = "--model 24 --scenario incast --seed 31 --target 5"
        consumed = self.interactive("24", sim, consume=8, view=2)
        expected = Expected("24", consumed)
        scale = CELL_SCALE["24"]
        self.assertEqual(expected.peaks((5, "port_shared"))[1], scale)
        self.assertTrue(any(expected.peaks((5, "queue", k))[1] == scale for k in range(8)))
        filled = {b for key in expected.usage for b, h in enumerate(expected.hits(key)) if h}
        self.assertGreaterEqual(len(filled), 6, "incast spreads values over the buckets")

        records = self.batch("24", sim, count=6)
        self.assertEqual(records[-1]["items"][(5, "port_shared")], scale)


if __name__ == "__main__":
    unittest.main()

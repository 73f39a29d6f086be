"""The monitor against the daemon stand-in: after a number of dumps, the
interactive views (a `w` report and the live screen) and a batch report show
exactly what the stand-in's truth log says it wrote. The expected views are
computed here from the truth records alone: peaks, and histogram hits from
thresholds derived from the cell scale and the bucket percentages."""

import os
import time
import unittest

from boardlib import CELL_SCALE, HOME_ERASE, MARKER, PERCENTS, REPORT, Board, render_views, report_problems

USAGE_KINDS = ("total_shared", "port_shared", "pg", "queue")
COUNTER_KINDS = ("rxpp", "txpp", "ibp_drop", "hol_drop")


# ---- truth log

def read_truth(path):
    """Complete records of the truth log, in order: the items between "dump N"
    and "end N", keyed ("total_shared",), (slot, "pg", k) and so on. A record
    still being written (no "end" yet, or a line cut short) is left out."""
    records, current = [], None
    try:
        with open(path) as f:
            text = f.read()
    except FileNotFoundError:
        return records
    for words in map(str.split, text[:text.rfind("\n") + 1].splitlines()):
        if words[0] == "dump":
            current = {"number": int(words[1]), "items": {}}
        elif words[0] == "end":
            records.append(current)
        elif words[0] == "global" and len(words) == 3:
            current["items"][(words[1],)] = int(words[2])
        elif words[0] == "port" and len(words) in (4, 5):
            current["items"][(int(words[1]), words[2]) + tuple(int(w) for w in words[3:-1])] = int(words[-1])
        else:
            raise AssertionError("unknown truth item %r" % words)
    assert [r["number"] for r in records] == list(range(1, len(records) + 1)), "dump numbers not 1, 2, ..."
    return records


# ---- what the views must show, from truth records alone

def expected_state(model, records):
    """The store as the truth says it must be after the monitor has read the
    given dumps, one after another, each dump's three files once."""
    thresholds = [CELL_SCALE[model] * p // 100 for p in PERCENTS]
    state = {}
    for record in records:
        for value in state.values():
            if isinstance(value, list):
                value[0] = 0  # every dump refreshes both files, so every peak is reset
        for key, value in record["items"].items():
            kind = key[0] if len(key) == 1 else key[1]
            if kind == "shared_limit":
                state["limit"] = value
            elif kind in USAGE_KINDS:
                usage = state.setdefault(key, [0, 0, {}])
                usage[0], usage[1] = max(usage[0], value), max(usage[1], value)
                # At or above the cell scale: in no bucket.
                bucket = next((b for b, t in enumerate(thresholds) if value < t), None)
                if bucket is not None:
                    usage[2][bucket] = usage[2].get(bucket, 0) + 1
            else:
                assert kind in COUNTER_KINDS, key
                state[key] = value
    return state


class SimTruth(unittest.TestCase):
    # ---- interactive: live screen and `w` report after several dumps

    def settled_dump(self, mon, truth, marker, at_least):
        """Waits until a dump is pending and returns the records, the pending
        one last. The truth record is written before the marker, and the
        monitor removes the marker when it reads a dump, so a marker seen
        between two equal readings of the log belongs to the last record,
        which is not yet read while all before it are."""
        end = time.monotonic() + 15
        while time.monotonic() < end:
            before = read_truth(truth)
            present = os.path.exists(marker)
            after = read_truth(truth)
            if present and len(before) == len(after) >= at_least:
                return after
            mon.pump(0.02)  # the monitor must never block on a full terminal
        raise AssertionError("no pending dump %d; truth has %d records" % (at_least, len(read_truth(truth))))

    def interactive(self, model, sim_args, consume, view):
        """Drives the monitor until `consume` dumps or more are read, then
        writes the report with `w` and checks it and the screen."""
        with Board(model) as board:
            truth = os.path.join(board.stage, "truth.log")
            marker = board.path(MARKER)
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
                views = render_views(model, expected_state(model, consumed))
                self.assertEqual(report_problems(report, views), [], "w report after %d dumps" % len(consumed))
                self.assertEqual(screen.decode("latin-1"), "".join(views[view]),
                                 "screen of view %d after %d dumps" % (view, len(consumed)))
                self.assertEqual(mon.quit(), 0)
                self.assertEqual(mon.stderr(), b"")
        return consumed

    def write_report(self, board, mon, truth, marker, view, model):
        """One `w` whose dump state is known: right after a pass (an Enter),
        wait for the next dump to be pending, so that all before it have been
        read, then type `w` well inside the three-second wait. The 22 frames
        of the report must arrive before any new drawing of the view, else a
        pass came between (None). Returns the report, the records read before
        it and the last drawing of the view before it."""
        title = HOME_ERASE + render_views(model, {})[view][0].encode()[:24]
        mon.enter(title)
        self.settled_dump(mon, truth, marker, 1)
        mon.pump(0.3)  # all drawing of passes begun so far has arrived
        records = self.settled_dump(mon, truth, marker, 1)
        mark = len(mon.output)
        if os.path.exists(board.path(REPORT)):
            os.unlink(board.path(REPORT))
        mon.send("w\n")
        # The report is closed before the pass after `w` draws the view.
        drawn = mon.wait_for(title, start=mark)
        frames = mon.output[mark:drawn].count(HOME_ERASE)
        if frames == 0:
            return None
        self.assertEqual(frames, 22, "frames of the `w` report on the terminal")
        # The drawing's closing "\033[H" has no newline: it is still buffered
        # at the mark, so the last drawing is all that came before the mark.
        screen = mon.output[mon.output.rindex(title, 0, mark) + len(HOME_ERASE):mark]
        with open(board.path(REPORT), "rb") as f:
            return f.read(), records[:-1], screen

    # ---- batch: one dump's files

    def batch(self, model, sim_args, count):
        with Board(model) as board:
            truth = os.path.join(board.stage, "truth.log")
            r = board.run(["-b"], sim="%s --once --count %d --truth %s" % (sim_args, count, truth), once=True)
            self.assertEqual((r.returncode, r.stderr), (0, b""))
            records = read_truth(truth)
            self.assertEqual(len(records), count)
            # The files on the board are those of the last dump only.
            views = render_views(model, expected_state(model, records[-1:]), "")
            self.assertEqual(report_problems(r.stdout, views), [], "batch report of dump %d" % count)
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
        state = expected_state("24", self.interactive("24", sim, consume=8, view=2))
        scale = CELL_SCALE["24"]
        self.assertEqual(state[(5, "port_shared")][1], scale)
        self.assertTrue(any(state.get((5, "queue", k), [0, 0])[1] == scale for k in range(8)))
        filled = {b for value in state.values() if isinstance(value, list) for b in value[2]}
        self.assertGreaterEqual(len(filled), 6, "incast spreads values over the buckets")
        records = self.batch("24", sim, count=6)
        self.assertEqual(records[-1]["items"][(5, "port_shared")], scale)


if __name__ == "__main__":
    unittest.main()

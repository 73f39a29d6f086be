"""The monitor against the daemon stand-in: after a number of dumps, the `w` report and the live screen show exactly
what the stand-in's truth log says it wrote. The expected views come from the truth records alone: peaks, and
histogram hits from thresholds derived from the cell scale and the bucket percentages."""

import os
import unittest

from boardlib import CELL_SCALE, HOME_ERASE, MARKER, PERCENTS, REPORT, Board, get, render_views, report_problems


def read_truth(path):
    """The complete records of the truth log in order, each {("total_shared",) or (slot, "pg", k) ...: value}."""
    records, items, text = [], {}, get(path).decode()
    for words in map(str.split, text[:text.rfind("\n") + 1].splitlines()):  # no line still being written
        if words[0] in ("dump", "end"):
            records += [items] if words[0] == "end" else []
            items = {}
        else:
            assert words[0] == "global" and len(words) == 3 or words[0] == "port" and len(words) in (4, 5), words
            items[tuple(int(w) if w.isdigit() else w for w in words[1:-1])] = int(words[-1])
    return records


def expected_state(model, records):
    """The store after the monitor has read these dumps one after another."""
    thresholds, state = [CELL_SCALE[model] * p // 100 for p in PERCENTS], {}
    for items in records:
        for value in state.values():
            if isinstance(value, list):
                value[0] = 0  # every dump refreshes both files, so every current peak restarts
        for key, value in items.items():
            kind = key[0] if len(key) == 1 else key[1]
            if kind in ("total_shared", "port_shared", "pg", "queue"):
                usage = state.setdefault(key, [0, 0, {}])
                usage[:2] = max(usage[0], value), max(usage[1], value)
                bucket = next((b for b, t in enumerate(thresholds) if value < t), None)
                if bucket is not None:  # at the full buffer: in none
                    usage[2][bucket] = usage[2].get(bucket, 0) + 1
            else:
                assert kind in ("shared_limit", "rxpp", "txpp", "ibp_drop", "hol_drop"), key
                state["limit" if kind == "shared_limit" else key] = value
    return state


class SimTruth(unittest.TestCase):
    def check(self, model, sim, consume, view):
        """Reads `consume` dumps or more, then checks the `w` report and the screen of view; the store state."""
        with Board(model) as board:
            truth = board.path("truth.log", "")
            mon = board.spawn(["-v", str(view)], sim="%s --truth %s" % (sim, truth))

            def pending(at_least):
                """Waits for a pending dump: the records, it last. Its truth record comes before the marker, which the
                monitor removes on reading it: a marker seen between two equal readings of the log is the last one's."""
                def settled():
                    before, present = read_truth(truth), os.path.exists(board.path(MARKER))
                    records[:] = read_truth(truth)
                    return present and len(before) == len(records) >= at_least
                records = []
                mon.until(settled, "pending dump %d" % at_least)
                return records
            title, found = HOME_ERASE + render_views(model, {})[view][0].encode()[:24], pending(1)
            for _ in range(consume + 3):
                mon.enter(title)  # Enter ends the wait: the pass after it reads the pending dump
                found, mark = pending(len(found) + 1), len(mon.output)
                if len(found) <= consume:
                    continue
                # `w` right after a pass with the next dump pending (so all before it read), well inside the
                # three-second wait: its 22 frames come before the next drawing, else a pass came between.
                drawn = mon.enter(title, "w\n")
                if mon.output[mark:drawn].count(HOME_ERASE) == 22:
                    break
            else:
                self.fail("a pass came between the dump check and `w` each time")
            records = found[:-1]
            views = render_views(model, expected_state(model, records))
            self.assertEqual(report_problems(get(board.path(REPORT)), views), [], "w after %d dumps" % len(records))
            # The drawing's closing cursor home, without a newline, is still buffered at the mark.
            screen = mon.output[mon.output.rindex(title, 0, mark) + len(HOME_ERASE):mark]
            self.assertEqual(screen.decode("latin-1"), "".join(views[view]))
            self.assertEqual((mon.quit(), mon.stderr()), (0, b""))
        return expected_state(model, records)

    def test_42_port_module_steady(self):
        self.check("42", "--model 42 --scenario steady --seed 11", consume=4, view=1)

    def test_30_port_module_steady(self):
        self.check("30", "--model 30 --scenario steady --seed 21", consume=4, view=3)

    def test_24_port_module_incast_reaches_the_shared_limit(self):
        # Within the incast cycle's first dumps the switch-wide count reaches the shared limit, and stays there.
        state = self.check("24", "--model 24 --scenario incast --seed 31 --target 5", 8, 2)
        self.assertEqual(state[("total_shared",)][:2], [state["limit"]] * 2)


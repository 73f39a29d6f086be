"""One operator's session on a pseudo-terminal beside the stand-in daemon: dumps that all carry one modification time,
each read exactly once, and the keys n, w, h, Ctrl-D and q end to end."""

import unittest

from boardlib import (HOME_ERASE, MARKER, RELOAD, REPORT, Board, get, global_dump, render_views, report_problems,
                      summary_line)

TITLES = [HOME_ERASE + view[0][:20].encode() for view in render_views("42", {})]


class Session(unittest.TestCase):
    def test_operator_session(self):
        with Board("42") as board:
            board.write("sw_global_info.1", global_dump(0x999)["sw_global_info.1"])  # left over: deleted unread
            board.write(MARKER, "")
            dumps = [global_dump(n) for n in (0x111, 0x333, 0x222)]  # all stamped with one time
            mon = board.spawn(["-v", "22"], board.standin(dumps, "1000"))  # beyond the last view: the first instead
            for done, (count, peak) in enumerate(((0x111, 0x111), (0x333, 0x333), (0x222, 0x333))):
                mon.until(lambda: len(board.log("answered")) > done, "dump %d" % (done + 1))
                mon.enter(summary_line(count, peak, 0x7000), start=0)  # read by the pass after Enter, or before
            self.assertNotIn(b"0999", mon.output)

            mark = len(mon.output)  # n: the next view at once, after the last the first
            mon.wait_for(render_views("42", {})[1][-1].encode(), mon.enter(RELOAD, b"n\n" * 23, times=23))
            drawn = [min((chunk.find(t), v) for v, t in enumerate(TITLES) if t in chunk)[1]
                     for chunk in mon.output[mark:].split(RELOAD)[1:]]
            self.assertEqual(drawn, list(range(1, 22)) + [0, 1])

            mon.enter(TITLES[1], "w\n\n", times=2)  # w: every view into the report; the view stays
            state = {("total_shared",): (0x222, 0x333, {0: 1, 1: 2}), "limit": 0x7000}
            self.assertEqual(report_problems(get(board.path(REPORT)), render_views("42", state)), [])

            # Ctrl-D on a terminal (a read of 0 bytes) ends no more than that wait.
            mon.enter(TITLES[2], b"\x04n\n")
            # h: the help stays until the next line, which it takes; so after a Ctrl-D typed there too.
            mon.enter(b"q - quit\n", "h\n")
            mon.enter(TITLES[2], b"\x04")
            mark = mon.enter(b"q - quit\n", "h\n")
            self.assertEqual(mon.quit(b"n\nq\n"), 0)
            self.assertEqual(mon.output[mark:].count(RELOAD), 0, "the line that ends the help was taken as a command")
            self.assertTrue(mon.output.endswith(b"\x1b[H\x1b[J"), mon.output[-40:])
            self.assertEqual(mon.stderr(), b"")
            self.assertEqual(len(board.log("signal")), 4)  # one request at start and one after each dump


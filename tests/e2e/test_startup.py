"""Start-up and batch runs of the real binary on fake boards: usage errors, model detection, the files a batch run
reads and the fate of its output."""

import os
import signal
import subprocess
import unittest

from boardlib import MODULES, Board, global_dump, render_views, report_problems

VIEWS = ["SUMMARY", "PG_SUMMARY", "Q_SHARED_MEM_SUMMARY", "PKT_DROPPED_COUNT_SUMMARY", "TOTAL_SHARED_MEM",
         "PORT_SHARED_MEM"] + ["PG%d_SHARED_MEM" % i for i in range(8)] + ["Q%d_SHARED_MEM" % i for i in range(8)]
USAGE = ("Usage: cellscope  [-b] [-v{0-21}]\n\tb: batch mode\n\tv: display specified view {0-21}\n"
         + "".join("\t   %d = STAT_VIEW_%s \n" % (i, n) for i, n in enumerate(VIEWS))
         + "\nFollowing commands are supported in interactive mode.\n***NOTE: You must press the command key followed "
           "by Enter key!\nn - cycle through next view\nw - write all statistics views to file "
           "/tmp/cellscope_results.log\nh - display this help screen\nq - quit\n").encode()
DUMP_42 = dict(global_dump(0x111), **{  # a dump of the 42-port module; STATE_42 the store after reading it
    "port_info.1": "RXPP.xe5: COUNT=250\nTXPP.xe40: COUNT=0x4d\nCTR_ING_DROP[3]: PKTCNT=7\nCTR_UC_DROP[39]: PKTCNT=5\n"
                   "THDI_PORT_SP_CNTRS_RT_X[36]: PORT_SP_SHARED_COUNT=0x80\n",
    "pg_info.1": "THDI_PORT_PG_CNTRS_RT1_X[19]: PG_SHARED_COUNT=0x40\n"})
STATE_42 = {("total_shared",): (0x111, 0x111, {0: 1}), "limit": 0x7000, (39, "port_shared"): (0x80, 0x80, {0: 1}),
            (0, "pg", 3): (0x40, 0x40, {0: 1}), (5, "rxpp"): 250, (40, "txpp"): 0x4d, (8, "ibp_drop"): 7,
            (8, "hol_drop", 3): 5}


class Startup(unittest.TestCase):
    def test_usage_errors_come_before_model_detection(self):
        with Board(device_tree=False) as board:
            for args, err in ((["-x"], b"cellscope: invalid option -- 'x'\n"), (["-b", "extra"], b""),
                              (["-v"], b"cellscope: option requires an argument -- 'v'\n"), (["-v", "3", "a"], b"")):
                with self.subTest(args=args):
                    r = board.run(args)
                    self.assertEqual((r.returncode, r.stdout, r.stderr), (1, USAGE, err))
        self.assertEqual(subprocess.run([MODULES, "-x"], capture_output=True).returncode, 2)  # the registry tool's

    def test_unrecognised_boards_fail_with_one_message(self):
        for device_tree in (False, b"", b"ZQN4TRKW1\n", b"ZQN4TRKW1-B\0", b"ZQN4TRKW\0", b"zqtrkw1\0", b"SOMEBOARD\0"):
            with self.subTest(device_tree=device_tree), Board(device_tree=device_tree) as board:
                for args in (["-b"], []) if device_tree is False else (["-b"],):
                    r = board.run(args)
                    self.assertEqual((r.returncode, r.stdout, r.stderr), (1, b"", b"Unable to find model.\n"))

    def test_files_present_are_read_whatever_their_time(self):
        with Board("42") as board:
            for name, text in DUMP_42.items():
                board.write(name, text)
                os.utime(board.path(name), (0, 0))  # the time the monitor's record of each file starts from
            r = board.run(["-b"])
            self.assertEqual((r.returncode, r.stderr), (0, b""))
            self.assertEqual(report_problems(r.stdout, render_views("42", STATE_42, erase="")), [])
            self.assertEqual(sorted(os.listdir(board.tmp)), sorted(DUMP_42))  # nothing deleted

    def test_output_that_fails(self):
        reader, writer = os.pipe()
        os.close(reader)  # a pipe without a reader: ended by SIGPIPE, as any filter
        self.addCleanup(os.close, writer)
        with Board("24") as board, open("/dev/full", "wb") as full:
            for out, end in ((full, (1, b"cellscope: standard output: No space left on device\n")),
                             (writer, (128 + signal.SIGPIPE, b""))):
                r = board.run(["-b"], stdout=out)
                self.assertEqual((r.returncode, r.stderr), end)


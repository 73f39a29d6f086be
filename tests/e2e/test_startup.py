"""Start-up of the real binary on fake boards: options, usage, model detection."""

import unittest

from boardlib import Board

VIEW_NAMES = [
    "STAT_VIEW_SUMMARY", "STAT_VIEW_PG_SUMMARY", "STAT_VIEW_Q_SHARED_MEM_SUMMARY",
    "STAT_VIEW_PKT_DROPPED_COUNT_SUMMARY", "STAT_VIEW_TOTAL_SHARED_MEM", "STAT_VIEW_PORT_SHARED_MEM",
] + ["STAT_VIEW_PG%d_SHARED_MEM" % i for i in range(8)] + ["STAT_VIEW_Q%d_SHARED_MEM" % i for i in range(8)]

HELP = ("\nFollowing commands are supported in interactive mode.\n"
        "***NOTE: You must press the command key followed by Enter key!\n"
        "n - cycle through next view\n"
        "w - write all statistics views to file /tmp/cellscope_results.log\n"
        "h - display this help screen\n"
        "q - quit\n")

USAGE = ("Usage: cellscope  [-b] [-v{0-21}]\n\tb: batch mode\n\tv: display specified view {0-21}\n"
         + "".join("\t   %d = %s \n" % (i, n) for i, n in enumerate(VIEW_NAMES)) + HELP).encode()


class UsageErrors(unittest.TestCase):
    def test_bad_options_and_operands_print_usage_and_exit_1(self):
        cases = [
            (["-x"], b"cellscope: invalid option -- 'x'\n"),
            (["-v"], b"cellscope: option requires an argument -- 'v'\n"),
            (["-b", "extra"], b""),
            (["extra"], b""),
            (["-v", "3", "a", "b"], b""),
        ]
        # On a board without a model: usage errors come before model detection.
        with Board(no_model=True) as board:
            for args, err in cases:
                with self.subTest(args=args):
                    r = board.run(args)
                    self.assertEqual((r.returncode, r.stdout, r.stderr), (1, USAGE, err))


class ModelDetection(unittest.TestCase):
    def test_unrecognised_boards_fail_with_one_message(self):
        boards = [
            dict(no_model=True),
            dict(model_bytes=b""),
            dict(model_bytes=b"ZQN4TRKW1\n"),
            dict(model_bytes=b"ZQN4TRKW1-B\0"),
            dict(model_bytes=b"ZQN4TRKW\0"),
            dict(model_bytes=b"zqtrkw1\0"),
            dict(model_string="SOMEBOARD"),
        ]
        for kw in boards:
            for args in (["-b"], []):
                with self.subTest(board=kw, args=args), Board(**kw) as board:
                    r = board.run(args)
                    self.assertEqual((r.returncode, r.stdout, r.stderr), (1, b"", b"Unable to find model.\n"))

    def test_each_model_starts_cleanly_in_batch_mode(self):
        for model in ("42", "24", "30"):
            with self.subTest(model=model), Board(model) as board:
                r = board.run(["-b", "-v", "7"])
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stderr, b"")
                self.assertTrue(r.stdout.startswith(b"Total Shared Count: 0000, Max: 0000 Limit: 0000 \n"),
                                r.stdout[:200])


if __name__ == "__main__":
    unittest.main()

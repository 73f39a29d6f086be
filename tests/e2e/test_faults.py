"""Faults met by the real monitor on a fake board: hostile dump files (numbers of every form are the unit tests'),
paths that are no files, untrusted pid files, a daemon that dies mid-dump, no rights to delete, input that ends, a
report that cannot or must not be written. Each case checks the views exactly (a stray write shows up as a value
somewhere) and the diagnostics due, each once."""

import os
import random
import re
import shutil
import signal
import stat
import subprocess
import time
import unittest

from boardlib import (EXPORTER, HOME_ERASE, MARKER, NO_PIDFILE, PASS, PIDFILE, PIDFILE_MSG, REPORT, Board,
                      board_processes, get, global_dump, monitors, put, render_views, report_problems, second_monitor,
                      summary_line)
from test_startup import DUMP_42, STATE_42

CANNOT_REMOVE = b"cellscope: cannot remove /tmp/%s: %s\n"
THREADS = ("python3 -c 'import signal, threading, time; threading.Thread(target=time.sleep, args=(600,), daemon=True)"
           ".start(); signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1}); open(\"/tmp/blocked\", \"w\"); "
           "time.sleep(600)'")


class Fed(Board):
    """The monitor on a terminal beside a stand-in daemon that only logs its requests: the test writes each dump."""

    def __init__(self, test):
        super().__init__()
        self.test, self.mon = test, self.spawn(sim=self.standin())

    def step(self, files, state, err=b"", marker=True):
        """Makes files (name: text, or a function that makes the path) and the marker; then a pass, `w` and a pass,
        after which the report must show exactly the views of state, and stderr hold err."""
        self.mon.wait_for(PASS)  # after the first request, which deletes what lies in /tmp
        for name, data in dict(files, **{MARKER: ""} if marker else {}).items():
            data(self.path(name)) if callable(data) else self.write(name, data)
        if os.path.exists(self.path(REPORT)):
            os.unlink(self.path(REPORT))
        self.mon.enter(PASS, "\nw\n\n", times=3)  # a drawing at most may come before the keys
        self.test.assertEqual(report_problems(get(self.path(REPORT)), render_views(self.model, state)), [])
        self.test.assertFalse(marker and os.path.lexists(self.path(MARKER)), "marker not consumed")
        self.test.assertEqual(self.mon.stderr(), err)


NOISE_42 = {  # binary noise, NUL bytes, a line cut off at end of file, CRLF line ends, lines of a megabyte
    "sw_global_info.1": random.Random(7).randbytes(3000) + b"\n\x00MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x999\n"
                        + b"MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x123\x00COUNT=0x999\n"
                        + b"\xff\xfe\x01MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x50 \x80\x81\n"
                        + b"MMU_THDM_DB_POOL_SHARED_COUNT: " + b" " * (1 << 20) + b"COUNT=0x999\n"  # in a later piece
                        + b"THDI_BUFFER_CELL_LIMIT_SP: LIMIT=0x6",
    "port_info.1": "RXPP.xe5: COUNT=300\r\nRXPP.xe10: COUNT=77\r\n"
                   "THDI_PORT_SP_CNTRS_RT_Y[8]: PORT_SP_SHARED_COUNT=0x10\r\nCTR_UC_DROP[1543]: PKTCNT=9\r\n",
    "pg_info.1": "A" * (1 << 20) + "\n" + "B" * 250 + "THDI_PORT_PG_CNTRS_RT1_X[19]: PG_SHARED_COUNT=0x7\n"  # across
                 + "C" * (255 * 4) + "THDI_PORT_PG_CNTRS_RT1_X[27]: PG_SHARED_COUNT=0x21\n",  # 255-byte pieces, or not
}
HOSTILE = [
    (DUMP_42, STATE_42, b""),
    # Empty files: the peaks of the latest dump drop to zero, all else stays.
    (dict.fromkeys(DUMP_42, ""), {("total_shared",): (0, 0x111, {0: 1}), (39, "port_shared"): (0, 0x80, {0: 1}),
                                  (0, "pg", 3): (0, 0x40, {0: 1})}, b""),
    (NOISE_42, {("total_shared",): (0x123, 0x123, {0: 3}), "limit": 6, (24, "port_shared"): (0x10, 0x10, {0: 1}),
                (8, "pg", 3): (0x21, 0x21, {0: 1}), (5, "rxpp"): 300, (10, "rxpp"): 77, (16, "hol_drop", 7): 9}, b""),
    (global_dump(0x4000), {("total_shared",): (0x4000, 0x4000, {0: 3, 5: 1}), "limit": 0x7000}, b""),
]


class Faults(unittest.TestCase):
    def test_hostile_dump_content(self):
        with Fed(self) as f:
            state = {}
            for files, change, err in HOSTILE:
                state.update(change)
                f.step(files, state, err)
            self.assertEqual(f.mon.quit(), 0)

    def test_paths_that_are_no_files(self):
        with Fed(self) as f:
            decoy, decoy_text = f.path("decoy", ""), b"MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x777\n"
            put(decoy, decoy_text)
            f.step(DUMP_42, STATE_42)
            # A link to a decoy, a FIFO, a directory, an endless device: none read or blocking; all but the directory go.
            f.step({"sw_global_info.1": lambda path: os.symlink(decoy, path), "port_info.1": os.mkfifo,
                    "pg_info.1": os.mkdir}, STATE_42, CANNOT_REMOVE % (b"pg_info.1", b"Is a directory"))
            f.step({"sw_global_info.1": lambda path: os.mknod(path, 0o644 | stat.S_IFCHR, os.makedev(1, 5))}, STATE_42)
            self.assertEqual((sorted(os.listdir(f.tmp)), get(decoy)), ([REPORT, "pg_info.1"], decoy_text))
            os.rmdir(f.path("pg_info.1"))
            # No per-port file: the other two are read, the per-port values and peaks stay.
            state = {**STATE_42, ("total_shared",): (0x222, 0x222, {0: 1, 1: 1}), (0, "pg", 3): (0x41, 0x41, {0: 2})}
            pg = {"pg_info.1": "THDI_PORT_PG_CNTRS_RT1_X[19]: PG_SHARED_COUNT=0x41\n"}
            f.step(dict(global_dump(0x222), **pg), state)
            f.step({}, state)  # a marker alone
            # Files without a marker, or beside a marker that is a directory, are never read.
            f.step(global_dump(0x333), state, marker=False)
            f.step({MARKER: os.mkdir}, state, marker=False)
            self.assertEqual(f.mon.quit(), 0)

    def test_untrusted_pid_files_signal_nobody(self):
        # Each made on the board before the monitor starts: "$$" is the monitor, a sleep one that SIGUSR1 would end.
        for make, reason in (("printf %040d 42 >", b"not a process id"),  # longer than any process id
                             ("echo 1 >", b"refusing to signal process id 0 or 1"),
                             ("echo 99999 >", b"cannot signal the daemon: No such process"),
                             ("mkfifo", b"not a readable regular file"), ("mkdir", b"not a readable regular file"),
                             ("echo $$ >", b"refusing to signal the monitor itself"),
                             ("sleep 600 & echo $! >", b"refusing to signal process id %s: SIGUSR1 would end it"),
                             # Its main thread blocks the signal, another thread would take it and end the process.
                             (THREADS + " & until [ -e /tmp/blocked ]; do sleep 0.05; done; echo $! >",
                              b"refusing to signal process id %s: SIGUSR1 would end it")):
            with self.subTest(pidfile=make), Board() as board:
                mon = board.spawn(shell='%s /var/run/%s; exec "$@"' % (make, PIDFILE))
                mon.wait_for(PASS)
                # A dump is consumed all the same, and the next request refused too, which is not said again.
                board.write("sw_global_info.1", global_dump(0x66)["sw_global_info.1"])
                board.write(MARKER, "")
                mon.enter(summary_line(0x66, 0x66, 0x7000))
                sleeps = [state for name, state, _ in board_processes(mon).values() if name in ("sleep", "python3")]
                self.assertEqual((sleeps, mon.quit()), (["S"] if "& " in make else [], 0))
                reason = reason % get(board.path(PIDFILE, "run")).strip() if b"%" in reason else reason
                self.assertEqual(mon.stderr(), PIDFILE_MSG + reason + b"\n")

    def test_restarted_daemon_is_asked_again(self):
        # The daemon dies mid-dump and a new one writes the pid file: about ten passes on, the monitor asks again.
        with Board() as board:
            dumps = [global_dump(0x111), dict(global_dump(0x999), RESTART=""), global_dump(0x333)]
            mon = board.spawn(sim=board.standin(dumps))
            mon.until(lambda: board.log("answered"), "the first dump")
            mon.enter(summary_line(0x111, 0x111, 0x7000))
            mon.until(lambda: len(board.log("started")) == 2, "the restart")
            passes = 0
            while len(board.log("signal")) < 3 and passes < 20:
                passes += 1
                mon.enter(PASS)
            self.assertTrue(8 <= passes <= 14, "asked again after %d passes" % passes)
            mon.until(lambda: len(board.log("answered")) == 2, "the new daemon's dump")
            mon.enter(summary_line(0x333, 0x333, 0x7000))
            self.assertNotIn(b"0999", mon.output)
            self.assertEqual((mon.quit(), mon.stderr()), (0, b""))

    def test_no_rights_to_delete(self):
        # As nobody beside root's left-over dump and marker in the sticky /tmp: never read, and each refusal said once.
        with Board() as board:
            board.write("sw_global_info.1", global_dump(0x999)["sw_global_info.1"])
            board.write(MARKER, "")
            mon = board.spawn(sim=board.standin(), shell='exec setpriv --reuid=nobody --regid=nogroup --clear-groups '
                                                         '"$@"')
            for _ in range(3):
                mon.enter(PASS)
            self.assertEqual(mon.quit(), 0)
            self.assertNotIn(b"0999", mon.output)
            self.assertEqual(mon.stderr(), b"cellscope: cannot share the daemon through /var/run/cellscope.state: "
                                           b"Permission denied\n"  # nobody may not write it: said once, then alone
                             + CANNOT_REMOVE % (b"sw_global_info.1", b"Operation not permitted")
                             + CANNOT_REMOVE % (MARKER.encode(), b"Operation not permitted")
                             + PIDFILE_MSG + b"cannot signal the daemon: Operation not permitted\n")

    def test_closed_standard_input_ends_with_the_select_diagnostic(self):
        with Board() as board:  # closed, not at end of file: the wait fails
            mon = board.spawn(sim=board.standin(), shell='exec "$@" 0<&-')
            self.assertEqual(mon.quit(b""), 1)
            self.assertIn(summary_line(0, 0, 0), mon.output)
            self.assertEqual(mon.stderr(), b"select failed with Bad file descriptor")

    def test_input_that_ends_keeps_the_three_second_pace(self):
        # Input at its end (also after `h`), a hung-up terminal (SIGHUP ignored): no spinning, a pass every 3 s.
        watched, hangup = [], signal.signal(signal.SIGHUP, signal.SIG_IGN)  # ignored by the boards started here
        self.addCleanup(signal.signal, signal.SIGHUP, hangup)
        for keys in (b"", b"h", b"h\n", None):
            board = self.enterContext(Board())
            board.write("keys", keys or b"", "")
            with open(board.path("keys", ""), "rb") as stdin:
                mon = board.spawn(sim=board.standin([global_dump(0x100 + i) for i in range(9)]),
                                  stdin=None if keys is None else stdin)
            mon.wait_for(PASS, mon.wait_for(b"q - quit\n") if keys else 0)
            if keys is None:
                mon.until(lambda: len(board.log("answered")) >= 2, "a dump pending")
                os.close(mon.master)  # the terminal goes away: the pass at once reads the dump, the next 3 s later
                mon.master = -1
            watched.append((keys, mon, board))
        cpu = lambda mon: sum(used for _, _, used in board_processes(mon).values())
        for _, mon, _ in watched:
            mon.pump(0)  # what came before the stretch
        start = [(len(mon.output), cpu(mon), len(board.log("answered"))) for _, mon, board in watched]
        end = time.monotonic() + 4.5
        while time.monotonic() < end:
            for _, mon, _ in watched:
                mon.pump(0.05)
        for (keys, mon, board), (mark, used, answered) in zip(watched, start):
            with self.subTest(stdin=keys):
                self.assertLess(cpu(mon) - used, 0.3, "busy")
                passes = len(board.log("answered")) - answered if keys is None else mon.output[mark:].count(PASS)
                self.assertIn(passes, (1, 2), "passes")
                self.assertEqual((mon.proc.poll(), mon.stderr()), (None, b""))

    def test_report_path_that_must_not_be_written(self):
        # Links to another file, a FIFO, a directory, an immutable file: `w` writes nothing, blocks not, goes on.
        for make in ("ln -s $V $R", "ln $V $R", "mkfifo $R", "mkdir $R", "chattr +i $R"):
            with self.subTest(make=make), Board() as board:
                path = board.path(REPORT)
                victim = path if "chattr" in make else board.path("victim", "")
                put(victim, "precious\n")
                subprocess.run(make, shell=True, check=True, env=dict(os.environ, V=victim, R=path))
                try:
                    mon = board.spawn()
                    mark = mon.wait_for(PASS)
                    mon.enter(PASS, "w\n\n", times=2)
                    self.assertLess(mon.output[mark:].count(HOME_ERASE), 22, "report frames")
                    self.assertEqual((mon.quit(), mon.stderr(), get(victim)), (0, NO_PIDFILE, b"precious\n"))
                finally:
                    subprocess.run(["chattr", "-i", path], capture_output=True)

    def test_report_on_a_full_tmp(self):
        with Board(tmp_size="64k") as board:  # every write fails: said once, and the monitor goes on
            mon = board.spawn(shell='head -c 1048576 /dev/zero > /tmp/fill 2>/dev/null; exec "$@"')
            mon.enter(PASS, "w\n\n", times=2)
            self.assertEqual(mon.quit(), 0)
            self.assertEqual(mon.stderr(), NO_PIDFILE + b"cellscope: /tmp/cellscope_results.log: No space left on "
                                                         b"device\n")



class Shared(unittest.TestCase):
    """What the monitors and exporters on one module share: the daemon, the dumps, what is known of them."""

    def test_a_daemon_that_takes_the_signal_late_is_asked_once_it_does(self):
        # As at boot: the pid file comes 2 s before the daemon takes SIGUSR1. Refused, then asked on a later pass.
        with Board() as board:
            mon = board.spawn(sim=board.standin([global_dump(0x123)], late=True))
            mon.wait_for(summary_line(0x123, 0x123, 0x7000))
            self.assertEqual(mon.quit(), 0)
            pid = board.log("started")[0].split()[1].encode()
            self.assertEqual(mon.stderr(), PIDFILE_MSG + b"refusing to signal process id %s: SIGUSR1 would end it\n" % pid)

    def test_leftovers_that_cannot_be_deleted_are_no_part_of_a_later_dump(self):
        # An old marker that cannot be deleted announces nothing, to the monitor nor to an exporter beside it; an old
        # per-port file that cannot be deleted is not read with the daemon's later dumps, which lack that file.
        for immutable, said in ((MARKER, b"the daemon has not answered"), ("port_info.1", b"the dump lacked /tmp/port")):
            with self.subTest(immutable=immutable), Board() as board:
                for name, text in dict(global_dump(0x999), **{MARKER: "", "port_info.1": "RXPP.xe5: COUNT=777\n"}).items():
                    board.write(name, text)
                subprocess.run(["chattr", "+i", board.path(immutable)], check=True)
                self.addCleanup(subprocess.run, ["chattr", "-i", board.path(immutable)])
                out = board.path("export", "")
                exporter = shutil.copy(EXPORTER, board.stage)
                mon = board.spawn(["-v", "3"], board.standin([global_dump(0x100 + n) for n in range(4)]),
                                  shell='(sleep 1; %s --timeout 2 >%s 2>&1) & exec "$@"' % (exporter, out))
                mon.until(lambda: b"cellscope_up" in get(out), "the exporter's answer")
                mon.enter(HOME_ERASE, times=2)
                self.assertEqual(mon.quit(), 0)
                self.assertNotIn(b"00000309", mon.output)  # 777 packets: the old file's
                self.assertEqual(mon.stderr(), CANNOT_REMOVE % (immutable.encode(), b"Operation not permitted"))
                self.assertIn(b"\ncellscope_up 0\n", get(out))
                self.assertIn(b"cellscope-export: no complete dump within 2 s: " + said, get(out))

    def test_a_second_monitor_follows_dumps_rewritten_in_place(self):
        # On ext4 a file deleted and written anew may get its inode back, and a daemon without a clock stamps every
        # dump with time 0: to a second monitor each dump is new all the same.
        with Board("24", stages="/var/tmp") as board:
            keys, screen = board.path("keys", ""), board.path("second", "")
            dumps = [{"sw_global_info.1": "TOTAL_SHARED_COUNT=%d\n" % n, "port_info.1": "", "pg_info.1": ""}
                     for n in range(1, 7)]
            mon = board.spawn(sim=board.standin(dumps, "0"), shell=second_monitor(keys, screen) + 'exec "$@"')
            mon.until(lambda: len(monitors(mon)) == 2, "two monitors")
            fifo, last = os.open(keys, os.O_WRONLY), summary_line(6, 6, 0)
            mon.until(lambda: os.write(fifo, b"\n") and os.write(mon.master, b"\n") and last in mon.output, "dump 6")
            os.write(fifo, b"\n\nq\n")  # its screen is a file: all of it is there once it ends
            mon.until(lambda: len(monitors(mon)) == 1, "the second monitor's end")
            counts = re.findall(rb"Total Shared Count: (\w+)", get(screen))
            self.assertEqual(sorted(set(counts) - {b"0000"}, key=counts.index), [b"%04x" % n for n in range(1, 7)])
            self.assertEqual((mon.quit(), mon.stderr(), len(board.log("signal"))), (0, b"", 7))

    def test_a_state_file_that_cannot_be_used_is_said_once(self):
        # A monitor then works alone, as a lone monitor always did; an exporter, which must not disturb it, gives up.
        with Board() as board:
            os.symlink("/tmp/elsewhere", board.path("cellscope.state", "run"))
            out, exporter = board.path("export", ""), shutil.copy(EXPORTER, board.stage)
            mon = board.spawn(sim=board.standin([global_dump(0x42)]),
                              shell='(sleep 1; %s --timeout 1 >%s 2>&1) & exec "$@"' % (exporter, out))
            mon.wait_for(summary_line(0x42, 0x42, 0x7000))
            mon.until(lambda: b"cellscope_up" in get(out), "the exporter's answer")
            self.assertEqual(mon.quit(), 0)
            said = b"cannot share the daemon through /var/run/cellscope.state: Too many levels of symbolic links\n"
            self.assertEqual(mon.stderr(), b"cellscope: " + said)
            self.assertTrue(get(out).startswith(b"cellscope-export: no complete dump within 1 s: " + said), get(out))

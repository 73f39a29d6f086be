"""Faults met by the real monitor on a fake board: hostile dump files (numbers of every form are the unit tests'),
paths that are no files, untrusted pid files, a daemon late or restarted, input that ends, a report that cannot or must
not be written, and what cannot be deleted or shared, also by an exporter beside it. Each case checks the views
exactly (a stray write shows up as a value somewhere) and the diagnostics due, each once."""

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

CANNOT_REMOVE, DENIED = b"cellscope: cannot remove /tmp/%s: %s\n", b"Operation not permitted"
WOULD_END = b"refusing to signal process id %s: SIGUSR1 would end it"
THREADS = ("python3 -c 'import signal as s, threading, time; threading.Thread(target=time.sleep, args=(600,)).start(); "
           "s.pthread_sigmask(s.SIG_BLOCK, {s.SIGUSR1}); open(\"/tmp/blocked\", \"w\"); time.sleep(600)'")


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
HOSTILE = [  # each dump and what it changes in the store
    (DUMP_42, STATE_42),
    # Empty files: the peaks of the latest dump drop to zero, all else stays.
    (dict.fromkeys(DUMP_42, ""), {("total_shared",): (0, 0x111, {0: 1}), (39, "port_shared"): (0, 0x80, {0: 1}),
                                  (0, "pg", 3): (0, 0x40, {0: 1})}),
    (NOISE_42, {("total_shared",): (0x123, 0x123, {0: 3}), "limit": 6, (24, "port_shared"): (0x10, 0x10, {0: 1}),
                (8, "pg", 3): (0x21, 0x21, {0: 1}), (5, "rxpp"): 300, (10, "rxpp"): 77, (16, "hol_drop", 7): 9}),
    (global_dump(0x4000), {("total_shared",): (0x4000, 0x4000, {0: 3, 5: 1}), "limit": 0x7000}),
]


class Faults(unittest.TestCase):
    def test_hostile_dumps_and_paths_that_are_no_files(self):
        # Beside a stand-in daemon that only logs its requests, the test writes each dump.
        with Board() as board:
            mon = board.spawn(sim=board.standin())

            def step(files, state, err=b"", marker=True):
                """Makes files (name: text, or a function that makes the path) and the marker; then a pass, `w` and a
                pass, after which the report must show exactly the views of state, and stderr hold err."""
                mon.wait_for(PASS)  # after the first request, which deletes what lies in /tmp
                for name, data in dict(files, **{MARKER: ""} if marker else {}).items():
                    data(board.path(name)) if callable(data) else board.write(name, data)
                if os.path.exists(board.path(REPORT)):
                    os.unlink(board.path(REPORT))
                mon.enter(PASS, "\nw\n\n", times=3)  # a drawing at most may come before the keys
                self.assertEqual((report_problems(get(board.path(REPORT)), render_views("42", state)), mon.stderr(),
                                  marker and os.path.lexists(board.path(MARKER))), ([], err, False))  # marker consumed
            state = {}
            for files, change in HOSTILE:
                state.update(change)
                step(files, state)
            decoy, decoy_text = board.path("decoy", ""), b"MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x777\n"
            put(decoy, decoy_text)
            # A link to a decoy, a FIFO, a folder, an endless device: none read or blocking; all but the folder go.
            step({"sw_global_info.1": lambda path: os.symlink(decoy, path), "port_info.1": os.mkfifo,
                  "pg_info.1": os.mkdir}, state, CANNOT_REMOVE % (b"pg_info.1", b"Is a directory"))
            step({"sw_global_info.1": lambda path: os.mknod(path, 0o644 | stat.S_IFCHR, os.makedev(1, 5))}, state)
            self.assertEqual((sorted(os.listdir(board.tmp)), get(decoy)), ([REPORT, "pg_info.1"], decoy_text))
            os.rmdir(board.path("pg_info.1"))
            # No per-port file: the other two are read, the per-port values and peaks stay.
            state.update({("total_shared",): (0x222, 0x4000, {0: 3, 1: 1, 5: 1}), (0, "pg", 3): (0x41, 0x41, {0: 2})})
            pg = {"pg_info.1": "THDI_PORT_PG_CNTRS_RT1_X[19]: PG_SHARED_COUNT=0x41\n"}
            step(dict(global_dump(0x222), **pg), state)
            step({}, state)  # a marker alone
            # Files without a marker, or beside a marker that is a directory, are never read.
            step(global_dump(0x333), state, marker=False)
            step({MARKER: os.mkdir}, state, marker=False)
            self.assertEqual(mon.quit(), 0)

    def test_untrusted_pid_files_signal_nobody(self):
        # Each made on the board before the monitor starts: "$$" is the monitor, a sleep one that SIGUSR1 would end.
        for make, reason in (("printf %040d 42 >", b"not a process id"),  # longer than any process id
                             ("echo 99999 >", b"cannot signal the daemon: No such process"),
                             ("mkfifo", b"not a readable regular file"), ("mkdir", b"not a readable regular file"),
                             ("echo $$ >", b"refusing to signal the monitor itself"),
                             ("sleep 600 & echo $! >", WOULD_END),
                             # Its main thread blocks the signal, another thread would take it and end the process.
                             (THREADS + " & until [ -e /tmp/blocked ]; do sleep 0.05; done; echo $! >", WOULD_END)):
            with self.subTest(pidfile=make), Board() as board:
                mon = board.spawn(shell='%s /var/run/%s; exec "$@"' % (make, PIDFILE))
                mon.wait_for(PASS)
                # A dump is consumed all the same, and the next request refused too, which is not said again.
                board.write("sw_global_info.1", global_dump(0x66)["sw_global_info.1"])
                board.write(MARKER, "")
                mon.enter(summary_line(0x66, 0x66, 0x7000))
                sleeps = [state for name, state, _ in board_processes(mon).values() if name in ("sleep", "python3")]
                reason = reason % get(board.path(PIDFILE, "run")).strip() if b"%" in reason else reason
                self.assertEqual((sleeps, mon.quit(), mon.stderr()),
                                 (["S"] if "& " in make else [], 0, PIDFILE_MSG + reason + b"\n"))

    def test_a_late_or_restarted_daemon_is_asked(self):
        # As at boot, the pid file comes 2 s before the daemon takes SIGUSR1: refused, then asked on a later pass. It
        # dies mid-dump and a new one writes the pid file: about ten passes on, the monitor asks again.
        with Board() as board:
            dumps = [global_dump(0x111), dict(global_dump(0x999), RESTART=""), global_dump(0x333)]
            mon = board.spawn(sim=board.standin(dumps, late=True))
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
            said = PIDFILE_MSG + WOULD_END % board.log("started")[0].split()[1].encode() + b"\n"  # the first one's
            self.assertEqual((mon.quit(), b"0999" in mon.output, mon.stderr()), (0, False, said))

    def test_closed_standard_input_ends_with_the_select_diagnostic(self):
        with Board() as board:  # closed, not at end of file: the wait fails
            mon = board.spawn(sim=board.standin(), shell='exec "$@" 0<&-')
            self.assertEqual((mon.quit(b""), mon.stderr(), summary_line(0, 0, 0) in mon.output),
                             (1, b"select failed with Bad file descriptor", True))

    def test_input_that_ends_keeps_the_three_second_pace(self):
        # Input at its end (also after `h`), a hung-up terminal (SIGHUP ignored): no spinning, a pass every 3 s.
        watched, hangup = [], signal.signal(signal.SIGHUP, signal.SIG_IGN)  # ignored by the boards started here
        self.addCleanup(signal.signal, signal.SIGHUP, hangup)
        for keys in (b"", b"h", b"h\n", None):
            board = self.enterContext(Board())
            board.write("keys", keys or b"", "")
            mon = board.spawn(sim=board.standin([global_dump(0x100 + i) for i in range(9)]),
                              shell=None if keys is None else 'exec "$@" <' + board.path("keys", ""))
            mon.wait_for(PASS, mon.wait_for(b"q - quit\n") if keys else 0)
            if keys is None:
                mon.until(lambda: len(board.log("answered")) >= 2, "a dump pending")
                os.close(mon.master)  # the terminal goes away: the pass at once reads the dump, the next 3 s later
                mon.master = -1
            watched.append((keys, mon, board))
        cpu = lambda mon: sum(used for _, _, used in board_processes(mon).values())
        start = [(mon.pump(0), len(mon.output), cpu(mon), len(board.log("answered"))) for _, mon, board in watched]
        time.sleep(4.5)  # a few frames of view 0 at most: none waits for the terminal meanwhile
        for (keys, mon, board), (_, mark, used, answered) in zip(watched, start):
            with self.subTest(stdin=keys):
                mon.pump(0)
                passes = len(board.log("answered")) - answered if keys is None else mon.output[mark:].count(PASS)
                self.assertEqual((cpu(mon) - used < 0.3, passes in (1, 2), mon.proc.poll(), mon.stderr()),
                                 (True, True, None, b""), "busy for %.2f s, %d passes" % (cpu(mon) - used, passes))

    def test_report_paths_that_must_not_or_cannot_be_written(self):
        # Links to another file, a FIFO, a directory, an immutable file: `w` writes nothing, blocks not, goes on. On a
        # full /tmp (None) every write fails: said once, and the monitor goes on.
        full = b"cellscope: /tmp/cellscope_results.log: No space left on device\n"
        for make in ("ln -s $V $R", "ln $V $R", "mkfifo $R", "mkdir $R", "chattr +i $R", None):
            with self.subTest(make=make), Board(tmp_size=None if make else "64k") as board:
                path = board.path(REPORT)
                victim = path if "chattr" in str(make) else board.path("victim", "")
                put(victim, "precious\n")
                subprocess.run(make or "true", shell=True, check=True, env=dict(os.environ, V=victim, R=path))
                mon = board.spawn(shell=None if make else 'head -c 1M /dev/zero >/tmp/fill 2>&-; exec "$@"')
                mark = mon.wait_for(PASS)
                mon.enter(PASS, "w\n\n", times=2)
                unseen = mon.output[mark:].count(HOME_ERASE) < 22 or make is None  # no views drawn for a refused report
                self.assertEqual((mon.quit(), mon.stderr(), get(victim), unseen),
                                 (0, NO_PIDFILE + full * (make is None), b"precious\n", True))


class Shared(unittest.TestCase):
    """What the monitors and exporters on one module share: the daemon, the dumps, what is known of them."""

    def test_what_cannot_be_deleted_or_shared(self):
        # Beside an old dump: a marker that cannot be deleted announces nothing, to the monitor nor to an exporter
        # beside it; a per-port file that cannot be deleted is not read with the daemon's later dumps, which lack that
        # file. A state file that cannot be used is said once: a monitor then works alone, as a lone monitor always
        # did; an exporter, which must not disturb it, gives up at once, whatever its --timeout. Both as nobody beside
        # root's old dump in the sticky /tmp: nothing read, each refusal said once.
        share = b"cannot share the daemon through /var/run/cellscope.state: "
        loop, denied = share + b"Too many levels of symbolic links\n", share + b"Permission denied\n"
        old = dict(global_dump(0x999), **{"port_info.1": "RXPP.xe5: COUNT=777\n", MARKER: ""})  # in this order
        refused = b"cellscope: " + denied + b"".join(CANNOT_REMOVE % (name.encode(), DENIED) for name in old)
        refused += PIDFILE_MSG + b"cannot signal the daemon: %s\n" % DENIED  # as nobody: each said once
        for spoil, user, err, wait, said, shown in (  # shown: the dumps read, none or of 0x100 to 0x103
                ("chattr +i /tmp/" + MARKER, "", CANNOT_REMOVE % (MARKER.encode(), DENIED), 2,
                 b"the daemon has not answered", b"000"),
                ("chattr +i /tmp/port_info.1", "", CANNOT_REMOVE % (b"port_info.1", DENIED), 2,
                 b"the dump lacked /tmp/port_info.1", b"010"),
                ("ln -s /tmp/elsewhere /var/run/cellscope.state", "", b"cellscope: " + loop, 600, loop, b"010"),
                (":", "setpriv --reuid=nobody --regid=nogroup --clear-groups ", refused, 600, denied, b"000")):
            with self.subTest(spoil=spoil, user=user), Board() as board:
                for name, text in old.items():
                    board.write(name, text)
                out = board.path("export", "")
                exporter = user + shutil.copy(EXPORTER, board.stage) + " --timeout %d" % wait
                script = 'set -e; %s; (sleep 1; %s >%s 2>&1) & exec %s"$@"' % (spoil, exporter, out, user)
                mon = board.spawn(sim=board.standin([global_dump(0x100 + n) for n in range(4)]), shell=script)
                mon.until(lambda: b"cellscope_up" in get(out), "the exporter's answer")
                self.assertTrue(get(out).startswith(b"cellscope-export: no complete dump within %d s: " % wait + said),
                                get(out))
                mon.enter(PASS, "\nw\n\n", times=3)
                self.assertEqual((mon.quit(), mon.stderr()), (0, err))
                # The daemon's dumps are read where a monitor may ask and take them; never the old one (777 packets).
                report = get(board.path(REPORT))
                self.assertEqual((re.search(rb"Total Shared Count: (\w+)", report)[1][:3], b"00000309" in report),
                                 (shown, False))

    def test_a_second_monitor_follows_dumps_rewritten_in_place(self):
        # On ext4 a file deleted and written anew may get its inode back, and a daemon without a clock stamps every
        # dump with time 0: to a second monitor each dump is new all the same. The first dump (count 0) is the one
        # the first monitor may read before the second has joined.
        with Board("24", stages="/var/tmp") as board:
            keys, screen = board.path("keys", ""), board.path("second", "")
            dumps = [{"sw_global_info.1": "TOTAL_SHARED_COUNT=%d\n" % n, "port_info.1": "", "pg_info.1": ""}
                     for n in range(0, 7)]
            mon = board.spawn(sim=board.standin(dumps, "0"), shell=second_monitor(keys, screen) + 'exec "$@"')
            joined = lambda: get(board.path("cellscope.state", "run")).count(b"\nmonitor ") == 2
            mon.until(lambda: len(monitors(mon)) == 2 and joined(), "two monitors in the shared state")
            fifo, last = os.open(keys, os.O_WRONLY), summary_line(6, 6, 0)
            mon.until(lambda: os.write(fifo, b"\n") and os.write(mon.master, b"\n") and last in mon.output, "dump 6")
            os.write(fifo, b"\n\nq\n")  # its screen is a file: all of it is there once it ends
            mon.until(lambda: len(monitors(mon)) == 1, "the second monitor's end")
            counts = re.findall(rb"Total Shared Count: (\w+)", get(screen))
            self.assertEqual(sorted(set(counts) - {b"0000"}, key=counts.index), [b"%04x" % n for n in range(1, 7)])
            self.assertEqual((mon.quit(), mon.stderr(), len(board.log("signal"))), (0, b"", 8))

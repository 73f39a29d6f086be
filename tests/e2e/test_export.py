"""cellscope-export on fake boards: metrics against the truth, beside a monitor, over --http on TCP connections, in a
fleet."""

import glob
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest
from http import HTTPStatus

from boardlib import (EMULATOR, EXPORTER, HERE, HOME_ERASE, MARKER, PIDFILE, Board, counter, figures, get, global_dump,
                      monitors, registry, render_views, second_monitor)
from test_sim_truth import read_truth

with open(os.path.join(HERE, "..", "..", "CMakeLists.txt")) as cmakelists:  # the one place the version is defined
    VERSION = re.search(r"project\(cellscope VERSION (\S+)", cmakelists.read())[1]
LOOPS, AGE_BOUND = 5, 6  # exporter loops; a dump they answer with is at most --max-age 6 s old
BASE = (4 << 32) - 4096  # every counter starts there: their low 32 bits alone would differ from the truth
PLAIN, HTML = "text/plain; charset=utf-8", "text/html; charset=utf-8"
METRICS = "text/plain; version=0.0.4; charset=utf-8"
# A board script's start that makes /dev/log inside the board (the rest of its /dev links to the real one) a socket.
DEV_LOG = ("mount --rbind /dev /mnt && mount -t tmpfs -o mode=755 tmpfs /dev && ln -s /mnt/* /dev/ && "
           "ln -s %s /dev/log && ")


def drawn(screen, records):
    """The dump each drawing of view 3 on a screen shows (0: none yet), in order; a drawing of no dump fails."""
    views = ["".join(render_views("24", {k: v for k, v in rec.items() if counter(k)})[3]).encode()
             for rec in [{}] + records]
    frames = [f[:len(views[0])] for f in screen.split(HOME_ERASE) if f.startswith(views[0][:20])]
    frames = [f for f in frames if len(f) == len(views[0])]  # the last one may be cut off
    assert all(f in views for f in frames), "a drawing of no dump"
    return [views.index(f) for f in frames]


differences = lambda got, want: ["%s: %s, not %s" % (k, got.get(k), want.get(k))
                                 for k in sorted(set(got) | set(want), key=str) if got.get(k) != want.get(k)][:8]


def loops(board, count, args, seconds=3600):
    """A board script's lines that run count loops of the exporter (with args) in the background for seconds, each
    answer renamed whole, once written, into the stage's folder out as eN.I."""
    out, exporter = board.path("", "out"), " ".join(EMULATOR + [shutil.copy(EXPORTER, board.stage)] + args)
    os.makedirs(out, exist_ok=True)
    return "".join("(end=$(($(date +%%s) + %d)); i=0; while [ $(date +%%s) -lt $end ]; do i=$((i+1)); o=%s/e%d; "
                   "%s >$o.part 2>/dev/null; mv $o.part $o.$i; sleep 0.1; done) &\n" % (seconds, out, n, exporter)
                   for n in range(count))


def answers(board, records):
    """Each whole answer of the loops: (cellscope_up, the truth dumps it equals, its age when written, written when)."""
    for path in glob.glob(board.path("out/e*.[0-9]*", "")):
        items, others = figures(board.model, get(path))
        written, stamp = os.stat(path).st_mtime, others.get("cellscope_dump_timestamp_seconds", ({}, "nan"))[1]
        yield (others["cellscope_up"][1], [n for n, rec in enumerate(records, 1) if rec == items],
               written - float(stamp), written)


def ask(test, board, request, sim=None, trickle=False):
    """Hands the board's exporter a TCP connection as inetd does (standard input, output and error one socket), sends
    the request (trickle: a byte every 0.2 s), reads to the end: head ({"": status line, name: value}), content,
    seconds. The answer must arrive whole, its content be what its head says, the exit status 0 if it came, else 1."""
    if os.path.exists(board.path(PIDFILE, "run")):
        os.unlink(board.path(PIDFILE, "run"))  # the last daemon's: wait for this one's
    with socket.create_server(("127.0.0.1", 0)) as server:
        ours, theirs = socket.create_connection(server.getsockname(), timeout=30), server.accept()[0]
    with ours:
        with theirs:
            proc = subprocess.Popen(board.command(["--http", "--timeout", "2"], sim, program=EXPORTER), stdin=theirs,
                                    stdout=theirs, stderr=theirs)
        start, answer, error = time.monotonic(), b"", None
        try:
            for piece in [request[i:i + 1] for i in range(len(request))] if trickle else [request]:
                ours.sendall(piece)
                time.sleep(0.2 * trickle)
            ours.shutdown(socket.SHUT_WR)
            answer = b"".join(iter(lambda: ours.recv(65536), b""))
        except OSError as e:
            error = e  # a trickle meets the exporter gone
        elapsed = time.monotonic() - start
    test.assertEqual((error is None, proc.wait(20)), (not trickle, 0 if answer else 1), error)
    head, _, body = answer.partition(b"\r\n\r\n")
    lines = head.decode().split("\r\n")
    fields = dict([("", lines[0])] + [line.split(": ", 1) for line in lines[1:]])
    test.assertEqual(len(body), 0 if request.startswith(b"HEAD ") else int(fields.get("Content-Length", 0)), answer)
    return fields, body, elapsed


class Export(unittest.TestCase):
    def test_every_module_exports_the_dump_it_asked_for(self):
        for ports, model, cells in map(str.split, registry()):
            with self.subTest(module=ports), Board(ports) as board:
                truth, args = board.path("truth.log", ""), ["--textfile", "/tmp/metrics.prom"] * (ports == "24")
                r = board.run(args, "--model %s --seed 4 --counter-base %d --truth %s" % (ports, BASE, truth), EXPORTER)
                text = get(board.path("metrics.prom")) if args else r.stdout
                lint = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True)
                self.assertEqual((r.returncode, r.stderr, lint.returncode, lint.stdout + lint.stderr), (0, b"", 0, b""))
                if args:  # renamed into place whole: no temporary file left, readable by all
                    self.assertEqual([n for n in os.listdir(board.tmp) if n.startswith("metrics")], ["metrics.prom"])
                    self.assertEqual(os.stat(board.path("metrics.prom")).st_mode & 0o777, 0o644)
                records, (items, others) = read_truth(truth), figures(ports, text)
                # One request, one dump, equal item by item: what a module never reports is left out.
                self.assertEqual((len(records), differences(items, records[-1])), (1, []))
                # When the dump was complete: its marker's time, to the millisecond.
                stamp = float(others.pop("cellscope_dump_timestamp_seconds")[1])
                self.assertAlmostEqual(stamp, os.stat(board.path(MARKER)).st_mtime, delta=0.0011)
                self.assertEqual(others, {"cellscope_up": ({}, "1"), "cellscope_buffer_cells": ({}, cells),
                                          "cellscope_build_info": ({"version": VERSION}, "1"),
                                          "cellscope_module_info": ({"model": model, "ports": ports}, "1")})
                self.assertGreaterEqual(min(v for k, v in items.items() if counter(k)), BASE)
                silent = set(range(int(ports))) - {k[0] for k in items if k[1:2] == ("hol_drop",)}
                self.assertEqual((any(k[1:2] == ("queue",) for k in items), silent),
                                 (ports == "24", {"42": {29, 30, 31}, "24": set(), "30": {12}}[ports]))

    def test_a_textfile_run_killed_mid_write_leaves_nothing_behind(self):
        with Board("30") as board:
            board.write("metrics.prom", "old\n")
            args, sim = ["--textfile", "/tmp/metrics.prom"], "--model 30 --seed 5"
            left = lambda: sorted(n for n in os.listdir(board.tmp) if n.startswith("metrics"))
            for calls, named in (("fsync", False), ("rename renameat renameat2", True)):  # mid-write; before the rename
                # A debugger kills the exporter as it makes the call: the file stays as it was. Written without a
                # name, the new one has one only from just before the rename.
                r = board.run(args, sim, EXPORTER, "gdb -nx -q -batch -ex 'catch syscall %s' -ex run -ex kill "
                                                   '--args "$@"' % calls)
                self.assertRegex(r.stdout, rb"(?s)\(call to syscall (%s)\).*\[Inferior 1 \(process \d+\) killed\]"
                                 % calls.replace(" ", "|").encode())
                names = [re.sub(r"-[A-Za-z0-9]{6}$", "-", n) for n in left()]
                self.assertEqual((get(board.path("metrics.prom")), names),
                                 (b"old\n", ["metrics.prom", "metrics.prom.tmp-"][:1 + named]))
            r = board.run(args, sim, EXPORTER)  # which leaves nothing behind
            self.assertEqual((r.returncode, r.stderr, left(), b"\ncellscope_up 1\n" in get(board.path("metrics.prom"))),
                             (0, b"", ["metrics.prom"], True))

    def test_monitors_and_exporters_share_one_daemon(self):
        # Two monitors (one on the terminal, one reading keys from a FIFO) and five exporter loops on one daemon; the
        # terminal's monitor is stopped for 20 s midway. The running monitor reads every dump, every exporter answer
        # is one whole dump at most AGE_BOUND s old or says why not, and nobody waits for the stopped monitor long.
        with Board("24") as board:
            truth, keys, second = board.path("truth.log", ""), board.path("keys", ""), board.path("second", "")
            script = second_monitor(keys, second) + loops(board, LOOPS, ["--max-age", str(AGE_BOUND)]) + 'exec "$@"'
            mon = board.spawn(["-v", "3"], "--model 24 --seed 9 --truth " + truth, shell=script, echo=False)
            mon.until(lambda: len(monitors(mon)) == 2, "two monitors")
            first, fifo, marks = monitors(mon)[0], os.open(keys, os.O_WRONLY), []
            for seconds, typing, then in ((5, True, signal.SIGSTOP), (20, False, signal.SIGCONT), (3, True, 0)):
                for _ in range(seconds * 5):  # a pass of each monitor every 0.2 s; none typed for the stopped one
                    os.write(fifo, b"\n")
                    os.write(mon.master, b"\n" * typing)
                    mon.pump(0.2)
                marks.append((time.time(), len(read_truth(truth))))
                os.kill(first, then)  # 0: it still runs
            (stopped, _), (_, resumed) = marks[:2]
            os.write(fifo, b"q\n")
            mon.until(lambda: len(monitors(mon)) == 1, "the second monitor's end")
            self.assertEqual((mon.quit(), mon.stderr()), (0, b""))
            got = list(answers(board, records := read_truth(truth)))
            self.assertEqual([a for a in got if a[0] == "1" and (len(a[1]) != 1 or a[2] > AGE_BOUND)], [])
            ups = [up for up, *_ in got]
            self.assertGreater(ups.count("1"), 10 * ups.count("0"))
            during = {dumps[0] for up, dumps, _, written in got if up == "1" and 2 <= written - stopped < 20}
            self.assertGreater(len(during), 3, "dumps read while a monitor was stopped")
            # The running monitor read every dump from its first on (the last perhaps still pending), in order, and
            # said nothing else.
            self.assertNotIn(b"cellscope:", get(second))
            seen = drawn(get(second), records)
            self.assertEqual((seen == sorted(seen), sorted(set(seen) | {0, len(records)})),
                             (True, [0] + list(range(min(set(seen) - {0}), len(records) + 1))))
            self.assertGreater(max(drawn(mon.output, records)), resumed)  # the stopped one goes on after

    def test_an_exporter_stopped_mid_read_holds_up_nobody(self):
        # A debugger stops an exporter as it parses a dump, for 10 s: the monitor beside it goes on reading dumps.
        with Board("42") as board:
            truth, log = board.path("truth.log", ""), board.path("gdb.log", "")
            gdb = ("gdb -nx -q -batch -ex 'break cellscope::parse_dump' -ex run -ex 'shell sleep 10' -ex kill --args "
                   + shutil.copy(EXPORTER, board.stage))
            mon = board.spawn(sim="--model 42 --truth " + truth, shell='(%s >%s 2>&1) & exec "$@"' % (gdb, log))
            mon.until(lambda: b"Breakpoint 1, " in get(log), "the exporter stopped by the debugger", timeout=30)
            written = len(read_truth(truth))
            mon.until(lambda: os.write(mon.master, b"\n") and len(read_truth(truth)) > written + 3, "dumps", timeout=8)
            self.assertEqual((b"exited normally" in get(log), mon.quit(), mon.stderr()), (False, 0, b""))  # stopped

    def test_only_whole_dumps_at_a_bounded_pace(self):
        # Five loops asking as fast as they can: one dump a second serves them all, each answer one whole dump. Two
        # beside a daemon slower than --timeout (files 700 ms apart) read its dumps, none torn by a second request.
        for model, count, seconds, args, delay in (("30", LOOPS, 5, [], 0), ("24", 2, 8, ["--timeout", "1"], 700)):
            with self.subTest(model=model), Board(model) as board:
                board.run([], "--model %s --delay %d --truth %s" % (model, delay, truth := board.path("truth.log", "")),
                          shell=loops(board, count, args, seconds) + "wait", check=True)
                records = read_truth(truth)
                got = [(up, len(dumps)) for up, dumps, *_ in answers(board, records)]
                if not delay:  # a dump a second at most, for many answers
                    self.assertTrue(len(records) <= 6 and len(got) > 5 * len(records), (len(records), len(got)))
                self.assertEqual(set(got) - ({("0", 0)} if delay else set()), {("1", 1)})

    def test_answers_without_a_dump_and_over_http(self):
        with Board("42") as board:
            truth, r = board.path("truth.log", ""), board.run(["--timeout", "1"], program=EXPORTER)  # no daemon yet
            got = (r.returncode, r.stderr, figures("42", r.stdout)[0], b"cellscope_up 0\n" in r.stdout)
            self.assertEqual(got, (1, b"cellscope-export: no complete dump within 1 s: /var/run/swfabric_se_dump.pid: "
                                      b"cannot open: No such file or directory\n", {}, True))  # one line says why
            runs = [board.run(args, program=EXPORTER) for args in (["--help"], ["--bogus"],
                                                                   ["--timeout", "1", "--textfile", "/tmp/up.prom"])]
            self.assertEqual([(r.returncode, r.stdout[:24], r.stderr[:24]) for r in runs],
                             [(0, b"Usage: cellscope-export ", b""), (2, b"", b"cellscope-export: unreco"),
                              (1, b"", b"cellscope-export: no com")])
            self.assertIn(b"cellscope_up 0\n", get(board.path("up.prom")))
            # Over --http what the program would say goes to syslog, never into the connection (inetd hands it over
            # as standard input, output and error alike).
            self.assertIn(b"\ncellscope_up 0\n", ask(self, board, b"GET /metrics HTTP/1.0\r\n\r\n")[1])
            for name, text in dict(global_dump(0x999), **{MARKER: ""}).items():
                board.write(name, text)  # a dump left by an earlier reader: nothing but a GET may touch it
            files = lambda: {path: (os.stat(path).st_mtime_ns, get(path)) for where in ("tmp", "run") for path in
                             glob.glob(board.path("*", where), include_hidden=True) if not path.endswith(PIDFILE)}
            before, sim = files(), "--model 42 --truth " + truth
            pad = lambda size: b"GET /other HTTP/1.1\r\nX: " + b"a" * (size - 28) + b"\r\n\r\n"
            # Each kind once, the unit tests judge heads of every form; the answer arrives whole also when the peer
            # sent more than its head (a body, an overlong head), which the exporter must read before it closes.
            for request, status, kind, length in (
                    (pad(8193), 400, PLAIN, "12"), (pad(8192), 404, PLAIN, "10"), (pad(20000), 400, PLAIN, "12"),
                    (b"POST /metrics HTTP/1.1\r\nContent-Length: 100000\r\n\r\n" + b"x" * 100000, 405, PLAIN, "19"),
                    (b"GET /metrics HTTP/1.1\r\nX: a\rb\r\n\r\n", 400, PLAIN, "12"),  # a bare CR in a header value
                    # A HEAD of the metrics: their head, no length (only making them would tell), no dump.
                    (b"HEAD /metrics HTTP/1.1\r\nHost: x\r\n\r\n", 200, METRICS, None),
                    (b"GET / HTTP/1.1\r\n\r\n", 200, HTML, "260"),
                    (b"HEAD http://x:9465/ HTTP/1.1\r\n\r\n", 200, HTML, "260")):
                with self.subTest(request=request[:40]):
                    fields = ask(self, board, request, sim)[0]
                    got = [fields[""], fields["Content-Type"], fields.get("Content-Length"), fields.get("Allow")]
                    self.assertEqual(got, ["HTTP/1.1 %d %s" % (status, HTTPStatus(status).phrase), kind, length,
                                           "GET, HEAD" if status == 405 else None])
            fields, body, elapsed = ask(self, board, b"GET /metrics HTTP/1.1\r\nHost: x\r\n", sim, trickle=True)
            self.assertEqual((fields, body, 2 <= elapsed < 3.5), ({"": ""}, b"", True), elapsed)  # none, gone in 2 s
            self.assertEqual((files(), read_truth(truth)), (before, []))  # nothing written, no dump asked for
            # A GET in absolute form asks for one dump and reads it, not the one left behind; a second later (scrapes
            # within one share a dump) one of lines the parsers cannot read, which they say to syslog, not the peer.
            noisy = dict(global_dump(0x20), **{"port_info.1": "RXPP.xe: COUNT=5\nRXPP.xe3: COUNT=9\n", "pg_info.1": ""})
            body = ask(self, board, b"GET http://switch1:9465/metrics HTTP/1.1\r\nHost: switch1:9465\r\n\r\n", sim)[1]
            self.assertEqual(len(fresh := read_truth(truth)), 1)
            self.assertIn(b"\ncellscope_shared_cells %d\n" % fresh[0][("total_shared",)], body)
            time.sleep(1.1)
            body = ask(self, board, b"GET /metrics HTTP/1.0\r\n\r\n", board.standin([noisy]))[1]
            self.assertIn(b'"Bay 4"} 9\n', body)

    def test_failed_writes_are_logged(self):
        # A failed write is reported to syslog (never to the peer or standard error) and exits 1; a peer gone
        # (a pipe without a reader) is such a failure, not a silent end by SIGPIPE.
        for redirect, reason in ((">/dev/full", b"No space left on device"), (">&-", b"Bad file descriptor"),
                                 ("", b"Broken pipe")):
            with self.subTest(stdout=redirect), Board("42") as board:
                syslog = self.enterContext(socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM | socket.SOCK_NONBLOCK))
                syslog.bind(board.path("syslog", ""))
                os.close((pipe := os.pipe())[0])  # a pipe without a reader
                r = board.run(["--http", "--timeout", "2"], "--model 42", EXPORTER, DEV_LOG % board.path("syslog", "")
                              + 'exec "$@" ' + redirect, input=b"GET /metrics HTTP/1.1\r\n\r\n", stdout=pipe[1])
                os.close(pipe[1])
                self.assertEqual((r.returncode, r.stderr), (1, b""))  # one message, as daemon.warning, with its tag
                self.assertRegex(syslog.recv(65536), rb"^<28>.* cellscope-export\[\d+\]: standard output: %s$" % reason)
                self.assertRaises(BlockingIOError, syslog.recv, 65536)

    def test_fleet_of_three_boards_in_prometheus(self):
        # As the README states it, in a build folder that did not exist, with no registry tool named.
        env = {k: v for k, v in os.environ.items() if k != "CELLSCOPE_MODULES"}
        env["CELLSCOPE_BUILD"] = os.path.join(self.enterContext(tempfile.TemporaryDirectory(dir="/var/tmp")), "fresh")
        r = subprocess.run([os.path.join(HERE, "..", "..", "scripts", "fleet"), "3", "--check"], env=env,
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=500)
        self.assertEqual(r.returncode, 0, r.stdout.decode() + r.stderr.decode()[-3000:])
        self.assertEqual(r.stdout.count(b"each exactly one dump of its truth file"), 3, r.stdout)
        # The incast board's congested port alerted, the idle board never did (the fleet checks them by name).
        self.assertIn(b"\n3 of 3 boards: the alerts expected", r.stdout)
        self.assertIn(b"\n  CellscopePortNearFull ", r.stdout)
        self.assertIn(b"alerts: none; none ever pending or firing\n", r.stdout)
        folder, ports = re.search(rb"files of this run: (\S+)", r.stderr)[1], re.findall(rb"127.0.0.1:(\d+)", r.stderr)
        self.assertEqual(len(set(ports)), 4)  # three exporters and Prometheus
        # Nothing left behind: no folder, no process, no listening port.
        self.assertFalse(os.path.exists(folder))
        self.assertEqual([p for p in os.listdir("/proc") if p.isdigit() and folder in get("/proc/%s/cmdline" % p)], [])
        for port in set(ports):
            with self.assertRaises(ConnectionRefusedError), socket.create_connection(("127.0.0.1", int(port))):
                pass

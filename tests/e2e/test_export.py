"""cellscope-export on fake boards: metrics against the truth, beside a monitor, over --http (pipes and TCP), in a
fleet."""

import collections
import contextlib
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
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


METRICS_TYPE = "text/plain; version=0.0.4; charset=utf-8"


def parse_answer(answer):
    """An HTTP answer's head as {"": status line, name: value} and its content."""
    head, _, body = answer.partition(b"\r\n\r\n")
    lines = head.decode().split("\r\n")
    return dict([("", lines[0])] + [line.split(": ", 1) for line in lines[1:]]), body


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def served_over_tcp(board, sim):
    """The board's exporter behind systemd-socket-activate on a loopback port, one exporter per connection, as
    scripts/fleet runs it: (port, the log of its standard error); the board's processes end with the block."""
    log, exporter = board.path("activate.log", ""), shutil.copy(EXPORTER, board.path("", "monitor"))
    for _ in range(3):  # another may take the free port first
        port = free_port()
        with open(log, "wb") as out:
            proc = subprocess.Popen(board.command(["--inetd", "--accept", "--listen", "127.0.0.1:%d" % port,
                                                   exporter, "--http", "--timeout", "3"], sim,
                                                  program=shutil.which("systemd-socket-activate")),
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                    start_new_session=True)
        try:
            end = time.monotonic() + 30
            while proc.poll() is None and b"Listening on" not in get(log) and time.monotonic() < end:
                time.sleep(0.05)
            if proc.poll() is None and b"Listening on" in get(log):
                yield port, log
                return
        finally:
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGKILL)  # the board this started, alone in its session
            proc.wait()
    raise AssertionError("systemd-socket-activate did not start: %r" % get(log))


def exchange(port, request):
    """Sends a request whole, reads the answer up to the end the exporter signals, then closes: (answer, the
    error that ended it early or None)."""
    answer = b""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        try:
            s.sendall(request)
            while chunk := s.recv(65536):
                answer += chunk
        except OSError as error:
            return answer, repr(error)
    return answer, None


def board_syslog(test, board):
    """A syslog of the board's own: a shell prefix that makes /dev/log inside the board (the rest of its /dev
    links to the real one) a socket of the test, and a function returning the messages received so far, without
    their priority, time and "cellscope-export[PID]: " tag."""
    path = board.path("syslog", "")
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(path)
    sock.setblocking(False)
    test.addCleanup(sock.close)
    shell = ("mount --rbind /dev /mnt && mount -t tmpfs -o mode=755 tmpfs /dev && ln -s /mnt/* /dev/ && "
             "ln -s %s /dev/log && " % shlex.quote(path))

    def messages():
        got = []
        with contextlib.suppress(BlockingIOError):
            while True:
                tag, _, text = sock.recv(65536).decode().partition("]: ")
                test.assertRegex(tag, r"^<28>.* cellscope-export\[\d+$")  # daemon.warning
                got.append(text)
        return got
    return shell, messages


class Export(unittest.TestCase):
    def test_every_module_exports_the_dump_it_asked_for(self):
        for ports, model, cells in map(str.split, registry()):
            with self.subTest(module=ports), Board(ports) as board:
                truth, args = board.path("truth.log", ""), ["--textfile", "/tmp/metrics.prom"] * (ports == "24")
                sim = "--model %s --seed 4 --counter-base %d --truth %s" % (ports, BASE, truth)
                r = board.run(args, sim=sim, program=EXPORTER)
                text = get(board.path("metrics.prom")) if args else r.stdout
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                if args:  # renamed into place whole: no temporary file left, readable by all
                    self.assertEqual([n for n in os.listdir(board.tmp) if n.startswith("metrics")], ["metrics.prom"])
                    self.assertEqual(os.stat(board.path("metrics.prom")).st_mode & 0o777, 0o644)
                lint = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True)
                self.assertEqual((lint.returncode, lint.stdout + lint.stderr), (0, b""))
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
                self.assertEqual(any(k[1:2] == ("queue",) for k in items), ports == "24")
                silent = set(range(int(ports))) - {k[0] for k in items if k[1:2] == ("hol_drop",)}
                self.assertEqual(silent, {"42": {29, 30, 31}, "24": set(), "30": {12}}[ports])

    def test_a_textfile_run_killed_mid_write_leaves_nothing_behind(self):
        with Board("30") as board:
            # Kills the exporter when it calls fsync (mid-write) or renames (CELLSCOPE_KILL_AT=fsync or rename).
            shim = board.path("kill_at.so", "")
            source = (b"#define _GNU_SOURCE\n#include <dlfcn.h>\n#include <errno.h>\n#include <signal.h>\n"
                      b"#include <stdlib.h>\n#include <string.h>\n#include <unistd.h>\n"
                      b"static void *next(const char *key, const char *f) { const char *at = getenv(\"CELLSCOPE_KILL_AT\");\n"
                      b"  if (at && !strcmp(at, key) && !strcmp(program_invocation_short_name, \"cellscope-export\"))\n"
                      b"    kill(getpid(), SIGKILL);\n  return dlsym(RTLD_NEXT, f); }\n"
                      b"int fsync(int fd) { return ((int (*)(int))next(\"fsync\", \"fsync\"))(fd); }\n"
                      b"int rename(const char *a, const char *b) {\n"
                      b"  return ((int (*)(const char *, const char *))next(\"rename\", \"rename\"))(a, b); }\n"
                      b"int renameat(int a, const char *b, int c, const char *d) {\n"
                      b"  return ((int (*)(int, const char *, int, const char *))next(\"rename\", \"renameat\"))(a, b, c, d); }\n")
            subprocess.run(["cc", "-shared", "-fPIC", "-x", "c", "-o", shim, "-", "-ldl"], input=source, check=True)
            board.write("metrics.prom", "old\n")
            args, sim = ["--textfile", "/tmp/metrics.prom"], "--model 30 --seed 5"
            left = lambda: sorted(n for n in os.listdir(board.tmp) if n.startswith("metrics"))
            for at, named in (("fsync", False), ("rename", True)):  # mid-write; just before the rename
                r = subprocess.run(board.command(args, sim, program=EXPORTER), stdin=subprocess.DEVNULL,
                                   capture_output=True, env=dict(os.environ, LD_PRELOAD=shim, CELLSCOPE_KILL_AT=at))
                self.assertEqual((r.returncode, b"Killed" in r.stderr), (128 + 9, True), (at, r.stderr))  # killed there
                self.assertEqual(get(board.path("metrics.prom")), b"old\n")
                # Written without a name, the file has one only from just before the rename.
                self.assertEqual(len(left()), 1 + named, left())
                self.assertTrue(all(re.fullmatch(r"metrics\.prom(\.tmp-[A-Za-z0-9]{6})?", n) for n in left()))
            r = board.run(args, sim=sim, program=EXPORTER)
            self.assertEqual((r.returncode, r.stderr, left()), (0, b"", ["metrics.prom"]))
            self.assertIn(b"\ncellscope_up 1\n", get(board.path("metrics.prom")))

    def test_monitors_and_exporters_share_one_daemon(self):
        # Two monitors (one on the terminal, one reading keys from a FIFO) and five exporter loops on one daemon; the
        # terminal's monitor is stopped for 20 s midway. The running monitor reads every dump, every exporter answer
        # is one whole dump at most AGE_BOUND s old or says why not, and nobody waits for the stopped monitor long.
        with Board("24") as board:
            truth, out, keys = board.path("truth.log", ""), board.path("", "out"), board.path("keys", "")
            os.mkdir(out)
            exporter = " ".join(EMULATOR + [shutil.copy(EXPORTER, board.stage), "--max-age", str(AGE_BOUND)])
            script = (second_monitor(keys, os.path.join(out, "second"))
                      + "".join("(i=0; while i=$((i+1)); do %s > %s/e%d.part 2>/dev/null; mv %s/e%d.part %s/e%d.$i; "
                                "sleep 0.1; done) &\n" % (exporter, out, n, out, n, out, n) for n in range(LOOPS))
                      + 'exec "$@"')
            mon = board.spawn(["-v", "3"], "--model 24 --seed 9 --truth " + truth, shell=script, echo=False)
            mon.until(lambda: len(monitors(mon)) == 2, "two monitors")
            first, fifo = monitors(mon)[0], os.open(keys, os.O_WRONLY)

            def drive(seconds, terminal=True):  # a pass of each monitor every 0.2 s
                for _ in range(int(seconds * 5)):
                    os.write(fifo, b"\n")
                    if terminal:
                        os.write(mon.master, b"\n")
                    mon.pump(0.2)
            drive(5)
            os.kill(first, signal.SIGSTOP)
            stopped = time.time(), len(read_truth(truth))
            drive(20, terminal=False)
            os.kill(first, signal.SIGCONT)
            resumed = len(read_truth(truth))
            drive(3)
            os.write(fifo, b"q\n")
            mon.until(lambda: len(monitors(mon)) == 1, "the second monitor's end")
            self.assertEqual((mon.quit(), mon.stderr()), (0, b""))
            records = read_truth(truth)
            answers, during = collections.Counter(), set()
            for name in (n for n in os.listdir(out) if n.startswith("e") and not n.endswith(".part")):
                path = os.path.join(out, name)
                items, others = figures("24", get(path))
                answers[others["cellscope_up"][1]] += 1
                if others["cellscope_up"][1] == "1":
                    dumps = [n for n, rec in enumerate(records, 1) if rec == items]
                    self.assertEqual(len(dumps), 1, "%s is no one dump" % name)
                    age = os.stat(path).st_mtime - float(others["cellscope_dump_timestamp_seconds"][1])
                    self.assertLessEqual(age, AGE_BOUND, name)
                    if 2 <= os.stat(path).st_mtime - stopped[0] < 20:
                        during.add(dumps[0])
            self.assertGreater(len(during), 3, "dumps read while a monitor was stopped")
            self.assertGreater(answers["1"], 10 * answers["0"], answers)
            # The running monitor read every dump from its first on (the last perhaps still pending), in order, and
            # said nothing else.
            second = get(os.path.join(out, "second"))
            self.assertNotIn(b"cellscope:", second)
            seen = drawn(second, records)
            self.assertEqual((seen == sorted(seen), sorted(set(seen) | {0, len(records)})),
                             (True, [0] + list(range(min(set(seen) - {0}), len(records) + 1))))
            self.assertGreater(max(drawn(mon.output, records)), resumed)  # the stopped one goes on after
            print("\n%d dumps in %.0f s, %d while a monitor was stopped for 20 s; %d exporter answers (%d without "
                  "a dump)" % (len(records), time.time() - stopped[0] + 5, resumed - stopped[1], sum(
                      answers.values()), answers["0"]), file=sys.stderr)

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
            self.assertNotIn(b"exited normally", get(log))  # still stopped
            self.assertEqual((mon.quit(), mon.stderr()), (0, b""))

    def test_only_whole_dumps_at_a_bounded_pace_and_nothing_on_the_connection_but_the_answer(self):
        def loops(board, count, seconds, args, sim):
            """count exporter loops back to back for seconds on the board: each answer's (up, truth dump or None)."""
            truth, out = board.path("truth.log", ""), board.path("", "out")
            os.makedirs(out, exist_ok=True)
            script = "".join("(end=$(($(date +%%s) + %d)); i=0; while [ $(date +%%s) -lt $end ]; do i=$((i+1)); "
                             '"$@" %s > %s/e%d.$i 2>/dev/null; done) &\n' % (seconds, " ".join(args), out, n)
                             for n in range(count)) + "wait"
            subprocess.run(board.command([], sim + " --truth " + truth, shell=script, program=EXPORTER), check=True)
            records, answers = read_truth(truth), []
            for name in os.listdir(out):
                items, others = figures(board.model, get(os.path.join(out, name)))
                answers.append((others["cellscope_up"][1], [n for n, rec in enumerate(records, 1) if rec == items]))
            shutil.rmtree(out)
            return records, answers
        # Five loops asking as fast as they can: one dump a second serves them all, each answer one whole dump.
        with Board("30") as board:
            records, answers = loops(board, LOOPS, 5, [], "--model 30")
            self.assertLessEqual(len(records), 6)
            self.assertEqual({(up, len(dumps)) for up, dumps in answers}, {("1", 1)})
            self.assertGreater(len(answers), 5 * len(records))
        # A daemon slower than --timeout (three files 700 ms apart): its dumps are read, none torn by a second request.
        with Board("24") as board:
            records, answers = loops(board, 2, 8, ["--timeout", "1"], "--model 24 --delay 700")
            read = [dumps for up, dumps in answers if up == "1"]
            self.assertTrue(read and all(len(dumps) == 1 for dumps in read), answers)
        # A set with a file missing is no dump.
        with Board("42") as board:
            lacking = {"sw_global_info.1": global_dump(0x10)["sw_global_info.1"], "pg_info.1": ""}
            r = board.run(["--timeout", "1", "--interval", "2"], sim=board.standin([lacking]), program=EXPORTER)
            self.assertEqual((r.returncode, r.stderr), (1, b"cellscope-export: no complete dump within 1 s: the dump "
                                                           b"lacked /tmp/port_info.1\n"))
        # Over --http, what the program or its parsers would say goes to syslog, never into the connection, which
        # inetd hands over as standard input, output and error alike: without a daemon, and with lines the parsers
        # cannot read.
        noisy = dict(global_dump(0x20), **{"port_info.1": "RXPP.xe: COUNT=5\nRXPP.xe3: COUNT=9\n", "pg_info.1": ""})
        for feed, line in ((None, b"\ncellscope_up 0\n"), ([noisy], b'"Bay 4"} 9\n')):
            ours, theirs = socket.socketpair()
            with Board("42") as board, ours, theirs:
                ours.sendall(b"GET /metrics HTTP/1.0\r\n\r\n")
                sim = None if feed is None else board.standin(feed)
                subprocess.run(board.command(["--http", "--timeout", "1"], sim, program=EXPORTER), stdin=theirs,
                               stdout=theirs, stderr=theirs, timeout=30)
                theirs.close()
                head, _, body = b"".join(iter(lambda: ours.recv(65536), b"")).partition(b"\r\n\r\n")
                self.assertEqual(head.split(b"\r\n")[0], b"HTTP/1.1 200 OK")
                self.assertIn(b"Content-Length: %d\r\n" % len(body), head)
                self.assertIn(line, body)

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
            for name, text in dict(global_dump(0x999), **{MARKER: ""}).items():
                board.write(name, text)  # a dump left by an earlier reader: nothing but a GET may touch it

            def files():
                return {(where, name): (os.stat(board.path(name, where)).st_mtime_ns, get(board.path(name, where)))
                        for where in ("tmp", "run") for name in os.listdir(board.path("", where)) if name != PIDFILE}

            def ask(request, trickle=False):
                """Head ({"": status line, name: value}), body, seconds of the answer (trickle: a byte every 0.2 s)."""
                if os.path.exists(board.path(PIDFILE, "run")):
                    os.unlink(board.path(PIDFILE, "run"))  # the last daemon's: wait for this one's
                with subprocess.Popen(board.command(["--http"], "--model 42 --truth " + truth, program=EXPORTER),
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                      bufsize=0) as proc:
                    start = time.monotonic()
                    with contextlib.suppress(BrokenPipeError):  # the exporter gone before the last byte
                        for piece in [bytes([b]) for b in request] if trickle else [request]:
                            proc.stdin.write(piece)
                            time.sleep(0.2 * trickle)
                        if trickle:
                            proc.stdin.close()  # only after 6 s: an exporter still waiting ends on it
                    answer, elapsed = proc.stdout.read(), time.monotonic() - start
                    self.assertEqual((proc.wait(), proc.stderr.read()), (0 if answer else 1, b""))
                fields, body = parse_answer(answer)
                if request.startswith(b"HEAD "):  # no content; its length only when known without making it
                    self.assertEqual(body, b"")
                else:
                    self.assertEqual(int(fields.get("Content-Length", 0)), len(body))
                return fields, body, elapsed
            before, pad = files(), lambda size: b"GET /other HTTP/1.1\r\nX: " + b"a" * (size - 28) + b"\r\n\r\n"
            plain = "text/plain; charset=utf-8"
            # Each kind once; the unit tests judge heads of every form.
            for request, status, kind, length in (
                    (b"GET /metrics\r\n\r\n", 400, plain, "12"), (pad(8193), 400, plain, "12"),
                    (pad(8192), 404, plain, "10"), (b"POST /metrics HTTP/1.1\r\n\r\n", 405, plain, "19"),
                    (b"GET /x HTTP/1.0\n\n", 404, plain, "10"), (b"HEAD /x HTTP/1.1\r\n\r\n", 404, plain, "10"),
                    (b"GET /metrics HTTP/1.1\r\nX: a\rb\r\n\r\n", 400, plain, "12"),
                    (b"GET /metrics HTTP/1.1\r\nX: a\0b\r\n\r\n", 400, plain, "12"),
                    # A HEAD of the metrics: their head, no length (only making them would tell), no dump.
                    (b"HEAD /metrics HTTP/1.1\r\nHost: x\r\n\r\n", 200, METRICS_TYPE, None),
                    (b"GET / HTTP/1.1\r\n\r\n", 200, "text/html; charset=utf-8", "260"),
                    (b"HEAD http://x:9465/ HTTP/1.1\r\n\r\n", 200, "text/html; charset=utf-8", "260")):
                with self.subTest(request=request[:40]):
                    fields, body, _ = ask(request)
                    self.assertEqual(fields[""], "HTTP/1.1 %d %s" % (status, HTTPStatus(status).phrase))
                    self.assertEqual((fields["Content-Type"], fields.get("Content-Length")), (kind, length))
                    self.assertEqual(fields.get("Allow"), "GET, HEAD" if status == 405 else None)
                    if kind.startswith("text/html") and body:
                        self.assertIn(b'<a href="/metrics">/metrics</a>', body)
            fields, body, elapsed = ask(b"GET /metrics HTTP/1.1\r\nHost: x\r\n", trickle=True)
            self.assertEqual((fields, body), ({"": ""}, b""))  # no answer, gone within the 2 s
            self.assertTrue(2 <= elapsed < 3.5, elapsed)
            self.assertEqual((files(), read_truth(truth)), (before, []))  # nothing written, no dump asked for
            # Origin form and absolute form: one dump asked for each (a second apart: scrapes within one share a
            # dump), read, not the one left behind.
            for n, request in enumerate((b"GET /metrics HTTP/1.0\r\n\r\n",
                                         b"GET http://switch1:9465/metrics HTTP/1.1\r\nHost: switch1:9465\r\n\r\n")):
                time.sleep(1.1 * n)
                fields, body, elapsed = ask(request)
                self.assertEqual((fields[""], fields["Content-Type"]), ("HTTP/1.1 200 OK", METRICS_TYPE))
                self.assertEqual(len(fresh := read_truth(truth)), n + 1)
                self.assertIn(b"\ncellscope_shared_cells %d\n" % fresh[n][("total_shared",)], body)

    def test_answers_reach_the_peer_and_failed_writes_are_logged(self):
        # Over TCP, as inetd or systemd hand a connection over: the answer arrives whole even when the peer sent
        # more than its head (a body, an overlong head), which the exporter must read before it closes.
        with Board("24") as board, served_over_tcp(board, "--model 24 --seed 3") as (port, log):
            body = b"x" * 100000
            for request, status in ((b"POST /metrics HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % len(body) + body, 405),
                                    (b"GET /metrics HTTP/1.1\r\nX: " + b"a" * 20000 + b"\r\n\r\n", 400),
                                    (b"HEAD /metrics HTTP/1.1\r\nHost: x\r\n\r\n", 200),
                                    (b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", 200)):
                with self.subTest(request=request[:30]):
                    answer, error = exchange(port, request)
                    self.assertEqual(error, None, get(log).decode(errors="replace")[-2000:])
                    fields, content = parse_answer(answer)
                    self.assertEqual(fields[""], "HTTP/1.1 %d %s" % (status, HTTPStatus(status).phrase))
                    self.assertEqual(fields.get("Content-Length"), None if request.startswith(b"HEAD") else
                                     str(len(content)))
                    self.assertEqual(b"\ncellscope_up 1\n" in content, status == 200 and request.startswith(b"GET"))
            # Every exporter wrote its answer whole and ended well (systemd-socket-activate reports each end).
            deadline = time.monotonic() + 10
            while len(re.findall(rb"Child \d+ died", get(log))) < 4 and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertEqual(re.findall(rb"Child \d+ died with code (\d+)", get(log)), [b"0"] * 4, get(log))

        # A failed write is reported to syslog (never to the peer or standard error) and exits 1; a peer gone
        # (a closed pipe) is such a failure, not a silent end by SIGPIPE.
        for case in ("/dev/full", "closed", "gone"):
            with self.subTest(stdout=case), Board("42") as board:
                shell, messages = board_syslog(self, board)
                command = board.command(["--http", "--timeout", "2"], "--model 42", program=EXPORTER,
                                        shell=shell + ('exec "$@" >&-' if case == "closed" else 'exec "$@"'))
                with open(case if case.startswith("/") else os.devnull, "wb") as out:
                    with subprocess.Popen(command, stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                                          stdout=out if case != "gone" else subprocess.PIPE) as proc:
                        if case == "gone":
                            proc.stdout.close()  # no reader left before the answer is written
                        with contextlib.suppress(BrokenPipeError):
                            proc.stdin.write(b"GET /metrics HTTP/1.1\r\n\r\n")
                            proc.stdin.close()
                        result = (proc.wait(20), proc.stderr.read())
                reason = {"/dev/full": "No space left on device", "closed": "Bad file descriptor",
                          "gone": "Broken pipe"}[case]
                self.assertEqual((result, messages()), ((1, b""), ["standard output: " + reason]))

    def test_fleet_of_three_boards_in_prometheus(self):
        # As the README states it, in a build folder that did not exist, with no registry tool named.
        here = self.enterContext(tempfile.TemporaryDirectory(dir="/var/tmp"))
        env = {k: v for k, v in os.environ.items() if k != "CELLSCOPE_MODULES"}
        r = subprocess.run([os.path.join(HERE, "..", "..", "scripts", "fleet"), "3", "--check"],
                           env=dict(env, CELLSCOPE_BUILD=os.path.join(here, "fresh-build")),
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

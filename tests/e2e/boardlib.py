"""The real monitor (or exporter) on fake boards (board/fakeboard), through pipes or a pseudo-terminal; the 22 views a
store state must show, built without the monitor's formats; the exporter's metrics as the stand-in's truth items."""

import os
import pty
import re
import select
import shutil
import signal
import subprocess
import tempfile
import termios
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FAKEBOARD = os.path.join(HERE, "..", "..", "board", "fakeboard")
BINARY = os.environ.get("CELLSCOPE_BIN", os.path.join(HERE, "..", "..", "build", "cellscope"))
SIM = os.environ.get("CELLSCOPE_SIM", os.path.join(os.path.dirname(BINARY), "sim", "swfabric-sim"))
EXPORTER = os.environ.get("CELLSCOPE_EXPORT", os.path.join(os.path.dirname(BINARY), "cellscope-export"))
EMULATOR = ["qemu-ppc", "-L", "/usr/powerpc-linux-gnu"] if os.environ.get("CELLSCOPE_QEMU") == "1" else []
STAGES = "/dev/shm" if os.access("/dev/shm", os.W_OK) else "/var/tmp"  # a board's 4096 links: made 10x faster
MARKER, REPORT, PIDFILE = "swfabric_se_dump_complete", "cellscope_results.log", "swfabric_se_dump.pid"
PIDFILE_MSG = b"cellscope: /var/run/swfabric_se_dump.pid: "
NO_PIDFILE = PIDFILE_MSG + b"cannot open: No such file or directory\n"
PASS, HOME_ERASE, RELOAD = b"Total Shared Count", b"\x1b[H\x1b[K", b"\x1b[H\x1b[J Reloading please wait..."
# The exporter's per-dump metrics and the truth file's items they carry; the label of an item's group number.
ITEMS = {"cellscope_shared_cells": "total_shared", "cellscope_shared_limit_cells": "shared_limit",
         "cellscope_port_shared_cells": "port_shared", "cellscope_pg_shared_cells": "pg",
         "cellscope_queue_shared_cells": "queue", "cellscope_receive_packets_total": "rxpp",
         "cellscope_transmit_packets_total": "txpp", "cellscope_ingress_dropped_packets_total": "ibp_drop",
         "cellscope_queue_dropped_packets_total": "hol_drop"}
GROUP = {"pg": "pg", "queue": "queue", "hol_drop": "queue"}
counter = lambda item: item[1:2] in (("rxpp",), ("txpp",), ("ibp_drop",), ("hol_drop",))
PERCENTS = (1, 5, 10, 20, 50, 60, 70, 80, 90, 100)
MODULES = os.environ.get("CELLSCOPE_MODULES", os.path.join(os.path.dirname(BINARY), "cellscope-modules"))


def registry(*args):
    """What the registry tool prints, as lines."""
    return subprocess.run([MODULES, *args], capture_output=True, text=True, check=True).stdout.splitlines()


CELL_SCALE = {line.split()[0]: int(line.split()[2]) for line in registry()}
LABELS = {ports: registry("--labels", ports) for ports in CELL_SCALE}


def put(path, data):
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def get(path):
    """A file's bytes; b"" when it cannot be read (none, or gone)."""
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


def global_dump(count):  # the switch-wide dump file of the 42-port module
    return {"sw_global_info.1": "MMU_THDM_DB_POOL_SHARED_COUNT.mmu0: COUNT=0x%x\n"
                                "THDI_BUFFER_CELL_LIMIT_SP.ipipe0: LIMIT=0x7000\n" % count}


def summary_line(count, peak, limit):
    return ("Total Shared Count: %04x, Max: %04x Limit: %04x \n" % (count, peak, limit)).encode()


class Board:
    """One fake board: stage/tmp is its /tmp, stage/run its /var/run. device_tree: model file bytes, False: none."""

    def __init__(self, model="42", device_tree=None, tmp_size=None, stages=STAGES):
        self.stage = tempfile.mkdtemp(prefix="cellscope-e2e.", dir=stages)
        os.chmod(self.stage, 0o755)  # the monitor may run as another user
        self.tmp, self.model, self.sessions, self.daemon = self.path(""), model, [], SIM
        for folder in ("tmp", "run", "feed", "monitor"):
            os.mkdir(self.path("", folder))
        self.args = ["--tmp-size", tmp_size] * bool(tmp_size) + {None: ["--model", model], False: ["--no-model"]}.get(
            device_tree, ["--model-file", self.path("model", "")])
        if isinstance(device_tree, bytes):
            put(self.path("model", ""), device_tree)

    __enter__ = lambda self: self

    def __exit__(self, *exc):
        for session in self.sessions:
            session.close()
        subprocess.run(["chattr", "-R", "-i", self.tmp], capture_output=True)  # what a test made immutable
        shutil.rmtree(self.stage, ignore_errors=True)

    def path(self, name, where="tmp"):
        """Host path of what the board sees as /tmp/NAME (where="run": /var/run/NAME; "": in the stage only)."""
        return os.path.join(self.stage, where, name)

    def write(self, name, data, where="tmp"):
        put(self.path(name, where), data)

    def command(self, args, sim=None, shell=None, program=BINARY):
        """fakeboard's command for the monitor (or program); shell: a script on the board running a copy as "$@"."""
        cmd = [FAKEBOARD, "--stage", self.stage] + self.args
        cmd += [] if sim is None else ["--sim", sim, "--sim-bin", self.daemon]
        if shell is None:
            return cmd + ["--qemu"] * bool(EMULATOR) + ["--", program] + list(args)
        copy = shutil.copy(program, self.path("", "monitor"))
        return cmd + ["--", "/bin/sh", "-c", shell, "sh"] + EMULATOR + [copy] + list(args)

    def run(self, args, sim=None, program=BINARY, shell=None, stdout=subprocess.PIPE, **popen):
        """Runs a command on the board to its end, its output and errors kept; standard input empty unless given."""
        popen.setdefault("stdin", None if "input" in popen else subprocess.DEVNULL)
        return subprocess.run(self.command(args, sim, shell, program), stdout=stdout, stderr=subprocess.PIPE, **popen)

    def spawn(self, args=(), sim=None, shell=None, echo=True):
        self.sessions.append(PtySession(self.command(args, sim, shell), echo=echo))
        return self.sessions[-1]

    def standin(self, dumps=(), mtime="-", late=False):
        """Arguments of the stand-in daemon (standin_daemon.py) fed with dumps, each a {file name: text}; it stamps
        them with mtime ("-": now); late: it takes SIGUSR1 only 2 s after writing its pid file."""
        for i, files in enumerate(dumps):
            os.mkdir(self.path("%04d" % i, "feed"))
            for name, text in files.items():
                put(self.path("%04d/%s" % (i, name), "feed"), text)
        self.daemon = os.path.join(HERE, "standin_daemon.py")
        return "%s %s %s%s" % (self.path("", "feed"), self.path("daemon.log", ""), mtime, " late" * late)

    def log(self, prefix):
        """The stand-in's log lines that start with prefix."""
        return [line for line in get(self.path("daemon.log", "")).decode().splitlines() if line.startswith(prefix)]


class PtySession:
    """The monitor on a pseudo-terminal in line mode with echo (unless echo is False), read back byte for byte."""

    def __init__(self, cmd, stdin=None, echo=True, **popen):
        self.master, slave = pty.openpty()
        attrs = termios.tcgetattr(slave)
        attrs[1] &= ~termios.OPOST
        if not echo:
            attrs[3] &= ~termios.ECHO
        termios.tcsetattr(slave, termios.TCSANOW, attrs)
        self.errors, self.output, self.err_seen = tempfile.TemporaryFile(), b"", 0
        self.proc = subprocess.Popen(cmd, stdin=stdin or slave, stdout=slave, stderr=self.errors,
                                     start_new_session=True, **popen)
        os.close(slave)

    def pump(self, timeout):
        """Reads what arrives within timeout seconds, so the monitor never blocks on a full terminal."""
        end = time.monotonic() + timeout
        while self.master >= 0 and select.select([self.master], [], [], max(0, end - time.monotonic()))[0]:
            try:
                self.output += os.read(self.master, 65536)
            except OSError:
                break  # no writer left
            if time.monotonic() > end:
                break  # a monitor that never stops writing

    def until(self, done, what, timeout=20):
        end = time.monotonic() + timeout
        while not done():
            ended = self.proc.poll() is not None
            self.pump(0.02)
            if ended and not done() or time.monotonic() > end:  # also when no board could be made: never a skip
                raise AssertionError("no %s; output tail %r, stderr %r" % (what, self.output[-400:], self.stderr()))

    def enter(self, needle, keys="\n", times=1, start=None):
        """Types keys, waits for needle to appear times after them (or after offset start); where the last begins."""
        start = len(self.output) if start is None else start
        os.write(self.master, keys.encode() if isinstance(keys, str) else keys)
        self.until(lambda: self.output[start:].count(needle) >= times, repr(needle))
        for _ in range(times):
            start = self.output.index(needle, start) + 1
        return start - 1

    def wait_for(self, needle, start=0, times=1):
        return self.enter(needle, b"", times, start)

    def quit(self, keys=b"q\n"):  # the exit status
        os.write(self.master, keys)
        self.until(lambda: self.proc.poll() is not None, "exit")
        self.pump(0.05)
        return self.proc.returncode

    def stderr(self):
        """What the board wrote to stderr since the last call."""
        got = os.pread(self.errors.fileno(), 1 << 20, self.err_seen)
        self.err_seen += len(got)
        return got

    def close(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)  # the whole board: signals stay inside it
            self.proc.wait(10)
        if self.master >= 0:
            os.close(self.master)
        self.errors.close()


def board_processes(session):
    """{host pid: (program name, state, CPU seconds used)} of the processes of the session's board (process group)."""
    found = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        head, _, tail = get("/proc/%s/stat" % pid).rpartition(b")")
        fields = tail.split()
        if fields[2:3] == [b"%d" % session.proc.pid]:
            cpu = sum(map(int, fields[11:13])) / os.sysconf("SC_CLK_TCK")
            found[int(pid)] = (head.partition(b"(")[2].decode(), fields[0].decode(), cpu)
    return found


def monitors(session):
    """Host pids of the monitors running on the session's board, the one on the terminal first."""
    found = [pid for pid, (name, state, _) in board_processes(session).items() if name == "cellscope" and state != "Z"]
    return sorted(found, key=lambda pid: not os.path.realpath("/proc/%d/fd/1" % pid).startswith("/dev/pts"))


def second_monitor(keys, screen):
    """A board script's line starting a second monitor ("$@") reading the FIFO keys (made here), drawing into screen."""
    os.mkfifo(keys)
    return 'exec 3<>%s; "$@" <&3 >%s 2>&1 3<&- &\nexec 3<&-\n' % (keys, screen)


def render_views(model, state, erase="\x1b[K"):
    """The 22 views, each a list of lines, for a store state that maps ("total_shared",), (slot, "port_shared"),
    (slot, "pg", k) and (slot, "queue", k) to (current, max, {bucket: hits}); (slot, "rxpp"), (slot, "txpp"),
    (slot, "ibp_drop") and (slot, "hol_drop", k) to counter values; "limit" to the switch-wide limit; 0 if missing."""
    labels = LABELS[model]
    pair = lambda key: "%04x %04x" % tuple(state.get(key, (0, 0))[:2])
    hits = lambda key: "".join(" %08x" % state.get(key, (0, 0, {}))[2].get(b, 0) for b in range(10))
    table = lambda head, row: [head + " Port Name %s\n" % erase] + ["%02d  %s %s\n" % (p, row(p), labels[p])
                                                                    for p in range(len(labels))]
    counter = lambda key: "%08x" % (state.get(key, 0) & 0xFFFFFFFF)
    percents = "".join(" %7d%%" % p for p in PERCENTS) + erase + "\n"
    total = state.get(("total_shared",), (0, 0))
    views = [[summary_line(total[0], total[1], state.get("limit", 0)).decode()],
             table("PID PShr PSMx " + " ".join("PG%dS PG%dSM" % (k, k) for k in range(8)),
                   lambda p: pair((p, "port_shared")) + " " + "  ".join(pair((p, "pg", k)) for k in range(8)) + " "),
             table("PID PShr PSMx " + " ".join("Q%dSZ Q%dSM" % (k, k) for k in range(8)) + " ",
                   lambda p: " ".join(pair(key) for key in [(p, "port_shared")] + [(p, "queue", k) for k in range(8)])),
             table("PID ibpdrop  " + "".join("holdrp%d  " % k for k in range(8)) + "txpp     rxpp  ",
                   lambda p: " ".join(counter(key) for key in [(p, "ibp_drop")] + [(p, "hol_drop", k) for k in range(8)]
                                      + [(p, "txpp"), (p, "rxpp")])),
             ["Total shared memory usage:\n", percents, erase + hits(("total_shared",)) + "\n"]]
    for title, key in ([("Port", ("port_shared",))] + [("PG%d" % k, ("pg", k)) for k in range(8)]
                       + [("Egress Q%d" % k, ("queue", k)) for k in range(8)]):
        views.append(["%s shared memory usage:\n" % title, percents]
                     + [erase + "xe%d " % p + hits((p,) + key) + " %s\n" % labels[p] for p in range(len(labels))])
    return views


def report_problems(report, views):
    """The lines of a report (bytes) that differ from the views, by view and line; [] when it is exactly them."""
    lines = report.decode("latin-1").splitlines(keepends=True)
    want = [(v, i, line) for v, view in enumerate(views) for i, line in enumerate(view)]
    problems = ["view %d line %d:\n  want %r\n  got  %r" % (v, i, line, got)
                for (v, i, line), got in zip(want, lines) if got != line]
    return (problems + ["report has %d lines, the views %d" % (len(lines), len(want))] * (len(lines) != len(want)))[:12]


def figures(model, text):
    """The exporter's output as truth items {("total_shared",), (slot, "pg", k) ...: value} and other samples {name:
    (labels, value)}; asserts each series comes once, labelled with the port's name and front-panel label (panel)."""
    items, others = {}, {}
    for line in (line for line in text.decode().splitlines() if not line.startswith("#")):
        name, labels, value = re.fullmatch(r'(\w+)(?:\{(.*)\})? (\S+)', line).groups()
        labels = dict(re.findall(r'(\w+)="([^"]*)"', labels or ""))
        if name not in ITEMS:
            others[name] = (labels, value)
            continue
        kind, slot = ITEMS[name], labels.pop("port", None)
        item = (kind,) if slot is None else (int(slot[2:]), kind)
        item += (int(labels.pop(GROUP[kind])),) if kind in GROUP else ()
        assert labels == ({} if slot is None else {"panel": LABELS[model][item[0]]}) and item not in items, line
        items[item] = int(value)
    return items, others

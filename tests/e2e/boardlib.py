"""Runs the real monitor on a fake board (private mount and PID namespace,
see board/fakeboard) and talks to it through pipes or a pseudo-terminal."""

import fcntl
import os
import pty
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import termios
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
FAKEBOARD = os.path.join(ROOT, "board", "fakeboard")
BINARY = os.environ.get("CELLSCOPE_BIN", os.path.join(ROOT, "build", "cellscope"))
SIM = os.environ.get("CELLSCOPE_SIM", os.path.join(os.path.dirname(BINARY), "sim", "swfabric-sim"))
QEMU = os.environ.get("CELLSCOPE_QEMU", "") == "1"
STANDIN = os.path.join(HERE, "standin_daemon.py")

HOME_ERASE = b"\x1b[H\x1b[K"
MARKER = "swfabric_se_dump_complete"
REPORT = "cellscope_results.log"
PIDFILE_MSG = b"cellscope: /var/run/swfabric_se_dump.pid: "
NO_PIDFILE = PIDFILE_MSG + b"cannot open: No such file or directory\n"
ERASE = "\x1b[K"
PERCENTS = (1, 5, 10, 20, 50, 60, 70, 80, 90, 100)
CELL_SCALE = {"42": 32768, "24": 16384, "30": 32768}
LABELS = {
    "42": ["Bay %d" % i for i in range(1, 17)] + ["Q%d.%d" % (q, i) for q in range(1, 5) for i in range(1, 5)]
          + ["X%d" % i for i in range(1, 9)] + ["ISL1", "ISL2"],
    "24": ["Bay %d" % (i // 2 + 1 + 8 * (i % 2)) for i in range(16)] + "X1 X8 X2 X3 X7 X4 X5 X6".split(),
    "30": ["Bay %d" % i for i in range(1, 17)] + ["X%d" % i for i in range(1, 11)] + ["ISL%d" % i for i in range(1, 5)],
}

_preflight_error = None


def put(path, data):
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def preflight():
    """Fails (never skips) when no board can be made here."""
    global _preflight_error
    if _preflight_error is None:
        probe = subprocess.run([FAKEBOARD, "--", "/bin/true"], capture_output=True, text=True, timeout=60)
        _preflight_error = ("monitor binary not found: " + BINARY if not os.access(BINARY, os.X_OK) else
                            "cannot make a fake board: " + probe.stderr.strip() if probe.returncode else "")
    if _preflight_error:
        raise AssertionError(_preflight_error)


class Closing:
    """A context manager that calls close() on leaving."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Board(Closing):
    """A staging folder for one fake board; stage/tmp is the board's /tmp and
    stage/run its /var/run, readable and writable from outside."""

    def __init__(self, model="42", model_string=None, model_bytes=None, no_model=False):
        preflight()
        self.stage = tempfile.mkdtemp(prefix="cellscope-e2e.", dir="/var/tmp")
        self.tmp = os.path.join(self.stage, "tmp")
        self.run_dir = os.path.join(self.stage, "run")
        os.makedirs(self.tmp)
        os.makedirs(self.run_dir)
        self.model = model
        self.model_args = ["--model", model]
        if no_model:
            self.model_args = ["--no-model"]
        elif model_bytes is not None:
            self.model_args = ["--model-file", os.path.join(self.stage, "model-file")]
            put(self.model_args[1], model_bytes)
        elif model_string is not None:
            self.model_args = ["--model-string", model_string]

    def close(self):
        shutil.rmtree(self.stage, ignore_errors=True)

    def path(self, name):
        """Host path of a file the board sees as /tmp/NAME."""
        return os.path.join(self.tmp, name)

    def write(self, name, data, where="tmp"):
        put(os.path.join(self.tmp if where == "tmp" else self.run_dir, name), data)

    def command(self, args, sim=None, binary=None, once=False):
        cmd = [FAKEBOARD, "--stage", self.stage] + self.model_args + (["--qemu"] if QEMU else [])
        if sim is not None:
            cmd += ["--sim-once" if once else "--sim", sim, "--sim-bin", getattr(self, "daemon", SIM)]
        return cmd + ["--", binary or BINARY] + list(args)

    def run(self, args, timeout=60, sim=None, once=False):
        return subprocess.run(self.command(args, sim, once=once), stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=timeout)

    def spawn(self, args, sim=None, stdin=None):
        return PtySession(self.command(args, sim), 60, 200, stdin)


class PtySession(Closing):
    """The monitor on a pseudo-terminal: keys typed as an operator would."""

    def __init__(self, cmd, rows, cols, stdin=None):
        """stdin: a file (object or descriptor) to give the monitor instead of
        the terminal."""
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, cols, 0, 0))
        # Line mode and echo as on an operator's terminal, but no output
        # post-processing, so the bytes read are the bytes the monitor wrote.
        attrs = termios.tcgetattr(slave)
        attrs[1] &= ~termios.OPOST
        termios.tcsetattr(slave, termios.TCSANOW, attrs)
        self.proc = subprocess.Popen(cmd, stdin=slave if stdin is None else stdin, stdout=slave,
                                     stderr=subprocess.PIPE, start_new_session=True, close_fds=True)
        os.close(slave)
        self.master = master
        self.output = b""

    def pump(self, timeout):
        """Reads whatever arrives within timeout seconds."""
        end = time.monotonic() + timeout
        while True:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                return
            try:
                data = os.read(self.master, 65536)
            except OSError:
                return
            if not data:
                return
            self.output += data

    def wait_for(self, needle, timeout=15, start=0):
        """Waits until needle appears in the output after offset start."""
        needle = needle.encode() if isinstance(needle, str) else needle
        end = time.monotonic() + timeout
        while needle not in self.output[start:]:
            left = end - time.monotonic()
            if left <= 0 or self.proc.poll() is not None and not select.select([self.master], [], [], 0)[0]:
                raise AssertionError("timed out waiting for %r; output tail: %r" % (needle, self.output[-600:]))
            self.pump(min(left, 0.2))
        return self.output.index(needle, start)

    def enter(self, needle, keys="\n"):
        """Types keys (Enter by default) and waits for needle drawn after them."""
        mark = len(self.output)
        self.send(keys)
        return self.wait_for(needle, start=mark)

    def count(self, needle, start=0):
        return self.output[start:].count(needle.encode() if isinstance(needle, str) else needle)

    def send(self, keys):
        os.write(self.master, keys.encode() if isinstance(keys, str) else keys)

    def wait(self, timeout=15):
        end = time.monotonic() + timeout
        while self.proc.poll() is None and time.monotonic() < end:
            self.pump(0.1)
        self.pump(0.1)
        if self.proc.poll() is None:
            raise AssertionError("monitor did not exit; output tail: %r" % self.output[-600:])
        return self.proc.returncode

    def quit(self):
        """Types q; the exit status."""
        self.send("q\n")
        return self.wait()

    def stderr(self):
        """What the board wrote to stderr since the last call (all the rest
        once it has ended)."""
        fd, got = self.proc.stderr.fileno(), b""
        while select.select([fd], [], [], 0.05)[0]:
            data = os.read(fd, 65536)
            if not data:
                break
            got += data
        return got

    def close(self):
        if self.proc.poll() is None:
            # The whole board goes: signals stay inside its namespace.
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait(10)
        if self.master >= 0:
            os.close(self.master)
        if self.proc.stderr:
            self.proc.stderr.close()


# ---- processes of a board, seen from outside

def proc_stat(pid):
    """The fields of /proc/PID/stat after the command name; [] once gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()
    except OSError:
        return []


def descendants(root):
    children = {}
    for pid in map(int, filter(str.isdigit, os.listdir("/proc"))):
        children.setdefault(int((proc_stat(pid) or [0, 0])[1]), []).append(pid)
    found, todo = [], [root]
    while todo:
        found.append(todo.pop())
        todo += children.get(found[-1], [])
    return found[1:]


def monitor_pid(session, board, timeout=15):
    """Host pid of the monitor among the descendants of the board process."""
    name = os.path.basename(BINARY)
    programs = {os.path.join(board.stage, "bin", name), os.path.join(board.stage, "monitor", name)}
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        for pid in descendants(session.proc.pid):
            try:
                exe = os.path.realpath("/proc/%d/exe" % pid)
                with open("/proc/%d/cmdline" % pid, "rb") as f:
                    argv = {a.decode(errors="replace") for a in f.read().split(b"\0")}
            except OSError:
                continue  # gone meanwhile
            if exe in programs or (QEMU and programs & argv):
                return pid
        session.pump(0.05)
    raise AssertionError("monitor process not found under the board")


def alive(pid):
    return proc_stat(pid)[:1] not in ([], ["Z"], ["X"])


def assert_quiet(test, session, pid, seconds):
    """No busy loop: over an idle stretch the process uses little CPU and
    stays alive. The terminal is read meanwhile when there is one."""
    cpu = lambda: sum(int(t) for t in proc_stat(pid)[11:13]) / os.sysconf("SC_CLK_TCK")
    before, end = cpu(), time.monotonic() + seconds
    while time.monotonic() < end:
        session.pump(0.1) if session is not None else time.sleep(0.1)
    used = cpu() - before
    test.assertLess(used, 0.1 * seconds + 0.05, "monitor used %.2f s CPU in %.1f s" % (used, seconds))
    test.assertTrue(alive(pid))


# ---- the stand-in daemon

def standin_args(board, dumps, extra=""):
    """Feeds the stand-in daemon: dumps is a list of {file name: text}
    (str, or bytes written as they are)."""
    feed = os.path.join(board.stage, "feed")
    os.makedirs(feed)
    for i, files in enumerate(dumps):
        folder = os.path.join(feed, "%04d" % (i + 1))
        os.makedirs(folder)
        for name, text in files.items():
            put(os.path.join(folder, name), text)
    board.daemon_log = os.path.join(board.stage, "daemon.log")
    board.daemon = STANDIN
    return "--feed %s --log %s %s" % (feed, board.daemon_log, extra)


def daemon_log(board, prefix=""):
    try:
        with open(board.daemon_log) as f:
            return [line for line in f.read().splitlines() if line.startswith(prefix)]
    except OSError:
        return []


def global_dump_42(count):
    """A switch-wide dump of the 42-port module with one shared count."""
    return {"sw_global_info.1": "MMU_THDM_DB_POOL_SHARED_COUNT.mmu0: COUNT=0x%x\n"
                                "THDI_BUFFER_CELL_LIMIT_SP.ipipe0: LIMIT=0x7000\n" % count}


def summary_line(count, peak, limit):
    return "Total Shared Count: %04x, Max: %04x Limit: %04x \n" % (count, peak, limit)


# ---- the 22 views as they must read

def render_views(model, state, erase=ERASE):
    """The 22 views, each a list of lines, for a store state that maps
    ("total_shared",), (slot, "port_shared"), (slot, "pg", k) and
    (slot, "queue", k) to (current, max, {bucket: hits}); (slot, "rxpp"),
    (slot, "txpp"), (slot, "ibp_drop") and (slot, "hol_drop", k) to counter
    values; and "limit" to the switch-wide limit. Missing keys are zero."""
    labels = LABELS[model]
    ports = range(len(labels))
    peaks = lambda key: tuple(state.get(key, (0, 0))[:2])
    hits = lambda key: "".join(" %08x" % state.get(key, (0, 0, {}))[2].get(b, 0) for b in range(10))
    table = lambda head, row: [head + " Port Name %s\n" % erase] + [row(p) + " %s\n" % labels[p] for p in ports]
    counters = lambda p: [(p, "ibp_drop")] + [(p, "hol_drop", k) for k in range(8)] + [(p, "txpp"), (p, "rxpp")]
    queues = lambda p: peaks((p, "port_shared")) + sum((peaks((p, "queue", k)) for k in range(8)), ())
    summary = peaks(("total_shared",)) + (state.get("limit", 0),)
    views = [["Total Shared Count: %04x, Max: %04x Limit: %04x \n" % summary],
             table("PID PShr PSMx " + " ".join("PG%dS PG%dSM" % (k, k) for k in range(8)),
                   lambda p: "%02d  %04x %04x " % ((p,) + peaks((p, "port_shared")))
                   + "  ".join("%04x %04x" % peaks((p, "pg", k)) for k in range(8)) + " "),
             table("PID PShr PSMx " + " ".join("Q%dSZ Q%dSM" % (k, k) for k in range(8)) + " ",
                   lambda p: "%02d  " % p + " ".join("%04x" % v for v in queues(p))),
             table("PID ibpdrop  holdrp0  holdrp1  holdrp2  holdrp3  holdrp4  holdrp5  holdrp6  holdrp7  "
                   "txpp     rxpp  ",
                   lambda p: "%02d  " % p + " ".join("%08x" % (state.get(key, 0) & 0xFFFFFFFF) for key in counters(p)))]
    percent_line = "".join(" %7d%%" % p for p in PERCENTS) + erase + "\n"
    views.append(["Total shared memory usage:\n", percent_line, erase + hits(("total_shared",)) + "\n"])
    for title, key in ([("Port", ("port_shared",))] + [("PG%d" % k, ("pg", k)) for k in range(8)]
                       + [("Egress Q%d" % k, ("queue", k)) for k in range(8)]):
        views.append(["%s shared memory usage:\n" % title, percent_line]
                     + [erase + "xe%d " % p + hits((p,) + key) + " %s\n" % labels[p] for p in ports])
    return views


def report_problems(report, views):
    """The lines of a report (bytes) that differ from the views, named by
    view and line; [] when the report is exactly the 22 views."""
    lines = report.decode("latin-1").splitlines(keepends=True)
    want = [(v, i, line) for v, view in enumerate(views) for i, line in enumerate(view)]
    problems = ["view %d line %d:\n  want %r\n  got  %r" % (v, i, line, got)
                for (v, i, line), got in zip(want, lines) if got != line]
    if len(lines) != len(want):
        problems.append("report has %d lines, the views %d" % (len(lines), len(want)))
    return problems[:12]

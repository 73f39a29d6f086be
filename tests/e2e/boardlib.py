"""Runs the real monitor on a fake board (private mount and PID namespace,
see board/fakeboard) and talks to it through pipes or a pseudo-terminal."""

import os
import pty
import select
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
FAKEBOARD = os.path.join(ROOT, "board", "fakeboard")
BINARY = os.environ.get("CELLSCOPE_BIN", os.path.join(ROOT, "build", "cellscope"))
SIM = os.environ.get("CELLSCOPE_SIM", os.path.join(os.path.dirname(BINARY), "sim", "swfabric-sim"))
QEMU = os.environ.get("CELLSCOPE_QEMU", "") == "1"

MODELS = {"42": "ZQN4TRKW1", "24": "ZQTRKW1", "30": "ZQN4TKW1"}

_preflight_error = None


def preflight():
    """Fails (never skips) when no board can be made here."""
    global _preflight_error
    if _preflight_error is None:
        if os.geteuid() != 0:
            _preflight_error = "end-to-end tests need root for their private namespaces"
        elif not os.access(BINARY, os.X_OK):
            _preflight_error = "monitor binary not found: " + BINARY
        else:
            probe = subprocess.run([FAKEBOARD, "--", "/bin/true"], capture_output=True, text=True, timeout=60)
            _preflight_error = "" if probe.returncode == 0 else "cannot make a fake board: " + probe.stderr.strip()
    if _preflight_error:
        raise AssertionError(_preflight_error)


class Board:
    """A staging folder for one fake board; stage/tmp is the board's /tmp and
    stage/run its /var/run, readable and writable from outside."""

    def __init__(self, model="42", model_string=None, model_bytes=None, no_model=False):
        preflight()
        self.stage = tempfile.mkdtemp(prefix="cellscope-e2e.", dir="/var/tmp")
        self.tmp = os.path.join(self.stage, "tmp")
        self.run_dir = os.path.join(self.stage, "run")
        os.makedirs(self.tmp)
        os.makedirs(self.run_dir)
        self.model_args = []
        if no_model:
            self.model_args = ["--no-model"]
        elif model_bytes is not None:
            path = os.path.join(self.stage, "model-file")
            with open(path, "wb") as f:
                f.write(model_bytes)
            self.model_args = ["--model-file", path]
        elif model_string is not None:
            self.model_args = ["--model-string", model_string]
        else:
            self.model_args = ["--model", model]
        self.model = model

    def close(self):
        shutil.rmtree(self.stage, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def path(self, name):
        """Host path of a file the board sees as /tmp/NAME."""
        return os.path.join(self.tmp, name)

    def write(self, name, data, where="tmp"):
        base = self.tmp if where == "tmp" else self.run_dir
        with open(os.path.join(base, name), "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())

    def command(self, args, sim=None, binary=None):
        cmd = [FAKEBOARD, "--stage", self.stage] + self.model_args
        if QEMU:
            cmd.append("--qemu")
        if sim is not None:
            cmd += ["--sim", sim, "--sim-bin", getattr(self, "daemon", SIM)]
        return cmd + ["--", binary or BINARY] + list(args)

    def run(self, args, stdin=subprocess.DEVNULL, timeout=60, sim=None, binary=None):
        return subprocess.run(self.command(args, sim, binary), stdin=stdin, capture_output=True, timeout=timeout)

    def spawn(self, args, sim=None, rows=60, cols=200, binary=None, stdin_devnull=False, stdin=None):
        return PtySession(self.command(args, sim, binary), rows, cols, stdin_devnull, stdin)


class PtySession:
    """The monitor on a pseudo-terminal: keys typed as an operator would."""

    def __init__(self, cmd, rows, cols, stdin_devnull=False, stdin=None):
        """stdin: a file (object or descriptor) to give the monitor instead of
        the terminal."""
        import fcntl
        import struct
        import termios
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, cols, 0, 0))
        # Line mode and echo as on an operator's terminal, but no output
        # post-processing, so the bytes read are the bytes the monitor wrote.
        attrs = termios.tcgetattr(slave)
        attrs[1] &= ~termios.OPOST
        termios.tcsetattr(slave, termios.TCSANOW, attrs)
        if stdin is None:
            stdin = subprocess.DEVNULL if stdin_devnull else slave
        self.proc = subprocess.Popen(cmd, stdin=stdin, stdout=slave, stderr=subprocess.PIPE,
                                     start_new_session=True, close_fds=True)
        os.close(slave)
        self.master = master
        self.output = b""
        self.marks = []

    def pump(self, timeout):
        """Reads whatever arrives within timeout seconds."""
        end = time.monotonic() + timeout
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return
            r, _, _ = select.select([self.master], [], [], left)
            if not r:
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
        if isinstance(needle, str):
            needle = needle.encode()
        end = time.monotonic() + timeout
        while needle not in self.output[start:]:
            left = end - time.monotonic()
            if left <= 0 or self.proc.poll() is not None and not self._readable():
                raise AssertionError("timed out waiting for %r; output tail: %r" % (needle, self.output[-600:]))
            self.pump(min(left, 0.2))
        return self.output.index(needle, start)

    def _readable(self):
        r, _, _ = select.select([self.master], [], [], 0)
        return bool(r)

    def count(self, needle, start=0):
        if isinstance(needle, str):
            needle = needle.encode()
        return self.output[start:].count(needle)

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

    def stderr(self):
        return self.proc.stderr.read() if self.proc.poll() is not None else b""

    def close(self):
        if self.proc.poll() is None:
            # The whole board goes: signals stay inside its namespace.
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait(10)
        try:
            os.close(self.master)
        except OSError:
            pass
        if self.proc.stderr:
            self.proc.stderr.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class BoardTest(unittest.TestCase):
    """Base class: a fresh board per test, removed afterwards."""

    model = "42"

    def setUp(self):
        self.board = Board(self.model)

    def tearDown(self):
        self.board.close()


STANDIN = os.path.join(HERE, "standin_daemon.py")


def standin_args(board, dumps, extra=""):
    """Feeds the stand-in daemon: dumps is a list of {file name: text}
    (str, or bytes written as they are)."""
    feed = os.path.join(board.stage, "feed")
    os.makedirs(feed, exist_ok=True)
    for i, files in enumerate(dumps):
        folder = os.path.join(feed, "%04d" % (i + 1))
        os.makedirs(folder)
        for name, text in files.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(text if isinstance(text, bytes) else text.encode())
    board.daemon_log = os.path.join(board.stage, "daemon.log")
    board.daemon = STANDIN
    return "--feed %s --log %s %s" % (feed, board.daemon_log, extra)


def daemon_log(board):
    try:
        with open(board.daemon_log) as f:
            return f.read().splitlines()
    except OSError:
        return []


def global_dump_42(count):
    """A switch-wide dump of the 42-port module with one shared count."""
    return {"sw_global_info.1": "MMU_THDM_DB_POOL_SHARED_COUNT.mmu0: COUNT=0x%x\n"
                                "THDI_BUFFER_CELL_LIMIT_SP.ipipe0: LIMIT=0x7000\n" % count}


def summary_line(count, peak, limit):
    return "Total Shared Count: %04x, Max: %04x Limit: %04x \n" % (count, peak, limit)

#!/usr/bin/env python3
"""A minimal switch daemon for the exchange tests, run inside a fake board.

On each SIGUSR1 it writes the next dump set of the feed folder (sub-folders
in name order, each holding any of the three dump files) and then the
completion marker, and logs the signal and the set it answered.

Special entries of a dump set, for fault tests:
  NAME.fifo      a FIFO called NAME instead of a file
  NAME.dir       a directory called NAME
  NAME.symlink   a symbolic link called NAME to the path the entry holds
  NAME.chardev   a character device called NAME, numbers "MAJOR MINOR" as held
  NAME.gone      the file NAME, removed again right after the marker
  NOMARKER       the files of this set without the completion marker

With --gate PATH a signal is answered only once PATH exists, which is then
removed: one dump per opening of the gate, so a test decides when the next
dump appears."""

import argparse
import os
import shutil
import signal
import stat
import sys
import time

MARKER = "/tmp/swfabric_se_dump_complete"
PIDFILE = "/var/run/swfabric_se_dump.pid"
SPECIAL = (".fifo", ".dir", ".symlink", ".chardev", ".gone")


def write_set(folder, mtime_ns):
    """Writes a dump set; whether a marker is due, and the files to remove after it."""
    names = sorted(os.listdir(folder))
    gone = []
    for name in names:
        base, ext = os.path.splitext(name)
        if ext not in SPECIAL:
            base, ext = name, ""
        dst = "/tmp/" + base
        if name == "NOMARKER":
            continue
        if os.path.isdir(dst) and not os.path.islink(dst):
            shutil.rmtree(dst)  # a directory the monitor could not remove
        elif os.path.lexists(dst) and ext in (".symlink", ".chardev"):
            os.unlink(dst)
        with open(os.path.join(folder, name), "rb") as f:
            data = f.read()
        if ext == ".fifo":
            os.mkfifo(dst)
        elif ext == ".dir":
            os.makedirs(dst)
        elif ext == ".symlink":
            os.symlink(data.decode().strip(), dst)
        elif ext == ".chardev":
            major, minor = (int(n) for n in data.split())
            os.mknod(dst, 0o644 | stat.S_IFCHR, os.makedev(major, minor))
        else:
            with open(dst + ".part", "wb") as f:
                f.write(data)
            if mtime_ns is not None:
                os.utime(dst + ".part", ns=(mtime_ns, mtime_ns))
            os.rename(dst + ".part", dst)
            if ext == ".gone":
                gone.append(dst)
    return "NOMARKER" not in names, gone


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--feed", required=True)
    ap.add_argument("--log", required=True)
    ap.add_argument("--pidfile-text", default=None, help="write this instead of the real pid")
    ap.add_argument("--mtime", type=int, default=None, help="SEC: give every dump file this second, ns = dump number")
    ap.add_argument("--gate", default=None, help="answer a signal only once this file exists, then remove it")
    args = ap.parse_args()

    sets = sorted(os.listdir(args.feed))
    pending = []
    signal.signal(signal.SIGUSR1, lambda s, f: pending.append(s))
    signal.signal(signal.SIGTERM, lambda s, f: sys.exit(0))
    with open(PIDFILE + ".new", "w") as f:
        f.write(args.pidfile_text if args.pidfile_text is not None else "%d\n" % os.getpid())
    os.rename(PIDFILE + ".new", PIDFILE)

    log = open(args.log, "a", buffering=1)
    log.write("started %d\n" % os.getpid())
    taken = 0
    while True:
        while not pending:
            time.sleep(0.02)
        taken += 1
        log.write("signal received %d\n" % taken)
        while args.gate is not None and not os.path.exists(args.gate):
            time.sleep(0.01)
        if args.gate is not None:
            os.unlink(args.gate)
        pending.pop()
        if taken > len(sets):
            log.write("signal unanswered\n")
            continue
        mtime_ns = None if args.mtime is None else args.mtime * 10**9 + taken
        marker, gone = write_set(os.path.join(args.feed, sets[taken - 1]), mtime_ns)
        if marker:
            open(MARKER, "w").close()
        for path in gone:
            os.unlink(path)
        log.write("signal answered %s\n" % sets[taken - 1])


if __name__ == "__main__":
    main()

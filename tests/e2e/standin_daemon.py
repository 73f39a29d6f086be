#!/usr/bin/env python3
"""A minimal switch daemon for the exchange tests, run inside a fake board.

On each SIGUSR1 it writes the next dump set of the feed folder (sub-folders
in name order, each holding any of the three dump files) and then the
completion marker. Every signal received is logged with the dump it answered.

Special entries of a dump set, for fault tests:
  NAME.fifo      a FIFO called NAME instead of a file
  NAME.dir       a directory called NAME
  NAME.symlink   a symbolic link called NAME to the path the entry holds
  NAME.chardev   a character device called NAME, numbers "MAJOR MINOR" as held
  NAME.gone      the file NAME, removed again right after the marker
  NOMARKER       the files of this set without the completion marker
A directory left at a dump path (the monitor cannot remove one) is replaced.

With --gate PATH a signal is answered only once PATH exists, which is then
removed: one dump per opening of the gate, so a test decides when the next
dump appears. Each signal is then also logged when it is received."""

import argparse
import os
import shutil
import signal
import stat
import sys
import time

DUMP_FILES = ("sw_global_info.1", "port_info.1", "pg_info.1")
MARKER = "/tmp/swfabric_se_dump_complete"
PIDFILE = "/var/run/swfabric_se_dump.pid"
SPECIAL = (".fifo", ".dir", ".symlink", ".chardev", ".gone")


def clear(path):
    """Makes way for a new entry at path: a directory the monitor left."""
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)


def write_set(folder, mtime, answered):
    names = sorted(os.listdir(folder))
    gone = []
    for name in names:
        src = os.path.join(folder, name)
        if name == "NOMARKER":
            continue
        base, ext = os.path.splitext(name)
        if ext not in SPECIAL:
            base, ext = name, ""
        dst = "/tmp/" + base
        clear(dst)
        if ext == ".fifo":
            os.mkfifo(dst)
            continue
        if ext == ".dir":
            os.makedirs(dst, exist_ok=True)
            continue
        with open(src, "rb") as f:
            data = f.read()
        if ext in (".symlink", ".chardev"):
            if os.path.lexists(dst):
                os.unlink(dst)
            if ext == ".symlink":
                os.symlink(data.decode().strip(), dst)
            else:
                major, minor = (int(n) for n in data.split())
                os.mknod(dst, 0o644 | stat.S_IFCHR, os.makedev(major, minor))
            continue
        with open(dst + ".part", "wb") as f:
            f.write(data)
        if mtime is not None:
            os.utime(dst + ".part", ns=(int(mtime) * 10**9 + answered, int(mtime) * 10**9 + answered))
        os.rename(dst + ".part", dst)
        if ext == ".gone":
            gone.append(dst)
    return "NOMARKER" not in names, gone


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--feed", required=True)
    ap.add_argument("--log", required=True)
    ap.add_argument("--pidfile-text", default=None, help="write this instead of the real pid")
    ap.add_argument("--mtime", default=None, help="SEC: give every dump file this second, ns = dump number")
    ap.add_argument("--no-marker", action="store_true")
    ap.add_argument("--gate", default=None, help="answer a signal only once this file exists, then remove it")
    args = ap.parse_args()

    sets = sorted(os.listdir(args.feed))
    pending = []
    signal.signal(signal.SIGUSR1, lambda s, f: pending.append(s))
    signal.signal(signal.SIGTERM, lambda s, f: sys.exit(0))
    with open(PIDFILE + ".new", "w") as f:
        f.write(args.pidfile_text if args.pidfile_text is not None else "%d\n" % os.getpid())
    os.rename(PIDFILE + ".new", PIDFILE)

    answered = 0
    taken = 0     # signals dealt with
    logged = 0    # signals logged as received (gate mode)
    log = open(args.log, "a", buffering=1)
    log.write("started %d\n" % os.getpid())
    while True:
        if not pending:
            time.sleep(0.02)
            continue
        if args.gate is not None:
            if logged == taken:
                logged += 1
                log.write("signal received %d\n" % logged)
            if not os.path.exists(args.gate):
                time.sleep(0.01)
                continue
            os.unlink(args.gate)
        pending.pop()
        taken += 1
        if answered >= len(sets):
            log.write("signal unanswered\n")
            continue
        folder = os.path.join(args.feed, sets[answered])
        answered += 1
        marker, gone = write_set(folder, args.mtime, answered)
        if marker and not args.no_marker:
            open(MARKER, "w").close()
        for path in gone:
            os.unlink(path)
        log.write("signal answered %s\n" % sets[answered - 1])


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""A minimal switch daemon for the exchange tests, run inside a fake board.

On each SIGUSR1 it writes the next dump set of the feed folder (sub-folders
in name order, each holding any of the three dump files; a file named
NAME.fifo becomes a FIFO called NAME) and then the completion marker. Every
signal received is logged with the dump it answered."""

import argparse
import os
import signal
import sys
import time

DUMP_FILES = ("sw_global_info.1", "port_info.1", "pg_info.1")
MARKER = "/tmp/swfabric_se_dump_complete"
PIDFILE = "/var/run/swfabric_se_dump.pid"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--feed", required=True)
    ap.add_argument("--log", required=True)
    ap.add_argument("--pidfile-text", default=None, help="write this instead of the real pid")
    ap.add_argument("--mtime", default=None, help="SEC: give every dump file this second, ns = dump number")
    ap.add_argument("--no-marker", action="store_true")
    args = ap.parse_args()

    sets = sorted(os.listdir(args.feed))
    pending = []
    signal.signal(signal.SIGUSR1, lambda s, f: pending.append(s))
    signal.signal(signal.SIGTERM, lambda s, f: sys.exit(0))
    with open(PIDFILE + ".new", "w") as f:
        f.write(args.pidfile_text if args.pidfile_text is not None else "%d\n" % os.getpid())
    os.rename(PIDFILE + ".new", PIDFILE)

    answered = 0
    log = open(args.log, "a", buffering=1)
    log.write("started %d\n" % os.getpid())
    while True:
        if not pending:
            time.sleep(0.02)
            continue
        pending.pop()
        if answered >= len(sets):
            log.write("signal unanswered\n")
            continue
        folder = os.path.join(args.feed, sets[answered])
        answered += 1
        for name in sorted(os.listdir(folder)):
            src = os.path.join(folder, name)
            if name.endswith(".fifo"):
                os.mkfifo("/tmp/" + name[:-5])
                continue
            dst = "/tmp/" + name
            with open(src, "rb") as f:
                data = f.read()
            with open(dst + ".part", "wb") as f:
                f.write(data)
            if args.mtime is not None:
                os.utime(dst + ".part", ns=(int(args.mtime) * 10**9 + answered, int(args.mtime) * 10**9 + answered))
            os.rename(dst + ".part", dst)
        if not args.no_marker:
            open(MARKER, "w").close()
        log.write("signal answered %s\n" % sets[answered - 1])


if __name__ == "__main__":
    main()

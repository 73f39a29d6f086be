#!/usr/bin/env python3
"""A minimal switch daemon for the end-to-end tests, on a fake board: standin_daemon.py FEED LOG MTIME [late]. Writes
its pid file, logs each SIGUSR1 ("signal") and answers it with the next dump set of FEED if any (its folders in name
order): each file renamed into place, or written in place and stamped with MTIME unless it is "-", then the marker
("answered N"). A set
holding RESTART gets no marker, as from a daemon that dies mid-dump: a new process takes over and writes the pid file
anew. late: as at boot, the pid file is written 2 s before SIGUSR1 is taken (until then the signal would end it)."""

import os
import signal
import sys
import time

feed, mtime, late = sys.argv[1], [m for m in sys.argv[3:4] if m != "-"], sys.argv[4:] == ["late"]
sets, log, answered = sorted(os.listdir(feed)), open(sys.argv[2], "a", buffering=1), 0


def started():
    with open("/var/run/swfabric_se_dump.pid.new", "w") as f:
        f.write("%d\n" % os.getpid())
    os.rename("/var/run/swfabric_se_dump.pid.new", "/var/run/swfabric_se_dump.pid")
    log.write("started %d\n" % os.getpid())


def take_signals():
    signal.signal(signal.SIGUSR1, print)  # never run (sigwait takes it), but shows SIGUSR1 caught in /proc/PID/status
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1, signal.SIGTERM})


if not late:
    take_signals()
started()
if late:
    time.sleep(2)
    take_signals()
while signal.sigwait({signal.SIGUSR1, signal.SIGTERM}) == signal.SIGUSR1:
    log.write("signal\n")
    answered += 1
    if answered > len(sets):
        continue
    folder = os.path.join(feed, sets[answered - 1])
    for name in os.listdir(folder):
        # Renamed into place; written in place by a daemon without a clock, which stamps every file with MTIME.
        part = "/tmp/" + name if mtime else "/tmp/.part"
        with open(os.path.join(folder, name), "rb") as src, open(part, "wb") as dst:
            dst.write(src.read())
        if mtime:
            os.utime(part, (int(mtime[0]),) * 2)
        os.rename(part, "/tmp/" + name)
    if "RESTART" not in os.listdir(folder):
        try:
            open("/tmp/swfabric_se_dump_complete", "w").close()
            log.write("answered %d\n" % answered)
        except OSError as e:
            log.write("no marker: %s\n" % e)
    elif os.fork():
        os._exit(0)
    else:
        started()

#!/usr/bin/env python3
"""Counts what one refresh cycle of the real monitor costs: the monitor runs
under strace on a fake board beside swfabric-sim; keys (plain Enter) make
the loop pass at once, so each dump is consumed as soon as it is complete.
Prints: cycles, system calls per cycle, child processes started.

    cycle_probe.py MONITOR SIM [--model 42] [--cycles 200]"""

import argparse
import os
import re
import shutil
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import boardlib  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("monitor")
    ap.add_argument("sim")
    ap.add_argument("--model", default="42")
    ap.add_argument("--cycles", type=int, default=200)
    args = ap.parse_args()

    boardlib.SIM = os.path.abspath(args.sim)
    with boardlib.Board(args.model) as board:
        board.daemon = boardlib.SIM
        monitor = shutil.copy(args.monitor, board.path("cellscope", ""))
        truth, strace_out = board.path("truth", ""), board.path("strace.txt", "")
        sim = "--model %s --scenario steady --truth %s" % (args.model, truth)
        cmd = board.command(["-f", "-c", "-o", strace_out, monitor], sim=sim, program=shutil.which("strace"))
        session = boardlib.PtySession(cmd)
        board.sessions.append(session)
        start = time.monotonic()

        def dumps():
            try:
                with open(truth) as f:
                    return sum(1 for line in f if line.startswith("dump "))
            except OSError:
                return 0

        while dumps() < args.cycles + 1 and time.monotonic() - start < 300:
            if session.proc.poll() is not None:
                sys.exit("cycle_probe: the board ended early: %r" % session.stderr()[-500:])
            os.write(session.master, b"\n")
            session.pump(0.01)
        rc = session.quit()
        # Every dump but the last requested one was consumed.
        cycles = dumps() - 1
        with open(strace_out) as f:
            text = f.read()
        counts = {m.group(2): int(m.group(1)) for m in
                  re.finditer(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?(\w+)\s*$", text, re.M)}
        total = counts.get("total", 0)
        # The one execve is strace starting the monitor itself.
        children = sum(counts.get(n, 0) for n in ("clone", "clone3", "fork", "vfork")) + counts.get("execve", 1) - 1
        print("cycles %d syscalls %d syscalls_per_cycle %.1f child_processes %d exit %d" %
              (cycles, total, total / max(cycles, 1), children, rc))
        print(text, file=sys.stderr)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""How many dumps exporters sharing one daemon cause: share_probe.py FAKEBOARD CELLSCOPE EXPORTER SIM [SCRAPES].

For 1, 2 and 5 exporter loops, without and with a monitor on the same fake board, runs SCRAPES scrapes (100) in all
against the stand-in daemon, ten a second together (a loop pauses between its runs), and prints one line each:
  loops N monitor 0|1 scrapes S dumps D seconds T scrape_ms M
where D is what the daemon wrote meanwhile (its truth file) and M the mean wall time of one exporter run."""

import os
import shutil
import subprocess
import sys
import tempfile

fakeboard, monitor, exporter, sim = sys.argv[1:5]
scrapes = int(sys.argv[5]) if len(sys.argv) > 5 else 100


def dumps(truth):
    with open(truth) as f:
        return sum(1 for line in f if line.startswith("end "))


for with_monitor in (0, 1):
    for loops in (1, 2, 5):
        stage = tempfile.mkdtemp(prefix="cellscope-share.", dir="/var/tmp")
        try:
            copy, times = shutil.copy(exporter, stage), os.path.join(stage, "times")
            each = scrapes // loops
            # The monitor reads no keys (its input is at its end) and passes every 3 s; it is given a second to start.
            script = ('"$@" </dev/null >/dev/null 2>&1 & sleep 1\n' if with_monitor else "") + "".join(
                "(for i in $(seq %d); do s=$(date +%%s%%N); %s >/dev/null 2>&1; e=$(date +%%s%%N); "
                "echo $((e - s)) >>%s.%d; sleep %.1f; done) & loops=\"$loops $!\"\n" % (each, copy, times, n, loops / 10)
                for n in range(loops)) + 'wait $loops; echo "$(date +%%s%%N)" >%s.end\n' % times
            truth = os.path.join(stage, "truth.log")
            start = subprocess.run(["date", "+%s%N"], capture_output=True, text=True).stdout
            subprocess.run([fakeboard, "--model", "42", "--sim", "--model 42 --scenario steady --truth " + truth,
                            "--sim-bin", sim, "--", "/bin/sh", "-c", script, "sh", monitor],
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True, timeout=600)
            runs = [int(t) for n in range(loops) for t in open("%s.%d" % (times, n)).read().split()]
            seconds = (int(open(times + ".end").read()) - int(start)) / 1e9 - with_monitor
            print("loops %d monitor %d scrapes %d dumps %d seconds %.1f scrape_ms %.1f" % (
                loops, with_monitor, len(runs), dumps(truth), seconds, sum(runs) / len(runs) / 1e6), flush=True)
        finally:
            shutil.rmtree(stage, ignore_errors=True)

#!/usr/bin/env python3
"""Two builds' 120 s default-world runs, taking turns, as paired differences.

On a shared machine the time of one run moves by a millisecond or more from
minute to minute; a change of a tenth of that shows only in the difference
between two runs made one right after the other. Each round runs both builds
(in alternating order, so that neither always comes second) and the median of
the rounds' differences is the figure to quote. An A/A comparison (the same
build twice) shows what the order and the machine alone make of it.

    python3 bench/paired_runs.py BUILD_A BUILD_B [ROUNDS] [--robot | --alone]

Without a flag, each run is line-sim with every file it writes (files in
/dev/shm); --robot runs the controller on the simulated robot writing its
files, --alone the controller with no files.
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

args = [a for a in sys.argv[1:] if not a.startswith("--")]
mode = next((a for a in sys.argv[1:] if a in ("--robot", "--alone")), "")
a, b = (os.path.abspath(x) for x in args[:2])
rounds = int(args[2]) if len(args) > 2 else 150
scratch = tempfile.mkdtemp(dir="/dev/shm")
world = f"{scratch}/world.toml"
subprocess.run([f"{a}/bin/line-sim", "--duration", "120", "-q", "-o", f"{scratch}/first"], check=True,
               stdout=subprocess.DEVNULL)
shutil.copy(f"{scratch}/first/oval/world.toml", world)


def run(build):
    out = f"{scratch}/out"
    shutil.rmtree(out, ignore_errors=True)
    env = {k: v for k, v in os.environ.items() if not k.startswith("LINE_SIM_")}
    if mode:
        os.mkdir(out)
        env.update(LINE_SIM_WORLD=world, LD_LIBRARY_PATH=f"{build}/lib")
        if mode == "--robot":
            env["LINE_SIM_OUTPUT"] = out
        command = [f"{build}/bin/line_follower"]
    else:
        command = [f"{build}/bin/line-sim", "--duration", "120", "-q", "-o", out]
    began = time.perf_counter()
    subprocess.run(command, check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return 1000 * (time.perf_counter() - began)


times_a, times_b = [], []
try:
    for i in range(rounds + 5):
        if i % 2 == 0:
            pair = (run(a), run(b))
        else:
            later_b, later_a = run(b), run(a)
            pair = (later_a, later_b)
        if i >= 5:  # the first rounds warm the caches
            times_a.append(pair[0])
            times_b.append(pair[1])
finally:
    shutil.rmtree(scratch, ignore_errors=True)
differences = [y - x for x, y in zip(times_a, times_b)]
print(f"{rounds} rounds {mode or 'line-sim'}: A {statistics.median(times_a):.2f} ms, B {statistics.median(times_b):.2f} ms, "
      f"median of B - A {statistics.median(differences):+.3f} ms")

#!/usr/bin/env bash
# A whole line-sim run against the controller alone, both as whole processes:
# 120 s of the default world through line-sim, every file it writes included
# (trace, frames, snapshots, summary, trajectory, replay, results, index),
# against line_follower on that world with no output folder (LINE_SIM_WORLD
# set, LINE_SIM_OUTPUT unset). The two take turns, many rounds, so that the
# shared machine's moods fall on both alike; the ratio is what to quote. For
# where the time goes, the controller writing the robot's files (LINE_SIM_OUTPUT
# set) takes its turn too.
#
# The files go to a fresh folder under $TMPDIR (/tmp by default). Where that
# is a disk without a journal, creating files slows down the more were
# deleted in the last minutes, as this loop does hundreds of times; with
# TMPDIR=/dev/shm the figure is line-sim's own.
#
#   bash bench/whole_run.sh [BUILD_DIR] [ROUNDS]     (default: build/bench, 200)
set -euo pipefail
build=$(cd "${1:-build/bench}" && pwd)
rounds=${2:-200}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
python3 - "$build" "$rounds" "$out" <<'PY'
import os, shutil, statistics, subprocess, sys, time
build, rounds, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
line_sim = [f"{build}/bin/line-sim", "--duration", "120", "-q", "-o", f"{out}/runs"]
subprocess.run(line_sim, check=True, stdout=subprocess.DEVNULL)
world = f"{out}/world.toml"  # the world as line-sim ran it
shutil.copy(f"{out}/runs/oval/world.toml", world)
alone_env = {k: v for k, v in os.environ.items() if not k.startswith("LINE_SIM_")}
alone_env["LINE_SIM_WORLD"] = world
# The build's own robot library, whatever line_follower's run path says (it
# names the build tree it was linked in, which a copied build is not).
alone_env["LD_LIBRARY_PATH"] = f"{build}/lib"

def timed(command, env=None):
    began = time.perf_counter()
    subprocess.run(command, check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - began

files_env = dict(alone_env, LINE_SIM_OUTPUT=f"{out}/robot")

sim, alone, robot = [], [], []
for i in range(rounds + 5):
    shutil.rmtree(f"{out}/runs", ignore_errors=True)  # a fresh folder each time, as a person's
    shutil.rmtree(f"{out}/robot", ignore_errors=True)
    os.mkdir(f"{out}/robot")
    a = timed(line_sim)
    b = timed([f"{build}/bin/line_follower"], alone_env)
    c = timed([f"{build}/bin/line_follower"], files_env)
    if i >= 5:  # the first rounds warm the caches
        sim.append(a)
        alone.append(b)
        robot.append(c)
ratios = [a / b for a, b in zip(sim, alone)]
print(f"{rounds} rounds, taking turns")
print(f"line-sim run     median {1000 * statistics.median(sim):.2f} ms, mean {1000 * statistics.mean(sim):.2f} ms")
print(f"controller alone median {1000 * statistics.median(alone):.2f} ms, mean {1000 * statistics.mean(alone):.2f} ms")
print(f"with robot files median {1000 * statistics.median(robot):.2f} ms (the controller writing trace, frames, snapshots)")
print(f"ratio of medians {statistics.median(sim) / statistics.median(alone):.2f}, median of round ratios {statistics.median(ratios):.2f}")
PY

#!/usr/bin/env bash
# Runs README.md's Slurm recipe (a job array of shards, then the merge as a job
# that depends on it) on a one-node cluster of the test's own, and checks that
# the merged shards hold the results of one unsharded call.
#   slurm_recipe_test.sh README.md LINE_SIM WORK_DIR
# The cluster (munged, slurmctld, slurmd) runs as root, on free ports of
# 127.0.0.1, with every file of its own under a temporary folder; whatever
# way the test ends, it stops every daemon and job it started.
set -euo pipefail
readme=$1 line_sim=$(realpath "$2") work=$(realpath -m "$3")
source "$(dirname "$0")/recipes.sh"

[ "$(id -u)" = 0 ] || skip "a Slurm cluster of the test's own needs root (slurmd starts jobs as their user)"
for c in munged slurmctld slurmd sbatch squeue scontrol scancel sinfo; do
  command -v "$c" > /dev/null || skip "$c is missing (scripts/install-packages.sh installs slurm-wlm and munge)"
done
[ -x /usr/bin/python3 ] || skip "/usr/bin/python3 is missing"

fresh_work && mkdir "$work/slurm"
# Short paths: a unix socket's path is at most 107 bytes, whatever the build folder.
cluster=$(mktemp -d /tmp/line-sim-slurm.XXXXXX)
# munged refuses a socket folder that others cannot read.
chmod 755 "$cluster"
mkdir "$cluster/state" "$cluster/spool"
# sbatch hands the jobs this environment: line-sim on PATH, as README.md says.
export PATH=$(dirname "$line_sim"):$PATH
# [s] how long the jobs may take before the test gives up on them
job_timeout=60
# The daemons and the jobs carry this in their environment, so that the test
# finds any it would leave behind; slurmstepd and slurmscriptd do not, but
# write into the logs of $work.
export LINE_SIM_SLURM_TEST=$cluster

pids_of_cluster() {
  local p
  for p in /proc/[0-9]*; do
    case $(cat "$p/comm" 2> /dev/null) in
      munged | slurmctld | slurmd | slurmscriptd | slurmstepd | slurm_script | line-sim | line_follower) ;;
      *) continue ;;
    esac
    { tr '\0' '\n' < "$p/environ" | grep -qxF "LINE_SIM_SLURM_TEST=$cluster" ||
      find "$p/fd" -mindepth 1 -lname "$work/*" -print -quit | grep -q .; } 2> /dev/null && echo "${p#/proc/}"
  done
  return 0
}

# [s] waits up to $1 for command $2... to succeed
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.2
  done
}

gone() {
  local pid
  for pid; do ! kill -0 "$pid" 2> /dev/null || return 1; done
}
no_jobs() { [ -z "$(squeue -h -o %i 2> /dev/null)" ]; }

daemons=()
stop_cluster() {
  local status=$? left
  trap - EXIT
  set +e
  if ((${#daemons[@]})); then
    scancel --quiet --user=root 2> /dev/null
    wait_for 10 no_jobs
    kill -TERM "${daemons[@]}" 2> /dev/null
    wait_for 10 gone "${daemons[@]}" || kill -KILL "${daemons[@]}" 2> /dev/null
    wait "${daemons[@]}" 2> /dev/null
  fi
  left=$(pids_of_cluster)
  if [ -n "$left" ]; then
    echo "FAILED: processes of the test's cluster were left running, now killed:" >&2
    ps -o pid,comm,args -p "$(echo $left | tr ' ' ,)" >&2
    kill -KILL $left 2> /dev/null
    status=1
  fi
  if ((status != 0)); then
    for log in "$work"/*.log "$work"/slurm/slurm-*.out; do
      [ -f "$log" ] && { echo "--- $log"; tail -n 15 "$log"; }
    done
  fi
  rm -rf "$cluster"
  exit "$status"
}
trap stop_cluster EXIT
trap 'exit 1' INT TERM HUP

# Two ports of 127.0.0.1 that nothing listens on now.
read -r ctld_port slurmd_port < <(/usr/bin/python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*(x.getsockname()[1] for x in s))')
node=$(hostname -s)

dd if=/dev/urandom of="$cluster/munge.key" bs=1024 count=1 status=none
chmod 400 "$cluster/munge.key"
munged --foreground --force --socket="$cluster/munge.socket" --key-file="$cluster/munge.key" \
  --pid-file="$cluster/munged.pid" --seed-file="$cluster/munged.seed" > "$work/munged.log" 2>&1 &
daemons+=($!)

export SLURM_CONF=$cluster/slurm.conf
cat > "$SLURM_CONF" << EOF
ClusterName=linesimtest
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$cluster/munge.socket
StateSaveLocation=$cluster/state
SlurmdSpoolDir=$cluster/spool
SlurmctldPidFile=$cluster/slurmctld.pid
SlurmdPidFile=$cluster/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
# No systemd and no cgroups here: processes tracked by their parents, no task binding.
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerType=sched/builtin
# Batch jobs start at once rather than after the usual few seconds' gathering.
SchedulerParameters=batch_sched_delay=0
# A merge whose shards failed is cancelled, not left waiting for ever.
DependencyParameters=kill_invalid_depend
ReturnToService=2
# No mail is sent from here.
MailProg=/bin/true
NodeName=$node NodeAddr=127.0.0.1 CPUs=$(nproc) State=UNKNOWN
PartitionName=test Nodes=$node Default=YES MaxTime=10 State=UP
EOF

slurmctld -D -i > "$work/slurmctld.out" 2>&1 &
daemons+=($!)
slurmd -D -N "$node" > "$work/slurmd.out" 2>&1 &
daemons+=($!)
node_idle() { [ "$(sinfo -h -n "$node" -o %T 2> /dev/null)" = idle ]; }
wait_for 30 node_idle || fail "the node $node did not become idle (see slurmctld.log and slurmd.log)"

recipe=$(test_recipe slurm '--array=1-8' '--array=1-3')
run_recipe "$work/slurm" "$recipe" || fail "the Slurm recipe failed"
wait_for "$job_timeout" no_jobs || fail "the jobs had not ended after $job_timeout s: $(squeue -h -o '%i %T %r')"
# The 3 tasks of the array and the merge, each ended well.
states=$(scontrol -o show job | grep -o 'JobState=[A-Z_]*' | sort | uniq -c | sed 's/^ *//')
[ "$states" = "4 JobState=COMPLETED" ] || fail "the jobs ended as: $(echo $states)"

check_against_unsharded "$work/slurm/sweep"
echo "1 passed, 0 failed"

#!/usr/bin/env bash
# make test-cluster: the cluster helpers on a real Slurm. As root, it starts a one-node Slurm of
# its own (munged, slurmctld, slurmd), with its configuration, munge key, sockets, state and
# logs in a temporary folder and all its traffic on 127.0.0.1 whatever the host name resolves
# to, on ports it finds free. Then:
#   1. a search of 300 letters in 4 tasks, its final fit as a dependent job: the model is
#      zelmor_train's bit for bit; so is the one read again from the folder alone, and the one
#      fitted again on this machine;
#   2. Ctrl-C in zelmor_collect at an interactive octave-cli under tmux, while the job is held:
#      the prompt comes back with nothing assigned, every task is still in the queue, and once
#      the job is released a new zelmor_collect returns zelmor_train's model;
#   3. a search of 800 letters whose task 2 is killed (SIGKILL) once it has written its first
#      unit: the report names the task, its state, its missing units and its log; resubmitted,
#      the task runs only the missing units, and the model is zelmor_train's.
# Afterwards it cancels what is left, stops every daemon by its process id and fails if any
# process of its cluster (daemon, step daemon or task) remains. Slurm and munge come from
# Debian's packages, installed when missing (as cmake/apt-install.sh does).
#   usage: tests/cluster/test-cluster.sh MEX_DIR      (as root; make test-cluster)
#   ZELMOR_CLUSTER_KEEP=1 keeps the temporary folder.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
mexdir=$(cd "${1:?usage: test-cluster.sh MEX_DIR}" && pwd)

say() { printf '== %s\n' "$*"; }
fail() { echo "FAILED: $*" >&2; exit 1; }

if [ "$(id -u)" -ne 0 ]; then
    echo "make test-cluster needs root: it starts slurmctld, slurmd and munged of its own." >&2
    exit 1
fi
missing=()
command -v slurmctld >/dev/null 2>&1 || missing+=(slurmctld)
command -v slurmd >/dev/null 2>&1 || missing+=(slurmd)
command -v sbatch >/dev/null 2>&1 || missing+=(slurm-client)
command -v munged >/dev/null 2>&1 || missing+=(munge)
[ ${#missing[@]} -eq 0 ] || bash "$repo/cmake/apt-install.sh" "the cluster test's Slurm and munge" "${missing[@]}"
command -v tmux >/dev/null 2>&1 || fail "tmux is needed (make deps installs it)"

work=$(mktemp -d /tmp/zelmor-cluster.XXXXXX)
chmod 755 "$work"
name=$(hostname)
conf=$work/slurm.conf
# Every process of this cluster carries this in its environment: the daemons, the step daemons
# they start and, through sbatch, the tasks. The check at the end looks for it.
marker=ZELMOR_TEST_CLUSTER=$work
declare -A daemon

tmuxc() { tmux -S "$work/tmux" -f /dev/null "$@"; }

# A process of this cluster, by the marker in its environment; not this script's.
leftovers() {
    local proc pid
    for proc in /proc/[0-9]*; do
        pid=${proc#/proc/}
        [ "$pid" = $$ ] && continue
        grep -qxzF "$marker" "$proc/environ" 2>/dev/null && echo "$pid"
    done
    return 0
}

stop_pid() {  # stop_pid PID: TERM, up to 20 s, then KILL
    local pid=$1 i
    kill -TERM "$pid" 2>/dev/null || return 0
    for i in $(seq 200); do
        kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null; return 0; }
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
}

cleanup() {
    local status=$? pid left
    set +e
    trap - EXIT INT TERM
    tmuxc kill-server 2>/dev/null
    if [ -n "${daemon[slurmctld]:-}" ] && kill -0 "${daemon[slurmctld]}" 2>/dev/null; then
        SLURM_CONF=$conf scancel --user=root 2>/dev/null
        for _ in $(seq 300); do
            [ -z "$(SLURM_CONF=$conf squeue -h -o %i 2>/dev/null)" ] && break
            sleep 0.1
        done
    fi
    for pid in "${daemon[slurmd]:-}" "${daemon[slurmctld]:-}" "${daemon[munged]:-}"; do
        [ -n "$pid" ] && stop_pid "$pid"
    done
    sleep 0.5
    left=$(leftovers)
    if [ -n "$left" ]; then
        echo "FAILED: processes of the test's cluster are left:" >&2
        for pid in $left; do
            echo "  $pid: $(tr '\0' ' ' < "/proc/$pid/cmdline" 2>/dev/null)" >&2
            kill -KILL "$pid" 2>/dev/null
        done
        status=1
    else
        say "no process of the test's cluster is left"
    fi
    if [ $status -ne 0 ] && [ -d "$work/log" ]; then
        echo "--- the daemons' logs end:" >&2
        tail -n 15 "$work"/log/* "$work"/munge/munged.log >&2 2>/dev/null
    fi
    [ "${ZELMOR_CLUSTER_KEEP:-0}" = 1 ] && say "kept $work" || rm -rf "$work"
    exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Ports that nothing listens on, from /proc (the minimal system has no ss).
port_taken() {
    awk -v port="$(printf '%04X' "$1")" \
        'FNR > 1 { split($2, address, ":"); if (address[2] == port) taken = 1 } END { exit !taken }' \
        /proc/net/tcp /proc/net/tcp6 2>/dev/null
}
pick_ports() {
    local port
    for _ in $(seq 200); do
        port=$((20000 + RANDOM % 40000))
        if ! port_taken "$port" && ! port_taken $((port + 1)); then echo "$port"; return 0; fi
    done
    fail "no free pair of ports"
}

wait_for() {  # wait_for WHAT SECONDS COMMAND...
    local what=$1 limit=$2 start=$SECONDS
    shift 2
    until "$@" >/dev/null 2>&1; do
        (( SECONDS - start < limit )) || fail "$what: not within $limit s"
        sleep 0.2
    done
}

start_daemon() {  # start_daemon NAME COMMAND...: in the foreground of a background job, marked
    local name=$1
    shift
    env "$marker" "$@" > "$work/log/$name.out" 2>&1 &
    daemon[$name]=$!
}

# slurmd sets up its cgroup plugin even with proctrack/linuxproc and task/none, and stops
# without the cgroup filesystem (as in a bare chroot).
mountpoint -q /sys/fs/cgroup || fail "slurmd needs the cgroup filesystem mounted on /sys/fs/cgroup"
say "starting a one-node Slurm for $name on 127.0.0.1 in $work"
mkdir -p "$work/log" "$work/state" "$work/spool" "$work/munge"
# munged refuses a key or a folder that others could write; it runs as the munge user.
chown munge:munge "$work/munge"
dd if=/dev/urandom of="$work/munge/munge.key" bs=1024 count=1 status=none
chown munge:munge "$work/munge/munge.key"
chmod 400 "$work/munge/munge.key"
socket=$work/munge/munge.socket
start_daemon munged setpriv --reuid=munge --regid=munge --clear-groups \
    munged --foreground --socket="$socket" --key-file="$work/munge/munge.key" \
    --pid-file="$work/munge/munged.pid" --log-file="$work/munge/munged.log" --seed-file="$work/munge/munged.seed"
wait_for "munged answering" 30 sh -c "munge -n -S '$socket' | unmunge -S '$socket'"

port=$(pick_ports)
# Memory is a resource the tasks ask for (--mem), and a task that goes over it is killed: the
# step daemon reads its resident memory every second.
memory=$(awk '/^MemTotal:/ { printf "%d", $2 / 1024 * 0.9 }' /proc/meminfo)
: > "$work/plugstack.conf"
cat > "$conf" <<CONF
ClusterName=zelmortest
SlurmctldHost=$name(127.0.0.1)
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$socket
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/log/slurmctld.log
SlurmdLogFile=$work/log/slurmd.log
PlugStackConfig=$work/plugstack.conf
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
MpiDefault=none
SwitchType=switch/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU_Memory
DefMemPerCPU=1024
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/linux
JobAcctGatherFrequency=task=1
JobAcctGatherParams=OverMemoryKill
JobCompType=jobcomp/none
ReturnToService=2
NodeName=$name NodeAddr=127.0.0.1 CPUs=$(nproc) RealMemory=$memory State=UNKNOWN
PartitionName=$name Nodes=$name Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF=$conf
start_daemon slurmctld slurmctld -D -f "$conf"
start_daemon slurmd slurmd -D -f "$conf" -N "$name"
wait_for "the node idle" 60 sh -c "sinfo -h -n '$name' -o %T | grep -qx idle"
say "Slurm is up: slurmctld ${daemon[slurmctld]}, slurmd ${daemon[slurmd]}, munged ${daemon[munged]}, ports $port and $((port + 1))"

octave_step() {  # octave_step ARGUMENTS: cluster_checks(ARGUMENTS) in a fresh octave-cli
    env "$marker" octave-cli -q -f --no-history --no-window-system --eval \
        "addpath('$mexdir', '$repo/tests/helpers', '$here'); cluster_checks($1)"
}
passed=0

say "zelmor_train's models"
octave_step "'expected', '$work'"

say "1. a search in 4 tasks, the final fit as a dependent job"
octave_step "'whole', '$work'"
passed=$((passed + 1))

say "2. Ctrl-C while zelmor_collect waits for a held job"
octave_step "'submit', '$work', 'small', '--hold'"
id=$(cat "$work/small.id")
pane_log=$work/pane.log
pane() { tmuxc capture-pane -p -J -t 0; }
wait_prompt() {
    local start=$SECONDS
    until pane | grep -v '^$' | tail -1 | grep -qE '^octave:[0-9]+> *$'; do
        (( SECONDS - start < 120 )) || { pane >&2; fail "no Octave prompt"; }
        sleep 0.1
    done
}
type_line() { wait_prompt; tmuxc send-keys -t 0 -l "$1"; tmuxc send-keys -t 0 Enter; }
env "$marker" tmux -S "$work/tmux" -f /dev/null new-session -d -x 220 -y 50 -c "$work" \
    octave-cli -q -f --no-history --no-window-system
tmuxc pipe-pane -t 0 -o "cat >> '$pane_log'"
type_line "addpath('$mexdir', '$repo/tests/helpers'); model = zelmor_collect('$work/small', 'Interval', 1)"
wait_for "zelmor_collect waiting for 4 pending tasks" 120 grep -q '0 of 35 units done; 0 tasks running, 4 pending' "$pane_log"
sleep 1
tmuxc send-keys -t 0 C-c
type_line "printf('model assigned: %d\n', exist('model', 'var'))"
wait_for "the prompt after Ctrl-C" 30 grep -q 'model assigned: 0' "$pane_log"
queued=$(squeue -h -j "$id" -r -t PENDING -o %i | wc -l)
[ "$queued" -eq 4 ] || fail "after Ctrl-C, $queued of the job's 4 tasks are still pending"
say "after Ctrl-C: the prompt is back, nothing assigned, the job's 4 tasks still pending"
scontrol release "$id"
type_line "model = zelmor_collect('$work/small', 'Interval', 1, 'Verbose', false); e = load('$work/small-expected.mat'); printf('same bits: %d\n', same_bits(rmfield(model, 'seconds'), rmfield(e.model, 'seconds')))"
wait_for "zelmor_collect after the release" 600 grep -qE 'same bits: [01]' "$pane_log"
grep -q 'same bits: 1' "$pane_log" || { cat "$pane_log" >&2; fail "the model collected after Ctrl-C differs from zelmor_train's"; }
type_line "exit"
say "collected after the release: zelmor_train's model, bit for bit"
passed=$((passed + 1))

say "3. a task killed while it runs, then resubmitted"
octave_step "'submit', '$work', 'large'"
id=$(cat "$work/large.id")
log=$work/large/logs/task-${id}_2.log
wait_for "task 2 writing its first unit" 600 grep -q 'written (1 of' "$log"
pid=$(sed -n 's/.*, process \([0-9]*\),.*/\1/p' "$log" | head -n 1)
kill -KILL "$pid"
say "killed task 2 (job ${id}_2, process $pid) after $(grep -c written "$log") of its units"
wait_for "the other tasks to end" 600 sh -c "[ -z \"\$(squeue -h -j $id -o %i 2>/dev/null)\" ]"
octave_step "'killed', '$work', 'large'"
passed=$((passed + 1))

say "4. a search within a memory limit that its whole kernels would exceed"
# First, that the limit holds: a job that goes over its --mem is killed.
id=$(env "$marker" sbatch --parsable --mem=100M --output="$work/hog.log" \
     --wrap "octave-cli -q -f --no-history --eval 'x = ones(6e7, 1); pause(10)'")
wait_for "the job over its memory to end" 120 sh -c "[ -z \"\$(squeue -h -j $id -o %i 2>/dev/null)\" ]"
grep -q 'exceeded memory limit' "$work/hog.log" \
    || { cat "$work/hog.log" >&2; fail "a job of 480 MB under --mem=100M was not stopped: the limit does not hold"; }
say "a job of 480 MB under --mem=100M was killed: $(grep -m 1 'exceeded memory limit' "$work/hog.log")"
octave_step "'limited', '$work'"
passed=$((passed + 1))

[ -z "$(squeue -h -o %i)" ] || fail "jobs are left in the queue"
say "cluster test: $passed passed, 0 failed"

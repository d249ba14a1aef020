#!/usr/bin/env bash
# Ctrl-C in a real terminal: octave-cli at an interactive prompt inside tmux. For zelmor_c2,
# zelmor_c (warm), zelmor_path, zelmor_crossval and zelmor_train (the last two on threads of
# the engine, and a fit while it makes kernel columns), and zelmor_read_svmlight on a large
# gzip file: start a call that takes seconds, press C-c, and check that the prompt comes back
# within a bound (printing how soon), that the call assigned nothing and the workspace is
# intact, that the solvers then give the bits they gave before the first interrupt, that Octave
# had no child process at any point of the call, and that Octave exits cleanly (under the
# sanitizers: without a report).
#
# usage: ctrl_c_test.sh OCTAVE_CLI MEX_DIR
#   CTRL_C_BOUND (seconds, default 2) bounds the wait for the prompt after an interrupted
#   call; generous, so that a loaded machine does not fail it (they take well under 0.2 s).
set -euo pipefail

octave=$1
mexdir=$2
here=$(cd "$(dirname "$0")" && pwd)
bound=${CTRL_C_BOUND:-2}

command -v tmux >/dev/null || { echo "tmux is needed (make test installs it as root)" >&2; exit 1; }

work=$(mktemp -d)
log=$work/log
tmuxc() { tmux -S "$work/tmux" -f /dev/null "$@"; }
cleanup() {
    tmuxc kill-server 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAILED: $*" >&2
    echo "--- what the terminal showed last ---" >&2
    tmuxc capture-pane -p -J -S -60 -t 0 >&2 || true
    if [[ -n ${octavePid:-} ]]; then
        echo "--- Octave and its children ---" >&2
        ps -o pid,stat,wchan:24,etime,args -p "$octavePid" --ppid "$octavePid" >&2 || true
    fi
    exit 1
}

now() { date +%s%N; }
seconds() { awk -v ns="$1" 'BEGIN { printf "%.3f", ns / 1e9 }'; }

pane() { tmuxc capture-pane -p -J -t 0; }
promptNumber() { pane | grep -o 'octave:[0-9]*>' | tail -1 | tr -dc 0-9; }

# Types a line as a user would, once the prompt waits for it: a line typed ahead, while
# Octave is still busy, can sit unread for seconds. A final ';' would be read by tmux as its
# own separator.
waitForPrompt() {
    local start=$SECONDS
    until pane | grep -v '^$' | tail -1 | grep -qE '^octave:[0-9]+> *$'; do
        (( SECONDS - start < 120 )) || fail "no prompt to type at"
        sleep 0.05
    done
}
typeLine() {
    [[ $1 != *\; ]] || fail "typeLine: no final ';' please: $1"
    waitForPrompt
    tmuxc send-keys -t 0 -l "$1"
    tmuxc send-keys -t 0 Enter
}

# Waits until everything Octave printed matches the pattern.
waitFor() {
    local pattern=$1 limit=$2 start=$SECONDS
    until grep -aqE -- "$pattern" "$log"; do
        (( SECONDS - start < limit )) || fail "nothing matched '$pattern' within $limit s"
        sleep 0.05
    done
}

# Octave runs in the pane, whose shell records its exit status (and outlives every C-c, which
# reaches it too); pipe-pane keeps all Octave prints.
tmuxc new-session -d -x 200 -y 50 -c "$work" \
    sh -c 'trap : INT; "$0" -f --no-history --no-window-system -q; echo $? > "$1"' "$octave" "$work/status"
tmuxc pipe-pane -t 0 -o "cat >> '$log'"
# A failed run ends Octave with SIGHUP: no octave-workspace file, please.
typeLine "sighup_dumps_octave_core(false); addpath('$mexdir', '$here'); mark = 42; s = ctrl_c_checks('setup'); ctrl_c_checks('describe')"
waitFor 'PID-[0-9]+' 600
octavePid=$(grep -aoE 'PID-[0-9]+' "$log" | head -1 | cut -d- -f2)
[[ -n $octavePid ]] || fail "Octave did not say its process id"

# interrupt NAME CALL DELAY BOUND: runs "target = CALL", presses C-c DELAY seconds in.
interrupt() {
    local name=$1 call=$2 delay=$3 limit=$4
    local n
    waitForPrompt
    n=$(promptNumber)
    # try/catch catches errors, never Octave's interrupt.
    typeLine "target = 'untouched'; disp(['SOLVING-' '$name']); try, target = $call; disp(['RAN-TO-END-' '$name']), catch failure, disp(['CAUGHT-' '$name ' failure.message]), end"
    waitFor "SOLVING-$name" 60
    # Octave starts no process of its own during the call: looked for every 50 ms until C-c.
    local until=$(( $(now) + $(awk -v d="$delay" 'BEGIN { printf "%d", d * 1e9 }') ))
    while (( $(now) < until )); do
        local children
        children=$(pgrep -P "$octavePid" -a || true)
        [[ -z $children ]] || fail "$name: Octave started a process during the call: $children"
        sleep 0.05
    done
    tmuxc send-keys -t 0 C-c
    local sent
    sent=$(now)
    until pane | grep -q "octave:$((n + 1))>"; do
        (( $(now) - sent < 300000000000 )) || fail "$name: no prompt within 300 s of C-c"
        sleep 0.01
    done
    local took=$(( $(now) - sent ))
    printf '%-14s C-c %s s into the call: prompt back after %s s (bound %s s)\n' \
        "$name" "$delay" "$(seconds "$took")" "$limit"
    ! grep -aq "RAN-TO-END-$name" "$log" || fail "$name: the call ran to its end despite C-c"
    ! grep -aq "CAUGHT-$name" "$log" || fail "C-c became an error: $(grep -a "CAUGHT-$name" "$log")"
    awk -v took="$took" -v limit="$limit" 'BEGIN { exit !(took / 1e9 <= limit) }' \
        || fail "$name: the prompt came back after $(seconds "$took") s, more than $limit s"
    sleep 0.5
    local left
    left=$(pgrep -P "$octavePid" -a || true)
    [[ -z $left ]] || fail "$name: processes left behind the prompt: $left"
    typeLine "ctrl_c_checks('verify', s, '$name', target, mark)"
    waitFor "VERIFY-(OK|FAILED) $name" 120
    ! grep -aq "VERIFY-FAILED $name" "$log" || fail "$(grep -a "VERIFY-FAILED $name" "$log")"
}

interrupt cold "zelmor_c2(s.G, s.labels, s.beta, s.k)" 1 "$bound"
interrupt warm "zelmor_c(s.G, s.labels, s.beta, s.k, s.tau0)" 1 "$bound"
interrupt path "zelmor_path(s.G, s.labels, [0.1 0.3 1], s.k)" 1 "$bound"
interrupt crossval "zelmor_crossval(s.G, s.labels, [0.1 0.3 1 3 10], 2)" 1 "$bound"
# Early, while the engine computes the squared distances and the first kernels; later, while
# the folds solve on both threads.
train="zelmor_train(s.X, s.labels, 'Gamma', [0.003 0.006], 'C', [1 10 100], 'Folds', 2)"
interrupt train-early "$train" 0.2 "$bound"
interrupt train-late "$train" 2 "$bound"
# While the final fit makes its kernel columns on every thread, one column in its cache.
interrupt columns "zelmor_train(s.wide, s.wideLabels, 'Gamma', 1e-4, 'C', 10, 'CacheSize', 0.02)" 1 "$bound"
# 280 MB of text in under 1 MB of gzip: seconds of reading. yes ends by SIGPIPE, as it must.
(set +o pipefail; yes '1 1:0.5 2:0.25 3:0.125 4:-1' | head -n 10000000) | gzip -1 > "$work/long.txt.gz"
interrupt read "zelmor_read_svmlight('$work/long.txt.gz')" 1 "$bound"

typeLine "exit"
start=$SECONDS
until [[ -s $work/status ]]; do
    (( SECONDS - start < 120 )) || fail "octave-cli did not exit"
    sleep 0.1
done
if grep -aE 'ERROR: (Address|Leak)Sanitizer|runtime error:' "$log"; then
    fail "a sanitizer reported an error (see above)"
fi
status=$(cat "$work/status")
[[ $status == 0 ]] || fail "octave-cli exited with status $status"
echo "ctrl_c_test: passed"

#!/usr/bin/env bash
# The README's promise on a fresh machine: in a minimal Debian 12 root (debootstrap
# --variant=minbase bookworm) with only make installed, a clone of this checkout's HEAD must
# pass `make demo`, then `make test` and `make test-cluster` (which installs Slurm and munge
# and starts a one-node Slurm of its own), run as root. Before that:
#  - run as an unprivileged user, `make`, `make demo` and `make test` must each stop with the
#    install line of what it needs and no more, with nothing installed and nothing built;
#  - with the build's packages alone (installed by the line that `make` printed), a user
#    without root must build the MEX files with `make` in a copy of the clone, install the
#    Octave package from `make package` into their own package folder with `pkg install`, and
#    train with it.
#
# The pristine root is built once and kept as a tarball in ZELMOR_FRESH_CACHE (default
# /var/cache/zelmor-fresh, outside the clone), named after a hash of its recipe: change the
# recipe (RECIPE_VERSION below, the mirror or the host's Debian apt sources) and it is built
# anew. Every run unpacks it into a new folder under /var/tmp, so every run starts from the
# same root; downloaded .deb files are kept beside the tarball to spare the mirror. The folder
# is removed at the end unless ZELMOR_FRESH_KEEP=1.
#
# Mounts: /proc, /sys, /dev, /dev/pts, /dev/shm (and the .deb cache) exist only inside a
# private mount and PID namespace (unshare), are unmounted on every way out, and vanish with
# the namespace even if this script is killed; the host never sees them, so removing the
# folder from the host cannot reach through them into /dev or /sys.
#   usage: tests/fresh/test-fresh.sh     (as root; make test-fresh)
set -euo pipefail

# Raise this when the way the root is made changes.
RECIPE_VERSION=1
SUITE=bookworm
cache_dir=${ZELMOR_FRESH_CACHE:-/var/cache/zelmor-fresh}
repo=$(cd "$(dirname "$0")/../.." && pwd)
self=$repo/tests/fresh/test-fresh.sh
inside_path=/srv/zelmor

say() { printf '== %s\n' "$*"; }

# --- Inside the private namespace (PID 1 there): mount, run one step in the chroot, unmount.

mounts=(proc sys sys/fs/cgroup dev dev/pts dev/shm var/cache/apt/archives)

unmount_all() {
    local root=$1 i
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        if mountpoint -q "$root/${mounts[i]}"; then
            umount -R "$root/${mounts[i]}" 2>/dev/null || umount -l "$root/${mounts[i]}" || true
        fi
    done
}

run_inside() {
    # Global: the EXIT trap runs after this function has returned.
    inside_root=$1
    local root=$1 debs=$2
    shift 2
    trap 'unmount_all "$inside_root"' EXIT
    # PID 1 ignores signals it has no handler for.
    trap 'exit 130' INT TERM
    mount -t proc proc "$root/proc"
    mount -t sysfs sysfs "$root/sys"
    # As on a booted machine: slurmd (make test-cluster) needs the cgroup filesystem.
    mount --rbind /sys/fs/cgroup "$root/sys/fs/cgroup"
    mount --bind /dev "$root/dev"
    mount --bind /dev/pts "$root/dev/pts"
    mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
    mount --bind "$debs" "$root/var/cache/apt/archives"
    local environment=(HOME=/root USER=root LOGNAME=root SHELL=/bin/bash
                       PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
    [ -n "${TERM:-}" ] && environment+=("TERM=$TERM")
    local variable
    for variable in http_proxy https_proxy no_proxy; do
        [ -n "${!variable:-}" ] && environment+=("$variable=${!variable}")
    done
    chroot "$root" /usr/bin/env -i "${environment[@]}" /bin/bash -c "$1"
}

if [ "${1:-}" = "--inside" ]; then
    shift
    run_inside "$@"
    exit
fi

# --- On the host.

if [ "$(id -u)" -ne 0 ]; then
    echo "make test-fresh needs root: it runs debootstrap, chroot and mount." >&2
    exit 1
fi
command -v debootstrap >/dev/null 2>&1 || bash "$repo/cmake/apt-install.sh" "the fresh-machine check's tool" debootstrap
command -v git >/dev/null 2>&1 || bash "$repo/cmake/apt-install.sh" "the fresh-machine check's tool" git
commit=$(git -C "$repo" rev-parse HEAD)

# The host's Debian apt sources for this suite, so that the root reaches the same mirror:
# deb822 stanzas from .sources files and lines from .list files, each kept in its own format.
# Other repositories are left out: their keys are not in a fresh root.
suite_pattern="^$SUITE(-updates|-security|-backports)?\$"
host_deb822_sources() {
    local file
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk -v pattern="$suite_pattern" '
            function flush() {
                if (stanza != "" && binary && enabled != "no" && suites != "") printf "%s\n", stanza
                stanza = ""; binary = 0; suites = ""; enabled = ""
            }
            /^[ \t]*$/ { flush(); next }
            /^#/ { next }
            {
                line = $0
                field = tolower($1)
                if (field == "types:") {
                    for (i = 2; i <= NF; i++) if ($i == "deb") binary = 1
                    line = "Types: deb"
                }
                if (field == "enabled:") enabled = tolower($2)
                if (field == "suites:") {
                    suites = ""
                    for (i = 2; i <= NF; i++) if ($i ~ pattern) suites = suites " " $i
                    line = "Suites:" suites
                }
                stanza = stanza line "\n"
            }
            END { flush() }' "$file"
    done
}
host_list_sources() {
    local file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        awk -v pattern="$suite_pattern" '
            $1 == "deb" {
                i = 2
                if ($i ~ /^\[/) while (i < NF && $i !~ /\]$/) i++
                if ($i ~ /^\[/ || $i ~ /\]$/) i++
                if ($(i + 1) ~ pattern) print
            }' "$file"
    done
}
deb822_sources=$(host_deb822_sources)
list_sources=$(host_list_sources)
if [ -z "$deb822_sources$list_sources" ]; then
    list_sources="deb http://deb.debian.org/debian $SUITE main
deb http://deb.debian.org/debian $SUITE-updates main
deb http://deb.debian.org/debian-security $SUITE-security main"
fi
# debootstrap takes one mirror: the first that serves the suite itself.
mirror=${ZELMOR_FRESH_MIRROR:-$(printf '%s\n%s\n' "$deb822_sources" "$list_sources" | awk -v suite="$SUITE" '
    /^URIs:/ { uri = $2 }
    /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == suite && uri != "") { print uri; exit } }
    $1 == "deb" {
        i = 2
        if ($i ~ /^\[/) while (i < NF && $i !~ /\]$/) i++
        if ($i ~ /^\[/ || $i ~ /\]$/) i++
        if ($(i + 1) == suite) { print $i; exit }
    }')}
mirror=${mirror:-http://deb.debian.org/debian}

key=$(printf '%s\n' "$RECIPE_VERSION" "$SUITE" minbase "$mirror" "$deb822_sources" "$list_sources" |
      sha256sum | cut -c1-16)
tarball=$cache_dir/$SUITE-minbase-$key.tar
debs=$cache_dir/debs
mkdir -p "$cache_dir" "$debs/partial"

# One check at a time per machine: they share the cache and two would crawl on a small machine.
exec 9>"$cache_dir/lock"
if ! flock -n 9; then
    say "waiting for another make test-fresh to finish"
    flock 9
fi

workdirs=()
remove_workdirs() {
    local dir
    for dir in "${workdirs[@]}"; do
        # Nothing may be mounted below a folder about to be removed; none of our mounts is
        # visible here, but a mistake must not cost /dev.
        if awk -v dir="$dir/" 'index($5, dir) == 1 { found = 1 } END { exit !found }' /proc/self/mountinfo; then
            echo "not removing $dir: something is mounted below it" >&2
            continue
        fi
        rm -rf --one-file-system "$dir"
    done
}
trap remove_workdirs EXIT
trap 'exit 130' INT TERM

if [ ! -f "$tarball" ]; then
    say "building the pristine $SUITE root from $mirror (once; kept as $tarball)"
    build=$(mktemp -d /var/tmp/zelmor-fresh-build.XXXXXX)
    workdirs+=("$build")
    # debootstrap mounts /proc and /sys in the root itself: in a private namespace they cannot
    # outlive it.
    unshare --mount --pid --fork --propagation private \
        debootstrap --variant=minbase "$SUITE" "$build/root" "$mirror"
    rm -f "$build/root/etc/apt/sources.list"
    [ -z "$deb822_sources" ] || printf '%s\n' "$deb822_sources" > "$build/root/etc/apt/sources.list.d/host.sources"
    [ -z "$list_sources" ] || printf '%s\n' "$list_sources" > "$build/root/etc/apt/sources.list.d/host.list"
    rm -rf "$build/root/var/lib/apt/lists/"* "$build/root/var/cache/apt/archives/"*.deb
    rm -f "$cache_dir"/"$SUITE"-minbase-*.tar
    tar -C "$build/root" --numeric-owner -cf "$tarball.partial" .
    mv "$tarball.partial" "$tarball"
    remove_workdirs
    workdirs=()
fi

work=$(mktemp -d /var/tmp/zelmor-fresh.XXXXXX)
[ "${ZELMOR_FRESH_KEEP:-0}" = 1 ] || workdirs+=("$work")
root=$work/root
mkdir "$root"
say "unpacking the pristine root into $root"
tar -C "$root" --numeric-owner -xf "$tarball"
# The machine's own settings, which an installed system has: name servers and host names.
rm -f "$root/etc/resolv.conf" "$root/etc/hosts"
cp -L /etc/resolv.conf /etc/hosts "$root/etc/"
if [ -n "$(git -C "$repo" status --porcelain --untracked-files=no)" ]; then
    say "note: uncommitted changes are not part of the check; it tests commit $commit"
fi
git clone --quiet --no-hardlinks --no-checkout "$repo" "$root$inside_path"
git -C "$root$inside_path" cat-file -e "$commit^{commit}" 2>/dev/null ||
    git -C "$root$inside_path" fetch --quiet origin "$commit"
git -C "$root$inside_path" checkout --quiet --detach "$commit"

step() {  # step NAME SCRIPT: a shell script run as root in the clone inside the root, timed
    local name=$1 started=$SECONDS status=0
    say "$name"
    unshare --mount --pid --fork --propagation private \
        bash "$self" --inside "$root" "$debs" "cd $inside_path || exit 1
$2" || status=$?
    if [ $status -eq 0 ]; then
        say "$name: passed in $((SECONDS - started)) s"
    else
        say "$name: FAILED (status $status) after $((SECONDS - started)) s"
    fi
    return $status
}

# Run as nobody, on a system without sudo, make, make demo and make test must each print the
# install line of what they need and nothing more, say to run it as root, and stop before
# installing or building anything. The build's line is kept for the next step.
read -r -d '' unprivileged_lines <<'EOF' || true
build_packages="cmake g++ octave liboctave-dev"
demo_packages="gnuplot-nox fonts-freefont-otf ghostscript"
test_packages="tmux googletest libgtest-dev"
check_line() {  # TARGET PACKAGES-IN-ITS-LINE PACKAGES-NOT-IN-IT
    local output line package
    if output=$(setpriv --reuid=nobody --regid=nogroup --clear-groups make $1 2>&1); then
        echo "$output"; echo "make $1 went ahead without its dependencies"; exit 1
    fi
    echo "$output"
    line=$(echo "$output" | grep -x '  apt-get update && apt-get install .*') || { echo "make $1: no install line"; exit 1; }
    for package in $2; do
        echo "$line" | grep -qw -- "$package" || { echo "make $1: the install line leaves out $package"; exit 1; }
    done
    for package in $3; do
        ! echo "$line" | grep -qw -- "$package" || { echo "make $1: the install line asks for $package"; exit 1; }
    done
    echo "$output" | grep -q 'run this as root' || { echo "make $1: it does not say to run the line as root"; exit 1; }
    [ "$1" != build ] || echo "$line" > /tmp/build-install-line
}
check_line build "$build_packages" "$demo_packages $test_packages"
check_line demo "$build_packages $demo_packages" "$test_packages"
check_line test "$build_packages $demo_packages $test_packages" ""
! command -v octave-cli >/dev/null || { echo "something was installed"; exit 1; }
[ ! -e build ] || { echo "something was built"; exit 1; }
EOF

# Root runs the line that make printed for the build, and nothing more.
read -r -d '' build_packages_only <<'EOF' || true
DEBIAN_FRONTEND=noninteractive bash -ex /tmp/build-install-line
for program in gnuplot gs tmux; do
    ! command -v $program >/dev/null || { echo "$program came with the build's packages"; exit 1; }
done
useradd --create-home --shell /bin/bash newcomer
EOF

# A user without root, on the build's packages alone: make in a copy of their own, then the
# Octave package from make package into their own package folder, and one training.
read -r -d '' newcomer_build <<'EOF' || true
set -e
cp -r /srv/zelmor ~/zelmor
cd ~/zelmor
make
for name in zelmor_c zelmor_c2 zelmor_engine zelmor_svmlight hello; do
    [ -f build/mex/$name.mex ] || { echo "make built no $name.mex"; exit 1; }
done
tarball=$(make -s package)
cd ~
octave-cli --no-history --eval "pkg install $tarball"
octave-cli --no-history --eval "
  pkg load zelmor
  where = which('zelmor_train');
  assert(strncmp(where, [getenv('HOME') '/'], numel(getenv('HOME')) + 1), 'zelmor_train comes from %s', where);
  iris = dlmread('/srv/zelmor/tests/data/iris.csv', ',', 1, 0);
  model = zelmor_train(iris(:, 1:4), iris(:, 5));
  accuracy = mean(zelmor_predict(model, iris(:, 1:4)) == iris(:, 5));
  printf('zelmor_train from the package in %s: C = %g, training accuracy %.3f\n', fileparts(where), model.C, accuracy);
  assert(accuracy > 0.9)"
EOF
printf '%s\n' "$newcomer_build" > "$root/tmp/newcomer-build.sh"
as_newcomer='setpriv --reuid=newcomer --regid=newcomer --init-groups env HOME=/home/newcomer USER=newcomer LOGNAME=newcomer'

# The code block of the README's package section, line by line: no error, no failed test.
read -r -d '' package_commands <<'EOF' || true
sed -n '/^## Octave package/,/^## [^O]/p' README.md | sed -n '/^```sh$/,/^```$/p' |
    sed -e '/^```/d' -e 's/  *#.*$//' > /tmp/package-commands
[ "$(grep -c . /tmp/package-commands)" -ge 3 ] || { echo "no package commands in README.md"; exit 1; }
bash -ex /tmp/package-commands > /tmp/package-output 2>&1 || { cat /tmp/package-output; exit 1; }
cat /tmp/package-output
! grep -n '^error' /tmp/package-output || { echo "the package commands printed an error"; exit 1; }
grep -Eq '^ *FAIL +0$' /tmp/package-output || { echo "pkg test zelmor did not report FAIL 0"; exit 1; }
EOF

# The README's first line, then its commands.
step "apt-get install make" 'apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y make'
step "make, make demo and make test as an unprivileged user" "$unprivileged_lines"
step "the build's packages alone" "$build_packages_only"
step "make, make package and pkg install as a user without root" "$as_newcomer bash /tmp/newcomer-build.sh"
step "make demo" "make demo"
step "make test" "make test"
step "make test-cluster" "make test-cluster"
# The terminal test has passed on one machine and failed on every run on another: here it must
# pass ten times in a row.
read -r -d '' terminal_runs <<'EOF' || true
cd build
for run in $(seq 1 10); do
    ctest -R '^terminal\.' --output-on-failure > /tmp/terminal-run 2>&1 \
        || { cat /tmp/terminal-run; echo "terminal test failed on run $run of 10"; exit 1; }
done
echo "terminal test: 10 of 10 runs passed in a row"
EOF
step "the terminal test ten times in a row" "$terminal_runs"
step "the README's package commands" "$package_commands"
step "apt-get autoclean" 'apt-get autoclean -q >/dev/null' || true
say "fresh $SUITE root: make by need, make and pkg install without root on the build's packages alone, make demo, make test (the terminal test ten times in a row), make test-cluster and the package commands passed (commit $commit)"

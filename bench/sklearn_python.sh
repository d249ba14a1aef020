# Sourced by the benchmarks that compare with scikit-learn: sets $python to Debian's python3
# (which python3-sklearn serves; another python3 may come first on the PATH) and, as root with
# apt-get, installs python3-sklearn when it is missing. Never for the tests or CI.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
if ! "$python" -c 'import sklearn' 2>/dev/null && [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    echo "Installing python3-sklearn for this benchmark"
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends python3-sklearn >/dev/null
fi
has_sklearn() { "$python" -c 'import sklearn' 2>/dev/null; }

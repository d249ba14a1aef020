#!/usr/bin/env bash
# Installs the Debian packages named as arguments: as root with apt-get; otherwise it prints the
# complete command to run (with sudo where there is sudo, else as root) and fails.
#   usage: cmake/apt-install.sh [--listed] WHAT PACKAGE...
#   --listed: the caller has said what is missing already; only the command follows.
set -euo pipefail
listed=0
if [ "${1:-}" = --listed ]; then
    listed=1
    shift
fi
what=$1
shift
install_line="apt-get update && apt-get install -y --no-install-recommends $*"

if ! command -v apt-get >/dev/null 2>&1; then
    echo "Missing $what (Debian's package names): $*" >&2
    echo "This system has no apt-get: install their counterparts with its own package manager." >&2
    exit 1
fi
if [ "$(id -u)" -eq 0 ]; then
    echo "Installing $what: $*"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends "$@"
    exit 0
fi
[ $listed -eq 1 ] || echo "Missing $what: $*" >&2
if command -v sudo >/dev/null 2>&1; then
    echo "Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y --no-install-recommends $*" >&2
else
    echo "This system has no sudo: run this as root (for example after su -):" >&2
    echo "  $install_line" >&2
fi
exit 1

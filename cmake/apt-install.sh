#!/usr/bin/env bash
# Installs the Debian packages named as arguments: as root with apt-get, otherwise it prints
# the one command to run and fails.  usage: cmake/apt-install.sh WHAT PACKAGE...
set -euo pipefail
what=$1
shift
if [ "$(id -u)" -eq 0 ]; then
    echo "Installing $what: $*"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends "$@"
else
    echo "Missing $what: $*" >&2
    echo "Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y --no-install-recommends $*" >&2
    exit 1
fi

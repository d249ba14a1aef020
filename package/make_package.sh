#!/usr/bin/env bash
# Assembles the Octave package: OUTDIR/zelmor-VERSION.tar.gz (OUTDIR defaults to build/),
# for `pkg install`. Its src/Makefile compiles the MEX files at install time; inst/ holds
# their help files and the zelmor_* helpers. Prints the tarball's path.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
outdir=${1:-$root/build}
version=$(sed -n 's/^Version: *//p' "$root/package/DESCRIPTION")

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
pkgdir=$stage/zelmor
mkdir -p "$pkgdir/inst/private" "$pkgdir/src/gateways" "$pkgdir/src/solver" "$pkgdir/src/engine"

cp "$root"/package/{DESCRIPTION,INDEX} "$pkgdir/"
# The package carries the project's own licence.
cp "$root/LICENSE" "$pkgdir/COPYING"
cp "$root/package/src/Makefile" "$root"/package/tst/*-tst "$pkgdir/src/"
cp "$root"/gateways/*.cpp "$root"/gateways/*.h "$pkgdir/src/gateways/"
cp "$root"/solver/*.cpp "$root"/solver/*.h "$pkgdir/src/solver/"
cp "$root"/engine/*.cpp "$root"/engine/*.h "$pkgdir/src/engine/"
cp "$root"/gateways/*.m "$root"/inst/zelmor_*.m "$pkgdir/inst/"
cp "$root"/inst/private/*.m "$pkgdir/inst/private/"

mkdir -p "$outdir"
tarball=$(cd "$outdir" && pwd)/zelmor-$version.tar.gz
# Fixed names, owners and times: the same sources give the same tarball.
tar -C "$stage" --sort=name --owner=0 --group=0 --numeric-owner \
    --mtime="$(sed -n 's/^Date: *//p' "$root/package/DESCRIPTION") 00:00Z" -cf - zelmor \
  | gzip -n > "$tarball"
echo "$tarball"

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
mkdir -p "$pkgdir/inst/private" "$pkgdir/src"

cp "$root"/package/{DESCRIPTION,INDEX} "$pkgdir/"
# The package carries the project's own licence.
cp "$root/LICENSE" "$pkgdir/COPYING"
cp "$root/package/src/Makefile" "$root"/package/tst/*-tst "$pkgdir/src/"
# The sources the MEX files are built from, as cmake/mex_sources.mk lists them, and the
# headers of their folders; nothing else (no test code) goes into the package.
list=$root/cmake/mex_sources.mk
cp "$list" "$pkgdir/src/"
sources=$(sed -n 's/^[A-Za-z_0-9]*_SOURCES *= *//p' "$list")
folders=$(sed -n 's/^INCLUDE_DIRS *= *//p' "$list")
for file in $sources; do
  mkdir -p "$pkgdir/src/$(dirname "$file")"
  cp "$root/$file" "$pkgdir/src/$file"
done
for folder in $folders; do
  mkdir -p "$pkgdir/src/$folder"
  cp "$root/$folder"/*.h "$pkgdir/src/$folder/"
done
cp "$root"/gateways/*.m "$root"/inst/zelmor_*.m "$pkgdir/inst/"
cp "$root"/inst/private/*.m "$pkgdir/inst/private/"

mkdir -p "$outdir"
tarball=$(cd "$outdir" && pwd)/zelmor-$version.tar.gz
# Fixed names, owners and times: the same sources give the same tarball.
tar -C "$stage" --sort=name --owner=0 --group=0 --numeric-owner \
    --mtime="$(sed -n 's/^Date: *//p' "$root/package/DESCRIPTION") 00:00Z" -cf - zelmor \
  | gzip -n > "$tarball"
echo "$tarball"

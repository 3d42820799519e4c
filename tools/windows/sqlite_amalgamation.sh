#!/usr/bin/env bash
# Generates the SQLite amalgamation (sqlite3.c, sqlite3.h) for the Windows
# build from Debian's sqlite3 source package, into the folder given (a cache:
# nothing is done when it already holds both files). Uses a private APT
# sources list so the machine's own lists are left alone; needs dpkg-dev and
# tclsh (the amalgamation is produced by Tcl scripts).
set -euo pipefail
out=${1:?usage: sqlite_amalgamation.sh OUTPUT_FOLDER}
[ -f "$out/sqlite3.c" ] && [ -f "$out/sqlite3.h" ] && exit 0
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/lists/partial" "$work/src" "$work/build"
cat > "$work/sources.list" <<LIST
deb-src http://deb.debian.org/debian bookworm main
deb-src http://deb.debian.org/debian-security bookworm-security main
LIST
apt_private=(-o "Dir::Etc::SourceList=$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
             -o "Dir::State::Lists=$work/lists" -o APT::Sandbox::User=root)
apt-get "${apt_private[@]}" update -qq
(cd "$work/src" && apt-get "${apt_private[@]}" source --download-only -qq sqlite3)
dpkg-source -x --skip-debianization "$work"/src/sqlite3_*.dsc "$work/src/sqlite3" >/dev/null
(cd "$work/build" && "$work/src/sqlite3/configure" --disable-tcl >/dev/null &&
     make -j"$(nproc)" sqlite3.c >/dev/null)
cp "$work/build/sqlite3.c" "$work/build/sqlite3.h" "$out/"
echo "SQLite amalgamation in $out"

#!/usr/bin/env bash
# Makes the SQLite amalgamation (sqlite3.c, sqlite3.h) for the Windows build from Debian's own
# source package of the library the Linux build uses: scripts/sqlite-source.sh DIR
#
# The machine's apt sources list binary packages only, so a private source list is derived from
# them (Types: deb-src) and used with private state; the machine's own lists are not touched.
# Debian's patches are applied (dpkg-source), then the source tree's own rule builds the
# amalgamation (tclsh). A DIR that already holds the amalgamation of that version is kept.
set -euo pipefail
dir=$(realpath -m "$1")
version=$(dpkg-query -W -f='${Version}' libsqlite3-dev)
if [ -f "$dir/VERSION.debian" ] && [ "$(cat "$dir/VERSION.debian")" = "$version" ] &&
    [ -f "$dir/sqlite3.c" ] && [ -f "$dir/sqlite3.h" ]; then
    exit 0
fi
work="$dir/work"
rm -rf "$dir" && mkdir -p "$work/parts" "$work/lists/partial" "$work/download"
for sources in /etc/apt/sources.list.d/*.sources; do
    [ -e "$sources" ] || continue
    sed 's/^Types:.*\bdeb\b.*$/Types: deb-src/' "$sources" >"$work/parts/$(basename "$sources")"
done
if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^deb \(.*\)$/deb-src \1/p' /etc/apt/sources.list >"$work/sources.list"
else
    : >"$work/sources.list"
fi
apt_options=(-o "Dir::Etc::SourceParts=$work/parts" -o "Dir::Etc::SourceList=$work/sources.list"
    -o APT::Sandbox::User=root
    -o "Dir::State::Lists=$work/lists")
apt-get "${apt_options[@]}" update -qq
(cd "$work/download" && apt-get "${apt_options[@]}" source --download-only -qq "sqlite3=$version")
dpkg-source --no-check -x "$work/download"/sqlite3_*.dsc "$work/tree" >/dev/null
(cd "$work/tree" && ./configure --disable-tcl >/dev/null && make sqlite3.c >/dev/null)
cp "$work/tree/sqlite3.c" "$work/tree/sqlite3.h" "$dir/"
rm -rf "$work"
echo "$version" >"$dir/VERSION.debian"
echo "sqlite-source: SQLite $version amalgamation in $dir"

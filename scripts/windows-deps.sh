#!/usr/bin/env bash
# Builds what the Windows build needs and Debian has no mingw package of, from Debian's own
# source packages of the very versions the Linux build uses: scripts/windows-deps.sh DIR
#   DIR/sqlite/    the SQLite amalgamation (sqlite3.c, sqlite3.h), compiled by the project
#   DIR/openldap/  OpenLDAP's client libraries (liblber, libldap, liblutil) cross-compiled for
#                  64-bit Windows without TLS or SASL, and their headers
# Each is kept between runs while its version stays the same.
#
# The machine's apt sources list binary packages only, so a private source list is derived from
# them (Types: deb-src) and used with private state: the machine's own lists are not touched.
# Debian's patches are applied (dpkg-source).
set -euo pipefail
dir=$(realpath -m "$1")
mkdir -p "$dir"

apt_dir="$dir/apt"
apt_options=(-o "Dir::Etc::SourceParts=$apt_dir/parts" -o "Dir::Etc::SourceList=$apt_dir/sources.list"
    -o "Dir::State::Lists=$apt_dir/lists" -o APT::Sandbox::User=root)
apt_ready=0

# Unpacks Debian's source of the binary package's installed version into directory $2.
debian_source() {
    local binary=$1 tree=$2 source version
    source=$(dpkg-query -W -f='${source:Package}' "$binary")
    version=$(dpkg-query -W -f='${source:Version}' "$binary")
    if [ $apt_ready -eq 0 ]; then
        rm -rf "$apt_dir" && mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial"
        for sources in /etc/apt/sources.list.d/*.sources; do
            [ -e "$sources" ] || continue
            sed 's/^Types:.*\bdeb\b.*$/Types: deb-src/' "$sources" >"$apt_dir/parts/$(basename "$sources")"
        done
        if [ -f /etc/apt/sources.list ]; then
            sed -n 's/^deb \(.*\)$/deb-src \1/p' /etc/apt/sources.list >"$apt_dir/sources.list"
        else
            : >"$apt_dir/sources.list"
        fi
        apt-get "${apt_options[@]}" update -qq
        apt_ready=1
    fi
    rm -rf "$tree" "$tree.download" && mkdir -p "$tree.download"
    (cd "$tree.download" && apt-get "${apt_options[@]}" source --download-only -qq "$source=$version")
    dpkg-source --no-check -x "$tree.download"/*.dsc "$tree" >/dev/null
    rm -rf "$tree.download" "$(dirname "$tree")"/*.tar.*
}

# Whether directory $1 was made from the installed version of binary package $2.
current() {
    [ -f "$1/VERSION.debian" ] && [ "$(cat "$1/VERSION.debian")" = "$(dpkg-query -W -f='${Version}' "$2")" ]
}

if ! current "$dir/sqlite" libsqlite3-dev; then
    rm -rf "$dir/sqlite" && mkdir -p "$dir/sqlite"
    debian_source libsqlite3-dev "$dir/sqlite/tree"
    (cd "$dir/sqlite/tree" && ./configure --disable-tcl >/dev/null && make sqlite3.c >/dev/null)
    cp "$dir/sqlite/tree/sqlite3.c" "$dir/sqlite/tree/sqlite3.h" "$dir/sqlite/"
    rm -rf "$dir/sqlite/tree"
    dpkg-query -W -f='${Version}' libsqlite3-dev >"$dir/sqlite/VERSION.debian"
    echo "windows-deps: SQLite amalgamation in $dir/sqlite"
fi

if ! current "$dir/openldap" libldap-dev; then
    rm -rf "$dir/openldap" && mkdir -p "$dir/openldap/lib"
    tree="$dir/openldap/tree"
    debian_source libldap-dev "$tree"
    # Only the client libraries are built. The configure script insists on POSIX regex, which
    # only the server uses: it is told the header exists and the function needs no library.
    # The build's output goes to a log that is shown when a step fails.
    log="$dir/openldap/build.log"
    if ! (cd "$tree" && ./configure --host=x86_64-w64-mingw32 CC=x86_64-w64-mingw32-gcc-posix \
        --disable-slapd --disable-shared --enable-static --without-tls --without-cyrus-sasl \
        --without-fetch --without-argon2 --without-systemd \
        ac_cv_header_regex_h=yes ac_cv_search_regfree="none required" &&
        make -C include &&
        make -C libraries/liblber -j"$(nproc)" liblber.la &&
        make -C libraries/liblutil -j"$(nproc)" liblutil.a &&
        make -C libraries/libldap -j"$(nproc)" libldap.la) >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "windows-deps: the OpenLDAP client libraries could not be built (above)" >&2
        exit 1
    fi
    cp "$tree/libraries/liblber/.libs/liblber.a" "$tree/libraries/libldap/.libs/libldap.a" \
        "$tree/libraries/liblutil/liblutil.a" "$dir/openldap/lib/"
    mkdir -p "$dir/openldap/include"
    cp "$tree"/include/{lber.h,lber_types.h,ldap.h,ldap_cdefs.h,ldap_features.h,ldap_schema.h,ldap_utf8.h} \
        "$dir/openldap/include/"
    rm -rf "$tree"
    dpkg-query -W -f='${Version}' libldap-dev >"$dir/openldap/VERSION.debian"
    echo "windows-deps: OpenLDAP client libraries in $dir/openldap"
fi

#!/bin/sh
# package_test: installs into a scratch root and builds, checks and unpacks the Debian package, then runs the installed tool.
#
#   package_test.sh BUILD-DIRECTORY
set -eu
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
    echo "package_test: $*" >&2
    exit 1
}

# The picture the build itself gives, to compare the installed tools with.
"$build/tintcell" "$build/sample.ppm" > "$scratch/expected"

# The installed tool draws the installed sample as the build does, and the
# installed manual names that sample where this install put it.
runinstalled() {
    root=$1 prefix=$2
    for f in bin/tintcell share/man/man1/tintcell.1.gz share/tintcell/sample.ppm \
        share/doc/tintcell/copyright share/doc/tintcell/changelog.gz; do
        [ -f "$root$prefix/$f" ] || fail "$root$prefix/$f is missing"
    done
    "$root$prefix/bin/tintcell" "$root$prefix/share/tintcell/sample.ppm" > "$scratch/got" \
        || fail "$root$prefix/bin/tintcell failed"
    cmp -s "$scratch/expected" "$scratch/got" || fail "$root$prefix/bin/tintcell drew another picture"
    gzip -dc "$root$prefix/share/man/man1/tintcell.1.gz" | grep -q "^tintcell $prefix/share/tintcell/sample.ppm\$" \
        || fail "the manual does not name $prefix/share/tintcell/sample.ppm"
}

DESTDIR="$scratch/dest" cmake --install "$build" --prefix /opt/tintcell > /dev/null
runinstalled "$scratch/dest" /opt/tintcell

(cd "$build" && cpack -G DEB -B "$scratch/package") > /dev/null
set -- "$scratch"/package/tintcell_*.deb
[ -f "$1" ] || fail "cpack made no package"
[ "$(dpkg-deb -f "$1" Package)" = tintcell ] || fail "the package has another name"
dpkg-deb -x "$1" "$scratch/root"
runinstalled "$scratch/root" /usr
if command -v lintian > /dev/null; then
    lintian --fail-on error "$1" > "$scratch/lintian" 2>&1 || { cat "$scratch/lintian" >&2; fail "lintian reports errors in the package"; }
else
    echo "package_test: lintian is not installed, so the package was not checked with it" >&2
fi

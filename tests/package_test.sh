#!/bin/sh
# package_test: installs into a scratch root and builds and unpacks the Debian package, then runs the installed tool.
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

# The installed tool draws the installed sample as the build does.
runinstalled() {
    root=$1
    for f in bin/tintcell share/man/man1/tintcell.1 share/tintcell/sample.ppm; do
        [ -f "$root/$f" ] || fail "$root/$f is missing"
    done
    "$root/bin/tintcell" "$root/share/tintcell/sample.ppm" > "$scratch/got" || fail "$root/bin/tintcell failed"
    cmp -s "$scratch/expected" "$scratch/got" || fail "$root/bin/tintcell drew another picture"
}

DESTDIR="$scratch/dest" cmake --install "$build" --prefix /opt/tintcell > /dev/null
runinstalled "$scratch/dest/opt/tintcell"

(cd "$build" && cpack -G DEB -B "$scratch/package") > /dev/null
set -- "$scratch"/package/tintcell_*.deb
[ -f "$1" ] || fail "cpack made no package"
[ "$(dpkg-deb -f "$1" Package)" = tintcell ] || fail "the package has another name"
dpkg-deb -x "$1" "$scratch/root"
runinstalled "$scratch/root/usr"

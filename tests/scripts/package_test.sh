#!/usr/bin/env bash
# Builds the Debian package from a finished build folder with CPack, lists it
# with dpkg-deb -c and checks its files, its control fields and that the
# dependencies dpkg-shlibdeps derived cover the libraries the programs link,
# so that "apt install ./varnesk_*.deb" pulls them on a fresh system.
#
# Usage: package_test.sh BUILD_DIR
set -euo pipefail

build=${1:?usage: package_test.sh BUILD_DIR}
[ -f "$build/CPackConfig.cmake" ] || { echo "package_test: $build/CPackConfig.cmake is missing (configure first)" >&2; exit 1; }
for tool in cpack dpkg-deb dpkg-shlibdeps; do
    command -v "$tool" >/dev/null || { echo "package_test: skipped: no $tool"; exit 0; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/varnesk-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() {
    echo "package_test: FAIL: $*" >&2
    exit 1
}

(cd "$work" && cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out") >"$work/cpack.log" 2>&1 ||
    fail "cpack failed: $(tail -n 20 "$work/cpack.log")"
debs=("$work"/out/varnesk_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "no single varnesk_*.deb in $(ls "$work/out")"
deb=${debs[0]}
arch=$(dpkg --print-architecture)
[ "$(basename "$deb")" = "varnesk_$(dpkg-deb -f "$deb" Version)_$arch.deb" ] || fail "odd package name $(basename "$deb")"

dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./||' >"$work/contents"
want=(usr/bin/varnesk-cli usr/share/man/man1/varnesk-cli.1 usr/share/doc/varnesk/README.md usr/share/doc/varnesk/LICENSE)
if [ -x "$build/ui/varnesk" ]; then
    want+=(usr/bin/varnesk usr/share/man/man1/varnesk.1 usr/share/applications/varnesk.desktop
           usr/share/icons/hicolor/scalable/apps/varnesk.svg)
fi
for f in "${want[@]}"; do
    grep -qx "$f" "$work/contents" || fail "$f is not in the package"
done
outside=$(grep -vE '^(usr/|usr/(bin|share)(/.*)?)$' "$work/contents" || true)
[ -z "$outside" ] || fail "files outside /usr/bin and /usr/share: $outside"

[ "$(dpkg-deb -f "$deb" Package)" = varnesk ] || fail "the package is not named varnesk"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "the package is not for $arch"
depends=$(dpkg-deb -f "$deb" Depends)
# The package names of Depends, without versions or alternatives.
tr ',|' '\n\n' <<<"$depends" | sed 's/^ *//; s/[ :].*//' >"$work/depends"
need=(libc6 libstdc++6)
[ -x "$build/ui/varnesk" ] && need+=(libqt6widgets6 qt6-qpa-plugins)
for lib in "${need[@]}"; do
    grep -qxF "$lib" "$work/depends" || fail "Depends lacks $lib: $depends"
done
# MPI is a package of its own: the desktop and the command line never pull it.
! grep -q 'varnesk-mpi' "$work/contents" || fail "varnesk-mpi is in the main package"
! grep -q 'openmpi' "$work/depends" || fail "the main package depends on MPI: $depends"
if [ -x "$build/mpi/varnesk-mpi" ]; then
    mpideb="$work/out/varnesk-mpi_$(dpkg-deb -f "$deb" Version)_$arch.deb"
    [ -f "$mpideb" ] || fail "no $(basename "$mpideb") beside the main package"
    mpicontents=$(dpkg-deb -c "$mpideb" | awk '{print $NF}' | sed 's|^\./||')
    for f in usr/bin/varnesk-mpi usr/share/man/man1/varnesk-mpi.1; do
        grep -qx "$f" <<<"$mpicontents" || fail "$f is not in the MPI package"
    done
    mpidepends=$(dpkg-deb -f "$mpideb" Depends)
    for lib in varnesk libopenmpi3 openmpi-bin; do
        tr ',|' '\n\n' <<<"$mpidepends" | sed 's/^ *//; s/[ :].*//' | grep -qxF "$lib" ||
            fail "the MPI package's Depends lacks $lib: $mpidepends"
    done
fi

# The packaged programs are stripped and run from the unpacked tree.
dpkg-deb -x "$deb" "$work/tree"
for p in "$work"/tree/usr/bin/*; do
    if command -v file >/dev/null && file "$p" | grep -q 'not stripped'; then fail "$(basename "$p") is not stripped"; fi
done
"$work/tree/usr/bin/varnesk-cli" --version >/dev/null || fail "the packaged varnesk-cli does not run"
echo "package_test: $(basename "$deb"): $(wc -l <"$work/contents") entries; Depends: $depends"

#!/usr/bin/env bash
# Installs a build into a temporary DESTDIR with the prefix a distribution
# uses (/usr) and checks that every file lands where the shell, man and the
# desktop's menu look for it, that nothing else is installed, that the
# installed program runs without its build folder, and that both manual
# pages render without a warning.
#
# Usage: install_test.sh BUILD_DIR
set -euo pipefail

build=${1:?usage: install_test.sh BUILD_DIR}
[ -x "$build/cli/varnesk-cli" ] || { echo "install_test: $build/cli/varnesk-cli is missing (build first)" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/varnesk-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() {
    echo "install_test: FAIL: $*" >&2
    exit 1
}

DESTDIR=$work/root cmake --install "$build" --prefix /usr >/dev/null
usr=$work/root/usr

expected=(bin/varnesk-cli share/man/man1/varnesk-cli.1
          share/doc/varnesk/README.md share/doc/varnesk/LICENSE share/doc/varnesk/docs/screenshot.png)
programs=(bin/varnesk-cli)
pages=(share/man/man1/varnesk-cli.1)
# A build without Qt has no desktop program, nor its page and menu entry.
if [ -x "$build/ui/varnesk" ]; then
    expected+=(bin/varnesk share/man/man1/varnesk.1 share/applications/varnesk.desktop
               share/icons/hicolor/scalable/apps/varnesk.svg)
    programs+=(bin/varnesk)
    pages+=(share/man/man1/varnesk.1)
fi
if [ -x "$build/varnesk-mpi" ] || [ -x "$build/mpi/varnesk-mpi" ]; then
    expected+=(bin/varnesk-mpi share/man/man1/varnesk-mpi.1)
    programs+=(bin/varnesk-mpi)
    pages+=(share/man/man1/varnesk-mpi.1)
fi
for f in "${expected[@]}"; do
    [ -f "$usr/$f" ] || fail "$f is not installed"
done
for p in "${programs[@]}"; do
    [ -x "$usr/$p" ] || fail "$p is not executable"
    # A build-folder run path would tie the installed program to the build.
    if readelf -d "$usr/$p" | grep -E 'R(UN)?PATH' | grep -qF "$build"; then
        fail "$p keeps a run path into the build folder"
    fi
done
extra=$(cd "$usr" && find . -type f -o -type l | sed 's|^\./||' | sort | grep -vxF -f <(printf '%s\n' "${expected[@]}") || true)
[ -z "$extra" ] || fail "installed but not expected: $extra"

# The installed command line answers like the built one.
[ "$("$usr/bin/varnesk-cli" --version)" = "$("$build/cli/varnesk-cli" --version)" ] || fail "installed varnesk-cli --version differs"

# Both pages render without a groff warning, through man as a user reads them.
for page in "${pages[@]}"; do
    warnings=$(groff -ww -z -man "$usr/$page" 2>&1) || fail "groff failed on $page"
    [ -z "$warnings" ] || fail "groff warns on $page: $warnings"
    if command -v mandoc >/dev/null; then
        mandoc -T lint -W warning "$usr/$page" || fail "mandoc warns on $page"
    fi
    text=$(MANWIDTH=80 man --warnings=w -E UTF-8 -l "$usr/$page" 2>"$work/man.err") || fail "man -l failed on $page"
    [ ! -s "$work/man.err" ] || fail "man -l warns on $page: $(cat "$work/man.err")"
    for heading in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" FILES EXAMPLES; do
        grep -qx "$heading" <<<"$text" || fail "$page has no $heading section"
    done
done

# The menu entry starts the installed program and finds the installed icon.
if [ -f "$usr/share/applications/varnesk.desktop" ]; then
    desktop=$usr/share/applications/varnesk.desktop
    [ "$(head -n1 "$desktop")" = "[Desktop Entry]" ] || fail "varnesk.desktop has no [Desktop Entry] group"
    exec_line=$(sed -n 's/^Exec=//p' "$desktop")
    [ -x "$usr/bin/${exec_line%% *}" ] || fail "Exec=$exec_line is no installed program"
    icon=$(sed -n 's/^Icon=//p' "$desktop")
    [ -f "$usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "Icon=$icon has no installed SVG"
    grep -qx 'Type=Application' "$desktop" || fail "varnesk.desktop is no application"
    if command -v desktop-file-validate >/dev/null; then
        desktop-file-validate "$desktop" || fail "desktop-file-validate refuses varnesk.desktop"
    fi
    grep -q '<svg[ >]' "$usr/share/icons/hicolor/scalable/apps/$icon.svg" || fail "$icon.svg is no SVG"
fi
echo "install_test: ${#expected[@]} files installed where they belong, ${#pages[@]} manual pages without warnings"

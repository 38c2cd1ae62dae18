#!/bin/sh
# Runs the program under a virtual X server with a small job started and
# saves a picture of the window taken from that display.
#   ui/screenshot.sh [build-dir] [output.png] [seconds]
# Needs xvfb-run; the program takes the picture itself.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$here/build"}
out=${2:-"$here/docs/screenshot.png"}
seconds=${3:-75}
demo="$build/ui/varnesk_demo"
[ -x "$demo" ] || { echo "build the varnesk_demo target in $build first" >&2; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$(dirname "$out")"
case $out in /*) ;; *) out="$PWD/$out" ;; esac
VARNESK_DEMO_DIR="$scratch" VARNESK_DEMO_SHOT="$out" VARNESK_DEMO_SECONDS="$seconds" \
  xvfb-run -a -s "-screen 0 1280x800x24" "$demo"
[ -s "$out" ] || { echo "no picture was saved" >&2; exit 1; }
echo "saved $out"

#!/bin/sh
# Runs the program under a virtual X server with a small job started and
# saves a picture of the screen.
#   ui/screenshot.sh [build-dir] [output.png]
# Needs xvfb-run and ImageMagick's import.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$here/build"}
out=${2:-"$here/docs/screenshot.png"}
demo="$build/ui/varnesk_demo"
[ -x "$demo" ] || { echo "build the varnesk_demo target in $build first" >&2; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$(dirname "$out")"
VARNESK_DEMO_DIR="$scratch" xvfb-run -a -s "-screen 0 800x640x24" sh -c '
  "$1" & pid=$!
  sleep 6
  crop=$(cat "$VARNESK_DEMO_DIR/geometry" 2>/dev/null || true)
  if [ -n "$crop" ]; then import -window root -crop "$crop" +repage "$2"; else import -window root "$2"; fi
  kill $pid
  wait $pid 2>/dev/null || true
' sh "$demo" "$out"
echo "saved $out"

#!/usr/bin/env bash
# The desktop window on small, large, scaled and dark screens: under a
# virtual X server it must fit each screen whole (its smallest size, the
# window itself and every main panel within the screen, no panel squeezed
# below what its content needs) and a picture of each is kept in
# <build>/screens/ to be looked at.
#   tests/scripts/form_screens.sh <build folder>
# The verdict comes from the window's geometry as the program reports it
# (VARNESK_GEOMETRY_REPORT), never from the pictures' pixels.
set -uo pipefail
build=${1:?usage: form_screens.sh <build folder>}
demo="$build/ui/varnesk_demo"
if ! command -v xvfb-run >/dev/null; then
    echo "form_screens.sh: skipped, xvfb-run is not installed"
    exit 0
fi
[ -x "$demo" ] || { echo "form_screens.sh: $demo is missing; build it first" >&2; exit 1; }
shots="$build/screens"
mkdir -p "$shots"
have_import=1
command -v import >/dev/null || { have_import=0; echo "form_screens.sh: no pictures, ImageMagick's import is not installed"; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# name, screen in pixels, scale factor, report request. The scaled screen is
# the small one at twice the density, so that the window meets 1024x768 in
# Qt's own (logical) pixels there too.
configs=(
    "small 1024x768 1 opened"
    "small-maximized 1024x768 1 maximized"
    "large 1600x1000 1 opened"
    "scaled 2048x1536 2 opened"
    "scaled-maximized 2048x1536 2 maximized"
    "dark 1024x768 1 opened,dark"
)

# Runs inside the virtual display: starts the window with a small job,
# waits for its report, takes the picture, and ends it as a logout would.
cat >"$scratch/inside.sh" <<'EOF'
#!/usr/bin/env bash
demo=$1 report=$2 picture=$3 have_import=$4
"$demo" >"$report" 2>"$report.err" &
pid=$!
# Waits for the window, not for a time: a slow machine only takes longer.
for _ in $(seq 1 1200); do
    grep -q '^end$' "$report" 2>/dev/null && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
if grep -q '^end$' "$report" && [ "$have_import" = 1 ]; then
    # A few progress records for the chart; the picture is only looked at.
    sleep 4
    import -window root "$picture"
fi
kill -TERM "$pid" 2>/dev/null
for _ in $(seq 1 600); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -KILL "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
exit 0
EOF
chmod +x "$scratch/inside.sh"

# The report's checks; prints what is wrong, nothing when all is well.
check_report() {
    awk '
    function wh(s, a) { split(s, a, "x"); W = a[1] + 0; H = a[2] + 0 }
    function xy(s, a) { split(s, a, ","); X = a[1] + 0; Y = a[2] + 0 }
    function inside(what, x, y, w, h) {
        if (x < ax || y < ay || x + w > ax + aw || y + h > ay + ah)
            printf "%s at %d,%d %dx%d reaches beyond the screen %d,%d %dx%d\n", what, x, y, w, h, ax, ay, aw, ah
    }
    $1 == "screen" { xy($4); ax = X; ay = Y; wh($5); aw = W; ah = H; screen = 1 }
    $1 == "window" {
        window = 1
        xy($2); wx = X; wy = Y; wh($3); ww = W; wh_ = H; wh($5)
        if (W > aw || H > ah) printf "the window needs at least %dx%d, more than the screen %dx%d\n", W, H, aw, ah
        inside("the window", wx, wy, ww, wh_)
    }
    $1 == "panel" {
        panels++
        if ($3 == "missing") { printf "panel %s is missing\n", $2; next }
        if ($NF == "hidden") printf "panel %s is hidden\n", $2
        xy($3); wh($4); px = X; py = Y; pw = W; ph = H; wh($6)
        inside("panel " $2, px, py, pw, ph)
        if (px < wx || py < wy || px + pw > wx + ww || py + ph > wy + wh_)
            printf "panel %s at %d,%d %dx%d is cut off by the window\n", $2, px, py, pw, ph
        if (pw < W || ph < H) printf "panel %s is %dx%d, less than the %dx%d it needs\n", $2, pw, ph, W, H
    }
    END {
        if (!screen || !window || panels < 7) print "the report is incomplete"
    }' "$1"
}

failed=0
for config in "${configs[@]}"; do
    read -r name screen scale request <<<"$config"
    report="$scratch/$name.txt"
    picture="$shots/$name.png"
    rm -f "$picture"
    mkdir -p "$scratch/$name" && chmod 700 "$scratch/$name"
    env -u QT_QPA_PLATFORM XDG_RUNTIME_DIR="$scratch/$name" VARNESK_DEMO_DIR="$scratch/$name" \
        VARNESK_GEOMETRY_REPORT="$request" QT_SCALE_FACTOR="$scale" \
        xvfb-run -a -s "-screen 0 ${screen}x24" "$scratch/inside.sh" "$demo" "$report" "$picture" "$have_import"
    problems=$(check_report "$report")
    cp "$report" "$shots/$name.txt" 2>/dev/null
    if [ -n "$problems" ]; then
        echo "FAIL $name ($screen, scale $scale, $request):"
        echo "$problems" | sed 's/^/  /'
        sed 's/^/  | /' "$report" "$report.err" 2>/dev/null | head -40
        failed=1
    else
        echo "ok   $name ($screen, scale $scale, $request): $(grep '^window' "$report")$([ -s "$picture" ] && echo ", picture $picture")"
    fi
done
exit $failed

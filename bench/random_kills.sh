#!/usr/bin/env bash
# Kills cartaluz-lote at random moments and takes each killed run back with --deshacer: the tree
# must come back exactly (names, bytes, permissions, dates, stray files included). Prints one line
# per kill and a summary.
#   bench/random_kills.sh [KILLS] [LOTE]   (defaults: 30, build/bin/cartaluz-lote)
set -euo pipefail
kills=${1:-30}
lote=$(realpath "${2:-build/bin/cartaluz-lote}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# 30 mixed photos: JPEGs of several sizes and samplings, PNG, TIFF, one without GPS, one
# damaged, some in a subfolder, odd permissions and old dates.
src="$work/src"
mkdir -p "$src/sub"
for i in $(seq 1 30); do
    case $((i % 6)) in
        0) name="p$i.png"; size=800x600 ;;
        1) name="p$i.jpg"; size=2400x1600 ;;
        2) name="sub/p$i.jpg"; size=1600x1200 ;;
        3) name="p$i.tiff"; size=640x480 ;;
        4) name="P$i.JPG"; size=3000x2000 ;;
        5) name="obra.$i.jpg"; size=1200x900 ;;
    esac
    convert -size "$size" "plasma:fractal" -seed "$i" "$src/$name"
    if [ "$i" -ne 7 ]; then
        exiftool -q -q -overwrite_original -GPSLatitude=$((33 + i % 3)).4$i -GPSLatitudeRef=S \
            -GPSLongitude=70.6$i -GPSLongitudeRef=W -GPSImgDirection=$((i * 11)) \
            -GPSImgDirectionRef=T -DateTimeOriginal="2024:05:01 10:$((10 + i)):00" "$src/$name"
    fi
    chmod $((i % 2 ? 644 : 666)) "$src/$name"
    touch -d "2020-0$((1 + i % 9))-11 08:00:00" "$src/$name"
done
head -c 5000 "$src/p1.jpg" > "$src/roto.jpg"

# Folders by name (their dates change with every entry), everything else with its type,
# permissions, modification time and bytes.
snapshot() {
    (cd "$1" && { find . -type d -printf 'd %p\n'; find . ! -type d -printf '%y %m %T@ %p\n'; } | sort &&
        find . -type f -print0 | sort -z | xargs -0 sha256sum)
}
expected=$(snapshot "$src")

cp -a "$src" "$work/probe"
start=$(date +%s%N)
"$lote" -j 2 --subdirectorios "$work/probe" > /dev/null || true
full_ms=$(( ($(date +%s%N) - start) / 1000000 ))
echo "run without a kill: ${full_ms} ms"

same=0
for k in $(seq 1 "$kills"); do
    run="$work/run$k"
    cp -a "$src" "$run"
    delay=$((RANDOM % (full_ms + 1)))
    "$lote" -j 2 --subdirectorios "$run" > /dev/null 2>&1 &
    pid=$!
    sleep "$(awk "BEGIN { print $delay / 1000 }")"
    kill -9 "$pid" 2> /dev/null || true
    wait "$pid" 2> /dev/null || true
    journal=$(ls "$run"/Backup/cartaluz-*.jsonl 2> /dev/null | head -n 1 || true)
    plans=0
    undone="no journal"
    if [ -n "$journal" ]; then
        plans=$(grep -c '"tipo":"plan"' "$journal" || true)
        "$lote" --deshacer "$journal" > "$work/undo$k.log" 2>&1 && undone="undo ok" || undone="undo exit $?"
    fi
    if [ "$(snapshot "$run")" == "$expected" ]; then
        same=$((same + 1))
        verdict="identical"
    else
        verdict="DIFFERENT"
        diff <(echo "$expected") <(snapshot "$run") | head -n 6 || true
    fi
    printf 'kill %2d at %5d ms: %2d plan lines, %-10s tree %s\n' "$k" "$delay" "$plans" "$undone" "$verdict"
    rm -rf "$run"
done
echo "$same of $kills killed runs came back identical"
[ "$same" -eq "$kills" ]

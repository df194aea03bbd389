#!/usr/bin/env bash
# Makes the small folder the README's track example runs on: a GPX log of a 40-minute walk with a
# pause in two segments, and six photos whose EXIF has a capture time but no position (one with a
# heading, one taken after the receiver was switched off), plus one photo with its own position.
#   docs/make_track_demo.sh DIR   -> DIR/paseo.gpx and DIR/fotos/
set -euo pipefail
dir=${1:?uso: make_track_demo.sh DIR}
mkdir -p "$dir/fotos"

# One fix every 10 s from 14:00:00 UTC (10:00 on the cameras' clocks, UTC-4) along a bent path
# north-east of Santiago; no fixes from 14:20 to 14:25 (a new segment after the pause).
python3 - "$dir/paseo.gpx" <<'PY'
import math, sys
def fix(t):
    s = t / 2400.0
    lat = -33.4400 + 0.010 * s + 0.0012 * math.sin(6 * s)
    lon = -70.6200 + 0.014 * s - 0.0020 * math.cos(4 * s)
    return f'<trkpt lat="{lat:.6f}" lon="{lon:.6f}"><time>2024-05-01T14:{t // 60:02d}:{t % 60:02d}Z</time></trkpt>'
segments = [range(0, 1200, 10), range(1500, 2400, 10)]
body = "".join("<trkseg>" + "".join(fix(t) for t in seg) + "</trkseg>" for seg in segments)
open(sys.argv[1], "w").write('<?xml version="1.0"?><gpx version="1.1" creator="demo" '
    'xmlns="http://www.topografix.com/GPX/1/1"><trk><name>paseo</name>' + body + '</trk></gpx>')
PY

photo() { # name, camera time, extra exiftool arguments
    convert -size 800x600 gradient:'#4a7a3a-#c8d8e8' "$dir/fotos/$1"
    exiftool -q -overwrite_original -DateTimeOriginal="2024:05:01 $2" "${@:3}" "$dir/fotos/$1"
}
photo IMG_0101.JPG 10:02:05 -OffsetTimeOriginal=-04:00
photo IMG_0102.JPG 10:09:41 -OffsetTimeOriginal=-04:00 -GPSImgDirection=135 -GPSImgDirectionRef=T
photo IMG_0103.JPG 10:17:30 -OffsetTimeOriginal=-04:00
photo IMG_0104.JPG 10:27:10 -OffsetTimeOriginal=-04:00
photo IMG_0105.JPG 10:35:55 -OffsetTimeOriginal=-04:00
photo IMG_0106.JPG 11:30:00 -OffsetTimeOriginal=-04:00
photo IMG_0107.JPG 10:22:00 -GPSLatitude=33.4380 -GPSLatitudeRef=S -GPSLongitude=70.6110 \
    -GPSLongitudeRef=W

#!/usr/bin/env bash
# Draws the program's icons and logo with ImageMagick. The results are
# committed under resources/art; run this only to change the artwork.
set -euo pipefail
cd "$(dirname "$0")/../resources/art"
IM=convert-im6.q16
font=$(fc-match -f '%{file}' 'IPAGothic' 2>/dev/null || true)
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT

# Main icon: a stack of two photo thumbnails (sky, sun, hills) with a
# white frame, the front one larger.
photo() {  # size out
    local s=$1 out=$2
    $IM -size ${s}x${s} gradient:'#4a90e2-#bfe3ff' \
        -fill '#ffd23f' -draw "circle $((s*7/10)),$((s*3/10)) $((s*7/10+s/9)),$((s*3/10))" \
        -fill '#3c9a3c' -draw "polygon 0,$((s*8/10)) $((s*3/10)),$((s*45/100)) $((s*6/10)),$((s*8/10))" \
        -fill '#2d7a2d' -draw "polygon $((s*35/100)),$((s)) $((s*7/10)),$((s*55/100)) $((s)),$((s))" \
        -fill '#2d7a2d' -draw "rectangle 0,$((s*8/10)) $s,$s" \
        "$out"
}
icon_size() {  # n out
    local n=$1 out=$2 b=$(( $1 > 16 ? 2 : 1 ))
    local big=$((n*3/4)) small=$((n*9/16))
    photo $((big-2*b)) "$tmp/p1.png"
    photo $((small-2*b)) "$tmp/p2.png"
    $IM "$tmp/p1.png" -bordercolor white -border $b -bordercolor '#30343a' -border 1 "$tmp/f1.png"
    $IM "$tmp/p2.png" -modulate 100,60 -bordercolor white -border $b -bordercolor '#30343a' -border 1 "$tmp/f2.png"
    $IM -size ${n}x${n} xc:none "$tmp/f2.png" -geometry +0+0 -composite \
        "$tmp/f1.png" -geometry +$((n-big-2))+$((n-big-2)) -composite "$out"
}
for n in 16 32 48; do icon_size $n "$tmp/i$n.png"; done
$IM "$tmp/i16.png" "$tmp/i32.png" "$tmp/i48.png" pixmill.ico

# Second icon (settings file pages and documents): a sheet with a folded
# corner and a small photo on it.
for n in 16 32 48; do
    photo $((n/2)) "$tmp/q.png"
    $IM -size ${n}x${n} xc:none -fill white -stroke '#30343a' \
        -draw "polygon $((n/8)),0 $((n*5/8)),0 $((n*7/8)),$((n/4)) $((n*7/8)),$((n-1)) $((n/8)),$((n-1))" \
        -fill '#d0d4da' -draw "polygon $((n*5/8)),0 $((n*5/8)),$((n/4)) $((n*7/8)),$((n/4))" \
        "$tmp/q.png" -geometry +$((n/4))+$((n*5/12)) -composite "$tmp/d$n.png"
done
$IM "$tmp/d16.png" "$tmp/d32.png" "$tmp/d48.png" document.ico

# Logo for the version page: 110 x 44 pixels, 24-bit.
photo 36 "$tmp/l.png"
$IM -size 110x44 xc:'#f4f6f8' \
    \( "$tmp/l.png" -bordercolor white -border 1 -bordercolor '#30343a' -border 1 \) -geometry +3+3 -composite \
    ${font:+-font "$font"} -fill '#1f3b63' -pointsize 17 -annotate +45+22 'PIXMILL' \
    -fill '#4a90e2' -pointsize 10 -annotate +46+37 'サムネイル' \
    -type TrueColor BMP3:logo.bmp
echo "make-art: wrote pixmill.ico document.ico logo.bmp"

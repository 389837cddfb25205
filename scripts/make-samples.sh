#!/usr/bin/env bash
# Draws the bundled sample images with ImageMagick. The results are committed
# under samples/; run this only to change them.
set -euo pipefail
cd "$(dirname "$0")/../samples"
IM=convert-im6.q16
mkdir -p 写真

# A photo-like landscape: sky gradient, sun, textured hills with a ridge
# line, a lake with a reflection, slight softness as from a lens.
$IM -size 800x533 gradient:'#5b8fd1-#fde2c4' \
    -fill '#fff6c8' -draw 'circle 620,130 648,130' \
    \( -size 800x533 -seed 7 plasma:'#2e5e2a-#9cbf6a' -blur 0x1.5 \) \
    \( -size 800x533 xc:black -fill white \
       -draw 'polygon 0,330 90,250 180,300 300,210 420,290 520,240 640,300 720,260 800,300 800,533 0,533' \) \
    -compose over -composite \
    \( -size 800x150 -seed 3 plasma:'#24507d-#88b4d8' -motion-blur 0x12+0 \) -geometry +0+400 -compose over -composite \
    -blur 0x0.7 -quality 88 -sampling-factor 2x2 landscape.jpg

# The same scene upright, in a sub-folder with a Japanese name: a portrait
# image to turn and a folder to mirror in the output.
$IM landscape.jpg -crop 360x533+220+0 +repage -quality 85 写真/夕焼け.jpg

# A PNG with an alpha channel: a soft-edged badge on transparency.
$IM -size 256x256 xc:none -fill '#e06666' -draw 'circle 128,128 128,20' \
    -fill '#ffffff' -draw 'circle 128,128 128,70' \
    -fill '#3c78d8' -draw 'polygon 128,80 170,160 86,160' \
    \( +clone -alpha extract -blur 0x2 \) -alpha off -compose copy_opacity -composite \
    PNG32:badge.png

# An animated GIF: a ball moving across a checkered floor, transparent
# background outside the floor, looping forever.
frames=()
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
for i in 0 1 2 3 4 5 6 7; do
    x=$((20 + i * 20))
    $IM -size 200x120 xc:none \
        -fill '#cccccc' -draw 'rectangle 0,90 199,119' \
        -fill '#999999' -draw 'rectangle 0,90 24,104 rectangle 50,90 74,104 rectangle 100,90 124,104 rectangle 150,90 174,104' \
        -fill '#f1c232' -draw "circle $x,$((70 - (i % 4) * 10)) $((x + 14)),$((70 - (i % 4) * 10))" \
        "$tmp/f$i.png"
    frames+=("$tmp/f$i.png")
done
$IM -delay 12 -dispose background -loop 0 "${frames[@]}" -colors 16 animation.gif

# A 24-bit bitmap and an 8-bit palette bitmap.
$IM landscape.jpg -resize 320x213 -type TrueColor BMP3:scene24.bmp
$IM landscape.jpg -resize 200x133 -colors 256 -type Palette BMP3:scene8.bmp
ls -la . 写真

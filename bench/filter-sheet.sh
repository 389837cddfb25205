#!/usr/bin/env bash
# Renders the nineteen tone filters on one photo into a labelled contact
# sheet PNG, in the order the settings dialog lists them.
#   bench/filter-sheet.sh [PHOTO] [OUT.png]
# Needs build/native (pixbench) and ImageMagick.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
photo=${1:-$root/../shared/bench-photos/wm_Green_and_golden_Butterfly_copy.jpg}
out=${2:-$root/build/filter-sheet.png}
bench=$root/build/native/bench/pixbench
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

codes=(1 2 3 4 5 6 7 8 9 10 20 21 22 12 13 14 15 25 26)
names=("mono" "cold mono" "warm mono" "sepia" "monotone red" "monotone green" "monotone blue"
       "monotone cyan" "monotone magenta" "monotone yellow" "art punk" "art metal" "art earth"
       "emboss" "emboss gold" "emboss silver" "emboss copper" "canvas smooth" "canvas coarse")
"$bench" thumb "$photo" "$work/base.ppm" 320 320 soft
tiles=("$work/base.ppm")
labels=(-label "original" "$work/base.ppm")
for i in "${!codes[@]}"; do
    "$bench" filter "$work/base.ppm" "$work/f${codes[$i]}.ppm" "${codes[$i]}"
    labels+=(-label "${codes[$i]} ${names[$i]}" "$work/f${codes[$i]}.ppm")
done
montage-im6.q16 "${labels[@]}" -tile 5x -geometry +4+4 -font DejaVu-Sans -pointsize 14 "$out"
echo "$out"

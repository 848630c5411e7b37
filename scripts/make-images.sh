#!/usr/bin/env bash
# Draws the picture of the wind sensor that the main window shows and the
# program's icons: a two-axis ultrasonic anemometer, a mast carrying a body
# from which four arms rise, each holding a transducer at its tip, the four
# tips facing each other in pairs across the measuring space.
#
# Needs ImageMagick. Writes into ui/images/:
#   sensor.png      124 x 135, the main window's picture
#   sorvik7-32.png  32 x 32, the window icon
#   sorvik7-128.png 128 x 128, the icon for desktops that want a larger one
set -euo pipefail
cd "$(dirname "$0")/.."
out=ui/images
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Everything is drawn on a 496 x 540 canvas (four times the picture) and
# scaled down, which smooths the edges.
arm() { # x0 y0 x1 y1 x2 y2 colour width: body -> elbow -> tip
    echo "stroke $7 stroke-width $8 stroke-linecap round stroke-linejoin round fill none path 'M $1,$2 L $3,$4 L $5,$6'"
}
head() { # cx cy rx ry colour: a transducer seen from the side
    echo "stroke #202020 stroke-width 3 fill $5 ellipse $1,$2 $3,$4 0,360"
}

sensor() { # $1 = output
    local file=$1
    local draw=(
        # mast: a grey tube with a lighter stripe
        -fill '#8a8f96' -stroke '#3c4046' -strokewidth 3 -draw "rectangle 228,300 268,540"
        -fill '#c9ced4' -stroke none -draw "rectangle 236,300 244,540"
        # mounting clamp
        -fill '#5b6068' -stroke '#2a2d31' -strokewidth 3 -draw "roundrectangle 218,400 278,430 6,6"
        # back arms (behind the body), slightly darker
        -draw "$(arm 232 262 150 200 150 128 '#6f757c' 16)"
        -draw "$(arm 264 262 346 200 346 128 '#6f757c' 16)"
        -draw "$(head 150 120 22 14 '#3a3e44')"
        -draw "$(head 346 120 22 14 '#3a3e44')"
        # body: a short cylinder on top of the mast
        -fill '#d8dce0' -stroke '#3c4046' -strokewidth 3 -draw "roundrectangle 196,236 300,312 14,14"
        -fill '#eef0f2' -stroke none -draw "rectangle 208,244 222,304"
        -fill '#b0b5bb' -stroke '#3c4046' -strokewidth 3 -draw "ellipse 248,238 52,12 0,360"
        # front arms, in front of the body
        -draw "$(arm 226 280 118 240 118 178 '#9aa0a7' 18)"
        -draw "$(arm 270 280 378 240 378 178 '#9aa0a7' 18)"
        -draw "$(head 118 168 26 17 '#2b2f34')"
        -draw "$(head 378 168 26 17 '#2b2f34')"
    )
    convert -size 496x540 gradient:'#6fa8dc'-'#eaf3fb' \
        -fill '#7d9a5a' -stroke none -draw "rectangle 0,500 496,540" "${draw[@]}" "$file"
}

sensor "$tmp/picture.png"
convert "$tmp/picture.png" -resize 124x135\! -colors 256 -strip "PNG8:$out/sensor.png"

# The icon: the sensor on its sky, cropped to a square around the head so
# that the arms stay visible at 32 pixels, with rounded corners.
convert "$tmp/picture.png" -crop 440x440+28+60 +repage "$tmp/square.png"
convert -size 440x440 xc:none -fill white -draw "roundrectangle 0,0 439,439 60,60" "$tmp/mask.png"
convert "$tmp/square.png" "$tmp/mask.png" -alpha off -compose CopyOpacity -composite "$tmp/icon.png"
convert "$tmp/icon.png" -resize 128x128 -strip "PNG32:$out/sorvik7-128.png"
convert "$tmp/icon.png" -resize 32x32 -strip "PNG32:$out/sorvik7-32.png"
echo "wrote $out/sensor.png $out/sorvik7-32.png $out/sorvik7-128.png"

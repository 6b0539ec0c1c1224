#!/usr/bin/env bash
# Draws the program's pictures with ImageMagick (Debian package "imagemagick"):
# the start panel's side picture, the program icon in its sizes and the task
# list's row pictures. The results are kept in the repository; run this only
# to change them.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
mkdir -p icons rows

# Start panel, 100 x 340: a dotted flight path over a teal sky, a paper plane
# at its end, fern leaves at the foot and the name written upwards.
convert -size 100x340 gradient:'#0f4651'-'#79c2b3' \
    -fill 'rgba(255,255,255,0.08)' -draw 'circle 18,70 18,118' -draw 'circle 92,210 92,262' \
    -fill none -stroke 'rgba(255,255,255,0.65)' -strokewidth 1.6 \
    -draw "stroke-dasharray 5 5 path 'M 22,300 C 5,230 75,205 52,140 S 40,70 70,46'" \
    -stroke none -fill white -draw 'polygon 60,50 92,24 80,58 73,50' \
    -fill '#d9efe9' -draw 'polygon 73,50 92,24 70,60' \
    -fill '#1d6b55' -draw 'ellipse 30,330 9,30 0,360' -draw 'ellipse 12,334 6,22 0,360' \
    -draw 'ellipse 48,336 7,20 0,360' -fill '#2f8f6c' -draw 'ellipse 22,338 5,16 0,360' \
    -font DejaVu-Sans-Bold -pointsize 17 -fill 'rgba(255,255,255,0.92)' \
    -annotate 270x270+90+300 'Fernwaypost' \
    -strip -quality 90 side.jpg

# Program icon: a paper plane on a rounded teal square.
icon() {
    local size=$1
    convert -size 256x256 xc:none \
        -fill '#11505c' -draw 'roundrectangle 8,8 247,247 44,44' \
        -fill '#1f7f83' -draw 'roundrectangle 8,8 247,200 44,44' \
        -fill none -stroke 'rgba(255,255,255,0.7)' -strokewidth 9 \
        -draw "stroke-dasharray 18 14 path 'M 40,214 C 70,170 96,178 118,150'" \
        -stroke none -fill white -draw 'polygon 40,128 214,46 158,206 122,150' \
        -fill '#cfe9e6' -draw 'polygon 122,150 214,46 132,196' \
        -resize "${size}x${size}" -strip "icons/fernwaypost-$size.png"
}
for size in 16 32 48 64 128 256; do
    icon "$size"
done

# Row pictures, drawn at 32 x 32 and shown at 16: numbers of the task list's image list.
row() {
    local name=$1
    shift
    convert -size 32x32 xc:none "$@" -strip "rows/$name.png"
}
# 1 outgoing file: a page with a green arrow going out.
row 1 -fill white -stroke '#556' -strokewidth 2 -draw 'rectangle 4,3 20,28' \
    -stroke none -fill '#2a9d4b' -draw 'polygon 14,13 24,13 24,7 31,17 24,27 24,21 14,21'
# 2 incoming file: a page with a blue arrow coming in.
row 2 -fill white -stroke '#556' -strokewidth 2 -draw 'rectangle 11,3 27,28' \
    -stroke none -fill '#2a64c8' -draw 'polygon 1,13 11,13 11,7 18,17 11,27 11,21 1,21'
# 4 instant message: a speech bubble.
row 4 -fill '#ffd75e' -stroke '#a27a00' -strokewidth 2 -draw 'roundrectangle 2,4 29,22 6,6' \
    -draw 'polygon 8,21 14,21 7,29' -stroke none -fill '#ffd75e' -draw 'rectangle 9,19 13,22' \
    -fill '#a27a00' -draw 'circle 9,13 9,15' -draw 'circle 16,13 16,15' -draw 'circle 23,13 23,15'
# 5 connection lost or closing: a grey plug with a red cross.
row 5 -fill '#8a8f98' -draw 'roundrectangle 3,10 17,24 3,3' -draw 'rectangle 17,13 23,15' \
    -draw 'rectangle 17,19 23,21' -stroke '#d0312d' -strokewidth 4 -draw 'line 19,3 29,13' -draw 'line 29,3 19,13'
# 6 connection made, plug-in invitations: two linked green rings.
row 6 -fill none -stroke '#23965a' -strokewidth 4 -draw 'circle 11,16 11,7' -draw 'circle 21,16 21,7'
# 7 general settings: a grey gear.
row 7 -fill '#5d6d7e' -draw 'translate 16,16 rectangle -3,-14 3,14' \
    -draw 'translate 16,16 rotate 45 rectangle -3,-14 3,14' -draw 'translate 16,16 rotate 90 rectangle -3,-14 3,14' \
    -draw 'translate 16,16 rotate 135 rectangle -3,-14 3,14' -draw 'circle 16,16 16,5' \
    -fill '#f2f4f6' -draw 'circle 16,16 16,11'
# 8 error: a red disc with an exclamation mark.
row 8 -fill '#d0312d' -draw 'circle 16,16 16,2' -fill white -draw 'roundrectangle 14,7 18,19 2,2' \
    -draw 'circle 16,24 16,26'

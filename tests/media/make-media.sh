#!/bin/sh
# Makes the test media of this folder again, with the encoders of Debian 12
# (apt-get install imagemagick libheif-examples libheif-dev libexiv2-dev
# exiv2 ffmpeg g++ pkg-config). Run from anywhere; writes into this folder.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A picture whose left half is red and right half blue, W x H.
halves() { convert -size "$(($1 / 2))x$2" xc:'#d02020' xc:'#2040d0' +append "$3"; }

halves 64 48 "$here/photo.jpg"
exiv2 -M'set Exif.Photo.DateTimeOriginal Ascii 2021:05:06 07:08:09' -M'set Exif.Image.Orientation Short 8' \
  "$here/photo.jpg"
halves 40 30 "$here/photo.png"
halves 36 20 "$here/photo.gif"
halves 30 40 "$work/tiff.png"
convert "$work/tiff.png" -compress zip "$here/photo.tiff"
halves 24 16 "$here/photo.bmp"
halves 50 26 "$work/webp.png"
convert "$work/webp.png" -quality 60 "$here/photo.webp"

# HEIC as a phone writes it: stored 80 x 48, turned upright by the file's
# own rotation and its EXIF orientation 6, so shown 48 x 80.
g++ -std=c++17 -O1 "$here/make-heic.cpp" -o "$work/make-heic" $(pkg-config --cflags --libs libheif exiv2)
"$work/make-heic" "$here/photo.heic" 80 48 6 '2023:07:14 09:30:15'
# The same with a thumbnail of its own, as a phone's camera writes one: 160 x
# 96 stored, its thumbnail 80 x 48, both turned by orientation 6.
"$work/make-heic" "$here/photo-thumbnail.heic" 160 96 6 '2023:07:14 09:30:15' 80

# HEIF as heif-enc writes it from a JPEG: a grid around a padded tile,
# EXIF copied from the JPEG.
halves 72 40 "$work/heif.jpg"
exiv2 -M'set Exif.Photo.DateTimeOriginal Ascii 2020:01:02 03:04:05' "$work/heif.jpg"
heif-enc -q 40 -o "$here/photo.heif" "$work/heif.jpg"

# Movies: H.264 (libx264) from ffmpeg's test pattern, 4 frames a second.
movie() {
  ffmpeg -hide_banner -loglevel error -y -f lavfi -i "testsrc=size=$2:rate=4:duration=$3" \
    -c:v libx264 -preset veryslow -crf 40 -pix_fmt yuv420p -g 100 \
    -metadata creation_time=2022-03-04T05:06:07Z "$here/movie.$1"
}
movie mov 64x48 1.5
movie mp4 48x64 2
movie m4v 80x48 1
movie 3gp 176x144 2.5

#!/bin/sh
# Regenerates the program's pictures in res/images from scratch with ImageMagick (convert; the SVG
# icon is read through rsvg-convert, librsvg2-bin).
# The outputs are committed, so a build never needs this script or ImageMagick.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
out="$here/../res/images"
bold=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
book=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Application icon: a list of names under a magnifying glass on a dark blue tile.
cat > "$out/tarrow.svg" <<'SVG'
<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 256 256">
  <rect x="8" y="8" width="240" height="240" rx="44" fill="#24507c"/>
  <rect x="40" y="56" width="136" height="20" rx="10" fill="#e8f1f8"/>
  <rect x="40" y="98" width="104" height="20" rx="10" fill="#e8f1f8" opacity="0.85"/>
  <rect x="40" y="140" width="72" height="20" rx="10" fill="#e8f1f8" opacity="0.7"/>
  <circle cx="156" cy="150" r="46" fill="#1a3a5c" stroke="#f2b134" stroke-width="20"/>
  <line x1="190" y1="184" x2="224" y2="218" stroke="#f2b134" stroke-width="26" stroke-linecap="round"/>
</svg>
SVG

for size in 16 24 32 48 64 128 256; do
    convert -background none -density 384 "$out/tarrow.svg" -resize ${size}x${size} \
        PNG32:"$out/tarrow_$size.png"
done
convert "$out/tarrow_16.png" "$out/tarrow_24.png" "$out/tarrow_32.png" "$out/tarrow_48.png" \
    "$out/tarrow_64.png" "$out/tarrow_128.png" "$out/tarrow_256.png" "$out/tarrow.ico"

# PNGs without ImageMagick's time stamps, so that running the script again on unchanged art writes
# the same files.
stable="-define png:exclude-chunks=date,time"

# Banner, 609 x 86, 24-bit, and banner@2x.png for 2x screens: the same art drawn at twice the size,
# not the small one enlarged.
banner() { # scale output
    s=$1
    convert -size $((609 * s))x$((86 * s)) gradient:'#1c3f66'-'#2f7f8f' -rotate -90 \
        -resize $((609 * s))x$((86 * s))! "$tmp/back.png"
    convert "$tmp/back.png" \
        -fill '#ffffff' -font "$bold" -pointsize $((40 * s)) -annotate +$((96 * s))+$((48 * s)) 'Tarrow' \
        -fill '#d6e6f2' -font "$book" -pointsize $((13 * s)) \
        -annotate +$((98 * s))+$((72 * s)) 'Watches the DNS queries on your network and lists every name asked for.' \
        \( "$out/tarrow_$((64 * s)).png" \) -geometry +$((18 * s))+$((11 * s)) -composite \
        -type TrueColor -define png:color-type=2 $stable PNG24:"$2"
}
banner 1 "$out/banner.png"
banner 2 "$out/banner@2x.png"

# List images: three 16-pixel glyphs (green, yellow, red) with a black outline on the mask
# colour RGB(0,128,128), which the program draws transparent. No anti-aliasing, so no pixel is a
# blend of a glyph colour and the mask colour. list_images@2x.png draws the same circles at twice
# the size; the half-pixel shift keeps each centred where the small one's pixel centre is.
list_images() { # scale output
    s=$1
    t=$(( s - 1 )).0
    [ "$s" -eq 2 ] && t=0.5
    glyph() { echo "translate $t,$t scale $s,$s circle $1,7 $1,1"; }
    convert -size $((48 * s))x$((15 * s)) xc:'rgb(0,128,128)' +antialias -stroke black -strokewidth 1 \
        -fill 'rgb(0,255,0)' -draw "$(glyph 7)" \
        -fill 'rgb(255,255,0)' -draw "$(glyph 23)" \
        -fill 'rgb(255,0,0)' -draw "$(glyph 39)" \
        -type TrueColor -define png:color-type=2 $stable PNG24:"$2"
}
list_images 1 "$out/list_images.png"
list_images 2 "$out/list_images@2x.png"

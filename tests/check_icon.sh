#!/bin/bash
# check_icon.sh <make_icon binary> <res dir>
#
# Keeps the committed application icon honest:
#  - res/sigma-calibrage.ico is exactly what make_icon makes of res/icon.txt, so the art and the
#    binary never drift apart;
#  - it holds two 16-colour images, 16x16 and 32x32, as icoutils reads them;
#  - decoded by icoutils and ImageMagick, every pixel has the colour (or transparency) that the
#    character map at the top of icon.txt gives its character, so a flipped bitmap, a wrong
#    palette or a bad AND mask cannot hide behind a byte-for-byte comparison;
#  - make_icon accepts CRLF art and refuses malformed art and I/O errors with a message and a
#    non-zero exit, leaving no icon behind.
# Needs icotool (icoutils) and convert (ImageMagick).
set -eu

if [ $# -ne 2 ]; then
    echo "usage: $0 <make_icon binary> <res dir>" >&2
    exit 2
fi
make_icon=$1
res=$2
art=$res/icon.txt
ico=$res/sigma-calibrage.ico

for tool in icotool convert; do
    if ! command -v "$tool" >/dev/null; then
        echo "FAIL: $tool is not installed (icotool: icoutils, convert: imagemagick)" >&2
        exit 1
    fi
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# --- The committed icon is what the art makes ---------------------------------------------------
"$make_icon" "$art" "$tmp/fresh.ico"
if ! cmp -s "$tmp/fresh.ico" "$ico"; then
    fail "$ico is stale: regenerate it with: make_icon $art $ico"
fi

# --- Its images, as icoutils lists them --------------------------------------------------------
expected_list='--icon --index=1 --width=16 --height=16 --bit-depth=4 --palette-size=16
--icon --index=2 --width=32 --height=32 --bit-depth=4 --palette-size=16'
actual_list=$(icotool -l "$ico")
if [ "$actual_list" != "$expected_list" ]; then
    fail "icotool -l $ico lists:"$'\n'"$actual_list"$'\n'"expected:"$'\n'"$expected_list"
fi
# icotool reports the bit depth of the bitmap headers; Windows and windres choose images by the
# directory, so read that too: ICONDIR, then each entry's size, colours, planes and bit count,
# and image sizes and offsets that tile the rest of the file exactly.
directory=$(od -An -v -tu1 "$ico" | tr -s ' ' '\n' | sed '/^$/d' |
    awk '{ b[NR - 1] = $1 }
        function u32(at) { return b[at] + 256 * (b[at + 1] + 256 * (b[at + 2] + 256 * b[at + 3])) }
        END {
            line = b[0] " " b[1] " " b[2] " " b[3] " " b[4] " " b[5]
            end = 6 + 16 * 2
            for (e = 6; e < 38; e += 16) {
                line = line " |"
                for (i = 0; i < 8; i++) line = line " " b[e + i]
                if (u32(e + 12) != end) line = line " offset " u32(e + 12) " instead of " end
                end += u32(e + 8)
            }
            if (end != NR) line = line " | images end at " end " of " NR " bytes"
            print line
        }')
expected_directory='0 0 1 0 2 0 | 16 16 16 0 1 0 4 0 | 32 32 16 0 1 0 4 0'
if [ "$directory" != "$expected_directory" ]; then
    fail "the icon directory of $ico reads \"$directory\", expected \"$expected_directory\""
fi

# --- Every pixel, decoded, against the art ------------------------------------------------------
# The character map is read from the comment block of icon.txt ("K  0 black  000000"), so the
# documentation is checked along with the tool.
grep -oE '[A-Z] +[0-9]+ [a-z]+( [a-z]+)? +[0-9A-F]{6}' "$art" |
    awk '{ print $1, $NF }' >"$tmp/map"
if [ "$(wc -l <"$tmp/map")" -ne 16 ] || [ "$(cut -d' ' -f1 "$tmp/map" | sort -u | wc -l)" -ne 16 ] ||
    [ "$(cut -d' ' -f2 "$tmp/map" | sort -u | wc -l)" -ne 16 ]; then
    fail "the character map at the top of $art does not give 16 distinct characters and colours"
fi

# check_decoded <art> <ico>: decodes both images of <ico> with icoutils and ImageMagick and
# compares every pixel with <art>. It also reads the colour bitmap itself: under a transparent
# pixel it must hold index 0, or Windows draws the background there inverted.
check_decoded() {
    local index=0 size
    for size in 16 32; do
        index=$((index + 1))
        # Expected: "x,y RRGGBB" for each opaque pixel, "x,y transparent" for '.'.
        awk -v size="$size" -v mapfile="$tmp/map" '
            BEGIN { while ((getline line < mapfile) > 0) { split(line, f, " "); colour[f[1]] = f[2] } }
            $0 == "size " size { y = 0; inside = 1; next }
            inside {
                for (x = 0; x < length($0); x++) {
                    c = substr($0, x + 1, 1)
                    print x "," y " " (c == "." ? "transparent" : colour[c])
                }
                if (++y == size) inside = 0
            }' "$1" >"$tmp/expected"
        if [ "$(wc -l <"$tmp/expected")" -ne $((size * size)) ]; then
            fail "could not read the ${size}x${size} art from $1"
            continue
        fi
        icotool -x -i "$index" -o "$tmp/image.png" "$2"
        convert "$tmp/image.png" -depth 8 txt:- |
            sed -nE 's/^([0-9]+,[0-9]+): .*#([0-9A-F]{6})([0-9A-F]{2}).*/\1 \2 \3/p' |
            awk '{ print $1, ($3 == "00" ? "transparent" : ($3 == "FF" ? $2 : "alpha " $3)) }' \
                >"$tmp/decoded"
        if ! diff -u "$tmp/expected" "$tmp/decoded" >"$tmp/diff"; then
            fail "the ${size}x${size} image of $2 does not decode to $1 (- art, + decoded):"$'\n'"$(head -20 "$tmp/diff")"
        fi
        # Directory entry <index> gives the image offset; its 4-bit rows, bottom-up and padded to
        # 4 bytes, follow the 40-byte header and the 64-byte palette.
        od -An -v -tu1 "$2" | tr -s ' ' '\n' | sed '/^$/d' |
            awk -v entry=$((6 + 16 * (index - 1))) -v size="$size" -v expected="$tmp/expected" '
                { b[NR - 1] = $1 }
                END {
                    at = entry + 12
                    start = b[at] + 256 * (b[at + 1] + 256 * (b[at + 2] + 256 * b[at + 3])) + 104
                    stride = int((size * 4 + 31) / 32) * 4
                    while ((getline line < expected) > 0) {
                        split(line, f, "[, ]")
                        if (f[3] != "transparent") continue
                        byte = b[start + (size - 1 - f[2]) * stride + int(f[1] / 2)]
                        nibble = f[1] % 2 == 0 ? int(byte / 16) : byte % 16
                        if (nibble != 0) { print f[1] "," f[2] ": index " nibble; bad = 1 }
                    }
                    exit bad
                }' >"$tmp/masked" ||
            fail "the ${size}x${size} image of $2 has colours under transparent pixels:"$'\n'"$(head -5 "$tmp/masked")"
    done
}
check_decoded "$art" "$ico"

# --- CRLF art, as a Windows checkout may have it, makes the same icon ---------------------------
sed 's/$/\r/' "$art" >"$tmp/crlf.txt"
if ! "$make_icon" "$tmp/crlf.txt" "$tmp/crlf.ico" || ! cmp -s "$tmp/crlf.ico" "$ico"; then
    fail "make_icon does not make the same icon from CRLF art"
fi

# --- Malformed art and I/O errors -----------------------------------------------------------------
# A small valid art that uses every character, checked first so that every refusal below comes
# from its one fault:
# line 1 "size 16", lines 2-17 its rows, line 18 "size 32", lines 19-50 its rows.
{
    echo "size 16"
    for _ in $(seq 16); do printf '%s\n' "KMGONPTSDRLYBFCW"; done
    echo "size 32"
    for _ in $(seq 32); do printf '%s\n' "................................"; done
} >"$tmp/valid.txt"
if ! "$make_icon" "$tmp/valid.txt" "$tmp/valid.ico" 2>"$tmp/stderr"; then
    fail "make_icon refuses the valid fixture: $(cat "$tmp/stderr")"
else
    check_decoded "$tmp/valid.txt" "$tmp/valid.ico" # every character of the map
fi

# expect_refusal <case> <expected message part> <input> <output>
expect_refusal() {
    local status=0
    rm -f "$tmp/stderr"
    "$make_icon" "$3" "$4" 2>"$tmp/stderr" || status=$?
    if [ "$status" -eq 0 ]; then
        fail "$1: make_icon succeeded"
    elif ! grep -qF -- "$2" "$tmp/stderr"; then
        fail "$1: stderr lacks \"$2\": $(cat "$tmp/stderr")"
    fi
    if [ -f "$4" ]; then
        fail "$1: make_icon left $4 behind"
    fi
}

# case | expected message part | sed script turning the valid fixture into the faulty art
while IFS='|' read -r name message script; do
    [ -n "$name" ] || continue
    sed -e "$script" "$tmp/valid.txt" >"$tmp/bad.txt"
    rm -f "$tmp/bad.ico"
    expect_refusal "$name" "$message" "$tmp/bad.txt" "$tmp/bad.ico"
done <<'EOF'
row too short|bad.txt:2: row 1 of the 16x16 image has 15 characters, expected 16|2s/^.//
row too long|bad.txt:50: row 32 of the 32x32 image has 33 characters|50s/$/./
empty row inside an image|bad.txt:5: row 4 of the 16x16 image has 0 characters|5s/.*//
unknown character|bad.txt:7: unknown character 'Z' in column 4|7s/^\(...\)./\1Z/
lower-case colour|unknown character 'k' in column 1|20s/^./k/
space in a row|unknown character ' ' in column 16|3s/.$/ /
tab in a row|unknown character byte 0x09 in column 1|3s/^./\t/
image cut short|the 32x32 image ends after 31 of its 32 rows|$d
no 32x32 image|no 32x32 image|18,$d
empty file|no 16x16 image|d
second 16x16 image|bad.txt:18: second 16x16 image|18s/32/16/
unsupported size|bad.txt:1: unsupported image size 24|1s/16/24/
size with junk|expected "size 16" or "size 32", got "size 16px"|1s/$/px/
stray line between images|bad.txt:18: expected "size 16" or "size 32", got "KKKK"|17a\KKKK
EOF

expect_refusal "missing input" "cannot open $tmp/none.txt" "$tmp/none.txt" "$tmp/none.ico"
expect_refusal "output directory missing" "cannot create $tmp/no/dir.ico" "$art" "$tmp/no/dir.ico"
if [ -w /dev/full ]; then
    expect_refusal "output device full" "cannot write /dev/full" "$art" /dev/full
fi
status=0
"$make_icon" "$art" 2>/dev/null || status=$?
if [ "$status" -eq 0 ]; then
    fail "make_icon with one argument succeeded"
fi

if [ "$failures" -ne 0 ]; then
    echo "check_icon: $failures failure(s)" >&2
    exit 1
fi
echo "check_icon: ok"

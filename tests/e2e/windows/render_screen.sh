#!/bin/bash
# Renders a screen captured by console_driver.exe ("dump PATH") to a PNG: every cell in its
# colours from the classic 16-colour console palette, its character in a monospace font, and the
# grid lines its attribute asks for along the cell's edges, drawn in the foreground colour as the
# Windows console draws them.
#
# Usage: render_screen.sh DUMP PNG [ROWS]      ROWS: draw only the first ROWS rows
# Needs ImageMagick (convert) and a monospace TrueType font (DejaVu Sans Mono by default; set
# SIGMA_FONT to use another).
set -eu -o pipefail

[ $# -ge 2 ] || {
    echo "usage: render_screen.sh DUMP PNG [ROWS]" >&2
    exit 2
}
dump=$1
png=$2
font=${SIGMA_FONT:-$(fc-match -f '%{file}' 'DejaVu Sans Mono' 2>/dev/null || true)}
[ -f "$font" ] || {
    echo "render_screen.sh: no monospace font found; set SIGMA_FONT" >&2
    exit 1
}
read -r _ columns rows < <(grep -m1 '^size ' "$dump")
rows=${3:-$rows}
cell_width=10
cell_height=20

mvg=$(mktemp)
trap 'rm -f "$mvg"' EXIT
awk -v columns="$columns" -v rows="$rows" -v cw="$cell_width" -v ch="$cell_height" \
    -v width=$((columns * cell_width)) -v height=$((rows * cell_height)) -v font="$font" '
    BEGIN {
        split("000000 000080 008000 008080 800000 800080 808000 C0C0C0 " \
              "808080 0000FF 00FF00 00FFFF FF0000 FF00FF FFFF00 FFFFFF", palette, " ")
        printf "viewbox 0 0 %d %d\n", width, height
        printf "fill #000000 rectangle 0,0 %d,%d\n", width, height
        printf "font \"%s\"\nfont-size 15\nstroke-width 1\n", font
    }
    $1 == "t" && $2 + 0 < rows {
        line = $0
        sub(/^t [0-9]+ \|/, "", line)
        text[$2 + 0] = substr(line, 1, columns)
    }
    $1 == "a" && $2 + 0 < rows {
        for (c = 0; c < columns; c++) attribute[$2 + 0, c] = $(c + 3)
    }
    function hex(s,   i, v) {
        v = 0
        for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789ABCDEF", substr(s, i, 1)) - 1
        return v
    }
    END {
        for (r = 0; r < rows; r++) {
            for (c = 0; c < columns; c++) {
                a = hex(attribute[r, c])
                fg = "#" palette[a % 16 + 1]
                bg = "#" palette[int(a / 16) % 16 + 1]
                x = c * cw
                y = r * ch
                if (bg != "#000000")
                    printf "stroke none fill %s rectangle %d,%d %d,%d\n", bg, x, y, x + cw - 1, y + ch - 1
                glyph = substr(text[r], c + 1, 1)
                if (glyph != " " && glyph != "") {
                    gsub(/\\/, "\\\\", glyph)
                    gsub(/"/, "\\\"", glyph)
                    printf "stroke none fill %s text %d,%d \"%s\"\n", fg, x + 1, y + 15, glyph
                }
                if (int(a / 1024) % 2) printf "fill none stroke %s line %d,%d %d,%d\n", fg, x, y, x + cw - 1, y
                if (int(a / 2048) % 2) printf "fill none stroke %s line %d,%d %d,%d\n", fg, x, y, x, y + ch - 1
                if (int(a / 4096) % 2) printf "fill none stroke %s line %d,%d %d,%d\n", fg, x + cw - 1, y, x + cw - 1, y + ch - 1
            }
        }
    }' "$dump" >"$mvg"
convert -size $((columns * cell_width))x$((rows * cell_height)) "mvg:$mvg" -depth 8 "$png"

#!/usr/bin/env bash
# Builds raw_carve: a 24 MiB image with no file system, known files at known
# sectors and deterministic filler between them.
#
#   tools/build_raw_fixture.sh
#
# Filler: 16 noise sectors right before each file (each starting with
# "VELKFILL" and its sector number, so no signature can match there), zeros
# elsewhere. The last file ends exactly at the end of the image, and one JPEG
# starts off a sector boundary (a carver that tests sector starts misses it).

. "$(dirname "$0")/fixture_lib.sh"

fx_require genisoimage isoinfo xz

SIZE=$((24 * 1024 * 1024))

build_raw_carve() {
    local name=raw_carve img="$FX_WORK/raw_carve.img"
    fx_manifest_begin "$name"

    local jpg png gif bmp pdf zip docx iso ujpg wav
    jpg=$(fx_gen jpeg raw/photo.jpg --width 800 --height 600)
    png=$(fx_gen png raw/picture.png --width 320 --height 240)
    gif=$(fx_gen gif raw/anim.gif --width 160 --height 120)
    bmp=$(fx_gen bmp raw/image.bmp --width 200 --height 150)
    pdf=$(fx_gen pdf raw/document.pdf --title "Raw carving sample")
    zip=$(fx_gen zip raw/archive.zip)
    docx=$(fx_gen docx raw/letter.docx --title "Letter")
    ujpg=$(fx_gen jpeg raw/unaligned.jpg --width 160 --height 120)
    # 64 KiB exactly, so that it can end on the image's last byte
    wav=$(fx_gen wav raw/tone.wav --size 65536)

    # A small ISO 9660 image (its "CD001" sits at byte 32769)
    local isodir="$FX_WORK/isotree"
    mkdir -p "$isodir/docs"
    cp "$(fx_gen text raw/iso-readme.txt --size 3000)" "$isodir/readme.txt"
    cp "$(fx_gen text raw/iso-notes.txt --size 9000)" "$isodir/docs/notes.txt"
    cp "$(fx_gen jpeg raw/iso-pic.jpg --width 200 --height 150)" "$isodir/docs/pic.jpg"
    find "$isodir" -exec touch -d "$FX_TIME" {} +
    iso="$FX_WORK/src/raw/disc.iso"
    fx_frozen genisoimage -quiet -V VELKISO -J -o "$iso" "$isodir"

    local -a place=()
    local -a rows=()
    add() {  # FILE NAME BYTE_OFFSET NOTES
        place+=(--place "$1:$3")
        rows+=("$2|$1|$3|$4")
    }
    add "$jpg" photo.jpg 0 "at-offset-0"
    add "$png" picture.png $((2048 * 512)) ""
    add "$gif" anim.gif $((4096 * 512)) ""
    add "$bmp" image.bmp $((6144 * 512)) ""
    add "$pdf" document.pdf $((8199 * 512)) "odd-sector"
    add "$zip" archive.zip $((10240 * 512)) ""
    add "$docx" letter.docx $((11264 * 512)) "docx-zip"
    add "$iso" disc.iso $((12288 * 512)) "iso9660 CD001-at-+32769"
    add "$ujpg" unaligned.jpg $((16384 * 512 + 100)) "unaligned"
    add "$wav" tone.wav $((SIZE - $(fx_size "$wav"))) "ends-at-image-end"

    "$FX_PY" "$FX_GEN" rawbuild "$img" --size "$SIZE" --seed raw_carve --noise 16 "${place[@]}"

    # Check every placement from the finished image, then write the rows.
    local r n f off notes pos
    for r in "${rows[@]}"; do
        IFS='|' read -r n f off notes <<<"$r"
        [[ $(fx_bytes "$img" "$off" "$(fx_size "$f")" | sha256sum | cut -d' ' -f1) == "$(fx_sha "$f")" ]] ||
            fx_die "$n is not at byte $off"
        if ((off % 512 == 0)); then
            pos="start_sector=$((off / 512))"
        else
            pos="start_offset=$off start_sector=none"
        fi
        fx_row 0 "$n" "$f" live "$pos${notes:+ $notes}"
    done
    [[ $(fx_size "$img") -eq $SIZE ]] || fx_die "image size"
    [[ $(fx_bytes "$img" $((SIZE - $(fx_size "$wav"))) "$(fx_size "$wav")" | sha256sum | cut -d' ' -f1) == "$(fx_sha "$wav")" ]] ||
        fx_die "tone.wav does not end the image"
    # The ISO must read as one where it lies.
    fx_bytes "$img" $((12288 * 512)) "$(fx_size "$iso")" >"$FX_WORK/iso.check"
    [[ $(isoinfo -d -i "$FX_WORK/iso.check") == *"Volume id: VELKISO"* ]] || fx_die "ISO not readable in place"
    [[ $(fx_bytes "$img" $((12288 * 512 + 32769)) 5) == CD001 ]] || fx_die "no CD001 at +32769"
    # No filler sector may begin like a file: every sector start that is not a
    # placed file's start must be zeros, filler or the inside of a file.
    "$FX_PY" - "$img" "${rows[@]}" <<'PY' || fx_die "stray file starts in the filler"
import sys
img = open(sys.argv[1], "rb").read()
starts = {}
spans = []
for r in sys.argv[2:]:
    n, f, off, _ = r.split("|")
    off = int(off)
    size = len(open(f, "rb").read())
    spans.append((off, off + size))
    starts[off] = n
bad = 0
for s in range(0, len(img), 512):
    sec = img[s:s + 16]
    inside = any(a <= s < b for a, b in spans)
    if inside or sec == bytes(16) or sec.startswith(b"VELKFILL"):
        continue
    print(f"sector {s // 512} starts with {sec.hex()}", file=sys.stderr)
    bad += 1
sys.exit(1 if bad else 0)
PY
    fx_publish "$name" "$img"
}

fx_begin
build_raw_carve

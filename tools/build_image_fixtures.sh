#!/usr/bin/env bash
# Builds the disk-image container fixtures from two raw disk fixtures, with the
# tools that make such images in the field (qemu-img from qemu-utils, ewfacquire
# from ewf-tools), and checks each one against its raw disk with those tools
# (qemu-img compare, ewfverify and ewfexport) before writing it out.
#
#   tools/build_image_fixtures.sh            # writes tests/fixtures/*.{E0?,vhd,vhdx,vmdk,qcow2}.xz
#   FX_OUT=dir tools/build_image_fixtures.sh # writes elsewhere
#
# From mbr_ext05 (64 MiB: a FAT16 primary and a FAT16 logical partition):
#   mbr_ext05_split.E01/.E02/.E03   EWF, uncompressed, three segments
#   mbr_ext05_fixed.vhd, mbr_ext05_dynamic.vhd, mbr_ext05.vhdx
#   mbr_ext05.vmdk                  monolithic sparse
#   mbr_ext05_extents.vmdk          a descriptor naming its extent mbr_ext05_extents-s001.vmdk
#   mbr_ext05.qcow2
#   mbr_ext05_overlay.qcow2, mbr_ext05_overlay.vmdk
#                                   differencing images over mbr_ext05.qcow2 and
#                                   mbr_ext05_extents.vmdk, with the 4 KiB at byte 1 MiB
#                                   (the FAT16 primary's boot sector and the 7 sectors
#                                   after it) written as the byte 0x5A; the rest reads
#                                   as the parent.
# From mbr_mixed (256 MiB: FAT32, NTFS, FAT16 and EXT2):
#   mbr_mixed.E01                   EWF, one deflate-compressed segment

set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
SRC="$HERE/../tests/fixtures"
OUT=${FX_OUT:-$SRC}
log() { printf '[build_image_fixtures] %s\n' "$*" >&2; }
die() { log "ERROR: $*"; exit 1; }

for tool in qemu-img qemu-io ewfacquire ewfverify ewfexport xz cmp; do
    command -v "$tool" >/dev/null || die "$tool is missing (apt-get install qemu-utils ewf-tools xz-utils)"
done

WORK=$(mktemp -d /tmp/velk-image-fixtures.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

xz -dc "$SRC/mbr_mixed.img.xz" >mbr_mixed.img
xz -dc "$SRC/mbr_ext05.img.xz" >mbr_ext05.img

qemu_image() {  # RAW FORMAT OUTPUT [qemu-img convert options...]
    local raw=$1 format=$2 output=$3
    shift 3
    qemu-img convert -f raw -O "$format" "$@" "$raw" "$output"
    qemu-img compare -q -f raw -F "$format" "$raw" "$output" || die "$output does not read back as $raw"
}

ewf_image() {  # RAW TARGET_BASE [ewfacquire options...]
    local raw=$1 target=$2
    shift 2
    # Fixed case facts and clock, so a rebuild differs only where the tool insists.
    ewfacquire -u -q -C velk -D "$raw" -e velk -E 1 -N fixture "$@" -t "$target" "$raw" >/dev/null
    ewfverify -q "$target.E01" >/dev/null || die "ewfverify fails on $target.E01"
    ewfexport -u -q -f raw -t "$target.export" "$target.E01" >/dev/null 2>&1
    cmp -s "$target.export.raw" "$raw" || die "$target.E01 does not export as $raw"
    rm -f "$target.export.raw" "$target.export.raw.info"
}

qemu_image mbr_ext05.img vpc mbr_ext05_fixed.vhd -o subformat=fixed,force_size=on
qemu_image mbr_ext05.img vpc mbr_ext05_dynamic.vhd -o subformat=dynamic,force_size=on
qemu_image mbr_ext05.img vhdx mbr_ext05.vhdx
qemu_image mbr_ext05.img vmdk mbr_ext05.vmdk
qemu_image mbr_ext05.img vmdk mbr_ext05_extents.vmdk -o subformat=twoGbMaxExtentSparse
qemu_image mbr_ext05.img qcow2 mbr_ext05.qcow2
ewf_image mbr_ext05.img mbr_ext05_split -c none -S 24MiB
ewf_image mbr_mixed.img mbr_mixed -c deflate:best
[ -f mbr_ext05_split.E03 ] && [ ! -f mbr_ext05_split.E04 ] || die "mbr_ext05_split is not three segments"
grep -q '"mbr_ext05_extents-s001.vmdk"' mbr_ext05_extents.vmdk || die "the descriptor does not name its extent"

# Differencing images: the parent is named without a folder, so it is found next to the child.
cp mbr_ext05.img expected_overlay.img
printf 'Z%.0s' $(seq 4096) | dd of=expected_overlay.img bs=1 seek=$((1 << 20)) conv=notrunc status=none
for format in qcow2 vmdk; do
    parent=mbr_ext05.qcow2
    [ "$format" = vmdk ] && parent=mbr_ext05_extents.vmdk
    qemu-img create -q -f "$format" -b "$parent" -F "$format" "mbr_ext05_overlay.$format"
    qemu-io -f "$format" -c "write -P 0x5a $((1 << 20)) 4096" "mbr_ext05_overlay.$format" >/dev/null
    qemu-img compare -q -f raw -F "$format" expected_overlay.img "mbr_ext05_overlay.$format" ||
        die "mbr_ext05_overlay.$format is not its parent with the 4 KiB written"
done

for file in mbr_ext05_split.E01 mbr_ext05_split.E02 mbr_ext05_split.E03 mbr_ext05_fixed.vhd \
            mbr_ext05_dynamic.vhd mbr_ext05.vhdx mbr_ext05.vmdk mbr_ext05_extents.vmdk \
            mbr_ext05_extents-s001.vmdk mbr_ext05.qcow2 mbr_ext05_overlay.qcow2 mbr_ext05_overlay.vmdk \
            mbr_mixed.E01; do
    xz -9 -T1 -c "$file" >"$OUT/$file.xz"
    log "$file: $(stat -c %s "$OUT/$file.xz") bytes compressed"
done

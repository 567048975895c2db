#!/usr/bin/env bash
# Builds the exFAT test images with the real tools: mkfs.exfat (exfatprogs) makes the
# volume, exfat-fuse over a loop device fills it and deletes from it (this machine's kernel
# has no exFAT driver), fsck.exfat -n checks it. Needs root.
#
#   sudo tools/build_exfat_fixtures.sh [exfat_deleted] [exfat_formatted] [exfat_gpt]
#
# With no argument all three are built into tests/fixtures/ (FX_OUT overrides; FX_KEEP=1
# keeps the work folder). Every manifest row is read back from the finished image by
# tools/exfat_fixture.py (an exFAT reader of its own): entry set in use or deleted, the
# folder above it, first cluster, NoFatChain, contiguous or fragmented, clusters free, and
# the sha256 of the bytes they hold. The Sleuth Kit's counts are printed for comparison.
#
# Images (manifests as tools/README.md describes them, plus <name>.volume.tsv: label,
# cluster bytes and free clusters as the bitmap says):
# - exfat_deleted: 32 MiB MBR disk, partition 1 of type 0x07 at 2048, 4 KiB clusters, label
#   "VELK EXFAT". Deleted from the root: short, unicode and long names (four name entries),
#   an empty file, 1 byte, one cluster, 300 KB contiguous, a fragmented file (FAT chain,
#   zeroed at deletion, a live file between its parts), read-only and hidden+system files.
#   Deleted from the live Documents, the deleted folders Documents/Archive and Old Photos
#   (with Old Photos/2019), and two files of Many, a live folder of 40 sets whose second
#   cluster is reached through the FAT. Camera (40 sets of five entries) is deleted whole:
#   exfat-fuse shrinks it to one cluster first, so its files from the 26th on lie in a
#   cluster it no longer names; "Empty names" (40 empty files) the same without a chain.
#   victim.bin is deleted and its slot and clusters taken by
#   later.bin (overwritten).
# - exfat_formatted: unpartitioned 24 MiB, 4 KiB clusters, filled (Photos, Documents with
#   Documents/2025 and a fragmented growing.log, Music, Many with a set cut across its two
#   clusters), Documents/old.txt deleted, then mkfs.exfat again: old root gone, the rest kept.
# - exfat_gpt: 40 MiB GPT disk, one basic-data partition at 2048, 32 KiB clusters, gone.txt
#   deleted beside the live hello.txt.
# Note words: contiguous|fragmented, nofatchain|fatchain, cluster=N (first cluster),
# set-cluster=N (cluster holding the file entry), folder-cluster=N, attr=0xNN,
# name-entries=N, modified=ISO time with the 10 ms field and UTC offset, entry-gone,
# deleted-before-format.
#
# What exfat-fuse does that the layouts rely on:
# - a new file takes the first free cluster and stays contiguous (NoFatChain set) while
#   the cluster after its end is free; when it is not, the file gets a FAT chain
#   (NoFatChain clear) and continues at the next free cluster;
# - deleting clears the in-use bit of every entry of the set and frees the clusters in the
#   bitmap; for a file with a FAT chain it also zeroes the chain, for a contiguous one the
#   FAT is left as it was (unused); the stream extension keeps first cluster and sizes;
# - a new entry set takes the first free slots of its folder, deleted sets included.
set -euo pipefail

TOOLS=$(cd "$(dirname "$0")" && pwd)
OUT=${FX_OUT:-$TOOLS/../tests/fixtures}
PY=${FX_PY:-/usr/bin/python3}
HELPER="$TOOLS/exfat_fixture.py"
FAKETIME_LIB=${FX_FAKETIME_LIB:-/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1}
WHEN="2026-01-02 03:04:05"
# The driver stamps local time with its UTC offset: one hour east of UTC shows both.
FUSE_TZ="VLK-1"
export LC_ALL=C.UTF-8 TZ=UTC

for tool in mkfs.exfat fsck.exfat mount.exfat-fuse losetup sfdisk fls icat xz; do
    command -v "$tool" >/dev/null || { echo "missing $tool (exfatprogs exfat-fuse fdisk sleuthkit xz-utils)" >&2; exit 1; }
done
[[ -r $FAKETIME_LIB ]] || { echo "missing $FAKETIME_LIB (libfaketime)" >&2; exit 1; }
[[ $(id -u) -eq 0 ]] || { echo "run as root (loop devices, FUSE)" >&2; exit 1; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/velkexfat.XXXXXX")
LOOP="" MNT="" FUSE_PID=""
cleanup() {
    if [[ -n $MNT ]] && mountpoint -q "$MNT"; then umount "$MNT" || umount -l "$MNT" || true; fi
    if [[ -n $FUSE_PID ]]; then wait "$FUSE_PID" 2>/dev/null || true; fi
    if [[ -n $LOOP ]]; then losetup -d "$LOOP" 2>/dev/null || true; fi
    [[ -n ${FX_KEEP:-} ]] || rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir -p "$OUT" "$WORK/src"
log() { printf '[exfat] %s\n' "$*" >&2; }
die() { log "ERROR: $*"; exit 1; }
log "work folder $WORK"

# gen NAME SIZE: a content file (unique bytes at every offset), prints its path.
gen() {
    local out="$WORK/src/$1"
    mkdir -p "$(dirname "$out")"
    "$PY" "$HELPER" gen "$out" "$2" "$1"
    printf '%s\n' "$out"
}

# attach IMAGE BYTE_OFFSET BYTES: the loop device of the volume.
attach() { LOOP=$(losetup -f --show -o "$2" --sizelimit "$3" "$1"); }
detach() { losetup -d "$LOOP"; LOOP=""; }

# mount_fuse DIR: exfat-fuse on the attached loop device, clock at WHEN and running.
# -d keeps it in the foreground as our child, so unmounting can wait for its last write.
mount_fuse() {
    MNT=$1
    mkdir -p "$MNT"
    LD_PRELOAD=$FAKETIME_LIB FAKETIME="$WHEN" TZ=$FUSE_TZ mount.exfat-fuse -d "$LOOP" "$MNT" \
        >>"$WORK/fuse.log" 2>&1 &
    FUSE_PID=$!
    for _ in $(seq 100); do mountpoint -q "$MNT" && return 0; sleep 0.1; done
    die "exfat-fuse did not mount $LOOP"
}
unmount_fuse() {
    umount "$MNT"
    wait "$FUSE_PID" || true
    FUSE_PID="" MNT=""
}

put() { cp "$1" "$MNT/$2"; }  # LOCAL PATH_IN_VOLUME
check_fs() { fsck.exfat -n "$LOOP" >"$WORK/fsck.log" 2>&1 || { cat "$WORK/fsck.log" >&2; die "fsck.exfat: $1"; }; }

# publish NAME IMAGE MANIFEST PART BYTE_OFFSET: with the volume table (label, cluster size,
# free clusters) beside the manifest.
publish() {
    xz -9e -T1 -c "$2" >"$OUT/$1.img.xz"
    cp "$3" "$OUT/$1.manifest.tsv"
    { printf 'part\tlabel\tcluster_bytes\tfree_clusters\n'; "$PY" "$HELPER" volume "$2" "$5" "$4"; } >"$OUT/$1.volume.tsv"
    log "$1: $(stat -c %s "$2") bytes -> $(stat -c %s "$OUT/$1.img.xz") bytes xz, $(($(wc -l <"$3") - 1)) files"
}

header() { printf 'part\tpath\tsize\tsha256\tstate\tnotes\n'; }

# ---------------------------------------------------------------- exfat_deleted
# 32 MiB MBR disk, partition 1 (type 0x07, as Windows makes it) at sector 2048, 4 KiB clusters.
build_exfat_deleted() {
    local name=exfat_deleted img="$WORK/exfat_deleted.img"
    local start=2048 sectors=63488
    truncate -s 32M "$img"
    printf 'label: dos\nlabel-id: 0x5e1fa7e1\nstart=%s, size=%s, type=7\n' $start $sectors |
        sfdisk -q "$img" >/dev/null
    attach "$img" $((start * 512)) $((sectors * 512))
    LD_PRELOAD=$FAKETIME_LIB FAKETIME="$WHEN" mkfs.exfat -c 4K -L "VELK EXFAT" "$LOOP" >/dev/null

    local long="A rather long file name that needs several name entries.txt"
    mount_fuse "$WORK/mnt"
    put "$(gen readme.txt 700)" readme.txt
    put "$(gen report.txt 4000)" report.txt
    put "$(gen 'Résumé 2026.txt' 2345)" 'Résumé 2026.txt'
    put "$(gen "$long" 3000)" "$long"
    put "$(gen '日本語 メモ.txt' 1234)" '日本語 メモ.txt'
    put "$(gen empty.dat 0)" empty.dat
    put "$(gen one.bin 1)" one.bin
    put "$(gen cluster.bin 4096)" cluster.bin
    put "$(gen 'big log.txt' 300007)" 'big log.txt'
    # Written in two goes around a live file: the second part cannot follow the first.
    local frag
    frag=$(gen fragmented.txt 19000)
    head -c 10000 "$frag" >"$MNT/fragmented.txt"
    put "$(gen spacer.bin 4096)" spacer.bin
    tail -c +10001 "$frag" >>"$MNT/fragmented.txt"
    put "$(gen readonly.txt 1500)" readonly.txt
    put "$(gen hidden.sys 900)" hidden.sys
    put "$(gen 'Kept photo.jpg' 4608)" 'Kept photo.jpg'
    put "$(gen 'empty live.dat' 0)" 'empty live.dat'
    mkdir "$MNT/Documents"
    put "$(gen Documents/letter.txt 1800)" Documents/letter.txt
    put "$(gen 'Documents/draft v2.docx' 2656)" 'Documents/draft v2.docx'
    put "$(gen 'Documents/Meeting notes.pdf' 2605)" 'Documents/Meeting notes.pdf'
    mkdir "$MNT/Documents/Archive"
    put "$(gen Documents/Archive/old.txt 3300)" Documents/Archive/old.txt
    put "$(gen Documents/Archive/older.txt 5100)" Documents/Archive/older.txt
    mkdir "$MNT/Old Photos"
    put "$(gen 'Old Photos/beach.jpg' 6000)" 'Old Photos/beach.jpg'
    put "$(gen 'Old Photos/mountain.jpg' 7000)" 'Old Photos/mountain.jpg'
    mkdir "$MNT/Old Photos/2019"
    put "$(gen 'Old Photos/2019/party.jpg' 5000)" 'Old Photos/2019/party.jpg'
    # 40 sets of five entries: the folder outgrows its first cluster after the files'
    # own clusters were taken, so its second cluster is reached through the FAT.
    mkdir "$MNT/Many"
    local i
    for i in $(seq -w 1 40); do
        put "$(gen "Many/entry $i with a longer name.txt" 300)" "Many/entry $i with a longer name.txt"
    done
    # The same in a folder deleted whole: emptying it, the driver shrinks it to its first
    # cluster before removing it, so its second cluster is no longer its own.
    mkdir "$MNT/Camera"
    for i in $(seq -w 1 40); do
        put "$(gen "Camera/IMG_00$i taken on the beach.jpg" 500)" "Camera/IMG_00$i taken on the beach.jpg"
    done
    # Empty files own no cluster, so this folder grows into the cluster after its first and
    # keeps NoFatChain; shrunk the same way when emptied.
    mkdir "$MNT/Empty names"
    for i in $(seq -w 1 40); do
        put "$(gen "Empty names/an empty file called number $i.txt" 0)" "Empty names/an empty file called number $i.txt"
    done
    put "$(gen victim.bin 8192)" victim.bin
    unmount_fuse
    "$PY" "$HELPER" setattr "$img" $((start * 512)) readonly.txt 0x21
    "$PY" "$HELPER" setattr "$img" $((start * 512)) hidden.sys 0x26
    check_fs "after filling"
    "$PY" "$HELPER" snapshot "$img" $((start * 512)) "$WORK/before.json"

    mount_fuse "$WORK/mnt"
    # The new file takes the deleted file's slot and clusters.
    rm "$MNT/victim.bin"
    put "$(gen later.bin 8192)" later.bin
    rm "$MNT/report.txt" "$MNT/Résumé 2026.txt" "$MNT/$long" "$MNT/日本語 メモ.txt" "$MNT/empty.dat" \
        "$MNT/one.bin" "$MNT/cluster.bin" "$MNT/big log.txt" "$MNT/fragmented.txt" "$MNT/readonly.txt" \
        "$MNT/hidden.sys" "$MNT/Documents/draft v2.docx" "$MNT/Documents/Meeting notes.pdf" \
        "$MNT/Many/entry 05 with a longer name.txt" "$MNT/Many/entry 33 with a longer name.txt"
    rm -r "$MNT/Documents/Archive" "$MNT/Old Photos" "$MNT/Camera" "$MNT/Empty names"
    unmount_fuse
    check_fs "after deleting"
    "$PY" "$HELPER" snapshot "$img" $((start * 512)) "$WORK/after.json"
    # The folders the walk must follow past what their sets say now.
    local got
    for want in "Camera:fatchain clusters=2 now=deleted length=4096" \
        "Empty names:nofatchain clusters=2 now=deleted length=4096" \
        "Many:fatchain clusters=2 now=in-use length=8192"; do
        got=$("$PY" "$HELPER" folder "$img" $((start * 512)) "$WORK/before.json" "${want%%:*}")
        [[ $got == "${want#*:}" ]] || die "${want%%:*}: $got, wanted ${want#*:}"
    done

    local d=deleted f=deleted-in-deleted-folder
    { header; "$PY" "$HELPER" rows "$img" $((start * 512)) "$WORK/before.json,$WORK/after.json" 1 deleted \
        --expect report.txt=$d "Résumé 2026.txt=$d" "$long=$d" "日本語 メモ.txt=$d" empty.dat=$d \
        one.bin=$d cluster.bin=$d "big log.txt=$d" fragmented.txt=$d readonly.txt=$d hidden.sys=$d \
        "Documents/draft v2.docx=$d" "Documents/Meeting notes.pdf=$d" \
        "Many/entry 05 with a longer name.txt=$d" "Many/entry 33 with a longer name.txt=$d" \
        Documents/Archive/old.txt=$f Documents/Archive/older.txt=$f "Old Photos/beach.jpg=$f" \
        "Old Photos/mountain.jpg=$f" "Old Photos/2019/party.jpg=$f" victim.bin=overwritten \
        "Camera/IMG_0001 taken on the beach.jpg=$f" "Camera/IMG_0040 taken on the beach.jpg=$f" \
        "Empty names/an empty file called number 40.txt=$f" \
        readme.txt=live spacer.bin=live later.bin=live; } >"$WORK/$name.manifest.tsv"
    detach
    "$PY" "$HELPER" tsk "$img" $start "$WORK/$name.manifest.tsv" 1
    publish $name "$img" "$WORK/$name.manifest.tsv" 1 $((start * 512))
}

# ---------------------------------------------------------------- exfat_formatted
# Unpartitioned 24 MiB, 4 KiB clusters: filled, then made again by mkfs.exfat (a quick
# format: boot region, FAT, bitmap, up-case table and root written anew, the rest kept).
build_exfat_formatted() {
    local name=exfat_formatted img="$WORK/exfat_formatted.img"
    truncate -s 24M "$img"
    attach "$img" 0 $((24 << 20))
    LD_PRELOAD=$FAKETIME_LIB FAKETIME="$WHEN" mkfs.exfat -c 4K -L "OLD VOLUME" "$LOOP" >/dev/null
    mount_fuse "$WORK/mnt"
    put "$(gen rootnote.txt 1500)" rootnote.txt
    mkdir "$MNT/Photos"
    put "$(gen Photos/DSC_1001.jpg 7302)" Photos/DSC_1001.jpg
    put "$(gen 'Photos/Family dinner.jpg' 20000)" 'Photos/Family dinner.jpg'
    put "$(gen Photos/map.png 5861)" Photos/map.png
    mkdir "$MNT/Documents"
    put "$(gen Documents/todo.txt 2200)" Documents/todo.txt
    put "$(gen 'Documents/Invoice 2025-117.pdf' 2631)" 'Documents/Invoice 2025-117.pdf'
    put "$(gen 'Documents/Project plan.docx' 2654)" 'Documents/Project plan.docx'
    put "$(gen Documents/old.txt 3300)" Documents/old.txt
    mkdir "$MNT/Documents/2025"
    # Its second part lies after the next file: a FAT chain, gone with the format.
    local grow
    grow=$(gen Documents/2025/growing.log 15000)
    head -c 6000 "$grow" >"$MNT/Documents/2025/growing.log"
    put "$(gen Documents/2025/expenses.csv 7000)" Documents/2025/expenses.csv
    tail -c +6001 "$grow" >>"$MNT/Documents/2025/growing.log"
    put "$(gen 'Documents/2025/Tax return notes.txt' 2600)" 'Documents/2025/Tax return notes.txt'
    mkdir "$MNT/Music"
    put "$(gen Music/tone.wav 65000)" Music/tone.wav
    mkdir "$MNT/Many"
    local i
    for i in $(seq -w 1 40); do
        put "$(gen "Many/entry $i with a longer name.txt" 300)" "Many/entry $i with a longer name.txt"
    done
    unmount_fuse
    "$PY" "$HELPER" snapshot "$img" 0 "$WORK/before.json"
    mount_fuse "$WORK/mnt"
    rm "$MNT/Documents/old.txt"
    unmount_fuse
    check_fs "before the format"
    LD_PRELOAD=$FAKETIME_LIB FAKETIME="$WHEN" mkfs.exfat -c 4K -L "NEW VOLUME" "$LOOP" >/dev/null
    check_fs "after the format"
    { header; "$PY" "$HELPER" rows "$img" 0 "$WORK/before.json" 0 formatted \
        --expect rootnote.txt=overwritten Photos/DSC_1001.jpg=formatted Music/tone.wav=formatted \
        "Documents/2025/Tax return notes.txt=formatted" Documents/old.txt=formatted; } >"$WORK/$name.manifest.tsv"
    detach
    "$PY" "$HELPER" tsk "$img" 0 "$WORK/$name.manifest.tsv" 0
    publish $name "$img" "$WORK/$name.manifest.tsv" 0 0
}

# ---------------------------------------------------------------- exfat_gpt
# 40 MiB GPT disk, one basic-data partition at sector 2048, 32 KiB clusters.
build_exfat_gpt() {
    local name=exfat_gpt img="$WORK/exfat_gpt.img"
    local start=2048 sectors=77824
    truncate -s 40M "$img"
    printf 'label: gpt\nlabel-id: 6C1A2B3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D\n%s\n' \
        "start=$start, size=$sectors, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, uuid=0E1D2C3B-4A59-4687-9A6B-5C4D3E2F1A0B" |
        sfdisk -q "$img" >/dev/null
    attach "$img" $((start * 512)) $((sectors * 512))
    LD_PRELOAD=$FAKETIME_LIB FAKETIME="$WHEN" mkfs.exfat -c 32K -L "VELK GPT" "$LOOP" >/dev/null
    mount_fuse "$WORK/mnt"
    put "$(gen hello.txt 1000)" hello.txt
    put "$(gen gone.txt 70000)" gone.txt
    unmount_fuse
    "$PY" "$HELPER" snapshot "$img" $((start * 512)) "$WORK/before.json"
    mount_fuse "$WORK/mnt"
    rm "$MNT/gone.txt"
    unmount_fuse
    check_fs "after deleting"
    { header; "$PY" "$HELPER" rows "$img" $((start * 512)) "$WORK/before.json" 1 deleted \
        --expect gone.txt=deleted hello.txt=live; } >"$WORK/$name.manifest.tsv"
    detach
    "$PY" "$HELPER" tsk "$img" $start "$WORK/$name.manifest.tsv" 1
    publish $name "$img" "$WORK/$name.manifest.tsv" 1 $((start * 512))
}

targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || targets=(exfat_deleted exfat_formatted exfat_gpt)
for t in "${targets[@]}"; do
    case $t in
        exfat_deleted|exfat_formatted|exfat_gpt) "build_$t" ;;
        *) die "unknown image $t" ;;
    esac
done

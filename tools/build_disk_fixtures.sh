#!/usr/bin/env bash
# Builds the partitioned disk images: MBR with primaries, an extended chain and
# gaps, an MBR whose extended partition has type 0x05, a GPT disk (and a copy
# with a broken primary header), and the demo disk of the README.
#
#   tools/build_disk_fixtures.sh [mbr_mixed] [mbr_ext05] [gpt_disk] [demo_disk]
#
# (gpt_damaged_primary is made together with gpt_disk.) Needs root: EXT3 and
# NTFS volumes are filled through real mounts (loop device, ntfs-3g).
#
# Each volume is made as a file of its own, filled, and copied into the disk at
# its partition's start; all checks then run on the finished disk image at the
# partition offsets: our FAT walk, fls/icat per partition, the EXT3 journal
# copies, and the partition table itself against mmls.
#
# EXT volumes use 128-byte inodes (the classic ext2/ext3 layout).

. "$(dirname "$0")/fixture_lib.sh"

fx_require mkfs.vfat mcopy mkntfs ntfs-3g mke2fs debugfs e2fsck sfdisk sgdisk mmls fls icat istat xz losetup
[[ $(id -u) -eq 0 ]] || fx_die "needs root (loop and FUSE mounts)"

# ---------------------------------------------------------------- volume helpers

V=""  # volume file the mtools helpers work on
put() { fx_frozen mcopy -i "$V" "$1" "::$2"; }
mkd() { fx_frozen mmd -i "$V" "::$1"; }
del() { fx_frozen mdel -i "$V" "::$1"; }
deltree() { fx_frozen mdeltree -i "$V" "::$1"; }

new_fat32() {  # FILE SECTORS LABEL SERIAL START
    truncate -s $(($2 * 512)) "$1"
    fx_frozen mkfs.vfat -F 32 -s 1 -n "$3" -i "$4" -h "$5" "$1" >/dev/null
    V=$1
}

new_fat16() {  # FILE SECTORS LABEL SERIAL START
    # 2 KiB clusters and a 64-entry root: the root directory is one cluster.
    truncate -s $(($2 * 512)) "$1"
    fx_frozen mkfs.vfat -F 16 -s 4 -r 64 -n "$3" -i "$4" -h "$5" "$1" >/dev/null
    [[ $("$FX_PY" "$FX_GEN" fatgeom "$1") =~ ^kind=16\ bps=512\ spc=4\ rootents=64\ .*\ root_is_one_cluster=1$ ]] ||
        fx_die "$1 is not FAT16 with a one-cluster root"
    V=$1
}

new_ntfs() {  # FILE SECTORS LABEL START
    truncate -s $(($2 * 512)) "$1"
    fx_frozen mkntfs -F -f -q -c 4096 -L "$3" -p "$4" -H 255 -S 63 "$1" >/dev/null 2>&1 ||
        fx_die "mkntfs failed for $1"
}

new_ext() {  # FILE SECTORS ext2|ext3 LABEL UUID BLOCKSIZE
    truncate -s $(($2 * 512)) "$1"
    # (mke2fs warns that 128-byte inodes stop at 2038: that is the layout wanted)
    fx_frozen mke2fs -q -F -t "$3" -b "$6" -I 128 -L "$4" -U "$5" -E hash_seed="$5" "$1" >/dev/null 2>&1 ||
        fx_die "mke2fs failed for $1"
    local sb
    sb=$(dumpe2fs -h "$1" 2>/dev/null)
    grep -q '^Inode size:[[:space:]]*128$' <<<"$sb" || fx_die "$1: inode size is not 128"
    grep -q "^Block size:[[:space:]]*$6\$" <<<"$sb" || fx_die "$1: block size is not $6"
    if [[ $3 == ext3 ]]; then
        grep -q '^Filesystem features:.*has_journal' <<<"$sb" || fx_die "$1: no journal"
    elif grep -q '^Filesystem features:.*has_journal' <<<"$sb"; then
        fx_die "$1: ext2 with a journal"
    fi
}

# debugfs reports errors on stderr and still exits 0: treat any output there as failure.
dbg() {  # VOLUME COMMANDS...
    local vol=$1; shift
    printf '%s\n' "$@" >"$FX_WORK/debugfs.cmd"
    fx_frozen debugfs -w -f "$FX_WORK/debugfs.cmd" "$vol" >"$FX_WORK/debugfs.out" 2>&1
    if grep -q -v -e '^debugfs[ :]' -e '^Allocated inode' -e '^$' "$FX_WORK/debugfs.out"; then
        cat "$FX_WORK/debugfs.out" >&2
        fx_die "debugfs complained"
    fi
}

fsck_clean() {  # VOLUME TYPE
    case $2 in
        fat) fsck.fat -n "$1" >/dev/null || fx_die "fsck.fat finds $1 inconsistent" ;;
        ext) e2fsck -fn "$1" >/dev/null 2>&1 || fx_die "e2fsck finds $1 inconsistent" ;;
        ntfs) ntfsfix -n "$1" >/dev/null 2>&1 || fx_die "ntfsfix -n finds $1 inconsistent" ;;
    esac
}

# ---------------------------------------------------------------- disk helpers

# new_disk NAME BYTES SFDISK_SCRIPT: makes the disk and its partition table.
new_disk() {
    DISK="$FX_WORK/$1.img"
    truncate -s "$2" "$DISK"
    printf '%s\n' "$3" | sfdisk -q --no-reread --no-tell-kernel "$DISK" >/dev/null
    fx_layout_begin "$1" "$2"
}

# part_check N START SECTORS TYPE: the table holds what we asked for.
part_check() {
    local got
    got=$(sfdisk -d "$DISK" | awk -v d="$DISK$1 " 'index($0, d) == 1')
    [[ $got =~ start=\ *$2,\ size=\ *$3,\ type=([0-9A-Fa-f-]+) ]] || fx_die "partition $1 is not at $2+$3: $got"
    [[ ${BASH_REMATCH[1],,} == "${4,,}" ]] || fx_die "partition $1 has type ${BASH_REMATCH[1]}, not $4"
}

# mmls must show every partition at the same place (an independent reader).
mmls_check() {
    local part start sectors
    while IFS=$'\t' read -r part _ start sectors _ _; do
        [[ $part == \#* || $part == part ]] && continue
        mmls "$DISK" | awk -v s="$start" -v n="$sectors" '$2 ~ /^[0-9]+(:[0-9]+)?$/ && $3 + 0 == s && $5 + 0 == n { f = 1 }
            $2 == "Meta" && $3 + 0 == s && $5 + 0 == n { f = 1 } END { exit !f }' ||
            fx_die "mmls does not show partition $part at $start+$sectors"
    done <"$FX_LAYOUT"
}

layout_ebrs() {  # records the extended boot record sectors mmls finds
    local ebrs
    ebrs=$(mmls "$DISK" | awk '/Extended Table/ { printf "%s%d", (n++ ? "," : ""), $3 }')
    printf '# ebr_sectors=%s\n' "$ebrs" >>"$FX_LAYOUT"
}

# ---------------------------------------------------------------- mbr_mixed

build_mbr_mixed() {
    local name=mbr_mixed
    fx_manifest_begin "$name"
    # sectors: p1 FAT32, 4 MiB gap, p2 NTFS, 4 MiB gap, p3 extended 0x0F holding
    # p5 FAT16 and p6 EXT2 with a gap between them, free space at the end.
    local p1=2048 p1n=81920 p2=92160 p2n=98304 p3=198656 p3n=94208 p5=200704 p5n=32768 p6=241664 p6n=32768
    new_disk "$name" $((256 * 1024 * 1024)) "label: dos
label-id: 0x5e1f0001
unit: sectors

start=$p1, size=$p1n, type=c
start=$p2, size=$p2n, type=7
start=$p3, size=$p3n, type=f
start=$p5, size=$p5n, type=6
start=$p6, size=$p6n, type=83"

    # p1 FAT32
    local v1="$FX_WORK/mix_p1.vol"
    new_fat32 "$v1" $p1n MIXFAT32 5E1F0032 $p1
    local readme sunset trip img old
    readme=$(fx_gen text mix/p1/README.TXT --size 900 --title "Partition 1")
    sunset=$(fx_gen jpeg mix/p1/sunset.jpg --width 480 --height 320)
    trip=$(fx_gen text "mix/p1/Trip notes.txt" --size 4000)
    img=$(fx_gen jpeg mix/p1/IMG_2001.JPG --width 400 --height 300)
    old=$(fx_gen text mix/p1/a.txt --size 1500)
    put "$readme" /README.TXT
    mkd /Photos
    put "$sunset" /Photos/sunset.jpg
    put "$img" /Photos/IMG_2001.JPG
    put "$trip" "/Trip notes.txt"
    mkd /Old
    put "$old" /Old/a.txt
    del "/Trip notes.txt"
    del /Photos/IMG_2001.JPG
    deltree /Old
    fsck_clean "$v1" fat
    fx_row 1 README.TXT "$readme" live "8.3"
    fx_row 1 Photos/sunset.jpg "$sunset" live ""
    fx_row 1 "Trip notes.txt" "$trip" deleted "longname"
    fx_row 1 Photos/IMG_2001.JPG "$img" deleted "8.3"
    fx_row 1 Old/a.txt "$old" deleted-in-deleted-folder "deleted-root-folder"

    # p2 NTFS
    local v2="$FX_WORK/mix_p2.vol" mnt="$FX_WORK/mnt"
    new_ntfs "$v2" $p2n MIXNTFS $p2
    local nread nplan nbud nphoto nsmall nsnotes nspng
    nread=$(fx_gen text mix/p2/readme.txt --size 2000)
    nplan=$(fx_gen pdf mix/p2/plan.pdf --title "Plan")
    nbud=$(fx_gen docx "mix/p2/budget 2026.docx" --title "Budget 2026")
    nphoto=$(fx_gen jpeg mix/p2/photo.jpg --width 640 --height 480)
    nsmall=$(fx_gen text mix/p2/small.txt --size 300)
    nsnotes=$(fx_gen text mix/p2/notes.txt --size 5000)
    nspng=$(fx_gen png mix/p2/image.png --width 200 --height 150)
    fx_ntfs_mount "$v2" "$mnt"
    mkdir -p "$mnt/Docs" "$mnt/Scratch"
    cp "$nread" "$mnt/readme.txt"
    cp "$nplan" "$mnt/Docs/plan.pdf"
    cp "$nbud" "$mnt/Docs/budget 2026.docx"
    cp "$nphoto" "$mnt/photo.jpg"
    cp "$nsmall" "$mnt/small.txt"
    cp "$nsnotes" "$mnt/Scratch/notes.txt"
    cp "$nspng" "$mnt/Scratch/image.png"
    sync
    rm "$mnt/Docs/budget 2026.docx" "$mnt/photo.jpg" "$mnt/small.txt"
    rm -r "$mnt/Scratch"
    fx_ntfs_umount "$mnt"
    fsck_clean "$v2" ntfs
    fx_row 2 readme.txt "$nread" live ""
    fx_row 2 Docs/plan.pdf "$nplan" live ""
    fx_row 2 "Docs/budget 2026.docx" "$nbud" deleted "docx-zip"
    fx_row 2 photo.jpg "$nphoto" deleted ""
    fx_row 2 small.txt "$nsmall" deleted "small"
    fx_row 2 Scratch/notes.txt "$nsnotes" deleted-in-deleted-folder ""
    fx_row 2 Scratch/image.png "$nspng" deleted-in-deleted-folder ""

    # p5 FAT16 (logical)
    local v5="$FX_WORK/mix_p5.vol"
    new_fat16 "$v5" $p5n MIXFAT16 5E1F0016 $p5
    local keep gone lname tx
    keep=$(fx_gen text mix/p5/KEEP.TXT --size 1100)
    gone=$(fx_gen text mix/p5/GONE.TXT --size 7000)
    lname=$(fx_gen text "mix/p5/Long name file.txt" --size 2500)
    tx=$(fx_gen text mix/p5/X.TXT --size 3000)
    put "$keep" /KEEP.TXT
    put "$gone" /GONE.TXT
    put "$lname" "/Long name file.txt"
    mkd /TMP
    put "$tx" /TMP/X.TXT
    del /GONE.TXT
    del "/Long name file.txt"
    deltree /TMP
    fsck_clean "$v5" fat
    fx_row 5 KEEP.TXT "$keep" live "8.3"
    fx_row 5 GONE.TXT "$gone" deleted "8.3"
    fx_row 5 "Long name file.txt" "$lname" deleted "longname"
    fx_row 5 TMP/X.TXT "$tx" deleted-in-deleted-folder "deleted-root-folder"

    # p6 EXT2 (logical): deletions with debugfs keep the freed inodes' block maps
    local v6="$FX_WORK/mix_p6.vol"
    new_ext "$v6" $p6n ext2 mixext2 5e1f0006-0000-4000-8000-000000000006 1024
    local eread ekeep ephoto enotes ea eb
    eread=$(fx_gen text mix/p6/readme.txt --size 1500)
    ekeep=$(fx_gen text mix/p6/keep.txt --size 800)
    ephoto=$(fx_gen jpeg mix/p6/photo.jpg --width 640 --height 480 --grain 3)
    (($(fx_size "$ephoto") > 12 * 1024)) || fx_die "photo.jpg must need the single indirect block"
    enotes=$(fx_gen text "mix/p6/trip notes.txt" --size 3000)
    ea=$(fx_gen text mix/p6/a.txt --size 2000)
    eb=$(fx_gen bin mix/p6/b.bin --size 5000)
    dbg "$v6" "write \"$eread\" readme.txt" "mkdir docs" "write \"$ekeep\" docs/keep.txt" \
        "write \"$ephoto\" photo.jpg" "write \"$enotes\" \"trip notes.txt\"" "mkdir olddir" \
        "write \"$ea\" olddir/a.txt" "write \"$eb\" olddir/b.bin"
    dbg "$v6" "rm photo.jpg" "rm \"trip notes.txt\"" "rm olddir/a.txt" "rm olddir/b.bin" "rmdir olddir"
    fsck_clean "$v6" ext
    fx_row 6 readme.txt "$eread" live ""
    fx_row 6 docs/keep.txt "$ekeep" live ""
    fx_row 6 photo.jpg "$ephoto" deleted "indirect-block"
    fx_row 6 "trip notes.txt" "$enotes" deleted "space-in-name"
    fx_row 6 olddir/a.txt "$ea" deleted-in-deleted-folder ""
    fx_row 6 olddir/b.bin "$eb" deleted-in-deleted-folder ""

    fx_place "$DISK" "$v1" $p1
    fx_place "$DISK" "$v2" $p2
    fx_place "$DISK" "$v5" $p5
    fx_place "$DISK" "$v6" $p6
    part_check 1 $p1 $p1n c
    part_check 2 $p2 $p2n 7
    part_check 3 $p3 $p3n f
    part_check 5 $p5 $p5n 6
    part_check 6 $p6 $p6n 83
    fx_layout_row 1 0x0c $p1 $p1n FAT32 MIXFAT32
    fx_layout_row 2 0x07 $p2 $p2n NTFS MIXNTFS
    fx_layout_row 3 0x0f $p3 $p3n extended -
    fx_layout_row 5 0x06 $p5 $p5n FAT16 MIXFAT16
    fx_layout_row 6 0x83 $p6 $p6n EXT2 mixext2
    layout_ebrs
    mmls_check

    fx_fatcheck "$DISK" 1 $((p1 * 512))
    fx_tskcheck "$DISK" 1 $p1
    fx_tskcheck "$DISK" 2 $p2 --note-inode --note-resident
    fx_fatcheck "$DISK" 5 $((p5 * 512))
    fx_tskcheck "$DISK" 5 $p5
    fx_tskcheck "$DISK" 6 $p6 --note-inode
    fx_publish "$name" "$DISK"
}

# ---------------------------------------------------------------- mbr_ext05

build_mbr_ext05() {
    local name=mbr_ext05
    fx_manifest_begin "$name"
    local p1=2048 p1n=24576 p2=30720 p2n=28672 p5=32768 p5n=24576
    new_disk "$name" $((64 * 1024 * 1024)) "label: dos
label-id: 0x5e1f0005
unit: sectors

start=$p1, size=$p1n, type=6
start=$p2, size=$p2n, type=5
start=$p5, size=$p5n, type=6"

    local v1="$FX_WORK/e05_p1.vol" v5="$FX_WORK/e05_p5.vol"
    local readme dl inside gone
    readme=$(fx_gen text e05/README.TXT --size 700)
    dl=$(fx_gen text e05/DEL.TXT --size 2500)
    inside=$(fx_gen text e05/INSIDE.TXT --size 900)
    gone=$(fx_gen text e05/GONE.TXT --size 3500)
    new_fat16 "$v1" $p1n E05PRIMARY 5E1F0501 $p1
    put "$readme" /README.TXT
    put "$dl" /DEL.TXT
    del /DEL.TXT
    fsck_clean "$v1" fat
    new_fat16 "$v5" $p5n E05LOGICAL 5E1F0505 $p5
    put "$inside" /INSIDE.TXT
    put "$gone" /GONE.TXT
    del /GONE.TXT
    fsck_clean "$v5" fat
    fx_row 1 README.TXT "$readme" live "8.3"
    fx_row 1 DEL.TXT "$dl" deleted "8.3"
    fx_row 5 INSIDE.TXT "$inside" live "8.3 logical-in-type-05-extended"
    fx_row 5 GONE.TXT "$gone" deleted "8.3 logical-in-type-05-extended"

    fx_place "$DISK" "$v1" $p1
    fx_place "$DISK" "$v5" $p5
    part_check 1 $p1 $p1n 6
    part_check 2 $p2 $p2n 5
    part_check 5 $p5 $p5n 6
    fx_layout_row 1 0x06 $p1 $p1n FAT16 E05PRIMARY
    fx_layout_row 2 0x05 $p2 $p2n extended -
    fx_layout_row 5 0x06 $p5 $p5n FAT16 E05LOGICAL
    layout_ebrs
    mmls_check
    fx_fatcheck "$DISK" 1 $((p1 * 512))
    fx_tskcheck "$DISK" 1 $p1
    fx_fatcheck "$DISK" 5 $((p5 * 512))
    fx_tskcheck "$DISK" 5 $p5
    fx_publish "$name" "$DISK"
}

# ---------------------------------------------------------------- gpt_disk

GPT_BASIC=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7
GPT_LINUX=0FC63DAF-8483-4772-8E79-3D69D8477DE4

build_gpt_disk() {
    local name=gpt_disk
    fx_manifest_begin "$name"
    local p1=2048 p1n=81920 p2=92160 p2n=32768
    new_disk "$name" $((96 * 1024 * 1024)) "label: gpt
label-id: 5E1F6770-0000-4000-8000-000000000000
unit: sectors
first-lba: 34

start=$p1, size=$p1n, type=$GPT_BASIC, uuid=5E1F6770-0000-4000-8000-000000000001, name=\"Velk data\"
start=$p2, size=$p2n, type=$GPT_LINUX, uuid=5E1F6770-0000-4000-8000-000000000002, name=\"Velk linux\""

    local v1="$FX_WORK/gpt_p1.vol" v2="$FX_WORK/gpt_p2.vol"
    local readme photo memo mfile tfile eread edel
    readme=$(fx_gen text gpt/README.TXT --size 1000)
    photo=$(fx_gen jpeg "gpt/Kitchen photo.jpg" --width 480 --height 360)
    memo=$(fx_gen text gpt/MEMO.TXT --size 2000)
    mfile=$(fx_gen pdf gpt/minutes.pdf --title "Minutes")
    tfile=$(fx_gen text gpt/t.txt --size 1300)
    eread=$(fx_gen text gpt/readme.txt --size 1200)
    edel=$(fx_gen text gpt/removed.txt --size 6000)
    new_fat32 "$v1" $p1n GPTFAT32 5E1F6701 $p1
    put "$readme" /README.TXT
    put "$photo" "/Kitchen photo.jpg"
    put "$memo" /MEMO.TXT
    mkd /Archive
    put "$mfile" /Archive/minutes.pdf
    put "$tfile" /Archive/t.txt
    del "/Kitchen photo.jpg"
    del /MEMO.TXT
    deltree /Archive
    fsck_clean "$v1" fat
    new_ext "$v2" $p2n ext2 gptext2 5e1f6770-0000-4000-8000-0000000000e2 1024
    dbg "$v2" "write \"$eread\" readme.txt" "write \"$edel\" removed.txt"
    dbg "$v2" "rm removed.txt"
    fsck_clean "$v2" ext
    fx_row 1 README.TXT "$readme" live "8.3"
    fx_row 1 "Kitchen photo.jpg" "$photo" deleted "longname"
    fx_row 1 MEMO.TXT "$memo" deleted "8.3"
    fx_row 1 Archive/minutes.pdf "$mfile" deleted-in-deleted-folder ""
    fx_row 1 Archive/t.txt "$tfile" deleted-in-deleted-folder ""
    fx_row 2 readme.txt "$eread" live ""
    fx_row 2 removed.txt "$edel" deleted ""

    fx_place "$DISK" "$v1" $p1
    fx_place "$DISK" "$v2" $p2
    part_check 1 $p1 $p1n $GPT_BASIC
    part_check 2 $p2 $p2n $GPT_LINUX
    fx_layout_row 1 $GPT_BASIC $p1 $p1n FAT32 GPTFAT32
    fx_layout_row 2 $GPT_LINUX $p2 $p2n EXT2 gptext2
    [[ $(sgdisk -v "$DISK") == *"No problems found"* ]] || fx_die "sgdisk finds problems in $name"
    mmls_check
    fx_fatcheck "$DISK" 1 $((p1 * 512))
    fx_tskcheck "$DISK" 1 $p1
    fx_tskcheck "$DISK" 2 $p2 --note-inode
    fx_publish "$name" "$DISK"

    # The same disk with the primary header's CRC broken; the backup header at
    # the last sector is left intact.
    local dmg="$FX_WORK/gpt_damaged_primary.img"
    cp "$DISK" "$dmg"
    "$FX_PY" "$FX_GEN" gptbreak "$dmg"
    local verdict
    verdict=$(sgdisk -v "$dmg" 2>&1 || true)
    if [[ $verdict != *"Main header: ERROR"* || $verdict != *"Backup header: OK"* ||
        $verdict != *"Main partition table: OK"* ]]; then
        fx_die "sgdisk: $verdict"
    fi
    [[ $(sfdisk -d "$dmg" 2>&1) == *"primary GPT table is corrupt"* ]] || fx_die "sfdisk does not see a corrupt primary header"
    local got
    got=$(sfdisk -d "$dmg" 2>/dev/null | grep -c 'start=') || true
    [[ $got -eq 2 ]] || fx_die "the backup GPT does not yield both partitions ($got)"
    [[ $(fx_bytes "$dmg" $((96 * 1024 * 1024 - 512)) 8) == "EFI PART" ]] || fx_die "no backup header"
    cp "$FX_LAYOUT" "$FX_WORK/gpt_damaged_primary.layout.tsv"
    printf '# primary header CRC (LBA 1, bytes 16-19) broken; backup header at the last LBA intact\n' \
        >>"$FX_WORK/gpt_damaged_primary.layout.tsv"
    fx_publish gpt_damaged_primary "$dmg"
}

# ---------------------------------------------------------------- demo_disk

build_demo_disk() {
    local name=demo_disk
    fx_manifest_begin "$name"
    local p1=2048 p1n=81920 p2=83968 p2n=81920 p3=165888 p3n=81920
    new_disk "$name" $((128 * 1024 * 1024)) "label: dos
label-id: 0x5e1fde70
unit: sectors

start=$p1, size=$p1n, type=c
start=$p2, size=$p2n, type=7
start=$p3, size=$p3n, type=83"

    # FAT32: photos, a shopping list, a report
    local v1="$FX_WORK/demo_p1.vol"
    new_fat32 "$v1" $p1n VELKDEMO 5E1FDE01 $p1
    local beach mount shop rep letter op1 op2
    beach=$(fx_gen jpeg demo/fat/beach.jpg --width 1024 --height 768 --grain 3)
    mount=$(fx_gen jpeg demo/fat/mountains.jpg --width 1024 --height 768 --grain 3)
    shop=$(fx_gen text "demo/fat/Shopping list.txt" --size 600 --title "Shopping list")
    rep=$(fx_gen pdf "demo/fat/Report 2025.pdf" --title "Annual report 2025")
    letter=$(fx_gen docx "demo/fat/Letter to Anna.docx" --title "Dear Anna")
    op1=$(fx_gen jpeg "demo/fat/Old photos/IMG_0412.JPG" --width 800 --height 600 --grain 3)
    op2=$(fx_gen jpeg "demo/fat/Old photos/IMG_0413.JPG" --width 800 --height 600 --grain 3)
    mkd /Photos
    put "$beach" /Photos/beach.jpg
    put "$mount" /Photos/mountains.jpg
    put "$shop" "/Shopping list.txt"
    put "$rep" "/Report 2025.pdf"
    put "$letter" "/Letter to Anna.docx"
    mkd "/Old photos"
    put "$op1" "/Old photos/IMG_0412.JPG"
    put "$op2" "/Old photos/IMG_0413.JPG"
    del /Photos/mountains.jpg
    del "/Shopping list.txt"
    del "/Letter to Anna.docx"
    deltree "/Old photos"
    fsck_clean "$v1" fat
    fx_row 1 Photos/beach.jpg "$beach" live ""
    fx_row 1 Photos/mountains.jpg "$mount" deleted ""
    fx_row 1 "Shopping list.txt" "$shop" deleted "longname"
    fx_row 1 "Report 2025.pdf" "$rep" live "longname"
    fx_row 1 "Letter to Anna.docx" "$letter" deleted "longname docx-zip"
    fx_row 1 "Old photos/IMG_0412.JPG" "$op1" deleted-in-deleted-folder ""
    fx_row 1 "Old photos/IMG_0413.JPG" "$op2" deleted-in-deleted-folder ""

    # NTFS through ntfs-3g
    local v2="$FX_WORK/demo_p2.vol" mnt="$FX_WORK/mnt"
    new_ntfs "$v2" $p2n "Velk demo" $p2
    local contract budget lake notes d1 cover
    contract=$(fx_gen pdf demo/ntfs/Contract.pdf --title "Rental contract")
    budget=$(fx_gen docx demo/ntfs/Budget.docx --title "Household budget")
    lake=$(fx_gen jpeg demo/ntfs/lake.jpg --width 1024 --height 768 --grain 3)
    notes=$(fx_gen text demo/ntfs/notes.txt --size 1800 --title "Notes")
    d1=$(fx_gen text demo/ntfs/draft1.txt --size 4200 --title "Draft one")
    cover=$(fx_gen jpeg demo/ntfs/cover.jpg --width 640 --height 480 --grain 3)
    fx_ntfs_mount "$v2" "$mnt"
    mkdir -p "$mnt/Documents" "$mnt/Pictures" "$mnt/Drafts"
    cp "$contract" "$mnt/Documents/Contract.pdf"
    cp "$budget" "$mnt/Documents/Budget.docx"
    cp "$lake" "$mnt/Pictures/lake.jpg"
    cp "$notes" "$mnt/notes.txt"
    cp "$d1" "$mnt/Drafts/draft1.txt"
    cp "$cover" "$mnt/Drafts/cover.jpg"
    sync
    rm "$mnt/Documents/Budget.docx" "$mnt/Pictures/lake.jpg"
    rm -r "$mnt/Drafts"
    fx_ntfs_umount "$mnt"
    fsck_clean "$v2" ntfs
    fx_row 2 Documents/Contract.pdf "$contract" live ""
    fx_row 2 Documents/Budget.docx "$budget" deleted "docx-zip"
    fx_row 2 Pictures/lake.jpg "$lake" deleted ""
    fx_row 2 notes.txt "$notes" live ""
    fx_row 2 Drafts/draft1.txt "$d1" deleted-in-deleted-folder ""
    fx_row 2 Drafts/cover.jpg "$cover" deleted-in-deleted-folder ""

    # EXT3 through a loop mount; sync after every step so the journal keeps
    # the inode-table and directory blocks as they were before each deletion.
    local v3="$FX_WORK/demo_p3.vol"
    new_ext "$v3" $p3n ext3 velkdemo 5e1fde70-0000-4000-8000-0000000000e3 4096
    local enotes erep eforest etodo ea epic
    enotes=$(fx_gen text demo/ext/notes.txt --size 2200 --title "Home notes")
    erep=$(fx_gen pdf demo/ext/report.pdf --title "Linux report")
    eforest=$(fx_gen jpeg demo/ext/forest.jpg --width 640 --height 480 --grain 3)
    etodo=$(fx_gen text demo/ext/todo.txt --size 900 --title "To do")
    ea=$(fx_gen text demo/ext/a.txt --size 3000)
    epic=$(fx_gen jpeg demo/ext/pic.jpg --width 800 --height 600 --grain 6)
    (($(fx_size "$epic") > 48 * 1024)) || fx_die "pic.jpg must need the single indirect block"
    local dev
    dev=$(fx_loop "$v3")
    fx_mount "$dev" "$mnt" -t ext3
    mkdir "$mnt/home" "$mnt/photos" "$mnt/old"; sync
    cp "$enotes" "$mnt/home/notes.txt"; sync
    cp "$erep" "$mnt/report.pdf"; sync
    cp "$eforest" "$mnt/photos/forest.jpg"; sync
    cp "$etodo" "$mnt/todo.txt"; sync
    cp "$ea" "$mnt/old/a.txt"; sync
    cp "$epic" "$mnt/old/pic.jpg"; sync
    rm "$mnt/photos/forest.jpg"; sync
    rm "$mnt/todo.txt"; sync
    rm -r "$mnt/old"; sync
    fx_umount "$mnt"
    fx_unloop "$dev"
    fsck_clean "$v3" ext
    fx_row 3 home/notes.txt "$enotes" live ""
    fx_row 3 report.pdf "$erep" live ""
    fx_row 3 photos/forest.jpg "$eforest" deleted ""
    fx_row 3 todo.txt "$etodo" deleted ""
    fx_row 3 old/a.txt "$ea" deleted-in-deleted-folder ""
    fx_row 3 old/pic.jpg "$epic" deleted-in-deleted-folder "indirect-block"

    fx_place "$DISK" "$v1" $p1
    fx_place "$DISK" "$v2" $p2
    fx_place "$DISK" "$v3" $p3
    part_check 1 $p1 $p1n c
    part_check 2 $p2 $p2n 7
    part_check 3 $p3 $p3n 83
    fx_layout_row 1 0x0c $p1 $p1n FAT32 VELKDEMO
    fx_layout_row 2 0x07 $p2 $p2n NTFS "Velk demo"
    fx_layout_row 3 0x83 $p3 $p3n EXT3 velkdemo
    mmls_check
    fx_fatcheck "$DISK" 1 $((p1 * 512))
    fx_tskcheck "$DISK" 1 $p1
    fx_tskcheck "$DISK" 2 $p2 --note-inode --note-resident
    # The kernel clears the block maps of unlinked inodes: the bytes come back
    # only through the journal's older inode copies.
    fx_tskcheck "$DISK" 3 $p3 --note-inode --deleted-unlisted-ok \
        --skip-data-for deleted --skip-data-for deleted-in-deleted-folder
    fx_ext3check "$DISK" 3 $((p3 * 512))
    fx_publish "$name" "$DISK"
}

fx_begin
targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || targets=(mbr_mixed mbr_ext05 gpt_disk demo_disk)
for t in "${targets[@]}"; do
    case $t in
        mbr_mixed|mbr_ext05|gpt_disk|demo_disk) "build_$t" ;;
        *) fx_die "unknown image $t" ;;
    esac
done

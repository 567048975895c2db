#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# Builds the EXT2/EXT3 test images with e2fsprogs and the kernel's driver:
#
#   ext2_deleted  16 MiB ext2, 1 KiB blocks, 128-byte inodes, 16-character
#                 label (ext2_deleted_i256: the same with 256-byte inodes). Files placed
#                 and deleted with debugfs, which frees the inode but leaves
#                 its size and block map (the kernel would zero them): direct,
#                 single-indirect and double-indirect files, an empty file, a
#                 file deleted more than five years before the fixture date,
#                 a removed folder; some live files. The first file is inode 12.
#   ext3_1k       20 MiB ext3, 1 KiB blocks, 256-byte inodes, 1 MiB journal.
#   ext3_4k       64 MiB ext3, 4 KiB blocks, 256-byte inodes, 4 MiB journal.
#   ext3_1k_i128  as ext3_1k with 128-byte inodes.
#                 The ext3 images are filled and emptied through a real mount
#                 in one session, with a sync after every step, so the journal
#                 keeps the older copies of inode-table and directory blocks.
#
# Output: tests/fixtures/<name>.img.xz and <name>.manifest.tsv. Every row is
# checked against the finished image first (own decoding of inodes, block
# maps and journal; The Sleuth Kit and debugfs as second opinions). Needs
# root (loop mounts). Usage: build_ext_fixtures.sh [name...]

. "$(dirname "$0")/fixture_ntfs_ext_lib.sh"

nx_require mke2fs debugfs e2fsck icat losetup xz
nx_begin

# ext_inode IMAGE PATH: inode number of a live path, from our own walk.
ext_inode() {
    awk -F'\t' -v p="$2" '$2 == p { print $1 }' "$NX_WORK/$(basename "$1").inodes"
}
ext_index() { nx_tool extls "$1" >"$NX_WORK/$(basename "$1").inodes"; }

# ---------------------------------------------------------------- ext2_deleted

# build_ext2 NAME INODE_SIZE UUID
build_ext2() {
    local name=$1 isz=$2 uuid=$3
    local img="$NX_WORK/$name.img" cmds="$NX_WORK/$name.debugfs" p ino
    local -a files=()

    nx_plan_begin "$name"
    rm -f "$img"
    truncate -s 16M "$img"
    nx_frozen mke2fs -q -F -t ext2 -b 1024 -I "$isz" -m 0 -L VELKLABEL16CHARS -U "$uuid" \
        -E root_owner=0:0,hash_seed=0d1e2f30-4152-4637-8899-aabbccddeeff "$img" 2>&1 |
        { grep -v 'cannot handle dates beyond 2038' || true; } >&2

    # The label takes all 16 bytes of its field: no room for a terminating zero.
    [[ $(dd if="$img" bs=1 skip=$((1024 + 0x78)) count=16 status=none) == VELKLABEL16CHARS ]] ||
        nx_die "$name: label not stored as expected"

    # put PATH STATE KIND [gen args]: queues a debugfs write.
    put() {
        local path=$1 state=$2 kind=$3; shift 3
        local src dir base
        src=$(nx_gen "$kind" "$name/$path" "$@")
        dir=$(dirname "/$path") base=$(basename "$path")
        printf 'cd "%s"\nwrite "%s" "%s"\ncd /\n' "$dir" "$src" "$base" >>"$cmds"
        files+=("$path")
        nx_plan 0 "$path" "$src" "$state"
    }

    : >"$cmds"
    # First file: inode 12, the first one after lost+found.
    put "small.txt" deleted text --size 700
    printf 'mkdir docs\nmkdir "old folder"\n' >>"$cmds"
    put "twelve blocks.bin" deleted random --size 12288
    put "thirteen.txt" deleted text --size 13000
    put "seventy.txt" deleted text --size 70000
    put "boundary 268.txt" deleted text --size 274432
    put "double.txt" deleted text --size 300000
    put "photo.jpg" deleted jpeg --width 320 --height 240
    put "empty.txt" deleted text --size 0
    put "docs/letter.txt" deleted text --size 4321
    put "docs/notes.txt" live text --size 2222
    put "old folder/inside.txt" deleted-in-deleted-folder text --size 3000
    put "readme.txt" live text --size 1500
    put "ancient.txt" deleted text --size 5000
    nx_frozen debugfs -w -f "$cmds" "$img" >"$NX_WORK/$name.debugfs.log" 2>&1
    grep -qiE 'error|not found|could not' "$NX_WORK/$name.debugfs.log" &&
        nx_die "debugfs write failed: $(cat "$NX_WORK/$name.debugfs.log")"

    # Inode numbers before deletion go into the plan; the checker needs them.
    ext_index "$img"
    for p in "${files[@]}"; do
        ino=$(ext_inode "$img" "$p")
        [[ -n $ino ]] || nx_die "$p was not written"
        sed -i "s|^\(0\t$p\t[^\t]*\t[^\t]*\t\)|\1inode=$ino |" "$NX_PLAN"
    done

    # debugfs rm keeps block map and size; paths with spaces must be quoted,
    # or rm silently does nothing.
    : >"$cmds"
    while IFS=$'\t' read -r _ p _ state _; do
        if [[ $state == deleted && $p != ancient.txt ]]; then
            printf 'rm "/%s"\n' "$p" >>"$cmds"
        fi
    done <"$NX_PLAN"
    printf 'rm "/old folder/inside.txt"\nrmdir "/old folder"\n' >>"$cmds"
    nx_frozen debugfs -w -f "$cmds" "$img" >"$NX_WORK/$name.debugfs.log" 2>&1
    # This one is deleted six years before the fixture date.
    E2FSPROGS_FAKE_TIME=1577934245 LD_PRELOAD=$NX_FAKETIME_LIB FAKETIME="2020-01-02 03:04:05" \
        debugfs -w -R 'rm "/ancient.txt"' "$img" >>"$NX_WORK/$name.debugfs.log" 2>&1
    grep -qiE 'error|not found|could not' "$NX_WORK/$name.debugfs.log" &&
        nx_die "debugfs rm failed: $(cat "$NX_WORK/$name.debugfs.log")"
    sed -i 's|\(\tancient.txt\t[^\t]*\t[^\t]*\tinode=[0-9]*\) |\1 dtime-2020-01-02-over-five-years|' "$NX_PLAN"

    e2fsck -fn "$img" >/dev/null 2>&1 || nx_die "$name: e2fsck -fn reports a problem"
    nx_tool extcheck "$img" "$NX_PLAN" "$NX_WORK/$name.manifest.tsv" --debugfs --tsk
    nx_publish "$name" "$img" "$NX_WORK/$name.manifest.tsv"
}

# ------------------------------------------------------------------------ ext3

# build_ext3 NAME BLOCK_SIZE INODE_SIZE VOLUME_MIB UUID
build_ext3() {
    local name=$1 bs=$2 isz=$3 mib=$4 uuid=$5
    local img="$NX_WORK/$name.img" m="$NX_WORK/mnt/$name" dev p k

    nx_plan_begin "$name"
    rm -f "$img"
    truncate -s "${mib}M" "$img"
    nx_frozen mke2fs -q -F -t ext3 -b "$bs" -I "$isz" -m 0 -L "VELK-EXT3-${bs}" -U "$uuid" \
        -E root_owner=0:0,lazy_itable_init=0,lazy_journal_init=0,hash_seed=0d1e2f30-4152-4637-8899-aabbccddeeff \
        "$img" 2>&1 | { grep -v 'cannot handle dates beyond 2038' || true; } >&2

    put() {
        local path=$1 state=$2 kind=$3; shift 3
        local src
        src=$(nx_gen "$kind" "$name/$path" "$@")
        cp "$src" "$m/$path"
        nx_plan 0 "$path" "$src" "$state" "inode=$(stat -c %i "$m/$path")"
    }

    dev=$(nx_loop "$img")
    # One mount session for everything: a new session starts writing the
    # journal from its first block again, over the older copies.
    # A long commit interval: transactions end at our syncs, not on a timer.
    nx_mount "$dev" "$m" -t ext3 -o data=ordered,commit=300
    mkdir "$m/docs" "$m/many files"
    sync
    put "small.txt" deleted text --size 700
    put "Report.PDF" deleted text --size 9000
    sync
    put "thirteen.txt" deleted text --size 13000
    put "double.txt" deleted text --size 300000
    sync
    put "photo.jpg" deleted jpeg --width 320 --height 240
    put "docs/letter.txt" deleted text --size 4321
    put "docs/keep.txt" live text --size 2000
    put "readme.txt" live text --size 1500
    sync
    if ((bs == 4096)); then
        # Past the single-indirect region of 4 KiB blocks (12 + 1024 blocks).
        put "past single indirect.txt" deleted lines --size 4500000
        sync
    fi
    # Enough entries with long names that the folder outgrows its first block.
    for ((k = 0; k < 40; k++)); do
        put "many files/entry $(printf %03d $k) with a name long enough to fill the folder quickly, so that it needs more than one block.txt" live text --size 100
    done
    put "many files/late entry.txt" deleted text --size 6000
    sync
    # Deletions, one transaction each.
    while IFS=$'\t' read -r _ p _ state _; do
        if [[ $state == deleted ]]; then
            rm "$m/$p"
            sync
        fi
    done <"$NX_PLAN"
    nx_umount "$m"
    nx_unloop "$dev"

    e2fsck -fn "$img" >/dev/null 2>&1 || nx_die "$name: e2fsck -fn reports a problem"
    nx_tool extcheck "$img" "$NX_PLAN" "$NX_WORK/$name.manifest.tsv" --journal --debugfs
    nx_publish "$name" "$img" "$NX_WORK/$name.manifest.tsv"
}

targets=("$@")
((${#targets[@]})) || targets=(ext2_deleted ext2_deleted_i256 ext3_1k ext3_4k ext3_1k_i128)
for t in "${targets[@]}"; do
    case $t in
        ext2_deleted) build_ext2 ext2_deleted 128 6f1c2a3b-4d5e-4f60-8172-93a4b5c6d7e8 ;;
        ext2_deleted_i256) build_ext2 ext2_deleted_i256 256 6f1c2a3b-4d5e-4f60-8172-256a4b5c6d7e ;;
        ext3_1k) build_ext3 ext3_1k 1024 256 20 3e1f0a2b-1c3d-4e5f-8a6b-1024a0b1c2d3 ;;
        ext3_4k) build_ext3 ext3_4k 4096 256 64 3e1f0a2b-1c3d-4e5f-8a6b-4096a0b1c2d3 ;;
        ext3_1k_i128) build_ext3 ext3_1k_i128 1024 128 20 3e1f0a2b-1c3d-4e5f-8a6b-0128a0b1c2d3 ;;
        *) nx_die "unknown image $t" ;;
    esac
done

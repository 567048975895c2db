#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# Builds the NTFS test images with mkntfs and ntfs-3g:
#
#   ntfs_deleted    24 MiB volume, 4 KiB clusters: deleted files in the root,
#                   in live folders and in deleted folders; resident, sparse,
#                   fragmented and compressed files; alternate data streams;
#                   names with spaces and non-ASCII letters; some live files.
#   ntfs_formatted  16 MiB volume filled with folders and files, then given a
#                   new empty file system by a quick mkntfs over it.
#
# Output: tests/fixtures/<name>.img.xz and <name>.manifest.tsv. Every manifest
# row is checked against the finished image (own MFT decoding, The Sleuth
# Kit's icat, and ntfsinfo taken while the file was still live) before it is
# written. Needs root (FUSE). Usage: build_ntfs_fixtures.sh [name...]

. "$(dirname "$0")/fixture_ntfs_ext_lib.sh"

nx_require mkntfs ntfs-3g ntfsinfo ntfsfix setfattr getfattr icat fls xz md5sum
nx_begin

NTFS_OPTS="streams_interface=xattr,compression"

# Runs `ntfsinfo -v -F` on every planned file while it is still live; the
# checker compares that with its own decoding of the finished image.
ntfs_snapshot_info() {
    local img=$1 dir=$2 path state key
    mkdir -p "$dir"
    while IFS=$'\t' read -r _ path _ state _; do
        if [[ $path == *:* || $state == auto ]]; then
            continue
        fi
        key=$(printf '%s' "$path" | md5sum | cut -d' ' -f1)
        ntfsinfo -v -F "/$path" "$img" >"$dir/$key.txt" 2>&1 ||
            nx_die "ntfsinfo failed on /$path"
    done <"$NX_PLAN"
}

# ---------------------------------------------------------------- ntfs_deleted

build_ntfs_deleted() {
    local name=ntfs_deleted
    local img="$NX_WORK/$name.img" m="$NX_WORK/mnt/$name" f i n free

    nx_plan_begin "$name"
    rm -f "$img"
    truncate -s 24M "$img"
    nx_frozen mkntfs -q -F -f -c 4096 -L VELK-NTFS-DEL "$img" >/dev/null 2>&1

    # put PATH STATE KIND [gen args]: generates content and copies it in.
    put() {
        local path=$1 state=$2 kind=$3; shift 3
        local src
        src=$(nx_gen "$kind" "$name/$path" "$@")
        cp "$src" "$m/$path"
        nx_plan 0 "$path" "$src" "$state"
    }
    # stream PATH STREAM SIZE: an alternate data stream, through the xattr interface.
    stream() {
        local path=$1 sname=$2 size=$3 src
        src=$(nx_gen text "$name/$path:$sname" --size "$size")
        setfattr -n "user.$sname" -v "0s$(base64 -w0 "$src")" "$m/$path"
        cmp -s <(getfattr --absolute-names --only-values -n "user.$sname" "$m/$path") "$src" ||
            nx_die "stream $path:$sname did not read back"
        nx_plan 0 "$path:$sname" "$src" "${4:-deleted}"
    }

    # --- session 1: folders and the files under test
    nx_ntfs_mount "$img" "$m" "$NTFS_OPTS"
    mkdir -p "$m/Documents" "$m/Deleted Folder/Nested Inner" "$m/Compressed" "$m/Live" "$m/Spacers"
    setfattr -n system.ntfs_attrib_be -v 0x00000800 "$m/Compressed"

    put "report 2025.txt" deleted text --size 12000
    put "Überweisung März.txt" deleted text --size 5000
    put "日本語 メモ.txt" deleted text --size 3100
    put "tiny.txt" deleted text --size 90
    put "small note.txt" deleted text --size 480
    put "photo one.jpg" deleted jpeg --width 320 --height 240
    put "with stream.txt" deleted text --size 2000
    stream "with stream.txt" secret 150
    put "tiny stream.txt" deleted text --size 200
    stream "tiny stream.txt" meta 60
    put "readme.txt" live text --size 1500

    # Sparse: 1 MiB long, data only at 0-64 KiB and 512-576 KiB.
    f="$NX_WORK/src/$name/sparse.dat"
    truncate -s 1M "$f"
    dd if="$(nx_gen random "$name/sparse.dat.part1" --size 65536)" of="$f" bs=64K seek=0 conv=notrunc status=none
    dd if="$(nx_gen text "$name/sparse.dat.part2" --size 65536)" of="$f" bs=64K seek=8 conv=notrunc status=none
    truncate -s 1M "$m/sparse.dat"
    dd if="$f" of="$m/sparse.dat" bs=64K skip=0 seek=0 count=1 conv=notrunc status=none
    dd if="$f" of="$m/sparse.dat" bs=64K skip=8 seek=8 count=1 conv=notrunc status=none
    nx_plan 0 "sparse.dat" "$f" deleted

    put "Documents/letter.txt" deleted text --size 7000
    put "Documents/picture.png" deleted png --width 200 --height 150
    put "Documents/budget 2026.csv" live text --size 3000

    put "Deleted Folder/a.txt" deleted-in-deleted-folder text --size 9000
    put "Deleted Folder/b.bin" deleted-in-deleted-folder random --size 20000
    put "Deleted Folder/Nested Inner/c.txt" deleted-in-deleted-folder text --size 4000
    put "Deleted Folder/Nested Inner/d résumé.txt" deleted-in-deleted-folder text --size 300

    # Compression units are 16 clusters (64 KiB). Random data does not
    # compress, so its unit is stored raw; text units are stored as LZNT1.
    put "Compressed/big text.txt" deleted text --size 204800
    f="$NX_WORK/src/$name/Compressed/raw then lznt1.bin"
    cat "$(nx_gen random "$name/rtl.a" --size 65536)" "$(nx_gen text "$name/rtl.b" --size 65536)" >"$f"
    cp "$f" "$m/Compressed/raw then lznt1.bin"
    nx_plan 0 "Compressed/raw then lznt1.bin" "$f" deleted
    f="$NX_WORK/src/$name/Compressed/lznt1 then raw.bin"
    cat "$(nx_gen text "$name/ltr.a" --size 65536)" "$(nx_gen random "$name/ltr.b" --size 65536)" >"$f"
    cp "$f" "$m/Compressed/lznt1 then raw.bin"
    nx_plan 0 "Compressed/lznt1 then raw.bin" "$f" deleted
    # A short random tail still fits in fewer clusters than a unit once
    # written as uncompressed LZNT1 chunks, so that unit is LZNT1 too.
    f="$NX_WORK/src/$name/Compressed/short tail.bin"
    cat "$(nx_gen text "$name/st.a" --size 65536)" "$(nx_gen random "$name/st.b" --size 40000)" >"$f"
    cp "$f" "$m/Compressed/short tail.bin"
    nx_plan 0 "Compressed/short tail.bin" "$f" deleted
    put "Compressed/kept.txt" live text --size 100000

    put "Live/keep.txt" live text --size 5000
    put "Live/photo.jpg" live jpeg --width 240 --height 180
    nx_ntfs_umount "$m"

    # --- session 2: fill the rest of the volume with spacer files, large ones
    # first, 256 KiB ones at the end.
    nx_ntfs_mount "$img" "$m" "$NTFS_OPTS"
    n=0
    while :; do
        free=$(( $(stat -f -c '%a' "$m") * $(stat -f -c '%S' "$m") ))
        if ((free >= 4 * 1048576)); then
            f=$(nx_gen spacer "$name/Spacers/spacer $(printf %03d $n).bin" --size 1048576)
        elif ((free >= 2 * 262144)); then
            f=$(nx_gen spacer "$name/Spacers/spacer $(printf %03d $n).bin" --size 262144)
        else
            break
        fi
        cp "$f" "$m/Spacers/" || nx_die "spacer $n did not fit"
        nx_plan 0 "Spacers/$(basename "$f")" "$f" live "spacer"
        n=$((n + 1))
    done
    nx_ntfs_umount "$m"
    nx_log "$name: $n spacers"

    # --- session 3: free every other one of the last twelve spacers.
    nx_ntfs_mount "$img" "$m" "$NTFS_OPTS"
    for ((i = n - 11; i < n; i += 2)); do
        rm "$m/Spacers/spacer $(printf %03d $i).bin"
        # Its clusters may or may not be reused below; the checker decides.
        sed -i "s|^\(0\tSpacers/spacer $(printf %03d $i).bin\t[^\t]*\t\)live|\1auto|" "$NX_PLAN"
    done
    nx_ntfs_umount "$m"

    # --- session 4: a file larger than any hole, so it is spread over them.
    nx_ntfs_mount "$img" "$m" "$NTFS_OPTS"
    put "fragmented.txt" deleted lines --size 1100000
    nx_ntfs_umount "$m"

    ntfs_snapshot_info "$img" "$NX_WORK/$name.info"

    # --- session 5: deletions.
    nx_ntfs_mount "$img" "$m" "$NTFS_OPTS"
    while IFS=$'\t' read -r _ path _ state _; do
        if [[ $state == deleted && $path != *:* ]]; then
            rm "$m/$path"
        fi
    done <"$NX_PLAN"
    rm -r "$m/Deleted Folder"
    nx_ntfs_umount "$m"

    ntfsfix -n "$img" >/dev/null || nx_die "$name: ntfsfix -n reports a problem"
    nx_tool ntfscheck "$img" "$NX_PLAN" "$NX_WORK/$name.manifest.tsv" --infodir "$NX_WORK/$name.info"
    nx_publish "$name" "$img" "$NX_WORK/$name.manifest.tsv"
}

# -------------------------------------------------------------- ntfs_formatted

build_ntfs_formatted() {
    local name=ntfs_formatted
    local img="$NX_WORK/$name.img" m="$NX_WORK/mnt/$name" k

    nx_plan_begin "$name"
    rm -f "$img"
    truncate -s 16M "$img"
    nx_frozen mkntfs -q -F -f -c 4096 -L VELK-NTFS-OLD "$img" >/dev/null 2>&1

    put() {
        local path=$1 kind=$2; shift 2
        local src
        src=$(nx_gen "$kind" "$name/$path" "$@")
        cp "$src" "$m/$path"
        nx_plan 0 "$path" "$src" formatted
    }

    nx_ntfs_mount "$img" "$m" "$NTFS_OPTS"
    mkdir -p "$m/Projects/Velk/Notes" "$m/Photos 2025" "$m/Archive" "$m/Straße"
    put "index.txt" text --size 800
    put "tiny.txt" text --size 120
    put "Projects/plan.txt" text --size 30000
    put "Projects/Velk/design notes.txt" text --size 150000
    put "Projects/Velk/Notes/day 1.txt" text --size 2500
    put "Projects/Velk/Notes/day 2.txt" text --size 600
    for k in 1 2 3 4; do
        put "Photos 2025/IMG_000$k.jpg" jpeg --width $((200 + 40 * k)) --height $((150 + 30 * k))
    done
    put "Photos 2025/scan.png" png --width 180 --height 120
    put "Archive/data.bin" random --size 100000
    put "Archive/log 2024.txt" lines --size 1500000
    put "Straße/Ärger.txt" text --size 4000
    nx_ntfs_umount "$m"

    ntfs_snapshot_info "$img" "$NX_WORK/$name.info"
    # Quick format over the populated volume.
    nx_frozen mkntfs -q -F -f -c 4096 -L VELK-NTFS-NEW "$img" >/dev/null 2>&1
    ntfsfix -n "$img" >/dev/null || nx_die "$name: ntfsfix -n reports a problem"
    nx_tool ntfscheck "$img" "$NX_PLAN" "$NX_WORK/$name.manifest.tsv" --formatted \
        --infodir "$NX_WORK/$name.info"
    # The new file system must not list the old files.
    if fls -r -p "$img" | grep -q -e 'plan.txt' -e 'IMG_0001'; then
        nx_die "$name: the new file system still lists old files"
    fi
    nx_publish "$name" "$img" "$NX_WORK/$name.manifest.tsv"
}

targets=("$@")
((${#targets[@]})) || targets=(ntfs_deleted ntfs_formatted)
for t in "${targets[@]}"; do
    case $t in
        ntfs_deleted) build_ntfs_deleted ;;
        ntfs_formatted) build_ntfs_formatted ;;
        *) nx_die "unknown image $t" ;;
    esac
done

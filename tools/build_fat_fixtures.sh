#!/usr/bin/env bash
# Builds the unpartitioned FAT test volumes with mkfs.vfat and mtools (no mount).
#
#   tools/build_fat_fixtures.sh [fat32_deleted] [fat16_32s] [fat16_8s] [fat32_formatted]
#
# With no argument all four are built into tests/fixtures/ (FX_OUT overrides).
# Every row of a manifest is checked against the finished image twice: by our
# own FAT walk (entry state, size, first cluster, clusters free, data hash) and
# by The Sleuth Kit (fls lists it in that state, icat yields the same bytes).
#
# Allocation facts the layouts rely on:
# - mtools on FAT32 continues after the FSInfo next-free hint (the last cluster
#   it allocated), so files written in order are contiguous and a freed cluster
#   is not reused by later writes;
# - mtools on FAT16 searches from cluster 2 on every run, and every new entry
#   takes the first free slot of its folder, deleted slots included. So on FAT16
#   all deletions come last, and no folder gets a new entry after a deletion in it.

. "$(dirname "$0")/fixture_lib.sh"

fx_require mkfs.vfat fsck.fat mcopy mmd mdel mdeltree mattrib fls icat xz

IMG=""
m() { fx_frozen "$@"; }
put() {  # put LOCAL_FILE /PATH/IN/VOLUME
    m mcopy -i "$IMG" "$1" "::$2"
}
mkd() { m mmd -i "$IMG" "::$1"; }
del() { m mdel -i "$IMG" "::$1"; }
deltree() { m mdeltree -i "$IMG" "::$1"; }

# FSInfo keeps the last cluster mtools allocated; pointing it before a freed
# run makes the next write reuse that run, as a busy volume would.
set_fsinfo_hint() {  # IMAGE CLUSTER
    "$FX_PY" -c 'import struct, sys
with open(sys.argv[1], "r+b") as f:
    f.seek(512 + 0x1EC)
    f.write(struct.pack("<I", int(sys.argv[2])))' "$1" "$2"
}

# geometry IMAGE EXPECTED: the boot sector says what the notes claim.
geometry() {
    local got
    got=$("$FX_PY" "$FX_GEN" fatgeom "$1")
    [[ $got == "$2" ]] || fx_die "geometry of $1 is '$got', wanted '$2'"
    fsck.fat -n "$1" >/dev/null || fx_die "fsck.fat finds $1 inconsistent"
}

first_cluster_of() {  # IMAGE PATH -> first cluster of a (live or deleted) entry
    FX_TOOLS=$FX_TOOLS "$FX_PY" - "$1" "$2" <<'PY'
import os, sys
sys.path.insert(0, os.environ["FX_TOOLS"])
from fixture_gen import Fat, find_entry
hits = find_entry(Fat(sys.argv[1]).walk(), sys.argv[2])
if hits:
    print(hits[0][1]["cluster"])
PY
}

# ---------------------------------------------------------------- fat32_deleted

build_fat32_deleted() {
    local name=fat32_deleted
    IMG="$FX_WORK/$name.img"
    fx_manifest_begin "$name"
    truncate -s 40M "$IMG"
    m mkfs.vfat -F 32 -s 1 -n VELKFAT32 -i 1D0CFA32 "$IMG" >/dev/null

    local readme resume tgz report empty one sector eightk jpeg html big hidden rdonly kept live0
    readme=$(fx_gen text f32/README.TXT --size 700 --title "Velk FAT32 test volume")
    resume=$(fx_gen text "f32/Résumé 2026.txt" --size 2345 --title "Curriculum vitae")
    tgz=$(fx_gen targz f32/archive.tar.gz)
    report=$(fx_gen text f32/REPORT.TXT --size 4000 --title "Quarterly report")
    empty=$(fx_gen text f32/EMPTY.DAT --size 0)
    one=$(fx_gen bin f32/ONE.BIN --size 1)
    sector=$(fx_gen bin f32/SECTOR.BIN --size 512)
    eightk=$(fx_gen bin f32/EIGHTK.BIN --size 8192)
    jpeg=$(fx_gen jpeg f32/Holiday.JPEG --width 640 --height 480)
    html=$(fx_gen html f32/Notes.html5 --size 3000)
    big=$(fx_gen text "f32/big log.txt" --size 1000003 --title "Server log")
    hidden=$(fx_gen text f32/HIDDEN.SYS --size 900)
    rdonly=$(fx_gen text f32/RDONLY.TXT --size 1500)
    kept=$(fx_gen jpeg "f32/Kept photo.jpg" --width 320 --height 240)
    live0=$(fx_gen text f32/LIVE0.DAT --size 0)
    local letter budget docx pdf old1 old2 img1 img2 png ta tb tc td main scratch over
    letter=$(fx_gen text f32/letter.txt --size 1800 --title "Dear Anna")
    budget=$(fx_gen text "f32/Budget 2025.csv" --size 5000)
    docx=$(fx_gen docx "f32/draft v2.docx" --title "Draft v2")
    pdf=$(fx_gen pdf "f32/Meeting notes.pdf" --title "Meeting notes")
    old1=$(fx_gen text f32/old1.txt --size 1200)
    old2=$(fx_gen text f32/OLD2.TXT --size 700)
    img1=$(fx_gen jpeg f32/IMG_0001.JPG --width 400 --height 300)
    img2=$(fx_gen jpeg f32/IMG_0002.JPG --width 400 --height 300)
    png=$(fx_gen png "f32/Beach day.png" --width 200 --height 150)
    ta=$(fx_gen text f32/a.txt --size 1000)
    tb=$(fx_gen bin f32/B.BIN --size 2000)
    tc=$(fx_gen text f32/c.txt --size 600)
    td=$(fx_gen text f32/d.txt --size 3000)
    main=$(fx_gen text f32/main.cpp --size 2500)
    scratch=$(fx_gen bin f32/scratch.tmp --size 6000)
    over=$(fx_gen text f32/overwriter.txt --size 3000)
    local early
    early=$(fx_gen text f32/e.txt --size 2100)

    # Everything is written first; deletions follow; one write after them.
    mkd /Later
    # /Early's entry sits in the root's first cluster, /Trash's in its third
    mkd /Early
    put "$early" /Early/e.txt
    put "$readme" /README.TXT
    put "$resume" "/Résumé 2026.txt"
    put "$tgz" /archive.tar.gz
    put "$report" /REPORT.TXT
    put "$empty" /EMPTY.DAT
    put "$one" /ONE.BIN
    put "$sector" /SECTOR.BIN
    put "$eightk" /EIGHTK.BIN
    put "$jpeg" /Holiday.JPEG
    put "$html" /Notes.html5
    put "$big" "/big log.txt"
    put "$hidden" /HIDDEN.SYS
    put "$rdonly" /RDONLY.TXT
    put "$kept" "/Kept photo.jpg"
    put "$live0" /LIVE0.DAT
    mkd /Documents
    put "$letter" /Documents/letter.txt
    put "$budget" "/Documents/Budget 2025.csv"
    put "$docx" "/Documents/draft v2.docx"
    put "$pdf" "/Documents/Meeting notes.pdf"
    mkd /Documents/Old
    put "$old1" /Documents/Old/old1.txt
    put "$old2" /Documents/Old/OLD2.TXT
    mkd /Photos
    put "$img1" /Photos/IMG_0001.JPG
    put "$img2" /Photos/IMG_0002.JPG
    put "$png" "/Photos/Beach day.png"
    mkd /Trash
    put "$ta" /Trash/a.txt
    put "$tb" /Trash/B.BIN
    mkd /Trash/Inner
    put "$tc" /Trash/Inner/c.txt
    mkd /Trash/Inner/Deep
    put "$td" /Trash/Inner/Deep/d.txt
    mkd /Projects
    mkd /Projects/velk
    mkd /Projects/velk/src
    put "$main" /Projects/velk/src/main.cpp
    put "$scratch" /Projects/scratch.tmp
    m mattrib -i "$IMG" +h +s ::/HIDDEN.SYS
    m mattrib -i "$IMG" +r ::/RDONLY.TXT

    local f
    for f in /archive.tar.gz /REPORT.TXT /EMPTY.DAT /ONE.BIN /SECTOR.BIN /EIGHTK.BIN /Holiday.JPEG \
        /Notes.html5 "/big log.txt" /HIDDEN.SYS /RDONLY.TXT "/Documents/draft v2.docx" \
        "/Documents/Meeting notes.pdf" /Photos/IMG_0002.JPG "/Photos/Beach day.png" /Projects/scratch.tmp; do
        del "$f"
    done
    deltree /Documents/Old
    deltree /Trash
    deltree /Early
    # The overwrite: the next write lands on the first half of scratch.tmp.
    local victim
    victim=$(first_cluster_of "$IMG" Projects/scratch.tmp)
    [[ -n $victim ]] || fx_die "scratch.tmp entry not found"
    set_fsinfo_hint "$IMG" $((victim - 1))
    put "$over" /Later/overwriter.txt

    fx_row 0 README.TXT "$readme" live "8.3"
    fx_row 0 "Résumé 2026.txt" "$resume" live "longname unicode"
    fx_row 0 archive.tar.gz "$tgz" deleted "longname multi-dot"
    fx_row 0 REPORT.TXT "$report" deleted "8.3 no-longname first-char-lost"
    fx_row 0 EMPTY.DAT "$empty" deleted "zero-size"
    fx_row 0 ONE.BIN "$one" deleted "one-byte"
    fx_row 0 SECTOR.BIN "$sector" deleted "exactly-one-cluster exactly-512"
    fx_row 0 EIGHTK.BIN "$eightk" deleted "multiple-of-cluster"
    fx_row 0 Holiday.JPEG "$jpeg" deleted "longname upper-extension"
    fx_row 0 Notes.html5 "$html" deleted "longname 5-char-extension"
    fx_row 0 "big log.txt" "$big" deleted "multi-cluster non-multiple"
    fx_row 0 HIDDEN.SYS "$hidden" deleted "8.3 hidden system"
    fx_row 0 RDONLY.TXT "$rdonly" deleted "8.3 read-only"
    fx_row 0 "Kept photo.jpg" "$kept" live "longname"
    fx_row 0 LIVE0.DAT "$live0" live "zero-size"
    fx_row 0 Documents/letter.txt "$letter" live "lowercase-8.3"
    fx_row 0 "Documents/Budget 2025.csv" "$budget" live "longname"
    fx_row 0 "Documents/draft v2.docx" "$docx" deleted "longname docx-zip"
    fx_row 0 "Documents/Meeting notes.pdf" "$pdf" deleted "longname"
    fx_row 0 Documents/Old/old1.txt "$old1" deleted-in-deleted-folder "deleted-folder-in-live-folder"
    fx_row 0 Documents/Old/OLD2.TXT "$old2" deleted-in-deleted-folder "deleted-folder-in-live-folder"
    fx_row 0 Photos/IMG_0001.JPG "$img1" live "8.3"
    fx_row 0 Photos/IMG_0002.JPG "$img2" deleted "8.3"
    fx_row 0 "Photos/Beach day.png" "$png" deleted "longname"
    fx_row 0 Early/e.txt "$early" deleted-in-deleted-folder "deleted-root-folder folder-entry-in-root-cluster-2"
    fx_row 0 Trash/a.txt "$ta" deleted-in-deleted-folder "deleted-root-folder folder-entry-in-third-root-cluster"
    fx_row 0 Trash/B.BIN "$tb" deleted-in-deleted-folder "deleted-root-folder folder-entry-in-third-root-cluster"
    fx_row 0 Trash/Inner/c.txt "$tc" deleted-in-deleted-folder "nested-deleted-folder"
    fx_row 0 Trash/Inner/Deep/d.txt "$td" deleted-in-deleted-folder "nested-deleted-folder depth-3"
    fx_row 0 Projects/velk/src/main.cpp "$main" live "deep-path"
    fx_row 0 Projects/scratch.tmp "$scratch" overwritten "first-6-clusters-reused-by-Later/overwriter.txt"
    fx_row 0 Later/overwriter.txt "$over" live "written-after-deletions"

    geometry "$IMG" "kind=32 bps=512 spc=1 rootents=0 clusters=80628 root_is_one_cluster=0"
    fx_fatcheck "$IMG" 0 0
    fx_tskcheck "$IMG" 0 0
    fx_publish "$name" "$IMG"
}

# ---------------------------------------------------------------- fat16_32s

build_fat16_32s() {
    local name=fat16_32s
    IMG="$FX_WORK/$name.img"
    fx_manifest_begin "$name"
    # 16 KiB clusters and 512 root entries: the root directory is one cluster.
    truncate -s 64M "$IMG"
    m mkfs.vfat -F 16 -s 32 -r 512 -n VELKFAT16 -i 1D0CF016 "$IMG" >/dev/null

    local readme victim report longf photo one clus zero olddate keep note qpdf replace oa ob oc
    readme=$(fx_gen text f16/README.TXT --size 800 --title "Velk FAT16 test volume")
    victim=$(fx_gen bin f16/VICTIM.BIN --size 40000)
    report=$(fx_gen text f16/REPORT.TXT --size 5000 --title "Annual report")
    longf=$(fx_gen text "f16/Long File Name.txt" --size 20000)
    photo=$(fx_gen jpeg f16/PHOTO.JPG --width 512 --height 384)
    one=$(fx_gen bin f16/ONE.BIN --size 1)
    clus=$(fx_gen bin f16/CLUSTER.BIN --size 16384)
    zero=$(fx_gen text f16/ZERO.DAT --size 0)
    olddate=$(fx_gen text f16/OLDDATE.TXT --size 3000)
    keep=$(fx_gen text f16/KEEP.TXT --size 2500)
    note=$(fx_gen text f16/NOTE.TXT --size 1234)
    qpdf=$(fx_gen pdf "f16/Quarterly Report.pdf" --title "Quarterly report")
    replace=$(fx_gen text f16/REPLACE.TXT --size 20000)
    oa=$(fx_gen text f16/A.TXT --size 900)
    ob=$(fx_gen jpeg f16/B.JPG --width 256 --height 192)
    oc=$(fx_gen text f16/C.TXT --size 17000)

    put "$readme" /README.TXT
    put "$victim" /VICTIM.BIN
    put "$report" /REPORT.TXT
    put "$longf" "/Long File Name.txt"
    put "$photo" /PHOTO.JPG
    put "$one" /ONE.BIN
    put "$clus" /CLUSTER.BIN
    put "$zero" /ZERO.DAT
    fx_dated "2019-06-01 10:20:30" mcopy -i "$IMG" "$olddate" ::/OLDDATE.TXT
    mkd /DOCS
    put "$keep" /DOCS/KEEP.TXT
    put "$note" /DOCS/NOTE.TXT
    put "$qpdf" "/DOCS/Quarterly Report.pdf"
    mkd /OLD
    put "$oa" /OLD/A.TXT
    put "$ob" /OLD/B.JPG
    mkd /OLD/SUB
    put "$oc" /OLD/SUB/C.TXT
    # VICTIM.BIN's clusters are the lowest free ones once it is gone, so the
    # next write takes them (its folder entry in the root stays deleted).
    del /VICTIM.BIN
    put "$replace" /DOCS/REPLACE.TXT
    local f
    for f in /REPORT.TXT "/Long File Name.txt" /PHOTO.JPG /ONE.BIN /CLUSTER.BIN /ZERO.DAT /OLDDATE.TXT \
        /DOCS/NOTE.TXT "/DOCS/Quarterly Report.pdf"; do
        del "$f"
    done
    deltree /OLD

    fx_row 0 README.TXT "$readme" live "8.3"
    fx_row 0 VICTIM.BIN "$victim" overwritten "first-2-clusters-reused-by-DOCS/REPLACE.TXT"
    fx_row 0 REPORT.TXT "$report" deleted "8.3 no-longname first-char-lost"
    fx_row 0 "Long File Name.txt" "$longf" deleted "longname two-clusters"
    fx_row 0 PHOTO.JPG "$photo" deleted "8.3 multi-cluster"
    fx_row 0 ONE.BIN "$one" deleted "one-byte"
    fx_row 0 CLUSTER.BIN "$clus" deleted "exactly-one-cluster"
    fx_row 0 ZERO.DAT "$zero" deleted "zero-size first-cluster-0"
    fx_row 0 OLDDATE.TXT "$olddate" deleted "dated-2019 older-than-five-years"
    fx_row 0 DOCS/KEEP.TXT "$keep" live "8.3"
    fx_row 0 DOCS/NOTE.TXT "$note" deleted "8.3 in-subfolder"
    fx_row 0 "DOCS/Quarterly Report.pdf" "$qpdf" deleted "longname in-subfolder"
    fx_row 0 DOCS/REPLACE.TXT "$replace" live "written-after-deletion"
    fx_row 0 OLD/A.TXT "$oa" deleted-in-deleted-folder "deleted-root-folder"
    fx_row 0 OLD/B.JPG "$ob" deleted-in-deleted-folder "deleted-root-folder"
    fx_row 0 OLD/SUB/C.TXT "$oc" deleted-in-deleted-folder "nested-deleted-folder"

    geometry "$IMG" "kind=16 bps=512 spc=32 rootents=512 clusters=4092 root_is_one_cluster=1"
    fx_fatcheck "$IMG" 0 0
    fx_tskcheck "$IMG" 0 0
    check_dates "$IMG" 2026 --expect "?LDDATE.TXT=2019"
    fx_publish "$name" "$IMG"
}

# check_dates IMAGE YEAR [PATH=YEAR...]: every creation, write and access date
# has that year, except the named entries. The five-year rule reads all three.
check_dates() {
    local img=$1; shift
    "$FX_PY" "$FX_GEN" fatdates "$img" --year "$@" || fx_die "unexpected entry dates"
}

# ---------------------------------------------------------------- fat16_8s

build_fat16_8s() {
    local name=fat16_8s
    IMG="$FX_WORK/$name.img"
    fx_manifest_begin "$name"
    # 4 KiB clusters: the 512-entry root (16 KiB) is four clusters long.
    truncate -s 20M "$IMG"
    m mkfs.vfat -F 16 -s 8 -r 512 -n VELKF16S8 -i 1D0C0F08 "$IMG" >/dev/null

    local readme gone pic keep sub oa ob
    readme=$(fx_gen text f16s8/README.TXT --size 600)
    gone=$(fx_gen text f16s8/GONE.TXT --size 9000 --title "Deleted from the root")
    pic=$(fx_gen jpeg "f16s8/Garden photo.jpg" --width 320 --height 240)
    keep=$(fx_gen text f16s8/KEEP.TXT --size 1000)
    sub=$(fx_gen text f16s8/SUB.TXT --size 5000)
    oa=$(fx_gen text f16s8/X.TXT --size 4096)
    ob=$(fx_gen bin f16s8/Y.BIN --size 3000)

    put "$readme" /README.TXT
    put "$gone" /GONE.TXT
    put "$pic" "/Garden photo.jpg"
    mkd /WORK
    put "$keep" /WORK/KEEP.TXT
    put "$sub" /WORK/SUB.TXT
    mkd /TMP
    put "$oa" /TMP/X.TXT
    put "$ob" /TMP/Y.BIN
    del /GONE.TXT
    del "/Garden photo.jpg"
    del /WORK/SUB.TXT
    deltree /TMP

    fx_row 0 README.TXT "$readme" live "8.3"
    fx_row 0 GONE.TXT "$gone" deleted "8.3 multi-cluster"
    fx_row 0 "Garden photo.jpg" "$pic" deleted "longname"
    fx_row 0 WORK/KEEP.TXT "$keep" live "8.3"
    fx_row 0 WORK/SUB.TXT "$sub" deleted "8.3 in-subfolder"
    fx_row 0 TMP/X.TXT "$oa" deleted-in-deleted-folder "exactly-one-cluster"
    fx_row 0 TMP/Y.BIN "$ob" deleted-in-deleted-folder "8.3"

    geometry "$IMG" "kind=16 bps=512 spc=8 rootents=512 clusters=5109 root_is_one_cluster=0"
    fx_fatcheck "$IMG" 0 0
    fx_tskcheck "$IMG" 0 0
    fx_publish "$name" "$IMG"
}

# ---------------------------------------------------------------- fat32_formatted

build_fat32_formatted() {
    local name=fat32_formatted
    IMG="$FX_WORK/$name.img"
    fx_manifest_begin "$name"
    truncate -s 40M "$IMG"
    local mkfs=(mkfs.vfat -F 32 -s 1 -n VELKFMT32 -i 1D0CF0F0)
    m "${mkfs[@]}" "$IMG" >/dev/null

    local rootnote p1 p2 p3 d1 d2 d3 dold c1 c2 song
    rootnote=$(fx_gen text fmt/ROOTNOTE.TXT --size 1500)
    p1=$(fx_gen jpeg fmt/DSC_1001.JPG --width 480 --height 360)
    p2=$(fx_gen jpeg "fmt/Family dinner.jpg" --width 480 --height 360)
    p3=$(fx_gen png fmt/map.png --width 240 --height 180)
    d1=$(fx_gen text fmt/todo.txt --size 2200 --title "Things to do")
    d2=$(fx_gen pdf fmt/Invoice-2025-117.pdf --title "Invoice 2025-117")
    d3=$(fx_gen docx "fmt/Project plan.docx" --title "Project plan")
    dold=$(fx_gen text fmt/OLD.TXT --size 3300)
    c1=$(fx_gen text fmt/expenses.csv --size 7000)
    c2=$(fx_gen text "fmt/Tax return notes.txt" --size 2600)
    song=$(fx_gen wav fmt/tone.wav --size 32044)

    put "$rootnote" /ROOTNOTE.TXT
    mkd /Photos
    put "$p1" /Photos/DSC_1001.JPG
    put "$p2" "/Photos/Family dinner.jpg"
    put "$p3" /Photos/map.png
    mkd /Documents
    put "$d1" /Documents/todo.txt
    put "$d2" /Documents/Invoice-2025-117.pdf
    put "$d3" "/Documents/Project plan.docx"
    put "$dold" /Documents/OLD.TXT
    mkd /Documents/2025
    put "$c1" /Documents/2025/expenses.csv
    put "$c2" "/Documents/2025/Tax return notes.txt"
    mkd /Music
    put "$song" /Music/tone.wav
    # 31 empty files and the dot entries: 33 slots, three consecutive clusters
    mkd /Many
    local i e
    e=$(fx_gen text fmt/empty --size 0)
    for i in $(seq -w 1 31); do put "$e" "/Many/E$i.TXT"; done
    del /Documents/OLD.TXT

    local chain
    chain=$("$FX_PY" "$FX_GEN" fatchain "$IMG" Many)
    read -r -a chain <<<"$chain"
    [[ ${#chain[@]} -eq 3 && ${chain[1]} -eq $((chain[0] + 1)) && ${chain[2]} -eq $((chain[0] + 2)) ]] ||
        fx_die "/Many is not three consecutive clusters: ${chain[*]}"
    cp "$IMG" "$FX_WORK/$name.pre.img"
    # Quick format with the same geometry: FATs and root cleared, data kept.
    m "${mkfs[@]}" "$IMG" >/dev/null

    fx_row 0 ROOTNOTE.TXT "$rootnote" overwritten "root-folder-wiped-by-format"
    fx_row 0 Photos/DSC_1001.JPG "$p1" formatted "8.3"
    fx_row 0 "Photos/Family dinner.jpg" "$p2" formatted "longname"
    fx_row 0 Photos/map.png "$p3" formatted ""
    fx_row 0 Documents/todo.txt "$d1" formatted ""
    fx_row 0 Documents/Invoice-2025-117.pdf "$d2" formatted ""
    fx_row 0 "Documents/Project plan.docx" "$d3" formatted ""
    fx_row 0 Documents/OLD.TXT "$dold" formatted "deleted-before-format"
    fx_row 0 Documents/2025/expenses.csv "$c1" formatted "nested-folder"
    fx_row 0 "Documents/2025/Tax return notes.txt" "$c2" formatted "nested-folder"
    fx_row 0 Music/tone.wav "$song" formatted ""
    for i in $(seq -w 1 31); do
        fx_row 0 "Many/E$i.TXT" "$e" formatted "zero-size folder-of-three-clusters"
    done

    geometry "$IMG" "kind=32 bps=512 spc=1 rootents=0 clusters=80628 root_is_one_cluster=0"
    check_formatted_state "$IMG"
    fx_fatcheck "$IMG" 0 0 --pre "$FX_WORK/$name.pre.img"
    fx_publish "$name" "$IMG"
}

# After the format only the label may be in the root and every FAT entry past
# the root cluster must be free.
check_formatted_state() {
    local live
    live=$(fls "$1" | grep -v -e 'Volume Label Entry' -e '\$MBR' -e '\$FAT' -e '\$OrphanFiles' || true)
    [[ -z $live ]] || fx_die "entries left in the root after the format: $live"
    fx_log "after the format fls sees $(fls -r "$1" | grep -c '^+') orphan entries of the old folders"
    "$FX_PY" - "$1" <<'PY' || fx_die "FAT not empty after the format"
import sys
sys.path.insert(0, __import__("os").environ["FX_TOOLS"])
from fixture_gen import Fat
fs = Fat(sys.argv[1])
used = [c for c in range(3, fs.nclusters + 2) if fs.fat[c]]
sys.exit(1 if used else 0)
PY
}
export FX_TOOLS

fx_begin
targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || targets=(fat32_deleted fat16_32s fat16_8s fat32_formatted)
for t in "${targets[@]}"; do
    case $t in
        fat32_deleted|fat16_32s|fat16_8s|fat32_formatted) "build_$t" ;;
        *) fx_die "unknown image $t" ;;
    esac
done

#!/usr/bin/env bash
# Benchmarks velk-cli side by side with the peers on large images built here:
# The Sleuth Kit (fls -rd, tsk_recover), PhotoRec (/cmd), ntfsundelete and debugfs (lsdel),
# next to a sequential read of the bytes our scan touched and `cp` of the bytes our
# recovery wrote.
#
#   sudo bench/run.sh [images] [fat] [ntfs] [ext] [raw] [report]    (default: all of them)
#
# Environment:
#   VELK_BENCH_DIR    scratch dir for images and logs (default /tmp/velk-bench; never committed)
#   VELK_BENCH_SCALE  size factor (default 1: FAT32 4 GiB / 200,000 files, NTFS 1,000,000
#                     MFT records, EXT 2 GiB, raw 8 GiB); 0.1 gives a quick run
#   VELK_BENCH_REPS   repetitions of each scan, best kept (default 3)
#   VELK_BENCH_RECOVER_REPS  repetitions of each recovery (default 2)
#   VELK_BENCH_OUT    where recoveries write (default /dev/shm/velk-bench-out when the
#                     tmpfs has room, else $VELK_BENCH_DIR/out)
#   VELK_BENCH_BUILD  build dir of the Release velk-cli (default build-bench)
#   VELK_BENCH_PY     python with Pillow (default /usr/bin/python3)
#
# Images are rebuilt only when missing or built at another scale. Needs root: the EXT3
# image is filled through a loop mount and the NTFS image through ntfs-3g (both before
# anything examines it; the scans only read the images). Results go to
# $VELK_BENCH_DIR/results (results.tsv, report.md, logs/).

set -euo pipefail

BENCH=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$BENCH/.." && pwd)
DIR=${VELK_BENCH_DIR:-/tmp/velk-bench}
SCALE=${VELK_BENCH_SCALE:-1}
REPS=${VELK_BENCH_REPS:-3}
RREPS=${VELK_BENCH_RECOVER_REPS:-2}
PY=${VELK_BENCH_PY:-/usr/bin/python3}
BUILD=${VELK_BENCH_BUILD:-$ROOT/build-bench}
GEN="$BENCH/bench_gen.py"
CLI="$BUILD/cli/velk-cli"
IMG="$DIR/images"
RESDIR="$DIR/results"
LOGS="$RESDIR/logs"
RES="$RESDIR/results.tsv"
export LC_ALL=C.UTF-8 TZ=UTC MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null

MOUNTS=()
LOOPS=()
PIDS=()
log() { printf '[bench %s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }
die() { log "ERROR: $*"; exit 1; }

cleanup() {
    local i
    for ((i = ${#MOUNTS[@]} - 1; i >= 0; i--)); do
        umount "${MOUNTS[$i]}" 2>/dev/null || umount -l "${MOUNTS[$i]}" 2>/dev/null || true
    done
    for i in "${PIDS[@]}"; do wait "$i" 2>/dev/null || true; done
    for ((i = ${#LOOPS[@]} - 1; i >= 0; i--)); do losetup -d "${LOOPS[$i]}" 2>/dev/null || true; done
    [[ -n ${OUT:-} && -d ${OUT:-} ]] && rm -rf "$OUT"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ------------------------------------------------------------------ sizes at this scale

scaled() { "$PY" -c "import sys; print(max(int(sys.argv[2]), int(float(sys.argv[1]) * float(sys.argv[3]))))" "$SCALE" "$@"; }
MiB=$((1 << 20))
FAT_BYTES=$(scaled $((256 * MiB)) $((4096 * MiB)))
FAT_FILES=$(scaled 1000 200000)
FAT_DIRS=$(scaled 1 200)
NTFS_FILES=$(scaled 1000 1000000)
NTFS_BYTES=$(scaled $((128 * MiB)) $((3072 * MiB)))
EXT_BYTES=$(scaled $((64 * MiB)) $((2048 * MiB)))
EXT_FILES=$(scaled 400 40000)
EXT_DIRS=$(scaled 1 40)
RAW_BYTES=$(scaled $((256 * MiB)) $((8192 * MiB)))
RAW_REC_BYTES=$(scaled $((64 * MiB)) $((2048 * MiB)))
RAW_BYTES=$((RAW_BYTES / 512 * 512))
RAW_REC_BYTES=$((RAW_REC_BYTES / 512 * 512))

# ------------------------------------------------------------------ prerequisites

prerequisites() {
    [[ $(id -u) -eq 0 ]] || die "run as root (loop mounts, ntfs-3g)"
    # shellcheck source=../tools/deps.sh
    . "$ROOT/tools/deps.sh"
    ensure_packages build bench
    local missing=() p
    for p in ntfs-3g dosfstools mtools e2fsprogs python3-pil strace; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if [[ ${#missing[@]} -gt 0 ]]; then
        log "installing ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    fi
    "$PY" -c 'import PIL' 2>/dev/null || die "$PY lacks Pillow (python3-pil)"
    log "building velk-cli (Release) in $BUILD"
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DVELK_BUILD_GUI=OFF -DVELK_BUILD_TESTS=OFF \
        -DVELK_BUILD_BENCH=ON >"$DIR/cmake.log" 2>&1 || die "cmake failed (see $DIR/cmake.log)"
    cmake --build "$BUILD" -j2 --target velk-cli raw_scan_bench >"$DIR/build.log" 2>&1 ||
        die "build failed (see $DIR/build.log)"
}

# Stops early when the scratch disk cannot hold the images at this scale.
check_space() {
    local need avail
    # FAT (data written ~70 % of the volume) + its source tree, NTFS, EXT3 + EXT2, raw + its
    # recovery slice, 10 % margin.
    need=$((FAT_BYTES * 7 / 10 + FAT_BYTES * 6 / 10 + NTFS_BYTES + 2 * EXT_BYTES + RAW_BYTES + RAW_REC_BYTES))
    need=$((need * 11 / 10))
    # Images already built count as space we have.
    avail=$(( $(df --output=avail -B1 "$DIR" | tail -1) + $(du -sb "$IMG" | cut -f1) ))
    log "scratch $DIR: $((avail >> 30)) GiB free, images at scale $SCALE need about $((need >> 30)) GiB"
    if [[ $avail -lt $need ]]; then
        local fits
        fits=$("$PY" -c "print(round($SCALE * $avail / $need * 0.9, 2))")
        die "not enough space in $DIR: lower VELK_BENCH_SCALE (e.g. $fits) or set VELK_BENCH_DIR"
    fi
}

pick_out() {
    local shm_free
    if [[ -n ${VELK_BENCH_OUT:-} ]]; then
        OUT=$VELK_BENCH_OUT
    else
        shm_free=$(df --output=avail -B1 /dev/shm 2>/dev/null | tail -1 || echo 0)
        # The largest output (FAT or the raw slice) twice: ours and the cp copy.
        if [[ $shm_free -gt $(( 3 * (FAT_BYTES > RAW_REC_BYTES ? FAT_BYTES : RAW_REC_BYTES) )) ]]; then
            OUT=/dev/shm/velk-bench-out
        else
            OUT=$DIR/out
        fi
    fi
    rm -rf "$OUT"
    mkdir -p "$OUT"
}

stamp_ok() { [[ -f $1.stamp && $(cat "$1.stamp") == "scale=$SCALE v1" ]]; }
stamp() { echo "scale=$SCALE v1" >"$1.stamp"; }

ntfs_mount() {  # IMAGE DIR: ntfs-3g kept as our child, so unmounting can wait for it
    local img=$1 dir=$2 i
    mkdir -p "$dir"
    ntfs-3g -o no_detach,big_writes,noatime "$img" "$dir" >>"$IMG/ntfs-3g.log" 2>&1 &
    NTFS_PID=$!
    PIDS+=("$NTFS_PID")
    MOUNTS+=("$dir")
    for ((i = 0; i < 100; i++)); do
        mountpoint -q "$dir" && return 0
        kill -0 "$NTFS_PID" 2>/dev/null || break
        sleep 0.1
    done
    die "ntfs-3g did not mount $img"
}

unmount_last() {  # unmounts the last mount and waits for its daemon when it has one
    local dir=${MOUNTS[-1]}
    sync
    umount "$dir"
    unset 'MOUNTS[-1]'
    if [[ -n ${NTFS_PID:-} ]]; then
        wait "$NTFS_PID" || die "ntfs-3g exited with an error"
        NTFS_PID=""
    fi
}

# ------------------------------------------------------------------ images

# sha_list DIR LIST: the distinct sha256 sums of the files LIST names under DIR.
sha_list() {
    (cd "$1" && sort -u "$2" | tr '\n' '\0' | xargs -0 sha256sum) | cut -d' ' -f1 | sort -u
}
less_than() { "$PY" -c "import sys; sys.exit(0 if float(sys.argv[1]) < float(sys.argv[2]) else 1)" "$1" "$2"; }

samples() {
    [[ -d $IMG/samples ]] && return 0
    "$PY" "$GEN" samples "$IMG/samples.tmp" --count 60 >&2
    mv "$IMG/samples.tmp" "$IMG/samples"
}

build_fat() {
    local img=$IMG/fat32.img tree=$IMG/fat-tree
    stamp_ok "$img" && return 0
    log "FAT32: $((FAT_BYTES >> 20)) MiB, $FAT_FILES files in $FAT_DIRS folders"
    rm -rf "$img" "$tree" "$tree.list"
    "$PY" "$GEN" tree "$tree" --files "$FAT_FILES" --dirs "$FAT_DIRS" --samples "$IMG/samples" >&2
    truncate -s "$FAT_BYTES" "$img"
    # 4 KiB clusters from 256 MiB on (FAT32 needs 65,525 clusters); 512 bytes below.
    local spc=8
    [[ $FAT_BYTES -lt $((512 * MiB)) ]] && spc=1
    mkfs.vfat -F 32 -s "$spc" -n VELKBENCH -i 0BE0C432 "$img" >/dev/null
    (cd "$tree" && mcopy -s -i "$img" -- * ::/)
    # A quarter of the files deleted one by one, and every tenth folder deleted whole.
    "$PY" "$GEN" pick "$tree.list" --every 4 --offset 1 | sed 's|^|::/|' | xargs -d '\n' -n 2000 mdel -i "$img"
    local d=0 folder
    while IFS= read -r folder; do
        if ((d++ % 10 == 5)); then mdeltree -i "$img" "::/$folder"; fi
    done < <(cut -f1 "$tree.list" | cut -d/ -f1 | uniq)
    fsck.fat -n "$img" >/dev/null || die "fsck.fat finds $img inconsistent"
    # The deleted files' contents, to check what recoveries give back.
    "$PY" "$GEN" pick "$tree.list" --every 4 --offset 1 >"$IMG/fat.deleted.list"
    d=0
    while IFS= read -r folder; do
        if ((d++ % 10 == 5)); then grep -F -- "$folder/" "$tree.list" | cut -f1 >>"$IMG/fat.deleted.list"; fi
    done < <(cut -f1 "$tree.list" | cut -d/ -f1 | uniq)
    sha_list "$tree" "$IMG/fat.deleted.list" >"$IMG/fat.deleted.sha"
    rm -rf "$tree"
    stamp "$img"
}

build_ntfs() {
    local img=$IMG/ntfs.img mnt=$IMG/mnt-ntfs
    stamp_ok "$img" && return 0
    log "NTFS: $((NTFS_BYTES >> 20)) MiB, $NTFS_FILES files through ntfs-3g (about 3,000 a second here)"
    rm -f "$img"
    truncate -s "$NTFS_BYTES" "$img"
    mkntfs -F -f -q -c 4096 -L VELKBENCH "$img" >/dev/null 2>&1
    ntfs_mount "$img" "$mnt"
    "$PY" "$GEN" ntfs "$mnt" --files "$NTFS_FILES" --per-dir 1000 --big-every 50 --progress >&2
    # Every fourth file deleted: its record stays in the MFT, no longer in use.
    "$PY" "$GEN" ntfsdel "$mnt" --files "$NTFS_FILES" --per-dir 1000 --every 4 --offset 1 >&2
    unmount_last
    ntfsfix -n "$img" >/dev/null 2>&1 || die "ntfsfix -n finds $img inconsistent"
    stamp "$img"
}

build_ext() {
    local img3=$IMG/ext3.img img2=$IMG/ext2.img tree=$IMG/ext-tree mnt=$IMG/mnt-ext3
    if stamp_ok "$img3" && stamp_ok "$img2"; then return 0; fi
    log "EXT3 and EXT2: $((EXT_BYTES >> 20)) MiB each, $EXT_FILES files"
    rm -rf "$img3" "$img2" "$tree" "$tree.list"
    "$PY" "$GEN" tree "$tree" --files "$EXT_FILES" --dirs "$EXT_DIRS" --samples "$IMG/samples" \
        --seed velk-bench-ext >&2
    "$PY" "$GEN" pick "$tree.list" --every 4 --offset 1 >"$IMG/ext.deleted.list"
    sha_list "$tree" "$IMG/ext.deleted.list" >"$IMG/ext.deleted.sha"

    # EXT3 through the kernel: the files are touched (their inode-table blocks logged with
    # the block maps intact), then deleted, with a sync after each step, so the journal
    # keeps older copies of the deleted inodes.
    truncate -s "$EXT_BYTES" "$img3"
    mke2fs -q -F -t ext3 -b 4096 -L VELKBENCH3 "$img3"
    local loop
    loop=$(losetup -f --show "$img3")
    LOOPS+=("$loop")
    mkdir -p "$mnt"
    mount -t ext3 "$loop" "$mnt"
    MOUNTS+=("$mnt")
    cp -r "$tree/." "$mnt/"
    sync
    (cd "$mnt" && tr '\n' '\0' <"$IMG/ext.deleted.list" | xargs -0 touch)
    sync
    (cd "$mnt" && tr '\n' '\0' <"$IMG/ext.deleted.list" | xargs -0 rm -f)
    sync
    unmount_last
    losetup -d "$loop"
    unset 'LOOPS[-1]'
    e2fsck -fn "$img3" >/dev/null 2>&1 || die "e2fsck finds $img3 inconsistent"

    # EXT2 from the same tree; debugfs deletes (the kernel would zero the freed inodes'
    # block maps, debugfs leaves them, which is the state ext2 undelete tools work on).
    truncate -s "$EXT_BYTES" "$img2"
    mke2fs -q -F -t ext2 -b 4096 -L VELKBENCH2 -d "$tree" "$img2"
    sed 's|^\(.*\)$|rm "/\1"|' "$IMG/ext.deleted.list" >"$IMG/ext2.debugfs"
    debugfs -w -f "$IMG/ext2.debugfs" "$img2" >/dev/null 2>&1
    e2fsck -fn "$img2" >/dev/null 2>&1 || die "e2fsck finds $img2 inconsistent"
    rm -rf "$tree"
    stamp "$img3"
    stamp "$img2"
}

build_raw() {
    local img=$IMG/raw.img rec=$IMG/raw-rec.img
    stamp_ok "$img" && stamp_ok "$rec" && return 0
    log "raw: $((RAW_BYTES >> 20)) MiB of samples and filler; the first $((RAW_REC_BYTES >> 20)) MiB again for recoveries"
    rm -f "$img" "$rec"
    "$PY" "$GEN" raw "$img" --size "$RAW_BYTES" --samples "$IMG/samples" >&2
    # The recovery slice holds the same bytes as the head of the scanned image, so the
    # outputs of three tools fit in memory side by side.
    head -c "$RAW_REC_BYTES" "$img" >"$rec"
    (cd "$IMG/samples" && sha256sum -- *) | cut -d' ' -f1 | sort -u >"$IMG/raw.samples.sha"
    awk -F'\t' -v lim="$RAW_REC_BYTES" 'NR > 1 && $1 + $2 <= lim' "$img.manifest.tsv" | wc -l >"$rec.placed"
    stamp "$img"
    stamp "$rec"
}

images() {
    mkdir -p "$IMG"
    samples
    build_fat
    build_ntfs
    build_ext
    build_raw
}

# ------------------------------------------------------------------ measuring

drop_file() {  # the file's clean pages leave the page cache (this file only)
    "$PY" -c 'import os, sys
fd = os.open(sys.argv[1], os.O_RDONLY)
os.fdatasync(fd)
os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)' "$1"
}
warm_file() { cat "$1" >/dev/null; }
# Leaves the page cache to the images a phase measures: the others' pages are dropped, so
# that the 8 GiB raw image can stay cached while it is scanned.
make_room() {
    local f k keep
    for f in "$IMG"/*.img; do
        keep=0
        for k in "$@"; do [[ $f == "$k" ]] && keep=1; done
        [[ $keep == 0 ]] && drop_file "$f"
    done
    return 0
}
# "N % cached" of a file, for the notes of warm measurements.
cached() {
    local res size
    res=$(fincore -b -n -o RES "$1" 2>/dev/null | tr -d ' ' || echo 0)
    size=$(stat -c %s "$1")
    echo "$((100 * ${res:-0} / size)) % of the image cached"
}

# row ID SECONDS CPU_SECONDS MAXRSS_KB RC NOTE (the load average goes along: the machine is shared)
row() {
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" "$5" "$6" "$(cut -d' ' -f1 /proc/loadavg)" >>"$RES"
}

# measure ID REPS CACHE PREP -- COMMAND...: best wall time of REPS runs, the largest
# resident set. CACHE is warm:IMAGE (read once before the first run) or cold:IMAGE (its
# pages dropped before every run). PREP is a function run before each, untimed, or -.
measure() {
    local id=$1 reps=$2 cache=$3 prep=$4
    shift 5
    local r best="" cpu="" rss=0 rc=0 t0 t1 ms m u s
    [[ $cache == warm:* ]] && warm_file "${cache#warm:}"
    for ((r = 0; r < reps; r++)); do
        [[ $prep != - ]] && $prep
        [[ $cache == cold:* ]] && drop_file "${cache#cold:}"
        rc=0
        t0=$(date +%s%N)
        /usr/bin/time -f '%M %U %S' -o "$LOGS/$id.time" "$@" >"$LOGS/$id.out" 2>"$LOGS/$id.err" || rc=$?
        t1=$(date +%s%N)
        read -r m u s < <(tail -1 "$LOGS/$id.time")
        ms=$(((t1 - t0) / 1000000))
        if [[ -z $best || $ms -lt $best ]]; then
            best=$ms
            cpu=$("$PY" -c "import sys; print(f'{float(sys.argv[1]) + float(sys.argv[2]):.2f}')" "$u" "$s")
        fi
        [[ $m -gt $rss ]] && rss=$m
    done
    row "$id" "$(printf '%d.%03d' $((best / 1000)) $((best % 1000)))" "$cpu" "$rss" "$rc" "${NOTE:-}"
    log "$id: ${best} ms, ${rss} KiB peak (rc $rc)"
    NOTE=""
}

# replay ID RANGES IMAGE warm|cold: a sequential read of exactly the bytes a scan touched.
replay() {
    local id=$1 ranges=$2 image=$3 mode=$4 r best="" out t n k flag=()
    if [[ $mode == warm ]]; then warm_file "$image"; else flag=(--cold); fi
    for ((r = 0; r < REPS; r++)); do
        out=$("$PY" "$GEN" replay "$ranges" "$image" "${flag[@]}")
        read -r t n k <<<"$out"
        if [[ -z $best ]] || less_than "$t" "$best"; then
            best=$t
        fi
    done
    row "$id" "$best" "" "" 0 "$n bytes in $k merged ranges"
    log "$id: $best s for $n bytes ($k ranges)"
}

# touched ID IMAGE -- COMMAND...: the ranges COMMAND reads from IMAGE, for replay.
touched() {
    local id=$1 image=$2
    shift 3
    strace -f -e trace=openat,pread64,close -o "$LOGS/$id.strace" "$@" >/dev/null 2>&1 || true
    "$PY" "$GEN" touched "$LOGS/$id.strace" "$image" >"$LOGS/$id.ranges"
    rm -f "$LOGS/$id.strace"
}

fresh_out() { rm -rf "$OUT/cur"; mkdir -p "$OUT/cur"; }
no_out() { rm -rf "$OUT/cur"; }

# out_facts ID DIR [SHA_LIST]: files, bytes, and how many files equal a deleted original.
out_facts() {
    local id=$1 dir=$2 shas=${3:-} files bytes match=""
    files=$(find "$dir" -type f | wc -l)
    bytes=$(du -sb "$dir" | cut -f1)
    if [[ -n $shas ]]; then
        match=$(find "$dir" -type f -print0 | xargs -0 -r sha256sum | cut -d' ' -f1 | sort | uniq |
            comm -12 - "$shas" | wc -l)
        match=", $match distinct contents equal a deleted original ($(wc -l <"$shas") deleted)"
    fi
    printf '%s\t%s\t%s\t%s\t%s\n' "$id" "$files" "$bytes" "$(basename "$dir")" "${match#, }" >>"$RESDIR/outputs.tsv"
    log "$id: $files files, $bytes bytes${match}"
}

count_note() { NOTE="$*"; }

# recover_set PHASE IMAGE SHAS VELK_TASK_ARGS... : ours, then cp of what ours wrote.
recover_velk_and_cp() {
    local phase=$1 image=$2 shas=$3
    shift 3
    measure "$phase.recover.velk" "$RREPS" "warm:$image" fresh_out -- \
        "$CLI" --image "$image" recover --partition 0 "$@" --all --out "$OUT/cur"
    out_facts "$phase.recover.velk" "$OUT/cur" "$shas"
    # The same recovery from a saved scan: no scan, only the copy.
    "$CLI" --image "$image" scan --partition 0 "$@" --save "$DIR/$phase.velkscan" >/dev/null 2>&1 || true
    rm -rf "$OUT/cur"
    measure "$phase.recover.velk-saved" "$RREPS" "warm:$image" fresh_out -- \
        "$CLI" --image "$image" recover --from-scan "$DIR/$phase.velkscan" --all --out "$OUT/cur"
    out_facts "$phase.recover.velk-saved" "$OUT/cur" "$shas"
    rm -rf "$OUT/velk"
    mv "$OUT/cur" "$OUT/velk"
    # cp of the same files and bytes, from a warm cache into the same file system.
    warm_dir "$OUT/velk"
    measure "$phase.recover.cp" "$RREPS" - no_out -- cp -r "$OUT/velk" "$OUT/cur"
    rm -rf "$OUT/cur"
}
warm_dir() { find "$1" -type f -print0 | xargs -0 -r cat >/dev/null; }

scan_pair() {  # PHASE IMAGE TOOL -- COMMAND: warm and cold
    local phase=$1 image=$2 tool=$3
    shift 4
    measure "$phase.scan.$tool.warm" "$REPS" "warm:$image" - -- "$@"
    measure "$phase.scan.$tool.cold" "$REPS" "cold:$image" - -- "$@"
}

velk_found() { grep -o 'Found [0-9]* files' "$LOGS/$1.out" | tail -1; }

# velk_deleted_scan NAME IMG: what a deleted scan reads (replayed warm and cold, the floor
# any scan of this metadata has), the scan itself, and fls over the same image.
velk_deleted_scan() {
    local name=$1 img=$2
    touched "$name.touched" "$img" -- "$CLI" --image "$img" scan --partition 0 --task deleted
    replay "$name.read.meta.warm" "$LOGS/$name.touched.ranges" "$img" warm
    replay "$name.read.meta.cold" "$LOGS/$name.touched.ranges" "$img" cold
    scan_pair "$name" "$img" velk -- "$CLI" --image "$img" scan --partition 0 --task deleted
    log "   velk: $(velk_found "$name.scan.velk.warm")"
    scan_pair "$name" "$img" fls -- fls -r -d -p "$img"
    log "   fls: $(wc -l <"$LOGS/$name.scan.fls.warm.out") deleted entries"
}

# ------------------------------------------------------------------ phases

phase_fat() {
    local img=$IMG/fat32.img
    log "== FAT32"
    make_room "$img"
    velk_deleted_scan fat "$img"
    recover_velk_and_cp fat "$img" "$IMG/fat.deleted.sha" --task deleted
    measure fat.recover.tsk_recover "$RREPS" "warm:$img" fresh_out -- tsk_recover "$img" "$OUT/cur"
    out_facts fat.recover.tsk_recover "$OUT/cur" "$IMG/fat.deleted.sha"
    rm -rf "$OUT/cur" "$OUT/velk"
    measure fat.read.image.warm "$REPS" "warm:$img" - -- dd if="$img" of=/dev/null bs=2M
}

phase_ntfs() {
    local img=$IMG/ntfs.img
    log "== NTFS"
    make_room "$img"
    velk_deleted_scan ntfs "$img"
    # (-P, the parent folders, needs --verbose, which prints a paragraph per record.)
    scan_pair ntfs "$img" ntfsundelete -- ntfsundelete -f "$img"
    log "   ntfsundelete: $(grep -c '^[0-9]' "$LOGS/ntfs.scan.ntfsundelete.warm.out" || true) rows"
    measure ntfs.scan.velk-formatted.warm 1 "warm:$img" - -- "$CLI" --image "$img" scan --partition 0 --task formatted
    recover_velk_and_cp ntfs "$img" "" --task deleted
    measure ntfs.recover.tsk_recover "$RREPS" "warm:$img" fresh_out -- tsk_recover "$img" "$OUT/cur"
    out_facts ntfs.recover.tsk_recover "$OUT/cur"
    measure ntfs.recover.ntfsundelete "$RREPS" "warm:$img" fresh_out -- \
        ntfsundelete -f "$img" -u -m '*' -d "$OUT/cur"
    out_facts ntfs.recover.ntfsundelete "$OUT/cur"
    rm -rf "$OUT/cur" "$OUT/velk"
}

phase_ext() {
    local v img
    make_room "$IMG/ext3.img" "$IMG/ext2.img"
    for v in ext3 ext2; do
        img=$IMG/$v.img
        log "== ${v^^}"
        velk_deleted_scan "$v" "$img"
        scan_pair "$v" "$img" debugfs -- debugfs -R lsdel "$img"
        log "   debugfs: $(grep -o '[0-9]* deleted inodes found' "$LOGS/$v.scan.debugfs.warm.out" || true)"
        recover_velk_and_cp "$v" "$img" "$IMG/ext.deleted.sha" --task deleted
        measure "$v.recover.tsk_recover" "$RREPS" "warm:$img" fresh_out -- tsk_recover "$img" "$OUT/cur"
        out_facts "$v.recover.tsk_recover" "$OUT/cur" "$IMG/ext.deleted.sha"
        rm -rf "$OUT/cur" "$OUT/velk"
    done
}

phase_raw() {
    local img=$IMG/raw.img rec=$IMG/raw-rec.img
    log "== raw"
    make_room "$img" "$rec"
    "$BUILD/bench/raw_scan_bench" "$ROOT/resources/rp.dat" 1024 >"$LOGS/raw.cpu.out" 2>&1
    local gbs
    gbs=$(grep -o 'sector test: .* = [0-9.]* GB/s' "$LOGS/raw.cpu.out" | grep -o '[0-9.]* GB/s' | cut -d' ' -f1)
    row raw.cpu.sector_test "$gbs" "" "" 0 "GB/s, in memory, whole catalogue enabled (raw_scan_bench)"
    gbs=$(grep -o 'whole scan with end rules: [0-9.]* GB/s' "$LOGS/raw.cpu.out" | grep -o '[0-9.]* GB/s' | cut -d' ' -f1)
    row raw.cpu.whole_scan "$gbs" "" "" 0 "GB/s, in memory, reads + state + end rules (raw_scan_bench)"
    measure raw.read.image.warm "$REPS" "warm:$img" - -- dd if="$img" of=/dev/null bs=2M
    measure raw.read.image.cold 1 "cold:$img" - -- dd if="$img" of=/dev/null bs=2M
    warm_file "$img"
    NOTE=$(cached "$img")
    measure raw.scan.velk.warm "$REPS" "warm:$img" - -- "$CLI" --image "$img" scan --partition 0 --task raw
    # One cold run each: every one reads the whole image from the disk again.
    measure raw.scan.velk.cold 1 "cold:$img" - -- "$CLI" --image "$img" scan --partition 0 --task raw
    log "   velk: $(velk_found raw.scan.velk.warm) ($(($(wc -l <"$img.manifest.tsv") - 1)) placed)"
    # The recovery runs on the first part of the image; its scan alone, for comparison.
    measure raw.scan.velk-slice.warm "$REPS" "warm:$rec" - -- "$CLI" --image "$rec" scan --partition 0 --task raw
    recover_velk_and_cp raw "$rec" "$IMG/raw.samples.sha" --task raw
    measure raw.recover.photorec "$RREPS" "warm:$rec" fresh_out -- \
        photorec /log /d "$OUT/cur/recup" /cmd "$rec" partition_none,options,keep_corrupted_file_no,fileopt,everything,enable,search
    out_facts raw.recover.photorec "$OUT/cur" "$IMG/raw.samples.sha"
    rm -rf "$OUT/cur" "$OUT/velk"
}

phase_report() {
    {
        echo "# run $(date -u +%FT%TZ), scale $SCALE, scans best of $REPS, recoveries best of $RREPS"
        echo "# recoveries wrote to $OUT ($(df --output=fstype "$OUT" | tail -1))"
        echo "## machine"
        lscpu | grep -E '^(Model name|CPU\(s\)|Thread|Core|Socket|L[23])' || true
        free -m
        uname -sr
        env | grep -E '^(VELK_BENCH_|LANG=|LC_ALL=)' | sort || true
        echo "## versions"
        "$CLI" --version 2>/dev/null || echo "velk-cli $(git -C "$ROOT" describe --always --dirty 2>/dev/null)"
        fls -V | head -1
        photorec /version 2>/dev/null | grep -i -m1 'photorec' || true
        ntfsundelete -V 2>&1 | grep -m1 -i ntfsundelete || true
        debugfs -V 2>&1 | head -1
        mkntfs -V 2>&1 | grep -m1 mkntfs || true
        mtools --version 2>/dev/null | head -1 || true
        cp --version | head -1
    } >"$RESDIR/machine.txt"
    "$PY" "$BENCH/report.py" "$RESDIR" >"$RESDIR/report.md"
    log "report: $RESDIR/report.md"
    cat "$RESDIR/report.md"
}

# ------------------------------------------------------------------ main

main() {
    local phases=("$@") start
    [[ ${#phases[@]} -eq 0 ]] && phases=(images fat ntfs ext raw report)
    mkdir -p "$DIR" "$IMG" "$LOGS"
    cd "$LOGS"  # PhotoRec writes its log into the working folder
    start=$(date +%s)
    prerequisites
    pick_out
    {
        echo "SCALE=$SCALE"
        echo "FAT_BYTES=$FAT_BYTES"; echo "FAT_FILES=$FAT_FILES"; echo "FAT_DIRS=$FAT_DIRS"
        echo "NTFS_BYTES=$NTFS_BYTES"; echo "NTFS_FILES=$NTFS_FILES"
        echo "EXT_BYTES=$EXT_BYTES"; echo "EXT_FILES=$EXT_FILES"
        echo "RAW_BYTES=$RAW_BYTES"; echo "RAW_REC_BYTES=$RAW_REC_BYTES"
        echo "OUT=$OUT"
    } >"$RESDIR/params.txt"
    [[ -f $RES ]] || printf 'id\tseconds\tcpu_seconds\tmaxrss_kb\trc\tnote\tload\n' >"$RES"
    [[ -f $RESDIR/outputs.tsv ]] || printf 'id\tfiles\tbytes\tdir\tcheck\n' >"$RESDIR/outputs.tsv"
    local p
    for p in "${phases[@]}"; do
        case $p in
            images) check_space; images ;;
            fat | ntfs | ext | raw) "phase_$p" ;;
            report) phase_report ;;
            *) die "unknown phase $p (images fat ntfs ext raw report)" ;;
        esac
    done
    log "done in $(($(date +%s) - start)) s"
}

main "$@"

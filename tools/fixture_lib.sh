# shellcheck shell=bash
# Shared helpers of the fixture builders: work dir and cleanup, frozen clock,
# content generation, manifests, layouts and packing.
#
# Source it from a builder:  . "$(dirname "$0")/fixture_lib.sh"

set -euo pipefail

FX_TOOLS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
FX_ROOT=$(cd "$FX_TOOLS/.." && pwd)
FX_OUT=${FX_OUT:-$FX_ROOT/tests/fixtures}
# Pillow comes from python3-pil, so use the system interpreter, not a pyenv shim.
FX_PY=${FX_PY:-/usr/bin/python3}
FX_GEN="$FX_TOOLS/fixture_gen.py"
FX_FAKETIME_LIB=${FX_FAKETIME_LIB:-/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1}
# FAT16 deleted entries only count when dated within the last five years, so
# everything is written at a fixed moment of 2026.
FX_TIME="2026-01-02 03:04:05"

export TZ=UTC LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 SOURCE_DATE_EPOCH=1767323045
# mtools must not pick up a user's drive letters.
export MTOOLSRC=/dev/null

FX_LOOPS=()
FX_MOUNTS=()
FX_WORK=""

fx_log() { printf '[%s] %s\n' "$(basename "$0" .sh)" "$*" >&2; }
fx_die() { fx_log "ERROR: $*"; exit 1; }

fx_cleanup() {
    local i
    for ((i = ${#FX_MOUNTS[@]} - 1; i >= 0; i--)); do
        umount "${FX_MOUNTS[$i]}" 2>/dev/null || umount -l "${FX_MOUNTS[$i]}" 2>/dev/null || true
    done
    for ((i = ${#FX_LOOPS[@]} - 1; i >= 0; i--)); do
        losetup -d "${FX_LOOPS[$i]}" 2>/dev/null || true
    done
    if [[ -n "$FX_WORK" && -d "$FX_WORK" && -z "${FX_KEEP:-}" ]]; then
        rm -rf "$FX_WORK"
    fi
}

fx_require() {
    local t
    for t in "$@"; do
        command -v "$t" >/dev/null || fx_die "missing tool $t"
    done
    [[ -r "$FX_FAKETIME_LIB" ]] || fx_die "libfaketime not found at $FX_FAKETIME_LIB"
    "$FX_PY" -c 'import PIL' 2>/dev/null || fx_die "$FX_PY lacks Pillow (python3-pil)"
}

# Makes the work dir and arms the cleanup trap. FX_KEEP=1 keeps it for inspection.
fx_begin() {
    FX_WORK=$(mktemp -d "${TMPDIR:-/tmp}/velkfx.XXXXXX")
    trap fx_cleanup EXIT
    trap 'exit 130' INT TERM
    mkdir -p "$FX_OUT" "$FX_WORK/src"
    fx_log "work dir $FX_WORK"
}

# Runs a command with the clock frozen at FX_TIME (LD_PRELOAD, not the faketime
# wrapper, which never returns when ntfs-3g daemonizes).
fx_frozen() { LD_PRELOAD=$FX_FAKETIME_LIB FAKETIME="$FX_TIME" "$@"; }
# Same moment, but the clock runs on: for daemons that wait on time.
fx_clock() { LD_PRELOAD=$FX_FAKETIME_LIB FAKETIME="@$FX_TIME" "$@"; }
# Writes with another frozen date, e.g. to make an entry older than five years.
fx_dated() {
    local when=$1; shift
    # mtools and mkfs take SOURCE_DATE_EPOCH before the clock
    env -u SOURCE_DATE_EPOCH LD_PRELOAD="$FX_FAKETIME_LIB" FAKETIME="$when" "$@"
}

# fx_gen KIND NAME [gen options]: generates $FX_WORK/src/NAME, prints its path.
fx_gen() {
    local kind=$1 name=$2; shift 2
    local out="$FX_WORK/src/$name"
    mkdir -p "$(dirname "$out")"
    "$FX_PY" "$FX_GEN" gen "$kind" "$out" --seed "$name" "$@"
    printf '%s\n' "$out"
}

fx_sha() { sha256sum "$1" | cut -d' ' -f1; }
# fx_bytes FILE OFFSET LENGTH: prints a byte range (no SIGPIPE games under pipefail)
fx_bytes() { dd if="$1" iflag=skip_bytes,count_bytes skip="$2" count="$3" bs=1M status=none; }
fx_size() { stat -c %s "$1"; }

# --- manifests: rows are written to a pending file, checked, then published.

fx_manifest_begin() {
    FX_MANIFEST="$FX_WORK/$1.pending.tsv"
    printf 'part\tpath\tsize\tsha256\tstate\tnotes\n' >"$FX_MANIFEST"
}

# fx_row PART PATH LOCAL_FILE STATE [NOTES]
fx_row() {
    local part=$1 path=$2 file=$3 state=$4 notes=${5:-}
    case $state in
        live|deleted|deleted-in-deleted-folder|overwritten|formatted) ;;
        *) fx_die "bad state $state" ;;
    esac
    printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$part" "$path" "$(fx_size "$file")" "$(fx_sha "$file")" \
        "$state" "$notes" >>"$FX_MANIFEST"
}

fx_fatcheck() {  # IMAGE PART [BYTE_OFFSET] [extra fatcheck options]
    local img=$1 part=$2 off=${3:-0}; shift 3 || shift $#
    "$FX_PY" "$FX_GEN" fatcheck "$img" --offset "$off" --part "$part" \
        --manifest "$FX_MANIFEST" --out "$FX_MANIFEST.new" "$@"
    mv "$FX_MANIFEST.new" "$FX_MANIFEST"
}

fx_tskcheck() {  # IMAGE PART [SECTOR_OFFSET] [extra tskcheck options]
    local img=$1 part=$2 soff=${3:-0}; shift 3 || shift $#
    "$FX_PY" "$FX_GEN" tskcheck "$img" --sector-offset "$soff" --part "$part" \
        --manifest "$FX_MANIFEST" --out "$FX_MANIFEST.new" "$@"
    mv "$FX_MANIFEST.new" "$FX_MANIFEST"
}

fx_ext3check() {  # IMAGE PART BYTE_OFFSET
    "$FX_PY" "$FX_GEN" ext3check "$1" --offset "$3" --part "$2" \
        --manifest "$FX_MANIFEST" --out "$FX_MANIFEST.new"
    mv "$FX_MANIFEST.new" "$FX_MANIFEST"
}

# fx_publish NAME IMAGE: packs the image and publishes manifest (and layout).
fx_publish() {
    local name=$1 img=$2
    xz -9e -T1 -c "$img" >"$FX_OUT/$name.img.xz"
    cp "$FX_MANIFEST" "$FX_OUT/$name.manifest.tsv"
    if [[ -f "$FX_WORK/$name.layout.tsv" ]]; then
        cp "$FX_WORK/$name.layout.tsv" "$FX_OUT/$name.layout.tsv"
    fi
    fx_log "$name: $(fx_size "$img") bytes -> $(fx_size "$FX_OUT/$name.img.xz") bytes xz," \
        "$(($(wc -l <"$FX_MANIFEST") - 1)) files"
}

# --- partitioned disks

# fx_layout_begin NAME DISK_BYTES
fx_layout_begin() {
    FX_LAYOUT="$FX_WORK/$1.layout.tsv"
    printf '# disk_bytes=%s\npart\ttype_hex\tstart_sector\tsectors\tfs\tlabel\n' "$2" >"$FX_LAYOUT"
}
fx_layout_row() { printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$@" >>"$FX_LAYOUT"; }

# fx_place DISK VOLUME START_SECTOR: copies a volume image into the disk.
fx_place() {
    dd if="$2" of="$1" bs=512 seek="$3" conv=notrunc,sparse status=none
}

# fx_loop FILE: attaches a loop device, prints it; detached on exit.
fx_loop() {
    local dev
    dev=$(losetup -f --show "$1") || fx_die "no loop device for $1"
    FX_LOOPS+=("$dev")
    printf '%s\n' "$dev"
}

fx_unloop() {
    local dev=$1 i
    losetup -d "$dev"
    for i in "${!FX_LOOPS[@]}"; do
        [[ ${FX_LOOPS[$i]} == "$dev" ]] && unset 'FX_LOOPS[i]'
    done
    FX_LOOPS=("${FX_LOOPS[@]}")
}

fx_mount() {  # fx_mount WHAT DIR [mount args...]; unmounted on exit
    local what=$1 dir=$2; shift 2
    mkdir -p "$dir"
    mount "$@" "$what" "$dir"
    FX_MOUNTS+=("$dir")
}

fx_umount() {
    local dir=$1 i
    umount "$dir"
    for i in "${!FX_MOUNTS[@]}"; do
        [[ ${FX_MOUNTS[$i]} == "$dir" ]] && unset 'FX_MOUNTS[i]'
    done
    FX_MOUNTS=("${FX_MOUNTS[@]}")
}

# ntfs-3g through FUSE, clock at FX_TIME and running. It stays in the
# foreground (no_detach) as our child, so unmounting can wait for it to finish
# writing the volume file.
FX_NTFS_PIDS=()
fx_ntfs_mount() {  # VOLUME_FILE DIR [extra -o options]
    local vol=$1 dir=$2 extra=${3:-} i
    mkdir -p "$dir"
    fx_clock ntfs-3g -o "no_detach${extra:+,$extra}" "$vol" "$dir" >>"$FX_WORK/ntfs-3g.log" 2>&1 &
    FX_NTFS_PIDS+=("$!")
    FX_MOUNTS+=("$dir")
    for i in $(seq 100); do
        mountpoint -q "$dir" && return 0
        sleep 0.1
    done
    fx_die "ntfs-3g did not mount $vol"
}

fx_ntfs_umount() {
    local dir=$1 pid
    sync
    fx_umount "$dir"
    for pid in "${FX_NTFS_PIDS[@]}"; do
        wait "$pid" || fx_die "ntfs-3g exited with an error (see $FX_WORK/ntfs-3g.log)"
    done
    FX_NTFS_PIDS=()
}

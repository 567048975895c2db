# shellcheck shell=bash
# Helpers shared by build_ntfs_fixtures.sh and build_ext_fixtures.sh: work dir
# and cleanup (mounts, ntfs-3g daemons, loop devices), frozen clock, content
# generation, and the checker that turns a build plan into a manifest only
# after every claim in it was verified against the finished image.
#
# Source it from a builder:  . "$(dirname "$0")/fixture_ntfs_ext_lib.sh"

set -euo pipefail

NX_TOOLS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
NX_ROOT=$(cd "$NX_TOOLS/.." && pwd)
NX_OUT=${NX_OUT:-$NX_ROOT/tests/fixtures}
# Pillow comes from python3-pil: use the system interpreter.
NX_PY=${NX_PY:-/usr/bin/python3}
NX_FAKETIME_LIB=${NX_FAKETIME_LIB:-/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1}
NX_TIME="2026-01-02 03:04:05"

export TZ=UTC LC_ALL=C.UTF-8 SOURCE_DATE_EPOCH=1767323045
# e2fsprogs honours this for the times it writes (mke2fs, debugfs).
export E2FSPROGS_FAKE_TIME=1767323045

NX_MOUNTS=()
NX_LOOPS=()
NX_PIDS=()
NX_WORK=""

nx_log() { printf '[%s] %s\n' "$(basename "$0" .sh)" "$*" >&2; }
nx_die() { nx_log "ERROR: $*"; exit 1; }

nx_cleanup() {
    local i
    for ((i = ${#NX_MOUNTS[@]} - 1; i >= 0; i--)); do
        umount "${NX_MOUNTS[$i]}" 2>/dev/null || umount -l "${NX_MOUNTS[$i]}" 2>/dev/null || true
    done
    for i in "${NX_PIDS[@]}"; do
        wait "$i" 2>/dev/null || true
    done
    for ((i = ${#NX_LOOPS[@]} - 1; i >= 0; i--)); do
        losetup -d "${NX_LOOPS[$i]}" 2>/dev/null || true
    done
    if [[ -n "$NX_WORK" && -d "$NX_WORK" && -z "${NX_KEEP:-}" ]]; then
        rm -rf "$NX_WORK"
    fi
}

nx_require() {
    local t
    for t in "$@"; do
        command -v "$t" >/dev/null || nx_die "missing tool $t (apt-get install it)"
    done
    [[ -r "$NX_FAKETIME_LIB" ]] || nx_die "libfaketime not found at $NX_FAKETIME_LIB"
    "$NX_PY" -c 'import PIL' 2>/dev/null || nx_die "$NX_PY lacks Pillow (python3-pil)"
    [[ $(id -u) == 0 ]] || nx_die "needs root (loop and FUSE mounts)"
}

# Makes the work dir and arms cleanup. NX_KEEP=1 keeps the dir.
nx_begin() {
    NX_WORK=$(mktemp -d "${TMPDIR:-/tmp}/velknx.XXXXXX")
    trap nx_cleanup EXIT
    trap 'exit 130' INT TERM
    mkdir -p "$NX_OUT" "$NX_WORK/src" "$NX_WORK/mnt"
    nx_log "work dir $NX_WORK"
}

# The checker and content generator (tools/nxtool.py).
nx_tool() { "$NX_PY" "$NX_TOOLS/nxtool.py" "$@"; }

# Clock frozen at NX_TIME for one-shot tools.
nx_frozen() { LD_PRELOAD=$NX_FAKETIME_LIB FAKETIME="$NX_TIME" "$@"; }
# Starts at NX_TIME and runs on, for the ntfs-3g daemon.
nx_clock() { LD_PRELOAD=$NX_FAKETIME_LIB FAKETIME="@$NX_TIME" "$@"; }

# nx_gen KIND NAME [--size N | --width W --height H]: deterministic content,
# seeded by NAME; prints the path of the generated file.
nx_gen() {
    local kind=$1 name=$2; shift 2
    local out="$NX_WORK/src/$name"
    nx_tool gen "$kind" "$out" --seed "$name" "$@"
    printf '%s\n' "$out"
}

nx_sha() { sha256sum "$1" | cut -d' ' -f1; }
nx_size() { stat -c %s "$1"; }

# --- mounts

# nx_ntfs_mount IMAGE DIR [extra -o options]: ntfs-3g kept in the foreground
# (no_detach) as our own child, so unmounting can wait until it has written
# everything back and exited.
nx_ntfs_mount() {
    local img=$1 dir=$2 extra=${3:-} i
    mkdir -p "$dir"
    nx_clock ntfs-3g -o "no_detach${extra:+,$extra}" "$img" "$dir" >>"$NX_WORK/ntfs-3g.log" 2>&1 &
    NX_NTFS_PID=$!
    NX_PIDS+=("$NX_NTFS_PID")
    NX_MOUNTS+=("$dir")
    for ((i = 0; i < 100; i++)); do
        mountpoint -q "$dir" && return 0
        kill -0 "$NX_NTFS_PID" 2>/dev/null || break
        sleep 0.1
    done
    nx_die "ntfs-3g did not mount $img (see $NX_WORK/ntfs-3g.log)"
}

nx_ntfs_umount() {
    local dir=$1
    sync
    nx_umount "$dir"
    wait "$NX_NTFS_PID" || nx_die "ntfs-3g exited with an error"
    NX_PIDS=("${NX_PIDS[@]/$NX_NTFS_PID}")
}

nx_loop() {
    local dev
    dev=$(losetup -f --show "$1") || nx_die "no loop device for $1"
    NX_LOOPS+=("$dev")
    printf '%s\n' "$dev"
}

nx_unloop() {
    local dev=$1 i
    losetup -d "$dev"
    for i in "${!NX_LOOPS[@]}"; do
        [[ ${NX_LOOPS[$i]} == "$dev" ]] && unset 'NX_LOOPS[i]'
    done
    NX_LOOPS=("${NX_LOOPS[@]}")
}

nx_mount() {  # nx_mount WHAT DIR [mount args...]
    local what=$1 dir=$2; shift 2
    mkdir -p "$dir"
    mount "$@" "$what" "$dir"
    NX_MOUNTS+=("$dir")
}

nx_umount() {
    local dir=$1 i
    umount "$dir"
    for i in "${!NX_MOUNTS[@]}"; do
        [[ ${NX_MOUNTS[$i]} == "$dir" ]] && unset 'NX_MOUNTS[i]'
    done
    NX_MOUNTS=("${NX_MOUNTS[@]}")
}

# --- plans and manifests
#
# A builder records what it placed in a plan (part, path, local copy, state,
# notes) while it works; nx_check turns the plan into the manifest after the
# checker has verified each row against the finished image.

nx_plan_begin() {
    NX_PLAN="$NX_WORK/$1.plan.tsv"
    : >"$NX_PLAN"
}

# nx_plan PART PATH LOCAL_FILE STATE [NOTES]
nx_plan() {
    local part=$1 path=$2 file=$3 state=$4 notes=${5:-}
    case $state in
        live|deleted|deleted-in-deleted-folder|overwritten|formatted|auto) ;;
        *) nx_die "bad state $state" ;;
    esac
    [[ -f $file ]] || nx_die "no local copy for $path"
    printf '%s\t%s\t%s\t%s\t%s\n' "$part" "$path" "$file" "$state" "$notes" >>"$NX_PLAN"
}

# nx_publish NAME IMAGE MANIFEST
nx_publish() {
    local name=$1 img=$2 manifest=$3
    xz -9e -T1 -c "$img" >"$NX_OUT/$name.img.xz.tmp"
    mv "$NX_OUT/$name.img.xz.tmp" "$NX_OUT/$name.img.xz"
    cp "$manifest" "$NX_OUT/$name.manifest.tsv"
    nx_log "$name: $(nx_size "$img") bytes -> $(nx_size "$NX_OUT/$name.img.xz") bytes xz," \
        "$(($(wc -l <"$manifest") - 1)) rows"
}

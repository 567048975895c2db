#!/usr/bin/env bash
# Raw carving next to PhotoRec on a corpus of real and generated files placed over random
# filler (bench/carve_corpus.py): per-type counts of files carved byte-exact by each, and
# the speed of velk's raw scan with the whole catalogue against `cat` of the same image.
#
#   bench/carve_compare.sh [SEED]
#
# Environment: VELK_CARVE_DIR (default /tmp/velk-carve; never committed), VELK_BENCH_BUILD
# (Release build dir, default build-bench), VELK_BENCH_REPS (scan repetitions, default 5),
# VELK_CARVE_BIG_MIB (a second, larger image for the speed rows: random filler with a copy
# of the corpus in one stretch of ten, as a disk's free space holds a few files among much
# else; default 2048, 0 leaves it out).
# Writes $VELK_CARVE_DIR/report.md and prints it.

set -euo pipefail
BENCH=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$BENCH/.." && pwd)
SEED=${1:-23}
DIR=${VELK_CARVE_DIR:-/tmp/velk-carve}
BUILD=${VELK_BENCH_BUILD:-$ROOT/build-bench}
REPS=${VELK_BENCH_REPS:-5}
BIG=${VELK_CARVE_BIG_MIB:-2048}
PY=/usr/bin/python3
CLI=$BUILD/cli/velk-cli
export LC_ALL=C.UTF-8 TZ=UTC

# shellcheck source=../tools/deps.sh
source "$ROOT/tools/deps.sh"
# The corpus is made with ffmpeg, 7z, zstd and Pillow, and takes Ogg sounds from Debian.
ensure_packages build bench carve
if [[ ! -x $CLI ]]; then
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DVELK_BUILD_GUI=OFF -DVELK_BUILD_TESTS=OFF \
        -DVELK_BUILD_BENCH=ON >/dev/null
    cmake --build "$BUILD" -j2 --target velk-cli raw_scan_bench >/dev/null
fi

mkdir -p "$DIR"
IMG=$DIR/carve.img
[[ -f $IMG && -f $DIR/seed && $(cat "$DIR/seed") == "$SEED" ]] || {
    "$PY" "$BENCH/carve_corpus.py" build "$DIR" --seed "$SEED" >&2
    echo "$SEED" >"$DIR/seed"
}

# Best wall time of REPS runs of a command (its output thrown away).
best() {
    local best=999999 t
    for _ in $(seq "$REPS"); do
        /usr/bin/time -f %e -o "$DIR/time.out" "$@" >/dev/null 2>&1 || true
        t=$(tail -1 "$DIR/time.out")
        best=$(echo "$t $best" | awk '{print ($1 < $2) ? $1 : $2}')
    done
    echo "$best"
}

rm -rf "$DIR/velk" "$DIR/photorec"
cat "$IMG" >/dev/null
"$CLI" --image "$IMG" recover --partition 0 --task raw --all --out "$DIR/velk" >"$DIR/velk.log" 2>&1 || true
mkdir -p "$DIR/photorec"
photorec /log /d "$DIR/photorec/recup" /cmd "$IMG" \
    partition_none,options,keep_corrupted_file_no,fileopt,everything,enable,search >"$DIR/photorec.log" 2>&1 || true
"$PY" "$BENCH/carve_corpus.py" score "$DIR/manifest.tsv" "$DIR/velk" >"$DIR/velk.tsv"
"$PY" "$BENCH/carve_corpus.py" score "$DIR/manifest.tsv" "$DIR/photorec" >"$DIR/photorec.tsv"

# The speed rows: the corpus image (files back to back: every decoder at work), and a
# larger one, still cached, where files are sparse.
SPEED=("$IMG")
if [[ $BIG -gt 0 ]]; then
    BIGIMG=$DIR/carve-big.img
    if [[ ! -f $BIGIMG || $(stat -c %s "$BIGIMG") -ne $((BIG << 20)) ]]; then
        "$PY" - "$IMG" "$BIGIMG" "$BIG" "$SEED" <<'PYEOF'
import random, sys
src, dst, mib, seed = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
corpus = open(src, "rb").read()
rng = random.Random(seed)
with open(dst, "wb") as f:
    left = mib << 20
    while left > 0:
        part = corpus if rng.random() < 0.1 else rng.randbytes(len(corpus))
        f.write(part[:left])
        left -= min(left, len(part))
PYEOF
    fi
    SPEED+=("$BIGIMG")
fi

{
    echo "# Raw carving: velk next to PhotoRec"
    echo
    echo "$(date -u +%F), seed $SEED, $(nproc) cores, $(uname -sr); $(photorec /version 2>/dev/null | head -1 || true)"
    echo "Corpus: $(($(wc -l <"$DIR/manifest.tsv") - 1)) files, $(awk -F'\t' 'NR > 1 && $5 == 2' "$DIR/manifest.tsv" | wc -l) of them in two pieces; image $(($(stat -c %s "$IMG") >> 20)) MiB."
    echo
    echo "| type | placed | velk exact | PhotoRec exact |"
    echo "|---|---:|---:|---:|"
    join -t $'\t' "$DIR/velk.tsv" "$DIR/photorec.tsv" | awk -F'\t' '{
        flag = ($3 < $5) ? " **behind**" : "";
        printf "| %s | %s | %s | %s%s |\n", $1, $2, $3, $5, flag }'
    echo
    echo "| image | size MiB | cat s | velk scan s | velk / cat | velk files |"
    echo "|---|---:|---:|---:|---:|---:|"
    for img in "${SPEED[@]}"; do
        cat "$img" >/dev/null
        c=$(best cat "$img")
        v=$(best "$CLI" --image "$img" scan --partition 0 --task raw)
        n=$("$CLI" --image "$img" scan --partition 0 --task raw 2>/dev/null | grep -o 'Found [0-9]* files' | tail -1)
        printf '| %s | %s | %s | %s | %s | %s |\n' "$(basename "$img")" $(($(stat -c %s "$img") >> 20)) "$c" "$v" \
            "$(awk -v a="$v" -v b="$c" 'BEGIN { printf "%.2f", (b > 0) ? a / b : 0 }')" "${n#Found }"
    done
} | tee "$DIR/report.md"

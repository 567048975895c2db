#!/usr/bin/env bash
# Preview of a deleted 100 GiB sparse file: a preview reads only the start it shows, so
# time and memory stay flat whatever the recorded size.
#
#   bench/preview_sparse.sh [velk-cli]    (default: build-dev/cli/velk-cli)
#
# The volume is built sparse: a 64 MiB EXT2 image (mke2fs -d keeps the file's holes) whose
# only file, 100 GiB long with a few bytes at each end, is then deleted with debugfs. Prints
# the wall time and the peak resident memory of `velk-cli preview` on it.

set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
CLI=${1:-$ROOT/build-dev/cli/velk-cli}
DIR=$(mktemp -d /tmp/velk-preview-bench.XXXXXX)
trap 'rm -rf "$DIR"' EXIT

mkdir "$DIR/src"
printf 'VELK-SPARSE-HEAD' > "$DIR/src/huge.bin"
truncate -s 100G "$DIR/src/huge.bin"
printf 'TAIL' | dd of="$DIR/src/huge.bin" bs=1 seek=$((100 * 1024 * 1024 * 1024 - 4)) conv=notrunc status=none
truncate -s 64M "$DIR/sparse.img"
mke2fs -q -F -t ext2 -b 4096 -d "$DIR/src" "$DIR/sparse.img"
debugfs -w -R "rm huge.bin" "$DIR/sparse.img" 2>/dev/null

id=$("$CLI" --image "$DIR/sparse.img" scan --partition 0 --task deleted --json | python3 -c '
import json, sys
def files(node):
    yield from node["files"]
    for child in node["children"]:
        yield from files(child)
print(next(f["id"] for f in files(json.load(sys.stdin)["tree"]) if f["size"] == 100 << 30))')
/usr/bin/time -f '%e s wall, %M KiB peak resident' "$CLI" --image "$DIR/sparse.img" preview --partition 0 --task deleted \
  --id "$id" --hex > "$DIR/dump.txt"
head -2 "$DIR/dump.txt"

#!/usr/bin/env bash
# The main job: the desktop application on the disks of this machine, or on the bundled
# demo disk image when no real disk is readable; velk-cli when there is no display.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
ensure_packages build gui
build=${VELK_BUILD_DIR:-build-release}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target velk-cli velk_app
demo="$build/demo_disk.img"
[ -f "$demo" ] || xz -dc tests/fixtures/demo_disk.img.xz > "$demo"

cli="$build/cli/velk-cli"
# A disk counts as readable when velk itself can open it (listing by name is not enough:
# containers and unprivileged users see /dev entries they cannot read).
images=()
readable=0
"$cli" drives --json 2>/dev/null | grep -q '"number":' && readable=1
[ "$readable" -eq 1 ] || images=(--image "$demo")

if [ -n "${DISPLAY:-}" ] && [ -x "$build/ui/velk" ]; then
  exec "$build/ui/velk" "${images[@]}"
fi
"$cli" "${images[@]}" drives
# Show what each partition of the demo disk still holds.
if [ "$readable" -eq 0 ]; then
  count=$("$cli" "${images[@]}" drives --json | grep -c '"index":')
  for ((i = 0; i < count; i++)); do
    echo; echo "== partition $i: deleted files =="
    "$cli" "${images[@]}" scan --partition "$i" --task deleted 2>/dev/null ||
      echo "(free space without a file system: velk-cli ${images[*]} scan --partition $i --task raw)"
  done
fi

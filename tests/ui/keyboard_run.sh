#!/usr/bin/env bash
# Keyboard only, from the home page to a finished recovery: xdotool key presses (no clicks)
# drive the desktop app on a copy of demo_disk.img, and the recovered files are checked
# against the fixture's manifest. Runs itself under xvfb-run when no display is given.
#   tests/ui/keyboard_run.sh APP FIXTURE_DIR [SHOT_DIR]
set -euo pipefail
app=$1 fixtures=$2 shots=${3:-}
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
manifest=$(dirname "$0")/../fixtures/demo_disk.manifest.tsv
work=$(mktemp -d)
pid=
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
cp "$fixtures/demo_disk.img" "$work/disk.img"
mkdir "$work/out"
export VELK_CONFIG=$work/settings

"$app" --image "$work/disk.img" &
pid=$!
win=$(timeout 20 xdotool search --sync --name "Velk File Recovery" | head -1)
sleep 1.5
# Without a window manager the keyboard goes to the window under the pointer: park it
# over the middle of the app, where its dialogs open too. It never clicks.
eval "$(xdotool getwindowgeometry --shell "$win")"
xdotool mousemove $((X + 385)) $((Y + 250))

n=0
press() {  # NAME KEYS... [then wait SECONDS]
  local name=$1
  shift
  xdotool key --delay 120 "$@"
  sleep 0.8
  n=$((n + 1))
  if [ -n "$shots" ]; then import -window root "$shots/keyboard-$n-$name.png"; fi
}

press deleted-recovery Return          # the home page starts on Deleted File Recovery
press first-partition Down Down        # the drive tree: My Computer, the disk, (C:)
press next Return                      # Return on a partition is Next; the scan starts
sleep 4
press check-all space                  # the tree has the focus after the scan
press to-recovery Tab Tab Tab Tab      # list, Apply filter, View Mode, Recovery
press recovery Return
press select-path ctrl+a
xdotool type --delay 20 "$work/out"
press recover Return
sleep 3
press close-summary Return

# Every recovered file named in the manifest's first volume carries its hash.
matched=0
while IFS=$'\t' read -r part path _ sha _; do
  [ "$part" = 1 ] || continue
  file=$(find "$work/out" -type f -name "$(basename "$path")" | head -1)
  [ -n "$file" ] || continue
  got=$(sha256sum "$file" | cut -d' ' -f1)
  if [ "$got" != "$sha" ]; then
    echo "keyboard run: $path recovered with other content" >&2
    exit 1
  fi
  matched=$((matched + 1))
done < <(tail -n +2 "$manifest")
written=$(find "$work/out" -type f | wc -l)
if ! kill -0 "$pid" 2>/dev/null; then
  echo "keyboard run: the app ended on its own" >&2
  exit 1
fi
if [ "$matched" -lt 2 ]; then
  echo "keyboard run: $written files written, $matched matched the manifest" >&2
  exit 1
fi
echo "keyboard run passed: $written files written, $matched byte-exact against the manifest"

#!/usr/bin/env bash
# Builds the seed corpus of every fuzz target from the fixture images (tools/velkfx/
# fuzz_seeds.py says what is cut from where). Nothing here is committed: the seeds are
# made again from tests/fixtures on every run.
#
# Usage: tools/fuzz_corpus.sh OUT_DIR [UNPACKED_FIXTURE_DIR]
#   OUT_DIR/<target>/ receives the seeds of each target (fuzz/<target>.cpp).
#   Images missing from UNPACKED_FIXTURE_DIR (default OUT_DIR/../fixtures) are unpacked
#   there from tests/fixtures/*.img.xz first.
set -euo pipefail
cd "$(dirname "$0")/.."

out=${1:?usage: tools/fuzz_corpus.sh OUT_DIR [UNPACKED_FIXTURE_DIR]}
images=${2:-$out/../fixtures}
mkdir -p "$out" "$images"
for archive in tests/fixtures/*.img.xz; do
  plain="$images/$(basename "$archive" .xz)"
  if [ ! -s "$plain" ] || [ "$archive" -nt "$plain" ]; then
    xz -dc "$archive" > "$plain.tmp" && mv "$plain.tmp" "$plain"
  fi
done
command -v python3 >/dev/null || {
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq python3-minimal >/dev/null
}
PYTHONPATH=tools PYTHONDONTWRITEBYTECODE=1 python3 -m velkfx fuzz-seeds "$out" "$images"
# exFAT volumes, compacted by the exFAT builder's own helper.
python3 tools/exfat_fixture.py seeds "$out/exfat_scan" "$images"
echo "seeds: $(find "$out" -type f | wc -l) files, $(du -sh "$out" | cut -f1)" >&2

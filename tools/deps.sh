#!/usr/bin/env bash
# Installs the Debian 12 packages the build needs, only when some are missing.
# Usage: source tools/deps.sh; ensure_packages build|test|gui|fuzz|bench|carve ...
set -euo pipefail

velk_packages() {
  local base="g++ cmake make pkg-config xz-utils libfmt-dev libcli11-dev nlohmann-json3-dev libexpected-dev"
  # The raw engine decodes streams, reads EXIF and checks JPEGs with these.
  local codecs="zlib1g-dev libbz2-dev liblzma-dev libzstd-dev libexif-dev libturbojpeg0-dev"
  # Disk-image containers (E01, VHD/VHDX, VMDK, QCOW2) are read through these.
  base="$base libewf-dev libvhdi-dev libvmdk-dev libqcow-dev"
  # SHA-256 of every recovered file (reports) with the processor's SHA instructions.
  base="$base libssl-dev"
  local gui="libwxgtk3.2-dev libopenjp2-7-dev xvfb xauth x11-apps imagemagick xdotool"
  for set in "$@"; do
    case "$set" in
      build) echo "$base $codecs" ;;
      test) echo "$base $codecs libgtest-dev libgmock-dev" ;;
      gui) echo "$gui" ;;
      fuzz) echo "clang-14 libclang-rt-14-dev" ;;
      bench) echo "libbenchmark-dev sleuthkit testdisk time" ;;
      fixtures) echo "dosfstools mtools fusefat ntfs-3g e2fsprogs fdisk gdisk libfaketime attr xz-utils python3-pil sleuthkit genisoimage" ;;
      carve) echo "ffmpeg p7zip-full zstd python3-pil sound-theme-freedesktop" ;;
    esac
  done
}

ensure_packages() {
  local wanted missing=()
  wanted=$(velk_packages "$@")
  for p in $wanted; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}" >&2
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

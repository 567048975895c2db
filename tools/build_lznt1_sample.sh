#!/usr/bin/env bash
# Builds tests/fixtures/lznt1_ntfs3g_unit.bin: the raw clusters of two NTFS
# compression units as ntfs-3g wrote them, so the LZNT1 decoder is checked
# against a real file-system driver and not only against our own compressor.
#
#   sudo tools/build_lznt1_sample.sh        (needs root for the FUSE mount)
#
# The sample file is 102523 bytes of deterministic content in a folder with the
# NTFS compressed attribute, on a 4 KiB-cluster volume (units of 16 clusters):
#   unit 0: 64 KiB of text with one 4 KiB block of noise (stored as an
#           uncompressed chunk inside the compressed unit);
#   unit 1: text and long runs of one byte, ending on a short last chunk.
# lznt1_ntfs3g_unit.sha256 has one line per unit:
#   OFFSET_IN_BIN LENGTH_IN_BIN PLAIN_LENGTH SHA256_OF_PLAIN
# Packages: ntfs-3g attr python3 coreutils.

set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
out=${FX_OUT:-$here/../tests/fixtures}
work=$(mktemp -d)
mnt=$work/mnt
cleanup() {
    mountpoint -q "$mnt" 2>/dev/null && umount "$mnt"
    rm -rf "$work"
}
trap cleanup EXIT

for tool in mkntfs ntfs-3g ntfsinfo setfattr python3 sha256sum; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 2; }
done

plain=$work/plain.bin
/usr/bin/python3 - "$plain" <<'EOF'
import sys

# A fixed LCG, so the bytes do not depend on the Python version.
state = 20260101
def nxt():
    global state
    state = (state * 1103515245 + 12345) & 0x7FFFFFFF
    return state >> 8

words = ("alpha bravo charlie delta echo foxtrot golf hotel india juliet kilo lima "
         "mike november oscar papa quebec romeo sierra tango uniform victor whiskey "
         "xray yankee zulu sector cluster record folder volume").split()

def text(n):
    out = bytearray()
    line = 0
    while len(out) < n:
        ws = " ".join(words[nxt() % len(words)] for _ in range(3 + nxt() % 6))
        out += b"%06d %s %d\n" % (line, ws.encode(), nxt() % 100000)
        line += 1
    return bytes(out[:n])

def noise(n):
    return bytes(nxt() & 0xFF for _ in range(n))

unit0 = text(20480) + noise(4096) + text(65536 - 24576)
unit1 = text(9000) + b" " * 3000 + text(7000) + b"=" * 2100 + text(102523 - 65536 - 21100)
data = unit0 + unit1
assert len(unit0) == 65536 and len(data) == 102523
open(sys.argv[1], "wb").write(data)
EOF

img=$work/vol.img
truncate -s 8M "$img"
mkntfs -F -f -q -c 4096 -L LZNT1 "$img" >/dev/null 2>&1
mkdir "$mnt"
ntfs-3g -o compression "$img" "$mnt"
mkdir "$mnt/Packed"
setfattr -n system.ntfs_attrib_be -v 0x00000800 "$mnt/Packed"
cp "$plain" "$mnt/Packed/sample.bin"
sync
umount "$mnt"

# Runlist rows: VCN LCN|<HOLE> LENGTH (hex)
runs=$work/runs.txt
ntfsinfo -v -F /Packed/sample.bin "$img" 2>/dev/null |
    awk '/Dumping attribute \$DATA/ {d=1} d && /Runlist:/ {r=1; next}
         r && $1 ~ /^0x/ {print $1, $2, $3} r && $1 !~ /^0x/ {r=0}' >"$runs"
[ -s "$runs" ] || { echo "no runlist for the sample" >&2; exit 1; }

bin=$work/unit.bin
sums=$work/unit.sha256
: >"$bin"
: >"$sums"
/usr/bin/python3 - "$img" "$runs" "$plain" "$bin" "$sums" <<'EOF'
import hashlib, sys
img, runs, plain, binp, sums = sys.argv[1:]
cluster, unit = 4096, 16
vcn_lcn = {}
for row in open(runs):
    vcn, lcn, length = row.split()
    vcn, length = int(vcn, 16), int(length, 16)
    for i in range(length):
        vcn_lcn[vcn + i] = None if lcn == "<HOLE>" else int(lcn, 16) + i
data = open(plain, "rb").read()
vol = open(img, "rb").read()
blob = bytearray()
lines = []
for u in range((len(data) + unit * cluster - 1) // (unit * cluster)):
    lcns = [vcn_lcn.get(u * unit + i) for i in range(unit)]
    stored = [l for l in lcns if l is not None]
    if len(stored) == unit:
        sys.exit("unit %d was stored uncompressed; the sample must compress" % u)
    if lcns[len(stored):] != [None] * (unit - len(stored)):
        sys.exit("unit %d: holes before its data clusters" % u)
    raw = b"".join(vol[l * cluster:(l + 1) * cluster] for l in stored)
    text = data[u * unit * cluster:(u + 1) * unit * cluster]
    lines.append("%d %d %d %s\n" % (len(blob), len(raw), len(text), hashlib.sha256(text).hexdigest()))
    blob += raw
open(binp, "wb").write(blob)
open(sums, "w").write("".join(lines))
EOF

mkdir -p "$out"
cp "$bin" "$out/lznt1_ntfs3g_unit.bin"
cp "$sums" "$out/lznt1_ntfs3g_unit.sha256"
echo "wrote $out/lznt1_ntfs3g_unit.bin ($(stat -c %s "$bin") bytes):"
cat "$sums"

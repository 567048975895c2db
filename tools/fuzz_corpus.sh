#!/usr/bin/env bash
# Builds the seed corpus of every fuzz target from the fixture images: small pieces cut
# out of the unpacked images (boot sectors, table sectors, MFT records, journal blocks,
# carved files, the first stretch of each volume), and images compacted so that what a
# walk needs fits in a few hundred KiB (tables and FATs shrunk, pointers renumbered).
# Nothing here is committed: the seeds are made again from tests/fixtures on every run.
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

python3 - "$out" "$images" tests/fixtures resources <<'PY'
import os, struct, sys, zlib

out, images, fixtures, resources = sys.argv[1:5]

def img(name):
    return open(os.path.join(images, name), 'rb')

def read(name, offset, length):
    with img(name) as f:
        f.seek(offset)
        return f.read(length)

def seed(target, name, data):
    d = os.path.join(out, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), 'wb') as f:
        f.write(bytes(data))

def u16(b, o): return struct.unpack_from('<H', b, o)[0]
def u32(b, o): return struct.unpack_from('<I', b, o)[0]
def u64(b, o): return struct.unpack_from('<Q', b, o)[0]

KIB = 1024

# ------------------------------------------------------------------ partition tables
def mbr_entries(sector):
    return [(sector[0x1BE + 16 * i + 4], u32(sector, 0x1BE + 16 * i + 8), u32(sector, 0x1BE + 16 * i + 12))
            for i in range(4)]

def put_entry(sector, slot, etype, start, count, boot=0):
    o = 0x1BE + 16 * slot
    sector[o:o + 16] = bytes(16)
    sector[o] = boot
    sector[o + 4] = etype
    struct.pack_into('<II', sector, o + 8, start, count)

def compact_mbr(name):
    """The disk's MBR and EBR chain, renumbered into 256 sectors; every partition keeps
    its own first sector (its boot sector) at its new start."""
    disk = bytearray(256 * 512)
    mbr = bytearray(read(name, 0, 512))
    new_mbr = bytearray(mbr)
    primary_at = 2
    for slot, (etype, start, count) in enumerate(mbr_entries(mbr)):
        if etype == 0:
            continue
        if etype in (0x05, 0x0F, 0x85):
            ext = 32
            put_entry(new_mbr, slot, etype, ext, 224)
            current, k = start, 0
            while k < 6:
                ebr = bytearray(read(name, current * 512, 512))
                links = mbr_entries(ebr)
                new_ebr = bytearray(ebr)
                at = ext + 32 * k
                if links[0][0] != 0:
                    put_entry(new_ebr, 0, links[0][0], 8, 8)
                    disk[(at + 8) * 512:(at + 9) * 512] = read(name, (current + links[0][1]) * 512, 512)
                if links[1][0] == 0x05 and k < 5:
                    put_entry(new_ebr, 1, 0x05, 32 * (k + 1), 32)
                else:
                    put_entry(new_ebr, 1, 0, 0, 0)
                disk[at * 512:(at + 1) * 512] = new_ebr
                if links[1][0] != 0x05:
                    break
                current = start + links[1][1]
                k += 1
        else:
            put_entry(new_mbr, slot, etype, primary_at, 6)
            disk[primary_at * 512:(primary_at + 1) * 512] = read(name, start * 512, 512)
            primary_at += 6
    disk[0:512] = new_mbr
    return disk

def gpt_header_crc(h):
    size = u32(h, 12)
    h[16:20] = bytes(4)
    struct.pack_into('<I', h, 16, zlib.crc32(bytes(h[:size])) & 0xFFFFFFFF)

def compact_gpt(name, break_primary):
    """MBR, GPT header and entry array with the partitions renumbered into 128 sectors,
    and a backup header at the last sector; the primary header's CRC broken on request."""
    sectors = 128
    disk = bytearray(sectors * 512)
    disk[0:512] = read(name, 0, 512)
    put_entry(disk, 0, 0xEE, 1, sectors - 1)
    with img(name) as f:
        size = f.seek(0, 2)
    header = bytearray(read(name, 512, 512))
    if header[:8] != b'EFI PART':
        header = bytearray(read(name, size - 512, 512))  # the primary is damaged: use the backup
    count, entry_size = u32(header, 80), u32(header, 84)
    entries = bytearray(read(name, u64(header, 72) * 512, count * entry_size))
    entries = entries[:32 * entry_size]  # 32 entries fill eight sectors
    count = 32
    at = 20
    for i in range(count):
        e = i * entry_size
        if entries[e:e + 16] == bytes(16):
            continue
        first = u64(entries, e + 32)
        disk[at * 512:(at + 1) * 512] = read(name, first * 512, 512)
        struct.pack_into('<QQ', entries, e + 32, at, at + 7)
        at += 8
    entries_crc = zlib.crc32(bytes(entries)) & 0xFFFFFFFF
    for lba, alternate, entries_lba in ((1, sectors - 1, 2), (sectors - 1, 1, sectors - 9)):
        h = bytearray(header)
        struct.pack_into('<QQQQ', h, 24, lba, alternate, 20, sectors - 10)
        struct.pack_into('<QII', h, 72, entries_lba, count, entry_size)
        struct.pack_into('<I', h, 88, entries_crc)
        gpt_header_crc(h)
        disk[lba * 512:(lba + 1) * 512] = h
        disk[entries_lba * 512:entries_lba * 512 + len(entries)] = entries
    if break_primary:
        disk[512 + 16] ^= 0xFF
    return disk

for name in ('mbr_mixed.img', 'mbr_ext05.img', 'demo_disk.img'):
    for target in ('partition_table', 'partition_scan'):
        seed(target, name.replace('.img', '.compact'), compact_mbr(name))
        seed(target, name.replace('.img', '.head'), read(name, 0, 64 * KIB))
for name, broken in (('gpt_disk.img', False), ('gpt_damaged_primary.img', True)):
    for target in ('partition_table', 'partition_scan'):
        seed(target, name.replace('.img', '.compact'), compact_gpt(name, broken))
seed('partition_scan', 'fat16_8s.head', read('fat16_8s.img', 0, 64 * KIB))
seed('partition_scan', 'ext2_deleted.head', read('ext2_deleted.img', 0, 8 * KIB))

# ------------------------------------------------------------------ FAT
# FAT32 volumes keep a 256 KiB table at least; the compacted copy keeps one FAT of a few
# sectors (the clusters that are used) and the data area right behind it.
def compact_fat32(name, data_sectors):
    boot = bytearray(read(name, 0, 512))
    bps, spc, reserved, fats = u16(boot, 11), boot[13], u16(boot, 14), boot[16]
    fat_sectors = u32(boot, 36)
    keep_fat = 8
    boot[16] = 1
    struct.pack_into('<I', boot, 36, keep_fat)
    struct.pack_into('<I', boot, 32, reserved + keep_fat + data_sectors)
    head = bytearray(read(name, 0, reserved * bps))
    head[0:512] = boot
    fat = read(name, reserved * bps, keep_fat * bps)
    data = read(name, (reserved + fats * fat_sectors) * bps, data_sectors * bps)
    return head + fat + data

seed('fat_scan', 'fat16_8s.head', read('fat16_8s.img', 0, 128 * KIB))
seed('fat_scan', 'fat16_32s.head', read('fat16_32s.img', 0, 256 * KIB))
seed('fat_scan', 'fat32_deleted.compact', compact_fat32('fat32_deleted.img', 256))
seed('fat_scan', 'fat32_formatted.compact', compact_fat32('fat32_formatted.img', 256))
for name in ('fat16_8s.img', 'fat16_32s.img', 'fat32_deleted.img', 'fat32_formatted.img',
             'ntfs_deleted.img', 'ntfs_formatted.img'):
    seed('boot_sector', name.replace('.img', '.boot'), read(name, 0, 512))
for start in (2048, 83968):
    seed('boot_sector', 'demo_disk.%d.boot' % start, read('demo_disk.img', start * 512, 512))

# ------------------------------------------------------------------ NTFS
def ntfs_geometry(name):
    boot = read(name, 0, 512)
    cluster = u16(boot, 11) * boot[13]
    return cluster, u64(boot, 0x30) * cluster

def mft_record(name, number):
    cluster, mft = ntfs_geometry(name)
    return read(name, mft + number * 1024, 1024)

def attributes(record):
    off = u16(record, 0x14)
    while off + 8 <= len(record):
        atype, length = u32(record, off), u32(record, off + 4)
        if atype == 0xFFFFFFFF or length == 0 or off + length > len(record):
            return
        yield atype, record[off:off + length]
        off += length

def unfixed(record):
    r = bytearray(record)
    usa, count = u16(r, 4), u16(r, 6)
    for i in range(1, count):
        r[i * 512 - 2:i * 512] = r[usa + 2 * i:usa + 2 * i + 2]
    return r

def runs_of(runlist):
    pos, lcn, out = 0, 0, []
    while pos < len(runlist) and runlist[pos] != 0:
        h = runlist[pos]; pos += 1
        ls, os_ = h & 15, h >> 4
        length = int.from_bytes(runlist[pos:pos + ls], 'little'); pos += ls
        if os_ == 0:
            out.append((None, length))
            continue
        lcn += int.from_bytes(runlist[pos:pos + os_], 'little', signed=True); pos += os_
        out.append((lcn, length))
    return out

def encode_runs(runs):
    out, prev = bytearray(), 0
    for lcn, length in runs:
        lb = length.to_bytes(8, 'little').rstrip(b'\0') or b'\0'
        if lcn is None:
            out += bytes([len(lb)]) + lb
            continue
        delta = lcn - prev
        ob = delta.to_bytes(8, 'little', signed=True)
        n = 8
        while n > 1 and ((ob[n - 1] == 0 and ob[n - 2] < 0x80) or (ob[n - 1] == 0xFF and ob[n - 2] >= 0x80)):
            n -= 1
        out += bytes([(n << 4) | len(lb)]) + lb + ob[:n]
        prev = lcn
    return out + b'\0'

def stream_seed(name, number):
    """The unnamed $DATA of a record as a stream seed: its runs copied behind each other
    into a small volume, the runlist renumbered to match (see fuzz/ntfs_stream_fuzz.cpp)."""
    cluster, _ = ntfs_geometry(name)
    record = unfixed(mft_record(name, number))
    for atype, a in attributes(record):
        if atype != 0x80 or a[8] == 0 or a[9] != 0:
            continue
        flags, unit = u16(a, 0x0C), a[0x22]
        real, init = u64(a, 0x30), u64(a, 0x38)
        volume, renumbered = bytearray(), []
        for lcn, length in runs_of(a[u16(a, 0x20):]):
            if lcn is None:
                renumbered.append((None, length))
                continue
            renumbered.append((len(volume) // cluster, length))
            volume += read(name, lcn * cluster, length * cluster)
        runlist = encode_runs(renumbered)
        if len(runlist) > 255 or len(volume) > 512 * KIB:
            return None
        head = bytearray(11)
        head[0] = {512: 0, 1024: 1, 2048: 2, 4096: 3}[cluster]
        head[1] = (1 if flags & 1 else 0) | (min(unit, 7) << 1)
        struct.pack_into('<II', head, 2, min(real, 16 << 20), min(init, 16 << 20))
        head[10] = len(runlist)
        return head + runlist + volume
    return None

for name, numbers in (('ntfs_deleted.img', (0, 5, 70, 73, 76, 77, 79, 80, 83, 87, 88, 89, 90)),
                      ('ntfs_formatted.img', (0, 5, 70, 71, 73))):
    for n in numbers:
        seed('mft_record', '%s.%d' % (name.replace('.img', ''), n), mft_record(name, n))
        s = stream_seed(name, n)
        if s:
            seed('ntfs_stream', '%s.%d' % (name.replace('.img', ''), n), s)
seed('ntfs_scan', 'ntfs_deleted.head', read('ntfs_deleted.img', 0, 144 * KIB))
seed('ntfs_scan', 'ntfs_formatted.head', read('ntfs_formatted.img', 0, 128 * KIB))
# Old records of the formatted volume, which the sweep finds, lie at 86-101 KiB.
unit = open(os.path.join(fixtures, 'lznt1_ntfs3g_unit.bin'), 'rb').read()
seed('lznt1', 'ntfs3g_unit', unit[:32 * KIB])
seed('lznt1', 'ntfs3g_unit.tail', unit[32 * KIB:])
seed('lznt1', 'ntfs3g_unit.chunk', unit[:u16(unit, 0) % 4096 + 3])

# ------------------------------------------------------------------ EXT
seed('ext_scan', 'ext2_deleted.head', read('ext2_deleted.img', 0, 400 * KIB))
seed('ext_scan', 'ext2_deleted_i256.head', read('ext2_deleted_i256.img', 0, 600 * KIB))
seed('ext_scan', 'ext3_1k.head', read('ext3_1k.img', 0, 680 * KIB))
for name in ('ext2_deleted.img', 'ext2_deleted_i256.img', 'ext3_1k.img', 'ext3_1k_i128.img', 'ext3_4k.img'):
    seed('ext_superblock', name.replace('.img', '.head'), read(name, 0, 12 * KIB))

def ext_geometry(name):
    sb = read(name, 1024, 1024)
    block = 1024 << u32(sb, 0x18)
    gd = read(name, (2 if block == 1024 else 1) * block, 32)
    return sb, block, u32(gd, 8), u16(sb, 0x58) if u32(sb, 0x4C) >= 1 else 128

def ext_inode(name, number):
    sb, block, table, isize = ext_geometry(name)
    return read(name, table * block + (number - 1) * isize, isize)

for name in ('ext3_1k.img', 'ext3_4k.img'):
    sb, block, table, isize = ext_geometry(name)
    journal = ext_inode(name, 8)
    first = u32(journal, 0x28)
    kept = 0
    for b in range(first, first + 200):
        data = read(name, b * block, block)
        if data[:4] == b'\xc0\x3b\x39\x98' and kept < 12:
            seed('ext_journal', '%s.%d' % (name.replace('.img', ''), b), data)
            kept += 1
    seed('ext_journal', name.replace('.img', '.dir'), read(name, u32(ext_inode(name, 2), 0x28) * block, block))

def compact_block_map(name, number):
    """An inode (128 bytes) and its pointer blocks renumbered into 1 KiB blocks from 0 (see
    fuzzExtBlockMap). Every data pointer names one shared block: the map only follows
    pointers, and the seed stays small."""
    sb, block, table, isize = ext_geometry(name)
    if block != 1024:
        return None
    inode = bytearray(ext_inode(name, number)[:128])
    blocks = [bytearray(1024), bytearray(b'data' * 256)]  # 0 would read as a hole; 1 is shared
    def remap(ptr, depth):
        if ptr == 0:
            return 0
        if depth == 0:
            return 1
        src = bytearray(read(name, ptr * 1024, 1024))
        blocks.append(src)
        at = len(blocks) - 1
        for i in range(256):
            struct.pack_into('<I', src, 4 * i, remap(u32(src, 4 * i), depth - 1))
        return at
    for i in range(15):
        ptr = u32(inode, 0x28 + 4 * i)
        struct.pack_into('<I', inode, 0x28 + 4 * i, remap(ptr, 0 if i < 12 else i - 11))
    return inode + b''.join(blocks)

for name, number in (('ext2_deleted.img', 12), ('ext2_deleted.img', 16), ('ext2_deleted.img', 17),
                     ('ext3_1k.img', 8)):
    s = compact_block_map(name, number)
    if s:
        seed('ext_block_map', '%s.%d' % (name.replace('.img', ''), number), s)
# An extent-mapped inode (flag 0x80000): a depth-0 tree of two extents.
inode = bytearray(128)
struct.pack_into('<H', inode, 0, 0x81A4)
struct.pack_into('<I', inode, 4, 6 * 1024)
struct.pack_into('<I', inode, 0x20, 0x80000)
struct.pack_into('<HHHHI', inode, 0x28, 0xF30A, 2, 4, 0, 0)
struct.pack_into('<IHHI', inode, 0x34, 0, 2, 0, 1)
struct.pack_into('<IHHI', inode, 0x40, 2, 4, 0, 3)
seed('ext_block_map', 'extents', inode + bytes(8 * 1024))

# ------------------------------------------------------------------ RAW
catalog = open(os.path.join(resources, 'rp.dat'), 'rb').read()
seed('raw_catalog', 'rp.dat', catalog)
def pack_catalog(text):
    shifted = bytes((c + 1) & 0xFF for c in text)
    out = bytearray()
    for at in range(0, len(shifted), 4096):
        chunk = shifted[at:at + 4096]
        out += struct.pack('<H', 0x3000 | (len(chunk) - 1)) + chunk
    return out
seed('raw_catalog', 'rp.dat.packed', pack_catalog(catalog))
types = catalog.split(b'</type>')
seed('raw_catalog', 'rp.dat.first', types[0] + b'</type>' + types[-1])

alphabet = '0123456789abcdef|F'
def sector_test_header(patterns):
    """The catalogue prefix fuzzRawSectorTest reads: entry count, then per entry its
    patterns as (offset, text) in the digit alphabet."""
    h = bytearray([len(patterns) - 1])
    for entry in patterns:
        h.append(len(entry) - 1)
        for offset, text in entry:
            h += struct.pack('<H', offset)
            h.append(len(text) - 1)
            h += bytes(alphabet.index(c) for c in text)
    return h

raw_files = {}
for line in open(os.path.join(fixtures, 'raw_carve.manifest.tsv')):
    cols = line.rstrip('\n').split('\t')
    if len(cols) < 6 or cols[0] == 'part':
        continue
    notes = dict(kv.split('=', 1) for kv in cols[5].split() if '=' in kv)
    if notes.get('start_sector', 'none') == 'none':
        continue
    raw_files[cols[1]] = (int(notes['start_sector']) * 512, int(cols[2]))
for path, (offset, size) in raw_files.items():
    seed('raw_format_ends', path, read('raw_carve.img', offset, min(size + 4 * KIB, 96 * KIB)))
head = sector_test_header([[(0, 'ffd8ff')], [(0, '89504e47')], [(0, '474946'), (4, '3|9')]])
seed('raw_sector_test', 'jpg_png_gif', head + read('raw_carve.img', 0, 2 * KIB)
     + read('raw_carve.img', 2048 * 512, 2 * KIB) + read('raw_carve.img', 4096 * 512, 2 * KIB))
head = sector_test_header([[(0, '504b0304'), (30, '6d696d65')], [(0, '25504446')]])
seed('raw_sector_test', 'zip_pdf', head + read('raw_carve.img', 10240 * 512, 8 * KIB)
     + read('raw_carve.img', 8199 * 512, 4 * KIB))

# ------------------------------------------------------------------ mail stores
dbx = bytearray(12 * KIB)
struct.pack_into('<II', dbx, 0, 0x12345678, 0)
struct.pack_into('<I', dbx, 196, 42)
dbx[9409:9420] = b'LocalStore\0'
seed('mail_repair', 'folder.dbx', dbx)
seed('mail_repair', 'other.dbx', dbx[:9000])
pst = bytearray(4 * KIB)
pst[0:4] = b'!BDN'
seed('mail_repair', 'store.pst', pst)

# ------------------------------------------------------------------ .pbf backups
def record(disk, letter, kind, table, start, length, fs, label, first):
    r = bytearray(600)
    struct.pack_into('<icBHII', r, 0, disk, letter, kind, 0, table, 0)
    r[16:16 + len(fs)] = fs
    r[28:28 + len(label)] = label
    struct.pack_into('<IIIQQ', r, 52, start, 8, 512, 0, length)
    r[80:80 + 512] = first
    return r
for name in ('mbr_mixed.img', 'demo_disk.img'):
    with img(name) as f:
        size = f.seek(0, 2)
    disk = bytearray(288)
    disk[0:len(name)] = name.encode()
    struct.pack_into('<QIiII', disk, 264, size, 0, 0, 0, 0)
    body = b''
    for etype, start, count in mbr_entries(read(name, 0, 512)):
        if etype:
            body += record(0, b'*', 1, start, start, count * 512, b'Unknown', b'', read(name, start * 512, 512))
    seed('pbf_load', name.replace('.img', '.pbf'), struct.pack('<I', 0x89ABCDEF) + disk + body)

# ------------------------------------------------------------------ undo files
def undo(disk_name, size, entries):
    disk = bytearray(288)
    disk[0:len(disk_name)] = disk_name
    struct.pack_into('<Q', disk, 264, size)
    body = b''.join(struct.pack('<Q', sector) + before + after for sector, before, after in entries)
    return b'VELKUNDO' + struct.pack('<II', 1, len(entries)) + disk + body
mbr = read('demo_disk.img', 0, 512)
cleared = mbr[:446 + 16] + bytes(16) + mbr[446 + 32:]
seed('undo_file', 'mbr_entry.vundo', undo(b'demo_disk.img', 128 << 20, [(0, mbr, cleared)]))
seed('undo_file', 'ebr_chain.vundo', undo(b'fuzz-disk', 64 * 512, [(0, mbr, cleared), (5, bytes(512), mbr), (63, cleared, bytes(512))]))

# ------------------------------------------------------------------ image decoders
seed('image_wbmp', 'small.wbmp', bytes([0, 0, 12, 3]) + bytes([0xF0, 0x5A] * 3))
seed('image_wbmp', 'wide.wbmp', bytes([0, 0, 0x81, 0x00, 2]) + bytes(range(32)))
def ras(width, height, depth, rtype, colours=b'', body=None):
    row = ((width * depth + 15) // 16) * 2
    body = body if body is not None else bytes((i * 37) & 0xFF for i in range(row * height))
    return struct.pack('>8I', 0x59A66A95, width, height, depth, len(body), rtype, 1 if colours else 0,
                       len(colours)) + colours + body
seed('image_ras', 'gray8.ras', ras(5, 4, 8, 1))
seed('image_ras', 'map8.ras', ras(4, 3, 8, 1, bytes(range(12))))
seed('image_ras', 'mono.ras', ras(17, 3, 1, 1))
seed('image_ras', 'rgb24.ras', ras(3, 3, 24, 3))
seed('image_ras', 'bgr32.ras', ras(2, 2, 32, 1))
seed('image_ras', 'rle.ras', ras(16, 4, 8, 2, body=bytes([0x80, 20, 7, 0x80, 0, 1, 2, 0x80, 30, 9])))
seed('image_pgx', 'gray8.pgx', b'PG ML + 8 4 3\n' + bytes(range(12)))
seed('image_pgx', 'signed12.pgx', b'PG LM - 12 3 2\n' + bytes(range(12)))
seed('image_pgx', 'crlf.pgx', b'PG ML 16 2 2\r\n' + bytes(range(8)))
PY
# exFAT volumes, compacted by the exFAT builder's own helper.
python3 tools/exfat_fixture.py seeds "$out/exfat_scan" "$images"
echo "seeds: $(find "$out" -type f | wc -l) files, $(du -sh "$out" | cut -f1)" >&2

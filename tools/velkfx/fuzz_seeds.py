"""The seed corpus of every fuzz target, cut from the unpacked fixture images: small
pieces (boot sectors, table sectors, MFT records, journal blocks, carved files, the
first stretch of each volume) and images compacted so that what a walk needs fits in
a few hundred KiB (tables and FATs shrunk, pointers renumbered)."""

import os
import struct
import zlib

from . import disk, ext, ntfs
from .manifest import read_rows

KIB = 1024


def u16(b, o):
    return struct.unpack_from("<H", b, o)[0]


def u32(b, o):
    return struct.unpack_from("<I", b, o)[0]


def u64(b, o):
    return struct.unpack_from("<Q", b, o)[0]


class Seeds:
    def __init__(self, out, images):
        self.out, self.images = out, images

    def path(self, name):
        return os.path.join(self.images, name)

    def read(self, name, offset, length):
        with open(self.path(name), "rb") as f:
            f.seek(offset)
            return f.read(length)

    def size(self, name):
        return os.path.getsize(self.path(name))

    def __call__(self, target, name, data):
        d = os.path.join(self.out, target)
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, name), "wb") as f:
            f.write(bytes(data))


def compact_mbr(rd, name):
    """The disk's MBR and EBR chain, renumbered into 256 sectors; every partition keeps
    its own first sector (its boot sector) at its new start."""
    img = bytearray(256 * 512)
    mbr = bytearray(rd(name, 0, 512))
    new_mbr = bytearray(mbr)
    primary_at = 2
    for slot, (etype, start, count) in enumerate(disk.mbr_entries(mbr)):
        if etype == 0:
            continue
        if etype not in (0x05, 0x0F, 0x85):
            disk.put_entry(new_mbr, slot, etype, primary_at, 6)
            img[primary_at * 512:(primary_at + 1) * 512] = rd(name, start * 512, 512)
            primary_at += 6
            continue
        ext_at = 32
        disk.put_entry(new_mbr, slot, etype, ext_at, 224)
        current = start
        for k in range(6):
            ebr = bytearray(rd(name, current * 512, 512))
            links = disk.mbr_entries(ebr)
            at = ext_at + 32 * k
            if links[0][0] != 0:
                disk.put_entry(ebr, 0, links[0][0], 8, 8)
                img[(at + 8) * 512:(at + 9) * 512] = rd(name, (current + links[0][1]) * 512, 512)
            if links[1][0] == 0x05 and k < 5:
                disk.put_entry(ebr, 1, 0x05, 32 * (k + 1), 32)
            else:
                disk.put_entry(ebr, 1, 0, 0, 0)
            img[at * 512:(at + 1) * 512] = ebr
            if links[1][0] != 0x05:
                break
            current = start + links[1][1]
    img[0:512] = new_mbr
    return img


def compact_gpt(rd, size, name, break_primary):
    """MBR, GPT header and entry array with the partitions renumbered into 128 sectors,
    and a backup header at the last sector; the primary header's CRC broken on request."""
    sectors = 128
    img = bytearray(sectors * 512)
    img[0:512] = rd(name, 0, 512)
    disk.put_entry(img, 0, 0xEE, 1, sectors - 1)
    header = bytearray(rd(name, 512, 512))
    if header[:8] != b"EFI PART":
        header = bytearray(rd(name, size - 512, 512))  # the primary is damaged: use the backup
    count, entry_size = u32(header, 80), u32(header, 84)
    entries = bytearray(rd(name, u64(header, 72) * 512, count * entry_size))[:32 * entry_size]
    count, at = 32, 20  # 32 entries fill eight sectors
    for i in range(count):
        e = i * entry_size
        if entries[e:e + 16] != bytes(16):
            img[at * 512:(at + 1) * 512] = rd(name, u64(entries, e + 32) * 512, 512)
            struct.pack_into("<QQ", entries, e + 32, at, at + 7)
            at += 8
    entries_crc = zlib.crc32(bytes(entries)) & 0xFFFFFFFF
    for lba, alternate, entries_lba in ((1, sectors - 1, 2), (sectors - 1, 1, sectors - 9)):
        h = bytearray(header)
        struct.pack_into("<QQQQ", h, 24, lba, alternate, 20, sectors - 10)
        struct.pack_into("<QII", h, 72, entries_lba, count, entry_size)
        struct.pack_into("<I", h, 88, entries_crc)
        disk.gpt_header_crc(h)
        img[lba * 512:(lba + 1) * 512] = h
        img[entries_lba * 512:entries_lba * 512 + len(entries)] = entries
    if break_primary:
        img[512 + 16] ^= 0xFF
    return img


def compact_fat32(rd, name, data_sectors):
    """FAT32 volumes keep a 256 KiB table at least; the compacted copy keeps one FAT of a
    few sectors (the clusters that are used) and the data area right behind it."""
    boot = bytearray(rd(name, 0, 512))
    bps, reserved, fats, fat_sectors, keep_fat = u16(boot, 11), u16(boot, 14), boot[16], u32(boot, 36), 8
    boot[16] = 1
    struct.pack_into("<I", boot, 36, keep_fat)
    struct.pack_into("<I", boot, 32, reserved + keep_fat + data_sectors)
    head = bytearray(rd(name, 0, reserved * bps))
    head[0:512] = boot
    return (head + rd(name, reserved * bps, keep_fat * bps)
            + rd(name, (reserved + fats * fat_sectors) * bps, data_sectors * bps))


def stream_seed(rd, name, cluster, record):
    """The unnamed $DATA of a record as a stream seed: its runs copied behind each other
    into a small volume, the runlist renumbered to match (see fuzz/ntfs_stream_fuzz.cpp)."""
    for a in ntfs.attributes(ntfs.fixup(record)):
        if a["type"] != 0x80 or not a["nonres"] or a["name"]:
            continue
        volume, renumbered = bytearray(), []
        for lcn, length in a["runs"]:
            renumbered.append((None if lcn is None else len(volume) // cluster, length))
            if lcn is not None:
                volume += rd(name, lcn * cluster, length * cluster)
        runlist = ntfs.encode_runs(renumbered)
        if len(runlist) > 255 or len(volume) > 512 * KIB:
            return None
        head = bytearray(11)
        head[0] = {512: 0, 1024: 1, 2048: 2, 4096: 3}[cluster]
        head[1] = (1 if a["flags"] & 1 else 0) | (min(a["cu"], 7) << 1)
        struct.pack_into("<II", head, 2, min(a["size"], 16 << 20), min(a["init"], 16 << 20))
        head[10] = len(runlist)
        return head + runlist + volume
    return None


def compact_block_map(vol, rd, name, number):
    """An inode (128 bytes) and its pointer blocks renumbered into 1 KiB blocks from 0 (see
    fuzzExtBlockMap). Every data pointer names one shared block: the map only follows
    pointers, and the seed stays small."""
    if vol.bs != 1024:
        return None
    inode = bytearray(vol.inode_raw(number)[:128])
    blocks = [bytearray(1024), bytearray(b"data" * 256)]  # 0 would read as a hole; 1 is shared

    def remap(ptr, depth):
        if ptr == 0:
            return 0
        if depth == 0:
            return 1
        src = bytearray(rd(name, ptr * 1024, 1024))
        blocks.append(src)
        at = len(blocks) - 1
        for i in range(256):
            struct.pack_into("<I", src, 4 * i, remap(u32(src, 4 * i), depth - 1))
        return at
    for i in range(15):
        struct.pack_into("<I", inode, 0x28 + 4 * i, remap(u32(inode, 0x28 + 4 * i), 0 if i < 12 else i - 11))
    return inode + b"".join(blocks)


def sector_test_header(patterns, alphabet="0123456789abcdef|F"):
    """The catalogue prefix fuzzRawSectorTest reads: entry count, then per entry its
    patterns as (offset, text) in the digit alphabet."""
    h = bytearray([len(patterns) - 1])
    for entry in patterns:
        h.append(len(entry) - 1)
        for offset, text in entry:
            h += struct.pack("<H", offset) + bytes([len(text) - 1]) + bytes(alphabet.index(c) for c in text)
    return h


def build(out, images, fixtures, resources):
    seed = Seeds(out, images)
    rd = seed.read
    for name in ("mbr_mixed", "mbr_ext05", "demo_disk"):
        for target in ("partition_table", "partition_scan"):
            seed(target, name + ".compact", compact_mbr(rd, name + ".img"))
            seed(target, name + ".head", rd(name + ".img", 0, 64 * KIB))
    for name, broken in (("gpt_disk", False), ("gpt_damaged_primary", True)):
        for target in ("partition_table", "partition_scan"):
            seed(target, name + ".compact", compact_gpt(rd, seed.size(name + ".img"), name + ".img", broken))
    seed("partition_scan", "fat16_8s.head", rd("fat16_8s.img", 0, 64 * KIB))
    seed("partition_scan", "ext2_deleted.head", rd("ext2_deleted.img", 0, 8 * KIB))

    seed("fat_scan", "fat16_8s.head", rd("fat16_8s.img", 0, 128 * KIB))
    seed("fat_scan", "fat16_32s.head", rd("fat16_32s.img", 0, 256 * KIB))
    for name in ("fat32_deleted", "fat32_formatted"):
        seed("fat_scan", name + ".compact", compact_fat32(rd, name + ".img", 256))
    for name in ("fat16_8s", "fat16_32s", "fat32_deleted", "fat32_formatted", "ntfs_deleted", "ntfs_formatted"):
        seed("boot_sector", name + ".boot", rd(name + ".img", 0, 512))
    for start in (2048, 83968):
        seed("boot_sector", "demo_disk.%d.boot" % start, rd("demo_disk.img", start * 512, 512))

    for name, numbers in (("ntfs_deleted", (0, 5, 70, 73, 76, 77, 79, 80, 83, 87, 88, 89, 90)),
                          ("ntfs_formatted", (0, 5, 70, 71, 73))):
        boot = rd(name + ".img", 0, 512)
        cluster = u16(boot, 11) * boot[13]
        for n in numbers:
            record = rd(name + ".img", u64(boot, 0x30) * cluster + n * 1024, 1024)
            seed("mft_record", f"{name}.{n}", record)
            s = stream_seed(rd, name + ".img", cluster, record)
            if s:
                seed("ntfs_stream", f"{name}.{n}", s)
    seed("ntfs_scan", "ntfs_deleted.head", rd("ntfs_deleted.img", 0, 144 * KIB))
    # Old records of the formatted volume, which the sweep finds, lie at 86-101 KiB.
    seed("ntfs_scan", "ntfs_formatted.head", rd("ntfs_formatted.img", 0, 128 * KIB))
    unit = open(os.path.join(fixtures, "lznt1_ntfs3g_unit.bin"), "rb").read()
    seed("lznt1", "ntfs3g_unit", unit[:32 * KIB])
    seed("lznt1", "ntfs3g_unit.tail", unit[32 * KIB:])
    seed("lznt1", "ntfs3g_unit.chunk", unit[:u16(unit, 0) % 4096 + 3])

    for name, kib in (("ext2_deleted", 400), ("ext2_deleted_i256", 600), ("ext3_1k", 680)):
        seed("ext_scan", name + ".head", rd(name + ".img", 0, kib * KIB))
    for name in ("ext2_deleted", "ext2_deleted_i256", "ext3_1k", "ext3_1k_i128", "ext3_4k"):
        seed("ext_superblock", name + ".head", rd(name + ".img", 0, 12 * KIB))
    for name in ("ext3_1k", "ext3_4k"):
        vol = ext.Ext(seed.path(name + ".img"))
        first = u32(vol.inode_raw(8), 0x28)
        journal = [b for b in range(first, first + 200) if rd(name + ".img", b * vol.bs, 4) == b"\xc0\x3b\x39\x98"]
        for b in journal[:12]:
            seed("ext_journal", f"{name}.{b}", rd(name + ".img", b * vol.bs, vol.bs))
        seed("ext_journal", name + ".dir", vol.block(u32(vol.inode_raw(2), 0x28)))
    for name, number in (("ext2_deleted", 12), ("ext2_deleted", 16), ("ext2_deleted", 17), ("ext3_1k", 8)):
        s = compact_block_map(ext.Ext(seed.path(name + ".img")), rd, name + ".img", number)
        if s:
            seed("ext_block_map", f"{name}.{number}", s)
    # An extent-mapped inode (flag 0x80000): a depth-0 tree of two extents.
    inode = bytearray(128)
    struct.pack_into("<H", inode, 0, 0x81A4)
    struct.pack_into("<I", inode, 4, 6 * 1024)
    struct.pack_into("<I", inode, 0x20, 0x80000)
    struct.pack_into("<HHHHI", inode, 0x28, 0xF30A, 2, 4, 0, 0)
    struct.pack_into("<IHHI", inode, 0x34, 0, 2, 0, 1)
    struct.pack_into("<IHHI", inode, 0x40, 2, 4, 0, 3)
    seed("ext_block_map", "extents", inode + bytes(8 * 1024))

    catalog = open(os.path.join(resources, "rp.dat"), "rb").read()
    seed("raw_catalog", "rp.dat", catalog)
    shifted = bytes((c + 1) & 0xFF for c in catalog)
    seed("raw_catalog", "rp.dat.packed", b"".join(struct.pack("<H", 0x3000 | (len(shifted[at:at + 4096]) - 1))
                                                  + shifted[at:at + 4096] for at in range(0, len(shifted), 4096)))
    types = catalog.split(b"</type>")
    seed("raw_catalog", "rp.dat.first", types[0] + b"</type>" + types[-1])
    for part, path, size, _, _, notes in read_rows(os.path.join(fixtures, "raw_carve.manifest.tsv")):
        at = dict(kv.split("=", 1) for kv in notes.split() if "=" in kv).get("start_sector", "none")
        if at != "none":
            head = rd("raw_carve.img", int(at) * 512, min(int(size) + 4 * KIB, 96 * KIB))
            seed("raw_format_ends", path, head)
            seed("raw_content", path, head)
    head = sector_test_header([[(0, "ffd8ff")], [(0, "89504e47")], [(0, "474946"), (4, "3|9")]])
    seed("raw_sector_test", "jpg_png_gif", head + rd("raw_carve.img", 0, 2 * KIB)
         + rd("raw_carve.img", 2048 * 512, 2 * KIB) + rd("raw_carve.img", 4096 * 512, 2 * KIB))
    head = sector_test_header([[(0, "504b0304"), (30, "6d696d65")], [(0, "25504446")]])
    seed("raw_sector_test", "zip_pdf", head + rd("raw_carve.img", 10240 * 512, 8 * KIB)
         + rd("raw_carve.img", 8199 * 512, 4 * KIB))
    small_inputs(seed, rd)


def small_inputs(seed, rd):
    """Mail stores, .pbf backups, undo files and image decoders: made here, not cut."""
    dbx = bytearray(12 * KIB)
    struct.pack_into("<II", dbx, 0, 0x12345678, 0)
    struct.pack_into("<I", dbx, 196, 42)
    dbx[9409:9420] = b"LocalStore\0"
    seed("mail_repair", "folder.dbx", dbx)
    seed("mail_repair", "other.dbx", dbx[:9000])
    seed("mail_repair", "store.pst", b"!BDN" + bytes(4 * KIB - 4))

    def record(start, length, first):
        r = bytearray(600)
        struct.pack_into("<icBHII", r, 0, 0, b"*", 1, 0, start, 0)
        r[16:23] = b"Unknown"
        struct.pack_into("<IIIQQ", r, 52, start, 8, 512, 0, length)
        r[80:80 + 512] = first
        return r
    for name in ("mbr_mixed.img", "demo_disk.img"):
        head = bytearray(288)
        head[0:len(name)] = name.encode()
        struct.pack_into("<QIiII", head, 264, seed.size(name), 0, 0, 0, 0)
        body = b"".join(record(start, count * 512, rd(name, start * 512, 512))
                        for etype, start, count in disk.mbr_entries(rd(name, 0, 512)) if etype)
        seed("pbf_load", name.replace(".img", ".pbf"), struct.pack("<I", 0x89ABCDEF) + head + body)

    def undo(disk_name, size, entries):
        head = bytearray(288)
        head[0:len(disk_name)] = disk_name
        struct.pack_into("<Q", head, 264, size)
        return (b"VELKUNDO" + struct.pack("<II", 1, len(entries)) + head
                + b"".join(struct.pack("<Q", sector) + before + after for sector, before, after in entries))
    mbr = rd("demo_disk.img", 0, 512)
    cleared = mbr[:446 + 16] + bytes(16) + mbr[446 + 32:]
    seed("undo_file", "mbr_entry.vundo", undo(b"demo_disk.img", 128 << 20, [(0, mbr, cleared)]))
    seed("undo_file", "ebr_chain.vundo", undo(b"fuzz-disk", 64 * 512, [(0, mbr, cleared), (5, bytes(512), mbr),
                                                                        (63, cleared, bytes(512))]))

    seed("image_wbmp", "small.wbmp", bytes([0, 0, 12, 3]) + bytes([0xF0, 0x5A] * 3))
    seed("image_wbmp", "wide.wbmp", bytes([0, 0, 0x81, 0x00, 2]) + bytes(range(32)))

    def ras(width, height, depth, rtype, colours=b"", body=None):
        row = ((width * depth + 15) // 16) * 2
        body = body if body is not None else bytes((i * 37) & 0xFF for i in range(row * height))
        return struct.pack(">8I", 0x59A66A95, width, height, depth, len(body), rtype, 1 if colours else 0,
                           len(colours)) + colours + body
    seed("image_ras", "gray8.ras", ras(5, 4, 8, 1))
    seed("image_ras", "map8.ras", ras(4, 3, 8, 1, bytes(range(12))))
    seed("image_ras", "mono.ras", ras(17, 3, 1, 1))
    seed("image_ras", "rgb24.ras", ras(3, 3, 24, 3))
    seed("image_ras", "bgr32.ras", ras(2, 2, 32, 1))
    seed("image_ras", "rle.ras", ras(16, 4, 8, 2, body=bytes([0x80, 20, 7, 0x80, 0, 1, 2, 0x80, 30, 9])))
    seed("image_pgx", "gray8.pgx", b"PG ML + 8 4 3\n" + bytes(range(12)))
    seed("image_pgx", "signed12.pgx", b"PG LM - 12 3 2\n" + bytes(range(12)))
    seed("image_pgx", "crlf.pgx", b"PG ML 16 2 2\r\n" + bytes(range(8)))

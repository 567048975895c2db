"""Partitioned disks: MBR/EBR and GPT reading and editing (our own), tables written by
sfdisk, volumes placed at their partition's start, and the layout file checked
against sfdisk -d and mmls."""

import re
import struct
import subprocess
import zlib

from .manifest import fail

GPT_BASIC = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"
GPT_LINUX = "0FC63DAF-8483-4772-8E79-3D69D8477DE4"


def u32(b, o):
    return struct.unpack_from("<I", b, o)[0]


def mbr_entries(sector):
    """(type, start, count) of the four entries of an MBR or EBR."""
    return [(sector[0x1BE + 16 * i + 4], u32(sector, 0x1BE + 16 * i + 8), u32(sector, 0x1BE + 16 * i + 12))
            for i in range(4)]


def put_entry(sector, slot, etype, start, count, boot=0):
    o = 0x1BE + 16 * slot
    sector[o:o + 16] = bytes(16)
    sector[o], sector[o + 4] = boot, etype
    struct.pack_into("<II", sector, o + 8, start, count)


def gpt_header_crc(h):
    """Recomputes the CRC-32 of a GPT header (over its own size, CRC field zeroed)."""
    h[16:20] = bytes(4)
    struct.pack_into("<I", h, 16, zlib.crc32(bytes(h[:u32(h, 12)])) & 0xFFFFFFFF)


class Disk:
    """A disk image being built: its table, the volumes placed, its layout file."""

    def __init__(self, s, name, size, table):
        self.s, self.name, self.size = s, name, size
        self.path = s.blank(name + ".img", size)
        s.run("sfdisk", "-q", "--no-reread", "--no-tell-kernel", self.path, stdin=table)
        self.layout = f"# disk_bytes={size}\npart\ttype_hex\tstart_sector\tsectors\tfs\tlabel\n"

    def place(self, volume, start):
        """Copies a volume into the disk at START (sectors), leaving zero blocks unwritten."""
        with open(volume, "rb") as src, open(self.path, "r+b") as dst:
            pos = start * 512
            while chunk := src.read(1 << 20):
                if chunk.count(0) != len(chunk):
                    dst.seek(pos)
                    dst.write(chunk)
                pos += len(chunk)

    def part(self, n, type_hex, start, sectors, fs, label):
        """A layout row, checked against what sfdisk reads from the table."""
        got = [ln for ln in self.s.run("sfdisk", "-d", self.path).splitlines() if ln.startswith(f"{self.path}{n} ")]
        m = re.search(r"start=\s*(\d+), size=\s*(\d+), type=([0-9A-Fa-f-]+)", got[0] if got else "")
        want = (format(int(type_hex, 16), "x") if type_hex.startswith("0x") else type_hex).lower()
        if not m or (int(m[1]), int(m[2]), m[3].lower()) != (start, sectors, want):
            fail(f"{self.name}: partition {n} is not {want} at {start}+{sectors}: {got}")
        self.layout += f"{n}\t{type_hex}\t{start}\t{sectors}\t{fs}\t{label}\n"

    def ebrs(self):
        sectors = [int(ln.split()[2]) for ln in self.s.run("mmls", self.path).splitlines() if "Extended Table" in ln]
        self.layout += f"# ebr_sectors={','.join(map(str, sectors))}\n"

    def check_mmls(self):
        """mmls, an independent reader, shows every partition of the layout."""
        rows = [ln.split() for ln in self.s.run("mmls", self.path).splitlines()]
        for ln in self.layout.splitlines():
            if ln.startswith(("#", "part")):
                continue
            part, _, start, sectors = ln.split("\t")[:4]
            if not any(len(r) > 5 and (re.fullmatch(r"\d+(:\d+)?", r[1]) or r[1] == "Meta")
                       and r[2].isdigit() and r[4].isdigit() and (int(r[2]), int(r[4])) == (int(start), int(sectors))
                       for r in rows):
                fail(f"{self.name}: mmls does not show partition {part} at {start}+{sectors}")


def gpt_edit(image, edit, sector=512):
    """Applies edit(entries bytearray, entry size) to both GPT entry arrays and refreshes
    both headers' CRCs."""
    with open(image, "r+b") as f:
        size = f.seek(0, 2)
        for lba in (1, size // sector - 1):
            f.seek(lba * sector)
            h = bytearray(f.read(sector))
            if h[:8] != b"EFI PART":
                fail(f"no GPT header at LBA {lba}")
            first, count, esize = struct.unpack_from("<QII", h, 72)
            f.seek(first * sector)
            entries = bytearray(f.read(count * esize))
            edit(entries, esize)
            struct.pack_into("<I", h, 88, zlib.crc32(bytes(entries)) & 0xFFFFFFFF)
            gpt_header_crc(h)
            f.seek(first * sector)
            f.write(entries)
            f.seek(lba * sector)
            f.write(h)


def gpt_break_primary(image):
    """Corrupts the CRC of the primary GPT header (LBA 1), leaving the backup."""
    with open(image, "r+b") as f:
        f.seek(512)
        hdr = bytearray(f.read(92))
        if hdr[:8] != b"EFI PART":
            fail("no primary GPT header at LBA 1")
        struct.pack_into("<I", hdr, 16, u32(hdr, 16) ^ 0xDEADBEEF)
        f.seek(512)
        f.write(hdr)


def sgdisk_verdict(image):
    return subprocess.run(["sgdisk", "-v", image], capture_output=True, text=True).stdout

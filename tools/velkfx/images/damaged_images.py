"""Damaged and unusual media. Each volume is made and filled by the real tools and
checked while intact; the damage is then done by a named edit, and what it left is
checked again (the copy the file system keeps, the bytes of every file)."""

import os
import shutil
import subprocess

from .. import disk, ext, fat, ntfs, tsk
from ..manifest import fail
from ..session import Folder, patch
from . import files, image
from .disk_images import fat_part, fill_ntfs, new_ext, vol_path

DID = "deleted-in-deleted-folder"


def mbr_table(label_id, *parts):
    return f"label: dos\nlabel-id: {label_id}\nunit: sectors\n\n" + "".join(
        f"start={a}, size={n}, type={t}\n" for a, n, t in parts)


def tsk_refuses(img, soff=0):
    return subprocess.run(["fls", "-o", str(soff), img], capture_output=True).returncode != 0


def read_at(path, offset, n):
    with open(path, "rb") as f:
        f.seek(offset)
        return f.read(n)


@image("damaged", "mbr_fat32_small")
def mbr_fat32_small(s, name):
    """A FAT32 volume of 60,000 sectors in an MBR disk: its size is at 0x13, 0x20 is zero,
    and it has fewer clusters than FAT32 asks for (59,044), so mtools and The Sleuth Kit
    refuse it; the Linux driver takes the BPB's word. fusefat (FUSE) filled it with live
    files only: it marks a deleted entry with 0x00, not 0xE5, which no other driver does."""
    s.require("mkfs.vfat", "fusefat", "sfdisk", "mmls", root=True)
    start, count = 2048, 60000
    d = disk.Disk(s, name, 36 << 20, mbr_table("0x5e1f5a11", (start, count, "c")))
    m = s.manifest(name)
    vol = vol_path(s, "small")
    with open(vol, "wb") as f:
        f.truncate(count * 512)
    s.frozen("mkfs.vfat", "-F", "32", "-s", "1", "-n", "SMALLFAT32", "-i", "5E1F5A11", "-h", start, vol)
    where = os.path.join(s.work, "mnt")
    proc = s.fuse(["fusefat", "-f", "-o", "rw+", vol, where], where)
    v = Folder(s, where)
    v.mkdir("Photos")
    for p, r in files(s, m, 1, "small/", [("README.TXT", "text 900:A small FAT32 volume", "live"),
                                          ("Photos/beach.jpg", "jpeg 480x360", "live"),
                                          ("Photos/sunset.jpg", "jpeg 480x360", "live"),
                                          ("Trip notes.txt", "text 4000", "live")]).items():
        v.put(r.local, p)
    v.sync()
    s.fuse_umount(where, proc)
    s.run("fsck.fat", "-n", vol)
    d.place(vol, start)
    d.part(1, "0x0c", start, count, "FAT32", "SMALLFAT32")
    d.check_mmls()
    boot = read_at(d.path, start * 512, 512)
    if int.from_bytes(boot[0x13:0x15], "little") != count or boot[0x20:0x24] != bytes(4) or boot[0x16:0x18] != bytes(2):
        fail(f"{name}: the boot sector does not keep its 60000 sectors at 0x13 with a FAT32 layout")
    fat.check(d.path, m.part(1), start * 512)
    if not tsk_refuses(d.path, start):
        fail(f"{name}: fls reads the small FAT32 volume")
    for r in m.rows:
        r.note("tsk-refuses")
    s.publish(name, d.path, m, d.layout)


@image("damaged", "fat32_zeroed_boot")
def fat32_zeroed_boot(s, name):
    """An MBR disk whose FAT32 partition has a zeroed boot sector; the backup boot
    sector at the partition's sector 6 (and FSInfo at 7) are intact."""
    start, count = 2048, 81920
    d = disk.Disk(s, name, 48 << 20, mbr_table("0x5e1f0b00", (start, count, "c")))
    m = s.manifest(name)
    vol = fat_part(s, m, 1, start, count, "ZEROBOOT", "5E1F0B00", "zero/", [
        ("README.TXT", "text 900:Zeroed boot sector", "live", "8.3"), ("Photos/IMG_0001.JPG", "jpeg 640x480", "live", "8.3"),
        ("Photos/IMG_0002.JPG", "jpeg 640x480", "deleted", "8.3"), ("Budget 2026.pdf", "pdf:Budget 2026", "deleted", "longname"),
        ("Old/notes.txt", "text 3000", DID, "deleted-root-folder")], rm=("Photos/IMG_0002.JPG", "Budget 2026.pdf"),
        trees=("Old",))
    d.place(vol, start)
    d.part(1, "0x0c", start, count, "FAT32", "ZEROBOOT")
    d.check_mmls()
    fat.check(d.path, m.part(1), start * 512)
    tsk.check(d.path, m.part(1), start)
    boot = read_at(d.path, start * 512, 512)
    if read_at(d.path, (start + 6) * 512, 512) != boot:
        fail(f"{name}: the backup boot sector differs from the boot sector")
    patch(d.path, start * 512, bytes(512))  # the damage: the boot sector zeroed
    # The Sleuth Kit falls back on the backup boot sector and reads every file as before.
    tsk.check(d.path, m.part(1), start)
    for r in m.rows:
        r.note("boot-sector-zeroed", "backup-boot-intact", "tsk-reads-backup-boot")
    d.layout += "# partition 1: boot sector zeroed; backup boot sector at its sector 6 intact\n"
    s.publish(name, d.path, m, d.layout)


@image("damaged", "ntfs_mft0_damaged")
def ntfs_mft0_damaged(s, name):
    """NTFS whose MFT record 0 is zeroed after it was filled; $MFTMirr (records 0-3)
    is intact, and its record 0 still maps the whole MFT."""
    s.require("mkntfs", "ntfs-3g", "ntfsfix", "icat", root=True)
    img = s.path(name + ".img")
    ntfs.mkntfs(s, img, 16 << 20, "VELK-MFT0")
    m = s.manifest(name)
    rows = files(s, m, 0, name + "/", [("readme.txt", "note 1500", "live"), ("Docs/report.txt", "note 9000", "live"),
                                       ("photo.jpg", "shapes.jpeg 320x240", "deleted"),
                                       ("tiny.txt", "note 90", "deleted"), ("Docs/letter.txt", "note 7000", "deleted"),
                                       ("Old/a.txt", "note 5000", DID)], full_path=True)
    fill_ntfs(s, img, rows.values(), ("Docs", "Old"), ("photo.jpg", "tiny.txt", "Docs/letter.txt"), ("Old",))
    vol = ntfs.Ntfs(img)
    m.rows = ntfs.check(img, m.rows, vol=vol)
    mirror = ntfs.Ntfs(img, mft_from_mirror=True)
    if mirror.mft_bytes[:4 * vol.rs] != vol.mft_bytes[:4 * vol.rs]:
        fail(f"{name}: $MFTMirr does not match the MFT's first records")
    patch(img, vol.mft_lcn * vol.cs, bytes(vol.rs))  # the damage: record 0 zeroed
    if ntfs.fixup(read_at(img, vol.mft_lcn * vol.cs, vol.rs)) is not None or not tsk_refuses(img):
        fail(f"{name}: record 0 still reads")
    again = ntfs.Ntfs(img, mft_from_mirror=True)
    for r in m.rows:
        data, _ = again.data(again.record(int(next(w for w in r.notes if w.startswith("inode="))[6:])))
        if data != r.data():
            fail(f"{r.path}: the MFT read through $MFTMirr's record 0 does not yield it")
        r.note("mft-record-0-zeroed", "mftmirr-intact")
    s.publish(name, img, m)


@image("damaged", "mbr_seven_parts")
def mbr_seven_parts(s, name):
    """An MBR disk of seven partitions: FAT32, NTFS and EXT2 primaries, and an extended
    partition holding FAT16, NTFS and EXT2 logicals. Committed intact: tests wipe the MBR
    (or the EBRs) on a copy in memory."""
    s.require("mkfs.vfat", "mcopy", "mkntfs", "ntfs-3g", "mke2fs", "debugfs", "sfdisk", "mmls", "fls", root=True)
    parts = [(1, 2048, 81920, "c", "FAT32", "SEVENP1"), (2, 83968, 49152, "7", "NTFS", "SEVENP2"),
             (3, 133120, 32768, "83", "EXT2", "sevenp3"), (4, 165888, 112640, "f", "extended", "-"),
             (5, 167936, 32768, "6", "FAT16", "SEVENP5"), (6, 202752, 40960, "7", "NTFS", "SEVENP6"),
             (7, 245760, 32768, "83", "EXT2", "sevenp7")]
    d = disk.Disk(s, name, 144 << 20, mbr_table("0x5e1f0007", *[(a, n, t) for _, a, n, t, _, _ in parts]))
    m = s.manifest(name)
    for n, start, count, t, fs, label in parts:
        recipe = [("readme.txt", f"text 800:Partition {n}", "live"), ("photo.jpg", "jpeg 320x240", "deleted"),
                ("Old/gone.txt", "text 3000", DID)]
        if fs.startswith("FAT"):
            vol = fat_part(s, m, n, start, count, label, f"5E1F070{n}", f"seven/p{n}/", recipe, rm=("photo.jpg",),
                           trees=("Old",), fat16=fs == "FAT16")
        elif fs == "NTFS":
            vol = vol_path(s, f"p{n}")
            ntfs.mkntfs(s, vol, count * 512, label, "-p", start, "-H", "255", "-S", "63")
            fill_ntfs(s, vol, files(s, m, n, f"seven/p{n}/", recipe).values(), ("Old",), ("photo.jpg",), ("Old",))
        elif fs == "EXT2":
            vol = vol_path(s, f"p{n}")
            new_ext(s, vol, count, "ext2", label, f"5e1f0007-0000-4000-8000-00000000000{n}", 1024)
            f = files(s, m, n, f"seven/p{n}/", recipe)
            ext.debugfs(s, vol, ["mkdir Old"] + [f'write "{r.local}" "{p}"' for p, r in f.items()])
            ext.debugfs(s, vol, ["rm photo.jpg", "rm Old/gone.txt", "rmdir Old"])
            ext.fsck(s, vol)
        else:
            d.part(n, f"0x{int(t, 16):02x}", start, count, fs, label)
            continue
        d.place(vol, start)
        d.part(n, f"0x{int(t, 16):02x}", start, count, fs, label)
    d.ebrs()
    d.check_mmls()
    for n, start, count, t, fs, label in parts:
        if fs.startswith("FAT"):
            fat.check(d.path, m.part(n), start * 512)
        if fs != "extended":
            tsk.check(d.path, m.part(n), start, note_inode=fs != "FAT32" and fs != "FAT16")
    s.publish(name, d.path, m, d.layout)


@image("damaged", "gpt_lost_partition")
def gpt_lost_partition(s, name):
    """A GPT disk of three partitions whose second entry (an NTFS volume) was removed
    from both the primary and the backup entry array, with both arrays' and both
    headers' CRCs made right again: the volume is intact where it was."""
    s.require("mkfs.vfat", "mcopy", "mkntfs", "ntfs-3g", "mke2fs", "sfdisk", "sgdisk", "mmls", "fls", root=True)
    parts = [(1, 2048, 81920, disk.GPT_BASIC, "FAT32", "GPTLOST1"), (2, 83968, 40960, disk.GPT_BASIC, "NTFS", "GPTLOST2"),
             (3, 124928, 32768, disk.GPT_LINUX, "EXT2", "gptlost3")]
    d = disk.Disk(s, name, 96 << 20, "label: gpt\nlabel-id: 5E1F6770-0000-4000-8000-00000000105E\nunit: sectors\n"
                  "first-lba: 34\n\n" + "".join(f'start={a}, size={n}, type={t}, uuid=5E1F6770-0000-4000-8000-00000000105{k}, '
                                                  f'name="{label}"\n' for k, a, n, t, _, label in parts))
    m = s.manifest(name)
    recipe = [("readme.txt", "text 900:GPT partition", "live"), ("photo.jpg", "jpeg 320x240", "deleted")]
    d.place(fat_part(s, m, 1, 2048, 81920, "GPTLOST1", "5E1F1051", "lost/p1/", recipe, rm=("photo.jpg",)), 2048)
    v2 = vol_path(s, "p2")
    ntfs.mkntfs(s, v2, 40960 * 512, "GPTLOST2", "-p", 83968, "-H", "255", "-S", "63")
    fill_ntfs(s, v2, files(s, m, 2, "lost/p2/", recipe + [("Docs/kept.txt", "text 5000", "live")]).values(), ("Docs",),
              ("photo.jpg",), ())
    d.place(v2, 83968)
    v3 = vol_path(s, "p3")
    new_ext(s, v3, 32768, "ext2", "gptlost3", "5e1f6770-0000-4000-8000-000000001053", 1024)
    f = files(s, m, 3, "lost/p3/", recipe)
    ext.debugfs(s, v3, [f'write "{r.local}" "{p}"' for p, r in f.items()])
    ext.debugfs(s, v3, ["rm photo.jpg"])
    ext.fsck(s, v3)
    d.place(v3, 124928)
    for n, a, c, t, fs, label in parts:
        tsk.check(d.path, m.part(n), a, note_inode=fs != "FAT32")
    fat.check(d.path, m.part(1), 2048 * 512)

    def drop_second(entries, esize):
        entries[esize:2 * esize] = bytes(esize)
    disk.gpt_edit(d.path, drop_second)  # the loss: entry 2 cleared in both arrays, CRCs made right
    if "No problems found" not in disk.sgdisk_verdict(d.path):
        fail(f"sgdisk finds problems in {name}")
    for n, a, c, t, fs, label in parts:
        if n != 2:
            d.part(n, t, a, c, fs, label)
    d.check_mmls()
    if subprocess.run(["sfdisk", "-d", d.path], capture_output=True, text=True).stdout.count("start=") != 2:
        fail(f"{name}: the table still lists the lost partition")
    tsk.check(d.path, m.part(2), 83968)  # the volume itself is intact where it was
    for r in m.part(2):
        r.note("lost-partition")
    d.layout += f"# lost: 2\t{disk.GPT_BASIC}\t83968\t40960\tNTFS\tGPTLOST2 (entry 2 cleared in both arrays)\n"
    s.publish(name, d.path, m, d.layout)

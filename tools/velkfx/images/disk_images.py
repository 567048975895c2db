"""Partitioned disks: MBR with primaries, an extended chain and gaps (mbr_mixed), an
MBR whose extended partition has type 0x05 (mbr_ext05), a GPT disk and a copy with a
broken primary header (gpt_disk, gpt_damaged_primary), and the README's demo disk.

Each volume is made as a file of its own, filled, and copied into the disk at its
partition's start; the checks then run on the finished disk at the partition
offsets. EXT volumes use 128-byte inodes (the classic ext2/ext3 layout)."""

import os
import re
import shutil
import subprocess

from .. import disk, ext, fat, ntfs, tsk
from ..manifest import fail
from ..session import Folder
from . import files, image

DID = "deleted-in-deleted-folder"


def new_fat(s, path, sectors, label, serial, start, fat16=False):
    with open(path, "wb") as f:
        f.truncate(sectors * 512)
    # FAT16 here: 2 KiB clusters and a 64-entry root, so the root directory is one cluster.
    opts = ("-F", "16", "-s", "4", "-r", "64") if fat16 else ("-F", "32", "-s", "1")
    s.frozen("mkfs.vfat", *opts, "-n", label, "-i", serial, "-h", start, path)
    if fat16 and not re.fullmatch(r"kind=16 bps=512 spc=4 rootents=64 .* root_is_one_cluster=1",
                                  fat.Fat(path).geometry()):
        fail(f"{path} is not FAT16 with a one-cluster root")
    return fat.Mtools(s, path)


def fat_part(s, m, part, start, sectors, label, serial, seed, recipe, order=None, rm=(), trees=(), fat16=False):
    """A FAT volume for partition PART: rows of recipe written (in ORDER), then deleted."""
    path = vol_path(s, f"{m.name}_p{part}")
    v = new_fat(s, path, sectors, label, serial, start, fat16)
    f = files(s, m, part, seed, recipe)
    for p in order or f:
        v.put(f[p].local, p)
    v.rm(*rm)
    v.rmtree(*trees)
    s.run("fsck.fat", "-n", path)
    return path


def new_ext(s, path, sectors, kind, label, uuid, bs):
    ext.mke2fs(s, path, sectors * 512, "-t", kind, "-b", bs, "-I", "128", "-L", label, "-U", uuid,
               "-E", "hash_seed=" + uuid)
    sb = s.run("dumpe2fs", "-h", path)
    if not re.search(r"^Inode size:\s*128$", sb, re.M) or not re.search(rf"^Block size:\s*{bs}$", sb, re.M):
        fail(f"{path}: not {bs}-byte blocks with 128-byte inodes")
    if (kind == "ext3") != bool(re.search(r"^Filesystem features:.*has_journal", sb, re.M)):
        fail(f"{path}: {kind} with the wrong journal state")


def fill_ntfs(s, vol, rows, dirs, deleted, trees):
    """Copies rows into an NTFS volume through ntfs-3g, then deletes files and folders."""
    where = os.path.join(s.work, "mnt")
    proc = s.ntfs_mount(vol, where)
    v = Folder(s, where)
    v.mkdir(*dirs)
    for r in rows:
        v.put(r.local, r.path)
    v.sync()
    v.rm(*deleted, *trees)
    s.fuse_umount(where, proc)
    ntfs.fsck(s, vol)


def vol_path(s, name):
    return os.path.join(s.work, name + ".vol")


@image("disk", "mbr_mixed")
def mbr_mixed(s, name):
    s.require("mkfs.vfat", "mcopy", "mkntfs", "ntfs-3g", "mke2fs", "debugfs", "sfdisk", "mmls", "fls", "icat", root=True)
    # p1 FAT32, 4 MiB gap, p2 NTFS, 4 MiB gap, p3 extended 0x0F holding p5 FAT16 and p6
    # EXT2 with a gap between them, free space at the end.
    p1, p1n, p2, p2n, p3, p3n, p5, p5n, p6, p6n = 2048, 81920, 92160, 98304, 198656, 94208, 200704, 32768, 241664, 32768
    d = disk.Disk(s, name, 256 << 20, f"label: dos\nlabel-id: 0x5e1f0001\nunit: sectors\n\n"
                  f"start={p1}, size={p1n}, type=c\nstart={p2}, size={p2n}, type=7\nstart={p3}, size={p3n}, type=f\n"
                  f"start={p5}, size={p5n}, type=6\nstart={p6}, size={p6n}, type=83\n")
    m = s.manifest(name)
    v1 = fat_part(s, m, 1, p1, p1n, "MIXFAT32", "5E1F0032", "mix/p1/", [
        ("README.TXT", "text 900:Partition 1", "live", "8.3"), ("Photos/sunset.jpg", "jpeg 480x320", "live"),
        ("Trip notes.txt", "text 4000", "deleted", "longname"), ("Photos/IMG_2001.JPG", "jpeg 400x300", "deleted", "8.3"),
        ("Old/a.txt", "text 1500", DID, "deleted-root-folder")],
        order=("README.TXT", "Photos/sunset.jpg", "Photos/IMG_2001.JPG", "Trip notes.txt", "Old/a.txt"),
        rm=("Trip notes.txt", "Photos/IMG_2001.JPG"), trees=("Old",))

    v2 = vol_path(s, "mix_p2")
    ntfs.mkntfs(s, v2, p2n * 512, "MIXNTFS", "-p", p2, "-H", "255", "-S", "63")
    rows = files(s, m, 2, "mix/p2/", [("readme.txt", "text 2000", "live"), ("Docs/plan.pdf", "pdf:Plan", "live"),
                                      ("Docs/budget 2026.docx", "docx:Budget 2026", "deleted", "docx-zip"),
                                      ("photo.jpg", "jpeg 640x480", "deleted"),
                                      ("small.txt", "text 300", "deleted", "small"),
                                      ("Scratch/notes.txt", "text 5000", DID), ("Scratch/image.png", "png 200x150", DID)])
    fill_ntfs(s, v2, rows.values(), ("Docs", "Scratch"), ("Docs/budget 2026.docx", "photo.jpg", "small.txt"),
              ("Scratch",))

    v5 = fat_part(s, m, 5, p5, p5n, "MIXFAT16", "5E1F0016", "mix/p5/", [
        ("KEEP.TXT", "text 1100", "live", "8.3"), ("GONE.TXT", "text 7000", "deleted", "8.3"),
        ("Long name file.txt", "text 2500", "deleted", "longname"), ("TMP/X.TXT", "text 3000", DID, "deleted-root-folder")],
        rm=("GONE.TXT", "Long name file.txt"), trees=("TMP",), fat16=True)

    # p6 EXT2: deletions with debugfs keep the freed inodes' block maps
    v6 = vol_path(s, "mix_p6")
    new_ext(s, v6, p6n, "ext2", "mixext2", "5e1f0006-0000-4000-8000-000000000006", 1024)
    f = files(s, m, 6, "mix/p6/", [("readme.txt", "text 1500", "live"), ("docs/keep.txt", "text 800", "live"),
                                   ("photo.jpg", "jpeg 640x480 g3", "deleted", "indirect-block"),
                                   ("trip notes.txt", "text 3000", "deleted", "space-in-name"),
                                   ("olddir/a.txt", "text 2000", DID), ("olddir/b.bin", "bin 5000", DID)])
    if f["photo.jpg"].size <= 12 * 1024:
        fail("photo.jpg must need the single indirect block")
    w = {p: f'write "{r.local}" "{p}"' for p, r in f.items()}
    ext.debugfs(s, v6, [w["readme.txt"], "mkdir docs", w["docs/keep.txt"], w["photo.jpg"], w["trip notes.txt"],
                        "mkdir olddir", w["olddir/a.txt"], w["olddir/b.bin"]])
    ext.debugfs(s, v6, ["rm photo.jpg", 'rm "trip notes.txt"', "rm olddir/a.txt", "rm olddir/b.bin", "rmdir olddir"])
    ext.fsck(s, v6)

    for vol, start in ((v1, p1), (v2, p2), (v5, p5), (v6, p6)):
        d.place(vol, start)
    for row in ((1, "0x0c", p1, p1n, "FAT32", "MIXFAT32"), (2, "0x07", p2, p2n, "NTFS", "MIXNTFS"),
                (3, "0x0f", p3, p3n, "extended", "-"), (5, "0x06", p5, p5n, "FAT16", "MIXFAT16"),
                (6, "0x83", p6, p6n, "EXT2", "mixext2")):
        d.part(*row)
    d.ebrs()
    d.check_mmls()
    fat.check(d.path, m.part(1), p1 * 512)
    tsk.check(d.path, m.part(1), p1)
    tsk.check(d.path, m.part(2), p2, note_inode=True, note_resident=True)
    fat.check(d.path, m.part(5), p5 * 512)
    tsk.check(d.path, m.part(5), p5)
    tsk.check(d.path, m.part(6), p6, note_inode=True)
    s.publish(name, d.path, m, d.layout)


@image("disk", "mbr_ext05")
def mbr_ext05(s, name):
    s.require("mkfs.vfat", "mcopy", "sfdisk", "mmls", "fls", "icat")
    p1, p1n, p2, p2n, p5, p5n = 2048, 24576, 30720, 28672, 32768, 24576
    d = disk.Disk(s, name, 64 << 20, f"label: dos\nlabel-id: 0x5e1f0005\nunit: sectors\n\n"
                  f"start={p1}, size={p1n}, type=6\nstart={p2}, size={p2n}, type=5\nstart={p5}, size={p5n}, type=6\n")
    m = s.manifest(name)
    for part, start, count, label, serial, recipe in (
            (1, p1, p1n, "E05PRIMARY", "5E1F0501", [("README.TXT", "text 700", "live", "8.3"),
                                                   ("DEL.TXT", "text 2500", "deleted", "8.3")]),
            (5, p5, p5n, "E05LOGICAL", "5E1F0505", [("INSIDE.TXT", "text 900", "live", "8.3 logical-in-type-05-extended"),
                                                   ("GONE.TXT", "text 3500", "deleted", "8.3 logical-in-type-05-extended")])):
        d.place(fat_part(s, m, part, start, count, label, serial, "e05/", recipe, rm=(recipe[1][0],), fat16=True), start)
    d.part(1, "0x06", p1, p1n, "FAT16", "E05PRIMARY")
    d.part(2, "0x05", p2, p2n, "extended", "-")
    d.part(5, "0x06", p5, p5n, "FAT16", "E05LOGICAL")
    d.ebrs()
    d.check_mmls()
    for part, start in ((1, p1), (5, p5)):
        fat.check(d.path, m.part(part), start * 512)
        tsk.check(d.path, m.part(part), start)
    s.publish(name, d.path, m, d.layout)


@image("disk", "gpt_disk")
def gpt_disk(s, name):
    s.require("mkfs.vfat", "mcopy", "mke2fs", "debugfs", "sfdisk", "sgdisk", "mmls", "fls", "icat")
    p1, p1n, p2, p2n = 2048, 81920, 92160, 32768
    size = 96 << 20
    d = disk.Disk(s, name, size, f"label: gpt\nlabel-id: 5E1F6770-0000-4000-8000-000000000000\nunit: sectors\n"
                  f"first-lba: 34\n\nstart={p1}, size={p1n}, type={disk.GPT_BASIC}, "
                  f'uuid=5E1F6770-0000-4000-8000-000000000001, name="Velk data"\nstart={p2}, size={p2n}, '
                  f'type={disk.GPT_LINUX}, uuid=5E1F6770-0000-4000-8000-000000000002, name="Velk linux"\n')
    m = s.manifest(name)
    v1 = fat_part(s, m, 1, p1, p1n, "GPTFAT32", "5E1F6701", "gpt/", [
        ("README.TXT", "text 1000", "live", "8.3"), ("Kitchen photo.jpg", "jpeg 480x360", "deleted", "longname"),
        ("MEMO.TXT", "text 2000", "deleted", "8.3"), ("Archive/minutes.pdf", "pdf:Minutes", DID),
        ("Archive/t.txt", "text 1300", DID)], rm=("Kitchen photo.jpg", "MEMO.TXT"), trees=("Archive",))
    v2 = vol_path(s, "gpt_p2")
    new_ext(s, v2, p2n, "ext2", "gptext2", "5e1f6770-0000-4000-8000-0000000000e2", 1024)
    f = files(s, m, 2, "gpt/", [("readme.txt", "text 1200", "live"), ("removed.txt", "text 6000", "deleted")])
    ext.debugfs(s, v2, [f'write "{r.local}" "{p}"' for p, r in f.items()])
    ext.debugfs(s, v2, ["rm removed.txt"])
    ext.fsck(s, v2)
    d.place(v1, p1)
    d.place(v2, p2)
    d.part(1, disk.GPT_BASIC, p1, p1n, "FAT32", "GPTFAT32")
    d.part(2, disk.GPT_LINUX, p2, p2n, "EXT2", "gptext2")
    if "No problems found" not in disk.sgdisk_verdict(d.path):
        fail(f"sgdisk finds problems in {name}")
    d.check_mmls()
    fat.check(d.path, m.part(1), p1 * 512)
    tsk.check(d.path, m.part(1), p1)
    tsk.check(d.path, m.part(2), p2, note_inode=True)
    s.publish(name, d.path, m, d.layout)

    # The same disk with the primary header's CRC broken; the backup header at the last
    # sector is left intact.
    dmg = s.path("gpt_damaged_primary.img")
    shutil.copyfile(d.path, dmg)
    disk.gpt_break_primary(dmg)
    verdict = subprocess.run(["sgdisk", "-v", dmg], capture_output=True, text=True)
    if not all(k in verdict.stdout + verdict.stderr for k in ("Main header: ERROR", "Backup header: OK",
                                                              "Main partition table: OK")):
        fail(f"sgdisk: {verdict.stdout}")
    dump = subprocess.run(["sfdisk", "-d", dmg], capture_output=True, text=True)
    if "primary GPT table is corrupt" not in dump.stdout + dump.stderr or dump.stdout.count("start=") != 2:
        fail("sfdisk does not read both partitions from the backup of a corrupt primary header")
    if open(dmg, "rb").read()[size - 512:size - 504] != b"EFI PART":
        fail("no backup header")
    s.publish("gpt_damaged_primary", dmg, m, d.layout + "# primary header CRC (LBA 1, bytes 16-19) broken; "
              "backup header at the last LBA intact\n")


@image("disk", "demo_disk")
def demo_disk(s, name):
    s.require("mkfs.vfat", "mcopy", "mkntfs", "ntfs-3g", "mke2fs", "sfdisk", "mmls", "fls", "icat", "istat", root=True)
    p1, p1n, p2, p2n, p3, p3n = 2048, 81920, 83968, 81920, 165888, 81920
    d = disk.Disk(s, name, 128 << 20, f"label: dos\nlabel-id: 0x5e1fde70\nunit: sectors\n\n"
                  f"start={p1}, size={p1n}, type=c\nstart={p2}, size={p2n}, type=7\nstart={p3}, size={p3n}, type=83\n")
    m = s.manifest(name)
    # FAT32: photos, a shopping list, a report
    v1 = fat_part(s, m, 1, p1, p1n, "VELKDEMO", "5E1FDE01", "demo/fat/", [
        ("Photos/beach.jpg", "jpeg 1024x768 g3", "live"), ("Photos/mountains.jpg", "jpeg 1024x768 g3", "deleted"),
        ("Shopping list.txt", "text 600:Shopping list", "deleted", "longname"),
        ("Report 2025.pdf", "pdf:Annual report 2025", "live", "longname"),
        ("Letter to Anna.docx", "docx:Dear Anna", "deleted", "longname docx-zip"),
        ("Old photos/IMG_0412.JPG", "jpeg 800x600 g3", DID, "", "demo/fat/Old photos/IMG_0412.JPG"),
        ("Old photos/IMG_0413.JPG", "jpeg 800x600 g3", DID, "", "demo/fat/Old photos/IMG_0413.JPG")],
        rm=("Photos/mountains.jpg", "Shopping list.txt", "Letter to Anna.docx"), trees=("Old photos",))

    v2 = vol_path(s, "demo_p2")
    ntfs.mkntfs(s, v2, p2n * 512, "Velk demo", "-p", p2, "-H", "255", "-S", "63")
    rows = files(s, m, 2, "demo/ntfs/", [
        ("Documents/Contract.pdf", "pdf:Rental contract", "live"),
        ("Documents/Budget.docx", "docx:Household budget", "deleted", "docx-zip"),
        ("Pictures/lake.jpg", "jpeg 1024x768 g3", "deleted"), ("notes.txt", "text 1800:Notes", "live"),
        ("Drafts/draft1.txt", "text 4200:Draft one", DID), ("Drafts/cover.jpg", "jpeg 640x480 g3", DID)])
    fill_ntfs(s, v2, rows.values(), ("Documents", "Pictures", "Drafts"),
              ("Documents/Budget.docx", "Pictures/lake.jpg"), ("Drafts",))

    # EXT3 through a loop mount; sync after every step so the journal keeps the
    # inode-table and folder blocks as they were before each deletion.
    v3 = vol_path(s, "demo_p3")
    new_ext(s, v3, p3n, "ext3", "velkdemo", "5e1fde70-0000-4000-8000-0000000000e3", 4096)
    f = files(s, m, 3, "demo/ext/", [
        ("home/notes.txt", "text 2200:Home notes", "live"), ("report.pdf", "pdf:Linux report", "live"),
        ("photos/forest.jpg", "jpeg 640x480 g3", "deleted"), ("todo.txt", "text 900:To do", "deleted"),
        ("old/a.txt", "text 3000", DID), ("old/pic.jpg", "jpeg 800x600 g6", DID, "indirect-block")])
    if f["old/pic.jpg"].size <= 48 * 1024:
        fail("pic.jpg must need the single indirect block")
    dev = s.loop(v3)
    v = Folder(s, s.mount(dev, os.path.join(s.work, "mnt3"), "-t", "ext3"))
    v.mkdir("home", "photos", "old")
    v.sync()
    for p, r in f.items():
        r.facts["inode"] = v.put(r.local, p)
        v.sync()
    for p in ("photos/forest.jpg", "todo.txt", "old"):
        v.rm(p)
        v.sync()
    s.umount(v.root)
    s.unloop(dev)
    ext.fsck(s, v3)

    for vol, start in ((v1, p1), (v2, p2), (v3, p3)):
        d.place(vol, start)
    d.part(1, "0x0c", p1, p1n, "FAT32", "VELKDEMO")
    d.part(2, "0x07", p2, p2n, "NTFS", "Velk demo")
    d.part(3, "0x83", p3, p3n, "EXT3", "velkdemo")
    d.check_mmls()
    fat.check(d.path, m.part(1), p1 * 512)
    tsk.check(d.path, m.part(1), p1)
    tsk.check(d.path, m.part(2), p2, note_inode=True, note_resident=True)
    # The kernel clears the block maps of unlinked inodes: the bytes come back only
    # through the journal's older inode copies.
    tsk.check(d.path, m.part(3), p3, note_inode=True, unlisted_ok=True, skip_data_for=("deleted", DID))
    ext.check(d.path, m.part(3), p3 * 512, journal=True, brief=True)
    s.publish(name, d.path, m, d.layout)

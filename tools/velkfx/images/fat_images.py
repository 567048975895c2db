"""Unpartitioned FAT volumes made by mkfs.vfat and filled by mtools (no mount).

Allocation facts the layouts rely on:
- mtools on FAT32 continues after the FSInfo next-free hint (the last cluster it
  allocated), so files written in order are contiguous and a freed cluster is not
  reused by later writes;
- mtools on FAT16 searches from cluster 2 on every run, and every new entry takes
  the first free slot of its folder, deleted slots included. So on FAT16 all
  deletions come last, and no folder gets a new entry after a deletion in it.
"""

import shutil

from .. import fat, tsk
from ..manifest import fail
from . import files, image

DID = "deleted-in-deleted-folder"


def new_fat(s, name, size, *mkfs):
    img = s.blank(name + ".img", size)
    s.frozen("mkfs.vfat", *mkfs, img)
    return img, fat.Mtools(s, img)


def finish(s, m, img, geometry, **check):
    """Geometry and fsck.fat, our own walk, The Sleuth Kit; then publish."""
    got = fat.Fat(img).geometry()
    if got != geometry:
        fail(f"geometry of {m.name} is '{got}', wanted '{geometry}'")
    s.run("fsck.fat", "-n", img)
    fat.check(img, m.rows, **check)
    if "pre" not in check:
        tsk.check(img, m.rows)


@image("fat", "fat32_deleted")
def fat32_deleted(s, name):
    img, v = new_fat(s, name, 40 << 20, "-F", "32", "-s", "1", "-n", "VELKFAT32", "-i", "1D0CFA32")
    m = s.manifest(name)
    f = files(s, m, 0, "f32/", [
        ("README.TXT", "text 700:Velk FAT32 test volume", "live", "8.3"),
        ("Résumé 2026.txt", "text 2345:Curriculum vitae", "live", "longname unicode"),
        ("archive.tar.gz", "targz", "deleted", "longname multi-dot"),
        ("REPORT.TXT", "text 4000:Quarterly report", "deleted", "8.3 no-longname first-char-lost"),
        ("EMPTY.DAT", "text 0", "deleted", "zero-size"),
        ("ONE.BIN", "bin 1", "deleted", "one-byte"),
        ("SECTOR.BIN", "bin 512", "deleted", "exactly-one-cluster exactly-512"),
        ("EIGHTK.BIN", "bin 8192", "deleted", "multiple-of-cluster"),
        ("Holiday.JPEG", "jpeg 640x480", "deleted", "longname upper-extension"),
        ("Notes.html5", "html 3000", "deleted", "longname 5-char-extension"),
        ("big log.txt", "text 1000003:Server log", "deleted", "multi-cluster non-multiple"),
        ("HIDDEN.SYS", "text 900", "deleted", "8.3 hidden system"),
        ("RDONLY.TXT", "text 1500", "deleted", "8.3 read-only"),
        ("Kept photo.jpg", "jpeg 320x240", "live", "longname"),
        ("LIVE0.DAT", "text 0", "live", "zero-size"),
        ("Documents/letter.txt", "text 1800:Dear Anna", "live", "lowercase-8.3"),
        ("Documents/Budget 2025.csv", "text 5000", "live", "longname"),
        ("Documents/draft v2.docx", "docx:Draft v2", "deleted", "longname docx-zip"),
        ("Documents/Meeting notes.pdf", "pdf:Meeting notes", "deleted", "longname"),
        ("Documents/Old/old1.txt", "text 1200", DID, "deleted-folder-in-live-folder"),
        ("Documents/Old/OLD2.TXT", "text 700", DID, "deleted-folder-in-live-folder"),
        ("Photos/IMG_0001.JPG", "jpeg 400x300", "live", "8.3"),
        ("Photos/IMG_0002.JPG", "jpeg 400x300", "deleted", "8.3"),
        ("Photos/Beach day.png", "png 200x150", "deleted", "longname"),
        ("Early/e.txt", "text 2100", DID, "deleted-root-folder folder-entry-in-root-cluster-2"),
        ("Trash/a.txt", "text 1000", DID, "deleted-root-folder folder-entry-in-third-root-cluster"),
        ("Trash/B.BIN", "bin 2000", DID, "deleted-root-folder folder-entry-in-third-root-cluster"),
        ("Trash/Inner/c.txt", "text 600", DID, "nested-deleted-folder"),
        ("Trash/Inner/Deep/d.txt", "text 3000", DID, "nested-deleted-folder depth-3"),
        ("Projects/velk/src/main.cpp", "text 2500", "live", "deep-path"),
        ("Projects/scratch.tmp", "bin 6000", "overwritten", "first-6-clusters-reused-by-Later/overwriter.txt"),
        ("Later/overwriter.txt", "text 3000", "live", "written-after-deletions"),
    ])
    # Everything is written first, deletions follow, one write after them. /Early's
    # entry sits in the root's first cluster, /Trash's in its third.
    v.mkdir("Later", "Early")
    for r in [f["Early/e.txt"]] + [r for r in m.rows[:-1] if r.path != "Early/e.txt"]:
        v.put(r.local, r.path)
    v.attr("HIDDEN.SYS", "+h", "+s")
    v.attr("RDONLY.TXT", "+r")
    v.rm(*[r.path for r in m.rows if r.state in ("deleted", "overwritten")])
    v.rmtree("Documents/Old", "Trash", "Early")
    # The overwrite: the next write lands on the first half of scratch.tmp.
    fat.set_fsinfo_hint(img, fat.first_cluster(img, "Projects/scratch.tmp") - 1)
    v.put(f["Later/overwriter.txt"].local, "Later/overwriter.txt")
    finish(s, m, img, "kind=32 bps=512 spc=1 rootents=0 clusters=80628 root_is_one_cluster=0")
    s.publish(name, img, m)


@image("fat", "fat16_32s")
def fat16_32s(s, name):
    # 16 KiB clusters and 512 root entries: the root directory is one cluster.
    img, v = new_fat(s, name, 64 << 20, "-F", "16", "-s", "32", "-r", "512", "-n", "VELKFAT16", "-i", "1D0CF016")
    m = s.manifest(name)
    f = files(s, m, 0, "f16/", [
        ("README.TXT", "text 800:Velk FAT16 test volume", "live", "8.3"),
        ("VICTIM.BIN", "bin 40000", "overwritten", "first-2-clusters-reused-by-DOCS/REPLACE.TXT"),
        ("REPORT.TXT", "text 5000:Annual report", "deleted", "8.3 no-longname first-char-lost"),
        ("Long File Name.txt", "text 20000", "deleted", "longname two-clusters"),
        ("PHOTO.JPG", "jpeg 512x384", "deleted", "8.3 multi-cluster"),
        ("ONE.BIN", "bin 1", "deleted", "one-byte"),
        ("CLUSTER.BIN", "bin 16384", "deleted", "exactly-one-cluster"),
        ("ZERO.DAT", "text 0", "deleted", "zero-size first-cluster-0"),
        ("OLDDATE.TXT", "text 3000", "deleted", "dated-2019 older-than-five-years"),
        ("DOCS/KEEP.TXT", "text 2500", "live", "8.3"),
        ("DOCS/NOTE.TXT", "text 1234", "deleted", "8.3 in-subfolder"),
        ("DOCS/Quarterly Report.pdf", "pdf:Quarterly report", "deleted", "longname in-subfolder"),
        ("DOCS/REPLACE.TXT", "text 20000", "live", "written-after-deletion"),
        ("OLD/A.TXT", "text 900", DID, "deleted-root-folder"),
        ("OLD/B.JPG", "jpeg 256x192", DID, "deleted-root-folder"),
        ("OLD/SUB/C.TXT", "text 17000", DID, "nested-deleted-folder"),
    ])
    for r in m.rows:
        if r.path != "DOCS/REPLACE.TXT":
            v.put(r.local, r.path, clock="2019-06-01 10:20:30" if r.path == "OLDDATE.TXT" else None)
    # VICTIM.BIN's clusters are the lowest free ones once it is gone, so the next
    # write takes them (its folder entry in the root stays deleted).
    v.rm("VICTIM.BIN")
    v.put(f["DOCS/REPLACE.TXT"].local, "DOCS/REPLACE.TXT")
    v.rm(*[r.path for r in m.rows if r.state == "deleted"])
    v.rmtree("OLD")
    finish(s, m, img, "kind=16 bps=512 spc=32 rootents=512 clusters=4092 root_is_one_cluster=1")
    # Every creation, write and access date has the year written; the five-year rule reads all three.
    fat.check_dates(img, 2026, {"?LDDATE.TXT": 2019})
    s.publish(name, img, m)


@image("fat", "fat16_8s")
def fat16_8s(s, name):
    # 4 KiB clusters: the 512-entry root (16 KiB) is four clusters long.
    img, v = new_fat(s, name, 20 << 20, "-F", "16", "-s", "8", "-r", "512", "-n", "VELKF16S8", "-i", "1D0C0F08")
    m = s.manifest(name)
    files(s, m, 0, "f16s8/", [
        ("README.TXT", "text 600", "live", "8.3"),
        ("GONE.TXT", "text 9000:Deleted from the root", "deleted", "8.3 multi-cluster"),
        ("Garden photo.jpg", "jpeg 320x240", "deleted", "longname"),
        ("WORK/KEEP.TXT", "text 1000", "live", "8.3"),
        ("WORK/SUB.TXT", "text 5000", "deleted", "8.3 in-subfolder"),
        ("TMP/X.TXT", "text 4096", DID, "exactly-one-cluster"),
        ("TMP/Y.BIN", "bin 3000", DID, "8.3"),
    ])
    for r in m.rows:
        v.put(r.local, r.path)
    v.rm("GONE.TXT", "Garden photo.jpg", "WORK/SUB.TXT")
    v.rmtree("TMP")
    finish(s, m, img, "kind=16 bps=512 spc=8 rootents=512 clusters=5109 root_is_one_cluster=0")
    s.publish(name, img, m)


@image("fat", "fat32_formatted")
def fat32_formatted(s, name):
    mkfs = ("-F", "32", "-s", "1", "-n", "VELKFMT32", "-i", "1D0CF0F0")
    img, v = new_fat(s, name, 40 << 20, *mkfs)
    m = s.manifest(name)
    files(s, m, 0, "fmt/", [
        ("ROOTNOTE.TXT", "text 1500", "overwritten", "root-folder-wiped-by-format"),
        ("Photos/DSC_1001.JPG", "jpeg 480x360", "formatted", "8.3"),
        ("Photos/Family dinner.jpg", "jpeg 480x360", "formatted", "longname"),
        ("Photos/map.png", "png 240x180", "formatted"),
        ("Documents/todo.txt", "text 2200:Things to do", "formatted"),
        ("Documents/Invoice-2025-117.pdf", "pdf:Invoice 2025-117", "formatted"),
        ("Documents/Project plan.docx", "docx:Project plan", "formatted"),
        ("Documents/OLD.TXT", "text 3300", "formatted", "deleted-before-format"),
        ("Documents/2025/expenses.csv", "text 7000", "formatted", "nested-folder"),
        ("Documents/2025/Tax return notes.txt", "text 2600", "formatted", "nested-folder"),
        ("Music/tone.wav", "wav 32044", "formatted"),
        # 31 empty files and the dot entries: 33 slots, three consecutive clusters
    ] + [(f"Many/E{i:02d}.TXT", "text 0", "formatted", "zero-size folder-of-three-clusters") for i in range(1, 32)])
    for r in m.rows:
        v.put(r.local, r.path)
    v.rm("Documents/OLD.TXT")
    ch = fat.Fat(img).chain(fat.first_cluster(img, "Many"))
    if len(ch) != 3 or ch != list(range(ch[0], ch[0] + 3)):
        fail(f"/Many is not three consecutive clusters: {ch}")
    pre = s.path(name + ".pre.img")
    shutil.copyfile(img, pre)
    # Quick format with the same geometry: FATs and root cleared, data kept.
    s.frozen("mkfs.vfat", *mkfs, img)
    # After the format only the label may be in the root and every FAT entry past the root is free.
    left = [ln for ln in s.run("fls", img).splitlines()
            if not any(k in ln for k in ("Volume Label Entry", "$MBR", "$FAT", "$OrphanFiles"))]
    if left:
        fail(f"entries left in the root after the format: {left}")
    fs = fat.Fat(img)
    if any(fs.fat[c] for c in range(3, fs.nclusters + 2)):
        fail("FAT not empty after the format")
    finish(s, m, img, "kind=32 bps=512 spc=1 rootents=0 clusters=80628 root_is_one_cluster=0", pre=pre)
    s.publish(name, img, m)

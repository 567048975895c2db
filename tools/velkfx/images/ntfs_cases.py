"""NTFS volumes for the cases a plain volume does not show: MFT records of 4 KiB,
file names lost to an emptied extension record, a parent record reused by a new folder,
a damaged MFT record 0 with an intact $MFTMirr. mkntfs and ntfs-3g make them."""

import os
import struct

from .. import ntfs, tsk
from ..manifest import fail
from . import image
from .ntfs_images import Mounted, put

DID = "deleted-in-deleted-folder"


def boot_byte(img, offset):
    with open(img, "rb") as f:
        f.seek(offset)
        return f.read(1)[0]


@image("ntfscases", "ntfs_rec4k", "ntfs_rec4k_c8k", ntfs_rec4k=("4096", 0x01), ntfs_rec4k_c8k=("8192", 0xF4))
def ntfs_rec4k(s, name, cluster, byte40):
    """4 KiB MFT records as `mkntfs -s 4096` writes them: with 4 KiB clusters boot byte
    0x40 is +1 (one cluster per record), with 8 KiB clusters it is 0xF4 (2^12 bytes)."""
    s.require("mkntfs", "ntfs-3g", "ntfsinfo", "ntfsfix", "icat", root=True)
    img = s.path(name + ".img")
    ntfs.mkntfs(s, img, 24 << 20, "VELK-REC4K", "-s", "4096", cluster=cluster)
    if (struct.unpack_from("<H", open(img, "rb").read(16), 11)[0], boot_byte(img, 0x40)) != (4096, byte40):
        fail(f"{name}: boot sector does not say 4096-byte sectors and record size byte 0x{byte40:02x}")
    m = s.manifest(name)
    with Mounted(s, img, name) as v:
        v.mkdir("Documents", "Old Folder/Inner")
        put(s, m, v, name, [("readme.txt", "note 1500", "live"),
                            # 2000 bytes stay resident in a 4 KiB record (not in a 1 KiB one)
                            ("two k resident.txt", "note 2000", "deleted", "resident-only-in-4k-record"),
                            ("tiny.txt", "note 90", "deleted"),
                            ("photo.jpg", "shapes.jpeg 320x240", "deleted"),
                            ("video part.bin", "lines 300000", "deleted"),
                            ("Documents/report.txt", "note 9000", "deleted"),
                            ("Documents/kept.txt", "note 3000", "live"),
                            ("Old Folder/a.txt", "note 5000", DID),
                            ("Old Folder/b small.txt", "note 300", DID),
                            ("Old Folder/Inner/c.txt", "note 7000", DID)])
    ntfs.snapshot_info(s, img, m.rows)
    with Mounted(s, img, name) as v:
        v.rm(*[r.path for r in m.rows if r.state == "deleted"], "Old Folder")
    ntfs.fsck(s, img)
    vol = ntfs.Ntfs(img)
    if vol.rs != 4096:
        fail(f"{name}: records of {vol.rs} bytes")
    m.rows = ntfs.check(img, m.rows, vol=vol)
    for r in m.rows:
        r.note("record-size=4096")
    s.publish(name, img, m)


@image("ntfscases", "ntfs_lost_names")
def ntfs_lost_names(s, name):
    """Two deletions whose names no longer lead to their records.

    Links/original.txt got 30 hard links with long names: its $FILE_NAME attributes
    overflowed into extension records (an attribute list). The names in the base record
    were unlinked first and the last one from an extension record, so when the file went
    the base record kept no name and the extension records were freed empty.

    Old Stuff/ and its files were deleted, then New Folder/ was made and took Old Stuff's
    record: the files' parent references name that record with the old sequence number."""
    s.require("mkntfs", "ntfs-3g", "ntfsinfo", "ntfsfix", "icat", "fls", root=True)
    img = s.path(name + ".img")
    ntfs.mkntfs(s, img, 16 << 20, "VELK-LOST")
    m = s.manifest(name)
    links = [f"Links/a hard link with a rather long name number {i:02d}.txt" for i in range(1, 31)]
    with Mounted(s, img, name) as v:
        v.mkdir("Links", "Old Stuff", "Live")
        put(s, m, v, name, [("Links/original.txt", "note 20000", "deleted", "hard-links=31 name-lost"),
                            ("Old Stuff/a.txt", "note 6000", "deleted", "parent-reused"),
                            ("Old Stuff/b.txt", "note 300", "deleted", "parent-reused"),
                            ("Live/keep.txt", "note 3000", "live")])
        for link in links:
            s.run("ln", v.at("Links/original.txt"), v.at(link))
        orig, old = (os.stat(v.at(p)).st_ino for p in ("Links/original.txt", "Old Stuff"))
    vol = ntfs.Ntfs(img)
    base = vol.record(orig)
    in_base = {a["value"][0x42:0x42 + 2 * a["value"][0x40]].decode("utf-16-le") for a in base["attrs"] if a["type"] == 0x30}
    if not base["attrlist"] or len(in_base) >= 31:
        fail(f"{name}: the names did not overflow into extension records")
    last = [p for p in links if p.rsplit("/", 1)[1] not in in_base][-1]
    # (ntfsinfo counts the runs of a file with an attribute list differently: not compared)
    ntfs.snapshot_info(s, img, [r for r in m.rows if r.path != "Links/original.txt"])
    with Mounted(s, img, name) as v:
        order = sorted(["Links/original.txt"] + links, key=lambda p: (p.rsplit("/", 1)[1] not in in_base, p == last))
        for p in order:
            v.rm(p)
        v.rm("Old Stuff")
        v.mkdir("New Folder")
        if os.stat(v.at("New Folder")).st_ino != old:
            fail(f"{name}: New Folder did not take Old Stuff's record {old}")
    ntfs.fsck(s, img)
    vol = ntfs.Ntfs(img)
    rec = vol.record(orig)
    if rec["inuse"] or rec["names"] or any(vol.record(n) and vol.record(n)["inuse"] for n in range(vol.nrec)
                                           if vol.record(n) and vol.record(n)["base"] & 0xFFFFFFFFFFFF == orig):
        fail(f"{name}: record {orig} still has a name or a live extension record")
    by_path = {r.path: r for r in m.rows}
    by_path["Links/original.txt"].facts["record"] = orig
    new = vol.record(old)
    for p in ("Old Stuff/a.txt", "Old Stuff/b.txt"):
        by_path[p].facts["parent_reused"] = True
    m.rows = ntfs.check(img, m.rows, vol=vol)
    ents = tsk.fls(img)
    for r in m.rows:
        n = r.facts["n"]
        if r.state != "live":
            where = [e["path"] for e in ents if e["inode"].split("-")[0] == str(n)]
            r.note("tsk-lists-in-" + ("orphans" if any(w.startswith("$OrphanFiles") for w in where)
                                      else "new-folder" if any(w.startswith("New Folder/") for w in where)
                                      else "links" if any(w.startswith("Links/") for w in where) else "nothing"))
        if "parent-reused" in r.notes:
            old_seq = vol.record(n)["parent_seq"]
            if new["seq"] == old_seq or not new["inuse"] or new["name"] != "New Folder":
                fail(f"{r.path}: record {old} is not a live New Folder with another sequence number")
            r.note(f"parent-record={old}", f"parent-seq={old_seq}", f"record-now-seq={new['seq']}")
    s.publish(name, img, m)

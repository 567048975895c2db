"""Unpartitioned EXT volumes made by mke2fs.

ext2_deleted(_i256): 16 MiB ext2, 1 KiB blocks, 128-byte (256-byte) inodes, a
16-character label. Files placed and deleted with debugfs, which frees the inode
but leaves its size and block map (the kernel would zero them): direct, single-
and double-indirect files, an empty file, a file deleted more than five years
before the fixture date, a removed folder; some live files. The first file is
inode 12.

ext3_1k / ext3_4k / ext3_1k_i128: filled and emptied through one kernel mount
with a sync after every step, so the journal keeps the older copies of
inode-table and folder blocks."""

import os

from .. import ext
from ..manifest import fail
from ..session import Folder
from . import files, image

DID = "deleted-in-deleted-folder"
HASH_SEED = "hash_seed=0d1e2f30-4152-4637-8899-aabbccddeeff"


@image("ext", "ext2_deleted", "ext2_deleted_i256", ext2_deleted=(128, "6f1c2a3b-4d5e-4f60-8172-93a4b5c6d7e8"),
       ext2_deleted_i256=(256, "6f1c2a3b-4d5e-4f60-8172-256a4b5c6d7e"))
def ext2_deleted(s, name, isz, uuid):
    s.require("mke2fs", "debugfs", "e2fsck", "icat")
    img = s.path(name + ".img")
    ext.mke2fs(s, img, 16 << 20, "-t", "ext2", "-b", "1024", "-I", isz, "-m", "0", "-L", "VELKLABEL16CHARS",
               "-U", uuid, "-E", "root_owner=0:0," + HASH_SEED)
    # The label takes all 16 bytes of its field: no room for a terminating zero.
    if open(img, "rb").read(1024 + 0x88)[-16:] != b"VELKLABEL16CHARS":
        fail(f"{name}: label not stored as expected")
    m = s.manifest(name)
    files(s, m, 0, name + "/", [
        ("small.txt", "note 700", "deleted"),  # the first file: inode 12, right after lost+found
        ("twelve blocks.bin", "noise 12288", "deleted"),
        ("thirteen.txt", "note 13000", "deleted"),
        ("seventy.txt", "note 70000", "deleted"),
        ("boundary 268.txt", "note 274432", "deleted"),
        ("double.txt", "note 300000", "deleted"),
        ("photo.jpg", "shapes.jpeg 320x240", "deleted"),
        ("empty.txt", "note 0", "deleted"),
        ("docs/letter.txt", "note 4321", "deleted"),
        ("docs/notes.txt", "note 2222", "live"),
        ("old folder/inside.txt", "note 3000", DID),
        ("readme.txt", "note 1500", "live"),
        ("ancient.txt", "note 5000", "deleted", "dtime-2020-01-02-over-five-years"),
    ], full_path=True)
    cmds = []
    for r in m.rows:
        d = "/" + r.path.rpartition("/")[0]
        cmds += [f'cd "{d}"', f'write "{r.local}" "{r.path.rpartition("/")[2]}"', "cd /"]
        if r.path == "small.txt":
            cmds += ["mkdir docs", 'mkdir "old folder"']
    ext.debugfs(s, img, cmds)
    live = ext.Ext(img).walk()
    for r in m.rows:
        if r.path not in live:
            fail(f"{r.path} was not written")
        r.facts["inode"] = live[r.path]
    # debugfs rm keeps block map and size; paths with spaces must be quoted, or rm
    # silently does nothing.
    ext.debugfs(s, img, [f'rm "/{r.path}"' for r in m.rows if r.state == "deleted" and r.path != "ancient.txt"]
                + ['rm "/old folder/inside.txt"', 'rmdir "/old folder"'])
    # This one is deleted six years before the fixture date.
    ext.debugfs(s, img, ['rm "/ancient.txt"'], clock="2020-01-02 03:04:05", env={"E2FSPROGS_FAKE_TIME": "1577934245"})
    ext.fsck(s, img)
    ext.check(img, m.rows, debugfs=True, tsk=True)
    s.publish(name, img, m)


@image("ext", "ext3_1k", "ext3_4k", "ext3_1k_i128",
       ext3_1k=(1024, 256, 20, "3e1f0a2b-1c3d-4e5f-8a6b-1024a0b1c2d3"),
       ext3_4k=(4096, 256, 64, "3e1f0a2b-1c3d-4e5f-8a6b-4096a0b1c2d3"),
       ext3_1k_i128=(1024, 128, 20, "3e1f0a2b-1c3d-4e5f-8a6b-0128a0b1c2d3"))
def ext3_images(s, name, bs, isz, mib, uuid):
    s.require("mke2fs", "debugfs", "e2fsck", "losetup", root=True)
    img = s.path(name + ".img")
    ext.mke2fs(s, img, mib << 20, "-t", "ext3", "-b", bs, "-I", isz, "-m", "0", "-L", f"VELK-EXT3-{bs}", "-U", uuid,
               "-E", "root_owner=0:0,lazy_itable_init=0,lazy_journal_init=0," + HASH_SEED)
    m = s.manifest(name)
    dev = s.loop(img)
    # One mount session for everything: a new session starts writing the journal from
    # its first block again, over the older copies. A long commit interval: transactions
    # end at our syncs, not on a timer.
    v = Folder(s, s.mount(dev, os.path.join(s.work, "mnt", name), "-t", "ext3", "-o", "data=ordered,commit=300"))

    def put(*recipe):
        for path, r in files(s, m, 0, name + "/", recipe, full_path=True).items():
            r.facts["inode"] = v.put(r.local, path)
        v.sync()
    v.mkdir("docs", "many files")
    v.sync()
    put(("small.txt", "note 700", "deleted"), ("Report.PDF", "note 9000", "deleted"))
    put(("thirteen.txt", "note 13000", "deleted"), ("double.txt", "note 300000", "deleted"))
    put(("photo.jpg", "shapes.jpeg 320x240", "deleted"), ("docs/letter.txt", "note 4321", "deleted"),
        ("docs/keep.txt", "note 2000", "live"), ("readme.txt", "note 1500", "live"))
    if bs == 4096:  # past the single-indirect region of 4 KiB blocks (12 + 1024 blocks)
        put(("past single indirect.txt", "lines 4500000", "deleted"))
    # Enough entries with long names that the folder outgrows its first block.
    put(*[(f"many files/entry {k:03d} with a name long enough to fill the folder quickly, so that it needs more "
           "than one block.txt", "note 100", "live") for k in range(40)],
        ("many files/late entry.txt", "note 6000", "deleted"))
    for r in m.rows:  # deletions, one transaction each
        if r.state == "deleted":
            v.rm(r.path)
            v.sync()
    s.umount(v.root)
    s.unloop(dev)
    ext.fsck(s, img)
    ext.check(img, m.rows, journal=True, debugfs=True)
    s.publish(name, img, m)

"""EXT volumes filled and emptied through the kernel's driver with a sync after every
step, so files come back only through older inode copies in the journal: ext4 with
mke2fs's default features, and an ext3 volume whose files were still growing."""

import os

from .. import ext, tsk
from ..manifest import fail
from ..session import Folder
from . import files, image

DID = "deleted-in-deleted-folder"
E_OPTS = "root_owner=0:0,lazy_itable_init=0,lazy_journal_init=0,hash_seed=0d1e2f30-4152-4637-8899-aabbccddeeff"


class Mount:
    """A loop mount of a volume being built; put() notes the inode number of each row."""

    def __init__(self, s, m, img, fstype):
        self.s, self.m, self.img, self.fstype = s, m, img, fstype

    def __enter__(self):
        self.dev = self.s.loop(self.img)
        where = os.path.join(self.s.work, "mnt", self.m.name)
        self.v = Folder(self.s, self.s.mount(self.dev, where, "-t", self.fstype, "-o", "data=ordered,commit=300"))
        return self

    def __exit__(self, *exc):
        if not exc[0]:
            self.s.umount(self.v.root)
            self.s.unloop(self.dev)

    def put(self, *recipe, write=True):
        """Adds rows (path, content, state[, notes]) and writes them; one transaction."""
        rows = files(self.s, self.m, 0, self.m.name + "/", recipe, full_path=True)
        for path, r in rows.items():
            if write:
                r.facts["inode"] = self.v.put(r.local, path)
        if write:
            self.v.sync()
        return rows

    def grow(self, rows, cuts):
        """Writes the rows piece by piece (each ends at the next cut), in turn, with a sync
        after every piece: each piece is a transaction of its own."""
        for a, b in zip([0] + cuts, cuts + [None]):
            for r in rows:
                with open(r.local, "rb") as src, open(self.v.at(r.path), "ab") as dst:
                    src.seek(a)
                    dst.write(src.read() if b is None else src.read(b - a))
                self.v.sync()
        for r in rows:
            r.facts["inode"] = os.stat(self.v.at(r.path)).st_ino

    def rm(self, *paths):
        for p in paths:  # one transaction each
            self.v.rm(p)
            self.v.sync()


@image("extcases", "ext4_deleted")
def ext4_deleted(s, name):
    """ext4 as `mke2fs -t ext4` makes it (extents, 64bit, flex_bg, metadata_csum), 4 KiB
    blocks. A deleted file whose three extents interleave with a live file's, and a
    deleted sparse file of 5 GiB with data at its start and its end only."""
    s.require("mke2fs", "debugfs", "e2fsck", "losetup", "fls", root=True)
    img = s.path(name + ".img")
    ext.mke2fs(s, img, 32 << 20, "-t", "ext4", "-b", "4096", "-m", "0", "-L", "VELK-EXT4",
               "-U", "4e1f0a2b-1c3d-4e5f-8a6b-e4e4a0b1c2d3", "-E", E_OPTS)
    feats = s.run("dumpe2fs", "-h", img)
    for f in ("extent", "64bit", "flex_bg", "metadata_csum"):
        if f not in feats.split("Filesystem features:")[1].splitlines()[0].split():
            fail(f"{name}: mke2fs -t ext4 did not give {f}")
    m = s.manifest(name)
    huge = s.path("src", name, "huge sparse.bin")
    with open(huge, "wb") as f:  # 5 GiB and a bit: data at the start and at the end only
        f.write(open(s.gen("note 65536", f"{name}/huge.head"), "rb").read())
        f.seek((5 << 30) + 4321 - 100000)
        f.write(open(s.gen("noise 100000", f"{name}/huge.tail"), "rb").read())
    with Mount(s, m, img, "ext4") as mt:
        mt.v.mkdir("docs", "old")
        mt.v.sync()
        mt.put(("readme.txt", "note 1500", "live"), ("docs/keep.txt", "note 2000", "live"),
               ("small.txt", "note 700", "deleted"), ("photo.jpg", "jpeg 640x480 g3", "deleted"),
               ("docs/letter.txt", "note 4321", "deleted"), ("old/a.txt", "note 3000", DID),
               ("old/b.pdf", "pdf:Old minutes", DID))
        r = m.add(0, "huge sparse.bin", huge, "deleted", "sparse over-4gib")
        r.facts["inode"] = mt.v.put(huge, r.path)
        mt.v.sync()
        # Written in three pieces, each synced, in turn with a live file: small files
        # share the allocator's group preallocation, so the pieces interleave (three
        # extents in the inode, no index block).
        frag, kept = mt.put(("fragmented.txt", "lines 122880", "deleted"), ("docs/interleaved.log", "note 122880", "live"),
                            write=False).values()
        mt.grow([frag, kept], [40960, 81920])
        vol = ext.Ext(img)
        for r in (frag, kept):
            exts, meta = vol.mapping(vol.parse_inode(vol.inode_raw(r.facts["inode"])))
            if len(exts) != 3 or meta:
                fail(f"{r.path} has {len(exts)} extents ({len(meta)} index blocks), not three in its inode")
            r.note("fragmented extents=3")
        mt.rm("small.txt", "photo.jpg", "docs/letter.txt", "huge sparse.bin", "fragmented.txt", "old")
    ext.fsck(s, img)
    ext.check(img, m.rows, journal=True, debugfs=True)
    tsk.check(img, m.rows, unlisted_ok=True, skip_data_for=("deleted", DID))
    s.publish(name, img, m)


@image("extcases", "ext3_growing")
def ext3_growing(s, name):
    """EXT3 (4 KiB blocks) whose deleted files were still growing: written, synced,
    appended to, synced, then deleted. The journal holds the older, smaller copies of
    their inodes before the final ones; the rows give the final size and hash."""
    s.require("mke2fs", "debugfs", "e2fsck", "losetup", "fls", root=True)
    img = s.path(name + ".img")
    ext.mke2fs(s, img, 16 << 20, "-t", "ext3", "-b", "4096", "-I", "256", "-m", "0", "-L", "VELK-GROW",
               "-U", "3e1f0a2b-1c3d-4e5f-8a6b-67c0a0b1c2d3", "-E", E_OPTS)
    m = s.manifest(name)
    with Mount(s, m, img, "ext3") as mt:
        mt.v.mkdir("DCIM", "notes")
        mt.v.sync()
        mt.put(("readme.txt", "note 1500", "live"), ("whole.txt", "note 9000", "deleted"))
        photo, = mt.put(("DCIM/IMG_2001.JPG", "jpeg 1024x768 g9", "deleted", "grown-in-2-writes"), write=False).values()
        if not 160000 < photo.size < 400000:
            fail(f"the photo is {photo.size} bytes, not a little more than 128 KiB")
        mt.grow([photo], [131072])
        log, = mt.put(("notes/journal.txt", "note 150000", "deleted", "grown-in-3-writes"), write=False).values()
        mt.grow([log], [40000, 90000])
        mt.rm("whole.txt", "DCIM/IMG_2001.JPG", "notes/journal.txt")
    ext.fsck(s, img)
    ext.check(img, m.rows, journal=True, debugfs=True)
    tsk.check(img, m.rows, unlisted_ok=True, skip_data_for=("deleted",))
    s.publish(name, img, m)

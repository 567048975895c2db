"""Unpartitioned NTFS volumes made by mkntfs and filled through ntfs-3g.

ntfs_deleted: deleted files in the root, in live and in deleted folders; resident,
sparse, fragmented and compressed files; alternate data streams; names with spaces
and non-ASCII letters; some live files. ntfs_formatted: a volume filled with folders
and files, then given a new empty file system by a quick mkntfs over it."""

import base64
import os

from .. import ntfs
from ..manifest import fail
from ..session import Folder
from . import files, image

OPTS = "streams_interface=xattr,compression"
DID = "deleted-in-deleted-folder"


def concat(s, path, *parts):
    """A local file made of generated parts: (content recipe, seed) each."""
    out = s.path("src", path)
    with open(out, "wb") as f:
        for recipe, seed in parts:
            f.write(open(s.gen(recipe, seed), "rb").read())
    return out


class Mounted:
    """One ntfs-3g mount of the volume being built."""

    def __init__(self, s, img, name):
        self.s, self.img, self.where = s, img, s.path("mnt", name)

    def __enter__(self):
        self.proc = self.s.ntfs_mount(self.img, self.where, OPTS)
        return Folder(self.s, self.where)

    def __exit__(self, *exc):
        if not exc[0]:
            self.s.fuse_umount(self.where, self.proc)


def put(s, m, v, name, recipe):
    for path, r in files(s, m, 0, name + "/", recipe, full_path=True).items():
        v.put(r.local, path)


@image("ntfs", "ntfs_deleted")
def ntfs_deleted(s, name):
    s.require("mkntfs", "ntfs-3g", "ntfsinfo", "ntfsfix", "setfattr", "getfattr", "icat", root=True)
    img = s.path(name + ".img")
    ntfs.mkntfs(s, img, 24 << 20, "VELK-NTFS-DEL")
    m = s.manifest(name)

    def stream(v, path, sname, size):
        """An alternate data stream, through the xattr interface."""
        src = s.gen(f"note {size}", f"{name}/{path}:{sname}")
        s.run("setfattr", "-n", "user." + sname, "-v", "0s" + base64.b64encode(open(src, "rb").read()).decode(),
              v.at(path))
        if s.run("getfattr", "--absolute-names", "--only-values", "-n", "user." + sname, v.at(path),
                 text=False) != open(src, "rb").read():
            fail(f"stream {path}:{sname} did not read back")
        m.add(0, f"{path}:{sname}", src, "deleted")

    # --- session 1: folders and the files under test
    with Mounted(s, img, name) as v:
        v.mkdir("Documents", "Deleted Folder/Nested Inner", "Compressed", "Live", "Spacers")
        s.run("setfattr", "-n", "system.ntfs_attrib_be", "-v", "0x00000800", v.at("Compressed"))
        put(s, m, v, name, [("report 2025.txt", "note 12000", "deleted"),
                            ("Überweisung März.txt", "note 5000", "deleted"),
                            ("日本語 メモ.txt", "note 3100", "deleted"),
                            ("tiny.txt", "note 90", "deleted"),
                            ("small note.txt", "note 480", "deleted"),
                            ("photo one.jpg", "shapes.jpeg 320x240", "deleted"),
                            ("with stream.txt", "note 2000", "deleted")])
        stream(v, "with stream.txt", "secret", 150)
        put(s, m, v, name, [("tiny stream.txt", "note 200", "deleted")])
        stream(v, "tiny stream.txt", "meta", 60)
        put(s, m, v, name, [("readme.txt", "note 1500", "live")])
        # Sparse: 1 MiB long, data only at 0-64 KiB and 512-576 KiB.
        sparse = s.path("src", name, "sparse.dat")
        with open(sparse, "wb") as f, open(v.at("sparse.dat"), "wb") as g:
            f.truncate(1 << 20)
            g.truncate(1 << 20)
            for at, recipe in ((0, "noise 65536"), (8, "note 65536")):
                part = open(s.gen(recipe, f"{name}/sparse.dat.part{1 + at // 8}"), "rb").read()
                for h in (f, g):
                    h.seek(at << 16)
                    h.write(part)
        m.add(0, "sparse.dat", sparse, "deleted")
        put(s, m, v, name, [("Documents/letter.txt", "note 7000", "deleted"),
                            ("Documents/picture.png", "shapes.png 200x150", "deleted"),
                            ("Documents/budget 2026.csv", "note 3000", "live"),
                            ("Deleted Folder/a.txt", "note 9000", DID),
                            ("Deleted Folder/b.bin", "noise 20000", DID),
                            ("Deleted Folder/Nested Inner/c.txt", "note 4000", DID),
                            ("Deleted Folder/Nested Inner/d résumé.txt", "note 300", DID),
                            # Compression units are 16 clusters (64 KiB). Random data does not
                            # compress, so its unit is stored raw; text units are stored as LZNT1.
                            ("Compressed/big text.txt", "note 204800", "deleted")])
        # A short random tail still fits in fewer clusters than a unit once written as
        # uncompressed LZNT1 chunks, so that unit is LZNT1 too.
        for path, a, b in (("raw then lznt1.bin", ("noise 65536", "rtl.a"), ("note 65536", "rtl.b")),
                           ("lznt1 then raw.bin", ("note 65536", "ltr.a"), ("noise 65536", "ltr.b")),
                           ("short tail.bin", ("note 65536", "st.a"), ("noise 40000", "st.b"))):
            local = concat(s, f"{name}/Compressed/{path}", (a[0], f"{name}/{a[1]}"), (b[0], f"{name}/{b[1]}"))
            v.put(local, "Compressed/" + path)
            m.add(0, "Compressed/" + path, local, "deleted")
        put(s, m, v, name, [("Compressed/kept.txt", "note 100000", "live"), ("Live/keep.txt", "note 5000", "live"),
                            ("Live/photo.jpg", "shapes.jpeg 240x180", "live")])

    # --- session 2: fill the rest with spacer files, large ones first, 256 KiB ones at the end.
    spacers = []
    with Mounted(s, img, name) as v:
        while True:
            st = os.statvfs(v.root)
            free = st.f_bavail * st.f_frsize
            if free < 2 * 262144:
                break
            path = f"Spacers/spacer {len(spacers):03d}.bin"
            spacers += files(s, m, 0, name + "/", [(path, f"spacer {1 << 20 if free >= 4 << 20 else 262144}",
                                                    "live", "spacer")], full_path=True).values()
            v.put(spacers[-1].local, path)
    # --- session 3: free every other one of the last twelve; the checks decide whether
    # fragmented.txt took their clusters.
    with Mounted(s, img, name) as v:
        for r in spacers[-11::2]:
            v.rm(r.path)
            r.state = "auto"
    # --- session 4: a file larger than any hole, so it is spread over them.
    with Mounted(s, img, name) as v:
        put(s, m, v, name, [("fragmented.txt", "lines 1100000", "deleted")])
    ntfs.snapshot_info(s, img, m.rows)
    # --- session 5: deletions.
    with Mounted(s, img, name) as v:
        v.rm(*[r.path for r in m.rows if r.state == "deleted" and ":" not in r.path], "Deleted Folder")
    ntfs.fsck(s, img)
    m.rows = ntfs.check(img, m.rows)
    s.publish(name, img, m)


@image("ntfs", "ntfs_formatted")
def ntfs_formatted(s, name):
    s.require("mkntfs", "ntfs-3g", "ntfsinfo", "ntfsfix", "fls", root=True)
    img = s.path(name + ".img")
    ntfs.mkntfs(s, img, 16 << 20, "VELK-NTFS-OLD")
    m = s.manifest(name)
    with Mounted(s, img, name) as v:
        v.mkdir("Projects/Velk/Notes", "Photos 2025", "Archive", "Straße")
        put(s, m, v, name, [(p, recipe, "formatted") for p, recipe in [
            ("index.txt", "note 800"), ("tiny.txt", "note 120"), ("Projects/plan.txt", "note 30000"),
            ("Projects/Velk/design notes.txt", "note 150000"), ("Projects/Velk/Notes/day 1.txt", "note 2500"),
            ("Projects/Velk/Notes/day 2.txt", "note 600")] + [
            (f"Photos 2025/IMG_000{k}.jpg", f"shapes.jpeg {200 + 40 * k}x{150 + 30 * k}") for k in range(1, 5)] + [
            ("Photos 2025/scan.png", "shapes.png 180x120"), ("Archive/data.bin", "noise 100000"),
            ("Archive/log 2024.txt", "lines 1500000"), ("Straße/Ärger.txt", "note 4000")]])
    ntfs.snapshot_info(s, img, m.rows)
    # Quick format over the populated volume.
    s.frozen("mkntfs", "-q", "-F", "-f", "-c", "4096", "-L", "VELK-NTFS-NEW", img)
    ntfs.fsck(s, img)
    ntfs.check(img, m.rows, formatted=True)
    # The new file system must not list the old files.
    if any(k in s.run("fls", "-r", "-p", img) for k in ("plan.txt", "IMG_0001")):
        fail(f"{name}: the new file system still lists old files")
    s.publish(name, img, m)

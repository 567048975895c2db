"""NTFS volumes for the cases a plain volume does not show: MFT records of 4 KiB,
file names lost to an emptied extension record, a parent record reused by a new folder,
a damaged MFT record 0 with an intact $MFTMirr. mkntfs and ntfs-3g make them."""

import struct

from .. import ntfs
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

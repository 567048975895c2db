"""FAT volumes made the way people's volumes are made, each for one recovery case
(mkfs.vfat and mtools; direct edits only where the case needs what Windows does and
mtools cannot, each one named where it happens)."""

import os
import shutil

from .. import fat, tsk
from ..manifest import fail
from ..session import patch
from . import files, image

DID = "deleted-in-deleted-folder"


def new_fat(s, name, size, *mkfs):
    img = s.blank(name + ".img", size)
    s.frozen("mkfs.vfat", *mkfs, img)
    return img, fat.Mtools(s, img)


@image("fatcases", "fat32_bigdir")
def fat32_bigdir(s, name, count=3000):
    """A deleted folder of 3,000 long-named files on 4 KiB clusters: its clusters are
    contiguous and free after the deletion, so a reader that follows the free clusters
    after the first one finds every entry."""
    img, v = new_fat(s, name, 264 << 20, "-F", "32", "-s", "8", "-n", "VELKBIGDIR", "-i", "1D0CB16D")
    m = s.manifest(name)
    files(s, m, 0, name + "/", [("README.TXT", "text 600:A folder of many long names", "live", "8.3"),
                                ("Kept/notes.txt", "text 3000", "live")], full_path=True)
    # The names differ in their first characters, so mtools finds a free short name
    # (1234TR~1.TXT) at its first try, not after trying every numeric tail in turn.
    big = [(f"Big/{i:04d} trip notes with a long name.txt", f"spacer {200 + (i * 37) % 600}", DID, "longname")
           for i in range(1, count + 1)]
    rows = list(files(s, m, 0, name + "/", big, full_path=True).values())
    for r in m.rows[:2]:
        v.put(r.local, r.path)
    # The folder grows a cluster at a time as entries are added; mtools takes each new
    # cluster after the last one it allocated, so entries written together with their
    # data would interleave folder and data clusters. Empty files first (no data) grow
    # the folder over consecutive clusters; deleting them leaves the slots, which the
    # real files (same names, same order) take again.
    empty = s.path("empty", "x")
    open(empty, "wb").close()
    stage = os.path.dirname(empty)
    for r in rows:
        os.link(empty, os.path.join(stage, os.path.basename(r.path)))
    v.mkdir("Big")
    s.frozen("mcopy", "-i", img, *[os.path.join(stage, os.path.basename(r.path)) for r in rows], "::/Big/")
    s.frozen("mdel", "-i", img, *["::/" + r.path for r in rows])
    for r in rows:
        os.replace(r.local, os.path.join(stage, os.path.basename(r.path)))
        r.local = os.path.join(stage, os.path.basename(r.path))
    s.frozen("mcopy", "-i", img, *[r.local for r in rows], "::/Big/")
    first = fat.first_cluster(img, "Big")
    chain = fat.Fat(img).chain(first)
    if len(chain) < 32 or chain != list(range(first, first + len(chain))):
        fail(f"/Big is not a long run of consecutive clusters: {chain[:5]}... ({len(chain)})")
    v.rmtree("Big")
    fs = fat.Fat(img)
    if any(fs.fat[c] for c in chain):
        fail("/Big's clusters are not free after the deletion")
    s.run("fsck.fat", "-n", img)
    fat.check(img, m.rows, spans={first: len(chain)})
    # fls reads a deleted folder's first cluster only and lists the other entries it
    # finds in free clusters under $OrphanFiles by their short names (first character
    # lost, so not unique): each row is either in its folder or has an orphan whose
    # bytes, read by icat, are its own.
    ents = tsk.fls(img)
    orphans = {tsk.icat_sha(img, 0, e["inode"]) for e in ents if e["path"].startswith("$OrphanFiles/") and e["deleted"]}
    in_folder = {e["path"] for e in ents if e["path"].startswith("Big/") and e["deleted"]}
    for r in rows:
        if r.path not in in_folder and r.sha not in orphans:
            fail(f"{r.path}: fls lists it neither in its folder nor as an orphan that icat reads")
    tsk.check(img, [r for r in m.rows if r.path in in_folder or r not in rows])
    for r in rows:
        r.note(f"folder-clusters={len(chain)}", f"tsk-listed={len(in_folder) + len(orphans & {x.sha for x in rows})}",
               "tsk-in-folder" if r.path in in_folder else "tsk-orphan")
    s.publish(name, img, m)


@image("fatcases", "fat32_hiword")
def fat32_hiword(s, name):
    """FAT32 with more than 65,535 clusters whose deleted files lie above cluster 65535,
    their entries edited after mtools deleted them as Windows deletes: the high word of
    the start cluster (entry bytes 20-21) cleared. Three low words name clusters of a live
    file, two name free clusters."""
    img, v = new_fat(s, name, 48 << 20, "-F", "32", "-s", "1", "-n", "VELKHIWORD", "-i", "1D0C4157")
    m = s.manifest(name)
    live = files(s, m, 0, "hiw/", [("README.TXT", "text 900:Cleared high words", "live", "8.3"),
                                   ("Video/holiday clip.bin", "spacer 1200000", "live", "longname"),
                                   ("Early/old note.txt", "text 2000", "deleted", "longname")])
    high = [files(s, m, 0, "hiw/", spec) for spec in (
        [("DCIM/IMG_4001.JPG", "jpeg 640x480", "deleted", "8.3 jpeg"),
         ("DCIM/Beach panorama.png", "png 320x240", "deleted", "longname png"),
         ("Taxes 2025.pdf", "pdf:Tax return 2025", "deleted", "longname pdf")],
        [("Backup of photos.zip", "zip", "deleted", "longname zip"),
         ("Letter to the bank.txt", "text 7000:Dear Sir or Madam", "deleted", "longname text")])]
    for r in live.values():
        v.put(r.local, r.path)
    # Clusters 65600 and 70000 on: high word 1. The first three low words fall inside
    # the live video, the other two on clusters no file uses.
    for hint, rows in zip((65599, 69999), high):
        fat.set_fsinfo_hint(img, hint)
        for r in rows.values():
            v.put(r.local, r.path)
    v.rm("Early/old note.txt", *[p for rows in high for p in rows])
    fs = fat.Fat(img)
    walk = fs.walk()
    for rows in high:
        for p, r in rows.items():
            path, e, _, parent = fat.find_entry(walk, p)[0]
            if not e["deleted"] or e["cluster"] >> 16 != 1:
                fail(f"{p}: not a deleted entry above cluster 65535 ({e['cluster']})")
            r.facts["start"] = e["cluster"]
            patch(img, fs.entry_offset(parent, e["slot"]) + 20, b"\0\0")
    s.run("fsck.fat", "-n", img)
    fat.check(img, m.rows)
    tsk.check(img, m.rows, skip_data_for=("deleted",))
    # The Sleuth Kit takes the entry as it stands and reads from the low-word cluster.
    for rows in high:
        for r in rows.values():
            e = [x for x in tsk.fls(img) if x["deleted"] and tsk.path_matches(r.path, x["path"])][0]
            if tsk.icat_sha(img, 0, e["inode"]) == r.sha:
                fail(f"{r.path}: icat reads it right despite the cleared high word")
            r.note("tsk-reads-low-word")
    s.publish(name, img, m)

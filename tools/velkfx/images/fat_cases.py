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
    high = [files(s, m, 0, "hiw/", recipe) for recipe in (
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


def check_years(img, rows, walk=None):
    """Each row's entry (and its folders') carries the year the row was written in."""
    walk = walk or fat.Fat(img).walk()
    for r in rows:
        want = r.facts["year"]
        parts = r.path.split("/")
        for k in range(1, len(parts) + 1):
            hits = fat.find_entry(walk, "/".join(parts[:k]))
            e = hits[0][1] if hits else None
            years = {fat.year_of(e[f]) for f in ("cdate", "wdate", "adate")} if e else None
            if k == len(parts) and years != {want} or k < len(parts) and e and max(years) > want:
                fail(f"{r.path}: dates of {'/'.join(parts[:k])} are {years}, not {want}")
        r.note(f"dated-{want}")


def dated_puts(v, rows, when):
    """Writes rows with the clock at WHEN[row's year]."""
    for r in rows:
        v.put(r.local, r.path, clock=when[r.facts["year"]])


OLD_CLOCK = {1998: "1998-05-10 09:15:00", 2001: "2001-03-04 10:20:30", 2003: "2003-07-21 18:45:10",
             2004: "2004-11-02 08:00:00", 2006: "2006-02-14 12:00:00", 2007: "2007-12-24 16:30:00",
             2009: "2009-06-01 07:00:00", 2012: "2012-09-09 09:09:09"}


@image("fatcases", "fat16_old_card")
def fat16_old_card(s, name):
    """A FAT16 card written in 1998, 2003 and 2007 (the clock frozen at each date with
    libfaketime) and emptied in part in 2009: deleted files and a deleted folder whose
    dates are all far older than five years."""
    img = s.blank(name + ".img", 32 << 20)
    s.run("mkfs.vfat", "-F", "16", "-s", "4", "-n", "OLDCARD", "-i", "19980510", img, clock=OLD_CLOCK[1998])
    v = fat.Mtools(s, img)
    m = s.manifest(name)
    recipe = [("DCIM/PICT0001.JPG", "jpeg 640x480", "live", "8.3", 1998), ("DCIM/PICT0002.JPG", "jpeg 640x480", "deleted", "8.3", 1998),
            ("LETTER.TXT", "text 2500:Dear Uncle Tom", "live", "8.3", 1998),
            ("Holiday 2003/IMG_1001.JPG", "jpeg 800x600", DID, "8.3", 2003),
            ("Holiday 2003/IMG_1002.JPG", "jpeg 800x600", DID, "8.3", 2003),
            ("notes 2003.txt", "text 4000", "deleted", "longname", 2003),
            ("Scans/invoice.pdf", "pdf:Invoice 2007-12", "live", "8.3", 2007),
            ("REPORT.DOC", "text 9000:Annual report 2007", "deleted", "8.3", 2007)]
    for path, kind, state, notes, year in recipe:
        files(s, m, 0, "card/", [(path, kind, state, notes)])[path].facts["year"] = year
    dated_puts(v, m.rows, OLD_CLOCK)
    for p in ("DCIM/PICT0002.JPG", "notes 2003.txt", "REPORT.DOC"):
        v.rm(p)
    v._m("mdeltree", "::/Holiday 2003", clock=OLD_CLOCK[2009])
    s.run("fsck.fat", "-n", img)
    fat.check(img, m.rows)
    tsk.check(img, m.rows)
    check_years(img, m.rows)
    s.publish(name, img, m)


@image("fatcases", "fat32_old_formatted")
def fat32_old_formatted(s, name):
    """FAT32 written in 2001, 2004 and 2006 with folders of many long-named files (each
    folder spans a dozen clusters), then quick-formatted in 2012 with the same geometry:
    the old folders' clusters keep their entries and their old dates."""
    mkfs = ("-F", "32", "-s", "1", "-n", "OLDFMT32", "-i", "20010304")
    img = s.blank(name + ".img", 40 << 20)
    s.run("mkfs.vfat", *mkfs, img, clock=OLD_CLOCK[2001])
    v = fat.Mtools(s, img)
    m = s.manifest(name)
    for folder, year, count in (("Photos 2001", 2001, 60), ("Documents 2004", 2004, 50), ("Music 2006", 2006, 40)):
        for i in range(1, count + 1):
            path = f"{folder}/{folder.split()[0].lower()} {year} number {i:03d}.txt"
            files(s, m, 0, "oldfmt/", [(path, f"text {300 + (i * 97) % 1200}", "formatted", "longname")],
                  full_path=True)[path].facts["year"] = year
    dated_puts(v, m.rows, OLD_CLOCK)
    pre = s.path(name + ".pre.img")
    pre_walk = fat.Fat(img).walk()
    for folder in ("Photos 2001", "Documents 2004", "Music 2006"):
        n = len(fat.Fat(img).chain(fat.first_cluster(img, folder)))
        if n < 8:
            fail(f"{folder} spans {n} clusters, not several")
        for r in m.rows:
            if r.path.startswith(folder + "/"):
                r.note(f"folder-clusters={n}")
    check_years(img, m.rows, pre_walk)
    shutil.copyfile(img, pre)
    s.run("mkfs.vfat", *mkfs, img, clock=OLD_CLOCK[2012])  # the quick format
    fat.check(img, m.rows, pre=pre)
    # fls sees the old entries as orphans, by short name; icat reads each.
    orphans = {tsk.icat_sha(img, 0, e["inode"]) for e in tsk.fls(img) if e["path"].startswith("$OrphanFiles/")}
    for r in m.rows:
        if r.sha not in orphans:
            fail(f"{r.path}: fls does not list it as an orphan that icat reads")
        r.note("tsk-orphan")
    s.publish(name, img, m)


@image("fatcases", "fat32_interleaved")
def fat32_interleaved(s, name):
    """A deleted file whose clusters interleave with a live file's: placeholders (P1 Q1
    P2 Q2 ...) were written, the Ps deleted and the FSInfo hint pointed before them, so
    `broken run.txt` took the Ps' clusters; then the Qs were deleted the same way for
    `kept log.txt`; then `broken run.txt` was deleted."""
    img, v = new_fat(s, name, 40 << 20, "-F", "32", "-s", "1", "-n", "VELKINTER", "-i", "1D0C1473")
    m = s.manifest(name)
    lead = files(s, m, 0, "inter/", [("README.TXT", "text 700:Interleaved clusters", "live", "8.3")])
    # (named so that the deleted entries, which lose their first character, stay apart)
    holders = files(s, m, 0, "inter/", [(f"HOLD{i}{k}.TMP", "bin 2048", "overwritten", "8.3 placeholder")
                                        for i in range(1, 5) for k in "PQ"])
    main = files(s, m, 0, "inter/", [("broken run.txt", "text 8192:Fragmented and deleted", "deleted", "longname"),
                                     ("kept log.txt", "text 8192:Fragmented and live", "live", "longname")])
    for r in list(lead.values()) + list(holders.values()):
        v.put(r.local, r.path)
    first = fat.first_cluster(img, "HOLD1P.TMP")
    for k, r in zip("PQ", main.values()):
        v.rm(*[p for p in holders if p.endswith(k + ".TMP")])
        fat.set_fsinfo_hint(img, first - 1)
        v.put(r.local, r.path)
    chain = fat.Fat(img).chain(fat.first_cluster(img, "broken run.txt"))
    if len(chain) != 16 or chain == list(range(chain[0], chain[0] + 16)):
        fail(f"broken run.txt is not fragmented: {chain}")
    v.rm("broken run.txt")
    r = main["broken run.txt"]
    r.facts["clusters"] = chain
    r.note("runs=" + ",".join(f"{c}-{c + 3}" for c in chain[::4]), "interleaved-with=kept log.txt")
    s.run("fsck.fat", "-n", img)
    fat.check(img, m.rows)
    # icat reads a deleted file's free clusters from its start, skipping allocated ones,
    # and so gets this one right.
    tsk.check(img, m.rows)
    s.publish(name, img, m)


@image("fatcases", "fat32_other_jump")
def fat32_other_jump(s, name):
    """FAT32 by mkfs.vfat and mtools, then its boot sector (and the backup at sector 6)
    given another formatter's start: a near jump E9 57 00 to the same boot code and the
    OEM name MSWIN4.1. The BPB is untouched and valid."""
    img, v = new_fat(s, name, 40 << 20, "-F", "32", "-s", "1", "-n", "OTHERJUMP", "-i", "1D0CE957")
    m = s.manifest(name)
    for p, r in files(s, m, 0, "jump/", [("README.TXT", "text 800:Another formatter", "live", "8.3"),
                                         ("Photos/IMG_0100.JPG", "jpeg 640x480", "live", "8.3"),
                                         ("Photos/IMG_0101.JPG", "jpeg 640x480", "deleted", "8.3"),
                                         ("Old/notes.txt", "text 3000", DID)]).items():
        v.put(r.local, p)
    v.rm("Photos/IMG_0101.JPG")
    v.rmtree("Old")
    with open(img, "rb") as f:
        boot = f.read(512)
    if boot[:3] != b"\xeb\x58\x90":
        fail(f"mkfs.vfat's jump is {boot[:3].hex()}")
    for sector in (0, 6):  # the edit: same target (0x5A), near jump, another OEM name
        patch(img, sector * 512, b"\xe9\x57\x00MSWIN4.1")
    s.run("fsck.fat", "-n", img)
    fat.check(img, m.rows)
    tsk.check(img, m.rows)
    for r in m.rows:
        r.note("jump-e9", "oem-mswin4.1")
    s.publish(name, img, m)


@image("fatcases", "fat12_floppy")
def fat12_floppy(s, name):
    """A 1.44 MB floppy image formatted FAT12 by mkfs.vfat, with deleted files and a
    deleted folder (mtools)."""
    img, v = new_fat(s, name, 1474560, "-F", "12", "-n", "FLOPPY", "-i", "1D0C0012")
    m = s.manifest(name)
    for p, r in files(s, m, 0, "floppy/", [("README.TXT", "text 700:A floppy", "live", "8.3"),
                                           ("Letter to Anna.txt", "text 6000:Dear Anna", "deleted", "longname"),
                                           ("PHOTO.JPG", "jpeg 320x240", "deleted", "8.3"),
                                           ("DOCS/KEEP.TXT", "text 2000", "live", "8.3"),
                                           ("DOCS/GONE.TXT", "text 3000", "deleted", "8.3"),
                                           ("OLD/ALPHA.TXT", "text 1500", DID, "8.3"),
                                           ("OLD/BRAVO.TXT", "text 2500", DID, "8.3")]).items():
        v.put(r.local, p)
    v.rm("Letter to Anna.txt", "PHOTO.JPG", "DOCS/GONE.TXT")
    v.rmtree("OLD")
    if fat.Fat(img).kind != 12:
        fail(f"{name} is not FAT12")
    s.run("fsck.fat", "-n", img)
    fat.check(img, m.rows)
    tsk.check(img, m.rows)
    s.publish(name, img, m)

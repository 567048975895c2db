"""FAT12/16/32: a reader of our own (boot sector, FAT, folder entries with long
names, live and deleted), the row checks built on it, and the writers: mkfs.vfat
and mtools at the frozen time, plus the few direct edits mtools cannot make."""

import struct

from .manifest import fail, sha
from .session import patch


def lfn_checksum(raw):
    s = 0
    for b in raw:
        s = (((s & 1) << 7) + (s >> 1) + b) & 0xFF
    return s


class Fat:
    def __init__(self, path, offset=0, spans=None):
        """spans: {first cluster: cluster count} of deleted folders known to be
        longer than one cluster (read as that many consecutive clusters)."""
        self.f = open(path, "rb")
        self.off = offset
        self.spans = spans or {}
        bs = self.read(0, 512)
        if bs[510:512] != b"\x55\xaa":
            fail(f"{path}@{offset}: no boot signature")
        self.bps, self.spc, self.res, self.nfats, self.rootents, ts16, _, spf16 = struct.unpack_from("<HBHBHHBH", bs, 11)
        self.total = ts16 or struct.unpack_from("<I", bs, 32)[0]
        self.spf = spf16 or struct.unpack_from("<I", bs, 36)[0]
        self.rootcl = struct.unpack_from("<I", bs, 44)[0] if spf16 == 0 else 0
        self.rootsecs = (self.rootents * 32 + self.bps - 1) // self.bps
        self.fatstart = self.res
        self.rootstart = self.res + self.nfats * self.spf
        self.datastart = self.rootstart + self.rootsecs
        self.nclusters = (self.total - self.datastart) // self.spc
        self.kind = 32 if spf16 == 0 else (12 if self.nclusters < 4085 else 16)
        if self.kind == 16 and self.nclusters >= 65525:
            fail(f"FAT16 volume has {self.nclusters} clusters")
        self.csize = self.spc * self.bps
        fat = self.read(self.fatstart * self.bps, self.spf * self.bps)
        if self.kind == 12:
            self.fat = [(struct.unpack_from("<H", fat, n * 3 // 2)[0] >> (4 * (n & 1))) & 0xFFF
                        for n in range(len(fat) * 2 // 3)]
            self.eoc = 0xFF8
        elif self.kind == 16:
            self.fat = list(struct.unpack(f"<{len(fat) // 2}H", fat))
            self.eoc = 0xFFF8
        else:
            self.fat = [v & 0x0FFFFFFF for v in struct.unpack(f"<{len(fat) // 4}I", fat)]
            self.eoc = 0x0FFFFFF8

    def read(self, pos, n):
        self.f.seek(self.off + pos)
        return self.f.read(n)

    def cluster_pos(self, c):
        return (self.datastart + (c - 2) * self.spc) * self.bps

    def chain(self, c):
        out, seen = [], set()
        while 2 <= c < self.eoc and c not in seen and c < len(self.fat):
            seen.add(c)
            out.append(c)
            c = self.fat[c]
        return out

    def read_clusters(self, clusters, size=None):
        data = b"".join(self.read(self.cluster_pos(x), self.csize) for x in clusters)
        return data if size is None else data[:size]

    def read_contig(self, c, size):
        return self.read(self.cluster_pos(c), size) if size else b""

    def dir_data(self, c, live):
        if c == 0:  # FAT12/16 root
            return self.read(self.rootstart * self.bps, self.rootsecs * self.bps)
        if live:
            return self.read_clusters(self.chain(c))
        # a deleted folder: its chain is gone, so its first cluster (or the known span)
        return self.read(self.cluster_pos(c), self.csize * self.spans.get(c, 1))

    def entries(self, data):
        lfn, lfn_sum = [], None
        for i in range(0, len(data) - 31, 32):
            e = data[i:i + 32]
            if e[0] == 0:
                lfn = []
                continue
            attr = e[11]
            if attr == 0x0F:
                if e[13] != lfn_sum:
                    lfn = []
                lfn_sum = e[13]
                piece = (e[1:11] + e[14:26] + e[28:32]).decode("utf-16-le")
                lfn.insert(0, piece.split("\x00")[0].replace("\uffff", ""))
                continue
            if attr & 0x08 and not attr & 0x10:
                lfn = []
                continue
            raw = e[0:11]
            deleted = e[0] == 0xE5
            longname = None
            if lfn:
                # a deleted entry has lost its first byte, which the checksum covers
                firsts = range(256) if deleted else [raw[0]]
                if any(lfn_checksum(bytes([f]) + raw[1:]) == lfn_sum for f in firsts):
                    longname = "".join(lfn)
            lfn = []
            base = (b"?" + raw[1:8] if deleted else raw[0:8]).decode("cp850").rstrip()
            ext = raw[8:11].decode("cp850").rstrip()
            if e[12] & 0x08:
                base = base.lower()
            if e[12] & 0x10:
                ext = ext.lower()
            short = base + ("." + ext if ext else "")
            hi, = struct.unpack_from("<H", e, 20)
            lo, = struct.unpack_from("<H", e, 26)
            yield {"name": longname or short, "short": short, "lfn": longname is not None,
                   "deleted": deleted, "attr": attr, "cluster": (hi << 16 | lo) if self.kind == 32 else lo,
                   "size": struct.unpack_from("<I", e, 28)[0], "hi": hi,
                   "cdate": struct.unpack_from("<H", e, 16)[0], "adate": struct.unpack_from("<H", e, 18)[0],
                   "wdate": struct.unpack_from("<H", e, 24)[0], "slot": i}

    def walk(self):
        """Every entry below the root: (path, entry, any ancestor deleted, parent dir cluster)."""
        out = Walk()
        todo = [("", self.rootcl if self.kind == 32 else 0, True)]
        seen = set()
        while todo:
            prefix, c, live = todo.pop(0)
            if (c, live) in seen:
                continue
            seen.add((c, live))
            for e in self.entries(self.dir_data(c, live)):
                if e["short"] in (".", ".."):
                    continue
                path = prefix + "/" + e["name"] if prefix else e["name"]
                out.append((path, e, not live, c))
                if e["attr"] & 0x10 and e["cluster"] >= 2:
                    todo.append((path, e["cluster"], live and not e["deleted"]))
        return out

    def entry_offset(self, parent, slot):
        """Byte offset (in the image) of the folder entry at SLOT of a live folder."""
        if parent == 0:
            return self.off + self.rootstart * self.bps + slot
        return self.off + self.cluster_pos(self.chain(parent)[slot // self.csize]) + slot % self.csize

    def geometry(self):
        return (f"kind={self.kind} bps={self.bps} spc={self.spc} rootents={self.rootents} clusters={self.nclusters} "
                f"root_is_one_cluster={int(self.rootents * 32 == self.csize)}")


def name_matches(want, have, deleted):
    """Compares one path component; a deleted short name has lost its first character."""
    if want.lower() == have.lower():
        return True
    return deleted and have.startswith("?") and len(want) == len(have) and want[1:].lower() == have[1:].lower()


class Walk(list):
    """Walk entries, looked up by their path without each name's first character (which
    a deleted short name has lost), so large folders are not scanned per row."""

    def lookup(self, path):
        if not hasattr(self, "by_key"):
            self.by_key = {}
            for h in self:
                self.by_key.setdefault(tuple(x[1:].lower() for x in h[0].split("/")), []).append(h)
        return self.by_key.get(tuple(x[1:].lower() for x in path.split("/")), [])


def find_entry(walk, path):
    want = path.split("/")
    hits = [h for h in walk.lookup(path) if all(name_matches(w, x, True) for w, x in zip(want, h[0].split("/")))]
    # an exact spelling beats a wildcard one
    return [h for h in hits if h[0].lower() == path.lower()] or hits


def first_cluster(image, path, offset=0):
    hits = find_entry(Fat(image, offset).walk(), path)
    if not hits:
        fail(f"{path}: no entry")
    return hits[0][1]["cluster"]


def _check_row(fs, walk, r):
    state = r.state
    hits = find_entry(walk, r.path)
    if state == "overwritten":
        for p, e, indel, _ in hits:
            if e["deleted"] and e["size"] == r.size and not e["attr"] & 0x10:
                if sha(fs.read_contig(e["cluster"], e["size"])) == r.sha:
                    fail(f"{r.path}: claimed overwritten but its data is intact")
                r.note(f"cluster={e['cluster']}")
                return
        r.note("entry-gone")
        return
    hits = [h for h in hits if h[1]["deleted"] == (state != "live") and h[2] == (state == "deleted-in-deleted-folder")]
    if len(hits) != 1:
        fail(f"{r.path}: expected one {state} entry, found {len(hits)}")
    p, e, indel, _ = hits[0]
    if e["size"] != r.size:
        fail(f"{r.path}: size {e['size']} != {r.size}")
    n = (e["size"] + fs.csize - 1) // fs.csize
    clusters = r.facts.get("clusters")  # a deleted file known to be fragmented
    start = r.facts.get("start")  # its true first cluster, when the entry's high word was cleared
    if start is not None:
        if e["hi"] or e["cluster"] != start & 0xFFFF or start >> 16 == 0:
            fail(f"{r.path}: entry says cluster {e['cluster']}, not the low word of {start} with a cleared high word")
        r.note("high-word-cleared", f"low-word-cluster={e['cluster']}",
               "low-word-cluster-" + ("allocated" if fs.fat[e["cluster"]] else "free"))
        e = dict(e, cluster=start)
    if state == "live":
        ch = fs.chain(e["cluster"]) if e["size"] else []
        if len(ch) != n:
            fail(f"{r.path}: chain of {len(ch)} clusters for {n}")
        data = fs.read_clusters(ch, e["size"])
        layout = "contiguous" if all(b == a + 1 for a, b in zip(ch, ch[1:])) else "fragmented"
    else:
        ch = clusters or list(range(e["cluster"], e["cluster"] + n))
        if len(ch) != n or (n and ch[0] != e["cluster"]):
            fail(f"{r.path}: {len(ch)} known clusters for {n} from {e['cluster']}")
        for c in ch:
            if fs.fat[c] != 0:
                fail(f"{r.path}: cluster {c} of a deleted file is in use")
        data = fs.read_clusters(ch, e["size"])
        layout = "fragmented" if clusters and ch != list(range(ch[0], ch[0] + n)) else "contiguous"
    if sha(data) != r.sha:
        fail(f"{r.path}: data differ from the file placed")
    if layout == "fragmented" and "contiguous" in r.notes:
        fail(f"{r.path}: claimed contiguous but fragmented")
    if e["size"]:
        r.note(layout)
    r.note("longname" if e["lfn"] else "8.3", f"cluster={e['cluster']}", f"attr=0x{e['attr']:02x}")


def _check_formatted(fs, pre, prewalk, r):
    hits = [h for h in find_entry(prewalk, r.path) if not h[1]["attr"] & 0x10]
    if len(hits) != 1:
        fail(f"{r.path}: not found before the format")
    p, e, indel, parent = hits[0]
    n = (e["size"] + fs.csize - 1) // fs.csize
    if not e["deleted"]:
        ch = pre.chain(e["cluster"]) if e["size"] else []
        if ch != list(range(e["cluster"], e["cluster"] + n)):
            fail(f"{r.path}: not contiguous before the format")
    if parent == fs.rootcl or parent == 0:
        fail(f"{r.path}: a root entry does not survive a format")
    # after the format: the entry's folder cluster and the data are untouched, the FAT is empty
    holder = pre.chain(parent)[e["slot"] // pre.csize]
    if pre.read(pre.cluster_pos(holder), pre.csize) != fs.read(fs.cluster_pos(holder), fs.csize):
        fail(f"{r.path}: its folder cluster {holder} changed in the format")
    if any(fs.fat[c] for c in range(e["cluster"], e["cluster"] + n)):
        fail(f"{r.path}: FAT not cleared")
    if sha(fs.read_contig(e["cluster"], e["size"])) != r.sha:
        fail(f"{r.path}: data differ after the format")
    r.note("deleted-before-format" if e["deleted"] else "", "contiguous" if e["size"] else "",
           "longname" if e["lfn"] else "8.3", f"cluster={e['cluster']}", f"folder-cluster={parent}")


def check(image, rows, offset=0, pre=None, spans=None):
    """Checks rows of one FAT volume against our own walk and adds the facts to their notes.
    pre: a copy taken before a quick format, for the rows in state "formatted"."""
    fs = Fat(image, offset, spans)
    walk = fs.walk()
    prefs = Fat(pre, offset) if pre else None
    prewalk = prefs.walk() if pre else None
    if not rows:
        fail("no rows to check")
    for r in rows:
        if r.state != "formatted":
            _check_row(fs, walk, r)
        elif not pre:
            fail("formatted rows need the volume from before the format")
        else:
            _check_formatted(fs, prefs, prewalk, r)
    return fs


def year_of(date):
    return (date >> 9) + 1980


def check_dates(image, year, expect=None, offset=0):
    """Every creation, write and access date carries YEAR, except the paths in expect."""
    bad = 0
    walk = Fat(image, offset).walk()
    for p, e, _, _ in walk:
        want = (expect or {}).get(p, year)
        for field in ("cdate", "wdate", "adate"):
            if (e[field] >> 9) + 1980 != want:
                print(f"{p}: {field} year {(e[field] >> 9) + 1980} != {want}")
                bad += 1
    if bad:
        fail("entry dates")
    return len(walk)


def set_fsinfo_hint(image, cluster):
    """FSInfo keeps the last cluster mtools allocated; pointing it before a freed run
    makes the next write reuse that run, as a busy volume would."""
    patch(image, 512 + 0x1EC, struct.pack("<I", cluster))


class Mtools:
    """Fills a FAT volume through mtools at the frozen time. put() makes the missing
    parent folders first, in path order."""

    def __init__(self, session, image, clock="frozen"):
        self.s, self.img, self.clock, self.dirs = session, image, clock, set()

    def _m(self, *cmd, clock=None):
        self.s.run(cmd[0], "-i", self.img, *cmd[1:], clock=clock or self.clock)

    def mkdir(self, *paths, clock=None):
        for p in paths:
            self._m("mmd", "::/" + p, clock=clock)
            self.dirs.add(p)

    def put(self, local, path, clock=None):
        parts = path.split("/")[:-1]
        for i in range(1, len(parts) + 1):
            d = "/".join(parts[:i])
            if d not in self.dirs:
                self.mkdir(d, clock=clock)
        self._m("mcopy", local, "::/" + path, clock=clock)

    def rm(self, *paths):
        for p in paths:
            self._m("mdel", "::/" + p)

    def rmtree(self, *paths):
        for p in paths:
            self._m("mdeltree", "::/" + p)
            self.dirs = {d for d in self.dirs if d != p and not d.startswith(p + "/")}

    def attr(self, path, *flags):
        self._m("mattrib", *flags, "::/" + path)

#!/usr/bin/python3
"""Content generators and claim checkers for the fixture builders.

Run with the system python (/usr/bin/python3): the picture generators need
Pillow from python3-pil.

Subcommands:
  gen KIND OUT [--seed S] [--size N] [--width W --height H] [--title T]
      Writes one deterministic file. Text and binary kinds honour --size
      exactly; picture and document kinds take their size from the content.
  fatwalk IMG [--offset BYTES]
      Prints every directory entry (live and deleted) of a FAT volume.
  fatgeom IMG / fatchain IMG PATH / fatdates IMG --year Y [--expect PATH=YEAR]
      Boot-sector geometry; the cluster chain of an entry; the years of every
      entry's creation, write and access dates.
  fatcheck IMG --part P --manifest IN --out OUT [--offset BYTES] [--pre IMG]
      Checks every manifest row of partition P against the FAT structures and
      writes the manifest again with facts (first cluster, contiguity) added
      to the notes. --pre names a copy of the volume taken before a quick
      format; rows in state "formatted" are then checked against both.
  tskcheck IMG --part P --manifest IN [--sector-offset N] [--skip-data-for STATE]
      Cross-checks the rows of partition P with The Sleuth Kit (fls, icat).
  ext3check IMG --part P --manifest IN --out OUT [--offset BYTES]
      For deleted rows on an ext3 volume: finds an older copy of the file's
      inode in the journal and checks that its block map still yields the
      file's bytes. Adds "journal-inode=N" to the notes.
  rawbuild OUT --size BYTES --seed S --place FILE:OFFSET ...
      Builds a raw image: files at byte offsets, deterministic filler around.
  gptbreak IMG
      Corrupts the CRC of the primary GPT header (LBA 1), leaving the backup.
"""

import argparse
import hashlib
import io
import math
import random
import struct
import subprocess
import sys
import tarfile
import gzip
import wave
import zipfile

FIXED_ZIP_TIME = (2026, 1, 2, 3, 4, 4)  # DOS times have two-second resolution
FIXED_EPOCH = 1767323045  # 2026-01-02 03:04:05 UTC

WORDS = (
    "recovery sector cluster volume partition folder archive invoice meeting "
    "budget holiday garden letter report summary draft contract photo camera "
    "weather river mountain station library museum kitchen window morning "
    "evening quarter project velk disk table record journal inode backup note "
    "paper market coffee bicycle harbour island orchard winter summer autumn"
).split()


# ---------------------------------------------------------------- content

def gen_text(seed, size, title=None):
    rng = random.Random(seed)
    out = bytearray()
    if title:
        out += (title + "\n\n").encode("utf-8")
    line = 1
    while len(out) < size:
        words = " ".join(rng.choice(WORDS) for _ in range(rng.randint(6, 14)))
        out += f"{line:05d} {words}.\n".encode()
        line += 1
    return bytes(out[:size])


def gen_bin(seed, size):
    rng = random.Random(seed)
    return rng.randbytes(size)


def _landscape(seed, w, h, grain=0):
    from PIL import Image, ImageDraw, ImageFilter
    rng = random.Random(seed)
    img = Image.new("RGB", (w, h))
    d = ImageDraw.Draw(img)
    top = (rng.randint(40, 120), rng.randint(100, 170), rng.randint(190, 255))
    bottom = (rng.randint(200, 255), rng.randint(180, 230), rng.randint(140, 200))
    horizon = int(h * rng.uniform(0.45, 0.65))
    for y in range(horizon):
        t = y / max(1, horizon - 1)
        d.line([(0, y), (w, y)], fill=tuple(int(a + (b - a) * t) for a, b in zip(top, bottom)))
    sx, sy, sr = rng.randint(w // 6, 5 * w // 6), rng.randint(h // 10, horizon // 2), rng.randint(h // 20, h // 9)
    d.ellipse([sx - sr, sy - sr, sx + sr, sy + sr], fill=(255, 236, 160))
    for layer in range(3):
        base = horizon - layer * h // 14
        pts = [(0, h)]
        x = 0
        while x <= w:
            pts.append((x, base - rng.randint(h // 20, h // 4)))
            x += rng.randint(w // 12, w // 5)
        pts += [(w, base), (w, h)]
        shade = 60 + layer * 35
        d.polygon(pts, fill=(shade // 2, shade, shade // 2 + 20))
    d.rectangle([0, horizon, w, h], fill=(50, 110 + rng.randint(0, 40), 45))
    for _ in range(rng.randint(6, 14)):
        tx = rng.randint(0, w)
        ty = rng.randint(horizon, h)
        th = rng.randint(h // 12, h // 5)
        d.rectangle([tx - 2, ty - th // 3, tx + 2, ty], fill=(90, 60, 30))
        d.ellipse([tx - th // 4, ty - th, tx + th // 4, ty - th // 3], fill=(30, 90 + rng.randint(0, 60), 30))
    img = img.filter(ImageFilter.GaussianBlur(0.8))
    if grain:
        # sensor grain from the seeded generator (Pillow's own noise is not seeded)
        noise = Image.frombytes("L", (w, h), rng.randbytes(w * h)).convert("RGB")
        img = Image.blend(img, noise, grain / 100)
    return img


def gen_picture(kind, seed, w, h, grain=0):
    from PIL import Image, ImageDraw
    buf = io.BytesIO()
    if kind == "jpeg":
        _landscape(seed, w, h, grain).save(buf, "JPEG", quality=85, optimize=False)
    elif kind == "png":
        img = _landscape(seed, w, h)
        img.save(buf, "PNG", optimize=False, compress_level=9)
    elif kind == "bmp":
        _landscape(seed, w, h).save(buf, "BMP")
    elif kind == "gif":
        rng = random.Random(seed)
        img = Image.new("P", (w, h), 0)
        pal = []
        for i in range(256):
            pal += [(i * 7) % 256, (i * 13) % 256, (i * 29) % 256]
        img.putpalette(pal)
        d = ImageDraw.Draw(img)
        for _ in range(40):
            x0, y0 = rng.randint(0, w), rng.randint(0, h)
            x1, y1 = x0 + rng.randint(5, w // 3), y0 + rng.randint(5, h // 3)
            d.rectangle([x0, y0, x1, y1], fill=rng.randint(1, 255))
        img.save(buf, "GIF")
    else:
        raise SystemExit(f"unknown picture kind {kind}")
    return buf.getvalue()


def gen_pdf(seed, title):
    rng = random.Random(seed)
    lines = [title] + [" ".join(rng.choice(WORDS) for _ in range(8)) for _ in range(30)]
    text = ["BT /F1 11 Tf 56 780 Td 14 TL"]
    for ln in lines:
        text.append("(" + ln.replace("\\", "\\\\").replace("(", "\\(").replace(")", "\\)") + ") '")
    text.append("ET")
    stream = "\n".join(text).encode("latin-1")
    objs = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] "
        b"/Resources << /Font << /F1 5 0 R >> >> /Contents 4 0 R >>",
        b"<< /Length " + str(len(stream)).encode() + b" >>\nstream\n" + stream + b"\nendstream",
        b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        b"<< /Title (" + title.encode("latin-1", "replace") + b") /Producer (velk fixtures) "
        b"/CreationDate (D:20260102030405Z) >>",
    ]
    out = bytearray(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
    offsets = []
    for i, body in enumerate(objs, 1):
        offsets.append(len(out))
        out += f"{i} 0 obj\n".encode() + body + b"\nendobj\n"
    xref = len(out)
    out += f"xref\n0 {len(objs) + 1}\n0000000000 65535 f \n".encode()
    for off in offsets:
        out += f"{off:010d} 00000 n \n".encode()
    out += f"trailer\n<< /Size {len(objs) + 1} /Root 1 0 R /Info 6 0 R >>\nstartxref\n{xref}\n%%EOF\n".encode()
    return bytes(out)


def _zip(members):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as zf:
        for name, data in members:
            zi = zipfile.ZipInfo(name, date_time=FIXED_ZIP_TIME)
            zi.compress_type = zipfile.ZIP_DEFLATED
            zi.external_attr = 0o644 << 16
            zi.create_system = 3
            zf.writestr(zi, data)
    return buf.getvalue()


def gen_docx(seed, title):
    body = gen_text(seed, 6000, title).decode()
    paras = "".join(
        f"<w:p><w:r><w:t xml:space=\"preserve\">{p}</w:t></w:r></w:p>" for p in body.splitlines() if p
    )
    ns = "http://schemas.openxmlformats.org"
    return _zip([
        ("[Content_Types].xml",
         f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Types xmlns="{ns}/package/2006/content-types">'
         '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
         '<Default Extension="xml" ContentType="application/xml"/>'
         '<Override PartName="/word/document.xml" ContentType="application/'
         'vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml"/></Types>'),
        ("_rels/.rels",
         f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Relationships xmlns="{ns}/package/2006/relationships">'
         f'<Relationship Id="rId1" Type="{ns}/officeDocument/2006/relationships/officeDocument" '
         'Target="word/document.xml"/></Relationships>'),
        ("word/document.xml",
         f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<w:document xmlns:w="{ns}/wordprocessingml/2006/main">'
         f"<w:body>{paras}</w:body></w:document>"),
    ])


def gen_zip(seed):
    return _zip([
        ("readme.txt", gen_text(seed + ":a", 3000, "Archive readme")),
        ("data/table.csv", gen_text(seed + ":b", 9000)),
        ("data/blob.bin", gen_bin(seed + ":c", 4000)),
    ])


def gen_targz(seed):
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.USTAR_FORMAT) as tf:
        for name, data in (("src/main.c", gen_text(seed + ":a", 5000)),
                           ("src/notes.txt", gen_text(seed + ":b", 7000))):
            ti = tarfile.TarInfo(name)
            ti.size = len(data)
            ti.mtime = FIXED_EPOCH
            ti.mode = 0o644
            ti.uname = ti.gname = "velk"
            tf.addfile(ti, io.BytesIO(data))
    out = io.BytesIO()
    with gzip.GzipFile(fileobj=out, mode="wb", mtime=FIXED_EPOCH, filename="") as gz:
        gz.write(raw.getvalue())
    return out.getvalue()


def gen_wav(seed, size):
    """16-bit mono 8 kHz tone; with size given the whole file is exactly size bytes."""
    rng = random.Random(seed)
    rate = 8000
    if size:
        frames = (size - 44) // 2
        if 44 + frames * 2 != size:
            raise SystemExit("wav size must be even")
    else:
        frames = rate
    f1, f2 = rng.uniform(220, 660), rng.uniform(660, 1200)
    pcm = bytearray()
    for i in range(frames):
        v = 0.45 * math.sin(2 * math.pi * f1 * i / rate) + 0.2 * math.sin(2 * math.pi * f2 * i / rate)
        pcm += struct.pack("<h", int(v * 32767))
    buf = io.BytesIO()
    with wave.open(buf, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(bytes(pcm))
    return buf.getvalue()


def gen_html(seed, size):
    body = gen_text(seed, max(0, size - 200)).decode()
    doc = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Notes</title></head>\n<body><pre>\n"
    doc += body + "\n</pre></body></html>\n"
    return doc.encode()


def cmd_gen(a):
    seed = a.seed
    k = a.kind
    if k == "text":
        data = gen_text(seed, a.size, a.title)
    elif k == "bin":
        data = gen_bin(seed, a.size)
    elif k in ("jpeg", "png", "gif", "bmp"):
        data = gen_picture(k, seed, a.width, a.height, a.grain)
    elif k == "pdf":
        data = gen_pdf(seed, a.title or "Velk document")
    elif k == "docx":
        data = gen_docx(seed, a.title or "Velk draft")
    elif k == "zip":
        data = gen_zip(seed)
    elif k == "targz":
        data = gen_targz(seed)
    elif k == "wav":
        data = gen_wav(seed, a.size)
    elif k == "html":
        data = gen_html(seed, a.size)
    else:
        raise SystemExit(f"unknown kind {k}")
    with open(a.out, "wb") as f:
        f.write(data)


# ---------------------------------------------------------------- manifests

HEADER = "part\tpath\tsize\tsha256\tstate\tnotes"


def read_manifest(path):
    rows = []
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    if not lines or lines[0] != HEADER:
        raise SystemExit(f"{path}: bad manifest header")
    for ln in lines[1:]:
        if not ln or ln.startswith("#"):
            continue
        part, p, size, sha, state, notes = ln.split("\t")
        rows.append({"part": int(part), "path": p, "size": int(size), "sha": sha,
                     "state": state, "notes": notes})
    return rows


def write_manifest(path, rows):
    with open(path, "w", encoding="utf-8") as f:
        f.write(HEADER + "\n")
        for r in rows:
            f.write(f"{r['part']}\t{r['path']}\t{r['size']}\t{r['sha']}\t{r['state']}\t{r['notes']}\n")


def add_note(row, note):
    if note and note not in row["notes"].split(" "):
        row["notes"] = (row["notes"] + " " + note).strip()


def fail(msg):
    print("CHECK FAILED: " + msg, file=sys.stderr)
    sys.exit(1)


# ---------------------------------------------------------------- FAT

def lfn_checksum(raw):
    s = 0
    for b in raw:
        s = (((s & 1) << 7) + (s >> 1) + b) & 0xFF
    return s


class Fat:
    def __init__(self, path, offset=0):
        self.f = open(path, "rb")
        self.off = offset
        bs = self.read(0, 512)
        if bs[510:512] != b"\x55\xaa":
            fail(f"{path}@{offset}: no boot signature")
        self.bps, self.spc, self.res, self.nfats, self.rootents, ts16, _, spf16 = struct.unpack_from("<HBHBHHBH", bs, 11)
        ts32, = struct.unpack_from("<I", bs, 32)
        self.total = ts16 or ts32
        self.spf = spf16 or struct.unpack_from("<I", bs, 36)[0]
        self.rootcl = struct.unpack_from("<I", bs, 44)[0] if spf16 == 0 else 0
        self.rootsecs = (self.rootents * 32 + self.bps - 1) // self.bps
        self.fatstart = self.res
        self.rootstart = self.res + self.nfats * self.spf
        self.datastart = self.rootstart + self.rootsecs
        self.nclusters = (self.total - self.datastart) // self.spc
        self.kind = 32 if spf16 == 0 else 16
        if self.kind == 16 and not (4085 <= self.nclusters < 65525):
            fail(f"FAT16 volume has {self.nclusters} clusters")
        self.csize = self.spc * self.bps
        fat = self.read(self.fatstart * self.bps, self.spf * self.bps)
        if self.kind == 16:
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

    def read_chain(self, c, size):
        data = b"".join(self.read(self.cluster_pos(x), self.csize) for x in self.chain(c))
        return data[:size]

    def read_contig(self, c, size):
        if size == 0:
            return b""
        return self.read(self.cluster_pos(c), size)

    def dir_data(self, c, live):
        if c == 0:  # FAT16 root
            return self.read(self.rootstart * self.bps, self.rootsecs * self.bps)
        if live:
            return b"".join(self.read(self.cluster_pos(x), self.csize) for x in self.chain(c))
        return self.read(self.cluster_pos(c), self.csize)  # a deleted folder: its first cluster

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
                chars = e[1:11] + e[14:26] + e[28:32]
                piece = chars.decode("utf-16-le")
                piece = piece.split("\x00")[0].replace("\uffff", "")
                lfn.insert(0, piece)
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
            base = bytes([ord("?")]) + raw[1:8] if deleted else raw[0:8]
            base = base.decode("cp850").rstrip()
            ext = raw[8:11].decode("cp850").rstrip()
            if e[12] & 0x08:
                base = base.lower()
            if e[12] & 0x10:
                ext = ext.lower()
            short = base + ("." + ext if ext else "")
            hi, = struct.unpack_from("<H", e, 20)
            lo, = struct.unpack_from("<H", e, 26)
            size, = struct.unpack_from("<I", e, 28)
            cl = (hi << 16 | lo) if self.kind == 32 else lo
            yield {"name": longname or short, "short": short, "lfn": longname is not None,
                   "deleted": deleted, "attr": attr, "cluster": cl, "size": size,
                   "cdate": struct.unpack_from("<H", e, 16)[0], "adate": struct.unpack_from("<H", e, 18)[0],
                   "wdate": struct.unpack_from("<H", e, 24)[0], "slot": i}

    def walk(self):
        """Every entry below the root: (path, entry, any ancestor deleted, parent dir cluster)."""
        out = []
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


def name_matches(want, have, deleted):
    """Compares one path component; a deleted short name has lost its first character."""
    if want.lower() == have.lower():
        return True
    return deleted and have.startswith("?") and len(want) == len(have) and want[1:].lower() == have[1:].lower()


def find_entry(walk, path):
    want = path.split("/")
    hits = []
    for p, e, indel, parent in walk:
        have = p.split("/")
        if len(have) != len(want):
            continue
        if all(name_matches(w, h, True) for w, h in zip(want, have)):
            hits.append((p, e, indel, parent))
    # an exact spelling beats a wildcard one
    exact = [h for h in hits if h[0].lower() == path.lower()]
    return exact or hits


def fat_row_check(fs, walk, r):
    state = r["state"]
    hits = find_entry(walk, r["path"])
    if state == "overwritten":
        for p, e, indel, _ in hits:
            if e["deleted"] and e["size"] == r["size"] and not e["attr"] & 0x10:
                data = fs.read_contig(e["cluster"], e["size"])
                if hashlib.sha256(data).hexdigest() == r["sha"]:
                    fail(f"{r['path']}: claimed overwritten but its data is intact")
                add_note(r, f"cluster={e['cluster']}")
                return
        add_note(r, "entry-gone")
        return
    want_deleted = state != "live"
    hits = [h for h in hits if h[1]["deleted"] == want_deleted and h[2] == (state == "deleted-in-deleted-folder")]
    if len(hits) != 1:
        fail(f"{r['path']}: expected one {state} entry, found {len(hits)}")
    p, e, indel, _ = hits[0]
    if e["size"] != r["size"]:
        fail(f"{r['path']}: size {e['size']} != {r['size']}")
    n = (e["size"] + fs.csize - 1) // fs.csize
    if state == "live":
        ch = fs.chain(e["cluster"]) if e["size"] else []
        if len(ch) != n:
            fail(f"{r['path']}: chain of {len(ch)} clusters for {n}")
        data = fs.read_chain(e["cluster"], e["size"])
        layout = "contiguous" if all(b == a + 1 for a, b in zip(ch, ch[1:])) else "fragmented"
    else:
        for c in range(e["cluster"], e["cluster"] + n):
            if fs.fat[c] != 0:
                fail(f"{r['path']}: cluster {c} of a deleted file is in use")
        data = fs.read_contig(e["cluster"], e["size"])
        layout = "contiguous"
    if hashlib.sha256(data).hexdigest() != r["sha"]:
        fail(f"{r['path']}: data differ from the file placed")
    if layout == "fragmented" and "contiguous" in r["notes"].split():
        fail(f"{r['path']}: claimed contiguous but fragmented")
    if e["size"]:
        add_note(r, layout)
    add_note(r, "longname" if e["lfn"] else "8.3")
    add_note(r, f"cluster={e['cluster']}")
    add_note(r, f"attr=0x{e['attr']:02x}")


def cmd_fatcheck(a):
    rows = read_manifest(a.manifest)
    fs = Fat(a.image, a.offset)
    walk = fs.walk()
    pre = Fat(a.pre, a.offset) if a.pre else None
    prewalk = pre.walk() if pre else None
    checked = 0
    for r in rows:
        if r["part"] != a.part:
            continue
        checked += 1
        if r["state"] != "formatted":
            fat_row_check(fs, walk, r)
            continue
        if not pre:
            fail("formatted rows need --pre")
        hits = [h for h in find_entry(prewalk, r["path"]) if not h[1]["attr"] & 0x10]
        if len(hits) != 1:
            fail(f"{r['path']}: not found before the format")
        p, e, indel, parent = hits[0]
        n = (e["size"] + fs.csize - 1) // fs.csize
        if not e["deleted"]:
            ch = pre.chain(e["cluster"]) if e["size"] else []
            if ch != list(range(e["cluster"], e["cluster"] + n)):
                fail(f"{r['path']}: not contiguous before the format")
        if parent == fs.rootcl or parent == 0:
            fail(f"{r['path']}: a root entry does not survive a format")
        # after the format: the entry's folder cluster and the data are untouched, the FAT is empty
        holder = pre.chain(parent)[e["slot"] // pre.csize]
        if pre.read(pre.cluster_pos(holder), pre.csize) != fs.read(fs.cluster_pos(holder), fs.csize):
            fail(f"{r['path']}: its folder cluster {holder} changed in the format")
        if any(fs.fat[c] for c in range(e["cluster"], e["cluster"] + n)):
            fail(f"{r['path']}: FAT not cleared")
        if hashlib.sha256(fs.read_contig(e["cluster"], e["size"])).hexdigest() != r["sha"]:
            fail(f"{r['path']}: data differ after the format")
        add_note(r, "deleted-before-format" if e["deleted"] else "")
        if e["size"]:
            add_note(r, "contiguous")
        add_note(r, "longname" if e["lfn"] else "8.3")
        add_note(r, f"cluster={e['cluster']}")
        add_note(r, f"folder-cluster={parent}")
    if checked == 0:
        fail(f"no rows for part {a.part}")
    write_manifest(a.out, rows)
    print(f"fatcheck: part {a.part}: {checked} rows ok (FAT{fs.kind}, {fs.nclusters} clusters of {fs.csize} bytes)")


def cmd_fatwalk(a):
    fs = Fat(a.image, a.offset)
    print(f"FAT{fs.kind} clusters={fs.nclusters} csize={fs.csize} root={fs.rootcl}")
    for p, e, indel, parent in fs.walk():
        print(f"{'D' if e['deleted'] else '-'}{'d' if indel else '-'} {e['attr']:02x} {e['cluster']:7d} {e['size']:9d} "
              f"{e['cdate']:04x} {e['wdate']:04x} {e['adate']:04x} {e['short']:14s} {p}")


def cmd_fatgeom(a):
    fs = Fat(a.image, a.offset)
    print(f"kind={fs.kind} bps={fs.bps} spc={fs.spc} rootents={fs.rootents} clusters={fs.nclusters} "
          f"root_is_one_cluster={int(fs.rootents * 32 == fs.csize)}")


def cmd_fatchain(a):
    fs = Fat(a.image, a.offset)
    hits = find_entry(fs.walk(), a.path)
    if len(hits) != 1:
        fail(f"{a.path}: {len(hits)} entries")
    print(" ".join(str(c) for c in fs.chain(hits[0][1]["cluster"])))


def cmd_fatdates(a):
    fs = Fat(a.image, a.offset)
    want = dict(x.rsplit("=", 1) for x in a.expect)
    bad = 0
    n = 0
    for p, e, indel, parent in fs.walk():
        year = int(want.get(p, a.year))
        for field in ("cdate", "wdate", "adate"):
            if (e[field] >> 9) + 1980 != year:
                print(f"{p}: {field} year {(e[field] >> 9) + 1980} != {year}", file=sys.stderr)
                bad += 1
        n += 1
    if bad:
        fail("entry dates")
    print(f"fatdates: {n} entries carry the expected creation, write and access years")


# ---------------------------------------------------------------- Sleuth Kit cross-check

def fls_entries(image, soff):
    out = subprocess.run(["fls", "-r", "-p", "-o", str(soff), image], capture_output=True, check=True).stdout
    ents = []
    for ln in out.decode("utf-8", "replace").splitlines():
        head, _, path = ln.partition("\t")
        parts = head.split()
        deleted = "*" in parts
        inode = parts[-1].rstrip(":")
        realloc = "(realloc)" in inode
        inode = inode.replace("(realloc)", "")
        ents.append({"type": parts[0], "deleted": deleted, "realloc": realloc, "inode": inode, "path": path})
    return ents


def tsk_match(want, have):
    w, h = want.split("/"), have.split("/")
    if len(w) != len(h):
        return False
    for a, b in zip(w, h):
        if a.lower() == b.lower():
            continue
        if len(a) == len(b) and b.startswith("_") and a[1:].lower() == b[1:].lower():
            continue
        return False
    return True


def ntfs_data_kind(image, soff, inode):
    out = subprocess.run(["istat", "-o", str(soff), image, inode], capture_output=True).stdout.decode("utf-8", "replace")
    for ln in out.splitlines():
        if ln.startswith("Type: $DATA") and "Name: N/A" in ln:
            return "nonresident" if "Non-Resident" in ln else "resident"
    return None


def cmd_tskcheck(a):
    rows = read_manifest(a.manifest)
    ents = fls_entries(a.image, a.sector_offset)
    checked = 0
    for r in rows:
        if r["part"] != a.part or r["state"] == "formatted":
            continue
        checked += 1
        hits = [e for e in ents if tsk_match(r["path"], e["path"]) and "r" in e["type"].split("/")]
        if r["state"] == "live":
            hits = [e for e in hits if not e["deleted"]]
            if len(hits) != 1:
                fail(f"tsk: {r['path']}: {len(hits)} live entries")
        elif r["state"] == "overwritten":
            for e in hits:
                data = subprocess.run(["icat", "-r", "-o", str(a.sector_offset), a.image, e["inode"]],
                                      capture_output=True).stdout
                if e["deleted"] and hashlib.sha256(data).hexdigest() == r["sha"]:
                    fail(f"tsk: {r['path']}: claimed overwritten, icat still yields it")
            continue
        else:
            if any(not e["deleted"] for e in hits):
                fail(f"tsk: {r['path']}: listed as live")
            hits = [e for e in hits if e["deleted"]]
            if not hits:
                if a.deleted_unlisted_ok:
                    add_note(r, "tsk-unlisted")
                    continue
                fail(f"tsk: {r['path']}: not listed as deleted")
            if r["state"] == "deleted-in-deleted-folder":
                parent = r["path"].rsplit("/", 1)[0]
                if not any(e["deleted"] and e["type"].endswith("/d") and tsk_match(parent, e["path"]) for e in ents):
                    fail(f"tsk: {r['path']}: parent folder not listed as deleted")
        if r["state"] in a.skip_data_for:
            continue
        good = []
        for e in hits:
            data = subprocess.run(["icat", "-r", "-o", str(a.sector_offset), a.image, e["inode"]],
                                  capture_output=True).stdout
            if hashlib.sha256(data).hexdigest() == r["sha"]:
                good.append(e)
        if not good:
            fail(f"tsk: {r['path']}: icat does not yield the file placed")
        if a.note_inode:
            add_note(r, "inode=" + good[0]["inode"].split("-")[0])
        if a.note_resident:
            add_note(r, ntfs_data_kind(a.image, a.sector_offset, good[0]["inode"]))
    if checked == 0:
        fail(f"tsk: no rows for part {a.part}")
    if a.out:
        write_manifest(a.out, rows)
    print(f"tskcheck: part {a.part}: {checked} rows agree with fls/icat")


# ---------------------------------------------------------------- EXT3 journal

class Ext:
    def __init__(self, path, offset):
        self.f = open(path, "rb")
        self.off = offset
        sb = self.read(1024, 1024)
        if struct.unpack_from("<H", sb, 0x38)[0] != 0xEF53:
            fail("no ext superblock")
        self.bs = 1024 << struct.unpack_from("<I", sb, 0x18)[0]
        self.blocks = struct.unpack_from("<I", sb, 0x04)[0]
        self.ipg = struct.unpack_from("<I", sb, 0x28)[0]
        self.bpg = struct.unpack_from("<I", sb, 0x20)[0]
        self.first_data = struct.unpack_from("<I", sb, 0x14)[0]
        self.isize = struct.unpack_from("<H", sb, 0x58)[0]
        self.jino = struct.unpack_from("<I", sb, 0xE0)[0]
        ngroups = (self.blocks - self.first_data + self.bpg - 1) // self.bpg
        gd = self.read((self.first_data + 1) * self.bs, ngroups * 32)
        self.itab = [struct.unpack_from("<I", gd, g * 32 + 8)[0] for g in range(ngroups)]

    def read(self, pos, n):
        self.f.seek(self.off + pos)
        return self.f.read(n)

    def block(self, b):
        return self.read(b * self.bs, self.bs)

    def inode(self, n):
        g, i = divmod(n - 1, self.ipg)
        return self.read(self.itab[g] * self.bs + i * self.isize, self.isize)

    def block_map(self, ino, limit=1 << 20):
        ptrs = struct.unpack_from("<15I", ino, 0x28)
        out = list(ptrs[:12])
        per = self.bs // 4

        def ind(b, depth):
            if b == 0 or b >= self.blocks:
                return [0] * (per ** depth)
            vals = struct.unpack(f"<{per}I", self.block(b))
            if depth == 1:
                return list(vals)
            res = []
            for v in vals:
                res += ind(v, depth - 1)
                if len(res) > limit:
                    break
            return res
        size = struct.unpack_from("<I", ino, 4)[0]
        need = (size + self.bs - 1) // self.bs
        if need > 12:
            out += ind(ptrs[12], 1)
        if need > 12 + per:
            out += ind(ptrs[13], 2)
        return out[:need]

    def file_data(self, ino):
        size = struct.unpack_from("<I", ino, 4)[0]
        data = b"".join(self.block(b) if b else b"\0" * self.bs for b in self.block_map(ino))
        return data[:size]

    def journal_copies(self):
        """Yields (fs block number, journal copy) in journal order."""
        jino = self.inode(self.jino)
        jblocks = self.block_map(jino)
        jsb = self.block(jblocks[0])
        magic, btype = struct.unpack_from(">II", jsb, 0)
        if magic != 0xC03B3998 or btype not in (3, 4):
            fail("journal superblock not found")
        incompat = struct.unpack_from(">I", jsb, 0x28)[0] if btype == 4 else 0
        tagbytes = 16 if incompat & 0x10 else (12 if incompat & 0x2 else 8)
        if incompat & 0x8:
            tagbytes += 2
        pending = []
        for jb in jblocks[1:]:
            blk = self.block(jb)
            magic, btype = struct.unpack_from(">II", blk, 0)
            if magic == 0xC03B3998:
                pending = []
                if btype == 1:
                    p = 12
                    while p + tagbytes <= self.bs:
                        nr = struct.unpack_from(">I", blk, p)[0]
                        flags = struct.unpack_from(">I" if tagbytes == 16 else ">H", blk,
                                                   p + (4 if tagbytes == 16 else 6))[0]
                        pending.append((nr, flags))
                        p += tagbytes + (0 if flags & 2 else 16)
                        if flags & 8:
                            break
                continue
            if pending:
                nr, flags = pending.pop(0)
                if flags & 1:  # escaped: the magic was zeroed in the copy
                    blk = struct.pack(">I", 0xC03B3998) + blk[4:]
                yield nr, blk


def journal_dir_names(copies, bs):
    """(inode, name) of the entries in journal copies of folders' first blocks."""
    names = set()
    for nr, blk in copies:
        if blk[4:8] != b"\x0c\x00\x01\x02" or blk[8:9] != b"." or blk[16:20] != b"\x0c\x00\x02\x02":
            continue
        p = 0
        while p + 8 <= bs:
            ino, rec, nlen = struct.unpack_from("<IHB", blk, p)
            if rec < 8:
                break
            if ino:
                names.add((ino, bytes(blk[p + 8:p + 8 + nlen])))
            p += rec
    return names


def cmd_ext3check(a):
    rows = read_manifest(a.manifest)
    fs = Ext(a.image, a.offset)
    copies = list(fs.journal_copies())
    checked = 0
    for r in rows:
        if r["part"] != a.part or r["state"] not in ("deleted", "deleted-in-deleted-folder"):
            continue
        checked += 1
        found = None
        for nr, blk in copies:
            for g, start in enumerate(fs.itab):
                per_block = fs.bs // fs.isize
                if not start <= nr < start + fs.ipg // per_block:
                    continue
                for slot in range(per_block):
                    ino = blk[slot * fs.isize:(slot + 1) * fs.isize]
                    mode, = struct.unpack_from("<H", ino, 0)
                    size, = struct.unpack_from("<I", ino, 4)
                    dtime, = struct.unpack_from("<I", ino, 0x14)
                    if not mode & 0x8000 or size != r["size"] or dtime or struct.unpack_from("<I", ino, 0x28)[0] == 0:
                        continue
                    if hashlib.sha256(fs.file_data(ino)).hexdigest() == r["sha"]:
                        found = g * fs.ipg + (nr - start) * per_block + slot + 1
                        break
                if found:
                    break
            if found:
                break
        if not found:
            fail(f"ext3: {r['path']}: no journal copy of its inode yields the file")
        cur = fs.inode(found)
        if struct.unpack_from("<I", cur, 0x28)[0] != 0 and hashlib.sha256(fs.file_data(cur)).hexdigest() == r["sha"]:
            fail(f"ext3: {r['path']}: inode {found} still maps the file (not deleted?)")
        add_note(r, f"journal-inode={found}")
        base = r["path"].rsplit("/", 1)[-1].encode()
        add_note(r, "journal-name" if (found, base) in journal_dir_names(copies, fs.bs) else "no-journal-name")
    write_manifest(a.out, rows)
    print(f"ext3check: part {a.part}: {checked} deleted rows recoverable from journal inode copies "
          f"({len(copies)} journal block copies, inode size {fs.isize}, block size {fs.bs})")


# ---------------------------------------------------------------- raw image, GPT

def cmd_rawbuild(a):
    rng = random.Random(a.seed)
    img = bytearray(a.size)
    places = []
    for placement in a.place:
        path, off = placement.rsplit(":", 1)
        data = open(path, "rb").read()
        places.append((int(off), data, path))
    places.sort()
    # filler: a stretch of noise sectors before each file (each sector starts with a
    # marker no signature begins with), zeros elsewhere
    prev_end = 0
    for off, data, path in places:
        if off < prev_end:
            fail(f"{path} overlaps the file before it")
        start = max(prev_end, off - a.noise * 512)
        start = (start + 511) // 512 * 512
        for s in range(start, off - off % 512, 512):
            img[s:s + 512] = b"VELKFILL" + struct.pack("<Q", s // 512) + rng.randbytes(496)
        img[off:off + len(data)] = data
        prev_end = off + len(data)
    if len(img) != a.size:
        fail("image size changed")
    with open(a.out, "wb") as f:
        f.write(img)


def cmd_gptbreak(a):
    with open(a.image, "r+b") as f:
        f.seek(512)
        hdr = bytearray(f.read(92))
        if hdr[:8] != b"EFI PART":
            fail("no primary GPT header at LBA 1")
        crc, = struct.unpack_from("<I", hdr, 16)
        struct.pack_into("<I", hdr, 16, crc ^ 0xDEADBEEF)
        f.seek(512)
        f.write(hdr)
    print(f"gptbreak: header CRC {crc:08x} -> {crc ^ 0xDEADBEEF:08x}")


def main():
    ap = argparse.ArgumentParser()
    sub = ap.add_subparsers(dest="cmd", required=True)
    g = sub.add_parser("gen")
    g.add_argument("kind")
    g.add_argument("out")
    g.add_argument("--seed", default="velk")
    g.add_argument("--size", type=int, default=0)
    g.add_argument("--width", type=int, default=640)
    g.add_argument("--height", type=int, default=480)
    g.add_argument("--title")
    g.add_argument("--grain", type=int, default=0, help="jpeg: percent of seeded noise blended in")
    g.set_defaults(fn=cmd_gen)
    w = sub.add_parser("fatwalk")
    w.add_argument("image")
    w.add_argument("--offset", type=int, default=0)
    w.set_defaults(fn=cmd_fatwalk)
    q = sub.add_parser("fatgeom")
    q.add_argument("image")
    q.add_argument("--offset", type=int, default=0)
    q.set_defaults(fn=cmd_fatgeom)
    h = sub.add_parser("fatchain")
    h.add_argument("image")
    h.add_argument("path")
    h.add_argument("--offset", type=int, default=0)
    h.set_defaults(fn=cmd_fatchain)
    d = sub.add_parser("fatdates")
    d.add_argument("image")
    d.add_argument("--offset", type=int, default=0)
    d.add_argument("--year", type=int, required=True)
    d.add_argument("--expect", action="append", default=[], help="PATH=YEAR for an entry with another year")
    d.set_defaults(fn=cmd_fatdates)
    c = sub.add_parser("fatcheck")
    c.add_argument("image")
    c.add_argument("--offset", type=int, default=0)
    c.add_argument("--part", type=int, required=True)
    c.add_argument("--manifest", required=True)
    c.add_argument("--out", required=True)
    c.add_argument("--pre")
    c.set_defaults(fn=cmd_fatcheck)
    t = sub.add_parser("tskcheck")
    t.add_argument("image")
    t.add_argument("--sector-offset", type=int, default=0)
    t.add_argument("--part", type=int, required=True)
    t.add_argument("--manifest", required=True)
    t.add_argument("--skip-data-for", action="append", default=[])
    t.add_argument("--deleted-unlisted-ok", action="store_true")
    t.add_argument("--note-inode", action="store_true")
    t.add_argument("--note-resident", action="store_true")
    t.add_argument("--out")
    t.set_defaults(fn=cmd_tskcheck)
    e = sub.add_parser("ext3check")
    e.add_argument("image")
    e.add_argument("--offset", type=int, default=0)
    e.add_argument("--part", type=int, required=True)
    e.add_argument("--manifest", required=True)
    e.add_argument("--out", required=True)
    e.set_defaults(fn=cmd_ext3check)
    r = sub.add_parser("rawbuild")
    r.add_argument("out")
    r.add_argument("--size", type=int, required=True)
    r.add_argument("--seed", default="raw")
    r.add_argument("--noise", type=int, default=64, help="noise sectors before each file")
    r.add_argument("--place", action="append", default=[])
    r.set_defaults(fn=cmd_rawbuild)
    b = sub.add_parser("gptbreak")
    b.add_argument("image")
    b.set_defaults(fn=cmd_gptbreak)
    a = ap.parse_args()
    a.fn(a)


if __name__ == "__main__":
    main()

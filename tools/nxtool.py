#!/usr/bin/env python3
"""Content generation and claim checking for the NTFS and EXT fixture builders.

Subcommands (all output paths are written whole, never appended):
  gen KIND OUT --seed S [--size N] [--width W --height H]
      KIND: text, random, spacer, jpeg, png. Deterministic for a given seed.
  ntfsls IMG                     every MFT record with a name, one line each
  ntfscheck IMG PLAN OUT [--infodir D] [--formatted]
      Verifies each planned row against the image and writes manifest rows.
  extls IMG                      path -> inode map of the live tree
  extcheck IMG PLAN OUT [--journal]
      Verifies each planned row against the image (freed inode or journal
      copies) and writes manifest rows.
  journal IMG                    dump of what the EXT3 journal holds

PLAN files are TSV without header: part, path, local file, state, notes.
For EXT plans the notes column starts with "inode=N" (taken before deletion).
"""

import argparse
import hashlib
import io
import os
import random
import re
import struct
import subprocess
import sys

WORDS = (
    "recovery sector cluster volume folder archive invoice meeting budget "
    "holiday garden letter report summary draft contract photo camera weather "
    "river mountain station library museum kitchen window morning evening "
    "quarter project disk table record journal inode backup note paper market "
    "coffee bicycle harbour island orchard winter summer autumn lantern copper"
).split()


def die(msg):
    sys.stderr.write("nxtool: " + msg + "\n")
    sys.exit(1)


def sha(data):
    return hashlib.sha256(data).hexdigest()


# ------------------------------------------------------------------ content

def gen_text(seed, size):
    rng = random.Random("text:" + seed)
    out = bytearray()
    line = 1
    while len(out) < size:
        words = " ".join(rng.choice(WORDS) for _ in range(rng.randint(5, 13)))
        out += f"{seed} {line:06d} {words}.\n".encode()
        line += 1
    return bytes(out[:size])


def gen_random(seed, size):
    return random.Random("random:" + seed).randbytes(size)


def gen_spacer(seed, size):
    # One short line naming the file, repeated: distinct per file, nearly free for xz.
    unit = f"spacer {seed} ".encode()
    unit = (unit * (64 // len(unit) + 1))[:63] + b"\n"
    return (unit * (size // 64 + 1))[:size]


def gen_lines(seed, size):
    # Numbered 64-byte lines: every line differs, yet xz packs them tightly.
    out = bytearray()
    n = 0
    tag = seed[-28:]
    while len(out) < size:
        out += f"{tag:<28} line {n:09d} ..................."[:63].encode() + b"\n"
        n += 1
    return bytes(out[:size])


def gen_picture(kind, seed, w, h):
    from PIL import Image, ImageDraw
    rng = random.Random("pic:" + seed)
    img = Image.new("RGB", (w, h))
    d = ImageDraw.Draw(img)
    a = [rng.randint(0, 255) for _ in range(3)]
    b = [rng.randint(0, 255) for _ in range(3)]
    for y in range(h):
        t = y / max(1, h - 1)
        d.line([(0, y), (w, y)], fill=tuple(int(p + (q - p) * t) for p, q in zip(a, b)))
    for _ in range(12):
        x0, y0 = rng.randint(0, w - 1), rng.randint(0, h - 1)
        x1, y1 = min(w, x0 + rng.randint(4, w // 2)), min(h, y0 + rng.randint(4, h // 2))
        col = tuple(rng.randint(0, 255) for _ in range(3))
        if rng.random() < 0.5:
            d.ellipse([x0, y0, x1, y1], fill=col)
        else:
            d.rectangle([x0, y0, x1, y1], fill=col)
    buf = io.BytesIO()
    if kind == "jpeg":
        img.save(buf, "JPEG", quality=88, optimize=False)
    else:
        img.save(buf, "PNG", compress_level=9)
    return buf.getvalue()


def cmd_gen(a):
    if a.kind == "text":
        data = gen_text(a.seed, a.size)
    elif a.kind == "random":
        data = gen_random(a.seed, a.size)
    elif a.kind == "lines":
        data = gen_lines(a.seed, a.size)
    elif a.kind == "spacer":
        data = gen_spacer(a.seed, a.size)
    elif a.kind in ("jpeg", "png"):
        data = gen_picture(a.kind, a.seed, a.width, a.height)
    else:
        die("unknown kind " + a.kind)
    os.makedirs(os.path.dirname(os.path.abspath(a.out)), exist_ok=True)
    with open(a.out, "wb") as f:
        f.write(data)


# ------------------------------------------------------------------ plans

def read_plan(path):
    rows = []
    with open(path, encoding="utf-8") as f:
        for ln in f:
            ln = ln.rstrip("\n")
            if not ln or ln.startswith("#"):
                continue
            parts = ln.split("\t")
            while len(parts) < 5:
                parts.append("")
            part, p, local, state, notes = parts[:5]
            rows.append(dict(part=part, path=p, local=local, state=state, notes=notes))
    return rows


def read_local(row):
    with open(row["local"], "rb") as f:
        return f.read()


def write_manifest(out, rows):
    with open(out, "w", encoding="utf-8") as f:
        f.write("part\tpath\tsize\tsha256\tstate\tnotes\n")
        for r in rows:
            f.write("\t".join([r["part"], r["path"], str(r["size"]), r["sha256"],
                               r["state"], r["notes"]]) + "\n")


# ------------------------------------------------------------------ NTFS

def lznt1_decompress(buf, want):
    out = bytearray()
    i = 0
    while i + 2 <= len(buf) and len(out) < want:
        hdr = buf[i] | (buf[i + 1] << 8)
        i += 2
        if hdr == 0:
            break
        size = (hdr & 0x0FFF) + 1
        chunk = buf[i:i + size]
        i += size
        if not hdr & 0x8000:
            out += chunk
            continue
        start = len(out)
        j = 0
        while j < len(chunk):
            flags = chunk[j]
            j += 1
            for bit in range(8):
                if j >= len(chunk):
                    break
                if not (flags >> bit) & 1:
                    out.append(chunk[j])
                    j += 1
                    continue
                tok = chunk[j] | (chunk[j + 1] << 8)
                j += 2
                pos = len(out) - start
                lmask, shift = 0x0FFF, 12
                k = pos - 1
                while k >= 0x10:
                    lmask >>= 1
                    shift -= 1
                    k >>= 1
                length = (tok & lmask) + 3
                back = (tok >> shift) + 1
                if back > pos:
                    raise ValueError("lznt1 back reference before chunk start")
                for _ in range(length):
                    out.append(out[-back])
        # a compressed chunk that ends short is padded to 4 KiB
        if len(out) - start < 4096 and len(out) < want:
            out += bytes(4096 - (len(out) - start))
    return bytes(out)


def decode_runs(data, off):
    runs = []  # (lcn or None for sparse, length)
    lcn = 0
    while off < len(data) and data[off] != 0:
        h = data[off]
        ln_sz, of_sz = h & 0x0F, h >> 4
        off += 1
        length = int.from_bytes(data[off:off + ln_sz], "little")
        off += ln_sz
        if of_sz == 0:
            runs.append((None, length))
        else:
            delta = int.from_bytes(data[off:off + of_sz], "little", signed=True)
            lcn += delta
            runs.append((lcn, length))
        off += of_sz
    return runs


class Ntfs:
    def __init__(self, path):
        self.f = open(path, "rb")
        boot = self.read(0, 512)
        if boot[3:7] != b"NTFS":
            die(path + ": no NTFS boot sector")
        self.bps = struct.unpack_from("<H", boot, 0x0B)[0]
        self.cs = self.bps * boot[0x0D]
        self.mft_lcn = struct.unpack_from("<Q", boot, 0x30)[0]
        c = struct.unpack_from("<b", boot, 0x40)[0]
        self.rs = (1 << -c) if c < 0 else c * self.cs
        rec0 = self.fixup(self.read(self.mft_lcn * self.cs, self.rs))
        d = [x for x in self.attrs(rec0) if x["type"] == 0x80 and x["name"] == ""][0]
        self.mft_runs = d["runs"]
        self.mft_bytes = self.read_nonres(d)
        self.nrec = len(self.mft_bytes) // self.rs

    def read(self, off, n):
        self.f.seek(off)
        return self.f.read(n)

    def fixup(self, rec):
        rec = bytearray(rec)
        if rec[0:4] != b"FILE":
            return None
        uo, uc = struct.unpack_from("<HH", rec, 4)
        usn = rec[uo:uo + 2]
        for k in range(1, uc):
            end = k * 512 - 2
            if end + 2 > len(rec):
                break
            if rec[end:end + 2] != usn:
                return None
            rec[end:end + 2] = rec[uo + 2 * k:uo + 2 * k + 2]
        return bytes(rec)

    def attrs(self, rec):
        out = []
        off = struct.unpack_from("<H", rec, 0x14)[0]
        while off + 16 <= len(rec):
            t, ln = struct.unpack_from("<II", rec, off)
            if t == 0xFFFFFFFF or ln == 0:
                break
            a = rec[off:off + ln]
            nonres = a[8]
            nlen, noff, flags = a[9], struct.unpack_from("<H", a, 10)[0], struct.unpack_from("<H", a, 12)[0]
            name = a[noff:noff + 2 * nlen].decode("utf-16-le")
            x = dict(type=t, name=name, nonres=nonres, flags=flags, attr_id=struct.unpack_from("<H", a, 14)[0])
            if nonres:
                svcn, evcn = struct.unpack_from("<QQ", a, 0x10)
                roff, cu = struct.unpack_from("<HB", a, 0x20)
                alloc, real, init = struct.unpack_from("<QQQ", a, 0x28)
                x.update(svcn=svcn, evcn=evcn, cu=cu, alloc=alloc, size=real, init=init,
                         runs=decode_runs(a, roff))
            else:
                vlen, voff = struct.unpack_from("<IH", a, 0x10)
                x.update(value=a[voff:voff + vlen], size=vlen)
            out.append(x)
            off += ln
        return out

    def read_nonres(self, d):
        cs = self.cs
        if d["flags"] & 0x00FF and d["cu"]:
            return self.read_compressed(d)
        out = bytearray()
        for lcn, length in d["runs"]:
            if lcn is None:
                out += bytes(length * cs)
            else:
                out += self.read(lcn * cs, length * cs)
        return bytes(out[:d["size"]])

    def read_compressed(self, d):
        cs = self.cs
        unit = 1 << d["cu"]
        clusters = []  # per VCN: lcn or None
        for lcn, length in d["runs"]:
            for k in range(length):
                clusters.append(None if lcn is None else lcn + k)
        out = bytearray()
        self.last_units = []
        for u in range(0, len(clusters), unit):
            part = clusters[u:u + unit]
            real = [c for c in part if c is not None]
            if not real:
                out += bytes(unit * cs)
                self.last_units.append("sparse")
            elif len(real) == unit:
                out += b"".join(self.read(c * cs, cs) for c in real)
                self.last_units.append("raw")
            else:
                stored = b"".join(self.read(c * cs, cs) for c in real)
                plain = lznt1_decompress(stored, unit * cs)
                out += plain[:unit * cs].ljust(unit * cs, b"\0")
                self.last_units.append("lznt1")
        return bytes(out[:d["size"]])

    def record(self, n, raw=None):
        if raw is None:
            raw = self.mft_bytes[n * self.rs:(n + 1) * self.rs]
        rec = self.fixup(raw)
        if rec is None:
            return None
        flags = struct.unpack_from("<H", rec, 0x16)[0]
        seq = struct.unpack_from("<H", rec, 0x10)[0]
        base = struct.unpack_from("<Q", rec, 0x20)[0]
        own = struct.unpack_from("<I", rec, 0x2C)[0]
        at = self.attrs(rec)
        names = []
        for x in at:
            if x["type"] == 0x30 and not x["nonres"]:
                v = x["value"]
                parent = struct.unpack_from("<Q", v, 0) [0] & 0xFFFFFFFFFFFF
                nl, ns = v[0x40], v[0x41]
                names.append((ns, v[0x42:0x42 + 2 * nl].decode("utf-16-le"), parent,
                              struct.unpack_from("<I", v, 0x38)[0]))
        si = [x for x in at if x["type"] == 0x10]
        name = parent = None
        if names:
            good = [t for t in names if t[0] != 2] or names
            good.sort(key=lambda t: -len(t[1]))
            _, name, parent, _ = good[0]
        return dict(n=n, own=own, seq=seq, inuse=bool(flags & 1), isdir=bool(flags & 2),
                    base=base, attrs=at, name=name, parent=parent,
                    usa=struct.unpack_from("<H", rec, 4)[0],
                    siflags=(struct.unpack_from("<I", si[0]["value"], 0x20)[0] if si else 0),
                    attrlist=any(x["type"] == 0x20 for x in at))

    def all_records(self):
        recs = {}
        for n in range(self.nrec):
            r = self.record(n)
            if r is not None and r["name"] is not None and r["base"] == 0:
                recs[n] = r
        return recs

    def data(self, r, stream=""):
        for x in r["attrs"]:
            if x["type"] == 0x80 and x["name"] == stream:
                if x["nonres"]:
                    self.last_units = []
                    return self.read_nonres(x), x
                return x["value"], x
        return None, None


def paths_of(recs, root=5):
    """Full path and 'some ancestor deleted' flag of every named record."""
    out = {}
    for n, r in recs.items():
        parts = [r["name"]]
        anc_deleted = False
        p = r["parent"]
        seen = {n}
        ok = True
        while p != root:
            q = recs.get(p)
            if q is None or p in seen:
                ok = False
                break
            seen.add(p)
            parts.append(q["name"])
            anc_deleted |= not q["inuse"]
            p = q["parent"]
        if ok:
            out[n] = ("/".join(reversed(parts)), anc_deleted)
    return out


def data_notes(vol, r, stream, d):
    notes = []
    if not d["nonres"]:
        notes.append("resident")
        return notes
    notes.append("nonresident")
    real_runs = [x for x in d["runs"] if x[0] is not None]
    sparse_runs = [x for x in d["runs"] if x[0] is None]
    if d["flags"] & 0x00FF:
        notes.append("compressed units=" + "+".join(vol.last_units))
    elif d["flags"] & 0x8000 or sparse_runs:
        notes.append("sparse")
    lay = ",".join(("hole" if l is None else f"{l}") + f"x{n}" for l, n in d["runs"])
    if not d["flags"] & 0x00FF:
        kind = "fragmented" if len(real_runs) > 1 else "contiguous"
        if len(real_runs) > 1 and any(b[0] < a[0] for a, b in zip(real_runs, real_runs[1:])):
            kind += " backward-run"
        notes.append(f"{kind} runs={len(d['runs'])} [{lay}]")
    else:
        notes.append(f"runs={len(d['runs'])} [{lay}]")
    return notes


def ntfsinfo_facts(path):
    """What `ntfsinfo -v` said about $DATA of one file before it was deleted."""
    facts = []
    txt = open(path, encoding="utf-8", errors="replace").read()
    for blk in re.split(r"Dumping attribute ", txt)[1:]:
        if not blk.startswith("$DATA"):
            continue
        res = re.search(r"Resident:\s+(\w+)", blk).group(1) == "Yes"
        fl = int(re.search(r"Attribute flags:\s+0x([0-9a-fA-F]+)", blk).group(1), 16)
        runs = re.search(r"Total runs: (\d+)", blk)
        nm = re.search(r"Attribute name:\s+'([^']*)'", blk)
        facts.append(dict(resident=res, flags=fl, runs=int(runs.group(1)) if runs else None,
                          name=nm.group(1) if nm else ""))
    return facts


def tsk_cat(img, n, attr_id=None):
    address = str(n) if attr_id is None else f"{n}-128-{attr_id}"
    p = subprocess.run(["icat", "-f", "ntfs", img, address], capture_output=True)
    return p.stdout if p.returncode == 0 else None


def cmd_ntfsls(a):
    vol = Ntfs(a.img)
    recs = vol.all_records()
    paths = paths_of(recs)
    for n in sorted(recs):
        r = recs[n]
        streams = [x["name"] for x in r["attrs"] if x["type"] == 0x80]
        print(f"{n}\t{'live' if r['inuse'] else 'deleted'}\t{'dir' if r['isdir'] else 'file'}\t"
              f"{paths.get(n, ('?/' + r['name'], False))[0]}\tstreams={streams}")


def cmd_ntfscheck(a):
    vol = Ntfs(a.img)
    plan = read_plan(a.plan)
    rows, errors = [], []
    if a.formatted:
        # The volume was formatted again: look for the old records wherever
        # they lie, outside the MFT that the boot sector names now.
        mft_extent = set()
        for lcn, length in vol.mft_runs:
            if lcn is not None:
                mft_extent.update(range(lcn * vol.cs // vol.rs, (lcn + length) * vol.cs // vol.rs))
        size = os.path.getsize(a.img)
        old = {}
        where = {}
        for pos in range(0, size - vol.rs + 1, vol.rs):
            raw = vol.read(pos, vol.rs)
            if raw[:4] != b"FILE":
                continue
            r = vol.record(None, raw)
            if r is None or r["name"] is None or pos // vol.rs in mft_extent:
                continue
            r["file0"] = raw[:5] == b"FILE0"
            old[r["own"]] = r
            where[r["own"]] = pos
        recs, paths = old, paths_of(old)
    else:
        recs = vol.all_records()
        paths = paths_of(recs)
    by_path = {}
    for n, (p, anc) in paths.items():
        by_path.setdefault(p, []).append(n)
    for row in plan:
        path, stream = row["path"], ""
        if ":" in path.rsplit("/", 1)[-1]:
            path, stream = path.rsplit(":", 1)
        cands = by_path.get(path, [])
        want_live = row["state"] == "live"
        cands = [n for n in cands if recs[n]["inuse"] == want_live] if not a.formatted else cands
        if not cands and row["state"] == "auto":
            sys.stderr.write(f"nxtool: {row['path']}: record reused, left out\n")
            continue
        if len(cands) != 1:
            errors.append(f"{row['path']}: {len(cands)} matching records")
            continue
        n = cands[0]
        r = recs[n]
        anc_deleted = paths[n][1]
        expect = read_local(row)
        data, d = vol.data(r, stream)
        if d is None:
            errors.append(f"{row['path']}: record {n} has no $DATA{':' + stream if stream else ''}")
            continue
        notes = [f"inode={n}"]
        notes += data_notes(vol, r, stream, d)
        if not stream:
            ads = [x["name"] for x in r["attrs"] if x["type"] == 0x80 and x["name"]]
            notes += ["ads:" + s for s in ads]
        if r["siflags"] & 0x800 and not d["flags"] & 0xFF:
            notes.append("compressed-flag-only")
        state = row["state"]
        if a.formatted:
            if r["inuse"] is False:
                notes.append("record-was-free")
            notes.append(f"at-byte={where[n]}")
            if not r["file0"]:
                errors.append(f"{row['path']}: old record does not begin with FILE0")
        else:
            if state == "live" and (not r["inuse"] or anc_deleted):
                errors.append(f"{row['path']}: not live")
            if state == "deleted" and (r["inuse"] or anc_deleted):
                errors.append(f"{row['path']}: expected deleted with a live folder")
            if state == "deleted-in-deleted-folder" and (r["inuse"] or not anc_deleted):
                errors.append(f"{row['path']}: expected deleted inside a deleted folder")
            if state == "overwritten" and r["inuse"]:
                errors.append(f"{row['path']}: overwritten row is in use")
        same = data == expect
        if state == "overwritten":
            if same:
                errors.append(f"{row['path']}: claimed overwritten but data is intact")
        elif not same:
            if state == "auto":
                state = "overwritten"
            else:
                errors.append(f"{row['path']}: data differs from what was placed "
                              f"({len(data)} vs {len(expect)} bytes)")
        if state == "auto":
            state = "deleted" if not anc_deleted else "deleted-in-deleted-folder"
        # Second opinion from The Sleuth Kit (not for the formatted image,
        # whose old records only this sweep sees).
        if not a.formatted:
            tsk = tsk_cat(a.img, n, d["attr_id"] if stream else None)
            if tsk is None:
                errors.append(f"{row['path']}: icat failed on {n}")
            elif (tsk == expect) != same:
                errors.append(f"{row['path']}: icat disagrees with own decoding")
        # First opinion from ntfsinfo, recorded while the file was live.
        if a.infodir and not stream:
            fp = os.path.join(a.infodir, hashlib.md5(row["path"].encode()).hexdigest() + ".txt")
            if row["state"] == "auto":
                pass
            elif not os.path.exists(fp):
                errors.append(f"{row['path']}: no ntfsinfo record")
            else:
                facts = [f for f in ntfsinfo_facts(fp) if f["name"] == ""]
                if not facts:
                    errors.append(f"{row['path']}: ntfsinfo shows no unnamed $DATA")
                else:
                    f0 = facts[0]
                    if f0["resident"] != (not d["nonres"]):
                        errors.append(f"{row['path']}: ntfsinfo resident={f0['resident']} disagrees")
                    if bool(f0["flags"] & 0xFF) != bool(d["flags"] & 0xFF):
                        errors.append(f"{row['path']}: ntfsinfo compression flag disagrees")
                    if bool(f0["flags"] & 0x8000) != bool(d["flags"] & 0x8000):
                        errors.append(f"{row['path']}: ntfsinfo sparse flag disagrees")
                    if d["nonres"] and f0["runs"] is not None and f0["runs"] != len(d["runs"]):
                        errors.append(f"{row['path']}: ntfsinfo runs {f0['runs']} != {len(d['runs'])}")
                    notes.append("ntfsinfo-checked")
        if row["notes"]:
            notes.insert(0, row["notes"])
        rows.append(dict(part=row["part"], path=row["path"], size=len(expect), sha256=sha(expect),
                         state=state, notes=" ".join(notes)))
    if not a.formatted:
        # Every named deleted record outside the system area must be accounted for.
        listed = {r["path"].split(":")[0] for r in plan}
        for n, r in recs.items():
            if n < 24 or r["inuse"] or r["isdir"]:
                continue
            p = paths.get(n, (None,))[0]
            if p not in listed:
                errors.append(f"deleted record {n} ({p}) is not in the plan")
    if errors:
        for e in errors:
            sys.stderr.write("CHECK FAILED: " + e + "\n")
        sys.exit(1)
    write_manifest(a.out, rows)


# ------------------------------------------------------------------ EXT

class Ext:
    def __init__(self, path):
        self.f = open(path, "rb")
        sb = self.read(1024, 1024)
        if struct.unpack_from("<H", sb, 0x38)[0] != 0xEF53:
            die(path + ": no ext superblock")
        self.sb = sb
        (self.icount, self.bcount) = struct.unpack_from("<II", sb, 0)
        self.first = struct.unpack_from("<I", sb, 0x14)[0]
        self.bs = 1024 << struct.unpack_from("<I", sb, 0x18)[0]
        self.bpg = struct.unpack_from("<I", sb, 0x20)[0]
        self.ipg = struct.unpack_from("<I", sb, 0x28)[0]
        rev = struct.unpack_from("<I", sb, 0x4C)[0]
        self.isz = struct.unpack_from("<H", sb, 0x58)[0] if rev else 128
        self.jino = struct.unpack_from("<I", sb, 0xE0)[0]
        self.ngroups = (self.bcount - self.first - 1) // self.bpg + 1
        gdt = self.read((self.first + 1) * self.bs, self.ngroups * 32)
        self.groups = [struct.unpack_from("<III", gdt, 32 * g) for g in range(self.ngroups)]

    def read(self, off, n):
        self.f.seek(off)
        return self.f.read(n)

    def block(self, b):
        if b >= self.bcount:
            raise ValueError(f"block {b} beyond the volume")
        return self.read(b * self.bs, self.bs)

    def inode_raw(self, n):
        g, i = (n - 1) // self.ipg, (n - 1) % self.ipg
        return self.read(self.groups[g][2] * self.bs + i * self.isz, self.isz)

    def inode_bit(self, n):
        g, i = (n - 1) // self.ipg, (n - 1) % self.ipg
        bm = self.block(self.groups[g][1])
        return (bm[i // 8] >> (i % 8)) & 1

    def block_bit(self, b):
        g, i = (b - self.first) // self.bpg, (b - self.first) % self.bpg
        bm = self.block(self.groups[g][0])
        return (bm[i // 8] >> (i % 8)) & 1

    @staticmethod
    def parse_inode(raw):
        mode, = struct.unpack_from("<H", raw, 0)
        size, atime, ctime, mtime, dtime = struct.unpack_from("<IIIII", raw, 4)
        links, = struct.unpack_from("<H", raw, 0x1A)
        nblk, = struct.unpack_from("<I", raw, 0x1C)
        flags, = struct.unpack_from("<I", raw, 0x20)
        ptrs = list(struct.unpack_from("<15I", raw, 0x28))
        return dict(mode=mode, size=size, ctime=ctime, mtime=mtime, dtime=dtime, links=links,
                    nblk=nblk, flags=flags, ptrs=ptrs)

    def file_blocks(self, ino):
        """Data block numbers of an inode, in order, through its block map
        (indirect blocks as they lie on the volume now)."""
        bs, per = self.bs, self.bs // 4
        n = (ino["size"] + bs - 1) // bs
        out, meta = [], []

        def ind(b, depth, want):
            meta.append(b)
            entries = struct.unpack(f"<{per}I", self.block(b))
            for e in entries:
                if len(out) >= want:
                    return
                if depth == 1:
                    out.append(e)
                else:
                    ind(e, depth - 1, want)

        out += ino["ptrs"][:min(12, n)]
        for lvl in (1, 2, 3):
            if len(out) < n:
                ind(ino["ptrs"][11 + lvl], lvl, n)
        return out, meta

    def file_data(self, ino):
        blocks, meta = self.file_blocks(ino)
        data = b"".join(self.block(b) for b in blocks)
        return data[:ino["size"]], blocks, meta

    def dir_entries(self, blk):
        out, pos = [], 0
        while pos + 8 <= len(blk):
            ino, rl, nl, ft = struct.unpack_from("<IHBB", blk, pos)
            if rl < 8:
                break
            if ino:
                out.append((ino, blk[pos + 8:pos + 8 + nl].decode("utf-8", "replace"), ft))
            pos += rl
        return out

    def walk(self, ino=2, prefix=""):
        res = {}
        node = self.parse_inode(self.inode_raw(ino))
        data, _, _ = self.file_data(node)
        for b in range(0, len(data), self.bs):
            for n, name, ft in self.dir_entries(data[b:b + self.bs]):
                if name in (".", ".."):
                    continue
                p = prefix + name
                res[p] = n
                if ft == 2:
                    res.update(self.walk(n, p + "/"))
        return res

    def block_class(self, x):
        g = (x - self.first) // self.bpg
        if g >= self.ngroups:
            return "outside"
        bb, ib, it = self.groups[g]
        tbl = self.ipg * self.isz // self.bs
        if it <= x < it + tbl:
            return "itable"
        if x in (bb, ib):
            return "bitmap"
        return "other"

    def journal(self):
        """Journal blocks in order: list of (journal index, fs block copied, bytes)."""
        jnode = self.parse_inode(self.inode_raw(self.jino))
        blocks, _ = self.file_blocks(jnode)
        first = self.block(blocks[0])
        magic, btype = struct.unpack_from(">II", first, 0)
        if magic != 0xC03B3998 or btype not in (3, 4):
            die("journal superblock missing")
        feat_incompat = struct.unpack_from(">I", first, 0x28)[0] if btype == 4 else 0
        if feat_incompat & ~0x1:
            die(f"journal uses incompat features 0x{feat_incompat:x}; tag decoding here assumes none")
        copies = []
        queue = []
        for idx in range(1, len(blocks)):
            blk = self.block(blocks[idx])
            magic, btype, seq = struct.unpack_from(">III", blk, 0)
            if magic == 0xC03B3998:
                queue = []
                if btype == 1:
                    pos = 12
                    while pos + 8 <= self.bs:
                        fsb, tflags = struct.unpack_from(">II", blk, pos)
                        pos += 8
                        if fsb or tflags:
                            queue.append((fsb, tflags, seq))
                        if not tflags & 0x2:
                            pos += 16
                        if tflags & 0x8:
                            break
                continue
            if queue:
                fsb, tflags, seq = queue.pop(0)
                if tflags & 0x1:  # escaped: the magic was zeroed
                    blk = struct.pack(">I", 0xC03B3998) + blk[4:]
                copies.append((idx, fsb, seq, blk))
        return copies


def first_dir_block(blk):
    return (blk[4:8] == bytes.fromhex("0c000102") and blk[8:12] == b".\0\0\0"
            and blk[16:20] == bytes.fromhex("0c000202") and blk[20:24] == b"..\0\0")


def cmd_extls(a):
    vol = Ext(a.img)
    for p, n in sorted(vol.walk().items()):
        print(f"{n}\t{p}")


def journal_facts(vol):
    copies = vol.journal()
    inode_copies = {}   # ino -> list of (jidx, parsed, raw128, seq)
    names_first = {}    # ino -> set of names seen in copies of first directory blocks
    names_other = {}
    per = vol.bs // vol.isz
    for idx, x, seq, blk in copies:
        if x >= vol.bcount:
            continue
        cls = vol.block_class(x)
        if cls == "itable":
            g = (x - vol.first) // vol.bpg
            base = (x - vol.groups[g][2]) * per + g * vol.ipg + 1
            for s in range(per):
                raw = blk[s * vol.isz:(s + 1) * vol.isz]
                inode_copies.setdefault(base + s, []).append((idx, vol.parse_inode(raw), seq))
        elif cls == "other":
            target = names_first if first_dir_block(blk) else names_other
            ents = vol.dir_entries(blk)
            # only trust blocks that walk cleanly as directory blocks
            if target is names_other and not _clean_dir(blk, vol.bs):
                continue
            for ino, name, ft in ents:
                if name in (".", "..") or not ft & 3:
                    continue
                target.setdefault(ino, set()).add(name)
    return copies, inode_copies, names_first, names_other


def _clean_dir(blk, bs):
    pos = 0
    while pos < bs:
        if pos + 8 > bs:
            return False
        ino, rl, nl, ft = struct.unpack_from("<IHBB", blk, pos)
        if rl < 8 or rl % 4 or pos + rl > bs or (ino and (nl == 0 or 8 + nl > rl or ft > 7)):
            return False
        pos += rl
    return pos == bs


def cmd_journal(a):
    vol = Ext(a.img)
    copies, ic, nf, no = journal_facts(vol)
    print(f"block size {vol.bs}, inode size {vol.isz}, journal inode {vol.jino}, {len(copies)} copies")
    for idx, x, seq, blk in copies:
        extra = ""
        if vol.block_class(x) == "other" and first_dir_block(blk):
            extra = " first-dir-block " + ",".join(f"{i}:{n}" for i, n, _ in vol.dir_entries(blk))
        print(f"j{idx}\tseq {seq}\tfs {x}\t{vol.block_class(x)}{extra}")
    for ino in sorted(ic):
        good = [c for c in ic[ino] if c[1]["mode"] & 0xF000 == 0x8000 and c[1]["size"]]
        if good:
            print(f"inode {ino}: " + "; ".join(f"j{j} seq{s} size={p['size']} dtime={p['dtime']} "
                                              f"b0={p['ptrs'][0]}" for j, p, s in good))


def cmd_extcheck(a):
    vol = Ext(a.img)
    plan = read_plan(a.plan)
    rows, errors = [], []
    live = vol.walk()
    if a.journal:
        copies, icop, names_first, names_other = journal_facts(vol)
    lsdel = None
    if a.debugfs and not a.journal:
        p = subprocess.run(["debugfs", "-R", "lsdel", a.img], capture_output=True, text=True)
        lsdel = {}
        for ln in p.stdout.splitlines():
            f = ln.split()
            if len(f) > 4 and f[0].isdigit():
                lsdel[int(f[0])] = int(f[3])
    for row in plan:
        m = re.match(r"inode=(\d+)\s*(.*)", row["notes"])
        if not m:
            errors.append(f"{row['path']}: plan lacks inode number")
            continue
        n, extra = int(m.group(1)), m.group(2)
        expect = read_local(row)
        cur = vol.parse_inode(vol.inode_raw(n))
        nblocks = (len(expect) + vol.bs - 1) // vol.bs
        per = vol.bs // 4
        if nblocks == 0:
            reach = "no-blocks"
        elif nblocks <= 12:
            reach = "direct"
        elif nblocks <= 12 + per:
            reach = "single-indirect"
        elif nblocks <= 12 + per + per * per:
            reach = "double-indirect"
        else:
            reach = "triple-indirect"
        notes = [f"inode={n}", f"blocks={nblocks}", reach]
        state = row["state"]
        if state == "live":
            if live.get(row["path"]) != n or not vol.inode_bit(n):
                errors.append(f"{row['path']}: not live at inode {n}")
            data, _, _ = vol.file_data(cur)
            if data != expect:
                errors.append(f"{row['path']}: live data differs")
        elif not a.journal:
            # EXT2: the freed inode keeps its block map.
            if vol.inode_bit(n) or row["path"] in live:
                errors.append(f"{row['path']}: inode {n} still in use")
            if cur["links"] != 0 or cur["dtime"] == 0:
                errors.append(f"{row['path']}: inode {n} lacks links=0/dtime")
            if cur["mode"] & 0xF000 != 0x8000 or cur["size"] != len(expect):
                errors.append(f"{row['path']}: inode {n} mode/size changed")
            data, blocks, meta = vol.file_data(cur)
            if data != expect:
                errors.append(f"{row['path']}: freed inode {n} no longer yields the data")
            if any(vol.block_bit(b) for b in blocks + meta):
                notes.append("blocks-reused")
            notes.append(f"dtime={cur['dtime']}")
            if lsdel is not None:
                # debugfs lsdel lists freed inodes that still own blocks.
                if len(expect) and lsdel.get(n) != len(expect):
                    errors.append(f"{row['path']}: debugfs lsdel does not list inode {n}")
                if not len(expect) and n in lsdel:
                    errors.append(f"{row['path']}: debugfs lsdel lists empty inode {n}")
            if a.tsk and len(expect):
                t = subprocess.run(["icat", "-f", "ext2", a.img, str(n)], capture_output=True)
                if t.returncode or t.stdout != expect:
                    errors.append(f"{row['path']}: icat of inode {n} differs")
        else:
            # EXT3: the inode is wiped; older copies live in the journal.
            if vol.inode_bit(n) or row["path"] in live:
                errors.append(f"{row['path']}: inode {n} still in use")
            if cur["ptrs"][0] != 0 or cur["size"] != 0:
                notes.append("inode-not-wiped")
            good = [(j, p, s) for j, p, s in icop.get(n, [])
                    if p["ptrs"][0] and p["size"] and p["mode"] & 0x8000 and p["dtime"] == 0
                    and (p["ctime"], p["nblk"], p["dtime"], p["size"]) !=
                        (cur["ctime"], cur["nblk"], cur["dtime"], cur["size"])]
            if not good:
                errors.append(f"{row['path']}: no journal copy of inode {n}")
                notes.append("no-journal-inode")
            else:
                j, p, s = good[0]
                try:
                    data, _, _ = vol.file_data(p)
                except ValueError:  # a block number beyond the volume
                    data = b""
                # How many copies there are and where depends on commit
                # timing, so only the stable facts go into the notes.
                if a.debugfs:
                    g, i = (n - 1) // vol.ipg, (n - 1) % vol.ipg
                    tb = vol.groups[g][2] + i * vol.isz // vol.bs
                    t = subprocess.run(["debugfs", "-R", f"logdump -O -b {tb}", a.img],
                                       capture_output=True, text=True)
                    if not re.search(rf"FS block {tb} logged at sequence \d+, journal block {j} ",
                                     t.stdout):
                        errors.append(f"{row['path']}: debugfs logdump does not show block {tb} "
                                      f"at journal block {j}")
                if p["size"] != len(expect):
                    notes.append(f"first-copy-size={p['size']}")
                if data == expect:
                    # the first qualifying copy maps blocks that hold the file
                    notes.append(f"journal-inode={n}")
                else:
                    notes.append("first-copy-does-not-recover")
                    if row["notes"].find("expect-broken") < 0:
                        errors.append(f"{row['path']}: first journal copy of inode {n} "
                                      "does not yield the data")
            nm = os.path.basename(row["path"])
            if nm in names_first.get(n, set()):
                notes.append("journal-name")
            elif nm in names_other.get(n, set()):
                notes.append("journal-name-not-first-dir-block journal-inode-only")
            else:
                notes.append("journal-inode-only")
        if extra:
            notes.insert(0, extra)
        rows.append(dict(part=row["part"], path=row["path"], size=len(expect), sha256=sha(expect),
                         state=state, notes=" ".join(notes)))
    if errors:
        for e in errors:
            sys.stderr.write("CHECK FAILED: " + e + "\n")
        sys.exit(1)
    write_manifest(a.out, rows)


def main():
    ap = argparse.ArgumentParser()
    sub = ap.add_subparsers(dest="cmd", required=True)
    g = sub.add_parser("gen")
    g.add_argument("kind")
    g.add_argument("out")
    g.add_argument("--seed", required=True)
    g.add_argument("--size", type=int, default=0)
    g.add_argument("--width", type=int, default=160)
    g.add_argument("--height", type=int, default=120)
    g.set_defaults(fn=cmd_gen)
    g = sub.add_parser("ntfsls")
    g.add_argument("img")
    g.set_defaults(fn=cmd_ntfsls)
    g = sub.add_parser("ntfscheck")
    g.add_argument("img")
    g.add_argument("plan")
    g.add_argument("out")
    g.add_argument("--infodir")
    g.add_argument("--formatted", action="store_true")
    g.set_defaults(fn=cmd_ntfscheck)
    g = sub.add_parser("extls")
    g.add_argument("img")
    g.set_defaults(fn=cmd_extls)
    g = sub.add_parser("extcheck")
    g.add_argument("img")
    g.add_argument("plan")
    g.add_argument("out")
    g.add_argument("--journal", action="store_true")
    g.add_argument("--debugfs", action="store_true")
    g.add_argument("--tsk", action="store_true")
    g.set_defaults(fn=cmd_extcheck)
    g = sub.add_parser("journal")
    g.add_argument("img")
    g.set_defaults(fn=cmd_journal)
    a = ap.parse_args()
    a.fn(a)


if __name__ == "__main__":
    main()

"""NTFS: a reader of our own (boot sector, MFT records with fixups, attributes,
runlists, LZNT1), the row checks built on it (with icat and ntfsinfo as second
opinions), and the writer side: mkntfs and ntfsinfo snapshots."""

import os
import re
import struct
import subprocess

from .manifest import fail, sha


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
                lmask, shift, k = 0x0FFF, 12, pos - 1
                while k >= 0x10:
                    lmask, shift, k = lmask >> 1, shift - 1, k >> 1
                length, back = (tok & lmask) + 3, (tok >> shift) + 1
                if back > pos:
                    raise ValueError("lznt1 back reference before chunk start")
                for _ in range(length):
                    out.append(out[-back])
        # a compressed chunk that ends short is padded to 4 KiB
        if len(out) - start < 4096 and len(out) < want:
            out += bytes(4096 - (len(out) - start))
    return bytes(out)


def decode_runs(data, off=0):
    """[(lcn or None for a hole, length)] of a runlist."""
    runs, lcn = [], 0
    while off < len(data) and data[off] != 0:
        h = data[off]
        ln_sz, of_sz = h & 0x0F, h >> 4
        off += 1
        length = int.from_bytes(data[off:off + ln_sz], "little")
        off += ln_sz
        if of_sz == 0:
            runs.append((None, length))
        else:
            lcn += int.from_bytes(data[off:off + of_sz], "little", signed=True)
            runs.append((lcn, length))
        off += of_sz
    return runs


def encode_runs(runs):
    out, prev = bytearray(), 0
    for lcn, length in runs:
        lb = length.to_bytes(8, "little").rstrip(b"\0") or b"\0"
        if lcn is None:
            out += bytes([len(lb)]) + lb
            continue
        ob = (lcn - prev).to_bytes(8, "little", signed=True)
        n = 8
        while n > 1 and ((ob[n - 1] == 0 and ob[n - 2] < 0x80) or (ob[n - 1] == 0xFF and ob[n - 2] >= 0x80)):
            n -= 1
        out += bytes([(n << 4) | len(lb)]) + lb + ob[:n]
        prev = lcn
    return out + b"\0"


def fixup(rec):
    """The record with its update sequence applied, or None when it is not a sound FILE record."""
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


def attributes(rec):
    out = []
    off = struct.unpack_from("<H", rec, 0x14)[0]
    while off + 16 <= len(rec):
        t, ln = struct.unpack_from("<II", rec, off)
        if t == 0xFFFFFFFF or ln == 0:
            break
        a = rec[off:off + ln]
        nlen, noff, flags, attr_id = a[9], *struct.unpack_from("<HHH", a, 10)
        x = dict(type=t, name=a[noff:noff + 2 * nlen].decode("utf-16-le"), nonres=a[8], flags=flags, attr_id=attr_id)
        if a[8]:
            svcn, evcn, roff, cu = *struct.unpack_from("<QQ", a, 0x10), *struct.unpack_from("<HB", a, 0x20)
            alloc, real, init = struct.unpack_from("<QQQ", a, 0x28)
            x.update(svcn=svcn, evcn=evcn, cu=cu, alloc=alloc, size=real, init=init, runs=decode_runs(a, roff))
        else:
            vlen, voff = struct.unpack_from("<IH", a, 0x10)
            x.update(value=a[voff:voff + vlen], size=vlen)
        out.append(x)
        off += ln
    return out


def record_size(boot, cluster):
    """Boot byte 0x40: a positive value counts clusters, a negative one is a power of two."""
    c = struct.unpack_from("<b", boot, 0x40)[0]
    return (1 << -c) if c < 0 else c * cluster


class Ntfs:
    def __init__(self, path, offset=0, mft_from_mirror=False):
        self.f = open(path, "rb")
        self.off = offset
        boot = self.read(0, 512)
        if boot[3:7] != b"NTFS":
            fail(path + ": no NTFS boot sector")
        self.bps = struct.unpack_from("<H", boot, 0x0B)[0]
        self.cs = self.bps * boot[0x0D]
        self.mft_lcn = struct.unpack_from("<Q", boot, 0x38 if mft_from_mirror else 0x30)[0]
        self.rs = record_size(boot, self.cs)
        rec0 = fixup(self.read(self.mft_lcn * self.cs, self.rs))
        if rec0 is None:
            fail(path + ": MFT record 0 is damaged")
        d = [x for x in attributes(rec0) if x["type"] == 0x80 and x["name"] == ""][0]
        self.mft_runs = d["runs"]
        self.mft_bytes = self.read_nonres(d)
        self.nrec = len(self.mft_bytes) // self.rs

    def read(self, off, n):
        self.f.seek(self.off + off)
        return self.f.read(n)

    def read_nonres(self, d):
        if d["flags"] & 0x00FF and d["cu"]:
            return self.read_compressed(d)
        out = bytearray()
        for lcn, length in d["runs"]:
            out += bytes(length * self.cs) if lcn is None else self.read(lcn * self.cs, length * self.cs)
        return bytes(out[:d["size"]])

    def read_compressed(self, d):
        cs, unit = self.cs, 1 << d["cu"]
        clusters = [None if lcn is None else lcn + k for lcn, length in d["runs"] for k in range(length)]
        out = bytearray()
        self.last_units = []
        for u in range(0, len(clusters), unit):
            real = [c for c in clusters[u:u + unit] if c is not None]
            if not real:
                out += bytes(unit * cs)
                self.last_units.append("sparse")
            elif len(real) == unit:
                out += b"".join(self.read(c * cs, cs) for c in real)
                self.last_units.append("raw")
            else:
                plain = lznt1_decompress(b"".join(self.read(c * cs, cs) for c in real), unit * cs)
                out += plain[:unit * cs].ljust(unit * cs, b"\0")
                self.last_units.append("lznt1")
        return bytes(out[:d["size"]])

    def record(self, n, raw=None):
        rec = fixup(self.mft_bytes[n * self.rs:(n + 1) * self.rs] if raw is None else raw)
        if rec is None:
            return None
        flags, = struct.unpack_from("<H", rec, 0x16)
        at = attributes(rec)
        names = []
        for x in at:
            if x["type"] == 0x30 and not x["nonres"]:
                v = x["value"]
                names.append((v[0x41], v[0x42:0x42 + 2 * v[0x40]].decode("utf-16-le"),
                               struct.unpack_from("<Q", v, 0)[0] & 0xFFFFFFFFFFFF, struct.unpack_from("<H", v, 6)[0]))
        si = [x for x in at if x["type"] == 0x10]
        name = parent = pseq = None
        if names:
            good = sorted([t for t in names if t[0] != 2] or names, key=lambda t: -len(t[1]))
            _, name, parent, pseq = good[0]
        return dict(n=n, own=struct.unpack_from("<I", rec, 0x2C)[0], seq=struct.unpack_from("<H", rec, 0x10)[0],
                    inuse=bool(flags & 1), isdir=bool(flags & 2), base=struct.unpack_from("<Q", rec, 0x20)[0],
                    attrs=at, name=name, parent=parent, parent_seq=pseq, names=len(names),
                    siflags=(struct.unpack_from("<I", si[0]["value"], 0x20)[0] if si else 0),
                    attrlist=any(x["type"] == 0x20 for x in at))

    def records(self, named=True):
        recs = {}
        for n in range(self.nrec):
            r = self.record(n)
            if r is not None and (r["name"] is not None or not named) and r["base"] == 0:
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


def parent_matches(q, seq):
    """A name's parent reference names record q with sequence number SEQ; freeing a
    record bumps its sequence, so a deleted folder may be one ahead."""
    return q["seq"] == seq or not q["inuse"] and q["seq"] == (seq % 0xFFFF) + 1


def paths_of(recs, root=5):
    """Full path and 'some ancestor deleted' flag of every named record whose parents
    all resolve (same record, matching sequence number)."""
    out = {}
    for n, r in recs.items():
        parts, anc_deleted, p, pseq, seen, ok = [r["name"]], False, r["parent"], r["parent_seq"], {n}, True
        while p != root:
            q = recs.get(p)
            if q is None or p in seen or not parent_matches(q, pseq):
                ok = False
                break
            seen.add(p)
            parts.append(q["name"])
            anc_deleted |= not q["inuse"]
            p, pseq = q["parent"], q["parent_seq"]
        if ok:
            out[n] = ("/".join(reversed(parts)), anc_deleted)
    return out


def data_notes(vol, d):
    if not d["nonres"]:
        return ["resident"]
    notes = ["nonresident"]
    real_runs = [x for x in d["runs"] if x[0] is not None]
    compressed = d["flags"] & 0x00FF
    if compressed:
        notes.append("compressed units=" + "+".join(vol.last_units))
    elif d["flags"] & 0x8000 or len(real_runs) < len(d["runs"]):
        notes.append("sparse")
    lay = ",".join(("hole" if lcn is None else f"{lcn}") + f"x{n}" for lcn, n in d["runs"])
    kind = ""
    if not compressed:
        kind = "fragmented " if len(real_runs) > 1 else "contiguous "
        if len(real_runs) > 1 and any(b[0] < a[0] for a, b in zip(real_runs, real_runs[1:])):
            kind = "fragmented backward-run "
    notes.append(f"{kind}runs={len(d['runs'])} [{lay}]")
    return notes


def ntfsinfo_facts(txt):
    """What `ntfsinfo -v` said about each $DATA of one file."""
    facts = []
    for blk in re.split(r"Dumping attribute ", txt)[1:]:
        if not blk.startswith("$DATA"):
            continue
        runs = re.search(r"Total runs: (\d+)", blk)
        nm = re.search(r"Attribute name:\s+'([^']*)'", blk)
        facts.append(dict(resident=re.search(r"Resident:\s+(\w+)", blk).group(1) == "Yes",
                          flags=int(re.search(r"Attribute flags:\s+0x([0-9a-fA-F]+)", blk).group(1), 16),
                          runs=int(runs.group(1)) if runs else None, name=nm.group(1) if nm else ""))
    return facts


def snapshot_info(s, image, rows):
    """Keeps `ntfsinfo -v` of each planned file while it is still live; the checks
    compare it with our decoding of the finished image."""
    for r in rows:
        if ":" not in r.path and r.state != "auto":
            r.facts["ntfsinfo"] = s.run("ntfsinfo", "-v", "-F", "/" + r.path, image)


def icat(image, n, attr_id=None):
    address = str(n) if attr_id is None else f"{n}-128-{attr_id}"
    p = subprocess.run(["icat", "-f", "ntfs", image, address], capture_output=True)
    return p.stdout if p.returncode == 0 else None


def old_records(vol, image):
    """Records of an earlier file system found anywhere outside the MFT the boot sector
    names now: {record number: record} and {record number: byte offset}."""
    mft = set()
    for lcn, length in vol.mft_runs:
        if lcn is not None:
            mft.update(range(lcn * vol.cs // vol.rs, (lcn + length) * vol.cs // vol.rs))
    old, where = {}, {}
    for pos in range(0, os.path.getsize(image) - vol.rs + 1, vol.rs):
        raw = vol.read(pos, vol.rs)
        if raw[:4] != b"FILE" or pos // vol.rs in mft:
            continue
        r = vol.record(None, raw)
        if r is None or r["name"] is None:
            continue
        r["file0"] = raw[:5] == b"FILE0"
        old[r["own"]], where[r["own"]] = r, pos
    return old, where


def _check_info(r, d, errors):
    facts = [f for f in ntfsinfo_facts(r.facts["ntfsinfo"]) if f["name"] == ""]
    if not facts:
        return errors.append(f"{r.path}: ntfsinfo shows no unnamed $DATA")
    f0 = facts[0]
    if f0["resident"] != (not d["nonres"]):
        errors.append(f"{r.path}: ntfsinfo resident={f0['resident']} disagrees")
    if bool(f0["flags"] & 0xFF) != bool(d["flags"] & 0xFF):
        errors.append(f"{r.path}: ntfsinfo compression flag disagrees")
    if bool(f0["flags"] & 0x8000) != bool(d["flags"] & 0x8000):
        errors.append(f"{r.path}: ntfsinfo sparse flag disagrees")
    if d["nonres"] and f0["runs"] is not None and f0["runs"] != len(d["runs"]):
        errors.append(f"{r.path}: ntfsinfo runs {f0['runs']} != {len(d['runs'])}")
    r.note("ntfsinfo-checked")


def check(image, rows, formatted=False, vol=None):
    """Checks each row against our own MFT decoding (plus icat, and ntfsinfo taken while
    the file was live); returns the rows kept (an 'auto' row whose record was reused goes)."""
    vol = vol or Ntfs(image)
    if formatted:
        recs, where = old_records(vol, image)
    else:
        recs = vol.records()
    paths = paths_of(recs)
    by_path = {}
    for n, (p, anc) in paths.items():
        by_path.setdefault(p, []).append(n)
    kept, errors = [], []
    for r in rows:
        path, stream = r.path, ""
        if ":" in path.rsplit("/", 1)[-1]:
            path, stream = path.rsplit(":", 1)
        cands = by_path.get(path, [])
        if "record" in r.facts:  # its name is gone: found by the record number noted while it lived
            cands = [r.facts["record"]]
            recs.setdefault(cands[0], vol.record(cands[0]))
            paths.setdefault(cands[0], (None, False))
        elif r.facts.get("parent_reused"):  # its parent's record now holds another folder
            cands = [n for n, x in recs.items() if n not in paths and x["name"] == path.rsplit("/", 1)[-1]]
            paths.update((n, (None, False)) for n in cands)
        if not formatted:
            cands = [n for n in cands if recs[n]["inuse"] == (r.state == "live")]
        if not cands and r.state == "auto":
            print(f"velkfx: {r.path}: record reused, left out")
            continue
        if len(cands) != 1:
            errors.append(f"{r.path}: {len(cands)} matching records")
            continue
        n = cands[0]
        rec, anc_deleted = recs[n], paths[n][1]
        data, d = vol.data(rec, stream)
        if d is None:
            errors.append(f"{r.path}: record {n} has no $DATA{':' + stream if stream else ''}")
            continue
        r.note(f"inode={n}", *data_notes(vol, d))
        if not stream:
            r.note(*["ads:" + x["name"] for x in rec["attrs"] if x["type"] == 0x80 and x["name"]])
        if rec["siflags"] & 0x800 and not d["flags"] & 0xFF:
            r.note("compressed-flag-only")
        state = r.state
        if formatted:
            r.note("record-was-free" if rec["inuse"] is False else "", f"at-byte={where[n]}")
            if not rec["file0"]:
                errors.append(f"{r.path}: old record does not begin with FILE0")
        elif state == "live" and (not rec["inuse"] or anc_deleted):
            errors.append(f"{r.path}: not live")
        elif state == "deleted" and (rec["inuse"] or anc_deleted):
            errors.append(f"{r.path}: expected deleted with a live folder")
        elif state == "deleted-in-deleted-folder" and (rec["inuse"] or not anc_deleted):
            errors.append(f"{r.path}: expected deleted inside a deleted folder")
        elif state == "overwritten" and rec["inuse"]:
            errors.append(f"{r.path}: overwritten row is in use")
        expect = r.data()
        same = data == expect
        if state == "overwritten" and same:
            errors.append(f"{r.path}: claimed overwritten but data is intact")
        elif state != "overwritten" and not same:
            if state != "auto":
                errors.append(f"{r.path}: data differs from what was placed ({len(data)} vs {len(expect)} bytes)")
            state = "overwritten"
        if state == "auto":
            state = "deleted-in-deleted-folder" if anc_deleted else "deleted"
        # The Sleuth Kit does not see the old records of a formatted volume.
        if not formatted:
            t = icat(image, n, d["attr_id"] if stream else None)
            if t is None:
                errors.append(f"{r.path}: icat failed on {n}")
            elif (t == expect) != same:
                errors.append(f"{r.path}: icat disagrees with own decoding")
        if "ntfsinfo" in r.facts:
            _check_info(r, d, errors)
        r.state = state
        r.facts["n"] = n
        kept.append(r)
    if not formatted:
        # Every named deleted record outside the system area must be accounted for.
        listed = {r.path.split(":")[0] for r in rows}
        matched = {r.facts.get("n") for r in kept}
        for n, rec in recs.items():
            p = paths.get(n, (None,))[0]
            if n >= 24 and not rec["inuse"] and not rec["isdir"] and p not in listed and n not in matched:
                errors.append(f"deleted record {n} ({p}) is not in the plan")
    if errors:
        fail("; ".join(errors))
    return kept


def mkntfs(s, image, size, label, *extra, cluster=4096):
    with open(image, "wb") as f:
        f.truncate(size)
    s.frozen("mkntfs", "-q", "-F", "-f", "-c", cluster, "-L", label, *extra, image)


def fsck(s, image):
    s.run("ntfsfix", "-n", image)

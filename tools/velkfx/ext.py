"""EXT2/3/4: a reader of our own (superblock, 32/64-byte group descriptors, inodes,
block maps and extent trees, folders, the JBD2 journal), the row checks built on
it (debugfs and The Sleuth Kit as second opinions), and the writers: mke2fs and
debugfs scripts at the frozen time."""

import hashlib
import os
import re
import struct
import subprocess

from .manifest import fail

JBD2_MAGIC = 0xC03B3998
EXTENTS_FL = 0x80000


class Ext:
    def __init__(self, path, offset=0):
        self.f = open(path, "rb")
        self.off = offset
        sb = self.read(1024, 1024)
        if struct.unpack_from("<H", sb, 0x38)[0] != 0xEF53:
            fail(path + ": no ext superblock")
        self.sb = sb
        self.icount, self.bcount, self.first = struct.unpack_from("<II", sb, 0) + struct.unpack_from("<I", sb, 0x14)
        self.bs = 1024 << struct.unpack_from("<I", sb, 0x18)[0]
        self.bpg, self.ipg = struct.unpack_from("<I", sb, 0x20)[0], struct.unpack_from("<I", sb, 0x28)[0]
        self.isz = struct.unpack_from("<H", sb, 0x58)[0] if struct.unpack_from("<I", sb, 0x4C)[0] else 128
        self.jino = struct.unpack_from("<I", sb, 0xE0)[0]
        self.incompat = struct.unpack_from("<I", sb, 0x60)[0]
        self.is64 = bool(self.incompat & 0x80)
        if self.is64:
            self.bcount |= struct.unpack_from("<I", sb, 0x150)[0] << 32
        dsz = struct.unpack_from("<H", sb, 0xFE)[0] if self.is64 else 32
        self.ngroups = (self.bcount - self.first - 1) // self.bpg + 1
        gdt = self.read((self.first + 1) * self.bs, self.ngroups * dsz)
        self.groups = []  # (block bitmap, inode bitmap, inode table)
        for g in range(self.ngroups):
            lo = struct.unpack_from("<III", gdt, dsz * g)
            hi = struct.unpack_from("<III", gdt, dsz * g + 0x20) if dsz >= 64 else (0, 0, 0)
            self.groups.append(tuple(a | b << 32 for a, b in zip(lo, hi)))

    def read(self, off, n):
        self.f.seek(self.off + off)
        return self.f.read(n)

    def block(self, b):
        if b >= self.bcount:
            raise ValueError(f"block {b} beyond the volume")
        return self.read(b * self.bs, self.bs)

    def inode_raw(self, n):
        g, i = divmod(n - 1, self.ipg)
        return self.read(self.groups[g][2] * self.bs + i * self.isz, self.isz)

    def inode_bit(self, n):
        g, i = divmod(n - 1, self.ipg)
        return (self.block(self.groups[g][1])[i // 8] >> (i % 8)) & 1

    def block_bit(self, b):
        g, i = divmod(b - self.first, self.bpg)
        return (self.block(self.groups[g][0])[i // 8] >> (i % 8)) & 1

    @staticmethod
    def parse_inode(raw):
        mode, size, atime, ctime, mtime, dtime = struct.unpack_from("<HxxIIIII", raw, 0)
        if len(raw) > 0x6C:
            size |= struct.unpack_from("<I", raw, 0x6C)[0] << 32
        links, nblk, flags = struct.unpack_from("<HII", raw, 0x1A)
        return dict(mode=mode, size=size, ctime=ctime, mtime=mtime, dtime=dtime, links=links, nblk=nblk,
                    flags=flags, ptrs=list(struct.unpack_from("<15I", raw, 0x28)), iblock=raw[0x28:0x64])

    def _extents(self, node, out, meta, depth=0):
        magic, entries, _, level = struct.unpack_from("<HHHH", node, 0)
        if magic != 0xF30A or depth > 5:
            raise ValueError("bad extent node")
        for i in range(entries):
            e = 12 + 12 * i
            if level == 0:
                lblk, length, hi, lo = struct.unpack_from("<IHHI", node, e)
                # a length over 32768 marks an unwritten extent: it reads as zeros
                out.append((lblk, None if length > 32768 else hi << 32 | lo, length - 32768 if length > 32768 else length))
            else:
                _, lo, hi = struct.unpack_from("<IIH", node, e)
                meta.append(hi << 32 | lo)
                self._extents(self.block(hi << 32 | lo), out, meta, depth + 1)

    def mapping(self, ino):
        """([(logical block, physical block or None, count)], metadata blocks) of an
        inode, through its extent tree or block map (indirect blocks as they lie now)."""
        out, meta = [], []
        if ino["flags"] & EXTENTS_FL:
            self._extents(ino["iblock"], out, meta)
            return sorted(out), meta
        per = self.bs // 4
        n = (ino["size"] + self.bs - 1) // self.bs
        ptrs = []

        def ind(b, depth, want):
            meta.append(b)
            for e in struct.unpack(f"<{per}I", self.block(b)):
                if len(ptrs) >= want:
                    return
                if depth == 1:
                    ptrs.append(e)
                else:
                    ind(e, depth - 1, want)
        ptrs += ino["ptrs"][:min(12, n)]
        for lvl in (1, 2, 3):
            if len(ptrs) < n:
                ind(ino["ptrs"][11 + lvl], lvl, n)
        return [(i, b or None, 1) for i, b in enumerate(ptrs)], meta

    def maps(self, ino):
        """Whether an inode still maps data (a wiped one has no pointers or extents left)."""
        if ino["flags"] & EXTENTS_FL:
            return struct.unpack_from("<HH", ino["iblock"], 0) [1] > 0
        return ino["ptrs"][0] != 0

    def chunks(self, ino, piece=1 << 22):
        """The file's bytes in pieces, holes as zeros, so large sparse files stream."""
        ext, _ = self.mapping(ino)
        pos, size, bs = 0, ino["size"], self.bs
        for lblk, pblk, count in ext + [(-(-size // bs), None, 0)]:
            while pos < min(lblk * bs, size):
                n = min(piece, lblk * bs - pos, size - pos)
                yield bytes(n)
                pos += n
            for k in range(0, count, max(1, piece // bs)):
                n = min(count - k, max(1, piece // bs)) * bs
                data = bytes(n) if pblk is None else self.read((pblk + k) * bs, n)
                if pblk is not None and pblk + k + n // bs > self.bcount:
                    raise ValueError("extent beyond the volume")
                data = data[:max(0, size - pos)]
                pos += len(data)
                yield data

    def file_data(self, ino):
        return b"".join(self.chunks(ino))

    def file_sha(self, ino):
        h = hashlib.sha256()
        for c in self.chunks(ino):
            h.update(c)
        return h.hexdigest()

    @staticmethod
    def dir_entries(blk):
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
        """{path: inode} of the live tree."""
        res = {}
        data = self.file_data(self.parse_inode(self.inode_raw(ino)))
        for b in range(0, len(data), self.bs):
            for n, name, ft in self.dir_entries(data[b:b + self.bs]):
                if name not in (".", ".."):
                    res[prefix + name] = n
                    if ft == 2:
                        res.update(self.walk(n, prefix + name + "/"))
        return res

    def block_class(self, x):
        """('itable', first inode in that block) / ('bitmap',) / ('other',) for a block number."""
        per = self.bs // self.isz
        for g, (bb, ib, it) in enumerate(self.groups):
            if it <= x < it + self.ipg * self.isz // self.bs:
                return "itable", g * self.ipg + (x - it) * per + 1
            if x in (bb, ib):
                return ("bitmap",)
        return ("other",)

    def journal(self):
        """Journal copies in journal order: (journal block index, fs block, transaction, bytes)."""
        ext, _ = self.mapping(self.parse_inode(self.inode_raw(self.jino)))
        blocks = [p + k for _, p, n in ext for k in range(n)]
        first = self.block(blocks[0])
        magic, btype = struct.unpack_from(">II", first, 0)
        if magic != JBD2_MAGIC or btype not in (3, 4):
            fail("journal superblock missing")
        incompat = struct.unpack_from(">I", first, 0x28)[0] if btype == 4 else 0
        csum3, csum2, wide = incompat & 0x10, incompat & 0x8, incompat & 0x2
        tagbytes = 16 if csum3 else 8 + (4 if wide else 0) + (2 if csum2 else 0)
        end = self.bs - (4 if csum2 or csum3 else 0)  # descriptor blocks end in a checksum tail
        copies, queue = [], []
        for idx in range(1, len(blocks)):
            blk = self.block(blocks[idx])
            magic, btype, seq = struct.unpack_from(">III", blk, 0)
            if magic == JBD2_MAGIC:
                queue = []
                pos = 12
                while btype == 1 and pos + tagbytes <= end:
                    fsb = struct.unpack_from(">I", blk, pos)[0]
                    tflags = struct.unpack_from(">I" if csum3 else ">H", blk, pos + (4 if csum3 else 6))[0]
                    if wide:
                        fsb |= struct.unpack_from(">I", blk, pos + 8)[0] << 32
                    pos += tagbytes + (0 if tflags & 0x2 else 16)
                    if fsb or tflags:
                        queue.append((fsb, tflags, seq))
                    if tflags & 0x8:
                        break
                continue
            if queue:
                fsb, tflags, seq = queue.pop(0)
                if tflags & 0x1:  # escaped: the magic was zeroed
                    blk = struct.pack(">I", JBD2_MAGIC) + blk[4:]
                copies.append((idx, fsb, seq, blk))
        return copies


def first_dir_block(blk):
    return (blk[4:8] == bytes.fromhex("0c000102") and blk[8:12] == b".\0\0\0"
            and blk[16:20] == bytes.fromhex("0c000202") and blk[20:24] == b"..\0\0")


def clean_dir(blk, bs):
    pos = 0
    while pos < bs:
        if pos + 8 > bs:
            return False
        ino, rl, nl, ft = struct.unpack_from("<IHBB", blk, pos)
        if rl < 8 or rl % 4 or pos + rl > bs or (ino and (nl == 0 or 8 + nl > rl or ft > 7)):
            return False
        pos += rl
    return pos == bs


def journal_facts(vol):
    """Journal copies; inode copies per inode [(journal index, parsed, transaction)];
    names seen per inode in copies of folders' first blocks and of their later blocks."""
    copies = vol.journal()
    inode_copies, names_first, names_other = {}, {}, {}
    per = vol.bs // vol.isz
    for idx, x, seq, blk in copies:
        if x >= vol.bcount:
            continue
        cls = vol.block_class(x)
        if cls[0] == "itable":
            for s in range(per):
                inode_copies.setdefault(cls[1] + s, []).append(
                    (idx, vol.parse_inode(blk[s * vol.isz:(s + 1) * vol.isz]), seq))
        elif cls[0] == "other":
            target = names_first if first_dir_block(blk) else names_other
            # only trust later blocks that walk cleanly as folder blocks
            if target is names_other and not clean_dir(blk, vol.bs):
                continue
            for ino, name, ft in vol.dir_entries(blk):
                if name not in (".", "..") and ft & 3:
                    target.setdefault(ino, set()).add(name)
    return copies, inode_copies, names_first, names_other


def reach(vol, nblocks):
    per = vol.bs // 4
    for limit, word in ((0, "no-blocks"), (12, "direct"), (12 + per, "single-indirect"),
                        (12 + per + per * per, "double-indirect")):
        if nblocks <= limit:
            return word
    return "triple-indirect"


def lsdel(image):
    """{inode: size} of what `debugfs lsdel` lists (freed inodes that still own blocks)."""
    out = subprocess.run(["debugfs", "-R", "lsdel", image], capture_output=True, text=True).stdout
    return {int(f[0]): int(f[3]) for f in (ln.split() for ln in out.splitlines()) if len(f) > 4 and f[0].isdigit()}


def _check_freed(vol, r, n, cur, live, image, errors, deleted_list, tsk):
    """EXT2 as debugfs leaves it: the freed inode keeps its block map."""
    if vol.inode_bit(n) or r.path in live:
        errors.append(f"{r.path}: inode {n} still in use")
    if cur["links"] != 0 or cur["dtime"] == 0:
        errors.append(f"{r.path}: inode {n} lacks links=0/dtime")
    if cur["mode"] & 0xF000 != 0x8000 or cur["size"] != r.size:
        errors.append(f"{r.path}: inode {n} mode/size changed")
    ext, meta = vol.mapping(cur)
    if vol.file_sha(cur) != r.sha:
        errors.append(f"{r.path}: freed inode {n} no longer yields the data")
    if any(vol.block_bit(p + k) for _, p, c in ext if p for k in range(c)) or any(vol.block_bit(b) for b in meta):
        r.note("blocks-reused")
    r.note(f"dtime={cur['dtime']}")
    if deleted_list is not None:
        if r.size and deleted_list.get(n) != r.size:
            errors.append(f"{r.path}: debugfs lsdel does not list inode {n}")
        if not r.size and n in deleted_list:
            errors.append(f"{r.path}: debugfs lsdel lists empty inode {n}")
    if tsk and r.size:
        t = subprocess.run(["icat", "-f", "ext2", image, str(n)], capture_output=True)
        if t.returncode or t.stdout != r.data():
            errors.append(f"{r.path}: icat of inode {n} differs")


def _sha_or_none(vol, ino):
    try:
        return vol.file_sha(ino)
    except ValueError:  # a block number beyond the volume
        return None


def _check_journal(vol, r, n, cur, facts, image, errors, debugfs):
    """Kernel deletions wipe the inode: an older copy in the journal must still map the file."""
    copies, icop, names_first, names_other = facts
    if vol.inode_bit(n) or r.path in vol.live:
        errors.append(f"{r.path}: inode {n} still in use")
    if vol.maps(cur) or cur["size"] != 0:
        r.note("inode-not-wiped")
    good = [(j, p, s) for j, p, s in icop.get(n, [])
            if vol.maps(p) and p["size"] and p["mode"] & 0x8000 and p["dtime"] == 0
            and (p["ctime"], p["nblk"], p["dtime"], p["size"]) != (cur["ctime"], cur["nblk"], cur["dtime"], cur["size"])]
    if not good:
        errors.append(f"{r.path}: no journal copy of inode {n}")
        r.note("no-journal-inode")
    else:
        j, p, s = good[0]
        # How many copies there are and where depends on commit timing, so only the
        # stable facts go into the notes.
        if debugfs:
            g, i = divmod(n - 1, vol.ipg)
            tb = vol.groups[g][2] + i * vol.isz // vol.bs
            t = subprocess.run(["debugfs", "-R", f"logdump -O -b {tb}", image], capture_output=True, text=True)
            if not re.search(rf"FS block {tb} logged at sequence \d+, journal block {j} ", t.stdout):
                errors.append(f"{r.path}: debugfs logdump does not show block {tb} at journal block {j}")
        got = _sha_or_none(vol, p)
        newest = max(good, key=lambda c: (c[2], c[0]))[1]
        if r.state == "overwritten":
            if r.sha in (got, _sha_or_none(vol, newest)):
                errors.append(f"{r.path}: claimed overwritten, but a journal copy of inode {n} yields it")
        elif got == r.sha:
            r.note(f"journal-inode={n}")  # the first qualifying copy maps blocks that hold the file
        elif _sha_or_none(vol, newest) == r.sha:
            # a file still growing: older, smaller copies come first, the newest one is whole
            r.note(f"first-copy-size={p['size']}", "first-copy-does-not-recover", f"newest-journal-inode={n}",
                   "journal-sizes=" + ",".join(str(x) for x in dict.fromkeys(c[1]["size"] for c in good)))
        else:
            errors.append(f"{r.path}: no journal copy of inode {n} yields the data")
    name = os.path.basename(r.path)
    if name in names_first.get(n, set()):
        r.note("journal-name")
    elif name in names_other.get(n, set()):
        r.note("journal-name-not-first-dir-block", "journal-inode-only")
    else:
        r.note("journal-inode-only")


def check(image, rows, offset=0, journal=False, debugfs=False, tsk=False, brief=False):
    """Checks rows of one EXT volume; each row carries facts['inode'], noted at write time.
    brief: only the journal facts go into the notes (the inode numbers come from fls)."""
    vol = Ext(image, offset)
    vol.live = vol.walk()
    facts = journal_facts(vol) if journal else None
    deleted_list = lsdel(image) if debugfs and not journal and offset == 0 else None
    errors = []
    for r in rows:
        n = r.facts["inode"]
        cur = vol.parse_inode(vol.inode_raw(n))
        nblocks = (r.size + vol.bs - 1) // vol.bs
        if not brief:
            r.note(f"inode={n}", f"blocks={nblocks}", "extent-mapped" if cur["flags"] & EXTENTS_FL else reach(vol, nblocks))
        if r.state == "live":
            if vol.live.get(r.path) != n or not vol.inode_bit(n):
                errors.append(f"{r.path}: not live at inode {n}")
            if vol.file_sha(cur) != r.sha:
                errors.append(f"{r.path}: live data differs")
        elif not journal:
            _check_freed(vol, r, n, cur, vol.live, image, errors, deleted_list, tsk and offset == 0)
        else:
            _check_journal(vol, r, n, cur, facts, image, errors, debugfs and offset == 0)
    if errors:
        fail("; ".join(errors))
    return vol


def mke2fs(s, image, size, *args):
    with open(image, "wb") as f:
        f.truncate(size)
    # (mke2fs warns that 128-byte inodes stop at 2038: that is the layout wanted)
    s.frozen("mke2fs", "-q", "-F", *args, image)


def debugfs(s, image, commands, clock="frozen", env=None):
    """Runs a debugfs script; debugfs reports errors on stdout/stderr and still exits 0."""
    script = s.path("debugfs.cmd")
    with open(script, "w") as f:
        f.write("\n".join(commands) + "\n")
    out = s.run("debugfs", "-w", "-f", script, image, clock=clock, env=env, merge=True)
    bad = [ln for ln in out.splitlines() if ln and not ln.startswith(("debugfs ", "debugfs:", "Allocated inode"))]
    if bad or re.search(r"(?i)error|not found|could not", out):
        fail("debugfs complained: " + "\n".join(bad))


def fsck(s, image):
    s.run("e2fsck", "-fn", image)

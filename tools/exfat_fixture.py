#!/usr/bin/env python3
"""Helper of build_exfat_fixtures.sh: deterministic file contents, and a reader of exFAT
images of its own (independent of the library) that checks every claim a manifest makes.

  gen OUT SIZE SEED                      a text file of SIZE bytes, unique at every offset
  snapshot IMG OFFSET OUT.json           every in-use file and folder: where its entry set
                                         and clusters lie, its flags and the sha256 read back
  setattr IMG OFFSET PATH ATTR           sets a file's attributes (and the set checksum)
  rows IMG OFFSET BEFORE.json PART MODE  manifest rows (MODE deleted|formatted), each state
       [--expect PATH=STATE ...]         and note read back from the image as it is now
  tsk IMG SECTOR_OFFSET MANIFEST PART    fls/icat of The Sleuth Kit against the manifest
  volume IMG OFFSET PART                 a row of the volume table: label, cluster size and
                                         the clusters the bitmap marks free
  folder IMG OFFSET BEFORE.json PATH     a folder then and now: "nofatchain|fatchain clusters=N
                                         now=in-use|deleted length=BYTES"
  seeds OUT_DIR FIXTURE_DIR              fuzz seeds: each fixture volume compacted to its
                                         first clusters (tools/fuzz_corpus.sh calls this)
"""
import hashlib
import json
import struct
import subprocess
import sys

EOC = 0xFFFFFFF8


def u16(b, o): return struct.unpack_from('<H', b, o)[0]
def u32(b, o): return struct.unpack_from('<I', b, o)[0]
def u64(b, o): return struct.unpack_from('<Q', b, o)[0]


def gen(out, size, seed):
    lines, n = [], 0
    total = 0
    while total < size:
        h = hashlib.sha256(f'{seed}/{n}'.encode()).hexdigest()
        line = f'{seed} line {n:07d} {h[:40]}\n'
        lines.append(line)
        total += len(line.encode())
        n += 1
    data = ''.join(lines).encode()[:size]
    with open(out, 'wb') as f:
        f.write(data)


def set_checksum(data):
    s = 0
    for i, b in enumerate(data):
        if i in (2, 3):
            continue
        s = (((s & 1) << 15) | (s >> 1)) + b
        s &= 0xFFFF
    return s


class Volume:
    def __init__(self, path, offset, mode='rb'):
        self.f = open(path, mode)
        self.base = offset
        b = self.read(0, 512)
        if b[3:11] != b'EXFAT   ':
            raise SystemExit(f'{path}@{offset}: no exFAT boot sector')
        self.bps = 1 << b[0x6C]
        self.cb = self.bps << b[0x6D]
        self.fat_at = u32(b, 0x50) * self.bps
        self.heap_at = u32(b, 0x58) * self.bps
        self.count = u32(b, 0x5C)
        self.root = u32(b, 0x60)
        self.bitmap = None
        root = self.read_clusters(self.chain(self.root))
        for o in range(0, len(root), 32):
            if root[o] == 0x81:
                self.bitmap = self.read_clusters(self.chain(u32(root, o + 20)))[:(self.count + 7) // 8]
            if root[o] == 0x83:
                self.label = root[o + 2:o + 2 + 2 * root[o + 1]].decode('utf-16-le')

    def read(self, off, n):
        self.f.seek(self.base + off)
        return self.f.read(n)

    def read_set(self, where):
        return b''.join(self.read(at, 32) for at in where)

    def write(self, off, data):
        self.f.seek(self.base + off)
        self.f.write(data)

    def fat(self, c):
        return u32(self.read(self.fat_at + 4 * c, 4), 0)

    def chain(self, c):
        out = []
        while 2 <= c < self.count + 2 and c not in out:
            out.append(c)
            c = self.fat(c)
        return out

    def allocated(self, c):
        i = c - 2
        return bool(self.bitmap[i // 8] >> (i % 8) & 1)

    def cluster_of(self, at):
        return (at - self.heap_at) // self.cb + 2

    def cluster_at(self, c):
        return self.heap_at + (c - 2) * self.cb

    def read_clusters(self, clusters):
        return b''.join(self.read(self.cluster_at(c), self.cb) for c in clusters)

    def clusters_of(self, first, size, nofat):
        n = (size + self.cb - 1) // self.cb
        if n == 0 or first < 2:
            return []
        return list(range(first, first + n)) if nofat else self.chain(first)[:n]

    def content(self, clusters, vdl, size):
        return self.read_clusters(clusters)[:vdl] + bytes(size - vdl)

    def sets(self, data, data_at):
        """Entry sets of a folder's bytes: (offset in image, entries, name, facts)."""
        o = 0
        while o + 32 <= len(data):
            t = data[o]
            if t & 0x7F != 0x05:
                o += 32
                continue
            count = data[o + 1]
            raw = data[o:o + 32 * (count + 1)]
            stream = raw[32:64]
            length = stream[3]
            name = b''.join(raw[64 + 32 * i + 2:64 + 32 * i + 32] for i in range(count - 1))
            where = [data_at(o + 32 * i) for i in range(count + 1)]
            yield where, raw, name[:2 * length].decode('utf-16-le'), {
                'inuse': t == 0x85, 'attr': u16(raw, 4), 'first': u32(stream, 20),
                'vdl': u64(stream, 8), 'size': u64(stream, 24), 'nofat': bool(stream[1] & 2),
                'names': count - 1, 'checksum_ok': set_checksum(raw) == u16(raw, 2),
                'mtime': u32(raw, 12), 'm10ms': raw[21], 'mutc': raw[23]}
            o += 32 * (count + 1)

    def walk(self, clusters=None, prefix=''):
        """Every in-use set below the folder made of these clusters (the root by default)."""
        clusters = clusters or self.chain(self.root)
        data = self.read_clusters(clusters)

        def at(o):
            return self.cluster_at(clusters[o // self.cb]) + o % self.cb
        for where, raw, name, facts in self.sets(data, at):
            if not facts['inuse']:
                continue
            path = prefix + name
            facts.update(path=path, at=where, raw=raw.hex(), folder_cluster=clusters[0],
                         set_cluster=self.cluster_of(where[0]))
            facts['clusters'] = self.clusters_of(facts['first'], facts['size'], facts['nofat'])
            if facts['attr'] & 0x10:
                yield facts
                yield from self.walk(facts['clusters'], path + '/')
            else:
                body = self.content(facts['clusters'], facts['vdl'], facts['size'])
                facts['sha256'] = hashlib.sha256(body).hexdigest()
                yield facts


def snapshot(img, offset, out):
    entries = list(Volume(img, offset).walk())
    with open(out, 'w') as f:
        json.dump(entries, f, indent=1)


def setattr_(img, offset, path, attr):
    v = Volume(img, offset, 'r+b')
    hit = [e for e in v.walk() if e['path'] == path]
    if len(hit) != 1:
        raise SystemExit(f'setattr: {path} not found')
    raw = bytearray(bytes.fromhex(hit[0]['raw']))
    struct.pack_into('<H', raw, 4, attr)
    struct.pack_into('<H', raw, 2, set_checksum(raw))
    for i, at in enumerate(hit[0]['at']):
        v.write(at, bytes(raw[32 * i:32 * i + 32]))


def contiguous(clusters):
    return all(b == a + 1 for a, b in zip(clusters, clusters[1:]))


def timestamp_text(ts, centis, utc):
    seconds = (ts & 0x1F) * 2 + centis // 100
    text = (f'{1980 + (ts >> 25):04d}-{ts >> 21 & 0xF:02d}-{ts >> 16 & 0x1F:02d}T'
            f'{ts >> 11 & 0x1F:02d}:{ts >> 5 & 0x3F:02d}:{seconds:02d}.{centis % 100:02d}')
    if utc & 0x80:
        quarters = utc & 0x7F
        quarters -= 0x80 if quarters & 0x40 else 0
        sign = '-' if quarters < 0 else '+'
        text += f'{sign}{abs(quarters) * 15 // 60:02d}:{abs(quarters) * 15 % 60:02d}'
    return text


def rows(img, offset, before_paths, part, mode, expect):
    v = Volume(img, offset)
    before, by_path = [], {}
    for snap in before_paths.split(','):
        for e in json.load(open(snap)):
            if e['path'] not in by_path:
                by_path[e['path']] = e
                before.append(e)
    out, seen_states = [], {}
    for e in before:
        if e['attr'] & 0x10:
            continue
        raw = bytes.fromhex(e['raw'])
        now = v.read_set(e['at'])
        notes = []
        if mode == 'formatted':
            body = v.content(e['clusters'], e['vdl'], e['size'])
            removed = bytes(b & 0x7F if i % 32 == 0 else b for i, b in enumerate(raw))
            intact = now in (raw, removed) and hashlib.sha256(body).hexdigest() == e['sha256']
            state = 'formatted' if intact else 'overwritten'
            if now == removed:
                notes.append('deleted-before-format')
            elif now != raw:
                notes.append('entry-gone')
            notes.append(f'folder-cluster={e["folder_cluster"]}')
        else:
            if now[0] == 0x85 and now == raw:
                state = 'live'
            elif now[0] == 0x05 and bytes([now[0] | 0x80]) + now[1:32] == raw[:32] and all(
                    now[32 * i] == raw[32 * i] & 0x7F for i in range(1, len(raw) // 32)):
                state = 'deleted'
                parts = e['path'].split('/')
                for i in range(1, len(parts)):
                    up = by_path['/'.join(parts[:i])]
                    if v.read(up['at'][0], 1)[0] == 0x05:
                        state = 'deleted-in-deleted-folder'
                free = not any(v.allocated(c) for c in e['clusters'])
                body = v.content(e['clusters'], e['vdl'], e['size'])
                if not free or hashlib.sha256(body).hexdigest() != e['sha256']:
                    state = 'overwritten'
            else:
                state = 'overwritten'  # another set took the slots
                notes.append('entry-gone')
        if e['clusters']:
            notes.append('contiguous' if contiguous(e['clusters']) else 'fragmented')
            notes.append('nofatchain' if e['nofat'] else 'fatchain')
        notes.append(f'cluster={e["first"]}')
        notes.append(f'set-cluster={e["set_cluster"]}')
        notes.append(f'attr=0x{e["attr"]:02x}')
        notes.append(f'name-entries={e["names"]}')
        notes.append('modified=' + timestamp_text(e['mtime'], e['m10ms'], e['mutc']))
        want = expect.get(e['path'])
        if want and want != state:
            raise SystemExit(f'{e["path"]}: state {state}, the builder meant {want}')
        seen_states[e['path']] = state
        out.append((part, e['path'], e['size'], e['sha256'], state, ' '.join(notes)))
    missing = set(expect) - set(seen_states)
    if missing:
        raise SystemExit(f'not found before the change: {sorted(missing)}')
    for r in out:
        print('\t'.join(str(x) for x in r))


def volume(img, offset, part):
    v = Volume(img, offset)
    used = sum(v.allocated(c) for c in range(2, v.count + 2))
    print(f'{part}\t{v.label}\t{v.cb}\t{v.count - used}')


def folder(img, offset, before_path, path):
    v = Volume(img, offset)
    e = [f for f in json.load(open(before_path)) if f['path'] == path][0]
    now = v.read_set(e['at'])
    state = 'in-use' if now[0] == 0x85 else 'deleted' if now[0] == 0x05 else 'gone'
    print(f'{"nofatchain" if e["nofat"] else "fatchain"} clusters={len(e["clusters"])} now={state} '
          f'length={u64(now, 32 + 24)}')


def boot_checksum(data):
    s = 0
    for i, b in enumerate(data):
        if i in (106, 107, 112):
            continue
        s = ((s >> 1) | ((s & 1) << 31)) + b
        s &= 0xFFFFFFFF
    return s


def compact(img, offset, clusters):
    """The volume with its FAT moved right after both boot regions and cut to the first
    clusters, the heap right behind it: cluster numbers stay as they were."""
    v = Volume(img, offset)
    boot = bytearray(v.read(0, v.bps))
    fat_sectors = ((clusters + 2) * 4 + v.bps - 1) // v.bps
    heap = 24 + fat_sectors
    struct.pack_into('<QIIII', boot, 0x48, heap + clusters * (v.cb // v.bps), 24, fat_sectors, heap, clusters)
    region = bytearray(boot + v.read(v.bps, 10 * v.bps))
    region += struct.pack('<I', boot_checksum(region)) * (v.bps // 4)
    fat = bytearray(v.read(v.fat_at, (clusters + 2) * 4))
    fat += bytes(fat_sectors * v.bps - len(fat))
    return bytes(region * 2) + bytes(fat) + v.read(v.heap_at, clusters * v.cb)


def seeds(out, fixtures):
    import os
    os.makedirs(out, exist_ok=True)
    for name, offset, clusters in (('exfat_deleted', 1 << 20, 24), ('exfat_formatted', 0, 72),
                                   ('exfat_gpt', 1 << 20, 8)):
        with open(os.path.join(out, name + '.compact'), 'wb') as f:
            f.write(compact(os.path.join(fixtures, name + '.img'), offset, clusters))


def tsk(img, sector_offset, manifest, part):
    """TSK's view of the manifest's removed files: listed (fls) and byte-exact (icat)."""
    fls = subprocess.run(['fls', '-r', '-p', '-o', str(sector_offset), img], capture_output=True,
                         text=True, check=True).stdout
    listed = {}
    for line in fls.splitlines():
        head, _, path = line.partition('\t')
        deleted = '*' in head
        inode = head.split()[-1].rstrip(':')
        listed.setdefault(path, []).append((deleted, inode))
    wanted = exact = found = 0
    for line in open(manifest):
        c = line.rstrip('\n').split('\t')
        if c[0] == 'part' or c[0] != part or c[4] == 'live':
            continue
        wanted += 1
        hits = [inode for deleted, inode in listed.get(c[1], []) if deleted]
        if not hits:
            continue
        found += 1
        body = subprocess.run(['icat', '-r', '-o', str(sector_offset), img, hits[0]], capture_output=True).stdout
        exact += hashlib.sha256(body).hexdigest() == c[3]
    print(f'tsk: {wanted} removed files in the manifest, fls lists {found} as deleted, '
          f'icat gives {exact} byte-exact')


def main():
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == 'gen':
        gen(args[0], int(args[1]), args[2])
    elif cmd == 'snapshot':
        snapshot(args[0], int(args[1]), args[2])
    elif cmd == 'setattr':
        setattr_(args[0], int(args[1]), args[2], int(args[3], 0))
    elif cmd == 'rows':
        expect = {}
        rest = args[5:]
        if rest and rest[0] == '--expect':
            for item in rest[1:]:
                k, _, val = item.rpartition('=')
                expect[k] = val
        rows(args[0], int(args[1]), args[2], args[3], args[4], expect)
    elif cmd == 'volume':
        volume(args[0], int(args[1]), args[2])
    elif cmd == 'folder':
        folder(args[0], int(args[1]), args[2], args[3])
    elif cmd == 'seeds':
        seeds(args[0], args[1])
    elif cmd == 'tsk':
        tsk(args[0], int(args[1]), args[2], args[3])
    else:
        raise SystemExit(__doc__)


if __name__ == '__main__':
    main()

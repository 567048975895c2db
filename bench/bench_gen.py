#!/usr/bin/python3
"""Content for the benchmark images (bench/run.sh). Fast and deterministic: real sample
files are made once with the fixture generators (Pillow pictures, PDF, ZIP, DOCX, WAV)
and reused; everything else comes from slices of one seeded random pool.

Subcommands:
  samples DIR [--count N]             real sample files of mixed types
  tree DIR --files N --dirs D         a folder tree to copy into FAT/EXT images; prints
                                      nothing, writes DIR.list (path<TAB>size, one a line)
  pick LIST --every K [--offset O]    every K-th file of a list (relative paths)
  ntfs MOUNT --files N --per-dir P    creates files through a mounted NTFS volume
        [--big-every B]
  ntfsdel MOUNT --files N --per-dir P --every K
                                      deletes every K-th of those files
  raw OUT --size BYTES --samples DIR  a raw image: samples at sector boundaries with random
                                      filler between them; writes OUT.manifest.tsv
  touched TRACE IMAGE                 the byte ranges an strace log shows read from IMAGE
  replay RANGES IMAGE [--cold]        reads exactly those ranges in offset order (merged,
                                      large reads) and prints seconds and bytes
"""

import argparse
import os
import random
import re
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from velkfx import content as fg  # noqa: E402

POOL_BYTES = 64 << 20
WORDS = ("holiday report notes invoice garden letter summary draft budget photo camera "
         "station library museum kitchen window journal backup paper market coffee "
         "harbour island orchard winter summer autumn").split()
EXTS = ["txt", "doc", "pdf", "jpg", "png", "dat", "csv", "xml", "log", "zip"]


def pool(seed):
    rng = random.Random(seed)
    return memoryview(rng.randbytes(POOL_BYTES))


def size_of(rng, scale_small=1.0):
    """70 % small (0.2-6 KB), 25 % medium (6-40 KB), 5 % larger (40-100 KB): ~11 KB mean."""
    r = rng.random()
    if r < 0.70:
        return rng.randint(200, 6000)
    if r < 0.95:
        return rng.randint(6000, 40000)
    return rng.randint(40000, 100000)


def content(rng, buf, size, samples):
    """A slice of the pool, or (one in ten) a real sample cut or padded to size."""
    if samples and rng.random() < 0.1:
        s = samples[rng.randrange(len(samples))]
        if len(s) >= size:
            return s[:size]
        off = rng.randrange(POOL_BYTES - size)
        return s + bytes(buf[off:off + size - len(s)])
    off = rng.randrange(POOL_BYTES - size)
    return buf[off:off + size]


def load_samples(directory):
    if not directory or not os.path.isdir(directory):
        return []
    out = []
    for name in sorted(os.listdir(directory)):
        with open(os.path.join(directory, name), "rb") as f:
            out.append(f.read())
    return out


def cmd_samples(a):
    os.makedirs(a.dir, exist_ok=True)
    made = 0
    kinds = ["jpeg", "jpeg", "jpeg", "png", "gif", "bmp", "pdf", "docx", "zip", "wav"]
    for i in range(a.count):
        kind = kinds[i % len(kinds)]
        seed = f"bench-sample-{i}"
        rng = random.Random(seed)
        if kind == "jpeg":
            w = rng.choice([640, 800, 1024, 1600])
            data = fg.gen_picture("jpeg", seed, w, w * 3 // 4, grain=rng.choice([0, 8, 20]))
            ext = "jpg"
        elif kind in ("png", "gif", "bmp"):
            w = rng.choice([320, 480, 640])
            data = fg.gen_picture(kind, seed, w, w * 3 // 4)
            ext = kind
        elif kind == "pdf":
            data, ext = fg.gen_pdf(seed, f"Benchmark document {i}"), "pdf"
        elif kind == "docx":
            data, ext = fg.gen_docx(seed, f"Benchmark draft {i}"), "docx"
        elif kind == "zip":
            data, ext = fg.gen_zip(seed), "zip"
        else:
            data, ext = fg.gen_wav(seed, 2 * rng.randint(20000, 120000)), "wav"
        with open(os.path.join(a.dir, f"s{i:03d}.{ext}"), "wb") as f:
            f.write(data)
        made += 1
    print(f"samples: {made} files in {a.dir}")


def cmd_tree(a):
    rng = random.Random(a.seed)
    buf = pool(a.seed)
    samples = load_samples(a.samples)
    per_dir = (a.files + a.dirs - 1) // a.dirs
    total = 0
    with open(a.dir + ".list", "w", encoding="utf-8") as lst:
        for i in range(a.files):
            d = f"{i // per_dir:04d} {WORDS[(i // per_dir) % len(WORDS)]}"
            if i % per_dir == 0:
                os.makedirs(os.path.join(a.dir, d), exist_ok=True)
            # Six distinct leading characters: short names never need a numeric tail
            # search, which makes mtools quadratic in the folder size.
            name = f"{i:06d} {rng.choice(WORDS)} {rng.choice(WORDS)}.{rng.choice(EXTS)}"
            size = size_of(rng)
            rel = f"{d}/{name}"
            with open(os.path.join(a.dir, rel), "wb") as f:
                f.write(content(rng, buf, size, samples))
            lst.write(f"{rel}\t{size}\n")
            total += size
    print(f"tree: {a.files} files, {a.dirs} folders, {total} bytes in {a.dir}")


def cmd_pick(a):
    with open(a.list, encoding="utf-8") as f:
        for n, line in enumerate(f):
            if n % a.every == a.offset:
                print(line.split("\t", 1)[0])


def ntfs_path(mount, i, per_dir):
    return os.path.join(mount, f"d{i // per_dir:04d}", f"{i:07d} {WORDS[i % len(WORDS)]}.txt")


def cmd_ntfs(a):
    rng = random.Random(a.seed)
    buf = pool(a.seed)
    t0 = time.time()
    written = 0
    for i in range(a.files):
        if i % a.per_dir == 0:
            os.makedirs(os.path.join(a.mount, f"d{i // a.per_dir:04d}"), exist_ok=True)
        # Most files are small enough to stay resident in their MFT record; one in
        # big-every gets clusters of its own.
        size = rng.randint(8192, 65536) if a.big_every and i % a.big_every == 0 else rng.randint(0, 600)
        fd = os.open(ntfs_path(a.mount, i, a.per_dir), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        if size:
            off = rng.randrange(POOL_BYTES - size)
            os.write(fd, buf[off:off + size])
        os.close(fd)
        written += size
        if a.progress and i and i % 100000 == 0:
            print(f"  {i} files, {time.time() - t0:.0f} s", file=sys.stderr)
    print(f"ntfs: {a.files} files, {written} bytes, {time.time() - t0:.1f} s")


def cmd_ntfsdel(a):
    t0 = time.time()
    n = 0
    for i in range(a.offset, a.files, a.every):
        os.unlink(ntfs_path(a.mount, i, a.per_dir))
        n += 1
    print(f"ntfsdel: {n} files deleted, {time.time() - t0:.1f} s")


def cmd_raw(a):
    rng = random.Random(a.seed)
    buf = pool(a.seed)
    samples = []
    for name in sorted(os.listdir(a.samples)):
        with open(os.path.join(a.samples, name), "rb") as f:
            samples.append((name, f.read()))
    pos = 0
    files = 0
    chunk = bytearray()
    with open(a.out, "wb") as out, open(a.out + ".manifest.tsv", "w") as man:
        man.write("offset\tsize\tsample\n")

        def emit(data):
            nonlocal pos
            chunk.extend(data)
            pos += len(data)
            if len(chunk) >= (32 << 20):
                out.write(chunk)
                chunk.clear()

        while True:
            name, data = samples[rng.randrange(len(samples))]
            # filler first: random sectors (what unallocated space mostly holds), or zeros
            sectors = rng.randint(0, 64)
            filler = sectors * 512
            if pos + filler + len(data) + 512 > a.size:
                break
            if rng.random() < 0.25:
                emit(bytes(filler))
            else:
                off = rng.randrange(POOL_BYTES - filler) if filler else 0
                emit(buf[off:off + filler])
            man.write(f"{pos}\t{len(data)}\t{name}\n")
            emit(data)
            files += 1
            pad = (-len(data)) % 512
            if pad:
                off = rng.randrange(POOL_BYTES - pad)
                emit(buf[off:off + pad])
        rest = a.size - pos
        while rest > 0:
            n = min(rest, 8 << 20)
            off = rng.randrange(POOL_BYTES - n)
            emit(buf[off:off + n])
            rest -= n
        out.write(chunk)
    print(f"raw: {files} files placed in {a.size} bytes")


def cmd_touched(a):
    """Byte ranges read from the image, from `strace -f -e trace=openat,pread64,read,lseek,close`."""
    real = os.path.realpath(a.image)
    fds = {}
    ranges = []
    open_re = re.compile(r'^(?:\d+\s+)?openat\([^,]+, "([^"]+)".*\) = (\d+)')
    pread_re = re.compile(r'^(?:\d+\s+)?pread64\((\d+), .*, (\d+), (\d+)\) = (\d+)')
    close_re = re.compile(r'^(?:\d+\s+)?close\((\d+)\)')
    with open(a.trace, errors="replace") as f:
        for line in f:
            m = open_re.match(line)
            if m:
                if os.path.realpath(m.group(1)) == real:
                    fds[m.group(2)] = True
                continue
            m = pread_re.match(line)
            if m and m.group(1) in fds:
                got = int(m.group(4))
                if got > 0:
                    ranges.append((int(m.group(3)), got))
                continue
            m = close_re.match(line)
            if m:
                fds.pop(m.group(1), None)
    for off, n in ranges:
        print(f"{off}\t{n}")


def merged(path):
    ranges = []
    with open(path) as f:
        for line in f:
            off, n = line.split()
            ranges.append((int(off), int(n)))
    ranges.sort()
    out = []
    for off, n in ranges:
        if out and off <= out[-1][0] + out[-1][1]:
            end = max(out[-1][0] + out[-1][1], off + n)
            out[-1] = (out[-1][0], end - out[-1][0])
        else:
            out.append((off, n))
    return out


def cmd_replay(a):
    ranges = merged(a.ranges)
    fd = os.open(a.image, os.O_RDONLY)
    if a.cold:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    block = bytearray(4 << 20)
    mv = memoryview(block)
    total = 0
    t0 = time.perf_counter()
    for off, n in ranges:
        done = 0
        while done < n:
            k = min(n - done, len(block))
            got = os.preadv(fd, [mv[:k]], off + done)
            if got <= 0:
                break
            done += got
        total += done
    dt = time.perf_counter() - t0
    os.close(fd)
    print(f"{dt:.4f}\t{total}\t{len(ranges)}")


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="cmd", required=True)
    s = sub.add_parser("samples")
    s.add_argument("dir")
    s.add_argument("--count", type=int, default=60)
    t = sub.add_parser("tree")
    t.add_argument("dir")
    t.add_argument("--files", type=int, required=True)
    t.add_argument("--dirs", type=int, required=True)
    t.add_argument("--samples")
    t.add_argument("--seed", default="velk-bench-tree")
    k = sub.add_parser("pick")
    k.add_argument("list")
    k.add_argument("--every", type=int, required=True)
    k.add_argument("--offset", type=int, default=0)
    n = sub.add_parser("ntfs")
    n.add_argument("mount")
    n.add_argument("--files", type=int, required=True)
    n.add_argument("--per-dir", type=int, default=1000)
    n.add_argument("--big-every", type=int, default=50)
    n.add_argument("--seed", default="velk-bench-ntfs")
    n.add_argument("--progress", action="store_true")
    d = sub.add_parser("ntfsdel")
    d.add_argument("mount")
    d.add_argument("--files", type=int, required=True)
    d.add_argument("--per-dir", type=int, default=1000)
    d.add_argument("--every", type=int, default=4)
    d.add_argument("--offset", type=int, default=1)
    r = sub.add_parser("raw")
    r.add_argument("out")
    r.add_argument("--size", type=int, required=True)
    r.add_argument("--samples", required=True)
    r.add_argument("--seed", default="velk-bench-raw")
    u = sub.add_parser("touched")
    u.add_argument("trace")
    u.add_argument("image")
    y = sub.add_parser("replay")
    y.add_argument("ranges")
    y.add_argument("image")
    y.add_argument("--cold", action="store_true")
    a = p.parse_args()
    {"samples": cmd_samples, "tree": cmd_tree, "pick": cmd_pick, "ntfs": cmd_ntfs, "ntfsdel": cmd_ntfsdel,
     "raw": cmd_raw, "touched": cmd_touched, "replay": cmd_replay}[a.cmd](a)


if __name__ == "__main__":
    main()

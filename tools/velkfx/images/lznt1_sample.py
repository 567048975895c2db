"""lznt1_ntfs3g_unit.bin: the raw clusters of two NTFS compression units as ntfs-3g
wrote them, so the LZNT1 decoder is checked against a real file-system driver and
not only against our own compressor.

The sample file is 102523 bytes in a folder with the NTFS compressed attribute, on
a 4 KiB-cluster volume (units of 16 clusters):
  unit 0: 64 KiB of text with one 4 KiB block of noise (stored as an uncompressed
          chunk inside the compressed unit);
  unit 1: text and long runs of one byte, ending on a short last chunk.
lznt1_ntfs3g_unit.sha256 has one line per unit:
  OFFSET_IN_BIN LENGTH_IN_BIN PLAIN_LENGTH SHA256_OF_PLAIN"""

import os

from .. import ntfs
from ..manifest import fail, sha
from ..session import Folder
from . import image

WORDS = ("alpha bravo charlie delta echo foxtrot golf hotel india juliet kilo lima mike november oscar papa "
         "quebec romeo sierra tango uniform victor whiskey xray yankee zulu sector cluster record folder volume").split()


def sample():
    state = 20260101  # a fixed LCG, so the bytes do not depend on the Python version

    def nxt():
        nonlocal state
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        return state >> 8

    def text(n):
        out, line = bytearray(), 0
        while len(out) < n:
            ws = " ".join(WORDS[nxt() % len(WORDS)] for _ in range(3 + nxt() % 6))
            out += b"%06d %s %d\n" % (line, ws.encode(), nxt() % 100000)
            line += 1
        return bytes(out[:n])

    unit0 = text(20480) + bytes(nxt() & 0xFF for _ in range(4096)) + text(65536 - 24576)
    unit1 = text(9000) + b" " * 3000 + text(7000) + b"=" * 2100 + text(102523 - 65536 - 21100)
    return unit0 + unit1


@image("lznt1", "lznt1_ntfs3g_unit")
def lznt1_unit(s, name):
    s.require("mkntfs", "ntfs-3g", "setfattr", root=True)
    data = sample()
    plain = s.path("plain.bin")
    open(plain, "wb").write(data)
    img = s.path("vol.img")
    ntfs.mkntfs(s, img, 8 << 20, "LZNT1")
    where = os.path.join(s.work, "mnt")
    proc = s.ntfs_mount(img, where, "compression")
    v = Folder(s, where)
    v.mkdir("Packed")
    s.run("setfattr", "-n", "system.ntfs_attrib_be", "-v", "0x00000800", v.at("Packed"))
    v.put(plain, "Packed/sample.bin")
    s.fuse_umount(where, proc)

    vol = ntfs.Ntfs(img)
    rec = [r for r in vol.records().values() if r["name"] == "sample.bin"][0]
    _, d = vol.data(rec)
    clusters = [None if lcn is None else lcn + k for lcn, n in d["runs"] for k in range(n)]
    unit, cs = 1 << d["cu"], vol.cs
    blob, lines = bytearray(), []
    for u in range(0, len(clusters), unit):
        lcns = clusters[u:u + unit]
        stored = [c for c in lcns if c is not None]
        if len(stored) == unit:
            fail(f"unit {u // unit} was stored uncompressed; the sample must compress")
        if lcns[len(stored):] != [None] * (len(lcns) - len(stored)):
            fail(f"unit {u // unit}: holes before its data clusters")
        raw = b"".join(vol.read(c * cs, cs) for c in stored)
        text = data[u * cs:(u + unit) * cs]
        if ntfs.lznt1_decompress(raw, unit * cs)[:len(text)] != text:
            fail(f"unit {u // unit} does not decompress to what was written")
        lines.append(f"{len(blob)} {len(raw)} {len(text)} {sha(text)}\n")
        blob += raw
    with open(os.path.join(s.out, name + ".bin"), "wb") as f:
        f.write(blob)
    with open(os.path.join(s.out, name + ".sha256"), "w") as f:
        f.write("".join(lines))
    print(f"wrote {name}.bin ({len(blob)} bytes):\n" + "".join(lines), end="")

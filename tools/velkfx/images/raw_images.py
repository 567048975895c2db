"""raw_carve: no file system, known files at known offsets, deterministic filler.

Filler: 16 noise sectors right before each file (each starting with "VELKFILL"
and its sector number, so no signature can match there), zeros elsewhere. The
last file ends exactly at the end of the image, and one JPEG starts off a sector
boundary (a carver that tests sector starts misses it)."""

import random
import shutil
import struct
import subprocess

from ..manifest import fail, sha
from ..session import FX_TIME
from . import image

SIZE = 24 << 20
PLACES = [  # name, content, byte offset (None: ends at the image's end), notes
    ("photo.jpg", "jpeg 800x600", 0, "at-offset-0"),
    ("picture.png", "png 320x240", 2048 * 512, ""),
    ("anim.gif", "gif 160x120", 4096 * 512, ""),
    ("image.bmp", "bmp 200x150", 6144 * 512, ""),
    ("document.pdf", "pdf:Raw carving sample", 8199 * 512, "odd-sector"),
    ("archive.zip", "zip", 10240 * 512, ""),
    ("letter.docx", "docx:Letter", 11264 * 512, "docx-zip"),
    ("disc.iso", None, 12288 * 512, "iso9660 CD001-at-+32769"),
    ("unaligned.jpg", "jpeg 160x120", 16384 * 512 + 100, "unaligned"),
    ("tone.wav", "wav 65536", None, "ends-at-image-end"),  # 64 KiB, so that it ends on the last byte
]


def make_iso(s):
    """A small ISO 9660 image (its "CD001" sits at byte 32769)."""
    for name, recipe, seed in (("readme.txt", "text 3000", "raw/iso-readme.txt"),
                             ("docs/notes.txt", "text 9000", "raw/iso-notes.txt"),
                             ("docs/pic.jpg", "jpeg 200x150", "raw/iso-pic.jpg")):
        shutil.copyfile(s.gen(recipe, seed), s.path("isotree", name))
    s.run("find", s.path("isotree"), "-exec", "touch", "-d", FX_TIME, "{}", "+")
    iso = s.path("src", "raw", "disc.iso")
    s.frozen("genisoimage", "-quiet", "-V", "VELKISO", "-J", "-o", iso, s.path("isotree"))
    return iso


@image("raw", "raw_carve")
def raw_carve(s, name):
    s.require("genisoimage", "isoinfo")
    m = s.manifest(name)
    img = bytearray(SIZE)
    rng = random.Random("raw_carve")
    placed, prev_end = [], 0
    for fname, recipe, off, notes in PLACES:
        local = make_iso(s) if recipe is None else s.gen(recipe, "raw/" + fname)
        data = open(local, "rb").read()
        off = SIZE - len(data) if off is None else off
        if off < prev_end:
            fail(f"{fname} overlaps the file before it")
        # noise sectors before the file, each beginning with a marker no signature begins with
        start = (max(prev_end, off - 16 * 512) + 511) // 512 * 512
        for sec in range(start, off - off % 512, 512):
            img[sec:sec + 512] = b"VELKFILL" + struct.pack("<Q", sec // 512) + rng.randbytes(496)
        img[off:off + len(data)] = data
        prev_end = off + len(data)
        pos = f"start_sector={off // 512}" if off % 512 == 0 else f"start_offset={off} start_sector=none"
        m.add(0, fname, local, "live", f"{pos} {notes}")
        placed.append((off, off + len(data)))
    path = s.path(name + ".img")
    with open(path, "wb") as f:
        f.write(img)
    # Check every placement from the finished image.
    for r, (a, b) in zip(m.rows, placed):
        if sha(img[a:b]) != r.sha:
            fail(f"{r.path} is not at byte {a}")
    if placed[-1][1] != SIZE:
        fail("tone.wav does not end the image")
    iso_at = PLACES[7][2]
    with open(s.path("iso.check"), "wb") as f:
        f.write(img[iso_at:placed[7][1]])
    if "Volume id: VELKISO" not in subprocess.run(["isoinfo", "-d", "-i", f.name], capture_output=True, text=True).stdout:
        fail("ISO not readable in place")
    if img[iso_at + 32769:iso_at + 32774] != b"CD001":
        fail("no CD001 at +32769")
    # No sector outside the files may begin like a file: zeros or filler only.
    stray = [sec // 512 for sec in range(0, SIZE, 512) if not any(a <= sec < b for a, b in placed)
             and img[sec:sec + 16] != bytes(16) and not img[sec:sec + 8] == b"VELKFILL"]
    if stray:
        fail(f"stray file starts in the filler at sectors {stray[:10]}")
    s.publish(name, path, m)

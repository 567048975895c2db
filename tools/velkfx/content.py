"""Deterministic file contents: the same kind, seed and size give the same bytes.

A content recipe is one string, `KIND [SIZE | WxH] [gGRAIN] [:TITLE]`, e.g.
"text 700:Velk FAT32 test volume", "jpeg 640x480 g3", "pdf:Minutes", "targz".

Kinds: text bin html wav (SIZE exact), jpeg png gif bmp (a landscape), pdf
docx zip targz; and the plainer ones of the NTFS/EXT images: note (numbered
lines naming the seed), noise (random bytes), lines, spacer (nearly free for
xz), shapes.jpeg shapes.png (gradient and shapes).
"""

import gzip
import io
import math
import random
import struct
import tarfile
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
NOTE_WORDS = [w for w in WORDS if w not in ("partition", "velk")] + ["lantern", "copper"]


def _sentences(rng, size, words, count, line_format, head=b""):
    out, line = bytearray(head), 1
    while len(out) < size:
        out += line_format(line, " ".join(rng.choice(words) for _ in range(rng.randint(*count)))).encode()
        line += 1
    return bytes(out[:size])


def gen_text(seed, size, title=None):
    return _sentences(random.Random(seed), size, WORDS, (6, 14), lambda n, w: f"{n:05d} {w}.\n",
                      (title + "\n\n").encode("utf-8") if title else b"")


def gen_note(seed, size):
    return _sentences(random.Random("text:" + seed), size, NOTE_WORDS, (5, 13), lambda n, w: f"{seed} {n:06d} {w}.\n")


def gen_spacer(seed, size):
    # One short line naming the file, repeated: distinct per file, nearly free for xz.
    unit = f"spacer {seed} ".encode()
    unit = (unit * (64 // len(unit) + 1))[:63] + b"\n"
    return (unit * (size // 64 + 1))[:size]


def gen_lines(seed, size):
    # Numbered 64-byte lines: every line differs, yet xz packs them tightly.
    out = bytearray()
    n = 0
    while len(out) < size:
        out += f"{seed[-28:]:<28} line {n:09d} ..................."[:63].encode() + b"\n"
        n += 1
    return bytes(out[:size])


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
        tx, ty, th = rng.randint(0, w), rng.randint(horizon, h), rng.randint(h // 12, h // 5)
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
        _landscape(seed, w, h).save(buf, "PNG", optimize=False, compress_level=9)
    elif kind == "bmp":
        _landscape(seed, w, h).save(buf, "BMP")
    elif kind == "gif":
        rng = random.Random(seed)
        img = Image.new("P", (w, h), 0)
        img.putpalette([v for i in range(256) for v in ((i * 7) % 256, (i * 13) % 256, (i * 29) % 256)])
        d = ImageDraw.Draw(img)
        for _ in range(40):
            x0, y0 = rng.randint(0, w), rng.randint(0, h)
            d.rectangle([x0, y0, x0 + rng.randint(5, w // 3), y0 + rng.randint(5, h // 3)], fill=rng.randint(1, 255))
        img.save(buf, "GIF")
    else:
        raise ValueError(f"unknown picture kind {kind}")
    return buf.getvalue()


def gen_shapes(kind, seed, w, h):
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
        (d.ellipse if rng.random() < 0.5 else d.rectangle)([x0, y0, x1, y1], fill=col)
    buf = io.BytesIO()
    if kind == "jpeg":
        img.save(buf, "JPEG", quality=88, optimize=False)
    else:
        img.save(buf, "PNG", compress_level=9)
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
    out += b"".join(f"{off:010d} 00000 n \n".encode() for off in offsets)
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
    paras = "".join(f"<w:p><w:r><w:t xml:space=\"preserve\">{p}</w:t></w:r></w:p>" for p in body.splitlines() if p)
    ns = "http://schemas.openxmlformats.org"
    head = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
    return _zip([
        ("[Content_Types].xml",
         f'{head}<Types xmlns="{ns}/package/2006/content-types">'
         '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
         '<Default Extension="xml" ContentType="application/xml"/>'
         '<Override PartName="/word/document.xml" ContentType="application/'
         'vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml"/></Types>'),
        ("_rels/.rels",
         f'{head}<Relationships xmlns="{ns}/package/2006/relationships">'
         f'<Relationship Id="rId1" Type="{ns}/officeDocument/2006/relationships/officeDocument" '
         'Target="word/document.xml"/></Relationships>'),
        ("word/document.xml",
         f'{head}<w:document xmlns:w="{ns}/wordprocessingml/2006/main"><w:body>{paras}</w:body></w:document>'),
    ])


def gen_zip(seed):
    return _zip([("readme.txt", gen_text(seed + ":a", 3000, "Archive readme")),
                 ("data/table.csv", gen_text(seed + ":b", 9000)),
                 ("data/blob.bin", random.Random(seed + ":c").randbytes(4000))])


def gen_targz(seed):
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.USTAR_FORMAT) as tf:
        for name, data in (("src/main.c", gen_text(seed + ":a", 5000)), ("src/notes.txt", gen_text(seed + ":b", 7000))):
            ti = tarfile.TarInfo(name)
            ti.size, ti.mtime, ti.mode = len(data), FIXED_EPOCH, 0o644
            ti.uname = ti.gname = "velk"
            tf.addfile(ti, io.BytesIO(data))
    out = io.BytesIO()
    with gzip.GzipFile(fileobj=out, mode="wb", mtime=FIXED_EPOCH, filename="") as gz:
        gz.write(raw.getvalue())
    return out.getvalue()


def gen_wav(seed, size):
    """16-bit mono 8 kHz tone; with a size the whole file is exactly that many bytes."""
    rng = random.Random(seed)
    rate = 8000
    frames = (size - 44) // 2 if size else rate
    if size and 44 + frames * 2 != size:
        raise ValueError("wav size must be even")
    f1, f2 = rng.uniform(220, 660), rng.uniform(660, 1200)
    pcm = b"".join(struct.pack("<h", int((0.45 * math.sin(2 * math.pi * f1 * i / rate)
                                          + 0.2 * math.sin(2 * math.pi * f2 * i / rate)) * 32767))
                   for i in range(frames))
    buf = io.BytesIO()
    with wave.open(buf, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(pcm)
    return buf.getvalue()


def gen_html(seed, size):
    body = gen_text(seed, max(0, size - 200)).decode()
    return ("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Notes</title></head>\n<body><pre>\n"
            + body + "\n</pre></body></html>\n").encode()


def parse_recipe(recipe):
    """'jpeg 640x480 g3:Title' -> ('jpeg', size, (w, h), grain, title)."""
    recipe, _, title = recipe.partition(":")
    kind, *args = recipe.split()
    size, dims, grain = 0, (640, 480), 0
    for a in args:
        if "x" in a:
            dims = tuple(int(v) for v in a.split("x"))
        elif a.startswith("g"):
            grain = int(a[1:])
        else:
            size = int(a)
    return kind, size, dims, grain, title or None


def make(recipe, seed):
    """The bytes of one content recipe."""
    kind, size, (w, h), grain, title = parse_recipe(recipe)
    simple = {"text": lambda: gen_text(seed, size, title), "bin": lambda: random.Random(seed).randbytes(size),
              "note": lambda: gen_note(seed, size), "noise": lambda: random.Random("random:" + seed).randbytes(size),
              "lines": lambda: gen_lines(seed, size), "spacer": lambda: gen_spacer(seed, size),
              "pdf": lambda: gen_pdf(seed, title or "Velk document"),
              "docx": lambda: gen_docx(seed, title or "Velk draft"), "zip": lambda: gen_zip(seed),
              "targz": lambda: gen_targz(seed), "wav": lambda: gen_wav(seed, size),
              "html": lambda: gen_html(seed, size)}
    if kind in simple:
        return simple[kind]()
    if kind in ("jpeg", "png", "gif", "bmp"):
        return gen_picture(kind, seed, w, h, grain)
    if kind in ("shapes.jpeg", "shapes.png"):
        return gen_shapes(kind[7:], seed, w, h)
    raise ValueError(f"unknown content kind {kind}")

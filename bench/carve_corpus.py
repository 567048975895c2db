#!/usr/bin/python3
"""A carving corpus and its scores (bench/carve_compare.sh runs it).

Real files are taken from a Debian 12 machine (/usr/share, /usr/lib, /var/cache/apt) and
small files are made here (Pillow, ffmpeg, 7z, zstd, python's own archive, database and
mail modules, and a few formats written by hand). Everything is chosen and made
deterministically from the seed; the corpus and the image are never committed.

Subcommands:
  build DIR [--seed N] [--filler-max SECTORS]
      DIR/files/        the corpus (name: NNN.type.ext)
      DIR/carve.img     the files at sector boundaries over random filler (3/4 random,
                        1/4 zeros, 0..filler-max sectors between); some files in two
                        fragments with other data between them
      DIR/manifest.tsv  type, sha256, size, first sector, fragments, source
  score MANIFEST OUTDIR [--json]
      per type: placed files whose exact bytes (sha256) are among OUTDIR's files
"""

import argparse
import hashlib
import io
import json
import os
import random
import shutil
import sqlite3
import struct
import subprocess
import sys
import tarfile
import zipfile
import zlib

SECTOR = 512
MAX_REAL = 3 << 20


def sha(data):
    return hashlib.sha256(data).hexdigest()


# ------------------------------------------------------------------ real files

def find_real(rng, roots, suffix, count, check=None, min_size=1024, max_size=MAX_REAL):
    found = []
    for root in roots:
        for base, dirs, files in os.walk(root):
            dirs.sort()
            for name in sorted(files):
                if not name.lower().endswith(suffix):
                    continue
                path = os.path.join(base, name)
                try:
                    if os.path.islink(path) or not os.path.isfile(path):
                        continue
                    size = os.path.getsize(path)
                except OSError:
                    continue
                if min_size <= size <= max_size:
                    found.append(path)
    rng.shuffle(found)
    out, seen = [], set()
    for path in found:
        with open(path, "rb") as f:
            data = f.read()
        if check and not check(data):
            continue
        h = sha(data)
        if h in seen:
            continue
        seen.add(h)
        out.append((data, path))
        if len(out) == count:
            break
    return out


# ------------------------------------------------------------------ made files

def run(cmd, **kw):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)


def pil_picture(fmt, seed, w, h, **save):
    from PIL import Image, ImageDraw
    rng = random.Random(seed)
    img = Image.new("RGB", (w, h), tuple(rng.randrange(256) for _ in range(3)))
    d = ImageDraw.Draw(img)
    for _ in range(40):
        x, y = rng.randrange(w), rng.randrange(h)
        d.ellipse([x, y, x + rng.randrange(8, w // 3), y + rng.randrange(8, h // 3)],
                  fill=tuple(rng.randrange(256) for _ in range(3)))
    for _ in range(w * h // 40):  # grain, so that the pictures do not compress to nothing
        img.putpixel((rng.randrange(w), rng.randrange(h)), tuple(rng.randrange(256) for _ in range(3)))
    buf = io.BytesIO()
    if fmt in ("PPM", "PGM"):
        img = img.convert("L") if fmt == "PGM" else img
        img.save(buf, "PPM")
    else:
        img.save(buf, fmt, **save)
    return buf.getvalue()


def jpeg_with_exif(seed, w, h, when, model, make):
    from PIL import Image
    exif = Image.Exif()
    exif[0x010F] = make
    exif[0x0110] = model
    exif[0x0132] = when
    exif.get_ifd(0x8769)[0x9003] = when
    return pil_picture("JPEG", seed, w, h, quality=88, exif=exif.tobytes())


def pdf_with_title(seed, title):
    from PIL import Image
    buf = io.BytesIO()
    Image.frombytes("RGB", (64, 48), random.Random(seed).randbytes(64 * 48 * 3)).save(
        buf, "PDF", title=title, author="Velk bench", resolution=72)
    return buf.getvalue()


def office(kind, title, rng):
    """A minimal but complete OOXML, ODF or EPUB package with its title."""
    buf = io.BytesIO()
    words = " ".join(rng.choice(["garden", "report", "winter", "harbour", "budget", "letter"]) for _ in range(400))
    with zipfile.ZipFile(buf, "w") as z:
        def put(name, text, stored=False):
            info = zipfile.ZipInfo(name, (2024, 6, 1, 12, 0, 0))
            info.compress_type = zipfile.ZIP_STORED if stored else zipfile.ZIP_DEFLATED
            z.writestr(info, text)
        if kind in ("odt", "ods", "odp", "epub"):
            mime = {"odt": "application/vnd.oasis.opendocument.text",
                    "ods": "application/vnd.oasis.opendocument.spreadsheet",
                    "odp": "application/vnd.oasis.opendocument.presentation",
                    "epub": "application/epub+zip"}[kind]
            put("mimetype", mime, stored=True)
            if kind == "epub":
                put("META-INF/container.xml", '<?xml version="1.0"?><container/>')
                put("OEBPS/content.opf", f'<?xml version="1.0"?><package><metadata><dc:title>{title}</dc:title></metadata></package>')
                put("OEBPS/text.xhtml", f"<html><body><p>{words}</p></body></html>")
            else:
                put("META-INF/manifest.xml", '<?xml version="1.0"?><manifest/>')
                put("meta.xml", f'<?xml version="1.0"?><office:document-meta><office:meta><dc:title>{title}</dc:title></office:meta></office:document-meta>')
                put("content.xml", f'<?xml version="1.0"?><office:document-content><text>{words}</text></office:document-content>')
        else:
            main = {"docx": "word/document.xml", "xlsx": "xl/workbook.xml", "pptx": "ppt/presentation.xml"}[kind]
            put("[Content_Types].xml", '<?xml version="1.0"?><Types/>')
            put("_rels/.rels", '<?xml version="1.0"?><Relationships/>')
            put("docProps/core.xml", f'<?xml version="1.0"?><cp:coreProperties><dc:title>{title}</dc:title></cp:coreProperties>')
            put(main, f'<?xml version="1.0"?><doc><t>{words}</t></doc>')
    return buf.getvalue()


def tiff_raw(kind, seed, w=320, h=240):
    """A TIFF-based camera raw: header (CR2's own), IFD0 with make, model, a strip."""
    rng = random.Random(seed)
    make = {"nef": b"NIKON CORPORATION\0", "arw": b"SONY\0", "cr2": b"Canon\0", "dng": b"Velk\0"}[kind]
    model = {"nef": b"NIKON D750\0", "arw": b"ILCE-7M3\0", "cr2": b"Canon EOS 80D\0", "dng": b"Velk DNG\0"}[kind]
    big = kind == "nef"
    e = ">" if big else "<"
    strip = rng.randbytes(w * h * 2)
    entries = [(256, 4, 1, w), (257, 4, 1, h), (258, 3, 1, 16), (259, 3, 1, 1), (262, 3, 1, 32803)]
    head = 16 if kind == "cr2" else 8
    extra = b""
    n = 9 + (1 if kind == "dng" else 0)
    ifd_end = head + 2 + n * 12 + 4
    make_at = ifd_end
    model_at = make_at + len(make)
    strip_at = (model_at + len(model) + 511) // 512 * 512
    entries += [(271, 2, len(make), make_at), (272, 2, len(model), model_at), (273, 4, 1, strip_at),
                (279, 4, 1, len(strip))]
    if kind == "dng":
        entries.append((50706, 1, 4, 0x00000401 if not big else 0x01040000))
    entries.sort()
    ifd = struct.pack(e + "H", len(entries))
    for tag, typ, count, value in entries:
        if typ == 3 and count == 1:
            ifd += struct.pack(e + "HHIHH", tag, typ, count, value, 0)
        elif typ == 1:
            ifd += struct.pack(e + "HHI", tag, typ, count) + struct.pack(">I", value)
        else:
            ifd += struct.pack(e + "HHII", tag, typ, count, value)
    ifd += struct.pack(e + "I", 0)
    out = (b"MM\0*" if big else b"II*\0") + struct.pack(e + "I", head)
    if kind == "cr2":
        out += b"CR\x02\0" + struct.pack("<I", 0)
    out += ifd + make + model + extra
    out += b"\0" * (strip_at - len(out)) + strip
    return out


def psd(seed, w=200, h=150):
    rng = random.Random(seed)
    out = b"8BPS" + struct.pack(">H6xHIIHH", 1, 3, h, w, 8, 3)
    out += struct.pack(">I", 0)                                  # colour mode data
    res = b"8BIM" + struct.pack(">HHI", 1005, 0, 16) + rng.randbytes(16)
    out += struct.pack(">I", len(res)) + res                     # image resources
    out += struct.pack(">I", 0)                                  # layers and masks
    return out + struct.pack(">H", 0) + rng.randbytes(3 * w * h)  # raw image data


def midi(seed):
    rng = random.Random(seed)
    events = b""
    for _ in range(200):
        note = rng.randrange(40, 90)
        events += bytes([0, 0x90, note, 100, 60, 0x80, note, 0])
    events += b"\0\xff\x2f\0"
    return b"MThd" + struct.pack(">IHHH", 6, 0, 1, 96) + b"MTrk" + struct.pack(">I", len(events)) + events


def rar5(seed, name, data):
    """A stored RAR 5 archive (main header, one file, end of archive), CRCs included."""
    def vint(v):
        out = b""
        while True:
            b = v & 0x7F
            v >>= 7
            out += bytes([b | (0x80 if v else 0)])
            if not v:
                return out

    def header(body, data_size=None):
        flags = 2 if data_size is not None else 0
        fields = body[0] + vint(flags) + (vint(data_size) if data_size is not None else b"") + body[1]
        h = vint(len(fields)) + fields
        return struct.pack("<I", zlib.crc32(h)) + h

    main = header((vint(1), vint(0)))
    fields = vint(0) + vint(len(data)) + vint(0x20) + vint(0) + struct.pack("<I", zlib.crc32(data))
    fields += vint(0) + vint(0) + vint(len(name)) + name
    file_hdr = header((vint(2), fields), len(data))
    end = header((vint(5), vint(0)))
    return b"Rar!\x1a\x07\x01\x00" + main + file_hdr + data + end


def heic(seed):
    """An ISO media file shaped as HEIF: file type, meta (handler pict) and data boxes."""
    rng = random.Random(seed)
    def box(t, payload):
        return struct.pack(">I", 8 + len(payload)) + t + payload
    ftyp = box(b"ftyp", b"heic" + b"\0\0\0\0" + b"mif1heic")
    meta = box(b"meta", b"\0\0\0\0" + box(b"hdlr", b"\0" * 8 + b"pict" + b"\0" * 13))
    return ftyp + meta + box(b"mdat", rng.randbytes(rng.randrange(20000, 90000)))


def mail(seed, multipart):
    from email.message import EmailMessage
    from email.policy import SMTP
    rng = random.Random(seed)
    m = EmailMessage()
    m["From"] = "Ada <ada@example.org>"
    m["To"] = "bench@example.org"
    m["Subject"] = f"Report {seed}"
    m["Date"] = "Sat, 01 Jun 2024 12:00:00 +0000"
    m["Message-ID"] = f"<{seed}@example.org>"
    m.set_content(" ".join(rng.choice(["please", "find", "the", "report", "attached", "thanks"]) for _ in range(300)))
    if multipart:
        m.add_attachment(rng.randbytes(6000), maintype="application", subtype="octet-stream", filename="data.bin")
        m.set_boundary(f"==velk{seed}==")
    return m.as_bytes(policy=SMTP)


def sqlite_db(path, seed):
    rng = random.Random(seed)
    if os.path.exists(path):
        os.remove(path)
    con = sqlite3.connect(path)
    con.execute("create table t(id integer primary key, name text, value real)")
    con.executemany("insert into t(name, value) values (?, ?)",
                    [(rng.choice(["a", "bb", "ccc"]) * rng.randrange(1, 40), rng.random()) for _ in range(3000)])
    con.commit()
    con.close()
    with open(path, "rb") as f:
        return f.read()


def ffmpeg_made(work, seed):
    """Sound and video made by ffmpeg from its own test sources, bit-exact."""
    if not shutil.which("ffmpeg"):
        return []
    made = []
    rng = random.Random(seed)
    video = ["-f", "lavfi", "-i", "testsrc=size=160x120:rate=15", "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=22050"]
    audio = ["-f", "lavfi", "-i", "sine=frequency=523:sample_rate=44100"]
    jobs = [
        ("mp4", video + ["-c:v", "mpeg4", "-c:a", "aac"]),
        ("mov", video + ["-c:v", "mpeg4", "-c:a", "aac"]),
        ("3gp", video + ["-c:v", "mpeg4", "-s", "176x144", "-ar", "8000", "-ac", "1", "-c:a", "aac"]),
        ("m4a", audio + ["-c:a", "aac"]),
        ("mkv", video + ["-c:v", "mpeg4", "-c:a", "flac"]),
        ("webm", video + ["-c:v", "libvpx", "-c:a", "libvorbis"]),
        ("avi", video + ["-c:v", "mpeg4", "-c:a", "pcm_s16le"]),
        ("flv", video + ["-c:v", "flv1", "-c:a", "mp3", "-ar", "22050"]),
        ("wmv", video + ["-c:v", "wmv2", "-c:a", "wmav2"]),
        ("mpg", video + ["-c:v", "mpeg1video", "-c:a", "mp2", "-f", "mpeg"]),
        ("ts", video + ["-c:v", "mpeg2video", "-c:a", "mp2"]),
        ("mp3", audio + ["-c:a", "libmp3lame", "-b:a", "128k", "-metadata", "artist=Velk Bench",
                          "-metadata", "title=Tone {n}"]),
        ("flac", audio + ["-c:a", "flac"]),
        ("ogg", audio + ["-c:a", "libvorbis"]),
        ("opus", audio + ["-c:a", "libopus"]),
        ("wav", audio + ["-c:a", "pcm_s16le"]),
        ("aiff", audio + ["-c:a", "pcm_s16be"]),
        ("au", audio + ["-c:a", "pcm_s16be"]),
    ]
    for ext, args in jobs:
        for n in range(3):
            secs = str(rng.choice([1, 2, 3, 4]))
            out = os.path.join(work, f"ff{n}.{ext}")
            cmd = ["ffmpeg", "-nostdin", "-y", "-loglevel", "error"] + args + ["-t", secs, "-fflags", "+bitexact",
                                                                                 "-flags:v", "+bitexact", "-flags:a", "+bitexact"]
            cmd = [c.replace("{n}", str(n)) for c in cmd]
            try:
                run(cmd + [out])
            except subprocess.CalledProcessError:
                continue
            with open(out, "rb") as f:
                made.append((ext, f.read(), "ffmpeg " + " ".join(args)))
    return made


# ------------------------------------------------------------------ the corpus

def collect(work, seed):
    rng = random.Random(seed)
    files = []  # (type, bytes, source)

    def add(kind, items):
        for data, src in items:
            files.append((kind, data, src))

    share = ["/usr/share", "/usr/lib"]
    add("png", find_real(rng, share, ".png", 15))
    add("gif", find_real(rng, share, ".gif", 8))
    add("jpg", find_real(rng, share, ".jpg", 6))
    add("svg", find_real(rng, share, ".svg", 8, lambda d: d.lstrip().startswith(b"<svg")))
    add("xml", find_real(rng, share, ".xml", 8, lambda d: d.startswith(b"<?xml ")))
    add("html", find_real(rng, share, ".html", 8, lambda d: d[:15].lower().startswith((b"<!doctype html", b"<html"))))
    add("pdf", find_real(rng, share, ".pdf", 4))
    add("ps", find_real(rng, share, ".ps", 4, lambda d: d.startswith(b"%!PS-Adobe")))
    add("gz", find_real(rng, share, ".gz", 12))
    add("jar", find_real(rng, share, ".jar", 6))
    add("zip", find_real(rng, share, ".zip", 3))
    add("ttf", find_real(rng, share, ".ttf", 6))
    add("mo", find_real(rng, share, ".mo", 8))
    add("ico", find_real(rng, share, ".ico", 4))
    add("pem", find_real(rng, ["/usr/share/ca-certificates"], ".crt", 6))
    add("elf", find_real(rng, ["/usr/lib/x86_64-linux-gnu"], ".so", 6, lambda d: d.startswith(b"\x7fELF")))
    add("a", find_real(rng, ["/usr/lib/x86_64-linux-gnu"], ".a", 4, lambda d: d.startswith(b"!<arch>\n")))
    add("deb", find_real(rng, ["/var/cache/apt/archives"], ".deb", 4))
    add("mp3", find_real(rng, share, ".mp3", 2))
    add("ogg", find_real(rng, ["/usr/share/sounds"], ".oga", 8))

    # Streams compressed here from real text.
    texts = [d for d, _ in find_real(rng, ["/usr/share/common-licenses", "/usr/share/doc"], "", 24,
                                      lambda d: b"\0" not in d[:4096], 4096, 400000)]
    import bz2
    import lzma
    for i, t in enumerate(texts[:6]):
        files.append(("bz2", bz2.compress(t, 9), "bz2 of a text"))
    for i, t in enumerate(texts[6:12]):
        files.append(("xz", lzma.compress(t), "xz of a text"))
        files.append(("lzma", lzma.compress(t, format=lzma.FORMAT_ALONE), "lzma of a text"))
    for i, t in enumerate(texts[12:18]):
        src = os.path.join(work, "z.txt")
        with open(src, "wb") as f:
            f.write(t)
        run(["zstd", "-q", "-f", "-19", "--no-progress", src, "-o", src + ".zst"])
        with open(src + ".zst", "rb") as f:
            files.append(("zst", f.read(), "zstd of a text"))
    for i in range(4):
        buf = io.BytesIO()
        with tarfile.open(fileobj=buf, mode="w", format=tarfile.USTAR_FORMAT) as tar:
            for k, t in enumerate(texts[i * 4:i * 4 + 4]):
                info = tarfile.TarInfo(f"doc{k}.txt")
                info.size, info.mtime = len(t), 1717243200
                tar.addfile(info, io.BytesIO(t))
        files.append(("tar", buf.getvalue(), "tar of texts"))
    if shutil.which("7z"):
        for i in range(4):
            src = os.path.join(work, f"s{i}.txt")
            with open(src, "wb") as f:
                f.write(texts[i + 18] if i + 18 < len(texts) else texts[i])
            out = os.path.join(work, f"s{i}.7z")
            if os.path.exists(out):
                os.remove(out)
            run(["7z", "a", "-bd", "-mtm=off", "-mtc=off", "-mta=off", out, src])
            with open(out, "rb") as f:
                files.append(("7z", f.read(), "7z of a text"))
    for i in range(4):
        files.append(("rar", rar5(seed, f"note{i}.txt".encode(), texts[i]), "RAR 5, stored"))

    # Pictures with metadata, and pictures of other kinds.
    cams = [("Canon", "Canon EOS 80D"), ("NIKON CORPORATION", "NIKON D750"), ("SONY", "ILCE-7M3"), ("Apple", "iPhone 12")]
    for i in range(14):
        make, model = cams[i % len(cams)]
        when = f"2024:06:{1 + i:02d} 12:{i:02d}:44"
        w = rng.choice([640, 800, 1024, 1280])
        files.append(("jpg", jpeg_with_exif(f"jpg{i}", w, w * 3 // 4, when, model, make), f"Pillow JPEG, EXIF {when} {model}"))
    for kind, fmt in (("bmp", "BMP"), ("tif", "TIFF"), ("webp", "WEBP"), ("ppm", "PPM"), ("pgm", "PGM")):
        for i in range(3):
            files.append((kind, pil_picture(fmt, f"{kind}{i}", 200 + 40 * i, 150), f"Pillow {fmt}"))
    for kind in ("cr2", "nef", "arw", "dng"):
        for i in range(3):
            files.append((kind, tiff_raw(kind, f"{kind}{i}"), "TIFF-based raw written here"))
    for i in range(3):
        files.append(("psd", psd(f"psd{i}"), "Photoshop file written here"))
        files.append(("heic", heic(f"heic{i}"), "HEIF boxes written here"))
        files.append(("mid", midi(f"mid{i}"), "MIDI written here"))

    # Documents, mail, databases.
    for i in range(4):
        files.append(("pdf", pdf_with_title(f"pdf{i}", f"Quarterly report {i}"), "Pillow PDF with a title"))
    for kind in ("docx", "xlsx", "pptx", "odt", "ods", "odp", "epub"):
        for i in range(2):
            files.append((kind, office(kind, f"Velk {kind} {i}", rng), "package written here"))
    for i in range(4):
        files.append(("eml", mail(f"eml{i}", i % 2 == 0), "python email"))
    box = b"".join(b"From ada@example.org Sat Jun  1 12:00:00 2024\n" + mail(f"mb{i}", False).replace(b"\r\n", b"\n") + b"\n"
                   for i in range(5))
    files.append(("mbox", box, "python email, mbox"))
    for i in range(3):
        files.append(("sqlite", sqlite_db(os.path.join(work, f"db{i}.sqlite"), f"db{i}"), "python sqlite3"))
    for i in range(3):
        body = "".join(f"{{\\b item {k}}} \\par " for k in range(rng.randrange(200, 900)))
        files.append(("rtf", ("{\\rtf1\\ansi " + body + "}\n").encode(), "RTF written here"))
        files.append(("vcf", "".join(f"BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Person {k}\r\nEND:VCARD\r\n" for k in range(50)).encode(), "vCards"))
        files.append(("ics", ("BEGIN:VCALENDAR\r\nVERSION:2.0\r\n" + "".join(
            f"BEGIN:VEVENT\r\nSUMMARY:Meeting {k}\r\nDTSTART:20240601T12{k % 60:02d}00Z\r\nEND:VEVENT\r\n" for k in range(60))
            + "END:VCALENDAR\r\n").encode(), "iCalendar"))

    for ext, data, src in ffmpeg_made(work, seed):
        files.append((ext, data, src))
    return files


def build(a):
    os.makedirs(a.dir, exist_ok=True)
    work = os.path.join(a.dir, "work")
    fdir = os.path.join(a.dir, "files")
    for d in (work, fdir):
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
    files = collect(work, a.seed)
    rng = random.Random(a.seed)
    rng.shuffle(files)
    # Some files in two pieces: most of the larger JPEGs, and one of a few other types.
    split = set()
    for i, (kind, data, _) in enumerate(files):
        if len(data) > 40 * SECTOR and ((kind == "jpg" and rng.random() < 0.5) or
                                        (kind in ("png", "zip", "mp3", "pdf") and rng.random() < 0.2)):
            split.add(i)
    pool = random.Random(a.seed + 1)

    def filler(n):
        return bytes(n * SECTOR) if pool.random() < 0.25 else pool.randbytes(n * SECTOR)

    img = bytearray(pool.randbytes(64 * SECTOR))
    rows, pending = [], []  # pending: second pieces placed after a few more files
    for i, (kind, data, src) in enumerate(files):
        name = f"{i:03d}.{kind}"
        with open(os.path.join(fdir, name), "wb") as f:
            f.write(data)
        img += filler(pool.randrange(0, a.filler_max + 1))
        start = len(img) // SECTOR
        if i in split:
            cut = pool.randrange(8, len(data) // SECTOR - 8) * SECTOR
            img += data[:cut]
            img += bytes(-len(img) % SECTOR)
            pending.append((pool.randrange(1, 4), data[cut:], len(rows)))
            rows.append([kind, sha(data), len(data), start, 2, src])
        else:
            img += data
            img += pool.randbytes(-len(img) % SECTOR)
            rows.append([kind, sha(data), len(data), start, 1, src])
        for p in list(pending):
            if p[0] <= 0:
                img += filler(pool.randrange(1, 16))
                img += p[1]
                img += pool.randbytes(-len(img) % SECTOR)
                pending.remove(p)
            else:
                pending.remove(p)
                pending.append((p[0] - 1, p[1], p[2]))
    for _, rest, _ in pending:
        img += filler(4) + rest
        img += pool.randbytes(-len(img) % SECTOR)
    img += pool.randbytes(256 * SECTOR)
    with open(os.path.join(a.dir, "carve.img"), "wb") as f:
        f.write(img)
    with open(os.path.join(a.dir, "manifest.tsv"), "w") as f:
        f.write("type\tsha256\tsize\tsector\tpieces\tsource\n")
        for r in rows:
            f.write("\t".join(str(x) for x in r) + "\n")
    shutil.rmtree(work, ignore_errors=True)
    kinds = sorted({r[0] for r in rows})
    print(f"{len(rows)} files of {len(kinds)} types ({sum(r[4] == 2 for r in rows)} in two pieces), "
          f"image {len(img) >> 20} MiB: {os.path.join(a.dir, 'carve.img')}")


def score(a):
    found = set()
    for base, _, names in os.walk(a.outdir):
        for n in names:
            with open(os.path.join(base, n), "rb") as f:
                found.add(sha(f.read()))
    per = {}
    with open(a.manifest) as f:
        next(f)
        for line in f:
            kind, h, _, _, pieces, _ = line.rstrip("\n").split("\t")
            t = per.setdefault(kind, [0, 0, 0, 0])
            t[0] += 1
            t[1] += h in found
            t[2] += pieces == "2"
            t[3] += pieces == "2" and h in found
    if a.json:
        print(json.dumps(per, sort_keys=True))
    else:
        for k in sorted(per):
            print(f"{k}\t{per[k][0]}\t{per[k][1]}")
        print(f"total\t{sum(v[0] for v in per.values())}\t{sum(v[1] for v in per.values())}")


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="cmd", required=True)
    b = sub.add_parser("build")
    b.add_argument("dir")
    b.add_argument("--seed", type=int, default=23)
    b.add_argument("--filler-max", type=int, default=64)
    s = sub.add_parser("score")
    s.add_argument("manifest")
    s.add_argument("outdir")
    s.add_argument("--json", action="store_true")
    a = p.parse_args()
    build(a) if a.cmd == "build" else score(a)


if __name__ == "__main__":
    sys.exit(main())

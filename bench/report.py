#!/usr/bin/python3
"""Turns bench/run.sh results (results.tsv, outputs.tsv, params.txt, logs/) into markdown
tables: every measurement with its peak memory, the peers' ratios to ours, and the goals.

    report.py RESULTS_DIR
"""

import os
import re
import sys

D = sys.argv[1]
LOGS = os.path.join(D, "logs")


def table(path, key="id"):
    rows = {}
    if not os.path.exists(path):
        return rows
    with open(path, encoding="utf-8") as f:
        head = f.readline().rstrip("\n").split("\t")
        for line in f:
            cells = line.rstrip("\n").split("\t")
            r = dict(zip(head, cells))
            rows[r[key]] = r  # the last run of an id wins
    return rows


R = table(os.path.join(D, "results.tsv"))
O = table(os.path.join(D, "outputs.tsv"))
P = {}
if os.path.exists(os.path.join(D, "params.txt")):
    for line in open(os.path.join(D, "params.txt")):
        k, _, v = line.strip().partition("=")
        P[k] = v


def sec(i):
    r = R.get(i)
    return float(r["seconds"]) if r and r["seconds"] else None


def cpu(i):
    r = R.get(i)
    return float(r["cpu_seconds"]) if r and r.get("cpu_seconds") else None


def rss(i):
    r = R.get(i)
    return int(r["maxrss_kb"]) / 1024 if r and r["maxrss_kb"] else None


def log(i, ext="out"):
    p = os.path.join(LOGS, f"{i}.{ext}")
    return open(p, encoding="utf-8", errors="replace").read() if os.path.exists(p) else ""


def found(i):
    """What a scan listed, from its output."""
    text = log(i)
    if ".velk" in i:
        m = re.findall(r"Found (\d+) files", text)
        return f"{m[-1]} files" if m else ""
    if ".fls" in i:
        return f"{text.count(chr(10))} entries"
    if ".debugfs" in i:
        m = re.search(r"(\d+) deleted inodes found", text + log(i, "err"))
        return f"{m.group(1)} inodes" if m else ""
    if ".ntfsundelete" in i:
        m = re.search(r"Files with potentially recoverable content: (\d+)", text)
        rows = len(re.findall(r"^\d+\s", text, re.M))
        return f"{rows} rows ({m.group(1)} recoverable)" if m else f"{rows} rows"
    return ""


def outs(i):
    o = O.get(i)
    if not o:
        return ""
    text = f"{int(o['files'])} files, {int(o['bytes']) / 1e6:.1f} MB"
    if o.get("check"):
        m = re.match(r"(\d+) distinct contents equal a deleted original \((\d+) deleted\)", o["check"])
        text += f"; {m.group(1)} of {m.group(2)} originals byte-exact" if m else f"; {o['check']}"
    return text


def fmt(x, digits=3):
    return "–" if x is None else f"{x:.{digits}f}"


def ratio(a, b):
    return None if a is None or b is None or b == 0 else a / b


LABELS = {
    "scan.velk": "velk-cli scan --task deleted",
    "scan.velk-formatted": "velk-cli scan --task formatted (MFT + volume sweep)",
    "scan.velk-slice": "velk-cli scan --task raw of the recovery slice",
    "scan.fls": "fls -r -d -p",
    "scan.debugfs": "debugfs -R lsdel",
    "scan.ntfsundelete": "ntfsundelete -f (scan; no folder paths)",
    "read.meta": "sequential read of the bytes velk's scan read",
    "read.image": "read of the whole image (dd bs=2M)",
    "recover.velk": "velk-cli recover --all",
    "recover.cp": "cp -r of velk's output (same files, same bytes)",
    "recover.tsk_recover": "tsk_recover (unallocated files)",
    "recover.ntfsundelete": "ntfsundelete -u -m '*'",
    "recover.photorec": "photorec /cmd … everything,enable,search",
}


def label(i):
    parts = i.split(".")
    key = ".".join(parts[1:3])
    text = LABELS.get(key, key)
    if parts[0] == "raw" and key == "scan.velk":
        text = "velk-cli scan --task raw"
    if parts[0] == "raw" and key == "recover.velk":
        text = "velk-cli recover --task raw --all"
    return text


def phase_table(phase, ours_scan):
    ids = [i for i in R if i.startswith(phase + ".") and not i.startswith(phase + ".cpu")]
    if not ids:
        return []
    lines = ["| measurement | cache | wall s | CPU s | peak RSS MiB | result | vs velk (wall) |",
             "|---|---|---:|---:|---:|---|---:|"]
    for i in ids:
        parts = i.split(".")
        cache = parts[3] if len(parts) > 3 else ("warm" if parts[1] == "recover" else "")
        base = None
        if parts[1] == "scan" or parts[1] == "read":
            base = sec(f"{phase}.scan.velk.{cache}") if cache else None
        elif parts[1] == "recover":
            base = sec(f"{phase}.recover.velk")
        rel = ratio(sec(i), base) if base and "velk" not in parts[2] else None
        res = found(i) if parts[1] == "scan" else outs(i) if parts[1] == "recover" else R[i]["note"]
        if parts[1] == "scan" and R[i]["note"]:
            res = f"{res}; {R[i]['note']}" if res else R[i]["note"]
        rc = R[i]["rc"]
        if rc not in ("0", ""):
            res += f" (exit {rc})"
        lines.append(f"| {label(i)} | {cache} | {fmt(sec(i))} | {fmt(cpu(i), 2)} | {fmt(rss(i), 1)} | {res} | "
                     f"{'' if rel is None else f'{rel:.2f}×'} |")
    return lines


def verdict(ok):
    return "met" if ok else "missed"


def goals():
    g = []
    gib = 1 << 30
    # raw
    raw_bytes = int(P.get("RAW_BYTES", "0") or 0)
    cpu = sec("raw.cpu.sector_test")
    whole = sec("raw.cpu.whole_scan")
    warm = sec("raw.scan.velk.warm")
    cold = sec("raw.scan.velk.cold")
    if warm and raw_bytes:
        rate = raw_bytes / warm / 1e9
        cat = sec("raw.read.image.warm")
        dd = sec("raw.read.image.cold")
        g.append(f"- **Raw scan over 2 GB/s on one core, cached data**: {verdict(rate > 2)} — "
                 f"{rate:.2f} GB/s for the whole `velk-cli scan --task raw` of {raw_bytes / gib:.1f} GiB "
                 f"(process, catalogue, reads, end rules, listing) with a warm cache; the sector test alone "
                 f"{fmt(cpu, 2)} GB/s and the in-memory scanner {fmt(whole, 2)} GB/s (raw_scan_bench). "
                 f"dd of the cached image: {raw_bytes / cat / 1e9:.2f} GB/s" +
                 (f"; cold: velk {raw_bytes / cold / 1e9:.2f} GB/s vs dd {raw_bytes / dd / 1e9:.2f} GB/s "
                  f"({ratio(cold, dd):.2f}× the device read)." if cold and dd else "."))
    # NTFS
    n = sec("ntfs.scan.velk.warm")
    if n:
        records = P.get("NTFS_FILES", "?")
        g.append(f"- **NTFS MFT of {records} file records in under 2 s**: {verdict(n < 2)} — "
                 f"{n:.2f} s warm, {fmt(sec('ntfs.scan.velk.cold'), 2)} s cold (the whole deleted scan: "
                 f"MFT load with fixups, every record, folder chains, listing); reading the same bytes "
                 f"alone takes {fmt(sec('ntfs.read.meta.warm'), 2)} s warm / {fmt(sec('ntfs.read.meta.cold'), 2)} s cold.")
    # FAT / EXT metadata
    for ph, name in (("fat", "FAT32"), ("ext3", "EXT3"), ("ext2", "EXT2")):
        s_w, s_c = sec(f"{ph}.scan.velk.warm"), sec(f"{ph}.scan.velk.cold")
        m_w, m_c = sec(f"{ph}.read.meta.warm"), sec(f"{ph}.read.meta.cold")
        if s_w and m_w:
            rw, rc = ratio(s_w, m_w), ratio(s_c, m_c)
            note = R.get(f"{ph}.read.meta.warm", {}).get("note", "")
            g.append(f"- **{name} scan within 1.5× of a sequential read of the metadata it touches**: "
                     f"cold {verdict(rc is not None and rc <= 1.5)} ({fmt(rc, 2)}×: {fmt(s_c)} s vs {fmt(m_c)} s), "
                     f"warm {verdict(rw <= 1.5)} ({rw:.2f}×: {s_w:.3f} s vs {m_w:.3f} s); {note}.")
    # recovery
    for ph in ("fat", "ntfs", "ext3", "ext2", "raw"):
        r, c = sec(f"{ph}.recover.velk"), sec(f"{ph}.recover.cp")
        if r and c:
            # The raw recovery runs on the image's first part: its own scan is timed apart.
            scan = sec(f"{ph}.scan.velk-slice.warm" if ph == "raw" else f"{ph}.scan.velk.warm")
            extra = f"; without the scan it includes ({scan:.3f} s): {ratio(r - scan, c):.2f}×" if scan else ""
            g.append(f"- **{ph} recovery within 1.2× of `cp`**: {verdict(r / c <= 1.2)} — {r:.3f} s vs "
                     f"{c:.3f} s = {r / c:.2f}× (scan included){extra}.")
    # memory
    mem = []
    for i in sorted(R):
        if (".scan.velk." in i and i.endswith(".warm")) or i.endswith(".recover.velk"):
            mb = rss(i)
            if mb is None:
                continue
            f = found(i) if ".scan." in i else ""
            mem.append(f"{i} {mb:.0f} MiB{(' (' + f + ')') if f else ''}")
    if mem:
        g.append("- **Memory bounded by the results, not by the disk**: " + "; ".join(mem) + ".")
    return g


def main():
    out = []
    if os.path.exists(os.path.join(D, "machine.txt")):
        out += ["## Machine and versions", "", "```", open(os.path.join(D, "machine.txt")).read().rstrip(), "```", ""]
    if P:
        out += ["## Sizes", "", "```"] + [f"{k}={v}" for k, v in P.items()] + ["```", ""]
    for ph, title in (("fat", "FAT32"), ("ntfs", "NTFS"), ("ext3", "EXT3"), ("ext2", "EXT2"), ("raw", "Raw")):
        t = phase_table(ph, None)
        if t:
            out += [f"## {title}", ""] + t + [""]
    out += ["## Goals", ""] + goals() + [""]
    print("\n".join(out))


main()

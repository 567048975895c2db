"""The Sleuth Kit as a second opinion: fls must list each row in its state and
icat must yield its bytes."""

import hashlib
import subprocess

from .manifest import fail


def fls(image, soff=0, fstype=None):
    cmd = ["fls", "-r", "-p", "-o", str(soff)] + (["-f", fstype] if fstype else []) + [image]
    out = subprocess.run(cmd, capture_output=True, check=True).stdout
    ents = []
    for ln in out.decode("utf-8", "replace").splitlines():
        head, _, path = ln.partition("\t")
        parts = head.split()
        inode = parts[-1].rstrip(":")
        ents.append({"type": parts[0], "deleted": "*" in parts, "realloc": "(realloc)" in inode,
                     "inode": inode.replace("(realloc)", ""), "path": path})
    return ents


def icat_sha(image, soff, inode, fstype=None):
    """sha256 of what `icat -r` yields, streamed (files may be larger than memory)."""
    cmd = ["icat", "-r", "-o", str(soff)] + (["-f", fstype] if fstype else []) + [image, inode]
    h = hashlib.sha256()
    with subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL) as p:
        while chunk := p.stdout.read(1 << 22):
            h.update(chunk)
    return h.hexdigest()


def key(path):
    return tuple(x[1:].lower() for x in path.split("/"))


def path_matches(want, have):
    w, h = want.split("/"), have.split("/")
    if len(w) != len(h):
        return False
    for a, b in zip(w, h):
        if a.lower() != b.lower() and not (len(a) == len(b) and b.startswith("_") and a[1:].lower() == b[1:].lower()):
            return False
    return True


def ntfs_data_kind(image, soff, inode):
    out = subprocess.run(["istat", "-o", str(soff), image, inode], capture_output=True).stdout.decode("utf-8", "replace")
    for ln in out.splitlines():
        if ln.startswith("Type: $DATA") and "Name: N/A" in ln:
            return "nonresident" if "Non-Resident" in ln else "resident"
    return None


def check(image, rows, soff=0, skip_data_for=(), unlisted_ok=False, note_inode=False, note_resident=False,
          fstype=None):
    """Cross-checks rows of one volume with fls and icat; returns the fls entries."""
    ents = fls(image, soff, fstype)
    index = {}  # by path without each name's first character, which fls may show as "_"
    for e in ents:
        index.setdefault(key(e["path"]), []).append(e)
    checked = 0
    for r in rows:
        if r.state == "formatted":
            continue
        checked += 1
        hits = [e for e in index.get(key(r.path), []) if path_matches(r.path, e["path"]) and "r" in e["type"].split("/")]
        if r.state == "live":
            hits = [e for e in hits if not e["deleted"]]
            if len(hits) != 1:
                fail(f"tsk: {r.path}: {len(hits)} live entries")
        elif r.state == "overwritten":
            if any(e["deleted"] and icat_sha(image, soff, e["inode"], fstype) == r.sha for e in hits):
                fail(f"tsk: {r.path}: claimed overwritten, icat still yields it")
            continue
        else:
            if any(not e["deleted"] for e in hits):
                fail(f"tsk: {r.path}: listed as live")
            hits = [e for e in hits if e["deleted"]]
            if not hits:
                if unlisted_ok:
                    r.note("tsk-unlisted")
                    continue
                fail(f"tsk: {r.path}: not listed as deleted")
            if r.state == "deleted-in-deleted-folder":
                parent = r.path.rsplit("/", 1)[0]
                if not any(e["deleted"] and e["type"].endswith("/d") and path_matches(parent, e["path"])
                           for e in index.get(key(parent), [])):
                    fail(f"tsk: {r.path}: parent folder not listed as deleted")
        if r.state in skip_data_for:
            continue
        good = [e for e in hits if icat_sha(image, soff, e["inode"], fstype) == r.sha]
        if not good:
            fail(f"tsk: {r.path}: icat does not yield the file placed")
        if note_inode:
            r.note("inode=" + good[0]["inode"].split("-")[0])
        if note_resident:
            r.note(ntfs_data_kind(image, soff, good[0]["inode"]))
    if checked == 0:
        fail("tsk: no rows to check")
    return ents

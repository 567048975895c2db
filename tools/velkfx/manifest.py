"""Manifests: one row per file placed on an image, written only after the checks.

Columns: part, path, size, sha256, state, notes (see tools/README.md).
"""

import hashlib
import sys

HEADER = "part\tpath\tsize\tsha256\tstate\tnotes"
STATES = ("live", "deleted", "deleted-in-deleted-folder", "overwritten", "formatted")


class CheckFailed(SystemExit):
    pass


def fail(msg):
    print("CHECK FAILED: " + msg, file=sys.stderr)
    raise CheckFailed(1)


def sha_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(1 << 22):
            h.update(chunk)
    return h.hexdigest()


def sha(data):
    return hashlib.sha256(data).hexdigest()


class Row:
    """A file placed: its local copy, intended state, notes, and facts the
    builder learnt while writing (e.g. the inode number)."""

    def __init__(self, part, path, local, state, notes=""):
        if state not in STATES + ("auto",):
            raise ValueError(f"bad state {state}")
        self.part, self.path, self.local, self.state = part, path, local, state
        self.notes = notes.split()
        self.facts = {}
        self._sha = None
        with open(local, "rb") as f:
            self.size = f.seek(0, 2)

    @property
    def sha(self):
        if self._sha is None:
            self._sha = sha_file(self.local)
        return self._sha

    def data(self):
        with open(self.local, "rb") as f:
            return f.read()

    def note(self, *words):
        for w in words:
            if w and w not in self.notes:
                self.notes.append(w)

    def line(self):
        return f"{self.part}\t{self.path}\t{self.size}\t{self.sha}\t{self.state}\t{' '.join(self.notes)}"


class Manifest:
    def __init__(self, name):
        self.name = name
        self.rows = []

    def add(self, part, path, local, state, notes=""):
        row = Row(part, path, local, state, notes)
        self.rows.append(row)
        return row

    def part(self, part):
        return [r for r in self.rows if r.part == part]

    def text(self):
        return "\n".join([HEADER] + [r.line() for r in self.rows]) + "\n"


def read_rows(path):
    """(part, path, size, sha256, state, notes) of a committed manifest."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    if not lines or lines[0] != HEADER:
        raise ValueError(f"{path}: bad manifest header")
    return [ln.split("\t") for ln in lines[1:] if ln and not ln.startswith("#")]

"""One build session: work folder, frozen clock, child processes, mounts and loop
devices (all undone on exit), generated contents, and publishing."""

import os
import shutil
import subprocess
import sys
import tempfile
import time

from . import content
from .manifest import Manifest

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.dirname(TOOLS)
FAKETIME_LIB = os.environ.get("FX_FAKETIME_LIB", "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1")
# Every image is written at one fixed moment; dates other than this one are asked for by name.
FX_TIME = "2026-01-02 03:04:05"
FX_EPOCH = 1767323045
FROZEN, RUNNING = "frozen", "running"


def patch(image, offset, data):
    """Overwrites bytes of an image in place: the named edits a builder makes."""
    with open(image, "r+b") as f:
        f.seek(offset)
        f.write(data)


def log(msg):
    print(f"[velkfx] {msg}", file=sys.stderr, flush=True)


def die(msg):
    log("ERROR: " + msg)
    raise SystemExit(1)


class Session:
    def __init__(self, out=None, keep=None):
        self.out = out or os.environ.get("FX_OUT") or os.path.join(ROOT, "tests", "fixtures")
        self.keep = keep if keep is not None else bool(os.environ.get("FX_KEEP"))
        self.env = dict(os.environ, TZ="UTC", LC_ALL="C.UTF-8", MTOOLS_SKIP_CHECK="1", MTOOLSRC="/dev/null",
                        SOURCE_DATE_EPOCH=str(FX_EPOCH), E2FSPROGS_FAKE_TIME=str(FX_EPOCH))
        self.undo = []  # (key, action): what to undo on exit, latest last

    def __enter__(self):
        self.work = tempfile.mkdtemp(prefix="velkfx.", dir=os.environ.get("TMPDIR", "/tmp"))
        os.makedirs(self.out, exist_ok=True)
        log(f"work dir {self.work}")
        return self

    def __exit__(self, *exc):
        while self.undo:
            try:
                self.undo.pop()[1]()
            except Exception as e:  # cleanup goes on past one failure
                log(f"cleanup: {e}")
        if not self.keep:
            shutil.rmtree(self.work, ignore_errors=True)

    def path(self, *parts):
        p = os.path.join(self.work, *parts)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        return p

    # --- processes

    def clock_env(self, clock, extra=None):
        env = dict(self.env, **(extra or {}))
        if clock == FROZEN:
            env.update(LD_PRELOAD=FAKETIME_LIB, FAKETIME=FX_TIME)
        elif clock == RUNNING:  # starts at FX_TIME and runs on, for daemons that wait on time
            env.update(LD_PRELOAD=FAKETIME_LIB, FAKETIME="@" + FX_TIME)
        elif clock:  # another frozen date; mtools and mkfs read SOURCE_DATE_EPOCH first
            env.pop("SOURCE_DATE_EPOCH")
            env.update(LD_PRELOAD=FAKETIME_LIB, FAKETIME=clock)
        return env

    def run(self, *cmd, clock=None, env=None, check=True, text=True, stdin=None, merge=False):
        """Runs a command, returns its stdout (merge: and stderr); a failure names the
        command and what it said."""
        p = subprocess.run([str(c) for c in cmd], env=self.clock_env(clock, env), stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT if merge else subprocess.PIPE, text=text, input=stdin)
        if check and p.returncode:
            die(f"{' '.join(map(str, cmd))[:300]} failed ({p.returncode}): {p.stdout if text else ''}{p.stderr or ''}")
        return p.stdout

    def frozen(self, *cmd, **kw):
        return self.run(*cmd, clock=FROZEN, **kw)

    def require(self, *tools, root=False):
        missing = [t for t in tools if not shutil.which(t)]
        if missing:
            die("missing tools: " + " ".join(missing))
        if not os.path.exists(FAKETIME_LIB):
            die(f"libfaketime not found at {FAKETIME_LIB}")
        if root and os.getuid() != 0:
            die("needs root (loop and FUSE mounts)")

    # --- devices and mounts, undone in reverse order on exit

    def done(self, key):
        self.undo = [u for u in self.undo if u[0] != key]

    def loop(self, image):
        dev = self.run("losetup", "-f", "--show", image).strip()
        self.undo.append((dev, lambda: subprocess.run(["losetup", "-d", dev], capture_output=True)))
        return dev

    def unloop(self, dev):
        self.run("losetup", "-d", dev)
        self.done(dev)

    def mount(self, what, where, *args):
        os.makedirs(where, exist_ok=True)
        self.run("mount", *args, what, where)
        self.undo.append((where, lambda: subprocess.run(["umount", "-l", where], capture_output=True)))
        return where

    def umount(self, where):
        self.run("umount", where)
        self.done(where)

    def ntfs_mount(self, volume, where, options=""):
        """ntfs-3g kept in the foreground (no_detach) as our child, so unmounting can
        wait until it has written everything back and exited."""
        return self.fuse(["ntfs-3g", "-o", "no_detach" + ("," + options if options else ""), volume, where], where)

    def fuse(self, argv, where):
        """Starts a FUSE driver that stays in the foreground; returns it once mounted."""
        os.makedirs(where, exist_ok=True)
        logf = open(self.path("fuse.log"), "a")
        proc = subprocess.Popen(argv, env=self.clock_env(RUNNING), stdout=logf, stderr=logf)
        self.undo.append((where, lambda: (subprocess.run(["umount", "-l", where], capture_output=True), proc.wait())))
        for _ in range(100):
            if subprocess.run(["mountpoint", "-q", where]).returncode == 0:
                return proc
            if proc.poll() is not None:
                break
            time.sleep(0.1)
        die(f"{argv[0]} did not mount {where} (see {logf.name})")

    def fuse_umount(self, where, proc):
        self.run("sync")
        self.umount(where)
        if proc.wait():
            die(f"the FUSE driver of {where} exited with an error")

    # --- contents and outputs

    def gen(self, recipe, seed):
        """Writes the content of a recipe (see content.py) under src/SEED and returns its path."""
        path = self.path("src", seed)
        with open(path, "wb") as f:
            f.write(content.make(recipe, seed))
        return path

    def blank(self, name, size):
        """A new zero-filled (sparse) file in the work folder."""
        path = self.path(name)
        with open(path, "wb") as f:
            f.truncate(size)
        return path

    def manifest(self, name):
        return Manifest(name)

    def publish(self, name, image, manifest=None, layout=None, suffix=".img"):
        out = os.path.join(self.out, name + suffix + ".xz")
        with open(out + ".tmp", "wb") as f:
            subprocess.run(["xz", "-9e", "-T1", "-c", image], stdout=f, check=True)
        os.replace(out + ".tmp", out)
        if manifest is not None:
            with open(os.path.join(self.out, name + ".manifest.tsv"), "w", encoding="utf-8") as f:
                f.write(manifest.text())
        if layout is not None:
            with open(os.path.join(self.out, name + ".layout.tsv"), "w", encoding="utf-8") as f:
                f.write(layout)
        rows = f", {len(manifest.rows)} files" if manifest is not None else ""
        log(f"{name}: {os.path.getsize(image)} bytes -> {os.path.getsize(out)} bytes xz{rows}")


class Folder:
    """Fills a mounted volume as a user would (mkdir, cp, rm), with `sync` where asked."""

    def __init__(self, session, root):
        self.s, self.root = session, root

    def at(self, path):
        return os.path.join(self.root, path)

    def mkdir(self, *paths):
        self.s.run("mkdir", "-p", *[self.at(p) for p in paths])

    def put(self, local, path):
        self.s.run("cp", local, self.at(path))
        return os.stat(self.at(path)).st_ino

    def rm(self, *paths):
        self.s.run("rm", "-r", *[self.at(p) for p in paths])

    def sync(self):
        self.s.run("sync")

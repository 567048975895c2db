"""The fixture images. Each builder makes its volumes with the real tools, records
every file it places as a manifest row, checks every claim on the finished image
and only then publishes image, manifest (and layout)."""

import os

IMAGES = {}  # name -> (group, builder, arguments)


def image(group, *names, **per_name):
    """Registers a builder for one or more images; per_name gives each name's arguments."""
    def register(fn):
        for name in names:
            IMAGES[name] = (group, fn, per_name.get(name, ()))
        return fn
    return register


def files(s, m, part, seed, recipe, full_path=False):
    """Adds rows (path, content recipe, state[, notes[, seed]]) in manifest order, with
    their contents; the seed is SEED + the file name (or + the path when full_path)."""
    out = {}
    for path, kind, state, *rest in recipe:
        notes = rest[0] if rest else ""
        name = rest[1] if len(rest) > 1 else seed + (path if full_path else os.path.basename(path))
        out[path] = m.add(part, path, s.gen(kind, name), state, notes)
    return out


def load():
    from . import (disk_images, ext_cases, ext_images, fat_cases, fat_images, lznt1_sample,  # noqa: F401
                   damaged_images, ntfs_cases, ntfs_images, raw_images)
    return IMAGES

"""velkfx: the fixture package. Run through tools/fixture.sh:

  build [GROUP|IMAGE ...]     builds images (all when none named) into FX_OUT
                              (default tests/fixtures); FX_KEEP=1 keeps the work folder
  list                        the images and their groups
  gen RECIPE OUT --seed S       one generated file (content.py explains RECIPE)
  fatwalk IMG [--offset B]    every live and deleted FAT entry
  ntfsls IMG                  every named MFT record
  extls IMG                   path -> inode of the live EXT tree
  journal IMG                 what an EXT3/4 journal holds
  fuzz-seeds OUT IMAGES       the fuzz seeds cut from unpacked fixture images
"""

import argparse
import sys

from . import content, ext, fat, ntfs


def cmd_build(a):
    from .images import load
    from .session import Session, die
    images = load()
    names = [n for want in a.names or ["all"] for n, (g, _, _) in images.items() if want in ("all", n, g)]
    unknown = [w for w in a.names if w != "all" and not any(w in (n, g) for n, (g, _, _) in images.items())]
    if unknown:
        die("unknown image or group: " + " ".join(unknown))
    for n in dict.fromkeys(names):
        group, fn, args = images[n]
        with Session() as s:
            fn(s, n, *args)


def cmd_list(a):
    from .images import load
    for n, (g, _, _) in load().items():
        print(f"{g}\t{n}")


def cmd_gen(a):
    with open(a.out, "wb") as f:
        f.write(content.make(a.recipe, a.seed))


def cmd_fatwalk(a):
    fs = fat.Fat(a.image, a.offset)
    print(f"FAT{fs.kind} clusters={fs.nclusters} csize={fs.csize} root={fs.rootcl}")
    for p, e, indel, parent in fs.walk():
        print(f"{'D' if e['deleted'] else '-'}{'d' if indel else '-'} {e['attr']:02x} {e['cluster']:7d} {e['size']:9d} "
              f"{e['cdate']:04x} {e['wdate']:04x} {e['adate']:04x} {e['short']:14s} {p}")


def cmd_ntfsls(a):
    vol = ntfs.Ntfs(a.image)
    recs = vol.records()
    paths = ntfs.paths_of(recs)
    for n in sorted(recs):
        r = recs[n]
        streams = [x["name"] for x in r["attrs"] if x["type"] == 0x80]
        print(f"{n}\t{'live' if r['inuse'] else 'deleted'}\t{'dir' if r['isdir'] else 'file'}\t"
              f"{paths.get(n, ('?/' + r['name'], False))[0]}\tstreams={streams}")


def cmd_extls(a):
    for p, n in sorted(ext.Ext(a.image).walk().items()):
        print(f"{n}\t{p}")


def cmd_journal(a):
    vol = ext.Ext(a.image)
    copies, ic, _, _ = ext.journal_facts(vol)
    print(f"block size {vol.bs}, inode size {vol.isz}, journal inode {vol.jino}, {len(copies)} copies")
    for idx, x, seq, blk in copies:
        cls = vol.block_class(x)[0] if x < vol.bcount else "outside"
        extra = ""
        if cls == "other" and ext.first_dir_block(blk):
            extra = " first-dir-block " + ",".join(f"{i}:{n}" for i, n, _ in vol.dir_entries(blk))
        print(f"j{idx}\tseq {seq}\tfs {x}\t{cls}{extra}")
    for ino in sorted(ic):
        good = [c for c in ic[ino] if c[1]["mode"] & 0xF000 == 0x8000 and c[1]["size"]]
        if good:
            print(f"inode {ino}: " + "; ".join(f"j{j} seq{s} size={p['size']} dtime={p['dtime']} maps={vol.maps(p)}"
                                              for j, p, s in good))


def cmd_fuzz_seeds(a):
    from . import fuzz_seeds
    fuzz_seeds.build(a.out, a.images, a.fixtures, a.resources)


def main(argv=None):
    ap = argparse.ArgumentParser(prog="velkfx", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="cmd", required=True)
    p = sub.add_parser("build")
    p.add_argument("names", nargs="*")
    p.set_defaults(fn=cmd_build)
    sub.add_parser("list").set_defaults(fn=cmd_list)
    p = sub.add_parser("gen")
    p.add_argument("recipe")
    p.add_argument("out")
    p.add_argument("--seed", required=True)
    p.set_defaults(fn=cmd_gen)
    for name, fn in (("fatwalk", cmd_fatwalk), ("ntfsls", cmd_ntfsls), ("extls", cmd_extls), ("journal", cmd_journal)):
        p = sub.add_parser(name)
        p.add_argument("image")
        p.add_argument("--offset", type=int, default=0)
        p.set_defaults(fn=fn)
    p = sub.add_parser("fuzz-seeds")
    p.add_argument("out")
    p.add_argument("images")
    p.add_argument("--fixtures", default="tests/fixtures")
    p.add_argument("--resources", default="resources")
    p.set_defaults(fn=cmd_fuzz_seeds)
    a = ap.parse_args(argv)
    a.fn(a)


if __name__ == "__main__":
    sys.exit(main())

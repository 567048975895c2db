#!/usr/bin/env python3
"""Generates the desktop application's SVG artwork and the table that maps the program's
resource numbers to files. The SVGs carry shapes only: the renderer used by the app does
not draw <text>, so captions are painted by the app from the table."""

import os

OUT = os.path.join(os.path.dirname(__file__), "..", "resources", "art")

NAVY = "#13233a"
NAVY2 = "#1f3b5c"
TEAL = "#129c93"
TEAL_LIGHT = "#e3f5f3"
TEAL_MID = "#c6ebe7"
TEAL_DARK = "#0c7a73"
SLATE = "#cbd5e1"
PAPER = "#f7f9fc"
GREY = "#a9b3c1"

def svg(w, h, body, defs=""):
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{w}" height="{h}" viewBox="0 0 {w} {h}">'
            f'<defs>{defs}</defs>{body}</svg>\n')

def vgrad(id_, a, b):
    return f'<linearGradient id="{id_}" x1="0%" y1="0%" x2="0%" y2="100%"><stop offset="0%" stop-color="{a}"/><stop offset="100%" stop-color="{b}"/></linearGradient>'

def hgrad(id_, a, b):
    return f'<linearGradient id="{id_}" x1="0%" y1="0%" x2="100%" y2="0%"><stop offset="0%" stop-color="{a}"/><stop offset="100%" stop-color="{b}"/></linearGradient>'

# Glyphs drawn in a 48x48 box, stroke-based.
GLYPHS = {
    "deleted": '<path d="M14 8h14l8 8v24a2 2 0 0 1-2 2H14a2 2 0 0 1-2-2V10a2 2 0 0 1 2-2z" fill="none" stroke="C" stroke-width="3"/><path d="M28 8v8h8" fill="none" stroke="C" stroke-width="3"/><path d="M18 24l12 12M30 24L18 36" stroke="C" stroke-width="3" stroke-linecap="round"/>',
    "formatted": '<rect x="6" y="12" width="36" height="24" rx="4" fill="none" stroke="C" stroke-width="3"/><circle cx="34" cy="30" r="2.5" fill="C"/><path d="M12 20h16M12 26h10" stroke="C" stroke-width="3" stroke-linecap="round"/><path d="M24 40a16 16 0 0 0 16-4" fill="none" stroke="C" stroke-width="2.5" stroke-dasharray="3 3"/>',
    "partition": '<circle cx="24" cy="24" r="17" fill="none" stroke="C" stroke-width="3"/><path d="M24 24V7M24 24l14 9" stroke="C" stroke-width="3" stroke-linecap="round"/><path d="M24 24V7a17 17 0 0 1 14 26z" fill="C" opacity="0.35"/>',
    "raw": '<circle cx="20" cy="20" r="12" fill="none" stroke="C" stroke-width="3"/><path d="M29 29l12 12" stroke="C" stroke-width="4" stroke-linecap="round"/><path d="M14 17h12M14 22h8" stroke="C" stroke-width="2.5" stroke-linecap="round"/>',
    "outlook": '<rect x="6" y="11" width="36" height="26" rx="3" fill="none" stroke="C" stroke-width="3"/><path d="M7 13l17 13 17-13" fill="none" stroke="C" stroke-width="3"/><path d="M34 32l4 4" stroke="C" stroke-width="3"/>',
    "express": '<rect x="6" y="11" width="36" height="26" rx="3" fill="none" stroke="C" stroke-width="3"/><path d="M7 13l17 13 17-13" fill="none" stroke="C" stroke-width="3"/><path d="M2 22h6M0 28h8" stroke="C" stroke-width="2.5" stroke-linecap="round"/>',
    "mailsearch": '<rect x="4" y="11" width="30" height="22" rx="3" fill="none" stroke="C" stroke-width="3"/><path d="M5 13l14 10 14-10" fill="none" stroke="C" stroke-width="3"/><circle cx="34" cy="32" r="7" fill="none" stroke="C" stroke-width="3"/><path d="M39 37l5 5" stroke="C" stroke-width="3.5" stroke-linecap="round"/>',
    "recovery": '<path d="M24 8v22M15 22l9 9 9-9" fill="none" stroke="C" stroke-width="3.5" stroke-linecap="round" stroke-linejoin="round"/><path d="M9 36h30" stroke="C" stroke-width="3.5" stroke-linecap="round"/>',
    "disk": '<rect x="6" y="14" width="36" height="20" rx="4" fill="none" stroke="C" stroke-width="3"/><circle cx="34" cy="24" r="3" fill="C"/>',
    "mail": '<rect x="6" y="11" width="36" height="26" rx="3" fill="none" stroke="C" stroke-width="3"/><path d="M7 13l17 13 17-13" fill="none" stroke="C" stroke-width="3"/>',
}

def glyph(name, color, x, y, scale=1.0):
    return f'<g transform="translate({x} {y}) scale({scale})">' + GLYPHS[name].replace('"C"', f'"{color}"') + '</g>'

entries = []  # (number, file, w, h, caption)

def emit(number, name, w, h, body, defs="", caption=""):
    fname = f"{name}.svg"
    with open(os.path.join(OUT, fname), "w") as f:
        f.write(svg(w, h, body, defs))
    entries.append((number, fname, w, h, caption))

def title_bar():
    body = (f'<rect width="770" height="34" fill="url(#g)"/>'
            f'<path d="M12 8l7 18 7-18" fill="none" stroke="{TEAL}" stroke-width="3.5" stroke-linejoin="round"/>'
            f'<path d="M0 33.5h770" stroke="{TEAL}" stroke-width="1"/>')
    emit(212, "title_bar", 770, 34, body, hgrad("g", NAVY, NAVY2), "Velk File Recovery")

def window_buttons():
    for num, name, hover, kind in [(157, "minimize", False, "min"), (158, "minimize_hover", True, "min"),
                                   (130, "close", False, "close"), (131, "close_hover", True, "close")]:
        bg = ("#c0392b" if kind == "close" else "#2d4f78") if hover else "none"
        mark = ('<path d="M10 22h11" stroke="#fff" stroke-width="2" stroke-linecap="round"/>' if kind == "min" else
                '<path d="M10 11l11 11M21 11L10 22" stroke="#fff" stroke-width="2" stroke-linecap="round"/>')
        emit(num, name, 31, 34, f'<rect width="31" height="34" fill="{bg}"/>' + mark)

def header():
    body = (f'<rect width="770" height="66" fill="url(#g)"/><path d="M0 65h770" stroke="{TEAL}" stroke-width="2"/>'
            f'<circle cx="36" cy="33" r="20" fill="{TEAL}"/><path d="M27 24l9 20 9-20" fill="none" stroke="#fff" stroke-width="4" stroke-linejoin="round"/>')
    emit(213, "header", 770, 66, body, vgrad("g", "#ffffff", "#e6ecf3"))

def backgrounds():
    for num, name in [(238, "background_recovery"), (239, "background_mail"), (236, "background_default"),
                      (151, "background_drive_page"), (172, "background_workspace")]:
        body = f'<rect width="770" height="405" fill="{PAPER}"/>'
        if num in (238, 239, 236):
            body = f'<rect width="770" height="405" fill="#ffffff"/><path d="M27 40h716" stroke="{SLATE}"/>'
        elif num == 151:
            body += (f'<rect x="8" y="8" width="429" height="312" rx="6" fill="#fff" stroke="{SLATE}"/>'
                     f'<rect x="452" y="8" width="306" height="312" rx="6" fill="#fff" stroke="{SLATE}"/>'
                     f'<path d="M0 337h770" stroke="{SLATE}"/>')
        elif num == 172:
            body += (f'<rect x="6" y="6" width="758" height="196" rx="4" fill="#fff" stroke="{SLATE}"/>'
                     f'<rect x="6" y="206" width="758" height="24" rx="4" fill="{NAVY2}"/>'
                     f'<path d="M0 337h770" stroke="{SLATE}"/>')
        emit(num, name, 770, 405, body)

def card(num, name, w, h, state, glyph_name, caption):
    fill = {"normal": "#ffffff", "hover": TEAL_LIGHT, "pressed": TEAL_MID}[state]
    stroke = {"normal": SLATE, "hover": TEAL, "pressed": TEAL_DARK}[state]
    gs = 1.0 if h > 100 else 0.75
    icon_r = 34 if h > 100 else 22
    cx, cy = (20 + icon_r, h / 2)
    body = (f'<rect x="1" y="1" width="{w-2}" height="{h-2}" rx="10" fill="{fill}" stroke="{stroke}" stroke-width="2"/>'
            f'<circle cx="{cx}" cy="{cy}" r="{icon_r}" fill="{TEAL if state != "normal" else NAVY2}"/>'
            + glyph(glyph_name, "#ffffff", cx - 24 * gs, cy - 24 * gs, gs))
    emit(num, name, w, h, body, caption=caption)

def task_buttons():
    big = [((250, 251, 252), "task_deleted", "deleted", "Deleted File Recovery|Find and restore deleted files and folders"),
           ((253, 254, 255), "task_formatted", "formatted", "Formatted Drive Recovery|Recover files from a formatted volume"),
           ((243, 241, 242), "task_partition", "partition", "Partition Recovery|Find lost partitions, back up partition tables"),
           ((244, 245, 246), "task_raw", "raw", "Raw File Recovery|Carve files by their signatures")]
    small = [((240, 260, 261), "task_outlook", "outlook", "Outlook Repair|.pst personal folders"),
             ((259, 257, 258), "task_outlook_express", "express", "Outlook Express|.dbx mail folders"),
             ((311, 309, 310), "task_email_recovery", "mailsearch", "E-mail Recovery|Find lost mail stores")]
    for (n, p, hv), name, g, cap in big:
        card(n, name, 337, 129, "normal", g, cap)
        card(p, name + "_pressed", 337, 129, "pressed", g, cap)
        card(hv, name + "_hover", 337, 129, "hover", g, cap)
    for (n, p, hv), name, g, cap in small:
        card(n, name, 233, 62, "normal", g, cap)
        card(p, name + "_pressed", 233, 62, "pressed", g, cap)
        card(hv, name + "_hover", 233, 62, "hover", g, cap)

def pill(num, name, w, h, state, caption, glyph_name=None):
    fill = {"normal": TEAL, "hover": "#17b3a8", "pressed": TEAL_DARK, "disabled": "#c3ccd8"}[state]
    body = f'<rect x="1" y="1" width="{w-2}" height="{h-2}" rx="{min(h/2, 10)}" fill="{fill}"/>'
    if state == "pressed":
        body += f'<rect x="1" y="1" width="{w-2}" height="{h-2}" rx="{min(h/2,10)}" fill="none" stroke="#075c56" stroke-width="2"/>'
    if glyph_name:
        s = (h - 14) / 48
        body += glyph(glyph_name, "#ffffff", 10, 7, s)
    emit(num, name, w, h, body, caption=caption)

def page_buttons():
    # Drive selection page: Option, Back, Next.
    for nums, name, w, cap in [((164, 163, 211, 166), "button_option", 145, "Option"),
                               ((160, 159, 210, None), "button_back", 91, "Back"),
                               ((162, 161, 209, 167), "button_next", 91, "Next")]:
        for state, n in zip(("normal", "pressed", "hover", "disabled"), nums):
            if n is not None:
                pill(n, name if state == "normal" else f"{name}_{state}", w, 45, state, cap)
    # Header buttons: Home, Help, About us.
    for nums, name, cap in [((156, 140, 294), "header_home", "Home"), ((139, 138, 293), "header_help", "Help"),
                            ((220, 219, 292), "header_about", "About us")]:
        for state, n in zip(("normal", "pressed", "hover"), nums):
            fill = {"normal": "none", "hover": TEAL_LIGHT, "pressed": TEAL_MID}[state]
            stroke = {"normal": SLATE, "hover": TEAL, "pressed": TEAL_DARK}[state]
            emit(n, name if state == "normal" else f"{name}_{state}", 86, 30,
                 f'<rect x="1" y="1" width="84" height="28" rx="14" fill="{fill}" stroke="{stroke}" stroke-width="1.5"/>', caption=cap)
    # Workspace page buttons (our numbering from 900 on).
    base = 900
    for name, w, h, cap, g in [("button_filter", 103, 35, "Filter", None), ("button_view_mode", 103, 35, "View Mode", None),
                               ("button_page_back", 91, 45, "Back", None), ("button_page_next", 91, 45, "Next", None),
                               ("button_recovery", 164, 61, "Recovery", "recovery")]:
        for state in ("normal", "pressed", "hover", "disabled"):
            pill(base, name if state == "normal" else f"{name}_{state}", w, h, state, cap, g)
            base += 1

def category_items():
    # The category list: two tabs between the header and the task buttons.
    for num, name, sel, g, cap in [(227, "category_recovery", False, "disk", "Data Recovery"),
                                   (226, "category_recovery_selected", True, "disk", "Data Recovery"),
                                   (233, "category_mail", False, "mail", "E-mail Tools"),
                                   (232, "category_mail_selected", True, "mail", "E-mail Tools")]:
        fill = NAVY2 if sel else "#ffffff"
        col = "#ffffff" if sel else NAVY2
        body = (f'<rect x="1" y="1" width="168" height="28" rx="14" fill="{fill}" stroke="{NAVY2 if sel else SLATE}" stroke-width="1.5"/>'
                + glyph(g, col, 12, 5, 20 / 48))
        emit(num, name, 170, 30, body, caption=cap)

def icons():
    # Tree images of the drive page (one strip: computer, disk, partition) and of the
    # result trees (root, folder, folder open, …).
    strip = ('<g><rect x="1" y="2" width="14" height="9" rx="1" fill="none" stroke="#1f3b5c" stroke-width="1.5"/><path d="M5 14h6M8 11v3" stroke="#1f3b5c" stroke-width="1.5"/></g>'
             '<g transform="translate(16 0)"><rect x="1" y="4" width="14" height="8" rx="2" fill="#1f3b5c"/><circle cx="12" cy="8" r="1.3" fill="#7fe0d8"/></g>'
             '<g transform="translate(32 0)"><rect x="1" y="3" width="14" height="10" rx="2" fill="#129c93"/><path d="M4 8h8" stroke="#fff" stroke-width="1.5"/></g>')
    emit(165, "tree_drive_icons", 48, 16, strip)
    folder = '<path d="M1 4h5l2 2h7v8H1z" fill="FILL" stroke="#9a7b1c" stroke-width="1"/>'
    emit(183, "tree_root", 16, 16, '<rect x="1" y="3" width="14" height="10" rx="2" fill="#1f3b5c"/><circle cx="12" cy="8" r="1.5" fill="#7fe0d8"/>')
    emit(184, "tree_folder", 16, 16, folder.replace("FILL", "#f4c542"))
    emit(185, "tree_folder_open", 16, 16, folder.replace("FILL", "#ffe08a"))
    emit(186, "tree_root_alt", 16, 16, '<rect x="1" y="3" width="14" height="10" rx="2" fill="#129c93"/>')
    emit(187, "tree_folder_alt", 16, 16, folder.replace("FILL", "#e8b730"))

def partition_page():
    # Body of the partition page: a card behind the disk combo, the disk map and the
    # Backup and Recovery buttons; the two lists stand on the paper below it.
    body = (f'<rect width="770" height="405" fill="{PAPER}"/>'
            f'<rect x="4" y="6" width="762" height="121" rx="6" fill="#fff" stroke="{SLATE}"/>'
            f'<path d="M0 337h770" stroke="{SLATE}"/>')
    emit(204, "background_partition", 770, 405, body)
    for state, n in zip(("normal", "pressed", "hover", "disabled"), (179, 178, 297, 180)):
        pill(n, "button_partition_recovery" if state == "normal" else f"button_partition_recovery_{state}",
             164, 65, state, "Recovery", "recovery")
    for state, n in zip(("normal", "hover", "disabled"), (203, 202, 201)):
        pill(n, "button_backup" if state == "normal" else f"button_backup_{state}", 103, 35, state, "Backup")
    # Disk combo icons (32 x 32): a fixed disk and a removable stick.
    emit(198, "disk_fixed", 32, 32,
         f'<rect x="2" y="8" width="28" height="17" rx="3" fill="{NAVY2}"/>'
         f'<path d="M6 20h12" stroke="{SLATE}" stroke-width="1.5" stroke-linecap="round"/>'
         f'<circle cx="25" cy="20" r="1.8" fill="#7fe0d8"/>'
         f'<path d="M5 12h22" stroke="#2d4f78" stroke-width="1"/>')
    emit(193, "disk_removable", 32, 32,
         f'<rect x="4" y="11" width="20" height="12" rx="2.5" fill="{NAVY2}"/>'
         f'<rect x="24" y="13" width="6" height="8" rx="1" fill="{GREY}"/>'
         f'<path d="M26 15.5h2M26 18.5h2" stroke="{NAVY2}" stroke-width="1"/>'
         f'<circle cx="9" cy="17" r="1.8" fill="#7fe0d8"/>')
    # Candidate line (16 x 16): a partition slice.
    emit(194, "partition_candidate", 16, 16,
         f'<circle cx="8" cy="8" r="6.5" fill="none" stroke="{NAVY2}" stroke-width="1.5"/>'
         f'<path d="M8 8V1.5A6.5 6.5 0 0 1 13.6 11.3z" fill="{TEAL}"/>')
    # Backup list rows (16 x 16): a backup file, the automatic scan, adding a file.
    emit(197, "backup_file", 16, 16,
         f'<path d="M3 1.5h7l3 3v10H3z" fill="#fff" stroke="{NAVY2}" stroke-width="1.2" stroke-linejoin="round"/>'
         f'<path d="M10 1.5v3h3" fill="none" stroke="{NAVY2}" stroke-width="1.2"/>'
         f'<rect x="5" y="8" width="6" height="4" rx="1" fill="{TEAL}"/>')
    emit(196, "backup_auto_scan", 16, 16,
         f'<circle cx="6.5" cy="6.5" r="4.5" fill="{TEAL_LIGHT}" stroke="{TEAL_DARK}" stroke-width="1.6"/>'
         f'<path d="M10 10l4.5 4.5" stroke="{TEAL_DARK}" stroke-width="2" stroke-linecap="round"/>')
    emit(195, "backup_add", 16, 16,
         f'<circle cx="8" cy="8" r="6.5" fill="{TEAL}"/>'
         f'<path d="M8 4.5v7M4.5 8h7" stroke="#fff" stroke-width="1.8" stroke-linecap="round"/>')

def mail_pages():
    # Selection pages: small buttons beside the file list (our numbering from 920 on).
    base = 920
    for name, cap in [("button_mail_add", "Add Files..."), ("button_mail_remove", "Remove"),
                      ("button_mail_browse", "Browse...")]:
        for state in ("normal", "pressed", "hover", "disabled"):
            pill(base, name if state == "normal" else f"{name}_{state}", 143, 25, state, cap)
            base += 1
    # The banner of the mail pages: a ribbon hanging from the top of the header.
    emit(932, "mail_banner", 74, 44,
         f'<path d="M8 0h58v34a6 6 0 0 1-6 6H14a6 6 0 0 1-6-6z" fill="{NAVY2}"/>'
         + glyph("mail", "#ffffff", 22, 4, 30 / 48))
    body = (f'<rect width="770" height="405" fill="{PAPER}"/>'
            f'<rect x="12" y="248" width="746" height="78" rx="6" fill="#fff" stroke="{SLATE}"/>'
            f'<path d="M13 254v66" stroke="{TEAL}" stroke-width="3" stroke-linecap="round"/>'
            f'<path d="M0 337h770" stroke="{SLATE}"/>')
    emit(934, "background_mail_selection", 770, 405, body)
    emit(935, "background_mail_report", 770, 405, f'<rect width="770" height="405" fill="{PAPER}"/>')

def main():
    os.makedirs(OUT, exist_ok=True)
    title_bar(); window_buttons(); header(); backgrounds(); task_buttons()
    page_buttons(); category_items(); icons(); partition_page(); mail_pages()
    with open(os.path.join(OUT, "resources.tsv"), "w") as f:
        f.write("number\tfile\twidth\theight\tcaption\n")
        for n, fname, w, h, cap in sorted(entries):
            f.write(f"{n}\t{fname}\t{w}\t{h}\t{cap}\n")

if __name__ == "__main__":
    main()

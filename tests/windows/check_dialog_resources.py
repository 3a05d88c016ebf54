"""Checks of the configuration dialog's resources inside a built Vexlor.dll, used by check-pe.py:
templates 100 (German) and 101 (English) with their frame, caption, font and all 108 controls
(identifiers, classes, positions, styles, texts and order), and bitmap 3100 (76 x 47, 4 bits).
"""
import struct

RT_BITMAP = 2
RT_DIALOG = 5

WS_POPUP = 0x80000000
WS_CHILD = 0x40000000
WS_VISIBLE = 0x10000000
WS_DISABLED = 0x08000000
WS_CAPTION = 0x00C00000
WS_BORDER = 0x00800000
WS_VSCROLL = 0x00200000
WS_SYSMENU = 0x00080000
WS_GROUP = 0x00020000
WS_TABSTOP = 0x00010000
DS_MODALFRAME = 0x80
DS_SETFONT = 0x40
ES_PASSWORD = 0x20
ES_AUTOHSCROLL = 0x80
CBS_DROPDOWN = 0x2
TCS_HOTTRACK = 0x40
BS_DEFPUSHBUTTON = 0x1
BS_GROUPBOX = 0x7
SS_BITMAP = 0xE

# Predefined class atoms of dialog templates.
ATOMS = {0x80: "button", 0x81: "edit", 0x82: "static", 0x85: "combobox"}


def resource_data(pe):
    """{(type, name, language): bytes} for every resource of the image."""
    found = {}
    if pe.rsrc_rva == 0:
        return found
    base = pe.offset(pe.rsrc_rva)
    data = pe.data

    def entries(dir_offset):
        named, ids = struct.unpack_from("<HH", data, base + dir_offset + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, base + dir_offset + 16 + 8 * i)
            if name & 0x80000000:
                at = base + (name & 0x7FFFFFFF)
                length = struct.unpack_from("<H", data, at)[0]
                key = data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            else:
                key = name
            yield key, target

    for rtype, t in entries(0):
        for name, n in entries(t & 0x7FFFFFFF):
            for lang, leaf in entries(n & 0x7FFFFFFF):
                rva, size = struct.unpack_from("<II", data, base + (leaf & 0x7FFFFFFF))
                at = pe.offset(rva)
                found[(rtype, name, lang)] = data[at:at + size]
    return found


def _sz_or_ord(blob, at):
    first = struct.unpack_from("<H", blob, at)[0]
    if first == 0xFFFF:
        return struct.unpack_from("<H", blob, at + 2)[0], at + 4
    end = at
    while struct.unpack_from("<H", blob, end)[0] != 0:
        end += 2
    return blob[at:end].decode("utf-16-le"), end + 2


def parse_dialog(blob):
    style, _exstyle, count, x, y, cx, cy = struct.unpack_from("<IIHhhhh", blob, 0)
    at = 18
    _menu, at = _sz_or_ord(blob, at)
    _cls, at = _sz_or_ord(blob, at)
    title, at = _sz_or_ord(blob, at)
    font = None
    if style & DS_SETFONT:
        points = struct.unpack_from("<H", blob, at)[0]
        face, at = _sz_or_ord(blob, at + 2)
        font = (points, face)
    controls = []
    for _ in range(count):
        at = (at + 3) & ~3
        cstyle, _cex, x0, y0, w0, h0, ident = struct.unpack_from("<IIhhhhH", blob, at)
        at += 18
        cls, at = _sz_or_ord(blob, at)
        text, at = _sz_or_ord(blob, at)
        extra = struct.unpack_from("<H", blob, at)[0]
        at += 2 + extra
        cls = ATOMS.get(cls, cls) if isinstance(cls, int) else cls.lower()
        controls.append(dict(style=cstyle, x=x0, y=y0, w=w0, h=h0, id=ident, cls=cls, text=text))
    return dict(style=style, x=x, y=y, cx=cx, cy=cy, title=title, font=font, controls=controls)


def expected_controls(german):
    """(id, class, x, y, w, h, text, required styles, forbidden styles) in template order."""
    device = "Ger\u00e4t " if german else "Device "
    count_box = (1100, "combobox", 40, 18, 50, 182, "",
                 CBS_DROPDOWN | WS_VSCROLL | (WS_TABSTOP if german else WS_GROUP),
                 0 if german else WS_TABSTOP)
    edit = ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP
    items = [
        (2111, "button", 5, 5, 360, 35,
         " Ger\u00e4teanzahl " if german else " Number of Devices ", BS_GROUPBOX, WS_TABSTOP),
        (2112, "static", 10, 20, 24 if german else 28, 8, "Anzahl:" if german else "Number:", 0,
         WS_TABSTOP),
    ]
    if german:
        items.append(count_box)
    for r in range(10):
        ty, ey = 78 + 16 * r, 76 + 16 * r
        items += [
            (2100 + r, "static", 15, ty, 35, 8, device + str(r), 0, WS_TABSTOP),
            (2007 if r == 1 else 2001 + 5 * r, "static", 50, ty, 8, 8, "IP", 0, WS_TABSTOP),
            (1000 + 4 * r, "edit", 60, ey, 60, 12, "", edit, WS_DISABLED | ES_PASSWORD),
            (2006 if r == 1 else 2002 + 5 * r, "static", 125, ty, 14, 8, "Port", 0, WS_TABSTOP),
            (1001 + 4 * r, "edit", 145, ey, 20, 12, "", edit | WS_DISABLED, ES_PASSWORD),
            (2003 + 5 * r, "static", 170, ty, 22, 8, "Timing", 0, WS_TABSTOP),
            (1002 + 4 * r, "edit", 195, ey, 40, 12, "", edit, WS_DISABLED | ES_PASSWORD),
            (2004 + 5 * r, "static", 240, ty, 18, 8, "msec", 0, WS_TABSTOP),
            (2005 + 5 * r, "static", 265, ty, 30 if german else 32, 8,
             "Passwort" if german else "Password", 0, WS_TABSTOP),
            (1003 + 4 * r, "edit", 300, ey, 50, 12, "", edit | ES_PASSWORD, WS_DISABLED),
        ]
    items += [
        (1101, "systabcontrol32", 10, 58, 350, 182, "Tab1", TCS_HOTTRACK | WS_TABSTOP, 0),
        (2113, "button", 5, 45, 360, 200,
         " Ger\u00e4tekonfiguration " if german else " Device Configuration ", BS_GROUPBOX,
         WS_TABSTOP),
        (1, "button", 375, 10, 50, 14, "Ok", BS_DEFPUSHBUTTON | WS_TABSTOP, 0),
        (2, "button", 375, 30, 50, 14, "Abbrechen" if german else "Cancel", WS_TABSTOP, 0xF),
    ]
    if not german:
        items.append(count_box)
    items.append((3100, "static", 374, 215, 51, 29, 3100, SS_BITMAP, WS_TABSTOP))
    return items


def check_dialog_resources(pe, check):
    resources = resource_data(pe)
    for number, lang, german, title in ((100, 1031, True, "Hardware-Einstellungen"),
                                        (101, 1033, False, "Hardware Setup")):
        blob = resources.get((RT_DIALOG, number, lang))
        check(blob is not None, f"dialog {number} (language {lang})")
        if blob is None:
            continue
        d = parse_dialog(blob)
        frame = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME
        check((d["x"], d["y"], d["cx"], d["cy"]) == (27, 36, 430, 250),
              f"dialog {number}: placed at 27, 36, 430 x 250")
        check(d["style"] & frame == frame, f"dialog {number}: pop-up, caption, close box, modal frame")
        check(d["title"] == title, f"dialog {number}: title {title!r}")
        check(d["font"] == (8, "MS Sans Serif"), f"dialog {number}: font 8 MS Sans Serif")
        expected = expected_controls(german)
        actual = d["controls"]
        check(len(actual) == 108, f"dialog {number}: 108 controls ({len(actual)})")
        bad = []
        for want, got in zip(expected, actual):
            ident, cls, x, y, w, h, text, required, forbidden = want
            ok = (got["id"] == ident and got["cls"] == cls and
                  (got["x"], got["y"], got["w"], got["h"]) == (x, y, w, h) and
                  got["text"] == text and got["style"] & WS_CHILD and got["style"] & WS_VISIBLE
                  and got["style"] & required == required and not got["style"] & forbidden)
            if not ok:
                bad.append(f"{ident}: {got}")
        check(not bad, f"dialog {number}: every control as specified, in Tab order"
              + (f"; differs: {bad[:3]}" if bad else ""))
    bitmaps = [blob for (rtype, name, _), blob in resources.items()
               if rtype == RT_BITMAP and name == 3100]
    check(len(bitmaps) == 1, "bitmap 3100")
    if bitmaps:
        size, width, height, planes, bits = struct.unpack_from("<IiiHH", bitmaps[0], 0)
        check((size, width, height, planes, bits) == (40, 76, 47, 1, 4),
              f"bitmap 3100: 76 x 47, 16 colours ({width} x {height}, {bits} bits)")

#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Writes tests/format_golden.inc: what every BMP, TGA and PCX file of the
test data must decode to, as ImageMagick (or, where ImageMagick cannot
read a file, Pillow) sees it, or the error the reader must refuse it with.

    tests/make_format_golden.py [tests/data] > tests/format_golden.inc

Pixels are compared as RGB; a TGA whose descriptor gives eight alpha bits
is blended onto black (round(value x alpha / 255)). Files whose stored colours have 5 bits per
component (16-bit BMP, 15/16-bit TGA pixels or colour maps) are compared on
the top 5 bits of each component, since decoders widen 5 bits to 8 in
different ways. The hash is 64-bit FNV-1a over those bytes, row by row from
the top. Review changes of the output in diffs: every refusal below names
its reason.
"""
import os
import struct
import subprocess
import sys

# Files the reader refuses, with the error (group, code) and why. Groups:
# 6 file (3: cannot read), 7 image (1: not supported, 2: invalid format,
# 3: cannot decompress, 4: header invalid, 12: picture too large).
REFUSE_DEPTH = (7, 1)
NOT_THIS_FORMAT = (7, 2)
SHORT = (6, 3)
HEADER = (7, 4)
DECOMPRESS = (7, 3)

# Only what cannot be told from the header fields alone is listed by name.
# (bmpsuite's b/shortfile, b/badwidth and b/badheadersize are 1-bit files:
# their depth is refused before anything else is looked at.)
EXPECTED_BY_NAME = {
    "bad/gdk-pixbuf-fail/androstanRezeptor.tga": SHORT,   # a header, no pixels
    "bad/image-rs-tga/slice-copy-length.tga": SHORT,      # a header, no run-length data
    "pcx/pillow/01r_00.pcx": DECOMPRESS,  # line field 12 below the width 88: lines run dry
}

# Pictures larger than the readers allocate (256 MiB of pixels).
TOO_LARGE = {
    "bad/bmpsuite-b/reallybig.bmp", "bad/image-rs-bmp/Bad_reallybig.bmp",
    "bad/image-rs-bmp/Bad_height.bmp", "bad/gdk-pixbuf-fail/cve-2015-4491.bmp",
    "bad/gdk-pixbuf-fail/bug777315.bmp", "bad/gdk-pixbuf-fail/overflow.tga",
}

# True-colour TGA files with a colour map they do not use show the same
# picture as their twin without one (ImageMagick wrongly applies the map,
# Pillow misplaces the pixels after it).
SAME_PICTURE_AS = {
    "tga/image-rs/b5-unused-cmap.tga": "tga/image-rs/b5-noattrib.tga",
}


def fnv1a(data):
    h = 0xCBF29CE484222325
    for b in data:
        h ^= b
        h = (h * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def imagemagick_rgb(path, on_black=False):
    try:
        size = subprocess.run(["/usr/bin/identify", "-format", "%w %h\n", path + "[0]"],
                              capture_output=True, timeout=60)
        w, h = map(int, size.stdout.split()[:2])
        blend = ["-background", "black", "-alpha", "remove"] if on_black else []
        rgb = subprocess.run(["/usr/bin/convert", path + "[0]", "-auto-orient"] + blend +
                             ["-depth", "8", "rgb:-"], capture_output=True, timeout=60).stdout
        if len(rgb) == w * h * 3:
            return w, h, rgb, "ImageMagick"
    except (ValueError, subprocess.TimeoutExpired):
        pass
    return None


def pillow_rgb(path, on_black=False):
    try:
        from PIL import Image
        with Image.open(path) as im:
            if on_black and im.mode == "RGBA":
                im = Image.alpha_composite(Image.new("RGBA", im.size, (0, 0, 0, 255)), im)
            im = im.convert("RGB")
            return im.width, im.height, im.tobytes(), "Pillow"
    except Exception:  # noqa: BLE001 - any failure means Pillow cannot read it
        return None


def bmp_fields(data):
    if len(data) < 30 or data[:2] != b"BM":
        return None
    size = struct.unpack_from("<I", data, 14)[0]
    if size == 12:
        return {"bits": struct.unpack_from("<H", data, 24)[0], "comp": 0}
    bits = struct.unpack_from("<H", data, 28)[0]
    comp = struct.unpack_from("<I", data, 30)[0] if len(data) >= 34 and size >= 20 else 0
    return {"bits": bits, "comp": comp}


def tga_fields(data):
    if len(data) < 18:
        return None
    return {"maptype": data[1], "type": data[2], "mapbits": data[7], "depth": data[16]}


def pcx_fields(data):
    if len(data) < 128:
        return None
    return {"maker": data[0], "version": data[1], "enc": data[2], "bits": data[3],
            "planes": data[65]}


# ---- independent decoders of the rules the readers follow -------------------------
# Written from the published formats, for the files the reference decoders
# read otherwise on purpose: 16-bit bitmaps are 5-6-5 when their bit fields
# say so and 5-5-5 whatever other masks they have; run-length data is
# painted from the picture's start, runs and literal copies clipped at the
# end of their row (and dropped once one reached it, until a line ends or a
# move), moves counting on from the picture's start, everything not painted
# black; palette entries the file lacks black.

def rgb555(w):
    return bytes(((w >> 10) & 31, (w >> 5) & 31, w & 31))


def rgb565(w):
    return bytes(((w >> 11) & 31, (w >> 6) & 31, w & 31))


def rle8(data, width, height):
    out = bytearray(width * height)
    x = y = i = 0
    full = False
    total = width * height
    while y < height and i + 2 <= len(data):
        pos = y * width + x
        if pos >= total:
            break
        room = 0 if full else width - pos % width
        first, second = data[i], data[i + 1]
        i += 2
        if first:
            n = min(first, room)
            out[pos:pos + n] = bytes([second]) * n
            x += n
            full = first >= room
        elif second == 0:
            y += max(1, -(-x // width))
            x = 0
            full = False
        elif second == 1:
            break
        elif second == 2:
            if i + 2 > len(data):
                break
            x += data[i]
            y += data[i + 1]
            i += 2
            full = False
        else:
            lit = data[i:i + second]
            i += len(lit)
            n = min(len(lit), room)
            out[pos:pos + n] = lit[:n]
            if len(lit) < second:
                break
            x += n
            full = len(lit) >= room
            i += second & 1
    return bytes(out)


def bmp_rule(data):
    """RGB rows top first (5-bit components for 16 bits), or None."""
    off, size = struct.unpack_from("<II", data, 10)
    if size == 12:
        w, h = struct.unpack_from("<HH", data, 18)
        bits, comp, entry, maxpal = struct.unpack_from("<H", data, 24)[0], 0, 3, 768
    else:
        w, h = struct.unpack_from("<ii", data, 18)
        bits, comp = struct.unpack_from("<HI", data, 28)
        entry, maxpal = 4, 1024
    bottom_up = h >= 0
    h = abs(h)
    if w <= 0 or h == 0 or w * h > 50_000_000:
        return None
    pal_bytes = max(0, min(off - size - 14, maxpal))
    table = data[14 + size:14 + size + pal_bytes]
    palette = [bytes((table[k + 2], table[k + 1], table[k])) if k + 3 <= len(table) else b"\0\0\0"
               for k in range(0, 256 * entry, entry)]
    bpp = (bits + 7) // 8
    masked = off >= 14 + 40 + 12 if size == 40 else size >= 52
    green6 = (bits == 16 and comp == 3 and masked and
              struct.unpack_from("<III", data.ljust(66, b"\0"), 54) == (0xF800, 0x07E0, 0x001F))
    if bits == 8 and comp == 1:
        idx = rle8(data[off:], w, h)
        rows = [idx[r * w:(r + 1) * w] for r in range(h)]
    else:
        stride = (w * bpp + 3) & ~3
        rows = [data[off + r * stride:off + r * stride + w * bpp] for r in range(h)]
        if any(len(r) < w * bpp for r in rows):
            return None
    if bottom_up:
        rows.reverse()
    out = bytearray()
    for r in rows:
        for x in range(w):
            if bits == 8:
                out += palette[r[x]]
            elif bits == 16:
                out += (rgb565 if green6 else rgb555)(r[2 * x] | (r[2 * x + 1] << 8))
            else:
                out += bytes((r[3 * x + 2], r[3 * x + 1], r[3 * x]))
    return bytes(out)


def tga_rule(data):
    idlen, maptype, typ = data[0], data[1], data[2]
    first, length, mapbits = struct.unpack_from("<HHB", data, 3)
    w, h, depth, desc = struct.unpack_from("<HHBB", data, 12)
    entry = (mapbits + 7) // 8
    start = 18 + idlen + (length * entry if maptype else 0)
    bpp = (depth + 7) // 8
    if w == 0 or h == 0:
        return None
    palette = [b"\0\0\0"] * 256
    if typ in (1, 9):
        for k in range(length):
            if first + k > 255:
                break
            e = data[18 + idlen + k * entry:18 + idlen + (k + 1) * entry]
            if entry == 2:
                v = e[0] | (e[1] << 8)
                palette[first + k] = bytes(((v >> 10) & 31, (v >> 5) & 31, v & 31))
            else:
                palette[first + k] = bytes((e[2], e[1], e[0]))
    count = w * h
    if typ in (9, 10):
        px, i = bytearray(), start
        while len(px) < count * bpp and i < len(data):
            head = data[i]
            i += 1
            n = (head & 0x7F) + 1
            if head & 0x80:
                if i + bpp > len(data):
                    break
                px += data[i:i + bpp] * n
                i += bpp
            else:
                chunk = data[i:i + n * bpp]
                chunk = chunk[:len(chunk) // bpp * bpp]
                px += chunk
                i += len(chunk)
                if len(chunk) < n * bpp:
                    break
        px = bytes(px[:count * bpp]).ljust(count * bpp, b"\0")
    else:
        px = data[start:start + count * bpp]
        if len(px) < count * bpp:
            return None
    rows = [px[r * w * bpp:(r + 1) * w * bpp] for r in range(h)]
    if not desc & 0x20:
        rows.reverse()
    out = bytearray()
    for r in rows:
        cells = [r[x * bpp:(x + 1) * bpp] for x in range(w)]
        if desc & 0x10:
            cells.reverse()
        for c in cells:
            if bpp == 1:
                out += palette[c[0]]
            elif bpp == 2:
                out += rgb555(c[0] | (c[1] << 8))
            elif desc & 0x0F == 8 and bpp == 4:  # eight alpha bits: blended onto black
                out += bytes(on_black(c[k], c[3]) for k in (2, 1, 0))
            else:
                out += bytes((c[2], c[1], c[0]))
    return bytes(out)


def on_black(v, a):
    """A sample of alpha a blended onto black, rounded to the nearest."""
    return (2 * v * a + 255) // 510


def reference_rendering(root, rel):
    """The picture the test suite itself says the file shows, if it has one."""
    path = os.path.join(root, rel)
    base = os.path.splitext(path)[0]
    for cand in (base + ".png", base + ".ref.png"):
        if os.path.exists(cand):
            return imagemagick_rgb(cand)
    if "/bmpsuite/" in rel:
        html = os.path.join(root, "bmp/bmpsuite/html/bmpsuite.html")
        name = "/".join(rel.split("/")[-2:]).replace("bmpsuite-b/", "b/")
        with open(html, encoding="utf-8") as fh:
            text = fh.read()
        at = text.find("<td class=q>%s</td>" % name)
        if at >= 0:
            img = text.find('<img src="', at)
            ref = text[img + 10:text.find('"', img + 10)]
            if not ref.startswith(".."):
                return imagemagick_rgb(os.path.join(root, "bmp/bmpsuite/html", ref))
    return None


def expected_refusal(rel, ext, data):
    """The error a file must get by the format's acceptance rules, or None."""
    if rel in EXPECTED_BY_NAME:
        return EXPECTED_BY_NAME[rel]
    if ext == ".bmp":
        f = bmp_fields(data)
        if f is None:
            return SHORT if data[:2] == b"BM" or len(data) < 18 else NOT_THIS_FORMAT
        ok = {8: (0, 1), 16: (0, 3), 24: (0,)}
        if f["comp"] not in ok.get(f["bits"], ()):
            return REFUSE_DEPTH
    elif ext == ".tga":
        f = tga_fields(data)
        if f is None:
            return SHORT
        if f["type"] not in (1, 2, 9, 10) or f["maptype"] > 1:
            return NOT_THIS_FORMAT
        mapped = f["type"] in (1, 9)
        if mapped and not (f["depth"] == 8 and f["maptype"] == 1 and f["mapbits"] in (15, 16, 24, 32)):
            return REFUSE_DEPTH
        if not mapped and f["depth"] not in (15, 16, 24, 32):
            return REFUSE_DEPTH
    elif ext == ".pcx":
        f = pcx_fields(data)
        if f is None:
            return SHORT
        if f["maker"] != 10 or f["version"] not in (0, 2, 3, 4, 5) or f["enc"] > 1:
            return NOT_THIS_FORMAT
        if not (f["bits"] == 8 and f["planes"] in (1, 3) and f["enc"] == 1):
            return REFUSE_DEPTH
    return None


def five_bit(ext, data):
    if ext == ".bmp":
        f = bmp_fields(data)
        return f is not None and f["bits"] == 16
    if ext == ".tga":
        f = tga_fields(data)
        mapped = f["type"] in (1, 9)
        return (mapped and f["mapbits"] in (15, 16)) or (not mapped and f["depth"] in (15, 16))
    return False


def choose(rel, ext, data, path, root):
    """(width, height, rgb, source) of the picture the reader must deliver."""
    bits = 5 if five_bit(ext, data) else 8
    cut = (lambda b: bytes(v >> 3 for v in b)) if bits == 5 else (lambda b: b)
    # A TGA with an alpha channel is seen on black, the logo's background.
    tga = ext == ".tga"
    tools = [t for t in (imagemagick_rgb(path, tga), pillow_rgb(path, tga)) if t]
    ref = reference_rendering(root, rel)
    rule = None
    if ext == ".bmp":
        rule = bmp_rule(data)
    elif ext == ".tga":
        rule = tga_rule(data)
    if rule is not None:
        # The rule decoder gives 5-bit components already.
        agree = [t[3] for t in tools + ([ref[:3] + ("reference rendering",)] if ref else [])
                 if cut(t[2]) == rule]
        w, h = (tools[0][0], tools[0][1]) if tools else (None, None)
        if w is None:
            f = struct.unpack_from("<HH", data, 12) if ext == ".tga" else None
            w, h = f if f else (abs(struct.unpack_from("<i", data, 18)[0]), abs(struct.unpack_from("<i", data, 22)[0]))
        if agree:
            label = "rule = " + ", ".join(agree)
        elif not tools and not ref:
            label = "rule only: nothing else reads it"
        else:
            label = "rule only: " + ", ".join(t[3] for t in tools) + " read it otherwise"
        if not agree:
            print("review: %s (%s)" % (rel, label), file=sys.stderr)
        return w, h, bits, rule, label
    if len(tools) == 2 and tools[0][2] == tools[1][2]:
        w, h, rgb, _ = tools[0]
        return w, h, bits, cut(rgb), "ImageMagick = Pillow"
    if ref and any(t[2] == ref[2] for t in tools):
        return ref[0], ref[1], bits, cut(ref[2]), "reference rendering = " + ", ".join(
            t[3] for t in tools if t[2] == ref[2])
    if ref:
        print("review: %s (reference rendering only)" % rel, file=sys.stderr)
        return ref[0], ref[1], bits, cut(ref[2]), "reference rendering"
    if tools:
        print("review: %s (%s only)" % (rel, tools[0][3]), file=sys.stderr)
        w, h, rgb, tool = tools[0]
        return w, h, bits, cut(rgb), tool + " only"
    return None


def files(root):
    for top in ("bmp", "tga", "pcx", "bad"):
        for folder, _, names in sorted(os.walk(os.path.join(root, top))):
            for name in sorted(names):
                ext = os.path.splitext(name)[1].lower()
                if ext in (".bmp", ".tga", ".pcx"):
                    path = os.path.join(folder, name)
                    yield os.path.relpath(path, root), ext, path


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "data")
    print("// Generated by tests/make_format_golden.py: ImageMagick 6, Pillow, the test")
    print("// suites' own reference renderings, and independent decoders of the rules")
    print("// the readers follow; the comment names the sources that agree.")
    print("// {file, width, height, compared bits per component, error group, code, hash}")
    for rel, ext, path in files(root):
        with open(path, "rb") as fh:
            data = fh.read()
        if rel in TOO_LARGE:
            print('{"%s", 0, 0, 0, 7, 12, 0x0ull},  // larger than a reader allocates' % rel)
            continue
        refusal = expected_refusal(rel, ext, data)
        if refusal is not None:
            print('{"%s", 0, 0, 0, %d, %d, 0x0ull},' % (rel, refusal[0], refusal[1]))
            continue
        if rel in SAME_PICTURE_AS:
            twin = os.path.join(root, SAME_PICTURE_AS[rel])
            with open(twin, "rb") as fh:
                got = choose(SAME_PICTURE_AS[rel], ext, fh.read(), twin, root)
        else:
            got = choose(rel, ext, data, path, root)
        if got is None:
            print('{"%s", 0, 0, 0, -1, -1, 0x0ull},  // nothing decodes it' % rel)
            print("review: %s (nothing decodes it)" % rel, file=sys.stderr)
            continue
        w, h, bits, rgb, label = got
        if rel in SAME_PICTURE_AS:
            label = "the same picture as " + SAME_PICTURE_AS[rel] + ": " + label
        print('{"%s", %d, %d, %d, 0, 0, 0x%016xull},  // %s' % (rel, w, h, bits, fnv1a(rgb), label))


if __name__ == "__main__":
    main()

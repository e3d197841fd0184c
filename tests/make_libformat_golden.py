#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Writes tests/libformat_golden.inc: what every PNG, TIFF, JPEG and XPM file
of the test data must decode to, or the error the reader must refuse
it with.

    tests/make_libformat_golden.py [tests/data] > tests/libformat_golden.inc

Pixels come from Pillow (libpng, libtiff, libjpeg-turbo at their default
settings) as RGB, top row first, with the program's reading rules applied:
unassociated alpha is blended onto black, round(value x alpha / 255)
(associated alpha is not undone), 16-bit samples keep their high byte,
palettes are looked up. PNG files with an alpha channel or tRNS are decoded
here from their chunks, blended as libpng blends them at the file's depth. XPM files are decoded
by netpbm's xpmtoppm (ImageMagick where xpmtoppm cannot parse the C), TIFF
files with premultiplied alpha by netpbm's tifftopnm (the stored samples),
TIFF files Pillow cannot open by ImageMagick. The hash
is 64-bit FNV-1a over the RGB bytes.

Refusals come from the header rules of the readers (a TIFF sample size,
codec, layout or colour space the reader does not take: (7, 1); no PNG
signature: (7, 2)) and, for damaged files, from the table below, where each
entry says what is wrong. Review changes of the output in diffs.
"""
import os
import subprocess
import sys

LIB_TEXT = (1, 2147483647)  # the library's own message
SHORT = (6, 3)              # the file ends early
NOT_SUPPORTED = (7, 1)
TOO_LARGE = (7, 12)         # more pixels than the readers allocate
NOT_PNG = (7, 2)
HEADER = (7, 4)
CANNOT_OPEN = (7, 8)        # every JPEG and XPM failure

EXPECTED_BY_NAME = {
    # PngSuite's corrupt files.
    "png/pngsuite/xc1n0g08.png": LIB_TEXT,  # colour type 1
    "png/pngsuite/xc9n2c08.png": LIB_TEXT,  # colour type 9
    "png/pngsuite/xcrn0g04.png": LIB_TEXT,  # CR added: signature tail broken
    "png/pngsuite/xlfn0g04.png": LIB_TEXT,  # LF added
    "png/pngsuite/xcsn0g01.png": LIB_TEXT,  # IDAT CRC
    "png/pngsuite/xd0n2c08.png": LIB_TEXT,  # bit depth 0
    "png/pngsuite/xd3n2c08.png": LIB_TEXT,  # bit depth 3
    "png/pngsuite/xd9n2c08.png": LIB_TEXT,  # bit depth 99
    "png/pngsuite/xdtn0g01.png": LIB_TEXT,  # no IDAT
    "png/pngsuite/xhdn0g08.png": LIB_TEXT,  # IHDR CRC
    "png/pngsuite/xs7n0g01.png": LIB_TEXT,  # signature byte 7: past the 4 checked first
    "bad/gdk-pixbuf-fail/bug793470-crasher.png": TOO_LARGE,  # 935820 x 854554 pixels
    "bad/gdk-pixbuf-fail/invalid.1.png": LIB_TEXT,
    "bad/gdk-pixbuf-fail/invalid.2.png": LIB_TEXT,
    "bad/gdk-pixbuf-fail/invalid.3.png": SHORT,  # header only, no image data
    "bad/gdk-pixbuf-fail/invalid.4.png": LIB_TEXT,
    "bad/pillow/broken.png": LIB_TEXT,
    "bad/pillow/truncated_image.png": SHORT,
    # TIFF files libtiff refuses or reads only in part.
    "bad/gdk-pixbuf-fail/bug780269.tif": LIB_TEXT,
    "bad/gdk-pixbuf-fail/bug784903-overflow-dimensions.tiff": LIB_TEXT,
    "bad/pillow/libtiff_segfault.tif": NOT_SUPPORTED,  # 65535 samples a pixel
    "bad/pillow/oom-225817ca0f8c663be7ab4b9e717b02c661e66834.tif": LIB_TEXT,
    "bad/pillow/seek_too_large.tif": LIB_TEXT,
    "bad/pillow/crash-0c7e0e8e11ce787078f00b5b0ca409a167f070e0.tif": LIB_TEXT,
    "tiff/libtiff/logluv-3c-16b.tiff": NOT_SUPPORTED,  # 16-bit LogLuv
    "tiff/libtiff/minisblack-2c-8b-alpha.tiff": NOT_SUPPORTED,  # grey and alpha in separate planes
    # libtiff reports an error for a tag while reading the directory.
    "tiff/libtiff/ojpeg_single_strip_no_rowsperstrip.tiff": LIB_TEXT,
    "tiff/libtiff/test_float64_predictor2_be_lzw.tif": NOT_SUPPORTED,
    "tiff/libtiff/test_float64_predictor2_le_lzw.tif": NOT_SUPPORTED,
    # JPEG files that end before their end marker, or that this libjpeg
    # cannot read.
    "bad/pillow/truncated_jpeg.jpg": CANNOT_OPEN,
    "bad/gdk-pixbuf-fail/CVE-2017-2862.jpg": CANNOT_OPEN,  # a colour space of its own
    "bad/gdk-pixbuf-randomly-modified/bug775697.jpg": CANNOT_OPEN,  # undefined quantization table
    "jpeg/libjpeg-turbo/monkey12.jpg": CANNOT_OPEN,  # 12-bit samples
    # XPM files with short rows, too few rows, absurd sizes or bad colours.
    "bad/gdk-pixbuf-fail/issue-95-too-narrow.xpm": CANNOT_OPEN,
    "bad/gdk-pixbuf-fail/issue-95-too-short.xpm": CANNOT_OPEN,
    "bad/gdk-pixbuf-fail/issue-95.xpm": CANNOT_OPEN,
    "bad/gdk-pixbuf-randomly-modified/invalid.1.xpm": CANNOT_OPEN,
}

EXTS = {".png": 9, ".tif": 10, ".tiff": 10, ".jpg": 8, ".jpeg": 8, ".xpm": 17}


def fnv1a(data):
    h = 0xCBF29CE484222325
    for b in data:
        h ^= b
        h = (h * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def tifftopnm_rgb(path):
    return ppm_rgb(run(["/usr/bin/tifftopnm", "-quiet", path]))


def associated_alpha(path):
    """True for a TIFF whose extra sample is premultiplied alpha: Pillow and
    ImageMagick undo the premultiplication, the reader (like tifftopnm)
    keeps the stored colour samples."""
    from PIL import Image
    try:
        with Image.open(path) as im:
            return im.tag_v2.get(338) == (1,)
    except Exception:  # noqa: BLE001
        return False


def composite8(v, a):
    """libpng's png_composite onto black: round(v x a / 255)."""
    t = v * a + 128
    return (t + (t >> 8)) >> 8


def composite16(v, a):
    """libpng's png_composite_16 onto black."""
    t = v * a + 32768
    return (t + (t >> 16)) >> 16


ADAM7 = ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2),
         (0, 1, 1, 2))


def png_unfilter(data, pos, rows, rowbytes, bpp):
    """The unfiltered rows of one pass starting at data[pos]; and the end."""
    out, prev = [], bytearray(rowbytes)
    for _ in range(rows):
        kind, line = data[pos], bytearray(data[pos + 1:pos + 1 + rowbytes])
        pos += 1 + rowbytes
        for i in range(rowbytes):
            a = line[i - bpp] if i >= bpp else 0
            b, c = prev[i], prev[i - bpp] if i >= bpp else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        out.append(line)
        prev = line
    return out, pos


def png_samples(line, count, depth):
    if depth == 16:
        return [(line[2 * i] << 8) | line[2 * i + 1] for i in range(count)]
    if depth == 8:
        return list(line[:count])
    per = 8 // depth
    return [(line[i // per] >> (8 - depth * (i % per + 1))) & ((1 << depth) - 1) for i in range(count)]


def png_on_black(path):
    """RGB bytes of a PNG with an alpha channel or tRNS by the reader's rule,
    decoded here from the chunks: transparency blended onto black with
    libpng's composite at the file's own depth (no gamma), then 16-bit
    samples cut to their high byte; a colour key matches at full depth.
    None for files without transparency."""
    import struct
    import zlib
    with open(path, "rb") as fh:
        data = fh.read()
    pos, idat, plte, trns = 8, b"", b"", None
    while pos + 8 <= len(data):
        n, kind = struct.unpack_from(">I4s", data, pos)
        body = data[pos + 8:pos + 8 + n]
        if kind == b"IHDR":
            w, h, depth, ctype, _, _, interlace = struct.unpack(">IIBBBBB", body)
        elif kind == b"PLTE":
            plte = body
        elif kind == b"tRNS":
            trns = body
        elif kind == b"IDAT":
            idat += body
        pos += 12 + n
    if ctype not in (4, 6) and trns is None:
        return None
    raw = zlib.decompress(idat)
    chans = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[ctype]
    bpp = max(1, depth * chans // 8)
    pixels = [[None] * w for _ in range(h)]
    pos = 0
    for xs, ys, dx, dy in ADAM7 if interlace else ((0, 0, 1, 1),):
        pw, ph = (w - xs + dx - 1) // dx, (h - ys + dy - 1) // dy
        if pw <= 0 or ph <= 0:
            continue
        rows, pos = png_unfilter(raw, pos, ph, (pw * depth * chans + 7) // 8, bpp)
        for j, line in enumerate(rows):
            s = png_samples(line, pw * chans, depth)
            for i in range(pw):
                pixels[ys + j * dy][xs + i * dx] = s[i * chans:(i + 1) * chans]
    key = None
    if trns is not None and ctype == 0:
        key = [struct.unpack(">H", trns[:2])[0]]
    elif trns is not None and ctype == 2:
        key = list(struct.unpack(">HHH", trns[:6]))
    top = (1 << depth) - 1
    out = bytearray()
    for row in pixels:
        for px in row:
            if ctype == 3:
                a = trns[px[0]] if px[0] < len(trns) else 255
                out += bytes(composite8(c, a) for c in plte[3 * px[0]:3 * px[0] + 3])
                continue
            if key is not None and px == key:
                px = [0] * chans
            if ctype in (4, 6):
                a = px[-1]
                comp = composite16 if depth == 16 else composite8
                px = [v if a == top else 0 if a == 0 else comp(v, a) for v in px[:-1]]
            px = [v >> 8 if depth == 16 else v * 255 // top for v in px]
            out += bytes(px * 3 if len(px) == 1 else px)
    return w, h, bytes(out)


def pillow_rgb(path):
    """RGB bytes by the program's reading rules, or None."""
    from PIL import Image
    try:
        if path.lower().endswith(".png"):
            got = png_on_black(path)
            if got:
                return got
        with Image.open(path) as im:
            im.load()
            if im.mode in ("I", "I;16", "I;16B", "I;16L"):
                grey = bytes(v >> 8 for v in im.getdata())
                return im.width, im.height, bytes(g for v in grey for g in (v, v, v))
            if im.mode in ("LA", "RGBA"):  # unassociated alpha: blended onto black
                bands = [b.tobytes() for b in im.split()]
                alpha = bands[-1]
                bands = [bytes(composite8(v, a) for v, a in zip(b, alpha)) for b in bands[:-1]]
                if len(bands) == 1:
                    bands = bands * 3
                return im.width, im.height, bytes(v for px in zip(*bands) for v in px)
            if im.mode in ("La", "RGBa"):  # the raw colour bands
                bands = im.split()
                im = bands[0] if im.mode[0] == "L" else Image.merge("RGB", bands[:3])
            return im.width, im.height, im.convert("RGB").tobytes()
    except Exception:  # noqa: BLE001 - any failure means Pillow cannot read it
        return None


def ppm_rgb(ppm):
    """Width, height and bytes of a binary PPM with maxval 255."""
    fields, pos = [], 2
    if ppm[:2] != b"P6":
        return None
    while len(fields) < 3:
        while ppm[pos:pos + 1].isspace() or ppm[pos:pos + 1] == b"#":
            if ppm[pos:pos + 1] == b"#":  # a comment runs to the line end
                pos = ppm.find(b"\n", pos)
            pos += 1
        start = pos
        while not ppm[pos:pos + 1].isspace():
            pos += 1
        fields.append(int(ppm[start:pos]))
    w, h, maxval = fields
    rgb = ppm[pos + 1:]
    return (w, h, rgb) if maxval == 255 and len(rgb) == w * h * 3 else None


def run(args):
    try:
        return subprocess.run(args, capture_output=True, timeout=120).stdout
    except subprocess.TimeoutExpired:
        return b""


def xpm_rgb(path):
    return ppm_rgb(run(["/usr/bin/xpmtoppm", path]))


def magick_rgb(path):
    try:
        w, h = map(int, run(["/usr/bin/identify", "-format", "%w %h\n", path + "[0]"]).split()[:2])
    except ValueError:
        return None
    rgb = run(["/usr/bin/convert", path + "[0]", "-depth", "8", "rgb:-"])
    return (w, h, rgb) if len(rgb) == w * h * 3 else None


def tiff_refusal(path):
    """(7, 1) when the TIFF's first directory is one the reader does not take."""
    from PIL import Image
    try:
        with Image.open(path) as im:
            tags = im.tag_v2
            bits = tags.get(258, (1,))
            comp = tags.get(259, 1)
            phot = tags.get(262)
            spp = tags.get(277, 1)
            planar = tags.get(284, 1)
            tiled = 322 in tags
    except Exception:  # noqa: BLE001 - judged by name or by the library
        return None
    bits = bits[0] if isinstance(bits, tuple) else bits
    colour = phot == 2 or (phot == 6 and comp == 7)
    ok = (bits == 8 and comp in (1, 5, 7, 8, 32773, 32946) and not tiled
          and (planar == 1 or spp == 1) and (phot in (0, 1, 3) or colour)
          and spp >= (3 if colour else 1))
    return None if ok else NOT_SUPPORTED


def expected(rel, fmt, path):
    if rel in EXPECTED_BY_NAME:
        return EXPECTED_BY_NAME[rel], None
    with open(path, "rb") as fh:
        head = fh.read(4)
    if fmt == 9 and head != b"\x89PNG":
        return NOT_PNG, None
    if fmt == 10:
        refusal = tiff_refusal(path)
        if refusal:
            return refusal, None
    if fmt == 17:  # xpmtoppm wants "static char", not "static const char"
        return None, xpm_rgb(path) or magick_rgb(path)
    if fmt == 10 and associated_alpha(path):
        return None, tifftopnm_rgb(path)
    got = pillow_rgb(path)
    if got is None and fmt == 10:
        got = magick_rgb(path)
    return None, got


def files(root):
    for folder, _, names in sorted(os.walk(root)):
        for name in sorted(names):
            ext = os.path.splitext(name)[1].lower()
            if ext in EXTS:
                path = os.path.join(folder, name)
                yield os.path.relpath(path, root), EXTS[ext], path


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "data")
    print("// Generated by tests/make_libformat_golden.py (Pillow, xpmtoppm, ImageMagick")
    print("// and the readers' acceptance rules). Do not edit by hand.")
    print("// {file, format, width, height, error group, code, hash of the RGB bytes}")
    for rel, fmt, path in files(root):
        refusal, got = expected(rel, fmt, path)
        if refusal:
            print('{"%s", %d, 0, 0, %d, %d, 0x0ull},' % (rel, fmt, refusal[0], refusal[1]))
        elif got is None:
            print('{"%s", %d, 0, 0, -1, -1, 0x0ull},  // no reference decoder reads it' % (rel, fmt))
        else:
            w, h, rgb = got
            print('{"%s", %d, %d, %d, 0, 0, 0x%016xull},' % (rel, fmt, w, h, fnv1a(rgb)))


if __name__ == "__main__":
    main()

#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Writes tests/libformat_golden.inc: what every PNG, TIFF, JPEG and XPM file
of the test data must decode to, or the error the reader must refuse
it with.

    tests/make_libformat_golden.py [tests/data] > tests/libformat_golden.inc

Pixels come from Pillow (libpng, libtiff, libjpeg-turbo at their default
settings) as RGB, top row first, with the program's reading rules applied:
alpha is dropped without blending (associated alpha is not undone), 16-bit
samples keep their high byte, palettes are looked up. XPM files are decoded
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


def pillow_rgb(path):
    """RGB bytes by the program's reading rules, or None."""
    from PIL import Image
    try:
        with Image.open(path) as im:
            im.load()
            if im.mode in ("I", "I;16", "I;16B", "I;16L"):
                grey = bytes(v >> 8 for v in im.getdata())
                return im.width, im.height, bytes(g for v in grey for g in (v, v, v))
            if im.mode in ("LA", "La", "RGBA", "RGBa"):  # the raw colour bands
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

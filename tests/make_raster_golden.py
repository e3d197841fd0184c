#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Writes the golden table of one of the raster formats the system decodes
itself (SGI, Sun raster, PNM): what every such file of the test data
must decode to, or the error the reader must refuse it with.

    tests/make_raster_golden.py sgi [tests/data] > tests/sgi_golden.inc
    tests/make_raster_golden.py ras [tests/data] > tests/ras_golden.inc
    tests/make_raster_golden.py pnm [tests/data] > tests/pnm_golden.inc

Each picture comes from a small decoder below, written from the published
formats and the reader's documented choices (which files it takes, how it
scales PNM samples, which SGI and Sun raster oddities it tolerates). A row
is only trusted as far as independent decoders agree with it: ImageMagick 6,
Pillow, the suites' own reference renderings and, for PNM maximum values
below 255, netpbm's samples scaled by the reader's shift. The comment of each
row names the sources that agree; rows that none confirms are listed on
standard error for review. Pixels are compared as RGB, rows from the top;
the hash is 64-bit FNV-1a. An SGI alpha channel is blended onto black
(round(value x alpha / 255)); Pillow is asked to blend it too.
"""
import glob
import os
import struct
import subprocess
import sys

SHORT = (6, 3)          # "Cannot read from file."
UNSUPPORTED = (7, 1)    # "Image format not supported."
NOT_THIS = (7, 2)       # "Invalid image format."
DECOMPRESS = (7, 3)     # "Cannot decompress image data."
HEADER = (7, 4)         # "Image header invalid."
CORRUPT = (7, 9)        # "Image data corrupted."
TOO_LARGE = (7, 12)     # "Picture too large (W x H)."
MAX_PICTURE = 256 << 20


class Refused(Exception):
    def __init__(self, err):
        super().__init__(err)
        self.err = err


def fnv1a(data):
    h = 0xCBF29CE484222325
    for b in data:
        h ^= b
        h = (h * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def run(cmd, stdin=None):
    try:
        return subprocess.run(cmd, input=stdin, capture_output=True, timeout=60).stdout
    except subprocess.TimeoutExpired:
        return b""


def imagemagick_rgb(path):
    size = run(["/usr/bin/identify", "-format", "%w %h\n", path + "[0]"]).split()
    if len(size) < 2:
        return None
    w, h = int(size[0]), int(size[1])
    rgb = run(["/usr/bin/convert", path + "[0]", "-depth", "8", "rgb:-"])
    return (w, h, rgb) if len(rgb) == w * h * 3 else None


def pillow_rgb(path):
    try:
        from PIL import Image
        with Image.open(path) as im:
            if im.mode in ("LA", "RGBA"):
                im = Image.alpha_composite(Image.new("RGBA", im.size, (0, 0, 0, 255)),
                                           im.convert("RGBA"))
            im = im.convert("RGB")
            return im.width, im.height, im.tobytes()
    except Exception:  # noqa: BLE001 - any failure means Pillow cannot read it
        return None


def check_size(w, h, bpp):
    if w <= 0 or h <= 0:
        raise Refused(HEADER)
    if w * h * bpp > MAX_PICTURE:
        raise Refused(TOO_LARGE)


def grey(values):
    return bytes(v for v in values for _ in range(3))


# ---- SGI ---------------------------------------------------------------------------------

def sgi_unpack(packed, x):
    out, i = bytearray(), 0
    while len(out) < x and i < len(packed):
        head = packed[i]
        i += 1
        n = head & 0x7F
        if n == 0:
            break
        if head & 0x80:
            if i + n > len(packed):
                raise Refused(DECOMPRESS)
            out += packed[i:i + n]
            i += n
        else:
            if i >= len(packed):
                raise Refused(DECOMPRESS)
            out += bytes([packed[i]]) * n
            i += 1
    return bytes(out[:x]).ljust(x, b"\0")


def sgi_decode(data):
    if len(data) < 108:
        raise Refused(SHORT)
    magic, storage, bpc, dim, x, y, z = struct.unpack(">HBBHHHH", data[:12])
    cmap = struct.unpack(">I", data[104:108])[0]
    if magic != 474:
        raise Refused(NOT_THIS)
    y = 1 if dim == 1 else y
    z = 1 if dim in (1, 2) else z if dim == 3 else 0
    if bpc != 1 or storage > 1 or not 1 <= z <= 4 or cmap != 0:
        raise Refused(UNSUPPORTED)
    check_size(x, y, 1 if z == 2 else z)
    planes = [[None] * y for _ in range(z)]
    if storage == 1:
        if len(data) < 512 + 8 * y * z:
            raise Refused(SHORT)
        starts = struct.unpack(">%dI" % (y * z), data[512:512 + 4 * y * z])
        lengths = struct.unpack(">%dI" % (y * z), data[512 + 4 * y * z:512 + 8 * y * z])
        for j in range(y):  # row by row, as the reader goes
            for c in range(z):
                start, n = starts[c * y + j], min(lengths[c * y + j], 2 * x * z)
                if start > len(data) or n > len(data) - start:
                    raise Refused(SHORT)
                planes[c][j] = sgi_unpack(data[start:start + n], x)
    else:
        if len(data) < 512 + x * y * z:
            raise Refused(SHORT)
        for c in range(z):
            for j in range(y):
                at = 512 + c * x * y + j * x
                planes[c][j] = data[at:at + x]
    out = bytearray()
    for j in reversed(range(y)):
        alpha = planes[z - 1][j] if z in (2, 4) else bytes([255]) * x
        if z <= 2:
            out += grey(on_black(planes[0][j][i], alpha[i]) for i in range(x))
        else:
            for i in range(x):
                out += bytes(on_black(planes[c][j][i], alpha[i]) for c in range(3))
    return x, y, bytes(out)


def on_black(v, a):
    """A sample blended onto black by its alpha, rounded to the nearest."""
    return (2 * v * a + 255) // 510


# ---- Sun raster ------------------------------------------------------------------------------

def ras_unpack(stream, count):
    out, i = bytearray(), 0
    while len(out) < count and i < len(stream):
        b = stream[i]
        i += 1
        if b != 0x80:
            out.append(b)
            continue
        if i >= len(stream):
            raise Refused(DECOMPRESS)
        n = stream[i]
        i += 1
        if n == 0:
            out.append(0x80)
            continue
        if i >= len(stream):
            raise Refused(DECOMPRESS)
        out += bytes([stream[i]]) * (n + 1)
        i += 1
    return bytes(out[:count]).ljust(count, b"\0")


def ras_decoded_size(stream, limit):
    total, i = 0, 0
    while total < limit and i < len(stream):
        if stream[i] != 0x80:
            total, i = total + 1, i + 1
        elif i + 1 < len(stream) and stream[i + 1] == 0:
            total, i = total + 1, i + 2
        elif i + 2 < len(stream):
            total, i = total + stream[i + 1] + 1, i + 3
        else:
            break
    return total


def ras_decode(data):
    if len(data) < 32:
        raise Refused(SHORT)
    magic, w, h, depth, _, typ, maptype, maplen = struct.unpack(">8I", data[:32])
    if magic != 0x59A66A95:
        raise Refused(NOT_THIS)
    if typ > 5 or depth not in (8, 24, 32):
        raise Refused(UNSUPPORTED)
    bpp = depth // 8
    check_size(w, h, bpp)
    row, at = w * bpp, 32 + maplen
    if len(data) < at:
        raise Refused(SHORT)
    raw = data[at:]
    # Odd rows are padded unless the data holds just the unpadded picture.
    avail = ras_decoded_size(raw, (row + 1) * h) if typ == 2 else len(raw)
    pad = 0 if row % 2 == 0 or row * h <= avail < (row + 1) * h else 1
    if typ != 2 and avail < (row + pad) * h:
        raise Refused(SHORT)
    e = min(maplen, 768) // 3
    if depth == 8 and maptype == 1 and e:
        m = data[32:32 + 3 * e]
        palette = [bytes((m[i], m[e + i], m[2 * e + i])) for i in range(e)] + [b"\0\0\0"] * (256 - e)
    else:
        palette = [bytes((i, i, i)) for i in range(256)]
    if typ == 2:
        raw = ras_unpack(raw, (row + pad) * h)
    rows = [raw[r * (row + pad):r * (row + pad) + row] for r in range(h)]
    out = bytearray()
    for r in rows:
        for i in range(w):
            px = r[i * bpp:(i + 1) * bpp]
            if bpp == 1:
                out += palette[px[0]]
            else:
                px = px[-3:]  # 32 bits: the first byte is dropped
                out += px if typ == 3 else px[::-1]
    return w, h, bytes(out)


# ---- PNM ---------------------------------------------------------------------------------

class PnmReader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def char(self):
        if self.pos >= len(self.data):
            return None
        ch = self.data[self.pos]
        self.pos += 1
        if ch != ord("#"):
            return ch
        while True:  # a comment stands for the line end that closes it
            ch = self.char_raw()
            if ch is None or ch in (10, 13):
                return ch

    def char_raw(self):
        if self.pos >= len(self.data):
            return None
        self.pos += 1
        return self.data[self.pos - 1]

    def token(self, limit):
        ch = self.char()
        while ch is not None and ch in b" \t\r\n":
            ch = self.char()
        if ch is None:
            raise Refused(CORRUPT)
        text = [ch]
        while len(text) < limit:
            ch = self.char()
            if ch is None or ch in b" \t\r\n":
                break
            text.append(ch)
        return text

    def number(self):
        v = 0
        for ch in self.token(511):
            v = (v * 10 + ch - 48) & 0xFFFFFFFF
        return v


def pnm_shift(maxval):
    for c in range(7, -1, -1):
        if maxval >> c:
            return 7 - c
    return 0


def pnm_header(data):
    r = PnmReader(data)
    magic = r.token(2)
    if magic[0] != ord("P"):
        raise Refused(NOT_THIS)
    kind = chr(magic[1]) if len(magic) > 1 else ""
    if kind in ("1", "4"):  # bitmaps: recognised with their size, not loadable
        r.number(), r.number()
    if kind not in ("2", "3", "5", "6"):
        raise Refused(UNSUPPORTED)
    w, h, maxval = r.number(), r.number(), r.number()
    if not (4 <= w <= 4096 and 4 <= h <= 4096 and 1 <= maxval <= 255):
        raise Refused(UNSUPPORTED)
    return r, kind, w, h, maxval


def pnm_decode(data):
    r, kind, w, h, maxval = pnm_header(data)
    n = w * h * (3 if kind in "36" else 1)
    shift = pnm_shift(maxval)
    if kind in "56":
        if len(data) - r.pos < n:
            raise Refused(SHORT)
        samples = data[r.pos:r.pos + n]
    else:
        if len(data) - r.pos < 2 * n - 1:
            raise Refused(CORRUPT)
        samples = [r.number() for _ in range(n)]
    samples = bytes((s << shift) & 0xFF for s in samples)
    return w, h, samples if kind in "36" else grey(samples)


def netpbm_shifted(path, data):
    """netpbm's own samples, scaled by the reader's shift (maximum values below 255)."""
    try:
        _, kind, _, _, maxval = pnm_header(data)
    except Refused:
        return None
    if maxval == 255:
        return None
    text = run(["/usr/bin/pnmtoplainpnm", path]).split()
    if len(text) < 4 or text[0] not in (b"P2", b"P3"):
        return None
    w, h, mv = int(text[1]), int(text[2]), int(text[3])
    samples = [(int(t) << pnm_shift(mv)) & 0xFF for t in text[4:]]
    if mv != maxval or len(samples) != w * h * (3 if text[0] == b"P3" else 1):
        return None
    return w, h, bytes(samples) if text[0] == b"P3" else grey(samples)


# ---- the table ---------------------------------------------------------------------------

FORMATS = {
    "sgi": (("sgi", "bad"), (".rgb", ".rgba", ".bw", ".sgi"), sgi_decode),
    "ras": (("ras", "bad"), (".ras", ".sun", ".im1"), ras_decode),
    "pnm": (("pnm", "bad"), (".pnm", ".ppm", ".pgm", ".pbm", ".pam"), pnm_decode),
}


def reference_rendering(path):
    base = os.path.splitext(path)[0]
    for cand in (base + ".png", path + ".png"):
        if os.path.exists(cand):
            return imagemagick_rgb(cand)
    return None


def sources(fmt, path, data):
    found = [("ImageMagick", imagemagick_rgb(path)), ("Pillow", pillow_rgb(path)),
             ("reference rendering", reference_rendering(path))]
    if fmt == "pnm":
        found.append(("netpbm shifted", netpbm_shifted(path, data)))
    return [(name, got) for name, got in found if got]


def main():
    fmt = sys.argv[1]
    root = sys.argv[2] if len(sys.argv) > 2 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "data")
    tops, exts, decode = FORMATS[fmt]
    print("// Generated by tests/make_raster_golden.py %s: the reader's rules decoded" % fmt)
    print("// independently, confirmed by the sources the comment names.")
    print("// {file, width, height, error group, code, hash of the RGB pixels}")
    for top in tops:
        for path in sorted(glob.glob(os.path.join(root, top, "**", "*"), recursive=True)):
            if os.path.splitext(path)[1].lower() not in exts:
                continue
            rel = os.path.relpath(path, root)
            with open(path, "rb") as fh:
                data = fh.read()
            try:
                w, h, rgb = decode(data)
            except Refused as r:
                print('{"%s", 0, 0, %d, %d, 0x0ull},' % (rel, r.err[0], r.err[1]))
                continue
            agree = [name for name, got in sources(fmt, path, data) if got == (w, h, rgb)]
            label = " = ".join(["rule"] + agree) if agree else "rule only"
            if not agree:
                print("review: %s (no other decoder agrees)" % rel, file=sys.stderr)
            print('{"%s", %d, %d, 0, 0, 0x%016xull},  // %s' % (rel, w, h, fnv1a(rgb), label))


if __name__ == "__main__":
    main()

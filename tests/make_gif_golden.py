#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Writes tests/gif_golden.inc: what every GIF of the test data must
decode to, frame by frame, or the error the reader must stop with.

    tests/make_gif_golden.py [tests/data] > tests/gif_golden.inc
    tests/make_gif_golden.py --frames FILE   # one hash a frame, for diagnosis

The expected pictures come from a decoder of the reader's own rules written
here from the published format: frames found by their signatures, LZW
with codes past the table taken as the entry being made, frames composed
onto the logical screen (background fill of the first frame, disposal 2
and 3, transparency only in frames that leave part of the screen
uncovered, everything clipped to the screen, the transparent index black
in the frame's palette). Each file is then checked
against ImageMagick's own decoder (convert -coalesce): every pixel a frame
draws itself must show the same colour there. The comment after each row
says how that went. Pixels that are not drawn by the frame itself differ
where the reader's rules differ from ImageMagick's on purpose (ImageMagick
leaves uncovered and disposed areas transparent, and lets the previous
frame show through transparent pixels of a full-screen frame).

Hashes are 64-bit FNV-1a over the RGB bytes of the frames, one after the
other, rows from the top. Review changes of the output in diffs.
"""
import os
import struct
import subprocess
import sys

SCREEN_DESC = 13
WINDOW = 1024
MAX_PICTURE = 256 << 20
MAX_FRAMES = 65536

# Errors (group, code).
SHORT = (6, 3)
NOT_GIF = (7, 2)
TOO_LARGE = (7, 12)
DECOMPRESS = (7, 3)
HEADER = (7, 4)
CORRUPT = (7, 9)
END_OF_MOVIE = (12, 7)


# Files whose frames the signature search finds otherwise than a decoder that
# walks every block, and why. Reviewed by hand; the frames both find agree.
FRAME_SEARCH = {
    "gif/pillow/comment_after_last_frame.gif":
        "an extension before the second frame ends the scan",
    "gif/pillow/duplicate_number_of_loops.gif":
        "an extension before the second frame ends the scan",
    "gif/pillow/second_frame_comment.gif":
        "an extension before the second frame ends the scan",
    "gif/pillow/transparent.gif":
        "a comma in the XMP packet reads as an image separator",
    "gif/pygif-suite/xmp-data.gif":
        "a comma in the XMP packet reads as an image separator",
    "gif/pygif-suite/xmp-data-empty.gif":
        "a comma in the XMP packet reads as an image separator",
    "gif/pygif-suite/animation-multi-image.gif":
        "the search finds the next frame's extension first and skips frames without one",
    "gif/pygif-suite/dispose-restore-previous.gif":
        "the search finds the next frame's extension first and skips frames without one",
}


class Refuse(Exception):
    def __init__(self, err):
        super().__init__(err)
        self.err = err


def fnv1a(data, h=0xCBF29CE484222325):
    for b in data:
        h ^= b
        h = (h * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


# ---- frames found by signature ---------------------------------------------------------

def find_gce(buf, start=0):
    i = buf.find(b"\x21\xF9\x04", start)
    return i


def frame_header(data, pos, index, at_pos):
    """(ext bytes, desc tuple, frame position, position after the descriptor)
    or None; raises for a first frame without a separator."""
    win = data[pos:pos + WINDOW]
    if not win:
        return None
    strict = at_pos or index > 0
    g = (0 if win[:3] == b"\x21\xF9\x04" else -1) if at_pos else find_gce(win)
    ext, s = bytes(8), -1
    if g >= 0:
        if g > 0 and g + 18 > len(win):
            pos, win, g = pos + g, data[pos + g:pos + g + WINDOW], 0
        if len(win) - g >= 8:
            ext = win[g:g + 8]
            fpos = pos + g
            s = win.find(b"\x2C", g + 8)
    else:
        s = win.find(b"\x2C")
        if strict and s != 0:
            s = -1
        fpos = pos + max(s, 0)
    if s >= 0:
        if s > 0 and s + 10 > len(win):
            pos, win, s = pos + s, data[pos + s:pos + s + WINDOW], 0
        if len(win) - s < 10:
            s = -1
    if s < 0:
        if index == 0 or at_pos:
            raise Refuse(HEADER)
        return None
    left, top, w, h, flags = struct.unpack_from("<HHHHB", win, s + 1)
    return ext, (left, top, w, h, flags), fpos, pos + s + 10


def table_bytes(flags):
    return 3 * (2 << (flags & 7))


def partial(W, H, d):
    left, top, w, h, _ = d
    return (left != 0 and left < W) or (top != 0 and top < H) or w < W or h < H


def walk_data(data, pos):
    """Position after a frame's sub-blocks and whether the trailer follows."""
    if pos >= len(data):
        raise Refuse(CORRUPT)
    pos += 1
    while True:
        if pos >= len(data):
            raise Refuse(CORRUPT)
        n = data[pos]
        if len(data) - pos < n + 1:
            raise Refuse(CORRUPT)
        pos += n + 1
        if n == 0:
            break
    return pos, pos < len(data) and data[pos] == 0x3B


def screen(data):
    if len(data) < SCREEN_DESC:
        raise Refuse(SHORT)
    if data[:3] != b"GIF" or data[3:6] not in (b"87a", b"89a"):
        raise Refuse(NOT_GIF)
    W, H, flags, back = struct.unpack_from("<HHBB", data, 6)
    pal = [(0, 0, 0)] * 256
    back_color = -1
    pos = SCREEN_DESC
    if flags & 0x80:
        n = table_bytes(flags)
        if len(data) < pos + n:
            raise Refuse(SHORT)
        t = data[pos:pos + n]
        pal = [tuple(t[3 * i:3 * i + 3]) for i in range(n // 3)] + [(0, 0, 0)] * (256 - n // 3)
        back_color = back
        pos += n
    return W, H, pal, back_color, pos


def scan(data, pos, W, H):
    positions, is_partial, delays = [], False, 0
    while len(positions) < MAX_FRAMES:
        hdr = frame_header(data, pos, len(positions), False)
        if hdr is None:
            break
        ext, d, fpos, after = hdr
        if d[4] & 0x80:
            after += table_bytes(d[4])
        try:
            pos, trailer = walk_data(data, after)
        except Refuse:
            if not positions:
                raise
            break  # a file cut inside a later frame keeps the whole frames before it
        positions.append(fpos)
        delays += ext[4] | (ext[5] << 8)
        if len(positions) > 1 and partial(W, H, d):
            is_partial = True
        if trailer:
            break
    return positions, is_partial, delays


# ---- LZW -----------------------------------------------------------------------------------

class Codes:
    def __init__(self, data):
        self.d, self.p, self.left, self.bits, self.n, self.ended = data, 1, 0, 0, 0, False

    def read(self, width):
        while self.n < width:
            if self.left == 0:
                if self.ended or self.p >= len(self.d) or self.d[self.p] == 0:
                    self.ended = True
                    return None
                self.left = self.d[self.p]
                self.p += 1
            if self.p >= len(self.d):
                self.ended = True
                return None
            self.bits |= self.d[self.p] << self.n
            self.n += 8
            self.p += 1
            self.left -= 1
        code = self.bits & ((1 << width) - 1)
        self.bits >>= width
        self.n -= width
        return code


def lzw(data, out_size):
    cs = data[0]
    if cs < 2 or cs > 11:
        raise Refuse(DECOMPRESS)
    clear, end = 1 << cs, (1 << cs) + 1
    first_free = clear + 2
    width, next_free = cs + 1, first_free
    table = {}
    out = bytearray()
    prev = -1
    r = Codes(data)

    def string(c):
        return bytes([c & 0xFF]) if c < clear else table[c]

    while len(out) < out_size:
        code = r.read(width)
        if code is None:
            break
        if code == clear:
            width, next_free, prev = cs + 1, first_free, -1
            continue
        if code == end:
            break
        if prev < 0:
            if code > end:
                raise Refuse(DECOMPRESS)
            out.append(code & 0xFF)
            prev = code
            continue
        fresh = code >= next_free
        s = string(prev if fresh else code)
        out += s + s[:1] if fresh else s
        if next_free < 4096:
            table[next_free] = string(prev) + s[:1]
            next_free += 1
            if next_free > (1 << width) - 1 and width < 12:
                width += 1
        prev = min(next_free - 1, code) if fresh else code
    return bytes(out[:out_size])


# ---- composing ------------------------------------------------------------------------------

def clip(W, H, left, top, w, h):
    if left >= W or top >= H or w <= 0 or h <= 0:
        return (0, 0, 0, 0)
    return (left, top, min(w, W - left), min(h, H - top))


def interlace_rows(h):
    rows = []
    for start, step in ((0, 8), (4, 8), (2, 4), (1, 2)):
        rows += list(range(start, h, step))
    return rows


class Movie:
    def __init__(self, data, first_only):
        self.data = data
        self.W, self.H, self.gpal, self.back, pos = screen(data)
        if first_only:
            hdr = frame_header(data, pos, 0, False)
            self.positions = [hdr[2]] if hdr else []
            self.partial = False
        else:
            self.positions, self.partial, _ = scan(data, pos, self.W, self.H)
        self.cur, self.disposal, self.prev_local = 0, 0, False
        self.rect, self.prev_img = (0, 0, 0, 0), None
        self.canvas, self.pal = None, None

    def load_next(self):
        """RGB of the next frame and the mask of canvas pixels it drew itself."""
        if self.cur + 1 > len(self.positions):
            raise Refuse(END_OF_MOVIE)
        W, H = self.W, self.H
        if W == 0 or H == 0:
            raise Refuse(HEADER)
        if W * H > MAX_PICTURE:
            raise Refuse(TOO_LARGE)
        if self.canvas is None:
            self.canvas = bytearray(W * H)
        if self.cur == 0:
            self.disposal, self.prev_local = 0, False
        self.dispose()
        ext, d, fpos, after = frame_header(self.data, self.positions[self.cur], self.cur, True)
        after = self.palette(ext, d, after)
        if ext[3] & 1:  # the transparent index shows the logo's black background
            self.pal[ext[6]] = (0, 0, 0)
        self.keep_disposal(ext, d)
        drawn = self.draw(ext, d, after)
        self.cur += 1
        rgb = b"".join(bytes(self.pal[i]) for i in self.canvas)
        return rgb, drawn

    def dispose(self):
        l, t, w, h = self.rect
        if self.disposal == 2:
            for y in range(t, t + h):
                self.canvas[y * self.W + l:y * self.W + l + w] = bytes([self.back & 0xFF]) * w
        elif self.disposal == 3 and self.prev_img is not None:
            for y in range(h):
                self.canvas[(t + y) * self.W + l:(t + y) * self.W + l + w] = \
                    self.prev_img[y * w:(y + 1) * w]

    def palette(self, ext, d, after):
        local = d[4] & 0x80
        if self.cur == 0:
            fill = self.back if not local and self.back != -1 else 0
            self.canvas[:] = bytes([fill]) * len(self.canvas)
        if local:
            n = table_bytes(d[4])
            if len(self.data) < after + n:
                raise Refuse(SHORT)
            t = self.data[after:after + n]
            self.pal = [tuple(t[3 * i:3 * i + 3]) for i in range(n // 3)] + [(0, 0, 0)] * (256 - n // 3)
            self.prev_local = True
            return after + n
        self.pal = list(self.gpal)
        self.prev_local = False
        return after

    def keep_disposal(self, ext, d):
        self.disposal = (ext[3] >> 2) & 7
        if self.disposal not in (2, 3):
            return
        self.rect = l, t, w, h = clip(self.W, self.H, *d[:4])
        if self.disposal == 3 and w:
            self.prev_img = b"".join(bytes(self.canvas[(t + y) * self.W + l:(t + y) * self.W + l + w])
                                     for y in range(h))

    def data_end(self, start, pixels):
        end = self.positions[self.cur + 1] if self.cur + 1 < len(self.positions) else len(self.data)
        return min(end, start + 3 * pixels + 65536)

    def draw(self, ext, d, start):
        left, top, fw, fh, flags = d
        W, H = self.W, self.H
        drawn = set()
        if fw == 0 or fh == 0 or left >= W or top >= H:
            return drawn
        interlaced = bool(flags & 0x40)
        in_place = left == 0 and top == 0 and fw == W and fh == H
        vis_rows = min(fh, H - top)
        rows = fh if interlaced else vis_rows
        if fw * rows > MAX_PICTURE:
            raise Refuse(TOO_LARGE)
        end = self.data_end(start, fw * fh)
        if end <= start or start >= len(self.data):
            raise Refuse(CORRUPT)
        px = lzw(self.data[start:end], fw * rows)
        order = interlace_rows(fh) if interlaced else list(range(rows))
        transparent = (ext[3] & 1) or ext[6] != 0
        key = ext[6]
        if in_place and not interlaced:
            self.canvas[:len(px)] = px
            return {i for i in range(len(px)) if not (transparent and px[i] == key)}
        temp = px + bytes(fw * rows - len(px))
        frame = {}  # frame row -> bytes of that row
        for k, y in enumerate(order):
            frame[y] = temp[k * fw:(k + 1) * fw]
        got = {order[k] for k in range(len(px) // fw + (1 if len(px) % fw else 0))}
        full_rows = len(px) // fw
        use_key = partial(W, H, d) and transparent
        for y in range(vis_rows if not (interlaced and in_place) else fh):
            row = frame[y]
            k = order.index(y) if interlaced else y
            for x in range(min(fw, W - left)):
                v = row[x]
                if use_key and v == key:
                    continue
                i = (top + y) * W + left + x
                self.canvas[i] = v
                decoded = k < full_rows or (k == full_rows and x < len(px) % fw)
                if decoded and not (transparent and v == key):
                    drawn.add(i)
        return drawn


# ---- ImageMagick ----------------------------------------------------------------------

def magick_frames(path, W, H):
    try:
        out = subprocess.run(["/usr/bin/convert", path, "-coalesce", "-depth", "8", "rgba:-"],
                             capture_output=True, timeout=300).stdout
    except subprocess.TimeoutExpired:
        return None
    n = W * H * 4
    if n == 0 or not out or len(out) % n:
        return None
    return [out[k:k + n] for k in range(0, len(out), n)]


def pygif_frames(path):
    """The RGBA frames a pygif test case expects (its .conf names them)."""
    conf = os.path.splitext(path)[0] + ".conf"
    if not os.path.exists(conf):
        return None
    names = []
    with open(conf, encoding="utf-8") as fh:
        for line in fh:
            if line.startswith("pixels = "):
                names.append(line.split("=", 1)[1].strip())
    frames = []
    for name in names:
        with open(os.path.join(os.path.dirname(path), name), "rb") as fh:
            frames.append(fh.read())
    return frames or None


def compare(rel, frames, im, path):
    """Frames whose own pixels ImageMagick shows otherwise, as a text."""
    if im is None:
        ref = pygif_frames(path)
        if ref and len(ref) == len(frames) and all(
                r[4 * i + 3] != 255 or r[4 * i:4 * i + 3] == f[0][3 * i:3 * i + 3]
                for r, f in zip(ref, frames) for i in range(len(f[0]) // 3)):
            return "ImageMagick cannot read it; opaque pixels = the suite's expected frames"
        return "ImageMagick cannot read it"
    if rel in FRAME_SEARCH:
        return "%d frames, ImageMagick %d: %s" % (len(frames), len(im), FRAME_SEARCH[rel])
    bad = []
    same_whole = True
    for k, (rgb, drawn) in enumerate(frames[:len(im)]):
        m = im[k]
        for i in drawn:
            if m[4 * i + 3] != 255 or m[4 * i:4 * i + 3] != rgb[3 * i:3 * i + 3]:
                bad.append(k + 1)
                break
        whole = all(m[4 * i + 3] == 255 and m[4 * i:4 * i + 3] == rgb[3 * i:3 * i + 3]
                    for i in range(len(rgb) // 3))
        same_whole = same_whole and whole
    note = ""
    if len(im) != len(frames):
        note = "; ImageMagick finds %d frames" % len(im)
    if bad:
        print("review: %s differs from ImageMagick in frames %s" % (rel, bad), file=sys.stderr)
        return "ImageMagick differs in frames %s%s" % (",".join(map(str, bad[:8])), note)
    if note:
        print("review: %s%s" % (rel, note), file=sys.stderr)
    if same_whole and not note:
        return "= ImageMagick"
    return "own pixels of every frame = ImageMagick" + note


# ---- the table -----------------------------------------------------------------------------

def decode_all(data):
    frames, err = [], (0, 0)
    try:
        m = Movie(data, False)
        for _ in range(len(m.positions)):
            frames.append(m.load_next())
    except Refuse as e:
        err = e.err
    return frames, err


def decode_still(data):
    try:
        m = Movie(data, True)
        return m.load_next()[0], (0, 0)
    except Refuse as e:
        return b"", e.err


def files(root):
    for top in ("gif", "bad"):
        for folder, _, names in sorted(os.walk(os.path.join(root, top))):
            for name in sorted(names):
                if name.lower().endswith(".gif"):
                    path = os.path.join(folder, name)
                    yield os.path.relpath(path, root), path


def main():
    args = sys.argv[1:]
    if args[:1] == ["--frames"]:
        with open(args[1], "rb") as fh:
            frames, err = decode_all(fh.read())
        for k, (rgb, _) in enumerate(frames):
            print("frame %d: 0x%016x" % (k + 1, fnv1a(rgb)))
        print("error", err)
        return
    root = args[0] if args else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "data")
    print("// Generated by tests/make_gif_golden.py: the reader's rules decoded independently,")
    print("// checked against ImageMagick on the pixels each frame draws itself.")
    print("// {file, width, height, frames decoded, error group, code, hash of the frames,")
    print("//  still picture's error group, code, hash}")
    for rel, path in files(root):
        with open(path, "rb") as fh:
            data = fh.read()
        frames, err = decode_all(data)
        still, still_err = decode_still(data)
        try:
            W, H = screen(data)[:2]
        except Refuse:
            W = H = 0
        h = 0xCBF29CE484222325
        for rgb, _ in frames:
            h = fnv1a(rgb, h)
        label = ""
        if frames:
            label = "  // " + compare(rel, frames, magick_frames(path, W, H), path)
        sh = fnv1a(still) if still else 0
        print('{"%s", %d, %d, %d, %d, %d, 0x%016xull, %d, %d, 0x%016xull},%s' %
              (rel, W if frames else 0, H if frames else 0, len(frames), err[0], err[1],
               h if frames else 0, still_err[0], still_err[1], sh, label))


if __name__ == "__main__":
    main()

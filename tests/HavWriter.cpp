// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/HavWriter.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace kvo::test {

// ---- tokens --------------------------------------------------------------------------------

THavPacker& THavPacker::Bits(uint32_t V, int N) {
  for (int i = N - 1; i >= 0; --i) {
    if (used_ == 8) {
      bytes_.push_back(0);
      used_ = 0;
    }
    bytes_.back() = static_cast<uint8_t>(bytes_.back() | (((V >> i) & 1u) << (7 - used_)));
    ++used_;
  }
  return *this;
}

THavPacker& THavPacker::Count(int N) {
  if (N < 2 || N > 767) throw std::invalid_argument("count out of range");
  if (N >= 256) return Bits(0, 7).Bits(static_cast<uint32_t>(N - 256), 9);
  int width = 2;  // of N, its leading one included
  while ((N >> width) != 0) ++width;
  return Bits(0, width - 2).Bits(static_cast<uint32_t>(N), width);
}

THavPacker& THavPacker::Literal(uint8_t V) { return (fast_ ? Bits(1, 1) : Bits(3, 2)).Bits(V, 8); }

THavPacker& THavPacker::Fill(uint8_t T0, uint8_t T1, uint8_t T2, int Count) {
  if (fast_)
    Bits(0, 2).Bits(T0, 8);
  else
    Token(T0);
  if (bpp_ >= 2) Bits(T1, 8);
  if (bpp_ == 3) Bits(T2, 8);
  return this->Count(Count);
}

THavPacker& THavPacker::FillPixel(const uint8_t* Px, int Count) {
  if (bpp_ == 1) return Fill(Px[0], 0, 0, Count);
  if (bpp_ == 2) return Fill(Px[1], Px[0], 0, Count);  // stored low byte first
  return Fill(Px[0], Px[2], Px[1], Count);             // stored T0, T2, T1
}

THavPacker& THavPacker::Skip(int64_t N) {
  while (N > 0) {
    if (N < 2) throw std::invalid_argument("a skip of one byte");
    if (N <= 65) return fast_ ? Bits(6, 4).Bits(static_cast<uint32_t>(N - 2), 6)
                              : Token(static_cast<uint32_t>(0x17E + N));
    if (fast_ && N < 130) {  // the long form starts at 2 + 64 x 2
      Skip(N - 64);
      N = 64;
      continue;
    }
    const int64_t step = N > 49000 ? 49000 : N;
    if (fast_) {
      const int64_t c = (step - 2) / 64;
      Bits(7, 4).Bits(static_cast<uint32_t>(step - 2 - 64 * c), 6).Count(static_cast<int>(c));
    } else {
      const int64_t c = (step + 62) / 64;  // low part step - 64 c from -62 to 1
      Token(static_cast<uint32_t>(0x1FE + step - 64 * c)).Count(static_cast<int>(c));
    }
    N -= step;
  }
  return *this;
}

THavPacker& THavPacker::Above(int N) {
  return fast_ ? Bits(2, 3).Bits(static_cast<uint32_t>(N - 2), 6)
               : Token(static_cast<uint32_t>(0xFE + N));
}

THavPacker& THavPacker::Match(int Ref, int Col, int Count) {
  return Token(static_cast<uint32_t>(0x600 + Ref * 64 + Col)).Count(Count);
}

THavPacker& THavPacker::Repeat(int Entry) { return Token(static_cast<uint32_t>(0x200 + Entry)); }

THavPacker& THavPacker::End() { return fast_ ? Bits(7, 4).Bits(0, 6) : Token(0x1C0); }

// ---- the greedy packer ---------------------------------------------------------------------

namespace {

struct TPackState {
  const THavBytes& T;
  int64_t Pos, End;
  // Bytes from Src on that equal those from Pos on (at most Max), the way
  // the decoder copies: forward, byte by byte.
  int64_t Same(int64_t Src, int64_t Max) const {
    int64_t n = 0;
    while (n < Max && Pos + n < End && T[static_cast<size_t>(Src + n)] == T[static_cast<size_t>(Pos + n)])
      ++n;
    return n;
  }
};

struct TChoice {
  enum { kLiteral, kSkip, kFill, kAbove, kRepeat, kMatch } Kind = kLiteral;
  int64_t Bytes = 1;
  int A = 0, B = 0;  // match reference and column, or table entry
};

void Consider(TChoice& Best, TChoice C) {
  if (C.Bytes >= 2 && C.Bytes > Best.Bytes) Best = C;
}

// The best new match: every reference and column whose source lies before
// the output, inside the picture.
TChoice BestMatch(const TPackState& S, int64_t RowBytes) {
  TChoice best;
  for (int ref = 0; ref < 24; ++ref)
    for (int col = 0; col < 64; ++col) {
      const int64_t src = ref <= 11 ? S.Pos - ref * RowBytes - (64 - col)
                                    : S.Pos - (ref - 11) * RowBytes + col;
      if (src < 0 || src >= S.Pos) continue;
      Consider(best, {TChoice::kMatch, S.Same(src, 767), ref, col});
    }
  return best;
}

}  // namespace

THavBytes HavPack(bool Fast, int Bpp, int64_t RowBytes, const THavBytes* Prev,
                  const THavBytes& Target, int64_t Start, int64_t End) {
  THavPacker p(Fast, Bpp);
  std::vector<std::pair<int64_t, int64_t>> table;  // matches written: position, count
  TPackState s{Target, Start, End};
  while (s.Pos < End) {
    const int64_t left = End - s.Pos;
    const size_t at = static_cast<size_t>(s.Pos);
    TChoice best;
    if (Prev) {
      int64_t n = 0;
      while (n < left && (*Prev)[at + static_cast<size_t>(n)] == Target[at + static_cast<size_t>(n)]) ++n;
      Consider(best, {TChoice::kSkip, n});
    }
    if (left >= 2 * Bpp) {
      const int64_t pixels = std::min<int64_t>(767, s.Same(s.Pos + Bpp, left - Bpp) / Bpp + 1);
      if (pixels >= 2) Consider(best, {TChoice::kFill, pixels * Bpp});
    }
    if (s.Pos >= RowBytes) Consider(best, {TChoice::kAbove, s.Same(s.Pos - RowBytes, Fast ? 65 : 129)});
    if (!Fast) {
      for (size_t e = table.size() > 1024 ? table.size() - 1024 : 0; e < table.size(); ++e)
        if (table[e].second <= left && s.Same(table[e].first, table[e].second) == table[e].second)
          Consider(best, {TChoice::kRepeat, table[e].second, static_cast<int>(e % 1024)});
      Consider(best, BestMatch(s, RowBytes));
    }
    switch (best.Kind) {
      case TChoice::kLiteral: p.Literal(Target[at]); break;
      case TChoice::kSkip: p.Skip(best.Bytes); break;
      case TChoice::kFill: p.FillPixel(&Target[at], static_cast<int>(best.Bytes / Bpp)); break;
      case TChoice::kAbove: p.Above(static_cast<int>(best.Bytes)); break;
      case TChoice::kRepeat: p.Repeat(best.A); break;
      case TChoice::kMatch:
        p.Match(best.A, best.B, static_cast<int>(best.Bytes));
        table.emplace_back(s.Pos, best.Bytes);
        break;
    }
    s.Pos += best.Bytes;
  }
  return p.End().Bytes();
}

void HavResiduals(const THavBytes& Picture, THavBytes& Residuals, int Bpp, int64_t Start,
                  int64_t End) {
  for (int64_t i = Start; i < End; ++i) {
    const size_t k = static_cast<size_t>(i);
    Residuals[k] = static_cast<uint8_t>(i - Start >= Bpp ? Picture[k] - Picture[k - Bpp] : Picture[k]);
  }
}

THavMovieSpec HavMovieOf(const std::vector<THavBytes>& Pictures, int32_t Width, int32_t Height,
                         int32_t Bpp, int32_t Mode, int32_t Interval, int RowsPerStrip) {
  THavMovieSpec m;
  m.Width = Width;
  m.Height = Height;
  m.Bpp = Bpp;
  m.Mode = Mode;
  m.Interval = Interval;
  const int64_t rowBytes = int64_t{Width} * Bpp;
  THavBytes prev;
  for (size_t i = 0; i < Pictures.size(); ++i) {
    const bool key = Interval == 0 ? i == 0 : i % static_cast<size_t>(Interval) == 0;
    THavBytes target = Pictures[i];
    THavFrameSpec f;
    for (int32_t row = 0; row < Height; row += RowsPerStrip) {
      const int rows = std::min(RowsPerStrip, Height - row);
      const int64_t start = row * rowBytes, end = start + rows * rowBytes;
      if (Mode & 2) HavResiduals(Pictures[i], target, Bpp, start, end);
      f.Strips.push_back(
          {rows, true, HavPack(Mode & 1, Bpp, rowBytes, key ? nullptr : &prev, target, start, end)});
    }
    m.Frames.push_back(f);
    prev = target;
  }
  return m;
}

// ---- the file ------------------------------------------------------------------------------

namespace {

void Put32(THavBytes& B, uint32_t V) {
  for (int i = 0; i < 4; ++i) B.push_back(static_cast<uint8_t>(V >> (8 * i)));
}

void Set32(std::string& S, size_t At, uint32_t V) {
  for (int i = 0; i < 4; ++i) S[At + static_cast<size_t>(i)] = static_cast<char>(V >> (8 * i));
}

THavBytes Header(const THavMovieSpec& M) {
  THavBytes h;
  h.insert(h.end(), {'H', 'A', 'V', 0x1A});
  Put32(h, M.HeaderSize);
  for (int32_t v : {M.Version, M.Width, M.Height, M.Bpp, M.Mode,
                    static_cast<int32_t>(M.Frames.size()), M.Interval})
    Put32(h, static_cast<uint32_t>(v));
  uint8_t fps[8];
  std::memcpy(fps, &M.Fps, 8);
  h.insert(h.end(), fps, fps + 8);
  for (int32_t v : {M.AudioFlags, M.AudioRate, 0, 0, M.AudioLength})
    Put32(h, static_cast<uint32_t>(v));
  h.resize(std::max<size_t>(h.size(), M.HeaderSize), 0);
  return h;
}

// A frame's data: the first read (header, palettes, image record with its
// descriptors and direct strips), then the other strips.
THavBytes FrameData(const THavFrameSpec& F, size_t& FirstRead, size_t& Image) {
  THavBytes d;
  const bool image = !F.Strips.empty();
  Put32(d, 0);
  Put32(d, 16);
  Put32(d, static_cast<uint32_t>(F.Palettes.size() + (image ? 1 : 0)));
  Put32(d, 0);
  for (const THavPaletteSpec& p : F.Palettes) {
    for (uint32_t v : {2u, 16u, static_cast<uint32_t>(p.Rgb.size() / 3), static_cast<uint32_t>(p.First)})
      Put32(d, v);
    d.insert(d.end(), p.Rgb.begin(), p.Rgb.end());
  }
  Image = image ? d.size() : 0;
  FirstRead = d.size();
  if (!image) return d;
  const size_t direct = F.Direct < 0 ? F.Strips.size() : static_cast<size_t>(F.Direct);
  for (uint32_t v : {4u, 16u, static_cast<uint32_t>(F.Strips.size()), static_cast<uint32_t>(direct)})
    Put32(d, v);
  for (const THavStripSpec& s : F.Strips)
    for (uint32_t v : {0u, 20u, static_cast<uint32_t>(s.Data.size()), static_cast<uint32_t>(s.Rows),
                       s.Packed ? 1u : 0u})
      Put32(d, v);
  for (size_t i = 0; i < F.Strips.size(); ++i) {
    if (i == direct) FirstRead = d.size();
    d.insert(d.end(), F.Strips[i].Data.begin(), F.Strips[i].Data.end());
  }
  if (direct >= F.Strips.size()) FirstRead = d.size();
  return d;
}

}  // namespace

std::string HavFile(const THavMovieSpec& M, THavLayout* Layout) {
  THavLayout l;
  THavBytes file = Header(M);
  l.PageTable = file.size();
  const size_t pages = std::max<size_t>(1, (M.Frames.size() + 255) / 256);
  const size_t firstPage = l.PageTable + 1024;
  for (size_t p = 0; p < 256; ++p) Put32(file, p < pages ? static_cast<uint32_t>(firstPage + p * 3072) : 0);
  file.resize(firstPage + pages * 3072, 0);
  for (size_t n = 0; n < M.Frames.size(); ++n) {
    size_t firstRead = 0, image = 0;
    const THavBytes data = FrameData(M.Frames[n], firstRead, image);
    const size_t entry = firstPage + (n / 256) * 3072 + (n % 256) * 12;
    l.Entry.push_back(entry);
    l.Frame.push_back(file.size());
    l.Image.push_back(image ? file.size() + image : 0);
    std::string e(12, '\0');
    Set32(e, 0, static_cast<uint32_t>(file.size()));
    Set32(e, 4, static_cast<uint32_t>(firstRead));
    Set32(e, 8, M.Frames[n].Palettes.empty() ? 0 : 1);
    std::copy(e.begin(), e.end(), file.begin() + static_cast<std::ptrdiff_t>(entry));
    file.insert(file.end(), data.begin(), data.end());
  }
  if (Layout) *Layout = l;
  return std::string(file.begin(), file.end());
}

}  // namespace kvo::test

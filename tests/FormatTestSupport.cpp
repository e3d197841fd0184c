// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/FormatTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "base/Basic.h"
#include "base/Errors.h"
#include "tests/TestSupport.h"

namespace kvo::test {

std::string ToString(const TErr& E) {
  return "(" + std::to_string(E.Group) + ", " + std::to_string(E.Code) + ")";
}

TErr Kept(const std::function<void()>& Body) {
  MonitoredKeep("test.Kept", [&] { Body(); });
  TErr e{ErrGroup(), ErrCode()};
  ClearError();
  return e;
}

TErr LoadFile(const std::string& Path, TImg& Img, int32_t FormatId) {
  return Kept([&] { ImgLoad(Path, Img, FormatId); });
}

TErr SaveFile(const std::string& Path, TImg& Img, int32_t FormatId) {
  return Kept([&] { ImgSave(Path, Img, FormatId); });
}

TErr InfoFile(const std::string& Path, TFileInfo& Info, int32_t FormatId) {
  return Kept([&] { FFInfo(Path, FormatId, Info); });
}

std::vector<uint8_t> CanonicalRgb(const TImg& Img, int Bits) {
  std::vector<uint8_t> out;
  const int64_t n = int64_t{Img.Width} * Img.Height;
  out.reserve(static_cast<size_t>(n) * 3);
  const int shift = Bits == 5 ? 3 : 0;
  for (int64_t i = 0; i < n; ++i) {
    const uint8_t* p = Img.Data + i * Img.BytesPerPixel;
    uint8_t r = 0, g = 0, b = 0;
    if (Img.BitsPerPixel == 8) {
      b = Img.Palette[p[0]][0];
      g = Img.Palette[p[0]][1];
      r = Img.Palette[p[0]][2];
    } else if (Img.BitsPerPixel == 15 || Img.BitsPerPixel == 16) {
      const uint32_t w = p[0] | (p[1] << 8);
      const bool six = Img.BitsPerPixel == 16;
      b = static_cast<uint8_t>((w & 31) << 3);
      g = static_cast<uint8_t>(six ? ((w >> 5) & 63) << 2 : ((w >> 5) & 31) << 3);
      r = static_cast<uint8_t>(six ? ((w >> 11) & 31) << 3 : ((w >> 10) & 31) << 3);
    } else {
      b = p[0];
      g = p[1];
      r = p[2];
    }
    out.push_back(static_cast<uint8_t>(r >> shift));
    out.push_back(static_cast<uint8_t>(g >> shift));
    out.push_back(static_cast<uint8_t>(b >> shift));
  }
  return out;
}

uint64_t Fnv1a(const std::vector<uint8_t>& Bytes) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (uint8_t b : Bytes) {
    h ^= b;
    h *= 0x100000001B3ull;
  }
  return h;
}

namespace {

std::vector<uint8_t> SizedRgb(const std::string& Text, int& Width, int& Height) {
  // "W H\n" followed by the RGB bytes.
  size_t nl = Text.find('\n');
  Width = Height = 0;
  if (nl == std::string::npos || std::sscanf(Text.c_str(), "%d %d", &Width, &Height) != 2)
    return {};
  std::vector<uint8_t> rgb(Text.begin() + static_cast<std::ptrdiff_t>(nl + 1), Text.end());
  if (rgb.size() != static_cast<size_t>(Width) * Height * 3) return {};
  return rgb;
}

}  // namespace

std::vector<uint8_t> MagickRgb(const std::string& Path, int& Width, int& Height) {
  std::string q = ShellQuoted(Path + "[0]");
  std::string text = RunShell("/usr/bin/identify -format '%w %h\\n' " + q +
                              " 2>/dev/null && /usr/bin/convert " + q +
                              " -auto-orient -depth 8 rgb:- 2>/dev/null")
                         .Out;
  return SizedRgb(text, Width, Height);
}

std::vector<uint8_t> PillowRgb(const std::string& Path, int& Width, int& Height) {
  std::string script =
      "import sys\nfrom PIL import Image\nim = Image.open(sys.argv[1]).convert('RGB')\n"
      "sys.stdout.buffer.write(b'%d %d\\n' % im.size + im.tobytes())\n";
  std::string text = RunShell("/usr/bin/python3 -c " + ShellQuoted(script) + " " +
                              ShellQuoted(Path) + " 2>/dev/null")
                         .Out;
  return SizedRgb(text, Width, Height);
}

TBytes& TBytes::U8(uint32_t V) {
  bytes_.push_back(static_cast<uint8_t>(V));
  return *this;
}
TBytes& TBytes::U16(uint32_t V) { return U8(V & 0xFF).U8((V >> 8) & 0xFF); }
TBytes& TBytes::U32(uint32_t V) { return U16(V & 0xFFFF).U16(V >> 16); }
TBytes& TBytes::Raw(const std::vector<uint8_t>& V) {
  bytes_.insert(bytes_.end(), V.begin(), V.end());
  return *this;
}
TBytes& TBytes::Fill(size_t N, uint8_t V) {
  bytes_.insert(bytes_.end(), N, V);
  return *this;
}

TTableCounts::TTableCounts() : mem_(MemCount()), files_(FCount()) {}
bool TTableCounts::Same() const { return MemCount() == mem_ && FCount() == files_; }
std::string TTableCounts::Describe() const {
  return "blocks " + std::to_string(mem_) + " -> " + std::to_string(MemCount()) + ", files " +
         std::to_string(files_) + " -> " + std::to_string(FCount());
}

TTempDir::TTempDir() : dir_(MakeTempFolder("kvo-fmt-")) {}
TTempDir::~TTempDir() { RemoveTree(dir_); }
std::string TTempDir::Write(const std::string& Name, const std::string& Bytes) const {
  WriteWhole(dir_ + Name, Bytes);
  return dir_ + Name;
}

void MakePicture(TImg& Img, int32_t Width, int32_t Height, int32_t Bits,
                 const std::function<void(int32_t X, int32_t Y, uint8_t* Px)>& Pixel) {
  Kept([&] { ImgAlloc(Img, Width, Height, Bits); });
  for (int32_t y = 0; y < Height; ++y)
    for (int32_t x = 0; x < Width; ++x)
      Pixel(x, y, Img.Data + (int64_t{y} * Width + x) * Img.BytesPerPixel);
}

int CheckGoldenTable(const std::vector<TGoldenFile>& Rows, int32_t FormatId,
                     const std::function<void(const TGoldenFile&, const TImg&, const TFileInfo&)>&
                         CheckInfo,
                     bool RefusedAreDescribed) {
  const std::string root = DataDir();
  TTableCounts counts;
  int decoded = 0;
  for (const TGoldenFile& row : Rows) {
    SCOPED_TRACE(row.File);
    TImg img;
    TErr e = LoadFile(root + row.File, img, FormatId);
    EXPECT_EQ(ToString(e), ToString({row.Group, row.Code}));
    TFileInfo info;
    TErr ie = InfoFile(root + row.File, info, FormatId);
    if (e == kOk && row.Group == 0) {
      ++decoded;
      EXPECT_EQ(img.Width, row.Width);
      EXPECT_EQ(img.Height, row.Height);
      EXPECT_EQ(Fnv1a(CanonicalRgb(img)), row.Hash);
      EXPECT_EQ(ie, kOk);
      EXPECT_TRUE(info.VideoValid && info.VideoLoadable);
      if (CheckInfo) CheckInfo(row, img, info);
    } else if ((e == TErr{EG_IMG, 1} || e == TErr{EG_IMG, 12}) &&
               (RefusedAreDescribed || ie == kOk)) {
      EXPECT_EQ(ie, kOk);  // described, but not loadable
      EXPECT_FALSE(info.VideoLoadable);
    }
    ImgFree(img);
    EXPECT_TRUE(counts.Same()) << counts.Describe();
  }
  return decoded;
}

}  // namespace kvo::test

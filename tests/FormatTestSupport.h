// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers of the format tests: keeping calls, picture hashes, byte builders.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "formats/ConForm.h"
#include "image/IMGBasic.h"

namespace kvo::test {

// An error pair; {0, 0} is success.
struct TErr {
  int32_t Group = 0;
  int32_t Code = 0;
  bool operator==(const TErr&) const = default;
};
std::string ToString(const TErr& E);
inline constexpr TErr kOk{0, 0};

// Runs Body in a keeping frame and returns the error it left.
TErr Kept(const std::function<void()>& Body);
TErr LoadFile(const std::string& Path, TImg& Img, int32_t FormatId = INVALID_ID);
TErr SaveFile(const std::string& Path, TImg& Img, int32_t FormatId = INVALID_ID);
TErr InfoFile(const std::string& Path, TFileInfo& Info, int32_t FormatId = INVALID_ID);

// The picture as RGB bytes, top row first; with Bits 5 each component is
// cut to its top 5 bits (decoders widen 5-bit colours differently).
std::vector<uint8_t> CanonicalRgb(const TImg& Img, int Bits = 8);
uint64_t Fnv1a(const std::vector<uint8_t>& Bytes);

// Runs an independent decoder (ImageMagick's convert) on Path: RGB bytes,
// top row first, empty when it cannot read the file.
std::vector<uint8_t> MagickRgb(const std::string& Path, int& Width, int& Height);
// The same through Pillow.
std::vector<uint8_t> PillowRgb(const std::string& Path, int& Width, int& Height);

// Little-endian byte builder for odd files made in code.
class TBytes {
 public:
  TBytes& U8(uint32_t V);
  TBytes& U16(uint32_t V);
  TBytes& U32(uint32_t V);
  TBytes& Raw(const std::vector<uint8_t>& V);
  TBytes& Fill(size_t N, uint8_t V);
  size_t Size() const { return bytes_.size(); }
  std::string Str() const { return std::string(bytes_.begin(), bytes_.end()); }
  std::vector<uint8_t>& Vec() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// Memory blocks and open files at construction; Same() tells whether the
// tables are back to those counts.
class TTableCounts {
 public:
  TTableCounts();
  bool Same() const;
  std::string Describe() const;

 private:
  int mem_, files_;
};

// A temporary folder removed at the end of the test.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  std::string Path(const std::string& Name) const { return dir_ + Name; }
  std::string Write(const std::string& Name, const std::string& Bytes) const;

 private:
  std::string dir_;
};

// An allocated picture filled by Pixel(x, y) with BytesPerPixel bytes.
void MakePicture(TImg& Img, int32_t Width, int32_t Height, int32_t Bits,
                 const std::function<void(int32_t X, int32_t Y, uint8_t* Px)>& Pixel);

// One row of a reader's golden table: the file under testdata/, and the
// size and pixel hash an independent decoder gave, or the error expected.
struct TGoldenFile {
  const char* File;
  int Width, Height, Group, Code;
  uint64_t Hash;
};

// Loads and describes every row's file with the reader of FormatId: the
// error or the size and pixels of the row, a description that agrees
// (CheckInfo adds the format's own checks on a decoded file), a refused
// depth or size still described as not loadable, and the tables back to
// their counts after each file; with RefusedAreDescribed, every file
// refused as an unsupported kind or size must still be described. Returns
// how many decoded.
int CheckGoldenTable(const std::vector<TGoldenFile>& Rows, int32_t FormatId,
                     const std::function<void(const TGoldenFile&, const TImg&, const TFileInfo&)>&
                         CheckInfo = nullptr,
                     bool RefusedAreDescribed = true);

}  // namespace kvo::test

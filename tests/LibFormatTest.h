// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers of the tests of the PNG, TIFF, JPEG and XPM readers and writers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formats/FFBasic.h"
#include "image/IMGBasic.h"
#include "tests/FormatTestSupport.h"

namespace kvo::test {

using TLoadFn = void (*)(const std::string&, TImg&);
using TSaveFn = void (*)(const std::string&, TImg&);
using TInfoFn = void (*)(const std::string&, TFileInfo&);

// One row of tests/libformat_golden.inc.
struct TGoldenRow {
  const char* File;  // below tests/data
  int32_t Format;
  int32_t Width, Height;
  int32_t Group, Code;  // the refusal; -1 when no reference decoder reads the file
  uint64_t Hash;        // FNV-1a of the RGB bytes
};

std::vector<TGoldenRow> GoldenRows(int32_t Format);

// Loads every golden file of the format and checks it against its row: the
// same size and pixels, or the same error; no block or file stays behind.
// Files no reference decoder reads are loaded for the leftovers check only,
// and their outcome is listed in Unchecked.
struct TGoldenTally {
  int Identical = 0;
  int Refused = 0;
  std::vector<std::string> Unchecked;
};
TGoldenTally CheckGolden(int32_t Format, TLoadFn Load);

// Loads and describes prefixes of Bytes (every Step-th length, every length
// from EveryFrom on, and the last few): each gives a valid picture of at
// least one pixel or an error, and the tables come back to their counts
// every time.
void TruncationSweep(const std::string& Bytes, const std::string& Ext, TLoadFn Load,
                     TInfoFn Info, size_t Step = 1, size_t EveryFrom = SIZE_MAX);

// The error a load, a save or an info call leaves (run in a keeping frame),
// and its text when Text is given.
TErr KeptLoad(TLoadFn Load, const std::string& Path, TImg& Img, std::string* Text = nullptr);
TErr KeptSave(TSaveFn Save, const std::string& Path, TImg& Img, std::string* Text = nullptr);
TErr KeptInfo(TInfoFn Info, const std::string& Path, TFileInfo& Out, std::string* Text = nullptr);

// Runs a Python script with Pillow; sys.argv[1] is Arg. Its standard output.
std::string RunPillow(const std::string& Script, const std::string& Arg);
// Standard output of a shell command line.
std::string RunCommand(const std::string& Command);

// A picture of the given depth with a smooth, colourful pattern.
void MakePattern(TImg& Img, int32_t Width, int32_t Height, int32_t Bits);

// Limits the size of files this process writes for one scope (a save that
// passes the limit fails with a short write).
class TFileSizeLimit {
 public:
  explicit TFileSizeLimit(int64_t Bytes);
  ~TFileSizeLimit();
  TFileSizeLimit(const TFileSizeLimit&) = delete;
  TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

 private:
  uint64_t oldSoft_ = 0;
  void (*oldHandler_)(int) = nullptr;
};

}  // namespace kvo::test

// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/LibFormatTest.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdio>

#include "base/Basic.h"
#include "base/Errors.h"
#include "tests/TestSupport.h"

namespace kvo::test {

namespace {

const TGoldenRow kGolden[] = {
#include "tests/libformat_golden.inc"
};

}  // namespace

std::vector<TGoldenRow> GoldenRows(int32_t Format) {
  std::vector<TGoldenRow> rows;
  for (const TGoldenRow& r : kGolden)
    if (r.Format == Format) rows.push_back(r);
  return rows;
}

namespace {

template <class F>
TErr KeptWithText(F&& Body, std::string* Text) {
  MonitoredKeep("test.LibFormat", Body);
  TErr e{ErrGroup(), ErrCode()};
  if (Text) *Text = LastErrorText();
  ClearError();
  return e;
}

}  // namespace

TErr KeptLoad(TLoadFn Load, const std::string& Path, TImg& Img, std::string* Text) {
  return KeptWithText([&] { Load(Path, Img); }, Text);
}

TErr KeptSave(TSaveFn Save, const std::string& Path, TImg& Img, std::string* Text) {
  return KeptWithText([&] { Save(Path, Img); }, Text);
}

TErr KeptInfo(TInfoFn Info, const std::string& Path, TFileInfo& Out, std::string* Text) {
  return KeptWithText([&] { Info(Path, Out); }, Text);
}

TGoldenTally CheckGolden(int32_t Format, TLoadFn Load) {
  TGoldenTally tally;
  const std::string root = DataDir();
  for (const TGoldenRow& row : GoldenRows(Format)) {
    SCOPED_TRACE(row.File);
    TTableCounts counts;
    TImg img;
    std::string text;
    TErr err = KeptLoad(Load, root + row.File, img, &text);
    if (row.Group == -1) {
      tally.Unchecked.push_back(std::string(row.File) + " " + ToString(err));
    } else if (row.Group != 0) {
      EXPECT_EQ(err, (TErr{row.Group, row.Code})) << ToString(err) << " " << text;
      tally.Refused += err == TErr{row.Group, row.Code};
    } else {
      EXPECT_EQ(err, kOk) << ToString(err) << " " << text;
      EXPECT_EQ(img.Width, row.Width);
      EXPECT_EQ(img.Height, row.Height);
      bool same = err == kOk && Fnv1a(CanonicalRgb(img)) == row.Hash;
      EXPECT_TRUE(same) << "the pixels differ from the reference decoder's";
      tally.Identical += same;
    }
    ImgFree(img);
    EXPECT_TRUE(counts.Same()) << counts.Describe();
  }
  return tally;
}

void TruncationSweep(const std::string& Bytes, const std::string& Ext, TLoadFn Load,
                     TInfoFn Info, size_t Step, size_t EveryFrom) {
  TTempDir dir;
  for (size_t length = 0; length <= Bytes.size(); ++length) {
    if (length % Step != 0 && length + 8 < Bytes.size() && length < EveryFrom) continue;
    std::string path = dir.Write("cut" + Ext, Bytes.substr(0, length));
    TTableCounts counts;
    TImg img;
    TErr err = KeptLoad(Load, path, img);
    if (err == kOk) {
      EXPECT_TRUE(ImgIsValid(img)) << "cut at " << length;
      EXPECT_GT(img.Width, 0) << "cut at " << length;
      EXPECT_GT(img.Height, 0) << "cut at " << length;
    } else {
      EXPECT_FALSE(img.Data && !ImgIsValid(img)) << "a failed load kept a released block";
    }
    ImgFree(img);
    TFileInfo info;
    KeptInfo(Info, path, info);
    ASSERT_TRUE(counts.Same()) << "cut at " << length << ": " << counts.Describe();
  }
}

std::string RunCommand(const std::string& Command) { return RunShell(Command).Out; }

std::string RunPillow(const std::string& Script, const std::string& Arg) {
  return RunCommand("/usr/bin/python3 -c " + ShellQuoted(Script) + " " + ShellQuoted(Arg) +
                    " 2>/dev/null");
}

void MakePattern(TImg& Img, int32_t Width, int32_t Height, int32_t Bits) {
  MakePicture(Img, Width, Height, Bits, [&](int32_t x, int32_t y, uint8_t* px) {
    uint8_t r = static_cast<uint8_t>(x * 255 / std::max(1, Width - 1));
    uint8_t g = static_cast<uint8_t>(y * 255 / std::max(1, Height - 1));
    uint8_t b = static_cast<uint8_t>((x + y) * 4);
    if (Bits == 8) {
      px[0] = static_cast<uint8_t>((x / 4 + y / 4 * 7) & 0xFF);
    } else if (Bits == 15 || Bits == 16) {
      uint16_t w = Bits == 15 ? static_cast<uint16_t>((r >> 3) << 10 | (g >> 3) << 5 | b >> 3)
                              : static_cast<uint16_t>((r >> 3) << 11 | (g >> 2) << 5 | b >> 3);
      px[0] = static_cast<uint8_t>(w);
      px[1] = static_cast<uint8_t>(w >> 8);
    } else {
      px[0] = b;
      px[1] = g;
      px[2] = r;
      if (Bits == 32) px[3] = 0;
    }
  });
  if (Bits == 8) {
    for (int i = 0; i < 256; ++i) {
      Img.Palette[i][0] = static_cast<uint8_t>(i);
      Img.Palette[i][1] = static_cast<uint8_t>(255 - i);
      Img.Palette[i][2] = static_cast<uint8_t>(i * 7);
    }
  }
}

TFileSizeLimit::TFileSizeLimit(int64_t Bytes) {
  // Passing the limit would also raise SIGXFSZ, which ends the process.
  oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
  rlimit lim{};
  ::getrlimit(RLIMIT_FSIZE, &lim);
  oldSoft_ = lim.rlim_cur;
  lim.rlim_cur = static_cast<rlim_t>(Bytes);
  ::setrlimit(RLIMIT_FSIZE, &lim);
}

TFileSizeLimit::~TFileSizeLimit() {
  rlimit lim{};
  ::getrlimit(RLIMIT_FSIZE, &lim);
  lim.rlim_cur = static_cast<rlim_t>(oldSoft_);
  ::setrlimit(RLIMIT_FSIZE, &lim);
  std::signal(SIGXFSZ, oldHandler_);
}

}  // namespace kvo::test

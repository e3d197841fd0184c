// SPDX-License-Identifier: GPL-3.0-or-later
// Composing and writing logo files.
#include "core/Composer.h"

#include <unistd.h>

#include <cstdio>
#include <vector>

#include "base/Basic.h"
#include "base/Errors.h"
#include "base/MiscProcs.h"
#include "base/VCLUtils.h"
#include "core/Backup.h"
#include "core/Locations.h"
#include "core/LogoCheck.h"
#include "core/Random.h"
#include "core/Settings.h"
#include "core/TextGen.h"
#include "formats/ConForm.h"

namespace kvo {
namespace {

constexpr const char* MESSAGE_SEPARATOR = "--\r\n";
constexpr const char* LINE_BREAK = "\r\n";
constexpr int32_t MESSAGE_X = 8;
constexpr int32_t MESSAGE_Y = 12;
constexpr int32_t BAR_THICKNESS = 6;
constexpr int32_t SIDE_BAR_WIDTH = 4;

// Trims blanks and control characters from both ends.
std::string TrimControls(const std::string& S) {
  size_t b = 0, e = S.size();
  while (b < e && static_cast<unsigned char>(S[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(S[e - 1]) <= ' ') --e;
  return S.substr(b, e - b);
}

// The position of the K-th separator (K >= 1) by successive searches, each
// from the position after the previous match; 0 when there is none.
int FindNthSeparator(const std::string& Text, const std::string& Sep, int32_t K) {
  int pos = 0;
  for (int32_t i = 0; i < K; ++i) {
    pos = PosFrom(Sep, Text, pos + 1);
    if (pos == 0) return 0;
  }
  return pos;
}

int32_t CountSeparators(const std::string& Text, const std::string& Sep) {
  int32_t n = 0;
  for (int pos = PosFrom(Sep, Text, 1); pos != 0; pos = PosFrom(Sep, Text, pos + 1)) ++n;
  return n;
}

uint8_t Channel(uint32_t Color, int Shift) { return static_cast<uint8_t>((Color >> Shift) & 0xFF); }

struct TBar {
  int32_t X0, X1, Y0, Y1, First, Last;
};

// The bar's rectangle clipped to the picture, and its index range.
TBar ClipBar(const TImg& Img, int32_t X, int32_t Y, int32_t W, int32_t H, int32_t First) {
  TBar b;
  b.X0 = Limit(X, 0, Img.Width - 1);
  b.X1 = Limit(b.X0 + W - 1, b.X0, Img.Width - 1);
  b.Y0 = Limit(Y, 0, Img.Height - 1);
  b.Y1 = Limit(b.Y0 + H - 1, b.Y0, Img.Height - 1);
  b.First = Limit(First, 0, 255);
  b.Last = Limit(b.First + ANIM_COUNT - 1, b.First, 255);
  return b;
}

int32_t Wrap(int32_t V, const TBar& B) {
  if (V < B.First) return B.Last;
  if (V > B.Last) return B.First;
  return V;
}

uint8_t& PixelAt(TImg& Img, int32_t X, int32_t Y) {
  return Img.Data[static_cast<int64_t>(Y) * Img.Width + X];
}

// The stripes run across the columns, counting down from the last index.
void PaintHorizontalBar(TImg& Img, int32_t X, int32_t Y, int32_t W, int32_t H, int32_t First,
                        int32_t Move) {
  TBar b = ClipBar(Img, X, Y, W, H, First);
  int32_t cur = b.Last, other = b.Last;
  for (int32_t c = b.X0; c <= b.X1; ++c) {
    for (int32_t r = b.Y0; r <= b.Y1; ++r)
      PixelAt(Img, c, r) = static_cast<uint8_t>((r & 1) ? cur : other);
    if (Move == ANIM_SMOOTH) {
      if (c & 1) cur = Wrap(cur - 1, b); else other = cur;
    } else if (Move == ANIM_VEGAS) {
      if (c % 4 == 0) cur = Wrap(cur - 1, b);
      other = cur;
    }
  }
}

// The stripes run down the rows, counting up from the first index.
void PaintVerticalBar(TImg& Img, int32_t X, int32_t Y, int32_t W, int32_t H, int32_t First,
                      int32_t Move) {
  TBar b = ClipBar(Img, X, Y, W, H, First);
  int32_t cur = b.First, other = b.First;
  for (int32_t r = b.Y0; r <= b.Y1; ++r) {
    for (int32_t c = b.X0; c <= b.X1; ++c)
      PixelAt(Img, c, r) = static_cast<uint8_t>((c & 1) ? cur : other);
    if (Move == ANIM_SMOOTH) {
      if (r & 1) cur = Wrap(cur + 1, b); else other = cur;
    } else if (Move == ANIM_VEGAS) {
      if (r % 4 == 0) cur = Wrap(cur + 1, b);
      other = cur;
    }
  }
}

// Writes beside the logo and moves the finished file over it, so a logo is
// either the old one or the whole new one, never half of either.
bool WriteLogoTemp(const std::string& Temp, TImg& Img, int32_t ImportantColours) {
  MonitoredKeep("LogoComposer.WriteLogoFile", [&] {
    ImgSave(Temp, Img, FF_BMP);
    if (ImportantColours == INVALID_ID) return;
    int32_t h;
    FOpen(h, Temp, 0);
    uint8_t field[2] = {static_cast<uint8_t>(ImportantColours), 0};
    FSeek(h, BMP_IMPORTANT_COLORS_OFFSET);
    FWrite(h, field, 2);
    FClose(h);
  });
  bool ok = NoError();
  ClearError();
  return ok;
}

}  // namespace

bool NthField(const std::string& Text, const std::string& Separator, int32_t K,
              std::string& Field) {
  int start = 1;
  if (K > 0) {
    int sep = FindNthSeparator(Text, Separator, K);
    if (sep == 0) return false;
    start = sep + static_cast<int>(Separator.size());
  }
  int next = PosFrom(Separator, Text, start);
  size_t from = static_cast<size_t>(start - 1);
  if (from > Text.size()) from = Text.size();
  size_t end = next == 0 ? Text.size() : static_cast<size_t>(next - 1);
  Field = TrimControls(Text.substr(from, end > from ? end - from : 0));
  return true;
}

int32_t NearestColorIndex(const TImg& Img, int32_t Count, uint32_t Color) {
  int32_t r = Channel(Color, 0), g = Channel(Color, 8), b = Channel(Color, 16);
  int32_t best = 0;
  int64_t bestDist = INT64_MAX;
  for (int32_t i = 0; i < Count && i < 256; ++i) {
    int64_t db = Img.Palette[i][0] - b, dg = Img.Palette[i][1] - g, dr = Img.Palette[i][2] - r;
    int64_t d = 4 * dr * dr + 9 * dg * dg + db * db;
    if (d < bestDist) best = i, bestDist = d;
  }
  return best;
}

int32_t DrawTextLine(TImg& Img, const std::string& Line, int32_t X, int32_t Y) {
  if (Line.empty()) return 0;
  const TSettings& s = Settings();
  TTextOptions opts;
  TextOptionsInit(opts);
  opts.FontStyle = (s.FontBold ? TS_BOLD : 0) | (s.FontItalic ? TS_ITALIC : 0) |
                   (s.FontUnderline ? TS_UNDERLINE : 0) | (s.FontStrikeout ? TS_STRIKEOUT : 0);
  opts.FontName = s.FontName.substr(0, TEXT_FONT_NAME_MAX);
  opts.FontSize = s.FontSize;
  opts.TextIndex = NearestColorIndex(Img, ANIM_FIRST, s.TextColor);
  opts.EffectIndex = NearestColorIndex(Img, ANIM_FIRST, s.TextBorderColor);
  opts.BackIndex = 0;
  while (opts.BackIndex == opts.TextIndex || opts.BackIndex == opts.EffectIndex) ++opts.BackIndex;
  opts.Effect = TE_OUTLINE;
  Text_Draw(Img, Line, X, Y, opts);
  return opts.OutHeight;
}

void DrawMessage(TImg& Img, const std::string& MessageText) {
  if (TrimControls(MessageText).empty()) return;
  int32_t n = 1 + CountSeparators(MessageText, MESSAGE_SEPARATOR);
  int32_t k = Settings().MsgPickMethod == PICK_RANDOM ? Random(n) : 0;
  std::string message;
  if (!NthField(MessageText, MESSAGE_SEPARATOR, k, message)) return;
  int32_t y = MESSAGE_Y;
  std::string line;
  for (int32_t j = 0; y < Img.Height && NthField(message, LINE_BREAK, j, line); ++j)
    y += DrawTextLine(Img, line, MESSAGE_X, y);
}

void FillAnimPalette(TPalette& Palette, int32_t First, uint32_t C1, int32_t Move, uint32_t C2) {
  auto put = [&](int32_t Index, uint8_t R, uint8_t G, uint8_t B) {
    if (Index < 0 || Index > 255) return;
    Palette[Index][0] = B, Palette[Index][1] = G, Palette[Index][2] = R;
  };
  auto mix = [&](int e, int Shift) {
    // Each product is divided on its own before the sum.
    return static_cast<uint8_t>(e * Channel(C2, Shift) / 9 + (9 - e) * Channel(C1, Shift) / 9);
  };
  for (int32_t i = 0; i < ANIM_COUNT; ++i) put(First + i, 0, 0, 0);
  if (Move == ANIM_SMOOTH) {
    for (int e = 0; e <= 9; ++e) {
      put(First + e, mix(e, 0), mix(e, 8), mix(e, 16));
      put(First + ANIM_COUNT - 1 - e, mix(e, 0), mix(e, 8), mix(e, 16));
    }
  } else if (Move == ANIM_VEGAS) {
    for (int32_t i = 0; i < ANIM_COUNT; ++i) {
      uint32_t c = ((i / 5) & 1) ? C1 : C2;
      put(First + i, Channel(c, 0), Channel(c, 8), Channel(c, 16));
    }
  }
}

void DrawAnimShape(TImg& Img, int32_t First, int32_t Shape, int32_t Move) {
  if (Img.BitsPerPixel != 8 || Img.Width <= 0 || Img.Height <= 0) return;
  int32_t w = Img.Width, h = Img.Height;
  if (Shape == ANIM_TOP) {
    PaintHorizontalBar(Img, 0, 0, w, BAR_THICKNESS, First, Move);
  } else if (Shape == ANIM_BOTTOM) {
    PaintHorizontalBar(Img, 0, h - BAR_THICKNESS, w, BAR_THICKNESS, First, Move);
  } else if (Shape == ANIM_VERTICAL) {
    PaintVerticalBar(Img, 0, 0, SIDE_BAR_WIDTH, h, First, Move);
    PaintVerticalBar(Img, w - SIDE_BAR_WIDTH, 0, SIDE_BAR_WIDTH, h, First, Move);
  }
}

bool WriteLogoFile(const std::string& LogoPath, TImg& Img, int32_t ImportantColours) {
  // The new logo is written whole before it takes the old one's place, so
  // a failure leaves the logo that was there.
  TDrive& drive = ManagedDrive();
  std::string scratch = drive.ScratchFile(LogoPath);
  if (scratch.empty()) return false;
  if (!WriteLogoTemp(scratch, Img, ImportantColours)) {
    ::unlink(scratch.c_str());
    return false;
  }
  return drive.InstallFile(scratch, LogoPath);
}

bool MakeLogo(const std::string& StoredPath, const std::string& LogoPath,
              const std::string& MessageText, bool Animate, bool DrawMessageOn) {
  if (StoredPath.empty() || LogoPath.empty()) return false;
  TImg img;
  if (!LoadStoredPicture(StoredPath, img)) return false;
  // Failures while composing end the composition silently: a logo is never
  // worth an error box in the middle of a shuffle at start-up.
  bool written = MonitoredKeep("LogoComposer.MakeLogo", [&] {
    int32_t important = ComposeLogo(img, TLogoRecipe{DrawMessageOn, MessageText, Animate});
    bool ok = WriteLogoFile(LogoPath, img, important);
    ImgFree(img);
    return ok;
  });
  ClearError();
  return written;
}

int32_t ComposeLogo(TImg& Img, const TLogoRecipe& Recipe) {
  const TSettings& s = Settings();
  if (Recipe.DrawMessage) DrawMessage(Img, Recipe.MessageText);
  if (!Recipe.Animate) return INVALID_ID;
  FillAnimPalette(Img.Palette, ANIM_FIRST, s.AnimColor1, s.AnimMove, s.AnimColor2);
  DrawAnimShape(Img, ANIM_FIRST, s.AnimShape, s.AnimMove);
  return ANIM_FIRST;
}

TLogoRecipe LogoRecipe(uint32_t Position) {
  TLogoRecipe r;
  int index = PositionIndex(Position);
  if (index < 0) return r;
  r.DrawMessage = Settings().MsgEnabled[index];
  if (r.DrawMessage) r.MessageText = GetMessages(Position);
  r.Animate = Position == POS_STARTUP && Settings().AnimEnabled;
  return r;
}

bool SetLogo(const std::string& StoredPath, uint32_t Position) {
  int index = PositionIndex(Position);
  if (StoredPath.empty() || index < 0) return false;
  std::string logoPath = GetLogoFile(Position);
  if (logoPath.empty()) {
    // A position without a file name has nowhere to go; backing it up
    // would only add an empty line to restore.bat at every change.
    ShowWarning("No logo file is chosen for the \"" + PositionCaption(Position) +
                "\" logo; it was not set.");
    return false;
  }
  TDriveLock lock(ManagedDrive());
  if (!lock.Held()) return false;
  // Refused before the backup, so that nothing at all is written.
  if (!ManagedDrive().CanWriteFile(logoPath)) return false;
  // A logo whose present state could not be saved (a full disk) is left
  // as it is: writing it would lose the one restore.bat brings back.
  if (!BackupLogo(logoPath)) return false;
  TLogoRecipe r = LogoRecipe(Position);
  return MakeLogo(StoredPath, logoPath, r.MessageText, r.Animate, r.DrawMessage);
}

// "Startup logo", "Wait and Turn off logos"; empty for no position.
static std::string LogosText(uint32_t Positions) {
  std::vector<std::string> names;
  for (uint32_t p : POSITIONS)
    if (Positions & p) names.push_back(p == POS_WAIT ? "Wait" : PositionCaption(p));
  if (names.empty()) return {};
  std::string list = names[0];
  for (size_t i = 1; i < names.size(); ++i)
    list += (i + 1 == names.size() ? " and " : ", ") + names[i];
  return list + (names.size() == 1 ? " logo" : " logos");
}

std::string LogosWrittenText(uint32_t Positions, const std::string& Where) {
  const std::string logos = LogosText(Positions);
  return logos.empty() ? "No logo was written." : logos + " written to " + Where + ".";
}

uint32_t SetSelectedAsLogo(const TListSelection& Sel) {
  const auto& entries = LogoList().Entries;
  if (Sel.Current < 0 || Sel.Current >= static_cast<int32_t>(entries.size())) {
    ShowError("No image selected.");
    return 0;
  }
  uint32_t positions = 0;
  const char* text =
      "Select one or more positions where you want to set this image. The logo will be "
      "generated immediately and you will see it on the next shut down (or startup).";
  if (!ExecPositionDialog(positions, text, TONE_PLAIN) || positions == 0) return 0;
  std::string path = GetStorageDir() + entries[static_cast<size_t>(Sel.Current)].FileName;
  TChangeLock changing;
  if (!changing.Held()) return 0;
  TDriveLock lock(ManagedDrive());
  if (!lock.Held()) {
    ShowError(ManagedDrive().LastError());
    return 0;
  }
  ProcessPending();
  ShowBusy();
  uint32_t written = 0;
  for (uint32_t p : POSITIONS)
    if ((positions & p) && SetLogo(path, p)) written |= p;
  // Recorded only when every chosen logo is in place.
  if (written == positions) {
    std::string names[3];
    for (uint32_t p : POSITIONS)
      if (written & p) names[PositionIndex(p)] = ExtractFileName(path);
    RememberLogoSources(names);
  }
  ShowReady();
  // Composing says nothing of its failures (a shuffle at start-up must not
  // stop on them); a Set the user asked for does.
  if (const uint32_t failed = positions & ~written) {
    const std::string why = ManagedDrive().LastError();
    ShowError("The " + LogosText(failed) + " could not be written" + (why.empty() ? "." : ": " + why));
  }
  if (written == 0) return 0;
  // A logo Windows will not show is the first thing to know when it never
  // appears; the status bar says either way.
  const TLogoSetting setting = ReadLogoSetting(ManagedDrive());
  ShowStatus(setting.Text, false);
  const std::string unseen = UnseenLogoWarning(setting, written);
  if (!unseen.empty()) ShowWarning(unseen);
  return written;
}

}  // namespace kvo

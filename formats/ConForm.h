// SPDX-License-Identifier: GPL-3.0-or-later
// The format layer's entry points: still pictures (ImgLoad, ImgSave), file
// descriptions (FFInfo), movies (MviOpen, MviImgLoad, MviClose) and the
// unified source through which any supported file is imported as one
// picture (UniInfo, UniOpen, UniImgLoad, UniClose).
//
// Each format is one row of a table of procedures; a reader plugs in by
// filling its row (see kProcs in ConForm.cpp). A format without a procedure
// is answered as the entry point answers an unknown format.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

#include "formats/FFBasic.h"
#include "image/IMGBasic.h"

namespace kvo {

// ---- movies ------------------------------------------------------------------------

// The common view of an open movie reader: where it keeps its frame count,
// current frame (1-based, 0 before the first), end-reached flag and frame
// flag (a new picture was delivered). A null pointer reads as 0.
struct TMviView {
  const int32_t* FrameCount = nullptr;
  const int32_t* CurFrame = nullptr;
  const int32_t* EndReached = nullptr;
  const int32_t* FrameFlag = nullptr;
  bool HasSound = false;
};

// One open movie (the record mf). Only the state block of `type` is set.
// State blocks are tracked memory, zero-filled before the reader's open, and
// released without running any code, so a reader's state is a plain record.
struct TMviFile {
  int32_t type = 0;
  void* GIF = nullptr;
  void* FLC = nullptr;
  void* AVI = nullptr;
  void* HAV = nullptr;
  void* MPG = nullptr;
  void* WAV = nullptr;
  void* OGG = nullptr;
  TMviView View;
};

// The procedures of one movie reader.
struct TMviReader {
  void* TMviFile::*Slot;   // the state pointer this reader uses
  const char* StateLabel;  // owner name of the state block
  int64_t StateSize;
  void (*Open)(void* State, const std::string& FileName);
  // Frame is 1-based (0: the next one); Mode bit 0: Img still holds the
  // frame last delivered from this file. Null for sound-only readers.
  void (*Load)(void* State, TImg& Img, int32_t Frame, int32_t Mode);
  void (*Close)(void* State);
  void (*View)(void* State, TMviView& View);
};

// The movie reader of a state record T from its typed procedures. Load is
// void (*)(T&, TImg&, int32_t Frame, int32_t Mode), or nullptr for a
// sound-only reader; View tells the movie layer where T keeps its frame
// count, current frame and frame flag. The record lives in a zero-filled
// block released without running code, so it must be plain data.
template <typename T, void (*Open)(T&, const std::string&), auto Load, void (*Close)(T&),
          void (*View)(T&, TMviView&)>
struct TMviAdapter {
  static_assert(std::is_trivially_copyable_v<T>, "the movie layer keeps it as plain bytes");
  static constexpr bool kSoundOnly = std::is_null_pointer_v<decltype(Load)>;
  static T& Of(void* S) { return *static_cast<T*>(S); }
  static void OpenS(void* S, const std::string& FileName) { Open(Of(S), FileName); }
  static void LoadS(void* S, TImg& Img, int32_t Frame, int32_t Mode) {
    if constexpr (!kSoundOnly) Load(Of(S), Img, Frame, Mode);
  }
  static void CloseS(void* S) { Close(Of(S)); }
  static void ViewS(void* S, TMviView& V) { View(Of(S), V); }
  static constexpr TMviReader Reader(void* TMviFile::*Slot, const char* Label) {
    return {Slot, Label, sizeof(T), OpenS, kSoundOnly ? nullptr : LoadS, CloseS, ViewS};
  }
};

// The procedures of one format; null where the format has none.
struct TFormatProcs {
  int32_t Id = 0;
  void (*Load)(const std::string& FileName, TImg& Img) = nullptr;
  void (*Save)(const std::string& FileName, TImg& Img) = nullptr;
  void (*Info)(const std::string& FileName, TFileInfo& Info) = nullptr;
  const TMviReader* Movie = nullptr;
  // Delivers the picture row by row to a feed, never holding it whole.
  TFFFeedProc Feed = nullptr;
};

// The reading format of a file: the one its extension names, else the one
// its content names (FFFormatOfFile); INVALID_ID when neither does.
int32_t FFReadFormatOf(const std::string& FileName);
// The row of a format identifier (nullptr outside 1 to 19).
const TFormatProcs* FFProcs(int32_t FormatId);
// Replaces the row of Procs.Id until ConDone; returns the row it replaced.
// Tests use it to stand a scripted reader in for one not written yet.
TFormatProcs FFSetProcs_(const TFormatProcs& Procs);

void MviOpen(TMviFile& Mf, const std::string& FileName, int32_t FormatId);
void MviImgLoad(TMviFile& Mf, TImg& Img, int32_t Frame, int32_t Mode);
void MviClose(TMviFile& Mf);

// ---- still pictures and descriptions -------------------------------------------------

// FormatId may be INVALID_ID: the extension names the format (reading table
// for loads and descriptions, writing table for saves); a file to read
// whose extension names none is taken by its content (FFReadFormatOf). Unknown formats:
// ImgLoad and ImgSave EG_IMG 2, FFInfo EG_MVI2 2.
void ImgLoad(const std::string& FileName, TImg& Img, int32_t FormatId);
void ImgSave(const std::string& FileName, TImg& Img, int32_t FormatId);
void FFInfo(const std::string& FileName, int32_t FormatId, TFileInfo& Info);

// ---- the unified source ----------------------------------------------------------------

// Kinds of source.
inline constexpr int32_t UNI_NONE = 0;
inline constexpr int32_t UNI_STILL = 1;
inline constexpr int32_t UNI_MOVIE = 3;  // movie or sound

struct TUniInfo {
  std::string FileName;
  int32_t FormatId = 0;
  int32_t Kind = UNI_NONE;
  std::string Description;
  int32_t FileSize = 0;
  int32_t AuxValue = 0;
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t BytesPerPixel = 0;
  int32_t BitsPerPixel = 0;
  int32_t FrameCount = 0;
  double FramesPerSecond = 0;
  std::string VideoCompression;
  int32_t VideoValid = 0;
  int32_t VideoLoadable = 0;
  // How a camera stored the picture, as Exif numbers it: 1 upright, 2 to 8
  // mirrored or turned (ImgOrient turns it back).
  int32_t Orientation = 1;
  TWaveFormatEx AudioFormat;
  TWaveFormatEx AudioOutFormat;
  int32_t AudioLength = 0;
  std::string AudioCompression;
  int32_t AudioValid = 0;
  int32_t AudioLoadable = 0;
  // Derived values.
  double VideoBytes = 0;     // Width x Height x BytesPerPixel x FrameCount
  double VideoDuration = 0;  // seconds
  double SampleRate = 0;     // of the decoded sound
  double Channels = 0;
  double BitsPerSample = 0;
  double BlockAlign = 0;
  double AudioBytes = 0;     // AudioLength x BlockAlign
  double AudioDuration = 0;  // seconds
};

struct TUniFile {
  TUniInfo Info;  // the source as UniInfo described it
  TMviFile Mvi;   // Kind 3 only
  int32_t CurFrame = 0;
  int32_t FrameFlag = 0;      // the last UniImgLoad delivered a picture
  double TimePos = 0;         // seconds from the start to the current frame
  uint8_t* SndBuf = nullptr;  // sound conversion buffer (tracked)
};

// Describes any supported file. The extension names the format to try
// first, or the file's signature when the extension names none; when that
// reader fails or finds nothing valid, the signature's format and then the
// other rows of the reading table are tried in order, so a file under the
// wrong extension is still recognised. A file whose extension is in no row
// and whose content carries no known signature is refused without probing.
// False on failure (the error is replaced by the warning EG_FILE 9).
// DetectSequences is accepted for the callers' sake; numbered sequences of
// still files are not recognised as movies.
bool UniInfo(const std::string& FileName, TUniInfo& Info, bool DetectSequences);
// Why a described picture that is not loadable cannot be: EG_IMG 12 when it
// is too large (its size recorded for the error's text), else EG_IMG 1.
int32_t UniRefusal(const TUniInfo& Info);
void UniOpen(TUniFile& Uni, const TUniInfo& Info);
void UniImgLoad(TUniFile& Uni, TImg& Img, int32_t Frame, int32_t Mode);
void UniClose(TUniFile& Uni);

// Clears the module's state at shutdown (and any stand-in rows of tests).
void ConDone();

}  // namespace kvo

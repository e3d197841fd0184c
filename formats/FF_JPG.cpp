// SPDX-License-Identifier: GPL-3.0-or-later
// JPEG files through libjpeg(-turbo).
//
// libjpeg reports a fatal error through error_exit, which must not return:
// ours keeps the message and long-jumps back to the setjmp of a small step
// function (JpegStart_, JpegPixels_, JpegEncode_) that holds no object with
// a destructor. The routines then fail by their result, and the format
// operations report "Cannot open image file." or "Cannot create image file.";
// the library's text is kept as a warning so the trace names the cause.
// Bytes come from and go to the tracked file layer through our own source
// and destination managers, which never raise.
//
// Tolerated: corrupt-data warnings (the picture decodes as libjpeg repairs
// it; the first warning is recorded). A file that ends before its end
// marker is an error, as is a progressive file of more than JPEG_MAX_SCANS
// scans (a known way to make decoding take minutes). CMYK and YCCK files are turned
// into RGB (inverted, as Adobe writes them, when the Adobe marker says so).
#include "formats/FF_JPG.h"

// jpeglib.h needs FILE and size_t declared before it.
#include <cstddef>
#include <cstdio>
// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <memory>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/FFLib.h"

namespace kvo {
namespace {

// Large enough that a photograph is read in few system calls.
constexpr int64_t JPEG_IO_BUFFER = 65536;
constexpr int JPEG_MAX_SCANS = 1000;
// Of an Exif segment, the bytes looked at: cameras put the first directory,
// which holds the orientation, at its start.
constexpr int64_t EXIF_READ_MAX = 4096;
constexpr uint16_t EXIF_ORIENTATION_TAG = 0x0112;
constexpr uint16_t TIFF_SHORT = 3;

struct TJpegError_ {
  jpeg_error_mgr Pub;  // first: libjpeg only sees this part
  jmp_buf Jump;
  char Text[FF_LIB_TEXT_MAX];
};

struct TJpegSource_ {
  jpeg_source_mgr Pub;
  int32_t File;
  uint8_t* Buffer;  // JPEG_IO_BUFFER bytes
};

struct TJpegDest_ {
  jpeg_destination_mgr Pub;
  int32_t File;
  uint8_t* Buffer;  // JPEG_IO_BUFFER bytes
};

struct TJpegRead_ {
  jpeg_decompress_struct Dec;
  TJpegError_ Error;
  TJpegSource_ Source;
  jpeg_progress_mgr Progress;
  uint8_t* Pixels;   // the caller's buffer; null when only the header is wanted
  TImgFeed* Feed;    // or the feed the rows go to
  uint8_t* CmykRow;  // one row of four-component samples, for CMYK files
  int32_t Width, Height, Components;
  int32_t Orientation;  // of the first Exif segment; 0 when there is none
  bool Supported;
};

struct TJpegWrite_ {
  jpeg_compress_struct Enc;
  TJpegError_ Error;
  TJpegDest_ Dest;
  const uint8_t* Pixels;
  int32_t Width, Height, Quality;
};

struct TJpegDecFree_ {
  void operator()(jpeg_decompress_struct* D) const noexcept { jpeg_destroy_decompress(D); }
};

struct TJpegEncFree_ {
  void operator()(jpeg_compress_struct* E) const noexcept { jpeg_destroy_compress(E); }
};

// ---- error and message hooks: called from libjpeg's frames, never raise ------

[[noreturn]] void JpegErrorExit_(j_common_ptr C) {
  auto* e = reinterpret_cast<TJpegError_*>(C->err);
  if (e->Text[0] == '\0') {
    char text[JMSG_LENGTH_MAX];
    (*C->err->format_message)(C, text);
    FFLibCopyText(e->Text, text);
  }
  std::longjmp(e->Jump, 1);
}

// Like the library's own: trace messages are dropped, and of the warnings
// (corrupt data) only the first is recorded, as a damaged file may give one
// for every block.
void JpegEmit_(j_common_ptr C, int Level) {
  if (Level >= 0) return;
  if (C->err->num_warnings++ != 0) return;
  char text[JMSG_LENGTH_MAX];
  (*C->err->format_message)(C, text);
  FFLibWarning(text, __LINE__);
}

void JpegProgress_(j_common_ptr C) {
  auto* d = reinterpret_cast<j_decompress_ptr>(C);
  if (d->input_scan_number <= JPEG_MAX_SCANS) return;
  auto* e = reinterpret_cast<TJpegError_*>(C->err);
  FFLibCopyText(e->Text, "Too many scans in the progressive JPEG file");
  std::longjmp(e->Jump, 1);
}

void InitError_(TJpegError_& E, jpeg_error_mgr*& Err) {
  Err = jpeg_std_error(&E.Pub);
  E.Pub.error_exit = JpegErrorExit_;
  E.Pub.emit_message = JpegEmit_;
  E.Text[0] = '\0';
}

// ---- source manager: the tracked file, read without raising ---------------------

void InitSource_(j_decompress_ptr) {}
void TermSource_(j_decompress_ptr) {}

boolean FillInput_(j_decompress_ptr C) {
  auto* s = reinterpret_cast<TJpegSource_*>(C->src);
  int64_t got = 0;
  FReadPart(s->File, s->Buffer, JPEG_IO_BUFFER, got);
  // The decoder asks for more only before it has met the end marker: the
  // file is cut short. (libjpeg's own file source would supply an end
  // marker and decode grey for the rest; a cut file is refused instead, as
  // Pillow refuses it, whether it lacks rows, scans or only the marker.)
  if (got <= 0) ERREXIT(C, JERR_INPUT_EOF);
  s->Pub.next_input_byte = s->Buffer;
  s->Pub.bytes_in_buffer = static_cast<size_t>(got);
  return TRUE;
}

void SkipInput_(j_decompress_ptr C, long Count) {
  auto* s = reinterpret_cast<TJpegSource_*>(C->src);
  if (Count <= 0) return;
  size_t left = static_cast<size_t>(Count);
  while (left > s->Pub.bytes_in_buffer) {
    left -= s->Pub.bytes_in_buffer;
    FillInput_(C);
  }
  s->Pub.next_input_byte += left;
  s->Pub.bytes_in_buffer -= left;
}

// ---- the Exif orientation --------------------------------------------------------

// The orientation (1 to 8) the first directory of an Exif segment gives; 0
// when the segment is not Exif, has none, or is damaged. A TIFF structure
// in either byte order follows the six bytes "Exif\0\0".
int32_t ExifOrientation_(const uint8_t* Seg, int64_t Size) {
  if (Size < 6 + 8 || std::memcmp(Seg, "Exif\0\0", 6) != 0) return 0;
  const uint8_t* t = Seg + 6;
  const int64_t n = Size - 6;
  const bool little = t[0] == 'I' && t[1] == 'I';
  if (!little && !(t[0] == 'M' && t[1] == 'M')) return 0;
  auto u16 = [&](int64_t At) -> uint32_t {
    return little ? t[At] | (t[At + 1] << 8) : (t[At] << 8) | t[At + 1];
  };
  auto u32 = [&](int64_t At) -> int64_t { return little ? u16(At) | (int64_t{u16(At + 2)} << 16)
                                                        : (int64_t{u16(At)} << 16) | u16(At + 2); };
  if (u16(2) != 42) return 0;
  const int64_t ifd = u32(4);
  if (ifd < 8 || ifd > n - 2) return 0;
  const int64_t entries = u16(ifd);
  for (int64_t i = 0, at = ifd + 2; i < entries && at <= n - 12; ++i, at += 12) {
    if (u16(at) != EXIF_ORIENTATION_TAG) continue;
    const uint32_t value = u16(at + 8);
    return u16(at + 2) == TIFF_SHORT && u32(at + 4) == 1 && value >= 1 && value <= 8
               ? static_cast<int32_t>(value) : 0;
  }
  return 0;
}

// One byte of the source. Ours never suspends: it fills or fails.
uint8_t NextByte_(j_decompress_ptr C) {
  if (C->src->bytes_in_buffer == 0) (*C->src->fill_input_buffer)(C);
  --C->src->bytes_in_buffer;
  return *C->src->next_input_byte++;
}

// Reads an APP1 segment in place of the library: the first Exif one gives
// the orientation, and no segment is held beyond its first bytes.
boolean ReadApp1_(j_decompress_ptr C) {
  auto* j = reinterpret_cast<TJpegRead_*>(C);
  int64_t length = int64_t{NextByte_(C)} << 8;
  length += NextByte_(C);
  length -= 2;
  if (length < 0) ERREXIT(C, JERR_BAD_LENGTH);
  uint8_t head[EXIF_READ_MAX];
  const int64_t kept = std::min(length, EXIF_READ_MAX);
  for (int64_t i = 0; i < kept; ++i) head[i] = NextByte_(C);
  if (length > kept) (*C->src->skip_input_data)(C, static_cast<long>(length - kept));
  if (j->Orientation == 0) j->Orientation = ExifOrientation_(head, kept);
  return TRUE;
}

void SetSource_(TJpegRead_& J) {
  J.Source.Pub.init_source = InitSource_;
  J.Source.Pub.fill_input_buffer = FillInput_;
  J.Source.Pub.skip_input_data = SkipInput_;
  J.Source.Pub.resync_to_restart = jpeg_resync_to_restart;
  J.Source.Pub.term_source = TermSource_;
  J.Progress.progress_monitor = JpegProgress_;
}

// ---- destination manager: the tracked file, written without raising -----------

bool PutBytes_(const TJpegDest_& D, int64_t Count) {
  return FFLibKept("FF_JPG.PutBytes_", [&] { FWrite(D.File, D.Buffer, Count); });
}

void InitDest_(j_compress_ptr C) {
  auto* d = reinterpret_cast<TJpegDest_*>(C->dest);
  d->Pub.next_output_byte = d->Buffer;
  d->Pub.free_in_buffer = JPEG_IO_BUFFER;
}

boolean EmptyOutput_(j_compress_ptr C) {
  auto* d = reinterpret_cast<TJpegDest_*>(C->dest);
  bool ok = PutBytes_(*d, JPEG_IO_BUFFER);
  if (!ok) ERREXIT(C, JERR_FILE_WRITE);
  InitDest_(C);
  return TRUE;
}

void TermDest_(j_compress_ptr C) {
  auto* d = reinterpret_cast<TJpegDest_*>(C->dest);
  bool ok = PutBytes_(*d, JPEG_IO_BUFFER - static_cast<int64_t>(d->Pub.free_in_buffer));
  if (!ok) ERREXIT(C, JERR_FILE_WRITE);
}

// ---- protected steps: nothing with a destructor lives in them -------------------

// Picks what libjpeg is to deliver: grey, blue-green-red, or CMYK that
// ConvertCmyk_ turns into blue-green-red.
void ChooseOutput_(TJpegRead_* J) {
  J->Supported = true;
  J->Components = 3;
  switch (J->Dec.jpeg_color_space) {
    case JCS_GRAYSCALE:
      J->Dec.out_color_space = JCS_GRAYSCALE;
      J->Components = 1;
      break;
    case JCS_YCbCr:
    case JCS_RGB:
      J->Dec.out_color_space = JCS_EXT_BGR;
      break;
    case JCS_CMYK:
    case JCS_YCCK:
      J->Dec.out_color_space = JCS_CMYK;
      break;
    default:
      J->Supported = false;
      break;
  }
}

int JpegStart_(TJpegRead_* J) {
  if (setjmp(J->Error.Jump)) return 1;
  jpeg_create_decompress(&J->Dec);
  J->Dec.src = &J->Source.Pub;
  J->Dec.progress = &J->Progress;
  J->Dec.mem->max_memory_to_use = FF_MAX_PICTURE_BYTES;
  jpeg_set_marker_processor(&J->Dec, JPEG_APP0 + 1, ReadApp1_);
  jpeg_read_header(&J->Dec, TRUE);
  ChooseOutput_(J);
  J->Width = static_cast<int32_t>(J->Dec.image_width);
  J->Height = static_cast<int32_t>(J->Dec.image_height);
  return 0;
}

void ConvertCmyk_(const uint8_t* In, int32_t Width, bool Inverted, uint8_t* Out) {
  int flip = Inverted ? 255 : 0;
  for (int32_t x = 0; x < Width; ++x, In += 4, Out += 3) {
    int notBlack = 255 - (In[3] ^ flip);
    for (int c = 0; c < 3; ++c) {
      int t = (In[c] ^ flip) * notBlack + 128;  // ink times (255 - black), / 255
      Out[2 - c] = static_cast<uint8_t>(notBlack - (((t >> 8) + t) >> 8));
    }
  }
}

int JpegPixels_(TJpegRead_* J) {
  if (setjmp(J->Error.Jump)) return 1;
  jpeg_start_decompress(&J->Dec);
  int64_t stride = static_cast<int64_t>(J->Width) * J->Components;
  while (J->Dec.output_scanline < J->Dec.output_height) {
    // Asked to stop: the rest is not decoded, and the library's records
    // go with the decompressor.
    if (J->Feed && ImgFeedStopped(*J->Feed)) return 0;
    uint8_t* out = J->Feed ? ImgFeedRow(*J->Feed) : J->Pixels + J->Dec.output_scanline * stride;
    JSAMPROW row = J->CmykRow ? J->CmykRow : out;
    if (jpeg_read_scanlines(&J->Dec, &row, 1) != 1) ERREXIT(&J->Dec, JERR_INPUT_EOF);
    if (J->CmykRow) ConvertCmyk_(J->CmykRow, J->Width, J->Dec.saw_Adobe_marker, out);
    if (J->Feed) ImgFeedPut(*J->Feed);  // never raises: it only computes
  }
  jpeg_finish_decompress(&J->Dec);
  return 0;
}

int JpegEncode_(TJpegWrite_* J) {
  if (setjmp(J->Error.Jump)) return 1;
  jpeg_create_compress(&J->Enc);
  J->Enc.dest = &J->Dest.Pub;
  J->Enc.image_width = static_cast<JDIMENSION>(J->Width);
  J->Enc.image_height = static_cast<JDIMENSION>(J->Height);
  J->Enc.input_components = 3;
  J->Enc.in_color_space = JCS_EXT_BGR;
  jpeg_set_defaults(&J->Enc);
  jpeg_set_quality(&J->Enc, J->Quality, TRUE);
  jpeg_start_compress(&J->Enc, TRUE);
  int64_t stride = static_cast<int64_t>(J->Width) * 3;
  while (J->Enc.next_scanline < J->Enc.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(J->Pixels + J->Enc.next_scanline * stride);
    jpeg_write_scanlines(&J->Enc, &row, 1);
  }
  jpeg_finish_compress(&J->Enc);
  return 0;
}

// ---- the routines' bodies, run in keeping frames --------------------------------

// Raises after a failed step, keeping libjpeg's text as a warning.
void JpegFailed_(const char* Text, int32_t Code, int Line) {
  if (Text && *Text) SetWarningText(EG_TEXT, Text, Line);
  SetError(EG_IMG, Code, Line);
}

// Opens the file and readies the library's records; when a later step
// fails, the caller's frame closes the file and releases the buffer.
void OpenRead_(const char* FileName, TJpegRead_& J) {
  FOpen(J.Source.File, FileName, FM_READ);
  _memalloc_(J.Source.Buffer, JPEG_IO_BUFFER, __LINE__, "FF_JPG.read_JPEG_file.buffer");
  InitError_(J.Error, J.Dec.err);
  SetSource_(J);
}

// The bytes of the coefficients a decoder must hold whole before the first
// row: those of every component, in blocks of 64 two-byte values, when the
// file comes in more than one scan (progressive, or components scanned one
// after the other). A file of one scan needs none of it.
int64_t HeldCoefficients_(jpeg_decompress_struct& D) {
  if (!jpeg_has_multiple_scans(&D)) return 0;
  int64_t bytes = 0;
  for (int i = 0; i < D.num_components; ++i) {
    const jpeg_component_info& c = D.comp_info[i];
    const int64_t h = std::max(c.h_samp_factor, 1), v = std::max(c.v_samp_factor, 1);
    const int64_t wide = (int64_t{c.width_in_blocks} + h - 1) / h * h;
    const int64_t high = (int64_t{c.height_in_blocks} + v - 1) / v * v;
    bytes += wide * high * DCTSIZE2 * int64_t{sizeof(JCOEF)};
  }
  return bytes;
}

// Decodes every row into J.Pixels or J.Feed.
void DecodeRows_(TJpegRead_& J) {
  if (J.Dec.out_color_space == JCS_CMYK)
    _memalloc_(J.CmykRow, static_cast<int64_t>(J.Width) * 4, __LINE__,
               "FF_JPG.read_JPEG_file.cmykRow");
  if (JpegPixels_(&J) != 0) JpegFailed_(J.Error.Text, 8, __LINE__);
  MemFree(J.CmykRow);
}

void CloseRead_(TJpegRead_& J, std::unique_ptr<jpeg_decompress_struct, TJpegDecFree_>& Library) {
  Library.reset();
  MemFree(J.Source.Buffer);
  FClose(J.Source.File);
}

void ReadFile_(const char* FileName, uint8_t* Pixels, int32_t& Width, int32_t& Height,
               int32_t& Components, int32_t* Orientation = nullptr) {
  TJpegRead_ j{};  // zero-filled, as libjpeg expects its records
  OpenRead_(FileName, j);
  std::unique_ptr<jpeg_decompress_struct, TJpegDecFree_> library(&j.Dec);
  if (JpegStart_(&j) != 0) JpegFailed_(j.Error.Text, 8, __LINE__);
  if (!j.Supported) JpegFailed_("JPEG colour space not supported", 8, __LINE__);
  if (Pixels) {
    if (j.Width != Width || j.Height != Height || j.Components != Components)
      JpegFailed_("The JPEG file changed while it was read", 8, __LINE__);
    j.Pixels = Pixels;
    DecodeRows_(j);
  }
  Width = j.Width;
  Height = j.Height;
  Components = j.Components;
  if (Orientation) *Orientation = j.Orientation ? j.Orientation : 1;
  CloseRead_(j, library);
}

// The header's geometry and orientation, in a keeping frame: false when
// the file cannot be read as a JPEG file.
bool ReadHeader_(const char* FileName, int32_t& Width, int32_t& Height, int32_t& Components,
                 int32_t& Orientation) {
  return FileName && FFLibKept("FF_JPG.info_JPEG_file", [&] {
           ReadFile_(FileName, nullptr, Width, Height, Components, &Orientation);
         });
}

void WriteFile_(const char* FileName, const uint8_t* Pixels, int32_t Width, int32_t Height,
                int32_t Quality) {
  if (!Pixels || Width <= 0 || Height <= 0) SetError(EG_IMG, 11, __LINE__);
  TJpegWrite_ j{};
  FOpen(j.Dest.File, FileName, FM_CREATE);
  _memalloc_(j.Dest.Buffer, JPEG_IO_BUFFER, __LINE__, "FF_JPG.write_JPEG_file.buffer");
  InitError_(j.Error, j.Enc.err);
  j.Dest.Pub.init_destination = InitDest_;
  j.Dest.Pub.empty_output_buffer = EmptyOutput_;
  j.Dest.Pub.term_destination = TermDest_;
  j.Pixels = Pixels;
  j.Width = Width;
  j.Height = Height;
  j.Quality = Limit(Quality, 0, 100);
  std::unique_ptr<jpeg_compress_struct, TJpegEncFree_> library(&j.Enc);
  if (JpegEncode_(&j) != 0) JpegFailed_(j.Error.Text, 11, __LINE__);
  library.reset();
  MemFree(j.Dest.Buffer);
  FClose(j.Dest.File);
}

}  // namespace

// ---- the JPEG routines ----------------------------------------------------------------

int32_t info_JPEG_file(const char* FileName, int32_t* Width, int32_t* Height,
                       int32_t* Components) {
  int32_t w = 0, h = 0, c = 0, orientation = 1;
  if (!ReadHeader_(FileName, w, h, c, orientation)) return 1;
  if (Width) *Width = w;
  if (Height) *Height = h;
  if (Components) *Components = c;
  return 0;
}

int32_t read_JPEG_file(const char* FileName, uint8_t* Pixels, int32_t* Width, int32_t* Height,
                       int32_t* Components) {
  if (!FileName || !Pixels || !Width || !Height || !Components) return 1;
  bool ok = FFLibKept("FF_JPG.read_JPEG_file",
                      [&] { ReadFile_(FileName, Pixels, *Width, *Height, *Components); });
  return ok ? 0 : 1;
}

int32_t write_JPEG_file(const char* FileName, const uint8_t* Pixels, int32_t Width,
                        int32_t Height, int32_t Quality) {
  bool ok = FileName && FFLibKept("FF_JPG.write_JPEG_file",
                                  [&] { WriteFile_(FileName, Pixels, Width, Height, Quality); });
  return ok ? 0 : 1;
}

// ---- format operations -----------------------------------------------------------------

void JPGInfo(const std::string& FileName, TFileInfo& Info) {
  Monitored("FF_JPG.JPGInfo", [&] {
    int32_t width = 0, height = 0, components = 0, orientation = 1;
    if (!ReadHeader_(FileName.c_str(), width, height, components, orientation))
      SetError(EG_IMG, 8, __LINE__);
    int32_t file = INVALID_ID;
    FOpen(file, FileName, FM_READ);
    Info.FileSize = FFClampSize(FSize(file));
    FClose(file);
    Info.Width = width;
    Info.Height = height;
    Info.BytesPerPixel = components;
    Info.BitsPerPixel = components * 8;
    Info.FrameCount = 1;
    Info.VideoCompression = "JFIF 1.02";
    Info.Orientation = orientation;
    Info.VideoValid = Info.VideoLoadable = width > 0 ? -1 : 0;
  });
}

void JPGLoad(const std::string& FileName, TImg& Img) {
  Monitored("FF_JPG.JPGLoad", [&] {
    TImgLoadGuard guard(Img);
    TFileInfo info;
    JPGInfo(FileName, info);
    FFCheckPictureSize(info.Width, info.Height, info.BitsPerPixel);
    _imgalloc_(Img, info.Width, info.Height, info.BitsPerPixel, __LINE__, "FF_JPG.JPGLoad.img");
    int32_t width = info.Width, height = info.Height, components = info.BytesPerPixel;
    if (read_JPEG_file(FileName.c_str(), Img.Data, &width, &height, &components) != 0)
      SetError(EG_IMG, 8, __LINE__);
    ImgSetDims(Img, width, height, components * 8);
    if (components == 1) PalGreyRamp(Img.Palette);
  });
}

// The rows go to the feed as they are decoded; the picture is never held
// whole. What is refused is what JPGLoad refuses, with the same errors.
void JPGLoadFed(const std::string& FileName, TImgFeed& Feed, const TImgFeedStarter& Start) {
  Monitored("FF_JPG.JPGLoadFed", [&] {
    TJpegRead_ j{};
    OpenRead_(FileName.c_str(), j);
    std::unique_ptr<jpeg_decompress_struct, TJpegDecFree_> library(&j.Dec);
    if (JpegStart_(&j) != 0) JpegFailed_(j.Error.Text, 8, __LINE__);
    if (!j.Supported) JpegFailed_("JPEG colour space not supported", 8, __LINE__);
    // Rows of a single scan come as they are decoded; a file of several
    // scans holds its coefficients, up to FF_MAX_HELD_BYTES.
    const int64_t held = HeldCoefficients_(j.Dec);
    FFCheckHeldBytes(j.Width, j.Height, held);
    j.Dec.mem->max_memory_to_use = std::max(FF_MAX_PICTURE_BYTES, held + FF_MAX_PICTURE_BYTES);
    TImg pal;
    if (j.Components == 1) PalGreyRamp(pal.Palette);
    FFStartFeed(Feed, Start, j.Width, j.Height, j.Components * 8, &pal.Palette);
    j.Feed = &Feed;
    DecodeRows_(j);
    CloseRead_(j, library);
    ImgFeedDone(Feed);
  });
}

void JPGSave(const std::string& FileName, TImg& Img) {
  Monitored("FF_JPG.JPGSave", [&] {
    TFFInit ffi;
    FFInit(FF_JPEG, ffi, Img);
    const TImg& img = *ffi.Img;
    if (write_JPEG_file(FileName.c_str(), img.Data, img.Width, img.Height, JPEG_QUALITY) != 0)
      SetError(EG_IMG, 11, __LINE__);
    FFDone(ffi);
  });
}

}  // namespace kvo

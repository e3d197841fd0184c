// SPDX-License-Identifier: GPL-3.0-or-later
// Inside the FFmpeg module: the open file and the owners of FFmpeg objects.
// Every FFmpeg object is held by a unique_ptr with its release function, so
// no path through the module frees by hand.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "formats/av/KvoAv.h"

namespace kvoav {

struct FormatFree {
  void operator()(AVFormatContext* P) const { avformat_close_input(&P); }
};
struct CodecFree {
  void operator()(AVCodecContext* P) const { avcodec_free_context(&P); }
};
struct FrameFree {
  void operator()(AVFrame* P) const { av_frame_free(&P); }
};
struct PacketFree {
  void operator()(AVPacket* P) const { av_packet_free(&P); }
};
struct SwsFree {
  void operator()(SwsContext* P) const { sws_freeContext(P); }
};
struct SwrFree {
  void operator()(SwrContext* P) const { swr_free(&P); }
};

using FormatPtr = std::unique_ptr<AVFormatContext, FormatFree>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using SwsPtr = std::unique_ptr<SwsContext, SwsFree>;
using SwrPtr = std::unique_ptr<SwrContext, SwrFree>;

// Opens Path with FFmpeg's AVI demuxer only (no probing: a picture under a
// wrong name must never pass for a movie). Streams other than Keep are
// discarded, so reading returns only Keep's packets.
int OpenAvi(const std::string& Path, int Keep, FormatPtr& Out);
// The first stream of the type, or -1.
int FirstStream(AVFormatContext* Fmt, AVMediaType Type);

// The video decoding state: frames are decoded in order; Last is the newest
// frame at or before the one asked for, Ahead one decoded past it and kept
// for the next call.
struct VideoState {
  CodecPtr Dec;
  PacketPtr Pkt;
  FramePtr Last, Ahead, Work;
  bool HaveLast = false, HaveAhead = false;
  int64_t LastPts = -1, AheadPts = -1;
  int64_t NextPts = 0;      // the frame number the decoder will produce next
  // Frames are numbered by the stamp of the packet that let them out, moved
  // by the decoder's delay: a decoder that reorders frames lets each one out
  // a packet or two late. The delay is measured once, on the first frame
  // decoded from the start of the stream (the first packet's frame).
  bool OffsetKnown = false;
  int64_t FirstDts = AV_NOPTS_VALUE;
  int64_t Offset = 0;
  bool InputEnded = false;  // the demuxer has no more packets
  int64_t Delivered = -1;   // the frame number the picture in Dib shows
  // Palettised streams carry their palette on the first packet and on the
  // packets where it changes; a seek does not bring it back. The palettes
  // seen so far are kept by packet stamp, and the one in force is put on
  // the first packet after a seek. Such a stream never seeks past the
  // packets read so far, so no palette change is ever skipped.
  std::vector<std::pair<int64_t, std::vector<uint8_t>>> Palettes;
  int64_t ReadUpTo = -1;    // the highest packet stamp read
  bool NeedPalette = false;
  bool TooManyPalettes = false;  // more changes than are kept: seek from the start
  std::vector<uint8_t> Dib;
  std::vector<uint8_t> Rows;  // a top-down scratch picture for conversions
  SwsPtr Sws;
};

}  // namespace kvoav

struct KvoAvFile {
  std::string Path;
  kvoav::FormatPtr Fmt;  // the video's demuxer
  int Video = -1;
  int Audio = -1;
  kvoav::VideoState V;
};

namespace kvoav {

int Streams(KvoAvFile* File, KvoAvStreams* Out);
int VideoOpen(KvoAvFile* File);
int VideoFrame(KvoAvFile* File, int64_t Index, const uint8_t** Dib, int64_t* DibSize);
int AudioHead(KvoAvFile* File, uint8_t* Dest, int64_t Capacity, int64_t* Got);
int AudioCodec(const KvoAvWave* Format, char* Name);
int AudioConvert(const KvoAvWave* Src, const uint8_t* SrcData, int64_t SrcLen, const KvoAvWave* Dst,
                 uint8_t* Dest, int64_t Capacity, int64_t* Written);
// Copies a text into a KVOAV_TEXT_MAX buffer.
void CopyText(char* Dest, const char* Src);

}  // namespace kvoav

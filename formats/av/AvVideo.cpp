// SPDX-License-Identifier: GPL-3.0-or-later
// AVI containers and their video inside the FFmpeg module: opening, the
// description of the streams, and frame N as a packed DIB.
//
// Frames are numbered as the AVI index numbers them: an AVI video stream's
// time base is one frame, so a packet's timestamp is its frame number (see
// VideoState for decoders that stamp frames late). A frame number with no
// data of its own (a dropped frame) shows the frame before it, as a player
// shows it.
#include <algorithm>
#include <cstring>

#include "formats/av/AvCommon.h"

namespace kvoav {

namespace {

// A decoder that fails on this many packets in a row has lost its way.
constexpr int kMaxBadPackets = 64;
// Palettes kept for seeking (1 KiB each); a stream that changes its
// palette more often than this goes back to its start to seek.
constexpr size_t kMaxPalettes = 1024;

void Put16(uint8_t* P, uint32_t V) {
  P[0] = static_cast<uint8_t>(V);
  P[1] = static_cast<uint8_t>(V >> 8);
}

void Put32(uint8_t* P, uint32_t V) {
  Put16(P, V & 0xFFFFu);
  Put16(P + 2, V >> 16);
}

}  // namespace

void CopyText(char* Dest, const char* Src) {
  if (!Src) Src = "";
  std::strncpy(Dest, Src, KVOAV_TEXT_MAX - 1);
  Dest[KVOAV_TEXT_MAX - 1] = '\0';
}

int FirstStream(AVFormatContext* Fmt, AVMediaType Type) {
  for (unsigned i = 0; i < Fmt->nb_streams; ++i)
    if (Fmt->streams[i]->codecpar->codec_type == Type) return static_cast<int>(i);
  return -1;
}

int OpenAvi(const std::string& Path, int Keep, FormatPtr& Out) {
  const AVInputFormat* avi = av_find_input_format("avi");
  if (!avi) return KVOAV_ERR_OPEN;
  AVFormatContext* raw = nullptr;
  // FFmpeg frees the context itself when the open fails.
  if (avformat_open_input(&raw, Path.c_str(), avi, nullptr) < 0) return KVOAV_ERR_OPEN;
  Out.reset(raw);
  for (unsigned i = 0; i < raw->nb_streams; ++i)
    raw->streams[i]->discard = static_cast<int>(i) == Keep ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
  return KVOAV_OK;
}

// ---- description -------------------------------------------------------------------

namespace {

void DescribeVideo(AVStream* St, KvoAvStreams* O) {
  const AVCodecParameters* p = St->codecpar;
  O->HasVideo = 1;
  O->VideoTag = p->codec_tag;
  O->Width = p->width;
  O->Height = p->height;
  O->BitCount = p->bits_per_coded_sample;
  O->FrameCount = St->nb_frames > 0 ? St->nb_frames : std::max<int64_t>(St->duration, 0);
  O->RateNum = St->time_base.den;
  O->RateDen = St->time_base.num;
  const AVCodec* c = avcodec_find_decoder(p->codec_id);
  CopyText(O->VideoCodec, c ? (c->long_name ? c->long_name : c->name) : "");
}

void DescribeAudio(AVStream* St, KvoAvStreams* O) {
  const AVCodecParameters* p = St->codecpar;
  O->HasAudio = 1;
  O->AudioTag = static_cast<uint16_t>(p->codec_tag);
  O->Channels = static_cast<uint16_t>(std::clamp(p->ch_layout.nb_channels, 0, 0xFFFF));
  O->SampleRate = static_cast<uint32_t>(std::max(p->sample_rate, 0));
  O->AvgBytes = static_cast<uint32_t>(std::clamp<int64_t>(p->bit_rate / 8, 0, UINT32_MAX));
  O->BlockAlign = static_cast<uint16_t>(std::clamp(p->block_align, 0, 0xFFFF));
  O->AudioBits = static_cast<uint16_t>(std::clamp(p->bits_per_coded_sample, 0, 0xFFFF));
  const int extra = std::clamp(p->extradata ? p->extradata_size : 0, 0, KVOAV_EXTRA_MAX);
  O->AudioExtraLen = static_cast<uint16_t>(extra);
  if (extra > 0) std::memcpy(O->AudioExtra, p->extradata, static_cast<size_t>(extra));
  const int64_t units = St->nb_frames > 0 ? St->nb_frames : std::max<int64_t>(St->duration, 0);
  O->AudioSeconds = static_cast<double>(units) * av_q2d(St->time_base);
}

}  // namespace

int Streams(KvoAvFile* F, KvoAvStreams* O) {
  std::memset(O, 0, sizeof *O);
  AVFormatContext* fmt = F->Fmt.get();
  if (F->Video >= 0) DescribeVideo(fmt->streams[F->Video], O);
  if (F->Audio >= 0) DescribeAudio(fmt->streams[F->Audio], O);
  return KVOAV_OK;
}

int VideoOpen(KvoAvFile* F) {
  if (F->Video < 0) return KVOAV_ERR_NOSTREAM;
  VideoState& v = F->V;
  if (v.Dec) return KVOAV_OK;
  AVStream* st = F->Fmt->streams[F->Video];
  const AVCodec* c = avcodec_find_decoder(st->codecpar->codec_id);
  if (!c) return KVOAV_ERR_NODECODER;
  CodecPtr ctx(avcodec_alloc_context3(c));
  v.Pkt.reset(av_packet_alloc());
  v.Last.reset(av_frame_alloc());
  v.Ahead.reset(av_frame_alloc());
  v.Work.reset(av_frame_alloc());
  if (!ctx || !v.Pkt || !v.Last || !v.Ahead || !v.Work) return KVOAV_ERR_MEMORY;
  if (avcodec_parameters_to_context(ctx.get(), st->codecpar) < 0) return KVOAV_ERR_NODECODER;
  // One thread: frame threads would hold frames back, and the program
  // decodes one picture at a time anyway.
  ctx->thread_count = 1;
  ctx->pkt_timebase = st->time_base;
  if (avcodec_open2(ctx.get(), c, nullptr) < 0) return KVOAV_ERR_NODECODER;
  v.Dec = std::move(ctx);
  return KVOAV_OK;
}

// ---- decoding in order ------------------------------------------------------------------

namespace {

// The key frame at or before frame Index (0 when the index knows none).
int64_t KeyBefore(AVStream* St, int64_t Index) {
  const int i = av_index_search_timestamp(St, Index, AVSEEK_FLAG_BACKWARD);
  const AVIndexEntry* e = i >= 0 ? avformat_index_get_entry(St, i) : nullptr;
  return e ? std::min(e->timestamp, Index) : 0;
}

void ForgetFrames(VideoState& V) {
  av_frame_unref(V.Last.get());
  av_frame_unref(V.Ahead.get());
  V.HaveLast = V.HaveAhead = false;
  V.LastPts = V.AheadPts = -1;
}

// Restarts decoding at the key frame Key. A file without an index to seek
// with (one cut short before its index) is opened again from the start.
int SeekTo(KvoAvFile* F, int64_t Key) {
  VideoState& v = F->V;
  if (av_seek_frame(F->Fmt.get(), F->Video, Key, AVSEEK_FLAG_BACKWARD) < 0) {
    FormatPtr fresh;
    if (OpenAvi(F->Path, F->Video, fresh) != KVOAV_OK) return KVOAV_ERR_OPEN;
    F->Fmt = std::move(fresh);
    Key = 0;
  }
  avcodec_flush_buffers(v.Dec.get());
  ForgetFrames(v);
  v.NextPts = Key;
  v.NeedPalette = !v.Palettes.empty();
  v.InputEnded = false;
  return KVOAV_OK;
}

// Notes the palette a packet carries, or gives the first packet after a
// seek the palette in force at its place.
void KeepPalette(VideoState& V) {
  AVPacket* pkt = V.Pkt.get();
  const int64_t at = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : V.ReadUpTo + 1;
  size_t size = 0;
  const uint8_t* pal = av_packet_get_side_data(pkt, AV_PKT_DATA_PALETTE, &size);
  if (pal && size >= AVPALETTE_SIZE) {
    auto it = std::find_if(V.Palettes.begin(), V.Palettes.end(),
                           [at](const auto& P) { return P.first >= at; });
    if (it != V.Palettes.end() && it->first == at)
      std::memcpy(it->second.data(), pal, AVPALETTE_SIZE);
    else if (V.Palettes.size() < kMaxPalettes)
      V.Palettes.insert(it, {at, std::vector<uint8_t>(pal, pal + AVPALETTE_SIZE)});
    else
      V.TooManyPalettes = true;
  } else if (V.NeedPalette) {
    const std::vector<uint8_t>* inForce = nullptr;
    for (const auto& p : V.Palettes)
      if (p.first <= at) inForce = &p.second;
    uint8_t* side = inForce ? av_packet_new_side_data(pkt, AV_PKT_DATA_PALETTE, AVPALETTE_SIZE)
                            : nullptr;
    if (side) std::memcpy(side, inForce->data(), AVPALETTE_SIZE);
  }
  V.NeedPalette = false;
  V.ReadUpTo = std::max(V.ReadUpTo, at);
}

// The next packet of the video stream into V.Pkt; false at the end.
bool ReadVideoPacket(KvoAvFile* F) {
  for (;;) {
    if (av_read_frame(F->Fmt.get(), F->V.Pkt.get()) < 0) return false;
    if (F->V.Pkt->stream_index == F->Video) {
      KeepPalette(F->V);
      return true;
    }
    av_packet_unref(F->V.Pkt.get());
  }
}

// The next decoded frame into V.Work; Got stays false when the stream
// holds no more.
int NextFrame(KvoAvFile* F, bool& Got) {
  VideoState& v = F->V;
  Got = false;
  int bad = 0;
  for (;;) {
    const int r = avcodec_receive_frame(v.Dec.get(), v.Work.get());
    if (r == 0) {
      Got = true;
      return KVOAV_OK;
    }
    if (r == AVERROR_EOF || (r == AVERROR(EAGAIN) && v.InputEnded)) return KVOAV_OK;
    if (r != AVERROR(EAGAIN) && ++bad > kMaxBadPackets) return KVOAV_ERR_DECODE;
    if (!ReadVideoPacket(F)) {
      v.InputEnded = true;
      avcodec_send_packet(v.Dec.get(), nullptr);  // drain what the decoder holds
      continue;
    }
    if (!v.OffsetKnown && v.FirstDts == AV_NOPTS_VALUE)
      v.FirstDts = v.Pkt->dts != AV_NOPTS_VALUE ? v.Pkt->dts : v.Pkt->pts;
    const int s = avcodec_send_packet(v.Dec.get(), v.Pkt.get());
    av_packet_unref(v.Pkt.get());
    if (s < 0 && s != AVERROR(EAGAIN) && ++bad > kMaxBadPackets) return KVOAV_ERR_DECODE;
  }
}

// Decodes on until Last is the newest frame at or before Index.
int DecodeUpTo(KvoAvFile* F, int64_t Index) {
  VideoState& v = F->V;
  for (;;) {
    if (v.HaveAhead) {
      if (v.AheadPts > Index) return KVOAV_OK;
      std::swap(v.Last, v.Ahead);
      av_frame_unref(v.Ahead.get());
      v.LastPts = v.AheadPts;
      v.HaveLast = true;
      v.HaveAhead = false;
      if (v.LastPts == Index) return KVOAV_OK;
      continue;
    }
    bool got = false;
    if (int s = NextFrame(F, got); s != KVOAV_OK) return s;
    if (!got) return KVOAV_OK;
    // The stamp of the packet that let the frame out (see VideoState):
    // guessed presentation stamps jump about after a seek.
    int64_t pts = v.Work->pkt_dts;
    if (!v.OffsetKnown)
      v.Offset = pts != AV_NOPTS_VALUE && v.FirstDts != AV_NOPTS_VALUE ? v.FirstDts - pts : 0;
    v.OffsetKnown = true;
    pts = pts == AV_NOPTS_VALUE ? v.NextPts : pts + v.Offset;
    v.NextPts = pts + 1;
    std::swap(v.Ahead, v.Work);
    av_frame_unref(v.Work.get());
    v.AheadPts = pts;
    v.HaveAhead = true;
  }
}

// Brings Last to frame Index. Going on from where decoding stands pays
// unless a key frame past the next frame lies closer to the one asked for
// (and decoding goes on from the start until the decoder's delay is known).
// When the frames right after a key frame cannot be decoded from it (they
// were coded against frames before it, and the decoder leaves them out),
// decoding starts again a key frame earlier.
int DecodeTo(KvoAvFile* F, int64_t Index) {
  VideoState& v = F->V;
  int64_t key = v.TooManyPalettes ? 0 : KeyBefore(F->Fmt->streams[F->Video], Index);
  const int64_t from = v.HaveLast ? v.LastPts : v.NextPts;
  const int64_t next = v.HaveAhead ? v.AheadPts : v.NextPts;
  // A palettised stream goes on reading rather than skip packets unread.
  const bool ahead = key > next && (v.Palettes.empty() || key <= v.ReadUpTo);
  bool seek = v.OffsetKnown && (Index < from || ahead);
  for (;;) {
    if (seek) {
      if (int s = SeekTo(F, key); s != KVOAV_OK) return s;
    }
    if (int s = DecodeUpTo(F, Index); s != KVOAV_OK) return s;
    const bool missed = !v.HaveLast && v.HaveAhead && v.AheadPts > Index;
    if (!seek || !missed || key <= 0) return KVOAV_OK;
    // SeekTo may have opened the file anew: the stream is looked up again.
    key = KeyBefore(F->Fmt->streams[F->Video], key - 1);
  }
}

// ---- the packed DIB -------------------------------------------------------------------

int DibBits(AVPixelFormat Fmt) {
  if (Fmt == AV_PIX_FMT_PAL8 || Fmt == AV_PIX_FMT_GRAY8) return 8;
  if (Fmt == AV_PIX_FMT_RGB555LE) return 16;
  return 24;
}

void PutHeader(uint8_t* P, int W, int H, int Bits, int64_t ImageBytes) {
  Put32(P, 40);
  Put32(P + 4, static_cast<uint32_t>(W));
  Put32(P + 8, static_cast<uint32_t>(H));  // positive: rows bottom-up
  Put16(P + 12, 1);
  Put16(P + 14, static_cast<uint32_t>(Bits));
  Put32(P + 16, 0);  // BI_RGB
  Put32(P + 20, static_cast<uint32_t>(ImageBytes));
  Put32(P + 32, Bits == 8 ? 256 : 0);
}

void PutPalette(uint8_t* P, const AVFrame* Fr) {
  for (int i = 0; i < 256; ++i) {
    uint8_t* q = P + 4 * i;
    if (Fr->format == AV_PIX_FMT_GRAY8) {
      q[0] = q[1] = q[2] = static_cast<uint8_t>(i);
    } else {
      // Entries are native 32-bit values 0xAARRGGBB.
      uint32_t c;
      std::memcpy(&c, Fr->data[1] + 4 * i, 4);
      q[0] = static_cast<uint8_t>(c);
      q[1] = static_cast<uint8_t>(c >> 8);
      q[2] = static_cast<uint8_t>(c >> 16);
    }
    q[3] = 0;
  }
}

// Any other pixel format becomes blue-green-red, top row first, in Rows.
int ToBgr(VideoState& V, const AVFrame* Fr, int64_t Stride) {
  const int w = Fr->width, h = Fr->height;
  V.Sws.reset(sws_getCachedContext(V.Sws.release(), w, h, static_cast<AVPixelFormat>(Fr->format),
                                   w, h, AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr,
                                   nullptr));
  if (!V.Sws) return KVOAV_ERR_DECODE;
  // Room past the last row: the converters may write whole vectors.
  V.Rows.assign(static_cast<size_t>(Stride * h + 64), 0);
  uint8_t* dst[4] = {V.Rows.data(), nullptr, nullptr, nullptr};
  int dstStride[4] = {static_cast<int>(Stride), 0, 0, 0};
  if (sws_scale(V.Sws.get(), Fr->data, Fr->linesize, 0, h, dst, dstStride) != h)
    return KVOAV_ERR_DECODE;
  return KVOAV_OK;
}

int MakeDib(VideoState& V, const AVFrame* Fr) {
  const int w = Fr->width, h = Fr->height;
  if (w <= 0 || h <= 0 || w > 32767 || h > 32767) return KVOAV_ERR_DECODE;
  const int bits = DibBits(static_cast<AVPixelFormat>(Fr->format));
  const int64_t rowLen = int64_t{w} * (bits / 8);
  const int64_t stride = (rowLen + 3) / 4 * 4;
  const int64_t palBytes = bits == 8 ? 1024 : 0;
  V.Dib.assign(static_cast<size_t>(40 + palBytes + stride * h), 0);
  PutHeader(V.Dib.data(), w, h, bits, stride * h);
  if (bits == 8) PutPalette(V.Dib.data() + 40, Fr);
  const uint8_t* src = Fr->data[0];
  int64_t srcStride = Fr->linesize[0];
  if (bits == 24) {
    const int64_t scratch = (rowLen + 31) / 32 * 32;
    if (int s = ToBgr(V, Fr, scratch); s != KVOAV_OK) return s;
    src = V.Rows.data();
    srcStride = scratch;
  }
  uint8_t* pixels = V.Dib.data() + 40 + palBytes;
  for (int y = 0; y < h; ++y)
    std::memcpy(pixels + (h - 1 - y) * stride, src + y * srcStride, static_cast<size_t>(rowLen));
  return KVOAV_OK;
}

}  // namespace

int VideoFrame(KvoAvFile* F, int64_t Index, const uint8_t** Dib, int64_t* DibSize) {
  *Dib = nullptr;
  *DibSize = 0;
  VideoState& v = F->V;
  if (!v.Dec) return KVOAV_ERR_NODECODER;
  if (Index < 0) return KVOAV_ERR_RANGE;
  if (v.Delivered != Index || v.Dib.empty()) {
    v.Delivered = -1;
    if (int s = DecodeTo(F, Index); s != KVOAV_OK) return s;
    // Nothing at or before the frame, or the stream ended before it.
    if (!v.HaveLast || (v.LastPts < Index && !v.HaveAhead)) return KVOAV_ERR_RANGE;
    if (int s = MakeDib(v, v.Last.get()); s != KVOAV_OK) return s;
    v.Delivered = Index;
  }
  *Dib = v.Dib.data();
  *DibSize = static_cast<int64_t>(v.Dib.size());
  return KVOAV_OK;
}

}  // namespace kvoav

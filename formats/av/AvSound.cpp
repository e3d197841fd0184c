// SPDX-License-Identifier: GPL-3.0-or-later
// Sound inside the FFmpeg module: the decoder for a wave format, conversion
// of stored sound to PCM, and the first bytes of an AVI file's audio.
//
// A wave format tag names its decoder the way FFmpeg's WAV and AVI readers
// name it (their table of RIFF tags); PCM and IEEE float take the decoder
// of their sample size. The destination is always PCM of 1 to 4 bytes a
// sample; libswresample changes sample format, rate and channels.
#include <algorithm>
#include <cstring>

#include "formats/av/AvCommon.h"

namespace kvoav {

namespace {

constexpr uint16_t kTagPcm = 1;
constexpr uint16_t kTagFloat = 3;
constexpr uint16_t kTagExtensible = 0xFFFE;
// WAVE_FORMAT_EXTENSIBLE's own fields before the codec's extra bytes:
// valid bits, channel mask, sub-format GUID (whose first word is a tag).
constexpr int kExtensibleBytes = 22;

// The tag that names the codec: an extensible format's sub-format.
uint16_t CodecTag(const KvoAvWave& W) {
  if (W.Tag == kTagExtensible && W.Extra && W.ExtraLen >= kExtensibleBytes)
    return static_cast<uint16_t>(W.Extra[6] | (W.Extra[7] << 8));
  return W.Tag;
}

int ContainerBytes(const KvoAvWave& W) { return W.Channels ? W.BlockAlign / W.Channels : 0; }

AVCodecID WaveCodecId(const KvoAvWave& W) {
  const uint16_t tag = CodecTag(W);
  if (tag == kTagPcm) {
    switch (ContainerBytes(W)) {
      case 1: return AV_CODEC_ID_PCM_U8;
      case 2: return AV_CODEC_ID_PCM_S16LE;
      case 3: return AV_CODEC_ID_PCM_S24LE;
      case 4: return AV_CODEC_ID_PCM_S32LE;
      default: return AV_CODEC_ID_NONE;
    }
  }
  if (tag == kTagFloat) {
    switch (ContainerBytes(W)) {
      case 4: return AV_CODEC_ID_PCM_F32LE;
      case 8: return AV_CODEC_ID_PCM_F64LE;
      default: return AV_CODEC_ID_NONE;
    }
  }
  if (tag == kTagExtensible) return AV_CODEC_ID_NONE;  // no sub-format given
  const AVCodecTag* const tables[] = {avformat_get_riff_audio_tags(), nullptr};
  return av_codec_get_id(tables, tag);
}

// The codec's own extra bytes (past an extensible format's fields).
void ExtraBytes(const KvoAvWave& W, const uint8_t*& P, int& N) {
  P = W.Extra;
  N = W.Extra ? W.ExtraLen : 0;
  if (W.Tag == kTagExtensible) {
    const int skip = std::min(N, kExtensibleBytes);
    P += skip;
    N -= skip;
  }
}

int OpenDecoder(const KvoAvWave& W, CodecPtr& Out) {
  const AVCodec* c = avcodec_find_decoder(WaveCodecId(W));
  if (!c) return KVOAV_ERR_NODECODER;
  CodecPtr ctx(avcodec_alloc_context3(c));
  if (!ctx) return KVOAV_ERR_MEMORY;
  ctx->sample_rate = static_cast<int>(std::min<uint32_t>(W.Rate, INT32_MAX));
  av_channel_layout_default(&ctx->ch_layout, W.Channels);
  ctx->block_align = W.BlockAlign;
  ctx->bits_per_coded_sample = W.Bits;
  ctx->bit_rate = int64_t{W.AvgBytes} * 8;
  ctx->codec_tag = CodecTag(W);
  ctx->thread_count = 1;
  const uint8_t* extra = nullptr;
  int extraLen = 0;
  ExtraBytes(W, extra, extraLen);
  if (extraLen > 0) {
    const size_t room = static_cast<size_t>(extraLen) + AV_INPUT_BUFFER_PADDING_SIZE;
    ctx->extradata = static_cast<uint8_t*>(av_mallocz(room));
    if (!ctx->extradata) return KVOAV_ERR_MEMORY;
    std::memcpy(ctx->extradata, extra, static_cast<size_t>(extraLen));
    ctx->extradata_size = extraLen;
  }
  if (avcodec_open2(ctx.get(), c, nullptr) < 0) return KVOAV_ERR_NODECODER;
  Out = std::move(ctx);
  return KVOAV_OK;
}

// PCM of 1 to 4 bytes a sample, with a consistent block alignment.
bool PcmTarget(const KvoAvWave& W, AVSampleFormat& Fmt) {
  const int bytes = ContainerBytes(W);
  if (W.Tag != kTagPcm || W.Channels < 1 || W.Channels > 64 || W.Rate < 1 || W.Rate > 1000000 ||
      bytes < 1 || bytes > 4 || W.BlockAlign != W.Channels * bytes)
    return false;
  Fmt = bytes == 1 ? AV_SAMPLE_FMT_U8 : bytes == 2 ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_S32;
  return true;
}

// Resamples decoded frames into the caller's buffer.
struct Output {
  const KvoAvWave& Dst;
  AVSampleFormat Fmt;
  uint8_t* Dest;
  int64_t Capacity;
  int64_t& Written;
  SwrPtr Swr;
  AVChannelLayout InLayout{};
  int InFormat = -1, InRate = 0;
  std::vector<uint8_t> Tmp;

  Output(const KvoAvWave& D, AVSampleFormat F, uint8_t* To, int64_t Cap, int64_t& N)
      : Dst(D), Fmt(F), Dest(To), Capacity(Cap), Written(N) {}
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  ~Output() { av_channel_layout_uninit(&InLayout); }

  int Setup(const AVFrame* Fr) {
    AVChannelLayout in{}, out{};
    if (Fr->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
      av_channel_layout_default(&in, Fr->ch_layout.nb_channels);
    else if (av_channel_layout_copy(&in, &Fr->ch_layout) < 0)
      return KVOAV_ERR_MEMORY;
    av_channel_layout_default(&out, Dst.Channels);
    SwrContext* raw = nullptr;
    int r = swr_alloc_set_opts2(&raw, &out, Fmt, static_cast<int>(Dst.Rate), &in,
                                static_cast<AVSampleFormat>(Fr->format), Fr->sample_rate, 0,
                                nullptr);
    Swr.reset(raw);
    av_channel_layout_uninit(&out);
    av_channel_layout_uninit(&InLayout);
    InLayout = in;
    InFormat = Fr->format;
    InRate = Fr->sample_rate;
    if (r < 0 || !Swr || swr_init(Swr.get()) < 0) return KVOAV_ERR_FORMAT;
    return KVOAV_OK;
  }

  // Appends N converted sample frames from Tmp.
  int Emit(int N) {
    const int64_t bytes = int64_t{N} * Dst.BlockAlign;
    if (bytes > Capacity - Written) return KVOAV_ERR_SPACE;
    uint8_t* to = Dest + Written;
    if (ContainerBytes(Dst) == 3) {
      // Three-byte samples: the top three bytes of each 32-bit one.
      const int64_t samples = int64_t{N} * Dst.Channels;
      for (int64_t i = 0; i < samples; ++i) std::memcpy(to + 3 * i, Tmp.data() + 4 * i + 1, 3);
    } else if (bytes > 0) {
      std::memcpy(to, Tmp.data(), static_cast<size_t>(bytes));
    }
    Written += bytes;
    return KVOAV_OK;
  }

  int Convert(const uint8_t** In, int InSamples) {
    const int room = swr_get_out_samples(Swr.get(), InSamples);
    if (room < 0) return KVOAV_ERR_FORMAT;
    Tmp.resize(static_cast<size_t>(room + 1) * Dst.Channels * av_get_bytes_per_sample(Fmt));
    uint8_t* out[1] = {Tmp.data()};
    const int n = swr_convert(Swr.get(), out, room + 1, In, InSamples);
    return n < 0 ? KVOAV_ERR_FORMAT : Emit(n);
  }

  int Put(const AVFrame* Fr) {
    if (!Swr) {
      if (int s = Setup(Fr); s != KVOAV_OK) return s;
    } else if (Fr->format != InFormat || Fr->sample_rate != InRate ||
               Fr->ch_layout.nb_channels != InLayout.nb_channels) {
      return KVOAV_ERR_DECODE;  // the stream changed its shape midway
    }
    return Convert(const_cast<const uint8_t**>(Fr->extended_data), Fr->nb_samples);
  }

  int Flush() {
    if (!Swr) return KVOAV_OK;
    for (;;) {
      const int64_t before = Written;
      if (int s = Convert(nullptr, 0); s != KVOAV_OK) return s;
      if (Written == before) return KVOAV_OK;
    }
  }
};

// Sends one packet (nullptr: the end) and converts what comes out.
int SendAndDrain(AVCodecContext* Dec, const AVPacket* Pkt, AVFrame* Fr, Output& Out) {
  const int s = avcodec_send_packet(Dec, Pkt);
  if (s < 0 && s != AVERROR_EOF) return KVOAV_ERR_DECODE;
  for (;;) {
    const int r = avcodec_receive_frame(Dec, Fr);
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return KVOAV_OK;
    if (r < 0) return KVOAV_ERR_DECODE;
    const int p = Out.Put(Fr);
    av_frame_unref(Fr);
    if (p != KVOAV_OK) return p;
  }
}

// Feeds whole blocks: one block a packet for block codecs, about 4 KiB of
// them for sample-sized blocks. A codec with a parser (MPEG audio, whose
// frames do not follow the blocks) gets its frames cut out first.
int Feed(AVCodecContext* Dec, const uint8_t* Data, int64_t Len, int BlockAlign, Output& Out) {
  PacketPtr pkt(av_packet_alloc());
  FramePtr fr(av_frame_alloc());
  if (!pkt || !fr) return KVOAV_ERR_MEMORY;
  std::unique_ptr<AVCodecParserContext, void (*)(AVCodecParserContext*)> parser(
      av_parser_init(Dec->codec_id), av_parser_close);
  const int64_t step = BlockAlign >= 64 ? BlockAlign : int64_t{BlockAlign} * (4096 / BlockAlign);
  for (int64_t at = 0; at < Len;) {
    const int n = static_cast<int>(std::min(step, Len - at));
    if (parser) {
      uint8_t* outData = nullptr;
      int outSize = 0;
      const int used = av_parser_parse2(parser.get(), Dec, &outData, &outSize, Data + at, n,
                                        AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
      if (used < 0) return KVOAV_ERR_DECODE;
      at += used;
      if (outSize == 0) {
        if (used == 0) break;
        continue;
      }
      if (av_new_packet(pkt.get(), outSize) < 0) return KVOAV_ERR_MEMORY;
      std::memcpy(pkt->data, outData, static_cast<size_t>(outSize));
    } else {
      if (av_new_packet(pkt.get(), n) < 0) return KVOAV_ERR_MEMORY;
      std::memcpy(pkt->data, Data + at, static_cast<size_t>(n));
      at += n;
    }
    const int s = SendAndDrain(Dec, pkt.get(), fr.get(), Out);
    av_packet_unref(pkt.get());
    if (s != KVOAV_OK) return s;
  }
  if (parser) {  // the frame the parser still holds
    uint8_t* outData = nullptr;
    int outSize = 0;
    av_parser_parse2(parser.get(), Dec, &outData, &outSize, nullptr, 0, AV_NOPTS_VALUE,
                     AV_NOPTS_VALUE, 0);
    if (outSize > 0) {
      if (av_new_packet(pkt.get(), outSize) < 0) return KVOAV_ERR_MEMORY;
      std::memcpy(pkt->data, outData, static_cast<size_t>(outSize));
      const int s = SendAndDrain(Dec, pkt.get(), fr.get(), Out);
      av_packet_unref(pkt.get());
      if (s != KVOAV_OK) return s;
    }
  }
  return SendAndDrain(Dec, nullptr, fr.get(), Out);
}

}  // namespace

int AudioCodec(const KvoAvWave* Format, char* Name) {
  CopyText(Name, "");
  const AVCodec* c = Format ? avcodec_find_decoder(WaveCodecId(*Format)) : nullptr;
  if (!c) return KVOAV_ERR_NODECODER;
  CopyText(Name, c->long_name ? c->long_name : c->name);
  return KVOAV_OK;
}

int AudioConvert(const KvoAvWave* Src, const uint8_t* SrcData, int64_t SrcLen, const KvoAvWave* Dst,
                 uint8_t* Dest, int64_t Capacity, int64_t* Written) {
  if (!Written) return KVOAV_ERR_ARGUMENT;
  *Written = 0;
  if (!Src || !Dst || SrcLen < 0 || Capacity < 0 || (!SrcData && SrcLen) || (!Dest && Capacity))
    return KVOAV_ERR_ARGUMENT;
  AVSampleFormat fmt = AV_SAMPLE_FMT_NONE;
  if (!PcmTarget(*Dst, fmt)) return KVOAV_ERR_FORMAT;
  if (Src->Channels < 1 || Src->Channels > 64 || Src->Rate < 1 || Src->BlockAlign < 1)
    return KVOAV_ERR_FORMAT;
  CodecPtr dec;
  if (int s = OpenDecoder(*Src, dec); s != KVOAV_OK) return s;
  Output out(*Dst, fmt, Dest, Capacity, *Written);
  const int64_t whole = SrcLen - SrcLen % Src->BlockAlign;
  if (int s = Feed(dec.get(), SrcData, whole, Src->BlockAlign, out); s != KVOAV_OK) return s;
  return out.Flush();
}

int AudioHead(KvoAvFile* F, uint8_t* Dest, int64_t Capacity, int64_t* Got) {
  *Got = 0;
  if (F->Audio < 0) return KVOAV_ERR_NOSTREAM;
  if (Capacity < 0 || (!Dest && Capacity)) return KVOAV_ERR_ARGUMENT;
  // A demuxer of its own, so the video's reading position stays as it is.
  FormatPtr fmt;
  if (int s = OpenAvi(F->Path, F->Audio, fmt); s != KVOAV_OK) return s;
  PacketPtr pkt(av_packet_alloc());
  if (!pkt) return KVOAV_ERR_MEMORY;
  while (*Got < Capacity && av_read_frame(fmt.get(), pkt.get()) >= 0) {
    if (pkt->stream_index == F->Audio && pkt->size > 0) {
      const int64_t n = std::min<int64_t>(pkt->size, Capacity - *Got);
      std::memcpy(Dest + *Got, pkt->data, static_cast<size_t>(n));
      *Got += n;
    }
    av_packet_unref(pkt.get());
  }
  return KVOAV_OK;
}

}  // namespace kvoav

// SPDX-License-Identifier: GPL-3.0-or-later
// The "Best" palette reduction through libimagequant. See PalBest.h.
#include "image/PalBest.h"

#include <dlfcn.h>
#include <libimagequant.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "base/Basic.h"
#include "base/Errors.h"

namespace kvo {
namespace {

struct TLiqDeleter {
  void operator()(liq_attr* P) const { liq_attr_destroy(P); }
  void operator()(liq_image* P) const { liq_image_destroy(P); }
  void operator()(liq_result* P) const { liq_result_destroy(P); }
};
template <class T>
using TLiq = std::unique_ptr<T, TLiqDeleter>;

// libimagequant may run its loops on OpenMP threads. On a picture of the
// logo's size that gains little, and on a machine busy with other work the
// threads' waits for each other make it several times slower than one
// thread alone (measured: 230 ms against 90 ms on two busy cores). One
// thread also makes the same choices on every machine: libimagequant's
// settings for a speed depend on the thread count it sees. The calling
// thread asks the OpenMP runtime libimagequant brought along, when there is
// one, for a single thread while it reduces, and gives back what it had.
class TSingleThread {
 public:
  TSingleThread() {
    get_ = reinterpret_cast<int (*)()>(dlsym(RTLD_DEFAULT, "omp_get_max_threads"));
    set_ = reinterpret_cast<void (*)(int)>(dlsym(RTLD_DEFAULT, "omp_set_num_threads"));
    if (!get_ || !set_) return;
    before_ = get_();
    set_(1);
  }
  ~TSingleThread() {
    if (get_ && set_) set_(before_);
  }
  TSingleThread(const TSingleThread&) = delete;
  TSingleThread& operator=(const TSingleThread&) = delete;

 private:
  int (*get_)() = nullptr;
  void (*set_)(int) = nullptr;
  int before_ = 1;
};

// A failure of the library: out of memory as the memory layer says it,
// anything else in the library's own words.
void LiqFailed(liq_error Error, int Line) {
  if (Error == LIQ_OUT_OF_MEMORY) SetError(EG_MEM, 1, Line);
  SetErrorText(EG_TEXT, "Palette reduction failed (libimagequant error " +
                            std::to_string(static_cast<int>(Error)) + ").",
               Line);
}

// Src's pixels as red, green, blue, opaque: the order libimagequant reads.
void ToOpaqueRgba(const TImg& Src, TImg& Rgba) {
  const int64_t rowBytes = int64_t{Src.Width} * Src.BytesPerPixel;
  uint8_t* bgr = nullptr;
  _memalloc_(bgr, int64_t{Src.Width} * 3, __LINE__, "PalBest.ToOpaqueRgba.row");
  for (int32_t y = 0; y < Src.Height; ++y) {
    ImgRowTo24(Src.Data + y * rowBytes, Src.BitsPerPixel, Src.Palette, Src.Width, bgr);
    uint8_t* out = Rgba.Data + int64_t{y} * Src.Width * 4;
    for (int32_t x = 0; x < Src.Width; ++x, out += 4) {
      out[0] = bgr[3 * x + 2];
      out[1] = bgr[3 * x + 1];
      out[2] = bgr[3 * x];
      out[3] = 255;
    }
  }
  MemFree(bgr);
}

TLiq<liq_attr> MakeAttr(int32_t Colors, const TBestTuning& Tuning) {
  TLiq<liq_attr> attr(liq_attr_create());
  if (!attr) SetError(EG_MEM, 1, __LINE__);
  liq_error e = liq_set_max_colors(attr.get(), Colors);
  if (e == LIQ_OK) e = liq_set_speed(attr.get(), Limit(Tuning.Speed, 1, 10));
  if (e == LIQ_OK) e = liq_set_quality(attr.get(), 0, Limit(Tuning.MaxQuality, 0, 100));
  // Posterisation rounds the palette to fewer bits, for displays of 16-bit
  // colour; here it would only add error.
  if (e == LIQ_OK) e = liq_set_min_posterization(attr.get(), 0);
  if (e != LIQ_OK) LiqFailed(e, __LINE__);
  return attr;
}

}  // namespace

void PalReduceBest(const TImg& Src, TImg& Dest, int32_t Colors, const TBestTuning& Tuning) {
  Monitored("PalBest.PalReduceBest", [&] {
    ImgCheck(Src, __LINE__);
    Colors = Limit(Colors, 2, 256);
    TImg rgba;
    _imgalloc_(rgba, Src.Width, Src.Height, 32, __LINE__, "PalBest.PalReduceBest.rgba");
    ToOpaqueRgba(Src, rgba);
    _imgalloc_(Dest, Src.Width, Src.Height, 8, __LINE__, "PalBest.PalReduceBest.dest");
    std::memset(Dest.Palette, 0, sizeof Dest.Palette);

    TSingleThread oneThread;
    TLiq<liq_attr> attr = MakeAttr(Colors, Tuning);
    TLiq<liq_image> image(
        liq_image_create_rgba(attr.get(), rgba.Data, Src.Width, Src.Height, 0));
    if (!image) SetError(EG_MEM, 1, __LINE__);
    liq_result* raw = nullptr;
    liq_error e = liq_image_quantize(image.get(), attr.get(), &raw);
    TLiq<liq_result> result(raw);
    if (e != LIQ_OK) LiqFailed(e, __LINE__);
    e = liq_set_dithering_level(result.get(), std::clamp(Tuning.DitherLevel, 0.0f, 1.0f));
    if (e == LIQ_OK)
      e = liq_write_remapped_image(result.get(), image.get(), Dest.Data,
                                   static_cast<size_t>(Src.Width) * Src.Height);
    if (e != LIQ_OK) LiqFailed(e, __LINE__);
    const liq_palette* pal = liq_get_palette(result.get());
    for (unsigned i = 0; i < pal->count && i < 256; ++i) {
      Dest.Palette[i][0] = pal->entries[i].b;
      Dest.Palette[i][1] = pal->entries[i].g;
      Dest.Palette[i][2] = pal->entries[i].r;
    }
    ImgFree(rgba);
  });
}

}  // namespace kvo

// SPDX-License-Identifier: GPL-3.0-or-later
// The GIF reader decoding every frame of a file, measured as a whole
// process against giflib: the full scan of GIFOpen, then every frame
// decoded and composed onto the logical screen with GIFLoadNext.
//
// Usage: kvo_gif_frames FILE
// Prints the frame count and the logical screen's size.
#include <cstdio>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/ConForm.h"
#include "formats/FF_GIF.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  kvo::TGIFFile gf;
  kvo::TImg img;
  kvo::MonitoredKeep("bench.GifFrames", [&] {
    kvo::GIFOpen(gf, argv[1], 0);
    while (gf.CurFrame < gf.FrameCount) kvo::GIFLoadNext(gf, img);
    kvo::GIFClose(gf);
  });
  const bool ok = kvo::NoError();
  if (ok) std::printf("%d frames, %dx%d\n", gf.FrameCount, gf.Width, gf.Height);
  else std::fprintf(stderr, "%s\n", kvo::LastErrorText().c_str());
  kvo::ImgFree(img);
  kvo::ConDone();
  kvo::BasicFinalize();
  kvo::ErrorsFinalize();
  return ok ? 0 : 1;
}

// SPDX-License-Identifier: GPL-3.0-or-later
/* giflib decoding every frame of a GIF file (DGifSlurp), the peer the GIF
 * reader is measured against as a whole process.
 *
 * Usage: kvo_gif_giflib FILE
 * Prints the frame count and the logical screen's size. */
#include <gif_lib.h>
#include <stdio.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  int error = 0;
  GifFileType* gif = DGifOpenFileName(argv[1], &error);
  if (!gif) return 1;
  int ok = DGifSlurp(gif) == GIF_OK;
  if (ok) printf("%d frames, %dx%d\n", gif->ImageCount, gif->SWidth, gif->SHeight);
  DGifCloseFile(gif, &error);
  return ok ? 0 : 1;
}

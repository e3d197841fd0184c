// SPDX-License-Identifier: GPL-3.0-or-later
/* The least a shuffle must do, as the floor "/shuffle" is measured against:
 * list the storage folder, read the 12-byte trailer of every ".kvo" file in
 * it, decode three stored pictures (their PNG part, with libpng) and write
 * them as three 8-bit BMP logo files.
 *
 * Usage: kvo_shuffle_floor STORAGE_FOLDER LOGO_FOLDER
 * Prints how many pictures were listed and how many were eligible. */
#include <dirent.h>
#include <fcntl.h>
#include <png.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { MAX_NAMES = 5000, NAME_MAX_LEN = 256, CANVAS_W = 320, CANVAS_H = 400 };

static char names[MAX_NAMES][NAME_MAX_LEN];

static int EndsWithKvo(const char* name) {
  size_t n = strlen(name);
  return n > 4 && strcasecmp(name + n - 4, ".kvo") == 0;
}

/* The trailer's Positions field, or -1 when the file has none. */
static long ReadTrailer(int dir, const char* name) {
  int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  unsigned char t[12];
  long positions = -1;
  if (fstat(fd, &st) == 0 && st.st_size >= 12 && pread(fd, t, 12, st.st_size - 12) == 12)
    positions = t[0] | (t[1] << 8) | (t[2] << 16) | ((long)t[3] << 24);
  close(fd);
  return positions;
}

/* Decodes the PNG part of a stored picture: 8-bit indexes and palette. */
static int DecodeStored(const char* path, unsigned char* pixels, png_color* palette) {
  FILE* f = fopen(path, "rb");
  if (!f) return 0;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, NULL);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, NULL);
    fclose(f);
    return 0;
  }
  png_init_io(png, f);
  png_read_info(png, info);
  if (png_get_image_width(png, info) != CANVAS_W || png_get_image_height(png, info) != CANVAS_H ||
      png_get_color_type(png, info) != PNG_COLOR_TYPE_PALETTE)
    png_error(png, "not a stored picture");
  png_colorp entries;
  int count = 0;
  png_get_PLTE(png, info, &entries, &count);
  memcpy(palette, entries, (size_t)(count > 256 ? 256 : count) * sizeof(png_color));
  png_bytep rows[CANVAS_H];
  for (int y = 0; y < CANVAS_H; ++y) rows[y] = pixels + (size_t)y * CANVAS_W;
  png_read_image(png, rows);
  png_destroy_read_struct(&png, &info, NULL);
  fclose(f);
  return 1;
}

static void Put32(unsigned char* p, uint32_t v) {
  p[0] = (unsigned char)v, p[1] = (unsigned char)(v >> 8), p[2] = (unsigned char)(v >> 16),
  p[3] = (unsigned char)(v >> 24);
}

/* One write of the whole bottom-up 8-bit BMP. */
static int WriteBmp(const char* path, const unsigned char* pixels, const png_color* palette) {
  static unsigned char file[14 + 40 + 1024 + CANVAS_W * CANVAS_H];
  memset(file, 0, 14 + 40 + 1024);
  file[0] = 'B', file[1] = 'M';
  Put32(file + 2, sizeof file);
  Put32(file + 10, 14 + 40 + 1024);
  Put32(file + 14, 40);
  Put32(file + 18, CANVAS_W);
  Put32(file + 22, CANVAS_H);
  file[26] = 1, file[28] = 8;
  Put32(file + 34, CANVAS_W * CANVAS_H);
  Put32(file + 46, 256);
  for (int i = 0; i < 256; ++i) {
    file[54 + 4 * i] = palette[i].blue;
    file[55 + 4 * i] = palette[i].green;
    file[56 + 4 * i] = palette[i].red;
  }
  for (int y = 0; y < CANVAS_H; ++y)
    memcpy(file + 1078 + (size_t)y * CANVAS_W, pixels + (size_t)(CANVAS_H - 1 - y) * CANVAS_W,
           CANVAS_W);
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return 0;
  int ok = write(fd, file, sizeof file) == (ssize_t)sizeof file;
  return close(fd) == 0 && ok;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s STORAGE_FOLDER LOGO_FOLDER\n", argv[0]);
    return 2;
  }
  DIR* d = opendir(argv[1]);
  if (!d) return 1;
  int dir = dirfd(d), count = 0, eligible = 0;
  for (struct dirent* e; (e = readdir(d)) != NULL && count < MAX_NAMES;) {
    if (!EndsWithKvo(e->d_name) || strlen(e->d_name) >= NAME_MAX_LEN) continue;
    long positions = ReadTrailer(dir, e->d_name);
    if (positions < 0) continue;
    strcpy(names[count++], e->d_name);
    eligible += (positions & 7) != 0;
  }
  closedir(d);
  static const char* logos[3] = {"logo.sys", "logow.sys", "logos.sys"};
  static unsigned char pixels[CANVAS_W * CANVAS_H];
  png_color palette[256];
  for (int i = 0; i < 3 && count > 0; ++i) {
    char in[4096], out[4096];
    snprintf(in, sizeof in, "%s/%s", argv[1], names[(i * 7919) % count]);
    snprintf(out, sizeof out, "%s/%s", argv[2], logos[i]);
    memset(palette, 0, sizeof palette);
    if (!DecodeStored(in, pixels, palette) || !WriteBmp(out, pixels, palette)) return 1;
  }
  printf("%d listed, %d eligible\n", count, eligible);
  return 0;
}

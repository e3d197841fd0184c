// SPDX-License-Identifier: GPL-3.0-or-later
// Gallery files (".gal"): sets of stored pictures packed into one file
// under a common prefix, to carry them from one installation to another.
//
// Layout (little-endian): a 108-byte header (HeaderSize, the magic "Kvo
// Panoramics Gallery" as a short text, Version 1, the prefix, ImageCount),
// then per picture a 136-byte entry header (EntrySize, Name, DataSize) and
// the stored picture file itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/Store.h"

namespace kvo {

inline constexpr int32_t GAL_HEADER_SIZE = 108;
inline constexpr int32_t GAL_ENTRY_SIZE = 136;
inline constexpr int32_t GAL_VERSION = 1;
inline constexpr int32_t GAL_DATA_MAX = 204799;
inline constexpr const char* GAL_MAGIC = "Kvo Panoramics Gallery";
inline constexpr const char* GAL_FILTER = "Gallery Files (*.gal)|*.gal";

struct TGalleryHeader {
  int32_t HeaderSize = GAL_HEADER_SIZE;
  std::string Magic;
  int32_t Version = 0;
  std::string Prefix;
  int32_t ImageCount = 0;
};

struct TGalleryEntry {
  int32_t EntrySize = GAL_ENTRY_SIZE;
  std::string Name;
  int32_t DataSize = 0;
};

// Header and entry header as stored, and back; the parsers never read
// outside the bytes given.
std::string GalleryHeaderBytes(const TGalleryHeader& H);
TGalleryHeader ParseGalleryHeader(const uint8_t* Bytes);   // GAL_HEADER_SIZE bytes
std::string GalleryEntryBytes(const TGalleryEntry& E);
TGalleryEntry ParseGalleryEntry(const uint8_t* Bytes);     // GAL_ENTRY_SIZE bytes

// Writes the gallery of the given list entries and shows its report.
void CreateGallery(const std::string& GalleryPath, const std::string& Prefix,
                   const std::vector<int32_t>& Entries);
// Checks and unpacks a gallery into the storage folder, under the gallery's
// own prefix or, when given, PrefixOverride; returns the list index of the
// first picture written, or -1.
int32_t InstallGallery(const std::string& GalleryPath, const std::string* PrefixOverride = nullptr);
std::string DownloadTime(double Bytes, double BitsPerSecond);
// The two menu commands.
void CreateGalleryCommand(const TListSelection& Sel);
int32_t OpenGalleryCommand();

}  // namespace kvo

// SPDX-License-Identifier: GPL-3.0-or-later
// Disk image files of emulators and virtual machines: what they are and
// where their FAT volumes lie. Recognised by content, never by extension.
//
// Read here: raw hard-disk images with an MBR partition table, bare FAT
// volumes (floppies and "superfloppies") and fixed VHD files (raw data
// followed by a 512-byte footer). Container formats (QCOW2, VDI, VMDK,
// VHDX, dynamic VHD) are not: they are seen through QEMU's export of them
// as a raw disk (ImageExport.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvo {

// One FAT volume candidate of an image: a partition, or the whole image.
struct TVolumeInfo {
  int32_t Number = 0;     // partition number (1-4 primary, 5+ logical); 0 for a bare volume
  uint64_t Offset = 0;    // bytes from the start of the file
  uint64_t Size = 0;      // bytes
  uint32_t Type = 0;      // the MBR partition type; 0 for a bare volume
  bool Active = false;    // marked as the one to start from
  std::string FileSystem; // "FAT12", "FAT16", "FAT32"; empty when not FAT
  std::string Label;      // the volume label, when there is one
  // The bytes the FAT boot sector says its file system covers (sectors
  // times bytes per sector); 0 when not FAT.
  uint64_t FileSystemSize = 0;
  // Whether the file system lies within the room it has: mtools believes
  // the boot sector, so a larger one would be written past its partition.
  bool FileSystemFits() const { return FileSystemSize <= Size; }
};

struct TDiskLayout {
  // "raw disk", "FAT volume", "fixed VHD", or the container format
  // ("QCOW2", "VDI", "VMDK", "VHDX", "dynamic VHD")
  std::string Format;
  // The files a container is made of besides itself, as checked: its
  // backing files (nearest first) and formats, or a VMDK's extent files,
  // and the words for them ("backing file base.qcow2 (raw)").
  std::vector<std::string> BackingChain, BackingFormats, Files;
  std::string ChainText;
  uint64_t DataSize = 0;         // bytes of disk data (a VHD's footer excluded)
  std::vector<TVolumeInfo> Volumes;  // partitions in table order, or the one volume
};

// The format as the user is told it: "QCOW2, backing file base.qcow2 (raw)",
// "VMDK, split in 2 files: win98-s001.vmdk, win98-s002.vmdk".
std::string FormatText(const TDiskLayout& Layout);

// Reads what Path holds. False with the reason in Error when it is not a
// disk image this program can read as it is (a container image is read
// through its export).
bool ProbeDiskImage(const std::string& Path, TDiskLayout& Layout, std::string& Error);
// The same for the image open as Fd, named Path in messages.
bool ProbeDiskImageFd(int Fd, const std::string& Path, TDiskLayout& Layout, std::string& Error);

// The size a FAT boot sector (at least 512 bytes) claims for its file
// system: total sectors (the 16-bit count, else the 32-bit one) times
// bytes per sector.
uint64_t FatClaimedSize(const uint8_t* BootSector);

// "PATH" or "PATH:N": the image and the partition the user named (0 when
// none). A trailing ":N" is a partition only when PATH itself is not an
// existing file, so file names with colons keep working.
void SplitDriveChoice(const std::string& Choice, std::string& Path, int32_t& Partition);

}  // namespace kvo

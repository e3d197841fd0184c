// SPDX-License-Identifier: GPL-3.0-or-later
#include "drive/DiskImage.h"

#include "drive/ImageChain.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

namespace kvo {
namespace {

constexpr uint64_t SECTOR = 512;
constexpr uint64_t VHD_FOOTER = 512;

struct TProbeFree {
  void operator()(blkid_probe P) const { blkid_free_probe(P); }
};
using TProbe = std::unique_ptr<std::remove_pointer_t<blkid_probe>, TProbeFree>;

// Fills Buf from Offset; a short file leaves the rest zero.
void ReadAt(int Fd, uint64_t Offset, uint8_t* Buf, size_t Size) {
  std::memset(Buf, 0, Size);
  size_t done = 0;
  while (done < Size) {
    ssize_t n = ::pread(Fd, Buf + done, Size - done, static_cast<off_t>(Offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
}

uint32_t LE16(const uint8_t* P) { return uint32_t{P[0]} | (uint32_t{P[1]} << 8); }

uint32_t LE32(const uint8_t* P) {
  return uint32_t{P[0]} | (uint32_t{P[1]} << 8) | (uint32_t{P[2]} << 16) | (uint32_t{P[3]} << 24);
}

bool IsVhdFooter(const uint8_t* P) { return std::memcmp(P, "conectix", 8) == 0; }

// The FAT file system of the bytes [Offset, Offset + Size) of Fd, if any.
void ProbeFat(int Fd, TVolumeInfo& V) {
  TProbe pr(blkid_new_probe());
  if (!pr || blkid_probe_set_device(pr.get(), Fd, static_cast<blkid_loff_t>(V.Offset),
                                    static_cast<blkid_loff_t>(V.Size)) != 0)
    return;
  blkid_probe_enable_partitions(pr.get(), 0);
  blkid_probe_enable_superblocks(pr.get(), 1);
  // Only FAT matters here; asking for nothing else also keeps a stale
  // signature of another file system from making the answer ambiguous.
  char vfat[] = "vfat";
  char* only[] = {vfat, nullptr};
  blkid_probe_filter_superblocks_type(pr.get(), BLKID_FLTR_ONLYIN, only);
  blkid_probe_set_superblocks_flags(pr.get(),
                                    BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION | BLKID_SUBLKS_LABEL);
  if (blkid_do_safeprobe(pr.get()) != 0) return;
  const char* type = nullptr;
  if (blkid_probe_lookup_value(pr.get(), "TYPE", &type, nullptr) != 0 || !type) return;
  if (std::strcmp(type, "vfat") != 0 && std::strcmp(type, "msdos") != 0) return;
  const char* version = nullptr;
  blkid_probe_lookup_value(pr.get(), "VERSION", &version, nullptr);
  V.FileSystem = version && std::strncmp(version, "FAT", 3) == 0 ? version : "FAT";
  const char* label = nullptr;
  if (blkid_probe_lookup_value(pr.get(), "LABEL", &label, nullptr) == 0 && label) V.Label = label;
  std::array<uint8_t, SECTOR> boot{};
  ReadAt(Fd, V.Offset, boot.data(), boot.size());
  V.FileSystemSize = FatClaimedSize(boot.data());
}

// The partitions of the table at the start of the data; false when there
// is no partition table or it lists none.
bool ProbePartitions(int Fd, uint64_t DataSize, std::vector<TVolumeInfo>& Volumes) {
  TProbe pr(blkid_new_probe());
  if (!pr || blkid_probe_set_device(pr.get(), Fd, 0, static_cast<blkid_loff_t>(DataSize)) != 0)
    return false;
  blkid_probe_enable_superblocks(pr.get(), 0);
  blkid_probe_enable_partitions(pr.get(), 1);
  blkid_partlist list = blkid_probe_get_partitions(pr.get());
  if (!list) return false;
  int n = blkid_partlist_numof_partitions(list);
  for (int i = 0; i < n; ++i) {
    blkid_partition p = blkid_partlist_get_partition(list, i);
    if (!p || blkid_partition_is_extended(p)) continue;
    blkid_loff_t start = blkid_partition_get_start(p), size = blkid_partition_get_size(p);
    if (start < 0 || size <= 0) continue;
    TVolumeInfo v;
    v.Number = blkid_partition_get_partno(p);
    v.Offset = static_cast<uint64_t>(start) * SECTOR;
    v.Size = static_cast<uint64_t>(size) * SECTOR;
    v.Type = static_cast<uint32_t>(blkid_partition_get_type(p));
    // The boot indicator of an MBR entry (0x80): the partition DOS starts.
    v.Active = (blkid_partition_get_flags(p) & 0x80) != 0;
    // A partition reaching past the end of the data is damaged or cut
    // short; it is listed, but not as a volume to edit.
    if (v.Offset < DataSize && v.Size <= DataSize - v.Offset) ProbeFat(Fd, v);
    Volumes.push_back(v);
  }
  // A table without partitions is what a FAT boot sector with a damaged
  // description looks like; it is judged as a volume.
  return !Volumes.empty();
}

}  // namespace

std::string FormatText(const TDiskLayout& Layout) {
  return Layout.ChainText.empty() ? Layout.Format : Layout.Format + ", " + Layout.ChainText;
}

uint64_t FatClaimedSize(const uint8_t* BootSector) {
  const uint32_t bytesPerSector = LE16(BootSector + 11);
  const uint32_t sectors16 = LE16(BootSector + 19);
  const uint32_t sectors = sectors16 != 0 ? sectors16 : LE32(BootSector + 32);
  return uint64_t{sectors} * bytesPerSector;
}

void SplitDriveChoice(const std::string& Choice, std::string& Path, int32_t& Partition) {
  Path = Choice;
  Partition = 0;
  size_t colon = Choice.rfind(':');
  if (colon == std::string::npos || colon + 1 >= Choice.size() || colon + 4 < Choice.size()) return;
  for (size_t i = colon + 1; i < Choice.size(); ++i)
    if (Choice[i] < '0' || Choice[i] > '9') return;
  struct stat st {};
  if (::stat(Choice.c_str(), &st) == 0) return;
  Path = Choice.substr(0, colon);
  Partition = std::stoi(Choice.substr(colon + 1));
}

bool ProbeDiskImage(const std::string& Path, TDiskLayout& Layout, std::string& Error) {
  Layout = {};
  TFd fd(::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.Get() < 0) {
    Error = Path + ": " + std::strerror(errno);
    return false;
  }
  return ProbeDiskImageFd(fd.Get(), Path, Layout, Error);
}

bool ProbeDiskImageFd(int Fd, const std::string& Path, TDiskLayout& Layout, std::string& Error) {
  Layout = {};
  TFd fd(::dup(Fd));
  struct stat st {};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0) {
    Error = Path + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    Error = Path + " is not a disk image: not a file.";
    return false;
  }
  uint64_t size = static_cast<uint64_t>(st.st_size);
  std::array<uint8_t, 512> head{}, tail{};
  ReadAt(fd.Get(), 0, head.data(), head.size());
  bool hasTail = size >= 2 * VHD_FOOTER;
  if (hasTail) ReadAt(fd.Get(), size - VHD_FOOTER, tail.data(), tail.size());
  if (TContainerInfo c = ProbeContainer(fd.Get(), Path); !c.Format.empty()) {
    Error = c.Refusal.empty() ? Path + " is a " + c.Format + " disk image, read through QEMU's export of it."
                              : c.Refusal;
    return false;
  }
  bool vhd = hasTail && IsVhdFooter(tail.data());
  Layout.Format = vhd ? "fixed VHD" : "raw disk";
  Layout.DataSize = vhd ? size - VHD_FOOTER : size;
  if (Layout.DataSize < SECTOR) {
    Error = Path + " is not a disk image: it is too small.";
    return false;
  }
  if (!ProbePartitions(fd.Get(), Layout.DataSize, Layout.Volumes)) {
    TVolumeInfo whole;
    whole.Size = Layout.DataSize;
    ProbeFat(fd.Get(), whole);
    if (whole.FileSystem.empty()) {
      Error = Path + " is not a disk image: it holds neither a partition table nor a FAT volume.";
      return false;
    }
    if (!vhd) Layout.Format = "FAT volume";
    Layout.Volumes.push_back(whole);
  }
  return true;
}

}  // namespace kvo

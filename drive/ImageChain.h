// SPDX-License-Identifier: GPL-3.0-or-later
// Container disk images (QCOW2, VDI, VMDK, VHDX, dynamic VHD) and the
// files they are made of. A container is a chain of files: the image, the
// backing files it builds on, the extents a VMDK descriptor spreads its
// data over. Every name in that chain was written by whoever made the
// image, so none is handed to QEMU: the chain is read here, bounded, each
// file opened by this program (a regular file, never through a link at its
// end, never a device, FIFO or file of /proc), and QEMU is given the open
// descriptors (ImageExport.h). The files written are the files checked.
//
// What is followed: QCOW2 backing files named by a plain path (relative to
// the folder of the image that names it, or absolute), of a format read
// from the file itself (QCOW2 or raw, where a raw one must be a disk);
// VMDK extents named by a plain file name in the descriptor's own folder,
// of the kinds FLAT, SPARSE and ZERO. What is refused: protocol and json:
// names, VMDK parents, differencing VDI, VHD and VHDX images, QCOW2 data
// files, chains deeper or wider than a disk of Windows 98 ever needs.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvo {

// A descriptor this code owns, closed when it goes.
class TFd {
 public:
  TFd() = default;
  explicit TFd(int Fd) : Fd_(Fd) {}
  ~TFd() { Reset(); }
  TFd(TFd&& Other) noexcept : Fd_(Other.Release()) {}
  TFd& operator=(TFd&& Other) noexcept {
    if (this != &Other) Reset(Other.Release());
    return *this;
  }
  int Get() const { return Fd_; }
  int Release() {
    const int fd = Fd_;
    Fd_ = -1;
    return fd;
  }
  void Reset(int Fd = -1);

 private:
  int Fd_ = -1;
};

// What a container image is, from its head and tail alone.
struct TContainerInfo {
  std::string Format;   // "QCOW2", "VDI", "VMDK", "VHDX", "dynamic VHD"; empty: none
  std::string Driver;   // QEMU's driver for it: "qcow2", "vdi", "vmdk", "vhdx", "vpc"
  std::string Refusal;  // why it may not be written; empty when it may
};

// Reads the container kind of the image open as Fd (named Path in
// messages). Format stays empty for a raw disk, a bare volume or a fixed
// VHD, which are edited without the daemon.
TContainerInfo ProbeContainer(int Fd, const std::string& Path);

// One extent of a VMDK text descriptor.
struct TVmdkExtent {
  uint64_t Sectors = 0;
  std::string Kind;     // "FLAT", "SPARSE" or "ZERO"
  std::string Name;     // the file, in the descriptor's folder; empty for ZERO
  uint64_t Offset = 0;  // FLAT: the sector of the file the extent starts at
  int Fd = -1;          // the file, once opened
};

// What a VMDK descriptor says, as far as it matters here.
struct TVmdkDescriptor {
  std::string CreateType;
  std::string Cid;                    // the value of CID=, as written
  std::vector<TVmdkExtent> Extents;  // in the order they make up the disk
};

// Reads a VMDK descriptor (the text of its own file, or the one embedded
// in a sparse image). False with the reason (after "Name ") when it is one
// this program does not write: of another kind, with a parent, or with
// extents that are not plain FLAT, SPARSE or ZERO ones of plain names.
bool ParseVmdkDescriptor(std::string_view Text, TVmdkDescriptor& D, std::string& Why);

// The header fields of a QCOW2 image that decide what it names.
struct TQcowHeader {
  uint32_t Version = 0;
  std::string BackingName;    // empty: no backing file
  std::string BackingFormat;  // the format recorded for it; empty: none
};

// Reads a QCOW2 header from Head: the file's first bytes, its first
// cluster and 1 KiB more (where the backing name must lie), or the whole
// file when it is shorter. False with the reason when the image is one
// this program does not write (encrypted, a data file elsewhere, damaged).
bool ParseQcowHeader(std::string_view Head, TQcowHeader& H, std::string& Why);

// One file of the chain: the image itself, or a backing file.
struct TChainLink {
  std::string Name;    // as the user is told it: the image's path, else the name given
  std::string Format;  // "QCOW2", "raw", "VMDK", ...
  std::string Driver;  // QEMU's driver for it
  int Fd = -1;         // open for reading; a VMDK text descriptor's own file
  // A VMDK text descriptor: what it says, its extents' files opened.
  bool TextDescriptor = false;
  TVmdkDescriptor Vmdk;
};

// The checked chain of a container image, its files held open for as long
// as the object lives (the image's own descriptor is the caller's).
class TImageChain {
 public:
  TImageChain() = default;
  ~TImageChain();
  TImageChain(const TImageChain&) = delete;
  TImageChain& operator=(const TImageChain&) = delete;
  TImageChain(TImageChain&& Other) noexcept;
  TImageChain& operator=(TImageChain&& Other) noexcept;

  std::vector<TChainLink> Links;  // the image, then its backing files, nearest first

  // "backing file base.qcow2 (raw)", "split in 2 files: a.vmdk, b.vmdk";
  // empty when the image is all in one file.
  std::string Text() const;
  // The backing files' names and formats, and a VMDK's extent files.
  std::vector<std::string> BackingNames() const;
  std::vector<std::string> ExtentNames() const;

 private:
  void Close();
};

// Checks the chain of the container image open as Fd, named Path (its
// folder is where relative names start). False with the reason, naming
// the file, when the image names anything this program does not follow.
bool CheckImageChain(int Fd, const std::string& Path, const TContainerInfo& Info, TImageChain& Chain,
                     std::string& Why);

// The descriptor QEMU is given in place of a VMDK text descriptor: what
// Link says, with each extent named as Fds[i] of the daemon
// (/proc/self/fd/N), so QEMU opens no name of the image's choosing.
std::string DaemonVmdkDescriptor(const TChainLink& Link);

// QEMU gives a VMDK a new CID the first time it writes to it, so that
// images built on it can tell their base has changed. After a writable
// export, the CID it wrote into Written (its copy of the descriptor) is
// put into the descriptor file of Link. False with the reason when that
// fails.
bool KeepVmdkCid(TChainLink& Link, std::string_view Written, std::string& Error);

}  // namespace kvo

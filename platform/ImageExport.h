// SPDX-License-Identifier: GPL-3.0-or-later
// Container disk images (QCOW2, VDI, VMDK, VHDX, dynamic VHD) seen as raw
// disks: QEMU's storage daemon opens the image with QEMU's own driver and
// exports it over FUSE as a plain file in a private folder, which the
// image drive then edits as it edits a raw image. No container format is
// read here beyond the header fields that tell which driver to use and
// whether writing through it would be safe.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kvo {

// What a container image is, from its head and tail alone.
struct TContainerInfo {
  std::string Format;   // "QCOW2", "VDI", "VMDK", "VHDX", "dynamic VHD"; empty: none
  std::string Driver;   // QEMU's driver for it: "qcow2", "vdi", "vmdk", "vhdx", "vpc"
  std::string Refusal;  // why it may not be written; empty when it may
  // QCOW2: the backing files, nearest first, as their images name them.
  std::vector<std::string> BackingChain;
};

// Reads the container kind of the image open as Fd (named Path in
// messages). Format stays empty for a raw disk, a bare volume or a fixed
// VHD, which are edited without the daemon.
TContainerInfo ProbeContainer(int Fd, const std::string& Path);

// Why containers cannot be edited on this system (no FUSE device, no
// storage daemon), with the Debian packages that bring what is missing;
// empty when they can.
std::string ExportUnavailable();

// One export of a container image, for as long as the object lives or
// until Stop: the daemon is a child of this process, dies with it, and is
// quit cleanly with its export flushed.
class TImageExport {
 public:
  TImageExport() = default;
  ~TImageExport();
  TImageExport(const TImageExport&) = delete;
  TImageExport& operator=(const TImageExport&) = delete;

  // Starts the daemon on Image with Driver, writable or read-only (a
  // read-only export shares the image with a virtual machine that runs
  // on it), and opens the exported file. False with the reason.
  bool Start(const std::string& Image, const std::string& Driver, bool Writable,
             std::string& Error);
  // Puts what was written so far on the disk; the export stays.
  bool Flush(std::string& Error);
  // Flushes what was written, quits the daemon and removes the export.
  // False with the reason when the flush or the quit failed.
  bool Stop(std::string& Error);
  bool Running() const { return Pid_ > 0; }
  bool Writable() const { return Writable_; }
  // The exported raw disk, open (for reading and writing when writable).
  int Fd() const { return Fd_; }

 private:
  bool WaitForMount(int ErrFd, int Mounts, std::string& Error);
  pid_t Pid_ = -1;
  int Fd_ = -1;
  bool Writable_ = false;
  std::string Mount_;
};

// Unmounts and removes the exports that runs which were killed left in
// the private runtime folder.
void RemoveStaleExports();

}  // namespace kvo

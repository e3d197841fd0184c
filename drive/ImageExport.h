// SPDX-License-Identifier: GPL-3.0-or-later
// Container disk images (QCOW2, VDI, VMDK, VHDX, dynamic VHD) seen as raw
// disks: QEMU's storage daemon reads the image with QEMU's own driver and
// exports it over FUSE as a plain file in a private folder, which the
// image drive then edits as it edits a raw image. The daemon is handed the
// files of the checked chain (ImageChain.h) as open descriptors and the
// whole block graph by name, so it opens no file of its own choosing.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "drive/ImageChain.h"

namespace kvo {

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

  // Starts the daemon on the checked Chain, writable or read-only (a
  // read-only export shares the image with a virtual machine that runs
  // on it), and opens the exported file. False with the reason. The chain
  // outlives the export.
  bool Start(TImageChain& Chain, bool Writable, std::string& Error);
  // Puts what was written so far on the disk; the export stays.
  bool Flush(std::string& Error);
  // Flushes what was written, quits the daemon and removes the export.
  // False with the reason when the flush or the quit failed.
  bool Stop(std::string& Error);
  // Runs Step, a read or a sync through the export, and ends the daemon
  // when it takes longer than Limit: a step blocked on a daemon that stopped
  // answering then fails instead of waiting for ever. Late says whether it
  // came to that.
  bool Bounded(const std::function<bool()>& Step, std::chrono::milliseconds Limit, bool& Late);
  // Ends the daemon at once, without a flush: its export fails every
  // request from then on, which frees a tool stuck waiting on it. Stop
  // still follows.
  void Kill();
  bool Running() const { return Pid_ > 0; }
  bool Writable() const { return Writable_; }
  // The exported raw disk, open (for reading and writing when writable).
  int Fd() const { return Fd_; }

 private:
  bool WaitForMount(int ErrFd, int Mounts, std::string& Error);
  bool StandInDescriptor(TImageChain& Chain, std::string& Error);
  bool KeepCid(std::string& Error);
  pid_t Pid_ = -1;
  // A VMDK text descriptor's stand-in, the daemon's copy of it, and the
  // link it stands for.
  TFd Descriptor_;
  TChainLink* VmdkLink_ = nullptr;
  int Fd_ = -1;
  bool Writable_ = false;
  std::string Mount_;
};

// Unmounts and removes the exports that runs which were killed left in
// the private runtime folder.
void RemoveStaleExports();

}  // namespace kvo

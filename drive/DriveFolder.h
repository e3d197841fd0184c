// SPDX-License-Identifier: GPL-3.0-or-later
// The folder drive, and what both kinds of drive share, for Drive.cpp and
// ImageDrive.cpp only: callers hold a TDrive.
#pragma once

#include <map>

#include "drive/Drive.h"

namespace kvo {

// A folder of this system. Every path is a host path; the drive never
// follows a symbolic link in a file's own place, in a shared folder one
// could have been put there by anyone who can write to it.
class TFolderDrive final : public TDrive {
 public:
  TFolderDrive(const std::string& WinFolder, const std::string& StorageFolder);
  std::string Root() const override;
  std::string WinFolder() const override;
  std::string Identity() const override;
  TDriveInfo Describe() override;
  bool FileExists(const std::string& Path) override;
  bool FolderExists(const std::string& Path) override;
  std::string FindNoCase(const std::string& Folder, const std::string& Name) override;
  std::vector<std::string> List(const std::string& Folder) override;
  bool ReadFile(const std::string& Path, std::string& Bytes, uint64_t MaxBytes) override;
  bool InstallFile(const std::string& Scratch, const std::string& Path) override;
  bool ReplaceFile(const std::string& Path, std::string_view Bytes) override;
  bool DeleteFile(const std::string& Path) override;
  bool MoveFile(const std::string& Source, const std::string& Target) override;
  bool MakeFolder(const std::string& Path) override;
  bool Lock() override { return true; }
  void Unlock() override {}
  bool InVolume(const std::string&) const override { return false; }
  std::string Canonical(const std::string& Path) override;
  bool Holds(const std::string& Path) override;
  std::string StorageFolder() const override { return StorageFolder_; }
  void RemoveLeftovers(const std::string& Folder, bool Idle) override;

 private:
  std::string WinFolder_;
  std::string StorageFolder_;
};

// The folder part of Path, with its trailing "/"; empty when it has none.
std::string ParentOf(const std::string& Path);
// The last part of Path, without a trailing "/".
std::string NameOf(const std::string& Path);

// The words for a file the drive will not read because it is larger than
// what it should be.
std::string TooLargeText(const std::string& Name, uint64_t MaxBytes);
// The most a scratch file of this program, handed to InstallFile, may hold.
inline constexpr uint64_t MAX_SCRATCH_BYTES = 64ull * 1024 * 1024;

}  // namespace kvo

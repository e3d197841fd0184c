// The two kinds of drive, for Drive.cpp and ImageDrive.cpp only: callers
// hold a TDrive.
#pragma once

#include <map>

#include "platform/Drive.h"

namespace kvo {

// A folder of this system. Every path is a host path.
class TFolderDrive : public TDrive {
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
  bool ReadFile(const std::string& Path, std::string& Bytes) override;
  std::string ScratchFile(const std::string& Path) override;
  bool InstallFile(const std::string& Scratch, const std::string& Path) override;
  bool ReplaceFile(const std::string& Path, std::string_view Bytes) override;
  bool DeleteFile(const std::string& Path) override;
  bool MakeFolder(const std::string& Path) override;
  bool Lock() override { return true; }
  void Unlock() override {}
  bool InVolume(const std::string&) const override { return false; }
  std::string StorageFolder() const override { return StorageFolder_; }
  void RemoveLeftovers(const std::string& Folder, bool Idle) override;

 private:
  std::string WinFolder_;
  std::string StorageFolder_;
};

}  // namespace kvo

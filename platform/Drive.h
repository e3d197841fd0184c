// The managed Windows drive ("C:\"): a folder of this system, or the FAT
// volume of an emulator's disk image, edited in place through mtools with
// no mount and no root.
//
// Files are named by drive paths. On a folder drive these are the host
// paths themselves; on an image drive they are IMAGE_ROOT ("C:/") followed
// by the path inside the volume, "/" separated. Any other path is a host
// file on either kind, so callers hand every path they have to the drive
// and never ask which kind it is.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/DiskImage.h"

namespace kvo {

inline constexpr const char* IMAGE_ROOT = "C:/";

// What the drive is, for the user to see (kvo drive, the Windows Drive
// dialog).
struct TDriveInfo {
  std::string Kind;        // "folder" or "disk image"
  std::string Path;        // the folder, or the image file
  TDiskLayout Layout;      // an image's format and volumes
  int32_t Partition = 0;   // the volume in use (0: a bare volume)
  std::string FileSystem;  // "FAT32" and so on; empty for a folder
  std::string WinFolder;   // the Windows folder, as a drive path
  bool WinFolderFound = false;
  std::string Error;       // why the drive cannot be used; empty when it can
};

class TDrive {
 public:
  virtual ~TDrive() = default;

  // The drive's root and its Windows folder, drive paths ending in "/".
  virtual std::string Root() const = 0;
  virtual std::string WinFolder() const = 0;
  // Names the drive among others: what a setting chosen for this drive
  // remembers, to tell whether it still applies.
  virtual std::string Identity() const = 0;
  virtual TDriveInfo Describe() = 0;
  // Why the last call failed, in words for the user.
  const std::string& LastError() const { return Error_; }

  virtual bool FileExists(const std::string& Path) = 0;
  virtual bool FolderExists(const std::string& Path) = 0;
  // Folder + Name, where an existing entry whose name equals Name without
  // regard to letter case stands in for it, as FAT finds files. A name
  // that is not there yet comes back as a new file on this drive is named
  // (upper case inside an image, as Windows would write it).
  virtual std::string FindNoCase(const std::string& Folder, const std::string& Name) = 0;
  // The entries of Folder (folders with a trailing "/").
  virtual std::vector<std::string> List(const std::string& Folder) = 0;
  virtual bool ReadFile(const std::string& Path, std::string& Bytes) = 0;
  // A host file to write the next version of Path into, then hand to
  // InstallFile, which puts it in place of Path in one step (the old file
  // stays whole until then) and removes it, whether it succeeded or not.
  virtual std::string ScratchFile(const std::string& Path) = 0;
  virtual bool InstallFile(const std::string& Scratch, const std::string& Path) = 0;
  // Bytes become the new content of Path in one step.
  virtual bool ReplaceFile(const std::string& Path, std::string_view Bytes) = 0;
  virtual bool DeleteFile(const std::string& Path) = 0;
  // Creates the folder and its missing parents.
  virtual bool MakeFolder(const std::string& Path) = 0;
  // Writes may follow: an image is checked for being writable and unused
  // by a virtual machine, and locked against one until Unlock. Folders
  // need nothing. Calls nest.
  virtual bool Lock() = 0;
  virtual void Unlock() = 0;
  // Whether Path lies inside a volume rather than on this system.
  virtual bool InVolume(const std::string& Path) const = 0;
  // Where pictures are stored by default: a host folder, as the drive
  // holds only what Windows itself reads.
  virtual std::string StorageFolder() const = 0;
  // Removes from Folder (ending in "/") the scratch files of runs of this
  // program that ended halfway: those named for a process that is gone,
  // and the others once they are a minute old (a live save renames its
  // file within moments) or at once when Idle (the caller knows that no
  // run of the program is writing in Folder now).
  virtual void RemoveLeftovers(const std::string& Folder, bool Idle) = 0;

 protected:
  bool Fail(std::string Text) {
    Error_ = std::move(Text);
    return false;
  }
  std::string Error_;
};

// A folder drive whose Windows folder is WinFolder (ending in "/").
std::unique_ptr<TDrive> OpenFolderDrive(const std::string& WinFolder,
                                        const std::string& StorageFolder);
// The disk image Choice ("PATH" or "PATH:PARTITION"). The drive is returned
// even when the image cannot be used, so that it can describe why; its
// file operations then fail with that reason.
std::unique_ptr<TDrive> OpenImageDrive(const std::string& Choice, const std::string& StorageFolder);
// Whether Choice names a disk image rather than a folder.
bool IsImageChoice(const std::string& Choice);

// Copies Source over Target (either may be on the drive or a host file).
bool CopyDriveFile(TDrive& Drive, const std::string& Source, const std::string& Target);
// The name Windows gives Path: "C:\" and the path below the root with "\"
// separators for a file on the drive; other paths unchanged.
std::string GuestPath(const TDrive& Drive, const std::string& Path);
// The way back: "C:\..." (any letter case) to a drive path; other text
// unchanged.
std::string PathFromGuest(TDrive& Drive, const std::string& Text);

// The Windows folder of the drive whose root is Root (a drive path ending
// in "/"): the one MSDOS.SYS names ([Paths] WinDir=C:\WIN98), else WINDOWS
// in any letter case. With a trailing "/"; empty when there is none.
std::string FindWinFolder(TDrive& Drive, const std::string& Root);

// A new empty file in the host's temporary folder for a copy of a file on
// a disk image, named for Kind ("kvo-drive-", "kvo-local-") and this
// process; its open descriptor, or -1 with errno set.
int MakeHostTemp(std::string_view Kind, std::string& Name);
// Removes this user's copies that runs which were killed left in the
// temporary folder.
void RemoveHostTempLeftovers();

// A host file holding the bytes of Path, for readers that want a file
// name: Path itself when it is a host file, else a temporary copy that
// goes with this object. Empty when Path cannot be read.
class TLocalFile {
 public:
  TLocalFile(TDrive& Drive, const std::string& Path);
  ~TLocalFile();
  TLocalFile(const TLocalFile&) = delete;
  TLocalFile& operator=(const TLocalFile&) = delete;
  const std::string& Path() const { return Path_; }

 private:
  std::string Path_;
  bool Temporary_ = false;
};

// Holds the drive's write lock for its lifetime, when it could be taken.
class TDriveLock {
 public:
  explicit TDriveLock(TDrive& Drive) : Drive_(Drive), Held_(Drive.Lock()) {}
  ~TDriveLock() {
    if (Held_) Drive_.Unlock();
  }
  TDriveLock(const TDriveLock&) = delete;
  TDriveLock& operator=(const TDriveLock&) = delete;
  bool Held() const { return Held_; }

 private:
  TDrive& Drive_;
  bool Held_;
};

}  // namespace kvo

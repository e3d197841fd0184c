// SPDX-License-Identifier: GPL-3.0-or-later
// The managed Windows drive ("C:\"): a folder of this system, or the FAT
// volume of an emulator's disk image, edited in place through mtools with
// no mount and no root.
//
// Files are named by drive paths. On a folder drive these are host paths;
// on an image drive they are IMAGE_ROOT ("C:/") followed by the path inside
// the volume, "/" separated, and any other path is refused: an image acts
// only inside its own volume. The program's own host files (scratch
// copies, the store, settings) go through HostFiles.h, never through a
// drive, so no file of the drive can name one of them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "drive/DiskImage.h"

namespace kvo {

inline constexpr const char* IMAGE_ROOT = "C:/";

// The most a read from a drive takes, by what is read. The text files
// Windows keeps in its root and the backup folder (MSDOS.SYS, RESTORE.BAT)
// are a few hundred bytes. A logo is 129,078 bytes when this program
// writes it; other tools may have left one of up to 640 x 480 at 24 bits
// (921,654 bytes), which is still backed up before it is replaced. Larger
// files are not what their names say and are not read.
inline constexpr uint64_t MAX_TEXT_FILE_BYTES = 64 * 1024;
inline constexpr uint64_t MAX_LOGO_FILE_BYTES = 1024 * 1024;
// The longest path Windows 95 and 98 accept (MAX_PATH).
inline constexpr size_t MAX_GUEST_PATH = 260;

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
  // Whether the last ReadFile failed because the file is larger than it
  // was allowed to be.
  bool TooLarge() const { return TooLarge_; }

  virtual bool FileExists(const std::string& Path) = 0;
  virtual bool FolderExists(const std::string& Path) = 0;
  // Folder + Name, where an existing entry whose name equals Name without
  // regard to letter case stands in for it, as FAT finds files. A name
  // that is not there yet comes back as a new file on this drive is named
  // (upper case inside an image, as Windows would write it).
  virtual std::string FindNoCase(const std::string& Folder, const std::string& Name) = 0;
  // The entries of Folder (folders with a trailing "/").
  virtual std::vector<std::string> List(const std::string& Folder) = 0;
  // The whole of the file Path, when it holds at most MaxBytes; a larger
  // file, or anything that is not a regular file, fails.
  virtual bool ReadFile(const std::string& Path, std::string& Bytes, uint64_t MaxBytes) = 0;
  // A new private host file to write the next version of Path into, then
  // hand to InstallFile, which puts it in place of Path in one step (the
  // old file stays whole until then) and removes it, whether it succeeded
  // or not. Empty when none can be made.
  std::string ScratchFile(const std::string& Path);
  virtual bool InstallFile(const std::string& Scratch, const std::string& Path) = 0;
  // Bytes become the new content of Path in one step. A symbolic link in
  // Path's place is replaced, never written through; a folder there is
  // refused.
  virtual bool ReplaceFile(const std::string& Path, std::string_view Bytes) = 0;
  // Whether a file may be written at Path: false, with the reason, when a
  // folder stands there (the tools would put the file inside it).
  bool CanWriteFile(const std::string& Path);
  virtual bool DeleteFile(const std::string& Path) = 0;
  // Moves the file Source to Target on the same drive, in place of any
  // file there, without reading it: for files too large to be read.
  virtual bool MoveFile(const std::string& Source, const std::string& Target) = 0;
  // Creates the folder and its missing parents.
  virtual bool MakeFolder(const std::string& Path) = 0;
  // Writes may follow: an image is checked for being writable and unused
  // by a virtual machine, and locked against one until Unlock. Folders
  // need nothing. Calls nest.
  virtual bool Lock() = 0;
  virtual void Unlock() = 0;
  // Whether Path lies inside a volume rather than on this system.
  virtual bool InVolume(const std::string& Path) const = 0;
  // One key for the place Path names, equal for two paths of the same
  // file: letter case folded, as on FAT, and on a folder drive the real
  // folder it lies in, links resolved. Empty when its folder does not
  // exist, or Path is not a path of this drive at all.
  virtual std::string Canonical(const std::string& Path) = 0;
  // Whether Path really lies on the drive: inside the volume, or below the
  // folder drive's root or Windows folder once links are resolved.
  virtual bool Holds(const std::string& Path) = 0;
  // Where pictures are stored by default: a host folder, as the drive
  // holds only what Windows itself reads.
  virtual std::string StorageFolder() const = 0;
  // Removes from Folder (a folder of the drive, ending in "/") what runs
  // of this program that ended halfway left there; Idle as for
  // RemoveHostLeftovers.
  virtual void RemoveLeftovers(const std::string& Folder, bool Idle) = 0;

 protected:
  bool Fail(std::string Text) {
    Error_ = std::move(Text);
    return false;
  }
  std::string Error_;
  bool TooLarge_ = false;
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

// The words for a folder standing where a file is to be written.
std::string FolderInTheWayText(const std::string& Name);

// Copies the drive's file Source, of at most MaxBytes, over its file Target.
bool CopyDriveFile(TDrive& Drive, const std::string& Source, const std::string& Target,
                   uint64_t MaxBytes);
// The name Windows gives Path: "C:\" and the path below the root with "\"
// separators for a file on the drive; other paths unchanged.
std::string GuestPath(const TDrive& Drive, const std::string& Path);
// The way back, for a path a file of the drive names: "C:\..." (any letter
// case) becomes the drive path, each part found as FAT finds it. A host
// path ("/...", as files written before named them) comes back as it is,
// for Canonical to judge. Empty for anything else: another drive letter,
// a relative path, a part that is "." or ".." or holds "/", a path longer
// than Windows allows, or one through a folder that is not there.
std::string PathFromGuest(TDrive& Drive, const std::string& Text);

// The Windows folder of the drive whose root is Root (a drive path ending
// in "/"): the one MSDOS.SYS names ([Paths] WinDir=C:\WIN98), else WINDOWS
// in any letter case. With a trailing "/"; empty when there is none.
std::string FindWinFolder(TDrive& Drive, const std::string& Root);

// A private host file holding the bytes of the drive's file Path (at most
// MaxBytes), for readers that want a file name; it goes with this object.
// Empty when Path cannot be read.
class TLocalFile {
 public:
  TLocalFile(TDrive& Drive, const std::string& Path, uint64_t MaxBytes);
  ~TLocalFile();
  TLocalFile(const TLocalFile&) = delete;
  TLocalFile& operator=(const TLocalFile&) = delete;
  const std::string& Path() const { return Path_; }

 private:
  std::string Path_;
};

// One operation of the user (a command of kvo, a switch of the program,
// an action in the window): what reading and writing container images
// needs (QEMU's export of each) is started once during it and stopped when
// it ends, so that nothing holds an image between operations. Nests.
class TDriveOperation {
 public:
  // Writes: the operation is one that writes to the drive (Set, Shuffle,
  // Restore), so the export is opened for writing from the start rather
  // than opened again when the write lock is taken.
  explicit TDriveOperation(bool Writes = false);
  ~TDriveOperation();
  TDriveOperation(const TDriveOperation&) = delete;
  TDriveOperation& operator=(const TDriveOperation&) = delete;

 private:
  bool Writes_;
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

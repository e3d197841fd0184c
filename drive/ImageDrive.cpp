// SPDX-License-Identifier: GPL-3.0-or-later
// The image drive: a FAT volume inside a disk image file, every file
// operation done by GNU mtools on the image in place. It acts only inside
// its volume: a path that does not start with IMAGE_ROOT is refused.
//
// mtools is handed the image as /proc/self/fd/3, a descriptor of the file
// this drive opened (and locks while it writes), so the file edited is the
// file locked whatever its name holds ("@@", a leading "-"). It runs with
// an environment of our own: no configuration of the user's, no MTOOLS_*
// setting of theirs, can change what it does to the image.
//
// A container image (QCOW2, VDI, VMDK, VHDX, dynamic VHD) is edited the
// same way through its export by QEMU's storage daemon (ImageExport.h),
// on the chain of files checked when the drive was opened (ImageChain.h):
// the export runs for one operation (a read, or everything under the
// write lock) and never between them, so a virtual machine may start
// while the program's window is open. Nothing opens the image for
// writing before the lock is held and the checks for a virtual machine
// using it have passed.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <thread>

#include "drive/DriveFolder.h"
#include "drive/ImageExport.h"
#include "drive/ImageUse.h"
#include "platform/FaultInject.h"
#include "platform/HostFiles.h"
#include "platform/Process.h"
#include "platform/TextUtil.h"

namespace kvo {
namespace {

// How long a lock held by another run of this program is waited for before
// the image counts as in use.
constexpr auto OWN_LOCK_WAIT = std::chrono::seconds(10);
// New files are written under this name in their folder, then renamed over
// the target, so a failure leaves the old file whole.
constexpr const char* INSTALL_NAME = "KVONEW.TMP";
// No mtools run on a logo-sized file takes this long; one that does is
// stuck (waiting for a lock, say) and is ended rather than waited for.
constexpr int TOOL_TIMEOUT_MS = 60000;

// The limit, or a shorter one a test sets to see a stuck tool ended.
int ToolTimeoutMs() {
  const char* t = std::getenv("KVO_TEST_TOOL_TIMEOUT_MS");
  return t && std::atoi(t) > 0 ? std::atoi(t) : TOOL_TIMEOUT_MS;
}
// The most a folder listing may take: a FAT folder holds at most 65,536
// entries, and mdir -b writes one short line for each.
constexpr size_t MAX_LISTING_BYTES = 8u << 20;
// Where mtools finds the image: the descriptor RunCaptured passes as 3.
constexpr const char* IMAGE_FD_PATH = "/proc/self/fd/3";

// The tool runs that change the volume, as the steps a test may make fail
// (see FaultInject.h).
std::optional<TFaultOp> ToolStep(std::string_view Program) {
  if (Program == "mcopy") return TFaultOp::Write;
  if (Program == "mren" || Program == "mmove") return TFaultOp::Rename;
  if (Program == "mdel") return TFaultOp::Delete;
  if (Program == "mmd") return TFaultOp::MakeFolder;
  return std::nullopt;
}

// A path inside the volume, with no part mtools would read as a way up or
// a pattern.
bool OnVolume(const std::string& Path) {
  if (Path.compare(0, 3, IMAGE_ROOT) != 0 || Path.find_first_of("*?\\") != std::string::npos)
    return false;
  const std::string p = Path + "/";
  return p.find("/../") == std::string::npos && p.find("/./") == std::string::npos;
}

// "C:/WINDOWS/LOGOW.SYS" as mtools names it: "::/WINDOWS/LOGOW.SYS".
std::string MPath(const std::string& Path) { return "::/" + Path.substr(3); }

// The environment mtools runs in: a private empty home and configuration
// file, so that neither ~/.mtoolsrc nor MTOOLS_* settings of the user can
// change how it reads the volume; volumes made by other systems'
// formatters are accepted as they are. Empty, with the reason, when no
// private folder can be made.
std::vector<std::string> ToolEnvironment(std::string& Why) {
  const std::string run = PrivateRunFolder(Why);
  if (run.empty()) return {};
  const std::string home = run + "mtools-home", rc = run + "mtoolsrc";
  if (::mkdir(home.c_str(), 0700) != 0 && errno != EEXIST) {
    Why = home + ": " + std::strerror(errno);
    return {};
  }
  int fd = ::open(rc.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    Why = rc + ": " + std::strerror(errno);
    return {};
  }
  ::close(fd);
  return {"HOME=" + home, "MTOOLSRC=" + rc, "MTOOLS_SKIP_CHECK=1", "TMPDIR=" + HostTempFolder(),
          "LC_ALL=C.UTF-8"};
}

std::string NotOnImageText(const std::string& Path) {
  return Path + " is not inside the disk image's volume; nothing outside it is read or changed.";
}

// The first line mtools wrote, without its program name.
std::string ToolMessage(const TRunResult& R) {
  if (!R.Started) return "mtools is not installed (Debian package mtools).";
  std::string m = R.Err.substr(0, R.Err.find('\n'));
  if (size_t colon = m.find(": "); colon != std::string::npos && colon < 8) m.erase(0, colon + 2);
  return m.empty() ? "mtools failed." : m;
}

class TImageDrive;

// The operations going on, and the image drives alive, whose exports end
// with the outermost operation.
int OperationDepth = 0;
int WritingDepth = 0;
// Never destroyed: the managed drive, a static of its own, may outlive
// any other static at exit.
std::set<TImageDrive*>& LiveDrives() {
  static auto* drives = new std::set<TImageDrive*>;
  return *drives;
}

class TImageDrive final : public TDrive {
 public:
  TImageDrive(const std::string& Choice, const std::string& StorageFolder);
  ~TImageDrive() override {
    LiveDrives().erase(this);
    if (LockFd_ >= 0) ::close(LockFd_);
    if (ImageFd_ >= 0) ::close(ImageFd_);
  }
  // The operation ended: an export no call is using goes.
  void OperationEnded() {
    std::string ignored;
    if (Sessions_ > 0) return;
    if (OperationLock_) {
      OperationLock_ = false;
      Unlock();
    }
    if (LockDepth_ > 0) return;
    Export_.Stop(ignored);
    Listings_.clear();
  }
  // Holds a container's export open for the tool runs of one operation;
  // nothing for a raw image.
  class TSession {
   public:
    explicit TSession(TImageDrive& Drive) : Drive_(Drive), Ok_(Drive.Enter()) {}
    ~TSession() { Drive_.Leave(); }
    TSession(const TSession&) = delete;
    TSession& operator=(const TSession&) = delete;
    bool Ok() const { return Ok_; }

   private:
    TImageDrive& Drive_;
    bool Ok_;
  };
  std::string Root() const override { return IMAGE_ROOT; }
  std::string WinFolder() const override { return IMAGE_ROOT + WinDir_ + "/"; }
  std::string Identity() const override { return Path_ + ":" + std::to_string(Volume_.Number); }
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
  bool Lock() override;
  void Unlock() override;
  bool InVolume(const std::string& Path) const override { return OnVolume(Path); }
  std::string Canonical(const std::string& Path) override {
    return OnVolume(Path) ? UpperText(Path) : std::string();
  }
  bool Holds(const std::string& Path) override { return OnVolume(Path); }
  std::string StorageFolder() const override { return StorageFolder_; }
  void RemoveLeftovers(const std::string& Folder, bool Idle) override;

 private:
  TRunResult Tool(const char* Program, std::vector<std::string> Args, size_t MaxOut = 0);
  // Whether Path may be acted on: a path inside a volume that could be
  // opened; otherwise the reason is recorded.
  bool Usable(const std::string& Path);
  // The entries of a folder of the volume; false when it is not there.
  bool ListVolume(const std::string& Folder, std::vector<std::string>& Names);
  // The entry of Folder named Name in any letter case; empty when none.
  std::string FindEntry(const std::string& Folder, const std::string& Name);
  void Forget(const std::string& Folder) { Listings_.erase(UpperText(Folder)); }
  // Folder's listing once the install file has become Target.
  void Installed(const std::string& Folder, const std::string& Target);
  // The image as the user named it, opened without following a link put
  // in its place; a link the user named is followed to its file once.
  bool OpenImage();
  bool ChooseVolume(int32_t Partition);
  void UseVolume(const TVolumeInfo& V) {
    Volume_ = V;
    Listings_.clear();  // what was listed belongs to another volume
  }
  bool CheckVolumeFits();
  bool Container() const { return !Container_.Format.empty(); }
  // The raw disk mtools is given: the image itself, or its export.
  int ToolFd() const { return Container() ? Export_.Fd() : ImageFd_; }
  bool Enter();
  void Leave();
  bool StartExport(bool Writable, std::string& Error) {
    ExportLost_.clear();
    return Export_.Start(Chain_, Writable, Error);
  }
  bool OpenContainer(int32_t Partition);
  bool FindWinDir();
  // The read-only, hidden and system attributes Path has, as mattrib
  // arguments ("+r", "+h", "+s"): a file put in place of another keeps
  // them, so MSDOS.SYS stays as Windows keeps it.
  bool KeptAttributes(const std::string& Path, std::vector<std::string>& Flags);
  bool CheckWritable(int Fd);
  bool TakeLock(int Fd);
  bool TakeContainerLock(int Fd);

  std::string Path_;
  std::string StorageFolder_;
  // The image, open for reading from the start: what mtools edits and what
  // the lock holds.
  int ImageFd_ = -1;
  TContainerInfo Container_;
  // The files of a container, checked, held open for the daemon: they
  // outlive its export.
  TImageChain Chain_;
  TImageExport Export_;
  // Why the running export was ended; empty while it serves.
  std::string ExportLost_;
  int Sessions_ = 0;
  TDiskLayout Layout_;
  TVolumeInfo Volume_;
  std::string OpenError_;
  std::string WinDir_ = "WINDOWS";
  bool WinFound_ = false;
  int LockFd_ = -1;
  int LockDepth_ = 0;
  // The lock an operation that writes took with its first export, held
  // until the operation ends.
  bool OperationLock_ = false;
  // Folder listings, kept while the lock keeps others out and for the
  // rest of one operation; taking the lock drops them, so that what is
  // decided under it is read afresh.
  std::map<std::string, std::vector<std::string>> Listings_;
  // Files read under the lock, until it goes or they are written: the
  // logos of one Set each consult the same restore list.
  std::map<std::string, std::string> Contents_;
};

TImageDrive::TImageDrive(const std::string& Choice, const std::string& StorageFolder)
    : StorageFolder_(StorageFolder) {
  LiveDrives().insert(this);
  int32_t partition = 0;
  SplitDriveChoice(Choice, Path_, partition);
  std::error_code ec;
  std::filesystem::path abs = std::filesystem::absolute(Path_, ec);
  if (!ec) Path_ = abs.lexically_normal().string();
  if (!OpenImage()) return;
  Container_ = ProbeContainer(ImageFd_, Path_);
  if (Container()) {
    OpenContainer(partition);
    return;
  }
  if (!ProbeDiskImageFd(ImageFd_, Path_, Layout_, OpenError_)) return;
  if (ChooseVolume(partition)) FindWinDir();
}

bool TImageDrive::OpenImage() {
  // Non-blocking, so that a FIFO named as an image is refused, not waited
  // on; every later use (the lock, mtools, the daemon) goes through this
  // descriptor, so a name swapped meanwhile changes nothing.
  const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW;
  ImageFd_ = ::open(Path_.c_str(), flags);
  if (ImageFd_ < 0 && errno == ELOOP) {
    if (char* real = ::realpath(Path_.c_str(), nullptr)) {
      ImageFd_ = ::open(real, flags);
      std::free(real);
    }
  }
  if (ImageFd_ < 0) OpenError_ = Path_ + ": " + std::strerror(errno);
  return ImageFd_ >= 0;
}

bool TImageDrive::OpenContainer(int32_t Partition) {
  Layout_.Format = Container_.Format;
  if (!Container_.Refusal.empty()) {
    OpenError_ = Container_.Refusal;
    return false;
  }
  // Every file the image names is looked at before any daemon starts.
  if (!CheckImageChain(ImageFd_, Path_, Container_, Chain_, OpenError_)) return false;
  if (std::string why = ExportUnavailable(); !why.empty()) {
    OpenError_ = Container_.Format + " image " + Path_ + ": " + why;
    return false;
  }
  TSession session(*this);
  if (!session.Ok()) {
    OpenError_ = Error_;
    return false;
  }
  // The disk inside is read by this process itself: bounded like a tool's
  // run, so a daemon that stops answering is ended rather than waited for.
  bool late = false;
  // A daemon ended at the limit serves nothing more, even when the read
  // itself came through just in time.
  const bool read = Export_.Bounded([&] { return ProbeDiskImageFd(Export_.Fd(), Path_, Layout_, OpenError_); },
                                    std::chrono::milliseconds(ToolTimeoutMs()), late);
  if (late)
    OpenError_ = "Reading " + Path_ + " did not finish within " + std::to_string((ToolTimeoutMs() + 999) / 1000) +
                 " seconds, and QEMU's storage daemon was stopped.";
  if (!read || late) return false;
  Layout_.Format = Container_.Format;
  Layout_.ChainText = Chain_.Text();
  Layout_.BackingChain = Chain_.BackingNames();
  for (size_t i = 1; i < Chain_.Links.size(); ++i) Layout_.BackingFormats.push_back(Chain_.Links[i].Format);
  Layout_.Files = Chain_.ExtentNames();
  if (ChooseVolume(Partition)) FindWinDir();
  return OpenError_.empty();
}

bool TImageDrive::Enter() {
  if (!Container()) return true;
  ++Sessions_;
  if (Export_.Running()) return true;
  // Outside the write lock the image is only read, shared with whatever
  // else has it open, unless the operation is one that writes: then the
  // lock is taken at once, its checks first, and with it the export for
  // writing (when the checks fail, the image is read as it can be, and
  // the write's own lock says why it cannot be written).
  std::string error;
  struct stat st {};
  const bool writes = WritingDepth > 0 && ::fstat(ImageFd_, &st) == 0 && (st.st_mode & 0222) != 0;
  if (LockDepth_ == 0 && writes && OpenError_.empty() && Lock()) {
    OperationLock_ = true;
    return true;
  }
  if (StartExport(LockDepth_ > 0, error)) return true;
  return Fail(error);
}

void TImageDrive::Leave() {
  if (!Container() || --Sessions_ > 0 || LockDepth_ > 0 || OperationDepth > 0) return;
  std::string ignored;
  Export_.Stop(ignored);
  Listings_.clear();
}

bool TImageDrive::Usable(const std::string& Path) {
  if (!OpenError_.empty()) return Fail(OpenError_);
  if (!OnVolume(Path)) return Fail(NotOnImageText(Path));
  return true;
}

TRunResult TImageDrive::Tool(const char* Program, std::vector<std::string> Args, size_t MaxOut) {
  std::vector<std::string> argv{Program, "-i", IMAGE_FD_PATH + std::string("@@") + std::to_string(Volume_.Offset)};
  argv.insert(argv.end(), Args.begin(), Args.end());
  // An injected failure: a copy fails once it has written its file, as one
  // that ran out of room halfway would; the other tools fail before they
  // change anything, as on an I/O error.
  std::optional<TFaultOp> step = ToolStep(Program);
  const bool inject = step && FaultInjected(*step);
  const std::string injected = inject ? std::string(Program) + ": " + std::strerror(errno) : "";
  if (inject && *step != TFaultOp::Write) return TRunResult{true, 1, {}, injected};
  // An export ended for a stuck tool answers nothing more: every tool after
  // it fails for the same reason, until the next export.
  if (Container() && !ExportLost_.empty() && Export_.Running()) return TRunResult{true, 1, {}, ExportLost_};
  TRunOptions options;
  std::string why;
  options.Env = ToolEnvironment(why);
  if (options.Env.empty()) return TRunResult{true, 1, {}, "kvo: no private folder for mtools can be made: " + why};
  options.DropEnv = {"MTOOLS"};
  options.TimeoutMs = ToolTimeoutMs();
  options.MaxOut = MaxOut;
  options.PassFd = ToolFd();
  // A tool stuck on the export is freed by ending the daemon, whose dead
  // export then fails every request.
  if (Container()) options.OnTimeout = [this] { Export_.Kill(); };
  TRunResult r = RunCaptured(argv, options);
  if (r.TimedOut) {
    r.Err = std::string(Program) + ": did not finish within " + std::to_string((options.TimeoutMs + 999) / 1000) +
            " seconds" + (Container() ? ", and QEMU's storage daemon was stopped" : "") + ".\n" + r.Err;
    if (Container()) ExportLost_ = r.Err;
  }
  if (inject) {
    r.ExitCode = 1;
    r.Err = injected;
  }
  return r;
}

bool TImageDrive::ChooseVolume(int32_t Partition) {
  auto fat = [](const TVolumeInfo& V) { return !V.FileSystem.empty(); };
  if (Partition > 0) {
    auto it = std::find_if(Layout_.Volumes.begin(), Layout_.Volumes.end(),
                           [&](const TVolumeInfo& V) { return V.Number == Partition; });
    if (it == Layout_.Volumes.end()) {
      OpenError_ = Path_ + " has no partition " + std::to_string(Partition) + ".";
      return false;
    }
    if (!fat(*it)) {
      OpenError_ = "Partition " + std::to_string(Partition) + " of " + Path_ + " holds no FAT file system.";
      return false;
    }
    UseVolume(*it);
    return CheckVolumeFits();
  }
  // Without a number, the volume DOS makes C:, where Windows looks for its
  // logos: the active primary FAT partition, else the first primary FAT
  // one, else (a disk of logical drives alone) the first FAT volume. A
  // Windows folder on another partition is not Windows's drive C:.
  auto primary = [&](const TVolumeInfo& V) { return fat(V) && V.Number <= 4; };
  const std::vector<TVolumeInfo>& all = Layout_.Volumes;
  auto c = std::find_if(all.begin(), all.end(), [&](const TVolumeInfo& V) { return primary(V) && V.Active; });
  if (c == all.end()) c = std::find_if(all.begin(), all.end(), primary);
  if (c == all.end()) c = std::find_if(all.begin(), all.end(), fat);
  if (c == all.end()) {
    OpenError_ = Path_ + " holds no FAT partition.";
    return false;
  }
  UseVolume(*c);
  return CheckVolumeFits();
}

bool TImageDrive::CheckVolumeFits() {
  // mtools trusts the boot sector's size: a file system larger than its
  // room would have files written into the next partition or the footer.
  if (Volume_.FileSystemFits()) return true;
  OpenError_ = Volume_.Number > 0 ? "The file system on partition " + std::to_string(Volume_.Number) +
                                        " is larger than its partition; the image may be damaged."
                                  : "The file system of " + Path_ +
                                        " is larger than the image; the image may be damaged.";
  return false;
}

bool TImageDrive::FindWinDir() {
  std::string folder = FindWinFolder(*this, IMAGE_ROOT);
  WinFound_ = !folder.empty();
  WinDir_ = WinFound_ ? folder.substr(3, folder.size() - 4) : std::string("WINDOWS");
  return WinFound_;
}

TDriveInfo TImageDrive::Describe() {
  TDriveInfo info;
  info.Kind = "disk image";
  info.Path = Path_;
  info.Layout = Layout_;
  info.Partition = Volume_.Number;
  info.FileSystem = Volume_.FileSystem;
  info.WinFolder = WinFolder();
  info.WinFolderFound = WinFound_;
  info.Error = OpenError_;
  return info;
}

bool TImageDrive::ListVolume(const std::string& Folder, std::vector<std::string>& Names) {
  auto cached = Listings_.find(UpperText(Folder));
  if (cached != Listings_.end()) {
    Names = cached->second;
    return true;
  }
  Names.clear();
  if (!Usable(Folder)) return false;
  TSession session(*this);
  if (!session.Ok()) return false;
  TRunResult r = Tool("mdir", {"-b", "-a", MPath(Folder)}, MAX_LISTING_BYTES);
  if (r.OutCut) return Fail(GuestPath(*this, Folder) + " of " + Path_ + " holds more entries than a FAT folder can.");
  if (r.ExitCode != 0) return Fail(ToolMessage(r));
  size_t from = 0;
  while (from < r.Out.size()) {
    size_t eol = r.Out.find('\n', from);
    std::string line = r.Out.substr(from, eol == std::string::npos ? std::string::npos : eol - from);
    from = eol == std::string::npos ? r.Out.size() : eol + 1;
    if (line.empty()) continue;
    bool folder = line.back() == '/';
    std::string name = NameOf(line);
    if (!name.empty() && name != "." && name != "..") Names.push_back(folder ? name + "/" : name);
  }
  if (LockDepth_ > 0 || OperationDepth > 0) Listings_[UpperText(Folder)] = Names;
  return true;
}

std::string TImageDrive::FindEntry(const std::string& Folder, const std::string& Name) {
  std::vector<std::string> names;
  if (!ListVolume(Folder, names)) return {};
  std::string wanted = UpperText(Name);
  for (const std::string& n : names)
    if (UpperText(n) == wanted) return n;
  return {};
}

bool TImageDrive::FileExists(const std::string& Path) {
  if (!OnVolume(Path)) return false;
  std::string name = NameOf(Path);
  return !name.empty() && !FindEntry(ParentOf(Path), name).empty();
}

bool TImageDrive::FolderExists(const std::string& Path) {
  if (!OnVolume(Path)) return false;
  std::string name = NameOf(Path);
  if (name.empty() || Path == IMAGE_ROOT) return OpenError_.empty();
  return !FindEntry(ParentOf(Path), name + "/").empty();
}

std::string TImageDrive::FindNoCase(const std::string& Folder, const std::string& Name) {
  std::string entry = FindEntry(Folder, Name);
  if (entry.empty()) entry = FindEntry(Folder, Name + "/");
  if (!entry.empty() && entry.back() == '/') entry.pop_back();
  return Folder + (entry.empty() ? UpperText(Name) : entry);
}

std::vector<std::string> TImageDrive::List(const std::string& Folder) {
  std::vector<std::string> names;
  ListVolume(Folder, names);
  return names;
}

bool TImageDrive::ReadFile(const std::string& Path, std::string& Bytes, uint64_t MaxBytes) {
  Bytes.clear();
  TooLarge_ = false;
  if (!Usable(Path)) return false;
  if (auto kept = Contents_.find(UpperText(Path)); kept != Contents_.end() && kept->second.size() <= MaxBytes) {
    Bytes = kept->second;
    return true;
  }
  TSession session(*this);
  if (!session.Ok()) return false;
  // The tool is stopped as soon as it has written more than the file may
  // hold: a cluster chain of hundreds of megabytes costs nothing.
  TRunResult r = Tool("mtype", {MPath(Path)}, static_cast<size_t>(MaxBytes));
  TooLarge_ = r.OutCut;
  if (r.OutCut) return Fail(TooLargeText(GuestPath(*this, Path) + " of " + Path_, MaxBytes));
  if (r.ExitCode != 0) return Fail("Cannot read " + Path + " of " + Path_ + ": " + ToolMessage(r));
  Bytes = std::move(r.Out);
  if (LockDepth_ > 0) Contents_[UpperText(Path)] = Bytes;
  return true;
}

bool TImageDrive::InstallFile(const std::string& Scratch, const std::string& Path) {
  if (!Usable(Path)) {
    ::unlink(Scratch.c_str());
    return false;
  }
  TSession session(*this);
  if (!session.Ok()) {
    ::unlink(Scratch.c_str());
    return false;
  }
  std::string folder = ParentOf(Path);
  std::string target = FindNoCase(folder, NameOf(Path));
  std::string temp = folder + INSTALL_NAME;
  Contents_.erase(UpperText(target));
  // mren moves a file into a folder of the target's name, and mcopy copies
  // into one of the install name: either would leave the logo unwritten.
  for (const std::string& name : {NameOf(target), std::string(INSTALL_NAME)}) {
    if (FindEntry(folder, name + "/").empty()) continue;
    ::unlink(Scratch.c_str());
    return Fail(FolderInTheWayText(GuestPath(*this, folder + name) + " in " + Path_));
  }
  std::vector<std::string> kept;
  if (!FindEntry(folder, NameOf(target)).empty() && !KeptAttributes(target, kept)) {
    ::unlink(Scratch.c_str());
    return false;
  }
  TRunResult r = Tool("mcopy", {"-o", Scratch, MPath(temp)});
  bool ok = r.ExitCode == 0;
  if (ok) r = Tool("mren", {"-D", "o", MPath(temp), MPath(target)});
  ok = ok && r.ExitCode == 0;
  if (ok && !kept.empty()) {
    kept.push_back(MPath(target));
    r = Tool("mattrib", kept);
    ok = r.ExitCode == 0;
  }
  ::unlink(Scratch.c_str());
  if (ok) {
    Installed(folder, NameOf(target));
    return true;
  }
  Forget(folder);
  const std::string why = ToolMessage(r);
  Tool("mdel", {MPath(temp)});
  return Fail("Cannot write " + GuestPath(*this, target) + " in " + Path_ + ": " + why);
}

void TImageDrive::Installed(const std::string& Folder, const std::string& Target) {
  // Under the lock nothing else changes the folder: the rename is all that
  // happened to it, and listing it again would cost a tool's run.
  auto cached = Listings_.find(UpperText(Folder));
  if (cached == Listings_.end()) return;
  std::vector<std::string>& names = cached->second;
  const std::string temp = UpperText(INSTALL_NAME), target = UpperText(Target);
  std::erase_if(names, [&](const std::string& N) { return UpperText(N) == temp; });
  if (std::none_of(names.begin(), names.end(), [&](const std::string& N) { return UpperText(N) == target; }))
    names.push_back(Target);
}

bool TImageDrive::KeptAttributes(const std::string& Path, std::vector<std::string>& Flags) {
  // mattrib shows the set attributes before the name: "  A  SHR     ::/MSDOS.SYS".
  TRunResult r = Tool("mattrib", {MPath(Path)});
  if (r.ExitCode != 0) return Fail("Cannot read the attributes of " + GuestPath(*this, Path) + " in " +
                                   Path_ + ": " + ToolMessage(r));
  const std::string shown = r.Out.substr(0, r.Out.find("::"));
  Flags.clear();
  for (const char* f : {"R+r", "H+h", "S+s"})
    if (shown.find(f[0]) != std::string::npos) Flags.push_back(f + 1);
  return true;
}

bool TImageDrive::ReplaceFile(const std::string& Path, std::string_view Bytes) {
  if (!Usable(Path)) return false;
  // Written straight into the private file just made: no name of it is
  // opened again.
  std::string scratch;
  int fd = MakeHostTemp("kvo-drive-", scratch);
  if (fd < 0) return Fail("Cannot create a temporary file: " + std::string(std::strerror(errno)));
  bool written = WriteAllFd(fd, Bytes);
  written = ::close(fd) == 0 && written;
  if (!written) {
    ::unlink(scratch.c_str());
    return Fail("Cannot write " + scratch + ".");
  }
  return InstallFile(scratch, Path);
}

bool TImageDrive::DeleteFile(const std::string& Path) {
  if (!Usable(Path)) return false;
  TSession session(*this);
  if (!session.Ok()) return false;
  if (!FileExists(Path)) return true;
  TRunResult r = Tool("mdel", {MPath(Path)});
  Forget(ParentOf(Path));
  Contents_.erase(UpperText(Path));
  if (r.ExitCode == 0) return true;
  return Fail("Cannot delete " + GuestPath(*this, Path) + " in " + Path_ + ": " + ToolMessage(r));
}

bool TImageDrive::MoveFile(const std::string& Source, const std::string& Target) {
  if (!Usable(Source) || !Usable(Target)) return false;
  TSession session(*this);
  if (!session.Ok()) return false;
  // The volume moves the file's entry; none of its clusters is read.
  TRunResult r = Tool("mmove", {"-D", "o", MPath(Source), MPath(Target)});
  for (const std::string& p : {Source, Target}) {
    Forget(ParentOf(p));
    Contents_.erase(UpperText(p));
  }
  if (r.ExitCode == 0) return true;
  return Fail("Cannot move " + GuestPath(*this, Source) + " in " + Path_ + ": " + ToolMessage(r));
}

bool TImageDrive::MakeFolder(const std::string& Path) {
  if (!Usable(Path)) return false;
  TSession session(*this);
  if (!session.Ok()) return false;
  std::string p = Path;
  if (p.back() != '/') p += '/';
  size_t from = 3;
  while (from < p.size()) {
    size_t sep = p.find('/', from);
    std::string sub = p.substr(0, sep + 1);
    from = sep + 1;
    if (FolderExists(sub)) continue;
    TRunResult r = Tool("mmd", {MPath(sub.substr(0, sub.size() - 1))});
    Forget(ParentOf(sub));
    if (r.ExitCode != 0)
      return Fail("Cannot create " + GuestPath(*this, sub) + " in " + Path_ + ": " + ToolMessage(r));
  }
  return true;
}

void TImageDrive::RemoveLeftovers(const std::string& Folder, bool Idle) {
  if (!OnVolume(Folder)) return;
  // A new file left under the install name by a run that ended halfway;
  // the next install would write over it anyway, but until then it takes
  // room in the volume.
  const std::string temp = Folder + INSTALL_NAME;
  if (!Idle || !OpenError_.empty() || !FileExists(temp)) return;
  TDriveLock lock(*this);
  if (lock.Held()) Tool("mdel", {MPath(FindNoCase(Folder, INSTALL_NAME))});
}

bool TImageDrive::CheckWritable(int Fd) {
  struct stat st {};
  // A file without write permission is one its owner means to keep as it
  // is, even from a program running as root.
  if (Fd < 0 || ::fstat(Fd, &st) != 0 || (st.st_mode & 0222) == 0)
    return Fail("The disk image is read-only: " + Path_);
  return true;
}

bool TImageDrive::TakeContainerLock(int Fd) {
  // QEMU's daemon takes its own locks on bytes of the file, which a
  // whole-file lock of ours would block: another run of this program is
  // kept out by a flock instead, held until Unlock.
  auto until = std::chrono::steady_clock::now() + OWN_LOCK_WAIT;
  while (::flock(Fd, LOCK_EX | LOCK_NB) != 0) {
    if (std::chrono::steady_clock::now() >= until)
      return Fail("The disk image is in use; close the virtual machine first.");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // A virtual machine's QEMU holds locks on bytes of the file, and so does
  // a daemon of this program reading it, which is why none may run now:
  // any lock at all means another program uses the image. Looked at before
  // the daemon opens the image for writing, as QEMU repairs and updates an
  // image's header the moment it opens it so.
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  if (::fcntl(Fd, F_OFD_GETLK, &probe) == 0 && probe.l_type == F_UNLCK) return true;
  ::flock(Fd, LOCK_UN);
  return Fail("The disk image is in use; close the virtual machine first.");
}

bool TImageDrive::TakeLock(int Fd) {
  if (Container()) return TakeContainerLock(Fd);
  // Another program holding a lock of the kind flock takes is using the
  // image right now.
  if (::flock(Fd, LOCK_EX | LOCK_NB) != 0)
    return Fail("The disk image is in use; close the virtual machine first.");
  ::flock(Fd, LOCK_UN);
  // QEMU holds open-file-description locks on single bytes of every image
  // it runs; this program locks the whole file while it writes. Another
  // run of this program is waited for; anything else means a virtual
  // machine is using the disk.
  auto until = std::chrono::steady_clock::now() + OWN_LOCK_WAIT;
  for (;;) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (::fcntl(Fd, F_OFD_SETLK, &fl) == 0) return true;
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    bool ours = ::fcntl(Fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK &&
                probe.l_start == 0 && probe.l_len == 0;
    if (!ours || std::chrono::steady_clock::now() >= until)
      return Fail("The disk image is in use; close the virtual machine first.");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

bool TImageDrive::Lock() {
  if (LockDepth_ > 0) {
    ++LockDepth_;
    return true;
  }
  if (!OpenError_.empty()) return Fail(OpenError_);
  // Opened again through the descriptor held, so the file locked is the
  // file mtools is given, whatever has become of its name since.
  const std::string self = "/proc/self/fd/" + std::to_string(ImageFd_);
  int fd = ::open(self.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM))
    return Fail("The disk image is read-only: " + Path_);
  if (fd < 0) return Fail(Path_ + ": " + std::strerror(errno));
  std::string error;
  // Our own export, reading, holds locks of QEMU's on the image; it goes
  // before anyone's locks are looked at.
  if (Container() && Export_.Running()) Export_.Stop(error);
  if (!CheckWritable(fd) || !TakeLock(fd)) {
    ::close(fd);
    return false;
  }
  // Emulators that take no lock of any kind still hold the image open
  // for writing while they run.
  if (std::string use = ImageInUse(Path_, fd); !use.empty()) {
    ::close(fd);
    return Fail(use);
  }
  if (Container() && !StartExport(true, error)) {
    ::close(fd);
    return Fail(error);
  }
  LockFd_ = fd;
  LockDepth_ = 1;
  Listings_.clear();
  Contents_.clear();
  return true;
}

void TImageDrive::Unlock() {
  if (LockDepth_ == 0 || --LockDepth_ > (OperationLock_ ? 1 : 0)) return;
  // What was written is on the disk before the lock goes: the export is
  // flushed as its daemon quits, a raw image synced. The lock an operation
  // holds stays until it ends; what was written is flushed all the same.
  std::string error;
  if (OperationLock_) {
    if (!Export_.Flush(error)) Fail(error);
    return;
  }
  if (Container()) {
    // Within an operation the export serves on until it ends; what was
    // written is flushed all the same.
    const bool serves = Sessions_ > 0 || OperationDepth > 0;
    if (!(serves ? Export_.Flush(error) : Export_.Stop(error))) Fail(error);
  } else if (::fsync(LockFd_) != 0) {
    Fail("Cannot write the disk image " + Path_ + ": " + std::strerror(errno));
  }
  ::close(LockFd_);  // ends the lock
  LockFd_ = -1;
  Listings_.clear();
  Contents_.clear();
}

}  // namespace

TDriveOperation::TDriveOperation(bool Writes) : Writes_(Writes) {
  ++OperationDepth;
  if (Writes_) ++WritingDepth;
}

TDriveOperation::~TDriveOperation() {
  if (Writes_) --WritingDepth;
  if (--OperationDepth > 0) return;
  for (TImageDrive* drive : LiveDrives()) drive->OperationEnded();
}

std::unique_ptr<TDrive> OpenImageDrive(const std::string& Choice, const std::string& StorageFolder) {
  return std::make_unique<TImageDrive>(Choice, StorageFolder);
}

bool IsImageChoice(const std::string& Choice) {
  std::string path;
  int32_t partition = 0;
  SplitDriveChoice(Choice, path, partition);
  struct stat st {};
  return !(::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
}

}  // namespace kvo

// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/ImageExport.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "platform/FaultInject.h"
#include "platform/HostFiles.h"
#include "platform/Process.h"
#include "platform/TextUtil.h"

namespace kvo {
namespace {

constexpr uint64_t SECTOR = 512;
// A daemon that has not exported its image by then never will.
constexpr auto DAEMON_START_LIMIT = std::chrono::seconds(20);
// Quitting means flushing what the image still holds in memory.
constexpr auto DAEMON_QUIT_LIMIT = std::chrono::seconds(30);
constexpr auto POLL_STEP = std::chrono::milliseconds(2);
// The longest backing-file name QCOW2 allows, and how deep a chain is
// followed to show it.
constexpr uint32_t QCOW_BACKING_NAME_MAX = 1023;
constexpr int BACKING_DEPTH_MAX = 16;
// The most of a VMDK descriptor that is read to find its kind.
constexpr uint64_t VMDK_DESCRIPTOR_MAX = 64 * 1024;
// VHDX: the region table, and the GUIDs (in their byte order on disk) of
// the metadata region and of its file parameters.
constexpr uint64_t VHDX_REGION_TABLE = 192 * 1024;
constexpr uint8_t VHDX_METADATA_REGION[16] = {0x06, 0xA2, 0x7C, 0x8B, 0x90, 0x47, 0x9A, 0x4B,
                                              0xB8, 0xFE, 0x57, 0x5F, 0x05, 0x0F, 0x88, 0x6E};
constexpr uint8_t VHDX_FILE_PARAMETERS[16] = {0x37, 0x67, 0xA1, 0xCA, 0x36, 0xFA, 0x43, 0x4D,
                                              0xB3, 0xB6, 0x33, 0xF0, 0xAA, 0x44, 0xE7, 0x6B};
constexpr uint32_t VHDX_HAS_PARENT = 2;

// Test switches: a FUSE device and a daemon of another name, so that a
// machine without them can be imitated.
const char* FuseDevice() {
  const char* d = std::getenv("KVO_TEST_FUSE_DEVICE");
  return d && *d ? d : "/dev/fuse";
}

std::string DaemonProgram() {
  const char* d = std::getenv("KVO_TEST_STORAGE_DAEMON");
  return d && *d ? d : "qemu-storage-daemon";
}

// Bytes [Offset, Offset + Size) of Fd; fewer when the file ends first.
std::string ReadAt(int Fd, uint64_t Offset, uint64_t Size) {
  std::string buf(static_cast<size_t>(Size), '\0');
  size_t done = 0;
  while (done < buf.size()) {
    ssize_t n = ::pread(Fd, buf.data() + done, buf.size() - done, static_cast<off_t>(Offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  buf.resize(done);
  return buf;
}

// The unsigned field of Bytes bytes at At, big- or little-endian; bytes
// past the end of B read as zero.
uint64_t Field(const std::string& B, size_t At, int Bytes, bool Big) {
  uint64_t v = 0;
  for (int i = 0; i < Bytes; ++i) {
    const size_t at = At + static_cast<size_t>(Big ? i : Bytes - 1 - i);
    v = v << 8 | (at < B.size() ? static_cast<uint8_t>(B[at]) : 0u);
  }
  return v;
}

uint64_t Be(const std::string& B, size_t At, int Bytes) { return Field(B, At, Bytes, true); }
uint64_t Le(const std::string& B, size_t At, int Bytes) { return Field(B, At, Bytes, false); }

bool StartsWith(const std::string& B, std::string_view Magic) {
  return B.size() >= Magic.size() && B.compare(0, Magic.size(), Magic) == 0;
}

std::string FolderOf(const std::string& Path) {
  size_t slash = Path.rfind('/');
  return slash == std::string::npos ? std::string() : Path.substr(0, slash + 1);
}

std::string ConvertAdvice(const std::string& Path) {
  std::string raw = Path;
  size_t slash = raw.rfind('/'), dot = raw.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) raw.erase(dot);
  return " Make a raw copy for the virtual machine and this program with: qemu-img convert -O raw \"" +
         Path + "\" \"" + raw + "-raw.img\"";
}

// The backing files of the QCOW2 image Path, nearest first, each read from
// the header of the one before (names relative to that image's folder).
std::vector<std::string> QcowBackingChain(const std::string& Head, const std::string& Path, int Fd) {
  std::vector<std::string> chain;
  std::string head = Head, path = Path;
  int fd = Fd;
  for (int depth = 0; depth < BACKING_DEPTH_MAX; ++depth) {
    const uint64_t offset = Be(head, 8, 8);
    const uint64_t size = Be(head, 16, 4);
    if (offset == 0 || size == 0 || size > QCOW_BACKING_NAME_MAX) break;
    std::string name = ReadAt(fd, offset, size);
    if (fd != Fd) ::close(fd);
    if (name.size() != size || name.find('\0') != std::string::npos) break;
    chain.push_back(name);
    path = name[0] == '/' ? name : FolderOf(path) + name;
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) break;
    head = ReadAt(fd, 0, 512);
    if (!StartsWith(head, "QFI\xfb")) break;
  }
  if (fd >= 0 && fd != Fd) ::close(fd);
  return chain;
}

void ProbeQcow(const std::string& Head, const std::string& Path, int Fd, TContainerInfo& C) {
  C.Format = "QCOW2";
  C.Driver = "qcow2";
  const uint64_t version = Be(Head, 4, 4);
  if (version != 2 && version != 3) {
    C.Refusal = Path + " is a QCOW image of version " + std::to_string(version) +
                ", which this program does not write.";
    return;
  }
  if (Be(Head, 32, 4) != 0) {
    C.Refusal = Path + " is an encrypted QCOW2 image, which this program cannot open." +
                ConvertAdvice(Path);
    return;
  }
  C.BackingChain = QcowBackingChain(Head, Path, Fd);
}

void ProbeVdi(const std::string& Head, const std::string& Path, TContainerInfo& C) {
  C.Format = "VDI";
  C.Driver = "vdi";
  const uint64_t type = Le(Head, 0x4C, 4);
  if (type == 1 || type == 2) return;
  C.Refusal = Path + (type == 4 ? " is a differencing VDI image" : " is a VDI image of an unknown kind") +
              ", which QEMU cannot write. Merge it into its parent in VirtualBox first.";
}

// createType="..." of a VMDK descriptor.
std::string VmdkCreateType(const std::string& Descriptor) {
  size_t at = Descriptor.find("createType=\"");
  if (at == std::string::npos) return {};
  at += 12;
  size_t end = Descriptor.find('"', at);
  return end == std::string::npos || end - at > 64 ? std::string() : Descriptor.substr(at, end - at);
}

void ProbeVmdk(const std::string& Head, const std::string& Path, int Fd, TContainerInfo& C) {
  C.Format = "VMDK";
  C.Driver = "vmdk";
  std::string descriptor = Head;
  if (StartsWith(Head, "KDMV")) {
    const uint64_t offset = Le(Head, 28, 8), size = Le(Head, 36, 8);
    if (offset != 0 && size != 0 && size <= VMDK_DESCRIPTOR_MAX / SECTOR)
      descriptor = ReadAt(Fd, offset * SECTOR, size * SECTOR);
    else
      descriptor.clear();
  } else {
    descriptor = ReadAt(Fd, 0, VMDK_DESCRIPTOR_MAX);
  }
  const std::string kind = VmdkCreateType(descriptor);
  for (const char* ok : {"monolithicSparse", "monolithicFlat", "twoGbMaxExtentSparse", "twoGbMaxExtentFlat"})
    if (kind == ok) return;
  C.Refusal = Path + " is a VMDK image of the kind \"" + (kind.empty() ? std::string("unknown") : kind) +
              "\", which QEMU cannot rewrite in place." + ConvertAdvice(Path);
}

// Where the 32-byte entry of Table that starts with Guid lies, among the
// Count entries from First (a count read from the file: only entries that
// lie whole in what was read are looked at); npos when none.
size_t VhdxEntry(const std::string& Table, size_t First, uint64_t Count, const uint8_t (&Guid)[16]) {
  for (uint64_t i = 0; i < std::min<uint64_t>(Count, 2047); ++i) {
    const size_t at = First + static_cast<size_t>(i) * 32;
    if (at + 32 > Table.size()) break;
    if (std::memcmp(Table.data() + at, Guid, 16) == 0) return at;
  }
  return std::string::npos;
}

// Whether the VHDX image's file parameters say it has a parent. Every
// offset and count is checked against what was read.
bool VhdxHasParent(int Fd) {
  const std::string table = ReadAt(Fd, VHDX_REGION_TABLE, 64 * 1024);
  if (!StartsWith(table, "regi")) return false;
  const size_t region = VhdxEntry(table, 16, Le(table, 8, 4), VHDX_METADATA_REGION);
  if (region == std::string::npos) return false;
  const std::string meta =
      ReadAt(Fd, Le(table, region + 16, 8), std::min<uint64_t>(Le(table, region + 24, 4), 1 << 20));
  if (!StartsWith(meta, "metadata")) return false;
  const size_t entry = VhdxEntry(meta, 32, Le(meta, 10, 2), VHDX_FILE_PARAMETERS);
  if (entry == std::string::npos) return false;
  const uint64_t item = Le(meta, entry + 16, 4);
  return item + 8 <= meta.size() && (Le(meta, static_cast<size_t>(item) + 4, 4) & VHDX_HAS_PARENT) != 0;
}

void ProbeVhd(const std::string& Footer, const std::string& Path, TContainerInfo& C) {
  const uint64_t type = Be(Footer, 60, 4);
  if (type == 2) return;  // fixed: raw data and a footer, edited as it is
  C.Driver = "vpc";
  if (type == 3) {
    C.Format = "dynamic VHD";
    return;
  }
  C.Format = type == 4 ? "differencing VHD" : "VHD";
  C.Refusal = Path + (type == 4 ? " is a differencing VHD: QEMU would read its parent's data as zeros, "
                                  "so writing would destroy the volume. Merge it into its parent first."
                                : " is a VHD of disk type " + std::to_string(type) + ", which this program does not write.");
}

// The formats QEMU opens only for reading.
std::string ReadOnlyFormat(const std::string& Head, const std::string& Tail) {
  if (StartsWith(Head, "Bochs Virtual HD Image")) return "Bochs growing";
  if (StartsWith(Head, "WithoutFreeSpace") || StartsWith(Head, "WithouFreSpacExt")) return "Parallels";
  if (StartsWith(Head, "#!/bin/sh") && Head.find("#V2.0 Format") != std::string::npos) return "cloop";
  if (StartsWith(Tail, "koly")) return "DMG";
  return {};
}

// Milliseconds left until Until, for poll, at most Most.
int MillisecondsUntil(std::chrono::steady_clock::time_point Until, int64_t Most) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(Until - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<int64_t>(left.count() + 1, 0, Most));
}

// The exit of a child started with fork, within Limit; false when it is
// still running then. Woken by the exit itself where the kernel can say
// (a pidfd), else by looking again every few milliseconds.
bool WaitWithin(pid_t Pid, std::chrono::steady_clock::duration Limit, int& Status) {
  const auto until = std::chrono::steady_clock::now() + Limit;
  const int exited = static_cast<int>(::syscall(SYS_pidfd_open, Pid, 0));
  bool done = false;
  for (;;) {
    pid_t r = ::waitpid(Pid, &Status, WNOHANG);
    if ((done = r == Pid || (r < 0 && errno != EINTR)) || std::chrono::steady_clock::now() >= until) break;
    pollfd p{exited, POLLIN, 0};
    if (exited < 0 || ::poll(&p, 1, MillisecondsUntil(until, 1000)) < 0) std::this_thread::sleep_for(POLL_STEP);
  }
  if (exited >= 0) ::close(exited);
  return done;
}

// Whether Path is a mount point of its own (a FUSE export in place). An
// export whose daemon was killed stays mounted, and every look at it fails
// with "not connected": that is a mount too, one to be taken down.
bool Mounted(const std::string& Path) {
  struct stat file {}, folder {};
  if (::stat(Path.c_str(), &file) != 0) return errno == ENOTCONN;
  return ::stat(FolderOf(Path).c_str(), &folder) == 0 && file.st_dev != folder.st_dev;
}

void Unmount(const std::string& Path) {
  if (!Mounted(Path)) return;
  RunCaptured({"fusermount3", "-u", "-z", Path}, {}, 10000);
  if (Mounted(Path)) ::umount2(Path.c_str(), MNT_DETACH);
}

// The export folder's entries are "export-PID-N".
constexpr std::string_view EXPORT_PREFIX = "export-";

std::atomic<int> ExportCount{0};

// The daemon's first line of complaint, in words for the user.
std::string DaemonError(const std::string& Err, const std::string& Image) {
  if (Err.find("lock") != std::string::npos && Err.find("Failed to get") != std::string::npos)
    return "The disk image is in use; close the virtual machine first.";
  std::string line = Err.substr(0, Err.find('\n'));
  if (line.rfind("qemu-storage-daemon: ", 0) == 0) line.erase(0, 21);
  return "QEMU's storage daemon cannot open " + Image + ": " + (line.empty() ? "it ended at once." : line);
}

}  // namespace

TContainerInfo ProbeContainer(int Fd, const std::string& Path) {
  TContainerInfo c;
  struct stat st {};
  if (::fstat(Fd, &st) != 0) return c;
  const std::string head = ReadAt(Fd, 0, SECTOR);
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  const std::string tail = size >= 2 * SECTOR ? ReadAt(Fd, size - SECTOR, SECTOR) : std::string();
  if (StartsWith(head, "QFI\xfb")) {
    ProbeQcow(head, Path, Fd, c);
  } else if (Le(head, 0x40, 4) == 0xBEDA107Fu) {
    ProbeVdi(head, Path, c);
  } else if (StartsWith(head, "KDMV") || StartsWith(head, "# Disk DescriptorFile")) {
    ProbeVmdk(head, Path, Fd, c);
  } else if (Le(head, 0, 8) == 0xcafebabeu) {
    c.Format = "VMDK";
    c.Refusal = Path + " is a VMDK image of the kind \"seSparse\", which QEMU cannot rewrite in place." +
                ConvertAdvice(Path);
  } else if (StartsWith(head, "vhdxfile")) {
    c.Format = "VHDX";
    c.Driver = "vhdx";
    if (VhdxHasParent(Fd))
      c.Refusal = Path + " is a differencing VHDX image, which QEMU cannot open. Merge it into its parent first.";
  } else if (StartsWith(head, "conectix")) {
    ProbeVhd(head, Path, c);  // a dynamic VHD starts with a copy of its footer
  } else if (StartsWith(tail, "conectix")) {
    ProbeVhd(tail, Path, c);
  } else if (std::string ro = ReadOnlyFormat(head, tail); !ro.empty()) {
    c.Format = ro;
    c.Refusal = Path + " is a " + ro + " disk image, which QEMU opens only for reading." + ConvertAdvice(Path);
  }
  return c;
}

std::string ExportUnavailable() {
  const std::string advice = " Or make a raw copy with qemu-img convert -O raw, and use that.";
  if (::access(FuseDevice(), R_OK | W_OK) != 0)
    return std::string("Images of this kind are edited through FUSE, and ") + FuseDevice() +
           " is missing or closed to this user (Debian package fuse3)." + advice;
  if (FindExecutable(DaemonProgram(), "").empty())
    return "Images of this kind are edited through QEMU's storage daemon, which is not installed "
           "(Debian package qemu-system-common)." + advice;
  if (::geteuid() != 0 && FindExecutable("fusermount3", "").empty())
    return "Images of this kind are edited through FUSE, and fusermount3 is not installed (Debian package fuse3)." +
           advice;
  return {};
}

TImageExport::~TImageExport() {
  std::string ignored;
  Stop(ignored);
}

bool TImageExport::Start(const std::string& Image, const std::string& Driver, bool Writable,
                         std::string& Error) {
  if (Running()) Stop(Error);
  if (Error = ExportUnavailable(); !Error.empty()) return false;
  const std::string run = PrivateRunFolder();
  if (run.empty()) {
    Error = "No private folder can be made for the export of " + Image + ".";
    return false;
  }
  Mount_ = run + std::string(EXPORT_PREFIX) + std::to_string(::getpid()) + "-" + std::to_string(++ExportCount);
  int mp = ::open(Mount_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (mp < 0 || FaultInjected(TFaultOp::Open)) {
    if (mp >= 0) ::close(mp), ::unlink(Mount_.c_str());
    Error = "Cannot create " + Mount_ + ": " + std::strerror(errno);
    return false;
  }
  ::close(mp);
  // Every name is handed over in JSON, so no comma or quote in it is read
  // as an option. The driver is named: QEMU never guesses the format.
  const std::string node = Writable ? "" : ",\"read-only\":true,\"force-share\":true";
  const std::string blockdev = "{\"driver\":\"" + Driver + "\",\"node-name\":\"kvo-disk\"" + node +
                               ",\"file\":{\"driver\":\"file\",\"filename\":" + JsonText(Image) + "}}";
  const std::string exportArg = "{\"type\":\"fuse\",\"id\":\"kvo-export\",\"node-name\":\"kvo-disk\",\"mountpoint\":" +
                                JsonText(Mount_) + ",\"writable\":" + (Writable ? "true" : "false") + "}";
  const std::string program = FindExecutable(DaemonProgram(), "");
  std::vector<std::string> args{program, "--blockdev", blockdev, "--export", exportArg};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int err[2];
  if (::pipe2(err, O_CLOEXEC) != 0) {
    Error = std::string("Cannot start QEMU's storage daemon: ") + std::strerror(errno);
    ::unlink(Mount_.c_str());
    return false;
  }
  // Opened before the daemon starts, so that its mount is sure to be
  // signalled.
  const int mounts = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
  const pid_t parent = ::getpid();
  pid_t pid = FaultInjected(TFaultOp::Open) ? -1 : ::fork();
  if (pid == 0) {
    // The daemon goes when this program goes, however it ends; quitting
    // on SIGTERM, it flushes the image and unmounts the export.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(err[1]);
  if (pid < 0) {
    ::close(err[0]);
    if (mounts >= 0) ::close(mounts);
    ::unlink(Mount_.c_str());
    Error = std::string("Cannot start QEMU's storage daemon: ") + std::strerror(errno);
    return false;
  }
  Pid_ = pid;
  Writable_ = Writable;
  const bool ready = WaitForMount(err[0], mounts, Error);
  ::close(err[0]);
  if (mounts >= 0) ::close(mounts);
  if (!ready) {
    std::string ignored;
    Stop(ignored);
    Error = DaemonError(Error, Image);
    return false;
  }
  Fd_ = ::open(Mount_.c_str(), (Writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (Fd_ < 0) {
    Error = "Cannot open the export of " + Image + ": " + std::strerror(errno);
    std::string ignored;
    Stop(ignored);
    return false;
  }
  return true;
}

bool TImageExport::WaitForMount(int ErrFd, int Mounts, std::string& Error) {
  const auto until = std::chrono::steady_clock::now() + DAEMON_START_LIMIT;
  std::string said;
  for (;;) {
    if (Mounted(Mount_)) return true;
    int status = 0;
    if (::waitpid(Pid_, &status, WNOHANG) == Pid_) {
      Pid_ = -1;
      char buf[4096];
      ssize_t n = ::read(ErrFd, buf, sizeof buf);
      Error = said + std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
      return false;
    }
    if (std::chrono::steady_clock::now() >= until) {
      Error = "it did not export the image in time.";
      return false;
    }
    // Woken when a mount appears (mountinfo signals every change) or the
    // daemon writes or ends; what it writes is kept for the message. A
    // look every 20 ms all the same, should a mount go unsignalled.
    pollfd p[2] = {{ErrFd, POLLIN, 0}, {Mounts, POLLPRI, 0}};
    if (Mounts < 0 || ::poll(p, 2, MillisecondsUntil(until, 20)) < 0) std::this_thread::sleep_for(POLL_STEP);
    if (p[0].revents & POLLIN) {
      char buf[512];
      ssize_t n = ::read(ErrFd, buf, sizeof buf);
      if (n > 0 && said.size() < 4096) said.append(buf, static_cast<size_t>(n));
    }
  }
}

bool TImageExport::Flush(std::string& Error) {
  // The export passes the sync on as a flush of the image: QEMU writes out
  // what its driver keeps in memory and syncs the file.
  if (Fd_ < 0 || !Writable_) return true;
  if (!FaultInjected(TFaultOp::Flush) && ::fsync(Fd_) == 0) return true;
  Error = std::string("Cannot flush the disk image: ") + std::strerror(errno);
  return false;
}

bool TImageExport::Stop(std::string& Error) {
  bool ok = true;
  if (Fd_ >= 0) {
    // What was written reaches the image before the daemon is told to go.
    ok = Flush(Error);
    ::close(Fd_);
    Fd_ = -1;
  }
  if (Pid_ > 0) {
    ::kill(Pid_, SIGTERM);
    int status = 0;
    if (!WaitWithin(Pid_, DAEMON_QUIT_LIMIT, status)) {
      ::kill(Pid_, SIGKILL);
      WaitWithin(Pid_, DAEMON_QUIT_LIMIT, status);
      status = -1;
    }
    if (ok && !(WIFEXITED(status) && WEXITSTATUS(status) == 0) &&
        !(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM)) {
      Error = "QEMU's storage daemon did not quit cleanly.";
      ok = false;
    }
    Pid_ = -1;
  }
  if (!Mount_.empty()) {
    Unmount(Mount_);
    ::unlink(Mount_.c_str());
    Mount_.clear();
  }
  return ok;
}

void RemoveStaleExports() {
  const std::string run = PrivateRunFolder();
  if (run.empty()) return;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(run.c_str()), ::closedir);
  if (!dir) return;
  while (dirent* e = ::readdir(dir.get())) {
    const std::string name = e->d_name;
    if (name.compare(0, EXPORT_PREFIX.size(), EXPORT_PREFIX) != 0) continue;
    const std::string pid = name.substr(EXPORT_PREFIX.size(), name.find('-', EXPORT_PREFIX.size()) - EXPORT_PREFIX.size());
    if (!ProcessGone(pid)) continue;
    Unmount(run + name);
    ::unlink((run + name).c_str());
  }
}

}  // namespace kvo

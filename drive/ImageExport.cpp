// SPDX-License-Identifier: GPL-3.0-or-later
#include "drive/ImageExport.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
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
#include <condition_variable>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/FaultInject.h"
#include "platform/HostFiles.h"
#include "platform/Process.h"
#include "platform/TextUtil.h"

namespace kvo {
namespace {

// A daemon that has not exported its image by then never will.
constexpr auto DAEMON_START_LIMIT = std::chrono::seconds(20);
// Quitting means flushing what the image still holds in memory.
constexpr auto DAEMON_QUIT_LIMIT = std::chrono::seconds(30);
constexpr auto POLL_STEP = std::chrono::milliseconds(2);

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

// Whether Path is a mount point of its own (a FUSE export in place), from
// the mount table alone: a look at the export itself would wait on its
// daemon, which may have stopped answering, and one whose daemon was
// killed stays mounted until it is taken down.
bool Mounted(const std::string& Path) {
  std::string table;
  if (!HostReadFile("/proc/self/mountinfo", table, 8u << 20)) return false;
  // The table writes blanks, tabs, newlines and backslashes as octal.
  std::string shown;
  for (char c : Path) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
      char octal[5];
      std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned char>(c));
      shown += octal;
    } else {
      shown += c;
    }
  }
  // Each line: mount id, parent id, device, root, mount point, ...
  for (size_t from = 0; from < table.size();) {
    const size_t eol = std::min(table.find('\n', from), table.size());
    std::string_view line(table.data() + from, eol - from);
    from = eol + 1;
    size_t at = 0;
    for (int field = 0; field < 4 && at != std::string_view::npos; ++field)
      if ((at = line.find(' ', at)) != std::string_view::npos) ++at;
    if (at != std::string_view::npos && line.substr(at, line.find(' ', at) - at) == shown) return true;
  }
  return false;
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

// The daemon's name for a descriptor it inherits.
std::string FdName(int Fd) { return "/proc/self/fd/" + std::to_string(Fd); }

// The --blockdev arguments for the chain, its last backing file first:
// every node named, every file the descriptor opened for it, the last
// image told it has no backing file, so QEMU follows no name the image
// holds. The image is "kvo-disk"; backing files are only ever read.
std::vector<std::string> BlockGraph(const TImageChain& Chain, int Descriptor, bool Writable) {
  std::vector<std::string> nodes;
  for (size_t i = Chain.Links.size(); i-- > 0;) {
    const TChainLink& link = Chain.Links[i];
    const bool readOnly = i > 0 || !Writable;
    // Read only, the image is shared with a virtual machine that runs on
    // it; backing files are shared as QEMU shares them.
    const std::string access =
        readOnly ? std::string(",\"read-only\":true") + (Writable ? "" : ",\"force-share\":true") : "";
    const std::string file = "{\"driver\":\"file\",\"filename\":" +
                             JsonText(FdName(link.TextDescriptor ? Descriptor : link.Fd)) + access + "}";
    std::string node = "{\"driver\":" + JsonText(link.Driver) + ",\"node-name\":" +
                       JsonText(i == 0 ? "kvo-disk" : "kvo-backing-" + std::to_string(i)) + access +
                       ",\"file\":" + file;
    if (link.Driver == "qcow2" || link.Driver == "vmdk")
      node += ",\"backing\":" + (i + 1 < Chain.Links.size() ? JsonText("kvo-backing-" + std::to_string(i + 1)) : "null");
    nodes.push_back(node + "}");
  }
  return nodes;
}

// Every descriptor the daemon must inherit.
std::vector<int> ChainFds(const TImageChain& Chain, int Descriptor) {
  std::vector<int> fds;
  if (Descriptor >= 0) fds.push_back(Descriptor);
  for (const TChainLink& l : Chain.Links) {
    fds.push_back(l.Fd);
    for (const TVmdkExtent& e : l.Vmdk.Extents)
      if (e.Fd >= 0) fds.push_back(e.Fd);
  }
  return fds;
}

// Starts the daemon with Args, its errors to ErrFd, the descriptors Keep
// left open across the exec at their own numbers. Its pid, or -1.
pid_t StartDaemon(std::vector<std::string>& Args, const std::vector<int>& Keep, int ErrFd) {
  std::vector<char*> argv;
  for (std::string& a : Args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  // The daemon goes when this program goes, however it ends; quitting on
  // SIGTERM, it flushes the image and unmounts the export.
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::getppid() != parent) ::_exit(127);
  for (int fd : Keep) ::fcntl(fd, F_SETFD, 0);
  int null = ::open("/dev/null", O_RDWR);
  ::dup2(null, STDIN_FILENO);
  ::dup2(null, STDOUT_FILENO);
  ::dup2(ErrFd, STDERR_FILENO);
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

}  // namespace

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

bool TImageExport::Start(TImageChain& Chain, bool Writable, std::string& Error) {
  if (Running()) Stop(Error);
  if (Error = ExportUnavailable(); !Error.empty()) return false;
  const std::string& image = Chain.Links.at(0).Name;
  std::string why;
  const std::string run = PrivateRunFolder(why);
  if (run.empty()) {
    Error = "No private folder can be made for the export of " + image + ": " + why;
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
  if (!StandInDescriptor(Chain, Error)) {
    ::unlink(Mount_.c_str());
    return false;
  }
  std::vector<std::string> args{FindExecutable(DaemonProgram(), "")};
  for (std::string& node : BlockGraph(Chain, Descriptor_.Get(), Writable)) args.insert(args.end(), {"--blockdev", node});
  args.insert(args.end(), {"--export", "{\"type\":\"fuse\",\"id\":\"kvo-export\",\"node-name\":\"kvo-disk\",\"mountpoint\":" +
                                           JsonText(Mount_) + ",\"writable\":" + (Writable ? "true" : "false") + "}"});
  int err[2];
  if (::pipe2(err, O_CLOEXEC) != 0) {
    Error = std::string("Cannot start QEMU's storage daemon: ") + std::strerror(errno);
    ::unlink(Mount_.c_str());
    return false;
  }
  // Opened before the daemon starts, so that its mount is sure to be
  // signalled.
  const int mounts = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
  const pid_t pid = FaultInjected(TFaultOp::Open) ? -1 : StartDaemon(args, ChainFds(Chain, Descriptor_.Get()), err[1]);
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
    Error = DaemonError(Error, image);
    return false;
  }
  bool late = false;
  Bounded([&] { return (Fd_ = ::open(Mount_.c_str(), (Writable ? O_RDWR : O_RDONLY) | O_CLOEXEC)) >= 0; },
          DAEMON_START_LIMIT, late);
  if (late && Fd_ >= 0) {
    ::close(Fd_);
    Fd_ = -1;
  }
  if (Fd_ < 0) {
    Error = "Cannot open the export of " + image + ": " +
            (late ? "QEMU's storage daemon did not answer, and was stopped." : std::strerror(errno));
    std::string ignored;
    Stop(ignored);
    return false;
  }
  return true;
}

bool TImageExport::StandInDescriptor(TImageChain& Chain, std::string& Error) {
  Descriptor_.Reset();
  VmdkLink_ = nullptr;
  TChainLink& top = Chain.Links.at(0);
  if (!top.TextDescriptor) return true;
  // The daemon reads a descriptor of this program's making, naming each
  // extent by the descriptor it inherits; the image's own stays as it is.
  const std::string text = DaemonVmdkDescriptor(top);
  Descriptor_.Reset(::memfd_create("kvo-vmdk", MFD_CLOEXEC));
  if (Descriptor_.Get() < 0 || !WriteAllFd(Descriptor_.Get(), text)) {
    Error = "Cannot prepare the descriptor of " + top.Name + " for QEMU: " + std::strerror(errno);
    Descriptor_.Reset();
    return false;
  }
  VmdkLink_ = &top;
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

bool TImageExport::Bounded(const std::function<bool()>& Step, std::chrono::milliseconds Limit, bool& Late) {
  Late = false;
  std::mutex m;
  std::condition_variable finished;
  bool done = false;
  std::thread guard([&] {
    std::unique_lock<std::mutex> lock(m);
    if (!finished.wait_for(lock, Limit, [&] { return done; })) {
      Late = true;
      Kill();
    }
  });
  const bool ok = Step();
  const int error = errno;
  {
    std::lock_guard<std::mutex> lock(m);
    done = true;
  }
  finished.notify_one();
  guard.join();
  errno = error;
  return ok;
}

bool TImageExport::Flush(std::string& Error) {
  // The export passes the sync on as a flush of the image: QEMU writes out
  // what its driver keeps in memory and syncs the file.
  if (Fd_ < 0 || !Writable_) return true;
  bool late = false;
  if (Bounded([&] { return !FaultInjected(TFaultOp::Flush) && ::fsync(Fd_) == 0; }, DAEMON_QUIT_LIMIT, late) &&
      !late)
    return true;
  Error = late ? "QEMU's storage daemon did not flush the disk image within " +
                     std::to_string(DAEMON_QUIT_LIMIT.count()) + " seconds and was stopped."
               : std::string("Cannot flush the disk image: ") + std::strerror(errno);
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
    if (ok && Writable_) ok = KeepCid(Error);
  }
  Descriptor_.Reset();
  VmdkLink_ = nullptr;
  if (!Mount_.empty()) {
    Unmount(Mount_);
    ::unlink(Mount_.c_str());
    Mount_.clear();
  }
  return ok;
}

void TImageExport::Kill() {
  if (Pid_ > 0) ::kill(Pid_, SIGKILL);
}

bool TImageExport::KeepCid(std::string& Error) {
  if (!VmdkLink_ || Descriptor_.Get() < 0) return true;
  std::string written(64 * 1024, '\0');
  const ssize_t n = ::pread(Descriptor_.Get(), written.data(), written.size(), 0);
  return n <= 0 || KeepVmdkCid(*VmdkLink_, std::string_view(written).substr(0, static_cast<size_t>(n)), Error);
}

void RemoveStaleExports() {
  std::vector<std::string> folders = LeftRunFolders();
  if (std::string run = PrivateRunFolder(); !run.empty()) folders.push_back(run);
  for (const std::string& run : folders) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(run.c_str()), ::closedir);
    while (dirent* e = dir ? ::readdir(dir.get()) : nullptr) {
      const std::string name = e->d_name;
      if (name.compare(0, EXPORT_PREFIX.size(), EXPORT_PREFIX) != 0) continue;
      const std::string pid = name.substr(EXPORT_PREFIX.size(), name.find('-', EXPORT_PREFIX.size()) - EXPORT_PREFIX.size());
      if (!ProcessGone(pid)) continue;
      Unmount(run + name);
      ::unlink((run + name).c_str());
    }
  }
}

}  // namespace kvo

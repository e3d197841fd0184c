// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Folders.h"
#include "platform/FaultInject.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

namespace kvo {
namespace {

std::string EnvOr(const char* Name, const std::string& Fallback) {
  const char* v = std::getenv(Name);
  // An XDG variable that is empty or relative is to be ignored.
  if (v && v[0] == '/') return v;
  return Fallback;
}

std::string HomeFolder() {
  const char* h = std::getenv("HOME");
  return (h && *h) ? std::string(h) : std::string("/tmp");
}

std::string WithSlash(std::string Path) {
  if (!Path.empty() && Path.back() != '/') Path += '/';
  return Path;
}

}  // namespace

std::string XdgConfigHome() { return EnvOr("XDG_CONFIG_HOME", HomeFolder() + "/.config"); }

std::string XdgDataHome() { return EnvOr("XDG_DATA_HOME", HomeFolder() + "/.local/share"); }

std::string ExecutablePath() {
  std::string buf(4096, '\0');
  ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return {};
  buf.resize(static_cast<size_t>(n));
  return buf;
}

std::string ExecutableDir() {
  std::string p = ExecutablePath();
  auto slash = p.rfind('/');
  if (slash == std::string::npos) return "./";
  return p.substr(0, slash + 1);
}

std::string ConfigFolder() {
  std::string f = WithSlash(XdgConfigHome()) + "KvoPanoramics/";
  EnsureFolder(f);
  return f;
}

std::string DefaultDriveFolder() { return WithSlash(XdgDataHome()) + "KvoPanoramics/drive_c/"; }

bool FolderExists(const std::string& Path) {
  struct stat st {};
  return !Path.empty() && ::stat(Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string& Path) {
  struct stat st {};
  return !Path.empty() && ::stat(Path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool EnsureFolder(const std::string& Folder) {
  if (Folder.empty()) return false;
  std::string path;
  size_t pos = 0;
  while (pos != std::string::npos) {
    size_t next = Folder.find('/', pos + 1);
    path = Folder.substr(0, next);
    if (!path.empty() && path != "/" && !FolderExists(path)) {
      if ((FaultInjected(TFaultOp::MakeFolder) || ::mkdir(path.c_str(), 0777) != 0) &&
          errno != EEXIST)
        return false;
    }
    pos = next;
  }
  return FolderExists(Folder);
}

std::string FindFileNoCase(const std::string& Folder, const std::string& Name) {
  std::string exact = Folder + Name;
  struct stat st {};
  if (::lstat(exact.c_str(), &st) == 0) return exact;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(Folder.empty() ? "." : Folder.c_str()),
                                          ::closedir);
  if (!dir) return exact;
  while (dirent* e = ::readdir(dir.get())) {
    if (::strcasecmp(e->d_name, Name.c_str()) == 0) return Folder + e->d_name;
  }
  return exact;
}

}  // namespace kvo

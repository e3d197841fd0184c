// SPDX-License-Identifier: GPL-3.0-or-later
#include "drive/ImageChain.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <utility>

#include "platform/TextUtil.h"

namespace kvo {
namespace {

constexpr uint64_t SECTOR = 512;
// The most of a VMDK descriptor that is read; real ones are a few hundred
// bytes.
constexpr uint64_t VMDK_DESCRIPTOR_MAX = 64 * 1024;
// A chain deeper or wider than this is no disk of Windows 98: QCOW2
// backing files, and VMDK extents (2 GB each, so 512 GB).
constexpr int BACKING_DEPTH_MAX = 16;
constexpr size_t VMDK_EXTENTS_MAX = 256;
constexpr uint64_t VMDK_EXTENT_SECTORS_MAX = 1ull << 40;
// QCOW2: the longest backing name, the largest cluster, and the header
// extensions that name a format and a data file.
constexpr uint64_t QCOW_BACKING_NAME_MAX = 1023;
constexpr uint32_t QCOW_CLUSTER_BITS_MIN = 9, QCOW_CLUSTER_BITS_MAX = 21;
constexpr uint32_t QCOW_EXT_BACKING_FORMAT = 0xE2792ACA;
constexpr uint32_t QCOW_EXT_DATA_FILE = 0x44415441;
constexpr uint64_t QCOW_INCOMPAT_DATA_FILE = 1u << 2;
// VHDX: the region table, and the GUIDs (in their byte order on disk) of
// the metadata region and of its file parameters.
constexpr uint64_t VHDX_REGION_TABLE = 192 * 1024;
constexpr uint8_t VHDX_METADATA_REGION[16] = {0x06, 0xA2, 0x7C, 0x8B, 0x90, 0x47, 0x9A, 0x4B,
                                              0xB8, 0xFE, 0x57, 0x5F, 0x05, 0x0F, 0x88, 0x6E};
constexpr uint8_t VHDX_FILE_PARAMETERS[16] = {0x37, 0x67, 0xA1, 0xCA, 0x36, 0xFA, 0x43, 0x4D,
                                              0xB3, 0xB6, 0x33, 0xF0, 0xAA, 0x44, 0xE7, 0x6B};
constexpr uint32_t VHDX_HAS_PARENT = 2;
// The kernel's own file systems, whose files look regular but are not.
constexpr unsigned long KERNEL_FILE_SYSTEMS[] = {PROC_SUPER_MAGIC,   SYSFS_MAGIC,        DEBUGFS_MAGIC,
                                                 TRACEFS_MAGIC,      SECURITYFS_MAGIC,   CGROUP_SUPER_MAGIC,
                                                 CGROUP2_SUPER_MAGIC, BPF_FS_MAGIC};

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
uint64_t Field(std::string_view B, size_t At, int Bytes, bool Big) {
  uint64_t v = 0;
  for (int i = 0; i < Bytes; ++i) {
    const size_t at = At + static_cast<size_t>(Big ? i : Bytes - 1 - i);
    v = v << 8 | (at < B.size() ? static_cast<uint8_t>(B[at]) : 0u);
  }
  return v;
}

uint64_t Be(std::string_view B, size_t At, int Bytes) { return Field(B, At, Bytes, true); }
uint64_t Le(std::string_view B, size_t At, int Bytes) { return Field(B, At, Bytes, false); }

bool StartsWith(std::string_view B, std::string_view Magic) { return B.substr(0, Magic.size()) == Magic; }

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

void ProbeQcow(const std::string& Head, const std::string& Path, TContainerInfo& C) {
  C.Format = "QCOW2";
  C.Driver = "qcow2";
  const uint64_t version = Be(Head, 4, 4);
  if (version != 2 && version != 3) {
    C.Refusal = Path + " is a QCOW image of version " + std::to_string(version) +
                ", which this program does not write.";
  } else if (Be(Head, 32, 4) != 0) {
    C.Refusal = Path + " is an encrypted QCOW2 image, which this program cannot open." + ConvertAdvice(Path);
  }
}

void ProbeVdi(const std::string& Head, const std::string& Path, TContainerInfo& C) {
  C.Format = "VDI";
  C.Driver = "vdi";
  const uint64_t type = Le(Head, 0x4C, 4);
  if (type == 1 || type == 2) return;
  C.Refusal = Path + (type == 4 ? " is a differencing VDI image" : " is a VDI image of an unknown kind") +
              ", which QEMU cannot write. Merge it into its parent in VirtualBox first.";
}

// The descriptor of a VMDK: its own text, or the one a sparse image
// embeds; empty when the image says it has none that can be read.
std::string VmdkDescriptorText(const std::string& Head, int Fd) {
  if (!StartsWith(Head, "KDMV")) return ReadAt(Fd, 0, VMDK_DESCRIPTOR_MAX);
  const uint64_t offset = Le(Head, 28, 8), size = Le(Head, 36, 8);
  // An offset past any file this program reads would wrap once made bytes.
  if (offset == 0 || offset > VMDK_EXTENT_SECTORS_MAX || size == 0 || size > VMDK_DESCRIPTOR_MAX / SECTOR) return {};
  return ReadAt(Fd, offset * SECTOR, size * SECTOR);
}

// createType="..." of a VMDK descriptor.
std::string VmdkCreateType(std::string_view Descriptor) {
  size_t at = Descriptor.find("createType=\"");
  if (at == std::string::npos) return {};
  at += 12;
  size_t end = Descriptor.find('"', at);
  return end == std::string::npos || end - at > 64 ? std::string() : std::string(Descriptor.substr(at, end - at));
}

void ProbeVmdk(const std::string& Head, const std::string& Path, int Fd, TContainerInfo& C) {
  C.Format = "VMDK";
  C.Driver = "vmdk";
  const std::string kind = VmdkCreateType(VmdkDescriptorText(Head, Fd));
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

// The next blank-separated word of Line, taken off its front.
std::string_view NextWord(std::string_view& Line) {
  Line = TrimBlanks(Line);
  size_t end = 0;
  while (end < Line.size() && !IsBlank(Line[end])) ++end;
  std::string_view word = Line.substr(0, end);
  Line.remove_prefix(end);
  return word;
}

// A decimal number of at most 15 digits; false for anything else.
bool Decimal(std::string_view Text, uint64_t& Value) {
  if (Text.empty() || Text.size() > 15) return false;
  Value = 0;
  for (char c : Text) {
    if (c < '0' || c > '9') return false;
    Value = Value * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

// Whether Name names a file in the folder it is read in, and nothing else.
bool PlainFileName(std::string_view Name) {
  return !Name.empty() && Name != "." && Name != ".." && Name.find('/') == std::string_view::npos &&
         Name.find('\0') == std::string_view::npos;
}

// One extent line ("RW 4192256 FLAT "win98-f001.vmdk" 0"), after its
// access word, which was RW.
bool ParseVmdkExtent(std::string_view Line, TVmdkExtent& E, std::string& Why) {
  if (!Decimal(NextWord(Line), E.Sectors) || E.Sectors == 0 || E.Sectors > VMDK_EXTENT_SECTORS_MAX) {
    Why = "has an extent of an impossible size.";
    return false;
  }
  E.Kind = std::string(NextWord(Line));
  if (E.Kind != "FLAT" && E.Kind != "SPARSE" && E.Kind != "ZERO") {
    Why = "has an extent of the kind " + E.Kind + ", which this program does not follow.";
    return false;
  }
  Line = TrimBlanks(Line);
  if (E.Kind != "ZERO") {
    const size_t close = Line.size() > 1 && Line[0] == '"' ? Line.find('"', 1) : std::string_view::npos;
    if (close == std::string_view::npos || !PlainFileName(Line.substr(1, close - 1))) {
      Why = "names an extent file " + std::string(Line) +
            " that is not a plain file name in the descriptor's own folder.";
      return false;
    }
    E.Name = std::string(Line.substr(1, close - 1));
    Line.remove_prefix(close + 1);
  }
  const std::string_view offset = NextWord(Line);
  const bool fits = E.Kind == "FLAT" ? Decimal(offset, E.Offset) && E.Offset <= VMDK_EXTENT_SECTORS_MAX
                                     : offset.empty();
  if (!fits || !TrimBlanks(Line).empty()) {
    Why = "has an extent line QEMU would not read as written.";
    return false;
  }
  return true;
}

// The value after "Key=" when Line is such a line, quotes taken off.
bool KeyValue(std::string_view Line, std::string_view Key, std::string& Value) {
  if (Line.size() <= Key.size() || Line.substr(0, Key.size()) != Key || Line[Key.size()] != '=') return false;
  std::string_view v = TrimBlanks(Line.substr(Key.size() + 1));
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
  Value = std::string(v);
  return true;
}

// Where the value of the descriptor's "CID=" line lies, [first, second);
// npos when it has none.
std::pair<size_t, size_t> CidValue(std::string_view Text) {
  const size_t at = Text.substr(0, 4) == "CID=" ? 0 : Text.find("\nCID=");
  if (at == std::string_view::npos) return {at, at};
  const size_t from = at + (Text[at] == '\n' ? 5 : 4);
  return {from, std::min(Text.find_first_of("\r\n", from), Text.size())};
}

std::string DescriptorCid(std::string_view Text) {
  const auto [from, end] = CidValue(Text);
  return from == std::string_view::npos ? std::string() : std::string(TrimBlanks(Text.substr(from, end - from)));
}

// A file of the chain, open, and what it is.
struct TOpened {
  TFd Fd;
  struct stat St {};
};

// Opens Name, relative to the folder Dir (or absolute), as a file of the
// chain: a regular file, not reached through a link in its own place, and
// no file of the kernel's (/proc, /sys), which only looks regular. Its
// type is looked at before it is opened, so no device or FIFO is opened
// at all; the open file is checked to be the one looked at.
bool OpenLink(int Dir, const std::string& Name, TOpened& F, std::string& Why) {
  struct stat seen {};
  if (::fstatat(Dir, Name.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0) {
    Why = std::string("cannot be opened: ") + std::strerror(errno) + ".";
    return false;
  }
  if (S_ISLNK(seen.st_mode) || !S_ISREG(seen.st_mode)) {
    Why = S_ISLNK(seen.st_mode) ? "is a symbolic link, which an image may not lead through."
                                : "is not a regular file (a device, FIFO or socket).";
    return false;
  }
  F.Fd.Reset(::openat(Dir, Name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct statfs fs {};
  if (F.Fd.Get() < 0 || ::fstat(F.Fd.Get(), &F.St) != 0 || ::fstatfs(F.Fd.Get(), &fs) != 0) {
    Why = std::string("cannot be opened: ") + std::strerror(errno) + ".";
    return false;
  }
  if (F.St.st_dev != seen.st_dev || F.St.st_ino != seen.st_ino || !S_ISREG(F.St.st_mode)) {
    Why = "changed while it was being opened.";
    return false;
  }
  for (unsigned long kernel : KERNEL_FILE_SYSTEMS)
    if (static_cast<unsigned long>(fs.f_type) == kernel) {
      Why = "is a file of the kernel's, not a disk image.";
      return false;
    }
  return true;
}

// Why a backing name is not one to follow: QEMU would read "json:" as
// options and "proto:..." (a colon before any slash) as a protocol, such
// as nbd: or http:, rather than as a file.
std::string BackingNameFault(const std::string& Name) {
  if (Name.rfind("json:", 0) == 0) return "gives QEMU options (json:) instead of a file name.";
  if (Name.find('\0') != std::string::npos) return "holds a zero byte.";
  const size_t colon = Name.find(':');
  if (colon != std::string::npos && colon < Name.find('/'))
    return "names a protocol (" + Name.substr(0, colon + 1) + ") instead of a file.";
  return {};
}

// The chain as it is being checked: the files opened, each only once.
class TChecker {
 public:
  TChecker(TImageChain& Chain, std::string& Why) : Chain_(Chain), Why_(Why) {}
  bool Fail(const std::string& Name, const std::string& Why) {
    Why_ = Name + " " + Why;
    return false;
  }
  // Counts the file St (named Name) in: false when the chain holds it
  // already.
  bool Mark(const struct stat& St, const std::string& Name) {
    if (Seen_.insert({St.st_dev, St.st_ino}).second) return true;
    return Fail(Name, "is a file the image is already made of: the chain loops.");
  }
  bool Qcow(int Dir);
  bool Vmdk(int Dir);

 private:
  bool Backing(int Dir, const TQcowHeader& H, TFd& NextDir);
  bool Extent(int Dir, const std::string& Descriptor, TVmdkExtent& E);
  TImageChain& Chain_;
  std::string& Why_;
  std::set<std::pair<dev_t, ino_t>> Seen_;
};

// The format of a backing file, from its content: QCOW2, or a raw disk
// (its first sector ends as every MBR and boot sector does). Empty, with
// the reason, for anything else.
std::string BackingFormat(int Fd, std::string& Why) {
  const std::string head = ReadAt(Fd, 0, SECTOR);
  const TContainerInfo c = ProbeContainer(Fd, "");
  if (c.Format == "QCOW2" && c.Refusal.empty()) return "qcow2";
  if (!c.Format.empty()) {
    Why = c.Format == "QCOW2" ? "is a QCOW2 image this program cannot open (encrypted, or of another version)."
                              : "is a " + c.Format + " image; only QCOW2 and raw backing files are followed.";
    return {};
  }
  if (head.size() == SECTOR && head[510] == '\x55' && head[511] == '\xAA') return "raw";
  Why = "is not a disk image.";
  return {};
}

bool TChecker::Backing(int Dir, const TQcowHeader& H, TFd& NextDir) {
  const std::string& name = H.BackingName;
  if (std::string fault = BackingNameFault(name); !fault.empty())
    return Fail(Chain_.Links.back().Name, "names the backing file \"" + name + "\", which " + fault);
  const int base = name[0] == '/' ? AT_FDCWD : Dir;
  const std::string folder = FolderOf(name);
  NextDir.Reset(::openat(base, folder.empty() ? "." : folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  TOpened f;
  std::string why;
  if (NextDir.Get() < 0 || !OpenLink(Dir, name, f, why))
    return Fail("The backing file " + name + " of " + Chain_.Links.back().Name, why.empty() ? "cannot be opened." : why);
  const std::string format = BackingFormat(f.Fd.Get(), why);
  if (format.empty()) return Fail("The backing file " + name, why);
  if (!H.BackingFormat.empty() && H.BackingFormat != format)
    return Fail(Chain_.Links.back().Name, "says its backing file " + name + " is " + H.BackingFormat +
                                              ", but it holds a " + (format == "raw" ? "raw disk." : "QCOW2 image."));
  TChainLink link;
  link.Name = name;
  link.Format = format == "raw" ? "raw" : "QCOW2";
  link.Driver = format;
  if (!Mark(f.St, name)) return false;
  link.Fd = f.Fd.Release();
  Chain_.Links.push_back(std::move(link));
  return true;
}

bool TChecker::Qcow(int Dir) {
  TFd dir(::dup(Dir));
  for (int depth = 0;; ++depth) {
    const TChainLink& link = Chain_.Links.back();
    if (link.Driver != "qcow2") return true;
    const uint32_t bits = static_cast<uint32_t>(Be(ReadAt(link.Fd, 20, 4), 0, 4));
    const uint64_t cluster = 1ull << std::clamp(bits, QCOW_CLUSTER_BITS_MIN, QCOW_CLUSTER_BITS_MAX);
    TQcowHeader h;
    std::string why;
    if (!ParseQcowHeader(ReadAt(link.Fd, 0, cluster + QCOW_BACKING_NAME_MAX + 1), h, why))
      return Fail(link.Name, why);
    if (h.BackingName.empty()) return true;
    if (depth + 1 >= BACKING_DEPTH_MAX)
      return Fail(Chain_.Links.front().Name, "builds on more than " + std::to_string(BACKING_DEPTH_MAX) +
                                                  " backing files, more than this program follows.");
    TFd next;
    if (!Backing(dir.Get(), h, next)) return false;
    dir = std::move(next);
  }
}

bool TChecker::Extent(int Dir, const std::string& Descriptor, TVmdkExtent& E) {
  TOpened f;
  std::string why;
  if (!OpenLink(Dir, E.Name, f, why)) return Fail("The extent " + E.Name + " of " + Descriptor, why);
  if (E.Kind == "FLAT") {
    // The file must hold the whole extent: what lies past its end would be
    // read as zeros and written as new data.
    const uint64_t end = (E.Offset + E.Sectors) * SECTOR;
    if (static_cast<uint64_t>(f.St.st_size) < end)
      return Fail("The extent " + E.Name + " of " + Descriptor, "is shorter than the part of the disk it holds.");
  } else {
    const std::string magic = ReadAt(f.Fd.Get(), 0, 4);
    if (magic != "KDMV" && magic != "COWD")
      return Fail("The extent " + E.Name + " of " + Descriptor, "is not a sparse VMDK extent.");
  }
  if (!Mark(f.St, E.Name)) return false;
  E.Fd = f.Fd.Release();
  return true;
}

bool TChecker::Vmdk(int Dir) {
  TChainLink& link = Chain_.Links.front();
  const std::string head = ReadAt(link.Fd, 0, SECTOR);
  struct stat st {};
  if (!StartsWith(head, "KDMV") && ::fstat(link.Fd, &st) == 0 &&
      static_cast<uint64_t>(st.st_size) > VMDK_DESCRIPTOR_MAX)
    return Fail(link.Name, "is larger than a VMDK descriptor can be.");
  std::string why;
  if (!ParseVmdkDescriptor(VmdkDescriptorText(head, link.Fd), link.Vmdk, why)) return Fail(link.Name, why);
  // A sparse image holds its own data; the extent its descriptor names is
  // the image itself, and QEMU reads no other.
  if (StartsWith(head, "KDMV")) {
    link.Vmdk.Extents.clear();
    return true;
  }
  link.TextDescriptor = true;
  if (link.Vmdk.Extents.empty()) return Fail(link.Name, "names no extent holding the disk's data.");
  for (TVmdkExtent& e : link.Vmdk.Extents)
    if (e.Kind != "ZERO" && !Extent(Dir, link.Name, e)) return false;
  return true;
}

}  // namespace

void TFd::Reset(int Fd) {
  if (Fd_ >= 0) ::close(Fd_);
  Fd_ = Fd;
}

TContainerInfo ProbeContainer(int Fd, const std::string& Path) {
  TContainerInfo c;
  struct stat st {};
  if (::fstat(Fd, &st) != 0) return c;
  const std::string head = ReadAt(Fd, 0, SECTOR);
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  const std::string tail = size >= 2 * SECTOR ? ReadAt(Fd, size - SECTOR, SECTOR) : std::string();
  if (StartsWith(head, "QFI\xfb")) {
    ProbeQcow(head, Path, c);
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

bool ParseVmdkDescriptor(std::string_view Text, TVmdkDescriptor& D, std::string& Why) {
  D = {};
  const std::string differencing =
      "is a differencing VMDK image (it builds on a parent), which this program does not write. "
      "Merge it into its parent first.";
  // QEMU looks for the parent's name anywhere in the text.
  if (Text.find("parentFileNameHint") != std::string_view::npos) return (Why = differencing, false);
  D.Cid = DescriptorCid(Text);
  for (size_t from = 0; from < Text.size();) {
    size_t eol = std::min(Text.find('\n', from), Text.size());
    std::string_view line = TrimBlanks(Text.substr(from, eol - from));
    from = eol + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string value;
    if (KeyValue(line, "createType", value)) {
      D.CreateType = value;
    } else if (KeyValue(line, "parentCID", value)) {
      if (LowerText(value) != "ffffffff") return (Why = differencing, false);
    } else if (std::string_view rest = line, access = NextWord(rest);
               access == "RW" || access == "RDONLY" || access == "NOACCESS") {
      if (access != "RW") return (Why = "has an extent that is not writable, which QEMU would leave out.", false);
      if (!D.Extents.empty() && D.Extents.back().Kind == "ZERO")
        return (Why = "has extents after a ZERO extent, which QEMU would read in the wrong place.", false);
      if (D.Extents.size() == VMDK_EXTENTS_MAX)
        return (Why = "is split into more files than this program follows.", false);
      D.Extents.emplace_back();
      if (!ParseVmdkExtent(rest, D.Extents.back(), Why)) return false;
    }
  }
  return true;
}

bool ParseQcowHeader(std::string_view Head, TQcowHeader& H, std::string& Why) {
  H = {};
  H.Version = static_cast<uint32_t>(Be(Head, 4, 4));
  const uint32_t bits = static_cast<uint32_t>(Be(Head, 20, 4));
  const uint64_t headerLength = H.Version == 3 ? Be(Head, 100, 4) : 72;
  if (Head.size() < 72 || (H.Version != 2 && H.Version != 3) || bits < QCOW_CLUSTER_BITS_MIN ||
      bits > QCOW_CLUSTER_BITS_MAX || headerLength < (H.Version == 3 ? 104u : 72u))
    return (Why = "is not a QCOW2 image this program can read: its header is damaged.", false);
  if (Be(Head, 32, 4) != 0) return (Why = "is an encrypted QCOW2 image, which this program cannot open.", false);
  const std::string dataFile = "keeps its data in another file; this program does not write such images.";
  if (H.Version == 3 && (Be(Head, 72, 8) & QCOW_INCOMPAT_DATA_FILE)) return (Why = dataFile, false);
  const uint64_t cluster = 1ull << bits;
  const uint64_t nameAt = Be(Head, 8, 8), nameSize = Be(Head, 16, 4);
  // The extensions run from the header's end to the backing name, or to
  // the end of the first cluster.
  const uint64_t end = std::min<uint64_t>(nameAt != 0 ? nameAt : cluster, Head.size());
  for (uint64_t at = headerLength; at + 8 <= end;) {
    const uint64_t type = Be(Head, static_cast<size_t>(at), 4), size = Be(Head, static_cast<size_t>(at) + 4, 4);
    at += 8;
    if (type == 0) break;
    if (size > end - at) return (Why = "is not a QCOW2 image this program can read: its header is damaged.", false);
    if (type == QCOW_EXT_DATA_FILE) return (Why = dataFile, false);
    if (type == QCOW_EXT_BACKING_FORMAT) H.BackingFormat = std::string(Head.substr(static_cast<size_t>(at), static_cast<size_t>(std::min<uint64_t>(size, 16))));
    at += (size + 7) & ~7ull;
  }
  if (nameAt == 0) return true;
  if (nameSize == 0 || nameSize > QCOW_BACKING_NAME_MAX || nameAt > cluster || nameAt + nameSize > Head.size())
    return (Why = "is not a QCOW2 image this program can read: its backing file's name is damaged.", false);
  H.BackingName = std::string(Head.substr(static_cast<size_t>(nameAt), static_cast<size_t>(nameSize)));
  return true;
}

TImageChain::~TImageChain() { Close(); }

TImageChain::TImageChain(TImageChain&& Other) noexcept : Links(std::move(Other.Links)) { Other.Links.clear(); }

TImageChain& TImageChain::operator=(TImageChain&& Other) noexcept {
  if (this != &Other) {
    Close();
    Links = std::move(Other.Links);
    Other.Links.clear();
  }
  return *this;
}

void TImageChain::Close() {
  for (TChainLink& l : Links) {
    for (TVmdkExtent& e : l.Vmdk.Extents)
      if (e.Fd >= 0) ::close(e.Fd);
    if (l.Fd >= 0) ::close(l.Fd);
  }
  Links.clear();
}

std::vector<std::string> TImageChain::BackingNames() const {
  std::vector<std::string> names;
  for (size_t i = 1; i < Links.size(); ++i) names.push_back(Links[i].Name);
  return names;
}

std::vector<std::string> TImageChain::ExtentNames() const {
  std::vector<std::string> names;
  if (!Links.empty())
    for (const TVmdkExtent& e : Links[0].Vmdk.Extents)
      if (!e.Name.empty()) names.push_back(e.Name);
  return names;
}

std::string TImageChain::Text() const {
  std::string text;
  for (size_t i = 1; i < Links.size(); ++i)
    text += (i == 1 ? "backing file " : ", then ") + Links[i].Name + " (" + Links[i].Format + ")";
  const std::vector<std::string> extents = ExtentNames();
  if (extents.size() == 1) text = "data in " + extents[0];
  if (extents.size() > 1) {
    text = "split in " + std::to_string(extents.size()) + " files: ";
    for (size_t i = 0; i < extents.size(); ++i) text += (i ? ", " : "") + extents[i];
  }
  return text;
}

bool CheckImageChain(int Fd, const std::string& Path, const TContainerInfo& Info, TImageChain& Chain,
                     std::string& Why) {
  Chain = TImageChain();
  struct stat st {};
  if (::fstat(Fd, &st) != 0 || !S_ISREG(st.st_mode)) return (Why = Path + " is not a regular file.", false);
  // Names in the image are relative to the folder it was named in.
  const std::string folder = FolderOf(Path);
  TFd dir(::open(folder.empty() ? "." : folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  TChainLink top;
  top.Name = Path;
  top.Format = Info.Format;
  top.Driver = Info.Driver;
  top.Fd = ::fcntl(Fd, F_DUPFD_CLOEXEC, 0);
  if (dir.Get() < 0 || top.Fd < 0) {
    Why = Path + ": " + std::strerror(errno);
    if (top.Fd >= 0) ::close(top.Fd);
    return false;
  }
  Chain.Links.push_back(std::move(top));
  TChecker check(Chain, Why);
  bool ok = check.Mark(st, Path);
  if (ok && Info.Driver == "qcow2") ok = check.Qcow(dir.Get());
  if (ok && Info.Driver == "vmdk") ok = check.Vmdk(dir.Get());
  if (!ok) Chain = TImageChain();
  return ok;
}

std::string DaemonVmdkDescriptor(const TChainLink& Link) {
  const TVmdkDescriptor& d = Link.Vmdk;
  // No blank line: QEMU's reader would take the line after one twice.
  std::string text = "# Disk DescriptorFile\nversion=1\nCID=" + (d.Cid.empty() ? std::string("fffffffe") : d.Cid) +
                     "\nparentCID=ffffffff\ncreateType=\"" + d.CreateType + "\"\n";
  for (const TVmdkExtent& e : d.Extents) {
    text += "RW " + std::to_string(e.Sectors) + " " + e.Kind;
    if (e.Kind != "ZERO") text += " \"/proc/self/fd/" + std::to_string(e.Fd) + "\"";
    if (e.Kind == "FLAT") text += " " + std::to_string(e.Offset);
    text += "\n";
  }
  return text;
}

bool KeepVmdkCid(TChainLink& Link, std::string_view Written, std::string& Error) {
  const std::string cid = DescriptorCid(Written);
  if (cid.empty() || cid == Link.Vmdk.Cid) return true;
  std::string text = ReadAt(Link.Fd, 0, VMDK_DESCRIPTOR_MAX);
  const auto [from, end] = CidValue(text);
  if (from == std::string::npos) return true;
  text.replace(from, end - from, cid);
  // Written in place as QEMU writes it, through the descriptor checked.
  TFd out(::open(("/proc/self/fd/" + std::to_string(Link.Fd)).c_str(), O_WRONLY | O_CLOEXEC));
  const bool ok = out.Get() >= 0 && ::pwrite(out.Get(), text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) &&
                  ::ftruncate(out.Get(), static_cast<off_t>(text.size())) == 0 && ::fsync(out.Get()) == 0;
  if (!ok) Error = "Cannot write the new CID into " + Link.Name + ": " + std::strerror(errno);
  if (ok) Link.Vmdk.Cid = cid;
  return ok;
}

}  // namespace kvo

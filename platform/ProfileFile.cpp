// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/ProfileFile.h"

#include "platform/HostFiles.h"
#include "platform/FaultInject.h"
#include "platform/TextUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <unordered_set>

namespace kvo {
namespace {

enum class TLineKind { Other, Comment, Section, Key };

// What one line of a profile means. Views point into the line's text.
struct TLineInfo {
  TLineKind Kind = TLineKind::Other;
  std::string_view Name;   // section or key name, trimmed
  std::string_view Value;  // key value, trimmed, quotes still on
  size_t ValuePos = 0;     // offset of the value: after '=' and the blanks behind it
};

TLineInfo ClassifyLine_(std::string_view Text) {
  TLineInfo info;
  std::string_view t = TrimBlanks(Text);
  if (t.empty()) return info;
  if (t.front() == ';') {
    info.Kind = TLineKind::Comment;
    return info;
  }
  if (t.front() == '[') {
    // The last ']' closes the name, so a name may itself hold a ']'. A '['
    // line without one is garbage and does not open a section.
    size_t close = t.rfind(']');
    if (close != std::string_view::npos) {
      info.Kind = TLineKind::Section;
      info.Name = TrimBlanks(t.substr(1, close - 1));
    }
    return info;
  }
  size_t eq = Text.find('=');
  if (eq == std::string_view::npos) return info;
  std::string_view key = TrimBlanks(Text.substr(0, eq));
  if (key.empty()) return info;
  info.Kind = TLineKind::Key;
  info.Name = key;
  size_t vp = eq + 1;
  while (vp < Text.size() && IsBlank(Text[vp])) ++vp;
  info.ValuePos = vp;
  info.Value = TrimBlanks(Text.substr(eq + 1));
  return info;
}

bool IsBlankLine_(const TProfileLine& Line) { return TrimBlanks(Line.Text).empty(); }

bool IsSectionNamed_(const TProfileLine& Line, std::string_view Section) {
  TLineInfo info = ClassifyLine_(Line.Text);
  return info.Kind == TLineKind::Section && SameText(info.Name, Section);
}

bool IsKeyNamed_(const TProfileLine& Line, std::string_view Key) {
  TLineInfo info = ClassifyLine_(Line.Text);
  return info.Kind == TLineKind::Key && SameText(info.Name, Key);
}

// Index of the first header of Section, or Lines.size() when there is none.
size_t FindSection_(const TProfile& P, std::string_view Section, size_t From = 0) {
  if (Section.empty()) return P.Lines.size();
  for (size_t i = From; i < P.Lines.size(); ++i)
    if (IsSectionNamed_(P.Lines[i], Section)) return i;
  return P.Lines.size();
}

// One past the last line of the section whose header is at Header.
size_t SectionEnd_(const TProfile& P, size_t Header) {
  for (size_t i = Header + 1; i < P.Lines.size(); ++i)
    if (ClassifyLine_(P.Lines[i].Text).Kind == TLineKind::Section) return i;
  return P.Lines.size();
}

// Drops one matching pair of surrounding quotes, as the Windows reader does.
std::string_view Unquote_(std::string_view V) {
  if (V.size() >= 2 && V.front() == V.back() && (V.front() == '"' || V.front() == '\''))
    return V.substr(1, V.size() - 2);
  return V;
}

bool HasLineBreak_(std::string_view S) {
  return S.find_first_of("\r\n") != std::string_view::npos;
}

bool CanStoreSection_(std::string_view Section) {
  return !Section.empty() && !HasLineBreak_(Section);
}

bool CanStoreKey_(std::string_view Key) {
  return !Key.empty() && !HasLineBreak_(Key) && Key.find('=') == std::string_view::npos &&
         Key.front() != '[' && Key.front() != ';';
}

// A line ended by a lone CR followed by an empty line ended by LF would read
// back as one line ended by CR LF. Only files that mix line ends have such
// neighbours, but a write must not create them.
bool WouldMerge_(std::string_view EolBefore, const TProfileLine& After) {
  return EolBefore == "\r" && After.Text.empty() && !After.Eol.empty() && After.Eol[0] == '\n';
}

// Inserts a line before Pos. The line before it gets a line end first when it
// was the file's unterminated last line.
void InsertLine_(TProfile& P, size_t Pos, std::string Text) {
  if (Pos > 0 && P.Lines[Pos - 1].Eol.empty()) P.Lines[Pos - 1].Eol = P.Eol;
  TProfileLine line{std::move(Text), P.Eol};
  if (Pos > 0 && WouldMerge_(P.Lines[Pos - 1].Eol, line)) line.Eol = "\r";
  if (Pos < P.Lines.size() && WouldMerge_(line.Eol, P.Lines[Pos])) line.Eol = "\r\n";
  P.Lines.insert(P.Lines.begin() + static_cast<std::ptrdiff_t>(Pos), std::move(line));
}

// Appends "[Section]" at the end, after a blank line that keeps it apart
// from the section before.
size_t AppendSection_(TProfile& P, std::string_view Section) {
  if (!P.Lines.empty() && !IsBlankLine_(P.Lines.back())) InsertLine_(P, P.Lines.size(), "");
  InsertLine_(P, P.Lines.size(), "[" + std::string(Section) + "]");
  return P.Lines.size() - 1;
}

}  // namespace

// ---- in memory ------------------------------------------------------------------

TProfile ProfileParse(std::string_view Bytes) {
  TProfile p;
  bool styleFound = false;
  size_t start = 0;
  while (start < Bytes.size()) {
    size_t end = Bytes.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      p.Lines.push_back({std::string(Bytes.substr(start)), {}});
      break;
    }
    bool crlf = Bytes[end] == '\r' && end + 1 < Bytes.size() && Bytes[end + 1] == '\n';
    size_t eolLen = crlf ? 2 : 1;
    p.Lines.push_back(
        {std::string(Bytes.substr(start, end - start)), std::string(Bytes.substr(end, eolLen))});
    if (!styleFound) {
      p.Eol = p.Lines.back().Eol;
      styleFound = true;
    }
    start = end + eolLen;
  }
  return p;
}

std::string ProfileSerialise(const TProfile& Profile) {
  size_t total = 0;
  for (const auto& l : Profile.Lines) total += l.Text.size() + l.Eol.size();
  std::string out;
  out.reserve(total);
  for (const auto& l : Profile.Lines) {
    out += l.Text;
    out += l.Eol;
  }
  return out;
}

std::optional<std::string> ProfileGetValue(const TProfile& Profile, std::string_view Section,
                                           std::string_view Key) {
  Section = TrimBlanks(Section);
  Key = TrimBlanks(Key);
  size_t header = FindSection_(Profile, Section);
  if (header == Profile.Lines.size() || Key.empty()) return std::nullopt;
  size_t end = SectionEnd_(Profile, header);
  for (size_t i = header + 1; i < end; ++i) {
    TLineInfo info = ClassifyLine_(Profile.Lines[i].Text);
    if (info.Kind == TLineKind::Key && SameText(info.Name, Key))
      return std::string(Unquote_(info.Value));
  }
  return std::nullopt;
}

bool ProfileSetValue(TProfile& Profile, std::string_view Section, std::string_view Key,
                     std::string_view Value) {
  Section = TrimBlanks(Section);
  Key = TrimBlanks(Key);
  if (!CanStoreSection_(Section) || !CanStoreKey_(Key) || HasLineBreak_(Value)) return false;
  size_t header = FindSection_(Profile, Section);
  if (header == Profile.Lines.size()) header = AppendSection_(Profile, Section);
  size_t end = SectionEnd_(Profile, header);
  for (size_t i = header + 1; i < end; ++i) {
    std::string& text = Profile.Lines[i].Text;
    TLineInfo info = ClassifyLine_(text);
    if (info.Kind == TLineKind::Key && SameText(info.Name, Key)) {
      // Keep the line's own spelling of the key and its spacing around '='.
      text = text.substr(0, info.ValuePos) + std::string(Value);
      return true;
    }
  }
  size_t pos = end;
  while (pos > header + 1 && IsBlankLine_(Profile.Lines[pos - 1])) --pos;
  InsertLine_(Profile, pos, std::string(Key) + "=" + std::string(Value));
  return true;
}

// Keeps the lines of [First, Last) for which Drop is false, in one pass, so a
// file full of duplicates costs no more than a plain one.
template <class F>
bool RemoveLines_(TProfile& P, size_t First, size_t Last, F Drop) {
  std::vector<TProfileLine> kept;
  kept.reserve(P.Lines.size());
  bool removed = false;
  for (size_t i = 0; i < P.Lines.size(); ++i) {
    if (i >= First && i < Last && Drop(P.Lines[i])) {
      removed = true;
      continue;
    }
    kept.push_back(std::move(P.Lines[i]));
    // Neighbours read from a file never merge, so this acts only at a gap.
    if (kept.size() >= 2 && WouldMerge_(kept[kept.size() - 2].Eol, kept.back()))
      kept[kept.size() - 2].Eol = "\r\n";
  }
  P.Lines = std::move(kept);
  return removed;
}

bool ProfileRemoveKey(TProfile& Profile, std::string_view Section, std::string_view Key) {
  Section = TrimBlanks(Section);
  Key = TrimBlanks(Key);
  size_t header = FindSection_(Profile, Section);
  if (header == Profile.Lines.size() || Key.empty()) return false;
  return RemoveLines_(Profile, header + 1, SectionEnd_(Profile, header),
                      [&](const TProfileLine& l) { return IsKeyNamed_(l, Key); });
}

bool ProfileRemoveSection(TProfile& Profile, std::string_view Section) {
  // Every copy goes: a later duplicate would otherwise surface as the section.
  Section = TrimBlanks(Section);
  if (Section.empty()) return false;
  bool inside = false;
  return RemoveLines_(Profile, 0, Profile.Lines.size(), [&](const TProfileLine& l) {
    TLineInfo info = ClassifyLine_(l.Text);
    if (info.Kind == TLineKind::Section) inside = SameText(info.Name, Section);
    return inside;
  });
}

bool ProfileAddSection(TProfile& Profile, std::string_view Section) {
  Section = TrimBlanks(Section);
  if (!CanStoreSection_(Section)) return false;
  if (FindSection_(Profile, Section) == Profile.Lines.size()) AppendSection_(Profile, Section);
  return true;
}

std::vector<std::string> ProfileListKeys(const TProfile& Profile, std::string_view Section) {
  std::vector<std::string> keys;
  std::unordered_set<std::string> seen;
  size_t header = FindSection_(Profile, TrimBlanks(Section));
  if (header == Profile.Lines.size()) return keys;
  size_t end = SectionEnd_(Profile, header);
  for (size_t i = header + 1; i < end; ++i) {
    TLineInfo info = ClassifyLine_(Profile.Lines[i].Text);
    if (info.Kind == TLineKind::Key && seen.insert(UpperText(info.Name)).second)
      keys.emplace_back(info.Name);
  }
  return keys;
}

std::vector<std::string> ProfileListSections(const TProfile& Profile) {
  std::vector<std::string> names;
  std::unordered_set<std::string> seen;
  for (const auto& line : Profile.Lines) {
    TLineInfo info = ClassifyLine_(line.Text);
    if (info.Kind == TLineKind::Section && !info.Name.empty() &&
        seen.insert(UpperText(info.Name)).second)
      names.emplace_back(info.Name);
  }
  return names;
}

// ---- on disk --------------------------------------------------------------------

namespace {

class TFd_ {
 public:
  explicit TFd_(int Fd) : Fd_(Fd) {}
  ~TFd_() {
    if (Fd_ >= 0) ::close(Fd_);
  }
  TFd_(const TFd_&) = delete;
  TFd_& operator=(const TFd_&) = delete;

 private:
  int Fd_;
};

bool ReadAll_(int Fd, int64_t Limit, std::string& Out) {
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(Fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (static_cast<int64_t>(Out.size()) + n > Limit) return false;  // grew while read
    Out.append(buf, static_cast<size_t>(n));
  }
}

size_t CountLines_(std::string_view Bytes) {
  size_t n = 0;
  for (size_t i = 0; i < Bytes.size(); ++i)
    if (Bytes[i] == '\n' || (Bytes[i] == '\r' && (i + 1 == Bytes.size() || Bytes[i + 1] != '\n')))
      ++n;
  return n;
}

mode_t CurrentUmask_() {
  // There is no way to read the umask without setting it; the program is
  // single-threaded, so putting it straight back is safe.
  mode_t m = ::umask(0);
  ::umask(m);
  return m;
}

// The file a write to Path must replace: the target of a symbolic link, so
// the link survives. Empty for a dangling link.
std::string ResolveTarget_(const std::string& Path) {
  struct stat st {};
  if (::lstat(Path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return Path;
  char* real = ::realpath(Path.c_str(), nullptr);
  if (!real) return {};
  std::string r(real);
  std::free(real);
  return r;
}

// Loads File, lets Change edit it and writes it back when the bytes differ.
// A missing file that Change leaves empty-handed is not created.
bool ModifyProfile_(const std::string& File, const std::function<bool(TProfile&)>& Change) {
  TProfile p;
  if (!ProfileLoad(File, p)) return false;
  std::string before = ProfileSerialise(p);
  if (!Change(p)) return false;
  std::string after = ProfileSerialise(p);
  if (after == before) return true;
  return ReplaceFileAtomic(File, after);
}

}  // namespace

bool ProfileLoad(const std::string& File, TProfile& Profile) {
  Profile = TProfile{};
  if (File.empty()) return false;
  int fd = ::open(File.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR;
  TFd_ guard(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > ProfileMaxSize) return false;
  std::string bytes;
  bytes.reserve(static_cast<size_t>(st.st_size));
  // Each line costs far more in memory than its bytes on disk.
  if (!ReadAll_(fd, ProfileMaxSize, bytes) || CountLines_(bytes) >= ProfileMaxLines) return false;
  Profile = ProfileParse(bytes);
  return true;
}

bool ProfileSave(const std::string& File, const TProfile& Profile) {
  return ReplaceFileAtomic(File, ProfileSerialise(Profile));
}

bool ReplaceBegin(const std::string& Path, TReplacement& R, TLinks Links) {
  R = TReplacement{};
  std::string target = Links == TLinks::Follow ? ResolveTarget_(Path) : Path;
  if (target.empty()) return false;
  struct stat st {};
  mode_t mode = 0666 & ~CurrentUmask_();
  if (::lstat(target.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    if (!S_ISREG(st.st_mode)) return false;
    mode = st.st_mode & 07777;
  }
  // The new file sits beside the target: rename only replaces atomically
  // within one file system. A long name is cut so the suffix still fits.
  size_t nameStart = target.rfind('/') == std::string::npos ? 0 : target.rfind('/') + 1;
  std::string name = target.substr(nameStart, 200);
  std::string temp = target.substr(0, nameStart) + name + ".kvo-tmp-XXXXXX";
  int fd = FaultInjected(TFaultOp::Open) ? -1 : ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  R.Fd = fd;
  R.Target = target;
  R.Temp = temp;
  if (::fchmod(fd, mode) != 0) {
    ReplaceAbandon(R);
    return false;
  }
  return true;
}

bool ReplaceCommit(TReplacement& R) {
  if (R.Temp.empty()) return false;
  int fd = R.Fd;
  R.Fd = -1;
  bool ok = fd < 0 || (!FaultInjected(TFaultOp::Flush) && ::fsync(fd) == 0);
  ok = (fd < 0 || (::close(fd) == 0 && !FaultInjected(TFaultOp::Close))) && ok;
  ok = ok && !FaultInjected(TFaultOp::Rename) && ::rename(R.Temp.c_str(), R.Target.c_str()) == 0;
  if (!ok) ::unlink(R.Temp.c_str());
  // The folder is not synced: after a crash the rename may be lost, but the
  // name then still holds the whole old file, never part of either.
  R = TReplacement{};
  return ok;
}

void ReplaceAbandon(TReplacement& R) {
  if (R.Fd >= 0) ::close(R.Fd);
  if (!R.Temp.empty() && !FaultInjected(TFaultOp::Delete)) ::unlink(R.Temp.c_str());
  R = TReplacement{};
}

bool ReplaceFileAtomic(const std::string& Path, std::string_view Bytes, TLinks Links) {
  TReplacement r;
  if (!ReplaceBegin(Path, r, Links)) return false;
  if (WriteAllFd(r.Fd, Bytes)) return ReplaceCommit(r);
  ReplaceAbandon(r);
  return false;
}

std::string ProfileReadString(const std::string& File, std::string_view Section,
                              std::string_view Key, std::string_view Default) {
  TProfile p;
  if (!ProfileLoad(File, p)) return std::string(Default);
  auto v = ProfileGetValue(p, Section, Key);
  return v ? *v : std::string(Default);
}

bool ProfileWriteString(const std::string& File, std::string_view Section, std::string_view Key,
                        std::string_view Value) {
  return ModifyProfile_(File,
                        [&](TProfile& p) { return ProfileSetValue(p, Section, Key, Value); });
}

bool ProfileDeleteKey(const std::string& File, std::string_view Section, std::string_view Key) {
  return ModifyProfile_(File, [&](TProfile& p) {
    ProfileRemoveKey(p, Section, Key);
    return true;
  });
}

bool ProfileDeleteSection(const std::string& File, std::string_view Section) {
  return ModifyProfile_(File, [&](TProfile& p) {
    ProfileRemoveSection(p, Section);
    return true;
  });
}

bool ProfileCreateSection(const std::string& File, std::string_view Section) {
  return ModifyProfile_(File, [&](TProfile& p) { return ProfileAddSection(p, Section); });
}

std::vector<std::string> ProfileSectionKeys(const std::string& File, std::string_view Section) {
  TProfile p;
  if (!ProfileLoad(File, p)) return {};
  return ProfileListKeys(p, Section);
}

std::vector<std::string> ProfileSections(const std::string& File) {
  TProfile p;
  if (!ProfileLoad(File, p)) return {};
  return ProfileListSections(p);
}

}  // namespace kvo

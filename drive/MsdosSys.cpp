// SPDX-License-Identifier: GPL-3.0-or-later
#include "drive/MsdosSys.h"

#include <vector>

#include "platform/TextUtil.h"

namespace kvo {
namespace {

constexpr char END_OF_FILE_MARK = 26;

// The text the start-up reads: everything before the first end-of-file
// mark. What follows the mark (old contents an editor left, a section some
// program appended) is never read, so it is never switched either.
std::string_view ReadText_(std::string_view Bytes) {
  return Bytes.substr(0, Bytes.find(END_OF_FILE_MARK));
}

// One line of the file: its text is Bytes[Begin, End); the next line starts
// at Next (after CR LF, LF or a lone CR).
struct TLineSpan {
  size_t Begin = 0, End = 0, Next = 0;
};

std::vector<TLineSpan> SplitLines_(std::string_view Bytes) {
  std::vector<TLineSpan> lines;
  size_t from = 0;
  while (from < Bytes.size()) {
    size_t eol = Bytes.find_first_of("\r\n", from);
    TLineSpan l{from, eol == std::string_view::npos ? Bytes.size() : eol, 0};
    l.Next = l.End;
    if (l.Next < Bytes.size()) l.Next += Bytes.compare(l.Next, 2, "\r\n") == 0 ? 2 : 1;
    lines.push_back(l);
    from = l.Next;
  }
  return lines;
}

// What a line is, as the start-up reads it.
struct TLineMeaning {
  bool Section = false;  // a "[Name]" line; Name is the section
  bool Key = false;      // a "Name=Value" line
  std::string_view Name;
  size_t ValueBegin = 0, ValueEnd = 0;  // the trimmed value, as offsets into the file
};

TLineMeaning Classify_(std::string_view Bytes, const TLineSpan& L) {
  TLineMeaning m;
  std::string_view text = Bytes.substr(L.Begin, L.End - L.Begin);
  std::string_view t = TrimBlanks(text);
  if (t.empty() || t.front() == ';') return m;
  if (t.front() == '[') {
    size_t close = t.find(']');
    m.Section = true;
    m.Name = TrimBlanks(t.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
    return m;
  }
  size_t eq = text.find('=');
  if (eq == std::string_view::npos) return m;
  m.Key = true;
  m.Name = TrimBlanks(text.substr(0, eq));
  std::string_view value = text.substr(eq + 1);
  size_t lead = 0;
  while (lead < value.size() && IsBlank(value[lead])) ++lead;
  m.ValueBegin = L.Begin + eq + 1 + lead;
  m.ValueEnd = m.ValueBegin + TrimBlanks(value).size();
  return m;
}

// The part of a value the start-up takes as the number: its leading
// digits; the whole value when it does not start with one.
size_t NumberEnd_(std::string_view Bytes, size_t Begin, size_t End) {
  size_t p = Begin;
  while (p < End && Bytes[p] >= '0' && Bytes[p] <= '9') ++p;
  return p == Begin ? End : p;
}

// 0 or 1 for a value that is a number; Default for one that is not.
int32_t Switch_(std::string_view Value, int32_t Default) {
  size_t digits = 0;
  while (digits < Value.size() && Value[digits] >= '0' && Value[digits] <= '9') ++digits;
  if (digits == 0) return Default;
  return Value.substr(0, digits).find_first_not_of('0') == std::string_view::npos ? 0 : 1;
}

// Calls Each(line, meaning, inOptions) for every line, in order.
template <class F>
void ForEachLine_(std::string_view Bytes, const std::vector<TLineSpan>& Lines, F Each) {
  bool options = false;
  for (const TLineSpan& l : Lines) {
    TLineMeaning m = Classify_(Bytes, l);
    if (m.Section) options = SameText(m.Name, "Options");
    Each(l, m, options);
  }
}

// The line end the file uses: that of its first line; CR LF, as Windows
// writes, when it has none.
std::string_view FileEol_(std::string_view Bytes, const std::vector<TLineSpan>& Lines) {
  for (const TLineSpan& l : Lines)
    if (l.Next > l.End) return Bytes.substr(l.End, l.Next - l.End);
  return "\r\n";
}

// Bytes with "Logo=0" added: after the last key of the first [Options]
// section, else as a new section at the end of the text (before the
// end-of-file mark and whatever follows it).
std::string AddLogoOff_(std::string_view Bytes) {
  const std::string_view body = ReadText_(Bytes);
  const std::vector<TLineSpan> lines = SplitLines_(body);
  const std::string eol(FileEol_(Bytes, lines));
  const TLineSpan* after = nullptr;
  bool seen = false, inFirst = false;
  ForEachLine_(body, lines, [&](const TLineSpan& L, const TLineMeaning& M, bool Options) {
    if (M.Section) {
      inFirst = Options && !seen;
      seen = seen || Options;
      if (inFirst) after = &L;
    } else if (M.Key && inFirst) {
      after = &L;
    }
  });
  std::string out(Bytes);
  if (!after) {
    const bool open = !body.empty() && body.back() != '\n' && body.back() != '\r';
    out.insert(body.size(), (open ? eol : "") + "[Options]" + eol + "Logo=0" + eol);
    return out;
  }
  // A last line without a line end keeps having none.
  if (after->Next == after->End)
    out.insert(after->End, eol + "Logo=0");
  else
    out.insert(after->Next, "Logo=0" + std::string(body.substr(after->End, after->Next - after->End)));
  return out;
}

}  // namespace

bool IsMsdosText(std::string_view Bytes) {
  for (char c : Bytes) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 32 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != END_OF_FILE_MARK)
      return false;
  }
  return true;
}

TMsdosSys ParseMsdosSys(std::string_view Bytes) {
  TMsdosSys s;
  if (!IsMsdosText(Bytes)) {
    s.Form = TMsdosForm::NotText;
    return s;
  }
  s.Form = TMsdosForm::Text;
  bool bootGui = false;
  Bytes = ReadText_(Bytes);
  ForEachLine_(Bytes, SplitLines_(Bytes), [&](const TLineSpan&, const TLineMeaning& M, bool Options) {
    if (!M.Key || !Options) return;
    std::string_view value = Bytes.substr(M.ValueBegin, M.ValueEnd - M.ValueBegin);
    if (!s.LogoKey && SameText(M.Name, "Logo")) {
      s.LogoKey = true;
      s.Logo = Switch_(value, 1);
    } else if (!bootGui && SameText(M.Name, "BootGUI")) {
      bootGui = true;
      s.BootGui = Switch_(value, 1);
    }
  });
  return s;
}

std::string MsdosWithLogo(std::string_view Bytes, bool On) {
  const TMsdosSys now = ParseMsdosSys(Bytes);
  if (now.Form != TMsdosForm::Text || now.Logo == (On ? 1 : 0)) return std::string(Bytes);
  if (!now.LogoKey) return AddLogoOff_(Bytes);
  // Every Logo= line gets the value, so no later one that a start-up
  // might read instead of the first says otherwise. Replaced from the end, so the
  // offsets found stay right.
  std::vector<std::pair<size_t, size_t>> values;
  const std::string_view text = ReadText_(Bytes);
  ForEachLine_(text, SplitLines_(text), [&](const TLineSpan&, const TLineMeaning& M, bool Options) {
    if (M.Key && Options && SameText(M.Name, "Logo"))
      values.emplace_back(M.ValueBegin, NumberEnd_(Bytes, M.ValueBegin, M.ValueEnd));
  });
  std::string out(Bytes);
  for (auto it = values.rbegin(); it != values.rend(); ++it) {
    std::string_view value = std::string_view(out).substr(it->first, it->second - it->first);
    if (Switch_(value, 1) != (On ? 1 : 0)) out.replace(it->first, value.size(), On ? "1" : "0");
  }
  return out;
}

}  // namespace kvo

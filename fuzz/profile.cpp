// SPDX-License-Identifier: GPL-3.0-or-later
// Profile files: any bytes parse, serialise back to themselves, and a write
// changes nothing but the line it writes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/ProfileFile.h"
#include "platform/TextUtil.h"

using namespace kvo;

namespace {

using fuzz::Check;

// True when Line, standing in Section, would be a line of Key.
bool IsLineOfKey(const TProfileLine& Line, const std::string& Section, const std::string& Key) {
  TProfile one;
  one.Lines.push_back({"[" + Section + "]", "\n"});
  one.Lines.push_back({Line.Text, ""});
  return ProfileGetValue(one, Section, Key).has_value();
}

// Every line of Before is in After, in order; After may have more. Only the
// unterminated last line of Before may have gained a line end.
bool KeptInOrder(const TProfile& Before, const TProfile& After) {
  size_t j = 0;
  for (size_t i = 0; i < Before.Lines.size(); ++i) {
    const TProfileLine& b = Before.Lines[i];
    bool last = i + 1 == Before.Lines.size();
    while (j < After.Lines.size() &&
           !(After.Lines[j].Text == b.Text &&
             (After.Lines[j].Eol == b.Eol || (last && b.Eol.empty()))))
      ++j;
    if (j == After.Lines.size()) return false;
    ++j;
  }
  return true;
}

// A key that existed is replaced in its line: the same lines, one of them
// (a line of Key) changed.
bool ReplacedInPlace(const TProfile& Before, const TProfile& After, const std::string& Section,
                     const std::string& Key) {
  if (Before.Lines.size() != After.Lines.size()) return false;
  int changed = 0;
  for (size_t i = 0; i < Before.Lines.size(); ++i) {
    const TProfileLine& b = Before.Lines[i];
    const TProfileLine& a = After.Lines[i];
    if (a.Text == b.Text && a.Eol == b.Eol) continue;
    if (a.Eol != b.Eol || !IsLineOfKey(b, Section, Key)) return false;
    ++changed;
  }
  return changed <= 1;
}

// What an edit leaves must read back as the same lines.
void CheckStable(const TProfile& P, const char* What) {
  TProfile again = ProfileParse(ProfileSerialise(P));
  bool same = again.Lines.size() == P.Lines.size();
  for (size_t i = 0; same && i < P.Lines.size(); ++i)
    same = again.Lines[i].Text == P.Lines[i].Text && again.Lines[i].Eol == P.Lines[i].Eol;
  Check(same, What);
}

void CheckWrite(const TProfile& P, const std::string& Section, const std::string& Key) {
  const std::string value = "fuzz value";
  TProfile w = P;
  Check(ProfileSetValue(w, Section, Key, value), "names taken from a file are storable");
  CheckStable(w, "a written profile reads back as written");
  TProfile back = ProfileParse(ProfileSerialise(w));
  auto got = ProfileGetValue(back, Section, Key);
  Check(got && *got == value, "the written value reads back");
  if (ProfileGetValue(P, Section, Key))
    Check(ReplacedInPlace(P, back, Section, Key), "an existing key is replaced in its line");
  else
    Check(KeptInOrder(P, back), "every line stays, in order");
  std::vector<std::string> sections = ProfileListSections(P);
  for (size_t s = 0; s < sections.size() && s < 8; ++s) {
    for (const std::string& k : ProfileListKeys(P, sections[s])) {
      if (SameText(sections[s], Section) && SameText(k, Key)) continue;
      Check(ProfileGetValue(P, sections[s], k) == ProfileGetValue(back, sections[s], k),
            "other values are unchanged");
    }
  }
  Check(ProfileRemoveKey(back, Section, Key), "the written key can be removed");
  Check(!ProfileGetValue(back, Section, Key), "a removed key is gone");
  CheckStable(back, "a profile with a key removed reads back as it is");
  Check(ProfileRemoveSection(back, Section), "the section can be removed");
  Check(ProfileListKeys(back, Section).empty(), "a removed section has no keys");
  CheckStable(back, "a profile with a section removed reads back as it is");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  std::string_view bytes(reinterpret_cast<const char*>(Data), Size);
  TProfile p = ProfileParse(bytes);
  Check(ProfileSerialise(p) == bytes, "parse and serialise give the bytes back");

  std::vector<std::string> sections = ProfileListSections(p);
  for (size_t s = 0; s < sections.size() && s < 8; ++s)
    for (const std::string& k : ProfileListKeys(p, sections[s]))
      Check(ProfileGetValue(p, sections[s], k).has_value(), "a listed key has a value");

  std::string section = sections.empty() ? "Fuzz" : sections[Size % sections.size()];
  std::vector<std::string> keys = ProfileListKeys(p, section);
  CheckWrite(p, section, keys.empty() ? "FuzzKey" : keys[Size % keys.size()]);
  CheckWrite(p, section, "NewFuzzKey");
  CheckWrite(p, "New Fuzz Section", "Key");
  return 0;
}

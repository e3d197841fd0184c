// Letter-case-blind comparison and trimming of 8-bit text, as the Windows
// file system and profile functions compare names.
#pragma once

#include <string>
#include <string_view>

namespace kvo {

constexpr char UpperAscii(char C) { return (C >= 'a' && C <= 'z') ? static_cast<char>(C - 32) : C; }
constexpr char LowerAscii(char C) { return (C >= 'A' && C <= 'Z') ? static_cast<char>(C + 32) : C; }

constexpr bool SameText(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (size_t i = 0; i < A.size(); ++i)
    if (UpperAscii(A[i]) != UpperAscii(B[i])) return false;
  return true;
}

// Orders two texts as their upper-case forms would order, byte by byte:
// negative, zero or positive.
constexpr int CompareText(std::string_view A, std::string_view B) {
  size_t n = A.size() < B.size() ? A.size() : B.size();
  for (size_t i = 0; i < n; ++i) {
    unsigned char a = static_cast<unsigned char>(UpperAscii(A[i]));
    unsigned char b = static_cast<unsigned char>(UpperAscii(B[i]));
    if (a != b) return a < b ? -1 : 1;
  }
  return A.size() == B.size() ? 0 : (A.size() < B.size() ? -1 : 1);
}

inline std::string UpperText(std::string_view S) {
  std::string u(S);
  for (char& c : u) c = UpperAscii(c);
  return u;
}

inline std::string LowerText(std::string_view S) {
  std::string u(S);
  for (char& c : u) c = LowerAscii(c);
  return u;
}

constexpr bool IsBlank(char C) { return C == ' ' || C == '\t'; }

// Without leading and trailing blanks and tabs.
constexpr std::string_view TrimBlanks(std::string_view S) {
  while (!S.empty() && IsBlank(S.front())) S.remove_prefix(1);
  while (!S.empty() && IsBlank(S.back())) S.remove_suffix(1);
  return S;
}

}  // namespace kvo

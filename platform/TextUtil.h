// SPDX-License-Identifier: GPL-3.0-or-later
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

// Orders names as people count: runs of digits by their value ("wall2"
// before "wall10"), the rest as CompareText does. Names equal that way
// ("wall02", "wall2") fall back to CompareText, so the order is total.
constexpr int CompareNatural(std::string_view A, std::string_view B) {
  auto digit = [](char C) { return C >= '0' && C <= '9'; };
  size_t i = 0, j = 0;
  while (i < A.size() && j < B.size()) {
    if (digit(A[i]) && digit(B[j])) {
      // Leading zeros say nothing about the value; then the longer run is
      // the larger number, and runs of one length compare digit by digit.
      while (i < A.size() && A[i] == '0') ++i;
      while (j < B.size() && B[j] == '0') ++j;
      size_t ei = i, ej = j;
      while (ei < A.size() && digit(A[ei])) ++ei;
      while (ej < B.size() && digit(B[ej])) ++ej;
      if (ei - i != ej - j) return ei - i < ej - j ? -1 : 1;
      for (; i < ei; ++i, ++j)
        if (A[i] != B[j]) return A[i] < B[j] ? -1 : 1;
      continue;
    }
    unsigned char a = static_cast<unsigned char>(UpperAscii(A[i]));
    unsigned char b = static_cast<unsigned char>(UpperAscii(B[j]));
    if (a != b) return a < b ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < A.size() || j < B.size()) return i < A.size() ? 1 : -1;
  return CompareText(A, B);
}

// S as a JSON string, quotes included: quotes and backslashes escaped,
// control characters as \u escapes.
inline std::string JsonText(std::string_view S) {
  static const char HEX[] = "0123456789abcdef";
  std::string out = "\"";
  for (unsigned char ch : S) {
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += static_cast<char>(ch);
    } else if (ch < 0x20) {
      out += "\\u00";
      out += HEX[ch >> 4];
      out += HEX[ch & 15];
    } else {
      out += static_cast<char>(ch);
    }
  }
  return out + "\"";
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

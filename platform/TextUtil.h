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

// The length of the well-formed UTF-8 sequence that starts at S[At]: 1 for
// ASCII, 2 to 4 for a valid multi-byte sequence (no overlong forms, no
// surrogates, nothing above U+10FFFF), 0 when the byte starts none.
constexpr size_t Utf8Length(std::string_view S, size_t At) {
  const unsigned char lead = static_cast<unsigned char>(S[At]);
  if (lead < 0x80) return 1;
  // The length the lead byte announces, and the range its second byte
  // must fall in; the later bytes are all 0x80 to 0xBF.
  size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3;
    if (lead == 0xE0) lo = 0xA0;  // shorter forms are overlong
    if (lead == 0xED) hi = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4;
    if (lead == 0xF0) lo = 0x90;  // overlong
    if (lead == 0xF4) hi = 0x8F;  // above U+10FFFF
  }
  if (n == 0 || S.size() - At < n) return 0;
  for (size_t k = 1; k < n; ++k) {
    const unsigned char c = static_cast<unsigned char>(S[At + k]);
    if (c < (k == 1 ? lo : 0x80) || c > (k == 1 ? hi : 0xBF)) return 0;
  }
  return n;
}

// Whether the N bytes at S[At] (Utf8Length) encode one of the C1 controls
// U+0080 to U+009F, which a terminal obeys as it does ESC sequences.
constexpr bool IsC1Control(std::string_view S, size_t At, size_t N) {
  return N == 2 && static_cast<unsigned char>(S[At]) == 0xC2 && static_cast<unsigned char>(S[At + 1]) <= 0x9F;
}

// S as a terminal may be given it: text from a disk image, a file name or
// another process could otherwise clear the screen, move the cursor or
// print over what the program said. Control characters (but newline and
// tab), DEL, the C1 controls U+0080 to U+009F and stray bytes 0x80 to 0x9F
// that start no UTF-8 character (an 8-bit terminal reads them as C1) are
// written as \xHH, one per byte. Everything else, other languages' letters
// included, is kept as it is.
inline std::string PlainText(std::string_view S) {
  static const char HEX[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(S.size());
  auto escape = [&](size_t At, size_t N) {
    for (size_t k = At; k < At + N; ++k) {
      const unsigned char b = static_cast<unsigned char>(S[k]);
      out += "\\x";
      out += HEX[b >> 4];
      out += HEX[b & 15];
    }
  };
  for (size_t i = 0; i < S.size();) {
    const unsigned char ch = static_cast<unsigned char>(S[i]);
    const size_t n = Utf8Length(S, i);
    if (n == 0) {
      // A byte that starts no character is kept for the terminal to show
      // as it can, unless an 8-bit terminal would obey it.
      if (ch <= 0x9F)
        escape(i, 1);
      else
        out += S[i];
      ++i;
      continue;
    }
    const bool control = n == 1 ? (ch < 0x20 && ch != '\n' && ch != '\t') || ch == 0x7F
                                : IsC1Control(S, i, n);
    if (control)
      escape(i, n);
    else
      out.append(S.substr(i, n));
    i += n;
  }
  return out;
}

// S as a JSON string, quotes included: quotes and backslashes escaped,
// control characters (DEL and the C1 controls too) as \u escapes.
inline std::string JsonText(std::string_view S) {
  static const char HEX[] = "0123456789abcdef";
  std::string out = "\"";
  for (size_t i = 0; i < S.size(); ++i) {
    const unsigned char ch = static_cast<unsigned char>(S[i]);
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += static_cast<char>(ch);
    } else if (ch < 0x20 || ch == 0x7F || IsC1Control(S, i, Utf8Length(S, i))) {
      // A C1 control's code point is its second byte.
      const unsigned char code = ch == 0xC2 ? static_cast<unsigned char>(S[++i]) : ch;
      out += "\\u00";
      out += HEX[code >> 4];
      out += HEX[code & 15];
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

// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/CommandLine.h"

namespace kvo {
namespace {

bool IsBlank_(char C) { return C == ' ' || C == '\t'; }

// The characters a backslash escapes inside a quoted Exec argument.
bool IsExecEscaped_(char C) { return C == '"' || C == '`' || C == '$' || C == '\\'; }

size_t SkipBlanks_(std::string_view S, size_t I) {
  while (I < S.size() && IsBlank_(S[I])) ++I;
  return I;
}

// The program name: up to the closing quote, or up to the first blank.
std::string SplitProgram_(std::string_view Line, size_t& I) {
  std::string prog;
  if (Line[I] == '"') {
    size_t close = Line.find('"', I + 1);
    if (close == std::string_view::npos) close = Line.size();
    prog.assign(Line.substr(I + 1, close - I - 1));
    I = close < Line.size() ? close + 1 : close;
    return prog;
  }
  while (I < Line.size() && !IsBlank_(Line[I])) prog += Line[I++];
  return prog;
}

// One argument after the program name, by the rules of the C runtime.
std::string SplitArgument_(std::string_view Line, size_t& I) {
  std::string arg;
  bool quoted = false;
  while (I < Line.size()) {
    char c = Line[I];
    if (!quoted && IsBlank_(c)) break;
    if (c == '\\') {
      size_t n = 0;
      while (I + n < Line.size() && Line[I + n] == '\\') ++n;
      I += n;
      if (I < Line.size() && Line[I] == '"') {
        arg.append(n / 2, '\\');
        if (n % 2 == 1) {
          arg += '"';
          ++I;
        }
      } else {
        arg.append(n, '\\');
      }
      continue;
    }
    if (c == '"') {
      if (quoted && I + 1 < Line.size() && Line[I + 1] == '"') {
        arg += '"';
        I += 2;
        continue;
      }
      quoted = !quoted;
      ++I;
      continue;
    }
    arg += c;
    ++I;
  }
  return arg;
}

std::string QuoteProgram_(const std::string& Prog) {
  if (!Prog.empty() && Prog.find_first_of(" \t") == std::string::npos) return Prog;
  return "\"" + Prog + "\"";
}

std::string QuoteArgument_(const std::string& Arg) {
  if (!Arg.empty() && Arg.find_first_of(" \t\"") == std::string::npos) return Arg;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : Arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes count only in front of a quote: there they are doubled.
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    out += c;
    backslashes = 0;
  }
  out.append(backslashes * 2, '\\');  // they stand before the closing quote
  out += '"';
  return out;
}

// Characters that force an Exec argument into quotes.
constexpr const char* kExecReserved = " \t\n\r\"'\\><~|&;$*?#()`";

std::string ExecQuote_(const std::string& Arg) {
  bool quote = Arg.empty() || Arg.find_first_of(kExecReserved) != std::string::npos;
  std::string out;
  if (quote) out += '"';
  for (char c : Arg) {
    if (quote && IsExecEscaped_(c)) out += '\\';
    out += c;
    if (c == '%') out += '%';
  }
  if (quote) out += '"';
  return out;
}

// Consumes one '%' sequence at I: "%%" gives '%', a field code gives nothing.
void ExecPercent_(std::string_view V, size_t& I, std::string& Arg) {
  if (I + 1 >= V.size()) {
    Arg += '%';
    ++I;
    return;
  }
  if (V[I + 1] == '%') Arg += '%';
  I += 2;
}

// A quoted part of an Exec argument, from the opening quote at I.
void ExecQuoted_(std::string_view V, size_t& I, std::string& Arg) {
  ++I;
  while (I < V.size() && V[I] != '"') {
    if (V[I] == '\\' && I + 1 < V.size() && IsExecEscaped_(V[I + 1])) {
      Arg += V[I + 1];
      I += 2;
    } else if (V[I] == '%' && I + 1 < V.size() && V[I + 1] == '%') {
      Arg += '%';
      I += 2;
    } else {
      Arg += V[I++];
    }
  }
  if (I < V.size()) ++I;
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view Line) {
  std::vector<std::string> args;
  size_t i = SkipBlanks_(Line, 0);
  if (i >= Line.size()) return args;
  args.push_back(SplitProgram_(Line, i));
  for (i = SkipBlanks_(Line, i); i < Line.size(); i = SkipBlanks_(Line, i))
    args.push_back(SplitArgument_(Line, i));
  return args;
}

std::vector<std::string> SplitArguments(std::string_view Params) {
  std::vector<std::string> args;
  for (size_t i = SkipBlanks_(Params, 0); i < Params.size(); i = SkipBlanks_(Params, i))
    args.push_back(SplitArgument_(Params, i));
  return args;
}

std::string JoinCommandLine(const std::vector<std::string>& Args) {
  std::string out;
  for (size_t i = 0; i < Args.size(); ++i) {
    if (i > 0) out += ' ';
    out += i == 0 ? QuoteProgram_(Args[i]) : QuoteArgument_(Args[i]);
  }
  return out;
}

std::string DesktopEscapeString(std::string_view Text) {
  std::string out;
  bool leading = true;
  for (char c : Text) {
    leading = leading && c == ' ';
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case ' ': out += leading ? "\\s" : " "; break;
      default: out += c;
    }
  }
  return out;
}

std::string DesktopUnescapeString(std::string_view Text) {
  std::string out;
  for (size_t i = 0; i < Text.size(); ++i) {
    char c = Text[i];
    char n = i + 1 < Text.size() ? Text[i + 1] : '\0';
    char plain = 0;
    if (c == '\\') {
      switch (n) {
        case 's': plain = ' '; break;
        case 'n': plain = '\n'; break;
        case 't': plain = '\t'; break;
        case 'r': plain = '\r'; break;
        case '\\': plain = '\\'; break;
        default: break;  // not ours to undo
      }
    }
    if (plain) {
      out += plain;
      ++i;
    } else {
      out += c;
    }
  }
  return out;
}

std::string DesktopExecLine(const std::vector<std::string>& Args) {
  std::string exec;
  for (size_t i = 0; i < Args.size(); ++i) {
    if (i > 0) exec += ' ';
    exec += ExecQuote_(Args[i]);
  }
  return DesktopEscapeString(exec);
}

std::vector<std::string> DesktopExecArgs(std::string_view ExecValue) {
  std::string v = DesktopUnescapeString(ExecValue);
  std::vector<std::string> args;
  size_t i = 0;
  for (;;) {
    while (i < v.size() && (IsBlank_(v[i]) || v[i] == '\n')) ++i;
    if (i >= v.size()) break;
    std::string arg;
    bool any = false;  // an argument made only of a field code vanishes
    while (i < v.size() && !IsBlank_(v[i]) && v[i] != '\n') {
      if (v[i] == '"') {
        ExecQuoted_(v, i, arg);
        any = true;
      } else if (v[i] == '%') {
        ExecPercent_(v, i, arg);
        any = any || !arg.empty();
      } else {
        arg += v[i++];
        any = true;
      }
    }
    if (any) args.push_back(std::move(arg));
  }
  return args;
}

}  // namespace kvo

// SPDX-License-Identifier: GPL-3.0-or-later
// Small helpers shared by the tests.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace kvo::test {

// A new empty folder under the system's temporary folder, with a trailing "/".
std::string MakeTempFolder(const std::string& Prefix);
// Removes a folder and everything in it.
void RemoveTree(const std::string& Path);
// The whole file as bytes; empty when it cannot be read, which tests use to
// see that a file was not written. A file of the test data that cannot be
// read fails the calling test, naming it.
std::string ReadWhole(const std::string& Path);
void WriteWhole(const std::string& Path, const std::string& Bytes);
// tests/data/ of the source tree, where the test pictures, movies and sounds
// live (with their MANIFEST and licences). Fails the calling test (rather
// than skipping it) when the folder is missing.
std::string DataDir();
// A file of tests/data/ by its name there ("gif/sdl/palette.gif"); a
// missing file fails the calling test, naming it.
std::string DataFile(const std::string& Name);

// Text quoted for the shell: 'it'\''s'.
std::string ShellQuoted(const std::string& Text);
// Runs a shell command line as given (the caller adds any redirection);
// its standard output and exit status (-1 when it did not exit).
struct TPipeRun {
  int Status = -1;
  std::string Out;
};
TPipeRun RunShell(const std::string& Command);
// The same with no input, standard error joined to the output, and mtools
// reading no settings of the user's: how the tests run the tools and kvo.
TPipeRun RunTools(const std::string& Command);

// Points XDG_CONFIG_HOME and XDG_DATA_HOME at fresh folders for one test.
class ScopedXdg {
 public:
  ScopedXdg();
  ~ScopedXdg();
  ScopedXdg(const ScopedXdg&) = delete;
  ScopedXdg& operator=(const ScopedXdg&) = delete;
  const std::string& Root() const { return root_; }

 private:
  std::string root_, oldConfig_, oldData_;
};

// Answers the core's questions from scripted queues and records every box
// shown, for the lifetime of the object; the silent table comes back after.
class ScriptedDialogs {
 public:
  ScriptedDialogs();
  ~ScriptedDialogs();
  ScriptedDialogs(const ScriptedDialogs&) = delete;
  ScriptedDialogs& operator=(const ScriptedDialogs&) = delete;

  std::deque<char> YesNoAnswers;                          // default button when empty
  std::deque<int32_t> OverwriteAnswers;                   // 6 (abort) when empty
  std::deque<std::pair<bool, std::string>> RenameAnswers; // cancel when empty
  std::deque<std::pair<bool, uint32_t>> PositionAnswers;  // cancel when empty
  std::deque<std::vector<std::string>> FileChoices;       // cancel when empty
  int32_t ResizeMode = 0;

  std::vector<std::string> Errors, Warnings, Infos, Questions, Statuses;
  int OverwriteAsked = 0;
};

}  // namespace kvo::test

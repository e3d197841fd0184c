// SPDX-License-Identifier: GPL-3.0-or-later
// Starting other programs: detached (the program runs on after we end and
// is never waited for) or waited for until it ends. No shell is involved;
// arguments are passed as they are.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kvo {

// The program file that Program names, when it is an executable regular
// file: a name with "/" is a path (relative to Folder when it is relative
// and Folder is not empty); a bare name is looked up on PATH. Empty when
// there is no such program.
std::string FindExecutable(const std::string& Program, const std::string& Folder);

// Starts the program Argv[0] (found as FindExecutable finds it) with the
// arguments Argv in a session of its own, in Folder when that is not empty.
// Our intermediate child is reaped at once, so no zombie is left and the
// program is not ours to wait for. True when the program was executed.
bool StartDetached(const std::vector<std::string>& Argv, const std::string& Folder);

// Starts Argv[0] (looked up on PATH when it has no "/") with the arguments
// Argv in Folder (when not empty) and waits, without limit, until it ends.
// True when the program could be started; ExitStatus, when given, receives
// its wait status.
bool SpawnAndWait(const std::vector<std::string>& Argv, const std::string& Folder,
                  int* ExitStatus = nullptr);

// What a program run by RunCaptured left behind.
struct TRunResult {
  bool Started = false;  // false when the program could not be executed
  int ExitCode = -1;     // its exit code; -1 when it was killed by a signal
  std::string Out;       // everything it wrote to standard output
  std::string Err;       // and to standard error
  bool OutCut = false;   // it wrote more than MaxOut allowed and was killed
  bool TimedOut = false; // it ran past TimeoutMs and was killed
};

// How RunCaptured runs a program.
struct TRunOptions {
  // Extra environment entries ("NAME=value"), replacing the inherited ones
  // of the same name.
  std::vector<std::string> Env;
  // Inherited entries whose names begin with one of these are not passed.
  std::vector<std::string> DropEnv;
  // A program still running after this many milliseconds is killed (0: no
  // limit), after OnTimeout has run: what the program may be stuck waiting
  // on (a FUSE export) is ended first, as a program blocked in the kernel
  // on it dies only once that wait ends.
  int TimeoutMs = 0;
  std::function<void()> OnTimeout;
  // A program whose standard output grows past this many bytes is killed
  // and what it wrote is dropped (0: no limit).
  size_t MaxOut = 0;
  // A descriptor of ours the program receives as its descriptor 3 (-1:
  // none), so that it opens through /proc/self/fd/3 the very file we opened.
  int PassFd = -1;
};

// Runs Argv[0] (looked up on PATH when it has no "/") with the arguments
// Argv and the extra environment entries Env ("NAME=value", replacing the
// inherited ones of the same name), with standard input from /dev/null, and
// waits for it while collecting both of its outputs. A program still
// running after TimeoutMs milliseconds (when positive) is killed.
TRunResult RunCaptured(const std::vector<std::string>& Argv,
                       const std::vector<std::string>& Env = {}, int TimeoutMs = 0);
TRunResult RunCaptured(const std::vector<std::string>& Argv, const TRunOptions& Options);

}  // namespace kvo

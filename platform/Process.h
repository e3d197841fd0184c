// Starting other programs: detached (the program runs on after we end and
// is never waited for) or waited for until it ends. No shell is involved;
// arguments are passed as they are.
#pragma once

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
};

// Runs Argv[0] (looked up on PATH when it has no "/") with the arguments
// Argv and the extra environment entries Env ("NAME=value", replacing the
// inherited ones of the same name), with standard input from /dev/null, and
// waits for it while collecting both of its outputs. A program still
// running after TimeoutMs milliseconds (when positive) is killed.
TRunResult RunCaptured(const std::vector<std::string>& Argv,
                       const std::vector<std::string>& Env = {}, int TimeoutMs = 0);

}  // namespace kvo

// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace kvo {
namespace {

bool IsExecutableFile(const std::string& Path) {
  struct stat st {};
  return ::stat(Path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         ::access(Path.c_str(), X_OK) == 0;
}

std::string SearchPath(const std::string& Name) {
  const char* env = std::getenv("PATH");
  std::string path = env ? env : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    // An empty PATH entry means the current folder.
    std::string dir = end > start ? path.substr(start, end - start) : std::string(".");
    std::string candidate = dir + "/" + Name;
    if (IsExecutableFile(candidate)) return candidate;
    start = end + 1;
  }
  return {};
}

// The children change folder before exec, so a relative path is anchored
// to our own current folder first.
std::string Absolute(const std::string& Path) {
  if (Path.empty() || Path.front() == '/') return Path;
  char* cwd = ::getcwd(nullptr, 0);
  if (!cwd) return Path;
  std::string r = std::string(cwd) + "/" + Path;
  std::free(cwd);
  return r;
}

// The argument vector as exec wants it; the strings stay owned by Argv.
std::vector<char*> ArgPointers(const std::vector<std::string>& Argv) {
  std::vector<char*> p;
  p.reserve(Argv.size() + 1);
  for (const std::string& a : Argv) p.push_back(const_cast<char*>(a.c_str()));
  p.push_back(nullptr);
  return p;
}

pid_t WaitFor(pid_t Pid, int* Status) {
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(Pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  if (Status) *Status = status;
  return r;
}

// In a forked child: tell the parent why the start failed, and end. Only
// async-signal-safe calls from here on.
[[noreturn]] void FailChild(int Fd, int Error) {
  ssize_t ignored = ::write(Fd, &Error, sizeof Error);
  (void)ignored;
  ::_exit(127);
}

// The grandchild: a clean signal mask, no terminal input, then the program.
[[noreturn]] void ExecGrandchild(int Fd, const char* Path, char* const* Argv, const char* Folder) {
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  int null = ::open("/dev/null", O_RDONLY);
  if (null >= 0 && null != STDIN_FILENO) {
    ::dup2(null, STDIN_FILENO);
    ::close(null);
  }
  if (Folder && ::chdir(Folder) != 0) FailChild(Fd, errno);
  ::execv(Path, Argv);
  FailChild(Fd, errno);
}

// Reads the failure report of the children; 0 bytes means the program was
// executed (the close-on-exec pipe closed without a word).
bool ExecSucceeded(int Fd) {
  int error = 0;
  ssize_t n;
  do {
    n = ::read(Fd, &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  return n == 0;
}

// The inherited environment with Extra's entries put in place of the
// inherited ones of the same name, and without those whose names begin
// with one of Drop.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& Extra,
                                           const std::vector<std::string>& Drop) {
  std::vector<std::string> env(Extra);
  for (char** e = environ; e && *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    size_t nameLen = eq ? static_cast<size_t>(eq - *e) + 1 : std::strlen(*e);
    bool replaced = false;
    for (const std::string& x : Extra) replaced = replaced || x.compare(0, nameLen, *e, nameLen) == 0;
    for (const std::string& d : Drop) replaced = replaced || std::strncmp(*e, d.c_str(), d.size()) == 0;
    if (!replaced) env.emplace_back(*e);
  }
  return env;
}

constexpr size_t ERR_KEPT = 65536;

// Reads both pipes until the child closes them; polling both keeps a child
// that fills one pipe from blocking while we wait on the other. A child
// still running after TimeoutMs (when positive), or whose output grows past
// MaxOut (when positive), is killed.
void DrainPipes(pid_t Pid, const TRunOptions& Options, int OutFd, int ErrFd, TRunResult& R) {
  int TimeoutMs = Options.TimeoutMs;
  const size_t MaxOut = Options.MaxOut;
  std::string& Out = R.Out;
  std::string& Err = R.Err;
  pollfd fds[2] = {{OutFd, POLLIN, 0}, {ErrFd, POLLIN, 0}};
  std::string* sinks[2] = {&Out, &Err};
  int open = 2;
  char buf[65536];
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (open > 0) {
    int wait = -1;
    if (TimeoutMs > 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      wait = static_cast<int>(std::max<int64_t>(left.count(), 0));
    }
    int ready = ::poll(fds, 2, wait);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready == 0) {
      R.TimedOut = true;
      if (Options.OnTimeout) Options.OnTimeout();
      ::kill(Pid, SIGKILL);
      TimeoutMs = 0;  // its pipes close as it dies
      continue;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
        if (i == 0 && MaxOut > 0 && Out.size() > MaxOut && !R.OutCut) {
          // What is read from here on is dropped: only the verdict counts.
          R.OutCut = true;
          ::kill(Pid, SIGKILL);
        }
        if (R.OutCut) Out.clear();
        // Messages are read for their first lines; the rest is not kept.
        if (i == 1 && Err.size() > ERR_KEPT) Err.resize(ERR_KEPT);
      } else {
        fds[i].fd = -1;
        --open;
      }
    }
  }
}

}  // namespace

std::string FindExecutable(const std::string& Program, const std::string& Folder) {
  if (Program.empty()) return {};
  if (Program.find('/') == std::string::npos) return SearchPath(Program);
  std::string path = Program;
  if (Program.front() != '/' && !Folder.empty())
    path = Folder + (Folder.back() == '/' ? "" : "/") + Program;
  return IsExecutableFile(path) ? path : std::string();
}

bool StartDetached(const std::vector<std::string>& Argv, const std::string& Folder) {
  if (Argv.empty()) return false;
  // Everything the children need is prepared here: after fork only
  // async-signal-safe calls are allowed.
  const std::string path = Absolute(FindExecutable(Argv[0], Folder));
  if (path.empty()) return false;
  std::vector<char*> argv = ArgPointers(Argv);
  const char* folder = Folder.empty() ? nullptr : Folder.c_str();

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  pid_t child = ::fork();
  if (child < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return false;
  }
  if (child == 0) {
    ::close(fds[0]);
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild < 0) FailChild(fds[1], errno);
    if (grandchild > 0) ::_exit(0);
    ExecGrandchild(fds[1], path.c_str(), argv.data(), folder);
  }
  ::close(fds[1]);
  WaitFor(child, nullptr);
  bool ok = ExecSucceeded(fds[0]);
  ::close(fds[0]);
  return ok;
}

bool SpawnAndWait(const std::vector<std::string>& Argv, const std::string& Folder,
                  int* ExitStatus) {
  if (Argv.empty() || Argv[0].empty()) return false;
  std::vector<char*> argv = ArgPointers(Argv);
  posix_spawn_file_actions_t actions;
  if (::posix_spawn_file_actions_init(&actions) != 0) return false;
  int rc = 0;
  if (!Folder.empty()) rc = ::posix_spawn_file_actions_addchdir_np(&actions, Folder.c_str());
  pid_t pid = 0;
  // glibc reports a failed chdir or exec of the child as the result here.
  if (rc == 0) rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  WaitFor(pid, ExitStatus);
  return true;
}

TRunResult RunCaptured(const std::vector<std::string>& Argv, const std::vector<std::string>& Env,
                       int TimeoutMs) {
  TRunOptions options;
  options.Env = Env;
  options.TimeoutMs = TimeoutMs;
  return RunCaptured(Argv, options);
}

TRunResult RunCaptured(const std::vector<std::string>& Argv, const TRunOptions& Options) {
  TRunResult result;
  if (Argv.empty() || Argv[0].empty()) return result;
  std::vector<char*> argv = ArgPointers(Argv);
  std::vector<std::string> envStrings = MergedEnvironment(Options.Env, Options.DropEnv);
  std::vector<char*> envp = ArgPointers(envStrings);
  int outPipe[2], errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0) return result;
  if (::pipe2(errPipe, O_CLOEXEC) != 0) {
    ::close(outPipe[0]);
    ::close(outPipe[1]);
    return result;
  }
  posix_spawn_file_actions_t actions;
  int rc = ::posix_spawn_file_actions_init(&actions);
  if (rc == 0) {
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    // Duplicated onto itself, a descriptor loses its close-on-exec flag.
    if (Options.PassFd >= 0) ::posix_spawn_file_actions_adddup2(&actions, Options.PassFd, 3);
    pid_t pid = 0;
    rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (rc == 0) {
      DrainPipes(pid, Options, outPipe[0], errPipe[0], result);
      int status = 0;
      WaitFor(pid, &status);
      result.Started = true;
      result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
  } else {
    ::close(outPipe[1]);
    ::close(errPipe[1]);
  }
  ::close(outPipe[0]);
  ::close(errPipe[0]);
  return result;
}

}  // namespace kvo

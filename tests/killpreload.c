// SPDX-License-Identifier: GPL-3.0-or-later
/* Kills the program it is preloaded into right before its Nth call that
   changes a file, so a test can stop a command at every step of its work
   and look at what it left behind.

   KVO_KILL_AT=N        raise SIGKILL right before the Nth counted call
   KVO_KILL_COUNT_FILE  keep the number of counted calls so far in this file
                        (for the run that learns how many steps there are)

   Counted: write, pwrite, fwrite, fflush (the program's text files go out
   through stdio, whose own writes do not pass through here), rename,
   renameat, renameat2, unlink, unlinkat, fsync, fdatasync. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static long KillAt;
static long Calls;
static int CountFd = -1;

static void *Real(const char *Name) { return dlsym(RTLD_NEXT, Name); }

__attribute__((constructor)) static void KillInit(void) {
  const char *at = getenv("KVO_KILL_AT");
  const char *file = getenv("KVO_KILL_COUNT_FILE");
  KillAt = at ? atol(at) : 0;
  if (file && *file) CountFd = open(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  /* Programs this one starts are not counted. */
  unsetenv("LD_PRELOAD");
}

/* One more step; the count is kept as it goes, since a program may end
   without running exit handlers. */
static void Step(void) {
  long n = __atomic_add_fetch(&Calls, 1, __ATOMIC_SEQ_CST);
  if (KillAt > 0 && n == KillAt) raise(SIGKILL);
  if (CountFd >= 0) {
    static ssize_t (*realPwrite)(int, const void *, size_t, off_t);
    char text[32];
    int len = snprintf(text, sizeof text, "%20ld\n", n);
    if (!realPwrite) realPwrite = (ssize_t(*)(int, const void *, size_t, off_t))Real("pwrite");
    if (realPwrite && len > 0) (void)realPwrite(CountFd, text, (size_t)len, 0);
  }
}

#define FORWARD(Ret, Name, Params, Args)          \
  Ret Name Params {                               \
    static Ret(*real) Params;                     \
    if (!real) real = (Ret(*) Params)Real(#Name); \
    Step();                                       \
    return real Args;                             \
  }

FORWARD(ssize_t, write, (int Fd, const void *Buf, size_t Count), (Fd, Buf, Count))
FORWARD(ssize_t, pwrite, (int Fd, const void *Buf, size_t Count, off_t Offset),
        (Fd, Buf, Count, Offset))
FORWARD(ssize_t, pwrite64, (int Fd, const void *Buf, size_t Count, off_t Offset),
        (Fd, Buf, Count, Offset))
FORWARD(size_t, fwrite, (const void *Buf, size_t Size, size_t Count, FILE *F),
        (Buf, Size, Count, F))
FORWARD(int, fflush, (FILE * F), (F))
FORWARD(int, rename, (const char *From, const char *To), (From, To))
FORWARD(int, renameat, (int FromDir, const char *From, int ToDir, const char *To),
        (FromDir, From, ToDir, To))
FORWARD(int, renameat2,
        (int FromDir, const char *From, int ToDir, const char *To, unsigned int Flags),
        (FromDir, From, ToDir, To, Flags))
FORWARD(int, unlink, (const char *Path), (Path))
FORWARD(int, unlinkat, (int Dir, const char *Path, int Flags), (Dir, Path, Flags))
FORWARD(int, fsync, (int Fd), (Fd))
FORWARD(int, fdatasync, (int Fd), (Fd))

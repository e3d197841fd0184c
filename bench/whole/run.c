// SPDX-License-Identifier: GPL-3.0-or-later
/* Runs one command and reports its wall time and peak resident size, for
 * bench/compare. The peak the kernel reports for a process includes what
 * its parent held when it forked, so the command is started from this small
 * program rather than from the Python script that drives the comparison.
 *
 * Usage: kvo_run COMMAND [ARG...]
 * The command's standard input, output and error go to /dev/null; this
 * program prints "<seconds> <peak KiB> <exit status>" on its own output. */
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s COMMAND [ARG...]\n", argv[0]);
    return 2;
  }
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    execv(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid) return 1;
  clock_gettime(CLOCK_MONOTONIC, &end);
  double seconds = (double)(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  printf("%.6f %ld %d\n", seconds, usage.ru_maxrss, code);
  return 0;
}

/* Runs a program and prints its peak resident memory in KiB (wait4's ru_maxrss) and its exit
   status: peak_rss PROGRAM [ARG...]. A small C launcher, forked rather than spawned from a large
   process, so that the figure is the program's own and not inherited from its parent. */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: peak_rss PROGRAM [ARG...]\n");
    return 2;
  }
  pid_t pid = fork();
  if (pid < 0) return 2;
  if (pid == 0) {
    execv(argv[1], argv + 1);
    _exit(127);
  }
  int status;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid) return 2;
  printf("%ld %d\n", usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return 0;
}

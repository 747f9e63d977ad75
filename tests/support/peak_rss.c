/* peak_rss REPORT PROGRAM [ARG...]: runs the program and writes "<status> <peak resident KiB>"
 * to REPORT, status being the exit status or minus the signal. The program is started from this
 * small process rather than from the (larger) caller, because the kernel counts the address
 * space a process had before its exec into its peak. */
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: peak_rss REPORT PROGRAM [ARG...]\n");
    return 2;
  }
  pid_t pid = fork();
  if (pid < 0) return 2;
  if (pid == 0) {
    execv(argv[2], argv + 2);
    _exit(127);
  }
  /* A preloaded allocator wrapper reports the program's requests, not this process's. */
  unsetenv("LARGEST_ALLOC_REPORT");
  int status = 0;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid) return 2;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  FILE* report = fopen(argv[1], "w");
  if (report == NULL) return 2;
  fprintf(report, "%d %ld\n", code, usage.ru_maxrss);
  fclose(report);
  return code >= 0 ? code : 128 - code;
}

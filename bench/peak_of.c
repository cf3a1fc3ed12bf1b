/* Runs its arguments as a program and writes that program's peak resident memory in KiB and
 * its time from fork to exit in seconds to stdout; the program's own output goes to /dev/null.
 * A child's peak counts the memory it shares with its parent until it runs its program, so the
 * benchmark starts both sides through this small process rather than from its own larger one. */
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const double start = now();
  const pid_t pid = fork();
  if (pid < 0) return 2;
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, STDOUT_FILENO);
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid) return 2;
  const double seconds = now() - start;
  printf("%ld %.6f\n", usage.ru_maxrss, seconds);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}

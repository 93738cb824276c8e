/* Runs a program once, its output discarded, and prints the peak resident
 * memory of that process in KiB (the kernel's maxrss of the child).
 *
 *   peak_rss PROGRAM [ARG...]
 *
 * The child is started with posix_spawn, which shares this small program's
 * memory until the exec instead of copying a large parent's (a fork of a
 * shell or Python would count the parent's pages as the child's peak):
 * the figure is the larger of this program's own few hundred KiB and the
 * child's peak. scripts/bench uses it for one CGI request's memory. */
#include <spawn.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char **environ;

int main(int argc, char **argv) {
    if (argc < 2) {
        fputs("usage: peak_rss PROGRAM [ARG...]\n", stderr);
        return 2;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", 0, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", 1, 0);
    pid_t pid;
    if (posix_spawn(&pid, argv[1], &actions, NULL, argv + 1, environ) != 0) {
        perror(argv[1]);
        return 1;
    }
    int status = 0;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "%s did not exit cleanly\n", argv[1]);
        return 1;
    }
    printf("%ld\n", usage.ru_maxrss);
    return 0;
}

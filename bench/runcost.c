/* runcost: the wall time and peak resident memory of whole processes.
 *
 *   runcost ROUNDS COMMAND [ARGS...] [--- COMMAND [ARGS...]]...
 *
 * Runs the commands in turn, ROUNDS times over (after one unmeasured warm-up
 * round), each with standard output and standard error on /dev/null, and
 * prints one line per measured run: "command-index wall-ns maxrss-KiB status".
 * Alternating the commands spreads any drift of the machine over all of them.
 *
 * Written in C and kept small on purpose: Linux charges a child the peak
 * resident size of the image it replaced at exec (the forked copy of its
 * parent), so a large harness such as a Python interpreter would raise the
 * floor it is meant to measure. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { kMaxCommands = 8 };

static long long nowNs(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

/* Runs argv once; fills the wall time, peak RSS and wait status.  Returns 0,
 * or -1 when the process could not be started. */
static int measure(char** argv, int devNull, long long* wallNs, long* maxRssKiB, int* status) {
    const long long start = nowNs();
    const pid_t child = fork();
    if (child < 0) {
        return -1;
    }
    if (child == 0) {
        dup2(devNull, STDOUT_FILENO);
        dup2(devNull, STDERR_FILENO);
        execvp(argv[0], argv);
        _exit(127);
    }
    struct rusage usage;
    pid_t waited;
    do {
        waited = wait4(child, status, 0, &usage);
    } while (waited < 0 && errno == EINTR);
    *wallNs = nowNs() - start;
    if (waited != child) {
        return -1;
    }
    *maxRssKiB = usage.ru_maxrss; /* Linux reports kilobytes */
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: runcost ROUNDS COMMAND [ARGS...] [--- COMMAND [ARGS...]]...\n");
        return 2;
    }
    const int rounds = atoi(argv[1]);
    char** commands[kMaxCommands];
    int count = 0;
    commands[count++] = &argv[2];
    for (int i = 2; i < argc; ++i) {
        if (strcmp(argv[i], "---") == 0) {
            argv[i] = NULL; /* ends the previous command's argv */
            if (i + 1 >= argc || count == kMaxCommands) {
                fprintf(stderr, "runcost: empty command or more than %d commands\n", kMaxCommands);
                return 2;
            }
            commands[count++] = &argv[i + 1];
        }
    }
    const int devNull = open("/dev/null", O_WRONLY);
    if (rounds <= 0 || devNull < 0) {
        fprintf(stderr, "runcost: ROUNDS must be positive\n");
        return 2;
    }
    for (int round = -1; round < rounds; ++round) {
        for (int c = 0; c < count; ++c) {
            long long wallNs = 0;
            long maxRssKiB = 0;
            int status = 0;
            if (measure(commands[c], devNull, &wallNs, &maxRssKiB, &status) != 0) {
                fprintf(stderr, "runcost: cannot run %s: %s\n", commands[c][0], strerror(errno));
                return 1;
            }
            if (round >= 0) {
                printf("%d %lld %ld %d\n", c, wallNs, maxRssKiB,
                       WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
            }
        }
    }
    return 0;
}

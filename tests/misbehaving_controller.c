/* A controller that misbehaves on purpose, for line-sim's tests:
 *   crash N   drives straight on and crashes (a write through a null pointer) at step N
 *   linger    runs to the end, then ignores SIGTERM and waits for ever instead of closing the run
 *   fork      starts a child that outlives it in its process group (its pid on standard output), then runs
 *   setsid    the same, but the child leaves for a session of its own (and so a process group of its own)
 *   spew N    writes N MiB of output to standard output and one line of N MiB to standard error, then runs */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "robot_interface.h"

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "";
    const long crash_at = argc > 2 ? strtol(argv[2], NULL, 10) : -1;
    long step = 0;
    if (strcmp(mode, "fork") == 0 || strcmp(mode, "setsid") == 0) {
        const pid_t child = fork();
        if (child == 0) {
            if (strcmp(mode, "setsid") == 0) setsid();
            sleep(60);
            _exit(0);
        }
        printf("%d\n", (int)child);
        fflush(stdout);
    }
    if (strcmp(mode, "spew") == 0) {
        /* Numbered lines on standard output, so that what is kept can be told apart. */
        for (long i = 0; i < crash_at * 1024L * 1024 / 16; ++i) printf("line %09ld\n", i);
        char* line = malloc((size_t)crash_at * 1024 * 1024 + 1);
        memset(line, 'x', (size_t)crash_at * 1024 * 1024);
        line[crash_at * 1024 * 1024] = '\n';
        fwrite(line, 1, (size_t)crash_at * 1024 * 1024 + 1, stderr);
        free(line);
        fflush(stdout);
    }
    wb_robot_init();
    wb_camera_enable(wb_robot_get_device("camera"), 32);
    wb_differential_wheels_set_speed(5.0, 5.0);
    while (wb_robot_step(32) != -1) {
        if (++step == crash_at && strcmp(mode, "crash") == 0) *(volatile int*)NULL = 1;
    }
    if (strcmp(mode, "linger") == 0) {
        signal(SIGTERM, SIG_IGN);
        for (;;) pause();
    }
    wb_robot_cleanup();
    return 0;
}

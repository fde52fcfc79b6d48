/* A controller that misbehaves on purpose, for line-sim's tests:
 *   crash N   drives straight on and crashes (a write through a null pointer) at step N
 *   linger    runs to the end, then ignores SIGTERM and waits for ever instead of closing the run
 *   fork      starts a child that outlives it in its process group (its pid on standard output), then runs */
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
    if (strcmp(mode, "fork") == 0) {
        const pid_t child = fork();
        if (child == 0) {
            sleep(60);
            _exit(0);
        }
        printf("%d\n", (int)child);
        fflush(stdout);
    }
    wb_robot_init();
    wb_camera_enable(wb_robot_get_device("camera"), 32);
    wb_differential_wheels_set_speed(5.0, 5.0);
    while (wb_robot_step(32) != -1) {
        if (++step == crash_at) *(volatile int*)NULL = 1;
    }
    if (strcmp(mode, "linger") == 0) {
        signal(SIGTERM, SIG_IGN);
        for (;;) pause();
    }
    wb_robot_cleanup();
    return 0;
}

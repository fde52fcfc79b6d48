/* A controller that misbehaves on purpose, for line-sim's tests:
 *   crash N     drives straight on and crashes (a write through a null pointer) at step N
 *   linger      runs to the end, then ignores SIGTERM and waits for ever instead of closing the run
 *   fork        starts a child that outlives it in its process group (its pid on standard output), then runs
 *   zero-step   after 10 steps, steps of 0 and -32 ms for ever
 *   huge-step   steps of INT32_MAX ms
 *   huge-speed  after 10 steps, wheel speeds of the largest doubles, forwards
 *   nan-speed   after 10 steps, a wheel speed that is not a number
 *   threads     after 10 steps, a second thread calls the robot while this one goes on stepping
 *   slow        sleeps 10 ms before every step
 *   hang        after 10 steps, takes no step again
 *   setsid      as fork, but the child leaves for a session of its own (and so a process group of its own),
 *               and takes 2 ms a step, so that the run lasts while a test looks
 *   spew N      writes N MiB of output to standard output and one line of N MiB to standard error, then runs
 *   echo ...    writes its further arguments, a line each, then its LINE_SIM_PARAM_ variables, then runs
 * Whatever the mode, it steps until the robot says the run is over, then closes it. */
#define _POSIX_C_SOURCE 200809L
#include <float.h>
#include <math.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "robot_interface.h"

static int called = 0; /* set by the second thread once it has called the robot */

/* The second thread: every operation, many times, refused or not. */
static void* intrude(void* camera) {
    for (int i = 0; i < 1000; ++i) {
        wb_robot_step(32);
        wb_differential_wheels_set_speed(-5.0, 5.0);
        wb_camera_get_image(*(DeviceTag*)camera);
        __atomic_store_n(&called, 1, __ATOMIC_RELEASE);
    }
    return NULL;
}

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
    if (strcmp(mode, "echo") == 0) {
        extern char** environ;
        for (int i = 2; i < argc; ++i) printf("%s\n", argv[i]);
        for (char** variable = environ; *variable != NULL; ++variable) {
            if (strncmp(*variable, "LINE_SIM_PARAM_", 15) == 0) printf("%s\n", *variable);
        }
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
    DeviceTag camera = wb_robot_get_device("camera");
    wb_camera_enable(camera, 32);
    wb_differential_wheels_set_speed(5.0, 5.0);
    pthread_t second;
    int started = 0;
    int32_t duration = strcmp(mode, "huge-step") == 0 ? INT32_MAX : 32;
    for (;;) {
        if (strcmp(mode, "slow") == 0 || strcmp(mode, "setsid") == 0) {
            const struct timespec pause_for = {0, (strcmp(mode, "slow") == 0 ? 10 : 2) * 1000 * 1000};
            nanosleep(&pause_for, NULL);
        }
        if (wb_robot_step(duration) == -1) break;
        if (++step == crash_at && strcmp(mode, "crash") == 0) *(volatile int*)NULL = 1;
        if (strcmp(mode, "hang") == 0 && step == 10) {
            for (;;) pause();
        }
        if (strcmp(mode, "zero-step") == 0 && step >= 10) duration = step % 2 == 0 ? 0 : -32;
        if (step != 10) continue;
        if (strcmp(mode, "huge-speed") == 0) wb_differential_wheels_set_speed(DBL_MAX, 1e308);
        if (strcmp(mode, "nan-speed") == 0) wb_differential_wheels_set_speed(5.0, NAN);
        if (strcmp(mode, "threads") == 0 && pthread_create(&second, NULL, intrude, &camera) == 0) {
            started = 1;
            while (!__atomic_load_n(&called, __ATOMIC_ACQUIRE)) sched_yield();
        }
    }
    if (started) pthread_join(second, NULL);
    if (strcmp(mode, "linger") == 0) {
        signal(SIGTERM, SIG_IGN);
        for (;;) pause();
    }
    wb_robot_cleanup();
    return 0;
}

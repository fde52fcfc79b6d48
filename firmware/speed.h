#pragma once

// Each wheel's speed held by a PI loop on its encoder counts, stepped every
// SPEED_PERIOD_MS.

#include <stdbool.h>
#include <stdint.h>

typedef struct {
    int32_t target;   // [mrad/s]
    float integral;   // [thousandths of full drive] the integral term
    int32_t counted;  // [counts] at the last step
    bool holding;     // a speed command is in force
} SpeedLoop;

// Starts holding target [mrad/s] from the count now; the integral is kept
// while holding, so that a command sent again changes nothing.
void speed_hold(SpeedLoop* loop, int32_t target, int32_t count);
void speed_release(SpeedLoop* loop);  // back to open loop (drive, stop, timeout)
// One step: the drive [thousandths] for the count now [counts].
int16_t speed_step(SpeedLoop* loop, int32_t count);

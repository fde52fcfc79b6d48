// The PI speed loop.

#include "speed.h"

#include "config.h"
#include "protocol.h"

// [urad] turned by a wheel between two counts
#define URAD_PER_COUNT (6283185L / ENCODER_COUNTS_PER_TURN)

void speed_hold(SpeedLoop* loop, int32_t target, int32_t count) {
    if (!loop->holding) {
        loop->integral = 0.0f;
        loop->counted = count;
    }
    if (target == 0 || (target < 0) != (loop->target < 0)) loop->integral = 0.0f;
    loop->target = target;
    loop->holding = true;
}

void speed_release(SpeedLoop* loop) {
    loop->holding = false;
    loop->target = 0;
    loop->integral = 0.0f;
}

int16_t speed_step(SpeedLoop* loop, int32_t count) {
    const int32_t turned = count - loop->counted;  // [counts] in one period
    loop->counted = count;
    if (!loop->holding || loop->target == 0) return 0;
    const int32_t speed = turned * URAD_PER_COUNT / (int32_t)SPEED_PERIOD_MS;  // [mrad/s] = [urad/ms]
    const float error = (float)(loop->target - speed);                         // [mrad/s]
    const float most = (float)DRIVE_MOST;
    loop->integral += SPEED_KI * error * (float)SPEED_PERIOD_MS / 1000.0f;
    // The integral alone never asks more than full drive, nor the wrong sense:
    // no wind-up while a wheel is held back.
    if (loop->target > 0) {
        if (loop->integral < 0.0f) loop->integral = 0.0f;
        if (loop->integral > most) loop->integral = most;
    } else {
        if (loop->integral > 0.0f) loop->integral = 0.0f;
        if (loop->integral < -most) loop->integral = -most;
    }
    float drive = loop->integral + SPEED_KP * error;
    if (drive > most) drive = most;
    if (drive < -most) drive = -most;
    return (int16_t)(drive < 0.0f ? drive - 0.5f : drive + 0.5f);
}

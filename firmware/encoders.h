#pragma once

// Each wheel's encoder: both edges of channel A counted by INT0 and INT1,
// the sense taken from channel B (pins.h).

#include <stdint.h>

void encoders_init(void);
// [counts] since boot, positive forwards; motor is MOTOR_LEFT or MOTOR_RIGHT.
int32_t encoder_count(uint8_t motor);

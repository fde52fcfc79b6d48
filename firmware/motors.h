#pragma once

// Two DC motors on a TB6612-style driver (pins.h): Timer1's PWM sets each
// motor's drive, two direction pins its sense.

#include <stdint.h>

#define MOTOR_LEFT 0
#define MOTOR_RIGHT 1

#define PWM_TOP 1023u  // Timer1's 10-bit fast PWM: 16 MHz / 8 / 1024 = 1.95 kHz

void motors_init(void);  // both stopped, the driver out of standby
// drive [thousandths of full drive], -1000 to 1000, positive forwards; 0
// sets both direction pins low (the driver's stop).
void motor_drive(uint8_t motor, int16_t drive);
void motors_stop(void);

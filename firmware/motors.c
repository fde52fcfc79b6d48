// Timer1 in 10-bit fast PWM (mode 7), non-inverting on OC1A and OC1B:
// a pin's duty is (OCR1x + 1) / 1024.

#include "motors.h"

#include <avr/io.h>

#include "pins.h"
#include "protocol.h"

static int16_t driven[2];  // [thousandths] what each motor was last set to

void motors_init(void) {
    DIRECTION_PORT &=
        (uint8_t) ~((1 << LEFT_IN1_BIT) | (1 << LEFT_IN2_BIT) | (1 << RIGHT_IN1_BIT) | (1 << RIGHT_IN2_BIT));
    DIRECTION_DDR |=
        (1 << LEFT_IN1_BIT) | (1 << LEFT_IN2_BIT) | (1 << RIGHT_IN1_BIT) | (1 << RIGHT_IN2_BIT) | (1 << STANDBY_BIT);
    OCR1A = 0;
    OCR1B = 0;
    TCCR1A = (1 << COM1A1) | (1 << COM1B1) | (1 << WGM11) | (1 << WGM10);
    TCCR1B = (1 << WGM12) | (1 << CS11);  // F_CPU / 8
    PWM_DDR |= (1 << LEFT_PWM_BIT) | (1 << RIGHT_PWM_BIT);
    DIRECTION_PORT |= 1 << STANDBY_BIT;
}

void motor_drive(uint8_t motor, int16_t drive) {
    if (drive > DRIVE_MOST) drive = DRIVE_MOST;
    if (drive < -DRIVE_MOST) drive = -DRIVE_MOST;
    if (drive == driven[motor]) return;  // the same again: not a single PWM period disturbed
    driven[motor] = drive;
    const uint16_t magnitude = (uint16_t)(drive < 0 ? -drive : drive);
    // duty (OCR + 1) / 1024 nearest magnitude / 1000; 0 leaves a 1/1024
    // sliver, which the direction pins (both low) keep from the motor. At
    // most TOP - 1 (99.9 %): simavr reads OCR = TOP as 0 % on the pin,
    // where a chip gives 100 %.
    uint16_t ocr = (uint16_t)(((uint32_t)magnitude * (PWM_TOP + 1) + DRIVE_MOST / 2) / DRIVE_MOST);
    ocr = ocr == 0 ? 0 : (uint16_t)(ocr - 1);
    if (ocr > PWM_TOP - 1) ocr = PWM_TOP - 1;
    const uint8_t in1 = motor == MOTOR_LEFT ? LEFT_IN1_BIT : RIGHT_IN1_BIT;
    const uint8_t in2 = motor == MOTOR_LEFT ? LEFT_IN2_BIT : RIGHT_IN2_BIT;
    uint8_t port = DIRECTION_PORT & (uint8_t) ~((1 << in1) | (1 << in2));
    if (drive > 0) port = (uint8_t)(port | (1 << in1));
    if (drive < 0) port = (uint8_t)(port | (1 << in2));
    DIRECTION_PORT = port;
    if (motor == MOTOR_LEFT)
        OCR1A = ocr;
    else
        OCR1B = ocr;
}

void motors_stop(void) {
    motor_drive(MOTOR_LEFT, 0);
    motor_drive(MOTOR_RIGHT, 0);
}

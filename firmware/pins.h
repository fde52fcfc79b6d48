#pragma once

// The motor board's pins (ATmega328P; Arduino Uno and Nano names beside),
// the one table of them: README.md's wiring section repeats it.
//
// | role        | pin | Uno/Nano | what it is                                   |
// | ----------- | --- | -------- | -------------------------------------------- |
// | LEFT_PWM    | PB1 | D9       | OC1A, Timer1's PWM: the left motor's speed   |
// | RIGHT_PWM   | PB2 | D10      | OC1B, Timer1's PWM: the right motor's speed  |
// | LEFT_IN1    | PC0 | A0       | left motor's direction, high forwards        |
// | LEFT_IN2    | PC1 | A1       | left motor's direction, high backwards       |
// | RIGHT_IN1   | PC2 | A2       | right motor's direction, high forwards       |
// | RIGHT_IN2   | PC3 | A3       | right motor's direction, high backwards      |
// | STANDBY     | PC4 | A4       | the driver's STBY, high once the board runs  |
// | LEFT_ENC_A  | PD2 | D2       | INT0: left encoder's channel A (encoders)    |
// | RIGHT_ENC_A | PD3 | D3       | INT1: right encoder's channel A (encoders)   |
// | LEFT_ENC_B  | PD4 | D4       | left encoder's channel B (encoders)          |
// | RIGHT_ENC_B | PD5 | D5       | right encoder's channel B (encoders)         |
// | RX, TX      | PD0, PD1 | D0, D1 | the serial link (the USB adapter's)      |
//
// The direction pins lie on port C, which carries no PWM output: port B
// holds only the two PWM pins, so that no write to a direction pin touches
// the port a PWM output is on.

#define PWM_DDR DDRB
#define LEFT_PWM_BIT 1   // PB1, OC1A
#define RIGHT_PWM_BIT 2  // PB2, OC1B

#define DIRECTION_DDR DDRC
#define DIRECTION_PORT PORTC
#define LEFT_IN1_BIT 0   // PC0
#define LEFT_IN2_BIT 1   // PC1
#define RIGHT_IN1_BIT 2  // PC2
#define RIGHT_IN2_BIT 3  // PC3
#define STANDBY_BIT 4    // PC4

#define ENCODER_DDR DDRD
#define ENCODER_PORT PORTD
#define ENCODER_PIN PIND
#define LEFT_ENC_A_BIT 2   // PD2, INT0
#define RIGHT_ENC_A_BIT 3  // PD3, INT1
#define LEFT_ENC_B_BIT 4   // PD4
#define RIGHT_ENC_B_BIT 5  // PD5

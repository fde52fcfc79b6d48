#pragma once

// The board's settings, fixed at build time.

// Built with encoders (-DENCODERS=1, the build's firmware_encoders.elf): it
// counts them and holds each wheel's speed; without (firmware.elf), it
// drives the motors open loop and refuses speed and counts.
#ifndef ENCODERS
#define ENCODERS 0
#endif
#if ENCODERS
#define ENCODERS_WORD "1"
#else
#define ENCODERS_WORD "0"
#endif

#ifndef FIRMWARE_VERSION
#define FIRMWARE_VERSION "0.0.0"
#endif

#define COMMAND_TIMEOUT_MS 300u  // [ms] without a drive or speed command, the motors stop

// [counts per wheel turn] edges of channel A counted in one turn of the wheel
// (both edges: twice the encoder's lines times the gear ratio).
#ifndef ENCODER_COUNTS_PER_TURN
#define ENCODER_COUNTS_PER_TURN 720
#endif

#define SPEED_PERIOD_MS 10u  // [ms] between two steps of the speed loop
// The speed loop's gains, for a wheel that turns about 20 rad/s at full
// drive and settles within about 50 ms.
#define SPEED_KP 0.025f  // [thousandths of full drive per mrad/s]
#define SPEED_KI 0.5f    // [thousandths of full drive per mrad/s and s]

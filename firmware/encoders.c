// Quadrature at half resolution: at an edge of A, A and B differ when the
// wheel turns forwards (A leads B) and agree when it turns backwards.

#include "encoders.h"

#include <avr/interrupt.h>
#include <avr/io.h>
#include <util/atomic.h>

#include "motors.h"
#include "pins.h"

static volatile int32_t counts[2];  // [counts]

static void count_edge(uint8_t motor, uint8_t a_bit, uint8_t b_bit) {
    const uint8_t pins = ENCODER_PIN;
    const uint8_t a = (uint8_t)((pins >> a_bit) & 1), b = (uint8_t)((pins >> b_bit) & 1);
    if (a != b)
        ++counts[motor];
    else
        --counts[motor];
}

ISR(INT0_vect) { count_edge(MOTOR_LEFT, LEFT_ENC_A_BIT, LEFT_ENC_B_BIT); }
ISR(INT1_vect) { count_edge(MOTOR_RIGHT, RIGHT_ENC_A_BIT, RIGHT_ENC_B_BIT); }

void encoders_init(void) {
    const uint8_t bits =
        (1 << LEFT_ENC_A_BIT) | (1 << RIGHT_ENC_A_BIT) | (1 << LEFT_ENC_B_BIT) | (1 << RIGHT_ENC_B_BIT);
    ENCODER_DDR &= (uint8_t)~bits;
    ENCODER_PORT |= bits;                 // pull-ups, for open-collector encoders
    EICRA = (1 << ISC00) | (1 << ISC10);  // any change of INT0, INT1
    EIFR = (1 << INTF0) | (1 << INTF1);
    EIMSK = (1 << INT0) | (1 << INT1);
}

int32_t encoder_count(uint8_t motor) {
    int32_t n;
    ATOMIC_BLOCK(ATOMIC_RESTORESTATE) { n = counts[motor]; }
    return n;
}

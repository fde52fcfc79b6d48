// Timer0 in CTC mode: an interrupt each millisecond, which also wakes the
// main loop from its sleep.

#include "clock.h"

#include <avr/interrupt.h>
#include <avr/io.h>
#include <util/atomic.h>

static volatile uint32_t ms;  // [ms]

ISR(TIMER0_COMPA_vect) { ++ms; }

void clock_init(void) {
    TCCR0A = 1 << WGM01;                 // CTC, OC0A and OC0B disconnected
    OCR0A = F_CPU / 64 / 1000 - 1;       // 250 ticks of 4 us
    TCCR0B = (1 << CS01) | (1 << CS00);  // F_CPU / 64
    TIMSK0 = 1 << OCIE0A;
}

uint32_t clock_ms(void) {
    uint32_t now;
    ATOMIC_BLOCK(ATOMIC_RESTORESTATE) { now = ms; }
    return now;
}

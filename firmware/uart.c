// USART0: an interrupt-driven receive ring, a waiting transmitter.

#include "uart.h"

#include <avr/interrupt.h>
#include <avr/io.h>
#include <util/atomic.h>

#include "protocol.h"

#define BAUD 115200UL
// Double speed: 16 MHz / (8 * 17) = 117647 baud, 2.1 % fast, within what
// the USB adapters take; at single speed the nearest rate is 3.5 % off.
#define UBRR_VALUE ((F_CPU + 4 * BAUD) / (8 * BAUD) - 1)

#define RING_BYTES 128  // [bytes] a power of two: two whole lines
static volatile uint8_t ring[RING_BYTES];
static volatile uint8_t head, tail;  // written by the interrupt, read by the main loop
static volatile bool lost;           // a byte dropped (ring full) or garbled (framing, overrun)

ISR(USART_RX_vect) {
    const uint8_t status = UCSR0A;
    const uint8_t byte = UDR0;
    const uint8_t next = (uint8_t)((head + 1) & (RING_BYTES - 1));
    if ((status & ((1 << FE0) | (1 << DOR0))) || next == tail) {
        lost = true;
        return;
    }
    ring[head] = byte;
    head = next;
}

void uart_init(void) {
    UBRR0 = UBRR_VALUE;
    UCSR0A = 1 << U2X0;
    UCSR0C = (1 << UCSZ01) | (1 << UCSZ00);  // 8N1
    UCSR0B = (1 << RXEN0) | (1 << TXEN0) | (1 << RXCIE0);
}

int uart_read(void) {
    int byte = -1;
    ATOMIC_BLOCK(ATOMIC_RESTORESTATE) {
        if (lost) {
            // Reported before the bytes after the loss, so that the line
            // they belong to is dropped whole.
            lost = false;
            byte = LINE_DAMAGED_BYTE;
        } else if (tail != head) {
            byte = ring[tail];
            tail = (uint8_t)((tail + 1) & (RING_BYTES - 1));
        }
    }
    return byte;
}

bool uart_waiting(void) { return lost || tail != head; }

void uart_write(const char* text) {
    for (; *text; ++text) {
        while (!(UCSR0A & (1 << UDRE0))) {
        }
        UDR0 = (uint8_t)*text;
    }
}

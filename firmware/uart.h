#pragma once

// USART0 at 115200 baud 8N1: bytes received by interrupt into a ring,
// lines sent by waiting on the transmitter.

#include <stdbool.h>

void uart_init(void);
// The next byte received, LINE_DAMAGED_BYTE where bytes were lost or
// garbled, or -1 when none is waiting.
int uart_read(void);
bool uart_waiting(void);  // a byte, or a loss, is there to read
void uart_write(const char* text);

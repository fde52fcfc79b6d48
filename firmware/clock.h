#pragma once

// Milliseconds since boot, from Timer0 (which drives no pin).

#include <stdint.h>

void clock_init(void);
uint32_t clock_ms(void);  // [ms]

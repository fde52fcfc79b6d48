#pragma once

// The serial protocol's lines (docs/motor-board.md): "BODY*HH" and a line
// end, HH the XOR of BODY's bytes in two upper-case hex digits. Plain C with
// no hardware in it, so that the host's tests compile it too.

#include <stdbool.h>
#include <stdint.h>

#define LINE_MOST_BYTES 64        // [bytes] of a line before its line end, as the host's
#define DRIVE_MOST 1000           // [thousandths of full drive]
#define SPEED_MOST_MRAD_S 50000L  // [mrad/s] the fastest wheel speed taken
#define LINE_DAMAGED_BYTE 0x100   // fed instead of a byte the serial port lost or garbled

typedef struct {
    char text[LINE_MOST_BYTES + 1];  // the line so far, NUL-ended, without its line end
    uint8_t length;                  // [bytes]
    bool damaged;                    // too long, or a byte lost: dropped at its end
} LineReader;

typedef enum {
    LINE_PENDING,  // nothing to do yet (also for an empty line)
    LINE_READY,    // a whole line is in text
    LINE_DROPPED,  // a line too long, or with a byte lost, has ended
} LineEvent;

// Takes one byte (or LINE_DAMAGED_BYTE); LF and CR end a line.
LineEvent line_feed(LineReader* reader, int byte);

uint8_t checksum(const char* body, uint8_t length);

// Checks a line's "*HH" and cuts it off; false if it is missing or wrong.
bool line_checked(char* line);

// body framed as "BODY*HH\n" in out (size bytes, NUL-ended); its length.
uint8_t line_framed(const char* body, char* out, uint8_t size);

typedef enum { COMMAND_HELLO, COMMAND_DRIVE, COMMAND_SPEED, COMMAND_STOP, COMMAND_COUNTS } CommandKind;

typedef struct {
    CommandKind kind;
    int32_t left, right;  // drive [thousandths of full drive] or speed [mrad/s]
} Command;

// The command in a checked body; else the reason it is refused, the word of
// its "err" answer: "unknown", "syntax", "range".
const char* command_parsed(const char* body, Command* command);

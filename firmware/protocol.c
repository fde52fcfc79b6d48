// The serial protocol's lines: reading, checking, framing, parsing.

#include "protocol.h"

#include <string.h>

LineEvent line_feed(LineReader* reader, int byte) {
    if (byte == '\n' || byte == '\r') {
        const bool had_bytes = reader->length > 0 || reader->damaged;
        const bool damaged = reader->damaged;
        reader->text[reader->length] = '\0';
        reader->length = 0;
        reader->damaged = false;
        if (!had_bytes) return LINE_PENDING;  // an empty line, or the LF of a CR LF
        return damaged ? LINE_DROPPED : LINE_READY;
    }
    if (byte == LINE_DAMAGED_BYTE || reader->length >= LINE_MOST_BYTES) {
        reader->damaged = true;
    } else if (!reader->damaged) {
        reader->text[reader->length++] = (char)byte;
    }
    return LINE_PENDING;
}

uint8_t checksum(const char* body, uint8_t length) {
    uint8_t sum = 0;
    for (uint8_t i = 0; i < length; ++i) sum ^= (uint8_t)body[i];
    return sum;
}

static const char HEX[] = "0123456789ABCDEF";

bool line_checked(char* line) {
    const size_t length = strlen(line);
    if (length < 3 || line[length - 3] != '*') return false;
    const uint8_t sum = checksum(line, (uint8_t)(length - 3));
    if (line[length - 2] != HEX[sum >> 4] || line[length - 1] != HEX[sum & 0x0F]) return false;
    line[length - 3] = '\0';
    return true;
}

uint8_t line_framed(const char* body, char* out, uint8_t size) {
    const size_t length = strlen(body);
    if (length + 5 > size) {  // "*HH\n" and the NUL
        out[0] = '\0';
        return 0;
    }
    const uint8_t sum = checksum(body, (uint8_t)length);
    memcpy(out, body, length);
    out[length] = '*';
    out[length + 1] = HEX[sum >> 4];
    out[length + 2] = HEX[sum & 0x0F];
    out[length + 3] = '\n';
    out[length + 4] = '\0';
    return (uint8_t)(length + 4);
}

// A whole number at *text: an optional '-', then 1 to 6 digits; moves past it.
static bool number_read(const char** text, int32_t* value) {
    const char* p = *text;
    const bool negative = *p == '-';
    if (negative) ++p;
    int32_t n = 0;
    uint8_t digits = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (++digits > 6) return false;
        n = n * 10 + (*p - '0');
    }
    if (digits == 0) return false;
    *value = negative ? -n : n;
    *text = p;
    return true;
}

// "L R" at the end of a body, both within -most..most.
static const char* pair_parsed(const char* text, int32_t most, Command* command) {
    if (*text++ != ' ' || !number_read(&text, &command->left) || *text++ != ' ' ||
        !number_read(&text, &command->right) || *text != '\0')
        return "syntax";
    if (command->left < -most || command->left > most || command->right < -most || command->right > most)
        return "range";
    return 0;
}

static bool word_is(const char* body, const char* word, const char** rest) {
    const size_t n = strlen(word);
    if (strncmp(body, word, n) != 0 || (body[n] != '\0' && body[n] != ' ')) return false;
    *rest = body + n;
    return true;
}

const char* command_parsed(const char* body, Command* command) {
    const char* rest = 0;
    if (word_is(body, "drive", &rest)) {
        command->kind = COMMAND_DRIVE;
        return pair_parsed(rest, DRIVE_MOST, command);
    }
    if (word_is(body, "speed", &rest)) {
        command->kind = COMMAND_SPEED;
        return pair_parsed(rest, SPEED_MOST_MRAD_S, command);
    }
    const struct {
        const char* word;
        CommandKind kind;
    } bare[] = {{"hello", COMMAND_HELLO}, {"stop", COMMAND_STOP}, {"counts", COMMAND_COUNTS}};
    for (uint8_t i = 0; i < sizeof bare / sizeof bare[0]; ++i) {
        if (word_is(body, bare[i].word, &rest)) {
            command->kind = bare[i].kind;
            return *rest == '\0' ? 0 : "syntax";
        }
    }
    return "unknown";
}

// The motor board: commands from the serial link (docs/motor-board.md) to
// the motors, which stop by themselves when commands stop coming.

#include <avr/interrupt.h>
#include <avr/sleep.h>
#include <stdio.h>

#include "clock.h"
#include "config.h"
#include "encoders.h"
#include "motors.h"
#include "protocol.h"
#include "speed.h"
#include "uart.h"

static SpeedLoop loops[2];
static bool running;        // a drive or speed command is in force: the timeout watches it
static uint32_t commanded;  // [ms] when the last valid drive or speed came

static void say(const char* body) {
    char line[LINE_MOST_BYTES + 5];
    if (line_framed(body, line, sizeof line)) uart_write(line);
}

static void greet(void) { say("hello 1 " FIRMWARE_VERSION " encoders=" ENCODERS_WORD); }

static void stop_all(void) {
    speed_release(&loops[MOTOR_LEFT]);
    speed_release(&loops[MOTOR_RIGHT]);
    motors_stop();
    running = false;
}

static void obey(const Command* command) {
    switch (command->kind) {
        case COMMAND_HELLO:
            greet();
            return;
        case COMMAND_STOP:
            stop_all();
            break;
        case COMMAND_DRIVE:
            speed_release(&loops[MOTOR_LEFT]);
            speed_release(&loops[MOTOR_RIGHT]);
            motor_drive(MOTOR_LEFT, (int16_t)command->left);
            motor_drive(MOTOR_RIGHT, (int16_t)command->right);
            running = true;
            commanded = clock_ms();
            break;
        case COMMAND_SPEED:
            if (!ENCODERS) {
                say("err encoders");
                return;
            }
            speed_hold(&loops[MOTOR_LEFT], command->left, encoder_count(MOTOR_LEFT));
            speed_hold(&loops[MOTOR_RIGHT], command->right, encoder_count(MOTOR_RIGHT));
            if (command->left == 0) motor_drive(MOTOR_LEFT, 0);
            if (command->right == 0) motor_drive(MOTOR_RIGHT, 0);
            running = true;
            commanded = clock_ms();
            break;
        case COMMAND_COUNTS: {
            if (!ENCODERS) {
                say("err encoders");
                return;
            }
            char body[40];
            snprintf(body, sizeof body, "counts %ld %ld", (long)encoder_count(MOTOR_LEFT),
                     (long)encoder_count(MOTOR_RIGHT));
            say(body);
            return;
        }
    }
    say("ok");
}

static void take(LineReader* reader, int byte) {
    const LineEvent event = line_feed(reader, byte);
    if (event == LINE_DROPPED) {
        say("err long");
    } else if (event == LINE_READY) {
        if (!line_checked(reader->text)) {
            say("err checksum");
            return;
        }
        Command command;
        const char* refused = command_parsed(reader->text, &command);
        if (refused) {
            char body[24];
            snprintf(body, sizeof body, "err %s", refused);
            say(body);
            return;
        }
        obey(&command);
    }
}

int main(void) {
    motors_init();
    clock_init();
    uart_init();
    if (ENCODERS) encoders_init();
    set_sleep_mode(SLEEP_MODE_IDLE);
    sei();
    greet();

    static LineReader reader;
    uint32_t stepped = clock_ms();  // [ms] the speed loop's last step
    for (;;) {
        for (int byte; (byte = uart_read()) >= 0;) take(&reader, byte);
        const uint32_t now = clock_ms();
        if (running && now - commanded >= COMMAND_TIMEOUT_MS) {
            stop_all();
            say("timeout");
        }
        if (ENCODERS && now - stepped >= SPEED_PERIOD_MS) {
            stepped += SPEED_PERIOD_MS;
            for (uint8_t motor = MOTOR_LEFT; motor <= MOTOR_RIGHT; ++motor) {
                if (loops[motor].holding && loops[motor].target != 0)
                    motor_drive(motor, speed_step(&loops[motor], encoder_count(motor)));
                else
                    speed_step(&loops[motor], encoder_count(motor));
            }
        }
        // Sleeps until the next interrupt: a byte, an encoder edge, or the
        // millisecond tick at the latest.
        cli();
        if (!uart_waiting()) {
            sleep_enable();
            sei();
            sleep_cpu();
            sleep_disable();
        }
        sei();
    }
}

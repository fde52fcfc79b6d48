// simavr wired to the test by IRQ callbacks.

#include "sim_board.hpp"

#include <avr_ioport.h>
#include <avr_uart.h>
#include <sim_avr.h>
#include <sim_elf.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

extern "C" {
#include "pins.h"
#include "protocol.h"
}

namespace firmware_test {
namespace {

constexpr std::uint64_t SLICE = 800;  // [cycles] 50 us: the motor model's step
// [cycles] a byte on the wire, 200 us: simavr 1.6 takes the firmware's double
// speed (U2X) for single, and moves a byte each 170 us instead of 85 us.
constexpr std::uint64_t BYTE_CYCLES = 3200;
constexpr std::uint64_t PWM_PERIOD = 8192;  // [cycles] Timer1 at F_CPU / 8, 1024 steps
const int PWM_BITS[2] = {LEFT_PWM_BIT, RIGHT_PWM_BIT};
const int DIRECTION_BITS[5] = {LEFT_IN1_BIT, LEFT_IN2_BIT, RIGHT_IN1_BIT, RIGHT_IN2_BIT, STANDBY_BIT};
const int ENCODER_BITS[2][2] = {{LEFT_ENC_A_BIT, LEFT_ENC_B_BIT}, {RIGHT_ENC_A_BIT, RIGHT_ENC_B_BIT}};

}  // namespace

SimBoard::SimBoard(const std::string& elf) {
    elf_firmware_t firmware{};
    if (elf_read_firmware(elf.c_str(), &firmware) != 0) throw std::runtime_error(elf + ": not a firmware simavr reads");
    avr_ = avr_make_mcu_by_name("atmega328p");
    if (!avr_) throw std::runtime_error("simavr has no atmega328p");
    avr_init(avr_);
    avr_->log = LOG_ERROR;
    avr_load_firmware(avr_, &firmware);
    avr_->frequency = static_cast<std::uint32_t>(CPU_HZ);
    // A sleeping firmware is paced at wall-clock time by default: here the
    // simulated time runs as fast as it can.
    avr_->sleep = [](avr_t*, avr_cycle_count_t) {};

    std::uint32_t flags = 0;
    avr_ioctl(avr_, AVR_IOCTL_UART_GET_FLAGS('0'), &flags);
    flags &= ~static_cast<std::uint32_t>(AVR_UART_FLAG_STDIO | AVR_UART_FLAG_POLL_SLEEP);
    avr_ioctl(avr_, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
    uart_in_ = avr_io_getirq(avr_, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_INPUT);
    avr_irq_register_notify(avr_io_getirq(avr_, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT), on_uart, this);

    for (int m = 0; m < 2; ++m) {
        hooks_[m] = {this, m};
        avr_irq_register_notify(avr_io_getirq(avr_, AVR_IOCTL_IOPORT_GETIRQ('B'), PWM_BITS[m]), on_pwm, &hooks_[m]);
        for (int c = 0; c < 2; ++c)
            encoder_pins_[m][c] = avr_io_getirq(avr_, AVR_IOCTL_IOPORT_GETIRQ('D'), ENCODER_BITS[m][c]);
    }
    for (int d = 0; d < 5; ++d) {
        hooks_[2 + d] = {this, d};
        avr_irq_register_notify(avr_io_getirq(avr_, AVR_IOCTL_IOPORT_GETIRQ('C'), DIRECTION_BITS[d]), on_direction,
                                &hooks_[2 + d]);
    }
}

SimBoard::~SimBoard() {
    if (avr_) avr_terminate(avr_);
}

void SimBoard::on_pwm(avr_irq_t*, std::uint32_t value, void* param) {
    const SimBoard::Hook& hook = *static_cast<SimBoard::Hook*>(param);
    SimBoard& b = *hook.board;
    Pwm& p = b.pwm_[hook.index];
    const bool level = value & 1;
    if (level == p.level) return;
    const std::uint64_t now = b.avr_->cycle;
    if (p.level) {
        p.high_in_slice += now - std::max(p.changed, b.slice_start_);
        p.fell = now;
    } else {
        // A whole period ends at this rising edge: high from the last rise to the fall.
        if (p.rose != 0 && p.fell > p.rose) {
            p.duty = static_cast<double>(p.fell - p.rose) / static_cast<double>(now - p.rose);
            p.lowest = std::min(p.lowest, p.duty);
            p.highest = std::max(p.highest, p.duty);
        }
        p.rose = now;
    }
    p.level = level;
    p.changed = now;
}

void SimBoard::on_direction(avr_irq_t*, std::uint32_t value, void* param) {
    const SimBoard::Hook& hook = *static_cast<SimBoard::Hook*>(param);
    bool& pin = hook.board->direction_[hook.index];
    if (pin != static_cast<bool>(value & 1)) ++hook.board->direction_changes_;
    pin = value & 1;
}

void SimBoard::on_uart(avr_irq_t*, std::uint32_t value, void* param) {
    static_cast<SimBoard*>(param)->said_ += static_cast<char>(value);
}

void SimBoard::run_cycles(std::uint64_t cycles) {
    const std::uint64_t end = avr_->cycle + cycles;
    while (avr_->cycle < end) {
        const std::uint64_t start = avr_->cycle, slice_end = std::min(end, start + SLICE);
        while (avr_->cycle < slice_end) {
            const int state = avr_run(avr_);
            if (state == cpu_Done || state == cpu_Crashed) throw std::runtime_error("the firmware stopped or crashed");
        }
        step_wheels(start, avr_->cycle);
    }
}

void SimBoard::step_wheels(std::uint64_t start, std::uint64_t end) {
    slice_start_ = end;
    for (int m = 0; m < 2; ++m) {
        Pwm& p = pwm_[m];
        if (p.level) p.high_in_slice += end - std::max(p.changed, start);
        const double drive = static_cast<double>(p.high_in_slice) / static_cast<double>(end - start) * sense(m);
        p.high_in_slice = 0;
        if (!motors_attached_) continue;
        Wheel& w = wheels_[m];
        const double dt = static_cast<double>(end - start) / CPU_HZ;  // [s]
        w.speed += dt / model_.lag * (model_.full_speed * drive - w.speed);
        w.angle += w.speed * dt;
        // Forwards, (A, B) goes 00 10 11 01: A leads B.
        const auto phase_to =
            static_cast<std::int64_t>(std::floor(w.angle / (2 * std::numbers::pi) * 2 * counts_per_turn_)) + 2;
        while (w.phase != phase_to) {
            const bool forwards = phase_to > w.phase;
            w.phase += forwards ? 1 : -1;
            const int s = static_cast<int>(((w.phase % 4) + 4) % 4);
            const bool a = s == 1 || s == 2, b = s == 2 || s == 3;
            if (a != static_cast<bool>(encoder_pins_[m][0]->value)) w.counted += forwards ? 1 : -1;
            avr_raise_irq(encoder_pins_[m][1], b);
            avr_raise_irq(encoder_pins_[m][0], a);
        }
    }
}

void SimBoard::run_ms(double ms) { run_cycles(static_cast<std::uint64_t>(ms * CPU_HZ / 1000.0)); }

double SimBoard::now_ms() const { return static_cast<double>(avr_->cycle) * 1000.0 / CPU_HZ; }

void SimBoard::send(std::string_view body) {
    char line[LINE_MOST_BYTES + 8];
    const std::string text(body);
    line_framed(text.c_str(), line, sizeof line);
    send_bytes(line);
}

void SimBoard::send_bytes(std::string_view bytes) {
    for (const char c : bytes) {
        avr_raise_irq(uart_in_, static_cast<std::uint8_t>(c));
        run_cycles(BYTE_CYCLES);
    }
}

std::vector<std::string> SimBoard::lines() {
    std::vector<std::string> whole;
    for (std::size_t end; (end = said_.find('\n')) != std::string::npos; said_.erase(0, end + 1))
        whole.push_back(said_.substr(0, end));
    return whole;
}

std::string SimBoard::bytes() {
    std::string said;
    said.swap(said_);
    return said;
}

double SimBoard::duty(int motor) const {
    const Pwm& p = pwm_[motor];
    if (avr_->cycle - p.changed > 2 * PWM_PERIOD) return p.level ? 1.0 : 0.0;  // no edges: a steady level
    return p.duty;
}

int SimBoard::sense(int motor) const {
    const bool in1 = direction_[2 * motor], in2 = direction_[2 * motor + 1];
    return in1 == in2 ? 0 : in1 ? 1 : -1;
}

bool SimBoard::standby() const { return direction_[4]; }

void SimBoard::forget_extremes() {
    for (Pwm& p : pwm_) {
        p.lowest = 1.0;
        p.highest = 0.0;
    }
    direction_changes_ = 0;
}

void SimBoard::attach_motors(const MotorModel& model, int counts_per_turn) {
    model_ = model;
    counts_per_turn_ = counts_per_turn;
    motors_attached_ = true;
    // At rest with both channels high, as the firmware's pull-ups also
    // leave them in simavr: no edge when the firmware sets those.
    for (auto& pins : encoder_pins_)
        for (avr_irq_t* pin : pins) avr_raise_irq(pin, 1);
}

}  // namespace firmware_test

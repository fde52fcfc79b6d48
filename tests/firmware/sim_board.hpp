#pragma once

// The motor board's firmware.elf run by simavr, wired by IRQ callbacks: its
// UART fed and read byte by byte (no pseudo-terminal, no thread: the test
// owns simulated time), its PWM pins and direction pins watched, and, with
// a motor model, each wheel's encoder driven from the PWM it is given.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct avr_t;
struct avr_irq_t;

namespace firmware_test {

inline constexpr double CPU_HZ = 16e6;  // [Hz]

// A DC motor: speed follows drive (duty with its sense) in first order.
struct MotorModel {
    double full_speed = 20.0;  // [rad/s] at full drive, settled
    double lag = 0.05;         // [s] time constant
};

class SimBoard {
public:
    explicit SimBoard(const std::string& elf);  // throws std::runtime_error
    ~SimBoard();
    SimBoard(const SimBoard&) = delete;
    SimBoard& operator=(const SimBoard&) = delete;

    void run_ms(double ms);                   // [ms] of simulated time
    double now_ms() const;                    // [ms] since boot, simulated
    void send(std::string_view body);         // "BODY*HH\n", at the wire's pace
    void send_bytes(std::string_view bytes);  // as they are
    std::vector<std::string> lines();         // whole lines said since the last call
    std::string bytes();                      // everything said since the last call, as it was said

    double duty(int motor) const;  // [0..1] of the last whole PWM period
    int sense(int motor) const;    // +1 forwards, -1 backwards, 0 both direction pins low
    bool standby() const;          // the driver's STBY pin
    // Lowest and highest duty of the whole periods since forget_extremes.
    double lowest_duty(int motor) const { return pwm_[motor].lowest; }
    double highest_duty(int motor) const { return pwm_[motor].highest; }
    void forget_extremes();
    int direction_changes() const { return direction_changes_; }

    // Turns the wheels by the model from now on, their encoders counting;
    // before the first run, as encoders wired from power on.
    void attach_motors(const MotorModel& model, int counts_per_turn);
    double wheel_angle(int motor) const { return wheels_[motor].angle; }    // [rad] turned since attached
    std::int64_t edges(int motor) const { return wheels_[motor].counted; }  // [counts] signed

private:
    struct Pwm {
        bool level = false;
        std::uint64_t rose = 0, fell = 0, changed = 0;  // [cycles]
        double duty = 0.0, lowest = 1.0, highest = 0.0;
        std::uint64_t high_in_slice = 0;  // [cycles]
    };
    struct Hook {  // a callback's parameter
        SimBoard* board;
        int index;
    };
    struct Wheel {
        double speed = 0.0, angle = 0.0;  // [rad/s], [rad]
        std::int64_t phase = 2;           // quarter steps of the quadrature, from A and B high
        std::int64_t counted = 0;         // A edges, signed
    };
    static void on_pwm(avr_irq_t* irq, std::uint32_t value, void* param);
    static void on_direction(avr_irq_t* irq, std::uint32_t value, void* param);
    static void on_uart(avr_irq_t* irq, std::uint32_t value, void* param);
    void run_cycles(std::uint64_t cycles);
    void step_wheels(std::uint64_t start, std::uint64_t end);

    avr_t* avr_ = nullptr;
    Hook hooks_[7];                  // two PWM pins, five of port C
    std::uint64_t slice_start_ = 0;  // [cycles] the motor model's step began
    avr_irq_t* uart_in_ = nullptr;
    avr_irq_t* encoder_pins_[2][2] = {};  // [motor][A, B]
    Pwm pwm_[2];
    bool direction_[5] = {};  // LEFT_IN1, LEFT_IN2, RIGHT_IN1, RIGHT_IN2, STANDBY
    int direction_changes_ = 0;
    std::string said_;
    bool motors_attached_ = false;
    MotorModel model_;
    int counts_per_turn_ = 0;
    Wheel wheels_[2];
};

}  // namespace firmware_test

// A virtual robot for line-robot: the motor board's firmware.elf in simavr
// behind a pseudo-terminal, its PWM driving a simulated robot in a world
// file, whose camera is streamed as raw RGB datagrams to a local UDP port.
// Everything runs in real time, in 32 ms steps; the microcontroller's
// simulated time is held to the wall clock (simavr is faster when the
// firmware sleeps, so it runs in slices up to the clock's time).
//
//   virtual_robot WORLD.toml OUTPUT_FOLDER [DURATION_S]
//
// Standard output, once ready, two lines:
//   /dev/pts/N                    the board's port, for board.port
//   udpsrc address=127.0.0.1 port=P ! rawvideoparse ...   for camera.pipeline
//
// UDP rather than TCP: udpsrc is a live source, so the robot library keeps
// only the newest frame; tcpclientsrc is not, and frames sent while
// line-robot starts would wait in the socket's buffers and the appsink,
// each step then taking an image hundreds of milliseconds old.
//
// Signals: SIGTERM / SIGINT end the run (as does DURATION_S, default 3600);
// SIGUSR1 stops the camera's frames; SIGUSR2 closes the port's master side,
// as a pulled cable. At the end OUTPUT_FOLDER gets summary.json (the world's
// figures of the run, from the host's first drive on), trace.csv (a row a
// step: the speeds [rad/s] the firmware's PWM commands and the simulated
// wheels' own) and events.csv (each line the host sent, the board's lines
// but "ok", the signals' effects), timed by the microcontroller's simulated
// clock [s] (the world's own clock starts at the first drive).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "run_summary.hpp"
#include "sim_board.hpp"
#include "simulation.hpp"
#include "world_file.hpp"

namespace {

constexpr std::int32_t STEP_MS = 32;          // [ms] a control step, line-robot's
constexpr std::size_t MOST_DATAGRAM = 65507;  // [bytes] a UDP datagram's payload
constexpr double FULL_SPEED = 20.0;           // [rad/s] a wheel at full drive, the robot file's default

volatile std::sig_atomic_t ending = 0, camera_stalled = 0, link_pulled = 0;

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A free UDP port on the loopback, for line-robot's udpsrc to bind.
int free_udp_port() {
    const int probe = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (probe < 0 || bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw std::runtime_error("no free UDP port on 127.0.0.1");
    close(probe);
    return ntohs(address.sin_port);
}

struct Options {
    std::string world, output;
    double duration = 3600.0;  // [s]
};

Options options(int argc, char** argv) {
    if (argc < 3 || argc > 4) throw std::runtime_error("usage: virtual_robot WORLD.toml OUTPUT_FOLDER [DURATION_S]");
    Options o{argv[1], argv[2]};
    if (argc == 4) {
        std::size_t used = 0;
        try {
            o.duration = std::stod(argv[3], &used);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used == 0 || argv[3][used] != '\0' || !(o.duration > 0))
            throw std::runtime_error(std::string("DURATION_S: expected seconds above 0, not ") + argv[3]);
    }
    return o;
}

class VirtualRobot {
public:
    explicit VirtualRobot(const Options& o) : options_(o), world_(sim::load_world_file(o.world)) {
        // The virtual robot's own duration ends the run, not the world's.
        world_.run.duration = o.duration + 1.0;
        simulation_ = std::make_unique<sim::Simulation>(world_);
        simulation_->enable_camera(STEP_MS);
        frame_bytes_ =
            3 * static_cast<std::size_t>(world_.camera.width) * static_cast<std::size_t>(world_.camera.height);
        if (frame_bytes_ > MOST_DATAGRAM)
            throw std::runtime_error(o.world + ": camera " + std::to_string(world_.camera.width) + " x " +
                                     std::to_string(world_.camera.height) + " is too large for one UDP datagram");
        trace_.open(o.output + "/trace.csv");
        events_.open(o.output + "/events.csv");
        if (!trace_ || !events_) throw std::runtime_error(o.output + ": not a folder that can be written");
        trace_ << "time_s,world_time_s,left_command,right_command,left_speed,right_speed\n";
        events_ << "time_s,event\n";

        int slave = -1;
        if (openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("no pseudo-terminal");
        termios raw{};
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        port_ = ttyname(slave);
        // The slave stays open here: a master whose slave is closed between
        // two line-robot runs would read an error, not silence.
        slave_ = slave;
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);

        udp_port_ = free_udp_port();
        camera_ = socket(AF_INET, SOCK_DGRAM, 0);
        camera_to_.sin_family = AF_INET;
        camera_to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        camera_to_.sin_port = htons(static_cast<std::uint16_t>(udp_port_));
    }
    ~VirtualRobot() {
        if (master_ >= 0) close(master_);
        close(slave_);
        close(camera_);
    }

    void announce() const {
        std::cout << port_ << "\nudpsrc address=127.0.0.1 port=" << udp_port_
                  << " ! rawvideoparse width=" << world_.camera.width << " height=" << world_.camera.height
                  << " format=rgb framerate=31/1" << std::endl;
    }

    void run() {
        const auto start = std::chrono::steady_clock::now();
        std::int64_t steps = 0;
        while (!ending) {
            const double wall_ms = 1000.0 * seconds_since(start);
            if (wall_ms >= 1000.0 * options_.duration) break;
            if (link_pulled && master_ >= 0) {
                close(master_);
                master_ = -1;
                event("link pulled");
            }
            read_host();
            // The board runs up to the wall clock's time, stopping at each
            // step's end to hand its drive to the world.
            const double step_end = static_cast<double>((steps + 1) * STEP_MS);
            const double until = std::min(wall_ms, step_end);
            if (board_.now_ms() < until) board_.run_ms(until - board_.now_ms());
            write_host();
            if (until == step_end) {
                step();
                ++steps;
                continue;
            }
            if (master_ >= 0) {
                pollfd wait{master_, POLLIN, 0};
                poll(&wait, 1, 1);
            } else {
                usleep(1000);
            }
        }
        simulation_->stop(ending ? sim::EndReason::interrupted : sim::EndReason::duration);
        const sim::RunSummary summary = sim::summarise(world_, simulation_->time(), seconds_since(start),
                                                       simulation_->metrics(), simulation_->end_reason());
        std::ofstream file(options_.output + "/summary.json");
        file << sim::to_json(summary).dump(2) << "\n";
        trace_.flush();
        events_.flush();
        if (!file.flush() || !trace_ || !events_)
            throw std::runtime_error(options_.output + ": the run's files were not written whole");
    }

private:
    double now_s() const { return board_.now_ms() / 1000.0; }
    void event(const std::string& what) { events_ << now_s() << ',' << what << '\n'; }

    // What the host wrote, fed to the chip's UART at the wire's pace.
    void read_host() {
        if (master_ < 0) return;
        char bytes[512];
        const ssize_t n = read(master_, bytes, sizeof bytes);
        if (n <= 0) return;
        for (const char c : std::string(bytes, static_cast<std::size_t>(n))) {
            board_.send_bytes(std::string(1, c));
            if (c == '\n') {
                event("host " + printable(from_host_));
                driving_ = driving_ || from_host_.rfind("drive ", 0) == 0 || from_host_.rfind("speed ", 0) == 0;
                from_host_.clear();
            } else if (from_host_.size() < 100) {
                from_host_ += c;
            }
        }
    }

    void write_host() {
        const std::string said = board_.bytes();
        for (const char c : said) {
            if (c == '\n') {
                if (printable(from_board_) != "ok") event("board " + printable(from_board_));
                from_board_.clear();
            } else if (c != '\r' && from_board_.size() < 100) {
                from_board_ += c;
            }
        }
        // A host that does not read loses what does not fit, as on a wire.
        if (master_ >= 0 && !said.empty()) [[maybe_unused]]
            const ssize_t n = write(master_, said.data(), said.size());
    }

    // A line without its checksum, on one row of a CSV file.
    static std::string printable(std::string text) {
        if (const auto star = text.rfind('*'); star != std::string::npos) text.erase(star);
        for (char& c : text)
            if (c < 32 || c > 126 || c == ',') c = '?';
        return text;
    }

    double command(int motor) const {
        return board_.standby() ? board_.duty(motor) * board_.sense(motor) * FULL_SPEED : 0.0;
    }

    void step() {
        const double left = command(0), right = command(1);
        // The world's clock starts with the host's first drive: the robot
        // waiting at the start for line-robot would count as on the line.
        if (driving_) {
            simulation_->set_wheel_speeds(left, right);
            simulation_->step(STEP_MS);
        }
        if (!camera_stalled) {
            sendto(camera_, simulation_->camera().image(), frame_bytes_, 0, reinterpret_cast<sockaddr*>(&camera_to_),
                   sizeof camera_to_);
        } else if (!stall_told_) {
            event("camera stalled");
            stall_told_ = true;
        }
        trace_ << now_s() << ',' << simulation_->time() << ',' << left << ',' << right << ','
               << simulation_->left_speed() << ',' << simulation_->right_speed() << '\n';
    }

    Options options_;
    sim::WorldSettings world_;
    std::unique_ptr<sim::Simulation> simulation_;
    firmware_test::SimBoard board_{FIRMWARE_ELF};
    std::size_t frame_bytes_ = 0;
    std::ofstream trace_, events_;
    int master_ = -1, slave_ = -1, camera_ = -1, udp_port_ = 0;
    sockaddr_in camera_to_{};
    std::string port_, from_host_, from_board_;
    bool stall_told_ = false, driving_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGTERM, [](int) { ending = 1; });
    std::signal(SIGINT, [](int) { ending = 1; });
    std::signal(SIGUSR1, [](int) { camera_stalled = 1; });
    std::signal(SIGUSR2, [](int) { link_pulled = 1; });
    std::signal(SIGPIPE, SIG_IGN);
    try {
        const Options o = options(argc, argv);
        // simavr tells of the firmware it loads on standard output, which
        // is for the two lines below only: meanwhile it goes to standard error.
        std::fflush(stdout);
        const int output = dup(1);
        dup2(2, 1);
        std::unique_ptr<VirtualRobot> robot;
        try {
            robot = std::make_unique<VirtualRobot>(o);
        } catch (...) {
            std::fflush(stdout);
            dup2(output, 1);
            throw;
        }
        std::fflush(stdout);
        dup2(output, 1);
        close(output);
        robot->announce();
        robot->run();
    } catch (const std::exception& error) {
        std::cerr << "virtual_robot: " << error.what() << "\n";
        return 2;
    }
    return 0;
}

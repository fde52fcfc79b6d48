// The serial link to the motor board.

#include "board_link.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

namespace robot {
namespace {

double now_s() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

struct Baud {
    std::int32_t rate;
    speed_t constant;
};
constexpr Baud BAUDS[] = {{9600, B9600},     {19200, B19200},    {38400, B38400},   {57600, B57600},
                          {115200, B115200}, {230400, B230400},  {460800, B460800}, {500000, B500000},
                          {921600, B921600}, {1000000, B1000000}};

}  // namespace

std::string framed_line(std::string_view body) {
    char sum[8];
    std::snprintf(sum, sizeof sum, "*%02X\n", checksum(body));
    return std::string(body) + sum;
}

std::optional<std::string_view> checked_body(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() < 3 || line[line.size() - 3] != '*') return std::nullopt;
    const std::string_view body = line.substr(0, line.size() - 3);
    char sum[4];
    std::snprintf(sum, sizeof sum, "%02X", checksum(body));
    if (line.substr(line.size() - 2) != sum) return std::nullopt;
    return body;
}

bool known_baud(std::int32_t baud) {
    for (const Baud& b : BAUDS)
        if (b.rate == baud) return true;
    return false;
}

std::string BoardLink::fail(const std::string& what) const { return "board.port: " + settings_.port + ": " + what; }

BoardLink::BoardLink(const BoardSettings& settings) : settings_(settings) {
    if (settings.port.empty()) {
        throw BoardError(
            "board.port: no serial device given for the motor board (e.g. /dev/serial/by-id/usb-...; "
            "ls /dev/serial/by-id/ lists the boards plugged in); or run with --dry-run");
    }
    speed_t speed = B115200;
    for (const Baud& b : BAUDS)
        if (b.rate == settings.baud) speed = b.constant;
    // Not blocking, so that a port whose modem lines say "not ready" opens at once.
    fd_ = ::open(settings.port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        const int error = errno;
        if (error == ENOENT)
            throw BoardError(fail(
                "no such device: is the board plugged in? ls /dev/serial/by-id/ lists the boards by names that stay"));
        if (error == EACCES)
            throw BoardError(
                fail("permission denied: join the group that owns it (sudo adduser $USER dialout), then log in again"));
        throw BoardError(fail(std::strerror(error)));
    }
    termios tty{};
    if (tcgetattr(fd_, &tty) != 0) {
        ::close(fd_);
        throw BoardError(fail("not a serial port (expected the board's device, e.g. /dev/ttyUSB0 or /dev/ttyACM0)"));
    }
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd_);
        throw BoardError(fail("in use by another program (a serial terminal?): close it first"));
    }
    cfmakeraw(&tty);
    tty.c_cflag |= CLOCAL | CREAD;  // no modem control; 8N1 from cfmakeraw
    tty.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS);
    cfsetispeed(&tty, speed);
    cfsetospeed(&tty, speed);
    tty.c_cc[VMIN] = 0;
    tty.c_cc[VTIME] = 0;
    if (tcsetattr(fd_, TCSANOW, &tty) != 0) {
        const int error = errno;
        ::close(fd_);
        throw BoardError(fail(std::string("cannot be set to ") + std::to_string(settings.baud) +
                              " baud 8N1: " + std::strerror(error)));
    }
    tcflush(fd_, TCIFLUSH);  // what came before the port was ours: a boot's noise
    // The greeting: said by a board that resets on open once it has booted;
    // else asked for. Lines before it (noise of a boot) are passed over.
    const auto greeted = [this](double until) {
        while (greeting_.empty() && now_s() < until) {
            pollfd wait{fd_, POLLIN, 0};
            ::poll(&wait, 1, 20);
            if (!read_lines([this](std::string_view body) {
                    if (body.rfind("hello ", 0) == 0) greeting_ = body;
                }))
                break;
        }
        return !greeting_.empty();
    };
    const double start = now_s();
    if (!greeted(start + settings.reset_wait)) {
        if (why_.empty() && write_all(framed_line("hello"))) greeted(now_s() + settings.answer_timeout);
    }
    if (greeting_.empty()) {
        const std::string what =
            !why_.empty()
                ? why_
                : "no greeting from the board within " +
                      std::to_string(static_cast<int>(std::ceil(settings.reset_wait + settings.answer_timeout))) +
                      " s: is its firmware flashed, and board.baud (" + std::to_string(settings.baud) +
                      ") the firmware's?";
        ::close(fd_);
        throw BoardError(fail(what));
    }
    int protocol = 0;
    if (std::sscanf(greeting_.c_str(), "hello %d", &protocol) != 1 || protocol != BOARD_PROTOCOL) {
        ::close(fd_);
        throw BoardError(fail("the board speaks protocol " + std::to_string(protocol) + " (\"" + greeting_ +
                              "\"), this robot library " + std::to_string(BOARD_PROTOCOL) +
                              ": flash the firmware built with it"));
    }
    last_heard_ = now_s();
}

BoardLink::~BoardLink() {
    if (fd_ < 0) return;
    stop();
    tcdrain(fd_);
    ::close(fd_);
}

bool BoardLink::write_all(std::string_view bytes) {
    for (int waits = 0; !bytes.empty();) {
        const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
        } else if (n < 0 && errno == EAGAIN && ++waits <= 10) {
            // The port's buffer is full: a line takes 1.7 ms at 115200 baud.
            pollfd wait{fd_, POLLOUT, 0};
            ::poll(&wait, 1, 2);
        } else {
            why_ = n < 0 && errno != EAGAIN ? std::string("lost: ") + std::strerror(errno)
                                            : "lost: the port takes no more bytes";
            return false;
        }
    }
    return true;
}

template <typename Take>
bool BoardLink::read_lines(const Take& take) {
    char bytes[512];
    for (;;) {
        const ssize_t n = ::read(fd_, bytes, sizeof bytes);
        if (n < 0 && errno == EINTR) continue;
        // Nothing there: a serial port without VMIN answers 0, not EAGAIN.
        if (n == 0 || (n < 0 && errno == EAGAIN)) return true;
        if (n < 0) {
            // A board unplugged (EIO, ENODEV), a pseudo-terminal's other end closed (EIO).
            why_ = std::string("lost: ") + std::strerror(errno);
            return false;
        }
        for (const char c : std::string_view(bytes, static_cast<std::size_t>(n))) {
            if (c != '\n') {
                if (pending_.size() <= MOST_LINE_BYTES) pending_ += c;
                continue;
            }
            const std::optional<std::string_view> body =
                pending_.size() <= MOST_LINE_BYTES ? checked_body(pending_) : std::nullopt;
            if (body)
                take(*body);
            else if (!pending_.empty())
                ++damaged_;
            pending_.clear();
        }
    }
}

bool BoardLink::send(const BoardCommand& command, bool speeds) {
    char body[48];
    std::snprintf(body, sizeof body, "%s %d %d", speeds ? "speed" : "drive", command.left, command.right);
    return why_.empty() && write_all(framed_line(body));
}

// Tried whatever went wrong before: a board that stopped answering may still listen.
bool BoardLink::stop() { return write_all(STOP_LINE); }

bool BoardLink::heard(double now) {
    const bool open = why_.empty() && read_lines([&](std::string_view body) {
                          last_heard_ = now;
                          if (body.rfind("err", 0) == 0) ++refused_;
                          if (body == "timeout") ++timeouts_;
                      });
    if (!open) return false;
    if (now - last_heard_ > settings_.silent_limit) {
        why_ = "the board has not answered for " + std::to_string(static_cast<int>(1000 * settings_.silent_limit)) +
               " ms: the link or the board is down";
        return false;
    }
    return true;
}

}  // namespace robot

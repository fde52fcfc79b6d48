// The controller's file, held open: checked, hashed, and run from that descriptor.

#include "controller_file.hpp"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

namespace line_sim {
namespace {

struct DynamicSection {
    bool needs = false;      // a NEEDED entry names the library
    bool old_rpath = false;  // a DT_RPATH, which the loader searches before LD_LIBRARY_PATH
};

// What a 64-bit ELF file's dynamic section says of `library`.
DynamicSection read_dynamic(std::string_view file, const std::string& library) {
    DynamicSection found;
    const auto fits = [&](std::uint64_t offset, std::uint64_t size) {
        return offset <= file.size() && size <= file.size() - offset;
    };
    Elf64_Ehdr header;
    if (!fits(0, sizeof header)) return found;
    std::memcpy(&header, file.data(), sizeof header);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64) return found;
    for (std::uint16_t i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr section;
        const std::uint64_t at = header.e_shoff + std::uint64_t{i} * sizeof section;
        if (!fits(at, sizeof section)) return found;
        std::memcpy(&section, file.data() + at, sizeof section);
        if (section.sh_type != SHT_DYNAMIC || !fits(section.sh_offset, section.sh_size)) continue;
        Elf64_Shdr strings;
        const std::uint64_t link = header.e_shoff + std::uint64_t{section.sh_link} * sizeof strings;
        if (!fits(link, sizeof strings)) return found;
        std::memcpy(&strings, file.data() + link, sizeof strings);
        if (!fits(strings.sh_offset, strings.sh_size)) return found;
        for (std::uint64_t d = 0; d + sizeof(Elf64_Dyn) <= section.sh_size; d += sizeof(Elf64_Dyn)) {
            Elf64_Dyn entry;
            std::memcpy(&entry, file.data() + section.sh_offset + d, sizeof entry);
            found.old_rpath = found.old_rpath || entry.d_tag == DT_RPATH;
            if (entry.d_tag != DT_NEEDED || entry.d_un.d_val >= strings.sh_size) continue;
            const char* name = file.data() + strings.sh_offset + entry.d_un.d_val;
            found.needs =
                found.needs || library == std::string(name, strnlen(name, strings.sh_size - entry.d_un.d_val));
        }
    }
    return found;
}

// The file's bytes, read whole at once (a stream read a character at a time
// took a third of a second for a controller of 50 MB); false if it cannot be read.
bool read_whole(int fd, std::string& bytes) {
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || info.st_size < 0) return false;
    bytes.resize(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool read_whole(const std::string& path, std::string& bytes) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool read = read_whole(fd, bytes);
    if (fd >= 0) close(fd);
    return read;
}

// What changes when a file is written: its size and the times of its last change.
void change_marks(const struct stat& info, long long (&marks)[4]) {
    marks[0] = info.st_size;
    marks[1] = info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec;
    marks[2] = info.st_ctim.tv_sec * 1000000000LL + info.st_ctim.tv_nsec;
    marks[3] = static_cast<long long>(info.st_ino);
}

ControllerFile inspect(int fd, const std::string& path, std::string& bytes) {
    ControllerFile controller;
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) {
        controller.problem = errno == EACCES ? "cannot be read" : "no such file";
    } else if (!S_ISREG(info.st_mode)) {
        controller.problem = "not a file";
    } else if (path.size() > 3 && path.compare(path.size() - 3, 3, ".py") == 0) {
        // A script is read, not executed: it needs no execute permission.
        controller.python = true;
        if (!read_whole(fd, bytes)) {
            controller.problem = "cannot be read";
        } else if (access(PYTHON, X_OK) != 0) {
            controller.problem =
                std::string("a Python controller, and ") + PYTHON + " is not there to run it (Debian: python3)";
        }
        controller.sha256 = sha256(bytes);
    } else if (access(path.c_str(), X_OK) != 0) {
        controller.problem = "not executable";
    } else if (!read_whole(fd, bytes)) {
        controller.problem = "cannot be read";
    } else {
        const DynamicSection dynamic = read_dynamic(bytes, "libController.so");
        if (!dynamic.needs)
            controller.problem = "not a program that uses the robot library (no NEEDED libController.so)";
        controller.old_rpath = dynamic.old_rpath;
        controller.sha256 = sha256(bytes);
    }
    return controller;
}

std::uint32_t rotate(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

}  // namespace

ControllerFile inspect_controller(const std::string& path) {
    HeldController held(path);
    return held.file();
}

HeldController::HeldController(const std::string& path) {
    // Not a FIFO's writer to wait for, nor a terminal to take.
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    file_ = inspect(fd_, path, bytes_);
    struct stat info {};
    if (fd_ >= 0 && fstat(fd_, &info) == 0) change_marks(info, seen_);
}

HeldController::~HeldController() {
    if (fd_ >= 0) close(fd_);
}

const std::string& HeldController::sha256_now() {
    struct stat info {};
    long long marks[4] = {};
    if (fstat(fd_, &info) == 0) change_marks(info, marks);
    if (std::equal(std::begin(marks), std::end(marks), std::begin(seen_))) return file_.sha256;
    file_.sha256 = read_whole(fd_, bytes_) ? sha256(bytes_) : "";
    std::copy(std::begin(marks), std::end(marks), std::begin(seen_));
    return file_.sha256;
}

std::string file_sha256(const std::string& path) {
    std::string bytes;
    return read_whole(path, bytes) ? sha256(bytes) : "";
}

std::string sha256(std::string_view bytes) {
    static constexpr std::array<std::uint32_t, 64> K = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    std::array<std::uint32_t, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    // The whole blocks where they lie, then the rest with the padding (a one
    // bit, zeros, the length in bits) in a block or two of their own.
    const std::size_t whole = bytes.size() / 64 * 64;
    std::vector<unsigned char> tail(bytes.begin() + static_cast<std::ptrdiff_t>(whole), bytes.end());
    const std::uint64_t bits = std::uint64_t{bytes.size()} * 8;
    tail.push_back(0x80);
    while (tail.size() % 64 != 56) tail.push_back(0);
    for (int i = 7; i >= 0; --i) tail.push_back(static_cast<unsigned char>(bits >> (8 * i)));
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    for (std::size_t block = 0; block < whole + tail.size(); block += 64) {
        const unsigned char* words = block < whole ? data + block : tail.data() + (block - whole);
        std::array<std::uint32_t, 64> w{};
        for (int i = 0; i < 16; ++i) {
            const unsigned char* b = words + 4 * static_cast<std::size_t>(i);
            w[static_cast<std::size_t>(i)] =
                std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
        }
        for (std::size_t i = 16; i < 64; ++i) {
            const std::uint32_t s0 = rotate(w[i - 15], 7) ^ rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 = rotate(w[i - 2], 17) ^ rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::array<std::uint32_t, 8> v = h;
        for (std::size_t i = 0; i < 64; ++i) {
            const std::uint32_t s1 = rotate(v[4], 6) ^ rotate(v[4], 11) ^ rotate(v[4], 25);
            const std::uint32_t choice = (v[4] & v[5]) ^ (~v[4] & v[6]);
            const std::uint32_t t1 = v[7] + s1 + choice + K[i] + w[i];
            const std::uint32_t s0 = rotate(v[0], 2) ^ rotate(v[0], 13) ^ rotate(v[0], 22);
            const std::uint32_t majority = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
            v = {t1 + s0 + majority, v[0], v[1], v[2], v[3] + t1, v[4], v[5], v[6]};
        }
        for (std::size_t i = 0; i < 8; ++i) h[i] += v[i];
    }
    std::string hex;
    for (const std::uint32_t word : h) {
        char text[9];
        std::snprintf(text, sizeof text, "%08x", word);
        hex += text;
    }
    return hex;
}

}  // namespace line_sim

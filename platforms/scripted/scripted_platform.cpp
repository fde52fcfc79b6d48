// A libController.so for tests: plays a script and logs every call, in order,
// with its arguments and answers.
//
//   SCRIPTED_PLATFORM_SCRIPT  the script to play (read at wb_robot_init)
//   SCRIPTED_PLATFORM_LOG     where to log (truncated at wb_robot_init)
//
// Script lines ('#' starts a comment):
//   tag N                    answer of wb_robot_get_device("camera") (default 1; 0 for any other name)
//   size W H                 answers of wb_camera_get_width / _height (default 64 48)
//   cycle STEP IMAGE         one control cycle: the image it fetches, then what
//                            wb_robot_step answers. IMAGE is
//                              none        no buffer
//                              light       every pixel gray 255
//                              dark X,...  light, but columns X of row H - 10 black
// After the last scripted cycle every step answers -1.
//
// Each image holds max(W, 0) * max(H, 0) * 3 bytes in read-only pages between
// inaccessible pages, flush against the page after it in even cycles and the
// page before it in odd ones, so a read outside it or a write into it crashes.
//
// From the second image fetch to cleanup the library counts calls of malloc
// and its kin in the process; cleanup logs the count, or "unavailable" when
// another allocator (a sanitizer's) has taken the symbols' place.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "robot_interface.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {

bool counting_allocations = false;
long allocations = 0;

struct Cycle {
    const unsigned char* image;  // nullptr for "none"
    std::int32_t step_result;
};

struct Script {
    DeviceTag tag = 1;
    std::int32_t width = 64;
    std::int32_t height = 48;
    std::vector<Cycle> cycles;
};

Script script;
std::size_t cycle_index = 0;  // steps taken so far
long image_fetches = 0;
int log_fd = -1;

// Logs one line without allocating: the cycles must not disturb the count.
[[gnu::format(printf, 1, 2)]] void log_line(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (length < 0 || log_fd < 0) return;
    std::size_t size = std::min(static_cast<std::size_t>(length), sizeof line - 2);
    line[size++] = '\n';
    if (write(log_fd, line, size) < 0) std::abort();
}

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "scripted platform: %s\n", why.c_str());
    std::exit(99);
}

// An image between inaccessible pages, read-only once filled.
const unsigned char* make_image(const std::vector<std::int32_t>& dark_columns, bool flush_end) {
    const std::size_t width = script.width > 0 ? static_cast<std::size_t>(script.width) : 0;
    const std::size_t height = script.height > 0 ? static_cast<std::size_t>(script.height) : 0;
    const std::size_t size = width * height * 3;
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t data_pages = (size + page - 1) / page;
    auto* region = static_cast<unsigned char*>(
        mmap(nullptr, (data_pages + 2) * page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (region == MAP_FAILED) fail("cannot map an image");
    unsigned char* data = region + page;
    unsigned char* image = flush_end ? data + data_pages * page - size : data;
    if (data_pages > 0) {
        if (mprotect(data, data_pages * page, PROT_READ | PROT_WRITE) != 0) fail("mprotect");
        std::memset(image, 255, size);
        for (std::int32_t x : dark_columns) {
            if (x < 0 || static_cast<std::size_t>(x) >= width || height < 10) fail("dark column outside the scan row");
            std::memset(image + 3 * ((height - 10) * width + static_cast<std::size_t>(x)), 0, 3);
        }
        if (mprotect(data, data_pages * page, PROT_READ) != 0) fail("mprotect");
    }
    return image;
}

void load_script(const char* path) {
    std::ifstream file(path ? path : "");
    if (!file)
        fail(std::string("cannot read the script named by SCRIPTED_PLATFORM_SCRIPT: ") + (path ? path : "(unset)"));
    std::string line;
    while (std::getline(file, line)) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string key;
        if (!(words >> key)) continue;
        if (key == "tag") {
            unsigned tag = 0;
            words >> tag;
            script.tag = static_cast<DeviceTag>(tag);
        } else if (key == "size") {
            words >> script.width >> script.height;
        } else if (key == "cycle") {
            std::int32_t step = 0;
            std::string kind, columns;
            words >> step >> kind >> columns;
            std::vector<std::int32_t> dark;
            std::istringstream list(columns);
            for (std::string x; std::getline(list, x, ',');) dark.push_back(std::stoi(x));
            if (kind != "none" && kind != "light" && kind != "dark") fail("unknown image: " + line);
            const bool flush_end = script.cycles.size() % 2 == 0;
            script.cycles.push_back({kind == "none" ? nullptr : make_image(dark, flush_end), step});
        } else {
            fail("unknown script line: " + line);
        }
        if (!words && !words.eof()) fail("bad script line: " + line);
    }
}

// Whether this library's malloc is the one the process calls.
bool allocations_observable() {
    void* (*volatile process_malloc)(size_t) = &malloc;
    const long before = allocations;
    counting_allocations = true;
    void* probe = process_malloc(16);
    counting_allocations = false;
    std::free(probe);
    const bool seen = allocations != before;
    allocations = before;
    return seen;
}

}  // namespace

extern "C" {

void* malloc(size_t size) {
    if (counting_allocations) ++allocations;
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
    if (counting_allocations) ++allocations;
    return __libc_calloc(count, size);
}
void* realloc(void* pointer, size_t size) {
    if (counting_allocations) ++allocations;
    return __libc_realloc(pointer, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
    if (counting_allocations) ++allocations;
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** result, size_t alignment, size_t size) {
    if (counting_allocations) ++allocations;
    *result = __libc_memalign(alignment, size);
    return *result ? 0 : ENOMEM;
}

void wb_robot_init(void) {
    log_fd = open(std::getenv("SCRIPTED_PLATFORM_LOG") ? std::getenv("SCRIPTED_PLATFORM_LOG") : "/dev/null",
                  O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (log_fd < 0) fail("cannot open the log named by SCRIPTED_PLATFORM_LOG");
    load_script(std::getenv("SCRIPTED_PLATFORM_SCRIPT"));
    log_line("wb_robot_init");
}

DeviceTag wb_robot_get_device(const char* name) {
    // The scripted tag for the one device there is; 0, as for any platform, for another name.
    const DeviceTag tag = name != nullptr && std::strcmp(name, "camera") == 0 ? script.tag : 0;
    log_line("wb_robot_get_device %s -> %u", name ? name : "(null)", unsigned{tag});
    return tag;
}

void wb_camera_enable(DeviceTag camera, int32_t sampling_period_ms) {
    log_line("wb_camera_enable %u %" PRId32, unsigned{camera}, sampling_period_ms);
}

int32_t wb_camera_get_width(DeviceTag camera) {
    log_line("wb_camera_get_width %u -> %" PRId32, unsigned{camera}, script.width);
    return script.width;
}

int32_t wb_camera_get_height(DeviceTag camera) {
    log_line("wb_camera_get_height %u -> %" PRId32, unsigned{camera}, script.height);
    return script.height;
}

const unsigned char* wb_camera_get_image(DeviceTag camera) {
    if (++image_fetches == 1) {
        struct stat out {};
        if (fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode)) {
            log_line("stdout holds %lld bytes", static_cast<long long>(out.st_size));
        }
    } else if (image_fetches == 2) {
        counting_allocations = true;
    }
    const unsigned char* image = cycle_index < script.cycles.size() ? script.cycles[cycle_index].image : nullptr;
    log_line("wb_camera_get_image %u -> %s", unsigned{camera}, image ? "image" : "none");
    return image;
}

void wb_differential_wheels_set_speed(double left, double right) {
    log_line("wb_differential_wheels_set_speed %.17g %.17g", left, right);
}

int32_t wb_robot_step(int32_t duration_ms) {
    const int32_t result = cycle_index < script.cycles.size() ? script.cycles[cycle_index].step_result : -1;
    ++cycle_index;
    log_line("wb_robot_step %" PRId32 " -> %" PRId32, duration_ms, result);
    return result;
}

void wb_robot_cleanup(void) {
    counting_allocations = false;
    log_line("wb_robot_cleanup");
    if (allocations_observable()) {
        log_line("allocations during the cycles: %ld", allocations);
    } else {
        log_line("allocations during the cycles: unavailable");
    }
    close(log_fd);
    log_fd = -1;
}

}  // extern "C"

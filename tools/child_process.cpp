// Child processes for line-sim: a controller under a guard that kills all it starts.

#include "child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

extern char** environ;

namespace line_sim {
namespace {

// What the child runs, made ready before fork: after it, in a process that
// had threads, only system calls are safe.
struct Exec {
    std::vector<std::string> args, env;
    std::vector<char*> argv, envp;
    explicit Exec(const ChildSpec& child) : args{child.program}, env(child.environment) {
        args.insert(args.end(), child.arguments.begin(), child.arguments.end());
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (std::string& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
    }
};

// Writes `n` in decimal at `at`; returns the end. (snprintf is not safe after fork.)
char* put_number(char* at, std::size_t n) {
    char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n > 0);
    while (count > 0) *at++ = digits[--count];
    return at;
}

char* put_text(char* at, const char* text) {
    while (*text != '\0') *at++ = *text++;
    return at;
}

int open_output(const std::string& path) {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
}

// In the child, after fork: the controller's start, clean of what this
// process set up (blocked and handled signals, descriptors), then exec.
[[noreturn]] void exec_child(const ChildSpec& child, const Exec& exec, pid_t parent, int out, int err, int record,
                             int exec_notice = -1) {
    // Killed when its parent dies; if the parent is already gone, it is not started at all.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(127);
    // A process group of its own, so that what it starts can be stopped with it.
    setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGUSR1}) signal(s, SIG_DFL);
    // Each to its number: standard input, output and error, the record
    // (RECORD_FD, left open), the program (RECORD_FD + 1) and the notice of
    // the exec (RECORD_FD + 2), both closed as the program starts. Moved out
    // of the way of those numbers first.
    const int moved[] = {fcntl(open("/dev/null", O_RDONLY | O_CLOEXEC), F_DUPFD_CLOEXEC, 10),
                         fcntl(out, F_DUPFD_CLOEXEC, 10),
                         fcntl(err, F_DUPFD_CLOEXEC, 10),
                         record >= 0 ? fcntl(record, F_DUPFD_CLOEXEC, 10) : -2,
                         child.program_fd >= 0 ? fcntl(child.program_fd, F_DUPFD_CLOEXEC, 10) : -2,
                         exec_notice >= 0 ? fcntl(exec_notice, F_DUPFD_CLOEXEC, 10) : -2};
    for (int number = 0; number < 6; ++number) {
        if (moved[number] == -1) _exit(127);
        if (moved[number] == -2) {
            close(number);
        } else if (dup3(moved[number], number,
                        number <= RECORD_FD || (number == RECORD_FD + 1 && child.interpreted) ? 0 : O_CLOEXEC) < 0) {
            _exit(127);
        }
    }
    // Nothing else of line-sim's reaches the controller.
    syscall(SYS_close_range, RECORD_FD + 3, ~0U, 0);
    if (!child.directory.empty() && chdir(child.directory.c_str()) != 0) _exit(127);
    char held[32];
    *put_number(put_text(held, "/proc/self/fd/"), RECORD_FD + 1) = '\0';
    execve(child.program_fd >= 0 && !child.interpreted ? held : exec.argv[0], exec.argv.data(), exec.envp.data());
    // The notice's one byte says the exec failed, and why (ETXTBSY: its file
    // was being written at that instant).
    const unsigned char why = static_cast<unsigned char>(errno);
    if (exec_notice >= 0 && write(RECORD_FD + 2, &why, 1) < 0) {
        // the guard then takes the program as started, and its status 127 tells
    }
    _exit(127);
}

// Whether the file open at `fd` holds exactly `bytes` (read from its start).
bool holds(int fd, const std::string& bytes) {
    char chunk[65536];
    std::size_t at = 0;
    for (;;) {
        const ssize_t n = pread(fd, chunk, sizeof chunk, static_cast<off_t>(at));
        if (n < 0) return false;
        if (n == 0) return at == bytes.size();
        const auto got = static_cast<std::size_t>(n);
        if (at + got > bytes.size() || std::memcmp(chunk, bytes.data() + at, got) != 0) return false;
        at += got;
    }
}

// One of the child's output streams, copied to its file: the head as it
// comes, the tail in a ring, what lies between counted.
struct Stream {
    int pipe = -1, file = -1;
    const char *part = nullptr, *path = nullptr;  // the file's temporary and final names
    std::size_t written = 0;                      // [bytes] of the head
    char* ring = nullptr;                         // MOST_OUTPUT_TAIL bytes
    std::size_t after = 0;                        // [bytes] past the head, all told

    void take(const char* bytes, std::size_t size) {
        while (size > 0 && written < MOST_OUTPUT_HEAD) {
            const std::size_t n = size < MOST_OUTPUT_HEAD - written ? size : MOST_OUTPUT_HEAD - written;
            // A write that fails (a full disk) loses the head's bytes, not the guard.
            if (file >= 0 && !write_all(bytes, n)) {
                close(file);
                file = -1;
            }
            written += n;
            bytes += n;
            size -= n;
        }
        for (std::size_t i = 0; i < size; ++i) ring[(after + i) % MOST_OUTPUT_TAIL] = bytes[i];
        after += size;
    }

    // The head's, the cut's and the tail's bytes all written: the file takes
    // its final name. A file that could not be written whole keeps its
    // temporary name, for line-sim to see and say.
    void finish() {
        if (file >= 0 && write_tail() && close(file) == 0) rename(part, path);
    }

    bool write_tail() {
        std::size_t kept = after;
        if (after > MOST_OUTPUT_TAIL) {
            char line[128];
            char* end = put_text(put_number(put_text(line, "\n[line-sim: "), after - MOST_OUTPUT_TAIL),
                                 " bytes of output cut here]\n");
            if (!write_all(line, static_cast<std::size_t>(end - line))) return false;
            kept = MOST_OUTPUT_TAIL;
        }
        // The ring's bytes in order: the oldest kept first.
        const std::size_t start = (after - kept) % MOST_OUTPUT_TAIL;
        const std::size_t first = kept < MOST_OUTPUT_TAIL - start ? kept : MOST_OUTPUT_TAIL - start;
        return write_all(ring + start, first) && write_all(ring, kept - first);
    }

    bool write_all(const char* bytes, std::size_t size) {
        while (size > 0) {
            const ssize_t n = write(file, bytes, size);
            if (n <= 0) return false;
            bytes += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }
};

// Calls `each` with every number in `text` (up to `size` bytes), as
// /proc lists them: separated by anything that is not a digit.
template <typename Each>
void each_number(const char* text, std::size_t size, const Each& each) {
    long long n = -1;
    for (std::size_t i = 0; i <= size; ++i) {
        const char c = i < size ? text[i] : ' ';
        if (c >= '0' && c <= '9') {
            n = (n < 0 ? 0 : n * 10) + (c - '0');
        } else if (n >= 0) {
            each(static_cast<pid_t>(n));
            n = -1;
        }
    }
}

// Reads a small file of /proc into `buffer`; its size, or -1.
ssize_t read_proc(const char* path, char* buffer, std::size_t size) {
    const int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0) return -1;
    ssize_t got = 0;
    for (ssize_t n;
         got < static_cast<ssize_t>(size) && (n = read(file, buffer + got, size - static_cast<std::size_t>(got))) > 0;)
        got += n;
    close(file);
    return got;
}

// Kills every child of this (single-threaded) process: those its
// /proc/<pid>/task/<pid>/children lists, or, where the kernel keeps no such
// list, every process whose parent it is.
void kill_children(pid_t self) {
    char path[64];
    char* end = put_text(put_number(put_text(path, "/proc/"), static_cast<std::size_t>(self)), "/task/");
    *put_text(put_number(end, static_cast<std::size_t>(self)), "/children") = '\0';
    char list[8192];
    const ssize_t listed = read_proc(path, list, sizeof list);
    if (listed >= 0 && listed < static_cast<ssize_t>(sizeof list)) {
        each_number(list, static_cast<std::size_t>(listed), [](pid_t pid) { kill(pid, SIGKILL); });
        return;
    }
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) return;
    alignas(8) char entries[16384];
    for (long n; (n = syscall(SYS_getdents64, proc, entries, sizeof entries)) > 0;) {
        for (long at = 0; at < n;) {
            const auto* length = reinterpret_cast<const unsigned short*>(entries + at + 16);
            const char* name = entries + at + 19;
            at += *length;
            pid_t pid = 0;
            for (const char* c = name; *c != '\0'; ++c) pid = *c >= '0' && *c <= '9' ? pid * 10 + (*c - '0') : -1;
            if (pid <= 0 || pid == self) continue;
            // /proc/<pid>/stat: "pid (name) state ppid ...", the name possibly holding ") ".
            char stat[512];
            *put_text(put_number(put_text(path, "/proc/"), static_cast<std::size_t>(pid)), "/stat") = '\0';
            const ssize_t got = read_proc(path, stat, sizeof stat - 1);
            if (got <= 0) continue;
            stat[got] = '\0';
            const char* close_paren = std::strrchr(stat, ')');
            if (close_paren == nullptr || close_paren[1] == '\0' || close_paren[2] == '\0') continue;
            pid_t parent = 0;  // after ") S "
            for (const char* c = close_paren + 4; *c >= '0' && *c <= '9'; ++c) parent = parent * 10 + (*c - '0');
            if (parent == self) kill(pid, SIGKILL);
        }
    }
    close(proc);
}

// Kills every child of this process, and then theirs (who become ours as
// their parents die), until none is left; each is waited for.
void kill_all_children() {
    const pid_t self = getpid();
    for (;;) {
        kill_children(self);
        int status = 0;
        pid_t ended = 0;
        while ((ended = waitpid(-1, &status, WNOHANG)) > 0) {
        }
        if (ended < 0 && errno == ECHILD) return;
        // Some are still dying, or an orphan came after the look: look again soon.
        const timespec pause{0, 1000000};
        nanosleep(&pause, nullptr);
    }
}

// The guard, after fork: starts the child, copies its output, passes the
// signals line-sim sends it on, and leaves nothing behind.
[[noreturn]] void guard(const ChildSpec& child, const Exec& exec, const std::string (&parts)[2], pid_t parent,
                        int record) {
    // Line-sim's death is the guard's cue to kill everything (SIGUSR1, as line-sim's own request is).
    if (prctl(PR_SET_PDEATHSIG, SIGUSR1) != 0 || getppid() != parent) _exit(127);
    setpgid(0, 0);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    sigset_t handled;
    sigemptyset(&handled);
    for (const int s : {SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGUSR1}) sigaddset(&handled, s);
    sigprocmask(SIG_SETMASK, &handled, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const int signals = signalfd(-1, &handled, SFD_CLOEXEC);
    Stream streams[2];
    int out_pipe[2], err_pipe[2];
    if (signals < 0 || pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) _exit(127);
    streams[0] = {out_pipe[0], open_output(parts[0]), parts[0].c_str(), child.output_path.c_str()};
    streams[1] = {err_pipe[0], open_output(parts[1]), parts[1].c_str(), child.error_path.c_str()};
    for (Stream& s : streams) {
        void* ring = mmap(nullptr, MOST_OUTPUT_TAIL, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (ring == MAP_FAILED) _exit(127);
        s.ring = static_cast<char*>(ring);
    }
    const pid_t self = getpid();
    int exec_notice[2] = {-1, -1};
    if (child.program_bytes != nullptr && pipe2(exec_notice, O_CLOEXEC) != 0) _exit(127);
    const pid_t pid = fork();
    if (pid < 0) _exit(127);
    if (pid == 0) exec_child(child, exec, self, out_pipe[1], err_pipe[1], record, exec_notice[1]);
    setpgid(pid, pid);  // as the child does: whichever comes first, the group is there
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (child.program_bytes != nullptr) {
        // Once the program has started (its end of the notice closed as it
        // did), its file cannot be written while it runs: what it holds now
        // is what runs. Whether that is what was hashed goes to line-sim.
        close(exec_notice[1]);
        unsigned char failed = 0;
        ssize_t got = 0;
        while ((got = read(exec_notice[0], &failed, 1)) < 0 && errno == EINTR) {
        }
        close(exec_notice[0]);
        char line[32];
        if (got == 1) {
            *put_text(put_number(put_text(line, "exec failed "), failed), "\n") = '\0';
        } else {
            *put_text(line, holds(child.program_fd, *child.program_bytes) ? "exec same\n" : "exec changed\n") = '\0';
        }
        if (record >= 0 && write(record, line, std::strlen(line)) < 0) {
            // line-sim then finds no word of it, and takes the file as changed
        }
    }
    if (record >= 0) close(record);

    int code = -1;  // the child's, once it has ended
    bool open_streams = true;
    while (code < 0 || open_streams) {
        pollfd fds[3] = {{signals, POLLIN, 0}, {streams[0].pipe, POLLIN, 0}, {streams[1].pipe, POLLIN, 0}};
        if (poll(fds, 3, -1) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i + 1].revents == 0) continue;
            char bytes[65536];
            const ssize_t n = read(streams[i].pipe, bytes, sizeof bytes);
            if (n > 0) {
                streams[i].take(bytes, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(streams[i].pipe);
                streams[i].pipe = -1;  // poll passes over a negative descriptor
            }
        }
        open_streams = streams[0].pipe >= 0 || streams[1].pipe >= 0;
        if ((fds[0].revents & POLLIN) == 0) continue;
        signalfd_siginfo info{};
        if (read(signals, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
        const int got = static_cast<int>(info.ssi_signo);
        if (got == SIGCHLD) {
            int status = 0;
            for (pid_t ended; (ended = waitpid(-1, &status, WNOHANG)) > 0;) {
                if (ended == pid) code = exit_status_of(status);
            }
        } else if (got == SIGUSR1) {
            kill(-pid, SIGKILL);
        } else if (code < 0) {
            kill(-pid, SIGTERM);  // stop, as line-sim asked
        }
        // With the child gone, what it started goes too; then its output ends.
        if (code >= 0) kill_all_children();
    }
    for (Stream& s : streams) s.finish();
    _exit(code < 0 ? 127 : code);
}

}  // namespace

std::vector<std::string> environment_without(const std::vector<std::string>& dropped) {
    std::vector<std::string> kept;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool drop = false;
        for (const std::string& prefix : dropped) drop = drop || entry.rfind(prefix, 0) == 0;
        if (!drop) kept.push_back(entry);
    }
    return kept;
}

pid_t start_child(const ChildSpec& child) {
    const Exec exec(child);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid > 0) setpgid(pid, pid);  // as the child does: whichever comes first, the group is there
    if (pid != 0) return pid;
    exec_child(child, exec, parent, open_output(child.output_path), open_output(child.error_path), -1);
}

GuardedChild start_guarded_child(const ChildSpec& child) {
    const Exec exec(child);
    // Written under temporary names until the child's output has ended.
    const std::string parts[2] = {child.output_path + ".part", child.error_path + ".part"};
    int record[2];
    if (pipe2(record, O_CLOEXEC | O_NONBLOCK) != 0) return {};
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        close(record[0]);
        guard(child, exec, parts, parent, record[1]);
    }
    const int saved = errno;
    close(record[1]);
    if (pid < 0) {
        close(record[0]);
        errno = saved;
        return {};
    }
    setpgid(pid, pid);
    return {pid, record[0]};
}

void stop_guarded_child(pid_t guard) { kill(guard, SIGTERM); }

void kill_guarded_child(pid_t guard) { kill(guard, SIGUSR1); }

int exit_status_of(int wait_status) {
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}

}  // namespace line_sim

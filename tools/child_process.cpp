#include "child_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

extern char** environ;

namespace line_sim {

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
    // Everything the child needs is made ready before fork: after it, the
    // child may only make system calls.
    std::vector<std::string> args = {child.program};
    args.insert(args.end(), child.arguments.begin(), child.arguments.end());
    std::vector<char*> argv, envp;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = child.environment;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const pid_t parent = getpid();

    const pid_t pid = fork();
    if (pid > 0) setpgid(pid, pid);  // as the child does: whichever comes first, the group is there
    if (pid != 0) return pid;
    // The child. Killed when its parent dies; if the parent is already gone,
    // it is not started at all.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(127);
    // A process group of its own, so that what it starts can be stopped with it.
    setpgid(0, 0);
    // A child inherits blocked and ignored signals; the controller should start clean.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(child.output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
    const int err = open(child.error_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
    if (in < 0 || out < 0 || err < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 ||
        dup2(err, STDERR_FILENO) < 0) {
        _exit(127);
    }
    if (!child.directory.empty() && chdir(child.directory.c_str()) != 0) _exit(127);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
}

int exit_status_of(int wait_status) {
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}

}  // namespace line_sim

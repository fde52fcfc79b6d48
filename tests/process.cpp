#include "process.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace test_support {

std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string fresh_folder(const std::string& suffix) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name() + suffix;
    for (char& c : name) {
        if (c == '/') c = '_';
    }
    const std::filesystem::path folder = std::filesystem::path(::testing::TempDir()) / name;
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    return folder.string();
}

StartedProcess start_process(const std::string& program, const std::vector<std::string>& arguments,
                             const std::map<std::string, std::string>& environment, const std::string& directory) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (environment.count(entry.substr(0, entry.find('='))) == 0) env.push_back(entry);
    }
    for (const auto& [name, value] : environment) {
        if (!value.empty()) env.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = {program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    static int started = 0;  // each process of a test gets files of its own
    const std::string folder = fresh_folder(".process" + std::to_string(++started));
    StartedProcess process{0, folder + "/out", folder + "/err"};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, process.output_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, process.error_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // In another folder a relative path to the program would no longer hold.
    const std::string command = directory.empty() ? program : std::filesystem::absolute(program).string();
    if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, command.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) ADD_FAILURE() << "cannot start " << program;
    process.pid = spawned == 0 ? pid : 0;
    return process;
}

ProcessResult wait_process(const StartedProcess& process) {
    ProcessResult result;
    if (process.pid <= 0) return result;
    int status = 0;
    waitpid(process.pid, &status, 0);
    if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.standard_output = read_file(process.output_path);
    result.standard_error = read_file(process.error_path);
    return result;
}

ProcessResult run_process(const std::string& program, const std::vector<std::string>& arguments,
                          const std::map<std::string, std::string>& environment, const std::string& directory) {
    return wait_process(start_process(program, arguments, environment, directory));
}

}  // namespace test_support

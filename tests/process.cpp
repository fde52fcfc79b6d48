// Test support: running an executable and collecting its status and output.

#include "process.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "child_process.hpp"

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
    std::vector<std::string> dropped;
    for (const auto& [name, value] : environment) dropped.push_back(name + "=");
    line_sim::ChildSpec child{directory.empty() ? program : std::filesystem::absolute(program).string(),
                              arguments,
                              line_sim::environment_without(dropped),
                              "",
                              "",
                              directory};
    for (const auto& [name, value] : environment) {
        if (!value.empty()) child.environment.push_back(name + "=" + value);
    }
    static int started = 0;  // each process of a test gets files of its own
    const std::string folder = fresh_folder(".process" + std::to_string(++started));
    child.output_path = folder + "/out";
    child.error_path = folder + "/err";
    const pid_t pid = line_sim::start_child(child);
    if (pid < 0) ADD_FAILURE() << "cannot start " << program;
    return {pid > 0 ? pid : 0, child.output_path, child.error_path};
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
